#include "net/qmSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/qmSysUtils.h"
#include "core/qmTranslator.h"

namespace qm {

using namespace std::chrono;

namespace {

[[noreturn]] void RaiseTimeout() { RaiseSocketErrorMessage(qmTimeoutError, qmTimeoutErrorCode); }

// A host lookup runs on a worker thread, which cannot be cancelled; the
// state lives until both the lookup and the waiter are done with it.
struct TLookupState {
  std::mutex Lock;
  bool Done = false;
  int Result = 0;
  int Errno = 0;
  TqmAddrInfoPtr List;
  int EventFd = -1;
  ~TLookupState() {
    if (EventFd >= 0) close(EventFd);
  }
};

}  // namespace

// ---- waiting ----

bool WaitForEvent(pollfd& AEvent, int AAbortFd, TqmClock::time_point AStartTick, bool AGuiProcessing,
                  int ATimeOutMs, TqmClock::time_point AWakeBy) {
  TqmMessageQueue& Queue = TqmMessageQueue::Current();
  pollfd Fds[2] = {{AEvent.fd, AEvent.events, 0}, {AAbortFd, POLLIN, 0}};
  const size_t Count = AAbortFd >= 0 ? 2 : 1;
  AEvent.revents = 0;

  int PollMs = ATimeOutMs < 0 ? -1 : ATimeOutMs;
  bool WakeFirst = false;
  if (AWakeBy != TqmClock::time_point::max()) {
    // Rounded up: a wake-up a little late is harmless, one early spins.
    const auto Left = AWakeBy - TqmClock::now();
    const int64_t LeftMs =
        Left <= TqmClock::duration::zero() ? 0 : duration_cast<milliseconds>(Left + microseconds(999)).count();
    if (PollMs < 0 || LeftMs < PollMs) {
      PollMs = static_cast<int>(std::min<int64_t>(LeftMs, INT_MAX));
      WakeFirst = true;
    }
  }

  switch (Queue.Wait(Fds, Count, PollMs, AGuiProcessing)) {
    case TqmMessageQueue::TWaitResult::wrTimeout:
      if (WakeFirst) return false;
      RaiseTimeout();
    case TqmMessageQueue::TWaitResult::wrSignaled:
      if (Fds[0].revents) {
        AEvent.revents = Fds[0].revents;
        return true;
      }
      if (Count == 2 && Fds[1].revents) {
        uint64_t Value;
        [[maybe_unused]] ssize_t N = read(AAbortFd, &Value, sizeof Value);
      }
      return false;
    case TqmMessageQueue::TWaitResult::wrMessage:
      break;
  }

  auto Expired = [&] {
    return ATimeOutMs >= 0 && TqmClock::now() - AStartTick > milliseconds(ATimeOutMs);
  };
  while (Queue.DispatchOne()) {
    if (Expired()) RaiseTimeout();
    // Messages that keep coming must not starve the socket: once it (or
    // the abort event) is ready, stop dispatching and let the caller look.
    for (size_t I = 0; I < Count; ++I) Fds[I].revents = 0;
    if (poll(Fds, Count, 0) > 0) break;
  }
  if (Expired()) RaiseTimeout();
  return false;
}

int ThrottlePauseMs(int64_t ARequested, int ABitsPerSec) {
  if (ABitsPerSec <= 0 || ARequested <= 0) return 0;
  // 64-bit arithmetic: large batches must not wrap into a negative pause.
  int64_t Pause = ARequested * 8 * 1000 / ABitsPerSec;
  return static_cast<int>(std::min<int64_t>(Pause, INT_MAX));
}

void ThrottlePause(int APauseMs, bool AGuiProcessing) {
  if (APauseMs <= 0) return;
  TqmMessageQueue& Queue = TqmMessageQueue::Current();
  const auto Start = TqmClock::now();
  const auto Length = milliseconds(APauseMs);
  for (;;) {
    auto Passed = TqmClock::now() - Start;
    if (Passed >= Length) return;
    auto Left = duration_cast<milliseconds>(Length - Passed + microseconds(999));
    if (Queue.Wait(nullptr, 0, static_cast<int>(Left.count()), AGuiProcessing) ==
        TqmMessageQueue::TWaitResult::wrMessage) {
      while (TqmClock::now() - Start < Length && Queue.DispatchOne()) {
      }
    }
  }
}

// ---- TqmSocket ----

TqmSocket::~TqmSocket() {
  if (FHandle >= 0) close(FHandle);
}

void TqmSocket::SetHandle(int AHandle, int AFamily, int AType) {
  if (FHandle >= 0 && FHandle != AHandle) close(FHandle);
  FHandle = AHandle;
  FAddressFamily = AFamily;
  // A type may carry the creation flags; the type itself is kept without.
  FNonBlocking = (AType & SOCK_NONBLOCK) != 0;
  if (AType) FSocketType = AType & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
  FSelected = 0;
  FEnabled = 0;
  FHungUp = false;
}

void TqmSocket::Close() {
  if (FHandle < 0) return;
  const int Handle = FHandle;
  FHandle = -1;
  FAddressFamily = 0;
  FSelected = 0;
  FEnabled = 0;
  FHungUp = false;
  FNonBlocking = false;
  // A datagram socket has no connection to shut down.
  if (FSocketType != SOCK_DGRAM) shutdown(Handle, SHUT_RDWR);  // fails harmlessly on unconnected sockets
  if (close(Handle) < 0 && errno != EINTR) RaiseSocketError(errno);
}

void TqmSocket::SelectEvents(int AMask) {
  if (FHandle < 0) RaiseSocketError(ENOTSOCK);
  if (!FNonBlocking) {
    int Flags = fcntl(FHandle, F_GETFL);
    if (Flags < 0 || fcntl(FHandle, F_SETFL, Flags | O_NONBLOCK) < 0) RaiseSocketError(errno);
    FNonBlocking = true;
  }
  FSelected = AMask;
  FEnabled = AMask;
}

short TqmSocket::PollEvents() const {
  const int On = FSelected & FEnabled;
  short Events = 0;
  if (On & (neRead | neAccept)) Events |= POLLIN;
  if (On & (neWrite | neConnect)) Events |= POLLOUT;
  // The peer's close is looked for only while reads are enabled: until
  // the data that came before it has been received it is not reported.
  if ((On & neClose) && (!(FSelected & neRead) || (FEnabled & neRead))) Events |= POLLRDHUP;
  return Events;
}

TqmNetworkEvents TqmSocket::EnumEvents(short ARevents) {
  TqmNetworkEvents Result;
  if (!ARevents || FHandle < 0) return Result;
  const int On = FSelected & FEnabled;

  if (On & neConnect) {
    if (ARevents & (POLLOUT | POLLERR | POLLHUP)) {
      int Error = 0;
      // Bytes received prove the connection was made: a peer that sent
      // them and reset at once must not turn the connect into a failure,
      // and its error stays for the read behind those bytes.
      int Available = 0;
      const bool Received = ioctl(FHandle, FIONREAD, &Available) == 0 && Available > 0;
      socklen_t Length = sizeof Error;
      if (!Received && getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &Error, &Length) < 0) Error = errno;
      Result.Events |= neConnect;
      Result.ConnectError = Error;
      FEnabled &= ~neConnect;
    }
    return Result;
  }

