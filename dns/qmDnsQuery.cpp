#include "dns/qmDnsQuery.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <algorithm>
#include <exception>
#include <fstream>

#include "core/qmSysUtils.h"
#include "core/qmIdnTranslator.h"
#include "net/qmSocketError.h"

namespace qm {

namespace {

// Replies are read whole: a datagram of any size is received and checked,
// so that an oversized one from a stranger cannot end the wait with an
// error (queries themselves stay within 512 bytes).
constexpr int kUdpReceiveSize = 65535;

bool SameEndpoint(const std::string& AIP, int APort, const std::string& BIP, int BPort) {
  if (APort != BPort) return false;
  if (AIP == BIP) return true;
  unsigned char A[sizeof(in6_addr)], B[sizeof(in6_addr)];
  const int Family = AIP.find(':') != std::string::npos ? AF_INET6 : AF_INET;
  if (inet_pton(Family, AIP.c_str(), A) != 1 || inet_pton(Family, BIP.c_str(), B) != 1) return false;
  return std::memcmp(A, B, Family == AF_INET6 ? 16 : 4) == 0;
}

// Closes the clients however the exchange ends.
class TCloseScope {
 public:
  TCloseScope(TqmUdpClient* AUdp, TqmTcpClientTls* ATcp) : FUdp(AUdp), FTcp(ATcp) {}
  ~TCloseScope() {
    try {
      if (FUdp) FUdp->Close();
      if (FTcp) FTcp->Close();
    } catch (...) {
      // Closing must not hide the exchange's own outcome.
    }
  }
  TCloseScope(const TCloseScope&) = delete;
  TCloseScope& operator=(const TCloseScope&) = delete;

 private:
  TqmUdpClient* FUdp;
  TqmTcpClientTls* FTcp;
};

// Every request passes here, whoever built its questions: an international
// name goes out in its ASCII form (plain ASCII names are left to the
// encoder's own checks).
void EncodeInternationalNames(TqmDnsMessage& ARequest) {
  const TqmDnsRecordList& Questions = ARequest.Queries();
  for (int I = 0; I < Questions.Count(); ++I) {
    TqmDnsRecord* Question = Questions.Items(I);
    if (!TqmIdnTranslator::IsAscii(Question->Name()))
      Question->SetName(TqmIdnTranslator::EncodeDomain(Question->Name()));
  }
}

bool IsDnsResponseCode(const EqmSocketError& AError, int ACode) {
  return AError.ErrorCode() == ACode && dynamic_cast<const EqmDnsError*>(&AError);
}

// Nothing is left for another server to try: the questions or the time of
// the whole lookup are spent.
bool IsSpent(const EqmSocketError& AError, TqmClock::time_point ADeadline) {
  return IsDnsResponseCode(AError, qmDnsTooManyQuestionsCode) || TqmClock::now() >= ADeadline;
}

}  // namespace

bool IsDnsReplyTo(const TqmDnsMessage& ARequest, const uint8_t* AReply, size_t ASize) {
  try {
    TqmDnsReader Reader(AReply, ASize);
    TqmDnsMessageHeader Header;
    Header.Read(Reader);
    if (Header.IsQuery() || Header.ID() != ARequest.Header().ID()) return false;
    if (Header.QueryCount() != ARequest.Queries().Count()) return false;
    for (int I = 0; I < ARequest.Queries().Count(); ++I) {
      TqmDnsRecord Question;
      Question.ReadQuestion(Reader);
      const TqmDnsRecord& Asked = *ARequest.Queries().Items(I);
      std::string_view AskedName = Asked.Name();
      if (!AskedName.empty() && AskedName.back() == '.') AskedName.remove_suffix(1);
      if (Question.RecordType() != Asked.RecordType() || Question.RecordClass() != Asked.RecordClass() ||
          !SameText(Question.Name(), AskedName))
        return false;
    }
    return true;
  } catch (const EqmDnsError&) {
    return false;
  }
}

// ---- TqmHostList ----

TqmHostInfo* TqmHostList::Add(std::unique_ptr<TqmHostInfo> AInfo) {
  FItems.push_back(std::move(AInfo));
  return FItems.back().get();
}

TqmHostInfo* TqmHostList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[static_cast<size_t>(AIndex)].get();
}

