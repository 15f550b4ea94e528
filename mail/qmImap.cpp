#include "mail/qmImap.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/qmSysUtils.h"
#include "mail/qmImapUtf7.h"
#include "mail/qmSasl.h"
#include "mail/qmSaslClient.h"
#include "message/qmEncoder.h"
#include "message/qmMailHeader.h"
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

// Encoded words decoded; 8-bit text (UTF8=ACCEPT servers send it raw) is
// taken as UTF-8.
std::string HeaderText(const TqmImapValue& AValue) {
  if (AValue.Text.empty()) return std::string();
  return TqmMailHeaderFieldList::DecodeText(AValue.Text, "utf-8");
}

std::vector<TqmImapAddress> Addresses(const TqmImapValue& AValue) {
  std::vector<TqmImapAddress> Result;
  if (!AValue.IsList()) return Result;
  for (const auto& A : AValue.Items) {
    // (name adl mailbox host); a NIL host marks the start or end of a group.
    if (!A.IsList() || A.Items.size() != 4 || A.Items[3].IsNil()) continue;
    Result.push_back({HeaderText(A.Items[0]), A.Items[2].AsString(), A.Items[3].AsString()});
  }
  return Result;
}

// (date subject from sender reply-to to cc bcc in-reply-to message-id)
bool ReadEnvelope(const TqmImapValue& AValue, TqmImapEnvelope& AEnvelope) {
  if (!AValue.IsList() || AValue.Items.size() < 10) return false;
  const auto& E = AValue.Items;
  AEnvelope.Date = E[0].AsString();
  AEnvelope.RawSubject = E[1].AsString();
  AEnvelope.Subject = HeaderText(E[1]);
  AEnvelope.From = Addresses(E[2]);
  AEnvelope.Sender = Addresses(E[3]);
  AEnvelope.ReplyTo = Addresses(E[4]);
  AEnvelope.To = Addresses(E[5]);
  AEnvelope.Cc = Addresses(E[6]);
  AEnvelope.Bcc = Addresses(E[7]);
  AEnvelope.InReplyTo = E[8].AsString();
  AEnvelope.MessageId = E[9].AsString();
  return true;
}

std::string Lower(std::string_view AText) {
  std::string Result(AText);
  for (char& C : Result)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C + 32);
  return Result;
}

// ("name" "value" ...) or NIL.
std::vector<TqmImapParameter> Parameters(const TqmImapValue& AValue) {
  std::vector<TqmImapParameter> Result;
  if (!AValue.IsList()) return Result;
  for (size_t I = 0; I + 1 < AValue.Items.size(); I += 2)
    Result.push_back({AValue.Items[I].AsString(), AValue.Items[I + 1].AsString()});
  return Result;
}

// The extension data both kinds of part end with, from AFrom: disposition,
// language, location (a part's MD5 comes before, read by the caller).
void ReadExtensions(const std::vector<TqmImapValue>& AItems, size_t AFrom, TqmImapBodyPart& APart) {
  if (AFrom < AItems.size() && AItems[AFrom].IsList() && !AItems[AFrom].Items.empty()) {
    APart.Disposition = Lower(AItems[AFrom].Items[0].Text);
    if (AItems[AFrom].Items.size() > 1) APart.DispositionParameters = Parameters(AItems[AFrom].Items[1]);
  }
  if (++AFrom < AItems.size()) {
    if (AItems[AFrom].IsList())
      APart.Language = Strings(AItems[AFrom]);
    else if (!AItems[AFrom].IsNil())
      APart.Language.push_back(AItems[AFrom].AsString());
  }
  if (++AFrom < AItems.size()) APart.Location = AItems[AFrom].AsString();
}

