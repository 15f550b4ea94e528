// The DNS resolver component: sends a query over UDP (TCP when the answer is
// truncated, or always when asked), to a configured server or the system's
// name servers, can follow referrals, and collects the answers.
//
// A reply is taken only when it comes from the address and port queried,
// carries the request's ID and repeats its question (RFC 5452); anything
// else is dropped and the wait goes on until TimeOut.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "dns/qmDnsMessage.h"
#include "net/qmSocket.h"
#include "net/qmTcpClientTls.h"
#include "net/qmUdpClient.h"

namespace qm {

/// How queries travel: dpAutodetect UDP, and TCP again when the reply comes
/// truncated; dpUseUdp UDP only (a truncated reply is taken as it is);
/// dpUseTcp TCP only.
enum TqmDnsProtocol { dpAutodetect, dpUseUdp, dpUseTcp };

/// OnSendPacket, OnReceivePacket: the encoded message (a TCP one with its
/// two length bytes); the stream is read-only for the handler.
using TqmDnsPacketEvent = std::function<void(TObject* Sender, TStream* AData)>;
/// OnSetupUdpClient: the UDP client after the resolver's settings were applied.
using TqmDnsSetupUdpClientEvent = std::function<void(TObject* Sender, TqmUdpClient* AClient)>;
/// OnSetupTcpClient: the TCP client after the resolver's settings were applied.
using TqmDnsSetupTcpClientEvent = std::function<void(TObject* Sender, TqmTcpClientTls* AClient)>;

/// A host found by a lookup: its address and its name.
class TqmHostInfo : public TObject {
 public:
  /// An entry for AIPAddress (text form) named AName.
  TqmHostInfo(std::string AIPAddress, std::string AName)
      : FIPAddress(std::move(AIPAddress)), FName(std::move(AName)) {}
  /// The address in text form.
  const std::string& IPAddress() const { return FIPAddress; }
  /// The host name.
  const std::string& Name() const { return FName; }

 private:
  std::string FIPAddress;
  std::string FName;
};

/// Owns its entries, in the order added.
class TqmHostList : public TObject {
 public:
  /// Takes AInfo and returns it.
  TqmHostInfo* Add(std::unique_ptr<TqmHostInfo> AInfo);
  /// Frees every entry.
  void Clear() { FItems.clear(); }
  /// The number of entries.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// Raises EListError for an index outside the list.
  TqmHostInfo* Items(int AIndex) const;

 private:
  std::vector<std::unique_ptr<TqmHostInfo>> FItems;
};

/// A host list of mail servers.
class TqmMailServerList : public TqmHostList {};

/// A DNS resolver: fill Query() with questions (or call ResolveTXT), call
/// Resolve(), read Response(). Asks Server when set, else RootNameServers
/// (with AutodetectServer, the name servers of SystemResolverConfig) in
/// turn. Failures raise EqmDnsError (a response code, a malformed reply) or
/// EqmSocketError (no answer within TimeOut, a refused connection).
class TqmDnsQuery : public TComponent {
 public:
  /// Port 53, UDP with TCP for truncated replies, recursion desired, 5000 ms
  /// time-out, the system's name servers.
  explicit TqmDnsQuery(TComponent* AOwner = nullptr);
  ~TqmDnsQuery() override;

  // ---- overridable operations (slot order) ----
  /// The UDP client the resolver uses (created on first use).
  virtual std::unique_ptr<TqmUdpClient> CreateUdpClient();
  /// The TCP client the resolver uses (created on first use).
  virtual std::unique_ptr<TqmTcpClientTls> CreateTcpClient();
  /// Calls OnChanged.
  virtual void DoChanged();
  /// Calls OnReceivePacket.
  virtual void DoReceivePacket(TStream* AData);
  /// Calls OnSendPacket.
  virtual void DoSendPacket(TStream* AData);
  /// Calls OnSetupUdpClient.
  virtual void DoSetupUdpClient(TqmUdpClient* AClient);
  /// Calls OnSetupTcpClient.
  virtual void DoSetupTcpClient(TqmTcpClientTls* AClient);

  /// The TXT texts for AName: one record's text as it is; several, each in
  /// double quotes (unless it already begins or ends with one), joined by
  /// ",". Response().Answers() then holds the records.
  std::string ResolveTXT(const std::string& AName);
  /// Sends Query() and fills Response(), choosing the server (Server, else
  /// RootNameServers, filled from the system when AutodetectServer is set).
  /// With TranslateIDN, international question names are first replaced by
  /// their ASCII form. When every server of RootNameServers fails, Server is
  /// empty and the last failure is raised (a time-out, "Server failure"...),
  /// unless a server answered "No such name": that is an empty answer.
  void Resolve();
  /// The same, all of it (referrals and retries included) ending by
  /// ADeadline: past it the lookup raises the time-out error.
  void Resolve(TqmClock::time_point ADeadline);
  /// ResolveTXT, the whole lookup ending by ADeadline.
  std::string ResolveTXT(const std::string& AName, TqmClock::time_point ADeadline);
  /// The most questions one Resolve call asks in all.
  static constexpr int MaxQuestions = 32;
  /// Both messages, the host lists, NameServerNames, Aliases and HostInfo.
  void Clear();

