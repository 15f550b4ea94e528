// The POP3 client against a scripted server of the test's own, for
// greetings, replies and logins no real server here sends; the SMTP
// client's reply codes and Message-IDs.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <set>
#include <thread>

#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace qmtest;

// Sends the greeting, then answers each command line with the next reply
// and records the lines; after the script it answers QUIT once.
struct TPop3Script {
  TFd Listen;
  int Port = 0;
  std::vector<std::string> Received;
  TServerThread Thread;
  TPop3Script(const std::string& AGreeting, std::vector<std::string> AReplies) {
    Listen = Listener("127.0.0.1", Port);
    Thread = TServerThread([this, AGreeting, AReplies] {
      TFd Peer = AcceptOne(Listen);
      if (Peer < 0) return;
      SendText(Peer, AGreeting);
      std::string Buffer;
      auto Line = [&]() -> bool {
        for (;;) {
          const size_t E = Buffer.find("\r\n");
          if (E != std::string::npos) {
            Received.push_back(Buffer.substr(0, E));
            Buffer.erase(0, E + 2);
            return true;
          }
          const std::string More = ReadUntil(Peer, "\n", 5000);
          if (More.empty()) return false;
          Buffer += More;
        }
      };
      for (const std::string& Reply : AReplies) {
        if (!Line()) return;
        SendText(Peer, Reply);
      }
      if (Line() && Received.back() == "QUIT") SendText(Peer, "+OK bye\r\n");
    });
  }
};

void Connect(TqmPop3& P, const TPop3Script& S) {
  P.SetServer("127.0.0.1");
  P.SetPort(S.Port);
  P.SetTimeOut(5000);
  P.SetUserName("user");
  P.SetPassword("secret");
}

TEST(Pop3, ReplyCodes) {
  TqmPop3 P;
  EXPECT_EQ(P.GetResponseCode("+OK 2 320"), 10);
  EXPECT_EQ(P.GetResponseCode("-ERR no"), 20);
  EXPECT_EQ(P.GetResponseCode("+ PDE4OT4="), 30);
  EXPECT_EQ(P.GetResponseCode("+"), 30);
  EXPECT_EQ(P.GetResponseCode(" + "), 30);
  EXPECT_EQ(P.GetResponseCode("\t+\x01"), 30);
  EXPECT_EQ(P.GetResponseCode(" ++"), 0);
  EXPECT_EQ(P.GetResponseCode("   "), 0);
  EXPECT_EQ(P.GetResponseCode("."), 1);
  EXPECT_EQ(P.GetResponseCode(".."), 0);
  EXPECT_EQ(P.GetResponseCode("+ok"), 0);
  EXPECT_EQ(P.GetResponseCode("body line"), 0);
  P.OnGetResponseCode = [](TObject*, const std::string& A, int& C) {
    if (A == "OK?") C = 10;
  };
  EXPECT_EQ(P.GetResponseCode("OK?"), 10);
  EXPECT_EQ(P.GetResponseCode("+OK"), 10);
  EXPECT_EQ(P.GetDefaultPort(), 110);
}

TEST(Pop3, GreetingTimeStampsAndApop) {
  struct TCase {
    std::string Greeting, TimeStamp;
  };
  const TCase Cases[] = {
      {"+OK ready <1896.697170952@dbc.mtview.ca.us>\r\n", "<1896.697170952@dbc.mtview.ca.us>"},
      {"+OK a <x> and <y>\r\n", "<x>"},
      {"+OK reversed > then <\r\n", ""},
      {"+OK no stamp\r\n", ""},
  };
  for (const TCase& C : Cases) {
    TPop3Script S(C.Greeting, {"-ERR no SASL here\r\n", "+OK in\r\n"});
    TqmPop3 P;
    Connect(P, S);
    P.SetPassword("tanstaaf");
    P.SetUseSasl(true);
    P.Open();
    EXPECT_EQ(P.TimeStamp(), C.TimeStamp) << C.Greeting;
    P.Close();
    S.Thread.Join();
    ASSERT_EQ(S.Received.size(), 3u);
    EXPECT_EQ(S.Received[0], "AUTH");
    if (C.TimeStamp == "<1896.697170952@dbc.mtview.ca.us>") {
      EXPECT_EQ(S.Received[1], "APOP user c4c9334bac560ecc979e58001b3e22fb");
    } else if (C.TimeStamp.empty()) {
      EXPECT_EQ(S.Received[1], "APOP user ");
    }
    EXPECT_EQ(S.Received[2], "QUIT");
  }
}

