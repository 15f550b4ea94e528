// TLS sessions of the command client: implicit TLS against openssl
// s_server (started here with certificates made at test time), explicit
// TLS against a scripted server that hands its socket to OpenSSL, and a
// proxy that forwards one byte per segment.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "mail/qmTcpCommandClient.h"
#include "tests/net/qmNetTestUtil.h"
#include "tests/net/qmTestCerts.h"

extern char** environ;

namespace qm {
namespace {

using namespace qmtest;

test::TTestCertificates& Certs() {
  static test::TTestCertificates Instance;
  return Instance;
}

// openssl s_server in -rev mode: every line comes back reversed, so
// "olleh 052" is answered "250 hello".
class TSServer {
 public:
  explicit TSServer(const std::string& ACert, std::vector<std::string> AExtra = {}) {
    TFd Probe = Listener("127.0.0.1", Port);
    Probe.Reset();
    std::vector<std::string> Args = {"openssl", "s_server", "-quiet", "-rev", "-accept",
                                     "127.0.0.1:" + std::to_string(Port), "-cert", Certs().Cert(ACert),
                                     "-key", Certs().Key(ACert), "-CAfile", Certs().CaFile()};
    Args.insert(Args.end(), AExtra.begin(), AExtra.end());
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&Pid, "openssl", &Actions, nullptr, Argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    for (int I = 0; I < 200 && Pid > 0; ++I) {
      TFd S(socket(AF_INET, SOCK_STREAM, 0));
      sockaddr_in A{};
      A.sin_family = AF_INET;
      A.sin_port = htons(static_cast<uint16_t>(Port));
      A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    throw std::runtime_error("openssl s_server did not start");
  }
  ~TSServer() {
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      waitpid(Pid, nullptr, 0);
    }
  }
  int Port = 0;
  pid_t Pid = -1;
};

class TClient : public TqmTcpCommandClient {
 public:
  using TqmTcpCommandClient::TqmTcpCommandClient;
  ~TClient() override {
    try {
      Close();
    } catch (...) {
    }
  }
  int GetResponseCode(const std::string& AResponse) override {
    if (AResponse.size() >= 4 && isdigit(AResponse[0]) && AResponse[3] == ' ')
      return std::stoi(AResponse.substr(0, 3));
    return 0;
  }
};

void Prepare(TClient& AClient, int APort, TqmClientTlsMode AMode = ctImplicit) {
  AClient.SetCaFile(Certs().CaFile());
  AClient.SetServer("localhost");
  AClient.SetPort(APort);
  AClient.SetTimeOut(10000);
  AClient.SetUseTLS(AMode);
}

std::string Protocol(TClient& AClient) { return AClient.TlsStream()->Engine()->ProtocolVersion(); }

TEST(TlsClient, ImplicitTlsBothVersions) {
  for (const char* Version : {"-tls1_2", "-tls1_3"}) {
    TSServer Server("server", {Version});
    TClient C;
    Prepare(C, Server.Port);
    C.SetTLSFlags(tfUseTLS12 | tfUseTLS13);
    C.Open();
    ASSERT_TRUE(C.Active());
    EXPECT_EQ(Protocol(C), std::string(Version) == "-tls1_2" ? "TLSv1.2" : "TLSv1.3");
    EXPECT_TRUE(C.TlsStream()->Verified());
    C.SendCommandSync("olleh 052", {250});
    EXPECT_EQ(C.Response().Text(), "250 hello\r\n");
    C.SendCommandSync("ereht 052", {250});
    EXPECT_EQ(C.Response().Text(), "250 there\r\n");
    C.Close();
    EXPECT_FALSE(C.Active());
  }
}

struct TBadCase {
  const char* Cert;
  int Code;
  TqmCertificateVerifyFlags Ignore;
};

class TlsClientBadCertificate : public ::testing::TestWithParam<TBadCase> {};

TEST_P(TlsClientBadCertificate, RejectedUnlessWaived) {
  const TBadCase& B = GetParam();
  TSServer Server(B.Cert);
  {
    TClient C;
    Prepare(C, Server.Port);
    try {
      C.Open();
      FAIL() << "accepted";
    } catch (const EqmSocketError& E) {
      EXPECT_EQ(E.ErrorCode(), B.Code);
      EXPECT_EQ(E.Message(), X509_verify_cert_error_string(B.Code));
    }
    EXPECT_FALSE(C.Active());
  }
  {
    TClient C;
    Prepare(C, Server.Port);
    C.SetCertificateFlags(B.Ignore);
    C.Open();
    C.SendCommandSync("ko 052", {250});
  }
  {
    TClient C;
    Prepare(C, Server.Port);
    int Calls = 0;
    C.OnVerifyServer = [&](TObject* Sender, TqmCertificate* ACert, const std::string& AText, int ACode,
                           bool& AVerified) {
      ++Calls;
      EXPECT_EQ(Sender, &C);
      EXPECT_NE(ACert, nullptr);
      EXPECT_EQ(ACode, B.Code);
      EXPECT_EQ(AText, X509_verify_cert_error_string(B.Code));
      EXPECT_FALSE(AVerified);
      AVerified = true;
    };
    C.Open();
    C.SendCommandSync("ko 052", {250});
    EXPECT_EQ(Calls, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsClientBadCertificate,
                         ::testing::Values(TBadCase{"expired", X509_V_ERR_CERT_HAS_EXPIRED, cfIgnoreDateInvalid},
                                           TBadCase{"otherhost", X509_V_ERR_HOSTNAME_MISMATCH,
                                                    cfIgnoreCommonNameInvalid},
                                           TBadCase{"selfsigned", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT,
                                                    cfIgnoreUnknownAuthority}));

TEST(TlsClient, TrustedCertificateRejectedByHandler) {
  TSServer Server("server");
  TClient C;
  Prepare(C, Server.Port);
  C.OnVerifyServer = [](TObject*, TqmCertificate* ACert, const std::string&, int ACode, bool& AVerified) {
    EXPECT_EQ(ACode, 0);
    EXPECT_TRUE(AVerified);
    EXPECT_EQ(ACert->IssuedTo(), "localhost");
    AVerified = false;
  };
  try {
    C.Open();
    FAIL() << "accepted";
  } catch (const EqmSocketError& E) {
    EXPECT_EQ(E.ErrorCode(), X509_V_ERR_APPLICATION_VERIFICATION);
  }
  EXPECT_FALSE(C.Active());
}

TEST(TlsClient, ClientCertificateFromOnGetCertificate) {
  auto Own = TqmCertificate::LoadFromPkcs12File(Certs().Dir + "/client.p12", "secret");
  for (const char* Version : {"-tls1_2", "-tls1_3"}) {
    {
      TSServer Server("server", {"-Verify", "1", "-verify_return_error", Version});
      TClient C;
      Prepare(C, Server.Port);
      int Asked = 0;
      C.OnGetCertificate = [&](TObject*, TqmCertificate*& ACert, TqmCertificateList&, bool& Handled) {
        ++Asked;
        ACert = Own.get();
        Handled = true;
      };
      C.Open();
      C.SendCommandSync("tnemucod 052", {250});
      EXPECT_EQ(Asked, 1);
    }
    {
      // Asked but none supplied: the session goes on without one.
      TSServer Server("server", {"-verify", "1", Version});
      TClient C;
      Prepare(C, Server.Port);
      int Asked = 0;
      C.OnGetCertificate = [&](TObject*, TqmCertificate*&, TqmCertificateList&, bool&) { ++Asked; };
      C.Open();
      C.SendCommandSync("enon 052", {250});
      EXPECT_EQ(Asked, 1);
    }
  }
}

// A TLS server of plain OpenSSL on an accepted socket (blocking).
struct TOpenSslServer {
  SSL_CTX* Ctx = nullptr;
  SSL* Ssl = nullptr;
  explicit TOpenSslServer(int AFd) {
    Ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(Ctx, Certs().Cert("server").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(Ctx, Certs().Key("server").c_str(), SSL_FILETYPE_PEM);
    Ssl = SSL_new(Ctx);
    SSL_set_fd(Ssl, AFd);
  }
  ~TOpenSslServer() {
    SSL_free(Ssl);
    SSL_CTX_free(Ctx);
  }
  bool Accept() { return SSL_accept(Ssl) == 1; }
  std::string ReadLine() {
    std::string Line;
    char Ch;
    while (SSL_read(Ssl, &Ch, 1) == 1) {
      Line += Ch;
      if (Ch == '\n') break;
    }
    return Line;
  }
  void Write(const std::string& AText) { SSL_write(Ssl, AText.data(), static_cast<int>(AText.size())); }
};

TEST(TlsClient, ExplicitTlsAfterGoAhead) {
  int Port = 0;
  TFd Listen = Listener("127.0.0.1", Port);
  std::string Inside;
  TServerThread Thread([&] {
    TFd Peer = AcceptOne(Listen);
    SendText(Peer, "220 ready\r\n");
    ReadUntil(Peer, "\r\n");
    SendText(Peer, "220 go ahead\r\n");
    TOpenSslServer Tls(Peer);
    if (!Tls.Accept()) return;
    Inside = Tls.ReadLine();
    Tls.Write("250 secret\r\n");
    Tls.ReadLine();
  });
  TClient C;
  Prepare(C, Port, ctNone);
  C.Open();
  C.WaitResponse({220});
  int Changes = 0;
  C.OnChanged = [&](TObject*) { ++Changes; };
  C.SendCommandSync("STARTTLS", {220});
  C.StartTls();
  EXPECT_EQ(C.UseTLS(), ctExplicit);
  EXPECT_EQ(Changes, 1);
  ASSERT_NE(C.TlsStream(), nullptr);
  C.SendCommandSync("EHLO", {250});
  EXPECT_EQ(C.Response().Text(), "250 secret\r\n");
  C.Close();
  Thread.Join();
  EXPECT_EQ(Inside, "EHLO\r\n");
}

TEST(TlsClient, DataAfterGoAheadIsRefused) {
  for (bool SameSegment : {true, false}) {
    int Port = 0;
    TFd Listen = Listener("127.0.0.1", Port);
    TServerThread Thread([&] {
      TFd Peer = AcceptOne(Listen);
      ReadUntil(Peer, "\r\n");
      if (SameSegment) {
        SendText(Peer, "220 go ahead\r\n250 forged\r\n");
      } else {
        SendText(Peer, "220 go ahead\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendText(Peer, "250 forged\r\n");
      }
      ReadUntil(Peer, "never", 2000);
    });
    TClient C;
    Prepare(C, Port, ctNone);
    C.Open();
    C.SendCommandSync("STARTTLS", {220});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    try {
      C.StartTls();
      FAIL() << "started";
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), qmDataBeforeTlsCode);
    }
    EXPECT_FALSE(C.Active());
  }
}

TEST(TlsClient, FailedHandshakeClosesAndRaises) {
  int Port = 0;
  TFd Listen = Listener("127.0.0.1", Port);
  TServerThread Thread([&] {
    TFd Peer = AcceptOne(Listen);
    ReadUntil(Peer, "\r\n");
    SendText(Peer, "220 go ahead\r\n");
    ReadUntil(Peer, "\r\n", 500);           // the client's hello
    SendText(Peer, "-ERR not TLS at all\r\n");  // no TLS server after all
    ReadUntil(Peer, "never", 2000);
  });
  TClient C;
  Prepare(C, Port, ctNone);
  int Closed = 0;
  C.OnClose = [&](TObject*) { ++Closed; };
  C.Open();
  C.SendCommandSync("STARTTLS", {220});
  EXPECT_THROW(C.StartTls(), EqmSSPIError);
  EXPECT_FALSE(C.Active());
  EXPECT_EQ(Closed, 1);
  TClient Idle;
  try {
    Idle.StartTls();
    FAIL() << "started";
  } catch (const EqmSocketError& E) {
    EXPECT_EQ(E.ErrorCode(), qmNotActiveCode);
  }
}


}  // namespace
}  // namespace qm

namespace qm {
namespace {

// Forwards every byte in a segment of its own, both ways.
TServerThread BytePerSegmentProxy(int AListener, int AUpstreamPort) {
  return TServerThread([AListener, AUpstreamPort] {
    TFd Client = AcceptOne(AListener);
    TFd Up(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(AUpstreamPort));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(Up, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) return;
    int On = 1;
    setsockopt(Client, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    setsockopt(Up, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    pollfd P[2] = {{Client, POLLIN, 0}, {Up, POLLIN, 0}};
    char Buffer[65536];
    for (;;) {
      if (poll(P, 2, 20000) <= 0) return;
      for (int I = 0; I < 2; ++I) {
        if (!(P[I].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t N = recv(P[I].fd, Buffer, sizeof Buffer, 0);
        if (N <= 0) return;
        for (ssize_t J = 0; J < N; ++J)
          if (!SendAll(P[1 - I].fd, Buffer + J, 1)) return;
      }
    }
  });
}

uint8_t Pattern(size_t I) { return static_cast<uint8_t>((I * 7 + I / 8191) & 0xFF); }

// The server side of a download: greets, waits for the command, then sends
// ASize bytes of Pattern() in SSL_write calls of AChunk(bytes sent so far)
// bytes (records of that size). False when the session broke.
bool ServePattern(TOpenSslServer& ATls, size_t ASize, size_t (*AChunk)(size_t)) {
  ATls.Write("220 ready\r\n");
  ATls.ReadLine();
  std::vector<uint8_t> Data(ASize);
  for (size_t I = 0; I < ASize; ++I) Data[I] = Pattern(I);
  for (size_t Done = 0; Done < ASize;) {
    const int Chunk = static_cast<int>(std::min(ASize - Done, AChunk(Done)));
    if (SSL_write(ATls.Ssl, Data.data() + Done, Chunk) <= 0) return false;
    Done += static_cast<size_t>(Chunk);
  }
  return true;
}

TEST(TlsClient, BytePerSegmentProxyTenMegabytes) {
  constexpr size_t Size = 10 * 1024 * 1024;
  constexpr size_t Upload = 256 * 1024;
  int UpPort = 0, ProxyPort = 0;
  TFd UpListen = Listener("127.0.0.1", UpPort);
  TFd ProxyListen = Listener("127.0.0.1", ProxyPort);
  bool UploadIntact = false;
  TServerThread Server([&] {
    TFd Peer = AcceptOne(UpListen);
    TOpenSslServer Tls(Peer);
    // Uneven writes: records of many sizes.
    if (!Tls.Accept() || !ServePattern(Tls, Size, [](size_t ADone) -> size_t { return 1000 + ADone % 20000; }))
      return;
    std::vector<uint8_t> In(Upload);
    size_t Got = 0;
    while (Got < Upload) {
      const int N = SSL_read(Tls.Ssl, In.data() + Got, static_cast<int>(Upload - Got));
      if (N <= 0) return;
      Got += static_cast<size_t>(N);
    }
    UploadIntact = true;
    for (size_t I = 0; I < Upload; ++I) UploadIntact = UploadIntact && In[I] == Pattern(I + 3);
    Tls.Write("250 received\r\n");
    Tls.ReadLine();
  });
  TServerThread Proxy = BytePerSegmentProxy(ProxyListen, UpPort);

  TClient C;
  Prepare(C, ProxyPort);
  C.SetTimeOut(30000);
  C.Open();
  C.WaitResponse({220});
  C.WriteCommand("SEND");
  TMemoryStream Received;
  while (Received.Size() < static_cast<int64_t>(Size) && C.Active()) C.Connection()->ReadData(&Received);
  ASSERT_EQ(Received.Size(), static_cast<int64_t>(Size));
  size_t Bad = Size;
  for (size_t I = 0; I < Size && Bad == Size; ++I)
    if (Received.Memory()[I] != Pattern(I)) Bad = I;
  EXPECT_EQ(Bad, Size) << "first wrong byte";

  TMemoryStream Out;
  std::vector<uint8_t> Bytes(Upload);
  for (size_t I = 0; I < Upload; ++I) Bytes[I] = Pattern(I + 3);
  Out.Write(Bytes.data(), static_cast<int64_t>(Upload));
  Out.SetPosition(0);
  C.Connection()->WriteData(&Out);
  EXPECT_EQ(Out.Position(), static_cast<int64_t>(Upload));
  C.WaitResponse({250});
  C.WriteCommand("BYE");
  C.Close();
  Server.Join();
  EXPECT_TRUE(UploadIntact);
}

TEST(TlsClient, AFastPeerIsReadInBoundedBlocks) {
  // Socket reads that end inside a record must still hand over what they
  // decrypted; reading on for the rest kept one read going while the peer
  // kept sending.
  constexpr size_t Size = 24 * 1024 * 1024;
  int Port = 0;
  TFd Listen = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd Peer = AcceptOne(Listen);
    TOpenSslServer Tls(Peer);
    if (!Tls.Accept() || !ServePattern(Tls, Size, [](size_t ADone) -> size_t { return 16384 - ADone % 13; }))
      return;
    Tls.ReadLine();
  });
  TClient C;
  Prepare(C, Port);
  C.Open();
  C.WaitResponse({220});
  C.WriteCommand("SEND");
  int64_t Received = 0, Largest = 0;
  size_t Bad = Size;
  TMemoryStream Block;
  while (Received < static_cast<int64_t>(Size) && C.Active()) {
    Block.Clear();
    C.Connection()->ReadData(&Block);
    Largest = std::max(Largest, Block.Size());
    for (int64_t I = 0; I < Block.Size() && Bad == Size; ++I)
      if (Block.Memory()[I] != Pattern(static_cast<size_t>(Received + I))) Bad = static_cast<size_t>(Received + I);
    Received += Block.Size();
  }
  EXPECT_EQ(Received, static_cast<int64_t>(Size));
  EXPECT_EQ(Bad, Size) << "first wrong byte";
  // One socket read's worth and the records it completed.
  EXPECT_LE(Largest, qmMaxReadPerCall + 64 * 1024);
  C.WriteCommand("BYE");
  C.Close();
  Server.Join();
}

}  // namespace
}  // namespace qm
