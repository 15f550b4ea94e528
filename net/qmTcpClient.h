// The TCP client component: connection settings as properties, one reused
// connection, the open/close lifecycle with the hooks protocol clients
// override, the operation scope every public operation runs in, Cancel,
// the SOCKS firewall and proxy routes, and a keep-alive timer on the
// thread's message queue.
#pragma once

#include <atomic>
#include <cstdint>
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

/// ErrorCode of the EqmTcpClientError raised by Open for a firewall type
/// that is not known.
constexpr int qmUnsupportedFirewallTypeCode = -101;
extern const char* const qmUnsupportedFirewallType;  ///< Message of qmUnsupportedFirewallTypeCode: "Unsupported firewall type"

class TqmTcpProxy;
class TqmTcpClient;

/// One operation of a client, from its start to its return. Every public
/// operation of the clients enters one; they nest (Send runs MAIL FROM,
/// RCPT TO and DATA, each an operation of its own). While one lives,
/// InProgress() is true, so the keep-alive writes nothing between a
/// command and its reply. End() is called once the work is done: a Cancel
/// that came in meanwhile ends the operation there even when no wait saw
/// it, so a cancelled operation never reports success. Leaving the scope
/// by an exception needs no End().
class TqmOperationScope {
 public:
  /// Enters an operation of AClient, which must outlive the scope.
  explicit TqmOperationScope(TqmTcpClient& AClient);
  /// Leaves the operation.
  ~TqmOperationScope();
  /// Not copyable.
  TqmOperationScope(const TqmOperationScope&) = delete;
  /// Not copyable.
  TqmOperationScope& operator=(const TqmOperationScope&) = delete;
  /// Whether Cancel was called since the operation began.
  bool Cancelled() const;
  /// When Cancelled(): closes the connection without a closing command and
  /// raises EqmSocketError ECONNABORTED.
  void End();

 private:
  friend class TqmTcpClient;
  TqmTcpClient& FClient;
  // The client's count of Cancel calls when the operation began (for
  // Open: when it had forgotten those of the last session).
  uint64_t FCancelsAtStart;
};

/// A TCP client: the connection settings as properties, Open and Close
/// with the hooks protocol clients override, and Cancel. Its one
/// connection is reused by every session. Errors raise EqmSocketError (or
/// a descendant).
class TqmTcpClient : public TComponent {
 public:
  /// A closed client: no port set, 60000 ms time-out, no keep-alive.
  explicit TqmTcpClient(TComponent* AOwner = nullptr);
  /// Closes and cleans up. A descendant that overrides InternalClose or
  /// CleanUp calls Close() and its CleanUp() in its own destructor, where
  /// its overrides still apply.
  ~TqmTcpClient() override;

  // ---- overridable operations (slot order) ----
  /// The connection's batch size (bytes per socket call).
  virtual int GetBatchSize();
  /// Sets it; less than 1 makes Open raise.
  virtual void SetBatchSize(int AValue);
  /// The session's stream: a plain stream here, TLS in descendants.
  virtual std::unique_ptr<TqmNetworkStream> CreateNetworkStream();
  /// The proxy's connection when Proxy is set, else the own one.
  virtual TqmTcpClientConnection* Connection();
  /// The Proxy set, or nullptr.
  virtual TqmTcpProxy* GetProxy();
  /// The port used while none is set (0 here; the protocols' own).
  virtual int GetDefaultPort();
  /// Resolves AServer and connects, through Proxy or the firewall of
  /// FirewallSettings when set. An abort ends it quietly (not Active).
  virtual void Connect(const std::string& AServer, int APort);
  /// Connects to Server and Port; protocol clients add their opening
  /// (greeting, TLS, login).
  virtual void InternalOpen();
  /// Aborts what runs and disconnects; protocol clients send their closing
  /// command first when ANotifyPeer.
  virtual void InternalClose(bool ANotifyPeer);
  /// Frees the session's state after a close (nothing here).
  virtual void CleanUp();
  /// What the keep-alive timer sends when the client is idle (nothing here).
  virtual void DoKeepAlive();
  // Notifications.
  /// Calls OnChanged, unless loading or closing for destruction.
  virtual void Changed();
  /// Calls OnOpen.
  virtual void DoOpen();
  /// Calls OnClose.
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
  /// Whether an operation (a command, a transfer) is running: at least one
  /// TqmOperationScope of this client lives.
  bool InProgress() const { return FOperations.load(std::memory_order_relaxed) > 0; }
  /// Ends the operation in progress (Open, a command, a transfer) promptly:
  /// it raises EqmSocketError ECONNABORTED ("Software caused connection
  /// abort") and the connection is closed without a closing command. Safe
  /// to call from any thread (another thread, a timer, a GUI handler) while
  /// the client lives; it only counts the call and signals the connection's
  /// abort event. The Cancel is kept until an operation has ended by it:
  /// one that had already passed its last check when it came returns
  /// normally, and the next operation on the open connection ends instead
  /// (as after a Cancel while nothing runs). Open always starts afresh: it
  /// forgets the Cancels that came before it.
  void Cancel();

