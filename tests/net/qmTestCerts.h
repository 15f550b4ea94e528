// Certificates made at test time: a local CA, a server certificate for
// localhost, an expired one, one for another host, a self-signed one and a
// client certificate, written as PEM files (and a PKCS#12 file) into a
// fresh temporary folder.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace qm::test {

class TTestCertificates {
 public:
  // Every certificate but the self-signed one is issued by the CA.
  TTestCertificates() {
    char Template[] = "/tmp/qm-certs-XXXXXX";
    if (!mkdtemp(Template)) throw std::runtime_error("mkdtemp failed");
    Dir = Template;
    EVP_PKEY* CaKey = NewKey();
    X509* Ca = Make("Quillmark Test CA", nullptr, CaKey, nullptr, CaKey, -3600, 86400 * 30, true, false);
    Save(Ca, CaKey, "ca");
    SaveHashed(Ca);
    Issue("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", Ca, CaKey, -3600, 86400 * 30, "server");
    Issue("localhost", "DNS:localhost,IP:127.0.0.1", Ca, CaKey, -86400 * 10, -86400, "expired");
    Issue("mail.example.org", "DNS:mail.example.org", Ca, CaKey, -3600, 86400 * 30, "otherhost");
    Issue("Test Client", "email:client@example.org", Ca, CaKey, -3600, 86400 * 30, "client", true);
    EVP_PKEY* SelfKey = NewKey();
    X509* Self = Make("localhost", "DNS:localhost,IP:127.0.0.1", SelfKey, nullptr, SelfKey, -3600,
                      86400 * 30, false, false);
    Save(Self, SelfKey, "selfsigned");
    X509_free(Self);
    EVP_PKEY_free(SelfKey);
    X509_free(Ca);
    EVP_PKEY_free(CaKey);
  }
  ~TTestCertificates() {
    const std::string Command = "rm -rf '" + Dir + "'";
    if (std::system(Command.c_str()) != 0) {
    }
  }
  TTestCertificates(const TTestCertificates&) = delete;
  TTestCertificates& operator=(const TTestCertificates&) = delete;

  // <name>.crt, <name>.key and <name>.pem (both); client.p12 (password "secret").
  std::string Cert(const std::string& AName) const { return Dir + "/" + AName + ".crt"; }
  std::string Key(const std::string& AName) const { return Dir + "/" + AName + ".key"; }
  std::string Pem(const std::string& AName) const { return Dir + "/" + AName + ".pem"; }
  std::string CaFile() const { return Cert("ca"); }
  // A CA directory as `openssl rehash` leaves it, holding only the CA.
  std::string HashedDir() const { return Dir + "/hashed"; }

  std::string Dir;

 private:
  void SaveHashed(X509* ACa) const {
    if (mkdir(HashedDir().c_str(), 0700) != 0) throw std::runtime_error("mkdir failed");
    char Name[32];
    std::snprintf(Name, sizeof Name, "/%08lx.0", X509_subject_name_hash(ACa));
    FILE* F = std::fopen((HashedDir() + Name).c_str(), "w");
    if (!F || PEM_write_X509(F, ACa) != 1) throw std::runtime_error("cannot write the hashed CA");
    std::fclose(F);
  }

  static EVP_PKEY* NewKey() {
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    if (!Key) throw std::runtime_error("key generation failed");
    return Key;
  }

  static void AddExt(X509* ACert, X509* AIssuer, int ANid, const char* AValue) {
    X509V3_CTX Ctx;
    X509V3_set_ctx_nodb(&Ctx);
    X509V3_set_ctx(&Ctx, AIssuer ? AIssuer : ACert, ACert, nullptr, nullptr, 0);
    X509_EXTENSION* Ext = X509V3_EXT_conf_nid(nullptr, &Ctx, ANid, AValue);
    if (!Ext) throw std::runtime_error("bad extension");
    X509_add_ext(ACert, Ext, -1);
    X509_EXTENSION_free(Ext);
  }

  static X509* Make(const char* ACommonName, const char* ASubjectAltName, EVP_PKEY* AKey, X509* AIssuer,
                    EVP_PKEY* AIssuerKey, long AFrom, long ATo, bool ACa, bool AClient) {
    static long Serial = 0x1000;
    X509* Cert = X509_new();
    X509_set_version(Cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert), ++Serial);
    X509_gmtime_adj(X509_getm_notBefore(Cert), AFrom);
    X509_gmtime_adj(X509_getm_notAfter(Cert), ATo);
    X509_set_pubkey(Cert, AKey);
    X509_NAME* Name = X509_get_subject_name(Cert);
    X509_NAME_add_entry_by_txt(Name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Quillmark Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(ACommonName), -1, -1, 0);
    X509_set_issuer_name(Cert, AIssuer ? X509_get_subject_name(AIssuer) : Name);
    AddExt(Cert, AIssuer, NID_subject_key_identifier, "hash");
    if (ACa) {
      AddExt(Cert, AIssuer, NID_basic_constraints, "critical,CA:TRUE");
      AddExt(Cert, AIssuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
      AddExt(Cert, AIssuer, NID_basic_constraints, "CA:FALSE");
      AddExt(Cert, AIssuer, NID_ext_key_usage, AClient ? "clientAuth" : "serverAuth,clientAuth");
    }
    if (ASubjectAltName) AddExt(Cert, AIssuer, NID_subject_alt_name, ASubjectAltName);
    if (!X509_sign(Cert, AIssuerKey, EVP_sha256())) throw std::runtime_error("signing failed");
    return Cert;
  }

  void Issue(const char* ACommonName, const char* ASubjectAltName, X509* ACa, EVP_PKEY* ACaKey, long AFrom,
             long ATo, const std::string& AName, bool AClient = false) {
    EVP_PKEY* Key = NewKey();
    X509* Cert = Make(ACommonName, ASubjectAltName, Key, ACa, ACaKey, AFrom, ATo, false, AClient);
    Save(Cert, Key, AName);
    if (AClient) {
      PKCS12* P12 = PKCS12_create("secret", "Test Client Key", Key, Cert, nullptr, 0, 0, 0, 0, 0);
      FILE* F = std::fopen((Dir + "/" + AName + ".p12").c_str(), "wb");
      i2d_PKCS12_fp(F, P12);
      std::fclose(F);
      PKCS12_free(P12);
    }
    X509_free(Cert);
    EVP_PKEY_free(Key);
  }

  void Save(X509* ACert, EVP_PKEY* AKey, const std::string& AName) {
    FILE* F = std::fopen(Cert(AName).c_str(), "w");
    PEM_write_X509(F, ACert);
    std::fclose(F);
    F = std::fopen(Key(AName).c_str(), "w");
    PEM_write_PrivateKey(F, AKey, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(F);
    F = std::fopen(Pem(AName).c_str(), "w");
    PEM_write_X509(F, ACert);
    PEM_write_PrivateKey(F, AKey, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(F);
  }
};

}  // namespace qm::test
