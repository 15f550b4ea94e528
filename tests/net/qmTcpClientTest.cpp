#include "net/qmTcpClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "tests/net/qmNetTestUtil.h"

using namespace qm;
using namespace qmtest;
using namespace std::chrono;

namespace {

// Counts the notifications and the keep-alive ticks.
class TCountingClient : public TqmTcpClient {
 public:
  using TqmTcpClient::TqmTcpClient;
  int Changes = 0, Opens = 0, Closes = 0, KeepAlives = 0;
  std::function<void()> OnTick;
  TCountingClient() {
    OnChanged = [this](TObject*) { ++Changes; };
    OnOpen = [this](TObject*) { ++Opens; };
    OnClose = [this](TObject*) { ++Closes; };
  }
  void DoKeepAlive() override {
    ++KeepAlives;
    if (OnTick) OnTick();
  }
};

// A proxy whose route to the target is a direct connection of its own.
class TDirectProxy : public TqmTcpProxy {
 public:
  using TqmTcpProxy::TqmTcpProxy;
  int Targets = 0;
  void ConnectTarget(const std::string& AServer, int APort) override {
    ++Targets;
    SetServer(AServer);
    SetPort(APort);
    Open();
  }
};

std::string ReadText(TqmTcpClient& AClient, size_t AExpected) {
  TStringStream Data;
  while (static_cast<size_t>(Data.Size()) < AExpected && AClient.Active()) AClient.Connection()->ReadData(&Data);
  return Data.DataString();
}

}  // namespace

TEST(TcpClient, DefaultsAndOneOnChangedPerRealChange) {
  TCountingClient C;
  EXPECT_EQ(C.Server(), "");
  EXPECT_EQ(C.Port(), 0);
  EXPECT_EQ(C.BatchSize(), 8192);
  EXPECT_EQ(C.TimeOut(), 60000);
  EXPECT_EQ(C.BitsPerSec(), 0);
  EXPECT_FALSE(C.UseIpV6());
  EXPECT_EQ(C.KeepAlive(), 0);
  EXPECT_EQ(C.ConnectTimeOut(), 0);
  EXPECT_FALSE(C.DisableGuiProcessing());
  EXPECT_EQ(C.LocalBinding(), "");
  EXPECT_EQ(C.Proxy(), nullptr);
  EXPECT_EQ(C.FirewallSettings().FirewallType(), TqmFirewallType::ftSocks4);
  EXPECT_EQ(C.FirewallSettings().Port(), 1080);
  EXPECT_TRUE(C.FirewallSettings().NeedResolveIP());
  EXPECT_FALSE(C.Active());

  C.SetTimeOut(60000);
  EXPECT_EQ(C.Changes, 0);
  C.SetTimeOut(1000);
  EXPECT_EQ(C.Changes, 1);
  C.SetTimeOut(1000);
  EXPECT_EQ(C.Changes, 1);
  C.SetServer("localhost");
  C.SetPort(25);
  C.SetLocalBinding("127.0.0.1");
  C.SetBatchSize(4096);
  C.SetBitsPerSec(100000);
  C.SetUseIpV6(true);
  C.SetKeepAlive(30000);
  C.SetConnectTimeOut(500);
  C.SetDisableGuiProcessing(true);
  EXPECT_EQ(C.Changes, 10);
  C.SetServer("localhost");
  C.SetPort(25);
  C.SetLocalBinding("127.0.0.1");
  C.SetBatchSize(4096);
  C.SetBitsPerSec(100000);
  C.SetUseIpV6(true);
  C.SetKeepAlive(30000);
  C.SetConnectTimeOut(500);
  C.SetDisableGuiProcessing(true);
  EXPECT_EQ(C.Changes, 10);
  // Connection-stored values live in the connection.
  EXPECT_EQ(C.Connection()->BatchSize(), 4096);
  EXPECT_EQ(C.Connection()->TimeOut(), 1000);
  EXPECT_EQ(C.Connection()->ConnectTimeOut(), 500);

  TqmFirewallSettings F;
  F.SetServer("socks.example");
  C.SetFirewallSettings(F);
  EXPECT_EQ(C.Changes, 10);
  EXPECT_EQ(C.FirewallSettings().Server(), "socks.example");
}

