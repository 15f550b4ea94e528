#include "mail/qmTcpCommandClient.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "core/qmTranslator.h"
#include "message/qmUtils.h"
#include "net/qmTlsOpenSsl.h"

namespace qm {

const char* const qmCommandLineBreak = "The command contains a line break and was not sent";
const char* const qmReplyLineTooLong = "The server's reply line is longer than MaxReplyLineLength (%lld bytes)";
const char* const qmDataLineTooLong = "A data line from the server is longer than MaxDataLineLength (%lld bytes)";
const char* const qmReplyTooManyLines = "The server's reply has more lines than MaxReplyLines (%lld)";
const char* const qmResponseTooLarge = "The server's response is larger than MaxResponseSize (%lld bytes)";
const char* const qmUnexpectedReply = "Unexpected reply from the server: %s";

class TqmTcpCommandClient::TProgressRelay {
 public:
  explicit TProgressRelay(TqmTcpCommandClient& AClient)
      : FConnection(*AClient.Connection()), FSaved(FConnection.OnProgress) {
    FConnection.OnProgress = [&AClient](TObject*, int64_t AProceed, int64_t ATotal) {
      if (AProceed <= ATotal) AClient.DoProgress(AProceed, ATotal);
    };
  }
  ~TProgressRelay() { FConnection.OnProgress = FSaved; }

 private:
  TqmTcpClientConnection& FConnection;
  TqmProgressEvent FSaved;
};

namespace {

// The accepted codes: up to the end or the first 0.
bool IsAccepted(const std::vector<int>& AOk, int ACode) {
  for (int Code : AOk) {
    if (Code == 0) return false;
    if (Code == ACode) return true;
  }
  return false;
}

bool IsMultiLineWait(const std::vector<int>& AOk) { return AOk.size() == 1 && AOk[0] == 1; }

// What a line of ALength bytes holds in Response(): qmResponseLineCost,
// and a text too long for the string object itself has a heap block of
// its own (with its NUL and the allocator's header, in 16-byte steps).
int64_t HeldBy(size_t ALength) {
  static const size_t Inline = std::string().capacity();
  int64_t Held = qmResponseLineCost;
  if (ALength > Inline) Held += std::max<int64_t>(32, static_cast<int64_t>((ALength + 1 + 8 + 15) & ~size_t{15}));
  return Held;
}

}  // namespace

void TqmLineNormalizer::Add(std::string_view AData, std::string& AOut) {
  size_t I = 0;
  if (FPendingCR) {
    FPendingCR = false;
    if (!AData.empty() && AData[0] == '\n') I = 1;
  }
  while (I < AData.size()) {
    const size_t Break = FindLineBreak(AData, I);
    const size_t End = Break == std::string_view::npos ? AData.size() : Break;
    if (End > I) {
      if (FLineStart && FStuffDots && AData[I] == '.') AOut += '.';
      AOut.append(AData.data() + I, End - I);
      FLineStart = false;
    }
    if (Break == std::string_view::npos) return;
    AOut += "\r\n";
    FLineStart = true;
    I = Break + 1;
    if (AData[Break] == '\r') {
      if (I == AData.size()) FPendingCR = true;
      else if (AData[I] == '\n') ++I;
    }
  }
}

void TqmLineNormalizer::Finish(std::string& AOut) {
  if (!FLineStart) AOut += "\r\n";
  FLineStart = true;
}

TqmTcpCommandClient::TqmTcpCommandClient(TComponent* AOwner)
    : TqmTcpClientTls(AOwner), FResponse(std::make_unique<TStringList>()) {}

TqmTcpCommandClient::~TqmTcpCommandClient() {
  // The overrides of InternalClose still apply here, not in the base.
  CloseForDestruction();
}

#define QM_TEXT_PROPERTY(Name, Field)                        \
  void TqmTcpCommandClient::Set##Name(const std::string& AValue) { \
    if (Field == AValue) return;                             \
    Field = AValue;                                          \
    Changed();                                               \
  }
QM_TEXT_PROPERTY(UserName, FUserName)
QM_TEXT_PROPERTY(Password, FPassword)
QM_TEXT_PROPERTY(Authorization, FAuthorization)
QM_TEXT_PROPERTY(CharSet, FCharSet)
#undef QM_TEXT_PROPERTY

#define QM_VALUE_PROPERTY(Type, Name, Field)            \
  void TqmTcpCommandClient::Set##Name(Type AValue) {    \
    if (Field == AValue) return;                        \
    Field = AValue;                                     \
    Changed();                                          \
  }
QM_VALUE_PROPERTY(int, MaxReplyLineLength, FMaxReplyLineLength)
QM_VALUE_PROPERTY(int64_t, MaxDataLineLength, FMaxDataLineLength)
QM_VALUE_PROPERTY(int, MaxReplyLines, FMaxReplyLines)
QM_VALUE_PROPERTY(int64_t, MaxResponseSize, FMaxResponseSize)
QM_VALUE_PROPERTY(int, LowSpeedLimit, FLowSpeedLimit)
QM_VALUE_PROPERTY(int, LowSpeedTime, FLowSpeedTime)
#undef QM_VALUE_PROPERTY

