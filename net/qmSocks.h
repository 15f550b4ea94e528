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

/// The proxy closed the connection before its reply was complete.
constexpr int qmSocksReplyCutOffCode = -103;
/// A value does not fit the request (a name or credential over 255 bytes, a
/// SOCKS 4 target with only an IPv6 address).
constexpr int qmSocksRequestInvalidCode = -104;

/// The common part of the SOCKS streams: sends the request of each state,
/// collects the reply, and forwards everything to BaseStream once the
/// proxy has connected. Datagrams, listening and accepting are not offered.
class TqmSocksNetworkStream : public TqmNetworkStream {
 public:
  /// The handshake's state: the first request, authentication (SOCKS 5),
  /// the connect request, connected (the wrapped stream starts), established.
  enum : uint8_t { ssRequest = 0, ssAuthenticate = 1, ssConnect = 2, ssConnected = 3, ssEstablished = 4 };

  /// Wraps ABaseStream (taken), which carries the session after the handshake.
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
  /// The request for the current state.
  virtual TqmByteArray BuildRequest() = 0;
  /// Handles a complete reply; raises EqmSocksFirewallError on a refusal.
  virtual void ProcessReply(const TqmByteArray& AReply) = 0;
  /// The length of the reply awaited in the current state, in bytes.
  virtual int GetReplyLength() = 0;

  /// The port the proxy connects to.
  int TargetPort() const { return FTargetPort; }
  /// Sets TargetPort.
  void SetTargetPort(int AValue) { FTargetPort = AValue; }
  /// The host the proxy connects to: an IP literal, or a name the proxy
  /// resolves (SOCKS 4a and 5).
  const std::string& TargetServer() const { return FTargetServer; }
  /// Sets TargetServer.
  void SetTargetServer(const std::string& AValue) { FTargetServer = AValue; }
  /// The SOCKS 4 user id, or the SOCKS 5 login (empty: none asked).
  const std::string& UserName() const { return FUserName; }
  /// Sets UserName (at most 255 bytes).
  void SetUserName(const std::string& AValue) { FUserName = AValue; }
  /// The SOCKS 5 password.
  const std::string& Password() const { return FPassword; }
  /// Sets Password (at most 255 bytes).
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  /// The handshake's state (ssRequest...).
  uint8_t SocksState() const { return FSocksState; }
  /// The wrapped stream.
  TqmNetworkStream& BaseStream() { return *FBaseStream; }

 protected:
  /// Called by ProcessReply when the proxy has connected to the target.
  void HandshakeDone();
  /// Moves the handshake to AState.
  void SetSocksState(uint8_t AState) { FSocksState = AState; }
  /// The reply bytes received so far.
  TMemoryStream& ReplyBuffer() { return FReply; }
  /// A reply cut short by the proxy closing: the refusal it carries when
  /// the bytes that tell are there, else the cut-off error.
  virtual void ProcessCutReply(const TqmByteArray& APartial);
  /// Appends APort as two bytes, big-endian.
  static void AppendPort(TqmByteArray& ARequest, int APort);
  /// The four bytes of an IPv4 literal; false when AText is not one.
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

/// SOCKS 4: the target as an IPv4 address (resolved locally).
class TqmSocks4NetworkStream : public TqmSocksNetworkStream {
 public:
  /// Wraps ABaseStream (see TqmSocksNetworkStream).
  using TqmSocksNetworkStream::TqmSocksNetworkStream;
  TqmByteArray BuildRequest() override;
  void ProcessReply(const TqmByteArray& AReply) override;
  int GetReplyLength() override { return 8; }

 protected:
  /// The 4 address bytes of the request; AHostName receives a name to send
  /// after the user id (SOCKS 4a only).
  virtual void TargetAddress(uint8_t AAddress[4], std::string& AHostName);
  void ProcessCutReply(const TqmByteArray& APartial) override;
};

/// SOCKS 4a: a target name is sent for the proxy to resolve.
class TqmSocks4aNetworkStream : public TqmSocks4NetworkStream {
 public:
  /// Wraps ABaseStream (see TqmSocksNetworkStream).
  using TqmSocks4NetworkStream::TqmSocks4NetworkStream;

 protected:
  /// 0.0.0.1 and the name, unless the target is an IPv4 literal.
  void TargetAddress(uint8_t AAddress[4], std::string& AHostName) override;
};

/// SOCKS 5: no authentication or user name and password, IPv4, IPv6 or a
/// name as the target.
class TqmSocks5NetworkStream : public TqmSocksNetworkStream {
 public:
  /// Wraps ABaseStream (see TqmSocksNetworkStream).
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
/// The message of a SOCKS 4 reply code (90 "Request granted"...).
std::string Socks4ReplyText(int ACode);
/// The message of a SOCKS 5 reply code (0 "Succeeded"...).
std::string Socks5ReplyText(int ACode);

}  // namespace qm
