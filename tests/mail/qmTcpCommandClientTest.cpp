// The command client against a scripted line server of the test's own:
// each test's server thread sends exactly the bytes (and segments) it
// wants and records what the client wrote.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <chrono>
#include <thread>

#include "mail/qmTcpCommandClient.h"
#include "core/qmTranslator.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace qmtest;

// Reply codes as SMTP writes them ("250 ok", "250-more"), and the lone "."
// that ends a multi-line reply as code 1.
class TTestClient : public TqmTcpCommandClient {
 public:
  using TqmTcpCommandClient::TqmTcpCommandClient;
  ~TTestClient() override {
    try {
      Close();
    } catch (...) {
    }
  }
  int GetResponseCode(const std::string& AResponse) override {
    if (AResponse == ".") return 1;
    if (AResponse.size() >= 3 && isdigit(AResponse[0]) && isdigit(AResponse[1]) && isdigit(AResponse[2]) &&
        (AResponse.size() == 3 || AResponse[3] == ' '))
      return std::stoi(AResponse.substr(0, 3));
    return TqmTcpCommandClient::GetResponseCode(AResponse);
  }
  void OpenSession() override {
    if (Greeting) WaitResponse({220});
  }
  void CloseSession() override {
    if (Quit) SendSilentCommand("QUIT", {221});
  }
  bool Greeting = false;
  bool Quit = false;
};

void Segment(int AFd, const std::string& AText) {
  SendText(AFd, AText);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
}

