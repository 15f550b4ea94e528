#include "net/qmCertificate.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "core/qmSysUtils.h"
#include "crypto/qmOpenSsl.h"

namespace qm {

namespace {

std::string Hex(const unsigned char* AData, size_t ALength) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string S;
  S.reserve(ALength * 2);
  for (size_t I = 0; I < ALength; ++I) {
    S += Digits[AData[I] >> 4];
    S += Digits[AData[I] & 15];
  }
  return S;
}

std::string Asn1String(const ASN1_STRING* AValue) {
  if (!AValue) return std::string();
  unsigned char* Utf8 = nullptr;
  const int Len = ASN1_STRING_to_UTF8(&Utf8, AValue);
  if (Len < 0) return std::string();
  const TqmOpenSslMemoryPtr<unsigned char> Owned(Utf8);
  return std::string(reinterpret_cast<char*>(Utf8), static_cast<size_t>(Len));
}

std::string NameEntry(const X509_NAME* AName, int ANid) {
  if (!AName) return std::string();
  const int Index = X509_NAME_get_index_by_NID(AName, ANid, -1);
  if (Index < 0) return std::string();
  return Asn1String(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(AName, Index)));
}

// The simple display name: the common name, else the organisational unit,
// else the organisation, else the e-mail address, else the first entry.
std::string SimpleDisplayName(const X509_NAME* AName) {
  for (int Nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                  NID_pkcs9_emailAddress}) {
    std::string S = NameEntry(AName, Nid);
    if (!S.empty()) return S;
  }
  if (AName && X509_NAME_entry_count(AName) > 0)
    return Asn1String(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(AName, 0)));
  return std::string();
}

std::string ObjectId(const ASN1_OBJECT* AObject) {
  char Buffer[128];
  const int Len = OBJ_obj2txt(Buffer, sizeof(Buffer), AObject, 1);
  return Len > 0 ? std::string(Buffer, static_cast<size_t>(std::min<int>(Len, sizeof(Buffer) - 1)))
                 : std::string();
}

std::string ObjectName(const ASN1_OBJECT* AObject) {
  const int Nid = OBJ_obj2nid(AObject);
  const char* Name = Nid != NID_undef ? OBJ_nid2ln(Nid) : nullptr;
  return Name ? std::string(Name) : ObjectId(AObject);
}

TDateTime Asn1TimeToLocal(const ASN1_TIME* ATime) {
  struct tm Tm {};
  if (!ATime || ASN1_TIME_to_tm(ATime, &Tm) != 1) return 0;
  const int64_t Unix = static_cast<int64_t>(timegm(&Tm));
  return UtcDateTimeToLocal(UnixToDateTime(Unix));
}

}  // namespace

TqmCertificate::TqmCertificate(X509* ACert, EVP_PKEY* AKey, const std::string& AKeyContainerName) {
  if (!ACert) throw EqmCryptError("A certificate is required", -1);
  X509_up_ref(ACert);
  FCert.reset(ACert);
  if (AKey) {
    FKey = ShareKey(AKey);
    FKeyContainerName = AKeyContainerName;
  }
  Decode();
}

TqmCertificate::~TqmCertificate() = default;

void TqmCertificate::Decode() {
  FIssuedTo = SimpleDisplayName(X509_get_subject_name(FCert.get()));
  FIssuedBy = SimpleDisplayName(X509_get_issuer_name(FCert.get()));

  FEmail = NameEntry(X509_get_subject_name(FCert.get()), NID_pkcs9_emailAddress);
  if (FEmail.empty()) {
    const TqmGeneralNamesPtr Names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(FCert.get(), NID_subject_alt_name, nullptr, nullptr)));
    if (Names) {
      for (int I = 0; I < sk_GENERAL_NAME_num(Names.get()); ++I) {
        const GENERAL_NAME* Name = sk_GENERAL_NAME_value(Names.get(), I);
        if (Name->type == GEN_EMAIL) {
          FEmail = Asn1String(Name->d.rfc822Name);
          break;
        }
      }
    }
  }

  if (const ASN1_INTEGER* Serial = X509_get0_serialNumber(FCert.get()))
    FSerialNumber = Hex(ASN1_STRING_get0_data(Serial), static_cast<size_t>(ASN1_STRING_length(Serial)));

  FValidFrom = Asn1TimeToLocal(X509_get0_notBefore(FCert.get()));
  FValidTo = Asn1TimeToLocal(X509_get0_notAfter(FCert.get()));

  int AliasLen = 0;
  if (const unsigned char* Alias = X509_alias_get0(FCert.get(), &AliasLen))
    FFriendlyName.assign(reinterpret_cast<const char*>(Alias), static_cast<size_t>(AliasLen));

  // A missing extension means "any usage" and gives an empty text; one that
  // is present but cannot be decoded is an error.
  int Critical = -1;
  ERR_clear_error();
  const TqmExtendedKeyUsagePtr Usage(static_cast<EXTENDED_KEY_USAGE*>(
      X509_get_ext_d2i(FCert.get(), NID_ext_key_usage, &Critical, nullptr)));
  if (Usage) {
    for (int I = 0; I < sk_ASN1_OBJECT_num(Usage.get()); ++I) {
      if (I > 0) FEnhancedKeyUsage += ',';
      FEnhancedKeyUsage += ObjectId(sk_ASN1_OBJECT_value(Usage.get(), I));
    }
  } else if (Critical >= 0 || Critical == -2) {
    const int Code = static_cast<int>(ERR_peek_error() & 0x7FFFFFFF);
    ERR_clear_error();
    throw EqmCryptError(Format("%s error - %d", "X509_get_ext_d2i", Code), Code);
  }

  const long Version = X509_get_version(FCert.get());
  FVersion = Version >= 0 && Version <= 2 ? static_cast<int>(Version) : 0;

  const X509_ALGOR* SigAlg = nullptr;
  X509_get0_signature(nullptr, &SigAlg, FCert.get());
  if (SigAlg) {
    const ASN1_OBJECT* Oid = nullptr;
    X509_ALGOR_get0(&Oid, nullptr, nullptr, SigAlg);
    FSignatureAlgorithm = ObjectId(Oid);
    FSignatureAlgorithmName = ObjectName(Oid);
  }

  if (X509_PUBKEY* PubKey = X509_get_X509_PUBKEY(FCert.get())) {
    ASN1_OBJECT* Oid = nullptr;
    if (X509_PUBKEY_get0_param(&Oid, nullptr, nullptr, nullptr, PubKey) == 1 && Oid) {
      FPublicKeyAlgorithm = ObjectId(Oid);
      FPublicKeyAlgorithmName = ObjectName(Oid);
    }
  }
  if (EVP_PKEY* Key = X509_get0_pubkey(FCert.get())) FPublicKeyLength = EVP_PKEY_get_bits(Key);

  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int DigestLen = 0;
  if (X509_digest(FCert.get(), EVP_sha1(), Digest, &DigestLen) == 1) FThumbprint = Hex(Digest, DigestLen);

  if (const ASN1_OCTET_STRING* Ski = X509_get0_subject_key_id(FCert.get()))
    FSubjectKeyIdentifier =
        Hex(ASN1_STRING_get0_data(Ski), static_cast<size_t>(ASN1_STRING_length(Ski)));
  ERR_clear_error();
}

