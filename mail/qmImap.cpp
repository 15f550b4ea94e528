#include "mail/qmImap.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/qmSysUtils.h"
#include "mail/qmImapUtf7.h"
#include "mail/qmSasl.h"
#include "message/qmEncoder.h"
#include "message/qmMailMessage.h"

namespace qm {

const char* const qmImapUnsupported = "The server does not support %s";
const char* const qmImapOutOfStep = "The server is out of step with the client: %s";

namespace {

bool EqualText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    char X = A[I], Y = B[I];
    if (X >= 'a' && X <= 'z') X = static_cast<char>(X - 32);
    if (Y >= 'a' && Y <= 'z') Y = static_cast<char>(Y - 32);
    if (X != Y) return false;
  }
  return true;
}

std::string Upper(std::string_view AText) {
  std::string Result(AText);
  for (char& C : Result)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 32);
  return Result;
}

std::vector<std::string> Strings(const TqmImapValue& AList) {
  std::vector<std::string> Result;
  for (const auto& Item : AList.Items) Result.push_back(Item.AsString());
  return Result;
}

int64_t NumberOf(const TqmImapValue& AValue) {
  uint64_t N = 0;
  return AValue.ToNumber(N) ? static_cast<int64_t>(N) : -1;
}

// A value written back as IMAP text (BODYSTRUCTURE kept raw).
void Serialize(const TqmImapValue& AValue, std::string& AOut) {
  switch (AValue.Kind) {
    case TqmImapValue::ikNil:
      AOut += "NIL";
      break;
    case TqmImapValue::ikAtom:
      AOut += AValue.Text;
      break;
    case TqmImapValue::ikString:
      AOut += ImapQuote(AValue.Text).front() == '"' ? ImapQuote(AValue.Text) : "\"" + AValue.AsString() + "\"";
      break;
    case TqmImapValue::ikList:
      AOut += '(';
      for (size_t I = 0; I < AValue.Items.size(); ++I) {
        if (I) AOut += ' ';
        Serialize(AValue.Items[I], AOut);
      }
      AOut += ')';
      break;
  }
}

std::vector<TqmImapAddress> Addresses(const TqmImapValue& AValue) {
  std::vector<TqmImapAddress> Result;
  if (!AValue.IsList()) return Result;
  for (const auto& A : AValue.Items) {
    // (name adl mailbox host); a NIL host marks the start or end of a group.
    if (!A.IsList() || A.Items.size() != 4 || A.Items[3].IsNil()) continue;
    Result.push_back({A.Items[0].AsString(), A.Items[2].AsString(), A.Items[3].AsString()});
  }
  return Result;
}

// "1:3,7" expanded; at most ALimit numbers (a server cannot make the
// client hold more UIDs than the mailbox has messages).
std::vector<uint64_t> ExpandSet(std::string_view ASet, uint64_t ALimit) {
  std::vector<uint64_t> Result;
  size_t I = 0;
  auto Number = [&](uint64_t& AValue) {
    const size_t Start = I;
    AValue = 0;
    while (I < ASet.size() && ASet[I] >= '0' && ASet[I] <= '9' && I - Start < 18)
      AValue = AValue * 10 + static_cast<uint64_t>(ASet[I++] - '0');
    if (I == Start)
      throw EqmImapError(Format(qmImapMalformed, "a bad number set in a search result"), qmImapMalformedCode);
  };
  while (I < ASet.size()) {
    uint64_t First = 0, Last = 0;
    Number(First);
    Last = First;
    if (I < ASet.size() && ASet[I] == ':') {
      ++I;
      Number(Last);
    }
    if (Last < First) std::swap(First, Last);
    if (Last - First >= ALimit || Result.size() + (Last - First + 1) > ALimit)
      throw EqmImapError(Format(qmImapMalformed, "a search result larger than the mailbox"), qmImapMalformedCode);
    for (uint64_t U = First; U <= Last; ++U) Result.push_back(U);
    if (I < ASet.size()) {
      if (ASet[I] != ',')
        throw EqmImapError(Format(qmImapMalformed, "a bad number set in a search result"), qmImapMalformedCode);
      ++I;
    }
  }
  return Result;
}

std::string FlagList(const std::vector<std::string>& AFlags) {
  std::string Result = "(";
  for (size_t I = 0; I < AFlags.size(); ++I) {
    if (AFlags[I].find_first_of(" ()\r\n\"{") != std::string::npos || AFlags[I].empty())
      throw EqmImapError("Invalid flag: " + AFlags[I], qmImapInvalidArgumentCode);
    if (I) Result += ' ';
    Result += AFlags[I];
  }
  return Result + ")";
}

}  // namespace

// ---- search criteria ----

TqmImapSearch& TqmImapSearch::Key(const std::string& AKey) {
  FPieces.push_back({false, AKey});
  return *this;
}

TqmImapSearch& TqmImapSearch::Text(const char* AKey, const std::string& AText) {
  FPieces.push_back({false, AKey});
  FPieces.push_back({true, AText});
  return *this;
}

