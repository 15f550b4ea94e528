// 256 MB sent through TqmTlsNetworkStream over loopback, against a plain
// OpenSSL SSL_write loop on a blocking socket, same cipher, same run.
// Then the reconnect cost: 1,000 connects with a TLS handshake by one
// client, trusting the system store (the test CA's certificate accepted by
// cfIgnoreUnknownAuthority) and trusting the test CA file, against a plain
// OpenSSL loop that builds its SSL_CTX once.
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "mail/qmTcpCommandClient.h"
#include "tests/net/qmTestCerts.h"

using namespace qm;

static constexpr size_t Total = 256u * 1024 * 1024;
static constexpr size_t Chunk = 16384;

static double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_THREAD, &U);
  return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

// Accepts one connection and reads Total bytes of TLS data.
static std::thread Sink(test::TTestCertificates& C, int& APort) {
  int L = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A);
  socklen_t Len = sizeof A;
  getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
  APort = ntohs(A.sin_port);
  listen(L, 1);
  return std::thread([L, &C] {
    int S = accept(L, nullptr, nullptr);
    SSL_CTX* Ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_ciphersuites(Ctx, "TLS_AES_128_GCM_SHA256");
    SSL_CTX_use_certificate_file(Ctx, C.Cert("server").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(Ctx, C.Key("server").c_str(), SSL_FILETYPE_PEM);
    SSL* Ssl = SSL_new(Ctx);
    SSL_set_fd(Ssl, S);
    if (SSL_accept(Ssl) == 1) {
      std::vector<char> B(65536);
      size_t Got = 0;
      while (Got < Total) {
        int N = SSL_read(Ssl, B.data(), static_cast<int>(B.size()));
        if (N <= 0) break;
        Got += static_cast<size_t>(N);
      }
      SSL_write(Ssl, "250 ok\r\n", 8);
    }
    SSL_free(Ssl);
    SSL_CTX_free(Ctx);
    close(S);
    close(L);
  });
}

static int Listen(int& APort) {
  int L = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A);
  socklen_t Len = sizeof A;
  getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
  APort = ntohs(A.sin_port);
  listen(L, 64);
  return L;
}

