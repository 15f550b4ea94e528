// SOCKS 4, 4a and 5 firewall streams. A SOCKS stream runs the proxy
// handshake as the first exchange of a new TCP connection, through the
// connection's next actions, then steps aside: every operation goes to the
// stream it wraps (plain or TLS), which starts its own session only after
// the proxy's reply.
#pragma once

#include <memory>
#include <string>

#include "core/qmStream.h"
#include "core/qmTypes.h"
#include "net/qmSocket.h"
#include "net/qmSocketError.h"

namespace qm {

// A refusal by the proxy; ErrorCode carries the SOCKS reply or status byte
// (or one of the negative codes below).
class EqmSocksFirewallError : public EqmSocketError {
 public:
  using EqmSocketError::EqmSocketError;
};

// The proxy closed the connection before its reply was complete.
constexpr int qmSocksReplyCutOffCode = -103;
// A value does not fit the request (a name or credential over 255 bytes, a
// SOCKS 4 target with only an IPv6 address).
constexpr int qmSocksRequestInvalidCode = -104;

class TqmSocksNetworkStream : public TqmNetworkStream {
 public:
  enum : uint8_t { ssRequest = 0, ssAuthenticate = 1, ssConnect = 2, ssConnected = 3, ssEstablished = 4 };

  explicit TqmSocksNetworkStream(std::unique_ptr<TqmNetworkStream> ABaseStream);

  // ---- overrides of the network stream ----
  void SetConnection(TqmConnection* AConnection) override;
  void Assign(TqmNetworkStream& AOldStream) override;
  bool Connect(TqmIPAddress& AAddress, int APort) override;
  void AfterConnect() override;
  void EnableBroadcast() override {}
  void Listen() override {}
  void Accept() override {}
  void Shutdown(bool ANotifyPeer) override;
  void OpenClientSession() override;
  bool Read(TStream* ADestination) override;
  bool Write(TStream* ASource) override;
  bool WriteRange(TStream* ASource, int64_t ACount) override;
  bool ReadFrom(TStream*, std::string&, int&) override { return false; }
  bool WriteTo(TStream*, const std::string&, int) override { return false; }
  int GetReadBatchSize() override;
  int GetWriteBatchSize() override;
  bool IsLimitReached() override;
  void ResetProgress() override;
  void UpdateProgress(int64_t ACount) override;
  void InitClientSession() override;

  // ---- the handshake (slot order) ----
  // The request for the current state.
  virtual TqmByteArray BuildRequest() = 0;
  // Handles a complete reply; raises EqmSocksFirewallError on a refusal.
  virtual void ProcessReply(const TqmByteArray& AReply) = 0;
  virtual int GetReplyLength() = 0;

  int TargetPort() const { return FTargetPort; }
  void SetTargetPort(int AValue) { FTargetPort = AValue; }
  const std::string& TargetServer() const { return FTargetServer; }
  void SetTargetServer(const std::string& AValue) { FTargetServer = AValue; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& AValue) { FUserName = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  uint8_t SocksState() const { return FSocksState; }
  TqmNetworkStream& BaseStream() { return *FBaseStream; }

 protected:
  // Called by ProcessReply when the proxy has connected to the target.
  void HandshakeDone();
  void SetSocksState(uint8_t AState) { FSocksState = AState; }
  // The reply bytes received so far.
  TMemoryStream& ReplyBuffer() { return FReply; }
  // A reply cut short by the proxy closing: the refusal it carries when
  // the bytes that tell are there, else the cut-off error.
  virtual void ProcessCutReply(const TqmByteArray& APartial);
  static void AppendPort(TqmByteArray& ARequest, int APort);
  // The four bytes of an IPv4 literal; false when AText is not one.
  static bool ParseIPv4(const std::string& AText, uint8_t AAddress[4]);

 private:
  bool Established() const { return FSocksState == ssEstablished; }
  // Runs an operation of the wrapped stream and takes over its state.
  template <class F>
  auto Forward(F AOperation) -> decltype(AOperation());
  void TakeOverBaseState();

  int FTargetPort = 0;
  std::string FTargetServer;
  TMemoryStream FReply;
  TMemoryStream FRequest;  // the request being sent; resumes after would-block
  std::string FUserName;
  std::string FPassword;
  uint8_t FSocksState = ssRequest;
  std::unique_ptr<TqmNetworkStream> FBaseStream;
};

class TqmSocks4NetworkStream : public TqmSocksNetworkStream {
 public:
  using TqmSocksNetworkStream::TqmSocksNetworkStream;
  TqmByteArray BuildRequest() override;
  void ProcessReply(const TqmByteArray& AReply) override;
  int GetReplyLength() override { return 8; }

 protected:
  // The 4 address bytes of the request; AHostName receives a name to send
  // after the user id (SOCKS 4a only).
  virtual void TargetAddress(uint8_t AAddress[4], std::string& AHostName);
  void ProcessCutReply(const TqmByteArray& APartial) override;
};

class TqmSocks4aNetworkStream : public TqmSocks4NetworkStream {
 public:
  using TqmSocks4NetworkStream::TqmSocks4NetworkStream;

 protected:
  void TargetAddress(uint8_t AAddress[4], std::string& AHostName) override;
};

class TqmSocks5NetworkStream : public TqmSocksNetworkStream {
 public:
  using TqmSocksNetworkStream::TqmSocksNetworkStream;
  bool Connect(TqmIPAddress& AAddress, int APort) override;
  void InitClientSession() override;
  TqmByteArray BuildRequest() override;
  void ProcessReply(const TqmByteArray& AReply) override;
  int GetReplyLength() override;

 protected:
  void ProcessCutReply(const TqmByteArray& APartial) override;

 private:
  void CheckConnectReply(const TqmByteArray& AReply);
  int FReplyLength = 0;
};

// The messages of the SOCKS reply codes.
std::string Socks4ReplyText(int ACode);
std::string Socks5ReplyText(int ACode);

}  // namespace qm
