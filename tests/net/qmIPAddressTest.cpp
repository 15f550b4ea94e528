#include "net/qmIPAddress.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/qmSocketError.h"

#include "tests/net/qmNetTestUtil.h"

using namespace qm;
using namespace qmtest;

namespace {

std::string Print6(const std::string& AText) {
  TqmIPAddress6 A;
  EXPECT_TRUE(A.Parse(AText)) << AText;
  return A.ToString();
}

}  // namespace

TEST(IPAddress, Ipv4LiteralParsesInBothClasses) {
  TqmIPAddress4 V4;
  ASSERT_TRUE(V4.Parse("127.0.0.1"));
  EXPECT_EQ(V4.AddressFamily(), AF_INET);
  EXPECT_EQ(V4.AddressLength(), 16);
  EXPECT_FALSE(V4.IsIpV6());
  EXPECT_EQ(V4.ToString(), "127.0.0.1");

  TqmIPAddress6 V6;
  ASSERT_TRUE(V6.Parse("127.0.0.1"));
  EXPECT_EQ(V6.AddressFamily(), AF_INET);
  EXPECT_FALSE(V6.IsIpV6());
  EXPECT_EQ(V6.ToString(), "127.0.0.1");
}

TEST(IPAddress, Ipv6LiteralParsesOnlyInTheIpv6Class) {
  TqmIPAddress4 V4;
  EXPECT_FALSE(V4.Parse("::1"));
  EXPECT_EQ(V4.AddressFamily(), 0);
  TqmIPAddress6 V6;
  ASSERT_TRUE(V6.Parse("::1"));
  EXPECT_TRUE(V6.IsIpV6());
  EXPECT_EQ(V6.AddressFamily(), AF_INET6);
  EXPECT_EQ(V6.ToString(), "::1");
}

TEST(IPAddress, BroadcastAndGarbageDoNotParseAsIpv4) {
  TqmIPAddress4 V4;
  EXPECT_FALSE(V4.Parse("255.255.255.255"));
  EXPECT_FALSE(V4.Parse("host.example"));
  EXPECT_FALSE(V4.Parse(std::string("1.2.3.4\0junk", 12)));
  TqmIPAddress6 V6;
  EXPECT_FALSE(V6.Parse(""));
  EXPECT_FALSE(V6.Parse("localhost"));
  EXPECT_EQ(V6.AddressFamily(), 0);
  EXPECT_EQ(V6.Address(), nullptr);
  EXPECT_EQ(V6.Port(), 0);
  EXPECT_EQ(V6.ToString(), "");
}

TEST(IPAddress, Ipv6TextFormCompressesOnlyTheFirstZeroRun) {
  EXPECT_EQ(Print6("0:0:0:0:0:0:0:1"), "::1");
  EXPECT_EQ(Print6("FE80:0:0:0:0:0:0:1"), "FE80::1");
  EXPECT_EQ(Print6("1:0:0:0:0:0:0:0"), "1::");
  EXPECT_EQ(Print6("1:0:2:0:0:0:0:3"), "1:0:2:0:0:0:0:3");
  EXPECT_EQ(Print6("0:0:0:0:0:0:0:0"), "::");
  EXPECT_EQ(Print6("1:0:0:2:0:0:0:3"), "1::2:0:0:0:3");
  EXPECT_EQ(Print6("0:0:1:0:0:0:0:0"), "::1:0:0:0:0:0");
  EXPECT_EQ(Print6("fe80::abcd:0012"), "FE80::ABCD:12");
  EXPECT_EQ(Print6("2001:db8:1:2:3:4:5:6"), "2001:DB8:1:2:3:4:5:6");
}

TEST(IPAddress, PortsAreStoredInNetworkOrderAndTruncated) {
  TqmIPAddress4 V4;
  V4.InitAddress(AF_INET);
  V4.SetPort(8080);
  EXPECT_EQ(V4.Port(), 8080);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(V4.Address())->sin_port, htons(8080));
  V4.SetPort(70000);
  EXPECT_EQ(V4.Port(), 70000 & 0xFFFF);

  TqmIPAddress6 V6;
  ASSERT_TRUE(V6.Parse("::1"));
  V6.SetPort(443);
  EXPECT_EQ(V6.Port(), 443);
  EXPECT_EQ(reinterpret_cast<sockaddr_in6*>(V6.Address())->sin6_port, htons(443));
}

