// The resolver against dnsmasq on a loopback high port, authoritative for
// qm.test (so unknown names there are NXDOMAIN, with SOA and NS records).
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "dkim/qmDkim.h"
#include "dns/qmDnsQuery.h"
#include "core/qmIdnTranslator.h"
#include "qmTestServers.h"

namespace qm {
namespace {

using test::TestServers;

std::string Long750() {
  std::string Text;
  for (int I = 0; I < 3; ++I) Text += std::string(250, static_cast<char>('a' + I));
  return Text;
}

// Long750 as the three quoted character strings of a dnsmasq txt-record.
std::string Long750Strings() {
  std::string Strings;
  for (int I = 0; I < 3; ++I) Strings += std::string(I ? "," : "") + '"' + Long750().substr(250 * I, 250) + '"';
  return Strings;
}

// A key record of a 2048-bit RSA key (392 bytes of base64) with a few
// tags and a note: 480 bytes of text, over 512 with the message around it.
std::string Key2048() {
  std::string Key = "v=DKIM1; h=sha256; k=rsa; s=email; t=s; n=rotated_2026-12; p=";
  while (Key.size() < 480) Key += static_cast<char>('A' + Key.size() % 26);
  return Key;
}

// A TXT query for a name dnsmasq does not know raises "No such name" (3).
void ExpectNoSuchName(TqmDnsQuery& AQuery) {
  try {
    AQuery.ResolveTXT("missing.qm.test");
    ADD_FAILURE() << "no error";
  } catch (const EqmDnsError& E) {
    EXPECT_EQ(E.ErrorCode(), 3);
    EXPECT_EQ(E.Message(), "No such name");
  }
}

class DnsmasqTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = std::make_unique<TestServers>();
    const std::string Records = (Servers->StateDir() / "qm-records.conf").string();
    std::ofstream Out(Records);
    Out << "auth-server=ns.qm.test,127.0.0.1\n"
           "auth-zone=qm.test\n"
           "auth-soa=2024010101,hostmaster.qm.test,1200,120,604800\n"
           "txt-record=sel._domainkey.qm.test,\"v=DKIM1; k=rsa; \",\"p=MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC\"\n"
           "txt-record=big._domainkey.qm.test,\""
        << Key2048().substr(0, 255) << "\",\"" << Key2048().substr(255)
        << "\"\n"
           "txt-record=two.qm.test,\"first\"\n"
           "txt-record=two.qm.test,\"second\"\n"
           "txt-record=long.qm.test,"
        << Long750Strings()
        << "\n"
           "txt-record=xn--bcher-kva.qm.test,\"idn\"\n"
           "host-record=host.qm.test,192.0.2.10,2001:db8::10\n"
           "mx-host=qm.test,mail.qm.test,10\n"
           "cname=alias.qm.test,host.qm.test\n";
    Out.close();
    const auto& Env = Servers->Start("dnsmasq", {"--records", Records});
    Port = test::Port(Env, "DNS_PORT");
  }
  static void TearDownTestSuite() { Servers.reset(); }

  void SetUp() override {
    Query.SetPort(Port);
    Query.SetServer("127.0.0.1");
    Query.SetTimeOut(3000);
  }

  // A query of ARecordType for AName through Resolve().
  void Ask(const std::string& AName, uint16_t ARecordType) {
    Query.Clear();
    Query.Query().Header().SetIsQuery(true);
    Query.Query().Header().SetIsRecursionDesired(true);
    std::unique_ptr<TqmDnsRecord> Question = Query.Query().CreateRecord(ARecordType);
    Question->SetName(AName);
    Question->SetRecordType(ARecordType);
    Query.Query().Queries().Add(std::move(Question));
    Query.Resolve();
  }

  static inline std::unique_ptr<TestServers> Servers;
  static inline int Port = 0;
  TqmDnsQuery Query;
};

