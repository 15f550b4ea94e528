// UIDL, DELE and RSET against dovecot: the ids are the ones dovecot keeps
// in its uid list, a deletion takes effect only at QUIT and RSET undoes
// it; and a server's unreadable UIDL listing is refused.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "mail/qmPop3.h"
#include "tests/integration/qmTestServers.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

class TTestPop3 : public TqmPop3 {
 public:
  std::vector<std::string> Sent;
  TTestPop3() {
    OnSendCommand = [this](TObject*, const std::string& AText) { Sent.push_back(AText); };
    SetTimeOut(10000);
  }
  ~TTestPop3() override {
    try {
      Close();
    } catch (...) {
    }
  }
};

class Pop3Commands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("dovecot");
    Servers->RunScript("fill-maildir.sh", {"--count", "6", "--size", "500"});
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }

  void Prepare(TTestPop3& P) {
    P.SetServer("127.0.0.1");
    P.SetPort(Port(Env, "POP3_PORT"));
    P.SetUserName(Value(Env, "POP3_USER"));
    P.SetPassword(Value(Env, "POP3_PASSWORD"));
  }

  // The ids dovecot derives from its uid list (pop3_uidl_format
  // %08Xu%08Xv, which it writes in lower case), in the order of the POP3
  // listing.
  static std::vector<std::string> StoredIds() {
    std::ifstream In(std::filesystem::path(Value(Env, "POP3_MAILDIR")) / "dovecot-uidlist");
    std::string Header;
    std::getline(In, Header);
    std::istringstream Fields(Header);
    std::string Field;
    unsigned long Validity = 0;
    while (Fields >> Field)
      if (Field[0] == 'V') Validity = std::stoul(Field.substr(1));
    std::vector<std::string> Ids;
    for (std::string Line; std::getline(In, Line);) {
      if (Line.empty()) continue;
      char Id[32];
      std::snprintf(Id, sizeof Id, "%08lx%08lx", std::stoul(Line), Validity);
      Ids.push_back(Id);
    }
    return Ids;
  }

  static size_t StoredCount() {
    size_t Count = 0;
    const std::filesystem::path Maildir = Value(Env, "POP3_MAILDIR");
    for (const char* Sub : {"cur", "new"})
      for ([[maybe_unused]] const auto& E : std::filesystem::directory_iterator(Maildir / Sub)) ++Count;
    return Count;
  }

  static TestServers* Servers;
  static ServerEnv Env;
};
TestServers* Pop3Commands::Servers = nullptr;
ServerEnv Pop3Commands::Env;

TEST_F(Pop3Commands, UidlListsTheIdsDovecotKeepsAndEachOneAlone) {
  TTestPop3 P;
  Prepare(P);
  P.Open();
  const auto Ids = P.Uidl();
  const int Count = P.MessageCount();
  ASSERT_GE(Count, 1);
  ASSERT_EQ(static_cast<int>(Ids.size()), Count);
  const std::vector<std::string> Stored = StoredIds();
  ASSERT_EQ(Stored.size(), Ids.size());
  for (int I = 0; I < Count; ++I) {
    EXPECT_EQ(Ids[I].MessageNumber, I + 1);
    EXPECT_EQ(Ids[I].UniqueId, Stored[I]);
    EXPECT_EQ(P.Uidl(I + 1), Stored[I]);
  }
  EXPECT_EQ(P.Sent.back(), "UIDL " + std::to_string(Count) + "\r\n");
  // A number past the end is the server's "-ERR", and the session goes on.
  try {
    P.Uidl(Count + 1);
    FAIL() << "no error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 20);
  }
  EXPECT_EQ(P.Uidl(1), Stored[0]);
}

