#include "mail/qmPop3.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/qmStream.h"
#include "core/qmSysUtils.h"
#include "core/qmTranslator.h"
#include "mail/qmSasl.h"
#include "message/qmUtils.h"
#include "message/qmMailMessage.h"

namespace qm {

namespace {

bool StartsWith(const std::string& AText, std::string_view APrefix) {
  return AText.compare(0, APrefix.size(), APrefix) == 0;
}

// Whether AText is "+" once Trim took its blanks away, without Trim's
// copy: every data line of a multi-line reply is asked for its code.
bool IsLonePlus(std::string_view AText) {
  auto Blank = [](char C) { return static_cast<unsigned char>(C) <= ' '; };
  size_t Begin = 0, End = AText.size();
  while (Begin < End && Blank(AText[Begin])) ++Begin;
  while (End > Begin && Blank(AText[End - 1])) --End;
  return End - Begin == 1 && AText[Begin] == '+';
}

}  // namespace

TqmPop3::TqmPop3(TComponent* AOwner) : TqmCustomMail(AOwner) {}

TqmPop3::~TqmPop3() {
  // QUIT goes out through this class's CloseSession.
  CloseForDestruction();
}

int TqmPop3::GetResponseCode(const std::string& AResponse) {
  const int Assigned = TqmCustomMail::GetResponseCode(AResponse);
  if (Assigned != 0) return Assigned;
  if (StartsWith(AResponse, "+ ")) return 30;
  if (IsLonePlus(AResponse)) return 30;
  if (StartsWith(AResponse, "+OK")) return 10;
  if (StartsWith(AResponse, "-ERR")) return 20;
  if (AResponse == ".") return 1;
  return 0;
}

bool TqmPop3::IsForeignLine(const std::string&) { return true; }

int TqmPop3::GetDefaultPort() { return 110; }

void TqmPop3::OpenSession() {
  TqmOperationScope Operation(*this);
  DisableSendDelay();
  FMessageCount = -1;
  FMailBoxSize = -1;
  // Refused before anything is written, STLS included.
  CheckCredentials();
  WaitResponse({10});
  const std::string Greeting = Response().Text();
  const size_t Open = Greeting.find('<');
  const size_t Shut = Greeting.find('>');
  FTimeStamp = Open != std::string::npos && Shut != std::string::npos && Open < Shut
                   ? Greeting.substr(Open, Shut - Open + 1)
                   : std::string();
  StartTlsIfNeeded();
  if (UseSasl()) {
    SaslLogin();
  } else {
    CheckPlainTextLogin();
    SendCommandSync("USER " + UserName(), {10});
    SendCommandSync("PASS " + Password(), {10});
  }
  Operation.End();
}

void TqmPop3::CheckCredentials() {
  CheckCommandArgument(UserName());
  CheckCommandArgument(Password());
  CheckCommandArgument(Authorization());
}

void TqmPop3::SaslLogin() {
  // A token alone means XOAUTH2 at once; with a list of the caller's the
  // server is asked, so OAUTHBEARER can be chosen.
  if (!Authorization().empty() && SaslMechanisms().empty()) {
    SendCommandSync("AUTH XOAUTH2", {30});
    SendCommandSync(BuildXOAuth2String(), {10, 30});
    // The server's error details come as a continuation; the empty answer
    // ends the exchange and the server's "-ERR" is raised. The protocol
    // wants that answer; without it the session would hang in AUTH.
    if (LastResponseCode() == 30) SendCommandSync("", {0});
    return;
  }
  SendCommandSync("AUTH", {10, 20});
  TStringList Methods;
  const bool Listed = LastResponseCode() == 10;
  if (Listed) {
    WaitMultipleLines(0);
    for (int I = 0; I < Response().Count(); ++I) Methods.Add(Trim(Response().Get(I)));
  }
  const TqmSaslMechanism Chosen = Listed ? SaslChooseMechanism(Methods, SaslChoice()) : smNone;
  switch (Chosen) {
    case smNtlm:
      NtlmLogin();
      break;
    case smCramMd5:
      CramMd5Login();
      break;
    case smNone:
      // The fallback is APOP, which does not send the password.
      if (SaslOnly()) throw EqmTcpClientError(qmSaslUnavailable, qmSaslUnavailableCode);
      ApopLogin();
      break;
    default:
      // Challenges follow "+ "; success is "+OK".
      RunSaslMechanism(Chosen, "AUTH", 30, 10, 2);
      break;
  }
}

void TqmPop3::ApopLogin() {
  SendCommandSync("APOP " + UserName() + " " + SaslApopDigest(FTimeStamp, Password()), {10});
}

void TqmPop3::CramMd5Login() {
  SendCommandSync("AUTH CRAM-MD5", {10, 30});
  const std::string Reply = Response().Text();
  const std::string Challenge = Reply.size() > 2 ? Reply.substr(2) : std::string();
  SendCommandSync(SaslCramMd5Response(Challenge, UserName(), Password()), {10});
}

void TqmPop3::NtlmLogin() {
  SendCommandSync("AUTH NTLM", {10, 30});
  // Challenges follow "+ "; the last token is answered "+OK".
  SaslNtlmExchange(UserName(), Password(), "pop@" + Server(), {30, 10, 2},
                   [this](const std::string& ALine, int AOkCode) {
                     SendCommandSync(ALine, {AOkCode});
                     return Response().Text();
                   });
}

void TqmPop3::CloseSession() { SendSilentCommand("QUIT", {10}); }

void TqmPop3::StartTls() {
  TqmOperationScope Operation(*this);
  SendCommandSync("STLS", {10});
  TqmCustomMail::StartTls();
}

void TqmPop3::DoKeepAlive() {
  // Called only while no operation runs (see TqmTcpClient::KeepAliveTick).
  if (Active()) Noop();
}

int TqmPop3::MessageCount() {
  if (FMessageCount < 0) GetMailBoxInfo();
  return FMessageCount;
}

void TqmPop3::GetMailBoxInfo() {
  TqmOperationScope Operation(*this);
  SendCommandSync("STAT", {10});
  const std::string Reply = Trim(Response().Text());
  if (WordCount(Reply, " ") == 3) {
    FMessageCount = StrToIntDef(Trim(ExtractWord(2, Reply, " ")), 0);
    int64_t Size = 0;
    FMailBoxSize = TryStrToInt64(Trim(ExtractWord(3, Reply, " ")), Size) ? Size : 0;
  } else {
    FMessageCount = -1;
    FMailBoxSize = -1;
  }
}

int64_t TqmPop3::GetMessageSize(int AMessageNumber) {
  TqmOperationScope Operation(*this);
  FCurrentMessage = AMessageNumber;
  SendCommandSync("LIST " + std::to_string(AMessageNumber), {10});
  std::string Text;
  for (char C : Response().Text())
    if (C != '\r' && C != '\n') Text += C;
  auto After = [](const std::string& AText) {
    const size_t Space = AText.find(' ');
    return Space == std::string::npos ? std::string() : AText.substr(Space + 1, 100);
  };
  int64_t Size = 0;
  return TryStrToInt64(After(After(Text)), Size) ? Size : 0;
}

void TqmPop3::RetrieveHeader(int AMessageNumber, TqmMailMessage* AMessage) {
  TqmOperationScope Operation(*this);
  FCurrentMessage = AMessageNumber;
  SendCommandSync("TOP " + std::to_string(AMessageNumber) + " 0", {10});
  WaitMultipleLines(0);
  if (AMessage) AMessage->ParseHeaderOnly(Response());
  Operation.End();
}

void TqmPop3::Retrieve(int AMessageNumber, TqmMailMessage* AMessage) {
  TqmOperationScope Operation(*this);
  FCurrentMessage = AMessageNumber;
  const int64_t Size = OnProgress ? GetMessageSize(AMessageNumber) : 0;
  SendCommandSync("RETR " + std::to_string(AMessageNumber), {10});
  WaitMultipleLines(Size);
  if (AMessage) AMessage->ParseMessage(Response());
  Operation.End();
}

namespace {

// The bytes of one message in pages mapped for it. Growing moves the pages
// (mremap) instead of copying them: the message is never held twice, and
// only the pages written to take memory. Written at the end only.
class TMessageBuffer : public TStream {
 public:
  TMessageBuffer() = default;
  TMessageBuffer(const TMessageBuffer&) = delete;
  TMessageBuffer& operator=(const TMessageBuffer&) = delete;
  ~TMessageBuffer() override {
    if (FData) munmap(FData, FCapacity);
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    if (ACount <= 0) return 0;
    const size_t Count = static_cast<size_t>(ACount);
    if (FSize + Count > FCapacity) Grow(FSize + Count);
    std::memcpy(FData + FSize, ABuffer, Count);
    FSize += Count;
    return ACount;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(FSize); }
  void SetSize(int64_t ASize) override {
    if (ASize < 0 || static_cast<size_t>(ASize) > FSize) throw EWriteError("The message buffer only shrinks");
    FSize = static_cast<size_t>(ASize);
  }
  char* Data() { return FData; }
  size_t Length() const { return FSize; }

