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

using TqmUdpPacketEvent = std::function<void(TObject* Sender, TStream* AData)>;

class TqmUdpClient : public TComponent {
 public:
  explicit TqmUdpClient(TComponent* AOwner = nullptr);
  // A descendant that overrides CleanUp calls it in its own destructor.
  ~TqmUdpClient() override;

  // ---- overridable operations (slot order) ----
  virtual void Connect(const std::string& AServer, int APort);
  virtual void CleanUp();
  virtual int GetDefaultPort();
  virtual void Changed();
  virtual void DoSendPacket(TStream* AData);
  virtual void DoReceivePacket(TStream* AData);

  // Resolves Server and opens a datagram socket with it as the peer.
  void Open();
  void Close();
  bool Active() const { return FConnection->Active(); }
  // Sends one datagram of at most DatagramSize bytes from AData's position.
  void SendPacket(TStream* AData);
  // Waits up to TimeOut for one datagram and appends it to AData.
  void ReceivePacket(TStream* AData);

  TqmUdpClientConnection* Connection() { return FConnection.get(); }

  // ---- properties ----
  const std::string& Server() const { return FServer; }
  void SetServer(const std::string& AValue);
  int Port();
  void SetPort(int AValue);
  int DatagramSize() const { return FConnection->BatchSize(); }
  void SetDatagramSize(int AValue);
  int TimeOut() const { return FConnection->TimeOut(); }
  void SetTimeOut(int AValue);
  int BitsPerSec() const { return FConnection->BitsPerSec(); }
  void SetBitsPerSec(int AValue);
  bool UseIpV6() const { return FConnection->UseIpV6(); }
  void SetUseIpV6(bool AValue);
  const std::string& LocalBinding() const { return FConnection->LocalBinding(); }
  void SetLocalBinding(const std::string& AValue);
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);
  bool DisableGuiProcessing() const { return FConnection->DisableGuiProcessing(); }
  void SetDisableGuiProcessing(bool AValue);

  TNotifyEvent OnChanged;
  TqmUdpPacketEvent OnSendPacket;
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
