// The synchronous socket layer: a connection owns the socket, the time-out
// clock and the one waiting loop; a network stream performs the socket calls
// and may transform the bytes (plain here; TLS and SOCKS streams derive from
// it). Sockets are non-blocking; every wait goes through WaitForEvent, which
// keeps the thread's message queue (timers, GUI pump) running.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmMessageQueue.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "core/qmTypes.h"
#include "crypto/qmOpenSsl.h"
#include "net/qmIPAddress.h"
#include "net/qmSocketError.h"

namespace qm {

class TqmNetworkStream;
class TqmTlsNetworkStream;

// Network events of a socket, derived from poll results, recv returning 0
// and SO_ERROR. Like event selection, each is reported once and re-enabled
// by the call that consumes it (recv for neRead, a send that would block
// for neWrite).
enum TqmNetworkEvent : int {
  neRead = 0x01,
  neWrite = 0x02,
  neOob = 0x04,
  neAccept = 0x08,
  neConnect = 0x10,
  neClose = 0x20,
};

// What one wait reported, with the error code of each event (0 = none).
struct TqmNetworkEvents {
  int Events = 0;
  int ReadError = 0;
  int WriteError = 0;
  int AcceptError = 0;
  int ConnectError = 0;
  int CloseError = 0;
  bool Has(int AEvent) const { return (Events & AEvent) != 0; }
};

using TqmClock = std::chrono::steady_clock;

// The one wait of the transport. Waits for AEvent's fd, the abort fd (-1 =
// none) and, with AGuiProcessing, the thread's message queue. Returns true
// when AEvent was signalled (its revents are filled), false when the abort
// fd was (it is reset) or after queued messages were dispatched. A wait
// without any event for ATimeOutMs, or messages keeping it busy until more
// than ATimeOutMs passed since AStartTick, raise "Timeout error occured".
// ATimeOutMs -1 waits without limit. AWakeBy, when not max(), ends a wait
// that reaches it with false instead (the caller checks its own limits).
bool WaitForEvent(pollfd& AEvent, int AAbortFd, TqmClock::time_point AStartTick,
                  bool AGuiProcessing, int ATimeOutMs,
                  TqmClock::time_point AWakeBy = TqmClock::time_point::max());

// The pause after a socket call of ARequested bytes at ABitsPerSec, in ms
// (0 without throttling).
int ThrottlePauseMs(int64_t ARequested, int ABitsPerSec);
// Waits APauseMs; with AGuiProcessing the queue is dispatched meanwhile.
void ThrottlePause(int APauseMs, bool AGuiProcessing);

// One socket handle with its address family, and the event selection state.
class TqmSocket : public TObject {
 public:
  ~TqmSocket() override;

  int Handle() const { return FHandle; }
  int AddressFamily() const { return FAddressFamily; }
  int SocketType() const { return FSocketType; }
  bool IsValid() const { return FHandle >= 0; }
  void SetHandle(int AHandle, int AFamily, int AType = 0);
  // Shuts the socket down in both directions and closes it. The handle is
  // forgotten also when closing fails.
  void Close();

  // Event selection: which of TqmNetworkEvent to report. Puts the socket in
  // non-blocking mode and enables every selected event.
  void SelectEvents(int AMask);
  int SelectedEvents() const { return FSelected; }
  // Re-enables an event after the call that consumes it.
  void Reenable(int AEvent) { FEnabled |= AEvent; }
  // Stops watching for an event until it is re-enabled.
  void Disable(int AEvent) { FEnabled &= ~AEvent; }
  // The poll events that the enabled events need.
  short PollEvents() const;
  // Turns the revents of a wait into network events (and disables them).
  TqmNetworkEvents EnumEvents(short ARevents);
  // A wait has reported the peer's end of the stream (POLLRDHUP or
  // POLLHUP); reads then go on until recv says so itself.
  bool HungUp() const { return FHungUp; }

 private:
  int FHandle = -1;
  int FAddressFamily = 0;
  int FSocketType = 0;
  int FSelected = 0;
  int FEnabled = 0;
  bool FHungUp = false;
  // O_NONBLOCK is known to be set on this handle (no fcntl needed).
  bool FNonBlocking = false;
};

class TqmConnection : public TObject {
 public:
  TqmConnection();
  ~TqmConnection() override;

