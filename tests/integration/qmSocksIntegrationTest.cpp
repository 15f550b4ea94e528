// The TCP client through real SOCKS proxies (dante, microsocks, ssh -D) to
// a local echo service that greets first, so that the target's bytes
// arrive right behind the proxy's reply.
#include <gtest/gtest.h>

#include <string>

#include "core/qmStream.h"
#include "net/qmSocks.h"
#include "net/qmTcpClient.h"
#include "tests/integration/qmTestServers.h"

namespace qm::test {
namespace {

class SocksIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers();
    Env = &Servers->Start("socks");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }

  // A client aimed at the greeting echo service through the proxy on
  // APortKey.
  static void Configure(TqmTcpClient& AClient, TqmFirewallType AType, const std::string& APortKey,
                        const std::string& ATarget = "127.0.0.1") {
    AClient.SetServer(ATarget);
    AClient.SetPort(Port(*Env, "ECHO_BANNER_PORT"));
    AClient.SetTimeOut(10000);
    AClient.FirewallSettings().SetServer("127.0.0.1");
    AClient.FirewallSettings().SetPort(Port(*Env, APortKey));
    AClient.FirewallSettings().SetFirewallType(AType);
  }

  static void Login(TqmTcpClient& AClient) {
    AClient.FirewallSettings().SetUserName(Value(*Env, "SOCKS_USER"));
    AClient.FirewallSettings().SetPassword(Value(*Env, "SOCKS_PASSWORD"));
  }

  static std::string ReadText(TqmTcpClient& AClient, size_t AExpected) {
    TStringStream Data;
    while (static_cast<size_t>(Data.Size()) < AExpected && AClient.Active()) AClient.Connection()->ReadData(&Data);
    return Data.DataString();
  }

  // Open, the greeting, and an echo of binary data byte for byte.
  static void Exchange(TqmTcpClient& AClient) {
    AClient.Open();
    ASSERT_TRUE(AClient.Active());
    EXPECT_EQ(ReadText(AClient, 13), "+ECHO READY\r\n");
    std::string Payload;
    for (int I = 0; I < 200000; ++I) Payload += static_cast<char>((I * 131) & 0xFF);
    AClient.Connection()->WriteString(Payload, "");
    EXPECT_TRUE(ReadText(AClient, Payload.size()) == Payload);
    AClient.Close();
    EXPECT_FALSE(AClient.Active());
  }

  static TestServers* Servers;
  static const ServerEnv* Env;
};

TestServers* SocksIntegration::Servers = nullptr;
const ServerEnv* SocksIntegration::Env = nullptr;

TEST_F(SocksIntegration, DanteSocks4AndSocks5) {
  TqmTcpClient C4;
  Configure(C4, TqmFirewallType::ftSocks4, "DANTE_PORT");
  Exchange(C4);
  TqmTcpClient C5;
  Configure(C5, TqmFirewallType::ftSocks5, "DANTE_PORT");
  Exchange(C5);
  // Resolved here instead of by the proxy.
  TqmTcpClient Local;
  Configure(Local, TqmFirewallType::ftSocks5, "DANTE_PORT", "localhost");
  Local.FirewallSettings().SetNeedResolveIP(false);
  Exchange(Local);
}

TEST_F(SocksIntegration, DanteToAnIPv6TargetRepliesWithTheLongForm) {
  // dante answers with the 22-byte reply that binds an IPv6 address; the
  // greeting right behind it must reach the session intact.
  TqmTcpClient C;
  Configure(C, TqmFirewallType::ftSocks5, "DANTE_PORT", "::1");
  Exchange(C);
}

TEST_F(SocksIntegration, DanteWithUserNameAndPassword) {
  TqmTcpClient C;
  Configure(C, TqmFirewallType::ftSocks5, "DANTE_AUTH_PORT");
  Login(C);
  Exchange(C);

  TqmTcpClient Wrong;
  Configure(Wrong, TqmFirewallType::ftSocks5, "DANTE_AUTH_PORT");
  Login(Wrong);
  Wrong.FirewallSettings().SetPassword("not-the-password");
  try {
    Wrong.Open();
    FAIL() << "a wrong password was accepted";
  } catch (const EqmSocksFirewallError& E) {
    EXPECT_EQ(E.Message(), "SOCKS error: authentication failed");
  }
  EXPECT_FALSE(Wrong.Active());

  // Without credentials dante offers no method the client can use.
  TqmTcpClient None;
  Configure(None, TqmFirewallType::ftSocks5, "DANTE_AUTH_PORT");
  try {
    None.Open();
    FAIL() << "a proxy that requires a password was passed without one";
  } catch (const EqmSocksFirewallError& E) {
    EXPECT_EQ(E.Message(), "SOCKS error: No acceptable authentication methods");
    EXPECT_EQ(E.ErrorCode(), 255);
  }
  EXPECT_FALSE(None.Active());
}

TEST_F(SocksIntegration, Microsocks) {
  TqmTcpClient C;
  Configure(C, TqmFirewallType::ftSocks5, "MICROSOCKS_PORT");
  Exchange(C);
  TqmTcpClient Auth;
  Configure(Auth, TqmFirewallType::ftSocks5, "MICROSOCKS_AUTH_PORT");
  Login(Auth);
  Exchange(Auth);
}

TEST_F(SocksIntegration, SshDynamicForwardingWithHostNames) {
  // SOCKS 4a hands the host name to the proxy.
  TqmTcpClient C4a;
  Configure(C4a, TqmFirewallType::ftSocks4a, "SSH_SOCKS_PORT", "localhost");
  Exchange(C4a);
  TqmTcpClient C5;
  Configure(C5, TqmFirewallType::ftSocks5, "SSH_SOCKS_PORT", "localhost");
  Exchange(C5);
  TqmTcpClient C4;
  Configure(C4, TqmFirewallType::ftSocks4, "SSH_SOCKS_PORT", "localhost");
  Exchange(C4);
}

}  // namespace
}  // namespace qm::test
