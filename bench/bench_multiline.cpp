// A 50 MB message body sent with SendMultipleLines (dot-stuffing, batches,
// the terminator in a write of its own) over plain TCP on loopback, against
// one raw blocking send() loop of the same, already stuffed bytes. A sink
// thread reads until the terminator and answers, in both runs.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/qmStrings.h"
#include "mail/qmTcpCommandClient.h"

using namespace qm;

namespace {

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_THREAD, &U);
  return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

int ListenLoopback(int& APort) {
  int L = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A);
  socklen_t Len = sizeof A;
  getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
  APort = ntohs(A.sin_port);
  listen(L, 1);
  return L;
}

// Greets, then reads until CR LF "." CR LF and answers "250 ok".
std::thread Sink(int AListener, size_t& AReceived) {
  return std::thread([AListener, &AReceived] {
    int S = accept(AListener, nullptr, nullptr);
    send(S, "220 sink\r\n", 10, MSG_NOSIGNAL);
    std::vector<char> B(1 << 16);
    std::string Tail;
    size_t Got = 0;
    for (;;) {
      ssize_t N = recv(S, B.data(), B.size(), 0);
      if (N <= 0) break;
      Got += static_cast<size_t>(N);
      Tail.append(B.data(), static_cast<size_t>(N));
      if (Tail.size() > 8) Tail.erase(0, Tail.size() - 8);
      if (Tail.size() >= 5 && Tail.compare(Tail.size() - 5, 5, "\r\n.\r\n") == 0) break;
    }
    AReceived = Got;
    send(S, "250 ok\r\n", 8, MSG_NOSIGNAL);
    char C;
    while (recv(S, &C, 1, 0) > 0) {
    }
    close(S);
    close(AListener);
  });
}

// SMTP-style reply codes; the base client leaves their reading to the
// protocol classes.
class TSmtpLikeClient : public TqmTcpCommandClient {
 public:
  int GetResponseCode(const std::string& AResponse) override {
    if (AResponse.size() >= 4 && AResponse[3] == ' ' && std::isdigit(static_cast<unsigned char>(AResponse[0])))
      return std::atoi(AResponse.substr(0, 3).c_str());
    return 0;
  }
};

struct TResult {
  double Seconds;
  double Cpu;
  size_t Bytes;
};

TResult RunLibrary(const TStringList& ALines, int ABatchSize) {
  int Port = 0;
  int L = ListenLoopback(Port);
  size_t Received = 0;
  std::thread T = Sink(L, Received);
  TSmtpLikeClient Client;
  Client.SetServer("127.0.0.1");
  Client.SetPort(Port);
  Client.SetBatchSize(ABatchSize);
  Client.Open();
  Client.WaitResponse({220});
  TStringList Lines;
  Lines.Assign(ALines);
  const double Cpu0 = CpuSeconds();
  const auto T0 = std::chrono::steady_clock::now();
  Client.SendMultipleLines(Lines, ".");
  Client.WaitResponse({250});
  const double Secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  const double Cpu = CpuSeconds() - Cpu0;
  Client.Close();
  T.join();
  return {Secs, Cpu, Received};
}

TResult RunRaw(const std::string& AStuffed) {
  int Port = 0;
  int L = ListenLoopback(Port);
  size_t Received = 0;
  std::thread T = Sink(L, Received);
  int S = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(static_cast<uint16_t>(Port));
  connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
  char Greeting[64];
  recv(S, Greeting, sizeof Greeting, 0);
  const double Cpu0 = CpuSeconds();
  const auto T0 = std::chrono::steady_clock::now();
  size_t Off = 0;
  while (Off < AStuffed.size()) {
    ssize_t N = send(S, AStuffed.data() + Off, AStuffed.size() - Off, MSG_NOSIGNAL);
    if (N <= 0) break;
    Off += static_cast<size_t>(N);
  }
  char Reply[64];
  recv(S, Reply, sizeof Reply, 0);
  const double Secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  const double Cpu = CpuSeconds() - Cpu0;
  close(S);
  T.join();
  return {Secs, Cpu, Received};
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const size_t Target = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50) * 1024 * 1024;
  // 50 MB (or argv[1] MB) of 76-character lines; every 10th starts with a dot.
  TStringList Lines;
  std::string Stuffed;
  size_t Size = 0;
  for (int I = 0; Size < Target; ++I) {
    std::string Line(76, static_cast<char>('A' + I % 26));
    if (I % 10 == 0) Line[0] = '.';
    Lines.Append(Line);
    Stuffed += (Line[0] == '.' ? "." : "") + Line + "\r\n";
    Size += Line.size() + 2;
  }
  Stuffed += ".\r\n";
  const double MB = static_cast<double>(Size) / (1024 * 1024);

  std::printf("SendMultipleLines of %.0f MB (%d lines) vs a raw send() loop, plain TCP on loopback\n", MB,
              Lines.Count());
  for (int Round = 0; Round < 2; ++Round) {
    const TResult Raw = RunRaw(Stuffed);
    std::printf("  raw send loop          : %7.1f MB/s  cpu %.3f s  (%zu bytes)\n", MB / Raw.Seconds, Raw.Cpu,
                Raw.Bytes);
    for (int Batch : {8192, 65536}) {
      const TResult Lib = RunLibrary(Lines, Batch);
      std::printf("  SendMultipleLines %5d: %7.1f MB/s  cpu %.3f s  (%zu bytes)  ratio %.2f\n", Batch,
                  MB / Lib.Seconds, Lib.Cpu, Lib.Bytes, Raw.Seconds / Lib.Seconds);
    }
  }
  return 0;
}