  // ---- overridable operations (slot order) ----
  virtual bool NeedClose();
  virtual void ReleaseResources();
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  virtual void DoReady();
  virtual void SetActive(bool AValue);
  virtual void Disconnect(bool ANotifyPeer);
  virtual void CloseStream(bool ANotifyPeer);
  virtual bool ReadData(TStream* ADestination) = 0;
  virtual bool WriteData(TStream* ASource) = 0;
  virtual void DispatchNextAction();
  // Ends the running operation: its waits return at once and its loops end
  // at their next check. Safe to call from any thread while the connection
  // lives (it only sets a flag and signals an eventfd). It holds until
  // ResetAbort: a new socket does not forget it.
  virtual void Abort();
  // The descriptor that becomes readable on Abort, for waits that watch it
  // (-1: this connection has none).
  virtual int AbortHandle() const { return -1; }

  // ---- socket ----
  void CreateSocket(int AFamily, int AType, int AProtocol);
  void CloseSocket();
  TqmSocket& Socket() { return *FSocket; }

  // ---- stream ----
  // Installs AStream (nullptr frees the current one). The new stream takes
  // over the old one's addresses and HasReadData.
  void SetNetworkStream(std::unique_ptr<TqmNetworkStream> AStream);
  // Raises "NetworkStream is required" when there is none.
  TqmNetworkStream& NetworkStream();
  bool HasNetworkStream() const { return FNetworkStream != nullptr; }

  // ---- progress ----
  void InitProgress(int64_t ATotalBytes, int64_t ABytesProceed);
  void UpdateProgress(int64_t ACount);
  int64_t BytesProceed() const { return FBytesProceed; }
  int64_t TotalBytes() const { return FTotalBytes; }
  // Bytes moved through the socket in either direction since creation;
  // never reset (the low-speed check counts with it).
  int64_t BytesMoved() const { return FBytesMoved; }
  void AddBytesMoved(int64_t ACount) { FBytesMoved += ACount; }
  // The error that ended the connection after the bytes received before it
  // were handed out (a reset right after a reply); reads and writes on the
  // closed connection raise it instead of the not-a-socket error. A new
  // socket forgets it.
  int LostError() const { return FLostError; }
  void SetLostError(int ACode) { FLostError = ACode; }
  TqmProgressEvent OnProgress;
  TNotifyEvent OnReady;

  // Sends AText converted to ACharset (empty: the bytes unchanged).
  void WriteString(const std::string& AText, const std::string& ACharset);

  // Set by a writer whose next write follows at once (a body in batches):
  // sends may then leave a partial segment for the next one to fill. The
  // writer clears it before its last write (see TqmSendMoreScope).
  bool MoreToSend() const { return FMoreToSend; }
  void SetMoreToSend(bool AValue) { FMoreToSend = AValue; }
  // Sends at once whatever an earlier send left waiting for more.
  void PushPending();
  // Whether the last send left bytes waiting for more (set by the stream).
  void SetHeldBack(bool AValue) { FHeldBack = AValue; }

  // ---- settings and state ----
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int AValue) { FBatchSize = AValue; }
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int AValue) { FBitsPerSec = AValue; }
  int64_t BytesToProceed() const { return FBytesToProceed; }
  void SetBytesToProceed(int64_t AValue) { FBytesToProceed = AValue; }
  bool IsAborted() const { return FIsAborted.load(std::memory_order_acquire); }
  bool Active() const { return FActive; }
  bool UseIpV6() const { return FUseIpV6; }
  void SetUseIpV6(bool AValue) { FUseIpV6 = AValue; }
  bool DisableGuiProcessing() const { return FDisableGuiProcessing; }
  void SetDisableGuiProcessing(bool AValue) { FDisableGuiProcessing = AValue; }

  const std::string& LocalIP() const { return FLocalIP; }
  int LocalPort() const { return FLocalPort; }
  const std::string& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }
  void SetLocalAddress(const std::string& AIP, int APort) {
    FLocalIP = AIP;
    FLocalPort = APort;
  }
  void SetPeerAddress(const std::string& AIP, int APort) {
    FPeerIP = AIP;
    FPeerPort = APort;
  }

 protected:
  void ClearAborted() { FIsAborted.store(false, std::memory_order_release); }
  // Disconnects and releases everything; called by the most derived
  // destructor so that the overrides still apply.
  void Destroy() noexcept;

 private:
  std::unique_ptr<TqmSocket> FSocket;
  int FBatchSize = 8192;
  int FBitsPerSec = 0;
  std::atomic<bool> FIsAborted{false};
  std::unique_ptr<TqmNetworkStream> FNetworkStream;
  bool FActive = false;
  int64_t FBytesProceed = 0;
  int64_t FTotalBytes = 0;
  int64_t FBytesToProceed = -1;
  int64_t FBytesMoved = 0;
  int FLostError = 0;
  std::string FLocalIP;
  int FLocalPort = 0;
  std::string FPeerIP;
  int FPeerPort = 0;
  bool FUseIpV6 = false;
  bool FDisableGuiProcessing = false;
  bool FDestroyed = false;
  bool FMoreToSend = false;
  bool FHeldBack = false;
};