void TqmTcpCommandClient::OpenSession() {}
void TqmTcpCommandClient::CloseSession() {}

int TqmTcpCommandClient::GetResponseCode(const std::string& AResponse) {
  int Code = 0;
  DoGetResponseCode(AResponse, Code);
  return Code;
}

std::string TqmTcpCommandClient::GetWriteCharSet() { return FCharSet; }
std::string TqmTcpCommandClient::GetReadCharSet() { return FCharSet; }

// No event is raised by the closing of destruction: the handlers' owner
// may be half gone by then.
void TqmTcpCommandClient::DoSendCommand(const std::string& AText) {
  if (OnSendCommand && !EventsSilenced()) OnSendCommand(this, AText);
}
void TqmTcpCommandClient::DoReceiveResponse(TStrings* AList) {
  if (OnReceiveResponse && !EventsSilenced()) OnReceiveResponse(this, AList);
}
void TqmTcpCommandClient::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress && !EventsSilenced()) OnProgress(this, ABytesProceed, ATotalBytes);
}
void TqmTcpCommandClient::DoGetResponseCode(const std::string& AResponse, int& AResponseCode) {
  if (OnGetResponseCode && !EventsSilenced()) OnGetResponseCode(this, AResponse, AResponseCode);
}

bool TqmTcpCommandClient::IsForeignLine(const std::string&) { return false; }

void TqmTcpCommandClient::CheckAborted() {
  TqmTcpClientConnection& Conn = *Connection();
  if (!Conn.IsAborted()) return;
  try {
    Conn.Disconnect(false);
  } catch (const EqmSocketError&) {
  }
  RaiseSocketError(ECONNABORTED);
}

template <typename F>
void TqmTcpCommandClient::Transfer(F AStep) {
  // Also before: a Cancel kept from while nothing ran ends the operation
  // before it writes a byte.
  CheckAborted();
  try {
    AStep();
  } catch (const EqmSocketError& E) {
    // A reply or transfer cut off by a time-out leaves the session out of
    // step with the server: the connection is closed, without a closing
    // command that would only wait for TimeOut again.
    if (E.ErrorCode() == qmTimeoutErrorCode || E.ErrorCode() == qmTransferTooSlowCode) {
      try {
        Connection()->Disconnect(false);
      } catch (const EqmSocketError&) {
      }
    }
    throw;
  }
  CheckAborted();
}

template <typename F>
void TqmTcpCommandClient::TransferOut(F AStep) {
  try {
    Transfer(AStep);
  } catch (const EqmSocketError& E) {
    // A server that refuses (a message too big, a shutdown) and resets at
    // once makes our next write fail; its reply explains that failure.
    if (IsConnectionLostError(E.ErrorCode())) RaiseReplyLeftAtLoss();
    throw;
  }
}

void TqmTcpCommandClient::RaiseLimit(const char* AText, int64_t ALimit, int ACode) {
  try {
    Connection()->Disconnect(false);
  } catch (const EqmSocketError&) {
  }
  throw EqmTcpClientError(Format(AText, static_cast<long long>(ALimit)), ACode);
}

void TqmTcpCommandClient::CheckLineLength(const std::string& ALine, bool ADataLine) {
  const int64_t Length = static_cast<int64_t>(ALine.size());
  if (ADataLine) {
    if (FMaxDataLineLength > 0 && Length > FMaxDataLineLength)
      RaiseLimit(qmDataLineTooLong, FMaxDataLineLength, qmDataLineTooLongCode);
  } else if (FMaxReplyLineLength > 0 && Length > FMaxReplyLineLength) {
    RaiseLimit(qmReplyLineTooLong, FMaxReplyLineLength, qmReplyLineTooLongCode);
  }
}

void TqmTcpCommandClient::InternalOpen() {
  TqmTcpClientTls::InternalOpen();
  OpenSession();
}

void TqmTcpCommandClient::InternalClose(bool ANotifyPeer) {
  try {
    // The closing command goes out from a Close of its own only: not in
    // the middle of another operation's exchange, nor when the peer is not
    // to be notified (a failed open).
    if (ANotifyPeer && Active() && !IsNestedOperation()) CloseSession();
  } catch (...) {
    TqmTcpClientTls::InternalClose(ANotifyPeer);
    throw;
  }
  TqmTcpClientTls::InternalClose(ANotifyPeer);
}

bool TqmTcpCommandClient::HasDataBeforeTls() {
  return FReplyTail || FPendingCR || !FQueued.empty() || TqmTcpClientTls::HasDataBeforeTls();
}

