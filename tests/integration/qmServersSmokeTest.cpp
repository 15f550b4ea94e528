// Each test server starts from its script and answers on its port: the
// proof that a fresh machine can install and run what the integration
// tests talk to. The library is not involved; plain sockets only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/integration/qmTestServers.h"

namespace qm::test {
namespace {

// A blocking loopback connection with a time limit on every read.
class Conn {
 public:
  Conn(const std::string& AHost, int APort, int AType = SOCK_STREAM) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (AHost.find(':') != std::string::npos) {
      auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
      a6->sin6_family = AF_INET6;
      a6->sin6_port = htons(static_cast<uint16_t>(APort));
      inet_pton(AF_INET6, AHost.c_str(), &a6->sin6_addr);
      len = sizeof(*a6);
    } else {
      auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
      a4->sin_family = AF_INET;
      a4->sin_port = htons(static_cast<uint16_t>(APort));
      inet_pton(AF_INET, AHost.c_str(), &a4->sin_addr);
      len = sizeof(*a4);
    }
    FFd = socket(addr.ss_family, AType | SOCK_CLOEXEC, 0);
    if (FFd < 0 || connect(FFd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      throw std::runtime_error("cannot connect to " + AHost + ":" + std::to_string(APort));
    }
  }
  ~Conn() { close(FFd); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  void Send(const std::string& AData) {
    size_t done = 0;
    while (done < AData.size()) {
      ssize_t n = send(FFd, AData.data() + done, AData.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
        throw std::runtime_error("send failed");
      }
      done += static_cast<size_t>(n);
    }
  }

  // Exactly ACount bytes, or what arrived before the peer closed or 5 s passed.
  std::string Read(size_t ACount) {
    while (FBuffer.size() < ACount && Fill()) {
    }
    std::string out = FBuffer.substr(0, ACount);
    FBuffer.erase(0, out.size());
    return out;
  }

  // One line with its CR LF removed.
  std::string ReadLine() {
    size_t eol;
    while ((eol = FBuffer.find('\n')) == std::string::npos && Fill()) {
    }
    if (eol == std::string::npos) {
      std::string rest = std::move(FBuffer);
      FBuffer.clear();
      return rest;
    }
    std::string line = FBuffer.substr(0, eol);
    FBuffer.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    return line;
  }

  // The last line of a (possibly multi-line) SMTP reply.
  std::string ReadSmtpReply() {
    std::string line;
    do {
      line = ReadLine();
    } while (line.size() > 3 && line[3] == '-');
    return line;
  }

  // One datagram (for UDP sockets).
  std::string Receive() {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) {
      return {};
    }
    char buf[65536];
    ssize_t n = recv(FFd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  bool Fill() {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) {
      return false;
    }
    char buf[4096];
    ssize_t n = recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) {
      return false;
    }
    FBuffer.append(buf, static_cast<size_t>(n));
    return true;
  }