TEST_F(DnsmasqTest, DkimKeyOfTwoStringsIsOneText) {
  int Sent = 0, Received = 0;
  Query.OnSendPacket = [&](TObject* Sender, TStream* AData) {
    EXPECT_EQ(Sender, &Query);
    EXPECT_GT(AData->Size(), 12);
    ++Sent;
  };
  Query.OnReceivePacket = [&](TObject*, TStream*) { ++Received; };
  EXPECT_EQ(Query.ResolveTXT("sel._domainkey.qm.test"), "v=DKIM1; k=rsa; p=MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC");
  EXPECT_EQ(Sent, 1);
  EXPECT_EQ(Received, 1);
  ASSERT_EQ(Query.Response().Answers().Count(), 1);
  EXPECT_EQ(Query.Response().Header().ID(), Query.Query().Header().ID());
  EXPECT_TRUE(Query.Response().Header().IsAuthoritativeAnswer());
  // The authority section names the zone's server.
  ASSERT_EQ(Query.NameServerNames().Count(), 1);
  EXPECT_EQ(Query.NameServerNames().Get(0), "ns.qm.test");
  EXPECT_EQ(Query.Server(), "127.0.0.1");
  // Case does not matter to the server, and the reply repeats our case.
  EXPECT_EQ(Query.ResolveTXT("SEL._DomainKey.QM.test").substr(0, 8), "v=DKIM1;");
}

TEST_F(DnsmasqTest, TwoTxtRecordsAreQuotedAndJoined) {
  const std::string Text = Query.ResolveTXT("two.qm.test");
  EXPECT_TRUE(Text == "\"first\",\"second\"" || Text == "\"second\",\"first\"") << Text;
}

TEST_F(DnsmasqTest, AddressMailServerAliasAuthorityRecords) {
  Ask("host.qm.test", qmDnsTypeA);
  ASSERT_GE(Query.Response().Answers().Count(), 1);
  EXPECT_EQ(static_cast<TqmDnsARecord*>(Query.Response().Answers().Items(0))->IPAddress(), "192.0.2.10");

  Ask("host.qm.test", qmDnsTypeAAAA);
  ASSERT_GE(Query.Response().Answers().Count(), 1);
  EXPECT_EQ(static_cast<TqmDnsAAAARecord*>(Query.Response().Answers().Items(0))->IPv6Address(), "2001:DB8::10");

  Ask("qm.test", qmDnsTypeMX);
  ASSERT_GE(Query.Response().Answers().Count(), 1);
  auto* MX = static_cast<TqmDnsMXRecord*>(Query.Response().Answers().Items(0));
  EXPECT_EQ(MX->Preference(), 10);
  EXPECT_EQ(MX->MailServer(), "mail.qm.test");

  Ask("alias.qm.test", qmDnsTypeA);
  const TqmDnsRecord* CName = Query.Response().Answers().FindItem("alias.qm.test", qmDnsTypeCNAME);
  ASSERT_NE(CName, nullptr);
  EXPECT_EQ(static_cast<const TqmDnsCNAMERecord*>(CName)->PrimaryName(), "host.qm.test");
  const TqmDnsRecord* Target = Query.Response().Answers().FindItem("host.qm.test", qmDnsTypeA);
  ASSERT_NE(Target, nullptr);

  Ask("qm.test", qmDnsTypeSOA);
  const auto* SOA = dynamic_cast<const TqmDnsSOARecord*>(Query.Response().Answers().FindItem("qm.test", qmDnsTypeSOA));
  ASSERT_NE(SOA, nullptr);
  EXPECT_EQ(SOA->PrimaryNameServer(), "ns.qm.test");
  EXPECT_EQ(SOA->ResponsiblePerson(), "hostmaster.qm.test");
  EXPECT_EQ(SOA->SerialNumber(), 2024010101u);
  EXPECT_EQ(SOA->RefreshInterval(), 1200u);
  EXPECT_EQ(SOA->RetryInterval(), 120u);
  EXPECT_EQ(SOA->ExpirationLimit(), 604800u);

  Ask("qm.test", qmDnsTypeNS);
  const auto* NS = dynamic_cast<const TqmDnsNSRecord*>(Query.Response().Answers().FindItem("qm.test", qmDnsTypeNS));
  ASSERT_NE(NS, nullptr);
  EXPECT_EQ(NS->NameServer(), "ns.qm.test");
}