struct TScripted {
  TFd Listen;
  int Port = 0;
  TServerThread Thread;
  TFd Peer;
  std::string Received;
  TTestClient Client;
  explicit TScripted(std::function<void(TScripted&)> AScript) {
    Listen = Listener("127.0.0.1", Port);
    Thread = TServerThread([this, AScript] {
      Peer = AcceptOne(Listen);
      int On = 1;
      setsockopt(Peer, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
      AScript(*this);
    });
    Client.SetServer("127.0.0.1");
    Client.SetPort(Port);
    Client.SetTimeOut(5000);
  }
  std::string Line() {
    std::string Text = ReadUntil(Peer, "\r\n");
    Received += Text;
    return Text;
  }
};

TEST(TcpCommandClient, RepliesSplitAtEveryBytePosition) {
  const std::string Reply = "250-first line\r\n250-second\r\n250 last\r\n";
  TScripted S([&](TScripted& T) {
    for (size_t K = 1; K < Reply.size(); ++K) {
      T.Line();
      Segment(T.Peer, Reply.substr(0, K));
      SendText(T.Peer, Reply.substr(K));
    }
  });
  std::vector<std::string> Sent;
  int Received = 0;
  S.Client.OnSendCommand = [&](TObject*, const std::string& AText) { Sent.push_back(AText); };
  S.Client.OnReceiveResponse = [&](TObject*, TStrings* AList) {
    ++Received;
    EXPECT_EQ(AList, &S.Client.Response());
  };
  S.Client.Open();
  for (size_t K = 1; K < Reply.size(); ++K) {
    S.Client.SendCommandSync("NOOP %d", {250}, static_cast<int>(K));
    ASSERT_EQ(S.Client.Response().Text(), "250-first line\r\n250-second\r\n250 last\r\n") << K;
    EXPECT_EQ(S.Client.LastResponseCode(), 250);
  }
  EXPECT_EQ(Received, static_cast<int>(Reply.size() - 1));
  ASSERT_EQ(Sent.size(), Reply.size() - 1);
  EXPECT_EQ(Sent[4], "NOOP 5\r\n");
}

TEST(TcpCommandClient, LineEndsAndContinuationLinesFirst) {
  TScripted S([](TScripted& T) {
    T.Line();
    Segment(T.Peer, "250-a\r");
    SendText(T.Peer, "\n250 b\r\n");  // CR LF cut between blocks: one break
    T.Line();
    SendText(T.Peer, "250-lf\n250 only\n");
    T.Line();
    SendText(T.Peer, "250-cr\r250 only\r");
    T.Line();
    Segment(T.Peer, "250-one\r\n250-two\r\n");  // no final line yet
    Segment(T.Peer, "250-three\r\n25");
    SendText(T.Peer, "0 four\r\n");
  });
  S.Client.Open();
  S.Client.SendCommandSync("A", {250});
  EXPECT_EQ(S.Client.Response().Join("|"), "250-a|250 b");
  S.Client.SendCommandSync("B", {250});
  EXPECT_EQ(S.Client.Response().Join("|"), "250-lf|250 only");
  S.Client.SendCommandSync("C", {250});
  EXPECT_EQ(S.Client.Response().Join("|"), "250-cr|250 only");
  S.Client.SendCommandSync("D", {250});
  EXPECT_EQ(S.Client.Response().Join("|"), "250-one|250-two|250-three|250 four");
}

TEST(TcpCommandClient, UnexpectedCodeAndOkCodeConventions) {
  TScripted S([](TScripted& T) {
    T.Line();
    SendText(T.Peer, "  450-busy\r\n550 denied \r\n");
    T.Line();
    SendText(T.Peer, "250 fine\r\n");
    T.Line();
    SendText(T.Peer, "250 fine\r\n");  // ok codes [0]: nothing accepted
    T.Line();
    SendText(T.Peer, "250 x\r\n");  // [354, 0, 250]: the 0 ends the list
    T.Line();
    Segment(T.Peer, "+OK body\r\n250 not the end\r\n");
    SendText(T.Peer, "..stuffed\r\n.\r\n");
  });
  S.Client.Open();
  try {
    S.Client.SendCommandSync("RCPT TO:<x>", {250});
    FAIL() << "accepted";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.Message(), "450-busy\r\n550 denied");
    EXPECT_EQ(E.ErrorCode(), 550);
  }
  EXPECT_FALSE(S.Client.InProgress());
  EXPECT_EQ(S.Client.Response().Count(), 2);  // the offending reply is kept
  S.Client.SendCommandSync("NOOP", {250});     // still usable
  EXPECT_THROW(S.Client.SendCommandSync("NOOP", {0, 250}), EqmTcpClientError);
  try {
    S.Client.SendCommandSync("DATA", {354, 0, 250});
    FAIL() << "accepted";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 250);
  }
  // [1]: other codes inside a body neither end the wait nor raise.
  S.Client.WriteCommand("RETR 1");
  S.Client.Response().Clear();
  EXPECT_EQ(S.Client.ReadUntilCode(0, {1}), 3);
  EXPECT_EQ(S.Client.Response().Join("|"), "+OK body|250 not the end|..stuffed|.");
}

TEST(TcpCommandClient, WaitMultipleLinesUnstuffsAndRelaysProgress) {
  const std::string Body = "line one\r\n..\r\n..dots\r\n.single\r\n\r\nlast\r\n.\r\n";
  TScripted S([&](TScripted& T) {
    T.Line();
    Segment(T.Peer, "250 follows\r\nline one\r\n");
    for (size_t I = 10; I < Body.size(); I += 7) Segment(T.Peer, Body.substr(I, 7));
  });
  std::vector<std::pair<int64_t, int64_t>> Progress;
  S.Client.OnProgress = [&](TObject*, int64_t P, int64_t T) { Progress.emplace_back(P, T); };
  S.Client.Open();
  S.Client.SendCommandSync("RETR", {250});
  const int64_t Total = 13 + static_cast<int64_t>(Body.size());
  S.Client.WaitMultipleLines(Total);
  EXPECT_EQ(S.Client.Response().Join("|"), "line one|.|.dots|.single||last");
  ASSERT_FALSE(Progress.empty());
  EXPECT_EQ(Progress.back(), std::make_pair(Total, Total));
  for (auto& P : Progress) EXPECT_LE(P.first, P.second);
  EXPECT_GT(Progress.size(), 2u);
  EXPECT_FALSE(S.Client.InProgress());
}