TEST(Pop3, StatWithExtraWordsIsUnreadableAndAskedAgain) {
  TPop3Script S("+OK\r\n", {"+OK\r\n", "+OK\r\n", "+OK 2 320 octets\r\n", "+OK 2 320 octets\r\n",
                            "+OK 0 0\r\n", "+OK 7 9000000000\r\n"});
  TqmPop3 P;
  Connect(P, S);
  P.Open();
  EXPECT_EQ(P.MessageCount(), -1);
  EXPECT_EQ(P.MailBoxSize(), -1);
  EXPECT_EQ(P.MessageCount(), -1);
  EXPECT_EQ(P.MessageCount(), 0);
  EXPECT_EQ(P.MailBoxSize(), 0);
  EXPECT_EQ(P.MessageCount(), 0);  // read: no STAT now
  P.GetMailBoxInfo();
  EXPECT_EQ(P.MessageCount(), 7);
  EXPECT_EQ(P.MailBoxSize(), 9000000000);
  P.Close();
  S.Thread.Join();
  EXPECT_EQ(std::count(S.Received.begin(), S.Received.end(), "STAT"), 4);
}

TEST(Pop3, XOAuth2AndSizesAndMessageLines) {
  TPop3Script S("+OK\r\n", {"+ \r\n", "+OK welcome\r\n", "+OK 3 1234\r\n",
                            "+OK\r\nSubject: s\r\n\r\n..dot\r\n+OK inside\r\n.\r\n"});
  TqmPop3 P;
  Connect(P, S);
  P.SetAuthorization("Bearer tok");
  EXPECT_TRUE(P.UseSasl());
  P.Open();
  // Short commands go out at once, not after the server's delayed ACK.
  int NoDelay = 0;
  socklen_t Size = sizeof NoDelay;
  ASSERT_EQ(getsockopt(P.Connection()->Socket().Handle(), IPPROTO_TCP, TCP_NODELAY, &NoDelay, &Size), 0);
  EXPECT_NE(NoDelay, 0);
  EXPECT_EQ(P.GetMessageSize(3), 1234);
  EXPECT_EQ(P.CurrentMessage(), 3);
  // Without OnProgress, RETR comes without LIST.
  TqmMailMessage M;
  P.Retrieve(3, &M);
  EXPECT_EQ(P.Response().ToVector(), (std::vector<std::string>{"Subject: s", "", ".dot", "+OK inside"}));
  EXPECT_EQ(M.Subject(), "s");
  P.Close();
  S.Thread.Join();
  ASSERT_GE(S.Received.size(), 4u);
  EXPECT_EQ(S.Received[0], "AUTH XOAUTH2");
  EXPECT_EQ(S.Received[1], "dXNlcj11c2VyAWF1dGg9QmVhcmVyIHRvawEB");
  EXPECT_EQ(S.Received[2], "LIST 3");
  EXPECT_EQ(S.Received[3], "RETR 3");
}

