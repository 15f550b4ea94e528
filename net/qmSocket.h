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

/// Network events of a socket, derived from poll results, recv returning 0
/// and SO_ERROR. Like event selection, each is reported once and re-enabled
/// by the call that consumes it (recv for neRead, a send that would block
/// for neWrite).
enum TqmNetworkEvent : int {
  neRead = 0x01,  ///< Bytes can be read.
  neWrite = 0x02,  ///< Bytes can be written.
  neOob = 0x04,  ///< Urgent data arrived.
  neAccept = 0x08,  ///< A connection waits to be accepted.
  neConnect = 0x10,  ///< A connect finished (ConnectError says how).
  neClose = 0x20,  ///< The peer closed or the connection broke.
};

/// What one wait reported, with the error code of each event (0 = none).
struct TqmNetworkEvents {
  int Events = 0;  ///< TqmNetworkEvent bits.
  int ReadError = 0;  ///< errno of neRead.
  int WriteError = 0;  ///< errno of neWrite.
  int AcceptError = 0;  ///< errno of neAccept.
  int ConnectError = 0;  ///< errno of neConnect (ECONNREFUSED...).
  int CloseError = 0;  ///< errno of neClose.
  /// True when AEvent was reported.
  bool Has(int AEvent) const { return (Events & AEvent) != 0; }
};

/// The clock of every time-out of the transport.
using TqmClock = std::chrono::steady_clock;

/// The one wait of the transport. Waits for AEvent's fd, the abort fd (-1 =
/// none) and, with AGuiProcessing, the thread's message queue. Returns true
/// when AEvent was signalled (its revents are filled), false when the abort
/// fd was (it is reset) or after queued messages were dispatched. A wait
/// without any event for ATimeOutMs, or messages keeping it busy until more
/// than ATimeOutMs passed since AStartTick, raise "Timeout error occured".
/// ATimeOutMs -1 waits without limit. AWakeBy, when not max(), ends a wait
/// that reaches it with false instead (the caller checks its own limits).
bool WaitForEvent(pollfd& AEvent, int AAbortFd, TqmClock::time_point AStartTick,
                  bool AGuiProcessing, int ATimeOutMs,
                  TqmClock::time_point AWakeBy = TqmClock::time_point::max());

/// The pause after a socket call of ARequested bytes at ABitsPerSec, in ms
/// (0 without throttling).
int ThrottlePauseMs(int64_t ARequested, int ABitsPerSec);
/// Waits APauseMs; with AGuiProcessing the queue is dispatched meanwhile.
void ThrottlePause(int APauseMs, bool AGuiProcessing);

/// One socket handle with its address family, and the event selection state.
class TqmSocket : public TObject {
 public:
  /// Closes the handle, if any.
  ~TqmSocket() override;

  /// The descriptor, -1 when closed.
  int Handle() const { return FHandle; }
  /// AF_INET or AF_INET6.
  int AddressFamily() const { return FAddressFamily; }
  /// SOCK_STREAM or SOCK_DGRAM (0: not known).
  int SocketType() const { return FSocketType; }
  /// True while a descriptor is held.
  bool IsValid() const { return FHandle >= 0; }
  /// Takes a descriptor (closing the one held before).
  void SetHandle(int AHandle, int AFamily, int AType = 0);
  /// Shuts the socket down in both directions and closes it. The handle is
  /// forgotten also when closing fails.
  void Close();

  /// Event selection: which of TqmNetworkEvent to report. Puts the socket in
  /// non-blocking mode and enables every selected event.
  void SelectEvents(int AMask);
  /// The TqmNetworkEvent mask of SelectEvents.
  int SelectedEvents() const { return FSelected; }
  /// Re-enables an event after the call that consumes it.
  void Reenable(int AEvent) { FEnabled |= AEvent; }
  /// Stops watching for an event until it is re-enabled.
  void Disable(int AEvent) { FEnabled &= ~AEvent; }
  /// The poll events that the enabled events need.
  short PollEvents() const;
  /// Turns the revents of a wait into network events (and disables them).
  TqmNetworkEvents EnumEvents(short ARevents);
  /// A wait has reported the peer's end of the stream (POLLRDHUP or
  /// POLLHUP); reads then go on until recv says so itself.
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

/// A connection: owns the socket and the network stream that performs the
/// socket calls, counts progress, and can be aborted from another thread.
/// Errors raise EqmSocketError.
class TqmConnection : public TObject {
 public:
  /// No socket, no stream, batches of 8192 bytes.
  TqmConnection();
  /// Disconnects and frees everything (derived classes do it in their own
  /// destructor, through Destroy, so that their overrides apply).
  ~TqmConnection() override;

