#include "mail/qmSmtp.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>

#include "core/qmSysUtils.h"
#include "core/qmIdnTranslator.h"
#include "message/qmUtils.h"
#include "mail/qmSasl.h"
#include "message/qmEmailAddress.h"
#include "message/qmMailHeader.h"
#include "message/qmMailMessage.h"

namespace qm {

const char* const qmSmtpEmptyData = "The data list is empty";
const char* const qmSmtpEmptyRecipients = "The recipient list is empty";
const char* const qmSmtpFailedRecipients = "There are recipients that failed to receive the message";
const char* const qmSmtpMessageTooLarge = "The message is %lld bytes, more than the %lld bytes the server accepts";
const char* const qmSmtpHeaderTooLarge = "The message header is larger than %lld bytes";

namespace {

std::atomic<uint32_t> GMessageIdCounter{0};

// The mailbox of a full address, in the form RCPT TO and MAIL FROM carry.
std::string EncodedMailbox(const std::string& AAddress) {
  return TqmIdnTranslator::EncodeMailbox(TqmEmailAddressItem::ExtractEmail(AAddress));
}

bool IsAscii(std::string_view AText) {
  // Words OR-ed together in runs without an early exit, which the compiler
  // can vectorize: a message of tens of megabytes is scanned whole (a byte
  // loop was a third of the client's CPU time for 50 MB).
  const char* At = AText.data();
  size_t Left = AText.size();
  while (Left >= 8) {
    const size_t Words = std::min<size_t>(Left / 8, 512);
    uint64_t Any = 0;
    for (size_t I = 0; I < Words; ++I) {
      uint64_t Word;
      std::memcpy(&Word, At + I * 8, 8);
      Any |= Word;
    }
    if (Any & 0x8080808080808080ull) return false;
    At += Words * 8;
    Left -= Words * 8;
  }
  for (; Left > 0; --Left, ++At)
    if (static_cast<unsigned char>(*At) >= 0x80) return false;
  return true;
}

// xtext (RFC 3461): "+", "=" and what is not printable ASCII as "+XX".
std::string XText(const std::string& AText) {
  std::string Out;
  for (unsigned char C : AText) {
    if (C < 33 || C > 126 || C == '+' || C == '=')
      Out += Format("+%02X", C);
    else
      Out += static_cast<char>(C);
  }
  return Out;
}

bool HasLineBreak(const TStrings& ALines) {
  if (const std::vector<std::string>* Lines = ALines.LineVector()) {
    for (const std::string& Line : *Lines)
      if (FindLineBreak(Line) != std::string::npos) return true;
    return false;
  }
  for (int I = 0; I < ALines.Count(); ++I)
    if (FindLineBreak(ALines.Get(I)) != std::string::npos) return true;
  return false;
}

// Every CR, LF or CR LF inside a line ends a line of its own.
void SplitLineBreaks(const TStrings& ALines, TStringList& AResult) {
  AResult.Reserve(ALines.Count());
  for (int I = 0; I < ALines.Count(); ++I) {
    const std::string& Line = ALines.Get(I);
    size_t Start = 0;
    for (;;) {
      const size_t Break = FindLineBreak(Line, Start);
      if (Break == std::string::npos) {
        AResult.Append(Line.substr(Start));
        break;
      }
      AResult.Append(Line.substr(Start, Break - Start));
      Start = Break + 1;
      if (Line[Break] == '\r' && Start < Line.size() && Line[Start] == '\n') ++Start;
    }
  }
}

}  // namespace

// ---- TqmFailedRecipientList ----

TqmFailedRecipient* TqmFailedRecipientList::Add(const std::string& AErrorText, const std::string& AEmail,
                                                int AErrorCode) {
  FItems.push_back(std::make_unique<TqmFailedRecipient>(TqmFailedRecipient{AErrorText, AEmail, AErrorCode}));
  return FItems.back().get();
}

// ---- TqmCustomSmtp ----

TqmCustomSmtp::TqmCustomSmtp(TComponent* AOwner) : TqmCustomMail(AOwner) {}

TqmCustomSmtp::~TqmCustomSmtp() {
  CloseForDestruction();
}

int TqmCustomSmtp::GetDefaultPort() { return 25; }

int TqmCustomSmtp::GetResponseCode(const std::string& AResponse) {
  const int Assigned = TqmCustomMail::GetResponseCode(AResponse);
  if (Assigned != 0) return Assigned;
  if (AResponse.find('-') == 3) return 0;
  int Code = 0;
  return TryStrToInt(AResponse.substr(0, 3), Code) ? Code : 0;
}

bool TqmCustomSmtp::IsForeignLine(const std::string& ALine) {
  auto Digit = [&](size_t I) { return ALine[I] >= '0' && ALine[I] <= '9'; };
  return !(ALine.size() >= 4 && Digit(0) && Digit(1) && Digit(2) && ALine[3] == '-');
}

std::string TqmCustomSmtp::GetHostName() const {
  if (!Trim(FHostName).empty()) return FHostName;
  char Name[257] = {};
  if (gethostname(Name, 256) != 0) return std::string();
  return Name;
}

void TqmCustomSmtp::StartSession() {
  TqmOperationScope Operation(*this);
  DisableSendDelay();
  WaitResponse({220});
  const std::string Host = GetHostName();
  CheckCommandArgument(Host);
  CheckCommandArgument(UserName());
  CheckCommandArgument(Password());
  CheckCommandArgument(Authorization());
  const std::string Command = FUseEHLO ? "EHLO" : "HELO";
  // A 530 to the first EHLO/HELO (TLS demanded first) lets STARTTLS follow.
  Hello(Command, {250, 530});
  // Everything learnt before TLS is read again from the server inside it.
  if (StartTlsIfNeeded()) Hello(Command, {250});
  if (FUseEHLO) Login();
  Operation.End();
}

void TqmCustomSmtp::Hello(const std::string& ACommand, const TOkCodes& AOkCodes) {
  FExtensions.Clear();
  FAuthMethods.Clear();
  FFailedRecipients.Clear();
  FMaxMessageSize = 0;
  SendCommandSync(ACommand + " " + GetHostName(), AOkCodes);
  const TStrings& Reply = Response();
  if (ACommand == "EHLO") {
    for (int I = 1; I < Reply.Count(); ++I) {
      const std::string& Line = Reply.Get(I);
      if (Line.find('-') == 3 || Line.find(' ') == 3) FExtensions.Add(Line.substr(4));
    }
    for (int I = 0; I < FExtensions.Count(); ++I) {
      const std::string& Line = FExtensions.Get(I);
      if (Line.compare(0, 4, "AUTH") != 0 || Line.size() <= 5) continue;
      const std::string Names = Line.substr(5);
      for (int W = 1, N = WordCount(Names, " "); W <= N; ++W) {
        const std::string Word = ExtractWord(W, Names, " ");
        if (!SaslHasMechanism(FAuthMethods, Word)) FAuthMethods.Add(Word);
      }
    }
  }
  if (Reply.Count() > 0) {
    const std::string Last = UpperCase(Trim(Reply.Get(Reply.Count() - 1)));
    int64_t Size = 0;
    if (WordCount(Last, " ") > 2 && ExtractWord(2, Last, " ") == "SIZE")
      FMaxMessageSize = TryStrToInt64(ExtractWord(3, Last, " "), Size) ? Size : 0;
  }
}

void TqmCustomSmtp::Login() {
  if (UserName().empty() && Password().empty() && Authorization().empty()) return;
  const bool HasAuth = FExtensions.Join("").find("AUTH") != std::string::npos;
  TqmSaslMechanism Chosen = smNone;
  if (!HasAuth) {
    if (UseSasl() && SaslOnly()) throw EqmSmtpError(qmSaslUnavailable, qmSaslUnavailableCode);
    return;
  }
  if (UseSasl()) {
    Chosen = SaslChooseMechanism(FAuthMethods, SaslChoice());
    if (Chosen == smNone && SaslOnly()) throw EqmSmtpError(qmSaslUnavailable, qmSaslUnavailableCode);
  }
  switch (Chosen) {
    case smNtlm:
      NtlmLogin();
      return;
    case smXOAuth2:
      XOAuth2Login();
      return;
    case smCramMd5:
      CramMd5Login();
      return;
    case smNone:
    case smLogin:
      // LOGIN, also when the server did not list it: the fallback the
      // client always had (PlainTextLogin may forbid it without TLS).
      CheckPlainTextLogin();
      LoginLogin();
      return;
    default:
      // Challenges follow "334 "; success is 235.
      RunSaslMechanism(Chosen, "AUTH", 334, 235, 4);
      return;
  }
}

void TqmCustomSmtp::XOAuth2Login() {
  SendCommandSync("AUTH XOAUTH2 " + BuildXOAuth2String(), {235, 334});
  // 334 carries the server's error details; the empty answer makes the
  // server send its final refusal, which is raised.
  if (LastResponseCode() == 334) SendCommandSync("", {0});
}

void TqmCustomSmtp::CramMd5Login() {
  SendCommandSync("AUTH CRAM-MD5", {334});
  const std::string Reply = Trim(Response().Text());
  const std::string Challenge = Reply.size() > 4 ? Reply.substr(4) : std::string();
  SendCommandSync(SaslCramMd5Response(Challenge, UserName(), Password()), {235});
}

void TqmCustomSmtp::NtlmLogin() {
  SendCommandSync("AUTH NTLM", {334});
  // Challenges follow "334 "; the last token is answered 235.
  SaslNtlmExchange(UserName(), Password(), "smtp@" + Server(), {334, 235, 4},
                   [this](const std::string& ALine, int AOkCode) {
                     SendCommandSync(ALine, {AOkCode});
                     return Response().Text();
                   });
}

void TqmCustomSmtp::LoginLogin() {
  SendCommandSync("AUTH LOGIN", {334});
  SendCommandSync(SaslBase64Line(UserName()), {334});
  SendCommandSync(SaslBase64Line(Password()), {235});
}

void TqmCustomSmtp::StartTls() {
  TqmOperationScope Operation(*this);
  SendCommandSync("STARTTLS", {220});
  TqmCustomMail::StartTls();
}

bool TqmCustomSmtp::HasExtension(const std::string& AName) const {
  for (int I = 0; I < FExtensions.Count(); ++I) {
    const std::string& Line = FExtensions.Get(I);
    if (SameText(Line.substr(0, Line.find_first_of(" =")), AName)) return true;
  }
  return false;
}

std::string TqmCustomSmtp::Mailbox(const std::string& AAddress) const {
  const std::string Email = TqmEmailAddressItem::ExtractEmail(AAddress);
  // Inside an SMTPUTF8 transaction the address goes as it is.
  return FUtf8Envelope && !IsAscii(Email) ? Email : TqmIdnTranslator::EncodeMailbox(Email);
}

void TqmCustomSmtp::SendMailFrom(const std::string& ASender) { MailFrom(ASender, -1, false, !IsAscii(ASender)); }

void TqmCustomSmtp::MailFrom(const std::string& ASender, int64_t ASize, bool AEightBit, bool AUtf8) {
  SendCommandSync(MailFromCommand(ASender, ASize, AEightBit, AUtf8), {250});
}

std::string TqmCustomSmtp::MailFromCommand(const std::string& ASender, int64_t ASize, bool AEightBit, bool AUtf8) {
  // The address as given is checked too: the address parser and the IDN
  // encoder drop a line break, which would send the mail somewhere else.
  CheckCommandArgument(ASender);
  FUtf8Envelope = AUtf8 && FUseSmtpUtf8 && HasExtension("SMTPUTF8");
  const std::string Address = Mailbox(ASender);
  CheckCommandArgument(Address);
  std::string Command = "MAIL FROM: <" + Address + ">";
  if (ASize >= 0 && FUseSize && HasExtension("SIZE")) Command += " SIZE=" + std::to_string(ASize);
  if (AEightBit && FUse8BitMime && HasExtension("8BITMIME")) Command += " BODY=8BITMIME";
  if (FUtf8Envelope) Command += " SMTPUTF8";
  if (FUseDsn && HasExtension("DSN")) {
    if (!FDsnReturn.empty()) Command += " RET=" + FDsnReturn;
    if (!FDsnEnvelopeId.empty()) Command += " ENVID=" + XText(FDsnEnvelopeId);
  }
  CheckCommandArgument(Command);
  return Command;
}

std::string TqmCustomSmtp::RcptCommand(const std::string& AEntry) const {
  CheckCommandArgument(AEntry);
  const std::string Address = Mailbox(AEntry);
  CheckCommandArgument(Address);
  std::string Command = "RCPT TO: <" + Address + ">";
  if (FUseDsn && HasExtension("DSN")) {
    if (!FDsnNotify.empty()) Command += " NOTIFY=" + FDsnNotify;
    if (FDsnOriginalRecipient) Command += " ORCPT=rfc822;" + XText(Address);
  }
  CheckCommandArgument(Command);
  return Command;
}

bool TqmCustomSmtp::Pipelined() const { return FUsePipelining && HasExtension("PIPELINING"); }

bool TqmCustomSmtp::Chunked() const { return FUseChunking && HasExtension("CHUNKING") && CharSet().empty(); }

void TqmCustomSmtp::SendRecipients(const TStrings& ARecipients) {
  if (Pipelined()) {
    SendGroup(std::string(), ARecipients, false);
    return;
  }
  TqmOperationScope Operation(*this);
  FFailedRecipients.Clear();
  if (ARecipients.Count() == 0) throw EqmSmtpError(qmSmtpEmptyRecipients, qmSmtpEmptyRecipientsCode);
  int Accepted = 0;
  for (int I = 0; I < ARecipients.Count(); ++I) {
    const std::string& Entry = ARecipients.Get(I);
    try {
      SendCommandSync(RcptCommand(Entry), {250});
      ++Accepted;
    } catch (const EqmTcpClientError& E) {
      if (!FSkipFailedRecipients) throw;
      FFailedRecipients.Add(E.Message(), Entry, E.ErrorCode());
    }
  }
  if (Accepted == 0) throw EqmSmtpError(qmSmtpFailedRecipients, qmSmtpFailedRecipientsCode);
}

bool TqmCustomSmtp::SendGroup(const std::string& AMailFrom, const TStrings& ARecipients, bool AData) {
  TqmOperationScope Operation(*this);
  FFailedRecipients.Clear();
  if (ARecipients.Count() == 0) throw EqmSmtpError(qmSmtpEmptyRecipients, qmSmtpEmptyRecipientsCode);
  std::vector<std::string> Commands;
  std::vector<int> Sent;  // the recipient of each RCPT TO, in order
  if (!AMailFrom.empty()) Commands.push_back(AMailFrom);
  for (int I = 0; I < ARecipients.Count(); ++I) {
    try {
      Commands.push_back(RcptCommand(ARecipients.Get(I)));
      Sent.push_back(I);
    } catch (const EqmTcpClientError& E) {
      if (!FSkipFailedRecipients) throw;
      FFailedRecipients.Add(E.Message(), ARecipients.Get(I), E.ErrorCode());
    }
  }
  if (Sent.empty()) throw EqmSmtpError(qmSmtpFailedRecipients, qmSmtpFailedRecipientsCode);
  if (AData) Commands.push_back("DATA");
  WriteCommands(Commands);

  // Every reply is read, also after a refusal, so that the session stays
  // in step; a refusal is a reply code, anything else (a limit, a lost
  // connection) ends the group at once.
  auto Next = [this](const TOkCodes& AOk) -> std::optional<EqmTcpClientError> {
    try {
      WaitNextResponse(AOk);
      return std::nullopt;
    } catch (const EqmTcpClientError& E) {
      if (E.ErrorCode() <= 0) throw;
      return E;
    }
  };
  std::optional<EqmTcpClientError> Refusal;
  if (!AMailFrom.empty()) Refusal = Next({250});
  int Accepted = 0;
  const bool MailRefused = Refusal.has_value();
  for (int I : Sent) {
    std::optional<EqmTcpClientError> Refused = Next({250});
    if (MailRefused) continue;  // no transaction: not the recipient's fault
    if (!Refused) {
      ++Accepted;
    } else if (FSkipFailedRecipients) {
      FFailedRecipients.Add(Refused->Message(), ARecipients.Get(I), Refused->ErrorCode());
    } else if (!Refusal) {
      Refusal = std::move(Refused);
    }
  }
  std::optional<EqmTcpClientError> DataRefusal;
  if (AData) DataRefusal = Next({354});
  const bool DataOpen = AData && !DataRefusal;
  if (Refusal || Accepted == 0) {
    if (DataOpen) {
      if (Accepted > 0) {
        // The server would deliver whatever ends the data: only closing the
        // connection withdraws the message.
        Connection()->Disconnect(false);
      } else {
        // Nobody to deliver to: a lone dot ends the data (RFC 2920).
        WriteCommand(".");
        Next({250});
      }
    }
    if (Refusal) throw *Refusal;
    throw EqmSmtpError(qmSmtpFailedRecipients, qmSmtpFailedRecipientsCode);
  }
  if (DataRefusal) throw *DataRefusal;
  Operation.End();
  return DataOpen;
}

void TqmCustomSmtp::SendData(TStrings& ALines) {
  if (ALines.Count() == 0) throw EqmSmtpError(qmSmtpEmptyData, qmSmtpEmptyDataCode);
  SendBody(ALines, false);
}

void TqmCustomSmtp::SendBody(TStrings& ALines, bool ADataSent) {
  // One operation from DATA (or BDAT) to the reply to the body: the
  // keep-alive must not write while the server holds that reply.
  TqmOperationScope Operation(*this);
  TStringList Split;
  const bool HasBreaks = HasLineBreak(ALines);
  if (HasBreaks) SplitLineBreaks(ALines, Split);
  TStrings& Lines = HasBreaks ? static_cast<TStrings&>(Split) : ALines;
  if (!ADataSent && Chunked()) {
    // One chunk of the exact size: no dot-stuffing and no end line.
    int64_t Size = 0;
    for (int I = 0; I < Lines.Count(); ++I) Size += static_cast<int64_t>(Lines.Get(I).size()) + 2;
    WriteCommand("BDAT " + std::to_string(Size) + " LAST");
    SendMultipleLines(Lines, "");
    WaitResponse({250});
    Operation.End();
    return;
  }
  if (!ADataSent) SendCommandSync("DATA", {354});
  SendMultipleLines(Lines, ".");
  WaitResponse({250, 354});
  Operation.End();
}

void TqmCustomSmtp::SendQuit() { SendSilentCommand("QUIT", {221}); }

void TqmCustomSmtp::Reset() { SendCommandSync("RSET", {250}); }

void TqmCustomSmtp::Noop() { SendCommandSync("NOOP", {250}); }

void TqmCustomSmtp::CheckAddresses(const std::string& ASender, const TStrings& ARecipients) {
  // Nothing is written when one of the addresses could not be.
  CheckCommandArgument(ASender);
  CheckCommandArgument(EncodedMailbox(ASender));
  for (int I = 0; I < ARecipients.Count(); ++I) {
    CheckCommandArgument(ARecipients.Get(I));
    CheckCommandArgument(EncodedMailbox(ARecipients.Get(I)));
  }
}

void TqmCustomSmtp::TouchUpHeader(TStrings& AData) {
  TqmMailHeaderFieldList Header("iso-8859-1", cmNone, 76);
  Header.Parse(0, &AData);
  if (Header.IndexOfField("X-Mailer") < 0 && !FMailAgent.empty()) Header.AddField("X-Mailer", FMailAgent);
  if (Header.IndexOfField("Message-ID") < 0) Header.AddField("Message-ID", GenerateMessageID());
  // All of them: a second Bcc field would show blind copies to everyone.
  for (int Index = Header.IndexOfField("bcc"); Index >= 0; Index = Header.IndexOfField("bcc"))
    Header.RemoveFieldAt(Index);
}

int64_t TqmCustomSmtp::AnnouncedSize() const {
  int64_t Limit = 0;
  for (int I = 0; I < FExtensions.Count(); ++I) {
    const std::string& Line = FExtensions.Get(I);
    if (FUseSize && WordCount(Line, " ") >= 2 && SameText(ExtractWord(1, Line, " "), "SIZE"))
      TryStrToInt64(ExtractWord(2, Line, " "), Limit);
  }
  return Limit;
}

void TqmCustomSmtp::CheckMessageSize(int64_t ASize) const {
  const int64_t Limit = AnnouncedSize();
  if (Limit > 0 && ASize > Limit)
    throw EqmSmtpError(Format(qmSmtpMessageTooLarge, static_cast<long long>(ASize), static_cast<long long>(Limit)),
                       qmSmtpMessageTooLargeCode);
}

bool TqmCustomSmtp::SendEnvelope(const std::string& ASender, const TStrings& ARecipients, int64_t ASize,
                                 bool AEightBit) {
  bool Utf8 = !IsAscii(ASender);
  for (int I = 0; I < ARecipients.Count(); ++I) Utf8 = Utf8 || !IsAscii(ARecipients.Get(I));
  if (Pipelined()) {
    const std::string Mail = MailFromCommand(ASender, ASize, AEightBit, Utf8);
    // DATA joins the group only when a refusal does not stop the message.
    return SendGroup(Mail, ARecipients, FSkipFailedRecipients && !Chunked());
  }
  MailFrom(ASender, ASize, AEightBit, Utf8);
  SendRecipients(ARecipients);
  return false;
}

void TqmCustomSmtp::SendMessage(const std::string& ASender, TStrings& AData, const TStrings& ARecipients) {
  // Checked before the touch-up, which would otherwise make an empty
  // message out of nothing but the added fields.
  if (AData.Count() == 0) throw EqmSmtpError(qmSmtpEmptyData, qmSmtpEmptyDataCode);
  TqmOperationScope Operation(*this);
  CheckAddresses(ASender, ARecipients);
  TouchUpHeader(AData);

  int64_t Size = 0;
  bool EightBit = false;
  for (int I = 0; I < AData.Count(); ++I) {
    const std::string& Line = AData.Get(I);
    Size += static_cast<int64_t>(Line.size()) + 2;
    if (!EightBit && !IsAscii(Line)) EightBit = true;
  }
  CheckMessageSize(Size);
  if (Pipelined()) {
    SendBody(AData, SendEnvelope(ASender, ARecipients, Size, EightBit));
  } else {
    // Through the overridable steps, as always.
    SendEnvelope(ASender, ARecipients, Size, EightBit);
    SendData(AData);
  }
  Operation.End();
  if (FFailedRecipients.Count() > 0) throw EqmSmtpError(qmSmtpFailedRecipients, qmSmtpFailedRecipientsCode);
}

namespace {

constexpr int64_t kStreamBlock = 64 * 1024;
// The writes a BDAT chunk is sent in.
constexpr size_t kChunkSlice = 256 * 1024;

// Reads the header of AData (up to and including its empty line) into
// AHeader; returns whether the empty line came. AData is left at the body.
bool ReadStreamHeader(TStream& AData, TStrings& AHeader) {
  const int64_t Start = AData.Position();
  std::string Raw;
  size_t LineStart = 0;
  bool End = false;
  auto More = [&] {
    if (End) return false;
    if (static_cast<int64_t>(Raw.size()) >= qmSmtpMaxStreamHeader)
      throw EqmSmtpError(Format(qmSmtpHeaderTooLarge, static_cast<long long>(qmSmtpMaxStreamHeader)),
                         qmSmtpHeaderTooLargeCode);
    const size_t Old = Raw.size();
    Raw.resize(Old + kStreamBlock);
    const int64_t Got = AData.Read(Raw.data() + Old, kStreamBlock);
    Raw.resize(Old + static_cast<size_t>(std::max<int64_t>(Got, 0)));
    End = Got <= 0;
    return !End;
  };
  for (;;) {
    const size_t Break = FindLineBreak(Raw, LineStart);
    // A CR that ends what was read may be the first half of CR LF.
    if (Break == std::string::npos || (Raw[Break] == '\r' && Break + 1 == Raw.size())) {
      if (More()) continue;
      if (Break == std::string::npos) {
        if (LineStart < Raw.size()) AHeader.Add(Raw.substr(LineStart));
        return false;
      }
    }
    size_t Next = Break + 1;
    if (Raw[Break] == '\r' && Next < Raw.size() && Raw[Next] == '\n') ++Next;
    if (Break == LineStart) {
      AData.SetPosition(Start + static_cast<int64_t>(Next));
      return true;
    }
    AHeader.Add(Raw.substr(LineStart, Break - LineStart));
    LineStart = Next;
  }
}

}  // namespace

void TqmCustomSmtp::SendMessageStream(const std::string& ASender, TStream& AData, const TStrings& ARecipients) {
  TqmOperationScope Operation(*this);
  CheckAddresses(ASender, ARecipients);
  TStringList Header;
  const bool HasBody = ReadStreamHeader(AData, Header);
  if (Header.Count() == 0 && !HasBody) throw EqmSmtpError(qmSmtpEmptyData, qmSmtpEmptyDataCode);
  const int64_t BodyStart = AData.Position();
  TouchUpHeader(Header);
  std::string Head = Header.Join("\r\n") + "\r\n";
  if (Header.Count() == 0) Head.clear();
  if (HasBody) Head += "\r\n";

  // First pass: the size as sent (without stuffing) and 8-bit content.
  std::string Block(static_cast<size_t>(kStreamBlock), '\0'), Lines;
  int64_t Size = static_cast<int64_t>(Head.size());
  bool EightBit = !IsAscii(Head);
  {
    TqmLineNormalizer Normalizer(false);
    for (int64_t Got; (Got = AData.Read(Block.data(), kStreamBlock)) > 0;) {
      const std::string_view Data(Block.data(), static_cast<size_t>(Got));
      EightBit = EightBit || !IsAscii(Data);
      Lines.clear();
      Normalizer.Add(Data, Lines);
      Size += static_cast<int64_t>(Lines.size());
    }
    Lines.clear();
    Normalizer.Finish(Lines);
    Size += static_cast<int64_t>(Lines.size());
  }
  CheckMessageSize(Size);
  const bool DataSent = SendEnvelope(ASender, ARecipients, Size, EightBit);
  AData.SetPosition(BodyStart);

  // Second pass: the head, then the body read block by block.
  const bool Chunks = !DataSent && Chunked();
  TqmLineNormalizer Normalizer(!Chunks);
  bool HeadSent = false, Ended = false;
  // Appends the next lines to APiece until it holds at least ALimit bytes
  // or the data ended; false once it ended.
  auto Fill = [&](std::string& APiece, size_t ALimit) {
    if (!HeadSent) {
      Normalizer.Add(Head, APiece);
      HeadSent = true;
    }
    while (!Ended && APiece.size() < ALimit) {
      const int64_t Got = AData.Read(Block.data(), kStreamBlock);
      if (Got > 0) {
        Normalizer.Add(std::string_view(Block.data(), static_cast<size_t>(Got)), APiece);
      } else {
        Normalizer.Finish(APiece);
        Ended = true;
      }
    }
    return !Ended;
  };
  if (Chunks) {
    // Chunks of a known size each: a stream that changes under us cannot
    // make the server cut a message at a count announced in advance.
    SendChunks([&](std::string& AChunk) {
      Fill(AChunk, static_cast<size_t>(qmSmtpChunkSize));
      // The last chunk is the one after which nothing is left to read.
      if (!Ended) {
        const int64_t Got = AData.Read(Block.data(), 1);
        if (Got > 0) AData.Seek(-Got, TSeekOrigin::soCurrent);
        else Fill(AChunk, AChunk.size() + 1);
      }
      return Ended;
    }, Size);
  } else {
    if (!DataSent) SendCommandSync("DATA", {354});
    SendBodyPieces(Size, [&](std::string& APiece) {
      if (Fill(APiece, static_cast<size_t>(kStreamBlock))) return true;
      APiece += ".\r\n";
      return false;
    });
    WaitResponse({250, 354});
  }
  Operation.End();
  if (FFailedRecipients.Count() > 0) throw EqmSmtpError(qmSmtpFailedRecipients, qmSmtpFailedRecipientsCode);
}

void TqmCustomSmtp::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (FChunkTotal > 0)
    TqmCustomMail::DoProgress(std::min(FChunkDone + ABytesProceed, FChunkTotal), FChunkTotal);
  else
    TqmCustomMail::DoProgress(ABytesProceed, ATotalBytes);
}