// Announces writes that follow each other at once for as long as it lives;
// on the way out (also by an exception) nothing stays held back.
class TqmSendMoreScope {
 public:
  explicit TqmSendMoreScope(TqmConnection& AConnection) : FConnection(AConnection) {
    FConnection.SetMoreToSend(true);
  }
  ~TqmSendMoreScope() { End(); }
  TqmSendMoreScope(const TqmSendMoreScope&) = delete;
  TqmSendMoreScope& operator=(const TqmSendMoreScope&) = delete;
  // Before the last write: that one goes out whole.
  void Last() { FConnection.SetMoreToSend(false); }
  void End() {
    if (FEnded) return;
    FEnded = true;
    FConnection.SetMoreToSend(false);
    FConnection.PushPending();
  }

 private:
  TqmConnection& FConnection;
  bool FEnded = false;
};

class TqmSyncConnection : public TqmConnection {
 public:
  TqmSyncConnection();
  ~TqmSyncConnection() override;

  void ReleaseResources() override;
  void Abort() override;

  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int AValue) { FTimeOut = AValue; }
  const std::string& LocalBinding() const { return FLocalBinding; }
  void SetLocalBinding(const std::string& AValue) { FLocalBinding = AValue; }

  // Restarts the time-out clock.
  void ResetTimeOut() { FStartTick = TqmClock::now(); }
  TqmClock::time_point StartTick() const { return FStartTick; }
  void SelectNetworkEvents(int AMask);
  // Waits for the socket's selected events (or abort, or messages) with
  // ATimeOutMs from the clock's start. Also ends with the time-out error
  // once the deadline has passed, and with qmTransferTooSlow when the
  // low-speed check finds a window that moved too few bytes.
  bool WaitForEvent(int ATimeOutMs);

  // A deadline for everything that follows until it is cleared: a peer
  // that keeps sending a byte now and then cannot stretch a wait whose
  // clock restarts with each byte. max() = none.
  void SetDeadline(TqmClock::time_point AValue) { FDeadline = AValue; }
  TqmClock::time_point Deadline() const { return FDeadline; }
  // The low-speed limit of a data transfer: a window of ATimeMs that moves
  // fewer than ABytesPerSec * ATimeMs / 1000 bytes ends the transfer with
  // qmTransferTooSlow. Either value 0 or less: no check.
  void StartLowSpeedCheck(int ABytesPerSec, int ATimeMs);
  void StopLowSpeedCheck() { FLowSpeedOn = false; }
  // The events the last WaitForEvent reported.
  TqmNetworkEvents EnumNetworkEvents();
  int AbortHandle() const override { return FAbortEvent; }
  // Forgets IsAborted and a pending abort signal. Called where a session
  // starts, before its host lookup, and nowhere in the middle of one, where
  // it would drop an Abort meant for that session.
  void ResetAbort();

  // Host lookup that waits through WaitForEvent: Abort ends it (the result
  // is then empty and IsAborted is set), time-out 5000 ms per wait.
  std::string ResolveHost(const std::string& AHost);

 private:
  int FTimeOut = 5000;
  int FAbortEvent = -1;  // eventfd
  // Abort has written to the eventfd since the last ResetAbort: only then
  // does ResetAbort need to read it.
  std::atomic<bool> FAbortSignalled{false};
  TqmClock::time_point FStartTick;
  std::string FLocalBinding;
  short FLastRevents = 0;
  TqmClock::time_point FDeadline = TqmClock::time_point::max();
  bool FLowSpeedOn = false;
  int FLowSpeedLimit = 0;
  int FLowSpeedTimeMs = 0;
  TqmClock::time_point FWindowStart;
  int64_t FWindowBytes = 0;
};

