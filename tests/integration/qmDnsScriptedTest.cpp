// The resolver against the scripted DNS server: spoofed replies ahead of the
// real one, silence, malformed answers and referral chains.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "crypto/qmCryptSignature.h"
#include "dkim/qmDkim.h"
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

// The code of what AAction raises as EqmSocketError (0: nothing), its text
// in AText.
int SocketErrorCode(const std::function<void()>& AAction, std::string& AText) {
  try {
    AAction();
  } catch (const EqmSocketError& E) {
    AText = E.Message();
    return E.ErrorCode();
  }
  AText.clear();
  return 0;
}

TEST_F(ScriptedDnsTest, RootServersThatAllFailRaiseTheLastFailureUnlessTheNameIsMissing) {
  // The system's servers, as a DKIM verifier's resolver uses them.
  const std::string Config = (Servers->StateDir() / "scripted-resolv.conf").string();
  std::ofstream(Config) << "nameserver ::1\nnameserver 127.0.0.1\n";
  Query.SetServer("");
  Query.SetSystemResolverConfig(Config);
  Query.SetTimeOut(300);
  std::string Text;
  // Silence from both: a time-out, not an empty answer.
  EXPECT_EQ(SocketErrorCode([&] { Query.ResolveTXT(Unique("silent")); }, Text), qmTimeoutErrorCode);
  EXPECT_EQ(Text, "Timeout error occured");
  EXPECT_EQ(Query.RootNameServers().Count(), 2);
  EXPECT_EQ(Query.Server(), "");
  EXPECT_EQ(SocketErrorCode([&] { Query.ResolveTXT(Unique("servfail")); }, Text), 2);
  EXPECT_EQ(Text, "Server failure");
  // "No such name" is an answer: an empty text, nothing raised.
  EXPECT_EQ(SocketErrorCode([&] { EXPECT_EQ(Query.ResolveTXT(Unique("missing")), ""); }, Text), 0);
  EXPECT_EQ(Query.Server(), "");
  // A server that answers still ends the walk, and is named.
  EXPECT_EQ(Query.ResolveTXT(Unique("ok")), "ok");
  EXPECT_EQ(Query.Server(), "::1");
}

TEST_F(ScriptedDnsTest, DkimKeyLookupsWithoutAnAnswerFailForNow) {
  const std::string Config = (Servers->StateDir() / "scripted-resolv-dkim.conf").string();
  std::ofstream(Config) << "nameserver 127.0.0.1\n";
  TqmDkim Dkim;
  Dkim.SetDomain("qm.test");
  Dkim.PrivateKey().SetKeySize(1024);
  Dkim.PrivateKey().GenerateKey();
  // The verifier's own resolver, left on the system's servers.
  Dkim.DnsQuery().SetSystemResolverConfig(Config);
  Dkim.DnsQuery().SetPort(Port);
  Dkim.DnsQuery().SetTimeOut(300);
  Dkim.SetVerifyMode(dvmVerifyAll);
  struct TCase {
    const char* Selector;
    int Code;
    bool Temporary;
    const char* Text;
  };
  // The selector is the first label of the key's name: it picks the
  // server's behaviour.
  for (const TCase& Case : {TCase{"silent", DKIM_E_OTHER, true, "Timeout error occured"},
                            TCase{"servfail", DKIM_E_OTHER, true, "Server failure"},
                            TCase{"missing", DKIM_E_KEY_REQUIRED, false,
                                  "The key is required to complete the operation"}}) {
    Dkim.SetSelector(Case.Selector);
    TStringList Lines;
    Lines.SetText("From: a@qm.test\r\nTo: b@qm.test\r\nSubject: key lookups\r\n\r\nbody\r\n");
    Dkim.Sign(Lines);
    Dkim.Verify(Lines);
    ASSERT_EQ(Dkim.Signatures().Count(), 1);
    const TqmDkimSignatureVerifyStatus& Status = Dkim.Signatures()[0]->VerifyStatus;
    EXPECT_EQ(Status.Status(), dvsFailed) << Case.Selector;
    EXPECT_EQ(Status.ErrorCode(), Case.Code) << Case.Selector;
    EXPECT_EQ(Status.IsTemporary(), Case.Temporary) << Case.Selector;
    EXPECT_EQ(Status.StatusText(), Case.Text) << Case.Selector;
  }
  // Stopping at the first failure, the caller gets the lookup's own error.
  Dkim.SetSelector("silent");
  TStringList Lines;
  Lines.SetText("From: a@qm.test\r\n\r\nbody\r\n");
  Dkim.Sign(Lines);
  Dkim.SetVerifyMode(dvmVerifyUntilFail);
  std::string Text;
  EXPECT_EQ(SocketErrorCode([&] { Dkim.Verify(Lines); }, Text), qmTimeoutErrorCode);
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

// Referrals a hostile server hands out without end: each to a new name
// server without glue (whose address is again such a referral), or to the
// name itself. The levels end them at MaxRecursiveQueries; with a limit too
// high for that, the question budget of the whole lookup does, nested
// lookups included. Either way the end is quick and clear.
TEST_F(ScriptedDnsTest, EndlessReferralsEndWithinTheBudget) {
  TStringList Roots;
  Roots.Add("127.0.0.1");
  Query.SetRootNameServers(Roots);
  Query.SetUseRecursiveQueries(true);
  struct TCase {
    const char* Kind;
    int MaxRecursiveQueries;
    int Sent;
    int Code;  // 0: no error
  };
  for (const TCase& Case : {TCase{"deep", 4, 5, 0}, TCase{"self", 4, 5, 0},
                            TCase{"deep", 100000, TqmDnsQuery::MaxQuestions, qmDnsTooManyQuestionsCode},
                            TCase{"self", 100000, TqmDnsQuery::MaxQuestions, qmDnsTooManyQuestionsCode}}) {
    SCOPED_TRACE(std::string(Case.Kind) + " " + std::to_string(Case.MaxRecursiveQueries));
    Query.SetMaxRecursiveQueries(Case.MaxRecursiveQueries);
    int Sent = 0;
    Query.OnSendPacket = [&](TObject*, TStream*) { ++Sent; };
    const auto Start = std::chrono::steady_clock::now();
    std::string Text;
    EXPECT_EQ(SocketErrorCode([&] { EXPECT_EQ(Query.ResolveTXT(Unique(Case.Kind)), ""); }, Text), Case.Code);
    if (Case.Code) {
      EXPECT_EQ(Text, "The DNS lookup needs more questions than it may ask");
    }
    EXPECT_EQ(Sent, Case.Sent);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(Query.TimeOut()));
    // The caller's server stays as it was, whatever the referrals named.
    EXPECT_EQ(Query.Server(), "127.0.0.1");
  }
  // Two CNAME records pointing at each other are an answer: one question.
  int Sent = 0;
  Query.OnSendPacket = [&](TObject*, TStream*) { ++Sent; };
  EXPECT_EQ(Query.ResolveTXT(Unique("cname-loop")), "");
  EXPECT_EQ(Sent, 1);
  EXPECT_EQ(Query.Aliases().Count(), 2);
}