TEST_F(DnsmasqTest, NoSuchNameWithAServerAndThroughRootServers) {
  ExpectNoSuchName(Query);
  // The response was decoded all the same: the zone's SOA is there.
  EXPECT_NE(Query.Response().NameServers().FindItem("qm.test", qmDnsTypeSOA), nullptr);
  EXPECT_EQ(Query.Server(), "127.0.0.1");

  // Through the root servers a name that does not exist is an empty text
  // (a time-out there is raised: ScriptedDnsTest).
  Query.SetServer("");
  TStringList Roots;
  Roots.Add("127.0.0.1");
  Query.SetRootNameServers(Roots);
  EXPECT_EQ(Query.ResolveTXT("missing.qm.test"), "");
  EXPECT_EQ(Query.Response().Header().ResponseCode(), 3);
  EXPECT_EQ(Query.Server(), "");
  // A name that exists answers through the same list and names the server.
  EXPECT_EQ(Query.ResolveTXT("two.qm.test").size(), 16u);
  EXPECT_EQ(Query.Server(), "127.0.0.1");
}

TEST_F(DnsmasqTest, SystemNameServersInFileOrderWithoutDuplicates) {
  const std::string Config = (Servers->StateDir() / "resolv.conf").string();
  std::ofstream(Config) << "# generated\nsearch qm.test\nnameserver ::1\noptions ndots:1\n"
                           "nameserver 127.0.0.1 ; trailing comment\nnameserver ::1\nnameserver\n";
  TStringList Found;
  TqmDnsQuery::ReadSystemNameServers(Found, Config);
  ASSERT_EQ(Found.Count(), 2);
  EXPECT_EQ(Found.Get(0), "::1");
  EXPECT_EQ(Found.Get(1), "127.0.0.1");

  // Nothing listens on ::1 at that port: the first server times out and
  // the second answers, which Server then names.
  Query.SetServer("");
  Query.SetTimeOut(300);
  Query.SetSystemResolverConfig(Config);
  EXPECT_EQ(Query.ResolveTXT("sel._domainkey.qm.test").substr(0, 8), "v=DKIM1;");
  ASSERT_EQ(Query.RootNameServers().Count(), 2);
  EXPECT_EQ(Query.Server(), "127.0.0.1");
}

TEST_F(DnsmasqTest, TruncatedAnswerGoesOverTcpUnlessUdpIsForced) {
  int UdpSetups = 0, TcpSetups = 0;
  Query.OnSetupUdpClient = [&](TObject*, TqmUdpClient*) { ++UdpSetups; };
  Query.OnSetupTcpClient = [&](TObject*, TqmTcpClientTls* AClient) {
    EXPECT_EQ(AClient->BatchSize(), 16384);
    ++TcpSetups;
  };
  EXPECT_EQ(Query.ResolveTXT("long.qm.test"), Long750());
  EXPECT_FALSE(Query.Response().Header().IsTruncated());
  EXPECT_EQ(UdpSetups, 1);
  EXPECT_EQ(TcpSetups, 1);

  Query.SetProtocol(dpUseUdp);
  EXPECT_EQ(Query.ResolveTXT("long.qm.test"), "");
  EXPECT_TRUE(Query.Response().Header().IsTruncated());

  Query.SetProtocol(dpUseTcp);
  EXPECT_EQ(Query.ResolveTXT("long.qm.test"), Long750());
  EXPECT_EQ(Query.ResolveTXT("sel._domainkey.qm.test").substr(0, 8), "v=DKIM1;");
}

// A 2048-bit key record is over 512 bytes: without EDNS0 it comes
// truncated and is asked again over TCP; the DKIM component's resolver
// announces 1232 bytes and gets it in one UDP exchange.
TEST_F(DnsmasqTest, DkimKeyRecordsComeInOneUdpExchange) {
  TqmDkim Dkim;
  for (TqmDnsQuery* Resolver : {&Query, &Dkim.DnsQuery()}) {
    const bool Edns = Resolver != &Query;
    SCOPED_TRACE(Edns ? "EDNS0" : "no EDNS0");
    Resolver->SetServer("127.0.0.1");
    Resolver->SetPort(Port);
    int Sent = 0, Tcp = 0;
    Resolver->OnSendPacket = [&](TObject*, TStream*) { ++Sent; };
    Resolver->OnSetupTcpClient = [&](TObject*, TqmTcpClientTls*) { ++Tcp; };
    EXPECT_EQ(Resolver->ResolveTXT("big._domainkey.qm.test"), Key2048());
    EXPECT_EQ(Sent, Edns ? 1 : 2);
    EXPECT_EQ(Tcp, Edns ? 0 : 1);
  }
}