// One body of BODYSTRUCTURE (or BODY). Lenient: what is missing keeps its
// default, so a server's odd structure still yields what it did send (the
// raw text stays available). Depth is bounded by the reader's nesting bound.
TqmImapBodyPart ReadBodyPart(const TqmImapValue& AValue) {
  TqmImapBodyPart Part;
  if (!AValue.IsList() || AValue.Items.empty()) return Part;
  const auto& Items = AValue.Items;
  if (Items[0].IsList()) {
    // Multipart: the parts, the subtype, then parameters and extensions.
    size_t I = 0;
    for (; I < Items.size() && Items[I].IsList(); ++I) Part.Parts.push_back(ReadBodyPart(Items[I]));
    Part.Type = "multipart";
    if (I < Items.size()) Part.Subtype = Lower(Items[I++].Text);
    if (I < Items.size()) Part.Parameters = Parameters(Items[I++]);
    ReadExtensions(Items, I, Part);
    return Part;
  }
  auto Number = [&](size_t AIndex) { return AIndex < Items.size() ? NumberOf(Items[AIndex]) : -1; };
  auto Text = [&](size_t AIndex) { return AIndex < Items.size() ? Items[AIndex].AsString() : std::string(); };
  Part.Type = Lower(Text(0));
  Part.Subtype = Lower(Text(1));
  if (Items.size() > 2) Part.Parameters = Parameters(Items[2]);
  Part.Id = Text(3);
  Part.Description = Text(4);
  Part.Encoding = Lower(Text(5));
  Part.Size = Number(6);
  size_t I = 7;
  if (Part.Type == "message" && (Part.Subtype == "rfc822" || Part.Subtype == "global") && Items.size() >= 10 &&
      Items[7].IsList() && Items[8].IsList()) {
    Part.HasEnvelope = ReadEnvelope(Items[7], Part.Envelope);
    Part.Parts.push_back(ReadBodyPart(Items[8]));
    Part.Lines = Number(9);
    I = 10;
  } else if (Part.Type == "text") {
    Part.Lines = Number(7);
    I = 8;
  }
  Part.Md5 = Text(I);
  ReadExtensions(Items, I + 1, Part);
  return Part;
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

TqmImapBodyPart ImapBodyStructure(const TqmImapValue& AValue) { return ReadBodyPart(AValue); }

std::string TqmImapBodyPart::Parameter(std::string_view AName) const {
  for (const auto& P : Parameters)
    if (EqualText(P.Name, AName)) return P.Value;
  return std::string();
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
  // The work is done: a Cancel that came meanwhile ends the operation
  // here, so it never reports success.
  void End() { FScope.End(); }

 private:
  TqmOperationScope FScope;
};

TqmImap::TqmImap(TComponent* AOwner) : TqmCustomMail(AOwner) {
  FIdleEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FIdleEvent < 0) RaiseSocketError(errno);
}

TqmImap::~TqmImap() {
  CloseForDestruction();
  close(FIdleEvent);
}

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
  Op.End();
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

void TqmImap::Authenticate(TqmSaslMechanism AMechanism) {
  const bool SaslIr = HasCapability("SASL-IR");
  // The capabilities of the authenticated state come with the completion
  // or are asked for again.
  FCapabilitiesKnown = false;
  FCapabilities.clear();
  if (AMechanism == smNtlm) return NtlmLogin();
  const std::unique_ptr<TqmSaslClient> Client = CreateSaslClient(AMechanism, UserName(), Password(), Authorization());
  std::string Tag;
  auto Reply = [&] {
    const TqmImapResponse R = WaitCompletion(Tag, {}, true);
    TqmSaslReply Result;
    Result.Challenge = R.Kind == TqmImapResponse::irContinuation;
    if (Result.Challenge) Result.Data = Trim(R.Text);
    return Result;
  };
  TqmSaslTransport Transport;
  Transport.InitialResponseInCommand = SaslIr;
  Transport.Start = [&](const std::string& AName, const std::optional<std::string>& AInitial) {
    TArgs Args{{"AUTHENTICATE"}, {AName}};
    if (AInitial) Args.push_back({*AInitial});
    FUntaggedCount = 0;
    Tag = Send(Args, {});
    return Reply();
  };
  Transport.Respond = [&](const std::string& ALine) {
    Write(ALine + "\r\n", true);
    return Reply();
  };
  try {
    SaslAuthenticate(*Client, Transport);
  } catch (const EqmImapError&) {
    throw;
  } catch (const EqmTcpClientError& E) {
    // The server's refusal with the mechanism's details, or the mechanism's
    // own objection (a server that did not prove itself): IMAP's class.
    throw EqmImapError(E.Message(), E.ErrorCode());
  }
}

