#include "net/qmSocks.h"

#include <arpa/inet.h>

#include <cstring>
#include <type_traits>

namespace qm {

namespace {
constexpr uint8_t Socks4Version = 4;
constexpr uint8_t Socks5Version = 5;
constexpr uint8_t CommandConnect = 1;
constexpr uint8_t Socks4Granted = 90;
constexpr uint8_t MethodNone = 0;
constexpr uint8_t MethodUserPassword = 2;
constexpr uint8_t AuthVersion = 1;
constexpr uint8_t AddressIPv4 = 1;
constexpr uint8_t AddressDomain = 3;
constexpr uint8_t AddressIPv6 = 4;

[[noreturn]] void Refuse(const std::string& AMessage, int ACode) {
  throw EqmSocksFirewallError(AMessage, ACode);
}

// A counted field of a SOCKS 5 request: one length byte and the bytes.
void AppendCounted(TqmByteArray& ARequest, const std::string& AValue, const char* AWhat) {
  if (AValue.size() > 255)
    Refuse(std::string("SOCKS error: the ") + AWhat + " is longer than 255 bytes", qmSocksRequestInvalidCode);
  ARequest.push_back(static_cast<uint8_t>(AValue.size()));
  ARequest.insert(ARequest.end(), AValue.begin(), AValue.end());
}

// A zero-terminated field of a SOCKS 4 request.
void AppendTerminated(TqmByteArray& ARequest, const std::string& AValue, const char* AWhat) {
  if (AValue.find('\0') != std::string::npos)
    Refuse(std::string("SOCKS error: the ") + AWhat + " contains a NUL byte", qmSocksRequestInvalidCode);
  ARequest.insert(ARequest.end(), AValue.begin(), AValue.end());
  ARequest.push_back(0);
}
}  // namespace

std::string Socks4ReplyText(int ACode) {
  switch (ACode) {
    case 90: return "Request granted";
    case 91: return "SOCKS error: request rejected or failed";
    case 92: return "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client";
    case 93: return "SOCKS error: request rejected because the client program and identd report different user-ids";
    default: return "Unknown SOCKS error occured";
  }
}

std::string Socks5ReplyText(int ACode) {
  switch (ACode) {
    case 0: return "Succeeded";
    case 1: return "General SOCKS server failure";
    case 2: return "SOCKS error: connection not allowed by ruleset";
    case 3: return "SOCKS error: Network unreachable";
    case 4: return "SOCKS error: Host unreachable";
    case 5: return "SOCKS error: Connection refused";
    case 6: return "SOCKS error: TTL expired";
    case 7: return "SOCKS error: Command not supported";
    case 8: return "SOCKS error: Address type not supported";
    default: return "Unknown SOCKS error occured";
  }
}

// ---- TqmSocksNetworkStream ----

TqmSocksNetworkStream::TqmSocksNetworkStream(std::unique_ptr<TqmNetworkStream> ABaseStream)
    : FBaseStream(std::move(ABaseStream)) {
  if (!FBaseStream) FBaseStream = std::make_unique<TqmNetworkStream>();
  FReply.Clear();
  FSocksState = ssRequest;
  SetNextAction(naWrite);
}

void TqmSocksNetworkStream::TakeOverBaseState() {
  FNextAction = FBaseStream->NextAction();
  FHasReadData = FBaseStream->HasReadData();
  FNeedClose = FBaseStream->NeedClose();
  FClosedByPeer = FBaseStream->ClosedByPeer();
}

template <class F>
auto TqmSocksNetworkStream::Forward(F AOperation) -> decltype(AOperation()) {
  FBaseStream->SetHasReadData(FHasReadData);
  FBaseStream->SetNeedClose(FNeedClose);
  try {
    if constexpr (std::is_void_v<decltype(AOperation())>) {
      AOperation();
      TakeOverBaseState();
    } else {
      auto Result = AOperation();
      TakeOverBaseState();
      return Result;
    }
  } catch (...) {
    TakeOverBaseState();
    throw;
  }
}

void TqmSocksNetworkStream::SetConnection(TqmConnection* AConnection) {
  TqmNetworkStream::SetConnection(AConnection);
  FBaseStream->SetConnection(AConnection);
}

void TqmSocksNetworkStream::Assign(TqmNetworkStream& AOldStream) {
  TqmNetworkStream::Assign(AOldStream);
  if (auto* Old = dynamic_cast<TqmSocksNetworkStream*>(&AOldStream)) {
    FTargetServer = Old->FTargetServer;
    FTargetPort = Old->FTargetPort;
    FUserName = Old->FUserName;
    FPassword = Old->FPassword;
  }
}

bool TqmSocksNetworkStream::Connect(TqmIPAddress& AAddress, int APort) {
  FSocksState = ssRequest;
  FRequest.Clear();
  // The plain connect starts the client session, which asks for the
  // first request to be written.
  return TqmNetworkStream::Connect(AAddress, APort);
}

void TqmSocksNetworkStream::AfterConnect() {
  TqmNetworkStream::AfterConnect();
  FBaseStream->AfterConnect();
}

void TqmSocksNetworkStream::Shutdown(bool ANotifyPeer) {
  ClearNextAction();
  Forward([&] { FBaseStream->Shutdown(ANotifyPeer); });
}

void TqmSocksNetworkStream::OpenClientSession() {
  if (FSocksState == ssConnected) {
    FSocksState = ssEstablished;
    InitClientSession();
  } else if (FSocksState == ssEstablished) {
    Forward([&] { FBaseStream->OpenClientSession(); });
  }
}

void TqmSocksNetworkStream::InitClientSession() {
  if (Established()) {
    ClearNextAction();
    Forward([&] { FBaseStream->InitClientSession(); });
    return;
  }
  FSocksState = ssRequest;
  FReply.Clear();
  FRequest.Clear();
  SetNextAction(naWrite);
}

void TqmSocksNetworkStream::HandshakeDone() {
  FSocksState = ssConnected;
  OpenClientSession();
}

bool TqmSocksNetworkStream::Read(TStream* ADestination) {
  if (Established()) return Forward([&] { return FBaseStream->Read(ADestination); });

  ClearNextAction();
  bool Result = true;
  const int64_t Missing = GetReplyLength() - FReply.Size();
  if (Missing > 0) {
    // Read no byte past the reply: what the target sends next belongs to
    // the wrapped stream.
    ResetProgress();
    FConnection->SetBytesToProceed(Missing);
    try {
      FReply.Seek(0, TSeekOrigin::soEnd);
      Result = TqmNetworkStream::Read(&FReply);
    } catch (...) {
      FConnection->SetBytesToProceed(-1);
      throw;
    }
    FConnection->SetBytesToProceed(-1);
  }
  FHasReadData = Result;

  // The reply length can grow once its first bytes are known (SOCKS 5
  // IPv6 replies), so it is asked again.
  if (FReply.Size() >= GetReplyLength()) {
    TqmByteArray Reply = FReply.Bytes();
    FReply.Clear();
    ProcessReply(Reply);
  } else if (FClosedByPeer) {
    TqmByteArray Partial = FReply.Bytes();
    FReply.Clear();
    ProcessCutReply(Partial);
  } else {
    SetNextAction(naRead);
  }
  return Result;
}

void TqmSocksNetworkStream::ProcessCutReply(const TqmByteArray&) {
  Refuse("SOCKS error: the server closed the connection before its reply was complete", qmSocksReplyCutOffCode);
}

bool TqmSocksNetworkStream::Write(TStream* ASource) {
  if (Established()) return Forward([&] { return FBaseStream->Write(ASource); });
  return WriteRange(ASource, -1);
}

bool TqmSocksNetworkStream::WriteRange(TStream* ASource, int64_t ACount) {
  if (Established()) return Forward([&] { return FBaseStream->WriteRange(ASource, ACount); });

  // The handshake ignores the source: it sends its own request, resuming
  // with the first unsent byte when the socket would block.
  ClearNextAction();
  if (FRequest.Remaining() == 0) {
    FRequest.SetBytes(BuildRequest());
    ResetProgress();
  }
  if (!TqmNetworkStream::WriteRange(&FRequest, -1)) return false;
  FRequest.Clear();
  SetNextAction(naRead);
  return true;
}

int TqmSocksNetworkStream::GetReadBatchSize() {
  return Established() ? FBaseStream->GetReadBatchSize() : TqmNetworkStream::GetReadBatchSize();
}

int TqmSocksNetworkStream::GetWriteBatchSize() {
  return Established() ? FBaseStream->GetWriteBatchSize() : TqmNetworkStream::GetWriteBatchSize();
}

bool TqmSocksNetworkStream::IsLimitReached() {
  return Established() ? FBaseStream->IsLimitReached() : TqmNetworkStream::IsLimitReached();
}

void TqmSocksNetworkStream::ResetProgress() {
  TqmNetworkStream::ResetProgress();
  if (Established()) FBaseStream->ResetProgress();
}

void TqmSocksNetworkStream::UpdateProgress(int64_t ACount) {
  // Handshake bytes count only against the reply's byte limit; the
  // application's progress sees the session's bytes alone.
  if (Established())
    FBaseStream->UpdateProgress(ACount);
  else
    FBytesProceed += ACount;
}

void TqmSocksNetworkStream::AppendPort(TqmByteArray& ARequest, int APort) {
  ARequest.push_back(static_cast<uint8_t>((APort >> 8) & 0xFF));
  ARequest.push_back(static_cast<uint8_t>(APort & 0xFF));
}

bool TqmSocksNetworkStream::ParseIPv4(const std::string& AText, uint8_t AAddress[4]) {
  in_addr Addr{};
  if (inet_pton(AF_INET, AText.c_str(), &Addr) != 1) return false;
  std::memcpy(AAddress, &Addr.s_addr, 4);  // already in network order
  return true;
}

// ---- SOCKS 4 and 4a ----

void TqmSocks4NetworkStream::TargetAddress(uint8_t AAddress[4], std::string& AHostName) {
  AHostName.clear();
  // SOCKS 4 carries only IPv4 addresses, so the lookup prefers them
  // whatever the connection's IPv6 preference.
  TqmHostResolver6 Resolver(false, FConnection);
  const std::string IP = Resolver.Resolve(TargetServer());
  if (FConnection->IsAborted()) {
    std::memset(AAddress, 0, 4);
    return;
  }
  if (!ParseIPv4(IP, AAddress))
    Refuse("SOCKS error: SOCKS 4 cannot reach " + TargetServer() + ", which has no IPv4 address",
           qmSocksRequestInvalidCode);
}

void TqmSocks4aNetworkStream::TargetAddress(uint8_t AAddress[4], std::string& AHostName) {
  AHostName.clear();
  if (ParseIPv4(TargetServer(), AAddress)) return;
  // 0.0.0.1 tells the proxy to resolve the name that follows the user id.
  AAddress[0] = AAddress[1] = AAddress[2] = 0;
  AAddress[3] = 1;
  AHostName = TargetServer();
}

TqmByteArray TqmSocks4NetworkStream::BuildRequest() {
  uint8_t Address[4];
  std::string HostName;
  TargetAddress(Address, HostName);
  TqmByteArray Request{Socks4Version, CommandConnect};
  AppendPort(Request, TargetPort());
  Request.insert(Request.end(), Address, Address + 4);
  AppendTerminated(Request, UserName(), "user name");
  if (!HostName.empty()) AppendTerminated(Request, HostName, "host name");
  return Request;
}

void TqmSocks4NetworkStream::ProcessReply(const TqmByteArray& AReply) {
  if (AReply[0] != 0 || AReply[1] != Socks4Granted) Refuse(Socks4ReplyText(AReply[1]), AReply[1]);
  HandshakeDone();
}

void TqmSocks4NetworkStream::ProcessCutReply(const TqmByteArray& APartial) {
  if (APartial.size() >= 2 && (APartial[0] != 0 || APartial[1] != Socks4Granted))
    Refuse(Socks4ReplyText(APartial[1]), APartial[1]);
  TqmSocksNetworkStream::ProcessCutReply(APartial);
}

// ---- SOCKS 5 ----

bool TqmSocks5NetworkStream::Connect(TqmIPAddress& AAddress, int APort) {
  FReplyLength = 0;
  return TqmSocksNetworkStream::Connect(AAddress, APort);
}

void TqmSocks5NetworkStream::InitClientSession() {
  if (SocksState() != ssEstablished) FReplyLength = 0;
  TqmSocksNetworkStream::InitClientSession();
}

int TqmSocks5NetworkStream::GetReplyLength() {
  // A connect reply that binds an IPv6 address is 22 bytes, not 10: the
  // whole of it is read, so that none of it reaches the wrapped stream.
  TMemoryStream& Reply = ReplyBuffer();
  if (SocksState() == ssConnect && FReplyLength == 10 && Reply.Size() >= 4 && Reply.Memory()[3] == AddressIPv6)
    return 22;
  return FReplyLength;
}

TqmByteArray TqmSocks5NetworkStream::BuildRequest() {
  TqmByteArray Request;
  switch (SocksState()) {
    case ssRequest:
      Request = {Socks5Version, 1, UserName().empty() ? MethodNone : MethodUserPassword};
      FReplyLength = 2;
      break;
    case ssAuthenticate:
      Request = {AuthVersion};
      AppendCounted(Request, UserName(), "user name");
      AppendCounted(Request, Password(), "password");
      FReplyLength = 2;
      break;
    default: {
      Request = {Socks5Version, CommandConnect, 0};
      uint8_t Address4[4];
      in6_addr Address6{};
      if (ParseIPv4(TargetServer(), Address4)) {
        Request.push_back(AddressIPv4);
        Request.insert(Request.end(), Address4, Address4 + 4);
      } else if (inet_pton(AF_INET6, TargetServer().c_str(), &Address6) == 1) {
        // An IPv6 literal is an address, not a domain name.
        Request.push_back(AddressIPv6);
        Request.insert(Request.end(), Address6.s6_addr, Address6.s6_addr + 16);
      } else {
        Request.push_back(AddressDomain);
        AppendCounted(Request, TargetServer(), "host name");
      }
      AppendPort(Request, TargetPort());
      FReplyLength = 10;
      break;
    }
  }
  return Request;
}

void TqmSocks5NetworkStream::CheckConnectReply(const TqmByteArray& AReply) {
  if (AReply[0] != Socks5Version || AReply[1] != 0) Refuse(Socks5ReplyText(AReply[1]), AReply[1]);
}

void TqmSocks5NetworkStream::ProcessReply(const TqmByteArray& AReply) {
  switch (SocksState()) {
    case ssRequest:
      if (AReply[0] == Socks5Version && AReply[1] == MethodNone)
        SetSocksState(ssConnect);
      else if (AReply[0] == Socks5Version && AReply[1] == MethodUserPassword)
        SetSocksState(ssAuthenticate);
      else
        Refuse("SOCKS error: No acceptable authentication methods", AReply[1]);
      SetNextAction(naWrite);
      break;
    case ssAuthenticate:
      if (AReply[0] != AuthVersion || AReply[1] != 0) Refuse("SOCKS error: authentication failed", AReply[1]);
      SetSocksState(ssConnect);
      SetNextAction(naWrite);
      break;
    default:
      CheckConnectReply(AReply);
      if (AReply[3] != AddressIPv4 && AReply[3] != AddressIPv6)
        Refuse("SOCKS error: Address type not supported", AReply[3]);
      HandshakeDone();
      break;
  }
}

void TqmSocks5NetworkStream::ProcessCutReply(const TqmByteArray& APartial) {
  if (APartial.size() >= 2) {
    if (SocksState() == ssRequest && !(APartial[0] == Socks5Version &&
                                       (APartial[1] == MethodNone || APartial[1] == MethodUserPassword)))
      Refuse("SOCKS error: No acceptable authentication methods", APartial[1]);
    if (SocksState() == ssAuthenticate && (APartial[0] != AuthVersion || APartial[1] != 0))
      Refuse("SOCKS error: authentication failed", APartial[1]);
    if (SocksState() == ssConnect) CheckConnectReply(APartial);
  }
  TqmSocksNetworkStream::ProcessCutReply(APartial);
}

}  // namespace qm
