// Ed25519 keys and the ed25519-sha256 signature of DKIM (RFC 8463): the
// data is digested with SHA-256 and the digest is signed with pure Ed25519.
// Registered as "ed25519" (key) and "ed25519-sha256" (signature).
#pragma once

#include <string>

#include "core/qmTypes.h"
#include "crypto/qmConfig.h"
#include "crypto/qmCryptSignature.h"
#include "crypto/qmOpenSsl.h"

namespace qm {

/// An Ed25519 key pair or public key ("ed25519" in the registry).
class TqmEd25519Key : public TqmConfigObject {
 public:
  /// Drops any key held.
  void Init();
  /// A new key pair.
  void GenerateKey();
  /// The raw 32-byte public key, as a k=ed25519 key record publishes it.
  TqmByteArray GetPublicKey();
  /// Takes a raw 32-byte public key (no private half).
  void SetPublicKey(const TqmByteArray& ARaw);
  /// The raw 32-byte private key (the seed).
  TqmByteArray GetPrivateKey();
  /// Takes a raw 32-byte private key (the seed).
  void SetPrivateKey(const TqmByteArray& ARaw);
  /// PEM or DER PKCS #8, or the base64 text of the raw seed.
  void LoadPrivateKey(const TqmByteArray& APemOrDer);

  /// Whether a key is held.
  bool HasKey() const { return static_cast<bool>(FKey); }
  /// Whether the key held has its private half.
  bool HasPrivateKey() const { return FKey && FPrivate; }
  /// The key itself (owned by this object).
  EVP_PKEY* Handle() const { return FKey.get(); }
  /// Takes over an Ed25519 key decoded elsewhere.
  void Adopt(TqmEvpPkeyPtr AKey, bool APrivate);

 private:
  TqmEvpPkeyPtr FKey;
  bool FPrivate = false;
};

/// Ed25519 over a digest of the data (the digest from GetDigest).
class TqmSignatureEd25519 : public TqmDigestSignature<TqmSignature> {
 public:
  bool CheckSignature(const TqmByteArray& ASignature) override;
  TqmByteArray Sign() override;
  /// The key to sign with; raises CRYPT_E_KEY_REQUIRED when AKey holds no
  /// private key.
  void SetPrivateKey(TqmEd25519Key& AKey);
  /// The key to check with; raises CRYPT_E_KEY_REQUIRED when AKey holds no key.
  void SetPublicKey(TqmEd25519Key& AKey);
  /// An Ed25519 key (TqmEd25519Key) only.
  bool AcceptKey(TqmConfigObject& AKey, bool APrivate) override;
};

/// ed25519-sha256 of DKIM (RFC 8463; "ed25519-sha256" in the registry).
class TqmSignatureEd25519Sha256 : public TqmSignatureEd25519 {
 public:
  const EVP_MD* GetDigest() override { return EVP_sha256(); }
};

}  // namespace qm