TqmImapSearch& TqmImapSearch::Header(const std::string& AField, const std::string& AText) {
  FPieces.push_back({false, "HEADER"});
  FPieces.push_back({true, AField});
  FPieces.push_back({true, AText});
  return *this;
}

TqmImapSearch& TqmImapSearch::Date(const char* AKey, int AYear, int AMonth, int ADay) {
  static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (AMonth < 1 || AMonth > 12 || ADay < 1 || ADay > 31 || AYear < 1 || AYear > 9999)
    throw EqmImapError("Invalid search date", qmImapInvalidArgumentCode);
  return Key(Format("%s %d-%s-%04d", AKey, ADay, Months[AMonth - 1], AYear));
}

TqmImapSearch& TqmImapSearch::Uid(const std::string& ASet) {
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  return Key("UID " + ASet);
}

void TqmImapSearch::AddGroup(const TqmImapSearch& AOther) {
  FPieces.push_back({false, "("});
  if (AOther.FPieces.empty()) FPieces.push_back({false, "ALL"});
  FPieces.insert(FPieces.end(), AOther.FPieces.begin(), AOther.FPieces.end());
  FPieces.push_back({false, ")"});
}

TqmImapSearch& TqmImapSearch::Not(const TqmImapSearch& AOther) {
  FPieces.push_back({false, "NOT"});
  AddGroup(AOther);
  return *this;
}

TqmImapSearch& TqmImapSearch::Or(const TqmImapSearch& ALeft, const TqmImapSearch& ARight) {
  FPieces.push_back({false, "OR"});
  AddGroup(ALeft);
  AddGroup(ARight);
  return *this;
}

bool TqmImapSearch::NeedsUtf8() const {
  for (const auto& P : FPieces)
    if (P.IsString)
      for (unsigned char C : P.Text)
        if (C >= 0x80) return true;
  return false;
}

bool TqmImapMailbox::HasFlag(std::string_view AFlag) const {
  return std::any_of(Flags.begin(), Flags.end(), [&](const std::string& F) { return EqualText(F, AFlag); });
}

// ---- the client ----

// One public operation on the open connection: the client's operation
// scope (the keep-alive NOOP and the LOGOUT of an interrupted operation
// wait for it).
class TqmImap::TOperation {
 public:
  explicit TOperation(TqmImap& AClient) : FScope(AClient) { AClient.CheckActive(); }

 private:
  TqmOperationScope FScope;
};

TqmImap::TqmImap(TComponent* AOwner) : TqmCustomMail(AOwner) {}

TqmImap::~TqmImap() { CloseForDestruction(); }

int TqmImap::GetDefaultPort() { return 143; }

void TqmImap::SetIdleRenewal(int AValue) {
  if (FIdleRenewal == AValue) return;
  FIdleRenewal = AValue;
  Changed();
}

void TqmImap::SetMaxUntaggedResponses(int AValue) {
  if (FMaxUntagged == AValue) return;
  FMaxUntagged = AValue;
  Changed();
}

void TqmImap::SetUseUtf8(bool AValue) {
  if (FUseUtf8 == AValue) return;
  FUseUtf8 = AValue;
  Changed();
}

void TqmImap::DoUntaggedResponse(const TqmImapResponse& AResponse) {
  if (OnUntaggedResponse && !EventsSilenced()) OnUntaggedResponse(this, AResponse);
}
void TqmImap::DoExists(uint64_t ACount) {
  if (OnExists && !EventsSilenced()) OnExists(this, ACount);
}
void TqmImap::DoExpunge(uint64_t ANumber) {
  if (OnExpunge && !EventsSilenced()) OnExpunge(this, ANumber);
}
void TqmImap::DoMessageFetched(const TqmImapMessage& AMessage) {
  if (OnMessageFetched && !EventsSilenced()) OnMessageFetched(this, AMessage);
}

bool TqmImap::HasDataBeforeTls() { return FParser.Pending() > 0 || TqmCustomMail::HasDataBeforeTls(); }

std::string TqmImap::EncodeMailbox(const std::string& AName) const {
  return FUtf8Enabled ? AName : ImapEncodeMailboxName(AName);
}

std::string TqmImap::DecodeMailbox(std::string_view ARaw) const {
  std::string Name;
  if (FUtf8Enabled || !ImapDecodeMailboxName(ARaw, Name)) return std::string(ARaw);
  return Name;
}

TqmImap::TArg TqmImap::Astring(const std::string& AText) const {
  if (AText.find('\0') != std::string::npos)
    throw EqmImapError("A command argument holds a NUL byte", qmImapInvalidArgumentCode);
  TArg Arg;
  if (ImapNeedsLiteral(AText, FUtf8Enabled)) {
    Arg.Literal = true;
    Arg.Text = AText;
  } else {
    Arg.Text = ImapQuote(AText);
  }
  return Arg;
}

TqmImap::TArg TqmImap::MailboxArg(const std::string& AName) const {
  // INBOX is case-insensitive and always sent as such.
  return Astring(EqualText(AName, "INBOX") ? std::string("INBOX") : EncodeMailbox(AName));
}