TEST(TcpClient, OpenByNameAndLiteralsRaisesOnOpenOnceAndCloseOnClose) {
  for (const std::string Host : {"localhost", "127.0.0.1", "::1"}) {
    SCOPED_TRACE(Host);
    int Port = 0;
    TFd L = Listener(Host == "::1" ? "::1" : "127.0.0.1", Port);
    TServerThread Server = EchoServer(L);
    TCountingClient C;
    C.SetServer(Host);
    C.SetPort(Port);
    C.Open();
    ASSERT_TRUE(C.Active());
    EXPECT_EQ(C.Opens, 1);
    const int Socket = C.Connection()->Socket().Handle();
    C.Open();  // already open: nothing happens
    EXPECT_EQ(C.Opens, 1);
    EXPECT_EQ(C.Connection()->Socket().Handle(), Socket);
    C.Connection()->WriteString("abc", "");
    EXPECT_EQ(ReadText(C, 3), "abc");
    C.Close();
    EXPECT_FALSE(C.Active());
    EXPECT_EQ(C.Closes, 1);
    C.Close();
    EXPECT_EQ(C.Closes, 1);
  }
}

TEST(TcpClient, FailedOpenLeavesTheClientClosedWithoutOnClose) {
  int Port = 0;
  { TFd Closed = Listener("127.0.0.1", Port); }
  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  EXPECT_EQ(CodeOf([&] { C.Open(); }), ECONNREFUSED);
  EXPECT_FALSE(C.Active());
  EXPECT_FALSE(C.InProgress());
  EXPECT_FALSE(C.Connection()->Socket().IsValid());
  EXPECT_EQ(C.Opens, 0);
  EXPECT_EQ(C.Closes, 0);

  C.SetServer("a..b");  // refused by the resolver without a query
  EXPECT_EQ(CodeOf([&] { C.Open(); }), 11001);
  EXPECT_FALSE(C.Active());

  std::string Message;
  EXPECT_EQ(CodeOf([&] { C.CheckActive(); }, &Message), -6);
  EXPECT_EQ(Message, "The connection to the server is not active");
}

TEST(TcpClient, BatchSizeZeroIsRefusedBeforeAnyConnect) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.SetBatchSize(0);
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C.Open(); }, &Message), -4);
  EXPECT_EQ(Message, "Invalid Batch Size");
  EXPECT_FALSE(WaitReadable(L, 100));  // nobody knocked
}

TEST(TcpClient, ConnectTimeOutAndAbortDuringConnect) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port, 0);
  TFd Filler(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in Sa{};
  Sa.sin_family = AF_INET;
  Sa.sin_port = htons(static_cast<uint16_t>(Port));
  Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(Filler, reinterpret_cast<sockaddr*>(&Sa), sizeof Sa), 0);

  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.SetConnectTimeOut(250);
  EXPECT_EQ(CodeOf([&] { C.Open(); }), -1);
  EXPECT_FALSE(C.Active());

  // Close from a timer while the connect waits: Open ends quietly.
  C.SetConnectTimeOut(0);
  auto& Queue = TqmMessageQueue::Current();
  auto Timer = Queue.SetTimer(milliseconds(100), [&] { C.Close(); });
  const auto Start = steady_clock::now();
  EXPECT_NO_THROW(C.Open());
  Queue.KillTimer(Timer);
  EXPECT_LT(steady_clock::now() - Start, seconds(30));
  EXPECT_FALSE(C.Active());
  EXPECT_EQ(C.Opens, 0);
  EXPECT_EQ(C.Closes, 0);
}

TEST(TcpClient, KeepAliveTicksInsideReadsAndIdleDispatchButNeverAfterClose) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    ReadUntil(S, "never", 5000);
  });
  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.SetKeepAlive(40);
  C.SetTimeOut(400);
  C.Open();

  TStringStream Data;
  EXPECT_EQ(CodeOf([&] { C.Connection()->ReadData(&Data); }), -1);
  const int InRead = C.KeepAlives;
  EXPECT_GE(InRead, 2);

  TqmMessageQueue::Current().RunFor(milliseconds(300));
  EXPECT_GE(C.KeepAlives, InRead + 2);

  C.Close();
  const int AtClose = C.KeepAlives;
  TqmMessageQueue::Current().RunFor(milliseconds(200));
  EXPECT_EQ(C.KeepAlives, AtClose);
}

