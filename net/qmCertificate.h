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

class TqmCertificate : public TObject {
 public:
  // Takes its own reference to ACert (and to AKey when given). Every value
  // is decoded here, once.
  explicit TqmCertificate(X509* ACert, EVP_PKEY* AKey = nullptr,
                          const std::string& AKeyContainerName = std::string());
  ~TqmCertificate() override;

  // A certificate with its private key from a PEM file (certificate and
  // key in one file, or the key in AKeyFile) or from a PKCS#12 file.
  // Failures raise EqmCryptError.
  static std::unique_ptr<TqmCertificate> LoadFromPemFile(const std::string& ACertFile,
                                                         const std::string& AKeyFile = std::string(),
                                                         const std::string& APassword = std::string());
  static std::unique_ptr<TqmCertificate> LoadFromPkcs12File(const std::string& AFileName,
                                                            const std::string& APassword);
  // A certificate alone (no key) from PEM or DER bytes.
  static std::unique_ptr<TqmCertificate> LoadFromBytes(const TqmByteArray& AData);

  X509* Handle() const { return FCert.get(); }
  EVP_PKEY* PrivateKey() const { return FKey.get(); }
  bool HasPrivateKey() const { return FKey != nullptr; }

  const std::string& IssuedTo() const { return FIssuedTo; }
  const std::string& IssuedBy() const { return FIssuedBy; }
  const std::string& Email() const { return FEmail; }
  const std::string& SerialNumber() const { return FSerialNumber; }
  TDateTime ValidFrom() const { return FValidFrom; }  // local time
  TDateTime ValidTo() const { return FValidTo; }      // local time
  const std::string& FriendlyName() const { return FFriendlyName; }
  const std::string& EnhancedKeyUsage() const { return FEnhancedKeyUsage; }
  int Version() const { return FVersion; }
  const std::string& SignatureAlgorithm() const { return FSignatureAlgorithm; }
  const std::string& SignatureAlgorithmName() const { return FSignatureAlgorithmName; }
  const std::string& PublicKeyAlgorithm() const { return FPublicKeyAlgorithm; }
  const std::string& PublicKeyAlgorithmName() const { return FPublicKeyAlgorithmName; }
  int PublicKeyLength() const { return FPublicKeyLength; }
  // The file the private key was loaded from; empty without a key.
  const std::string& KeyContainerName() const { return FKeyContainerName; }
  const std::string& Thumbprint() const { return FThumbprint; }  // SHA-1 of the DER form
  const std::string& SubjectKeyIdentifier() const { return FSubjectKeyIdentifier; }
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

// An ordered list of certificates; frees them only when it owns them.
class TqmCertificateList : public TObject {
 public:
  explicit TqmCertificateList(bool AOwnsObjects) : FOwnsObjects(AOwnsObjects) {}
  ~TqmCertificateList() override { Clear(); }

  int Add(TqmCertificate* ACertificate);
  int Count() const { return static_cast<int>(FItems.size()); }
  TqmCertificate* Items(int AIndex) const;  // raises EListError out of range
  void Clear();
  bool OwnsObjects() const { return FOwnsObjects; }

 private:
  std::vector<TqmCertificate*> FItems;
  bool FOwnsObjects;
};

}  // namespace qm
