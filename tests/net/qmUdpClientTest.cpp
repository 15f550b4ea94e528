#include "net/qmUdpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "tests/net/qmNetTestUtil.h"

using namespace qm;
using namespace qmtest;
using namespace std::chrono;

namespace {

// Answers one datagram from AReply (the receiving socket when -1).
TServerThread UdpEcho(int ASocket, int AReply = -1, const std::string& APrefix = "") {
  return TServerThread([=] {
    if (!WaitReadable(ASocket, 10000)) return;
    char Buffer[65536];
    sockaddr_storage From;
    socklen_t Len = sizeof From;
    ssize_t N = recvfrom(ASocket, Buffer, sizeof Buffer, 0, reinterpret_cast<sockaddr*>(&From), &Len);
    if (N < 0) return;
    std::string Reply = APrefix + std::string(Buffer, static_cast<size_t>(N));
    sendto(AReply >= 0 ? AReply : ASocket, Reply.data(), Reply.size(), 0, reinterpret_cast<sockaddr*>(&From), Len);
  });
}

}  // namespace

TEST(UdpClient, EchoOnBothLoopbacks) {
  for (const std::string Host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(Host);
    int Port = 0;
    TFd S = BoundSocket(Host, SOCK_DGRAM, Port);
    TServerThread Server = UdpEcho(S);
    TqmUdpClient C;
    C.SetServer(Host);
    C.SetPort(Port);
    C.Open();
    ASSERT_TRUE(C.Active());
    TStream* Sent = nullptr;
    TStream* Received = nullptr;
    C.OnSendPacket = [&](TObject* Sender, TStream* AData) {
      EXPECT_EQ(Sender, &C);
      Sent = AData;
    };
    C.OnReceivePacket = [&](TObject*, TStream* AData) { Received = AData; };
    TStringStream Query("ping");
    C.SendPacket(&Query);
    EXPECT_EQ(Sent, &Query);
    TStringStream Answer("<");
    Answer.Seek(0, TSeekOrigin::soEnd);
    C.ReceivePacket(&Answer);
    EXPECT_EQ(Received, &Answer);
    EXPECT_EQ(Answer.DataString(), "<ping");
    EXPECT_EQ(C.Connection()->PeerIP(), Host);
    EXPECT_EQ(C.Connection()->PeerPort(), Port);
    C.Close();
    EXPECT_FALSE(C.Active());
  }
}

TEST(UdpClient, AReplyFromAnotherAddressBecomesThePeer) {
  int Port = 0, OtherPort = 0;
  TFd S = BoundSocket("127.0.0.1", SOCK_DGRAM, Port);
  TFd Other = BoundSocket("127.0.0.1", SOCK_DGRAM, OtherPort);
  TServerThread First = UdpEcho(S, Other);
  TqmUdpClient C;
  C.SetServer("localhost");
  C.SetPort(Port);
  C.Open();
  TStringStream Query("one");
  C.SendPacket(&Query);
  TStringStream Answer;
  C.ReceivePacket(&Answer);
  EXPECT_EQ(Answer.DataString(), "one");
  EXPECT_EQ(C.Connection()->PeerPort(), OtherPort);
  First.Join();

  // The next datagram goes to the address that answered.
  TServerThread Second = UdpEcho(Other, -1, "re:");
  TStringStream Next("two");
  C.SendPacket(&Next);
  TStringStream Reply;
  C.ReceivePacket(&Reply);
  EXPECT_EQ(Reply.DataString(), "re:two");
}

TEST(UdpClient, NoReplyWithinTimeOutRaises) {
  int Port = 0;
  TFd Silent = BoundSocket("127.0.0.1", SOCK_DGRAM, Port);
  TqmUdpClient C;
  EXPECT_EQ(C.TimeOut(), 5000);
  C.SetTimeOut(200);
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.Open();
  TStringStream Query("hello?");
  C.SendPacket(&Query);
  TStringStream Answer;
  const auto Start = steady_clock::now();
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C.ReceivePacket(&Answer); }, &Message), -1);
  EXPECT_EQ(Message, "Timeout error occured");
  EXPECT_GE(steady_clock::now() - Start, milliseconds(200));
  EXPECT_EQ(Answer.Size(), 0);
}

TEST(UdpClient, EdgeCasesOfSendingAndReceiving) {
  TqmUdpClient C;
  TStringStream Data("x");
  EXPECT_EQ(CodeOf([&] { C.SendPacket(&Data); }), ENOTSOCK);

  int Port = 0;
  TFd S = BoundSocket("127.0.0.1", SOCK_DGRAM, Port);
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.Open();
  // A stream at its end sends nothing but is still reported.
  int Reported = 0;
  C.OnSendPacket = [&](TObject*, TStream*) { ++Reported; };
  Data.Seek(0, TSeekOrigin::soEnd);
  C.SendPacket(&Data);
  EXPECT_EQ(Reported, 1);
  EXPECT_FALSE(WaitReadable(S, 50));

  // A datagram longer than DatagramSize is an error, not a cut one.
  TServerThread Server = UdpEcho(S, -1, std::string(100, 'y'));
  C.SetDatagramSize(50);
  TStringStream Query("q");
  C.SendPacket(&Query);
  TStringStream Answer;
  EXPECT_EQ(CodeOf([&] { C.ReceivePacket(&Answer); }), EMSGSIZE);
  EXPECT_EQ(Answer.Size(), 0);

  C.SetDatagramSize(0);
  Query.SetPosition(0);
  EXPECT_EQ(CodeOf([&] { C.SendPacket(&Query); }), -4);
}