  // ---- overridable operations (slot order) ----
  /// True when the stream found the connection closed or lost.
  virtual bool NeedClose();
  /// Frees the stream and the socket.
  virtual void ReleaseResources();
  /// Calls OnProgress.
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  /// Calls OnReady (the stream's session is open).
  virtual void DoReady();
  /// Marks the connection open or closed.
  virtual void SetActive(bool AValue);
  /// Closes the stream (with ANotifyPeer, telling the peer, e.g. TLS
  /// close_notify) and the socket; raises what closing the stream raised.
  virtual void Disconnect(bool ANotifyPeer);
  /// Shuts the stream down; with ANotifyPeer, sends what it has to say first.
  virtual void CloseStream(bool ANotifyPeer);
  /// Reads what the socket holds into ADestination (waiting for it); false
  /// when nothing more can come now.
  virtual bool ReadData(TStream* ADestination) = 0;
  /// Writes ASource from its position to its end (waiting as needed).
  virtual bool WriteData(TStream* ASource) = 0;
  /// Performs the read or write the stream asked for (a TLS handshake step).
  virtual void DispatchNextAction();
  /// Ends the running operation: its waits return at once and its loops end
  /// at their next check. Safe to call from any thread while the connection
  /// lives (it only sets a flag and signals an eventfd). It holds until
  /// ResetAbort: a new socket does not forget it.
  virtual void Abort();
  /// The descriptor that becomes readable on Abort, for waits that watch it
  /// (-1: this connection has none).
  virtual int AbortHandle() const { return -1; }

  // ---- socket ----
  /// Opens a new socket (closing the old one); forgets LostError.
  void CreateSocket(int AFamily, int AType, int AProtocol);
  /// Closes the socket.
  void CloseSocket();
  /// The socket object (there until ReleaseResources; its handle may be closed).
  TqmSocket& Socket() { return *FSocket; }

  // ---- stream ----
  /// Installs AStream (nullptr frees the current one). The new stream takes
  /// over the old one's addresses and HasReadData.
  void SetNetworkStream(std::unique_ptr<TqmNetworkStream> AStream);
  /// Raises "NetworkStream is required" when there is none.
  TqmNetworkStream& NetworkStream();
  /// True when a stream is installed.
  bool HasNetworkStream() const { return FNetworkStream != nullptr; }

  // ---- progress ----
  /// Starts counting a transfer of ATotalBytes (0 or less: unknown).
  void InitProgress(int64_t ATotalBytes, int64_t ABytesProceed);
  /// Counts ACount more bytes and calls DoProgress.
  void UpdateProgress(int64_t ACount);
  /// Bytes counted since InitProgress.
  int64_t BytesProceed() const { return FBytesProceed; }
  /// The total of InitProgress.
  int64_t TotalBytes() const { return FTotalBytes; }
  /// Bytes moved through the socket in either direction since creation;
  /// never reset (the low-speed check counts with it).
  int64_t BytesMoved() const { return FBytesMoved; }
  /// Counts ACount bytes moved (called by the stream).
  void AddBytesMoved(int64_t ACount) { FBytesMoved += ACount; }
  /// The error that ended the connection after the bytes received before it
  /// were handed out (a reset right after a reply); reads and writes on the
  /// closed connection raise it instead of the not-a-socket error. A new
  /// socket forgets it.
  int LostError() const { return FLostError; }
  /// Sets LostError (an errno value).
  void SetLostError(int ACode) { FLostError = ACode; }
  /// Called as bytes are counted (see InitProgress).
  TqmProgressEvent OnProgress;
  /// Called when the stream's session is open.
  TNotifyEvent OnReady;