TEST(TcpCommandClient, MultiLineRepliesEndAtTheirDotSplitAtEveryBytePosition) {
  // Pipelined replies, two of them multi-line, cut at every byte: the data
  // is what lies between the status line and the ".", and what follows
  // the "." is the next reply, whichever block brought it.
  const std::string Replies = "250 list\r\nx\r\n..y\r\n.\r\n250 empty\r\n.\r\n250 done\r\n";
  TScripted S([&](TScripted& T) {
    for (size_t K = 1; K < Replies.size(); ++K) {
      ReadUntil(T.Peer, "C\r\n");
      Segment(T.Peer, Replies.substr(0, K));
      SendText(T.Peer, Replies.substr(K));
    }
    // Not pipelined: the "." comes with the status line, a stray line after.
    T.Line();
    SendText(T.Peer, "250 list\r\nz\r\n.\r\n250 stray\r\n");
    T.Line();
    SendText(T.Peer, "250 noop\r\n");
    T.Line();
    SendText(T.Peer, "250 follows\r\nz\r\n.\r\n250 next\r\n");
  });
  S.Client.Open();
  for (size_t K = 1; K < Replies.size(); ++K) {
    S.Client.WriteCommands({"A", "B", "C"});
    S.Client.WaitNextResponse({250});
    S.Client.WaitMultipleLines(0);
    ASSERT_EQ(S.Client.Response().Join("|"), "x|.y") << K;
    S.Client.WaitNextResponse({250});
    ASSERT_EQ(S.Client.Response().Text(), "250 empty\r\n") << K;
    S.Client.WaitMultipleLines(0);
    ASSERT_EQ(S.Client.Response().Count(), 0) << K;
    S.Client.WaitNextResponse({250});
    ASSERT_EQ(S.Client.Response().Text(), "250 done\r\n") << K;
  }
  S.Client.SendCommandSync("LIST", {250});
  S.Client.WaitMultipleLines(0);
  EXPECT_EQ(S.Client.Response().Join("|"), "z");
  // A reply to a command written alone is read after it was written.
  S.Client.SendCommandSync("NOOP", {250});
  EXPECT_EQ(S.Client.Response().Text(), "250 noop\r\n");
  TStringStream Data;
  S.Client.SendCommandToStream("RETR", {250}, Data);
  EXPECT_EQ(Data.DataString(), "z\r\n");
  S.Client.WaitNextResponse({250});
  EXPECT_EQ(S.Client.Response().Text(), "250 next\r\n");
}

TEST(TcpCommandClient, DataIntoAStreamSplitAtEveryBytePosition) {
  // Stuffed dots, a dot before text, CR, LF and CR LF line ends, a coded
  // line: the stream gets the bytes as sent, un-stuffed, up to the ".".
  const std::string Data = "..a\r\n.b\r\n\r\nx\ry\nz\r\n...\r\n..\r\n250 data\r\n";
  const std::string Reply = "250 follows\r\n" + Data + ".\r\n";
  TScripted S([&](TScripted& T) {
    for (size_t K = 1; K < Reply.size(); ++K) {
      T.Line();
      Segment(T.Peer, Reply.substr(0, K));
      SendText(T.Peer, Reply.substr(K));
    }
    T.Line();
    SendText(T.Peer, "550 no such message\r\n");
    T.Line();
    SendText(T.Peer, "250 still here\r\n");
  });
  S.Client.Open();
  for (size_t K = 1; K < Reply.size(); ++K) {
    TStringStream Got;
    S.Client.SendCommandToStream("RETR", {250}, Got);
    ASSERT_EQ(Got.DataString(), ".a\r\n.b\r\n\r\nx\ry\nz\r\n..\r\n.\r\n250 data\r\n") << K;
    EXPECT_EQ(S.Client.Response().Text(), "250 follows\r\n");
  }
  // A refused command raises with its code and the session goes on.
  TStringStream None;
  EXPECT_EQ(qmtest::CodeOf([&] { S.Client.SendCommandToStream("RETR", {250}, None); }), 550);
  EXPECT_EQ(None.Size(), 0);
  S.Client.SendCommandSync("NOOP", {250});
}