// ---- TqmDnsQuery ----

TqmDnsQuery::TqmDnsQuery(TComponent* AOwner) : TComponent(AOwner) {}

TqmDnsQuery::~TqmDnsQuery() = default;

std::unique_ptr<TqmUdpClient> TqmDnsQuery::CreateUdpClient() { return std::make_unique<TqmUdpClient>(); }

std::unique_ptr<TqmTcpClientTls> TqmDnsQuery::CreateTcpClient() { return std::make_unique<TqmTcpClientTls>(); }

void TqmDnsQuery::DoChanged() {
  if (OnChanged) OnChanged(this);
}

void TqmDnsQuery::DoReceivePacket(TStream* AData) {
  if (OnReceivePacket) OnReceivePacket(this, AData);
}

void TqmDnsQuery::DoSendPacket(TStream* AData) {
  if (OnSendPacket) OnSendPacket(this, AData);
}

void TqmDnsQuery::DoSetupUdpClient(TqmUdpClient* AClient) {
  if (OnSetupUdpClient) OnSetupUdpClient(this, AClient);
}

void TqmDnsQuery::DoSetupTcpClient(TqmTcpClientTls* AClient) {
  if (OnSetupTcpClient) OnSetupTcpClient(this, AClient);
}

void TqmDnsQuery::Changed() {
  if (IsLoading()) return;
  DoChanged();
}

TqmUdpClient& TqmDnsQuery::UdpClient() {
  if (!FUdpClient) {
    FUdpClient = CreateUdpClient();
    ApplyUdpSettings();
  }
  return *FUdpClient;
}

TqmTcpClientTls& TqmDnsQuery::TcpClient() {
  if (!FTcpClient) {
    FTcpClient = CreateTcpClient();
    ApplyTcpSettings();
  }
  return *FTcpClient;
}

void TqmDnsQuery::ApplyUdpSettings() {
  if (!FUdpClient) return;
  FUdpClient->SetServer(FServer);
  FUdpClient->SetPort(FPort);
  FUdpClient->SetDatagramSize(kUdpReceiveSize);
  FUdpClient->SetTimeOut(FTimeOut);
  FUdpClient->SetBitsPerSec(FBitsPerSec);
  FUdpClient->SetUseIpV6(FUseIpV6);
  FUdpClient->SetLocalBinding(FLocalBinding);
  FUdpClient->SetDisableGuiProcessing(FDisableGuiProcessing);
  DoSetupUdpClient(FUdpClient.get());
}

void TqmDnsQuery::ApplyTcpSettings() {
  if (!FTcpClient) return;
  FTcpClient->SetServer(FServer);
  FTcpClient->SetPort(FPort);
  FTcpClient->SetBatchSize(FBatchSize);
  FTcpClient->SetTimeOut(FTimeOut);
  FTcpClient->SetBitsPerSec(FBitsPerSec);
  FTcpClient->SetUseIpV6(FUseIpV6);
  FTcpClient->SetLocalBinding(FLocalBinding);
  FTcpClient->SetDisableGuiProcessing(FDisableGuiProcessing);
  DoSetupTcpClient(FTcpClient.get());
}

void TqmDnsQuery::ApplySettings() {
  ApplyUdpSettings();
  ApplyTcpSettings();
}

// ---- properties ----

#define QM_DNS_SETTER(Type, Name, Apply)     \
  void TqmDnsQuery::Set##Name(Type AValue) { \
    if (F##Name == AValue) return;           \
    F##Name = AValue;                        \
    Apply;                                   \
    Changed();                               \
  }