  /// Sends AText converted to ACharset (empty: the bytes unchanged).
  void WriteString(const std::string& AText, const std::string& ACharset);

  /// Set by a writer whose next write follows at once (a body in batches):
  /// sends may then leave a partial segment for the next one to fill. The
  /// writer clears it before its last write (see TqmSendMoreScope).
  bool MoreToSend() const { return FMoreToSend; }
  /// Sets MoreToSend.
  void SetMoreToSend(bool AValue) { FMoreToSend = AValue; }
  /// Sends at once whatever an earlier send left waiting for more.
  void PushPending();
  /// Whether the last send left bytes waiting for more (set by the stream).
  void SetHeldBack(bool AValue) { FHeldBack = AValue; }

  // ---- settings and state ----
  /// The most bytes one socket call moves (8192).
  int BatchSize() const { return FBatchSize; }
  /// Sets BatchSize; less than 1 raises at the next transfer.
  void SetBatchSize(int AValue) { FBatchSize = AValue; }
  /// A bandwidth limit, in bits per second (0: none).
  int BitsPerSec() const { return FBitsPerSec; }
  /// Sets BitsPerSec.
  void SetBitsPerSec(int AValue) { FBitsPerSec = AValue; }
  /// The most bytes the next transfer moves (-1: no limit).
  int64_t BytesToProceed() const { return FBytesToProceed; }
  /// Sets BytesToProceed.
  void SetBytesToProceed(int64_t AValue) { FBytesToProceed = AValue; }
  /// True after Abort (until it is reset).
  bool IsAborted() const { return FIsAborted.load(std::memory_order_acquire); }
  /// True while connected.
  bool Active() const { return FActive; }
  /// Prefer IPv6 when a host name has both kinds of address (false).
  bool UseIpV6() const { return FUseIpV6; }
  /// Sets UseIpV6.
  void SetUseIpV6(bool AValue) { FUseIpV6 = AValue; }
  /// Do not dispatch the thread's message queue while waiting (false).
  bool DisableGuiProcessing() const { return FDisableGuiProcessing; }
  /// Sets DisableGuiProcessing.
  void SetDisableGuiProcessing(bool AValue) { FDisableGuiProcessing = AValue; }

  /// The local address of the connection, as text.
  const std::string& LocalIP() const { return FLocalIP; }
  /// The local port.
  int LocalPort() const { return FLocalPort; }
  /// The peer's address, as text.
  const std::string& PeerIP() const { return FPeerIP; }
  /// The peer's port.
  int PeerPort() const { return FPeerPort; }
  /// Sets LocalIP and LocalPort (called by the stream).
  void SetLocalAddress(const std::string& AIP, int APort) {
    FLocalIP = AIP;
    FLocalPort = APort;
  }
  /// Sets PeerIP and PeerPort (called by the stream).
  void SetPeerAddress(const std::string& AIP, int APort) {
    FPeerIP = AIP;
    FPeerPort = APort;
  }

 protected:
  /// Forgets IsAborted.
  void ClearAborted() { FIsAborted.store(false, std::memory_order_release); }
  /// Disconnects and releases everything; called by the most derived
  /// destructor so that the overrides still apply.
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

/// Announces writes that follow each other at once for as long as it lives;
/// on the way out (also by an exception) nothing stays held back.
class TqmSendMoreScope {
 public:
  /// Sets MoreToSend on AConnection, which must outlive the scope.
  explicit TqmSendMoreScope(TqmConnection& AConnection) : FConnection(AConnection) {
    FConnection.SetMoreToSend(true);
  }
  /// Calls End.
  ~TqmSendMoreScope() { End(); }
  /// Not copyable.
  TqmSendMoreScope(const TqmSendMoreScope&) = delete;
  /// Not copyable.
  TqmSendMoreScope& operator=(const TqmSendMoreScope&) = delete;
  /// Before the last write: that one goes out whole.
  void Last() { FConnection.SetMoreToSend(false); }
  /// Clears MoreToSend and sends what is held back; later calls do nothing.
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

/// A connection whose calls wait for the socket (time-out, deadline,
/// low-speed check, abort), keeping the thread's message queue running.
class TqmSyncConnection : public TqmConnection {
 public:
  /// 5000 ms time-out; raises EqmSocketError when no abort event can be made.
  TqmSyncConnection();
  /// Disconnects and frees everything.
  ~TqmSyncConnection() override;

