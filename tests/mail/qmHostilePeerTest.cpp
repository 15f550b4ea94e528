// POP3 and SMTP clients against hostile or broken scripted servers of the
// test's own: replies without end, slow trickles, another protocol, a reset
// right behind the last reply, cancellation from another thread and from a
// timer, and the closing of destruction. Each case ends with a clear error
// within a bound (generous margins; never a tight timing), holds its memory
// down (getrusage), and the same client object then works again.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <tuple>

#include "core/qmMessageQueue.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace qmtest;
using namespace std::chrono;

// Peak resident memory of the process so far, in KiB.
long PeakKiB() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return Usage.ru_maxrss;
}

// AddressSanitizer pads every allocation and holds freed memory back, so
// the process's peak says nothing about what the client held: the memory
// bounds are checked in the builds without it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool UnderAsan = true;
#else
constexpr bool UnderAsan = false;
#endif
#else
constexpr bool UnderAsan = false;
#endif

// A server thread that accepts one connection per session and runs the
// script on it; Stop() ends scripts that loop (they poll it).
struct TServer {
  TFd Listen;
  int Port = 0;
  std::atomic<bool> Stopped{false};
  TServerThread Thread;
  explicit TServer(std::function<void(TServer&, int)> ASession, int ASessions = 1) {
    Listen = Listener("127.0.0.1", Port);
    Thread = TServerThread([this, ASession, ASessions] {
      for (int I = 0; I < ASessions && !Stopped; ++I) {
        TFd Peer = AcceptOne(Listen, 20000);
        if (Peer < 0) return;
        int On = 1;
        setsockopt(Peer, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
        ASession(*this, Peer);
      }
    });
  }
  ~TServer() { Stop(); }
  void Stop() { Stopped = true; }
  // Sleeps in small steps; false once stopped.
  bool Pause(milliseconds AFor) {
    for (auto End = steady_clock::now() + AFor; steady_clock::now() < End;) {
      if (Stopped) return false;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return !Stopped;
  }
};

// A POP3 session that logs in and serves message 1 as ABody (already
// dot-stuffed, ending with CRLF.CRLF).
void Pop3Session(int APeer, const std::string& ABody) {
  SendText(APeer, "+OK ready\r\n");
  for (;;) {
    std::string Line = ReadUntil(APeer, "\r\n");
    if (Line.empty()) return;
    if (Line.rfind("QUIT", 0) == 0) {
      SendText(APeer, "+OK bye\r\n");
      return;
    }
    if (Line.rfind("RETR", 0) == 0)
      SendText(APeer, "+OK\r\n" + ABody);
    else
      SendText(APeer, "+OK\r\n");
  }
}

const std::string GoodBody = "Subject: hi\r\n\r\nhello\r\n.\r\n";

// A session script whose first session is AHostile and whose later ones
// are good POP3 sessions (for the fresh session after the failure).
std::function<void(TServer&, int)> HostileOnce(std::function<void(TServer&, int)> AHostile) {
  auto Sessions = std::make_shared<int>(0);
  return [Sessions, AHostile](TServer& T, int P) {
    if ((*Sessions)++ > 0) return Pop3Session(P, GoodBody);
    AHostile(T, P);
  };
}

// Greets, accepts USER and PASS, and reads up to RETR 1.
void LoginUntilRetrieve(int P) {
  SendText(P, "+OK ready\r\n");
  ReadUntil(P, "\r\n");
  SendText(P, "+OK\r\n");
  ReadUntil(P, "\r\n");
  SendText(P, "+OK\r\n");
  ReadUntil(P, "RETR 1\r\n");
}

void PreparePop3(TqmPop3& AClient, int APort, int ATimeOut = 5000) {
  AClient.SetServer("127.0.0.1");
  AClient.SetPort(APort);
  AClient.SetUserName("u");
  AClient.SetPassword("p");
  AClient.SetTimeOut(ATimeOut);
}

// Runs AAction and returns the ErrorCode it raised (0: none) and the time.
template <typename F>
int TimedCode(F AAction, steady_clock::duration& ATook, std::string* AMessage = nullptr) {
  const auto Start = steady_clock::now();
  const int Code = CodeOf(AAction, AMessage);
  ATook = steady_clock::now() - Start;
  return Code;
}

// After an error the same object opens a fresh session that works.
void ExpectFreshSessionWorks(TqmPop3& AClient) {
  AClient.Open();
  AClient.Retrieve(1);
  ASSERT_EQ(AClient.Response().Count(), 3);
  EXPECT_EQ(AClient.Response()[2], "hello");
  AClient.Close();
}

TEST(HostilePeer, EndlessStatusLineEndsAtTheLineLimit) {
  TServer S([](TServer& T, int P) {
    std::string Junk(65536, 'x');
    SendText(P, "+OK ");
    while (SendText(P, Junk) && !T.Stopped) {
    }
  });
  const long Before = PeakKiB();
  TqmPop3 C;
  PreparePop3(C, S.Port);
  steady_clock::duration Took;
  std::string Message;
  EXPECT_EQ(TimedCode([&] { C.Open(); }, Took, &Message), qmReplyLineTooLongCode);
  EXPECT_NE(Message.find("MaxReplyLineLength"), std::string::npos) << Message;
  EXPECT_FALSE(C.Active());
  EXPECT_LT(Took, seconds(10));
  EXPECT_LT(PeakKiB() - Before, 64 * 1024);
  S.Stop();
}

// A server that logs the client in and answers RETR 1 with something it
// cannot hold or cannot wait for: each case names the limit that must end
// it, with bounds on time and memory, and the client works again after.
struct TRetrieveCase {
  const char* Name;
  std::function<void(TServer&, int)> Answer;  // after RETR 1 was read
  std::function<void(TqmPop3&)> Limit;
  int Code;
  const char* MessagePart;
  milliseconds AtLeast;
  seconds AtMost;
  long MaxGrowthKiB;  // peak resident memory growth
  // The bound is about what the client may hold: checked where the
  // allocator is the real one.
  bool NearTheLimit = false;
};

void PrintTo(const TRetrieveCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class HostileRetrieve : public ::testing::TestWithParam<TRetrieveCase> {};

TEST_P(HostileRetrieve, EndsAtItsLimit) {
  const TRetrieveCase& Case = GetParam();
  TServer S(HostileOnce([&Case](TServer& T, int P) {
              LoginUntilRetrieve(P);
              Case.Answer(T, P);
            }),
            2);
  const long Before = PeakKiB();
  TqmPop3 C;
  PreparePop3(C, S.Port);
  Case.Limit(C);
  C.Open();
  steady_clock::duration Took;
  std::string Message;
  EXPECT_EQ(TimedCode([&] { C.Retrieve(1); }, Took, &Message), Case.Code) << Message;
  EXPECT_NE(Message.find(Case.MessagePart), std::string::npos) << Message;
  EXPECT_FALSE(C.Active());
  EXPECT_GE(Took, Case.AtLeast);
  EXPECT_LT(Took, Case.AtMost);
  if (!UnderAsan || !Case.NearTheLimit) {
    EXPECT_LT(PeakKiB() - Before, Case.MaxGrowthKiB);
  }
  ExpectFreshSessionWorks(C);
}

INSTANTIATE_TEST_SUITE_P(
    HostilePeer, HostileRetrieve,
    ::testing::Values(
        // Lines of a message that never ends: the total is what is bounded.
        // 32 MB of short lines, held as strings: what they hold is counted.
        TRetrieveCase{"EndlessMultiLineReplyEndsAtTheResponseLimit",
                      [](TServer& T, int P) {
                        std::string Lines;
                        for (int I = 0; I < 4096; ++I) Lines += "data line that never ends the message\r\n";
                        SendText(P, "+OK\r\n");
                        while (!T.Stopped && SendText(P, Lines)) {
                        }
                      },
                      [](TqmPop3& C) { C.SetMaxResponseSize(32 << 20); }, qmResponseTooLargeCode, "MaxResponseSize",
                      milliseconds(0), seconds(30), ((32 << 20) * 11 / 10 + (4 << 20)) / 1024, true},
        // The status line and the start of an endless line in one segment.
        TRetrieveCase{"DataLineWithoutEndEndsAtTheDataLineLimit",
                      [](TServer& T, int P) {
                        std::string Base64(1 << 16, 'Q');
                        SendText(P, "+OK\r\nSubject: x\r\n\r\n" + Base64);
                        while (!T.Stopped && SendText(P, Base64)) {
                        }
                      },
                      [](TqmPop3& C) { C.SetMaxDataLineLength(4 << 20); }, qmDataLineTooLongCode,
                      "MaxDataLineLength", milliseconds(0), seconds(30), 64 * 1024},
        // Five bytes a second against a limit of 100 over 1.5 s.
        TRetrieveCase{"SlowDataTransferEndsAtTheLowSpeedLimit",
                      [](TServer& T, int P) {
                        SendText(P, "+OK\r\n");
                        const std::string Body(2000, 'a');
                        for (char Ch : Body)
                          if (!SendText(P, std::string(1, Ch)) || !T.Pause(milliseconds(200))) return;
                      },
                      [](TqmPop3& C) {
                        C.SetLowSpeedLimit(100);
                        C.SetLowSpeedTime(1500);
                      },
                      qmTransferTooSlowCode, "too slow", milliseconds(1400), seconds(8), 64 * 1024}),
    [](const ::testing::TestParamInfo<TRetrieveCase>& AInfo) { return std::string(AInfo.param.Name); });

// Every way of retrieving (lines in Response(), one buffer parsed into a
// message, a stream) against a reply without end; into lines, lines of
// every cost: dot-stuffed ones, short ones whose heap block is twice their
// text (LF ends), and empty ones (all object, no text). Each is cut off at
// MaxResponseSize, having held little more than that.
class EndlessRetrieve : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(EndlessRetrieve, EndsHavingHeldAboutTheResponseLimit) {
  const std::string Line = std::get<1>(GetParam());
  TServer S(HostileOnce([Line](TServer& T, int P) {
              LoginUntilRetrieve(P);
              std::string Lines;
              while (Lines.size() < 160000) Lines += Line;
              SendText(P, "+OK\r\n");
              while (!T.Stopped && SendText(P, Lines)) {
              }
            }),
            2);
  constexpr int64_t Limit = 48 << 20;
  const long Before = PeakKiB();
  TqmPop3 C;
  PreparePop3(C, S.Port);
  C.SetMaxResponseSize(Limit);
  C.Open();
  TqmMailMessage Message;
  TFileStream Discard("/dev/null", fmOpenWrite);
  std::string Text;
  const int Way = std::get<0>(GetParam());
  EXPECT_EQ(CodeOf([&] { Way == 0 ? C.Retrieve(1) : Way == 1 ? C.RetrieveMessage(1, Message) : C.Retrieve(1, Discard); },
                   &Text),
            qmResponseTooLargeCode)
      << Text;
  EXPECT_FALSE(C.Active());
  if (!UnderAsan) {
    EXPECT_LT(PeakKiB() - Before, (Limit * 11 / 10 + (4 << 20)) / 1024);
  }
  ExpectFreshSessionWorks(C);
}

const char* const StuffedLine = "..data line that never ends the message\r\n";
INSTANTIATE_TEST_SUITE_P(HostilePeer, EndlessRetrieve,
                         ::testing::Values(std::make_tuple(0, StuffedLine), std::make_tuple(1, StuffedLine),
                                           std::make_tuple(2, StuffedLine)));
INSTANTIATE_TEST_SUITE_P(Lines, EndlessRetrieve,
                         ::testing::Combine(::testing::Values(0),
                                            ::testing::Values("twenty-four bytes of tex\n", "\r\n")));

TEST(HostilePeer, StatusReplyOfEndlessContinuationLines) {
  TServer S([](TServer& T, int P) {
    SendText(P, "220 ready\r\n");
    ReadUntil(P, "\r\n");
    while (!T.Stopped && SendText(P, "250-an extension that is never the last\r\n")) {
    }
  });
  TqmSmtp C;
  C.SetServer("127.0.0.1");
  C.SetPort(S.Port);
  C.SetTimeOut(5000);
  std::string Message;
  steady_clock::duration Took;
  EXPECT_EQ(TimedCode([&] { C.Open(); }, Took, &Message), qmReplyTooManyLinesCode);
  EXPECT_NE(Message.find("MaxReplyLines (1000)"), std::string::npos) << Message;
  EXPECT_FALSE(C.Active());
  EXPECT_LT(Took, seconds(10));
}

TEST(HostilePeer, SlowlorisStatusReplyEndsWithinTimeOut) {
  // One byte every 300 ms: each restarts the silence clock, but the whole
  // greeting must come within TimeOut.
  TServer S(HostileOnce([](TServer& T, int P) {
              const std::string Greeting = "+OK a greeting that trickles in for a long time\r\n";
              for (char Ch : Greeting)
                if (!SendText(P, std::string(1, Ch)) || !T.Pause(milliseconds(300))) return;
            }),
            2);
  TqmPop3 C;
  PreparePop3(C, S.Port, 1500);
  steady_clock::duration Took;
  EXPECT_EQ(TimedCode([&] { C.Open(); }, Took), qmTimeoutErrorCode);
  EXPECT_GE(Took, milliseconds(1000));
  EXPECT_LT(Took, seconds(6));
  EXPECT_FALSE(C.Active());
  ExpectFreshSessionWorks(C);
}

TEST(HostilePeer, AnotherProtocolEndsTheWaitAtOnce) {
  // A POP3 client at an SMTP server and an SMTP client at a POP3 server.
  TServer Smtp([](TServer&, int P) {
    SendText(P, "220 mail.example ESMTP ready\r\n");
    ReadUntil(P, "\r\n", 3000);
  });
  TqmPop3 Pop;
  PreparePop3(Pop, Smtp.Port, 30000);
  steady_clock::duration Took;
  std::string Message;
  EXPECT_EQ(TimedCode([&] { Pop.Open(); }, Took, &Message), qmUnexpectedReplyCode);
  EXPECT_EQ(Message, "Unexpected reply from the server: 220 mail.example ESMTP ready");
  EXPECT_LT(Took, seconds(10));

  TServer Pop3([](TServer&, int P) {
    SendText(P, "+OK Dovecot ready.\r\n");
    ReadUntil(P, "\r\n", 3000);
  });
  TqmSmtp Smtp2;
  Smtp2.SetServer("127.0.0.1");
  Smtp2.SetPort(Pop3.Port);
  Smtp2.SetTimeOut(30000);
  EXPECT_EQ(TimedCode([&] { Smtp2.Open(); }, Took, &Message), qmUnexpectedReplyCode);
  EXPECT_EQ(Message, "Unexpected reply from the server: +OK Dovecot ready.");
  EXPECT_LT(Took, seconds(10));
}

TEST(HostilePeer, SmtpContinuationLinesStillWait) {
  TServer S([](TServer&, int P) {
    SendText(P, "220-first\r\n");
    std::this_thread::sleep_for(milliseconds(100));
    SendText(P, "220-second\r\n220 ready\r\n");
    std::string Line = ReadUntil(P, "\r\n");
    SendText(P, "250-hello\r\n250 SIZE 100\r\n");
    ReadUntil(P, "QUIT\r\n");
    SendText(P, "221 bye\r\n");
  });
  TqmSmtp C;
  C.SetServer("127.0.0.1");
  C.SetPort(S.Port);
  C.SetTimeOut(5000);
  C.Open();
  EXPECT_EQ(C.MaxMessageSize(), 100);
  C.Close();
}

TEST(HostilePeer, ReplyRightBeforeAResetIsRead) {
  // The reply and the reset arrive together: the reply is what counts.
  constexpr int Rounds = 40;
  TServer S(
      [](TServer&, int P) {
        SendText(P, "-ERR go away\r\n");
        linger Hard{1, 0};
        setsockopt(P, SOL_SOCKET, SO_LINGER, &Hard, sizeof Hard);
      },
      Rounds);
  int Replies = 0;
  for (int I = 0; I < Rounds; ++I) {
    TqmPop3 C;
    PreparePop3(C, S.Port);
    std::string Message;
    const int Code = CodeOf([&] { C.Open(); }, &Message);
    if (Code == 20 && Message == "-ERR go away")
      ++Replies;
    else
      ADD_FAILURE() << Code << " " << Message;
    EXPECT_FALSE(C.Active());
  }
  EXPECT_EQ(Replies, Rounds);
}

TEST(HostilePeer, CancelFromAnotherThreadEndsABlockedOpen) {
  TServer S(HostileOnce([](TServer&, int P) {
              ReadUntil(P, "\n", 20000);  // no greeting; waits for the client to go
            }),
            2);
  TqmPop3 C;
  PreparePop3(C, S.Port, 30000);
  std::thread Canceller([&] {
    std::this_thread::sleep_for(milliseconds(300));
    C.Cancel();
  });
  rusage Cpu0{}, Cpu1{};
  getrusage(RUSAGE_THREAD, &Cpu0);
  steady_clock::duration Took;
  EXPECT_EQ(TimedCode([&] { C.Open(); }, Took), ECONNABORTED);
  getrusage(RUSAGE_THREAD, &Cpu1);
  Canceller.join();
  EXPECT_LT(Took, seconds(5));
  // Waiting, not spinning: far less CPU than wall time.
  const double CpuSec = (Cpu1.ru_utime.tv_sec - Cpu0.ru_utime.tv_sec) + (Cpu1.ru_stime.tv_sec - Cpu0.ru_stime.tv_sec) +
                        ((Cpu1.ru_utime.tv_usec - Cpu0.ru_utime.tv_usec) + (Cpu1.ru_stime.tv_usec - Cpu0.ru_stime.tv_usec)) / 1e6;
  EXPECT_LT(CpuSec, 0.2);
  EXPECT_FALSE(C.Active());
  ExpectFreshSessionWorks(C);
}

TEST(HostilePeer, AbortFromATimerEndsARetrieve) {
  TServer S(HostileOnce([](TServer&, int P) {
              LoginUntilRetrieve(P);
              SendText(P, "+OK\r\nSubject: x\r\n");
              ReadUntil(P, "\n", 20000);  // the rest never comes
            }),
            2);
  TqmPop3 C;
  PreparePop3(C, S.Port, 30000);
  C.Open();
  auto& Queue = TqmMessageQueue::Current();
  auto Timer = Queue.SetTimer(milliseconds(300), [&] { C.Connection()->Abort(); });
  steady_clock::duration Took;
  EXPECT_EQ(TimedCode([&] { C.Retrieve(1); }, Took), ECONNABORTED);
  Queue.KillTimer(Timer);
  EXPECT_LT(Took, seconds(5));
  EXPECT_FALSE(C.Active());
  ExpectFreshSessionWorks(C);
}

TEST(HostilePeer, DestructionSendsQuitWithoutEvents) {
  std::string Seen;
  TServer S([&](TServer&, int P) {
    SendText(P, "+OK ready\r\n");
    for (;;) {
      std::string Line = ReadUntil(P, "\r\n", 5000);
      if (Line.empty()) return;
      Seen += Line;
      SendText(P, Line.rfind("QUIT", 0) == 0 ? "+OK bye\r\n" : "+OK\r\n");
      if (Line.rfind("QUIT", 0) == 0) return;
    }
  });
  int Events = 0;
  {
    auto C = std::make_unique<TqmPop3>();
    PreparePop3(*C, S.Port);
    C->Open();
    C->OnSendCommand = [&](TObject*, const std::string&) { ++Events; };
    C->OnReceiveResponse = [&](TObject*, TStrings*) { ++Events; };
    C->OnClose = [&](TObject*) { ++Events; };
    C->OnChanged = [&](TObject*) { ++Events; };
  }
  S.Thread.Join();
  EXPECT_EQ(Events, 0);
  EXPECT_NE(Seen.find("QUIT\r\n"), std::string::npos) << Seen;
}

TEST(HostilePeer, RefusalRightBeforeAResetWhileWritingIsReported) {
  // The server refuses and resets while the client still writes: its reply,
  // not the failed write, is what the caller learns. In the middle of a
  // message body (DATA) and before a command of an idle session.
  constexpr int Rounds = 8;
  std::atomic<int> Round{0};
  auto HardClose = [](int P) {
    linger Hard{1, 0};
    setsockopt(P, SOL_SOCKET, SO_LINGER, &Hard, sizeof Hard);
  };
  TServer Smtp(
      [&](TServer&, int P) {
        SendText(P, "220 ready\r\n");
        for (const char* Reply : {"250 hello\r\n", "250 sender ok\r\n", "250 rcpt ok\r\n", "354 go ahead\r\n"}) {
          ReadUntil(P, "\r\n");
          SendText(P, Reply);
        }
        char Some[65536];
        (void)recv(P, Some, sizeof Some, MSG_WAITALL);
        // Every other round a reply to an earlier command comes first, as
        // to a pipelined chunk before the refused one: the last reply is
        // the one that explains.
        if (++Round % 2 == 0) SendText(P, "250 2.0.0 earlier chunk ok\r\n");
        SendText(P, "552-5.3.4 Message size exceeds fixed limit\r\n552 5.3.4 Try a smaller one\r\n");
        HardClose(P);
      },
      Rounds);
  TStringList Body;
  Body.Add("Subject: too big");
  Body.Add("");
  for (int I = 0; I < 80000; ++I) Body.Add(std::string(100, 'b'));
  for (int I = 0; I < Rounds; ++I) {
    TqmSmtp C;
    C.SetServer("127.0.0.1");
    C.SetPort(Smtp.Port);
    C.SetTimeOut(10000);
    C.SetMailFrom("a@qm.test");
    C.MailToList().Add("b@qm.test");
    C.MailData().Assign(Body);
    C.Open();
    std::string Message;
    EXPECT_EQ(CodeOf([&] { C.Send(); }, &Message), 552) << Message;
    EXPECT_EQ(Message, "552-5.3.4 Message size exceeds fixed limit\r\n552 5.3.4 Try a smaller one");
    EXPECT_EQ(C.LastResponseCode(), 552);
    EXPECT_FALSE(C.Active());
  }

  TServer Pop3(
      [&](TServer&, int P) {
        SendText(P, "+OK ready\r\n");
        ReadUntil(P, "\r\n");
        SendText(P, "+OK\r\n");
        ReadUntil(P, "\r\n");
        SendText(P, "+OK logged in\r\n");
        std::this_thread::sleep_for(milliseconds(100));
        SendText(P, "-ERR shutting down, bye\r\n");
        HardClose(P);
      },
      Rounds);
  for (int I = 0; I < Rounds; ++I) {
    TqmPop3 C;
    PreparePop3(C, Pop3.Port);
    C.Open();
    // The reply and the reset are in by the time the client speaks again.
    std::this_thread::sleep_for(milliseconds(400));
    std::string Message;
    EXPECT_EQ(CodeOf([&] { C.Noop(); }, &Message), 20) << Message;
    EXPECT_EQ(Message, "-ERR shutting down, bye");
    EXPECT_FALSE(C.Active());
  }
}

TEST(HostilePeer, TlsHandshakeThatTricklesEndsWithinTimeOut) {
  // A TLS record header that announces a full record, then one byte every
  // 200 ms: each byte restarts the silence clock, the handshake as a whole
  // still ends at TimeOut.
  TServer S(
      [](TServer& T, int P) {
        char Hello[512];
        (void)recv(P, Hello, sizeof Hello, 0);
        SendText(P, std::string("\x16\x03\x03\x40\x00", 5));
        while (SendText(P, "x") && T.Pause(milliseconds(200))) {
        }
      });
  TqmPop3 C;
  PreparePop3(C, S.Port, 1500);
  C.SetUseTLS(ctImplicit);
  steady_clock::duration Took;
  std::string Message;
  EXPECT_EQ(TimedCode([&] { C.Open(); }, Took, &Message), qmTimeoutErrorCode) << Message;
  EXPECT_GE(Took, milliseconds(1000));
  EXPECT_LT(Took, seconds(6));
  EXPECT_FALSE(C.Active());
  S.Stop();
}

}  // namespace
}  // namespace qm