QM_DNS_SETTER(const std::string&, Server, ApplySettings())
QM_DNS_SETTER(int, Port, ApplySettings())
QM_DNS_SETTER(int, BatchSize, ApplyTcpSettings())
QM_DNS_SETTER(TqmDnsProtocol, Protocol, (void)0)
QM_DNS_SETTER(bool, IsRecursiveDesired, (void)0)
QM_DNS_SETTER(bool, UseRecursiveQueries, (void)0)
QM_DNS_SETTER(int, MaxRecursiveQueries, (void)0)
QM_DNS_SETTER(bool, AutodetectServer, (void)0)
QM_DNS_SETTER(bool, UsePrimaryServer, (void)0)
QM_DNS_SETTER(bool, TranslateIDN, (void)0)
QM_DNS_SETTER(int, TimeOut, ApplySettings())
QM_DNS_SETTER(int, BitsPerSec, ApplySettings())
QM_DNS_SETTER(bool, UseIpV6, ApplySettings())
QM_DNS_SETTER(const std::string&, LocalBinding, ApplySettings())
QM_DNS_SETTER(bool, DisableGuiProcessing, ApplySettings())
QM_DNS_SETTER(const std::string&, SystemResolverConfig, (void)0)
QM_DNS_SETTER(uint16_t, UdpPayloadSize, (void)0)
#undef QM_DNS_SETTER

// ---- operations ----

void TqmDnsQuery::Clear() {
  FQuery.Clear();
  FResponse.Clear();
  FHosts.Clear();
  FIPv6Hosts.Clear();
  FMailServers.Clear();
  FNameServerNames.Clear();
  FAliases.Clear();
  FHostInfo.reset();
}

std::string TqmDnsQuery::ResolveTXT(const std::string& AName) {
  return ResolveTXT(AName, TqmClock::time_point::max());
}

std::string TqmDnsQuery::ResolveTXT(const std::string& AName, TqmClock::time_point ADeadline) {
  Clear();
  FQuery.Header().SetIsQuery(true);
  FQuery.Header().SetIsRecursionDesired(FIsRecursiveDesired);
  auto Question = std::make_unique<TqmDnsTXTRecord>();
  Question->SetName(AName);
  Question->SetRecordClass(rcInternet);
  FQuery.Queries().Add(std::move(Question));
  Resolve(ADeadline);

  const TqmDnsRecordList& Additional = FResponse.AdditionalRecords();
  for (int I = 0; I < Additional.Count(); ++I) {
    if (auto* A = Additional.ItemAs<TqmDnsARecord>(I))
      FHosts.Add(std::make_unique<TqmHostInfo>(A->IPAddress(), A->Name()));
    else if (auto* AAAA = Additional.ItemAs<TqmDnsAAAARecord>(I))
      FIPv6Hosts.Add(std::make_unique<TqmHostInfo>(AAAA->IPv6Address(), AAAA->Name()));
  }
  const TqmDnsRecordList& Authority = FResponse.NameServers();
  for (int I = 0; I < Authority.Count(); ++I)
    if (auto* NS = Authority.ItemAs<TqmDnsNSRecord>(I)) FNameServerNames.Add(NS->NameServer());
  for (const TqmDnsRecordList* List : {static_cast<const TqmDnsRecordList*>(&FResponse.Answers()), &Additional})
    for (int I = 0; I < List->Count(); ++I)
      if (auto* CName = List->ItemAs<TqmDnsCNAMERecord>(I)) FAliases.Add(CName->Name());

  std::vector<const std::string*> Texts;
  const TqmDnsRecordList& Answers = FResponse.Answers();
  for (int I = 0; I < Answers.Count(); ++I)
    if (auto* TXT = Answers.ItemAs<TqmDnsTXTRecord>(I)) Texts.push_back(&TXT->Text());
  if (Texts.size() == 1) return *Texts.front();
  std::string Result;
  for (const std::string* Text : Texts) {
    if (!Result.empty()) Result += ',';
    if (!Text->empty() && (Text->front() == '"' || Text->back() == '"')) {
      Result += *Text;
    } else {
      Result += '"' + *Text + '"';
    }
  }
  return Result;
}