 private:
  void Grow(size_t ANeed) {
    size_t Capacity = FCapacity ? FCapacity : size_t{1} << 20;
    while (Capacity < ANeed) Capacity *= 2;
    void* Data = FData ? mremap(FData, FCapacity, Capacity, MREMAP_MAYMOVE)
                       : mmap(nullptr, Capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Data == MAP_FAILED) throw std::bad_alloc();
    FData = static_cast<char*>(Data);
    FCapacity = Capacity;
  }
  char* FData = nullptr;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

}  // namespace

void TqmPop3::Retrieve(int AMessageNumber, TStream& ADestination) {
  TqmOperationScope Operation(*this);
  FCurrentMessage = AMessageNumber;
  const int64_t Size = OnProgress ? GetMessageSize(AMessageNumber) : 0;
  SendCommandToStream("RETR " + std::to_string(AMessageNumber), {10}, ADestination, Size);
  Operation.End();
}

void TqmPop3::RetrieveMessage(int AMessageNumber, TqmMailMessage& AMessage) {
  TqmOperationScope Operation(*this);
  TMessageBuffer Buffer;
  Retrieve(AMessageNumber, Buffer);
  // As the lines of Retrieve() read them: NUL as a space, the reply in
  // CharSet.
  char* Text = Buffer.Data();
  std::replace(Text, Text + Buffer.Length(), '\0', ' ');
  const std::string CharSet = GetReadCharSet();
  if (CharSet.empty() || Buffer.Length() == 0) {
    AMessage.ParseMessage(std::string_view(Text, Buffer.Length()));
  } else {
    AMessage.ParseMessage(TqmTranslator::GetString(Text, static_cast<int64_t>(Buffer.Length()), CharSet));
  }
  Operation.End();
}

void TqmPop3::Noop() { SendCommandSync("NOOP", {10}); }

const char* const qmPop3UidlInvalid = "Invalid unique id listing";

namespace {

// "n id": a message number and an id of 1 to 70 printable characters. A
// line is at most a few bytes longer; anything else is refused instead of
// handing the caller an id that matches nothing.
TqmPop3::TUniqueId ParseUidlLine(const std::string& ALine) {
  const std::string Line = Trim(ALine);
  const size_t Space = Line.find(' ');
  TqmPop3::TUniqueId Id;
  if (Space != std::string::npos && TryStrToInt(Line.substr(0, Space), Id.MessageNumber) &&
      Id.MessageNumber > 0) {
    Id.UniqueId = Trim(Line.substr(Space + 1));
    const bool Printable =
        std::all_of(Id.UniqueId.begin(), Id.UniqueId.end(), [](char C) { return C > ' ' && C < 127; });
    if (!Id.UniqueId.empty() && Id.UniqueId.size() <= 70 && Printable) return Id;
  }
  throw EqmTcpClientError(std::string(qmPop3UidlInvalid) + ": " + Line, qmPop3UidlInvalidCode);
}

}  // namespace

std::vector<TqmPop3::TUniqueId> TqmPop3::Uidl() {
  TqmOperationScope Operation(*this);
  SendCommandSync("UIDL", {10});
  WaitMultipleLines(0);
  std::vector<TUniqueId> Ids;
  Ids.reserve(Response().Count());
  for (int I = 0; I < Response().Count(); ++I) Ids.push_back(ParseUidlLine(Response().Get(I)));
  Operation.End();
  return Ids;
}

std::string TqmPop3::Uidl(int AMessageNumber) {
  TqmOperationScope Operation(*this);
  FCurrentMessage = AMessageNumber;
  SendCommandSync("UIDL " + std::to_string(AMessageNumber), {10});
  // "+OK n id"
  const std::string Reply = Trim(Response().Text());
  const size_t Space = Reply.find(' ');
  const TUniqueId Id = ParseUidlLine(Space == std::string::npos ? std::string() : Reply.substr(Space + 1));
  if (Id.MessageNumber != AMessageNumber)
    throw EqmTcpClientError(std::string(qmPop3UidlInvalid) + ": " + Reply, qmPop3UidlInvalidCode);
  return Id.UniqueId;
}

void TqmPop3::Dele(int AMessageNumber) {
  FCurrentMessage = AMessageNumber;
  SendCommandSync("DELE " + std::to_string(AMessageNumber), {10});
}

void TqmPop3::Rset() { SendCommandSync("RSET", {10}); }

}  // namespace qm
