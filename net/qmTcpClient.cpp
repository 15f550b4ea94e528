#include "net/qmTcpClient.h"

#include <cerrno>

#include "net/qmSocks.h"

namespace qm {

const char* const qmUnsupportedFirewallType = "Unsupported firewall type";

TqmTcpClient::TqmTcpClient(TComponent* AOwner)
    : TComponent(AOwner), FFirewallSettings(std::make_unique<TqmFirewallSettings>()) {
  FConnection = std::make_unique<TqmTcpClientConnection>();
  FConnection->SetNetworkStream(std::make_unique<TqmNetworkStream>());
  FConnection->SetBatchSize(8192);
  FConnection->SetTimeOut(60000);
  FConnection->SetUseIpV6(false);
  FConnection->SetBitsPerSec(0);
}

TqmTcpClient::~TqmTcpClient() {
  CloseForDestruction();
  try {
    CleanUp();
  } catch (...) {
  }
  StopKeepAlive();
}

// ---- overridable operations ----

int TqmTcpClient::GetBatchSize() { return Connection()->BatchSize(); }

void TqmTcpClient::SetBatchSize(int AValue) {
  if (Connection()->BatchSize() == AValue) return;
  Connection()->SetBatchSize(AValue);
  Changed();
}

std::unique_ptr<TqmNetworkStream> TqmTcpClient::CreateNetworkStream() {
  return std::make_unique<TqmNetworkStream>();
}

TqmTcpClientConnection* TqmTcpClient::Connection() {
  if (FProxy) return FProxy->Connection();
  if (!FConnection) FConnection = std::make_unique<TqmTcpClientConnection>();
  return FConnection.get();
}

TqmTcpProxy* TqmTcpClient::GetProxy() { return FProxy; }

int TqmTcpClient::GetDefaultPort() { return 0; }

std::unique_ptr<TqmNetworkStream> TqmTcpClient::CreateFirewallStream(std::unique_ptr<TqmNetworkStream> ABaseStream,
                                                                     const std::string& ATargetServer,
                                                                     int ATargetPort) {
  std::unique_ptr<TqmSocksNetworkStream> Stream;
  switch (FFirewallSettings->FirewallType()) {
    case TqmFirewallType::ftSocks4:
      Stream = std::make_unique<TqmSocks4NetworkStream>(std::move(ABaseStream));
      break;
    case TqmFirewallType::ftSocks4a:
      Stream = std::make_unique<TqmSocks4aNetworkStream>(std::move(ABaseStream));
      break;
    case TqmFirewallType::ftSocks5:
      Stream = std::make_unique<TqmSocks5NetworkStream>(std::move(ABaseStream));
      break;
    default:
      throw EqmTcpClientError(qmUnsupportedFirewallType, qmUnsupportedFirewallTypeCode);
  }
  Stream->SetTargetPort(ATargetPort);
  Stream->SetUserName(FFirewallSettings->UserName());
  Stream->SetPassword(FFirewallSettings->Password());
  Stream->SetTargetServer(ATargetServer);
  return Stream;
}

void TqmTcpClient::Connect(const std::string& AServer, int APort) {
  TqmTcpClientConnection* Conn = Connection();
  if (FProxy) {
    FProxy->ConnectTarget(AServer, APort);
    Conn = Connection();
    Conn->SetNetworkStream(CreateNetworkStream());
    Conn->StartStream();
    return;
  }

  Conn->SetNetworkStream(nullptr);
  std::unique_ptr<TqmNetworkStream> Stream = CreateNetworkStream();

  if (!FFirewallSettings->Server().empty()) {
    if (!IsKnownFirewallType(FFirewallSettings->FirewallType()))
      throw EqmTcpClientError(qmUnsupportedFirewallType, qmUnsupportedFirewallTypeCode);
    std::string Target = AServer;
    if (!FFirewallSettings->NeedResolveIP()) {
      Target = Conn->ResolveHost(AServer);
      if (Conn->IsAborted()) return;
    }
    Conn->SetNetworkStream(CreateFirewallStream(std::move(Stream), Target, APort));
    const std::string FirewallIP = Conn->ResolveHost(FFirewallSettings->Server());
    if (Conn->IsAborted()) return;
    Conn->Open(FirewallIP, FFirewallSettings->Port());
    return;
  }

  Conn->SetNetworkStream(std::move(Stream));
  const std::string IP = Conn->ResolveHost(AServer);
  if (Conn->IsAborted()) return;
  Conn->Open(IP, APort);
}

void TqmTcpClient::InternalOpen() {
  if (BatchSize() < 1) RaiseSocketErrorMessage(qmInvalidBatchSize, qmInvalidBatchSizeCode);
  Connect(FServer, Port());
}

void TqmTcpClient::InternalClose(bool ANotifyPeer) {
  TqmTcpClientConnection* Conn = Connection();
  Conn->Abort();
  Conn->Disconnect(ANotifyPeer);
}

void TqmTcpClient::CleanUp() {}

void TqmTcpClient::DoKeepAlive() {}

void TqmTcpClient::Changed() {
  if (IsLoading() || FEventsSilenced) return;
  if (OnChanged) OnChanged(this);
}

void TqmTcpClient::DoOpen() {
  if (OnOpen && !FEventsSilenced) OnOpen(this);
}

void TqmTcpClient::DoClose() {
  if (OnClose && !FEventsSilenced) OnClose(this);
}

// ---- lifecycle ----

void TqmTcpClient::Open() {
  if (Active()) return;
  TqmOperationScope Operation(*this);
  {
    // A new session: the Cancels and the Abort of the last one are
    // forgotten here and nowhere else, together (see FCancels).
    std::lock_guard<std::mutex> Guard(FCancelLock);
    Connection()->ResetAbort();
    Operation.FCancelsAtStart = FCancels.load();
  }
  try {
    InternalOpen();
    // An Abort of the connection during the open ends it quietly; nothing
    // was opened. A Cancel is reported: the caller asked for it and must
    // not go on as if connected.
    if (!Active()) {
      if (Operation.Cancelled()) RaiseSocketError(ECONNABORTED);
      return;
    }
    Operation.End();
    StartKeepAlive();
    DoOpen();
  } catch (...) {
    StopKeepAlive();
    try {
      // Without notifying the peer: no closing command either.
      InternalClose(false);
    } catch (const EqmSocketError&) {
      // The failure of the open is the one to report.
    }
    throw;
  }
}

void TqmTcpClient::Close() {
  TqmOperationScope Operation(*this);
  StopKeepAlive();
  const bool WasActive = Active();
  InternalClose(true);
  if (WasActive) DoClose();
}

bool TqmTcpClient::Active() { return Connection()->Active(); }

void TqmTcpClient::Cancel() {
  std::lock_guard<std::mutex> Guard(FCancelLock);
  FCancels.fetch_add(1);
  Connection()->Abort();
}

void TqmTcpClient::EndCancelled() {
  try {
    Connection()->Disconnect(false);
  } catch (const EqmSocketError&) {
  }
  RaiseSocketError(ECONNABORTED);
}

// ---- operation scope ----

TqmOperationScope::TqmOperationScope(TqmTcpClient& AClient)
    : FClient(AClient), FCancelsAtStart(AClient.FCancels.load()) {
  FClient.FOperations.fetch_add(1, std::memory_order_relaxed);
}

TqmOperationScope::~TqmOperationScope() { FClient.FOperations.fetch_sub(1, std::memory_order_relaxed); }

bool TqmOperationScope::Cancelled() const { return FClient.FCancels.load() != FCancelsAtStart; }

void TqmOperationScope::End() {
  if (Cancelled()) FClient.EndCancelled();
}

void TqmTcpClient::CloseForDestruction() noexcept {
  FEventsSilenced = true;
  try {
    Close();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
}

void TqmTcpClient::CheckActive() {
  if (!Active()) RaiseSocketErrorMessage(qmNotActive, qmNotActiveCode);
}

// ---- keep-alive ----

void TqmTcpClient::StartKeepAlive() {
  std::lock_guard<std::mutex> Guard(FTimerLock);
  if (FKeepAlive <= 0 || FTimerRunning) return;
  FTimerQueue = &TqmMessageQueue::Current();
  FTimerId = FTimerQueue->SetTimer(std::chrono::milliseconds(FKeepAlive), [this] { KeepAliveTick(); });
  FTimerRunning = true;
}

void TqmTcpClient::StopKeepAlive() {
  std::lock_guard<std::mutex> Guard(FTimerLock);
  if (!FTimerRunning) return;
  FTimerQueue->KillTimer(FTimerId);
  FTimerRunning = false;
}

void TqmTcpClient::KeepAliveTick() {
  // The timer fires inside the waits of this thread, this client's own
  // included: only an idle client may write, and not over a Cancel that
  // is kept for the next operation. The hook's command (a NOOP) is an
  // operation itself, so the waits inside it do not tick into it again.
  if (InProgress() || Connection()->IsAborted()) return;
  try {
    DoKeepAlive();
  } catch (...) {
    // Errors of the keep-alive hook are not the application's concern.
  }
}

// ---- properties ----

void TqmTcpClient::SetServer(const std::string& AValue) {
  if (FServer == AValue) return;
  FServer = AValue;
  Changed();
}

int TqmTcpClient::Port() { return FPort ? *FPort : GetDefaultPort(); }

void TqmTcpClient::SetPort(int AValue) {
  if (Port() == AValue) return;
  FPort = AValue;
  Changed();
}

std::string TqmTcpClient::LocalBinding() { return Connection()->LocalBinding(); }

void TqmTcpClient::SetLocalBinding(const std::string& AValue) {
  if (Connection()->LocalBinding() == AValue) return;
  Connection()->SetLocalBinding(AValue);
  Changed();
}

int TqmTcpClient::TimeOut() { return Connection()->TimeOut(); }

void TqmTcpClient::SetTimeOut(int AValue) {
  if (Connection()->TimeOut() == AValue) return;
  Connection()->SetTimeOut(AValue);
  Changed();
}

int TqmTcpClient::BitsPerSec() { return Connection()->BitsPerSec(); }

void TqmTcpClient::SetBitsPerSec(int AValue) {
  if (Connection()->BitsPerSec() == AValue) return;
  Connection()->SetBitsPerSec(AValue);
  Changed();
}

bool TqmTcpClient::UseIpV6() { return Connection()->UseIpV6(); }

void TqmTcpClient::SetUseIpV6(bool AValue) {
  if (Connection()->UseIpV6() == AValue) return;
  Connection()->SetUseIpV6(AValue);
  Changed();
}

void TqmTcpClient::SetKeepAlive(int AValue) {
  if (FKeepAlive == AValue) return;
  FKeepAlive = AValue;
  Changed();
}

void TqmTcpClient::SetProxy(TqmTcpProxy* AValue) {
  if (FProxy == AValue) return;
  if (FProxy) FProxy->RemoveFreeNotification(this);
  FProxy = AValue;
  if (FProxy) FProxy->FreeNotification(this);
}

int TqmTcpClient::ConnectTimeOut() { return Connection()->ConnectTimeOut(); }

void TqmTcpClient::SetConnectTimeOut(int AValue) {
  if (Connection()->ConnectTimeOut() == AValue) return;
  Connection()->SetConnectTimeOut(AValue);
  Changed();
}

bool TqmTcpClient::DisableGuiProcessing() { return Connection()->DisableGuiProcessing(); }

void TqmTcpClient::SetDisableGuiProcessing(bool AValue) {
  if (Connection()->DisableGuiProcessing() == AValue) return;
  Connection()->SetDisableGuiProcessing(AValue);
  Changed();
}

void TqmTcpClient::Notification(TComponent* AComponent, TOperation AOperation) {
  TComponent::Notification(AComponent, AOperation);
  if (AOperation == TOperation::opRemove && AComponent == FProxy) FProxy = nullptr;
}

}  // namespace qm
