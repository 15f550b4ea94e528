// HMAC-MD5 (RFC 2104 with a 64-byte block), built on the digest classes.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "core/qmTypes.h"
#include "crypto/qmConfig.h"
#include "crypto/qmCryptHash.h"

namespace qm {

/// A keyed message authentication code: InitKey (or Init), Update, Final.
class TqmMac : public TqmConfigObject {
 public:
  /// Keys the MAC with ACount bytes of AKey from AStart.
  virtual void Init(const TqmByteArray& AKey, int AStart, int ACount) = 0;
  /// Keys the MAC with all of AKey.
  virtual void InitKey(const TqmByteArray& AKey) = 0;
  /// The size of the MAC in bytes.
  virtual int GetHashSize() = 0;
  /// Adds ACount bytes of ABytes from AStart (clipped to the array).
  virtual void Update(const TqmByteArray& ABytes, int AStart, int ACount) = 0;
  /// Update with the four bytes of AValue, most significant first.
  virtual void UpdateInteger(uint32_t AValue) = 0;
  /// The MAC; the key stays for the next message.
  virtual TqmByteArray Final() = 0;
};

/// HMAC computed by hand over a plain digest object.
class TqmOpenSslHmac : public TqmMac {
 public:
  void Init(const TqmByteArray& AKey, int AStart, int ACount) override;
  void InitKey(const TqmByteArray& AKey) override;
  int GetHashSize() override;
  void Update(const TqmByteArray& ABytes, int AStart, int ACount) override;
  void UpdateInteger(uint32_t AValue) override;
  TqmByteArray Final() override;

  /// The identifier of the hash algorithm (0x8003 MD5).
  virtual int GetAlgorithmId() = 0;
  /// A new digest object of the HMAC's hash algorithm.
  virtual std::unique_ptr<TqmHash> CreateHash() = 0;

 private:
  static constexpr size_t BlockSize = 64;
  std::array<uint8_t, BlockSize> FInnerPad{};
  std::array<uint8_t, BlockSize> FOuterPad{};
  std::unique_ptr<TqmHash> FInner;  // null until the first Update of a message
  bool FKeyed = false;
};

/// HMAC-MD5 (CRAM-MD5 needs it; not in the DKIM registry).
class TqmHmacMd5 : public TqmOpenSslHmac {
 public:
  int GetAlgorithmId() override { return 0x8003; }
  std::unique_ptr<TqmHash> CreateHash() override { return std::make_unique<TqmMd5>(); }
};

/// Lower-case hexadecimal HMAC-MD5 of AText under AKey; empty text when
/// either is empty (the CRAM-MD5 answer).
std::string HmacMd5Hex(const std::string& AText, const std::string& AKey);

}  // namespace qm
