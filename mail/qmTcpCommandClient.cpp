#include "mail/qmTcpCommandClient.h"

#include <algorithm>

#include "message/qmTranslator.h"
#include "message/qmUtils.h"
#include "net/qmTlsOpenSsl.h"

namespace qm {

const char* const qmCommandLineBreak = "The command contains a line break and was not sent";

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

}  // namespace

TqmTcpCommandClient::TqmTcpCommandClient(TComponent* AOwner)
    : TqmTcpClientTls(AOwner), FResponse(std::make_unique<TStringList>()) {}

TqmTcpCommandClient::~TqmTcpCommandClient() {
  // The overrides of InternalClose still apply here, not in the base.
  try {
    Close();
  } catch (...) {
  }
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

void TqmTcpCommandClient::OpenSession() {}
void TqmTcpCommandClient::CloseSession() {}

int TqmTcpCommandClient::GetResponseCode(const std::string& AResponse) {
  int Code = 0;
  DoGetResponseCode(AResponse, Code);
  return Code;
}

std::string TqmTcpCommandClient::GetWriteCharSet() { return FCharSet; }
std::string TqmTcpCommandClient::GetReadCharSet() { return FCharSet; }

void TqmTcpCommandClient::DoSendCommand(const std::string& AText) {
  if (OnSendCommand) OnSendCommand(this, AText);
}
void TqmTcpCommandClient::DoReceiveResponse(TStrings* AList) {
  if (OnReceiveResponse) OnReceiveResponse(this, AList);
}
void TqmTcpCommandClient::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}
void TqmTcpCommandClient::DoGetResponseCode(const std::string& AResponse, int& AResponseCode) {
  if (OnGetResponseCode) OnGetResponseCode(this, AResponse, AResponseCode);
}

void TqmTcpCommandClient::InternalOpen() {
  TqmTcpClientTls::InternalOpen();
  OpenSession();
}

void TqmTcpCommandClient::InternalClose(bool ANotifyPeer) {
  try {
    if (Active() && !InProgress()) CloseSession();
  } catch (...) {
    TqmTcpClientTls::InternalClose(ANotifyPeer);
    throw;
  }
  TqmTcpClientTls::InternalClose(ANotifyPeer);
}

bool TqmTcpCommandClient::HasDataBeforeTls() {
  return FReplyTail || FPendingCR || TqmTcpClientTls::HasDataBeforeTls();
}

void TqmTcpCommandClient::WriteCommand(const std::string& ACommand) {
  CheckActive();
  if (ACommand.find_first_of("\r\n") != std::string::npos)
    throw EqmTcpClientError(qmCommandLineBreak, qmCommandLineBreakCode);
  FReplyTail = false;
  const std::string Line = ACommand + "\r\n";
  Connection()->InitProgress(0, 0);
  Connection()->WriteString(Line, GetWriteCharSet());
  DoSendCommand(Line);
}

void TqmTcpCommandClient::SendCommand(const std::string& ACommand, const TOkCodes& AOkResponses) {
  WriteCommand(ACommand);
  WaitResponse(AOkResponses);
}

void TqmTcpCommandClient::SendCommandSync(const std::string& ACommand, const TOkCodes& AOkResponses) {
  SetInProgress(true);
  try {
    SendCommand(ACommand, AOkResponses);
  } catch (...) {
    SetInProgress(false);
    throw;
  }
  SetInProgress(false);
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
  FResponse->Clear();
  ReadUntilCode(0, AOkResponses);
  DoReceiveResponse(FResponse.get());
}

bool TqmTcpCommandClient::AddBlock(const std::string& AText, bool AAppend) {
  std::string_view Text = AText;
  if (FPendingCR && !Text.empty()) {
    // The LF of a CR LF that the last block cut in two.
    if (Text.front() == '\n') Text.remove_prefix(1);
    FPendingCR = false;
  }
  if (Text.empty()) return AAppend;
  bool First = true;
  size_t I = 0;
  while (I < Text.size()) {
    size_t E = Text.find_first_of("\r\n", I);
    const bool Break = E != std::string_view::npos;
    if (!Break) E = Text.size();
    const std::string_view Piece = Text.substr(I, E - I);
    if (First && AAppend && FResponse->Count() > 0) {
      const int Last = FResponse->Count() - 1;
      FResponse->Put(Last, FResponse->Get(Last) + std::string(Piece));
    } else {
      FResponse->Append(std::string(Piece));
    }
    First = false;
    if (!Break) return true;
    if (Text[E] == '\r') {
      if (E + 1 == Text.size()) FPendingCR = true;
      else if (Text[E + 1] == '\n') ++E;
    }
    I = E + 1;
  }
  return false;
}

