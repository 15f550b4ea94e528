#include "dkim/qmDkim.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "core/qmSysUtils.h"
#include "crypto/qmCryptEd25519.h"
#include "crypto/qmCryptHash.h"
#include "crypto/qmCryptSignature.h"
#include "crypto/qmOpenSsl.h"
#include "dkim/qmDkimCanonicalizer.h"
#include "dkim/qmDkimConfig.h"
#include "dns/qmDnsMessage.h"
#include "dns/qmDnsQuery.h"

namespace qm {

namespace {

const char* const SignatureField = "DKIM-Signature";
constexpr size_t KeyCacheSize = 16;
// RFC 8301: shorter RSA keys are cheap to factor.
constexpr int MinRsaKeyBits = 1024;

[[noreturn]] void RaiseUnsupported(const char* AWhat, const std::string& AName) {
  throw EqmDkimError(Format("The %s \"%s\" is not supported", AWhat, AName.c_str()), DKIM_E_OTHER);
}

// The canonical DKIM-Signature field without its final CR LF (RFC 6376
// section 3.7), whatever tag comes last.
std::string WithoutFinalCrlf(std::string AText) {
  if (AText.size() >= 2 && AText.compare(AText.size() - 2, 2, "\r\n") == 0)
    AText.resize(AText.size() - 2);
  return AText;
}

bool ListsFrom(const TStrings& ANames) {
  for (int I = 0; I < ANames.Count(); ++I)
    if (SameText(Trim(ANames[I]), "From")) return true;
  return false;
}

// The domain of an i tag: what follows its last "@".
std::string IdentityDomain(const std::string& AIdentity) {
  const size_t At = AIdentity.rfind('@');
  return Trim(At == std::string::npos ? AIdentity : AIdentity.substr(At + 1));
}

// The key an OnGetPublicKey handler hands in, with the type its bytes show:
// an Ed25519 key as its 32 raw bytes or as the SubjectPublicKeyInfo DER
// that wraps them (kept raw, as a k=ed25519 record publishes it), anything
// else an RSA key. Checked by form alone: decoding every key here would
// cost more than the signature check it serves.
std::unique_ptr<TqmDkimKey> KeyFromHandler(const TqmByteArray& ABytes) {
  static constexpr uint8_t Ed25519InfoPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                                  0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
  constexpr size_t Ed25519Size = 32;
  constexpr size_t PrefixSize = sizeof(Ed25519InfoPrefix);
  auto Key = std::make_unique<TqmDkimKey>();
  if (ABytes.size() == Ed25519Size) {
    Key->KeyType = "ed25519";
    Key->PublicKey = EncodeBase64(ABytes);
  } else if (ABytes.size() == PrefixSize + Ed25519Size &&
             std::equal(std::begin(Ed25519InfoPrefix), std::end(Ed25519InfoPrefix), ABytes.begin())) {
    Key->KeyType = "ed25519";
    Key->PublicKey = EncodeBase64(TqmByteArray(ABytes.begin() + PrefixSize, ABytes.end()));
  } else {
    Key->KeyType = "rsa";
    Key->PublicKey = EncodeBase64(ABytes);
  }
  return Key;
}

// A lookup that got no usable answer may pass later; a key name that cannot
// be put on the wire never will.
bool IsTemporaryLookupFailure(const EqmSocketError& AError) {
  const int Code = AError.ErrorCode();
  return !(dynamic_cast<const EqmDnsError*>(&AError) && Code <= qmDnsLabelTooLongCode &&
           Code >= qmDnsMessageTooLongCode);
}

bool EndsUnterminated(std::string_view AText) {
  return !AText.empty() && AText.back() != '\n' && AText.back() != '\r';
}

// The first line break of AText as it stands; CR LF when there is none.
std::string_view LineBreakOf(std::string_view AText) {
  const size_t At = AText.find_first_of("\r\n");
  if (At == std::string_view::npos) return "\r\n";
  if (AText[At] == '\r' && At + 1 < AText.size() && AText[At + 1] == '\n') return "\r\n";
  return AText.substr(At, 1);
}

// Sets a flag for the length of one call.
struct TFlagScope {
  bool& Flag;
  TFlagScope(bool& AFlag, bool AValue) : Flag(AFlag) { Flag = AValue; }
  ~TFlagScope() { Flag = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;
};

TqmByteArray Base64Bytes(const std::string& AText) {
  TqmByteArray Bytes;
  DecodeBase64(AText, Bytes);
  return Bytes;
}

}  // namespace

struct TqmDkim::TCachedKey {
  std::string Type;
  std::string PublicKey;
  std::unique_ptr<TqmConfigObject> Key;
};

void TqmDkimDnsSettings::Assign(const TPersistent& ASource) {
  const auto* Source = dynamic_cast<const TqmDkimDnsSettings*>(&ASource);
  if (!Source) {
    TPersistent::Assign(ASource);
    return;
  }
  AcceptableHashAlgorithms.Assign(Source->AcceptableHashAlgorithms);
  Notes = Source->Notes;
  ServiceType = Source->ServiceType;
  Flags = Source->Flags;
}

TqmDkim::TqmDkim(TComponent* AOwner) : TComponent(AOwner) { SetDefaultHeaderFields(); }

TqmDkim::~TqmDkim() = default;

void TqmDkim::Changed() {
  if (OnChanged && !IsLoading()) OnChanged(this);
}

void TqmDkim::SetText(std::string& AField, const std::string& AValue) {
  if (AField == AValue) return;
  AField = AValue;
  Changed();
}

void TqmDkim::SetSignedHeaderFields(const TStrings& AValue) {
  if (FSignedHeaderFields.Equals(AValue)) return;
  FSignedHeaderFields.Assign(AValue);
  Changed();
}

void TqmDkim::SetCopiedHeaderFields(const TStrings& AValue) {
  if (FCopiedHeaderFields.Equals(AValue)) return;
  FCopiedHeaderFields.Assign(AValue);
  Changed();
}

void TqmDkim::SetBodyLength(int64_t AValue) {
  if (FBodyLength == AValue) return;
  FBodyLength = AValue;
  Changed();
}

void TqmDkim::SetSignatureTimestamp(TDateTime AValue) {
  if (FSignatureTimestamp == AValue) return;
  FSignatureTimestamp = AValue;
  Changed();
}

void TqmDkim::SetSignatureExpiration(TDateTime AValue) {
  if (FSignatureExpiration == AValue) return;
  FSignatureExpiration = AValue;
  Changed();
}

void TqmDkim::SetCharsPerLine(int AValue) {
  if (FCharsPerLine == AValue) return;
  FCharsPerLine = AValue;
  Changed();
}

void TqmDkim::SetMaxSignatures(int AValue) {
  if (FMaxSignatures == AValue) return;
  FMaxSignatures = AValue;
  Changed();
}

void TqmDkim::SetVerifyMode(TqmDkimVerifyMode AValue) {
  if (FVerifyMode == AValue) return;
  FVerifyMode = AValue;
  Changed();
}

std::unique_ptr<TqmConfig> TqmDkim::CreateConfig() { return std::make_unique<TqmDkimConfig>(); }

void TqmDkim::SetDefaultHeaderFields() {
  FSignedHeaderFields.Clear();
  for (const char* Name : {"Date", "From", "To", "Subject", "MIME-Version", "Content-Type"})
    FSignedHeaderFields.Add(Name);
}

TqmConfig& TqmDkim::Config() {
  if (!FConfig) FConfig = CreateConfig();
  return *FConfig;
}

template <class T>
std::unique_ptr<T> TqmDkim::Create(const std::string& AName) {
  return Config().CreateInstanceAs<T>(AName);
}

TqmRsaKey& TqmDkim::PrivateKey() {
  if (!FPrivateKey) {
    FPrivateKey = Create<TqmRsaKey>("rsa");
    if (!FPrivateKey) RaiseUnsupported("key type", "rsa");
    FPrivateKey->Init();
  }
  return *FPrivateKey;
}

TqmEd25519Key& TqmDkim::Ed25519PrivateKey() {
  if (!FEd25519Key) {
    FEd25519Key = Create<TqmEd25519Key>("ed25519");
    if (!FEd25519Key) RaiseUnsupported("key type", "ed25519");
    FEd25519Key->Init();
  }
  return *FEd25519Key;
}

void TqmDkim::LoadPrivateKey(const TqmByteArray& APemOrDer) {
  // Whatever the text holds decides which key object takes it; a bare
  // base64 seed can only be Ed25519.
  TqmEvpPkeyPtr Key = RsaPrivateKeyFromPemOrDer(APemOrDer);
  try {
    if (!Key) Key = DecodeKey(APemOrDer.data(), APemOrDer.size(), nullptr, true);
  } catch (const EqmCryptError& E) {
    if (E.ErrorCode() != CRYPT_E_BAD_KEY) throw;
    Ed25519PrivateKey().LoadPrivateKey(APemOrDer);
    return;
  }
  if (EVP_PKEY_is_a(Key.get(), "ED25519")) {
    Ed25519PrivateKey().Adopt(std::move(Key), true);
  } else if (auto* Rsa = dynamic_cast<TqmOpenSslRsaKey*>(&PrivateKey())) {
    Rsa->Adopt(std::move(Key), true);
  } else {
    PrivateKey().LoadPrivateKey(APemOrDer);
  }
}

void TqmDkim::LoadPrivateKeyFromText(const std::string& APem) {
  LoadPrivateKey(TqmByteArray(APem.begin(), APem.end()));
}

void TqmDkim::LoadPrivateKeyFromFile(const std::string& AFileName) {
  LoadPrivateKey(ReadFileBytes(AFileName));
}

void TqmDkim::Clear() {
  FSignatures.Clear();
  FPrivateKey.reset();
  FEd25519Key.reset();
  FKeyCache.clear();
}

// The resolver's own types are complete here.


std::unique_ptr<TqmSignature> TqmDkim::CreateSigner(const std::string& AName) {
  std::unique_ptr<TqmSignature> Signer = Create<TqmSignature>(AName);
  if (!Signer) RaiseUnsupported("signature algorithm", AName);
  Signer->Init();
  return Signer;
}

TqmDkimSignature* TqmDkim::CreateSignature() {
  auto Signature = std::make_unique<TqmDkimSignature>();
  Signature->Version = 1;
  Signature->SignatureAlgorithm = FSignatureAlgorithm;
  Signature->Canonicalization = FCanonicalization;
  Signature->Domain = FDomain;
  Signature->Selector = FSelector;
  Signature->SetSignedHeaderFields(FSignedHeaderFields);
  Signature->BodyLength = FBodyLength;
  Signature->UserIdentity = FUserIdentity;
  Signature->PublicKeyLocation = FPublicKeyLocation;
  Signature->SignatureTimestamp = FSignatureTimestamp;
  Signature->SignatureExpiration = FSignatureExpiration;
  return FSignatures.Add(std::move(Signature));
}

void TqmDkim::DoGetPublicKey(TqmDkimSignature* ASignature, TqmByteArray& AKey) {
  if (OnGetPublicKey) OnGetPublicKey(this, ASignature, AKey);
}

void TqmDkim::DoGetKeyRecord(TqmDkimSignature* ASignature, TqmDkimKey& AKey, TqmDkimKeyAnswer& AAnswer) {
  if (OnGetKeyRecord) OnGetKeyRecord(this, ASignature, AKey, AAnswer);
}

void TqmDkim::DoVerify(TqmDkimSignature* ASignature, const TStrings& AMessage,
                       TqmDkimSignatureVerifyStatus& AStatus) {
  if (OnVerify) OnVerify(this, ASignature, AMessage, AStatus);
}

void TqmDkim::DoSign(TqmDkimSignature* ASignature, TStrings& AMessage) {
  if (OnSign) OnSign(this, ASignature, AMessage);
}

void TqmDkim::DoKeyReceived(TqmDkimSignature* ASignature, TqmDkimKey* AKey) {
  if (OnKeyReceived) OnKeyReceived(this, ASignature, AKey);
}

void TqmDkim::DoKeyRevoked(TqmDkimSignature* ASignature, TqmDkimKey* AKey) {
  if (OnKeyRevoked) OnKeyRevoked(this, ASignature, AKey);
}

TqmDnsQuery& TqmDkim::DnsQuery() {
  if (!FDnsQuery) {
    FDnsQuery = std::make_unique<TqmDnsQuery>();
    FDnsQuery->SetIsRecursiveDesired(true);
    // A 2048-bit key record is over 512 bytes with its name: announced
    // EDNS0 lets it come in one UDP reply (1232 bytes, RFC 6891 and the DNS
    // flag day's size) instead of a truncated one and a second exchange
    // over TCP.
    FDnsQuery->SetUdpPayloadSize(1232);
  }
  return *FDnsQuery;
}

void TqmDkim::LookupPublicKeys(TqmDkimSignature* ASignature, TqmDkimKeyList& AKeys) {
  TqmDnsQuery& Query = DnsQuery();
  Query.ResolveTXT(Trim(ASignature->Selector) + "._domainkey." + Trim(ASignature->Domain), FLookupDeadline);
  // Every TXT record of the answer, its character strings joined.
  const TqmDnsRecordList& Answers = Query.Response().Answers();
  for (int I = 0; I < Answers.Count(); ++I)
    if (auto* Txt = Answers.ItemAs<TqmDnsTXTRecord>(I))
      AKeys.Add(std::make_unique<TqmDkimKey>())->ParseRecord(Txt->Text());
}

TqmByteArray TqmDkim::ComputeBodyHash(TqmDkimSignature* ASignature, const TStrings& ALines,
                                      size_t* ACanonicalLength) {
  const std::string HashName = ASignature->GetHashAlgorithm();
  std::unique_ptr<TqmHash> Hash = Create<TqmHash>(HashName);
  if (!Hash) RaiseUnsupported("hash algorithm", HashName);
  Hash->Init();
  const std::string CanonName = ASignature->GetBodyCanonicalization();
  std::unique_ptr<TqmDkimCanonicalizer> Canon = Create<TqmDkimCanonicalizer>(CanonName);
  if (!Canon) RaiseUnsupported("canonicalization", CanonName);
  std::string Body = Canon->CanonicalizeBody(ALines, FLastLineUnterminated);
  if (ACanonicalLength) *ACanonicalLength = Body.size();
  // A received l=0 covers no body; BodyLength 0 without the tag is the whole.
  const bool Limited = ASignature->BodyLength > 0 || ASignature->HasBodyLengthTag;
  if (Limited && static_cast<uint64_t>(ASignature->BodyLength) < Body.size())
    Body.resize(static_cast<size_t>(ASignature->BodyLength));
  Hash->Update(Body);
  return Hash->Final();
}

void TqmDkim::Sign(TStrings& ALines) {
  std::unique_ptr<TqmSignature> Signer = CreateSigner(FSignatureAlgorithm);
  // The algorithm takes the private key of its own type.
  if (Signer->AcceptKey(PrivateKey(), true)) {
    if (PrivateKey().KeySize() < MinRsaKeyBits) RaiseDkimError(DKIM_E_KEY_INVALID);
  } else if (!Signer->AcceptKey(Ed25519PrivateKey(), true)) {
    RaiseUnsupported("signature algorithm", FSignatureAlgorithm);
  }
  // A signature that does not cover From is refused by every verifier.
  if (!ListsFrom(FSignedHeaderFields)) RaiseDkimError(DKIM_E_FROM_NOT_SIGNED);

  FSignatures.Clear();
  TqmDkimSignature* Signature = CreateSignature();

  TqmDkimHeaderFieldList List;
  List.Parse(0, &ALines);
  for (int I = 0; I < FCopiedHeaderFields.Count(); ++I) {
    TStringList Lines;
    List.GetFieldLines(List.IndexOfField(FCopiedHeaderFields[I]), Lines);
    Signature->CopiedHeaderFields.AddStrings(Lines);
  }
  size_t BodySize = 0;
  Signature->BodyHash = EncodeBase64(ComputeBodyHash(Signature, ALines, &BodySize));
  // l states what was hashed: verifiers refuse an l beyond the body.
  if (Signature->BodyLength > 0 && static_cast<uint64_t>(Signature->BodyLength) > BodySize)
    Signature->BodyLength = static_cast<int64_t>(BodySize);
  Signature->BuildHeaderField(ALines, FCharsPerLine);

  const std::string CanonName = Signature->GetHeaderCanonicalization();
  std::unique_ptr<TqmDkimCanonicalizer> Canon = Create<TqmDkimCanonicalizer>(CanonName);
  if (!Canon) RaiseUnsupported("canonicalization", CanonName);
  Signer->UpdateHash(Canon->CanonicalizeHeader(ALines, Signature->SignedHeaderFields));
  List.Parse(0, &ALines);
  TStringList Field;
  List.GetFieldLines(List.IndexOfField(SignatureField), Field);
  Signer->UpdateHash(WithoutFinalCrlf(Canon->CanonicalizeHeaderField(Field, SignatureField)));
  Signature->Signature = EncodeBase64(Signer->Sign());
  Signature->StoreSignatureValue(ALines, FCharsPerLine);
  DoSign(Signature, ALines);
}

std::string TqmDkim::SignText(std::string_view AText) {
  TStringList Lines;
  Lines.SetText(AText);
  const int Before = Lines.Count();
  {
    TFlagScope Scope(FLastLineUnterminated, EndsUnterminated(AText));
    Sign(Lines);
  }
  // The new field is the first lines; the message follows byte for byte.
  const std::string_view Break = LineBreakOf(AText);
  std::string Signed;
  for (int I = 0; I < Lines.Count() - Before; ++I) {
    Signed += Lines[I];
    Signed += Break;
  }
  Signed += AText;
  return Signed;
}

void TqmDkim::VerifyText(std::string_view AText) {
  TStringList Lines;
  Lines.SetText(AText);
  TFlagScope Scope(FLastLineUnterminated, EndsUnterminated(AText));
  Verify(Lines);
}

void TqmDkim::Verify(TStrings& ALines) {
  FSignatures.Clear();
  TqmDkimHeaderFieldList List;
  List.Parse(0, &ALines);
  // One deadline for every key lookup of this call.
  struct TDeadlineScope {
    std::chrono::steady_clock::time_point& Deadline;
    ~TDeadlineScope() { Deadline = std::chrono::steady_clock::time_point::max(); }
  } Scope{FLookupDeadline};
  FLookupDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(DnsQuery().TimeOut(), 0));
  int Checked = 0;
  for (int I = 0; I < List.FieldCount(); ++I) {
    if (List.FieldNames()[I] != "dkim-signature") continue;
    if (FMaxSignatures > 0 && Checked == FMaxSignatures) {
      // Listed, so that the caller sees them, but not checked: each check
      // may cost a lookup, and a sender could add signatures without end.
      TqmDkimSignature* Signature = FSignatures.Add(std::make_unique<TqmDkimSignature>());
      try {
        Signature->ParseTags(List.GetDecodedFieldValueAt(I));
      } catch (const EqmDkimError&) {
        // Its tags are not needed to say it was not checked.
      }
      Signature->VerifyStatus.SetNotChecked(DkimErrorText(DKIM_E_NOT_CHECKED), DKIM_E_NOT_CHECKED);
      continue;
    }
    ++Checked;
    try {
      VerifyField(ALines, List, I);
    } catch (...) {
      if (FVerifyMode == dvmVerifyUntilFail) throw;
      continue;
    }
    if (FVerifyMode == dvmVerifyUntilSuccess) break;
  }
}

void TqmDkim::VerifyField(TStrings& ALines, TqmDkimHeaderFieldList& AList, int AIndex) {
  TqmDkimSignature* Signature = FSignatures.Add(std::make_unique<TqmDkimSignature>());
  TqmDkimSignatureVerifyStatus& Status = Signature->VerifyStatus;
  try {
    Signature->ParseTags(AList.GetDecodedFieldValueAt(AIndex));
    if (Signature->Version != 1) RaiseDkimError(DKIM_E_VERSION);
    // RFC 6376 section 6.1.1: From must be signed, and i must lie in d.
    if (!ListsFrom(Signature->SignedHeaderFields)) RaiseDkimError(DKIM_E_FROM_NOT_SIGNED);
    const std::string Domain = Trim(Signature->Domain);
    if (!Trim(Signature->UserIdentity).empty()) {
      const std::string IdDomain = IdentityDomain(Signature->UserIdentity);
      if (!SameText(IdDomain, Domain) && !EndsText("." + Domain, IdDomain))
        RaiseDkimError(DKIM_E_IDENTITY_DOMAIN);
    }
    // The algorithm must be one we know before anything is hashed.
    Signature->GetHashAlgorithm();
    if (!Config().HasType(Signature->SignatureAlgorithm))
      RaiseUnsupported("signature algorithm", Signature->SignatureAlgorithm);

    const TqmByteArray BodyHash = ComputeBodyHash(Signature, ALines);
    if (BodyHash != Base64Bytes(Signature->BodyHash)) RaiseDkimError(DKIM_E_BODY_HASH);

    TqmDkimKeyList Keys;
    TqmByteArray KeyBytes;
    auto Record = std::make_unique<TqmDkimKey>();
    TqmDkimKeyAnswer Answer = dkaAskDns;
    DoGetKeyRecord(Signature, *Record, Answer);
    if (Answer == dkaKey) {
      Keys.Add(std::move(Record));
    } else if (Answer == dkaRevoked) {
      // As a record of the signature's key type with an empty p=.
      Record->Clear();
      Record->KeyType = LowerCase(Signature->GetKeyAlgorithm());
      Keys.Add(std::move(Record));
    } else if (Answer == dkaNoKey) {
      // No key at all, as for a name that does not exist.
    } else if (DoGetPublicKey(Signature, KeyBytes), !KeyBytes.empty()) {
      Keys.Add(KeyFromHandler(KeyBytes));
    } else {
      try {
        LookupPublicKeys(Signature, Keys);
      } catch (const EqmDnsError& E) {
        // RFC 6376 section 6.1.2: a key name that does not exist means no
        // key, for good; any other lookup failure may pass later.
        if (E.ErrorCode() != qmDnsNameErrorCode) throw;
        Keys.Clear();
      }
    }
    if (Keys.Count() == 0) RaiseDkimError(DKIM_E_KEY_REQUIRED);

    TStringList FieldLines;
    AList.GetFieldLines(AIndex, FieldLines);
    const std::string HashName = Signature->GetHashAlgorithm();
    const std::string KeyAlgorithm = LowerCase(Signature->GetKeyAlgorithm());
    std::exception_ptr Rejection;
    bool Verified = false;
    for (int K = 0; K < Keys.Count() && !Verified; ++K) {
      TqmDkimKey* Key = Keys.Items(K);
      try {
        if (!Key->Version.empty() && Key->Version != "DKIM1") RaiseDkimError(DKIM_E_KEY_INVALID);
        if (Key->HashAlgorithms.Count() > 0) {
          bool Listed = false;
          for (int H = 0; H < Key->HashAlgorithms.Count() && !Listed; ++H)
            Listed = SameText(Trim(Key->HashAlgorithms[H]), HashName);
          if (!Listed) RaiseDkimError(DKIM_E_KEY_INVALID);
        }
        // No k tag means rsa; the key type must be the signature's.
        const std::string KeyType = Key->KeyType.empty() ? std::string("rsa") : Key->KeyType;
        if (KeyType != KeyAlgorithm) RaiseDkimError(DKIM_E_KEY_INVALID);
        if (Key->PublicKey.empty()) {
          DoKeyRevoked(Signature, Key);
          RaiseDkimError(DKIM_E_KEY_REVOKED);
        }
        // t=s: the identity's domain must be d itself.
        if (Key->Flags.count(ddfCheckUserIdentityDomain) && !Trim(Signature->UserIdentity).empty() &&
            !SameText(IdentityDomain(Signature->UserIdentity), Domain))
          RaiseDkimError(DKIM_E_IDENTITY_DOMAIN);
        CheckSignatureWithKey(Signature, Key, ALines, FieldLines);
        DoKeyReceived(Signature, Key);
        Verified = true;
      } catch (...) {
        Rejection = std::current_exception();
      }
    }
    if (!Verified) std::rethrow_exception(Rejection);
    Status.SetVerified();
  } catch (const EqmDkimError& E) {
    Status.SetFailed(E.Message(), E.ErrorCode());
    DoVerify(Signature, ALines, Status);
    throw;
  } catch (const EqmCryptError& E) {
    Status.SetFailed(E.Message(), E.ErrorCode());
    DoVerify(Signature, ALines, Status);
    throw;
  } catch (const EqmSocketError& E) {
    // The key lookup failed; unless the name itself was unusable, the
    // signature may verify later.
    Status.SetFailed(E.Message(), DKIM_E_OTHER, IsTemporaryLookupFailure(E));
    DoVerify(Signature, ALines, Status);
    throw;
  } catch (const std::exception& E) {
    Status.SetFailed(E.what(), DKIM_E_OTHER);
    DoVerify(Signature, ALines, Status);
    throw;
  }
  DoVerify(Signature, ALines, Status);
}

void TqmDkim::CheckSignatureWithKey(TqmDkimSignature* ASignature, TqmDkimKey* AKey,
                                    TStrings& ALines, const TStrings& AField) {
  const std::string KeyType = LowerCase(ASignature->GetKeyAlgorithm());
  TqmConfigObject* KeyObject = nullptr;
  for (auto It = FKeyCache.begin(); It != FKeyCache.end(); ++It)
    if (It->Type == KeyType && It->PublicKey == AKey->PublicKey) {
      FKeyCache.splice(FKeyCache.begin(), FKeyCache, It);
      KeyObject = FKeyCache.front().Key.get();
      break;
    }
  if (!KeyObject) {
    TqmByteArray Der;
    if (!DecodeBase64(AKey->PublicKey, Der) || Der.empty()) RaiseDkimError(DKIM_E_KEY_INVALID);
    std::unique_ptr<TqmConfigObject> Object;
    try {
      // The record's k= names the key type, and with it the class.
      if (KeyType == "rsa") {
        std::unique_ptr<TqmRsaKey> Rsa = Create<TqmRsaKey>(KeyType);
        if (!Rsa) RaiseUnsupported("key type", KeyType);
        Rsa->Init();
        // SubjectPublicKeyInfo as RFC 6376 asks; some publish the bare
        // PKCS #1 RSAPublicKey.
        try {
          Rsa->SetPublicKeyInfo(Der);
        } catch (const EqmCryptError&) {
          Rsa->SetRsaPublicKey(Der);
        }
        if (Rsa->KeySize() < MinRsaKeyBits) RaiseDkimError(DKIM_E_KEY_INVALID);
        Object = std::move(Rsa);
      } else if (KeyType == "ed25519") {
        std::unique_ptr<TqmEd25519Key> Ed = Create<TqmEd25519Key>(KeyType);
        if (!Ed) RaiseUnsupported("key type", KeyType);
        Ed->Init();
        Ed->SetPublicKey(Der);
        Object = std::move(Ed);
      } else {
        RaiseUnsupported("key type", KeyType);
      }
    } catch (const EqmCryptError& E) {
      if (E.ErrorCode() == CRYPT_E_BAD_KEY || E.ErrorCode() == CRYPT_E_KEY_REQUIRED)
        RaiseDkimError(DKIM_E_KEY_INVALID);
      throw;
    }
    FKeyCache.push_front(TCachedKey{KeyType, AKey->PublicKey, std::move(Object)});
    if (FKeyCache.size() > KeyCacheSize) FKeyCache.pop_back();
    KeyObject = FKeyCache.front().Key.get();
  }

  std::unique_ptr<TqmSignature> Signer = CreateSigner(ASignature->SignatureAlgorithm);
  if (!Signer->AcceptKey(*KeyObject, false)) RaiseDkimError(DKIM_E_KEY_INVALID);

  const std::string CanonName = ASignature->GetHeaderCanonicalization();
  std::unique_ptr<TqmDkimCanonicalizer> Canon = Create<TqmDkimCanonicalizer>(CanonName);
  if (!Canon) RaiseUnsupported("canonicalization", CanonName);
  Signer->UpdateHash(Canon->CanonicalizeHeader(ALines, ASignature->SignedHeaderFields));
  TStringList Field;
  Field.Assign(AField);
  TqmDkimHeaderFieldList FieldList;
  FieldList.Parse(0, &Field);
  FieldList.ClearFieldItemValue(0, "b");
  Signer->UpdateHash(WithoutFinalCrlf(Canon->CanonicalizeHeaderField(Field, SignatureField)));
  Signer->Verify(Base64Bytes(ASignature->Signature));
}

}  // namespace qm