  /// Also closes the abort event.
  void ReleaseResources() override;
  /// Also wakes the waiting thread through the abort event.
  void Abort() override;

  /// How long a wait may pass without any event, in milliseconds (5000; -1: no limit).
  int TimeOut() const { return FTimeOut; }
  /// Sets TimeOut.
  void SetTimeOut(int AValue) { FTimeOut = AValue; }
  /// The local address sockets are bound to (empty: any).
  const std::string& LocalBinding() const { return FLocalBinding; }
  /// Sets LocalBinding.
  void SetLocalBinding(const std::string& AValue) { FLocalBinding = AValue; }

  /// Restarts the time-out clock.
  void ResetTimeOut() { FStartTick = TqmClock::now(); }
  /// When the time-out clock started.
  TqmClock::time_point StartTick() const { return FStartTick; }
  /// The socket's SelectEvents.
  void SelectNetworkEvents(int AMask);
  /// Waits for the socket's selected events (or abort, or messages) with
  /// ATimeOutMs from the clock's start. Also ends with the time-out error
  /// once the deadline has passed, and with qmTransferTooSlow when the
  /// low-speed check finds a window that moved too few bytes.
  bool WaitForEvent(int ATimeOutMs);

  /// A deadline for everything that follows until it is cleared: a peer
  /// that keeps sending a byte now and then cannot stretch a wait whose
  /// clock restarts with each byte. max() = none.
  void SetDeadline(TqmClock::time_point AValue) { FDeadline = AValue; }
  /// The deadline set (max(): none).
  TqmClock::time_point Deadline() const { return FDeadline; }
  /// The low-speed limit of a data transfer: a window of ATimeMs that moves
  /// fewer than ABytesPerSec * ATimeMs / 1000 bytes ends the transfer with
  /// qmTransferTooSlow. Either value 0 or less: no check.
  void StartLowSpeedCheck(int ABytesPerSec, int ATimeMs);
  /// Ends the low-speed check.
  void StopLowSpeedCheck() { FLowSpeedOn = false; }
  /// The events the last WaitForEvent reported.
  TqmNetworkEvents EnumNetworkEvents();
  /// The eventfd that Abort signals.
  int AbortHandle() const override { return FAbortEvent; }
  /// Forgets IsAborted and a pending abort signal. Called where a session
  /// starts, before its host lookup, and nowhere in the middle of one, where
  /// it would drop an Abort meant for that session.
  void ResetAbort();

  /// Host lookup that waits through WaitForEvent: Abort ends it (the result
  /// is then empty and IsAborted is set), time-out 5000 ms per wait.
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

/// Sets a connection's deadline for as long as it lives (the outer one
/// wins when scopes nest: a deadline is never pushed back).
class TqmDeadlineScope {
 public:
  /// A deadline ATimeOutMs from now (negative: none), unless an earlier one is set.
  TqmDeadlineScope(TqmSyncConnection& AConnection, int ATimeOutMs);
  /// Puts the deadline from before back.
  ~TqmDeadlineScope() { FConnection.SetDeadline(FSaved); }
  /// Not copyable.
  TqmDeadlineScope(const TqmDeadlineScope&) = delete;
  /// Not copyable.
  TqmDeadlineScope& operator=(const TqmDeadlineScope&) = delete;

 private:
  TqmSyncConnection& FConnection;
  TqmClock::time_point FSaved;
};

/// Runs the low-speed check of a data transfer for as long as it lives.
class TqmLowSpeedScope {
 public:
  /// Starts the check (see TqmSyncConnection::StartLowSpeedCheck).
  TqmLowSpeedScope(TqmSyncConnection& AConnection, int ABytesPerSec, int ATimeMs) : FConnection(AConnection) {
    FConnection.StartLowSpeedCheck(ABytesPerSec, ATimeMs);
  }
  /// Stops it.
  ~TqmLowSpeedScope() { FConnection.StopLowSpeedCheck(); }
  /// Not copyable.
  TqmLowSpeedScope(const TqmLowSpeedScope&) = delete;
  /// Not copyable.
  TqmLowSpeedScope& operator=(const TqmLowSpeedScope&) = delete;

