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
  if (FindLineBreak(ACommand) != std::string::npos)
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

bool TqmTcpCommandClient::AddBlock(std::string_view AText, bool AAppend) {
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
    size_t E = FindLineBreak(Text, I);
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
  Connection()->ReadData(&Block);
  const std::string CharSet = GetReadCharSet();
  if (CharSet.empty()) {
    // No charset: the bytes are the text (what the translator would copy).
    char* Text = reinterpret_cast<char*>(Block.Memory());
    const size_t Size = static_cast<size_t>(Block.Size());
    std::replace(Text, Text + Size, '\0', ' ');
    return AddBlock(std::string_view(Text, Size), AAppend);
  }
  std::string Text =
      Block.Size() > 0 ? TqmTranslator::GetString(Block.Memory(), Block.Size(), CharSet) : std::string();
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
      Conn.WriteData(&AData);
      AData.SetSize(Room);
    };
    // A string list is read without a virtual call per line. Lines are
    // fetched again after each write: handlers that run inside it may
    // change the list.
    const auto* List = dynamic_cast<const TStringList*>(&ALines);
    auto LineAt = [&](int AIndex) -> const std::string& {
      if (List && static_cast<size_t>(AIndex) < List->Lines().size())
        return List->Lines()[static_cast<size_t>(AIndex)];
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
    if (!Terminator.empty()) Conn.WriteString(Terminator, CharSet);
    More.End();
  } catch (...) {
    SetInProgress(false);
    throw;
  }
  SetInProgress(false);
}

}  // namespace qm