// Sets a connection's deadline for as long as it lives (the outer one
// wins when scopes nest: a deadline is never pushed back).
class TqmDeadlineScope {
 public:
  TqmDeadlineScope(TqmSyncConnection& AConnection, int ATimeOutMs);
  ~TqmDeadlineScope() { FConnection.SetDeadline(FSaved); }
  TqmDeadlineScope(const TqmDeadlineScope&) = delete;
  TqmDeadlineScope& operator=(const TqmDeadlineScope&) = delete;

 private:
  TqmSyncConnection& FConnection;
  TqmClock::time_point FSaved;
};

// Runs the low-speed check of a data transfer for as long as it lives.
class TqmLowSpeedScope {
 public:
  TqmLowSpeedScope(TqmSyncConnection& AConnection, int ABytesPerSec, int ATimeMs) : FConnection(AConnection) {
    FConnection.StartLowSpeedCheck(ABytesPerSec, ATimeMs);
  }
  ~TqmLowSpeedScope() { FConnection.StopLowSpeedCheck(); }
  TqmLowSpeedScope(const TqmLowSpeedScope&) = delete;
  TqmLowSpeedScope& operator=(const TqmLowSpeedScope&) = delete;

 private:
  TqmSyncConnection& FConnection;
};

class TqmTcpConnection : public TqmSyncConnection {
 public:
  ~TqmTcpConnection() override { Destroy(); }
  bool NeedClose() override;
  void SetActive(bool AValue) override;
  bool ReadData(TStream* ADestination) override;
  bool WriteData(TStream* ASource) override;
  void DispatchNextAction() override;

  bool PeerClosed() const { return FPeerClosed; }
  // What the peer had sent, unread, when a write found the connection lost
  // (often its refusal, e.g. "552 message too big", right before a reset);
  // empty when nothing was left. Taking it empties it.
  std::string TakeUnreadAtLoss() { return std::exchange(FUnreadAtLoss, std::string()); }

 protected:
  void ReadStep(TStream* ADestination);
  void WriteStep(TStream* ASource);
  // Reads, without waiting, what the kernel still holds for a connection a
  // write found lost, before the socket is closed and the bytes go with it.
  void KeepUnreadAtLoss();
  // Raises AError when the event carried one; a lost connection first marks
  // the stream so that the step disconnects.
  void CheckEventError(int AError);

 private:
  bool FPeerClosed = false;
  std::string FUnreadAtLoss;
};

class TqmUdpConnection : public TqmSyncConnection {
 public:
  ~TqmUdpConnection() override { Destroy(); }
  bool ReadData(TStream* ADestination) override;
  bool WriteData(TStream* ASource) override;
};

class TqmTcpClientConnection : public TqmTcpConnection {
 public:
  ~TqmTcpClientConnection() override { Destroy(); }
  int ConnectTimeOut() const { return FConnectTimeOut; }
  void SetConnectTimeOut(int AValue) { FConnectTimeOut = AValue; }
  // Connects to an IPv4 or IPv6 literal and opens the stream's session.
  void Open(const std::string& AIP, int APort);
  // Starts the installed stream's session over the connected socket.
  void StartStream();

 private:
  int FConnectTimeOut = 0;
};

class TqmUdpClientConnection : public TqmUdpConnection {
 public:
  ~TqmUdpClientConnection() override { Destroy(); }
  void Open(const std::string& AIP, int APort);

 private:
  // The last address opened and its family: a client that opens the same
  // server for every exchange parses it once.
  std::string FOpenedIP;
  int FOpenedFamily = 0;
};

// The most bytes one Read hands back; what is left is read at the next call.
constexpr int64_t qmMaxReadPerCall = 1 << 20;

// The plain byte stream over the connection's socket.
class TqmNetworkStream : public TObject {
 public:
  enum : uint8_t { naNone = 0, naRead = 1, naWrite = 2 };

