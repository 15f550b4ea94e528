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

enum TqmDnsProtocol { dpAutodetect, dpUseUdp, dpUseTcp };

using TqmDnsPacketEvent = std::function<void(TObject* Sender, TStream* AData)>;
using TqmDnsSetupUdpClientEvent = std::function<void(TObject* Sender, TqmUdpClient* AClient)>;
using TqmDnsSetupTcpClientEvent = std::function<void(TObject* Sender, TqmTcpClientTls* AClient)>;

class TqmHostInfo : public TObject {
 public:
  TqmHostInfo(std::string AIPAddress, std::string AName)
      : FIPAddress(std::move(AIPAddress)), FName(std::move(AName)) {}
  const std::string& IPAddress() const { return FIPAddress; }
  const std::string& Name() const { return FName; }

 private:
  std::string FIPAddress;
  std::string FName;
};

// Owns its entries, in the order added.
class TqmHostList : public TObject {
 public:
  TqmHostInfo* Add(std::unique_ptr<TqmHostInfo> AInfo);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError for an index outside the list.
  TqmHostInfo* Items(int AIndex) const;

 private:
  std::vector<std::unique_ptr<TqmHostInfo>> FItems;
};

class TqmMailServerList : public TqmHostList {};

class TqmDnsQuery : public TComponent {
 public:
  explicit TqmDnsQuery(TComponent* AOwner = nullptr);
  ~TqmDnsQuery() override;

  // ---- overridable operations (slot order) ----
  virtual std::unique_ptr<TqmUdpClient> CreateUdpClient();
  virtual std::unique_ptr<TqmTcpClientTls> CreateTcpClient();
  virtual void DoChanged();
  virtual void DoReceivePacket(TStream* AData);
  virtual void DoSendPacket(TStream* AData);
  virtual void DoSetupUdpClient(TqmUdpClient* AClient);
  virtual void DoSetupTcpClient(TqmTcpClientTls* AClient);

  // The TXT texts for AName: one record's text as it is; several, each in
  // double quotes (unless it already begins or ends with one), joined by
  // ",". Response().Answers() then holds the records.
  std::string ResolveTXT(const std::string& AName);
  // Sends Query() and fills Response(), choosing the server (Server, else
  // RootNameServers, filled from the system when AutodetectServer is set).
  // With TranslateIDN, international question names are first replaced by
  // their ASCII form. When every server of RootNameServers fails, Server is
  // empty and the last failure is raised (a time-out, "Server failure"...),
  // unless a server answered "No such name": that is an empty answer.
  void Resolve();
  // The same, all of it (referrals and retries included) ending by
  // ADeadline: past it the lookup raises the time-out error.
  void Resolve(TqmClock::time_point ADeadline);
  std::string ResolveTXT(const std::string& AName, TqmClock::time_point ADeadline);
  // The most questions one Resolve call asks in all.
  static constexpr int MaxQuestions = 32;
  // Both messages, the host lists, NameServerNames, Aliases and HostInfo.
  void Clear();

  // The `nameserver` addresses of a resolv.conf file, in file order,
  // appended to AList unless already there (compared without case).
  static void ReadSystemNameServers(TStrings& AList, const std::string& AFileName);

  // ---- results ----
  TqmDnsMessage& Query() { return FQuery; }
  TqmDnsMessage& Response() { return FResponse; }
  TqmHostList& Hosts() { return FHosts; }
  TqmHostList& IPv6Hosts() { return FIPv6Hosts; }
  TqmMailServerList& MailServers() { return FMailServers; }
  TStringList& NameServerNames() { return FNameServerNames; }
  TStringList& Aliases() { return FAliases; }
  // The server that answered after a referral, or nullptr.
  TqmHostInfo* HostInfo() { return FHostInfo.get(); }

  // ---- properties ----
  const std::string& Server() const { return FServer; }
  void SetServer(const std::string& AValue);
  int Port() const { return FPort; }
  void SetPort(int AValue);
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int AValue);
  TqmDnsProtocol Protocol() const { return FProtocol; }
  void SetProtocol(TqmDnsProtocol AValue);
  bool IsRecursiveDesired() const { return FIsRecursiveDesired; }
  void SetIsRecursiveDesired(bool AValue);
  bool UseRecursiveQueries() const { return FUseRecursiveQueries; }
  void SetUseRecursiveQueries(bool AValue);
  int MaxRecursiveQueries() const { return FMaxRecursiveQueries; }
  void SetMaxRecursiveQueries(int AValue);
  bool AutodetectServer() const { return FAutodetectServer; }
  void SetAutodetectServer(bool AValue);
  bool UsePrimaryServer() const { return FUsePrimaryServer; }
  void SetUsePrimaryServer(bool AValue);
  TStringList& RootNameServers() { return FRootNameServers; }
  void SetRootNameServers(const TStrings& AValue) { FRootNameServers.Assign(AValue); }
  bool TranslateIDN() const { return FTranslateIDN; }
  void SetTranslateIDN(bool AValue);
  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int AValue);
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int AValue);
  bool UseIpV6() const { return FUseIpV6; }
  void SetUseIpV6(bool AValue);
  const std::string& LocalBinding() const { return FLocalBinding; }
  void SetLocalBinding(const std::string& AValue);
  bool DisableGuiProcessing() const { return FDisableGuiProcessing; }
  void SetDisableGuiProcessing(bool AValue);
  // EDNS0: the UDP payload size announced in every query (0, the default:
  // none, so replies over 512 bytes come truncated and are asked again
  // over TCP). A server that answers FORMERR to it is asked again without.
  uint16_t UdpPayloadSize() const { return FUdpPayloadSize; }
  void SetUdpPayloadSize(uint16_t AValue);
  // Where AutodetectServer reads the system's name servers.
  const std::string& SystemResolverConfig() const { return FSystemResolverConfig; }
  void SetSystemResolverConfig(const std::string& AValue);

  TNotifyEvent OnChanged;
  TqmDnsPacketEvent OnReceivePacket;
  TqmDnsPacketEvent OnSendPacket;
  TqmDnsSetupUdpClientEvent OnSetupUdpClient;
  TqmDnsSetupTcpClientEvent OnSetupTcpClient;

 protected:
  // What one Resolve call may still spend, shared by every nested lookup
  // (referrals, the addresses of name servers without glue) so that a
  // hostile server cannot make the work grow without bound: the questions
  // left (MaxQuestions per call; a question repeated over TCP after a
  // truncated UDP reply counts once) and a deadline for the whole call
  // (none unless the caller gives one; each exchange also ends within
  // TimeOut). The referral level travels beside it as ADepth: a nested
  // lookup goes on from its caller's level, and the level past
  // MaxRecursiveQueries does nothing.
  struct TBudget {
    int Questions;
    TqmClock::time_point Deadline;
  };
  // The server choice for one request; the server that answered when the
  // root name servers were asked, else AServer.
  std::string Resolve(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                      TBudget& ABudget, int ADepth);
  // Exchanges with AServer and, when UseRecursiveQueries is set, follows a
  // referral; nothing at all once the referral levels are spent.
  void QueryWithReferrals(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                          TBudget& ABudget, int ADepth);
  // One request and response over UDP and/or TCP, both clients closed after.
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

// True when AReply (a whole message) answers ARequest: a response with the
// request's ID and its question (name compared without case, type, class).
bool IsDnsReplyTo(const TqmDnsMessage& ARequest, const uint8_t* AReply, size_t ASize);

}  // namespace qm