  const bool IsStream = FSocketType == SOCK_STREAM;
  // Readable without a hang-up, a connected stream socket holds bytes; only
  // a hang-up or an error needs the count to tell data still to read from
  // the end.
  int Available = (ARevents & POLLIN) ? 1 : 0;
  if (IsStream && (ARevents & (POLLRDHUP | POLLHUP | POLLERR))) {
    if (ARevents & (POLLRDHUP | POLLHUP)) FHungUp = true;
    if (ioctl(FHandle, FIONREAD, &Available) < 0) Available = 0;
  }
  int SoError = 0;
  // Fetching the socket's error clears it. While received bytes wait (a
  // reply the peer sent right before its reset) it stays for recv, which
  // returns those bytes first and the error after them.
  if ((ARevents & POLLERR) && !(IsStream && Available > 0 && (On & neRead))) {
    socklen_t Length = sizeof SoError;
    if (getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &SoError, &Length) < 0) SoError = errno;
  }

  if ((On & neAccept) && (ARevents & POLLIN)) {
    Result.Events |= neAccept;
    Result.AcceptError = SoError;
    FEnabled &= ~neAccept;
  }
  // At the end of the stream the close is reported instead of a read,
  // unless it has been reported already.
  if ((On & neRead) && (ARevents & POLLIN) &&
      (!IsStream || Available > 0 || SoError || !(On & neClose))) {
    Result.Events |= neRead;
    Result.ReadError = SoError;
    FEnabled &= ~neRead;
  }
  if ((On & neWrite) && (ARevents & POLLOUT)) {
    Result.Events |= neWrite;
    Result.WriteError = SoError;
    FEnabled &= ~neWrite;
  }
  // Bytes still to read keep a reset from being reported before them.
  const bool Closed = IsStream && (SoError != 0 || ((ARevents & POLLHUP) && Available == 0) ||
                                   ((ARevents & POLLRDHUP) && Available == 0));
  if ((On & neClose) && Closed) {
    Result.Events |= neClose;
    Result.CloseError = SoError;
    FEnabled &= ~neClose;
  }
  // An error that no selected event carries goes with the read.
  if (SoError && !Result.Events && (FSelected & neRead)) {
    Result.Events |= neRead;
    Result.ReadError = SoError;
    FEnabled &= ~neRead;
  }
  return Result;
}

// ---- TqmConnection ----

TqmConnection::TqmConnection() : FSocket(std::make_unique<TqmSocket>()) {}

TqmConnection::~TqmConnection() { Destroy(); }

void TqmConnection::Destroy() noexcept {
  if (FDestroyed) return;
  FDestroyed = true;
  try {
    Disconnect(false);
    CloseSocket();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
  ReleaseResources();
}

bool TqmConnection::NeedClose() { return FNetworkStream && FNetworkStream->NeedClose(); }

void TqmConnection::ReleaseResources() {
  FNetworkStream.reset();
  FSocket.reset();
}

void TqmConnection::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

void TqmConnection::DoReady() {
  if (OnReady) OnReady(this);
}

void TqmConnection::SetActive(bool AValue) { FActive = AValue; }

void TqmConnection::Disconnect(bool ANotifyPeer) {
  std::exception_ptr Error;
  try {
    CloseStream(ANotifyPeer);
  } catch (...) {
    Error = std::current_exception();
  }
  const bool Pending = FActive && FNetworkStream && FNetworkStream->NextAction() != TqmNetworkStream::naNone;
  // A close notification still waiting to go out keeps the socket, unless
  // the connection was aborted: then nothing will ever send it.
  if (!(ANotifyPeer && Pending && !FIsAborted)) CloseSocket();
  if (Error) std::rethrow_exception(Error);
}

void TqmConnection::CloseStream(bool ANotifyPeer) {
  if (!FActive || !FNetworkStream) return;
  FNetworkStream->Shutdown(ANotifyPeer);
  if (ANotifyPeer) DispatchNextAction();
}

void TqmConnection::DispatchNextAction() {}

void TqmConnection::Abort() { FIsAborted.store(true, std::memory_order_release); }

void TqmConnection::CreateSocket(int AFamily, int AType, int AProtocol) {
  FLostError = 0;
  int Handle = socket(AFamily, AType | SOCK_CLOEXEC, AProtocol);
  if (Handle < 0) RaiseSocketError(errno);
  FSocket->SetHandle(Handle, AFamily, AType);
}

void TqmConnection::CloseSocket() {
  if (!FSocket) return;
  if (FActive && FNetworkStream) FNetworkStream->Disconnected();
  SetActive(false);
  FSocket->Close();
}

void TqmConnection::SetNetworkStream(std::unique_ptr<TqmNetworkStream> AStream) {
  if (AStream && AStream.get() == FNetworkStream.get()) return;
  if (AStream && FNetworkStream) AStream->Assign(*FNetworkStream);
  FNetworkStream = std::move(AStream);
  if (FNetworkStream) FNetworkStream->SetConnection(this);
}

TqmNetworkStream& TqmConnection::NetworkStream() {
  if (!FNetworkStream) RaiseSocketErrorMessage(qmNetworkStreamRequired, qmNetworkStreamRequiredCode);
  return *FNetworkStream;
}

void TqmConnection::InitProgress(int64_t ATotalBytes, int64_t ABytesProceed) {
  FTotalBytes = ATotalBytes;
  FBytesProceed = ABytesProceed;
  if (FNetworkStream) FNetworkStream->ResetProgress();
}

void TqmConnection::UpdateProgress(int64_t ACount) {
  FBytesProceed += ACount;
  DoProgress(FBytesProceed, FTotalBytes);
}

void TqmConnection::WriteString(const std::string& AText, const std::string& ACharset) {
  TMemoryStream Data;
  if (ACharset.empty())
    Data.SetDataString(AText);
  else
    Data.SetBytes(TqmTranslator::GetBytes(AText, ACharset));
  Data.SetPosition(0);
  WriteData(&Data);
}

void TqmConnection::PushPending() {
  if (!FHeldBack) return;
  FHeldBack = false;
  if (!FSocket || !FSocket->IsValid() || FSocket->SocketType() != SOCK_STREAM) return;
  // Clearing the cork sends what MSG_MORE held back (the cork was never set).
  int Off = 0;
  (void)setsockopt(FSocket->Handle(), IPPROTO_TCP, TCP_CORK, &Off, sizeof Off);
}

// ---- TqmSyncConnection ----

TqmSyncConnection::TqmSyncConnection() : FStartTick(TqmClock::now()) {
  FAbortEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FAbortEvent < 0) RaiseSocketError(errno);
}

