// One operation at a time per client: the keep-alive never writes while an
// operation waits for its reply, and a Cancel from another thread ends the
// operation it meets (or, when it came after that one's last check, the
// next one), never hangs and never lets a cancelled exchange pass as done.
// Servers are scripted threads of the test's own that record what they got.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <iostream>
#include <chrono>
#include <string>
#include <thread>

#include "core/qmMessageQueue.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace qmtest;
using namespace std::chrono;

TFd AcceptNoDelay(int AListener) {
  TFd Peer = AcceptOne(AListener);
  int On = 1;
  if (Peer >= 0) setsockopt(Peer, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
  return Peer;
}

// Everything that arrives on AFd within AFor.
std::string Collect(int AFd, milliseconds AFor) {
  std::string Text;
  char Buffer[4096];
  for (auto End = steady_clock::now() + AFor;;) {
    const auto Left = duration_cast<milliseconds>(End - steady_clock::now()).count();
    if (Left <= 0 || !WaitReadable(AFd, static_cast<int>(Left))) return Text;
    const ssize_t N = recv(AFd, Buffer, sizeof Buffer, 0);
    if (N <= 0) return Text;
    Text.append(Buffer, static_cast<size_t>(N));
  }
}

// The server holds its reply to the body, then refuses the message. A
// server that answers each line at once (AInOrder false) would answer a
// NOOP written meanwhile before the body; one that answers in order
// (true) would queue that answer behind the refusal. Either way nothing
// may arrive while the client waits, and Send must raise the refusal.
// Once idle, the keep-alive does write NOOPs.
TEST(Operation, KeepAliveWritesNothingWhileSendWaitsForTheReplyToTheBody) {
  for (bool InOrder : {false, true}) {
    SCOPED_TRACE(InOrder ? "answers in order" : "answers at once");
    int Port = 0;
    TFd L = Listener("127.0.0.1", Port);
    std::string DuringHold, Afterwards;
    TServerThread Server([&] {
      TFd P = AcceptNoDelay(L);
      SendText(P, "220 hi\r\n");
      for (const char* Reply : {"250 hello\r\n", "250 sender ok\r\n", "250 rcpt ok\r\n", "354 go on\r\n"}) {
        ReadUntil(P, "\r\n");
        SendText(P, Reply);
      }
      ReadUntil(P, "\r\n.\r\n");
      for (auto End = steady_clock::now() + milliseconds(700); steady_clock::now() < End;) {
        const std::string Got = Collect(P, milliseconds(10));
        DuringHold += Got;
        if (!InOrder && !Got.empty()) SendText(P, "250 noop ok\r\n");
      }
      SendText(P, "554 rejected: spam\r\n");
      for (std::string Line; !(Line = ReadUntil(P, "\r\n", 5000)).empty();) {
        Afterwards += Line;
        const bool Quit = Line.rfind("QUIT", 0) == 0;
        SendText(P, Quit ? "221 bye\r\n" : "250 ok " + Line);
        if (Quit) return;
      }
    });
    TqmSmtp C;
    C.SetServer("127.0.0.1");
    C.SetPort(Port);
    C.SetTimeOut(5000);
    C.SetKeepAlive(100);
    C.SetMailFrom("a@example.org");
    C.MailToList().Add("b@example.org");
    C.MailData().Add("Subject: hi");
    C.MailData().Add("");
    C.MailData().Add("body");
    C.Open();
    int Code = 0;
    try {
      C.Send();
    } catch (const EqmTcpClientError& E) {
      Code = E.ErrorCode();
      EXPECT_EQ(E.Message(), "554 rejected: spam");
    }
    EXPECT_EQ(Code, 554);
    // Idle now: the keep-alive writes, and each reply is the own one.
    TqmMessageQueue::Current().RunFor(milliseconds(350));
    C.Noop();
    EXPECT_EQ(C.Response().Text(), "250 ok NOOP\r\n");
    C.Close();
    Server.Join();
    EXPECT_EQ(DuringHold, "");
    EXPECT_NE(Afterwards.find("NOOP\r\nNOOP\r\n"), std::string::npos) << Afterwards;
  }
}

// A POP3 session that answers every command "+OK" and records them.
void Pop3Session(int P, std::string& AGot) {
  SendText(P, "+OK ready\r\n");
  for (std::string Line; !(Line = ReadUntil(P, "\r\n", 3000)).empty();) {
    AGot += Line;
    if (Line.rfind("QUIT", 0) == 0) return;
    SendText(P, "+OK\r\n");
  }
}

// A POP3 session that streams message 1 in small pieces; at the point
// ACancelAt of its script (after that many replies sent, plus ADelay) it
// calls Cancel on the client from its own thread. After the Cancel it
// answers nothing more.
void CancellingPop3Session(int P, TqmPop3& AClient, int ACancelAt, microseconds ADelay) {
  int Sent = 0;
  auto Reply = [&](const std::string& AText) {
    SendText(P, AText);
    if (++Sent != ACancelAt) return true;
    std::this_thread::sleep_for(ADelay);
    AClient.Cancel();
    return false;
  };
  if (!Reply("+OK ready\r\n")) return;
  for (const char* Command : {"USER", "PASS"}) {
    if (ReadUntil(P, "\r\n").rfind(Command, 0) != 0 || !Reply("+OK\r\n")) return;
  }
  if (ReadUntil(P, "\r\n").rfind("RETR 1", 0) != 0 || !Reply("+OK 30 lines\r\n")) return;
  for (int I = 0; I < 30; ++I)
    if (!Reply("line " + std::to_string(I) + " of a message that comes in pieces\r\n")) return;
  Reply(".\r\n");
}

TEST(Operation, CancelFromAnotherThreadEndsTheOperationItMeets) {
  TqmPop3 C;
  C.SetServer("127.0.0.1");
  C.SetUserName("u");
  C.SetPassword("p");
  C.SetTimeOut(5000);
  C.SetKeepAlive(20);
  int Ended = 0, Next = 0;
  // 0: while nothing runs, before the operation starts; then every reply
  // of the session as the moment, with several delays behind it.
  for (int CancelAt = 0; CancelAt <= 35; ++CancelAt) {
    for (int Delay : {0, 100, 1000}) {
      SCOPED_TRACE("cancel after reply " + std::to_string(CancelAt) + " +" + std::to_string(Delay) + "us");
      int Port = 0;
      TFd L = Listener("127.0.0.1", Port);
      std::string Got;
      TServerThread Server([&] {
        TFd P = AcceptNoDelay(L);
        if (CancelAt == 0) return Pop3Session(P, Got);
        CancellingPop3Session(P, C, CancelAt, microseconds(Delay));
        Got = Collect(P, milliseconds(3000));  // until the client goes
      });
      C.SetPort(Port);
      TqmMailMessage Message;
      int Code = CodeOf([&] {
        C.Open();
        if (CancelAt == 0) C.Cancel();
        C.Retrieve(1, &Message);
      });
      if (Code == 0) {
        // The Cancel came after the Retrieve's last check: it is kept for
        // the next operation on the connection.
        Code = CodeOf([&] { C.Noop(); });
        ++Next;
      } else {
        ++Ended;
      }
      EXPECT_EQ(Code, ECONNABORTED);
      EXPECT_FALSE(C.Active());
      Server.Join();
      // Nothing was written after the Cancel: no RETR when it came first,
      // no QUIT ever.
      EXPECT_EQ(Got.find(CancelAt == 0 ? "RETR" : "QUIT"), std::string::npos) << Got;
    }
  }
  EXPECT_GT(Ended, 0);
  std::cout << "[ cancel ] ended the operation " << Ended << "x, the next one " << Next << "x\n";
}

}  // namespace
}  // namespace qm