void TqmDnsQuery::Resolve() { Resolve(TqmClock::time_point::max()); }

void TqmDnsQuery::Resolve(TqmClock::time_point ADeadline) {
  TBudget Budget{MaxQuestions, ADeadline};
  // Server keeps the caller's value while the lookup runs; asked through
  // the root name servers, it names the one that answered afterwards.
  const bool FromRoots = FServer.empty();
  const std::string Answered = Resolve(FQuery, FResponse, FServer, Budget, 0);
  if (FromRoots) SetServer(Answered);
}

void TqmDnsQuery::ReadSystemNameServers(TStrings& AList, const std::string& AFileName) {
  std::ifstream In(AFileName);
  std::string Line;
  while (std::getline(In, Line)) {
    const size_t Comment = Line.find_first_of("#;");
    if (Comment != std::string::npos) Line.erase(Comment);
    const std::vector<std::string> Words = [&] {
      std::vector<std::string> Result;
      size_t Start = 0;
      while ((Start = Line.find_first_not_of(" \t\r", Start)) != std::string::npos) {
        const size_t End = std::min(Line.find_first_of(" \t\r", Start), Line.size());
        Result.push_back(Line.substr(Start, End - Start));
        Start = End;
      }
      return Result;
    }();
    if (Words.size() < 2 || Words[0] != "nameserver") continue;
    bool Known = false;
    for (int I = 0; I < AList.Count() && !Known; ++I) Known = SameText(AList.Get(I), Words[1]);
    if (!Known) AList.Add(Words[1]);
  }
}

std::string TqmDnsQuery::Resolve(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                                 TBudget& ABudget, int ADepth) {
  if (FTranslateIDN) EncodeInternationalNames(ARequest);
  if (FAutodetectServer && AServer.empty() && FRootNameServers.Count() == 0)
    ReadSystemNameServers(FRootNameServers, FSystemResolverConfig);
  if (!AServer.empty() || FRootNameServers.Count() == 0) {
    QueryWithReferrals(ARequest, AResponse, AServer, ABudget, ADepth);
    return AServer;
  }
  // A copy: a referral inside may read the system's servers into the list.
  const std::vector<std::string> Roots = FRootNameServers.Lines();
  std::exception_ptr LastFailure;
  bool NameDoesNotExist = false;
  for (const std::string& Root : Roots) {
    try {
      QueryWithReferrals(ARequest, AResponse, Root, ABudget, ADepth);
      return Root;
    } catch (const EqmSocketError& E) {
      if (IsSpent(E, ABudget.Deadline)) throw;
      LastFailure = std::current_exception();
      if (IsDnsResponseCode(E, qmDnsNameErrorCode)) NameDoesNotExist = true;
    }
  }
  // "No such name" from a server is an answer: the name has no records, and
  // the caller gets the empty response. When no server answered at all, the
  // caller must learn why: a time-out or a server failure is not an answer
  // (a DKIM verifier fails for good on the one and tries again later on the
  // other).
  if (LastFailure && !NameDoesNotExist) std::rethrow_exception(LastFailure);
  return std::string();
}

