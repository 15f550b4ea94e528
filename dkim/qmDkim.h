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

/// How Verify goes through the DKIM-Signature fields of a message, from the
/// top. Each field's result is in its VerifyStatus either way.
enum TqmDkimVerifyMode {
  dvmVerifyUntilFail,     ///< Stop and raise at the first failing field (the default).
  dvmVerifyUntilSuccess,  ///< Stop at the first field that verifies; failures do not raise.
  dvmVerifyAll            ///< Check every field; failures do not raise.
};

/// Values for a published key record (h, n, s and t tags); signing and
/// verifying do not read them.
class TqmDkimDnsSettings : public TPersistent {
 public:
  TStringList AcceptableHashAlgorithms;  ///< h: hash names ("sha256"); empty: any.
  std::string Notes;                     ///< n: text for people.
  TqmDkimKeyServiceTypes ServiceType;    ///< s: services the key may be used for.
  TqmDkimKeyFlags Flags;                 ///< t: testing (y), strict identity (s).
  /// Copies another TqmDkimDnsSettings; anything else goes to TPersistent.
  void Assign(const TPersistent& ASource) override;
};

/// OnSign: called with the new signature and the message's lines after
/// the DKIM-Signature field was inserted.
using TqmDkimSignEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, TStrings& AMessage)>;
/// OnVerify: called after one field was checked; the handler may change
/// AVerifyStatus (e.g. accept a failure).
using TqmDkimVerifyEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, const TStrings& AMessage,
                       TqmDkimSignatureVerifyStatus& AVerifyStatus)>;
/// OnGetPublicKey: AKey comes in empty; bytes put there are used as the key.
using TqmDkimGetPublicKeyEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, TqmByteArray& AKey)>;
/// What an OnGetKeyRecord handler answers: dkaAskDns (as it comes in) lets
/// OnGetPublicKey and then DNS find the key; dkaKey: AKey holds the whole
/// record (tags h, k, t... as ParseRecord fills them); dkaRevoked: the key
/// is revoked (as an empty p=); dkaNoKey: there is no such key (as a name
/// that does not exist).
enum TqmDkimKeyAnswer { dkaAskDns, dkaKey, dkaRevoked, dkaNoKey };
/// OnGetKeyRecord: fills AKey and sets AAnswer (see TqmDkimKeyAnswer).
using TqmDkimGetKeyRecordEvent = std::function<void(TObject* Sender, TqmDkimSignature* ASignature,
                                                    TqmDkimKey& AKey, TqmDkimKeyAnswer& AAnswer)>;
/// OnKeyReceived, OnKeyRevoked: the key record found for a signature.
using TqmDkimKeyEvent =
    std::function<void(TObject* Sender, TqmDkimSignature* ASignature, TqmDkimKey* AKey)>;

/// Signs messages with a DKIM-Signature header field and verifies the
/// DKIM-Signature fields of received ones. To sign, set Domain, Selector
/// and a private key (LoadPrivateKey); to verify, nothing is needed: the
/// keys are looked up in DNS (DnsQuery), or handed in by OnGetKeyRecord or
/// OnGetPublicKey. Failures raise EqmDkimError (or EqmCryptError for a bad
/// key); with VerifyMode dvmVerifyUntilFail (the default) Verify raises at
/// the first failing signature.
class TqmDkim : public TComponent, public TqmMessageAuthenticator {
 public:
  /// Signs rsa-sha256, simple/simple, the default SignedHeaderFields, 76
  /// characters per line.
  explicit TqmDkim(TComponent* AOwner = nullptr);
  ~TqmDkim() override;