TqmSyncConnection::~TqmSyncConnection() { Destroy(); }

void TqmSyncConnection::ReleaseResources() {
  if (FAbortEvent >= 0) close(FAbortEvent);
  FAbortEvent = -1;
  TqmConnection::ReleaseResources();
}

void TqmSyncConnection::Abort() {
  TqmConnection::Abort();
  if (FAbortEvent >= 0) {
    FAbortSignalled.store(true, std::memory_order_release);
    uint64_t One = 1;
    [[maybe_unused]] ssize_t N = write(FAbortEvent, &One, sizeof One);
  }
}

void TqmSyncConnection::ResetAbort() {
  ClearAborted();
  if (FAbortEvent >= 0 && FAbortSignalled.exchange(false, std::memory_order_acq_rel)) {
    uint64_t Value;
    [[maybe_unused]] ssize_t N = read(FAbortEvent, &Value, sizeof Value);
  }
}

void TqmSyncConnection::SelectNetworkEvents(int AMask) { Socket().SelectEvents(AMask); }

bool TqmSyncConnection::WaitForEvent(int ATimeOutMs) {
  FLastRevents = 0;
  const auto Now = TqmClock::now();
  if (Now >= FDeadline) RaiseTimeout();
  TqmClock::time_point WakeBy = FDeadline;
  if (FLowSpeedOn) {
    const auto Window = milliseconds(FLowSpeedTimeMs);
    if (Now - FWindowStart >= Window) {
      const int64_t Moved = BytesMoved() - FWindowBytes;
      const int64_t Needed = static_cast<int64_t>(FLowSpeedLimit) * FLowSpeedTimeMs / 1000;
      if (Moved < Needed)
        RaiseSocketErrorMessage(Format(qmTransferTooSlow, static_cast<int>(std::min<int64_t>(Needed, INT_MAX)),
                                       FLowSpeedTimeMs),
                                qmTransferTooSlowCode);
      FWindowStart = Now;
      FWindowBytes = BytesMoved();
    }
    WakeBy = std::min(WakeBy, FWindowStart + Window);
  }
  pollfd Event{Socket().Handle(), Socket().PollEvents(), 0};
  bool Result = qm::WaitForEvent(Event, FAbortEvent, FStartTick, !DisableGuiProcessing(), ATimeOutMs, WakeBy);
  if (Result) FLastRevents = Event.revents;
  return Result;
}

void TqmSyncConnection::StartLowSpeedCheck(int ABytesPerSec, int ATimeMs) {
  FLowSpeedOn = ABytesPerSec > 0 && ATimeMs > 0;
  FLowSpeedLimit = ABytesPerSec;
  FLowSpeedTimeMs = ATimeMs;
  FWindowStart = TqmClock::now();
  FWindowBytes = BytesMoved();
}

TqmDeadlineScope::TqmDeadlineScope(TqmSyncConnection& AConnection, int ATimeOutMs)
    : FConnection(AConnection), FSaved(AConnection.Deadline()) {
  if (ATimeOutMs < 0) return;
  const auto Mine = TqmClock::now() + milliseconds(ATimeOutMs);
  if (Mine < FSaved) FConnection.SetDeadline(Mine);
}

TqmNetworkEvents TqmSyncConnection::EnumNetworkEvents() {
  const short Revents = FLastRevents;
  FLastRevents = 0;
  return Socket().EnumEvents(Revents);
}

std::string TqmSyncConnection::ResolveHost(const std::string& AHost) {
  TqmHostResolver6 Resolver(UseIpV6(), this);
  return Resolver.Resolve(AHost);
}

// ---- TqmTcpConnection ----

bool TqmTcpConnection::NeedClose() { return FPeerClosed || TqmConnection::NeedClose(); }

void TqmTcpConnection::SetActive(bool AValue) {
  TqmConnection::SetActive(AValue);
  if (AValue) {
    FPeerClosed = false;
    FUnreadAtLoss.clear();
  }
}

void TqmTcpConnection::KeepUnreadAtLoss() {
  FUnreadAtLoss.clear();
  if (!HasNetworkStream() || !Socket().IsValid()) return;
  // A reply is short; a peer that still streams bytes at us is not waited
  // for (the reads never block: the socket is non-blocking and lost).
  TMemoryStream Data;
  try {
    for (int I = 0; I < 8 && Data.Size() < qmMaxReadPerCall; ++I) {
      const int64_t Before = Data.Size();
      NetworkStream().Read(&Data);
      if (Data.Size() == Before) break;
    }
  } catch (const Exception&) {
    // A broken record or a reset with nothing queued: what came is kept.
  }
  FUnreadAtLoss.assign(reinterpret_cast<const char*>(Data.Memory()), static_cast<size_t>(Data.Size()));
}

