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

/// An event with a text (OnSendCommand: the command line as sent).
using TqmTcpTextEvent = std::function<void(TObject* Sender, const std::string& AText)>;
/// An event with lines (OnReceiveResponse: the reply as read).
using TqmTcpListEvent = std::function<void(TObject* Sender, TStrings* AList)>;
/// OnGetResponseCode: may set AResponseCode for the line AResponse before
/// the protocol's own rule is applied (0: not set).
using TqmTcpResponseCodeEvent =
    std::function<void(TObject* Sender, const std::string& AResponse, int& AResponseCode)>;

/// ErrorCode of the EqmTcpClientError raised for a command text holding CR
/// or LF, which would put a second command on the wire.
constexpr int qmCommandLineBreakCode = -150;
extern const char* const qmCommandLineBreak;  ///< Message of that error.

/// What a server can make the client hold is bounded. Each limit ends the
/// operation with EqmTcpClientError naming it; the reply is then cut off,
/// so the connection is closed (without a closing command).
constexpr int qmReplyLineTooLongCode = -160;   ///< A status reply line over MaxReplyLineLength
constexpr int qmDataLineTooLongCode = -161;    ///< A data line over MaxDataLineLength
constexpr int qmReplyTooManyLinesCode = -162;  ///< A status reply of more than MaxReplyLines lines
constexpr int qmResponseTooLargeCode = -163;   ///< A response of more than MaxResponseSize bytes
extern const char* const qmReplyLineTooLong;   ///< Message of qmReplyLineTooLongCode (with the limit).
extern const char* const qmDataLineTooLong;    ///< Message of qmDataLineTooLongCode (with the limit).
extern const char* const qmReplyTooManyLines;  ///< Message of qmReplyTooManyLinesCode (with the limit).
extern const char* const qmResponseTooLarge;   ///< Message of qmResponseTooLargeCode (with the limit).
/// A line that carries no reply code where a status reply was awaited (a
/// server of another protocol): the wait ends at once, the connection stays
/// open as after any refused reply.
constexpr int qmUnexpectedReplyCode = -164;
extern const char* const qmUnexpectedReply;  ///< "Unexpected reply from the server: %s"

/// Defaults of the limits: far above what real servers send (RFC 5321
/// allows 512-byte reply lines; an EHLO reply has a few dozen lines), and
/// data lines long enough for a whole body base64-encoded on one line.
constexpr int qmDefaultMaxReplyLineLength = 64 * 1024;            ///< Bytes.
constexpr int64_t qmDefaultMaxDataLineLength = 64 * 1024 * 1024;  ///< Bytes.
constexpr int qmDefaultMaxReplyLines = 1000;                       ///< Lines.
constexpr int64_t qmDefaultMaxResponseSize = int64_t{1} << 30;     ///< Bytes (1 GiB).
/// What a line of Response() costs in memory besides its text's own
/// allocation: its string object, twice (the list's spare room, and the
/// old array while the list grows). MaxResponseSize counts it for every
/// line, with the heap block of a text too long to live in the object.
constexpr int64_t qmResponseLineCost = 2 * static_cast<int64_t>(sizeof(std::string));
/// The low-speed limit of data transfers (a multi-line reply, a body sent):
/// fewer than 100 bytes/s over a minute means the peer is stalling.
constexpr int qmDefaultLowSpeedLimit = 100;   ///< Bytes per second.
constexpr int qmDefaultLowSpeedTime = 60000;  ///< Milliseconds.

/// Makes lines ended by CR LF of bytes that arrive in blocks (a message
/// file as it is read): every CR, LF or CR LF ends a line, also when a
/// block ends between CR and LF, and with AStuffDots a line that begins
/// with a dot gets a second one (RFC 5321, 4.5.2). Memory is that of the
/// output the caller keeps.
class TqmLineNormalizer {
 public:
  /// AStuffDots: dot-stuffing for a body ended by a lone dot.
  explicit TqmLineNormalizer(bool AStuffDots) : FStuffDots(AStuffDots) {}
  /// Appends the lines of AData to AOut.
  void Add(std::string_view AData, std::string& AOut);
  /// Appends CR LF when the last line has no end yet.
  void Finish(std::string& AOut);

 private:
  bool FStuffDots;
  bool FLineStart = true;
  bool FPendingCR = false;  // the last block ended with a CR
};

/// The source of a body sent in pieces: fills APiece (handed over empty)
/// and returns whether another piece follows.
using TqmBodyPieceSource = std::function<bool(std::string& APiece)>;

