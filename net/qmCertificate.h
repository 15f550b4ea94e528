// A read-only view of one X.509 certificate (and, for client
// certificates, its private key), and a list of them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmTypes.h"
#include "crypto/qmOpenSsl.h"

namespace qm {

/// One X.509 certificate (and, for a client certificate, its private key),
/// its fields decoded once as text.
class TqmCertificate : public TObject {
 public:
  /// Takes its own reference to ACert (and to AKey when given). Every value
  /// is decoded here, once.
  explicit TqmCertificate(X509* ACert, EVP_PKEY* AKey = nullptr,
                          const std::string& AKeyContainerName = std::string());
  /// Drops its references.
  ~TqmCertificate() override;

  /// A certificate with its private key from a PEM file (certificate and
  /// key in one file, or the key in AKeyFile) or from a PKCS#12 file.
  /// Failures raise EqmCryptError.
  static std::unique_ptr<TqmCertificate> LoadFromPemFile(const std::string& ACertFile,
                                                         const std::string& AKeyFile = std::string(),
                                                         const std::string& APassword = std::string());
  /// A certificate with its private key from a PKCS#12 file; failures raise
  /// EqmCryptError.
  static std::unique_ptr<TqmCertificate> LoadFromPkcs12File(const std::string& AFileName,
                                                            const std::string& APassword);
  /// A certificate alone (no key) from PEM or DER bytes.
  static std::unique_ptr<TqmCertificate> LoadFromBytes(const TqmByteArray& AData);

  /// The OpenSSL certificate (owned by this object).
  X509* Handle() const { return FCert.get(); }
  /// The private key, or nullptr (owned by this object).
  EVP_PKEY* PrivateKey() const { return FKey.get(); }
  /// True when a private key came with it.
  bool HasPrivateKey() const { return FKey != nullptr; }

  /// The subject's display name (its common name, else another part of it).
  const std::string& IssuedTo() const { return FIssuedTo; }
  /// The issuer's display name.
  const std::string& IssuedBy() const { return FIssuedBy; }
  /// The subject's e-mail address, if any.
  const std::string& Email() const { return FEmail; }
  /// The serial number in hexadecimal.
  const std::string& SerialNumber() const { return FSerialNumber; }
  /// The start of validity, in local time.
  TDateTime ValidFrom() const { return FValidFrom; }
  /// The end of validity, in local time.
  TDateTime ValidTo() const { return FValidTo; }      // local time
  /// The alias of a PKCS#12 file, if any.
  const std::string& FriendlyName() const { return FFriendlyName; }
  /// The extended key usages as OIDs joined by ","; empty: any usage.
  const std::string& EnhancedKeyUsage() const { return FEnhancedKeyUsage; }
  /// The encoded X.509 version: 2 for a v3 certificate.
  int Version() const { return FVersion; }
  /// The signature algorithm's OID.
  const std::string& SignatureAlgorithm() const { return FSignatureAlgorithm; }
  /// The signature algorithm's name ("sha256WithRSAEncryption").
  const std::string& SignatureAlgorithmName() const { return FSignatureAlgorithmName; }
  /// The public key algorithm's OID.
  const std::string& PublicKeyAlgorithm() const { return FPublicKeyAlgorithm; }
  /// The public key algorithm's name ("rsaEncryption").
  const std::string& PublicKeyAlgorithmName() const { return FPublicKeyAlgorithmName; }
  /// The key size in bits.
  int PublicKeyLength() const { return FPublicKeyLength; }
  /// The file the private key was loaded from; empty without a key.
  const std::string& KeyContainerName() const { return FKeyContainerName; }
  /// The SHA-1 of the DER form, in hexadecimal.
  const std::string& Thumbprint() const { return FThumbprint; }
  /// The subject key identifier in hexadecimal, if any.
  const std::string& SubjectKeyIdentifier() const { return FSubjectKeyIdentifier; }
  /// True when the certificate names itself as its issuer.
  bool IsSelfSigned() const;

 private:
  void Decode();

  TqmX509Ptr FCert;
  TqmEvpPkeyPtr FKey;
  std::string FIssuedTo, FIssuedBy, FEmail, FSerialNumber;
  TDateTime FValidFrom = 0, FValidTo = 0;
  std::string FFriendlyName, FEnhancedKeyUsage;
  int FVersion = 0;
  std::string FSignatureAlgorithm, FSignatureAlgorithmName;
  std::string FPublicKeyAlgorithm, FPublicKeyAlgorithmName;
  int FPublicKeyLength = 0;
  std::string FKeyContainerName, FThumbprint, FSubjectKeyIdentifier;
};

/// An ordered list of certificates; frees them only when it owns them.
class TqmCertificateList : public TObject {
 public:
  /// AOwnsObjects: the list frees its certificates.
  explicit TqmCertificateList(bool AOwnsObjects) : FOwnsObjects(AOwnsObjects) {}
  /// Clear.
  ~TqmCertificateList() override { Clear(); }

  /// Appends ACertificate (taken when the list owns its objects); returns its index.
  int Add(TqmCertificate* ACertificate);
  /// The number of certificates.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// The certificate at AIndex (from 0); EListError out of range.
  TqmCertificate* Items(int AIndex) const;
  /// Empties the list (freeing the certificates when it owns them).
  void Clear();
  /// True when the list frees its certificates.
  bool OwnsObjects() const { return FOwnsObjects; }

 private:
  std::vector<TqmCertificate*> FItems;
  bool FOwnsObjects;
};

}  // namespace qm
