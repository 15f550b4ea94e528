// TXT lookups of a DKIM key record (two character strings, 392 bytes of
// text) against dnsmasq on loopback: 20,000 queries with TqmDnsQuery::
// ResolveTXT, side by side with python3-dnspython (dns.query.udp), dig in
// batch mode (-f) and a bare UDP send/recv loop, the floor, once on one
// socket and once with a socket per query as the resolver opens it. Each
// run is a child process measured with wait4 (wall time, CPU seconds of
// the client). The program pins itself to one CPU first; dnsmasq and every
// peer inherit that CPU, so client and server share it alike.
//
// Usage: bench_dns idn [names] times the IDN translator alone.
// Usage: bench_dns [cpu] [queries] [ours-only] (default 0 and 20000;
// ours-only runs the resolver's loop alone, in process, for a profiler). Needs dnsmasq,
// dig and python3-dnspython (scripts/packages/dns.txt).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "bench/qmBenchHarness.h"
#include "core/qmIdnTranslator.h"
#include "dns/qmDnsQuery.h"
#include "tests/integration/qmTestServers.h"

using namespace qm;

namespace {

const char* const kName = "sel._domainkey.qm.test";

using qmbench::Measure;
using qmbench::MeasureCommand;
using qmbench::TResult;

void Report(const char* AName, const TResult& R, int ACount, const TResult& AOurs) {
  std::printf("  %-36s %s %7.2f s wall %6.2f s CPU %8.0f queries/s %6.1f us CPU/query", AName, R.Ok ? "  " : "!!",
              R.Wall, R.Cpu, ACount / R.Wall, R.Cpu * 1e6 / ACount);
  if (&R != &AOurs)
    std::printf("  | ours/this: rate %.2f, CPU per query %.2f", R.Wall / AOurs.Wall, AOurs.Cpu / R.Cpu);
  std::printf("\n");
}

// The floor: a query built once, its ID changed per query, sent with
// sendto and the reply waited for with poll and read with recvfrom; the
// reply is accepted on its ID and sender as the resolver does. With
// ANewSocket a socket is opened and closed per query, as the resolver's
// client is.
int BareLoop(int APort, int ACount, bool ANewSocket) {
  TqmDnsMessage Query;
  Query.Header().SetIsQuery(true);
  Query.Header().SetIsRecursionDesired(true);
  auto Question = std::make_unique<TqmDnsTXTRecord>();
  Question->SetName(kName);
  Query.Queries().Add(std::move(Question));
  TqmByteArray Wire = Query.Build();
  sockaddr_in Server{};
  Server.sin_family = AF_INET;
  Server.sin_port = htons(static_cast<uint16_t>(APort));
  Server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int Fd = -1;
  uint8_t Reply[65536];
  for (int I = 0; I < ACount; ++I) {
    if (Fd < 0) Fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const uint16_t Id = static_cast<uint16_t>(I * 7919);
    Wire[0] = static_cast<uint8_t>(Id >> 8);
    Wire[1] = static_cast<uint8_t>(Id);
    if (sendto(Fd, Wire.data(), Wire.size(), 0, reinterpret_cast<sockaddr*>(&Server), sizeof Server) < 0) return 1;
    for (;;) {
      pollfd P{Fd, POLLIN, 0};
      if (poll(&P, 1, 5000) <= 0) return 2;
      sockaddr_in From{};
      socklen_t Length = sizeof From;
      const ssize_t N = recvfrom(Fd, Reply, sizeof Reply, 0, reinterpret_cast<sockaddr*>(&From), &Length);
      if (N < 12) continue;
      if (From.sin_port != Server.sin_port || From.sin_addr.s_addr != Server.sin_addr.s_addr) continue;
      if (Reply[0] != Wire[0] || Reply[1] != Wire[1]) continue;
      break;
    }
    if (ANewSocket) {
      close(Fd);
      Fd = -1;
    }
  }
  return 0;
}

}  // namespace