void TqmImap::DropConnection() noexcept {
  try {
    Connection()->Disconnect(false);
  } catch (const Exception&) {
  }
}

// The session is out of step with the server: nothing more can be read
// reliably, so the connection goes (without LOGOUT).
template <typename E>
[[noreturn]] void TqmImap::Fail(const E& AError) {
  DropConnection();
  throw AError;
}

void TqmImap::Aborted() {
  DropConnection();
  RaiseSocketError(ECONNABORTED);
}

void TqmImap::Write(std::string_view AData, bool ALog) {
  CheckActive();
  try {
    Connection()->WriteString(std::string(AData), std::string());
  } catch (const EqmSocketError& E) {
    if (!FBye.empty()) Fail(EqmImapError(Format(qmImapBye, FBye.c_str()), qmImapByeCode));
    if (E.ErrorCode() == qmTimeoutErrorCode) Fail(E);
    throw;
  }
  if (Connection()->IsAborted()) Aborted();
  if (ALog) DoSendCommand(std::string(AData));
}

void TqmImap::ReadBlock() {
  FBlock.SetSize(0);
  FBlock.SetPosition(0);
  try {
    Connection()->ReadData(&FBlock);
  } catch (const EqmSocketError& E) {
    if (!FBye.empty()) Fail(EqmImapError(Format(qmImapBye, FBye.c_str()), qmImapByeCode));
    if (E.ErrorCode() == qmTimeoutErrorCode || E.ErrorCode() == qmTransferTooSlowCode) Fail(E);
    throw;
  }
  if (Connection()->IsAborted()) Aborted();
  try {
    FParser.Feed(reinterpret_cast<const char*>(FBlock.Memory()), static_cast<size_t>(FBlock.Size()));
  } catch (const EqmImapError& E) {
    Fail(E);
  }
}

void TqmImap::ReadResponse(TqmImapResponse& AResponse) {
  for (;;) {
    try {
      if (FParser.Next(AResponse)) return;
    } catch (const EqmImapError& E) {
      Fail(E);
    }
    ReadBlock();
  }
}

void TqmImap::TakeCapabilities(const std::vector<TqmImapValue>& AValues, size_t AFrom) {
  FCapabilities.clear();
  for (size_t I = AFrom; I < AValues.size(); ++I) FCapabilities.push_back(Upper(AValues[I].Text));
  FCapabilitiesKnown = true;
}

void TqmImap::Untagged(TqmImapResponse& R) {
  if (FMaxUntagged > 0 && ++FUntaggedCount > FMaxUntagged)
    Fail(EqmImapError(Format(qmImapTooManyResponses, static_cast<long long>(FMaxUntagged)),
                      qmImapTooManyResponsesCode));
  if (R.IsStatus()) {
    if (R.Name == "BYE") FBye = R.StatusText();
    if (R.Code == "CAPABILITY") TakeCapabilities(R.CodeArgs, 0);
    if (!R.CodeArgs.empty()) {
      const int64_t N = NumberOf(R.CodeArgs[0]);
      if (R.Code == "UIDVALIDITY") FStatus.UidValidity = N;
      else if (R.Code == "UIDNEXT") FStatus.UidNext = N;
      else if (R.Code == "UNSEEN") FStatus.Unseen = N;
      else if (R.Code == "PERMANENTFLAGS" && R.CodeArgs[0].IsList()) FStatus.PermanentFlags = Strings(R.CodeArgs[0]);
    }
  } else if (R.Name == "CAPABILITY") {
    TakeCapabilities(R.Values, 0);
  } else if (R.Name == "FLAGS" && !R.Values.empty() && R.Values[0].IsList()) {
    FStatus.Flags = Strings(R.Values[0]);
  } else if (R.HasNumber && R.Name == "EXISTS") {
    FStatus.Messages = static_cast<int64_t>(R.Number);
  } else if (R.HasNumber && R.Name == "RECENT") {
    FStatus.Recent = static_cast<int64_t>(R.Number);
  } else if (R.HasNumber && R.Name == "EXPUNGE") {
    if (FStatus.Messages > 0) --FStatus.Messages;
  }
  DoUntaggedResponse(R);
  if (R.HasNumber && R.Name == "EXISTS") DoExists(R.Number);
  if (R.HasNumber && R.Name == "EXPUNGE") DoExpunge(R.Number);
}