/// A client of a line-oriented protocol: one command line at a time,
/// replies read line by line into Response() until a line carries an
/// accepted code, dot-terminated multi-line replies, and bodies sent with
/// dot-stuffing. TqmPop3 and TqmSmtp are built on it; it can drive other
/// commands of those protocols directly (SendCommandSync, then
/// WaitMultipleLines for a multi-line answer).
///
/// A reply whose code is not accepted raises EqmTcpClientError with that
/// code as ErrorCode and the reply's text as message. A time-out closes the
/// connection and raises EqmSocketError. Texts are UTF-8 in the program;
/// CharSet names the encoding on the wire.
class TqmTcpCommandClient : public TqmTcpClientTls {
 public:
  /// Accepted reply codes: read up to the end or the first 0; {1} waits for
  /// the end of a multi-line reply; {} accepts nothing.
  using TOkCodes = std::vector<int>;

  /// A closed client.
  explicit TqmTcpCommandClient(TComponent* AOwner = nullptr);
  /// Closes the connection if it is open.
  ~TqmTcpCommandClient() override;

  // ---- overridable operations (after those of TqmTcpClientTls) ----
  /// The protocol's opening after the connection is made (greeting, TLS,
  /// login); nothing here. Called by Open().
  virtual void OpenSession();
  /// The protocol's closing command; nothing here. Called by Close().
  virtual void CloseSession();
  /// The code of a reply line: what OnGetResponseCode sets, else 0 here.
  virtual int GetResponseCode(const std::string& AResponse);
  /// Writes the command and waits for a reply with one of AOkResponses.
  virtual void SendCommand(const std::string& ACommand, const TOkCodes& AOkResponses);
  /// Sets Authorization (the OAuth 2 value, "Bearer <token>").
  virtual void SetAuthorization(const std::string& AValue);
  /// The character set commands are written in: CharSet.
  virtual std::string GetWriteCharSet();
  /// The character set replies are read in: CharSet.
  virtual std::string GetReadCharSet();
  /// Reads a dot-terminated multi-line reply into Response() (the status
  /// line and the final "." removed, dot-stuffing undone): the data lines
  /// are those between the status line and the "." line, however the
  /// bytes came in blocks. Lines that arrived after the "." (the next
  /// reply of a pipelined group) are kept for WaitNextResponse, as after
  /// any reply of a group; WaitResponse, which waits for the reply to a
  /// command just written, drops them. ATotalBytes, when above 0, is the
  /// expected size for OnProgress. The low-speed limit applies.
  virtual void WaitMultipleLines(int64_t ATotalBytes);
  /// Clears Response() and reads a reply whose code is one of
  /// AOkResponses, within TimeOut; raises for another code.
  virtual void WaitResponse(const TOkCodes& AOkResponses);
  /// Event dispatchers: raise the event when it is assigned (not while the
  /// client is being destroyed).
  ///@{
  virtual void DoSendCommand(const std::string& AText);
  virtual void DoReceiveResponse(TStrings* AList);
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  virtual void DoGetResponseCode(const std::string& AResponse, int& AResponseCode);
  ///@}
  /// Whether a complete line with code 0 cannot belong to a status reply of
  /// this protocol (so the peer speaks another one). Base: false, every
  /// line may be a continuation.
  virtual bool IsForeignLine(const std::string& ALine);