void TqmImap::NtlmLogin() {
  FUntaggedCount = 0;
  const std::string Tag = Send({{"AUTHENTICATE"}, {"NTLM"}}, {});
  if (WaitCompletion(Tag, {}, true).Kind != TqmImapResponse::irContinuation)
    Fail(EqmImapError(Format(qmImapOutOfStep, "a completion before the NTLM exchange"), qmImapOutOfStepCode));
  enum { Continue = 1, Success = 2 };
  SaslNtlmExchange(UserName(), Password(), "imap@" + Server(), {Continue, Success, 0},
                   [&](const std::string& ALine, int AOkCode) {
                     Write(ALine + "\r\n", true);
                     const TqmImapResponse R = WaitCompletion(Tag, {}, true);
                     const bool Challenge = R.Kind == TqmImapResponse::irContinuation;
                     if (Challenge != (AOkCode == Continue))
                       Fail(EqmImapError(Format(qmImapOutOfStep, "an NTLM exchange out of order"),
                                         qmImapOutOfStepCode));
                     return Challenge ? Trim(R.Text) : std::string();
                   });
}

void TqmImap::Login() {
  if (UseSasl()) {
    TStringList Offered;
    for (const auto& C : Capabilities())
      if (C.rfind("AUTH=", 0) == 0) Offered.Add(C.substr(5));
    TqmSaslMechanism Chosen = SaslChooseMechanism(Offered, SaslChoice());
    // A token without a list of the caller's is XOAUTH2 even where the
    // server does not announce it (as it was before the choice existed).
    if (Chosen == smNone && !Authorization().empty() && SaslMechanisms().empty()) Chosen = smXOAuth2;
    if (Chosen != smNone) return Authenticate(Chosen);
    if (SaslOnly()) throw EqmImapError(qmSaslUnavailable, qmSaslUnavailableCode);
  }
  CheckPlainTextLogin();
  if (HasCapability("LOGINDISABLED")) {
    if (!HasCapability("AUTH=PLAIN"))
      throw EqmImapError(Format(qmImapUnsupported, "LOGIN (LOGINDISABLED)"), qmImapUnsupportedCode);
    return Authenticate(smPlain);
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
  Op.End();
}

void TqmImap::Noop() {
  TOperation Op(*this);
  Run({{"NOOP"}});
  Op.End();
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
  Op.End();
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
  Op.End();
  return Status;
}

const TqmImapMailboxStatus& TqmImap::Select(const std::string& AMailbox, bool AReadOnly) {
  TOperation Op(*this);
  FSelected.clear();
  FStatus = {};
  const TqmImapResponse Done = Run({{AReadOnly ? "EXAMINE" : "SELECT"}, MailboxArg(AMailbox)});
  FStatus.ReadOnly = Done.Code == "READ-ONLY";
  FSelected = AMailbox;
  Op.End();
  return FStatus;
}

void TqmImap::CreateMailbox(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"CREATE"}, MailboxArg(AMailbox)});
  Op.End();
}

void TqmImap::DeleteMailbox(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"DELETE"}, MailboxArg(AMailbox)});
  Op.End();
}

void TqmImap::RenameMailbox(const std::string& AFrom, const std::string& ATo) {
  TOperation Op(*this);
  Run({{"RENAME"}, MailboxArg(AFrom), MailboxArg(ATo)});
  Op.End();
}

void TqmImap::Subscribe(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"SUBSCRIBE"}, MailboxArg(AMailbox)});
  Op.End();
}