void TqmTcpCommandClient::WriteCommand(const std::string& ACommand) {
  TqmOperationScope Operation(*this);
  CheckActive();
  if (FindLineBreak(ACommand) != std::string::npos)
    throw EqmTcpClientError(qmCommandLineBreak, qmCommandLineBreakCode);
  FReplyTail = false;
  const std::string Line = ACommand + "\r\n";
  Connection()->InitProgress(0, 0);
  TransferOut([&] { Connection()->WriteString(Line, GetWriteCharSet()); });
  DoSendCommand(Line);
}

void TqmTcpCommandClient::WriteCommands(const std::vector<std::string>& ACommands) {
  TqmOperationScope Operation(*this);
  CheckActive();
  std::string Group;
  for (const std::string& Command : ACommands) {
    if (FindLineBreak(Command) != std::string::npos)
      throw EqmTcpClientError(qmCommandLineBreak, qmCommandLineBreakCode);
    Group.reserve(Group.size() + Command.size() + 2);
    Group += Command;
    Group += "\r\n";
  }
  FReplyTail = false;
  FQueued.clear();
  FQueuedOpen = false;
  Connection()->InitProgress(0, 0);
  TransferOut([&] { Connection()->WriteString(Group, GetWriteCharSet()); });
  for (const std::string& Command : ACommands) DoSendCommand(Command + "\r\n");
  Operation.End();
}

void TqmTcpCommandClient::WaitNextResponse(const TOkCodes& AOkResponses) {
  TqmOperationScope Operation(*this);
  FResponse->Clear();
  FResponseBytes = 0;
  for (std::string& Line : FQueued) FResponse->Append(std::move(Line));
  bool Open = FQueuedOpen;
  FQueued.clear();
  FQueuedOpen = false;
  int Found = -1, Code = 0;
  {
    TqmDeadlineScope Deadline(*Connection(), TimeOut());
    for (int Scan = 0;;) {
      const int Complete = FResponse->Count() - (Open ? 1 : 0);
      for (; Scan < Complete && Found < 0; ++Scan) {
        const std::string& Line = FResponse->Get(Scan);
        CheckLineLength(Line, false);
        Code = GetResponseCode(Line);
        if (Code != 0) {
          Found = Scan;
        } else if (IsForeignLine(Line)) {
          throw EqmTcpClientError(Format(qmUnexpectedReply, Line.c_str()), qmUnexpectedReplyCode);
        }
      }
      if (Found >= 0) break;
      if (FMaxReplyLines > 0 && FResponse->Count() > FMaxReplyLines)
        RaiseLimit(qmReplyTooManyLines, FMaxReplyLines, qmReplyTooManyLinesCode);
      if (Open) CheckLineLength(FResponse->Get(FResponse->Count() - 1), false);
      Open = ReadResponseChunk(Open);
    }
  }
  // What follows the reply belongs to the next ones.
  for (int I = Found + 1; I < FResponse->Count(); ++I) FQueued.push_back(FResponse->Get(I));
  FQueuedOpen = Open && !FQueued.empty();
  while (FResponse->Count() > Found + 1) FResponse->Delete(FResponse->Count() - 1);
  FLastResponseCode = Code;
  if (!IsAccepted(AOkResponses, Code)) throw EqmTcpClientError(Trim(FResponse->Join("\r\n")), Code);
  DoReceiveResponse(FResponse.get());
  Operation.End();
}

void TqmTcpCommandClient::SendCommand(const std::string& ACommand, const TOkCodes& AOkResponses) {
  WriteCommand(ACommand);
  WaitResponse(AOkResponses);
}

void TqmTcpCommandClient::SendCommandSync(const std::string& ACommand, const TOkCodes& AOkResponses) {
  TqmOperationScope Operation(*this);
  SendCommand(ACommand, AOkResponses);
  Operation.End();
}

void TqmTcpCommandClient::SendSilentCommand(const std::string& ACommand, const TOkCodes& AOkResponses) {
  CheckActive();
  try {
    SendCommandSync(ACommand, AOkResponses);
  } catch (const EqmSocketError&) {
  } catch (const EqmSSPIError&) {
  }
}

void TqmTcpCommandClient::WaitResponse(const TOkCodes& AOkResponses) {
  TqmOperationScope Operation(*this);
  FResponse->Clear();
  FQueued.clear();
  FQueuedOpen = false;
  FResponseBytes = 0;
  {
    // The whole reply within TimeOut: bytes that trickle in do not
    // stretch it.
    TqmDeadlineScope Deadline(*Connection(), TimeOut());
    ReadUntilCode(0, AOkResponses);
  }
  DoReceiveResponse(FResponse.get());
  Operation.End();
}

template <typename F>
size_t TqmTcpCommandClient::SplitLines(std::string_view AText, F AOnPiece) {
  size_t I = 0;
  if (FPendingCR && !AText.empty()) {
    // The LF of a CR LF that the last block cut in two.
    if (AText.front() == '\n') I = 1;
    FPendingCR = false;
  }
  while (I < AText.size()) {
    size_t E = FindLineBreak(AText, I);
    const bool Break = E != std::string_view::npos;
    if (!Break) E = AText.size();
    const std::string_view Piece = AText.substr(I, E - I);
    if (Break) {
      if (AText[E] == '\r') {
        if (E + 1 == AText.size()) FPendingCR = true;
        else if (AText[E + 1] == '\n') ++E;
      }
      ++E;
    }
    I = E;
    if (!AOnPiece(Piece, Break)) break;
  }
  return I;
}