void TqmTcpConnection::CheckEventError(int AError) {
  if (!AError) return;
  if (IsConnectionLostError(AError) && HasNetworkStream()) NetworkStream().SetNeedClose(true);
  RaiseSocketError(AError);
}

void TqmTcpConnection::ReadStep(TStream* ADestination) {
  ResetTimeOut();
  try {
    if (NetworkStream().HasReadData()) {
      NetworkStream().SetHasReadData(false);
      NetworkStream().Read(ADestination);
      if (!Active()) NetworkStream().ClearNextAction();
    } else {
      // A read always looks at the socket, also when an earlier write
      // consumed its readiness without receiving (a layered stream may
      // have served that read from its own buffer).
      if (Active()) Socket().Reenable(neRead);
      do {
        if (!Active()) RaiseSocketError(LostError() ? LostError() : ENOTSOCK);
        if (NetworkStream().NeedClose() || NetworkStream().IsStopped()) break;
        if (WaitForEvent(TimeOut())) {
          const TqmNetworkEvents Events = EnumNetworkEvents();
          if (Events.Has(neClose)) {
            CheckEventError(Events.CloseError);
            FPeerClosed = true;
          }
          if (Events.Has(neRead)) {
            CheckEventError(Events.ReadError);
            NetworkStream().Read(ADestination);
            break;
          }
          if (FPeerClosed) {
            // The stream sees the close through its own read (recv gives
            // 0), so that a layered stream in the middle of a handshake or
            // record learns that no more bytes will come.
            NetworkStream().Read(ADestination);
            break;
          }
        }
      } while (!NetworkStream().IsStopped());
    }
  } catch (...) {
    if (NeedClose()) {
      try {
        Disconnect(false);
      } catch (const EqmSocketError&) {
      }
    }
    throw;
  }
  if (NeedClose()) Disconnect(false);
}

bool TqmTcpConnection::ReadData(TStream* ADestination) {
  ReadStep(ADestination);
  for (;;) {
    if (!HasNetworkStream()) return true;
    TqmNetworkStream& Stream = NetworkStream();
    if (!Active() || IsAborted()) {
      // Nothing more can be carried out on a closed or aborted connection.
      Stream.ClearNextAction();
      return true;
    }
    switch (Stream.NextAction()) {
      case TqmNetworkStream::naRead:
        ReadStep(ADestination);
        break;
      case TqmNetworkStream::naWrite:
        WriteData(nullptr);
        break;
      default:
        return true;
    }
  }
}

void TqmTcpConnection::WriteStep(TStream* ASource) {
  ResetTimeOut();
  if (!Active()) RaiseSocketError(LostError() ? LostError() : ENOTSOCK);
  if (NetworkStream().NeedClose()) {
    Disconnect(false);
    return;
  }
  try {
    if (NetworkStream().Write(ASource)) return;
    bool Done = false;
    do {
      if (WaitForEvent(TimeOut())) {
        const TqmNetworkEvents Events = EnumNetworkEvents();
        if (Events.Has(neRead)) {
          CheckEventError(Events.ReadError);
          NetworkStream().SetHasReadData(true);
        }
        if (Events.Has(neWrite)) {
          CheckEventError(Events.WriteError);
          ResetTimeOut();
          Done = NetworkStream().Write(ASource);
        }
        if (Events.Has(neClose)) {
          CheckEventError(Events.CloseError);
          const bool Unsent = !Done;
          if (Unsent) KeepUnreadAtLoss();
          Disconnect(false);
          // The peer closed before it got everything: not a success.
          if (Unsent) RaiseSocketError(EPIPE);
          Done = true;
        }
      }
      if (!Done && HasNetworkStream() && NetworkStream().NeedClose()) {
        Disconnect(false);
        Done = true;
      }
    } while (!Done && !NetworkStream().IsStopped());
  } catch (const EqmSocketError& E) {
    if (HasNetworkStream() && NetworkStream().NeedClose()) {
      if (IsConnectionLostError(E.ErrorCode())) KeepUnreadAtLoss();
      try {
        Disconnect(false);
      } catch (const EqmSocketError&) {
      }
    }
    throw;
  } catch (...) {
    if (HasNetworkStream() && NetworkStream().NeedClose()) {
      try {
        Disconnect(false);
      } catch (const EqmSocketError&) {
      }
    }
    throw;
  }
}

bool TqmTcpConnection::WriteData(TStream* ASource) {
  WriteStep(ASource);
  for (;;) {
    if (!HasNetworkStream()) return true;
    TqmNetworkStream& Stream = NetworkStream();
    if (!Active() || IsAborted()) {
      Stream.ClearNextAction();
      return true;
    }
    switch (Stream.NextAction()) {
      case TqmNetworkStream::naRead:
        ReadData(nullptr);
        break;
      case TqmNetworkStream::naWrite:
        WriteStep(nullptr);
        break;
      default:
        return true;
    }
  }
}

void TqmTcpConnection::DispatchNextAction() {
  if (!HasNetworkStream()) return;
  switch (NetworkStream().NextAction()) {
    case TqmNetworkStream::naRead:
      ReadData(nullptr);
      break;
    case TqmNetworkStream::naWrite:
      WriteData(nullptr);
      break;
    default:
      break;
  }
}

// ---- TqmUdpConnection ----

bool TqmUdpConnection::ReadData(TStream* ADestination) {
  ResetTimeOut();
  std::string Address;
  int Port = 0;
  if (Active() && NetworkStream().HasReadData()) {
    NetworkStream().SetHasReadData(false);
    if (NetworkStream().ReadFrom(ADestination, Address, Port)) return true;
  }
  if (Active()) {
    Socket().Reenable(neRead);
    // A read waits for datagrams only: a writable socket would end the
    // wait at once for nothing.
    Socket().Disable(neWrite);
  }
  do {
    if (!Active()) RaiseSocketError(ENOTSOCK);
    if (NetworkStream().IsStopped()) break;
    if (WaitForEvent(TimeOut())) {
      const TqmNetworkEvents Events = EnumNetworkEvents();
      if (Events.Has(neRead)) {
        if (Events.ReadError) RaiseSocketError(Events.ReadError);
        if (NetworkStream().ReadFrom(ADestination, Address, Port)) break;
      }
    }
  } while (!NetworkStream().IsStopped());
  return true;
}