  /// Writes the text and CR LF; raises when not connected or when the text
  /// holds a line break.
  void WriteCommand(const std::string& ACommand);
  /// SendCommand as one operation (TqmOperationScope): the keep-alive
  /// writes nothing in the middle of it, and a Cancel that came during it
  /// raises ECONNABORTED even when the reply was complete.
  void SendCommandSync(const std::string& ACommand, const TOkCodes& AOkResponses);
  /// printf-like: the text is formatted with the arguments first.
  template <typename TFirst, typename... TRest>
  void SendCommandSync(const char* AFormat, const TOkCodes& AOkResponses, TFirst AFirst, TRest... ARest) {
    SendCommandSync(Format(AFormat, AFirst, ARest...), AOkResponses);
  }
  /// As SendCommandSync, but a failure of the exchange is swallowed.
  void SendSilentCommand(const std::string& ACommand, const TOkCodes& AOkResponses);
  /// Sends the lines (dot-stuffed when AEndLine is ".") in batches, then
  /// AEndLine with CR LF in a write of its own. Reads no reply.
  void SendMultipleLines(TStrings& ALines, const std::string& AEndLine);
  /// Sends ACommand, reads a status reply with one of AOkResponses into
  /// Response() (as SendCommandSync does), then the dot-terminated data
  /// after it into ADestination, written block by block as it arrives, so
  /// that memory stays small whatever its size. The data is the bytes as
  /// the server sent them, line ends included and CharSet not applied,
  /// with dot-stuffing undone and without the final "." line. ATotalBytes,
  /// when above 0, is the expected size for OnProgress. The limits apply
  /// as to WaitMultipleLines: MaxDataLineLength to each line,
  /// MaxResponseSize to all bytes read. A failure in the data (a limit, a
  /// time-out, an exception of ADestination) closes the connection, as the
  /// rest of the reply was not read; what was written stays written.
  void SendCommandToStream(const std::string& ACommand, const TOkCodes& AOkResponses, TStream& ADestination,
                           int64_t ATotalBytes = 0);
  /// Writes the command lines in one write (a pipelined group, RFC 2920),
  /// each checked as WriteCommand checks one (nothing is written when one
  /// holds a line break) and announced by OnSendCommand. Their replies are
  /// then read with WaitNextResponse, one call per command, in order.
  void WriteCommands(const std::vector<std::string>& ACommands);
  /// Reads the next reply of a pipelined group into Response(), within
  /// TimeOut: the lines that arrived after the reply read last this way
  /// (or after the data of WaitMultipleLines or SendCommandToStream) come
  /// first, and the first line with a code ends the reply, accepted
  /// or not, so that replies that arrived together stay apart. Lines after
  /// it are kept for the next call. A code not in AOkResponses raises
  /// EqmTcpClientError as WaitResponse does; the replies after it can
  /// still be read.
  void WaitNextResponse(const TOkCodes& AOkResponses);
  /// Sends the pieces ANext gives, as they are, each in a write of its
  /// own, with the rules of SendMultipleLines (OnProgress against
  /// ATotalBytes, the low-speed limit, a reply before a reset reported).
  /// For bodies made on the way, e.g. read from a file in blocks. Reads no
  /// reply.
  void SendBodyPieces(int64_t ATotalBytes, const TqmBodyPieceSource& ANext);
  /// Reads until a line from AStartIndex on carries an accepted code;
  /// returns its index (-1: nothing read and nothing accepted).
  int ReadUntilCode(int AStartIndex, const TOkCodes& AOkResponses);

  /// The lines of the last reply (or multi-line data), without line ends.
  TStrings& Response() { return *FResponse; }
  /// The code of the last reply line judged (see GetResponseCode).
  int LastResponseCode() const { return FLastResponseCode; }