TEST(IPAddress, ErrorsCarryTheirCodesAndTexts) {
  std::string Message;
  TqmIPAddress4 V4;
  EXPECT_EQ(CodeOf([&] { V4.SetPort(-1); }, &Message), -3);
  EXPECT_EQ(Message, "Invalid port number");
  EXPECT_EQ(CodeOf([&] { V4.InitAddress(17); }, &Message), -7);
  EXPECT_EQ(Message, "Invalid address family");
  EXPECT_EQ(CodeOf([&] { V4.InitAddress(AF_INET6); }), -7);

  TqmIPAddress6 V6;
  EXPECT_EQ(CodeOf([&] { V6.InitAddress(17); }), -7);
  EXPECT_EQ(CodeOf([&] { V6.SetPort(-1); }), -3);
  // No address yet: a port has nowhere to go.
  EXPECT_EQ(CodeOf([&] { V6.SetPort(25); }, &Message), -2);
  EXPECT_EQ(Message, "Invalid host address");

  EXPECT_EQ(CodeOf([] { TqmIPAddress::CreateFromText("mail.example.org"); }, &Message), -2);
  EXPECT_EQ(Message, "Invalid host address");
  EXPECT_EQ(CodeOf([] { TqmIPAddress::CreateFromText(""); }), -2);
}

TEST(IPAddress, ClassLevelCreation) {
  auto Any4 = TqmIPAddress::CreateAnyAddress(AF_INET);
  EXPECT_EQ(Any4->ToString(), "0.0.0.0");
  EXPECT_EQ(Any4->AddressFamily(), AF_INET);
  auto Any6 = TqmIPAddress::CreateBindingAddress("", AF_INET6);
  EXPECT_EQ(Any6->ToString(), "::");
  EXPECT_TRUE(Any6->IsIpV6());
  auto Bound = TqmIPAddress::CreateBindingAddress("127.0.0.2", AF_INET6);
  EXPECT_EQ(Bound->ToString(), "127.0.0.2");
  auto Created = TqmIPAddress::CreateIpAddress(AF_INET6);
  EXPECT_EQ(Created->AddressFamily(), AF_INET6);
  EXPECT_EQ(CodeOf([] { TqmIPAddress::CreateIpAddress(99); }), -7);

  EXPECT_FALSE(TqmIPAddress::IsHostAddress(""));
  EXPECT_FALSE(TqmIPAddress::IsHostAddress("localhost"));
  EXPECT_TRUE(TqmIPAddress::IsHostAddress("10.1.2.3"));
  EXPECT_TRUE(TqmIPAddress::IsHostAddress("fe80::1"));
  EXPECT_TRUE(IsIpV6Available());
}

TEST(SocketError, SystemAndResolverCodesCarryTheSystemText) {
  std::string Message;
  EXPECT_EQ(CodeOf([] { RaiseSocketError(ECONNRESET); }, &Message), ECONNRESET);
  EXPECT_EQ(Message, std::strerror(ECONNRESET));
  EXPECT_EQ(CodeOf([] { RaiseSocketError(11001); }, &Message), 11001);
  EXPECT_EQ(Message, gai_strerror(EAI_NONAME));
  EXPECT_EQ(CodeOf([] { RaiseResolverError(EAI_AGAIN, 0); }, &Message), 11002);
  EXPECT_EQ(Message, gai_strerror(EAI_AGAIN));
  EXPECT_EQ(CodeOf([] { RaiseResolverError(EAI_FAIL, 0); }), 11003);
  EXPECT_EQ(CodeOf([] { RaiseResolverError(EAI_NODATA, 0); }), 11004);
  EXPECT_EQ(CodeOf([] { RaiseResolverError(EAI_SYSTEM, EMFILE); }), EMFILE);
}

// The text forms are written by hand: every byte value in every position
// must read as inet_ntop writes it, and every group as "%X" does.
TEST(IPAddress, TextFormsMatchTheLibraryFormatting) {
  for (int Position = 0; Position < 4; ++Position)
    for (int Value = 0; Value < 256; ++Value) {
      uint8_t Bytes[4] = {10, 200, 3, 45};
      Bytes[Position] = static_cast<uint8_t>(Value);
      in_addr A;
      std::memcpy(&A, Bytes, 4);
      char Expected[INET_ADDRSTRLEN];
      ASSERT_NE(inet_ntop(AF_INET, &A, Expected, sizeof Expected), nullptr);
      ASSERT_EQ(FormatIpV4(A), Expected);
    }
  for (unsigned Group : {0x1u, 0xFu, 0x10u, 0xABCu, 0x1000u, 0xFFFFu, 0x0F0Fu}) {
    uint8_t Bytes[16] = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes[2] = static_cast<uint8_t>(Group >> 8);
    Bytes[3] = static_cast<uint8_t>(Group);
    Bytes[14] = static_cast<uint8_t>(Group >> 8);
    Bytes[15] = static_cast<uint8_t>(Group);
    char Hex[8];
    std::snprintf(Hex, sizeof Hex, "%X", Group);
    EXPECT_EQ(FormatIpV6(Bytes), std::string("2001:") + Hex + "::" + Hex);
  }
  sockaddr_in Peer{};
  Peer.sin_family = AF_INET;
  Peer.sin_port = htons(5353);
  Peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int Port = 0;
  EXPECT_EQ(SockAddrToText(reinterpret_cast<sockaddr*>(&Peer), &Port), "127.0.0.1");
  EXPECT_EQ(Port, 5353);
}