bool TqmUdpConnection::WriteData(TStream* ASource) {
  ResetTimeOut();
  if (!Active()) RaiseSocketError(ENOTSOCK);
  const std::string Address = PeerIP();
  const int Port = PeerPort();
  if (NetworkStream().WriteTo(ASource, Address, Port)) return true;
  bool Done = false;
  do {
    if (WaitForEvent(TimeOut())) {
      const TqmNetworkEvents Events = EnumNetworkEvents();
      if (Events.Has(neRead)) {
        if (Events.ReadError) RaiseSocketError(Events.ReadError);
        NetworkStream().SetHasReadData(true);
      }
      if (Events.Has(neWrite)) {
        if (Events.WriteError) RaiseSocketError(Events.WriteError);
        ResetTimeOut();
        Done = NetworkStream().WriteTo(ASource, Address, Port);
      }
    }
  } while (!Done && !NetworkStream().IsStopped());
  return true;
}

// ---- TqmTcpClientConnection ----

void TqmTcpClientConnection::Open(const std::string& AIP, int APort) {
  std::unique_ptr<TqmIPAddress> Address = TqmIPAddress::CreateFromText(AIP);
  const int Family = Address->AddressFamily();
  CreateSocket(Family, SOCK_STREAM, IPPROTO_TCP);
  SelectNetworkEvents(neConnect);
  const std::string Binding = Trim(LocalBinding());
  if (!Binding.empty()) {
    std::unique_ptr<TqmIPAddress> Local = TqmIPAddress::CreateBindingAddress(Binding, Family);
    NetworkStream().Bind(*Local, 0);
  }
  if (!NetworkStream().Connect(*Address, APort)) {
    ResetTimeOut();
    const int Limit = ConnectTimeOut() != 0 ? ConnectTimeOut() : TimeOut();
    do {
      if (WaitForEvent(Limit)) {
        const TqmNetworkEvents Events = EnumNetworkEvents();
        if (Events.Has(neConnect)) {
          if (Events.ConnectError) RaiseSocketError(Events.ConnectError);
          break;
        }
      }
    } while (!IsAborted());
  }
  // Checked before selecting the session's events: a handler that closed
  // the client during the wait has already released the socket.
  if (IsAborted()) {
    Disconnect(false);
    return;
  }
  SelectNetworkEvents(neRead | neWrite | neClose);
  SetActive(true);
  // The stream's own start (a proxy's negotiation, a TLS handshake) must
  // end within TimeOut as a whole: a peer that dribbles bytes does not
  // stretch it.
  TqmDeadlineScope Deadline(*this, TimeOut());
  DispatchNextAction();
  if (!Active()) RaiseSocketErrorMessage(qmNotActive, qmNotActiveCode);
  NetworkStream().AfterConnect();
  NetworkStream().OpenClientSession();
}

void TqmTcpClientConnection::StartStream() {
  if (!Active()) RaiseSocketErrorMessage(qmNotActive, qmNotActiveCode);
  TqmDeadlineScope Deadline(*this, TimeOut());
  NetworkStream().InitClientSession();
  if (IsAborted()) {
    Disconnect(false);
    return;
  }
  DispatchNextAction();
  NetworkStream().OpenClientSession();
}

// ---- TqmUdpClientConnection ----

