// The DKIM component: signs a message with a DKIM-Signature header field and
// verifies the DKIM-Signature fields of a received one (RFC 6376; RSA-SHA1,
// RSA-SHA256 and, RFC 8463, Ed25519-SHA256).
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/qmComponent.h"
#include "core/qmStrings.h"
#include "core/qmTypes.h"
#include "crypto/qmConfig.h"
#include "dkim/qmDkimKey.h"
#include "dkim/qmDkimSignature.h"
#include "message/qmMessageAuthenticator.h"

namespace qm {

class TqmDnsQuery;
class TqmRsaKey;
class TqmEd25519Key;
class TqmSignature;

enum TqmDkimVerifyMode { dvmVerifyUntilFail, dvmVerifyUntilSuccess, dvmVerifyAll };

// Values for a published key record (h, n, s and t tags); signing and
// verifying do not read them.
class TqmDkimDnsSettings : public TPersistent {
 public:
  TStringList AcceptableHashAlgorithms;
  std::string Notes;
  TqmDkimKeyServiceTypes ServiceType;
  TqmDkimKeyFlags Flags;
  void Assign(const TPersistent& ASource) override;
};

using TqmDkimSignEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, TStrings& AMessage)>;
using TqmDkimVerifyEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, const TStrings& AMessage,
                       TqmDkimSignatureVerifyStatus& AVerifyStatus)>;
using TqmDkimGetPublicKeyEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, TqmByteArray& AKey)>;
// What an OnGetKeyRecord handler answers: dkaAskDns (as it comes in) lets
// OnGetPublicKey and then DNS find the key; dkaKey: AKey holds the whole
// record (tags h, k, t... as ParseRecord fills them); dkaRevoked: the key
// is revoked (as an empty p=); dkaNoKey: there is no such key (as a name
// that does not exist).
enum TqmDkimKeyAnswer { dkaAskDns, dkaKey, dkaRevoked, dkaNoKey };
using TqmDkimGetKeyRecordEvent = std::function<void(TObject* Sender, TqmDkimSignature* ASignature,
                                                    TqmDkimKey& AKey, TqmDkimKeyAnswer& AAnswer)>;
using TqmDkimKeyEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, TqmDkimKey* AKey)>;

class TqmDkim : public TComponent, public TqmMessageAuthenticator {
 public:
  explicit TqmDkim(TComponent* AOwner = nullptr);
  ~TqmDkim() override;