 private:
  TqmSyncConnection& FConnection;
};

/// A TCP connection: reads and writes through the network stream, waiting
/// for the socket as needed.
class TqmTcpConnection : public TqmSyncConnection {
 public:
  /// Disconnects and frees everything.
  ~TqmTcpConnection() override { Destroy(); }
  /// Also true once the peer closed.
  bool NeedClose() override;
  /// Going inactive forgets PeerClosed.
  void SetActive(bool AValue) override;
  bool ReadData(TStream* ADestination) override;
  bool WriteData(TStream* ASource) override;
  void DispatchNextAction() override;

  /// True once the peer closed its side.
  bool PeerClosed() const { return FPeerClosed; }
  /// What the peer had sent, unread, when a write found the connection lost
  /// (often its refusal, e.g. "552 message too big", right before a reset);
  /// empty when nothing was left. Taking it empties it.
  std::string TakeUnreadAtLoss() { return std::exchange(FUnreadAtLoss, std::string()); }

 protected:
  /// One wait and read of ReadData.
  void ReadStep(TStream* ADestination);
  /// One wait and write of WriteData.
  void WriteStep(TStream* ASource);
  /// Reads, without waiting, what the kernel still holds for a connection a
  /// write found lost, before the socket is closed and the bytes go with it.
  void KeepUnreadAtLoss();
  /// Raises AError when the event carried one; a lost connection first marks
  /// the stream so that the step disconnects.
  void CheckEventError(int AError);

 private:
  bool FPeerClosed = false;
  std::string FUnreadAtLoss;
};

/// A UDP connection: one datagram per read or write.
class TqmUdpConnection : public TqmSyncConnection {
 public:
  /// Disconnects and frees everything.
  ~TqmUdpConnection() override { Destroy(); }
  bool ReadData(TStream* ADestination) override;
  bool WriteData(TStream* ASource) override;
};

/// The client side of a TCP connection.
class TqmTcpClientConnection : public TqmTcpConnection {
 public:
  /// Disconnects and frees everything.
  ~TqmTcpClientConnection() override { Destroy(); }
  /// How long connecting may take, in milliseconds (0: TimeOut).
  int ConnectTimeOut() const { return FConnectTimeOut; }
  /// Sets ConnectTimeOut.
  void SetConnectTimeOut(int AValue) { FConnectTimeOut = AValue; }
  /// Connects to an IPv4 or IPv6 literal and opens the stream's session.
  void Open(const std::string& AIP, int APort);
  /// Starts the installed stream's session over the connected socket.
  void StartStream();

 private:
  int FConnectTimeOut = 0;
};

/// The client side of a UDP exchange.
class TqmUdpClientConnection : public TqmUdpConnection {
 public:
  /// Disconnects and frees everything.
  ~TqmUdpClientConnection() override { Destroy(); }
  /// Opens a socket for datagrams to an IPv4 or IPv6 literal.
  void Open(const std::string& AIP, int APort);

 private:
  // The last address opened and its family: a client that opens the same
  // server for every exchange parses it once.
  std::string FOpenedIP;
  int FOpenedFamily = 0;
};

/// The most bytes one Read hands back; what is left is read at the next call.
constexpr int64_t qmMaxReadPerCall = 1 << 20;

/// The plain byte stream over the connection's socket.
class TqmNetworkStream : public TObject {
 public:
  /// What the stream needs next before it can go on (a TLS step): nothing, a read, a write.
  enum : uint8_t { naNone = 0, naRead = 1, naWrite = 2 };