TEST_F(DnsmasqTest, InternationalNamesGoOutInTheirAsciiForm) {
  EXPECT_EQ(Query.ResolveTXT("b\xC3\xBC" "cher.qm.test"), "idn");
  EXPECT_EQ(Query.Response().Queries().Items(0)->Name(), "xn--bcher-kva.qm.test");
  // A question the caller built goes the same way, and so does one asked
  // through the root servers.
  Ask("B\xC3\xBC" "cher.qm.test", qmDnsTypeTXT);
  EXPECT_EQ(Query.Query().Queries().Items(0)->Name(), "xn--bcher-kva.qm.test");
  const auto* Txt = dynamic_cast<const TqmDnsTXTRecord*>(Query.Response().Answers().Items(0));
  ASSERT_NE(Txt, nullptr);
  EXPECT_EQ(Txt->Text(), "idn");
  Query.SetServer("");
  TStringList Roots;
  Roots.Add("127.0.0.1");
  Query.SetRootNameServers(Roots);
  Ask("b\xC3\xBC" "cher.qm.test", qmDnsTypeTXT);
  EXPECT_EQ(Query.Response().Answers().Count(), 1);
  // A name that cannot be encoded is refused before anything is sent.
  int Sent = 0;
  Query.OnSendPacket = [&](TObject*, TStream*) { ++Sent; };
  EXPECT_THROW(Ask("b\xC3\xBC" "cher..qm.test", qmDnsTypeTXT), EqmIdnError);
  EXPECT_EQ(Sent, 0);
  Query.SetServer("127.0.0.1");
  Query.SetTranslateIDN(false);
  // The raw bytes are not a name the zone has.
  EXPECT_THROW(Query.ResolveTXT("b\xC3\xBC" "cher.qm.test"), EqmDnsError);
  EXPECT_THROW(Ask("b\xC3\xBC" "cher.qm.test", qmDnsTypeTXT), EqmDnsError);
}

// dnsmasq listening on ::1 alone: every exchange goes over IPv6, and every
// reply passes the check of its source address.
class DnsmasqIpv6Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = std::make_unique<TestServers>();
    const std::string Records = (Servers->StateDir() / "qm6-records.conf").string();
    std::ofstream(Records) << "auth-server=ns.qm.test,::1\n"
                              "auth-zone=qm.test\n"
                              "auth-soa=2024010101,hostmaster.qm.test,1200,120,604800\n"
                              "txt-record=sel._domainkey.qm.test,\"v=DKIM1; k=rsa; \",\"p=MIGfMA0GCSqGSIb3\"\n"
                              "txt-record=long.qm.test,"
                           << Long750Strings() << "\n";
    const auto& Env = Servers->Start("dnsmasq", {"--records", Records, "--listen", "::1"});
    EXPECT_EQ(test::Value(Env, "DNS_HOST"), "::1");
    Port = test::Port(Env, "DNS_PORT");
  }
  static void TearDownTestSuite() { Servers.reset(); }

  static inline std::unique_ptr<TestServers> Servers;
  static inline int Port = 0;
};

TEST_F(DnsmasqIpv6Test, AnswersOverUdpAndTcpComeFromTheServerQueried) {
  // The long form names the same address the replies come from: only a
  // comparison of the addresses themselves, not of their texts, accepts them.
  for (const char* Server : {"::1", "0:0:0:0:0:0:0:1"}) {
    SCOPED_TRACE(Server);
    TqmDnsQuery Query;
    Query.SetServer(Server);
    Query.SetPort(Port);
    Query.SetTimeOut(3000);
    EXPECT_EQ(Query.ResolveTXT("sel._domainkey.qm.test"), "v=DKIM1; k=rsa; p=MIGfMA0GCSqGSIb3");
    EXPECT_EQ(Query.Server(), Server);
    // Truncated over UDP, complete over TCP to the same IPv6 server.
    EXPECT_EQ(Query.ResolveTXT("long.qm.test"), Long750());
    ExpectNoSuchName(Query);
  }
}

}  // namespace
}  // namespace qm
