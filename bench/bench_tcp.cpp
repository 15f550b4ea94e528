// 1 GB over loopback through the transport (TqmTcpClient writing with
// WriteData, a listening TqmTcpConnection reading with ReadData) against a
// plain blocking-socket loop, in the same run. Prints MB/s, CPU seconds per
// GB and the ratios. Usage: bench_tcp [megabytes]; pin it with taskset and
// report the placement it prints.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/qmSocket.h"
#include "net/qmTcpClient.h"

using namespace qm;
using Clock = std::chrono::steady_clock;

namespace {

// A stream of ASize bytes of a repeating pattern, without holding them.
class TPatternStream : public TStream {
 public:
  explicit TPatternStream(int64_t ASize) : FSize(ASize), FPattern(1 << 20) {
    for (size_t I = 0; I < FPattern.size(); ++I) FPattern[I] = static_cast<uint8_t>(I * 7 + I / 251);
  }
  int64_t Read(void* ABuffer, int64_t ACount) override {
    int64_t N = std::min(ACount, FSize - FPosition);
    if (N <= 0) return 0;
    auto* Out = static_cast<uint8_t*>(ABuffer);
    int64_t Done = 0;
    while (Done < N) {
      const int64_t Offset = (FPosition + Done) % static_cast<int64_t>(FPattern.size());
      const int64_t Part = std::min(N - Done, static_cast<int64_t>(FPattern.size()) - Offset);
      std::memcpy(Out + Done, FPattern.data() + Offset, static_cast<size_t>(Part));
      Done += Part;
    }
    FPosition += N;
    return N;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override {
    if (AOrigin == TSeekOrigin::soBeginning) FPosition = AOffset;
    if (AOrigin == TSeekOrigin::soCurrent) FPosition += AOffset;
    if (AOrigin == TSeekOrigin::soEnd) FPosition = FSize + AOffset;
    return FPosition;
  }
  int64_t Size() override { return FSize; }
  void SetSize(int64_t ASize) override { FSize = ASize; }

 private:
  int64_t FSize;
  int64_t FPosition = 0;
  std::vector<uint8_t> FPattern;
};

// Counts what is written and keeps nothing.
class TSinkStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t ACount) override {
    FPosition += ACount;
    return ACount;
  }
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override {
    if (AOrigin == TSeekOrigin::soBeginning) FPosition = AOffset;
    if (AOrigin == TSeekOrigin::soCurrent) FPosition += AOffset;
    return FPosition;
  }
  int64_t Size() override { return FPosition; }
  void SetSize(int64_t) override {}

 private:
  int64_t FPosition = 0;
};