bool TqmTcpCommandClient::AddBlock(std::string_view AText, bool AAppend) {
  bool Open = AAppend;
  SplitLines(AText, [&](std::string_view APiece, bool AEnded) {
    if (Open && FResponse->Count() > 0) {
      const size_t Before = FResponse->Get(FResponse->Count() - 1).size();
      FResponse->AppendToLast(APiece);
      FResponseBytes += HeldBy(Before + APiece.size()) - HeldBy(Before);
    } else {
      FResponse->Append(std::string(APiece));
      FResponseBytes += HeldBy(APiece.size());
    }
    Open = !AEnded;
    return true;
  });
  return Open;
}

void TqmTcpCommandClient::QueueText(std::string_view AText) {
  SplitLines(AText, [&](std::string_view APiece, bool AEnded) {
    if (FQueuedOpen && !FQueued.empty())
      FQueued.back().append(APiece);
    else
      FQueued.emplace_back(APiece);
    FQueuedOpen = !AEnded;
    return true;
  });
}

template <typename F>
void TqmTcpCommandClient::ReadBlock(F AUse) {
  // One block buffer for the client's life, emptied but not freed per read.
  // A read started by a handler inside this one's wait gets its own.
  TMemoryStream Nested;
  TMemoryStream& Block = FBlockInUse ? Nested : FBlock;
  const bool Outer = !FBlockInUse;
  FBlockInUse = true;
  struct TRelease {
    bool& Flag;
    bool Outer;
    ~TRelease() {
      if (Outer) Flag = false;
    }
  } Release{FBlockInUse, Outer};
  Block.SetSize(0);
  Block.SetPosition(0);
  Transfer([&] { Connection()->ReadData(&Block); });
  AUse(reinterpret_cast<char*>(Block.Memory()), static_cast<size_t>(Block.Size()));
}

template <typename F>
void TqmTcpCommandClient::WithText(char* AData, size_t ASize, F AUse) {
  const std::string CharSet = GetReadCharSet();
  if (CharSet.empty()) {
    // No charset: the bytes are the text (what the translator would copy).
    std::replace(AData, AData + ASize, '\0', ' ');
    AUse(std::string_view(AData, ASize));
    return;
  }
  std::string Text =
      ASize > 0 ? TqmTranslator::GetString(AData, static_cast<int64_t>(ASize), CharSet) : std::string();
  std::replace(Text.begin(), Text.end(), '\0', ' ');
  AUse(std::string_view(Text));
}

bool TqmTcpCommandClient::ReadResponseChunk(bool AAppend) {
  bool Incomplete = false;
  ReadBlock([&](char* AData, size_t ASize) { Incomplete = AddBytes(AData, ASize, AAppend); });
  // Judged with the lines the block made: their cost is what is held.
  CheckResponseSize();
  return Incomplete;
}

void TqmTcpCommandClient::CheckResponseSize() {
  if (FMaxResponseSize > 0 && FResponseBytes > FMaxResponseSize)
    RaiseLimit(qmResponseTooLarge, FMaxResponseSize, qmResponseTooLargeCode);
}

bool TqmTcpCommandClient::AddBytes(char* AData, size_t ASize, bool AAppend) {
  bool Incomplete = AAppend;
  WithText(AData, ASize, [&](std::string_view AText) { Incomplete = AddBlock(AText, AAppend); });
  return Incomplete;
}

void TqmTcpCommandClient::RaiseReplyLeftAtLoss() {
  std::string Left = Connection()->TakeUnreadAtLoss();
  if (Left.empty()) return;
  FResponse->Clear();
  FPendingCR = false;
  const bool Incomplete = AddBytes(Left.data(), Left.size(), false);
  const int Complete = FResponse->Count() - (Incomplete ? 1 : 0);
  // The server's last reply says why it hung up; replies before it answered
  // commands of a pipelined group that went through ("250" for one chunk,
  // then "552" for the next). The end of multi-line data is no reply.
  int Start = 0, Last = -1, Code = 0, PreviousEnd = -1;
  for (int I = 0; I < Complete; ++I) {
    const int LineCode = GetResponseCode(FResponse->Get(I));
    if (LineCode == 0) continue;
    if (LineCode != 1 || Last < 0) {
      Start = PreviousEnd + 1;
      Last = I;
      Code = LineCode;
    }
    PreviousEnd = I;
  }
  if (Last < 0) {
    FResponse->Clear();
    return;
  }
  // What may follow the reply is not what the server had to say.
  while (FResponse->Count() > Last + 1) FResponse->Delete(FResponse->Count() - 1);
  for (int I = 0; I < Start; ++I) FResponse->Delete(0);
  FLastResponseCode = Code;
  DoReceiveResponse(FResponse.get());
  throw EqmTcpClientError(Trim(FResponse->Join("\r\n")), Code);
}