  int FFd = -1;
  std::string FBuffer;
};

std::string Bytes(std::initializer_list<int> AValues) {
  std::string s;
  for (int v : AValues) {
    s += static_cast<char>(v);
  }
  return s;
}

std::string PortBytes(int APort) { return Bytes({(APort >> 8) & 0xff, APort & 0xff}); }

// s_client against one s_server instance; returns its output.
std::string TlsClient(const ServerEnv& AEnv, const std::string& APortKey, const std::string& AExtra,
                      int& AStatus) {
  std::string output;
  AStatus = RunCommand("printf 'abc\\nCLOSE\\n' | timeout 10 openssl s_client -connect 127.0.0.1:" +
                           Value(AEnv, APortKey) + " -CAfile " + ShellQuote(Value(AEnv, "CA_CERT")) +
                           " -verify_hostname localhost -verify_return_error -ign_eof " + AExtra,
                       output);
  return output;
}

TEST(ServersSmokeTest, OpensslServersPresentTheirCertificates) {
  TestServers servers;
  const auto& tls = servers.Start("tls");
  int rc;
  std::string out = TlsClient(tls, "TLS_LOCALHOST_PORT", "", rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
  EXPECT_NE(out.find("\ncba"), std::string::npos) << "s_server -rev did not answer:\n" << out;

  out = TlsClient(tls, "TLS_TLS12_PORT", "", rc);
  EXPECT_NE(out.find("Protocol  : TLSv1.2"), std::string::npos) << out;
  out = TlsClient(tls, "TLS_TLS13_PORT", "", rc);
  EXPECT_NE(out.find("TLSv1.3"), std::string::npos) << out;

  out = TlsClient(tls, "TLS_EXPIRED_PORT", "", rc);
  EXPECT_NE(out.find("certificate has expired"), std::string::npos) << out;
  out = TlsClient(tls, "TLS_SELFSIGNED_PORT", "", rc);
  EXPECT_NE(out.find("self-signed certificate"), std::string::npos) << out;
  out = TlsClient(tls, "TLS_OTHERHOST_PORT", "", rc);
  EXPECT_NE(out.find("hostname mismatch"), std::string::npos) << out;

  out = TlsClient(tls, "TLS_REQUIRE_PORT",
                  "-quiet -cert " + ShellQuote(Value(tls, "CLIENT_CERT")) + " -key " + ShellQuote(Value(tls, "CLIENT_KEY")),
                  rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("cba"), std::string::npos) << "client certificate not accepted:\n" << out;
  EXPECT_TRUE(std::filesystem::exists(Value(tls, "CLIENT_P12")));
}

TEST(ServersSmokeTest, DovecotServesTheFilledMaildir) {
  TestServers servers;
  const auto& pop3 = servers.Start("dovecot");
  servers.RunScript("fill-maildir.sh", {"--count", "3"});

  Conn c("127.0.0.1", Port(pop3, "POP3_PORT"));
  EXPECT_EQ(c.ReadLine().rfind("+OK", 0), 0u);
  c.Send("USER " + Value(pop3, "POP3_USER") + "\r\n");
  EXPECT_EQ(c.ReadLine().rfind("+OK", 0), 0u);
  c.Send("PASS " + Value(pop3, "POP3_PASSWORD") + "\r\n");
  EXPECT_EQ(c.ReadLine(), "+OK Logged in.");
  c.Send("STAT\r\n");
  EXPECT_EQ(c.ReadLine().rfind("+OK 3 ", 0), 0u);
  c.Send("QUIT\r\n");
  EXPECT_EQ(c.ReadLine().rfind("+OK", 0), 0u);

  int rc;
  std::string out;
  rc = RunCommand("printf 'QUIT\\r\\n' | timeout 10 openssl s_client -quiet -connect 127.0.0.1:" +
                      Value(pop3, "POP3S_PORT") + " -CAfile " + ShellQuote(Value(pop3, "CA_CERT")) +
                      " -verify_hostname localhost -verify_return_error",
                  out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("+OK"), std::string::npos) << out;
}

TEST(ServersSmokeTest, PostfixDeliversToDovecot) {
  TestServers servers;
  const auto& smtp = servers.Start("postfix");
  const auto& pop3 = servers.Env("dovecot");

  {
    Conn c("127.0.0.1", Port(smtp, "SUBMISSION_PORT"));
    EXPECT_EQ(c.ReadLine().rfind("220 ", 0), 0u);
    c.Send("EHLO smoke.test\r\n");
    EXPECT_EQ(c.ReadSmtpReply().rfind("250 ", 0), 0u);
    c.Send("MAIL FROM:<a@qm.test>\r\n");
    EXPECT_EQ(c.ReadLine().rfind("530 ", 0), 0u);
  }

  // STARTTLS, AUTH CRAM-MD5 and a message, then it is in the POP3 mailbox.
  std::string out;
  int rc = RunCommand("swaks --silent 2 -s 127.0.0.1 -p " + Value(smtp, "SMTP_PORT") +
                          " -tls --tls-ca-path " + ShellQuote(Value(smtp, "CA_CERT")) + " -a CRAM-MD5 -au " +
                          Value(smtp, "SMTP_USER") + " -ap " + ShellQuote(Value(smtp, "SMTP_PASSWORD")) +
                          " -f sender@qm.test -t " + Value(smtp, "SMTP_RCPT") + " --header 'Subject: smoke'",
                      out);
  ASSERT_EQ(rc, 0) << out;

  std::string stat;
  for (int i = 0; i < 100 && stat.rfind("+OK 1 ", 0) != 0; ++i) {
    Conn c("127.0.0.1", Port(pop3, "POP3_PORT"));
    c.ReadLine();
    c.Send("USER " + Value(pop3, "POP3_USER") + "\r\nPASS " + Value(pop3, "POP3_PASSWORD") + "\r\nSTAT\r\nQUIT\r\n");
    c.ReadLine();
    c.ReadLine();
    stat = c.ReadLine();
    if (stat.rfind("+OK 1 ", 0) != 0) {
      usleep(100000);
    }
  }
  EXPECT_EQ(stat.rfind("+OK 1 ", 0), 0u) << "the message did not arrive; postfix log: "
                                          << Value(smtp, "POSTFIX_LOG");

  rc = RunCommand("printf 'QUIT\\r\\n' | timeout 10 openssl s_client -quiet -connect 127.0.0.1:" +
                      Value(smtp, "SMTPS_PORT") + " -CAfile " + ShellQuote(Value(smtp, "CA_CERT")) +
                      " -verify_hostname localhost -verify_return_error",
                  out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("220 "), std::string::npos) << out;

  const auto& sink = servers.Start("smtpsink");
  Conn s("127.0.0.1", Port(sink, "SMTPSINK_PORT"));
  EXPECT_EQ(s.ReadLine().rfind("220 ", 0), 0u);
}

TEST(ServersSmokeTest, ScriptedSmtpServerFollowsItsConfig) {
  TestServers servers;
  const auto& aio = servers.Start("aiosmtpd");
  {
    std::ofstream(Value(aio, "AIOSMTPD_CONFIG")) << R"({"greeting": "554 5.3.2 not today",)"
                                                 << R"( "ehlo": ["AUTH=LOGIN", "SIZE 1000"]})";
  }
  {
    Conn c("127.0.0.1", Port(aio, "AIOSMTPD_PORT"));
    EXPECT_EQ(c.ReadLine(), "554 5.3.2 not today");
    c.Send("EHLO smoke.test\r\n");
    c.ReadLine();
    EXPECT_EQ(c.ReadLine(), "250-AUTH=LOGIN");
    EXPECT_EQ(c.ReadLine(), "250 SIZE 1000");
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.ReadLine().rfind("221", 0), 0u);
  }
  std::string sessions;
  for (int i = 0; i < 50 && sessions.empty(); ++i) {
    std::ifstream in(Value(aio, "AIOSMTPD_SESSIONS"));
    std::stringstream ss;
    ss << in.rdbuf();
    sessions = ss.str();
    if (sessions.empty()) {
      usleep(100000);
    }
  }
  EXPECT_NE(sessions.find(R"("EHLO smoke.test")"), std::string::npos) << sessions;
}

// SOCKS 5 without authentication (or with user name/password when given)
// to the echo service behind the proxy, which greets first.
void CheckSocks5(const ServerEnv& AEnv, const std::string& APortKey, const std::string& AUser = {},
                 const std::string& APassword = {}) {
  SCOPED_TRACE(APortKey);
  Conn c("127.0.0.1", Port(AEnv, APortKey));
  c.Send(Bytes({5, 1, AUser.empty() ? 0 : 2}));
  ASSERT_EQ(c.Read(2), Bytes({5, AUser.empty() ? 0 : 2}));
  if (!AUser.empty()) {
    c.Send(Bytes({1, static_cast<int>(AUser.size())}) + AUser + Bytes({static_cast<int>(APassword.size())}) +
           APassword);
    ASSERT_EQ(c.Read(2), Bytes({1, 0}));
  }
  c.Send(Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + PortBytes(Port(AEnv, "ECHO_BANNER_PORT")));
  ASSERT_EQ(c.Read(4), Bytes({5, 0, 0, 1}));
  c.Read(6);
  EXPECT_EQ(c.ReadLine(), Value(AEnv, "ECHO_BANNER"));
  c.Send("ping\n");
  EXPECT_EQ(c.ReadLine(), "ping");
}

TEST(ServersSmokeTest, SocksProxiesReachTheEchoService) {
  TestServers servers;
  const auto& socks = servers.Start("socks");
  CheckSocks5(socks, "DANTE_PORT");
  CheckSocks5(socks, "DANTE_AUTH_PORT", Value(socks, "SOCKS_USER"), Value(socks, "SOCKS_PASSWORD"));
  CheckSocks5(socks, "MICROSOCKS_PORT");
  CheckSocks5(socks, "MICROSOCKS_AUTH_PORT", Value(socks, "SOCKS_USER"), Value(socks, "SOCKS_PASSWORD"));
  CheckSocks5(socks, "SSH_SOCKS_PORT");

  // SOCKS 4a with a host name through ssh -D.
  Conn c("127.0.0.1", Port(socks, "SSH_SOCKS_PORT"));
  c.Send(Bytes({4, 1}) + PortBytes(Port(socks, "ECHO_PORT")) + Bytes({0, 0, 0, 1}) + "qm" + Bytes({0}) +
         "localhost" + Bytes({0}));
  EXPECT_EQ(c.Read(2), Bytes({0, 90}));
  c.Read(6);
  c.Send("4a\n");
  EXPECT_EQ(c.ReadLine(), "4a");
}

TEST(ServersSmokeTest, DnsmasqAnswersTxtQueries) {
  TestServers servers;
  const auto& dns = servers.Start("dnsmasq");
  Conn c("127.0.0.1", Port(dns, "DNS_PORT"), SOCK_DGRAM);
  // Query id 0x1234, recursion desired, one question: txt.qm.test TXT IN.
  c.Send(Bytes({0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3}) + "txt" + Bytes({2}) + "qm" + Bytes({4}) + "test" +
         Bytes({0, 0, 16, 0, 1}));
  std::string reply = c.Receive();
  ASSERT_GE(reply.size(), 12u);
  EXPECT_EQ(reply[3] & 0x0f, 0);  // no error
  EXPECT_EQ(reply[7], 1);         // one answer
  EXPECT_NE(reply.find("hello world"), std::string::npos);
}

}  // namespace
}  // namespace qm::test