void TqmDnsQuery::QueryWithReferrals(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                                     TBudget& ABudget, int ADepth) {
  if (ADepth > FMaxRecursiveQueries) return;
  Exchange(ARequest, AResponse, AServer, ABudget);
  if (!FUseRecursiveQueries || AResponse.Answers().Count() > 0) return;
  const TqmDnsRecordList& Authority = AResponse.NameServers();
  for (int I = 0; I < Authority.Count(); ++I) {
    const auto* NS = Authority.ItemAs<TqmDnsNSRecord>(I);
    if (!NS) continue;
    const std::string NameServer = NS->NameServer();
    try {
      std::string Next;
      if (const auto* Glue = AResponse.AdditionalRecords().FindItemAs<TqmDnsARecord>(NameServer)) {
        Next = Glue->IPAddress();
      } else {
        TqmDnsMessage AddressRequest;
        AddressRequest.Header().SetIsQuery(true);
        AddressRequest.Header().SetIsRecursionDesired(FIsRecursiveDesired);
        auto Question = std::make_unique<TqmDnsARecord>();
        Question->SetName(NameServer);
        Question->SetRecordClass(rcInternet);
        AddressRequest.Queries().Add(std::move(Question));
        TqmDnsMessage AddressResponse;
        // Through the root name servers, one level down: a name server
        // whose address needs a referral of its own spends the same budget.
        Resolve(AddressRequest, AddressResponse, std::string(), ABudget, ADepth + 1);
        const auto* Address =
            AddressResponse.Answers().Count() > 0 ? AddressResponse.Answers().ItemAs<TqmDnsARecord>(0) : nullptr;
        if (!Address) continue;
        Next = Address->IPAddress();
      }
      FHostInfo = std::make_unique<TqmHostInfo>(Next, NameServer);
      TqmDnsMessage Referred;
      QueryWithReferrals(ARequest, Referred, Next, ABudget, ADepth + 1);
      AResponse.Assign(Referred);
      return;
    } catch (const EqmSocketError& E) {
      // This name server failed; the next one may do, unless the lookup as
      // a whole has nothing left to spend.
      if (IsSpent(E, ABudget.Deadline)) throw;
    }
  }
}

void TqmDnsQuery::Exchange(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                           TBudget& ABudget) {
  const auto TakeQuestion = [&] {
    if (TqmClock::now() >= ABudget.Deadline) RaiseSocketErrorMessage(qmTimeoutError, qmTimeoutErrorCode);
    if (ABudget.Questions <= 0) throw EqmDnsError(qmDnsTooManyQuestions, qmDnsTooManyQuestionsCode);
    --ABudget.Questions;
  };
  const auto ExchangeOnce = [&] {
    const TqmClock::time_point Deadline =
        std::min(ABudget.Deadline, TqmClock::now() + std::chrono::milliseconds(std::max(FTimeOut, 0)));
    bool UseTcp = FProtocol == dpUseTcp;
    if (!UseTcp) {
      TCloseScope UdpCloser(&UdpClient(), nullptr);
      ExchangeUdp(ARequest, AResponse, AServer, Deadline);
      UseTcp = FProtocol == dpAutodetect && AResponse.Header().IsTruncated();
    }
    if (UseTcp) {
      TCloseScope TcpCloser(nullptr, &TcpClient());
      ExchangeTcp(ARequest, AResponse, AServer, Deadline);
    }
  };
  TakeQuestion();
  if (FUdpPayloadSize > 0 && ARequest.UdpPayloadSize() == 0) ARequest.SetUdpPayloadSize(FUdpPayloadSize);
  try {
    ExchangeOnce();
  } catch (const EqmDnsError& E) {
    // RFC 6891 section 7: a server that does not know EDNS0 answers
    // FORMERR; it gets the question again without the OPT record.
    if (E.ErrorCode() != qmDnsFormatErrorCode || ARequest.UdpPayloadSize() == 0) throw;
    TakeQuestion();
    ARequest.SetUdpPayloadSize(0);
    ExchangeOnce();
  }
}

