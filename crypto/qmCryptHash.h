// Message digests (MD5, SHA-1, SHA-256) on OpenSSL.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "core/qmTypes.h"
#include "crypto/qmConfig.h"
#include "crypto/qmOpenSsl.h"

namespace qm {

/// A message digest: Init, Update as often as needed, Final.
class TqmHash : public TqmConfigObject {
 public:
  /// Must be called before the first Update.
  virtual void Init() = 0;
  /// The size of the digest in bytes.
  virtual int GetHashSize() = 0;
  /// Hashes ACount bytes of ABytes from index AStart (clipped to the array).
  virtual void Update(const TqmByteArray& ABytes, int AStart, int ACount) = 0;
  /// The digest; the object is initialised again for a new one.
  virtual TqmByteArray Final() = 0;

  /// Raw form for callers that hash large buffers without copying.
  virtual void UpdateRaw(const void* AData, size_t ASize) = 0;
  /// Hashes the bytes of AText.
  void Update(const std::string& AText) { UpdateRaw(AText.data(), AText.size()); }
};

/// A digest computed by OpenSSL's EVP interface.
class TqmOpenSslHash : public TqmHash {
 public:
  ~TqmOpenSslHash() override;
  void Init() override;
  int GetHashSize() override { return FHashSize; }
  using TqmHash::Update;
  void Update(const TqmByteArray& ABytes, int AStart, int ACount) override;
  TqmByteArray Final() override;
  void UpdateRaw(const void* AData, size_t ASize) override;

  /// The CryptoAPI-style identifier of the algorithm (0x8003 MD5, 0x8004
  /// SHA-1, 0x800C SHA-256), kept so that callers can tell them apart.
  virtual int GetAlgorithmId() = 0;
  /// The OpenSSL digest name ("MD5", "SHA1", "SHA256").
  virtual const char* GetDigestName() = 0;

 private:
  void Release();
  TqmEvpMdCtxPtr FContext;
  int FHashSize = 0;
};

/// MD5 (APOP and CRAM-MD5 need it; not in the DKIM registry).
class TqmMd5 : public TqmOpenSslHash {
 public:
  int GetAlgorithmId() override { return 0x8003; }
  const char* GetDigestName() override { return "MD5"; }
};

/// SHA-1 ("sha1" in the registry).
class TqmSha1 : public TqmOpenSslHash {
 public:
  int GetAlgorithmId() override { return 0x8004; }
  const char* GetDigestName() override { return "SHA1"; }
};

/// SHA-256 ("sha256" in the registry).
class TqmSha256 : public TqmOpenSslHash {
 public:
  int GetAlgorithmId() override { return 0x800C; }
  const char* GetDigestName() override { return "SHA256"; }
};

/// Lower-case hexadecimal MD5 of the text's bytes; empty text for empty
/// input (the APOP digest).
std::string Md5Hex(const std::string& AText);

/// Lower-case hexadecimal digits of bytes.
std::string LowerHex(const TqmByteArray& ABytes);

}  // namespace qm