  // Properties.
  const std::string& SignatureAlgorithm() const { return FSignatureAlgorithm; }
  void SetSignatureAlgorithm(const std::string& AValue) { SetText(FSignatureAlgorithm, AValue); }
  const std::string& Canonicalization() const { return FCanonicalization; }
  void SetCanonicalization(const std::string& AValue) { SetText(FCanonicalization, AValue); }
  const std::string& Domain() const { return FDomain; }
  void SetDomain(const std::string& AValue) { SetText(FDomain, AValue); }
  const std::string& Selector() const { return FSelector; }
  void SetSelector(const std::string& AValue) { SetText(FSelector, AValue); }
  const TStringList& SignedHeaderFields() const { return FSignedHeaderFields; }
  void SetSignedHeaderFields(const TStrings& AValue);
  int64_t BodyLength() const { return FBodyLength; }
  void SetBodyLength(int64_t AValue);
  const std::string& UserIdentity() const { return FUserIdentity; }
  void SetUserIdentity(const std::string& AValue) { SetText(FUserIdentity, AValue); }
  const std::string& PublicKeyLocation() const { return FPublicKeyLocation; }
  void SetPublicKeyLocation(const std::string& AValue) { SetText(FPublicKeyLocation, AValue); }
  TDateTime SignatureTimestamp() const { return FSignatureTimestamp; }
  void SetSignatureTimestamp(TDateTime AValue);
  TDateTime SignatureExpiration() const { return FSignatureExpiration; }
  void SetSignatureExpiration(TDateTime AValue);
  const TStringList& CopiedHeaderFields() const { return FCopiedHeaderFields; }
  void SetCopiedHeaderFields(const TStrings& AValue);
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int AValue);
  TqmDkimVerifyMode VerifyMode() const { return FVerifyMode; }
  void SetVerifyMode(TqmDkimVerifyMode AValue);
  // The most DKIM-Signature fields one Verify checks (default 8, RFC 6376
  // section 6.1 lets a verifier limit them); the fields past it are listed
  // in Signatures unverified, with DKIM_E_NOT_CHECKED. 0 or less: no limit.
  int MaxSignatures() const { return FMaxSignatures; }
  void SetMaxSignatures(int AValue);
  const TqmDkimDnsSettings& DnsSettings() const { return FDnsSettings; }
  void SetDnsSettings(const TqmDkimDnsSettings& AValue) { FDnsSettings.Assign(AValue); }

  // The signatures of the last Sign or Verify, in order, with their status.
  TqmDkimSignatureList& Signatures() { return FSignatures; }
  // The registry, created on first use.
  TqmConfig& Config();
  // The resolver that fetches key records, created on first use (recursion
  // desired, the system's name servers); set Server and Port to ask another.
  TqmDnsQuery& DnsQuery();

  // The private key used for RSA signing ("rsa" of the registry), created
  // on first use; load it with LoadPrivateKey or through its own methods.
  TqmRsaKey& PrivateKey();
  // The private key used for ed25519-sha256.
  TqmEd25519Key& Ed25519PrivateKey();
  // Loads a private key from PEM text, or PEM or DER bytes (PKCS #1 or
  // PKCS #8; an Ed25519 key also as the base64 of its 32-byte seed), into
  // the RSA or the Ed25519 key object by its type.
  void LoadPrivateKey(const TqmByteArray& APemOrDer);
  void LoadPrivateKeyFromText(const std::string& APem);
  void LoadPrivateKeyFromFile(const std::string& AFileName);
  // Frees the signatures and the private keys.
  void Clear();

  // Signs the message in ALines (header lines, an empty line, body lines)
  // in place: a DKIM-Signature field becomes the first line.
  virtual void Sign(TStrings& ALines);
  // Checks every DKIM-Signature field of ALines (which stay unchanged), up
  // to MaxSignatures. All key lookups of one call share one deadline, the
  // resolver's TimeOut from the start of the call: a silent name server
  // costs one TimeOut, however many signatures name it.
  virtual void Verify(TStrings& ALines);
  // A mail message with this component as its Dkim signs and verifies
  // through these (they call Sign and Verify).
  void SignMessage(TStrings& ALines) override { Sign(ALines); }
  void VerifyMessage(TStrings& ALines) override { Verify(ALines); }
  void VerifyMessageText(std::string_view AText) override { VerifyText(AText); }
  // Sign and Verify for a message held as text (a file as read; line breaks
  // CR LF, LF or CR). The line forms take every line as ended, as over SMTP;
  // these know whether the last line is, and a relaxed body keeps one space
  // for the white space that ends an unended last line, as dkimpy does.
  // SignText returns AText with the new field before it, its lines ended
  // like the message's first line (CR LF when it has none).
  std::string SignText(std::string_view AText);
  void VerifyText(std::string_view AText);

  TNotifyEvent OnChanged;
  TqmDkimSignEvent OnSign;
  TqmDkimVerifyEvent OnVerify;
  // Hands in the key's bytes (DER SubjectPublicKeyInfo or RSAPublicKey, or
  // a raw Ed25519 key) instead of a DNS lookup. It cannot carry the
  // record's flags (h=, k=, t=) nor say "revoked" or "no such key": an
  // empty answer asks DNS. OnGetKeyRecord can, and is asked first.
  TqmDkimGetPublicKeyEvent OnGetPublicKey;
  TqmDkimGetKeyRecordEvent OnGetKeyRecord;
  TqmDkimKeyEvent OnKeyReceived;
  TqmDkimKeyEvent OnKeyRevoked;

 protected:
  virtual std::unique_ptr<TqmConfig> CreateConfig();
  virtual void SetDefaultHeaderFields();
  virtual TqmDkimSignature* CreateSignature();
  virtual void DoGetPublicKey(TqmDkimSignature* ASignature, TqmByteArray& AKey);
  virtual void DoGetKeyRecord(TqmDkimSignature* ASignature, TqmDkimKey& AKey, TqmDkimKeyAnswer& AAnswer);
  virtual void DoVerify(TqmDkimSignature* ASignature, const TStrings& AMessage,
                        TqmDkimSignatureVerifyStatus& AStatus);
  virtual void DoSign(TqmDkimSignature* ASignature, TStrings& AMessage);
  virtual void DoKeyReceived(TqmDkimSignature* ASignature, TqmDkimKey* AKey);
  virtual void DoKeyRevoked(TqmDkimSignature* ASignature, TqmDkimKey* AKey);
  // Fills AKeys with the key records published for the signature
  // (selector._domainkey.domain); raises when the lookup fails.
  virtual void LookupPublicKeys(TqmDkimSignature* ASignature, TqmDkimKeyList& AKeys);
  virtual void Changed();

 private:
  void SetText(std::string& AField, const std::string& AValue);
  TqmByteArray ComputeBodyHash(TqmDkimSignature* ASignature, const TStrings& ALines,
                               size_t* ACanonicalLength = nullptr);
  void VerifyField(TStrings& ALines, TqmDkimHeaderFieldList& AList, int AIndex);
  void CheckSignatureWithKey(TqmDkimSignature* ASignature, TqmDkimKey* AKey, TStrings& ALines,
                             const TStrings& AField);
  std::unique_ptr<TqmSignature> CreateSigner(const std::string& AName);
  template <class T>
  std::unique_ptr<T> Create(const std::string& AName);

  std::string FSignatureAlgorithm = "rsa-sha256";
  std::string FCanonicalization;
  std::string FDomain;
  std::string FSelector;
  TStringList FSignedHeaderFields;
  int64_t FBodyLength = 0;
  std::string FUserIdentity;
  std::string FPublicKeyLocation = "dns/txt";
  TDateTime FSignatureTimestamp = 0;
  TDateTime FSignatureExpiration = 0;
  TStringList FCopiedHeaderFields;
  int FCharsPerLine = 76;
  TqmDkimVerifyMode FVerifyMode = dvmVerifyUntilFail;
  int FMaxSignatures = 8;
  // The message of the running SignText or VerifyText ends without a line
  // break.
  bool FLastLineUnterminated = false;
  // The deadline of the running Verify for its key lookups (max(): none).
  std::chrono::steady_clock::time_point FLookupDeadline = std::chrono::steady_clock::time_point::max();
  TqmDkimDnsSettings FDnsSettings;

  TqmDkimSignatureList FSignatures;
  std::unique_ptr<TqmConfig> FConfig;
  std::unique_ptr<TqmRsaKey> FPrivateKey;
  std::unique_ptr<TqmEd25519Key> FEd25519Key;
  std::unique_ptr<TqmDnsQuery> FDnsQuery;
  // Public keys decoded lately, by key type and p= text: a domain signs
  // many messages with one key, and decoding it again for each costs more
  // than checking the signature.
  struct TCachedKey;
  std::list<TCachedKey> FKeyCache;
};

}  // namespace qm
