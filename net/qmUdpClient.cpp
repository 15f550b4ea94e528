#include "net/qmUdpClient.h"

namespace qm {

TqmUdpClient::TqmUdpClient(TComponent* AOwner)
    : TComponent(AOwner), FConnection(std::make_unique<TqmUdpClientConnection>()) {
  FConnection->SetNetworkStream(std::make_unique<TqmNetworkStream>());
  FConnection->SetBatchSize(8192);
  FConnection->SetTimeOut(5000);
  FConnection->SetBitsPerSec(0);
  FConnection->SetUseIpV6(false);
}

TqmUdpClient::~TqmUdpClient() {
  try {
    CleanUp();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
}

void TqmUdpClient::Connect(const std::string& AServer, int APort) {
  FConnection->ResetAbort();
  // A server given as an address needs no lookup; once one has come back
  // unchanged, opening it again skips the resolver (and its parse).
  std::string IP;
  if (!FAddressServer.empty() && AServer == FAddressServer) {
    IP = AServer;
  } else {
    IP = FConnection->ResolveHost(AServer);
    if (FConnection->IsAborted()) return;
    if (IP == AServer) FAddressServer = AServer;
  }
  FConnection->Open(IP, APort);
}

void TqmUdpClient::CleanUp() {}

int TqmUdpClient::GetDefaultPort() { return 0; }

void TqmUdpClient::Changed() {
  if (IsLoading()) return;
  if (OnChanged) OnChanged(this);
}

void TqmUdpClient::DoSendPacket(TStream* AData) {
  if (OnSendPacket) OnSendPacket(this, AData);
}

void TqmUdpClient::DoReceivePacket(TStream* AData) {
  if (OnReceivePacket) OnReceivePacket(this, AData);
}

void TqmUdpClient::Open() { Connect(FServer, Port()); }

void TqmUdpClient::Close() { FConnection->Disconnect(false); }

void TqmUdpClient::SendPacket(TStream* AData) {
  FConnection->WriteData(AData);
  DoSendPacket(AData);
}

void TqmUdpClient::ReceivePacket(TStream* AData) {
  FConnection->ReadData(AData);
  DoReceivePacket(AData);
}

void TqmUdpClient::SetServer(const std::string& AValue) {
  if (FServer == AValue) return;
  FServer = AValue;
  Changed();
}

int TqmUdpClient::Port() { return FPort ? *FPort : GetDefaultPort(); }

void TqmUdpClient::SetPort(int AValue) {
  if (Port() == AValue) return;
  FPort = AValue;
  Changed();
}

void TqmUdpClient::SetDatagramSize(int AValue) {
  if (FConnection->BatchSize() == AValue) return;
  FConnection->SetBatchSize(AValue);
  Changed();
}

void TqmUdpClient::SetTimeOut(int AValue) {
  if (FConnection->TimeOut() == AValue) return;
  FConnection->SetTimeOut(AValue);
  Changed();
}

void TqmUdpClient::SetBitsPerSec(int AValue) {
  if (FConnection->BitsPerSec() == AValue) return;
  FConnection->SetBitsPerSec(AValue);
  Changed();
}

void TqmUdpClient::SetUseIpV6(bool AValue) {
  if (FConnection->UseIpV6() == AValue) return;
  FConnection->SetUseIpV6(AValue);
  Changed();
}

void TqmUdpClient::SetLocalBinding(const std::string& AValue) {
  if (FConnection->LocalBinding() == AValue) return;
  FConnection->SetLocalBinding(AValue);
  Changed();
}

void TqmUdpClient::SetCharSet(const std::string& AValue) {
  if (FCharSet == AValue) return;
  FCharSet = AValue;
  Changed();
}

void TqmUdpClient::SetDisableGuiProcessing(bool AValue) {
  if (FConnection->DisableGuiProcessing() == AValue) return;
  FConnection->SetDisableGuiProcessing(AValue);
  Changed();
}

}  // namespace qm