void TqmCustomSmtp::SendChunks(const std::function<bool(std::string&)>& ANext, int64_t ATotal) {
  struct TProgressScope {
    TqmCustomSmtp& Client;
    ~TProgressScope() { Client.FChunkTotal = Client.FChunkDone = 0; }
  } Progress{*this};
  FChunkTotal = ATotal;
  FChunkDone = 0;
  // With PIPELINING the next chunk goes out before the reply to the one
  // before it is read, so that the server reads while the client fills;
  // at most qmSmtpChunksInFlight chunks are unanswered. A chunk written is
  // in the socket, not here: memory stays one chunk whatever the window.
  const bool Piped = Pipelined();
  const int Window = Piped ? std::max(qmSmtpChunksInFlight, 1) : 1;
  int Unanswered = 0;
  std::optional<EqmTcpClientError> Refusal;
  auto CutOff = [this] {
    try {
      Connection()->Disconnect(false);
    } catch (const EqmSocketError&) {
    }
  };
  // Reads the oldest reply due. After a refusal no chunk follows, but the
  // replies to those already written are read whatever they say (the
  // server discards those chunks), so that the session stays in step.
  // When a reply cannot be read while others are due, the session is out
  // of step for good: the connection is closed.
  auto Answer = [&] {
    --Unanswered;
    try {
      if (Piped) WaitNextResponse({250});
      else WaitResponse({250});
    } catch (const EqmSocketError& E) {
      const auto* Reply = dynamic_cast<const EqmTcpClientError*>(&E);
      if (Reply && Reply->ErrorCode() > 0) {
        if (!Refusal) Refusal = *Reply;
        return;
      }
      if (Unanswered > 0 && Active()) CutOff();
      if (Refusal) throw *Refusal;
      throw;
    }
  };
  // One buffer for every chunk, written in slices: a chunk handed over
  // whole would take the buffer with it, and each next one would grow a
  // new one to twice the chunk size.
  std::string Chunk;
  Chunk.reserve(static_cast<size_t>(qmSmtpChunkSize + qmSmtpChunkSize / 8));
  for (bool Last = false; !Last && !Refusal;) {
    Chunk.clear();
    try {
      Last = ANext(Chunk);
    } catch (...) {
      // (A read error of the message.) Nothing of this chunk went out; the
      // replies due are read so that the next command gets its own.
      try {
        while (Unanswered > 0) Answer();
      } catch (const EqmSocketError&) {
      }
      throw;
    }
    try {
      WriteCommand("BDAT " + std::to_string(Chunk.size()) + (Last ? " LAST" : ""));
      size_t Offset = 0;
      SendBodyPieces(static_cast<int64_t>(Chunk.size()), [&](std::string& APiece) {
        const size_t Slice = std::min(Chunk.size() - Offset, kChunkSlice);
        APiece.assign(Chunk, Offset, Slice);
        Offset += Slice;
        return Offset < Chunk.size();
      });
    } catch (const EqmSocketError& E) {
      // A server that refused a chunk and hung up makes this write fail;
      // its refusal may be here already, read along with an earlier reply,
      // and explains the loss better than the write's error.
      const auto* Reply = dynamic_cast<const EqmTcpClientError*>(&E);
      if (!Piped || Unanswered == 0 || (Reply && Reply->ErrorCode() >= 400)) throw;
      try {
        while (Unanswered > 0 && !Refusal) Answer();
      } catch (const EqmSocketError&) {
      }
      if (Refusal) throw *Refusal;
      throw;
    }
    FChunkDone += static_cast<int64_t>(Chunk.size());
    ++Unanswered;
    // Room for the next chunk; after the last, every reply.
    while (Unanswered >= (Last ? 1 : Window) && !Refusal) Answer();
  }
  while (Unanswered > 0) Answer();
  if (Refusal) throw *Refusal;
}