  // ---- properties ----
  /// The server's host name or IP address.
  const std::string& Server() const { return FServer; }
  /// Sets Server (used at the next Open).
  void SetServer(const std::string& AValue);
  /// The server's port: GetDefaultPort() (POP3 110, SMTP 25) until a port
  /// is set.
  int Port();
  /// Sets Port.
  void SetPort(int AValue);
  /// The local address to connect from (empty: any).
  std::string LocalBinding();
  /// Sets LocalBinding.
  void SetLocalBinding(const std::string& AValue);
  /// The most bytes one socket call moves.
  int BatchSize() { return GetBatchSize(); }
  /// The time-out in milliseconds (not seconds; default 60000) for the
  /// connection and for every reply; a time-out closes the connection and
  /// raises EqmSocketError (qmTimeoutErrorCode).
  int TimeOut();
  /// Sets TimeOut.
  void SetTimeOut(int AValue);
  /// A speed limit in bits per second for throttled transfers (default 0:
  /// none).
  int BitsPerSec();
  /// Sets BitsPerSec.
  void SetBitsPerSec(int AValue);
  /// Whether the host name is resolved to an IPv6 address (default false:
  /// IPv4).
  bool UseIpV6();
  /// Sets UseIpV6.
  void SetUseIpV6(bool AValue);
  /// The interval in milliseconds at which an idle open session sends a
  /// keep-alive command (NOOP); 0 (default): none.
  int KeepAlive() const { return FKeepAlive; }
  /// Sets KeepAlive (applies from the next Open).
  void SetKeepAlive(int AValue);
  /// A SOCKS firewall to connect through (Server empty, the default: none).
  TqmFirewallSettings& FirewallSettings() { return *FFirewallSettings; }
  /// Copies the values; raises no OnChanged.
  void SetFirewallSettings(const TqmFirewallSettings& AValue) { FFirewallSettings->Assign(AValue); }
  /// A proxy component whose connection carries the sessions (nullptr: none).
  TqmTcpProxy* Proxy() { return GetProxy(); }
  /// Sets Proxy (not owned; forgotten when it is destroyed).
  void SetProxy(TqmTcpProxy* AValue);
  /// The time-out in milliseconds for making the connection; 0 (default):
  /// TimeOut.
  int ConnectTimeOut();
  /// Sets ConnectTimeOut.
  void SetConnectTimeOut(int AValue);
  /// Do not dispatch the thread's message queue while waiting (false).
  bool DisableGuiProcessing();
  /// Sets DisableGuiProcessing.
  void SetDisableGuiProcessing(bool AValue);

  /// Called when a property changes.
  TNotifyEvent OnChanged;
  /// Called after a successful Open.
  TNotifyEvent OnOpen;
  /// Called after Close closed an active session.
  TNotifyEvent OnClose;

 protected:
  /// Forgets Proxy when it is destroyed.
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  /// Whether the running operation was started inside another one of this
  /// client (a Close from a handler of a transfer, or after a failed TLS
  /// start): a closing command must not go out in the middle of that one.
  bool IsNestedOperation() const { return FOperations.load(std::memory_order_relaxed) > 1; }
  /// The closing of destruction: the owner's handlers may be gone, so the
  /// session ends without raising any event (the closing command is still
  /// sent). Every destructor that closes calls this instead of Close.
  void CloseForDestruction() noexcept;
  /// True while events must not be raised (see CloseForDestruction).
  bool EventsSilenced() const { return FEventsSilenced; }
  /// Starts the keep-alive timer on the thread's queue when KeepAlive is set.
  void StartKeepAlive();
  /// Stops it.
  void StopKeepAlive();
  /// The stream that carries a session through the firewall of
  /// FirewallSettings to ATargetServer:ATargetPort, wrapping ABaseStream.
  std::unique_ptr<TqmNetworkStream> CreateFirewallStream(std::unique_ptr<TqmNetworkStream> ABaseStream,
                                                         const std::string& ATargetServer, int ATargetPort);

 private:
  friend class TqmOperationScope;
  void KeepAliveTick();
  [[noreturn]] void EndCancelled();

  std::unique_ptr<TqmTcpClientConnection> FConnection;
  std::string FServer;
  std::optional<int> FPort;
  // The operation scopes alive (read by the keep-alive and by InProgress
  // from any thread).
  std::atomic<int> FOperations{0};
  std::unique_ptr<TqmFirewallSettings> FFirewallSettings;
  int FKeepAlive = 0;
  std::mutex FTimerLock;
  TqmMessageQueue* FTimerQueue = nullptr;
  TqmMessageQueue::TTimerId FTimerId = 0;
  bool FTimerRunning = false;
  // Cancel calls so far. Cancel counts and aborts the connection under
  // FCancelLock, and Open forgets the last session's abort and takes its
  // starting count under it too, so a Cancel that comes as Open starts
  // is either forgotten whole or kept whole.
  std::atomic<uint64_t> FCancels{0};
  std::mutex FCancelLock;
  bool FEventsSilenced = false;
  TqmTcpProxy* FProxy = nullptr;
};

/// A component that routes a client's connection: after ConnectTarget its
/// own connection is active and carries bytes to the target.
class TqmTcpProxy : public TqmTcpClient {
 public:
  using TqmTcpClient::TqmTcpClient;
  /// Opens the route to AServer and APort; raises when it cannot.
  virtual void ConnectTarget(const std::string& AServer, int APort) = 0;
};

}  // namespace qm