bool TqmCertificate::IsSelfSigned() const {
  return (X509_get_extension_flags(FCert.get()) & EXFLAG_SS) != 0;
}

namespace {

TqmBioPtr OpenFile(const std::string& AFileName) {
  TqmBioPtr Bio(BIO_new_file(AFileName.c_str(), "rb"));
  if (!Bio) RaiseCryptError("BIO_new_file");
  return Bio;
}

int PasswordCallback(char* ABuffer, int ASize, int, void* AUser) {
  const auto* Password = static_cast<const std::string*>(AUser);
  const int Len = std::min<int>(ASize, static_cast<int>(Password->size()));
  std::copy_n(Password->data(), Len, ABuffer);
  return Len;
}

}  // namespace

std::unique_ptr<TqmCertificate> TqmCertificate::LoadFromPemFile(const std::string& ACertFile,
                                                                const std::string& AKeyFile,
                                                                const std::string& APassword) {
  TqmBioPtr Bio = OpenFile(ACertFile);
  const TqmX509Ptr Cert(PEM_read_bio_X509(Bio.get(), nullptr, PasswordCallback,
                                          const_cast<std::string*>(&APassword)));
  if (!Cert) RaiseCryptError("PEM_read_bio_X509");
  const std::string& KeyFile = AKeyFile.empty() ? ACertFile : AKeyFile;
  TqmBioPtr KeyBio = OpenFile(KeyFile);
  const TqmEvpPkeyPtr Key(PEM_read_bio_PrivateKey(KeyBio.get(), nullptr, PasswordCallback,
                                                  const_cast<std::string*>(&APassword)));
  if (!Key) RaiseCryptError("PEM_read_bio_PrivateKey");
  if (X509_check_private_key(Cert.get(), Key.get()) != 1) RaiseCryptError("X509_check_private_key");
  return std::make_unique<TqmCertificate>(Cert.get(), Key.get(), KeyFile);
}

std::unique_ptr<TqmCertificate> TqmCertificate::LoadFromPkcs12File(const std::string& AFileName,
                                                                   const std::string& APassword) {
  TqmBioPtr Bio = OpenFile(AFileName);
  const TqmPkcs12Ptr P12(d2i_PKCS12_bio(Bio.get(), nullptr));
  if (!P12) RaiseCryptError("d2i_PKCS12_bio");
  EVP_PKEY* RawKey = nullptr;
  X509* RawCert = nullptr;
  STACK_OF(X509)* RawChain = nullptr;
  const int Ok = PKCS12_parse(P12.get(), APassword.c_str(), &RawKey, &RawCert, &RawChain);
  const TqmEvpPkeyPtr Key(RawKey);
  const TqmX509Ptr Cert(RawCert);
  const TqmX509StackPtr Chain(RawChain);
  if (Ok != 1 || !Cert) RaiseCryptError("PKCS12_parse");
  return std::make_unique<TqmCertificate>(Cert.get(), Key.get(), Key ? AFileName : std::string());
}

std::unique_ptr<TqmCertificate> TqmCertificate::LoadFromBytes(const TqmByteArray& AData) {
  TqmBioPtr Bio(BIO_new_mem_buf(AData.data(), static_cast<int>(AData.size())));
  if (!Bio) RaiseCryptError("BIO_new_mem_buf");
  TqmX509Ptr Cert(PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr));
  if (!Cert) {
    ERR_clear_error();
    const unsigned char* P = AData.data();
    Cert.reset(d2i_X509(nullptr, &P, static_cast<long>(AData.size())));
  }
  if (!Cert) RaiseCryptError("d2i_X509");
  return std::make_unique<TqmCertificate>(Cert.get());
}

int TqmCertificateList::Add(TqmCertificate* ACertificate) {
  FItems.push_back(ACertificate);
  return Count() - 1;
}

TqmCertificate* TqmCertificateList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError(Format("List index out of bounds (%d)", AIndex));
  return FItems[static_cast<size_t>(AIndex)];
}

void TqmCertificateList::Clear() {
  if (FOwnsObjects)
    for (TqmCertificate* C : FItems) delete C;
  FItems.clear();
}

}  // namespace qm
