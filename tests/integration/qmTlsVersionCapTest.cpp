// The TLS version flags cap the version: against openssl s_server
// instances of tests/servers/start-tls.sh that speak only TLS 1.3 or only
// TLS 1.2, a client limited to the other version fails its handshake.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/qmTcpClientTls.h"
#include "net/qmTlsOpenSsl.h"
#include "net/qmTlsStream.h"
#include "tests/integration/qmTestServers.h"

namespace qm {
namespace {

using test::Port;
using test::TestServers;
using test::Value;

// Opens implicit TLS with AFlags; the negotiated version, or "" when the
// handshake failed.
std::string Negotiate(const std::string& ACaFile, int APort, TqmTlsFlags AFlags, bool ASystemFlags = true) {
  TqmTcpClientTls C;
  C.SetServer("localhost");
  C.SetCaFile(ACaFile);
  C.SetPort(APort);
  C.SetTimeOut(10000);
  C.SetUseTLS(ctImplicit);
  C.SetTLSFlags(AFlags);
  C.SetUseSystemTLSFlags(ASystemFlags);
  try {
    C.Open();
  } catch (const EqmSSPIError&) {
    return "";
  } catch (const EqmSocketError&) {
    return "";
  }
  EXPECT_TRUE(C.Active());
  std::string Version = C.TlsStream()->Engine()->ProtocolVersion();
  C.Close();
  return Version;
}

TEST(TlsVersionCap, FlagsCapTheVersion) {
  TestServers Servers;
  const auto& Tls = Servers.Start("tls", {"tls13", "tls12"});
  const std::string Ca = Value(Tls, "CA_CERT");
  const int Only13 = Port(Tls, "TLS_TLS13_PORT");
  const int Only12 = Port(Tls, "TLS_TLS12_PORT");
  // TLS 1.2 alone never reaches a TLS 1.3-only server, whatever
  // UseSystemTLSFlags says.
  EXPECT_EQ(Negotiate(Ca, Only13, tfUseTLS12), "");
  EXPECT_EQ(Negotiate(Ca, Only13, tfUseTLS12, false), "");
  EXPECT_EQ(Negotiate(Ca, Only13, tfUseTLS | tfUseTLS11 | tfUseTLS12, false), "");
  // Named, or added to the default set by UseSystemTLSFlags, it is used.
  EXPECT_EQ(Negotiate(Ca, Only13, tfUseTLS12 | tfUseTLS13), "TLSv1.3");
  EXPECT_EQ(Negotiate(Ca, Only13, qmDefaultTlsFlags), "TLSv1.3");
  // And the other way round.
  EXPECT_EQ(Negotiate(Ca, Only12, tfUseTLS13), "");
  EXPECT_EQ(Negotiate(Ca, Only12, tfUseTLS12), "TLSv1.2");
}

}  // namespace
}  // namespace qm