  /// The `nameserver` addresses of a resolv.conf file, in file order,
  /// appended to AList unless already there (compared without case).
  static void ReadSystemNameServers(TStrings& AList, const std::string& AFileName);

  // ---- results ----
  /// The request Resolve sends; add its questions here.
  TqmDnsMessage& Query() { return FQuery; }
  /// The last reply.
  TqmDnsMessage& Response() { return FResponse; }
  /// ResolveTXT: the A records of the reply's additional section.
  TqmHostList& Hosts() { return FHosts; }
  /// ResolveTXT: the AAAA records of the reply's additional section.
  TqmHostList& IPv6Hosts() { return FIPv6Hosts; }
  /// Emptied by Clear; no lookup of this class fills it (MX records are in
  /// Response().Answers(), as TqmDnsMXRecord).
  TqmMailServerList& MailServers() { return FMailServers; }
  /// ResolveTXT: the name servers of the reply's authority section.
  TStringList& NameServerNames() { return FNameServerNames; }
  /// ResolveTXT: the names of the CNAME records of the reply.
  TStringList& Aliases() { return FAliases; }
  /// The server that answered after a referral, or nullptr.
  TqmHostInfo* HostInfo() { return FHostInfo.get(); }

  // ---- properties ----
  /// The name server asked (empty, the default: RootNameServers). After a
  /// lookup through RootNameServers, the one that answered.
  const std::string& Server() const { return FServer; }
  /// Sets Server (an address or a host name).
  void SetServer(const std::string& AValue);
  /// The name servers' port (53).
  int Port() const { return FPort; }
  /// Sets Port.
  void SetPort(int AValue);
  /// The largest TCP message sent or read, in bytes (16384).
  int BatchSize() const { return FBatchSize; }
  /// Sets BatchSize.
  void SetBatchSize(int AValue);
  /// UDP, TCP or both (dpAutodetect, the default).
  TqmDnsProtocol Protocol() const { return FProtocol; }
  /// Sets Protocol.
  void SetProtocol(TqmDnsProtocol AValue);
  /// The RD bit of the queries ResolveTXT builds (true).
  bool IsRecursiveDesired() const { return FIsRecursiveDesired; }
  /// Sets IsRecursiveDesired.
  void SetIsRecursiveDesired(bool AValue);
  /// Follow referrals (an answer naming other name servers) ourselves
  /// (false: take the referral as the answer).
  bool UseRecursiveQueries() const { return FUseRecursiveQueries; }
  /// Sets UseRecursiveQueries.
  void SetUseRecursiveQueries(bool AValue);
  /// How many referral levels are followed (4).
  int MaxRecursiveQueries() const { return FMaxRecursiveQueries; }
  /// Sets MaxRecursiveQueries.
  void SetMaxRecursiveQueries(int AValue);
  /// With no Server and an empty RootNameServers, read the system's name
  /// servers from SystemResolverConfig (true).
  bool AutodetectServer() const { return FAutodetectServer; }
  /// Sets AutodetectServer.
  void SetAutodetectServer(bool AValue);
  /// Kept with the settings; the resolver does not read it (false).
  bool UsePrimaryServer() const { return FUsePrimaryServer; }
  /// Sets UsePrimaryServer.
  void SetUsePrimaryServer(bool AValue);
  /// The name servers asked in turn when Server is empty.
  TStringList& RootNameServers() { return FRootNameServers; }
  /// Sets RootNameServers (copied).
  void SetRootNameServers(const TStrings& AValue) { FRootNameServers.Assign(AValue); }
  /// Send international names in their ASCII form (true).
  bool TranslateIDN() const { return FTranslateIDN; }
  /// Sets TranslateIDN.
  void SetTranslateIDN(bool AValue);
  /// How long one exchange may wait for its reply, in milliseconds (5000).
  int TimeOut() const { return FTimeOut; }
  /// Sets TimeOut.
  void SetTimeOut(int AValue);
  /// A bandwidth limit for both clients, in bits per second (0: none).
  int BitsPerSec() const { return FBitsPerSec; }
  /// Sets BitsPerSec.
  void SetBitsPerSec(int AValue);
  /// Reach the name servers over IPv6 (false).
  bool UseIpV6() const { return FUseIpV6; }
  /// Sets UseIpV6.
  void SetUseIpV6(bool AValue);
  /// The local address the clients bind to (empty: any).
  const std::string& LocalBinding() const { return FLocalBinding; }
  /// Sets LocalBinding.
  void SetLocalBinding(const std::string& AValue);
  /// Do not pump the GUI's events while waiting (false).
  bool DisableGuiProcessing() const { return FDisableGuiProcessing; }
  /// Sets DisableGuiProcessing.
  void SetDisableGuiProcessing(bool AValue);
  /// EDNS0: the UDP payload size announced in every query (0, the default:
  /// none, so replies over 512 bytes come truncated and are asked again
  /// over TCP). A server that answers FORMERR to it is asked again without.
  uint16_t UdpPayloadSize() const { return FUdpPayloadSize; }
  /// Sets UdpPayloadSize.
  void SetUdpPayloadSize(uint16_t AValue);
  /// Where AutodetectServer reads the system's name servers.
  const std::string& SystemResolverConfig() const { return FSystemResolverConfig; }
  /// Sets SystemResolverConfig ("/etc/resolv.conf").
  void SetSystemResolverConfig(const std::string& AValue);