int TqmTcpCommandClient::FindResponseCode(int AStartIndex, int AEnd, const TOkCodes& AOkResponses, int& ALastCode,
                                          bool ADataMode) {
  for (int I = AStartIndex; I < AEnd; ++I) {
    const std::string& Line = FResponse->Get(I);
    CheckLineLength(Line, ADataMode);
    const int Code = GetResponseCode(Line);
    if (Code == 0) {
      if (!ADataMode && IsForeignLine(Line)) {
        FLastResponseCode = ALastCode;
        throw EqmTcpClientError(Format(qmUnexpectedReply, Line.c_str()), qmUnexpectedReplyCode);
      }
      continue;
    }
    ALastCode = Code;
    FLastResponseCode = Code;
    if (IsAccepted(AOkResponses, Code)) return I;
  }
  return -1;
}

int TqmTcpCommandClient::ReadUntilCode(int AStartIndex, const TOkCodes& AOkResponses) {
  TqmOperationScope Operation(*this);
  // Lines once judged are not judged again: a long multi-line reply costs
  // one pass over its lines, not one per block. Complete lines are judged
  // as they arrive, so that a line of another protocol or one past a
  // limit ends the wait before more is read; the reply still counts as
  // read only once a block ends with a line break.
  const bool DataMode = IsMultiLineWait(AOkResponses);
  int ScanFrom = AStartIndex;
  int LastCode = 0;
  std::optional<TqmLowSpeedScope> DataTail;
  for (;;) {
    int Found = -1;
    bool Incomplete = ReadResponseChunk(false);
    for (;;) {
      const int Complete = FResponse->Count() - (Incomplete ? 1 : 0);
      if (Found < 0 && ScanFrom < Complete) {
        Found = FindResponseCode(ScanFrom, Complete, AOkResponses, LastCode, DataMode);
        ScanFrom = Found >= 0 ? Found + 1 : Complete;
      }
      if (!DataMode && Found < 0 && FMaxReplyLines > 0 && FResponse->Count() - AStartIndex > FMaxReplyLines)
        RaiseLimit(qmReplyTooManyLines, FMaxReplyLines, qmReplyTooManyLinesCode);
      if (!Incomplete) break;
      // The open line: a status line until the accepted one was found,
      // data (the start of a multi-line reply) after it.
      CheckLineLength(FResponse->Get(FResponse->Count() - 1), DataMode || Found >= 0);
      if (Found >= 0 && !DataMode && !DataTail) {
        // The status reply is complete; what is still read with it is the
        // start of data, held to the data transfer's rules instead of the
        // reply's deadline.
        Connection()->SetDeadline(TqmClock::time_point::max());
        DataTail.emplace(*Connection(), FLowSpeedLimit, FLowSpeedTime);
      }
      Incomplete = ReadResponseChunk(true);
    }
    FLastResponseCode = LastCode;
    if (FResponse->Count() == AStartIndex && AOkResponses.empty()) return -1;
    if (Found >= 0) {
      FReplyTail = Found < FResponse->Count() - 1;
      return Found;
    }
    if (IsMultiLineWait(AOkResponses)) continue;
    if (FLastResponseCode == 0) continue;
    throw EqmTcpClientError(Trim(FResponse->Join("\r\n")), FLastResponseCode);
  }
}