void TqmDnsQuery::ExchangeUdp(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                              TqmClock::time_point ADeadline) {
  TqmUdpClient& Client = UdpClient();
  Client.SetServer(AServer);
  Client.Open();
  TqmUdpClientConnection& Connection = *Client.Connection();
  const std::string ServerIP = Connection.PeerIP();
  const int ServerPort = Connection.PeerPort();

  FRequestStream.Clear();
  ARequest.Build(FRequestStream, 0);
  FRequestStream.SetPosition(0);
  Client.SendPacket(&FRequestStream);
  DoSendPacket(&FRequestStream);

  // Datagrams from elsewhere, or that answer another question, are dropped;
  // the wait for the real reply keeps its one deadline.
  const int ClientTimeOut = Connection.TimeOut();
  struct TRestoreTimeOut {
    TqmUdpClientConnection& Connection;
    int Value;
    ~TRestoreTimeOut() { Connection.SetTimeOut(Value); }
  } Restore{Connection, ClientTimeOut};
  for (;;) {
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(ADeadline - TqmClock::now()).count();
    if (Left <= 0) RaiseSocketErrorMessage(qmTimeoutError, qmTimeoutErrorCode);
    Connection.SetTimeOut(static_cast<int>(std::min<int64_t>(Left, ClientTimeOut)));
    FResponseStream.Clear();
    Client.ReceivePacket(&FResponseStream);
    if (!Client.Active()) RaiseSocketErrorMessage(qmNotActive, qmNotActiveCode);
    if (!SameEndpoint(Connection.PeerIP(), Connection.PeerPort(), ServerIP, ServerPort)) continue;
    if (!IsDnsReplyTo(ARequest, FResponseStream.Memory(), static_cast<size_t>(FResponseStream.Size()))) continue;
    break;
  }
  DoReceivePacket(&FResponseStream);
  FResponseStream.SetPosition(0);
  AResponse.Parse(FResponseStream);
}

void TqmDnsQuery::ExchangeTcp(TqmDnsMessage& ARequest, TqmDnsMessage& AResponse, const std::string& AServer,
                              TqmClock::time_point ADeadline) {
  TqmTcpClientTls& Client = TcpClient();
  Client.SetServer(AServer);
  FRequestStream.Clear();
  FResponseStream.Clear();
  // Connecting, writing and every read share the one deadline: replies to
  // other questions and bytes that come one at a time do not extend it.
  TqmSyncConnection& Connection = *Client.Connection();
  struct TDeadlineScope {
    TqmSyncConnection& Connection;
    TqmClock::time_point Saved;
    ~TDeadlineScope() { Connection.SetDeadline(Saved); }
  } Scope{Connection, Connection.Deadline()};
  if (ADeadline < Scope.Saved) Connection.SetDeadline(ADeadline);
  if (TqmClock::now() >= ADeadline) RaiseSocketErrorMessage(qmTimeoutError, qmTimeoutErrorCode);
  Client.Open();
  ARequest.BuildFramed(FRequestStream, FBatchSize);
  FRequestStream.SetPosition(0);
  Client.Connection()->WriteData(&FRequestStream);
  DoSendPacket(&FRequestStream);
  for (;;) {
    while (FResponseStream.Size() < 2 ||
           static_cast<size_t>(FResponseStream.Size()) < TqmDnsMessage::FramedLength(FResponseStream) + 2) {
      // A server that closes before the whole message has arrived sent a
      // cut one.
      if (!Client.Active()) RaiseDnsInvalidSize();
      if (TqmClock::now() >= ADeadline) RaiseSocketErrorMessage(qmTimeoutError, qmTimeoutErrorCode);
      FResponseStream.Seek(0, TSeekOrigin::soEnd);
      Client.Connection()->ReadData(&FResponseStream);
    }
    const size_t Length = TqmDnsMessage::FramedLength(FResponseStream);
    if (IsDnsReplyTo(ARequest, FResponseStream.Memory() + 2, Length)) break;
    // Not the answer to this request: drop it and read on.
    const std::string Rest = FResponseStream.DataString().substr(Length + 2);
    FResponseStream.SetDataString(Rest);
  }
  DoReceivePacket(&FResponseStream);
  AResponse.ParseFramed(FResponseStream);
}

}  // namespace qm