TEST_F(Pop3Commands, RsetUndoesDeleteAndNothingIsRemoved) {
  const size_t Before = StoredCount();
  TTestPop3 P;
  Prepare(P);
  P.Open();
  const auto Ids = P.Uidl();
  ASSERT_GE(Ids.size(), 3u);
  P.Dele(2);
  EXPECT_EQ(P.Sent.back(), "DELE 2\r\n");
  // A marked message is gone from the listing and cannot be read; the
  // others keep their numbers.
  const auto Marked = P.Uidl();
  ASSERT_EQ(Marked.size(), Ids.size() - 1);
  EXPECT_EQ(Marked[1].MessageNumber, 3);
  EXPECT_EQ(Marked[1].UniqueId, Ids[2].UniqueId);
  EXPECT_THROW(P.Retrieve(2), EqmTcpClientError);
  EXPECT_THROW(P.Dele(2), EqmTcpClientError);
  P.Rset();
  EXPECT_EQ(P.Sent.back(), "RSET\r\n");
  const auto Restored = P.Uidl();
  ASSERT_EQ(Restored.size(), Ids.size());
  EXPECT_EQ(Restored[1].UniqueId, Ids[1].UniqueId);
  P.Close();
  EXPECT_EQ(StoredCount(), Before);
}

TEST_F(Pop3Commands, DeleteTakesEffectAtQuitAndTheOtherIdsStay) {
  TTestPop3 P;
  Prepare(P);
  P.Open();
  const auto Ids = P.Uidl();
  ASSERT_GE(Ids.size(), 3u);
  const size_t Before = StoredCount();
  P.Dele(1);
  P.Dele(3);
  // Only QUIT removes them: a session that breaks off keeps them.
  EXPECT_EQ(StoredCount(), Before);
  P.Close();
  EXPECT_EQ(StoredCount(), Before - 2);

  P.Sent.clear();
  P.Open();
  const auto After = P.Uidl();
  ASSERT_EQ(After.size(), Ids.size() - 2);
  std::vector<std::string> Expected;
  for (size_t I = 0; I < Ids.size(); ++I)
    if (I != 0 && I != 2) Expected.push_back(Ids[I].UniqueId);
  for (size_t I = 0; I < After.size(); ++I) {
    EXPECT_EQ(After[I].MessageNumber, static_cast<int>(I) + 1);
    EXPECT_EQ(After[I].UniqueId, Expected[I]);
  }
}

// A server whose UIDL answers are not "number id" lines.
TEST(Pop3UidlReplies, UnreadableListingsAreRefused) {
  int PortNumber = 0;
  qmtest::TFd Listen = qmtest::Listener("127.0.0.1", PortNumber);
  qmtest::TServerThread Server([&Listen] {
    qmtest::TFd C = qmtest::AcceptOne(Listen);
    if (C < 0) return;
    qmtest::SendText(C, "+OK ready\r\n");
    const std::vector<std::pair<std::string, std::string>> Script = {
        {"USER", "+OK\r\n"},
        {"PASS", "+OK\r\n"},
        {"UIDL\r\n", "+OK\r\n1 abc\r\nnot-a-number xyz\r\n.\r\n"},
        {"UIDL\r\n", "+OK\r\n1 abc\r\n2\r\n.\r\n"},
        {"UIDL\r\n", "+OK\r\n1 " + std::string(71, 'x') + "\r\n.\r\n"},
        {"UIDL 1", "+OK 2 abc\r\n"},
        {"UIDL 1", "+OK 1 good-id\r\n"},
        {"UIDL\r\n", "+OK\r\n1 abc\r\n3  def \r\n.\r\n"},
    };
    for (const auto& [Command, Reply] : Script) {
      const std::string Got = qmtest::ReadUntil(C, "\r\n");
      if (Got.rfind(Command, 0) != 0) return;
      qmtest::SendText(C, Reply);
    }
    qmtest::ReadUntil(C, "QUIT\r\n");
    qmtest::SendText(C, "+OK\r\n");
  });
  TTestPop3 P;
  P.SetServer("127.0.0.1");
  P.SetPort(PortNumber);
  P.SetUserName("u");
  P.SetPassword("p");
  P.Open();
  for (int I = 0; I < 3; ++I) {
    try {
      P.Uidl();
      FAIL() << "no error for listing " << I;
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), qmPop3UidlInvalidCode);
    }
  }
  // The answer for another message is not this message's id.
  EXPECT_THROW(P.Uidl(1), EqmTcpClientError);
  EXPECT_EQ(P.Uidl(1), "good-id");
  const auto Ids = P.Uidl();
  ASSERT_EQ(Ids.size(), 2u);
  EXPECT_EQ(Ids[1].MessageNumber, 3);
  EXPECT_EQ(Ids[1].UniqueId, "def");
  P.Close();
}

}  // namespace
}  // namespace qm