void TqmTcpCommandClient::WaitMultipleLines(int64_t ATotalBytes) {
  TqmOperationScope Operation(*this);
  {
    TProgressRelay Relay(*this);
    TqmLowSpeedScope LowSpeed(*Connection(), FLowSpeedLimit, FLowSpeedTime);
    int64_t Proceeded = GetLinesSize(*FResponse);
    for (const std::string& Line : FQueued) Proceeded += static_cast<int64_t>(Line.size()) + 2;
    if (ATotalBytes > 0)
      Connection()->InitProgress(ATotalBytes, Proceeded);
    else
      Connection()->InitProgress(0, 0);
    // The data starts with what came after the status line: in Response()
    // after WaitResponse, queued after WaitNextResponse.
    if (FResponse->Count() > 0) FResponse->Delete(0);
    const bool Open = FQueuedOpen && !FQueued.empty();
    for (std::string& Line : FQueued) FResponse->Append(std::move(Line));
    FQueued.clear();
    FQueuedOpen = false;
    FReplyTail = false;
    std::string Partial;  // the line whose end has not come yet
    if (Open) {
      Partial = FResponse->Get(FResponse->Count() - 1);
      FResponse->Delete(FResponse->Count() - 1);
    }

    // Each line is judged when it is whole and un-stuffed in place: no
    // second pass, no copy per line, and the limit counts what the lines
    // hold. The lines read with the status line are judged where they are.
    FResponseBytes = 0;
    bool Ended = false;
    auto Judge = [&](const std::string& ALine) {
      CheckLineLength(ALine, true);
      const int Code = GetResponseCode(ALine);
      if (Code != 0) FLastResponseCode = Code;
      return Code == 1;
    };
    auto Stuffed = [](const std::string& ALine) { return ALine.size() >= 2 && ALine[0] == '.' && ALine[1] == '.'; };
    for (int I = 0; I < FResponse->Count(); ++I) {
      const std::string& Line = FResponse->Get(I);
      if (Judge(Line)) {
        // Read with the status line, beyond the end: the next reply's.
        for (int J = I + 1; J < FResponse->Count(); ++J) FQueued.push_back(FResponse->Get(J));
        if (Open) FQueued.push_back(std::move(Partial));
        FQueuedOpen = Open;
        Partial.clear();
        while (FResponse->Count() > I) FResponse->Delete(FResponse->Count() - 1);
        Ended = true;
        break;
      }
      if (Stuffed(Line)) FResponse->Put(I, Line.substr(1));
      FResponseBytes += HeldBy(FResponse->Get(I).size());
    }
    auto Whole = [&](std::string&& ALine) {
      if (Judge(ALine)) {
        Ended = true;
        return false;
      }
      if (Stuffed(ALine)) ALine.erase(0, 1);
      FResponseBytes += HeldBy(ALine.size());
      FResponse->Append(std::move(ALine));
      return true;
    };
    auto Piece = [&](std::string_view APiece, bool AEnded) {
      if (!AEnded) {
        Partial.append(APiece);
        return true;
      }
      if (Partial.empty()) return Whole(std::string(APiece));
      Partial.append(APiece);
      const bool More = Whole(std::move(Partial));
      Partial = std::string();
      return More;
    };
    while (!Ended) {
      CheckResponseSize();
      ReadBlock([&](char* AData, size_t ASize) {
        WithText(AData, ASize, [&](std::string_view AText) {
          const size_t Used = SplitLines(AText, Piece);
          if (Ended) QueueText(AText.substr(Used));
        });
      });
      CheckLineLength(Partial, true);
      if (FMaxResponseSize > 0 && FResponseBytes + static_cast<int64_t>(Partial.size()) > FMaxResponseSize)
        RaiseLimit(qmResponseTooLarge, FMaxResponseSize, qmResponseTooLargeCode);
    }
  }
  Operation.End();
  if (ATotalBytes > 0) DoProgress(ATotalBytes, ATotalBytes);
}

namespace {

// Undoes the dot-stuffing of multi-line data in place, in blocks cut
// anywhere, and finds the final "." line. Lines end at CR LF, CR or LF, as
// in Response(); their ends are kept as they came.
class TDotDecoder {
 public:
  // Decodes AData[0, ASize) in place: returns how many bytes of data are
  // now at its front. AUsed tells how many were taken: all of them, unless
  // the final line ended within.
  size_t Decode(char* AData, size_t ASize, size_t& AUsed);
  bool Ended() const { return FState == sEnded; }
  // The final line ended with a CR that was the last byte: its LF, if any,
  // is still to come.
  bool EndedOnCR() const { return FEndedOnCR; }
  // A LF that comes first belongs to the CR that ended the status line.
  void SkipLF() { FState = sSkipLF; }
  // The length of the line not yet ended.
  int64_t LineLength() const { return FLineLength; }
  // A dot held back at the end of the last block is data: it goes before
  // what the last Decode kept.
  bool TakeLeadingDot() { return std::exchange(FLeadingDot, false); }

 private:
  enum TState { sLineStart, sDot, sLine, sAfterCR, sSkipLF, sEnded };
  TState FState = sLineStart;
  int64_t FLineLength = 0;
  bool FEndedOnCR = false;
  bool FLeadingDot = false;
};

size_t TDotDecoder::Decode(char* AData, size_t ASize, size_t& AUsed) {
  // Out never passes In: the data only shrinks.
  size_t In = 0, Out = 0;
  while (In < ASize && FState != sEnded) {
    const char C = AData[In];
    switch (FState) {
      case sSkipLF:
      case sAfterCR:
        if (C == '\n') {
          if (FState == sAfterCR) AData[Out++] = C;
          ++In;
        }
        FState = sLineStart;
        break;
      case sLineStart:
        FLineLength = 0;
        if (C == '.') {
          // Held back until the next byte tells what the dot is.
          ++In;
          FState = sDot;
        } else {
          FState = sLine;
        }
        break;
      case sDot:
        if (C == '\r' || C == '\n') {
          ++In;
          if (C == '\r') {
            if (In < ASize && AData[In] == '\n') ++In;
            else if (In == ASize) FEndedOnCR = true;
          }
          FState = sEnded;
          break;
        }
        // ".." loses its first dot; a dot before anything else stays (one
        // held from the last block has no room here: it goes first).
        if (C != '.') {
          if (In == 0) FLeadingDot = true;
          else AData[Out++] = '.';
        }
        FLineLength = 1;
        FState = sLine;
        break;
      case sLine: {
        const size_t Break = FindLineBreak(std::string_view(AData, ASize), In);
        const size_t End = Break == std::string_view::npos ? ASize : Break;
        if (Out != In) std::memmove(AData + Out, AData + In, End - In);
        Out += End - In;
        FLineLength += static_cast<int64_t>(End - In);
        In = End;
        if (In < ASize) {
          FState = AData[In] == '\r' ? sAfterCR : sLineStart;
          AData[Out++] = AData[In++];
        }
        break;
      }
      case sEnded:
        break;
    }
  }
  AUsed = In;
  return Out;
}

}  // namespace