// Over TCP as over UDP the exchange has one deadline: a reply sent a byte
// at a time, or a stream of replies to another question, ends at TimeOut.
TEST_F(ScriptedDnsTest, SlowOrWrongTcpRepliesEndAtTimeOut) {
  Query.SetTimeOut(1000);
  for (const char* Kind : {"tcp-drip", "tcp-flood"}) {
    SCOPED_TRACE(Kind);
    const auto Start = std::chrono::steady_clock::now();
    std::string Text;
    EXPECT_EQ(SocketErrorCode([&] { Query.ResolveTXT(Unique(Kind)); }, Text), qmTimeoutErrorCode);
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_GE(Took, std::chrono::milliseconds(900));
    EXPECT_LT(Took, std::chrono::milliseconds(1500));
  }
  // Within the deadline the caller gives, which is shorter here.
  Query.SetTimeOut(5000);
  const auto Start = std::chrono::steady_clock::now();
  std::string Text;
  EXPECT_EQ(SocketErrorCode([&] { Query.ResolveTXT(Unique("tcp-flood"), Start + std::chrono::milliseconds(600)); },
                            Text),
            qmTimeoutErrorCode);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(1100));
}

TEST_F(ScriptedDnsTest, ServerThatRefusesEdnsIsAskedAgainWithout) {
  for (int Payload : {0, 1232}) {
    Query.SetUdpPayloadSize(static_cast<uint16_t>(Payload));
    int Sent = 0;
    Query.OnSendPacket = [&](TObject*, TStream*) { ++Sent; };
    EXPECT_EQ(Query.ResolveTXT(Unique("edns-formerr")), "ok") << Payload;
    EXPECT_EQ(Sent, Payload ? 2 : 1) << Payload;
  }
}

// Twenty signatures whose keys sit behind a silent name server: the key
// lookups of one Verify share one deadline (the resolver's TimeOut), where
// each used to wait its own.
TEST_F(ScriptedDnsTest, VerifyAllAgainstASilentServerEndsWithinOneDeadline) {
  TqmDkim Dkim;
  Dkim.SetDomain("qm.test");
  Dkim.SetSelector("silent");
  Dkim.PrivateKey().SetKeySize(1024);
  Dkim.PrivateKey().GenerateKey();
  Dkim.DnsQuery().SetServer("127.0.0.1");
  Dkim.DnsQuery().SetPort(Port);
  Dkim.DnsQuery().SetTimeOut(500);
  Dkim.SetVerifyMode(dvmVerifyAll);
  Dkim.SetMaxSignatures(0);
  TStringList Lines;
  Lines.SetText("From: a@qm.test\r\nSubject: many signatures\r\n\r\nbody\r\n");
  for (int I = 0; I < 20; ++I) Dkim.Sign(Lines);
  const auto Start = std::chrono::steady_clock::now();
  Dkim.Verify(Lines);
  const auto Took = std::chrono::steady_clock::now() - Start;
  EXPECT_GE(Took, std::chrono::milliseconds(490));
  EXPECT_LT(Took, std::chrono::milliseconds(1000));
  ASSERT_EQ(Dkim.Signatures().Count(), 20);
  for (int I = 0; I < 20; ++I) {
    const TqmDkimSignatureVerifyStatus& Status = Dkim.Signatures()[I]->VerifyStatus;
    EXPECT_EQ(Status.Status(), dvsFailed) << I;
    EXPECT_TRUE(Status.IsTemporary()) << I;
    EXPECT_EQ(Status.StatusText(), "Timeout error occured") << I;
  }
}

}  // namespace
}  // namespace qm
