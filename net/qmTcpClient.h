// The TCP client component: connection settings as properties, one reused
// connection, the open/close lifecycle with the hooks protocol clients
// override, the SOCKS firewall and proxy routes, and a keep-alive timer on
// the thread's message queue.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/qmComponent.h"
#include "core/qmMessageQueue.h"
#include "core/qmTypes.h"
#include "net/qmFirewallUtils.h"
#include "net/qmSocket.h"
#include "net/qmSocketError.h"

namespace qm {

/// A protocol failure of a client: a command the server refused (ErrorCode
/// the reply code: POP3 20 for "-ERR", SMTP the three-digit code; Message
/// the reply), or a condition the client detected (negative codes, such as
/// qmUnexpectedReplyCode).
class EqmTcpClientError : public EqmSocketError {
 public:
  using EqmSocketError::EqmSocketError;
};

constexpr int qmUnsupportedFirewallTypeCode = -101;
extern const char* const qmUnsupportedFirewallType;  // "Unsupported firewall type"

class TqmTcpProxy;

class TqmTcpClient : public TComponent {
 public:
  explicit TqmTcpClient(TComponent* AOwner = nullptr);
  // Closes and cleans up. A descendant that overrides InternalClose or
  // CleanUp calls Close() and its CleanUp() in its own destructor, where
  // its overrides still apply.
  ~TqmTcpClient() override;

  // ---- overridable operations (slot order) ----
  virtual int GetBatchSize();
  virtual void SetBatchSize(int AValue);
  // The session's stream: a plain stream here, TLS in descendants.
  virtual std::unique_ptr<TqmNetworkStream> CreateNetworkStream();
  // The proxy's connection when Proxy is set, else the own one.
  virtual TqmTcpClientConnection* Connection();
  virtual TqmTcpProxy* GetProxy();
  virtual int GetDefaultPort();
  virtual void Connect(const std::string& AServer, int APort);
  virtual void InternalOpen();
  virtual void InternalClose(bool ANotifyPeer);
  virtual void CleanUp();
  virtual void DoKeepAlive();
  // Notifications.
  virtual void Changed();
  virtual void DoOpen();
  virtual void DoClose();

  // ---- lifecycle ----
  /// Connects to Server:Port and runs the protocol's opening (greeting,
  /// TLS, login); nothing when already active. Raises EqmSocketError when
  /// the connection cannot be made or times out, EqmSSPIError when TLS
  /// fails, EqmTcpClientError when the server refuses; the connection is
  /// then closed.
  void Open();
  /// Runs the protocol's closing command (a failure is ignored) and
  /// disconnects; nothing when not active.
  void Close();
  /// Whether the connection is open.
  bool Active();
  /// Raises "The connection to the server is not active" (-6).
  void CheckActive();
  /// Whether an operation (a command, a transfer) is running.
  bool InProgress() const { return FInProgress; }
  // Ends the operation in progress (Open, a command, a transfer) promptly:
  // it raises EqmSocketError ECONNABORTED ("Software caused connection
  // abort") and the connection is closed without a closing command. Safe
  // to call from any thread (another thread, a timer, a GUI handler) while
  // the client lives; it only sets flags and signals the connection's
  // abort event. A Cancel while nothing runs ends the next operation on
  // the open connection; Open always starts afresh.
  void Cancel();

  // ---- properties ----
  /// The server's host name or IP address.
  const std::string& Server() const { return FServer; }
  void SetServer(const std::string& AValue);
  /// The server's port: GetDefaultPort() (POP3 110, SMTP 25) until a port
  /// is set.
  int Port();
  void SetPort(int AValue);
  std::string LocalBinding();
  void SetLocalBinding(const std::string& AValue);
  int BatchSize() { return GetBatchSize(); }
  /// The time-out in milliseconds (not seconds; default 60000) for the
  /// connection and for every reply; a time-out closes the connection and
  /// raises EqmSocketError (qmTimeoutErrorCode).
  int TimeOut();
  void SetTimeOut(int AValue);
  /// A speed limit in bits per second for throttled transfers (default 0:
  /// none).
  int BitsPerSec();
  void SetBitsPerSec(int AValue);
  /// Whether the host name is resolved to an IPv6 address (default false:
  /// IPv4).
  bool UseIpV6();
  void SetUseIpV6(bool AValue);
  /// The interval in milliseconds at which an idle open session sends a
  /// keep-alive command (NOOP); 0 (default): none.
  int KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(int AValue);
  TqmFirewallSettings& FirewallSettings() { return *FFirewallSettings; }
  // Copies the values; raises no OnChanged.
  void SetFirewallSettings(const TqmFirewallSettings& AValue) { FFirewallSettings->Assign(AValue); }
  TqmTcpProxy* Proxy() { return GetProxy(); }
  void SetProxy(TqmTcpProxy* AValue);
  /// The time-out in milliseconds for making the connection; 0 (default):
  /// TimeOut.
  int ConnectTimeOut();
  void SetConnectTimeOut(int AValue);
  bool DisableGuiProcessing();
  void SetDisableGuiProcessing(bool AValue);

  TNotifyEvent OnChanged;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;

 protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  void SetInProgress(bool AValue) { FInProgress = AValue; }
  // The closing of destruction: the owner's handlers may be gone, so the
  // session ends without raising any event (the closing command is still
  // sent). Every destructor that closes calls this instead of Close.
  void CloseForDestruction() noexcept;
  // True while events must not be raised (see CloseForDestruction).
  bool EventsSilenced() const { return FEventsSilenced; }
  void StartKeepAlive();
  void StopKeepAlive();
  // The stream that carries a session through the firewall of
  // FirewallSettings to ATargetServer:ATargetPort, wrapping ABaseStream.
  std::unique_ptr<TqmNetworkStream> CreateFirewallStream(std::unique_ptr<TqmNetworkStream> ABaseStream,
                                                         const std::string& ATargetServer, int ATargetPort);

 private:
  void KeepAliveTick();

  std::unique_ptr<TqmTcpClientConnection> FConnection;
  std::string FServer;
  std::optional<int> FPort;
  bool FInProgress = false;
  std::unique_ptr<TqmFirewallSettings> FFirewallSettings;
  int FKeepAlive = 0;
  std::mutex FTimerLock;
  TqmMessageQueue* FTimerQueue = nullptr;
  TqmMessageQueue::TTimerId FTimerId = 0;
  bool FTimerRunning = false;
  unsigned FCloseCount = 0;
  std::atomic<bool> FCancelled{false};
  bool FEventsSilenced = false;
  TqmTcpProxy* FProxy = nullptr;
};

// A component that routes a client's connection: after ConnectTarget its
// own connection is active and carries bytes to the target.
class TqmTcpProxy : public TqmTcpClient {
 public:
  using TqmTcpClient::TqmTcpClient;
  virtual void ConnectTarget(const std::string& AServer, int APort) = 0;
};

}  // namespace qm