void TqmTcpCommandClient::SendCommandToStream(const std::string& ACommand, const TOkCodes& AOkResponses,
                                              TStream& ADestination, int64_t ATotalBytes) {
  TqmOperationScope Operation(*this);
  WriteCommand(ACommand);
  TqmTcpClientConnection& Conn = *Connection();
  FResponse->Clear();
  FQueued.clear();
  FQueuedOpen = false;
  FResponseBytes = 0;
  FLastResponseCode = 0;
  TProgressRelay Relay(*this);
  Conn.InitProgress(ATotalBytes > 0 ? ATotalBytes : 0, 0);
  // The status reply within TimeOut, as WaitResponse reads it; the data
  // then restarts TimeOut whenever bytes move, under the low-speed check.
  std::optional<TqmDeadlineScope> Deadline(std::in_place, Conn, TimeOut());
  TqmLowSpeedScope LowSpeed(Conn, FLowSpeedLimit, FLowSpeedTime);
  bool InData = false;
  TDotDecoder Data;
  TMemoryStream Block;
  bool Incomplete = false;  // the last status line has not ended yet
  int LastCode = 0;
  // Data cut off leaves the session out of step with the server.
  auto CutOff = [&] {
    try {
      Conn.Disconnect(false);
    } catch (const EqmSocketError&) {
    }
  };
  while (!Data.Ended()) {
    Block.SetSize(0);
    Block.SetPosition(0);
    Transfer([&] { Conn.ReadData(&Block); });
    FResponseBytes += Block.Size();
    CheckResponseSize();
    char* Bytes = reinterpret_cast<char*>(Block.Memory());
    const size_t Size = static_cast<size_t>(Block.Size());
    size_t At = 0;
    while (!InData && At < Size) {
      // One status line at a time: what follows the accepted one is data.
      size_t End = FindLineBreak(std::string_view(Bytes, Size), At);
      const bool Break = End != std::string_view::npos;
      if (Break && Bytes[End] == '\r' && End + 1 < Size && Bytes[End + 1] == '\n') ++End;
      End = Break ? End + 1 : Size;
      const int Lines = FResponse->Count();
      const bool Continued = Incomplete;
      Incomplete = AddBytes(Bytes + At, End - At, Incomplete);
      At = End;
      // Only the LF of a CR that ended the last reply.
      if (FResponse->Count() == Lines && !Continued) continue;
      const int Index = FResponse->Count() - 1;
      if (Incomplete) {
        CheckLineLength(FResponse->Get(Index), false);
        break;
      }
      if (FindResponseCode(Index, Index + 1, AOkResponses, LastCode, false) >= 0) {
        Deadline.reset();
        InData = true;
        if (FPendingCR) Data.SkipLF();
        FPendingCR = false;
        DoReceiveResponse(FResponse.get());
      } else if (LastCode != 0) {
        throw EqmTcpClientError(Trim(FResponse->Join("\r\n")), LastCode);
      } else if (FMaxReplyLines > 0 && FResponse->Count() > FMaxReplyLines) {
        RaiseLimit(qmReplyTooManyLines, FMaxReplyLines, qmReplyTooManyLinesCode);
      }
    }
    if (!InData || At == Size) continue;
    size_t Used = 0;
    const size_t Kept = Data.Decode(Bytes + At, Size - At, Used);
    if (FMaxDataLineLength > 0 && Data.LineLength() > FMaxDataLineLength)
      RaiseLimit(qmDataLineTooLong, FMaxDataLineLength, qmDataLineTooLongCode);
    try {
      if (Data.TakeLeadingDot()) ADestination.WriteBuffer(".", 1);
      ADestination.WriteBuffer(Bytes + At, static_cast<int64_t>(Kept));
    } catch (...) {
      CutOff();
      throw;
    }
    // Bytes after the final line are the next reply's (or answer nothing
    // that was asked): kept as WaitMultipleLines keeps them.
    FReplyTail = At + Used < Size;
    if (FReplyTail) WithText(Bytes + At + Used, Size - At - Used, [&](std::string_view AText) { QueueText(AText); });
  }
  FPendingCR = FPendingCR || Data.EndedOnCR();
  Operation.End();
  if (ATotalBytes > 0) DoProgress(ATotalBytes, ATotalBytes);
}