  /// a=: "rsa-sha256" (default), "rsa-sha1" or "ed25519-sha256".
  const std::string& SignatureAlgorithm() const { return FSignatureAlgorithm; }
  /// Sets SignatureAlgorithm; an unknown one raises when signing.
  void SetSignatureAlgorithm(const std::string& AValue) { SetText(FSignatureAlgorithm, AValue); }
  /// c=: "header/body" of "simple" and "relaxed" ("relaxed/relaxed"); empty
  /// (the default) or one name alone makes the body simple.
  const std::string& Canonicalization() const { return FCanonicalization; }
  /// Sets Canonicalization.
  void SetCanonicalization(const std::string& AValue) { SetText(FCanonicalization, AValue); }
  /// d=: the signing domain, which publishes the key.
  const std::string& Domain() const { return FDomain; }
  /// Sets Domain (required for signing).
  void SetDomain(const std::string& AValue) { SetText(FDomain, AValue); }
  /// s=: the selector; the key is at selector._domainkey.domain.
  const std::string& Selector() const { return FSelector; }
  /// Sets Selector (required for signing).
  void SetSelector(const std::string& AValue) { SetText(FSelector, AValue); }
  /// h=: the fields signed, in order (default Date, From, To, Subject,
  /// MIME-Version, Content-Type). From must be among them.
  const TStringList& SignedHeaderFields() const { return FSignedHeaderFields; }
  /// Sets SignedHeaderFields (copied).
  void SetSignedHeaderFields(const TStrings& AValue);
  /// l=: how many bytes of the canonical body are signed; 0 (the default):
  /// the whole body, without an l tag.
  int64_t BodyLength() const { return FBodyLength; }
  /// Sets BodyLength; a length past the body signs the whole body.
  void SetBodyLength(int64_t AValue);
  /// i=: the identity signing (an address or "@domain" at or below
  /// Domain); empty (the default): no i tag.
  const std::string& UserIdentity() const { return FUserIdentity; }
  /// Sets UserIdentity.
  void SetUserIdentity(const std::string& AValue) { SetText(FUserIdentity, AValue); }
  /// q=: where the key is published ("dns/txt", the default and only one).
  const std::string& PublicKeyLocation() const { return FPublicKeyLocation; }
  /// Sets PublicKeyLocation.
  void SetPublicKeyLocation(const std::string& AValue) { SetText(FPublicKeyLocation, AValue); }
  /// t=: when the message was signed, in local time; 0 (the default): no t tag.
  TDateTime SignatureTimestamp() const { return FSignatureTimestamp; }
  /// Sets SignatureTimestamp.
  void SetSignatureTimestamp(TDateTime AValue);
  /// x=: when the signature expires, in local time; 0 (the default): never.
  TDateTime SignatureExpiration() const { return FSignatureExpiration; }
  /// Sets SignatureExpiration.
  void SetSignatureExpiration(TDateTime AValue);
  /// z=: names of fields whose lines are copied into the signature (for
  /// diagnosis); empty by default.
  const TStringList& CopiedHeaderFields() const { return FCopiedHeaderFields; }
  /// Sets CopiedHeaderFields (copied).
  void SetCopiedHeaderFields(const TStrings& AValue);
  /// The longest line of the DKIM-Signature field written (default 76).
  int CharsPerLine() const { return FCharsPerLine; }
  /// Sets CharsPerLine.
  void SetCharsPerLine(int AValue);
  /// How Verify goes on after a field (default dvmVerifyUntilFail: raise at
  /// the first failure; see TqmDkimVerifyMode).
  TqmDkimVerifyMode VerifyMode() const { return FVerifyMode; }
  /// Sets VerifyMode.
  void SetVerifyMode(TqmDkimVerifyMode AValue);
  /// The most DKIM-Signature fields one Verify checks (default 8, RFC 6376
  /// section 6.1 lets a verifier limit them); the fields past it are listed
  /// in Signatures unverified, with DKIM_E_NOT_CHECKED. 0 or less: no limit.
  int MaxSignatures() const { return FMaxSignatures; }
  /// Sets MaxSignatures.
  void SetMaxSignatures(int AValue);
  /// Values for a key record to publish (not read by Sign or Verify).
  const TqmDkimDnsSettings& DnsSettings() const { return FDnsSettings; }
  /// Sets DnsSettings (copied).
  void SetDnsSettings(const TqmDkimDnsSettings& AValue) { FDnsSettings.Assign(AValue); }

  /// The signatures of the last Sign or Verify, in order, with their status.
  TqmDkimSignatureList& Signatures() { return FSignatures; }
  /// The registry, created on first use.
  TqmConfig& Config();
  /// The resolver that fetches key records, created on first use (recursion
  /// desired, the system's name servers); set Server and Port to ask another.
  TqmDnsQuery& DnsQuery();

  /// The private key used for RSA signing ("rsa" of the registry), created
  /// on first use; load it with LoadPrivateKey or through its own methods.
  TqmRsaKey& PrivateKey();
  /// The private key used for ed25519-sha256.
  TqmEd25519Key& Ed25519PrivateKey();
  /// Loads a private key from PEM text, or PEM or DER bytes (PKCS #1 or
  /// PKCS #8; an Ed25519 key also as the base64 of its 32-byte seed), into
  /// the RSA or the Ed25519 key object by its type. Raises EqmCryptError
  /// when the bytes hold no key.
  void LoadPrivateKey(const TqmByteArray& APemOrDer);
  /// LoadPrivateKey with the bytes of a PEM text.
  void LoadPrivateKeyFromText(const std::string& APem);
  /// LoadPrivateKey with the bytes of a file; raises when it cannot be read.
  void LoadPrivateKeyFromFile(const std::string& AFileName);
  /// Frees the signatures and the private keys.
  void Clear();

