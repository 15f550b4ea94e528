// SOCKS handshakes against a scripted proxy of the test's own: the replies
// real proxies never send, and the request bytes on the wire.
#include "net/qmSocks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/qmStream.h"
#include "net/qmTcpClient.h"
#include "qmNetTestUtil.h"

using namespace qm;
using namespace qmtest;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes ReadExact(int AFd, size_t ACount) {
  Bytes Data;
  uint8_t Buffer[512];
  while (Data.size() < ACount && WaitReadable(AFd, 5000)) {
    ssize_t N = recv(AFd, Buffer, std::min(sizeof Buffer, ACount - Data.size()), 0);
    if (N <= 0) break;
    Data.insert(Data.end(), Buffer, Buffer + N);
  }
  return Data;
}

// Reads up to and including a NUL byte.
Bytes ReadToNul(int AFd) {
  Bytes Data;
  for (;;) {
    Bytes One = ReadExact(AFd, 1);
    if (One.empty()) return Data;
    Data.push_back(One[0]);
    if (One[0] == 0) return Data;
  }
}

void Send(int AFd, const Bytes& AData) { SendAll(AFd, AData.data(), AData.size()); }

// Sends one byte per segment, with a pause so that each arrives alone.
void SendSplit(int AFd, const Bytes& AData) {
  for (uint8_t B : AData) {
    SendAll(AFd, &B, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
}

// A proxy that serves one connection with a script and records what the
// client sent.
class TScriptedProxy {
 public:
  using TScript = std::function<void(int AFd, Bytes& ARecord)>;
  explicit TScriptedProxy(TScript AScript) {
    FListener = Listener("127.0.0.1", FPort);
    FThread = TServerThread([this, AScript] {
      TFd C = AcceptOne(FListener);
      if (C >= 0) AScript(C, Record);
    });
  }
  int Port() const { return FPort; }
  void Join() { FThread.Join(); }
  Bytes Record;

 private:
  TFd FListener;
  int FPort = 0;
  TServerThread FThread;
};

// SOCKS 4 request: 8 bytes, the user id, and a host name for 4a.
void ReadSocks4Request(int AFd, Bytes& ARecord, bool AWithHost) {
  ARecord = ReadExact(AFd, 8);
  Bytes User = ReadToNul(AFd);
  ARecord.insert(ARecord.end(), User.begin(), User.end());
  if (AWithHost) {
    Bytes Host = ReadToNul(AFd);
    ARecord.insert(ARecord.end(), Host.begin(), Host.end());
  }
}

// SOCKS 5 greeting (no authentication) and connect request of the given
// length; replies to the greeting with method 0.
void ReadSocks5Connect(int AFd, Bytes& ARecord, size_t AConnectLength) {
  Bytes Greeting = ReadExact(AFd, 3);
  Send(AFd, {5, 0});
  ARecord = ReadExact(AFd, AConnectLength);
  ARecord.insert(ARecord.begin(), Greeting.begin(), Greeting.end());
}

void Configure(TqmTcpClient& AClient, TqmFirewallType AType, int AProxyPort, const std::string& ATarget = "127.0.0.1",
               int ATargetPort = 4242) {
  AClient.SetServer(ATarget);
  AClient.SetPort(ATargetPort);
  AClient.SetTimeOut(5000);
  AClient.FirewallSettings().SetServer("127.0.0.1");
  AClient.FirewallSettings().SetPort(AProxyPort);
  AClient.FirewallSettings().SetFirewallType(AType);
}

struct TError {
  bool Raised = false;
  bool IsSocks = false;
  std::string Message;
  int Code = 0;
};

TError OpenError(TqmTcpClient& AClient) {
  TError E;
  try {
    AClient.Open();
  } catch (const EqmSocksFirewallError& Ex) {
    E = {true, true, Ex.Message(), Ex.ErrorCode()};
  } catch (const EqmSocketError& Ex) {
    E = {true, false, Ex.Message(), Ex.ErrorCode()};
  }
  return E;
}

std::string ReadText(TqmTcpClient& AClient, size_t AExpected) {
  TStringStream Data;
  while (static_cast<size_t>(Data.Size()) < AExpected && AClient.Active()) AClient.Connection()->ReadData(&Data);
  return Data.DataString();
}

}  // namespace

TEST(Socks, Socks4RefusalsRaiseTheirMessageAndCode) {
  const std::vector<std::pair<int, std::string>> Cases = {
      {91, "SOCKS error: request rejected or failed"},
      {92, "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client"},
      {93, "SOCKS error: request rejected because the client program and identd report different user-ids"},
      {17, "Unknown SOCKS error occured"}};
  for (const auto& [Code, Text] : Cases) {
    TScriptedProxy Proxy([Code = Code](int Fd, Bytes& R) {
      ReadSocks4Request(Fd, R, false);
      Send(Fd, {0, static_cast<uint8_t>(Code), 0, 0, 0, 0, 0, 0});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks4, Proxy.Port());
    TError E = OpenError(C);
    EXPECT_TRUE(E.IsSocks) << Code;
    EXPECT_EQ(E.Code, Code);
    EXPECT_EQ(E.Message, Text);
    EXPECT_FALSE(C.Active());
  }
  // A reply of the wrong version is refused with the code it carries.
  TScriptedProxy Proxy([](int Fd, Bytes& R) {
    ReadSocks4Request(Fd, R, false);
    Send(Fd, {4, 90, 0, 0, 0, 0, 0, 0});
  });
  TqmTcpClient C;
  Configure(C, TqmFirewallType::ftSocks4, Proxy.Port());
  TError E = OpenError(C);
  EXPECT_EQ(E.Code, 90);
  EXPECT_EQ(E.Message, "Request granted");
}

TEST(Socks, Socks5ReplyCodesRaiseTheirMessageAndCode) {
  const char* Texts[] = {"",
                         "General SOCKS server failure",
                         "SOCKS error: connection not allowed by ruleset",
                         "SOCKS error: Network unreachable",
                         "SOCKS error: Host unreachable",
                         "SOCKS error: Connection refused",
                         "SOCKS error: TTL expired",
                         "SOCKS error: Command not supported",
                         "SOCKS error: Address type not supported",
                         "Unknown SOCKS error occured"};
  for (int Code = 1; Code <= 9; ++Code) {
    TScriptedProxy Proxy([Code](int Fd, Bytes& R) {
      ReadSocks5Connect(Fd, R, 10);
      Send(Fd, {5, static_cast<uint8_t>(Code), 0, 1, 0, 0, 0, 0, 0, 0});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
    TError E = OpenError(C);
    EXPECT_TRUE(E.IsSocks) << Code;
    EXPECT_EQ(E.Code, Code);
    EXPECT_EQ(E.Message, Texts[Code]);
    EXPECT_FALSE(C.Active());
  }
}

TEST(Socks, Socks5MethodSubNegotiationAndAddressTypeFailures) {
  {  // No acceptable method.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      R = ReadExact(Fd, 3);
      Send(Fd, {5, 255});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
    TError E = OpenError(C);
    EXPECT_EQ(E.Message, "SOCKS error: No acceptable authentication methods");
    EXPECT_EQ(E.Code, 255);
    Proxy.Join();
    EXPECT_EQ(Proxy.Record, (Bytes{5, 1, 0}));  // only "no authentication" offered
    EXPECT_FALSE(C.Active());
  }
  {  // A refused user name and password; the sub-negotiation bytes on the wire.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      R = ReadExact(Fd, 3);
      Send(Fd, {5, 2});
      Bytes Auth = ReadExact(Fd, 1 + 1 + 4 + 1 + 6);
      R.insert(R.end(), Auth.begin(), Auth.end());
      Send(Fd, {1, 1});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
    C.FirewallSettings().SetUserName("user");
    C.FirewallSettings().SetPassword("secret");
    TError E = OpenError(C);
    EXPECT_EQ(E.Message, "SOCKS error: authentication failed");
    EXPECT_EQ(E.Code, 1);
    Proxy.Join();
    EXPECT_EQ(Proxy.Record, (Bytes{5, 1, 2, 1, 4, 'u', 's', 'e', 'r', 6, 's', 'e', 'c', 'r', 'e', 't'}));
  }
  {  // A domain-name address in the connect reply.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      ReadSocks5Connect(Fd, R, 10);
      Send(Fd, {5, 0, 0, 3, 0, 0, 0, 0, 0, 0});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
    TError E = OpenError(C);
    EXPECT_EQ(E.Message, "SOCKS error: Address type not supported");
    EXPECT_EQ(E.Code, 3);
    EXPECT_FALSE(C.Active());
  }
  {  // Credentials that do not fit a one-byte length are refused before sending.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      R = ReadExact(Fd, 3);
      Send(Fd, {5, 2});
      R = ReadExact(Fd, 1);
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
    C.FirewallSettings().SetUserName(std::string(256, 'u'));
    TError E = OpenError(C);
    EXPECT_EQ(E.Code, qmSocksRequestInvalidCode);
    Proxy.Join();
    EXPECT_TRUE(Proxy.Record.empty());
  }
}

TEST(Socks, RequestBytesOnTheWire) {
  {  // SOCKS 4a with a host name: 0.0.0.1, the user id, then the name.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      ReadSocks4Request(Fd, R, true);
      Send(Fd, {0, 90, 0, 0, 0, 0, 0, 0});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks4a, Proxy.Port(), "mail.example.org", 0x1234);
    C.FirewallSettings().SetUserName("joe");
    C.Open();
    EXPECT_TRUE(C.Active());
    C.Close();
    Proxy.Join();
    Bytes Expected{4, 1, 0x12, 0x34, 0, 0, 0, 1, 'j', 'o', 'e', 0};
    const std::string Host = "mail.example.org";
    Expected.insert(Expected.end(), Host.begin(), Host.end());
    Expected.push_back(0);
    EXPECT_EQ(Proxy.Record, Expected);
  }
  {  // SOCKS 4a with an IPv4 literal appends nothing.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      ReadSocks4Request(Fd, R, false);
      Send(Fd, {0, 90, 0, 0, 0, 0, 0, 0});
      Bytes More = ReadExact(Fd, 1);  // nothing may follow the user id
      R.insert(R.end(), More.begin(), More.end());
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks4a, Proxy.Port(), "10.1.2.3", 25);
    C.Open();
    C.Close();
    Proxy.Join();
    EXPECT_EQ(Proxy.Record, (Bytes{4, 1, 0, 25, 10, 1, 2, 3, 0}));
  }
  {  // SOCKS 4 resolves the target itself, even "localhost".
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      ReadSocks4Request(Fd, R, false);
      Send(Fd, {0, 90, 0, 0, 0, 0, 0, 0});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks4, Proxy.Port(), "localhost", 110);
    C.SetUseIpV6(true);  // still an IPv4 address: SOCKS 4 has no other kind
    C.Open();
    C.Close();
    Proxy.Join();
    EXPECT_EQ(Proxy.Record, (Bytes{4, 1, 0, 110, 127, 0, 0, 1, 0}));
  }
  {  // SOCKS 5 with a host name: address type 3.
    const std::string Host = "smtp.example.net";
    TScriptedProxy Proxy([&Host](int Fd, Bytes& R) {
      ReadSocks5Connect(Fd, R, 4 + 1 + Host.size() + 2);
      Send(Fd, {5, 0, 0, 1, 127, 0, 0, 1, 0, 25});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port(), Host, 587);
    C.Open();
    C.Close();
    Proxy.Join();
    Bytes Expected{5, 1, 0, 5, 1, 0, 3, static_cast<uint8_t>(Host.size())};
    Expected.insert(Expected.end(), Host.begin(), Host.end());
    Expected.insert(Expected.end(), {0x02, 0x4B});
    EXPECT_EQ(Proxy.Record, Expected);
  }
  {  // SOCKS 5 with an IPv4 literal: address type 1 and four bytes.
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      ReadSocks5Connect(Fd, R, 10);
      Send(Fd, {5, 0, 0, 1, 127, 0, 0, 1, 0, 25});
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port(), "192.0.2.7", 995);
    C.Open();
    C.Close();
    Proxy.Join();
    EXPECT_EQ(Proxy.Record, (Bytes{5, 1, 0, 5, 1, 0, 1, 192, 0, 2, 7, 0x03, 0xE3}));
  }
}

TEST(Socks, SplitRepliesAndTargetDataRightAfterTheReply) {
  // Each proxy sends its reply one byte per segment, then the target's
  // greeting in the same segment as the reply's last byte, then echoes.
  struct TCase {
    TqmFirewallType Type;
    Bytes Reply;
  };
  const std::vector<TCase> Cases = {
      {TqmFirewallType::ftSocks4, {0, 90, 0, 0, 0, 0, 0, 0}},
      {TqmFirewallType::ftSocks5, {5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0x92}},
      // The 22-byte form for an IPv6 bound address.
      {TqmFirewallType::ftSocks5, {5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x10, 0x92}}};
  for (const TCase& Case : Cases) {
    TScriptedProxy Proxy([&Case](int Fd, Bytes& R) {
      if (Case.Type == TqmFirewallType::ftSocks4) {
        ReadSocks4Request(Fd, R, false);
      } else {
        R = ReadExact(Fd, 3);
        SendSplit(Fd, {5, 0});
        R = ReadExact(Fd, 10);
      }
      Bytes Head(Case.Reply.begin(), Case.Reply.end() - 1);
      SendSplit(Fd, Head);
      Bytes Tail{Case.Reply.back()};
      const std::string Greeting = "+OK ready\r\n";
      Tail.insert(Tail.end(), Greeting.begin(), Greeting.end());
      Send(Fd, Tail);
      Bytes Line = ReadExact(Fd, 6);
      Send(Fd, Line);
    });
    TqmTcpClient C;
    Configure(C, Case.Type, Proxy.Port());
    int64_t Progress = 0;
    C.Connection()->OnProgress = [&](TObject*, int64_t Done, int64_t) { Progress = Done; };
    C.Open();
    ASSERT_TRUE(C.Active());
    EXPECT_EQ(ReadText(C, 11), "+OK ready\r\n") << Case.Reply.size();
    C.Connection()->WriteString("QUIT\r\n", "");
    EXPECT_EQ(ReadText(C, 6), "QUIT\r\n");
    // Only the session's bytes count (11 + 6 + 6), none of the handshake's.
    EXPECT_EQ(Progress, 23);
    C.Close();
  }
}

TEST(Socks, ReplyCutOffByTheProxyClosing) {
  for (TqmFirewallType Type : {TqmFirewallType::ftSocks4, TqmFirewallType::ftSocks5}) {
    TScriptedProxy Proxy([Type](int Fd, Bytes& R) {
      if (Type == TqmFirewallType::ftSocks4) {
        ReadSocks4Request(Fd, R, false);
        Send(Fd, {0, 90, 0});
      } else {
        ReadSocks5Connect(Fd, R, 10);
        Send(Fd, {5, 0, 0, 1});
      }
      // Closing the socket ends the reply early.
    });
    TqmTcpClient C;
    Configure(C, Type, Proxy.Port());
    TError E = OpenError(C);
    EXPECT_TRUE(E.IsSocks);
    EXPECT_EQ(E.Code, qmSocksReplyCutOffCode);
    EXPECT_FALSE(C.Active());
  }
  // A refusal whose reply is cut short still reports the refusal.
  TScriptedProxy Proxy([](int Fd, Bytes& R) {
    ReadSocks5Connect(Fd, R, 10);
    Send(Fd, {5, 5});
  });
  TqmTcpClient C;
  Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
  TError E = OpenError(C);
  EXPECT_EQ(E.Code, 5);
  EXPECT_EQ(E.Message, "SOCKS error: Connection refused");
}

TEST(Socks, RefusalRightBeforeAResetIsReported) {
  // As dante does: the 10-byte refusal, then a reset. The refusal is the
  // error, never the reset, however the two arrive.
  for (int Round = 0; Round < 40; ++Round) {
    TScriptedProxy Proxy([](int Fd, Bytes& R) {
      ReadSocks5Connect(Fd, R, 10);
      Send(Fd, {5, 5, 0, 1, 0, 0, 0, 0, 0, 0});
      linger Hard{1, 0};
      setsockopt(Fd, SOL_SOCKET, SO_LINGER, &Hard, sizeof Hard);
    });
    TqmTcpClient C;
    Configure(C, TqmFirewallType::ftSocks5, Proxy.Port());
    TError E = OpenError(C);
    ASSERT_TRUE(E.IsSocks) << Round << ": " << E.Message;
    EXPECT_EQ(E.Code, 5);
    EXPECT_EQ(E.Message, "SOCKS error: Connection refused");
    EXPECT_FALSE(C.Active());
  }
}