void TqmImap::Unsubscribe(const std::string& AMailbox) {
  TOperation Op(*this);
  Run({{"UNSUBSCRIBE"}, MailboxArg(AMailbox)});
  Op.End();
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
  Op.End();
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
    } else if (Key.Is("ENVELOPE")) {
      M.HasEnvelope = ReadEnvelope(Value, M.Envelope);
    } else if ((Key.Is("BODYSTRUCTURE") || Key.Is("BODY")) && Value.IsList()) {
      M.BodyStructure.clear();
      Serialize(Value, M.BodyStructure);
      M.HasStructure = true;
      M.Structure = ReadBodyPart(Value);
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
  Op.End();
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

// Takes the literal of BODY[] in a FETCH answer (one per command) and
// writes it to the target as it arrives.
class TqmImap::TStreamSink : public TqmImapLiteralSink {
 public:
  TStreamSink(TqmImapParser& AParser, TStream& ATarget) : FParser(AParser), FTarget(ATarget) {
    FParser.SetLiteralSink(this);
  }
  ~TStreamSink() override { FParser.SetLiteralSink(nullptr); }
  bool Accept(std::string_view ALine, int64_t) override {
    if (Taken) return false;
    const size_t Open = ALine.rfind('{');
    const std::string_view Before = ALine.substr(0, Open == std::string_view::npos ? 0 : Open);
    static constexpr std::string_view Key = "BODY[] ";
    if (Before.size() < Key.size() || !EqualText(Before.substr(Before.size() - Key.size()), Key)) return false;
    Taken = true;
    return true;
  }
  void Write(const char* AData, size_t ASize) override {
    FTarget.WriteBuffer(AData, static_cast<int64_t>(ASize));
  }
  bool Taken = false;

 private:
  TqmImapParser& FParser;
  TStream& FTarget;
};

bool TqmImap::UidFetchMessage(uint64_t AUid, TStream& ATarget) {
  TOperation Op(*this);
  // The bytes already written when the connection fails stay written: the
  // caller's target is its own (a file to remove or to resume).
  TStreamSink Sink(FParser, ATarget);
  bool Found = false;
  UidFetch(std::to_string(AUid), fiBody, "", [&](const TqmImapMessage& M) {
    if (M.Uid != AUid || Found) return;
    Found = true;
    // A small body may come quoted, which the sink does not see.
    if (!Sink.Taken) ATarget.WriteBuffer(M.Body.data(), static_cast<int64_t>(M.Body.size()));
  });
  Op.End();
  return Found;
}

std::vector<TqmImapIdField> TqmImap::Id(const std::vector<TqmImapIdField>& AFields) {
  TOperation Op(*this);
  if (!HasCapability("ID")) throw EqmImapError(Format(qmImapUnsupported, "ID"), qmImapUnsupportedCode);
  TArgs Args{{"ID"}};
  if (AFields.empty()) Args.push_back({"NIL"});
  else {
    Args.push_back({"("});
    // Strings, never atoms.
    auto String = [&](const std::string& AText) {
      TArg Arg = Astring(AText);
      if (!Arg.Literal && Arg.Text.front() != '"') Arg.Text = "\"" + Arg.Text + "\"";
      return Arg;
    };
    for (const auto& F : AFields) {
      Args.push_back(String(F.first));
      Args.push_back(String(F.second));
    }
    Args.push_back({")"});
  }
  std::vector<TqmImapIdField> Result;
  Run(Args, [&](TqmImapResponse& R) {
    if (R.Name != "ID" || R.Values.empty() || !R.Values[0].IsList()) return;
    const auto& Items = R.Values[0].Items;
    for (size_t I = 0; I + 1 < Items.size() && Result.size() < 30; I += 2)
      Result.emplace_back(Items[I].AsString(), Items[I + 1].AsString());
  });
  Op.End();
  return Result;
}

void TqmImap::UidStore(const std::string& ASet, TqmImapStoreMode AMode, const std::vector<std::string>& AFlags) {
  TOperation Op(*this);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  const char* Mode = AMode == ismAddFlags ? "+FLAGS.SILENT" : AMode == ismRemoveFlags ? "-FLAGS.SILENT" : "FLAGS.SILENT";
  Run({{"UID STORE"}, {ASet}, {Mode}, {FlagList(AFlags)}});
  Op.End();
}

void TqmImap::UidCopy(const std::string& ASet, const std::string& AMailbox) {
  TOperation Op(*this);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  Run({{"UID COPY"}, {ASet}, MailboxArg(AMailbox)});
  Op.End();
}

void TqmImap::UidMove(const std::string& ASet, const std::string& AMailbox) {
  TOperation Op(*this);
  if (HasCapability("MOVE")) {
    if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
      throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
    Run({{"UID MOVE"}, {ASet}, MailboxArg(AMailbox)});
    return Op.End();
  }
  UidCopy(ASet, AMailbox);
  UidStore(ASet, ismAddFlags, {"\\Deleted"});
  if (HasCapability("UIDPLUS")) UidExpunge(ASet);
  Op.End();
}

void TqmImap::UidExpunge(const std::string& ASet) {
  TOperation Op(*this);
  if (!HasCapability("UIDPLUS")) throw EqmImapError(Format(qmImapUnsupported, "UID EXPUNGE"), qmImapUnsupportedCode);
  if (ASet.empty() || ASet.find_first_not_of("0123456789:,*") != std::string::npos)
    throw EqmImapError("Invalid UID set: " + ASet, qmImapInvalidArgumentCode);
  Run({{"UID EXPUNGE"}, {ASet}});
  Op.End();
}

void TqmImap::Expunge() {
  TOperation Op(*this);
  Run({{"EXPUNGE"}});
  Op.End();
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
  if (!(Done.Code == "APPENDUID" && Done.CodeArgs.size() >= 2 && Done.CodeArgs[1].ToNumber(Uid))) Uid = 0;
  Op.End();
  return Uid;
}

// ---- IDLE ----

void TqmImap::StopIdle() {
  std::lock_guard<std::mutex> Guard(FIdleLock);
  FIdleStop = true;
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t N = write(FIdleEvent, &One, sizeof One);
}

void TqmImap::Idle(int ATimeOutMs) {
  TOperation Op(*this);
  if (!HasCapability("IDLE")) throw EqmImapError(Format(qmImapUnsupported, "IDLE"), qmImapUnsupportedCode);
  auto Forget = [this] {
    std::lock_guard<std::mutex> Guard(FIdleLock);
    FIdleStop = false;
    uint64_t Count;
    [[maybe_unused]] const ssize_t N = read(FIdleEvent, &Count, sizeof Count);
  };
  {
    std::lock_guard<std::mutex> Guard(FIdleLock);
    if (FIdleStop) {
      FIdleStop = false;
      uint64_t Count;
      [[maybe_unused]] const ssize_t N = read(FIdleEvent, &Count, sizeof Count);
      return Op.End();
    }
  }
  struct TEnd {
    std::function<void()> F;
    ~TEnd() { F(); }
  } End{Forget};
  TqmSyncConnection& Conn = *Connection();
  // One descriptor for the socket and the stop event, so that the
  // transport's one wait watches both besides the abort of Cancel (which
  // stays the connection's own) and the thread's queue.
  struct TEpoll {
    int Fd = epoll_create1(EPOLL_CLOEXEC);
    ~TEpoll() {
      if (Fd >= 0) close(Fd);
    }
  } Poll;
  const int Socket = Conn.Socket().Handle();
  epoll_event Watch{};
  Watch.events = EPOLLIN | EPOLLRDHUP;
  if (Poll.Fd < 0 || epoll_ctl(Poll.Fd, EPOLL_CTL_ADD, Socket, &Watch) != 0 ||
      epoll_ctl(Poll.Fd, EPOLL_CTL_ADD, FIdleEvent, &Watch) != 0)
    RaiseSocketError(errno);
  const auto Deadline = ATimeOutMs > 0 ? TqmClock::now() + std::chrono::milliseconds(ATimeOutMs)
                                       : TqmClock::time_point::max();
  for (;;) {
    FUntaggedCount = 0;
    const std::string Tag = Send({{"IDLE"}}, {});
    if (WaitCompletion(Tag, {}, true).Kind != TqmImapResponse::irContinuation) return Op.End();
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
      {
        std::lock_guard<std::mutex> Guard(FIdleLock);
        Stop = FIdleStop;
      }
      if (Stop || TqmClock::now() >= SegmentEnd) break;
      if (!Conn.NetworkStream().HasReadData()) {
        // A quiet mailbox is not a dead server: the wait lasts to the end
        // of this IDLE, not TimeOut.
        pollfd Event{Poll.Fd, POLLIN, 0};
        const bool Ready =
            WaitForEvent(Event, Conn.AbortHandle(), TqmClock::now(), !Conn.DisableGuiProcessing(), -1, SegmentEnd);
        if (Conn.IsAborted()) Aborted();
        pollfd Data{Socket, POLLIN | POLLRDHUP, 0};
        if (!Ready || poll(&Data, 1, 0) <= 0) continue;  // the stop event, the time, or the queue
      }
      ReadBlock();
    }
    Write("DONE\r\n", true);
    WaitCompletion(Tag, {});
    if (Stop || TqmClock::now() >= Deadline) return Op.End();
  }
}

}  // namespace qm