TqmImapResponse TqmImap::WaitCompletion(const std::string& ATag, const TOnData& AOnData, bool AContinuation) {
  TqmImapResponse R;
  for (;;) {
    ReadResponse(R);
    if (R.Kind == TqmImapResponse::irUntagged) {
      Untagged(R);
      if (AOnData) {
        try {
          AOnData(R);
        } catch (...) {
          // The rest of the answer stays unread: the session cannot go on.
          DropConnection();
          throw;
        }
      } else if (R.Name == "FETCH" && OnMessageFetched)
        DoMessageFetched(ToMessage(R));
      continue;
    }
    if (R.Kind == TqmImapResponse::irContinuation) {
      if (AContinuation) return R;
      Fail(EqmImapError(Format(qmImapOutOfStep, "a continuation request where none was due"), qmImapOutOfStepCode));
    }
    if (R.Tag != ATag)
      Fail(EqmImapError(Format(qmImapOutOfStep, ("a completion of the unknown command " + R.Tag).c_str()),
                        qmImapOutOfStepCode));
    Response().Clear();
    Response().Add(R.Tag + " " + R.Name + (R.StatusText().empty() ? "" : " " + R.StatusText()));
    if (R.Code == "CAPABILITY") TakeCapabilities(R.CodeArgs, 0);
    if (R.Name == "OK") {
      DoReceiveResponse(&Response());
      return R;
    }
    if (R.Name == "BYE") FBye = R.StatusText();
    throw EqmImapError(R.StatusText(), R.Name == "NO" ? qmImapNoCode : qmImapBadCode);
  }
}

std::string TqmImap::Send(const TArgs& AArgs, const TOnData& AOnData) {
  const std::string Tag = Format("A%04u", ++FTagCounter);
  std::string Line = Tag;
  bool Opening = false;  // right after "(": no space
  for (const TArg& Arg : AArgs) {
    if (!Opening && !(Arg.Text == ")" && !Arg.Literal)) Line += ' ';
    Opening = !Arg.Literal && Arg.Text == "(";
    if (!Arg.Literal) {
      Line += Arg.Text;
      continue;
    }
    const std::string_view Data = Arg.Data.data() ? Arg.Data : std::string_view(Arg.Text);
    const bool NonSync = FCapabilitiesKnown && (std::find(FCapabilities.begin(), FCapabilities.end(), "LITERAL+") !=
                                                    FCapabilities.end() ||
                                                (Data.size() <= 4096 && std::find(FCapabilities.begin(),
                                                                                  FCapabilities.end(), "LITERAL-") !=
                                                                            FCapabilities.end()));
    Line += "{" + std::to_string(Data.size()) + (NonSync ? "+" : "") + "}\r\n";
    Write(Line, true);
    Line.clear();
    if (!NonSync) WaitCompletion(Tag, AOnData, true);
    Write(Data, false);
  }
  Line += "\r\n";
  Write(Line, true);
  return Tag;
}

TqmImapResponse TqmImap::Run(const TArgs& AArgs, const TOnData& AOnData) {
  FUntaggedCount = 0;
  const std::string Tag = Send(AArgs, AOnData);
  return WaitCompletion(Tag, AOnData);
}

// ---- session ----

void TqmImap::OpenSession() {
  DisableSendDelay();
  FParser.Reset();
  FParser.SetLimits(FLimits);
  FBye.clear();
  FCapabilities.clear();
  FCapabilitiesKnown = false;
  FUtf8Enabled = false;
  FSelected.clear();
  FStatus = {};
  FTagCounter = 0;
  FUntaggedCount = 0;
  TOperation Op(*this);
  TqmImapResponse Greeting;
  {
    TqmDeadlineScope Deadline(*Connection(), TimeOut());
    ReadResponse(Greeting);
  }
  if (Greeting.Kind != TqmImapResponse::irUntagged || !Greeting.IsStatus() || Greeting.Name == "NO" ||
      Greeting.Name == "BAD")
    Fail(EqmImapError(Format(qmImapOutOfStep, "a greeting that is not \"* OK\" or \"* PREAUTH\""),
                      qmImapOutOfStepCode));
  if (Greeting.Name == "BYE") throw EqmImapError(Format(qmImapBye, Greeting.StatusText().c_str()), qmImapByeCode);
  Untagged(Greeting);
  StartTlsIfNeeded();
  if (Greeting.Name != "PREAUTH") Login();
  if (!FCapabilitiesKnown) RefreshCapabilities();
  if (FUseUtf8 && HasCapability("UTF8=ACCEPT") && HasCapability("ENABLE")) {
    Run({{"ENABLE UTF8=ACCEPT"}}, [this](TqmImapResponse& R) {
      if (R.Name == "ENABLED")
        for (const auto& V : R.Values)
          if (V.Is("UTF8=ACCEPT")) FUtf8Enabled = true;
    });
  }
}

void TqmImap::StartTls() {
  {
    TOperation Op(*this);
    Run({{"STARTTLS"}});
  }
  TqmCustomMail::StartTls();
  // What the server said before TLS cannot be trusted.
  FCapabilitiesKnown = false;
  FCapabilities.clear();
}