  /// Signs the message in ALines (header lines, an empty line, body lines)
  /// in place: a DKIM-Signature field becomes the first line.
  virtual void Sign(TStrings& ALines);
  /// Checks every DKIM-Signature field of ALines (which stay unchanged), up
  /// to MaxSignatures. All key lookups of one call share one deadline, the
  /// resolver's TimeOut from the start of the call: a silent name server
  /// costs one TimeOut, however many signatures name it.
  virtual void Verify(TStrings& ALines);
  /// A mail message with this component as its Dkim signs through this
  /// (it calls Sign).
  void SignMessage(TStrings& ALines) override { Sign(ALines); }
  /// A mail message with this component as its Dkim verifies through this
  /// (it calls Verify).
  void VerifyMessage(TStrings& ALines) override { Verify(ALines); }
  void VerifyMessageText(std::string_view AText) override { VerifyText(AText); }
  /// Sign and Verify for a message held as text (a file as read; line breaks
  /// CR LF, LF or CR). The line forms take every line as ended, as over SMTP;
  /// these know whether the last line is, and a relaxed body keeps one space
  /// for the white space that ends an unended last line, as dkimpy does.
  /// SignText returns AText with the new field before it, its lines ended
  /// like the message's first line (CR LF when it has none).
  std::string SignText(std::string_view AText);
  /// Verify for a message held as text (see SignText).
  void VerifyText(std::string_view AText);

  /// Called when a property changes.
  TNotifyEvent OnChanged;
  /// Called after each signature is written (see TqmDkimSignEvent).
  TqmDkimSignEvent OnSign;
  /// Called after each field is checked (see TqmDkimVerifyEvent).
  TqmDkimVerifyEvent OnVerify;
  /// Hands in the key's bytes (DER SubjectPublicKeyInfo or RSAPublicKey, or
  /// a raw Ed25519 key) instead of a DNS lookup. It cannot carry the
  /// record's flags (h=, k=, t=) nor say "revoked" or "no such key": an
  /// empty answer asks DNS. OnGetKeyRecord can, and is asked first.
  TqmDkimGetPublicKeyEvent OnGetPublicKey;
  /// Asked first for a signature's key record (see TqmDkimKeyAnswer).
  TqmDkimGetKeyRecordEvent OnGetKeyRecord;
  /// Called for each key record found for a signature.
  TqmDkimKeyEvent OnKeyReceived;
  /// Called when the key record found is revoked (empty p=).
  TqmDkimKeyEvent OnKeyRevoked;

 protected:
  /// The registry Config() creates (a TqmDkimConfig).
  virtual std::unique_ptr<TqmConfig> CreateConfig();
  /// Puts the default list into SignedHeaderFields.
  virtual void SetDefaultHeaderFields();
  /// A new signature carrying the properties, added to Signatures().
  virtual TqmDkimSignature* CreateSignature();
  /// Calls OnGetPublicKey.
  virtual void DoGetPublicKey(TqmDkimSignature* ASignature, TqmByteArray& AKey);
  /// Calls OnGetKeyRecord.
  virtual void DoGetKeyRecord(TqmDkimSignature* ASignature, TqmDkimKey& AKey, TqmDkimKeyAnswer& AAnswer);
  /// Calls OnVerify.
  virtual void DoVerify(TqmDkimSignature* ASignature, const TStrings& AMessage,
                        TqmDkimSignatureVerifyStatus& AStatus);
  /// Calls OnSign.
  virtual void DoSign(TqmDkimSignature* ASignature, TStrings& AMessage);
  /// Calls OnKeyReceived.
  virtual void DoKeyReceived(TqmDkimSignature* ASignature, TqmDkimKey* AKey);
  /// Calls OnKeyRevoked.
  virtual void DoKeyRevoked(TqmDkimSignature* ASignature, TqmDkimKey* AKey);
  /// Fills AKeys with the key records published for the signature
  /// (selector._domainkey.domain); raises when the lookup fails.
  virtual void LookupPublicKeys(TqmDkimSignature* ASignature, TqmDkimKeyList& AKeys);
  /// Calls OnChanged unless the component is loading.
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