// IDN: 100,000 domain names and mailboxes of several scripts (plus plain
// ASCII ones, the usual case) through the translator; prints names per
// second. Twice: with the international labels repeating from name to name
// (each name is distinct, its "n<i>" label makes it so), as mail to and
// from the same domains does, and with every label distinct ("<label><i>"),
// which no cache can help. "bench_dns idn [count]".
int BenchIdn(int ACount) {
  const char* const Names[] = {"mail.example.com", "sel._domainkey.example.org", "b\xC3\xBC" "cher.example",
                               "M\xC3\x9C" "NCHEN.DE", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84",
                               "\xE4\xBE\x8B\xE3\x81\x88.\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88",
                               "www.\xEF\xBD\x85\xEF\xBD\x98\xEF\xBD\x81\xEF\xBD\x8D\xEF\xBD\x90\xEF\xBD\x8C\xEF\xBD\x85.com",
                               "\xD9\x85\xD8\xAB\xD8\xA7\xD9\x84.\xD8\xA5\xD8\xAE\xD8\xAA\xD8\xA8\xD8\xA7\xD8\xB1"};
  constexpr size_t NameCount = sizeof Names / sizeof Names[0];
  for (const bool DistinctLabels : {false, true}) {
    std::vector<std::string> Inputs;
    for (int I = 0; I < ACount; ++I) {
      std::string Name = Names[static_cast<size_t>(I) % NameCount];
      if (DistinctLabels) {
        const std::string Number = std::to_string(I);
        for (size_t Dot = Name.find('.'); Dot != std::string::npos; Dot = Name.find('.', Dot + Number.size() + 1))
          Name.insert(Dot, Number);
        Name += Number;
      }
      Name = "n" + std::to_string(I) + "." + Name;
      Inputs.push_back(I % 4 == 3 ? "user" + std::to_string(I) + "@" + Name : Name);
    }
    size_t Total = 0;
    const std::clock_t Cpu = std::clock();
    const auto Start = std::chrono::steady_clock::now();
    for (const std::string& Input : Inputs)
      Total += Input.find('@') == std::string::npos ? TqmIdnTranslator::EncodeDomain(Input).size()
                                                    : TqmIdnTranslator::EncodeMailbox(Input).size();
    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    const double CpuSeconds = static_cast<double>(std::clock() - Cpu) / CLOCKS_PER_SEC;
    std::printf("IDN, %s: %d names (%zu bytes out) in %.3f s (%.3f s CPU): %.0f names/s, %.2f us CPU/name\n",
                DistinctLabels ? "every label distinct" : "labels repeating", ACount, Total, Seconds, CpuSeconds,
                ACount / Seconds, CpuSeconds * 1e6 / ACount);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "idn") return BenchIdn(argc > 2 ? std::atoi(argv[2]) : 100000);
  const int Cpu = argc > 1 ? std::atoi(argv[1]) : 0;
  const int Count = argc > 2 ? std::atoi(argv[2]) : 20000;
  if (!qmbench::PinToCpu(Cpu)) return 1;
  std::printf("placement: this program, dnsmasq and every peer on CPU %d\n", Cpu);

  test::TestServers Servers;
  const std::string Dir = Servers.StateDir().string();
  // A 2048-bit RSA key record as DKIM publishes it: 392 bytes of text in
  // two character strings (255 + 137).
  std::string Key = "v=DKIM1; k=rsa; p=";
  while (Key.size() < 392) Key += static_cast<char>('A' + Key.size() % 26);
  {
    std::ofstream Records(Dir + "/bench-records.conf");
    Records << "txt-record=" << kName << ",\"" << Key.substr(0, 255) << "\",\"" << Key.substr(255) << "\"\n";
  }
  const int Port = test::Port(Servers.Start("dnsmasq", {"--records", Dir + "/bench-records.conf"}), "DNS_PORT");
  {
    TqmDnsQuery Check;
    Check.SetServer("127.0.0.1");
    Check.SetPort(Port);
    if (Check.ResolveTXT(kName) != Key) {
      std::fprintf(stderr, "dnsmasq does not serve the key record\n");
      return 1;
    }
  }
  std::printf("\n%d TXT queries for a %zu-byte DKIM key record to dnsmasq over UDP\n", Count, Key.size());
  if (argc > 3 && std::string(argv[3]) == "ours-only") {
    // For profilers (valgrind --tool=callgrind): our loop alone, in this process.
    TqmDnsQuery Query;
    Query.SetServer("127.0.0.1");
    Query.SetPort(Port);
    for (int I = 0; I < Count; ++I)
      if (Query.ResolveTXT(kName).size() != Key.size()) return 1;
    return 0;
  }

  const TResult Ours = Measure([&] {
    TqmDnsQuery Query;
    Query.SetServer("127.0.0.1");
    Query.SetPort(Port);
    for (int I = 0; I < Count; ++I)
      if (Query.ResolveTXT(kName).size() != Key.size()) return 1;
    return 0;
  });
  const TResult Floor = Measure([&] { return BareLoop(Port, Count, false); });
  const TResult FloorNew = Measure([&] { return BareLoop(Port, Count, true); });

  const std::string Script = Dir + "/bench_dns_peer.py";
  std::ofstream(Script) << "import sys\n"
                           "import dns.message, dns.query\n"
                           "name, port, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])\n"
                           "for i in range(count):\n"
                           "    q = dns.message.make_query(name, 'TXT', use_edns=False)\n"
                           "    r = dns.query.udp(q, '127.0.0.1', port=port, timeout=5)\n"
                           "    if len(b''.join(r.answer[0][0].strings)) != size:\n"
                           "        sys.exit('wrong answer')\n";
  const TResult Python = MeasureCommand("/usr/bin/python3 " + Script + " " + kName + " " + std::to_string(Port) +
                                        " " + std::to_string(Count) + " " + std::to_string(Key.size()));
  {
    std::ofstream Batch(Dir + "/dig-batch.txt");
    for (int I = 0; I < Count; ++I) Batch << kName << " TXT\n";
  }
  const TResult Dig = MeasureCommand("dig -p " + std::to_string(Port) +
                                     " @127.0.0.1 +noedns +tries=1 +time=5 +short -f " + Dir +
                                     "/dig-batch.txt > " + Dir + "/dig.out && test $(wc -l < " + Dir +
                                     "/dig.out) -eq " + std::to_string(Count));

  Report("TqmDnsQuery::ResolveTXT", Ours, Count, Ours);
  Report("bare UDP loop, one socket (floor)", Floor, Count, Ours);
  Report("bare UDP loop, a socket per query", FloorNew, Count, Ours);
  Report("python3-dnspython dns.query.udp", Python, Count, Ours);
  Report("dig -f (batch mode)", Dig, Count, Ours);
  std::printf("\n  goals: >= 10000 queries/s: %s (%.0f; the one-socket floor itself: %.0f); >= 2.5x dnspython: %.2fx;"
              " >= 0.65 of the floor: %.2f (of the socket-per-query floor: %.2f)\n",
              Count / Ours.Wall >= 10000 ? "yes" : "no", Count / Ours.Wall, Count / Floor.Wall, Python.Wall / Ours.Wall,
              Floor.Wall / Ours.Wall, FloorNew.Wall / Ours.Wall);
  return Ours.Ok && Floor.Ok && FloorNew.Ok && Python.Ok && Dig.Ok ? 0 : 1;
}