void TqmImap::Authenticate(const std::string& AMechanism,
                           const std::function<std::string(const std::string&)>& AStep,
                           const std::string& AInitial) {
  TArgs Args{{"AUTHENTICATE"}, {AMechanism}};
  const bool InitialSent = HasCapability("SASL-IR");
  if (InitialSent) Args.push_back({AInitial.empty() ? "=" : AInitial});
  FUntaggedCount = 0;
  const std::string Tag = Send(Args, {});
  bool First = !InitialSent;
  for (int Round = 0;; ++Round) {
    TqmImapResponse R = WaitCompletion(Tag, {}, true);
    if (R.Kind != TqmImapResponse::irContinuation) return;
    if (Round > 16)
      Fail(EqmImapError(Format(qmImapOutOfStep, "an authentication exchange without end"), qmImapOutOfStepCode));
    const std::string Answer = First ? AInitial : AStep(Trim(R.Text));
    First = false;
    Write(Answer + "\r\n", true);
  }
}

void TqmImap::Login() {
  // The capabilities of the authenticated state come with the reply or are
  // asked for again.
  auto Authenticated = [this] {
    FCapabilitiesKnown = false;
    FCapabilities.clear();
  };
  if (!Authorization().empty()) {
    const std::string Initial = BuildXOAuth2String();
    Authenticate("XOAUTH2", [](const std::string&) { return std::string(); }, Initial);
    return Authenticated();
  }
  const bool Plain = HasCapability("AUTH=PLAIN");
  const std::string PlainInitial = SaslBase64Line(std::string(1, '\0') + UserName() + '\0' + Password());
  if (UseSasl()) {
    if (HasCapability("AUTH=CRAM-MD5")) {
      Authenticate("CRAM-MD5",
                   [this](const std::string& AChallenge) {
                     return SaslCramMd5Response(AChallenge, UserName(), Password());
                   },
                   std::string());
      return Authenticated();
    }
    if (Plain) {
      Authenticate("PLAIN", [](const std::string&) { return std::string(); }, PlainInitial);
      return Authenticated();
    }
    if (SaslOnly()) throw EqmImapError(qmSaslUnavailable, qmSaslUnavailableCode);
  }
  if (HasCapability("LOGINDISABLED")) {
    if (!Plain) throw EqmImapError(Format(qmImapUnsupported, "LOGIN (LOGINDISABLED)"), qmImapUnsupportedCode);
    Authenticate("PLAIN", [](const std::string&) { return std::string(); }, PlainInitial);
    return Authenticated();
  }
  FCapabilitiesKnown = false;
  Run({{"LOGIN"}, Astring(UserName()), Astring(Password())});
  if (!FCapabilitiesKnown) FCapabilities.clear();
}

void TqmImap::CloseSession() {
  if (!Active()) return;
  try {
    TOperation Op(*this);
    Run({{"LOGOUT"}});
  } catch (const EqmSocketError&) {
  } catch (const EqmSSPIError&) {
  }
}

void TqmImap::DoKeepAlive() {
  if (Active() && !InProgress()) Noop();
}

const std::vector<std::string>& TqmImap::Capabilities() {
  if (!FCapabilitiesKnown) RefreshCapabilities();
  return FCapabilities;
}

bool TqmImap::HasCapability(std::string_view AName) {
  const auto& Caps = Capabilities();
  return std::any_of(Caps.begin(), Caps.end(), [&](const std::string& C) { return EqualText(C, AName); });
}

void TqmImap::RefreshCapabilities() {
  TOperation Op(*this);
  FCapabilitiesKnown = false;
  Run({{"CAPABILITY"}});
  FCapabilitiesKnown = true;
}

void TqmImap::Noop() {
  TOperation Op(*this);
  Run({{"NOOP"}});
}

// ---- mailboxes ----

std::vector<TqmImapMailbox> TqmImap::List(const std::string& AReference, const std::string& APattern) {
  TOperation Op(*this);
  std::vector<TqmImapMailbox> Result;
  Run({{"LIST"}, MailboxArg(AReference), Astring(EncodeMailbox(APattern))}, [&](TqmImapResponse& R) {
    if (R.Name != "LIST" || R.Values.size() < 3 || !R.Values[0].IsList()) return;
    TqmImapMailbox Box;
    Box.Flags = Strings(R.Values[0]);
    Box.Delimiter = R.Values[1].AsString();
    Box.RawName = R.Values[2].AsString();
    Box.Name = DecodeMailbox(Box.RawName);
    Result.push_back(std::move(Box));
  });
  return Result;
}

TqmImapMailboxStatus TqmImap::Status(const std::string& AMailbox) {
  TOperation Op(*this);
  TqmImapMailboxStatus Status;
  Run({{"STATUS"}, MailboxArg(AMailbox), {"(MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)"}},
      [&](TqmImapResponse& R) {
        if (R.Name != "STATUS" || R.Values.size() < 2 || !R.Values[1].IsList()) return;
        const auto& Items = R.Values[1].Items;
        for (size_t I = 0; I + 1 < Items.size(); I += 2) {
          const int64_t N = NumberOf(Items[I + 1]);
          if (Items[I].Is("MESSAGES")) Status.Messages = N;
          else if (Items[I].Is("RECENT")) Status.Recent = N;
          else if (Items[I].Is("UIDNEXT")) Status.UidNext = N;
          else if (Items[I].Is("UIDVALIDITY")) Status.UidValidity = N;
          else if (Items[I].Is("UNSEEN")) Status.Unseen = N;
        }
      });
  return Status;
}