TEST(TcpCommandClient, SendMultipleLinesBatchesStuffsAndTerminates) {
  const std::string Long(100, 'L');
  TScripted S([&](TScripted& T) {
    T.Received = ReadUntil(T.Peer, "tail\r\n");
  });
  S.Client.SetBatchSize(32);
  S.Client.Open();
  TStringList Lines({".starts with a dot", "short", "", Long, "..two", "x"});
  int64_t LastTotal = 0, LastProceed = 0;
  S.Client.OnProgress = [&](TObject*, int64_t P, int64_t T) {
    LastProceed = P;
    LastTotal = T;
  };
  S.Client.SendMultipleLines(Lines, ".");
  EXPECT_EQ(LastTotal, 18 + 2 + 5 + 2 + 2 + 100 + 2 + 5 + 2 + 1 + 2 + 3);
  // Stuffing dots are sent but not in the total: counts past it are dropped.
  EXPECT_LE(LastProceed, LastTotal);
  EXPECT_GT(LastProceed, 100);
  TStringList Plain({".no stuffing", "tail"});
  S.Client.SendMultipleLines(Plain, "");
  S.Thread.Join();
  EXPECT_EQ(S.Received, "..starts with a dot\r\nshort\r\n\r\n" + Long + "\r\n...two\r\nx\r\n.\r\n" +
                            ".no stuffing\r\ntail\r\n");
  S.Client.SetBatchSize(0);
  EXPECT_THROW(S.Client.SendMultipleLines(Plain, "."), EqmSocketError);
}

TEST(TcpCommandClient, SendMultipleLinesInAWiderCharsetArrivesWholeAndNothingIsHeldBack) {
  // UTF-16 doubles every line after the batch decision was taken on its
  // length, so the batch must grow; the stuffing dot and the line breaks
  // stay single bytes. When the call returns no byte may still wait in
  // the kernel for a write that is not coming.
  TStringList Lines;
  std::string Expected;
  for (int I = 0; I < 40; ++I) {
    const std::string Line = (I % 7 == 0 ? ".dot " : "line ") + std::to_string(I) + " of the body, wide";
    Lines.Add(Line);
    if (Line[0] == '.') Expected += '.';
    const TqmByteArray Wide = TqmTranslator::GetBytes(Line, "utf-16le");
    ASSERT_EQ(Wide.size(), 2 * Line.size());
    Expected.append(Wide.begin(), Wide.end());
    Expected += "\r\n";
  }
  const TqmByteArray End = TqmTranslator::GetBytes(".\r\n", "utf-16le");
  Expected.append(End.begin(), End.end());
  // The same lines again without an end line: no stuffing, and the last
  // batch is the last write.
  for (int I = 0; I < Lines.Count(); ++I) {
    const TqmByteArray Wide = TqmTranslator::GetBytes(Lines[I], "utf-16le");
    Expected.append(Wide.begin(), Wide.end());
    Expected += "\r\n";
  }
  TScripted S([&](TScripted& T) {
    char Buffer[4096];
    while (T.Received.size() < Expected.size() && WaitReadable(T.Peer, 5000)) {
      ssize_t N = recv(T.Peer, Buffer, sizeof Buffer, 0);
      if (N <= 0) break;
      T.Received.append(Buffer, static_cast<size_t>(N));
    }
  });
  S.Client.SetBatchSize(64);
  S.Client.SetCharSet("utf-16le");
  S.Client.Open();
  auto Unsent = [&] {
    int N = -1;
    EXPECT_EQ(ioctl(S.Client.Connection()->Socket().Handle(), SIOCOUTQNSD, &N), 0);
    return N;
  };
  S.Client.SendMultipleLines(Lines, ".");
  EXPECT_EQ(Unsent(), 0);
  S.Client.SendMultipleLines(Lines, "");
  EXPECT_EQ(Unsent(), 0);
  S.Thread.Join();
  EXPECT_EQ(S.Received, Expected);
}