std::string TqmCustomSmtp::GenerateMessageID() {
  const uint32_t Counter = ++GMessageIdCounter;
  const auto Tick = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
  const auto Now = std::chrono::system_clock::now();
  const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
  const int Milli = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000);
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  const std::string Stamp = Format("%02X%02X%02X%02X%02X%02X", Local.tm_mon + 1, Local.tm_mday, Local.tm_hour,
                                   Local.tm_min, Local.tm_sec, Milli)
                                .substr(0, 12);
  std::string Id = Format("<%08llX", static_cast<unsigned long long>(Tick));
  Id += Stamp;
  Id += Format("%03X%03X@", Counter, Counter * 2u);
  Id += GetHostName();
  Id += '>';
  return Id;
}

#define QM_SMTP_PROPERTY(Class, Type, Name, Field) \
  void Class::Set##Name(Type AValue) {             \
    if (Field == AValue) return;                   \
    Field = AValue;                                \
    Changed();                                     \
  }
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, UseEHLO, FUseEHLO)
QM_SMTP_PROPERTY(TqmCustomSmtp, const std::string&, MailAgent, FMailAgent)
QM_SMTP_PROPERTY(TqmCustomSmtp, const std::string&, HostName, FHostName)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, SkipFailedRecipients, FSkipFailedRecipients)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, UseSize, FUseSize)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, Use8BitMime, FUse8BitMime)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, UseSmtpUtf8, FUseSmtpUtf8)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, UseChunking, FUseChunking)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, UseDsn, FUseDsn)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, UsePipelining, FUsePipelining)
QM_SMTP_PROPERTY(TqmCustomSmtp, const std::string&, DsnNotify, FDsnNotify)
QM_SMTP_PROPERTY(TqmCustomSmtp, const std::string&, DsnReturn, FDsnReturn)
QM_SMTP_PROPERTY(TqmCustomSmtp, const std::string&, DsnEnvelopeId, FDsnEnvelopeId)
QM_SMTP_PROPERTY(TqmCustomSmtp, bool, DsnOriginalRecipient, FDsnOriginalRecipient)
QM_SMTP_PROPERTY(TqmSmtp, const std::string&, MailFrom, FMailFrom)
#undef QM_SMTP_PROPERTY