const TqmImapMailboxStatus& TqmImap::Select(const std::string& AMailbox, bool AReadOnly) {
  TOperation Op(*this);
  FSelected.clear();
  FStatus = {};
  const TqmImapResponse Done = Run({{AReadOnly ? "EXAMINE" : "SELECT"}, MailboxArg(AMailbox)});
  FStatus.ReadOnly = Done.Code == "READ-ONLY";
  FSelected = AMailbox;
  return FStatus;
}

void TqmImap::CreateMailbox(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"CREATE"}, MailboxArg(AMailbox)});
}

void TqmImap::DeleteMailbox(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"DELETE"}, MailboxArg(AMailbox)});
}

void TqmImap::RenameMailbox(const std::string& AFrom, const std::string& ATo) {
  TOperation Op(*this);
  Run({{"RENAME"}, MailboxArg(AFrom), MailboxArg(ATo)});
}

void TqmImap::Subscribe(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"SUBSCRIBE"}, MailboxArg(AMailbox)});
}

void TqmImap::Unsubscribe(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"UNSUBSCRIBE"}, MailboxArg(AMailbox)});
}

// ---- messages ----

std::vector<uint64_t> TqmImap::UidSearch(const TqmImapSearch& ACriteria) {
  TOperation Op(*this);
  TArgs Args{{"UID SEARCH"}};
  const bool Esearch = HasCapability("ESEARCH");
  if (Esearch) Args.push_back({"RETURN (ALL)"});
  if (ACriteria.NeedsUtf8() && !FUtf8Enabled) Args.push_back({"CHARSET UTF-8"});
  if (ACriteria.Pieces().empty()) Args.push_back({"ALL"});
  for (const auto& P : ACriteria.Pieces()) {
    if (!P.IsString) {
      Args.push_back({P.Text});
      continue;
    }
    // Strings in the charset of the search: UTF-8 as literals unless the
    // session accepts UTF-8 quoted.
    Args.push_back(Astring(P.Text));
  }
  // A server cannot make the client hold more UIDs than the mailbox has.
  const uint64_t Limit = FStatus.Messages >= 0 ? static_cast<uint64_t>(FStatus.Messages) + 1 : 10000000;
  std::vector<uint64_t> Result;
  Run(Args, [&](TqmImapResponse& R) {
    if (R.Name == "SEARCH") {
      for (const auto& V : R.Values) {
        uint64_t U = 0;
        if (!V.ToNumber(U))
          throw EqmImapError(Format(qmImapMalformed, "a search result that is not a number"), qmImapMalformedCode);
        if (Result.size() >= Limit)
          throw EqmImapError(Format(qmImapMalformed, "a search result larger than the mailbox"), qmImapMalformedCode);
        Result.push_back(U);
      }
    } else if (R.Name == "ESEARCH") {
      for (size_t I = 0; I + 1 < R.Values.size(); ++I)
        if (R.Values[I].Is("ALL")) {
          auto More = ExpandSet(R.Values[I + 1].Text, Limit - Result.size());
          Result.insert(Result.end(), More.begin(), More.end());
        }
    }
  });
  std::sort(Result.begin(), Result.end());
  Result.erase(std::unique(Result.begin(), Result.end()), Result.end());
  return Result;
}

TqmImapMessage TqmImap::ToMessage(const TqmImapResponse& R) const {
  TqmImapMessage M;
  M.SequenceNumber = R.Number;
  M.Response = R;
  if (R.Values.empty() || !R.Values[0].IsList()) return M;
  const auto& Items = R.Values[0].Items;
  for (size_t I = 0; I + 1 < Items.size(); I += 2) {
    const TqmImapValue& Key = Items[I];
    const TqmImapValue& Value = Items[I + 1];
    if (Key.Is("UID")) {
      uint64_t U = 0;
      if (Value.ToNumber(U)) M.Uid = U;
    } else if (Key.Is("FLAGS") && Value.IsList()) {
      M.HasFlags = true;
      M.Flags = Strings(Value);
    } else if (Key.Is("INTERNALDATE")) {
      M.InternalDate = Value.AsString();
    } else if (Key.Is("RFC822.SIZE")) {
      M.Size = NumberOf(Value);
    } else if (Key.Is("ENVELOPE") && Value.IsList() && Value.Items.size() >= 10) {
      const auto& E = Value.Items;
      M.HasEnvelope = true;
      M.Envelope.Date = E[0].AsString();
      M.Envelope.Subject = E[1].AsString();
      M.Envelope.From = Addresses(E[2]);
      M.Envelope.Sender = Addresses(E[3]);
      M.Envelope.ReplyTo = Addresses(E[4]);
      M.Envelope.To = Addresses(E[5]);
      M.Envelope.Cc = Addresses(E[6]);
      M.Envelope.Bcc = Addresses(E[7]);
      M.Envelope.InReplyTo = E[8].AsString();
      M.Envelope.MessageId = E[9].AsString();
    } else if (Key.Is("BODYSTRUCTURE") || Key.Is("BODY")) {
      M.BodyStructure.clear();
      Serialize(Value, M.BodyStructure);
    } else if (Key.Is("BODY[HEADER]") || Key.Is("RFC822.HEADER")) {
      M.Header = Value.Text;
    } else if (Key.IsAtom() && (EqualText(Key.Text.substr(0, 6), "BODY[]") || Key.Is("RFC822"))) {
      M.Body = Value.Text;
    }
  }
  return M;
}