double CpuSeconds() {
  rusage U;
  getrusage(RUSAGE_SELF, &U);
  return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
         static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

struct TResult {
  double Seconds = 0;
  double Cpu = 0;
};

TResult Transport(int64_t ATotal, int ABatchSize) {
  TqmTcpConnection Server;
  Server.SetNetworkStream(std::make_unique<TqmNetworkStream>());
  Server.SetBatchSize(ABatchSize);
  Server.SetTimeOut(30000);
  Server.CreateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  auto Local = TqmIPAddress::CreateFromText("127.0.0.1");
  Server.NetworkStream().Bind(*Local, 0);
  Server.NetworkStream().Listen();
  const int Port = Server.LocalPort();

  const double Cpu0 = CpuSeconds();
  const auto T0 = Clock::now();
  int64_t Received = 0;
  std::thread Reader([&] {
    Server.SelectNetworkEvents(neAccept);
    Server.ResetTimeOut();
    while (!(Server.WaitForEvent(30000) && Server.EnumNetworkEvents().Has(neAccept))) {
    }
    Server.NetworkStream().Accept();
    Server.SelectNetworkEvents(neRead | neWrite | neClose);
    Server.SetActive(true);
    TSinkStream Sink;
    while (Sink.Size() < ATotal && Server.Active()) Server.ReadData(&Sink);
    Received = Sink.Size();
  });

  TqmTcpClient Client;
  Client.SetServer("127.0.0.1");
  Client.SetPort(Port);
  Client.SetBatchSize(ABatchSize);
  Client.SetTimeOut(30000);
  Client.Open();
  TPatternStream Source(ATotal);
  Client.Connection()->WriteData(&Source);
  Reader.join();
  const auto T1 = Clock::now();
  const double Cpu1 = CpuSeconds();
  Client.Close();
  if (Received != ATotal) throw std::runtime_error("transport: short transfer");
  return {std::chrono::duration<double>(T1 - T0).count(), Cpu1 - Cpu0};
}

TResult Plain(int64_t ATotal, int ABuffer) {
  int L = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Sa{};
  Sa.sin_family = AF_INET;
  Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Sa;
  if (bind(L, reinterpret_cast<sockaddr*>(&Sa), Len) < 0 || listen(L, 1) < 0)
    throw std::runtime_error("plain: listen");
  getsockname(L, reinterpret_cast<sockaddr*>(&Sa), &Len);

  const double Cpu0 = CpuSeconds();
  const auto T0 = Clock::now();
  int64_t Received = 0;
  std::thread Reader([&] {
    int S = accept(L, nullptr, nullptr);
    std::vector<char> Buffer(static_cast<size_t>(ABuffer));
    for (;;) {
      ssize_t N = recv(S, Buffer.data(), Buffer.size(), 0);
      if (N <= 0) break;
      Received += N;
    }
    close(S);
  });
  int C = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(C, reinterpret_cast<sockaddr*>(&Sa), Len) < 0) throw std::runtime_error("plain: connect");
  TPatternStream Source(ATotal);
  std::vector<char> Buffer(static_cast<size_t>(ABuffer));
  for (;;) {
    int64_t N = Source.Read(Buffer.data(), ABuffer);
    if (N <= 0) break;
    for (int64_t Off = 0; Off < N;) {
      ssize_t S = send(C, Buffer.data() + Off, static_cast<size_t>(N - Off), MSG_NOSIGNAL);
      if (S <= 0) throw std::runtime_error("plain: send");
      Off += S;
    }
  }
  close(C);
  Reader.join();
  const auto T1 = Clock::now();
  const double Cpu1 = CpuSeconds();
  close(L);
  if (Received != ATotal) throw std::runtime_error("plain: short transfer");
  return {std::chrono::duration<double>(T1 - T0).count(), Cpu1 - Cpu0};
}

std::string Placement() {
  cpu_set_t Set;
  CPU_ZERO(&Set);
  sched_getaffinity(0, sizeof Set, &Set);
  std::string Cpus;
  for (int I = 0; I < CPU_SETSIZE; ++I)
    if (CPU_ISSET(I, &Set)) Cpus += (Cpus.empty() ? "" : ",") + std::to_string(I);
  return Cpus;
}

void Print(const char* AName, int64_t ATotal, const TResult& R, const TResult* ABase) {
  const double MB = static_cast<double>(ATotal) / (1 << 20);
  const double GB = static_cast<double>(ATotal) / (1 << 30);
  std::printf("%-28s %9.1f MB/s  %6.3f CPU s/GB", AName, MB / R.Seconds, R.Cpu / GB);
  if (ABase) std::printf("  throughput ratio %.2f", ABase->Seconds / R.Seconds);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t Megabytes = argc > 1 ? std::atoll(argv[1]) : 1024;
  const int64_t Total = Megabytes << 20;
  std::printf("loopback transfer of %lld MB, both sides in one process on CPUs %s\n",
              static_cast<long long>(Megabytes), Placement().c_str());
  try {
    // Warm up the loopback path once.
    Plain(Total / 16, 65536);
    const TResult Plain64 = Plain(Total, 65536);
    const TResult Ours64 = Transport(Total, 65536);
    const TResult Plain8 = Plain(Total, 8192);
    const TResult Ours8 = Transport(Total, 8192);
    Print("plain loop, 65536 buffer", Total, Plain64, nullptr);
    Print("TqmTcpClient, BatchSize 65536", Total, Ours64, &Plain64);
    Print("plain loop, 8192 buffer", Total, Plain8, nullptr);
    Print("TqmTcpClient, BatchSize 8192", Total, Ours8, &Plain8);
    std::printf("TqmTcpClient 8192 vs plain 65536: throughput ratio %.2f\n", Plain64.Seconds / Ours8.Seconds);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "bench_tcp: %s\n", E.what());
    return 1;
  }
  return 0;
}