TEST(TcpCommandClient, CommandWithLineBreakIsRefusedBeforeWriting) {
  TScripted S([](TScripted& T) {
    T.Line();
    SendText(T.Peer, "250 ok\r\n");
  });
  S.Client.Open();
  for (const char* Bad : {"RCPT TO:<a>\r\nDATA", "NOOP\n", "A\rB"}) {
    try {
      S.Client.SendCommandSync(Bad, {250});
      FAIL() << Bad;
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), qmCommandLineBreakCode);
      EXPECT_EQ(E.Message(), qmCommandLineBreak);
    }
  }
  S.Client.SendCommandSync("NOOP", {250});
  S.Thread.Join();
  EXPECT_EQ(S.Received, "NOOP\r\n");  // nothing of the refused texts
}

TEST(TcpCommandClient, OpenAndCloseHooks) {
  {
    TScripted S([](TScripted& T) {
      SendText(T.Peer, "220 hello\r\n");
      T.Line();
      SendText(T.Peer, "221 bye\r\n");
    });
    S.Client.Greeting = true;
    S.Client.Quit = true;
    S.Client.Open();
    EXPECT_EQ(S.Client.Response().Text(), "220 hello\r\n");
    S.Client.Close();
    S.Thread.Join();
    EXPECT_EQ(S.Received, "QUIT\r\n");
    EXPECT_FALSE(S.Client.Active());
  }
  {
    // A failed opening closes without QUIT.
    TScripted S([](TScripted& T) {
      SendText(T.Peer, "554 go away\r\n");
      T.Line();
    });
    S.Client.Greeting = true;
    S.Client.Quit = true;
    EXPECT_THROW(S.Client.Open(), EqmTcpClientError);
    S.Thread.Join();
    EXPECT_EQ(S.Received, "");
    EXPECT_FALSE(S.Client.Active());
  }
}

TEST(TcpCommandClient, SilentCommandOnDroppedConnection) {
  TScripted S([](TScripted& T) { T.Peer.Reset(); });
  S.Client.Open();
  S.Thread.Join();
  EXPECT_NO_THROW(S.Client.SendSilentCommand("QUIT", {221}));
  EXPECT_FALSE(S.Client.InProgress());
  TTestClient Closed;
  try {
    Closed.SendSilentCommand("QUIT", {221});
    FAIL() << "not raised";
  } catch (const EqmSocketError& E) {
    EXPECT_EQ(E.ErrorCode(), qmNotActiveCode);
  }
  EXPECT_THROW(Closed.WriteCommand("NOOP"), EqmSocketError);
}

TEST(TcpCommandClient, PropertiesRaiseOnChangedOnce) {
  TTestClient C;
  int Changes = 0;
  C.OnChanged = [&](TObject*) { ++Changes; };
  C.SetUserName("u");
  C.SetUserName("u");
  C.SetPassword("p");
  C.SetAuthorization("a");
  C.SetCharSet("utf-8");
  EXPECT_EQ(Changes, 4);
  EXPECT_EQ(C.GetReadCharSet(), "utf-8");
  EXPECT_EQ(C.GetWriteCharSet(), "utf-8");
  C.SetUseTLS(ctImplicit);
  C.SetUseTLS(ctImplicit);
  EXPECT_EQ(Changes, 5);
  EXPECT_EQ(TqmTcpClientTls().TLSFlags(), 28u);
  EXPECT_TRUE(TqmTcpClientTls().UseSystemTLSFlags());
  EXPECT_EQ(TqmTcpClientTls().UseTLS(), ctNone);
}

}  // namespace
}  // namespace qm