void TqmImap::UidFetch(const std::string& ASet, TqmImapFetchItems AItems, const std::string& APartial,
                       const std::function<void(const TqmImapMessage&)>& AOnMessage) {
  TOperation Op(*this);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  if (!APartial.empty() && APartial.find_first_not_of("0123456789.") != std::string::npos)
    throw EqmImapError("Invalid partial range: " + APartial, qmImapInvalidArgumentCode);
  std::string Items = "(UID";
  if (AItems & fiFlags) Items += " FLAGS";
  if (AItems & fiInternalDate) Items += " INTERNALDATE";
  if (AItems & fiSize) Items += " RFC822.SIZE";
  if (AItems & fiEnvelope) Items += " ENVELOPE";
  if (AItems & fiBodyStructure) Items += " BODYSTRUCTURE";
  if (AItems & fiHeader) Items += " BODY.PEEK[HEADER]";
  if (AItems & fiBody) Items += " BODY.PEEK[]" + (APartial.empty() ? "" : "<" + APartial + ">");
  Items += ")";
  TqmLowSpeedScope LowSpeed(*Connection(), LowSpeedLimit(), LowSpeedTime());
  Run({{"UID FETCH"}, {ASet}, {Items}}, [&](TqmImapResponse& R) {
    if (R.Name != "FETCH") return;
    TqmImapMessage M = ToMessage(R);
    // A FETCH without UID is the server's news about another message.
    if (M.Uid == 0)
      DoMessageFetched(M);
    else
      AOnMessage(M);
  });
}

std::vector<TqmImapMessage> TqmImap::UidFetch(const std::string& ASet, TqmImapFetchItems AItems,
                                              const std::string& APartial) {
  std::vector<TqmImapMessage> Result;
  UidFetch(ASet, AItems, APartial, [&](const TqmImapMessage& M) { Result.push_back(M); });
  return Result;
}

bool TqmImap::FetchBody(uint64_t AUid, const std::function<void(std::string_view)>& ABody) {
  bool Found = false;
  UidFetch(std::to_string(AUid), fiBody, "", [&](const TqmImapMessage& M) {
    if (M.Uid != AUid || Found) return;
    Found = true;
    ABody(M.Body);
  });
  return Found;
}

bool TqmImap::UidFetchMessage(uint64_t AUid, TqmMailMessage& AMessage) {
  return FetchBody(AUid, [&](std::string_view ABody) { AMessage.ParseMessage(ABody); });
}

bool TqmImap::UidFetchMessage(uint64_t AUid, TStream& ATarget) {
  return FetchBody(AUid, [&](std::string_view ABody) {
    ATarget.WriteBuffer(ABody.data(), static_cast<int64_t>(ABody.size()));
  });
}

void TqmImap::UidStore(const std::string& ASet, TqmImapStoreMode AMode, const std::vector<std::string>& AFlags) {
  TOperation Op(*this);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  const char* Mode = AMode == smAddFlags ? "+FLAGS.SILENT" : AMode == smRemoveFlags ? "-FLAGS.SILENT" : "FLAGS.SILENT";
  Run({{"UID STORE"}, {ASet}, {Mode}, {FlagList(AFlags)}});
}

void TqmImap::UidCopy(const std::string& ASet, const std::string& AMailbox) {
  TOperation Op(*this);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  Run({{"UID COPY"}, {ASet}, MailboxArg(AMailbox)});
}

void TqmImap::UidMove(const std::string& ASet, const std::string& AMailbox) {
  TOperation Op(*this);
  if (HasCapability("MOVE")) {
    if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
      throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
    Run({{"UID MOVE"}, {ASet}, MailboxArg(AMailbox)});
    return;
  }
  UidCopy(ASet, AMailbox);
  UidStore(ASet, smAddFlags, {"\\Deleted"});
  if (HasCapability("UIDPLUS")) UidExpunge(ASet);
}

void TqmImap::UidExpunge(const std::string& ASet) {
  TOperation Op(*this);
  if (!HasCapability("UIDPLUS")) throw EqmImapError(Format(qmImapUnsupported, "UID EXPUNGE"), qmImapUnsupportedCode);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  Run({{"UID EXPUNGE"}, {ASet}});
}

void TqmImap::Expunge() {
  TOperation Op(*this);
  Run({{"EXPUNGE"}});
}