void TqmUdpClientConnection::Open(const std::string& AIP, int APort) {
  if (FOpenedFamily == 0 || AIP != FOpenedIP) {
    FOpenedFamily = TqmIPAddress::CreateFromText(AIP)->AddressFamily();
    FOpenedIP = AIP;
  }
  const int Family = FOpenedFamily;
  CreateSocket(Family, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
  // The new socket's port is known after its first send (or bind).
  SetLocalAddress(std::string(), 0);
  const std::string Binding = Trim(LocalBinding());
  if (!Binding.empty()) {
    std::unique_ptr<TqmIPAddress> Local = TqmIPAddress::CreateBindingAddress(Binding, Family);
    NetworkStream().Bind(*Local, 0);
  }
  NetworkStream().SetPeer(AIP, APort);
  SelectNetworkEvents(neRead | neWrite);
  SetActive(true);
  NetworkStream().OpenClientSession();
}

// ---- TqmNetworkStream ----

int TqmNetworkStream::Handle() const {
  if (!FConnection) RaiseSocketErrorMessage(qmNetworkStreamRequired, qmNetworkStreamRequiredCode);
  return FConnection->Socket().Handle();
}

uint8_t* TqmNetworkStream::Buffer(size_t ASize) {
  if (FBuffer.size() < ASize) {
    try {
      FBuffer.resize(ASize);
    } catch (const std::bad_alloc&) {
      RaiseSocketError(ENOMEM);
    }
  }
  return FBuffer.data();
}

int TqmNetworkStream::GetBatchSize() {
  const int Batch = FConnection->BatchSize();
  if (Batch < 1) RaiseSocketErrorMessage(qmInvalidBatchSize, qmInvalidBatchSizeCode);
  const int64_t Limit = FConnection->BytesToProceed();
  if (Limit >= 0 && FBytesProceed <= Limit) {
    const int64_t Rest = Limit - FBytesProceed;
    if (Rest < Batch) return static_cast<int>(Rest);
  }
  return Batch;
}

void TqmNetworkStream::SetConnection(TqmConnection* AConnection) { FConnection = AConnection; }

void TqmNetworkStream::Assign(TqmNetworkStream& AOldStream) {
  FPeerIP = AOldStream.FPeerIP;
  FPeerPort = AOldStream.FPeerPort;
  FLocalIP = AOldStream.FLocalIP;
  FLocalPort = AOldStream.FLocalPort;
  FHasReadData = AOldStream.FHasReadData;
}

bool TqmNetworkStream::Connect(TqmIPAddress& AAddress, int APort) {
  FNeedClose = false;
  ClearNextAction();
  InitClientSession();
  AAddress.SetPort(APort);
  const bool Connected = ::connect(Handle(), AAddress.Address(), AAddress.AddressLength()) == 0;
  if (!Connected && errno != EINPROGRESS && errno != EWOULDBLOCK) RaiseSocketError(errno);
  SetPeer(AAddress.ToString(), APort);
  return Connected;
}

void TqmNetworkStream::AfterConnect() { UpdateLocalAddress(); }

bool TqmNetworkStream::Bind(TqmIPAddress& AAddress, int APort) {
  AAddress.SetPort(APort);
  if (::bind(Handle(), AAddress.Address(), AAddress.AddressLength()) < 0) RaiseSocketError(errno);
  return true;
}

void TqmNetworkStream::BindRange(TqmIPAddress& AAddress, int ALowestPort, int AHighestPort) {
  if (ALowestPort < 1 || AHighestPort < ALowestPort)
    RaiseSocketErrorMessage(qmInvalidPort, qmInvalidPortCode);
  for (int Port = ALowestPort;; ++Port) {
    AAddress.SetPort(Port);
    if (::bind(Handle(), AAddress.Address(), AAddress.AddressLength()) == 0) return;
    const int Error = errno;
    if ((Error != EADDRINUSE && Error != EACCES) || Port >= AHighestPort) RaiseSocketError(Error);
  }
}

void TqmNetworkStream::EnableBroadcast() {
  if (FConnection->Socket().AddressFamily() == AF_INET6)
    RaiseSocketErrorMessage(qmInvalidAddressFamily, qmInvalidAddressFamilyCode);
  int On = 1;
  if (setsockopt(Handle(), SOL_SOCKET, SO_BROADCAST, &On, sizeof On) < 0) RaiseSocketError(errno);
}

void TqmNetworkStream::Listen() {
  FNeedClose = false;
  ClearNextAction();
  const int H = Handle();
  const int Flags = fcntl(H, F_GETFL);
  if (Flags < 0 || fcntl(H, F_SETFL, Flags | O_NONBLOCK) < 0) RaiseSocketError(errno);
  if (::listen(H, 1) < 0) RaiseSocketError(errno);
  sockaddr_storage Local;
  socklen_t Length = sizeof Local;
  if (getsockname(H, reinterpret_cast<sockaddr*>(&Local), &Length) < 0) RaiseSocketError(errno);
  FLocalIP = SockAddrToText(reinterpret_cast<sockaddr*>(&Local), &FLocalPort);
  FConnection->SetLocalAddress(FLocalIP, FLocalPort);
}

void TqmNetworkStream::Accept() {
  FNeedClose = false;
  ClearNextAction();
  InitServerSession();
  sockaddr_storage Peer;
  socklen_t Length = sizeof Peer;
  const int Accepted = accept4(Handle(), reinterpret_cast<sockaddr*>(&Peer), &Length, SOCK_CLOEXEC);
  if (Accepted < 0) RaiseSocketError(errno);
  // The accepted socket takes the listening socket's place.
  FConnection->Socket().SetHandle(Accepted, FConnection->Socket().AddressFamily(), SOCK_STREAM);
  int Port = 0;
  std::string Address = SockAddrToText(reinterpret_cast<sockaddr*>(&Peer), &Port);
  SetPeer(Address, Port);
}

void TqmNetworkStream::AfterAccept() { UpdateLocalAddress(); }

void TqmNetworkStream::Shutdown(bool) { ClearNextAction(); }

void TqmNetworkStream::Disconnected() {}

void TqmNetworkStream::OpenClientSession() { FConnection->DoReady(); }

bool TqmNetworkStream::Read(TStream* ADestination) {
  ClearNextAction();
  FClosedByPeer = false;
  if (!ADestination) return true;
  int Received;
  int64_t Taken = 0;
  do {
    const int Size = GetReadBatchSize();
    // The byte limit is reached: a recv of 0 bytes would look like a close.
    if (Size <= 0) return true;
    uint8_t* Data = Buffer(static_cast<size_t>(Size));
    Received = RecvRaw(Data, Size);
    if (Received < 0) {
      const int Error = errno;
      if (Error == EAGAIN || Error == EWOULDBLOCK) return false;
      if (IsConnectionLostError(Error)) FNeedClose = true;
      if (Taken > 0 && FNeedClose) {
        // The bytes that came before the reset go to the caller first; the
        // closed connection reports the reset to the next read.
        FConnection->SetLostError(Error);
        return true;
      }
      RaiseSocketError(Error);
    }
    if (Received > 0) {
      ADestination->WriteBuffer(Data, Received);
      UpdateProgress(Received);
      Taken += Received;
      // A peer that sends as fast as we read would keep this loop going
      // for ever; the caller gets the bytes in pieces it can judge (the
      // socket stays readable, so the next wait returns at once).
      if (Taken >= qmMaxReadPerCall) return true;
      // A stream socket gives all it holds up to the size asked for: a
      // shorter answer has drained it, and the recv that would only say so
      // is saved. What arrives meanwhile is reported by the next wait.
      // After a hang-up the loop goes on, so that the read that brings the
      // last bytes also sees the end.
      const TqmSocket& Socket = FConnection->Socket();
      if (Received < Size && Socket.SocketType() == SOCK_STREAM && !Socket.HungUp()) return false;
    } else {
      FNeedClose = true;
      FClosedByPeer = true;
    }
  } while (Received > 0 && !IsStopped());
  return true;
}

bool TqmNetworkStream::Write(TStream* ASource) {
  if (ASource && ASource->Position() >= ASource->Size()) {
    ClearNextAction();
    return true;
  }
  return WriteRange(ASource, -1);
}

bool TqmNetworkStream::WriteRange(TStream* ASource, int64_t ACount) {
  ClearNextAction();
  if (!ASource || ACount == 0) return true;
  const int64_t Remaining = ASource->Size() - ASource->Position();
  if (Remaining <= 0) return true;
  if (ACount < 0 || ACount > Remaining) ACount = Remaining;
  const int Batch = GetWriteBatchSize();
  if (Batch <= 0) return true;
  // Bytes already in memory go to the socket from where they are; others
  // pass through the stream's buffer. The view is asked for again after
  // each send: handlers that run in throttling pauses may write to the
  // source.
  const bool InMemory = ASource->ReadView().has_value();
  const size_t BufferSize = static_cast<size_t>(Batch);
  uint8_t* Data = InMemory ? nullptr : Buffer(BufferSize);
  while (ACount > 0) {
    const int Size = GetWriteBatchSize();
    if (Size <= 0) break;
    // Handlers run during throttling pauses may change the batch size.
    int Chunk = static_cast<int>(
        std::min<int64_t>({Size, ACount, InMemory ? INT_MAX : static_cast<int64_t>(BufferSize)}));
    const uint8_t* Bytes = Data;
    if (InMemory) {
      const std::span<const uint8_t> View = *ASource->ReadView();
      if (View.empty()) break;
      Chunk = static_cast<int>(std::min<int64_t>(Chunk, static_cast<int64_t>(View.size())));
      Bytes = View.data();
    } else {
      ASource->ReadBuffer(Data, Chunk);
    }
    // More of this range, or a write announced to follow at once: the
    // kernel may hold a partial segment back for it.
    FSendMore = ACount > Chunk || FConnection->MoreToSend();
    const int Sent = SendRaw(Bytes, Chunk);
    FSendMore = false;
    if (Sent < 0) {
      const int Error = errno;
      if (!InMemory) ASource->Seek(-Chunk, TSeekOrigin::soCurrent);
      if (Error == EAGAIN || Error == EWOULDBLOCK) return false;
      if (IsConnectionLostError(Error)) FNeedClose = true;
      RaiseSocketError(Error);
    }
    ASource->Seek(InMemory ? Sent : Sent - Chunk, TSeekOrigin::soCurrent);
    UpdateProgress(Sent);
    ACount -= Sent;
    if (IsStopped()) {
      // Cut short (abort, byte limit): nothing may wait for the rest.
      FConnection->PushPending();
      break;
    }
  }
  return true;
}

bool TqmNetworkStream::ReadFrom(TStream* ADestination, std::string& AAddress, int& APort) {
  ClearNextAction();
  if (!ADestination) return true;
  const int Size = GetReadBatchSize();
  if (Size <= 0) return true;
  uint8_t* Data = Buffer(static_cast<size_t>(Size));
  sockaddr_storage From;
  socklen_t Length = sizeof From;
  // MSG_TRUNC reports the real length: a datagram larger than the batch
  // is an error, not a silently cut one.
  const ssize_t Received =
      recvfrom(Handle(), Data, static_cast<size_t>(Size), MSG_TRUNC, reinterpret_cast<sockaddr*>(&From), &Length);
  const int Error = errno;
  FConnection->Socket().Reenable(neRead);
  Throttle(Size);
  if (Received < 0) {
    if (Error == EAGAIN || Error == EWOULDBLOCK) return false;
    RaiseSocketError(Error);
  }
  if (Received > Size) RaiseSocketError(EMSGSIZE);
  ADestination->WriteBuffer(Data, Received);
  UpdateProgress(Received);
  // A datagram socket keeps its local address once it has a port.
  if (FConnection->LocalPort() == 0) UpdateLocalAddress();
  AAddress = SockAddrToText(reinterpret_cast<sockaddr*>(&From), &APort);
  SetPeer(AAddress, APort);
  return true;
}

bool TqmNetworkStream::WriteTo(TStream* ASource, const std::string& AAddress, int APort) {
  ClearNextAction();
  if (!ASource || ASource->Position() >= ASource->Size()) return true;
  if (!FSendTarget || AAddress != FSendTargetIP) {
    FSendTarget = TqmIPAddress::CreateFromText(AAddress);
    FSendTargetIP = AAddress;
  }
  TqmIPAddress* Target = FSendTarget.get();
  Target->SetPort(APort);
  const int Size = GetWriteBatchSize();
  if (Size <= 0) return true;
  const int Chunk = static_cast<int>(std::min<int64_t>(Size, ASource->Size() - ASource->Position()));
  uint8_t* Data = Buffer(static_cast<size_t>(Chunk));
  ASource->ReadBuffer(Data, Chunk);
  const ssize_t Sent = sendto(Handle(), Data, static_cast<size_t>(Chunk), MSG_NOSIGNAL, Target->Address(),
                              static_cast<socklen_t>(Target->AddressLength()));
  const int Error = errno;
  if (Sent < 0 && (Error == EAGAIN || Error == EWOULDBLOCK)) FConnection->Socket().Reenable(neWrite);
  Throttle(Chunk);
  if (Sent < 0) {
    ASource->Seek(-Chunk, TSeekOrigin::soCurrent);
    if (Error == EAGAIN || Error == EWOULDBLOCK) return false;
    RaiseSocketError(Error);
  }
  if (Sent < Chunk) ASource->Seek(Sent - Chunk, TSeekOrigin::soCurrent);
  UpdateProgress(Sent);
  if (FConnection->LocalPort() == 0) UpdateLocalAddress();
  SetPeer(AAddress, APort);
  return true;
}

int TqmNetworkStream::RecvRaw(void* ABuffer, int ASize) {
  const ssize_t Received = recv(Handle(), ABuffer, static_cast<size_t>(ASize), 0);
  const int Error = errno;
  if (Received > 0) FConnection->AddBytesMoved(Received);
  FConnection->Socket().Reenable(neRead);
  Throttle(ASize);
  errno = Error;
  return static_cast<int>(Received);
}

int TqmNetworkStream::SendRaw(const void* ABuffer, int ASize) {
  // MSG_NOSIGNAL: a peer that is gone must give EPIPE, not end the process.
  const ssize_t Sent =
      send(Handle(), ABuffer, static_cast<size_t>(ASize), MSG_NOSIGNAL | (FSendMore ? MSG_MORE : 0));
  const int Error = errno;
  if (Sent < 0 && (Error == EAGAIN || Error == EWOULDBLOCK)) FConnection->Socket().Reenable(neWrite);
  if (Sent > 0) {
    FConnection->SetHeldBack(FSendMore);
    FConnection->AddBytesMoved(Sent);
  }
  Throttle(ASize);
  errno = Error;
  return static_cast<int>(Sent);
}

int TqmNetworkStream::GetReadBatchSize() { return GetBatchSize(); }

int TqmNetworkStream::GetWriteBatchSize() { return GetBatchSize(); }

bool TqmNetworkStream::IsLimitReached() {
  const int64_t Limit = FConnection->BytesToProceed();
  return Limit >= 0 && FBytesProceed >= Limit;
}

void TqmNetworkStream::ResetProgress() { FBytesProceed = 0; }

void TqmNetworkStream::UpdateProgress(int64_t ACount) {
  FBytesProceed += ACount;
  FConnection->UpdateProgress(ACount);
}

void TqmNetworkStream::InitClientSession() {}

void TqmNetworkStream::InitServerSession() {}

bool TqmNetworkStream::IsStopped() { return FConnection->IsAborted() || IsLimitReached(); }

void TqmNetworkStream::SetPeer(const std::string& AIP, int APort) {
  FPeerIP = AIP;
  FPeerPort = APort;
  if (FConnection) FConnection->SetPeerAddress(AIP, APort);
}

void TqmNetworkStream::UpdateLocalAddress() {
  if (!FConnection || !FConnection->Active()) return;
  sockaddr_storage Local;
  socklen_t Length = sizeof Local;
  if (getsockname(Handle(), reinterpret_cast<sockaddr*>(&Local), &Length) < 0) RaiseSocketError(errno);
  FLocalIP = SockAddrToText(reinterpret_cast<sockaddr*>(&Local), &FLocalPort);
  FConnection->SetLocalAddress(FLocalIP, FLocalPort);
}

void TqmNetworkStream::Throttle(int64_t ARequested) {
  if (!FConnection) return;
  const int Pause = ThrottlePauseMs(ARequested, FConnection->BitsPerSec());
  if (Pause <= 0) return;
  const int Saved = errno;
  ThrottlePause(Pause, !FConnection->DisableGuiProcessing());
  errno = Saved;
}

// ---- host resolution ----

TqmAddrInfoPtr TqmHostResolver::Lookup(const std::string& AHost, int AFamily) {
  if (FConnection && FConnection->IsAborted()) return nullptr;
  auto State = std::make_shared<TLookupState>();
  State->EventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (State->EventFd < 0) RaiseSocketError(errno);
  try {
    std::thread([State, Host = AHost, AFamily] {
      addrinfo Hints;
      std::memset(&Hints, 0, sizeof Hints);
      Hints.ai_family = AFamily;
      // One entry per address rather than one per socket type.
      Hints.ai_socktype = SOCK_STREAM;
      addrinfo* List = nullptr;
      errno = 0;
      const int Result = getaddrinfo(Host.c_str(), nullptr, &Hints, &List);
      const int Error = errno;
      std::lock_guard<std::mutex> Guard(State->Lock);
      State->Result = Result;
      State->Errno = Error;
      State->List.reset(Result == 0 ? List : nullptr);
      State->Done = true;
      uint64_t One = 1;
      [[maybe_unused]] ssize_t N = write(State->EventFd, &One, sizeof One);
    }).detach();
  } catch (const std::system_error& E) {
    RaiseSocketError(E.code().value() > 0 ? E.code().value() : EAGAIN);
  }

  const int AbortFd = FConnection ? FConnection->AbortHandle() : -1;
  const bool Gui = FConnection ? !FConnection->DisableGuiProcessing() : true;
  for (;;) {
    if (FConnection && FConnection->IsAborted()) return nullptr;
    {
      std::lock_guard<std::mutex> Guard(State->Lock);
      if (State->Done) {
        if (State->Result != 0) RaiseResolverError(State->Result, State->Errno);
        return std::move(State->List);
      }
    }
    pollfd Event{State->EventFd, POLLIN, 0};
    // A fixed 5000 ms for every wait; the clock restarts with each.
    WaitForEvent(Event, AbortFd, TqmClock::now(), Gui, 5000);
  }
}

std::string TqmHostResolver4::Resolve(const std::string& AHost) {
  if (TqmIPAddress::IsHostAddress(AHost)) return AHost;
  const TqmAddrInfoPtr List = Lookup(AHost, AF_INET);
  return List ? SockAddrToText(List->ai_addr) : std::string();
}

void TqmHostResolver4::ResolveAll(const std::string& AHost, TStrings& AList) {
  AList.Clear();
  const TqmAddrInfoPtr List = Lookup(AHost, AF_INET);
  for (addrinfo* P = List.get(); P; P = P->ai_next)
    if (P->ai_family == AF_INET) AList.Add(SockAddrToText(P->ai_addr));
}

std::string TqmHostResolver6::Resolve(const std::string& AHost) {
  if (TqmIPAddress::IsHostAddress(AHost)) return AHost;
  const TqmAddrInfoPtr List = Lookup(AHost, AF_UNSPEC);
  if (!List) return std::string();
  const int Preferred = FUseIpV6 ? AF_INET6 : AF_INET;
  for (addrinfo* P = List.get(); P; P = P->ai_next)
    if (P->ai_family == Preferred) return SockAddrToText(P->ai_addr);
  if (List->ai_family == AF_INET || List->ai_family == AF_INET6) return SockAddrToText(List->ai_addr);
  return std::string();
}

void TqmHostResolver6::ResolveAll(const std::string& AHost, TStrings& AList) {
  AList.Clear();
  const TqmAddrInfoPtr List = Lookup(AHost, AF_UNSPEC);
  for (addrinfo* P = List.get(); P; P = P->ai_next)
    if (P->ai_family == AF_INET || P->ai_family == AF_INET6) AList.Add(SockAddrToText(P->ai_addr));
}

std::string ResolveHost(const std::string& AHost, bool AUseIpV6) {
  if (IsIpV6Available()) {
    TqmHostResolver6 Resolver(AUseIpV6);
    return Resolver.Resolve(AHost);
  }
  TqmHostResolver4 Resolver;
  return Resolver.Resolve(AHost);
}

std::string GetLocalHostName() {
  char Name[256];
  if (gethostname(Name, sizeof Name) != 0) return std::string();
  Name[sizeof Name - 1] = '\0';
  return Name;
}

}  // namespace qm