  /// Called when a property changes.
  TNotifyEvent OnChanged;
  /// Called with each reply received.
  TqmDnsPacketEvent OnReceivePacket;
  /// Called with each query before it is sent.
  TqmDnsPacketEvent OnSendPacket;
  /// Called when the UDP client is set up.
  TqmDnsSetupUdpClientEvent OnSetupUdpClient;
  /// Called when the TCP client is set up.
  TqmDnsSetupTcpClientEvent OnSetupTcpClient;

 protected:
  /// What one Resolve call may still spend, shared by every nested lookup
  /// (referrals, the addresses of name servers without glue) so that a
  /// hostile server cannot make the work grow without bound: the questions
  /// left (MaxQuestions per call; a question repeated over TCP after a
  /// truncated UDP reply counts once) and a deadline for the whole call
  /// (none unless the caller gives one; each exchange also ends within
  /// TimeOut). The referral level travels beside it as ADepth: a nested
  /// lookup goes on from its caller's level, and the level past
  /// MaxRecursiveQueries does nothing.
  struct TBudget {
    int Questions;  ///< Questions still allowed.
    TqmClock::time_point Deadline;  ///< When the whole call must end (max(): none).
  };
  /// The server choice for one request; the server that answered when the
  /// root name servers were asked, else AServer.
  std::string Resolve(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                      TBudget& ABudget, int ADepth);
  /// Exchanges with AServer and, when UseRecursiveQueries is set, follows a
  /// referral; nothing at all once the referral levels are spent.
  void QueryWithReferrals(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                          TBudget& ABudget, int ADepth);
  /// One request and response over UDP and/or TCP, both clients closed after.
  void Exchange(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                TBudget& ABudget);

 private:
  void ExchangeUdp(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                   TqmClock::time_point ADeadline);
  void ExchangeTcp(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                   TqmClock::time_point ADeadline);
  TqmUdpClient& UdpClient();
  TqmTcpClientTls& TcpClient();
  void ApplyUdpSettings();
  void ApplyTcpSettings();
  void ApplySettings();
  void Changed();

  TqmDnsMessage FQuery;
  TqmDnsMessage FResponse;
  TqmHostList FHosts;
  TqmHostList FIPv6Hosts;
  TqmMailServerList FMailServers;
  TStringList FNameServerNames;
  TStringList FAliases;
  std::unique_ptr<TqmHostInfo> FHostInfo;
  std::unique_ptr<TqmUdpClient> FUdpClient;
  std::unique_ptr<TqmTcpClientTls> FTcpClient;
  TMemoryStream FRequestStream;
  TMemoryStream FResponseStream;

  std::string FServer;
  int FPort = 53;
  int FBatchSize = 16384;
  TqmDnsProtocol FProtocol = dpAutodetect;
  bool FIsRecursiveDesired = true;
  bool FUseRecursiveQueries = false;
  int FMaxRecursiveQueries = 4;
  bool FAutodetectServer = true;
  bool FUsePrimaryServer = false;
  TStringList FRootNameServers;
  bool FTranslateIDN = true;
  int FTimeOut = 5000;
  int FBitsPerSec = 0;
  bool FUseIpV6 = false;
  std::string FLocalBinding;
  bool FDisableGuiProcessing = false;
  std::string FSystemResolverConfig = "/etc/resolv.conf";
  uint16_t FUdpPayloadSize = 0;
};

/// True when AReply (a whole message) answers ARequest: a response with the
/// request's ID and its question (name compared without case, type, class).
bool IsDnsReplyTo(const TqmDnsMessage& ARequest, const uint8_t* AReply, size_t ASize);

}  // namespace qm