TEST(Pop3, LoginArgumentsThatWouldBreakTheCommandAreRefusedFirst) {
  for (const std::string& User : {std::string("a\r\nDELE 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
    TPop3Script S("+OK\r\n", {"+OK\r\n", "+OK\r\n"});
    TqmPop3 P;
    Connect(P, S);
    P.SetUserName(User);
    try {
      P.Open();
      FAIL() << "no error";
    } catch (const EqmTcpClientError& E) {
      EXPECT_TRUE(E.ErrorCode() == qmCommandLineBreakCode || E.ErrorCode() == qmCommandNulCode);
    }
    EXPECT_FALSE(P.Active());
    S.Thread.Join();
    EXPECT_TRUE(S.Received.empty());
  }
}

TEST(Pop3, AuthorizationSwitchesSaslOnExceptWhileLoading) {
  TqmPop3 P;
  int Changes = 0;
  P.OnChanged = [&](TObject*) { ++Changes; };
  P.BeginLoading();
  P.SetAuthorization("x");
  P.EndLoading();
  EXPECT_FALSE(P.UseSasl());
  P.SetAuthorization("");
  P.SetAuthorization("y");
  EXPECT_TRUE(P.UseSasl());
  P.SetUseSasl(false);
  P.SetAuthorization("y");  // no change: UseSasl stays off
  EXPECT_FALSE(P.UseSasl());
  EXPECT_GE(Changes, 3);

  auto* M = new TqmMailMessage;
  P.SetMailMessage(M);
  EXPECT_EQ(P.MailMessage(), M);
  delete M;
  EXPECT_EQ(P.MailMessage(), nullptr);
}

TEST(Smtp, ReplyCodesAndMessageIds) {
  TqmSmtp S;
  EXPECT_EQ(S.GetResponseCode("250-PIPELINING"), 0);
  EXPECT_EQ(S.GetResponseCode("250 ok"), 250);
  EXPECT_EQ(S.GetResponseCode("354"), 354);
  EXPECT_EQ(S.GetResponseCode("xyz-"), 0);
  EXPECT_EQ(S.GetResponseCode("abc def"), 0);
  EXPECT_EQ(S.GetDefaultPort(), 25);
  EXPECT_EQ(S.MailAgent(), "Quillmark Internet Suite");

  S.SetHostName("host.qm.test");
  const std::string Id = S.GenerateMessageID();
  ASSERT_GE(Id.size(), 2 + 8 + 12 + 6 + 13u);
  EXPECT_EQ(Id.front(), '<');
  EXPECT_EQ(Id.substr(Id.size() - 14), "@host.qm.test>");
  const std::string Hex = Id.substr(1, Id.find('@') - 1);
  EXPECT_EQ(Hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << Id;
  // The counter and its double close the hexadecimal part.
  const unsigned Counter = std::stoul(Hex.substr(Hex.size() - 6, 3), nullptr, 16);
  EXPECT_EQ(std::stoul(Hex.substr(Hex.size() - 3), nullptr, 16), Counter * 2);

  // Unique across threads calling at once.
  std::vector<std::vector<std::string>> Ids(4);
  std::vector<std::thread> Threads;
  for (auto& Out : Ids)
    Threads.emplace_back([&Out] {
      TqmSmtp Own;
      Own.SetHostName("h");
      for (int I = 0; I < 500; ++I) Out.push_back(Own.GenerateMessageID());
    });
  for (auto& T : Threads) T.join();
  std::set<std::string> All;
  for (const auto& Out : Ids) All.insert(Out.begin(), Out.end());
  EXPECT_EQ(All.size(), 2000u);
}

TEST(Smtp, EmptyListsAreRefusedBeforeAnythingIsSent) {
  TqmSmtp S;
  TStringList None, Some(std::vector<std::string>{"a@b"});
  try {
    S.SendMessage("a@b", None, Some);
    FAIL();
  } catch (const EqmSmtpError& E) {
    EXPECT_EQ(E.ErrorCode(), -200);
    EXPECT_STREQ(E.what(), "The data list is empty");
  }
  EXPECT_EQ(None.Count(), 0);  // no touch-up of nothing
  try {
    S.SendRecipients(None);
    FAIL();
  } catch (const EqmSmtpError& E) {
    EXPECT_EQ(E.ErrorCode(), -201);
    EXPECT_STREQ(E.what(), "The recipient list is empty");
  }
}

}  // namespace
}  // namespace qm