  // ---- overridable operations (slot order) ----
  virtual int GetBatchSize();
  virtual void SetConnection(TqmConnection* AConnection);
  virtual void Assign(TqmNetworkStream& AOldStream);
  virtual bool Connect(TqmIPAddress& AAddress, int APort);
  virtual void AfterConnect();
  virtual bool Bind(TqmIPAddress& AAddress, int APort);
  virtual void BindRange(TqmIPAddress& AAddress, int ALowestPort, int AHighestPort);
  virtual void EnableBroadcast();
  virtual void Listen();
  virtual void Accept();
  virtual void AfterAccept();
  virtual void Shutdown(bool ANotifyPeer);
  virtual void Disconnected();
  virtual void OpenClientSession();
  virtual bool Read(TStream* ADestination);
  virtual bool Write(TStream* ASource);
  virtual bool WriteRange(TStream* ASource, int64_t ACount);
  virtual bool ReadFrom(TStream* ADestination, std::string& AAddress, int& APort);
  virtual bool WriteTo(TStream* ASource, const std::string& AAddress, int APort);
  virtual int RecvRaw(void* ABuffer, int ASize);
  virtual int SendRaw(const void* ABuffer, int ASize);
  virtual int GetReadBatchSize();
  virtual int GetWriteBatchSize();
  virtual bool IsLimitReached();
  virtual void ResetProgress();
  virtual void UpdateProgress(int64_t ACount);
  virtual void InitClientSession();
  virtual void InitServerSession();
  // What the stream can do: the TLS stream answers itself, every other
  // stream nullptr (asked instead of testing the stream's type).
  virtual TqmTlsNetworkStream* TlsStream() { return nullptr; }

  // ---- helpers ----
  void ClearNextAction() { FNextAction = naNone; }
  // Only the first request of an operation is kept.
  void SetNextAction(uint8_t AValue) {
    if (FNextAction == naNone) FNextAction = AValue;
  }
  uint8_t NextAction() const { return FNextAction; }
  bool IsStopped();
  void SetPeer(const std::string& AIP, int APort);
  void UpdateLocalAddress();
  void Throttle(int64_t ARequested);

  TqmConnection* Connection() const { return FConnection; }
  const std::string& LocalIP() const { return FLocalIP; }
  int LocalPort() const { return FLocalPort; }
  const std::string& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }
  bool HasReadData() const { return FHasReadData; }
  void SetHasReadData(bool AValue) { FHasReadData = AValue; }
  int64_t BytesProceed() const { return FBytesProceed; }
  bool NeedClose() const { return FNeedClose; }
  void SetNeedClose(bool AValue) { FNeedClose = AValue; }
  bool ClosedByPeer() const { return FClosedByPeer; }

 protected:
  int Handle() const;
  // The receive or send buffer, grown to at least ASize.
  uint8_t* Buffer(size_t ASize);

  TqmConnection* FConnection = nullptr;
  uint8_t FNextAction = naNone;
  std::string FLocalIP;
  int FLocalPort = 0;
  std::string FPeerIP;
  int FPeerPort = 0;
  bool FHasReadData = false;
  int64_t FBytesProceed = 0;
  bool FNeedClose = false;
  bool FClosedByPeer = false;
  // SendRaw's send is followed at once by another (MSG_MORE).
  bool FSendMore = false;

 private:
  std::vector<uint8_t> FBuffer;
  // WriteTo's parsed target, kept while datagrams go to the same address.
  std::unique_ptr<TqmIPAddress> FSendTarget;
  std::string FSendTargetIP;
};

// Host name to IP text; literals are returned unchanged.
class TqmHostResolver : public TObject {
 public:
  // AConnection (may be null) lends its abort event and GUI setting to the
  // wait for the lookup.
  explicit TqmHostResolver(TqmConnection* AConnection = nullptr) : FConnection(AConnection) {}
  virtual std::string Resolve(const std::string& AHost) = 0;
  virtual void ResolveAll(const std::string& AHost, TStrings& AList) = 0;

 protected:
  // Runs getaddrinfo on a worker thread and waits for it through
  // WaitForEvent. Returns nullptr when aborted.
  TqmAddrInfoPtr Lookup(const std::string& AHost, int AFamily);

  TqmConnection* FConnection;
};

// IPv4 addresses only.
class TqmHostResolver4 : public TqmHostResolver {
 public:
  using TqmHostResolver::TqmHostResolver;
  std::string Resolve(const std::string& AHost) override;
  void ResolveAll(const std::string& AHost, TStrings& AList) override;
};

// IPv6 and IPv4 addresses, the preferred family first.
class TqmHostResolver6 : public TqmHostResolver {
 public:
  TqmHostResolver6(bool AUseIpV6, TqmConnection* AConnection = nullptr)
      : TqmHostResolver(AConnection), FUseIpV6(AUseIpV6) {}
  std::string Resolve(const std::string& AHost) override;
  void ResolveAll(const std::string& AHost, TStrings& AList) override;

 private:
  bool FUseIpV6;
};

// Host resolution with the IPv6 preference; waits with the GUI processed
// and no abort (see TqmSyncConnection::ResolveHost for the abortable form).
std::string ResolveHost(const std::string& AHost, bool AUseIpV6);
std::string GetLocalHostName();

}  // namespace qm