void TqmTcpCommandClient::SendBodyPieces(int64_t ATotalBytes, const TqmBodyPieceSource& ANext) {
  TqmTcpClientConnection& Conn = *Connection();
  TqmOperationScope Operation(*this);
  {
    TProgressRelay Relay(*this);
    TqmLowSpeedScope LowSpeed(Conn, FLowSpeedLimit, FLowSpeedTime);
    Conn.InitProgress(std::max<int64_t>(ATotalBytes, 0), 0);
    std::string Piece;
    TMemoryStream Buffer;
    TqmSendMoreScope More(Conn);
    for (bool Again = true; Again;) {
      Piece.clear();
      Again = ANext(Piece);
      if (!Again) More.Last();
      if (Piece.empty()) continue;
      Buffer.SetSize(static_cast<int64_t>(Piece.size()));
      std::memcpy(Buffer.Memory(), Piece.data(), Piece.size());
      Buffer.SetPosition(0);
      TransferOut([&] { Conn.WriteData(&Buffer); });
    }
    More.End();
  }
  Operation.End();
}

void TqmTcpCommandClient::SendMultipleLines(TStrings& ALines, const std::string& AEndLine) {
  const int Batch = BatchSize();
  if (Batch <= 0) RaiseSocketErrorMessage(qmInvalidBatchSize, qmInvalidBatchSizeCode);
  std::string Terminator = AEndLine;
  if (!Terminator.empty() && Terminator.back() != '\n') Terminator += "\r\n";
  const bool Stuffing = Terminator == ".\r\n";
  const std::string CharSet = GetWriteCharSet();
  TqmTcpClientConnection& Conn = *Connection();

  TqmOperationScope Operation(*this);
  TProgressRelay Relay(*this);
  TqmLowSpeedScope LowSpeed(Conn, FLowSpeedLimit, FLowSpeedTime);
  {
    const int64_t TextSize = GetLinesSize(ALines);
    Conn.InitProgress(TextSize + static_cast<int64_t>(Terminator.size()), 0);
    // The batch is assembled in place: the stream is sized once (to the
    // batch, or to the text with a stuffing dot per line when that is
    // less) and the lines are copied straight into its memory; Used bytes
    // of it are filled.
    TMemoryStream Buffer;
    int64_t Used = 0;
    Buffer.SetSize(std::min<int64_t>(Batch, TextSize + ALines.Count()));
    auto Put = [&](TMemoryStream& ATarget, int64_t& AUsed, const std::string& AText) {
      const bool Stuff = Stuffing && !AText.empty() && AText[0] == '.';
      std::string_view ALine = AText;
      TqmByteArray Converted;
      if (!CharSet.empty()) {
        Converted = TqmTranslator::GetBytes(AText, CharSet);
        ALine = std::string_view(reinterpret_cast<const char*>(Converted.data()), Converted.size());
      }
      const int64_t Need = AUsed + static_cast<int64_t>(ALine.size()) + 3;
      if (Need > ATarget.Size()) ATarget.SetSize(Need);
      uint8_t* Out = ATarget.Memory() + AUsed;
      if (Stuff) *Out++ = '.';
      if (!ALine.empty()) std::memcpy(Out, ALine.data(), ALine.size());
      Out += ALine.size();
      *Out++ = '\r';
      *Out++ = '\n';
      AUsed = Out - ATarget.Memory();
    };
    auto Send = [&](TMemoryStream& AData, int64_t AUsed) {
      const int64_t Room = AData.Size();
      AData.SetSize(AUsed);
      AData.SetPosition(0);
      TransferOut([&] { Conn.WriteData(&AData); });
      AData.SetSize(Room);
    };
    // A list that keeps its lines in a vector is read without a virtual
    // call per line. Lines are fetched again after each write: handlers
    // that run inside it may change the list.
    const std::vector<std::string>* Vector = ALines.LineVector();
    auto LineAt = [&](int AIndex) -> const std::string& {
      if (Vector && static_cast<size_t>(AIndex) < Vector->size()) return (*Vector)[static_cast<size_t>(AIndex)];
      return ALines.Get(AIndex);
    };
    // Every write but the last is followed at once by the next one.
    TqmSendMoreScope More(Conn);
    for (int I = 0; I < ALines.Count(); ++I) {
      const int64_t Length = static_cast<int64_t>(LineAt(I).size());
      if (Length + 3 > Batch) {
        // Too long for a buffer: written by itself.
        if (Used > 0) Send(Buffer, Used);
        Used = 0;
        TMemoryStream Single;
        int64_t SingleUsed = 0;
        Put(Single, SingleUsed, LineAt(I));
        if (I + 1 == ALines.Count() && Terminator.empty()) More.Last();
        Send(Single, SingleUsed);
        continue;
      }
      if (Used + Length + 3 > Batch) {
        Send(Buffer, Used);
        Used = 0;
      }
      Put(Buffer, Used, LineAt(I));
    }
    if (Terminator.empty()) More.Last();
    if (Used > 0) Send(Buffer, Used);
    More.Last();
    if (!Terminator.empty()) TransferOut([&] { Conn.WriteString(Terminator, CharSet); });
    More.End();
  }
  Operation.End();
}

}  // namespace qm