  // ---- properties ----
  /// The login name (empty by default: SMTP then skips the login).
  ///@{
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& AValue);
  ///@}
  /// The password.
  ///@{
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue);
  ///@}
  /// The OAuth 2 value for XOAUTH2 login: the whole "Bearer <token>".
  const std::string& Authorization() const { return FAuthorization; }
  /// The character set of commands and replies on the wire (empty,
  /// default: bytes pass unchanged).
  ///@{
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);
  ///@}

  /// Limits on what a server can make the client hold; 0 or less: none.
  /// A reply line, in bytes (default qmDefaultMaxReplyLineLength).
  ///@{
  int MaxReplyLineLength() const { return FMaxReplyLineLength; }
  void SetMaxReplyLineLength(int AValue);
  ///@}
  /// A line of multi-line data, in bytes (default
  /// qmDefaultMaxDataLineLength).
  ///@{
  int64_t MaxDataLineLength() const { return FMaxDataLineLength; }
  void SetMaxDataLineLength(int64_t AValue);
  ///@}
  /// The lines of one status reply (default qmDefaultMaxReplyLines).
  ///@{
  int MaxReplyLines() const { return FMaxReplyLines; }
  void SetMaxReplyLines(int AValue);
  ///@}
  /// One response, multi-line data included, in bytes (default
  /// qmDefaultMaxResponseSize). A reply read into Response() counts what
  /// its lines take in memory (the text's heap block and
  /// qmResponseLineCost per line), so that a reply cut off at this limit
  /// has held no more than this many bytes and one read block; the data
  /// of SendCommandToStream counts the bytes read.
  ///@{
  int64_t MaxResponseSize() const { return FMaxResponseSize; }
  void SetMaxResponseSize(int64_t AValue);
  ///@}
  /// A status reply (greeting, reply to a command, continuation lines
  /// included) must arrive whole within TimeOut. A data transfer restarts
  /// its TimeOut clock whenever bytes move, and ends with qmTransferTooSlow
  /// when a window of LowSpeedTime ms moves fewer than LowSpeedLimit bytes
  /// per second (0 in either: no low-speed check). TimeOut is in
  /// milliseconds (see TqmTcpClient).
  /// LowSpeedLimit in bytes per second (default 100).
  ///@{
  int LowSpeedLimit() const { return FLowSpeedLimit; }
  void SetLowSpeedLimit(int AValue);
  ///@}
  /// LowSpeedTime in milliseconds (default 60000).
  ///@{
  int LowSpeedTime() const { return FLowSpeedTime; }
  void SetLowSpeedTime(int AValue);
  ///@}

  /// After each command line is written (secrets included: mask them
  /// before logging).
  TqmTcpTextEvent OnSendCommand;
  /// After each reply is read.
  TqmTcpListEvent OnReceiveResponse;
  /// During multi-line transfers (bytes so far, expected total or 0).
  TqmProgressEvent OnProgress;
  /// Asked first for the code of every reply line.
  TqmTcpResponseCodeEvent OnGetResponseCode;

 protected:
  /// Connects, then runs OpenSession().
  void InternalOpen() override;
  /// Runs CloseSession() when the connection is active and idle, then
  /// closes it.
  void InternalClose(bool ANotifyPeer) override;
  /// Whether reply bytes arrived beyond the reply before a TLS start (an
  /// injection attempt: the start is refused).
  bool HasDataBeforeTls() override;

 private:
  // Reads one block into Response; true when it did not end a line.
  bool ReadResponseChunk(bool AAppend);
  bool AddBlock(std::string_view AText, bool AAppend);
  // Reads one block and hands its bytes to AUse(char*, size_t).
  template <typename F>
  void ReadBlock(F AUse);
  // Hands AUse the text of raw reply bytes: CharSet applied, NUL as a space.
  template <typename F>
  void WithText(char* AData, size_t ASize, F AUse);
  // Cuts AText into lines (CR, LF or CR LF; a CR LF split between blocks
  // is one break): AOnPiece(piece, ended) for each, until it returns
  // false. Returns the position after the last piece handed over.
  template <typename F>
  size_t SplitLines(std::string_view AText, F AOnPiece);
  // Keeps the lines of AText for the next WaitNextResponse.
  void QueueText(std::string_view AText);
  // Judges lines [AStartIndex, AEnd): the index of the first with an
  // accepted code, or -1. Lines are checked against the limits on the way.
  int FindResponseCode(int AStartIndex, int AEnd, const TOkCodes& AOkResponses, int& ALastCode, bool ADataMode);
  // Closes the connection (the reply is cut off) and raises the limit's error.
  [[noreturn]] void RaiseLimit(const char* AText, int64_t ALimit, int ACode);
  void CheckLineLength(const std::string& ALine, bool ADataLine);
  // Raises the MaxResponseSize error when what was read is over it.
  void CheckResponseSize();
  // A Cancel or Abort is pending or ended the last read or write: the
  // connection is closed and ECONNABORTED raised.
  void CheckAborted();
  // Runs one read or write of the connection: a time-out closes the
  // connection before it passes on; a Cancel raises ECONNABORTED.
  template <typename F>
  void Transfer(F AStep);
  // A write by Transfer; when it finds the connection lost, a complete
  // reply the server sent before is raised (EqmTcpClientError with its
  // code) instead of the write's error.
  template <typename F>
  void TransferOut(F AStep);
  void RaiseReplyLeftAtLoss();
  // Adds raw reply bytes (converted from the read charset) as ReadResponseChunk does.
  bool AddBytes(char* AData, size_t ASize, bool AAppend);
  // Routes the connection's progress to OnProgress while alive.
  class TProgressRelay;

  std::unique_ptr<TStringList> FResponse;
  TMemoryStream FBlock;  // the bytes of the last read
  bool FBlockInUse = false;
  int FLastResponseCode = 0;
  bool FPendingCR = false;    // the last block ended with a CR
  bool FReplyTail = false;    // lines followed the accepted reply line
  // Lines read after the last reply of a pipelined group, for the next
  // WaitNextResponse; FQueuedOpen: the last one has no line end yet.
  std::vector<std::string> FQueued;
  bool FQueuedOpen = false;
  int64_t FResponseBytes = 0; // memory Response holds (or bytes streamed) since it was cleared
  int FMaxReplyLineLength = qmDefaultMaxReplyLineLength;
  int64_t FMaxDataLineLength = qmDefaultMaxDataLineLength;
  int FMaxReplyLines = qmDefaultMaxReplyLines;
  int64_t FMaxResponseSize = qmDefaultMaxResponseSize;
  int FLowSpeedLimit = qmDefaultLowSpeedLimit;
  int FLowSpeedTime = qmDefaultLowSpeedTime;
  std::string FUserName, FPassword, FAuthorization, FCharSet;
};

}  // namespace qm
