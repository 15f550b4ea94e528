// The UDP client component: one datagram out, datagrams back, with the
// transport's time-out, throttling and GUI-processing rules.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/qmComponent.h"
#include "core/qmStream.h"
#include "core/qmTypes.h"
#include "net/qmSocket.h"

namespace qm {

/// OnSendPacket, OnReceivePacket: the datagram's stream.
using TqmUdpPacketEvent = std::function<void(TObject* Sender, TStream* AData)>;

/// A UDP client: Open, then SendPacket and ReceivePacket, one datagram
/// each. Errors and time-outs raise EqmSocketError.
class TqmUdpClient : public TComponent {
 public:
  /// Datagrams of up to 8192 bytes, 5000 ms time-out, IPv4.
  explicit TqmUdpClient(TComponent* AOwner = nullptr);
  /// A descendant that overrides CleanUp calls it in its own destructor.
  ~TqmUdpClient() override;

  // ---- overridable operations (slot order) ----
  /// Resolves AServer (an address needs no lookup) and opens the socket.
  virtual void Connect(const std::string& AServer, int APort);
  /// Frees the session's state after a close (nothing here).
  virtual void CleanUp();
  /// The port used while none is set (0 here).
  virtual int GetDefaultPort();
  /// Calls OnChanged unless loading.
  virtual void Changed();
  /// Calls OnSendPacket.
  virtual void DoSendPacket(TStream* AData);
  /// Calls OnReceivePacket.
  virtual void DoReceivePacket(TStream* AData);

  /// Resolves Server and opens a datagram socket with it as the peer.
  void Open();
  /// Closes the socket.
  void Close();
  /// True while open.
  bool Active() const { return FConnection->Active(); }
  /// Sends one datagram of at most DatagramSize bytes from AData's position.
  void SendPacket(TStream* AData);
  /// Waits up to TimeOut for one datagram and appends it to AData.
  void ReceivePacket(TStream* AData);

  /// The connection (owned by the client).
  TqmUdpClientConnection* Connection() { return FConnection.get(); }

  // ---- properties ----
  /// The peer's host name or address.
  const std::string& Server() const { return FServer; }
  /// Sets Server.
  void SetServer(const std::string& AValue);
  /// The peer's port: GetDefaultPort() until one is set.
  int Port();
  /// Sets Port.
  void SetPort(int AValue);
  /// The largest datagram sent or received, in bytes (8192).
  int DatagramSize() const { return FConnection->BatchSize(); }
  /// Sets DatagramSize.
  void SetDatagramSize(int AValue);
  /// How long ReceivePacket waits, in milliseconds (5000).
  int TimeOut() const { return FConnection->TimeOut(); }
  /// Sets TimeOut.
  void SetTimeOut(int AValue);
  /// A bandwidth limit, in bits per second (0: none).
  int BitsPerSec() const { return FConnection->BitsPerSec(); }
  /// Sets BitsPerSec.
  void SetBitsPerSec(int AValue);
  /// Prefer IPv6 when Server has both kinds of address (false).
  bool UseIpV6() const { return FConnection->UseIpV6(); }
  /// Sets UseIpV6.
  void SetUseIpV6(bool AValue);
  /// The local address to send from (empty: any).
  const std::string& LocalBinding() const { return FConnection->LocalBinding(); }
  /// Sets LocalBinding.
  void SetLocalBinding(const std::string& AValue);
  /// Kept as a setting; packets are sent and received as bytes.
  const std::string& CharSet() const { return FCharSet; }
  /// Sets CharSet.
  void SetCharSet(const std::string& AValue);
  /// Do not dispatch the thread's message queue while waiting (false).
  bool DisableGuiProcessing() const { return FConnection->DisableGuiProcessing(); }
  /// Sets DisableGuiProcessing.
  void SetDisableGuiProcessing(bool AValue);

  /// Called when a property changes.
  TNotifyEvent OnChanged;
  /// Called after each datagram sent.
  TqmUdpPacketEvent OnSendPacket;
  /// Called after each datagram received.
  TqmUdpPacketEvent OnReceivePacket;

 private:
  std::unique_ptr<TqmUdpClientConnection> FConnection;
  std::string FServer;
  std::optional<int> FPort;
  std::string FCharSet;
  // The last Server that was an address rather than a host name.
  std::string FAddressServer;
};

}  // namespace qm