  // ---- overridable operations (slot order) ----
  /// The connection's BatchSize, cut to what BytesToProceed leaves; raises
  /// for a batch size below 1.
  virtual int GetBatchSize();
  /// The connection the stream works for (not owned).
  virtual void SetConnection(TqmConnection* AConnection);
  /// Takes over the addresses and HasReadData of the stream it replaces.
  virtual void Assign(TqmNetworkStream& AOldStream);
  /// Starts connecting the socket; true when connected at once, false while
  /// it goes on (wait for neConnect).
  virtual bool Connect(TqmIPAddress& AAddress, int APort);
  /// Reads the local address once connected.
  virtual void AfterConnect();
  /// Binds the socket to AAddress and APort (0: any); raises on failure.
  virtual bool Bind(TqmIPAddress& AAddress, int APort);
  /// Binds to the first free port of the range; raises when none is free.
  virtual void BindRange(TqmIPAddress& AAddress, int ALowestPort, int AHighestPort);
  /// Allows datagrams to broadcast addresses (IPv4 only).
  virtual void EnableBroadcast();
  /// Makes the socket listen (backlog 1) and reads its local address.
  virtual void Listen();
  /// Accepts one connection, which replaces the listening socket.
  virtual void Accept();
  /// Reads the local address once accepted.
  virtual void AfterAccept();
  /// Ends the stream's session (a TLS stream sends close_notify when ANotifyPeer).
  virtual void Shutdown(bool ANotifyPeer);
  /// Called after the socket was closed.
  virtual void Disconnected();
  /// The session is open: calls the connection's DoReady.
  virtual void OpenClientSession();
  /// Reads what the socket holds now, up to qmMaxReadPerCall, into
  /// ADestination; false when it would block. A peer's close sets NeedClose
  /// and ClosedByPeer; errors raise EqmSocketError.
  virtual bool Read(TStream* ADestination);
  /// Writes ASource from its position on; false when the socket is full (the
  /// rest goes at the next call).
  virtual bool Write(TStream* ASource);
  /// Write, at most ACount bytes (less than 0: all).
  virtual bool WriteRange(TStream* ASource, int64_t ACount);
  /// Reads one datagram and who sent it; false when none waits.
  virtual bool ReadFrom(TStream* ADestination, std::string& AAddress, int& APort);
  /// Sends ASource as one datagram to AAddress and APort.
  virtual bool WriteTo(TStream* ASource, const std::string& AAddress, int APort);
  /// One recv (a TLS stream: decrypted bytes); -1 with errno set on failure.
  virtual int RecvRaw(void* ABuffer, int ASize);
  /// One send (a TLS stream: encrypted); -1 with errno set on failure.
  virtual int SendRaw(const void* ABuffer, int ASize);
  /// The most bytes one read asks for (GetBatchSize).
  virtual int GetReadBatchSize();
  /// The most bytes one write sends (GetBatchSize).
  virtual int GetWriteBatchSize();
  /// True once BytesToProceed bytes were moved.
  virtual bool IsLimitReached();
  /// Starts the stream's byte count again.
  virtual void ResetProgress();
  /// Counts ACount bytes here and in the connection.
  virtual void UpdateProgress(int64_t ACount);
  /// Prepares the client side of the session (before connecting).
  virtual void InitClientSession();
  /// Prepares the server side of the session (before accepting).
  virtual void InitServerSession();
  /// What the stream can do: the TLS stream answers itself, every other
  /// stream nullptr (asked instead of testing the stream's type).
  virtual TqmTlsNetworkStream* TlsStream() { return nullptr; }

  // ---- helpers ----
  /// Forgets the next action.
  void ClearNextAction() { FNextAction = naNone; }
  /// Only the first request of an operation is kept.
  void SetNextAction(uint8_t AValue) {
    if (FNextAction == naNone) FNextAction = AValue;
  }
  /// The action the stream waits for (naNone, naRead, naWrite).
  uint8_t NextAction() const { return FNextAction; }
  /// True when the connection was aborted or the byte limit reached.
  bool IsStopped();
  /// Sets the peer's address here and in the connection.
  void SetPeer(const std::string& AIP, int APort);
  /// Reads the socket's local address into the stream and the connection.
  void UpdateLocalAddress();
  /// Pauses after a socket call of ARequested bytes when BitsPerSec is set.
  void Throttle(int64_t ARequested);