// Accepts ACount connections one after the other: handshake, then waits
// for the client's close.
static std::thread HandshakeServer(test::TTestCertificates& C, int ACount, int& APort) {
  const int L = Listen(APort);
  return std::thread([L, &C, ACount] {
    SSL_CTX* Ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(Ctx, C.Cert("server").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(Ctx, C.Key("server").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_num_tickets(Ctx, 0);
    for (int I = 0; I < ACount; ++I) {
      int S = accept(L, nullptr, nullptr);
      SSL* Ssl = SSL_new(Ctx);
      SSL_set_fd(Ssl, S);
      if (SSL_accept(Ssl) == 1) {
        char B[64];
        while (SSL_read(Ssl, B, sizeof B) > 0) {
        }
      }
      SSL_free(Ssl);
      close(S);
    }
    SSL_CTX_free(Ctx);
    close(L);
  });
}

static constexpr int Reconnects = 1000;

struct TCost {
  double Ms;      // wall time per connect
  double CpuMs;   // client thread CPU per connect
};

// AConnect makes one connection with a handshake and closes it.
template <class F>
static TCost TimeReconnects(test::TTestCertificates& ACerts, F AConnect) {
  int Port = 0;
  std::thread Server = HandshakeServer(ACerts, Reconnects, Port);
  const auto T0 = std::chrono::steady_clock::now();
  const double C0 = CpuSeconds();
  for (int I = 0; I < Reconnects; ++I) AConnect(Port);
  const double Sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  const double Cpu = CpuSeconds() - C0;
  Server.join();
  return {Sec * 1000 / Reconnects, Cpu * 1000 / Reconnects};
}

static TCost OurReconnects(test::TTestCertificates& ACerts, bool ACaFile) {
  TqmTcpCommandClient Client;
  Client.SetServer("localhost");
  Client.SetUseTLS(ctImplicit);
  if (ACaFile)
    Client.SetCaFile(ACerts.CaFile());
  else
    Client.SetCertificateFlags(cfIgnoreUnknownAuthority);
  return TimeReconnects(ACerts, [&](int APort) {
    Client.SetPort(APort);
    Client.Open();
    Client.Close();
  });
}

static TCost PlainReconnects(test::TTestCertificates& ACerts) {
  SSL_CTX* Ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(Ctx, ACerts.CaFile().c_str(), nullptr);
  SSL_CTX_set_verify(Ctx, SSL_VERIFY_PEER, nullptr);
  const TCost Cost = TimeReconnects(ACerts, [&](int APort) {
    int S = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(APort));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
    SSL* Ssl = SSL_new(Ctx);
    SSL_set_fd(Ssl, S);
    SSL_set1_host(Ssl, "localhost");
    if (SSL_connect(Ssl) != 1) std::abort();
    SSL_shutdown(Ssl);
    SSL_free(Ssl);
    close(S);
  });
  SSL_CTX_free(Ctx);
  return Cost;
}

int main() {
  test::TTestCertificates Certs;
  std::vector<uint8_t> Data(Chunk, 'x');

  // Plain OpenSSL loop.
  int Port = 0;
  std::thread Server = Sink(Certs, Port);
  int S = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(static_cast<uint16_t>(Port));
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
  SSL_CTX* Ctx = SSL_CTX_new(TLS_client_method());
  SSL* Ssl = SSL_new(Ctx);
  SSL_set_fd(Ssl, S);
  SSL_connect(Ssl);
  auto T0 = std::chrono::steady_clock::now();
  double C0 = CpuSeconds();
  for (size_t Done = 0; Done < Total; Done += Chunk) SSL_write(Ssl, Data.data(), Chunk);
  char Reply[16];
  SSL_read(Ssl, Reply, sizeof Reply);
  double PlainSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  double PlainCpu = CpuSeconds() - C0;
  SSL_free(Ssl);
  SSL_CTX_free(Ctx);
  close(S);
  Server.join();

  // Through the TLS stream.
  Server = Sink(Certs, Port);
  TqmTcpCommandClient Client;
  Client.SetServer("localhost");
  Client.SetPort(Port);
  Client.SetUseTLS(ctImplicit);
  Client.SetCaFile(Certs.CaFile());
  Client.SetBatchSize(static_cast<int>(Chunk));
  Client.Open();
  TMemoryStream Block;
  Block.Write(Data.data(), static_cast<int64_t>(Chunk));
  T0 = std::chrono::steady_clock::now();
  C0 = CpuSeconds();
  for (size_t Done = 0; Done < Total; Done += Chunk) {
    Block.SetPosition(0);
    Client.Connection()->WriteData(&Block);
  }
  TMemoryStream ReplyData;  // the sink's reply: everything arrived
  while (ReplyData.Size() == 0 && Client.Active()) Client.Connection()->ReadData(&ReplyData);
  double OurSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  double OurCpu = CpuSeconds() - C0;
  Client.Close();
  Server.join();

  const double MB = Total / 1048576.0;
  std::printf("plain SSL_write loop: %.1f MB/s, %.2f s CPU\n", MB / PlainSec, PlainCpu);
  std::printf("TqmTlsNetworkStream:  %.1f MB/s, %.2f s CPU\n", MB / OurSec, OurCpu);
  std::printf("ratio (ours/plain, throughput): %.2f\n", PlainSec / OurSec);

  const TCost Plain = PlainReconnects(Certs);
  const TCost System = OurReconnects(Certs, false);
  const TCost File = OurReconnects(Certs, true);
  std::printf("reconnect, %d connects + handshakes (TLS 1.3, ECDSA P-256):\n", Reconnects);
  std::printf("  plain OpenSSL, one SSL_CTX: %.3f ms each, %.3f ms client CPU\n", Plain.Ms, Plain.CpuMs);
  std::printf("  ours, system trust store:   %.3f ms each, %.3f ms client CPU (ratio %.2f)\n", System.Ms,
              System.CpuMs, System.Ms / Plain.Ms);
  std::printf("  ours, CA file:              %.3f ms each, %.3f ms client CPU (ratio %.2f)\n", File.Ms,
              File.CpuMs, File.Ms / Plain.Ms);
  return 0;
}