// ---- TqmSmtp ----

TqmSmtp::TqmSmtp(TComponent* AOwner)
    : TqmCustomSmtp(AOwner),
      FMailToList(std::make_unique<TStringList>()),
      FMailData(std::make_unique<TStringList>()) {
  FMailToList->OnChange = [this](TObject*) { Changed(); };
  FMailData->OnChange = [this](TObject*) { Changed(); };
}

TqmSmtp::~TqmSmtp() {
  CloseForDestruction();
}

void TqmSmtp::OpenSession() { StartSession(); }

void TqmSmtp::CloseSession() { SendQuit(); }

void TqmSmtp::DoKeepAlive() {
  // Called only while no operation runs (see TqmTcpClient::KeepAliveTick).
  if (Active()) Noop();
}

void TqmSmtp::Send(TqmMailMessage* AMessage) {
  TqmOperationScope Operation(*this);
  TStringList Recipients;
  Recipients.Assign(*FMailToList);
  std::string Sender = FMailFrom;
  if (FMailData->Count() > 0 || !AMessage) {
    SendMessage(Sender, *FMailData, Recipients);
    return;
  }
  if (Sender.empty()) Sender = AMessage->From().FullAddress();
  if (Recipients.Count() == 0) {
    for (const TqmEmailAddressList* List : {&AMessage->ToList(), &AMessage->CCList(), &AMessage->BCCList()})
      for (int I = 0; I < List->Count(); ++I) Recipients.Add(List->Items(I)->FullAddress());
  }
  AMessage->SetMessageID(GenerateMessageID());
  SendMessage(Sender, AMessage->MessageSource(), Recipients);
  Operation.End();
}

void TqmSmtp::SendStream(TStream& AData) {
  TqmOperationScope Operation(*this);
  TStringList Recipients;
  Recipients.Assign(*FMailToList);
  SendMessageStream(FMailFrom, AData, Recipients);
  Operation.End();
}

}  // namespace qm