bool TqmTcpCommandClient::ReadResponseChunk(bool AAppend) {
  TMemoryStream Block;
  Connection()->ReadData(&Block);
  std::string Text = Block.Size() > 0
                         ? TqmTranslator::GetString(Block.Memory(), Block.Size(), GetReadCharSet())
                         : std::string();
  std::replace(Text.begin(), Text.end(), '\0', ' ');
  return AddBlock(Text, AAppend);
}

int TqmTcpCommandClient::FindResponseCode(int AStartIndex, const TOkCodes& AOkResponses, int& ALastCode) {
  for (int I = AStartIndex; I < FResponse->Count(); ++I) {
    const int Code = GetResponseCode(FResponse->Get(I));
    if (Code == 0) continue;
    ALastCode = Code;
    FLastResponseCode = Code;
    if (IsAccepted(AOkResponses, Code)) return I;
  }
  return -1;
}

int TqmTcpCommandClient::ReadUntilCode(int AStartIndex, const TOkCodes& AOkResponses) {
  // Lines once judged are not judged again: a long multi-line reply costs
  // one pass over its lines, not one per block.
  int ScanFrom = AStartIndex;
  int LastCode = 0;
  for (;;) {
    bool Incomplete = ReadResponseChunk(false);
    while (Incomplete) Incomplete = ReadResponseChunk(true);
    FLastResponseCode = LastCode;
    if (FResponse->Count() == AStartIndex && AOkResponses.empty()) return -1;
    const int Found = FindResponseCode(ScanFrom, AOkResponses, LastCode);
    ScanFrom = FResponse->Count();
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
  {
    TProgressRelay Relay(*this);
    SetInProgress(true);
    try {
      if (ATotalBytes > 0)
        Connection()->InitProgress(ATotalBytes, GetLinesSize(*FResponse));
      else
        Connection()->InitProgress(0, 0);
      if (FResponse->Count() > 0) FResponse->Delete(0);
      if (FResponse->Count() == 0 || FResponse->Get(FResponse->Count() - 1) != ".")
        ReadUntilCode(0, {1});
      for (int I = 0; I < FResponse->Count(); ++I) {
        const std::string& Line = FResponse->Get(I);
        if (Line.size() >= 2 && Line[0] == '.' && Line[1] == '.') FResponse->Put(I, Line.substr(1));
      }
      if (FResponse->Count() > 0) FResponse->Delete(FResponse->Count() - 1);
    } catch (...) {
      SetInProgress(false);
      throw;
    }
    SetInProgress(false);
  }
  if (ATotalBytes > 0) DoProgress(ATotalBytes, ATotalBytes);
}

void TqmTcpCommandClient::SendMultipleLines(TStrings& ALines, const std::string& AEndLine) {
  const int Batch = BatchSize();
  if (Batch <= 0) RaiseSocketErrorMessage(qmInvalidBatchSize, qmInvalidBatchSizeCode);
  std::string Terminator = AEndLine;
  if (!Terminator.empty() && Terminator.back() != '\n') Terminator += "\r\n";
  const bool Stuffing = Terminator == ".\r\n";
  const std::string CharSet = GetWriteCharSet();
  TqmTcpClientConnection& Conn = *Connection();

  TProgressRelay Relay(*this);
  SetInProgress(true);
  try {
    Conn.InitProgress(GetLinesSize(ALines) + static_cast<int64_t>(Terminator.size()), 0);
    TMemoryStream Buffer;
    Buffer.Reserve(Batch);
    auto Put = [&](TMemoryStream& ATarget, const std::string& ALine) {
      if (Stuffing && !ALine.empty() && ALine[0] == '.') ATarget.Write(".", 1);
      if (CharSet.empty()) {
        if (!ALine.empty()) ATarget.Write(ALine.data(), static_cast<int64_t>(ALine.size()));
      } else {
        const TqmByteArray Bytes = TqmTranslator::GetBytes(ALine, CharSet);
        if (!Bytes.empty()) ATarget.Write(Bytes.data(), static_cast<int64_t>(Bytes.size()));
      }
      ATarget.Write("\r\n", 2);
    };
    auto Flush = [&] {
      if (Buffer.Size() == 0) return;
      Buffer.SetPosition(0);
      Conn.WriteData(&Buffer);
      Buffer.SetSize(0);
      Buffer.SetPosition(0);
    };
    for (int I = 0; I < ALines.Count(); ++I) {
      const std::string& Line = ALines.Get(I);
      const int64_t Length = static_cast<int64_t>(Line.size());
      if (Length + 3 > Batch) {
        // Too long for a buffer: written by itself.
        Flush();
        TMemoryStream Single;
        Put(Single, Line);
        Single.SetPosition(0);
        Conn.WriteData(&Single);
        continue;
      }
      if (Buffer.Size() + Length + 3 > Batch) Flush();
      Put(Buffer, Line);
    }
    Flush();
    if (!Terminator.empty()) Conn.WriteString(Terminator, CharSet);
  } catch (...) {
    SetInProgress(false);
    throw;
  }
  SetInProgress(false);
}

}  // namespace qm