TEST(TcpClient, KeepAliveHookErrorsAreSwallowedAndACloseInsideStopsIt) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    ReadUntil(S, "never", 3000);
  });
  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.SetKeepAlive(20);
  C.Open();
  C.OnTick = [&] {
    if (C.KeepAlives == 2) throw EqmSocketError("keep-alive failed", 1);
    if (C.KeepAlives == 4) C.Close();
  };
  auto& Queue = TqmMessageQueue::Current();
  for (int I = 0; I < 500 && C.KeepAlives < 4; ++I) Queue.RunFor(milliseconds(10));
  EXPECT_EQ(C.KeepAlives, 4);
  EXPECT_FALSE(C.Active());
  Queue.RunFor(milliseconds(100));
  EXPECT_EQ(C.KeepAlives, 4);
}

TEST(TcpClient, FirewallTypesThatDoNotExistAreRefused) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.FirewallSettings().SetServer("127.0.0.1");
  C.FirewallSettings().SetFirewallType(static_cast<TqmFirewallType>(7));
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C.Open(); }, &Message), -101);
  EXPECT_EQ(Message, "Unsupported firewall type");
  EXPECT_THROW(C.Open(), EqmTcpClientError);
  // A configured firewall is never bypassed.
  C.FirewallSettings().SetFirewallType(TqmFirewallType::ftSocks5);
  EXPECT_NE(CodeOf([&] { C.Open(); }), 0);
  EXPECT_FALSE(C.Active());
  EXPECT_FALSE(WaitReadable(L, 100));
}

TEST(TcpClient, ProxyConnectionCarriesTheSessionAndItsSettings) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server = EchoServer(L);
  TCountingClient C;
  auto* Proxy = new TDirectProxy(&C);
  C.SetProxy(Proxy);
  EXPECT_EQ(C.Proxy(), Proxy);
  EXPECT_EQ(C.Connection(), Proxy->Connection());
  C.SetBatchSize(1234);
  EXPECT_EQ(Proxy->BatchSize(), 1234);
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.Open();
  EXPECT_EQ(Proxy->Targets, 1);
  ASSERT_TRUE(C.Active());
  C.Connection()->WriteString("via proxy", "");
  EXPECT_EQ(ReadText(C, 9), "via proxy");
  C.Close();
  EXPECT_FALSE(Proxy->Active());

  delete Proxy;
  EXPECT_EQ(C.Proxy(), nullptr);
  EXPECT_EQ(C.BatchSize(), 8192);  // the own connection again
}

TEST(TcpClient, ServerCloseLeavesNothingForClose) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    SendText(S, "bye");
  });
  TCountingClient C;
  C.SetServer("127.0.0.1");
  C.SetPort(Port);
  C.Open();
  EXPECT_EQ(ReadText(C, 100), "bye");
  EXPECT_FALSE(C.Active());
  EXPECT_NO_THROW(C.Close());
  EXPECT_EQ(C.Closes, 0);
}

TEST(FirewallSettings, AssignCopiesAllValues) {
  TqmFirewallSettings A, B;
  A.SetFirewallType(TqmFirewallType::ftSocks4a);
  A.SetUserName("u");
  A.SetPassword("p");
  A.SetServer("s");
  A.SetPort(9050);
  A.SetNeedResolveIP(false);
  B.Assign(A);
  EXPECT_EQ(B.FirewallType(), TqmFirewallType::ftSocks4a);
  EXPECT_EQ(B.UserName(), "u");
  EXPECT_EQ(B.Password(), "p");
  EXPECT_EQ(B.Server(), "s");
  EXPECT_EQ(B.Port(), 9050);
  EXPECT_FALSE(B.NeedResolveIP());
  TCountingClient Other;
  EXPECT_THROW(B.Assign(Other), EConvertError);
}
