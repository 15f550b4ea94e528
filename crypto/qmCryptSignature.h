// RSA key objects and PKCS #1 v1.5 signature objects, created by the class
// registry under "rsa", "rsa-sha1" and "rsa-sha256". Keys travel between
// objects as DER: a PKCS #1 RSAPrivateKey, a PKCS #1 RSAPublicKey or an
// X.509 SubjectPublicKeyInfo. Signatures are big-endian byte arrays, as in
// DKIM's b= tag.
#pragma once

#include <string>

#include "core/qmTypes.h"
#include "crypto/qmConfig.h"
#include "crypto/qmOpenSsl.h"

namespace qm {

/// An RSA key pair or public key ("rsa" in the registry).
class TqmRsaKey : public TqmConfigObject {
 public:
  /// Bits; read back from every key imported or generated.
  int KeySize() const { return FKeySize; }
  /// Sets the size of keys GenerateKey makes.
  void SetKeySize(int AValue) { FKeySize = AValue; }
  /// 1 key exchange, 2 signature; kept for callers that set it, OpenSSL keys
  /// serve both.
  int KeySpec() const { return FKeySpec; }
  /// Sets KeySpec.
  void SetKeySpec(int AValue) { FKeySpec = AValue; }

  /// Must precede the other operations; drops any key held.
  virtual void Init() = 0;
  /// A new key pair of KeySize bits, public exponent 65537.
  virtual void GenerateKey() = 0;
  /// The private key as DER PKCS #1 RSAPrivateKey.
  virtual TqmByteArray GetRsaPrivateKey() = 0;
  /// The public key as DER PKCS #1 RSAPublicKey.
  virtual TqmByteArray GetRsaPublicKey() = 0;
  /// The public key as DER X.509 SubjectPublicKeyInfo (what a DKIM key
  /// record's p= tag holds in base64).
  virtual TqmByteArray GetPublicKeyInfo() = 0;
  /// Takes a PKCS #1 RSAPrivateKey; a PKCS #8 PrivateKeyInfo is accepted too.
  virtual void SetRsaPrivateKey(const TqmByteArray& ADer) = 0;
  /// Takes a DER PKCS #1 RSAPublicKey.
  virtual void SetRsaPublicKey(const TqmByteArray& ADer) = 0;
  /// Takes a DER X.509 SubjectPublicKeyInfo.
  virtual void SetPublicKeyInfo(const TqmByteArray& ADer) = 0;
  /// Big-endian modulus and exponent; leading zero bytes are ignored.
  virtual void SetRsaPublicKeyComponents(const TqmByteArray& AModulus,
                                         const TqmByteArray& AExponent) = 0;
  /// Big-endian, without leading zero bytes.
  virtual void GetRsaPublicKeyComponents(TqmByteArray& AModulus, TqmByteArray& AExponent) = 0;

  /// Loading a private key the way keys are stored: PEM text ("BEGIN RSA
  /// PRIVATE KEY" or "BEGIN PRIVATE KEY") or DER bytes, PKCS #1 or PKCS #8.
  virtual void LoadPrivateKey(const TqmByteArray& APemOrDer) = 0;
  /// LoadPrivateKey from PEM text.
  void LoadPrivateKeyFromText(const std::string& APem);
  /// LoadPrivateKey from a file; raises EFOpenError when it cannot be read.
  void LoadPrivateKeyFromFile(const std::string& AFileName);

  /// Whether a key is held.
  virtual bool HasKey() const = 0;
  /// Whether the key held has its private half.
  virtual bool HasPrivateKey() const = 0;

 protected:
  int FKeySize = 1024;  ///< KeySize.
  int FKeySpec = 1;     ///< KeySpec.
};

/// An RSA key held as an OpenSSL EVP_PKEY.
class TqmOpenSslRsaKey : public TqmRsaKey {
 public:
  void Init() override;
  void GenerateKey() override;
  TqmByteArray GetRsaPrivateKey() override;
  TqmByteArray GetRsaPublicKey() override;
  TqmByteArray GetPublicKeyInfo() override;
  void SetRsaPrivateKey(const TqmByteArray& ADer) override;
  void SetRsaPublicKey(const TqmByteArray& ADer) override;
  void SetPublicKeyInfo(const TqmByteArray& ADer) override;
  void SetRsaPublicKeyComponents(const TqmByteArray& AModulus,
                                 const TqmByteArray& AExponent) override;
  void GetRsaPublicKeyComponents(TqmByteArray& AModulus, TqmByteArray& AExponent) override;
  void LoadPrivateKey(const TqmByteArray& APemOrDer) override;
  bool HasKey() const override { return static_cast<bool>(FKey); }
  bool HasPrivateKey() const override { return FKey && FPrivate; }

  /// The key itself, for signers that share it instead of copying it.
  EVP_PKEY* Handle() const { return FKey.get(); }
  /// Takes over an RSA key decoded elsewhere; raises CRYPT_E_WRONG_KEY_TYPE
  /// for another type.
  void Adopt(TqmEvpPkeyPtr AKey, bool APrivate);