uint64_t TqmImap::Append(const std::string& AMailbox, std::string_view AMessage,
                         const std::vector<std::string>& AFlags, const std::string& AInternalDate) {
  TOperation Op(*this);
  TArgs Args{{"APPEND"}, MailboxArg(AMailbox)};
  if (!AFlags.empty()) Args.push_back({FlagList(AFlags)});
  if (!AInternalDate.empty()) Args.push_back({ImapQuote(AInternalDate)});
  TArg Data;
  Data.Literal = true;
  Data.Data = AMessage;
  if (!AMessage.data()) Data.Data = std::string_view("", 0);
  Args.push_back(Data);
  TqmLowSpeedScope LowSpeed(*Connection(), LowSpeedLimit(), LowSpeedTime());
  const TqmImapResponse Done = Run(Args);
  uint64_t Uid = 0;
  if (Done.Code == "APPENDUID" && Done.CodeArgs.size() >= 2 && Done.CodeArgs[1].ToNumber(Uid)) return Uid;
  return 0;
}

// ---- IDLE ----

void TqmImap::StopIdle() {
  std::lock_guard<std::mutex> Guard(FIdleLock);
  FIdleStop = true;
  // Only the wait for news is interrupted: an abort in the middle of a
  // write or of the completion would cut the session.
  if (FIdleWaiting) Connection()->Abort();
}

void TqmImap::Idle(int ATimeOutMs) {
  TOperation Op(*this);
  if (!HasCapability("IDLE")) throw EqmImapError(Format(qmImapUnsupported, "IDLE"), qmImapUnsupportedCode);
  {
    std::lock_guard<std::mutex> Guard(FIdleLock);
    if (FIdleStop) {
      FIdleStop = false;
      return;
    }
  }
  struct TEnd {
    TqmImap& C;
    ~TEnd() {
      std::lock_guard<std::mutex> Guard(C.FIdleLock);
      C.FIdleStop = false;
    }
  } End{*this};
  const auto Deadline = ATimeOutMs > 0 ? TqmClock::now() + std::chrono::milliseconds(ATimeOutMs)
                                       : TqmClock::time_point::max();
  TqmSyncConnection& Conn = *Connection();
  for (;;) {
    FUntaggedCount = 0;
    const std::string Tag = Send({{"IDLE"}}, {});
    if (WaitCompletion(Tag, {}, true).Kind != TqmImapResponse::irContinuation) return;
    const auto Renewal = TqmClock::now() + std::chrono::milliseconds(std::max(FIdleRenewal, 1000));
    const auto SegmentEnd = std::min(Deadline, Renewal);
    bool Stop = false;
    for (;;) {
      TqmImapResponse R;
      try {
        while (FParser.Next(R)) {
          if (R.Kind != TqmImapResponse::irUntagged)
            Fail(EqmImapError(Format(qmImapOutOfStep, "a completion or continuation during IDLE"),
                              qmImapOutOfStepCode));
          Untagged(R);
          if (R.Name == "FETCH") DoMessageFetched(ToMessage(R));
        }
      } catch (const EqmImapError& E) {
        if (E.ErrorCode() == qmImapMalformedCode) Fail(E);
        throw;
      }
      if (Stop) break;
      {
        std::lock_guard<std::mutex> Guard(FIdleLock);
        if (FIdleStop) {
          Stop = true;
          break;
        }
        FIdleWaiting = true;
      }
      const auto Left = SegmentEnd - TqmClock::now();
      if (Left <= TqmClock::duration::zero()) break;
      // The wait's time-out is the rest of this IDLE: a quiet mailbox is
      // not a dead server.
      const int64_t LeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(Left).count() + 1;
      const int Saved = Conn.TimeOut();
      Conn.SetTimeOut(static_cast<int>(std::min<int64_t>(LeftMs, INT_MAX)));
      FBlock.SetSize(0);
      FBlock.SetPosition(0);
      // Clears the waiting mark and takes back the abort of a StopIdle.
      auto EndWait = [&] {
        Conn.SetTimeOut(Saved);
        std::lock_guard<std::mutex> Guard(FIdleLock);
        FIdleWaiting = false;
        if (Conn.IsAborted() && FIdleStop) {
          Conn.ResetAbort();
          Stop = true;
        }
      };
      try {
        Conn.ReadData(&FBlock);
        EndWait();
      } catch (const EqmSocketError& E) {
        EndWait();
        if (E.ErrorCode() == qmTimeoutErrorCode && Active()) break;
        if (!FBye.empty()) Fail(EqmImapError(Format(qmImapBye, FBye.c_str()), qmImapByeCode));
        throw;
      }
      if (Conn.IsAborted()) Aborted();
      try {
        FParser.Feed(reinterpret_cast<const char*>(FBlock.Memory()), static_cast<size_t>(FBlock.Size()));
      } catch (const EqmImapError& E) {
        Fail(E);
      }
    }
    Write("DONE\r\n", true);
    WaitCompletion(Tag, {});
    if (Stop || TqmClock::now() >= Deadline) return;
  }
}

}  // namespace qm