  /// The connection (not owned).
  TqmConnection* Connection() const { return FConnection; }
  /// The local address, as text.
  const std::string& LocalIP() const { return FLocalIP; }
  /// The local port.
  int LocalPort() const { return FLocalPort; }
  /// The peer's address, as text.
  const std::string& PeerIP() const { return FPeerIP; }
  /// The peer's port.
  int PeerPort() const { return FPeerPort; }
  /// Bytes are known to wait for reading (a datagram that arrived early, or
  /// decrypted bytes kept by TLS).
  bool HasReadData() const { return FHasReadData; }
  /// Sets HasReadData.
  void SetHasReadData(bool AValue) { FHasReadData = AValue; }
  /// Bytes moved since ResetProgress.
  int64_t BytesProceed() const { return FBytesProceed; }
  /// True once the connection was found closed or lost.
  bool NeedClose() const { return FNeedClose; }
  /// Sets NeedClose.
  void SetNeedClose(bool AValue) { FNeedClose = AValue; }
  /// True when the last read met the peer's close.
  bool ClosedByPeer() const { return FClosedByPeer; }

 protected:
  /// The socket's descriptor; raises when there is no connection.
  int Handle() const;
  /// The receive or send buffer, grown to at least ASize.
  uint8_t* Buffer(size_t ASize);

  TqmConnection* FConnection = nullptr;  ///< The connection (not owned).
  uint8_t FNextAction = naNone;  ///< See NextAction.
  std::string FLocalIP;  ///< See LocalIP.
  int FLocalPort = 0;  ///< See LocalPort.
  std::string FPeerIP;  ///< See PeerIP.
  int FPeerPort = 0;  ///< See PeerPort.
  bool FHasReadData = false;  ///< See HasReadData.
  int64_t FBytesProceed = 0;  ///< See BytesProceed.
  bool FNeedClose = false;  ///< See NeedClose.
  bool FClosedByPeer = false;  ///< See ClosedByPeer.
  /// SendRaw's send is followed at once by another (MSG_MORE).
  bool FSendMore = false;

 private:
  std::vector<uint8_t> FBuffer;
  // WriteTo's parsed target, kept while datagrams go to the same address.
  std::unique_ptr<TqmIPAddress> FSendTarget;
  std::string FSendTargetIP;
};

/// Host name to IP text; literals are returned unchanged.
class TqmHostResolver : public TObject {
 public:
  /// AConnection (may be null) lends its abort event and GUI setting to the
  /// wait for the lookup.
  explicit TqmHostResolver(TqmConnection* AConnection = nullptr) : FConnection(AConnection) {}
  /// The first address of AHost as text; a literal is returned unchanged.
  /// Raises EqmSocketError when the name cannot be resolved; empty when aborted.
  virtual std::string Resolve(const std::string& AHost) = 0;
  /// Every address of AHost, added to AList.
  virtual void ResolveAll(const std::string& AHost, TStrings& AList) = 0;

 protected:
  /// Runs getaddrinfo on a worker thread and waits for it through
  /// WaitForEvent. Returns nullptr when aborted.
  TqmAddrInfoPtr Lookup(const std::string& AHost, int AFamily);

  TqmConnection* FConnection;  ///< Lends the abort event and GUI setting (may be null).
};

/// IPv4 addresses only.
class TqmHostResolver4 : public TqmHostResolver {
 public:
  using TqmHostResolver::TqmHostResolver;
  std::string Resolve(const std::string& AHost) override;
  void ResolveAll(const std::string& AHost, TStrings& AList) override;
};

/// IPv6 and IPv4 addresses, the preferred family first.
class TqmHostResolver6 : public TqmHostResolver {
 public:
  /// AUseIpV6: IPv6 addresses first.
  TqmHostResolver6(bool AUseIpV6, TqmConnection* AConnection = nullptr)
      : TqmHostResolver(AConnection), FUseIpV6(AUseIpV6) {}
  std::string Resolve(const std::string& AHost) override;
  void ResolveAll(const std::string& AHost, TStrings& AList) override;

 private:
  bool FUseIpV6;
};

/// Host resolution with the IPv6 preference; waits with the GUI processed
/// and no abort (see TqmSyncConnection::ResolveHost for the abortable form).
std::string ResolveHost(const std::string& AHost, bool AUseIpV6);
/// The machine's host name.
std::string GetLocalHostName();

}  // namespace qm