 private:
  EVP_PKEY* Required() const;
  TqmEvpPkeyPtr FKey;
  bool FPrivate = false;
};

/// An RSA private key from PKCS #1 RSAPrivateKey or PKCS #8 bytes (DER, or
/// PEM "RSA PRIVATE KEY" / "PRIVATE KEY"), read directly instead of through
/// OpenSSL 3's generic decoder, which costs about 100 us a key; nullptr for
/// anything else (encrypted keys, other types, multi-prime keys), which the
/// generic decoder then reads.
TqmEvpPkeyPtr RsaPrivateKeyFromPemOrDer(const TqmByteArray& APemOrDer);

/// A signature over data hashed as it comes: Init, UpdateHash as often as
/// needed, then Sign, or Verify / CheckSignature with the signature to check.
class TqmSignature : public TqmConfigObject {
 public:
  /// Starts a new hash; must precede UpdateHash.
  virtual void Init() = 0;
  /// Hashes ACount bytes of ABytes from AStart (clipped to the array).
  virtual void UpdateHash(const TqmByteArray& ABytes, int AStart, int ACount) = 0;
  /// Raises EqmCryptError CRYPT_E_BAD_SIGNATURE when ASignature does not match.
  virtual void Verify(const TqmByteArray& ASignature) = 0;
  /// Whether ASignature matches the data hashed since Init.
  virtual bool CheckSignature(const TqmByteArray& ASignature) = 0;
  /// The signature of the data hashed since Init (big-endian bytes).
  virtual TqmByteArray Sign() = 0;
  /// Takes AKey, a key object of the registry, to sign with (APrivate) or
  /// to verify with, when it is of this algorithm's key type; false, with
  /// nothing changed, when it is not. Each algorithm knows its own key type,
  /// so callers pair keys and signatures without testing either's class.
  /// Raises CRYPT_E_KEY_REQUIRED as the typed setters do.
  virtual bool AcceptKey(TqmConfigObject& /*AKey*/, bool /*APrivate*/) { return false; }

  /// Raw form for callers that hash large texts without copying them.
  virtual void UpdateHashRaw(const void* AData, size_t ASize) = 0;
  /// Hashes the bytes of AText.
  void UpdateHash(const std::string& AText) { UpdateHashRaw(AText.data(), AText.size()); }
};

/// An RSA signature: the key comes from a TqmRsaKey.
class TqmSignatureRsa : public TqmSignature {
 public:
  /// The key to sign with; raises CRYPT_E_KEY_REQUIRED when AKey holds no
  /// private key.
  virtual void SetPrivateKey(TqmRsaKey& AKey) = 0;
  /// The key to check with; raises CRYPT_E_KEY_REQUIRED when AKey holds no key.
  virtual void SetPublicKey(TqmRsaKey& AKey) = 0;
  /// An RSA key (TqmRsaKey) only.
  bool AcceptKey(TqmConfigObject& AKey, bool APrivate) override;
};

/// The digest half of signatures that digest the data as it comes and sign or
/// check the digest at the end (PKCS #1 v1.5 here, Ed25519 for DKIM). TBase is
/// TqmSignature or one of its interfaces.
template <class TBase>
class TqmDigestSignature : public TBase {
 public:
  /// Starts a new digest and forgets the key.
  void Init() override;
  using TqmSignature::UpdateHash;
  /// Adds ACount bytes of ABytes from AStart to the digest.
  void UpdateHash(const TqmByteArray& ABytes, int AStart, int ACount) override;
  /// Adds ASize bytes at AData to the digest.
  void UpdateHashRaw(const void* AData, size_t ASize) override;
  /// CheckSignature, raising CRYPT_E_BAD_SIGNATURE on a mismatch.
  void Verify(const TqmByteArray& ASignature) override;

  /// The OpenSSL digest of the class.
  virtual const EVP_MD* GetDigest() = 0;

 protected:
  /// The digest of everything hashed since Init.
  TqmByteArray FinalDigest();
  TqmEvpPkeyPtr FKey;  ///< The key set for signing or checking.

 private:
  TqmEvpMdCtxPtr FHash;
};
extern template class TqmDigestSignature<TqmSignature>;
extern template class TqmDigestSignature<TqmSignatureRsa>;

/// PKCS #1 v1.5 on OpenSSL.
class TqmOpenSslSignatureRsa : public TqmDigestSignature<TqmSignatureRsa> {
 public:
  bool CheckSignature(const TqmByteArray& ASignature) override;
  TqmByteArray Sign() override;
  void SetPrivateKey(TqmRsaKey& AKey) override;
  void SetPublicKey(TqmRsaKey& AKey) override;

 private:
  TqmEvpPkeyPtr TakeKey(TqmRsaKey& AKey, bool APrivate);
};

/// rsa-sha1 ("rsa-sha1" in the registry).
class TqmSignatureRsaSha1 : public TqmOpenSslSignatureRsa {
 public:
  const EVP_MD* GetDigest() override { return EVP_sha1(); }
};

/// rsa-sha256 ("rsa-sha256" in the registry).
class TqmSignatureRsaSha256 : public TqmOpenSslSignatureRsa {
 public:
  const EVP_MD* GetDigest() override { return EVP_sha256(); }
};

}  // namespace qm