TEST(UdpClient, OnChangedOncePerRealChange) {
  TqmUdpClient C;
  int Changes = 0;
  C.OnChanged = [&](TObject*) { ++Changes; };
  EXPECT_EQ(C.DatagramSize(), 8192);
  EXPECT_EQ(C.Port(), 0);
  C.SetDatagramSize(8192);
  C.SetTimeOut(5000);
  C.SetServer("");
  EXPECT_EQ(Changes, 0);
  C.SetServer("127.0.0.1");
  C.SetPort(53);
  C.SetDatagramSize(512);
  C.SetTimeOut(1000);
  C.SetBitsPerSec(8000);
  C.SetUseIpV6(true);
  C.SetLocalBinding("127.0.0.1");
  C.SetCharSet("utf-8");
  C.SetDisableGuiProcessing(true);
  EXPECT_EQ(Changes, 9);
  C.SetPort(53);
  C.SetCharSet("utf-8");
  EXPECT_EQ(Changes, 9);
}

// A client opened again for every exchange (as the resolver does) gets a
// fresh socket each time: its local port is the one the server sees, not
// the previous socket's, also when the server changes family in between.
TEST(UdpClient, EachOpenReportsItsOwnSocketAndServer) {
  int Port4 = 0, Port6 = 0;
  TFd S4 = BoundSocket("127.0.0.1", SOCK_DGRAM, Port4);
  TFd S6 = BoundSocket("::1", SOCK_DGRAM, Port6);
  TqmUdpClient C;
  std::vector<int> LocalPorts;
  const struct {
    const char* Server;
    int Socket;
    int Port;
  } Rounds[] = {{"127.0.0.1", S4, Port4}, {"127.0.0.1", S4, Port4}, {"::1", S6, Port6},
                {"localhost", S4, Port4}, {"127.0.0.1", S4, Port4}};
  for (const auto& Round : Rounds) {
    SCOPED_TRACE(Round.Server);
    C.SetServer(Round.Server);
    C.SetPort(Round.Port);
    C.Open();
    EXPECT_EQ(C.Connection()->LocalPort(), 0);
    TStringStream Query("who");
    C.SendPacket(&Query);
    ASSERT_TRUE(WaitReadable(Round.Socket, 5000));
    char Buffer[64];
    sockaddr_storage From;
    socklen_t Length = sizeof From;
    ASSERT_EQ(recvfrom(Round.Socket, Buffer, sizeof Buffer, 0, reinterpret_cast<sockaddr*>(&From), &Length), 3);
    int SeenPort = 0;
    SockAddrToText(reinterpret_cast<sockaddr*>(&From), &SeenPort);
    EXPECT_EQ(C.Connection()->LocalPort(), SeenPort);
    LocalPorts.push_back(SeenPort);
    ASSERT_EQ(sendto(Round.Socket, "me", 2, 0, reinterpret_cast<sockaddr*>(&From), Length), 2);
    TStringStream Answer;
    C.ReceivePacket(&Answer);
    EXPECT_EQ(Answer.DataString(), "me");
    EXPECT_EQ(C.Connection()->PeerPort(), Round.Port);
    EXPECT_EQ(C.Connection()->LocalPort(), SeenPort);
    C.Close();
  }
  // Kernel-chosen ports of sockets opened one after another: not all alike.
  EXPECT_NE(std::count(LocalPorts.begin(), LocalPorts.end(), LocalPorts[0]), static_cast<long>(LocalPorts.size()));
}

// An abort of an earlier operation does not end the next one: opening
// forgets it and empties the abort event, however often it was signalled.
TEST(UdpClient, AnEarlierAbortDoesNotEndTheNextExchange) {
  int Port = 0;
  TFd S = BoundSocket("127.0.0.1", SOCK_DGRAM, Port);
  TqmUdpClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.SetTimeOut(2000);
  for (int Aborts : {1, 2, 0}) {
    SCOPED_TRACE(Aborts);
    for (int I = 0; I < Aborts; ++I) C.Connection()->Abort();
    TServerThread Server = UdpEcho(S);
    C.Open();
    // Nothing is left in the abort event to wake the waits for nothing.
    EXPECT_FALSE(WaitReadable(C.Connection()->AbortHandle(), 0));
    TStringStream Query("still there");
    C.SendPacket(&Query);
    TStringStream Answer;
    C.ReceivePacket(&Answer);
    EXPECT_EQ(Answer.DataString(), "still there");
    EXPECT_FALSE(C.Connection()->IsAborted());
    C.Close();
  }
}
