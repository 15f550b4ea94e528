// The resolver against the scripted DNS server: spoofed replies ahead of the
// real one, silence, malformed answers and referral chains.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "dns/qmDnsQuery.h"
#include "qmTestServers.h"

namespace qm {
namespace {

using test::TestServers;

class ScriptedDnsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = std::make_unique<TestServers>();
    Port = test::Port(Servers->Start("scripted-dns"), "SCRIPTED_DNS_PORT");
  }
  static void TearDownTestSuite() { Servers.reset(); }

  void SetUp() override {
    Query.SetServer("127.0.0.1");
    Query.SetPort(Port);
    Query.SetTimeOut(2000);
  }

  // A name no earlier test asked for (the server counts chain queries).
  static std::string Unique(const std::string& AFirstLabel) {
    static std::atomic<int> Counter{0};
    return AFirstLabel + ".n" + std::to_string(++Counter) + ".qm.test";
  }

  static inline std::unique_ptr<TestServers> Servers;
  static inline int Port = 0;
  TqmDnsQuery Query;
};

TEST_F(ScriptedDnsTest, SpoofedRepliesAheadOfTheRealOneAreDropped) {
  for (const char* Kind : {"spoof-id", "spoof-q", "spoof-type", "spoof-port", "spoof-all"}) {
    int Received = 0;
    Query.OnReceivePacket = [&](TObject*, TStream*) { ++Received; };
    EXPECT_EQ(Query.ResolveTXT(Unique(Kind)), "ok") << Kind;
    EXPECT_EQ(Received, 1) << Kind;
  }
}

TEST_F(ScriptedDnsTest, SpoofedRepliesOverIpv6AreDroppedToo) {
  // "0:0:0:0:0:0:0:1" is the address the replies come from, written
  // otherwise: the check compares addresses, not their texts.
  for (const char* Server : {"::1", "0:0:0:0:0:0:0:1"}) {
    Query.SetServer(Server);
    for (const char* Kind : {"spoof-port", "spoof-all", "ok"}) {
      int Received = 0;
      Query.OnReceivePacket = [&](TObject*, TStream*) { ++Received; };
      EXPECT_EQ(Query.ResolveTXT(Unique(Kind)), "ok") << Server << " " << Kind;
      EXPECT_EQ(Received, 1) << Server << " " << Kind;
    }
    EXPECT_EQ(Query.Server(), Server);
  }
}

TEST_F(ScriptedDnsTest, TcpRepliesAreCheckedToo) {
  EXPECT_EQ(Query.ResolveTXT(Unique("tc")), "over tcp");
  Query.SetProtocol(dpUseUdp);
  EXPECT_EQ(Query.ResolveTXT(Unique("tc")), "");
  EXPECT_TRUE(Query.Response().Header().IsTruncated());
}

TEST_F(ScriptedDnsTest, NoReplyIsATimeOutWithinTimeOut) {
  Query.SetTimeOut(400);
  const auto Start = std::chrono::steady_clock::now();
  try {
    Query.ResolveTXT(Unique("silent"));
    ADD_FAILURE() << "no error";
  } catch (const EqmSocketError& E) {
    EXPECT_EQ(E.ErrorCode(), qmTimeoutErrorCode);
    EXPECT_EQ(E.Message(), "Timeout error occured");
  }
  const auto Took = std::chrono::steady_clock::now() - Start;
  EXPECT_GE(Took, std::chrono::milliseconds(390));
  EXPECT_LT(Took, std::chrono::milliseconds(1400));
  EXPECT_EQ(Query.Server(), "127.0.0.1");
}

TEST_F(ScriptedDnsTest, MalformedAnswersRaiseInvalidSize) {
  for (const char* Kind : {"loop", "cut-record", "past-end"}) {
    try {
      Query.ResolveTXT(Unique(Kind));
      ADD_FAILURE() << Kind << ": no error";
    } catch (const EqmDnsError& E) {
      EXPECT_EQ(E.ErrorCode(), qmDnsInvalidSizeCode) << Kind;
      EXPECT_EQ(E.Message(), "The size of the datagram is invalid") << Kind;
    }
  }
}

TEST_F(ScriptedDnsTest, ReferralsAreReturnedAsTheyAreByDefault) {
  EXPECT_EQ(Query.ResolveTXT(Unique("chain-1")), "");
  EXPECT_EQ(Query.NameServerNames().Count(), 1);
  EXPECT_EQ(Query.HostInfo(), nullptr);
}

TEST_F(ScriptedDnsTest, ReferralChainIsFollowedUpToMaxRecursiveQueries) {
  // Root servers answer the A queries for name servers without glue.
  TStringList Roots;
  Roots.Add("127.0.0.1");
  Query.SetRootNameServers(Roots);
  Query.SetUseRecursiveQueries(true);
  const std::string Name = Unique("chain-4");
  EXPECT_EQ(Query.ResolveTXT(Name), "end of chain");
  ASSERT_NE(Query.HostInfo(), nullptr);
  EXPECT_EQ(Query.HostInfo()->Name(), "ns4." + Name);
  EXPECT_EQ(Query.HostInfo()->IPAddress(), "127.0.0.1");
  EXPECT_EQ(Query.Server(), "127.0.0.1");

  // Five referrals are one more than four levels: the last level does
  // nothing and the response becomes empty.
  EXPECT_EQ(Query.ResolveTXT(Unique("chain-5")), "");
  EXPECT_EQ(Query.Response().Answers().Count(), 0);
  EXPECT_EQ(Query.Response().NameServers().Count(), 0);

  Query.SetMaxRecursiveQueries(0);
  EXPECT_EQ(Query.ResolveTXT(Unique("chain-1")), "");
  EXPECT_EQ(Query.Response().Queries().Count(), 0);
  ASSERT_NE(Query.HostInfo(), nullptr);
}

}  // namespace
}  // namespace qm
