// The line-oriented command/response layer under the POP3 and SMTP
// clients: one command line at a time, replies read line by line until a
// line carries an accepted code, dot-terminated multi-line replies, and
// bodies of lines sent with dot-stuffing.
#pragma once

#include <cstdarg>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/qmStrings.h"
#include "core/qmSysUtils.h"
#include "net/qmTcpClientTls.h"

namespace qm {

using TqmTcpTextEvent = std::function<void(TObject* Sender, const std::string& AText)>;
using TqmTcpListEvent = std::function<void(TObject* Sender, TStrings* AList)>;
using TqmTcpResponseCodeEvent =
    std::function<void(TObject* Sender, const std::string& AResponse, int& AResponseCode)>;

// A command text holding CR or LF would put a second command on the wire.
constexpr int qmCommandLineBreakCode = -150;
extern const char* const qmCommandLineBreak;

// The index of the first CR or LF of AText from AFrom on, or npos. Two
// memchr scans: find_first_of("\r\n") looks every byte up in the set.
inline size_t FindLineBreak(std::string_view AText, size_t AFrom = 0) {
  if (AFrom >= AText.size()) return std::string_view::npos;
  const char* Start = AText.data() + AFrom;
  const size_t Length = AText.size() - AFrom;
  const void* Lf = std::memchr(Start, '\n', Length);
  const size_t Limit = Lf ? static_cast<size_t>(static_cast<const char*>(Lf) - Start) : Length;
  if (const void* Cr = std::memchr(Start, '\r', Limit)) return AFrom + (static_cast<const char*>(Cr) - Start);
  return Lf ? AFrom + Limit : std::string_view::npos;
}

class TqmTcpCommandClient : public TqmTcpClientTls {
 public:
  // Accepted reply codes: read up to the end or the first 0; {1} waits for
  // the end of a multi-line reply; {} accepts nothing.
  using TOkCodes = std::vector<int>;

  explicit TqmTcpCommandClient(TComponent* AOwner = nullptr);
  ~TqmTcpCommandClient() override;

  // ---- overridable operations (after those of TqmTcpClientTls) ----
  virtual void OpenSession();
  virtual void CloseSession();
  virtual int GetResponseCode(const std::string& AResponse);
  virtual void SendCommand(const std::string& ACommand, const TOkCodes& AOkResponses);
  virtual void SetAuthorization(const std::string& AValue);
  virtual std::string GetWriteCharSet();
  virtual std::string GetReadCharSet();
  virtual void WaitMultipleLines(int64_t ATotalBytes);
  virtual void WaitResponse(const TOkCodes& AOkResponses);
  // Event dispatchers.
  virtual void DoSendCommand(const std::string& AText);
  virtual void DoReceiveResponse(TStrings* AList);
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  virtual void DoGetResponseCode(const std::string& AResponse, int& AResponseCode);

  // Writes the text and CR LF; raises when not connected or when the text
  // holds a line break.
  void WriteCommand(const std::string& ACommand);
  void SendCommandSync(const std::string& ACommand, const TOkCodes& AOkResponses);
  // printf-like: the text is formatted with the arguments first.
  template <typename TFirst, typename... TRest>
  void SendCommandSync(const char* AFormat, const TOkCodes& AOkResponses, TFirst AFirst, TRest... ARest) {
    SendCommandSync(Format(AFormat, AFirst, ARest...), AOkResponses);
  }
  // As SendCommandSync, but a failure of the exchange is swallowed.
  void SendSilentCommand(const std::string& ACommand, const TOkCodes& AOkResponses);
  // Sends the lines (dot-stuffed when AEndLine is ".") in batches, then
  // AEndLine with CR LF in a write of its own. Reads no reply.
  void SendMultipleLines(TStrings& ALines, const std::string& AEndLine);
  // Reads until a line from AStartIndex on carries an accepted code;
  // returns its index (-1: nothing read and nothing accepted).
  int ReadUntilCode(int AStartIndex, const TOkCodes& AOkResponses);

  TStrings& Response() { return *FResponse; }
  int LastResponseCode() const { return FLastResponseCode; }

  // ---- properties ----
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& AValue);
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue);
  const std::string& Authorization() const { return FAuthorization; }
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);

  TqmTcpTextEvent OnSendCommand;
  TqmTcpListEvent OnReceiveResponse;
  TqmProgressEvent OnProgress;
  TqmTcpResponseCodeEvent OnGetResponseCode;

 protected:
  void InternalOpen() override;
  void InternalClose(bool ANotifyPeer) override;
  bool HasDataBeforeTls() override;

 private:
  // Reads one block into Response; true when it did not end a line.
  bool ReadResponseChunk(bool AAppend);
  bool AddBlock(std::string_view AText, bool AAppend);
  int FindResponseCode(int AStartIndex, const TOkCodes& AOkResponses, int& ALastCode);
  // Routes the connection's progress to OnProgress while alive.
  class TProgressRelay;

  std::unique_ptr<TStringList> FResponse;
  TMemoryStream FBlock;  // the bytes of the last read
  bool FBlockInUse = false;
  int FLastResponseCode = 0;
  bool FPendingCR = false;    // the last block ended with a CR
  bool FReplyTail = false;    // lines followed the accepted reply line
  std::string FUserName, FPassword, FAuthorization, FCharSet;
};

}  // namespace qm
