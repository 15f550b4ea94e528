// One large POP3 message fetched from dovecot as the peer comparison runs
// it (bench_pop3_large.sh), in one of three ways:
//   file     Retrieve(n, stream): written to OUT as it arrives
//   message  RetrieveMessage(n, message): one buffer, parsed in place
//   lines    Retrieve(n, &message): a string per line, then parsed
//   parse    no network: the file OUT read into memory whole and parsed
//            there, the floor of the message path (HOST... are ignored)
// Prints the seconds, the CPU seconds, the peak memory (KiB) and the bytes
// or the number of bodies as one line.
//
//   bench_pop3_large file|message|lines HOST PORT USER PASSWORD N [OUT]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/qmBenchHarness.h"
#include "core/qmStream.h"
#include "mail/qmPop3.h"
#include "message/qmMailMessage.h"

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: bench_pop3_large file|message|lines HOST PORT USER PASSWORD N [OUT]\n");
    return 2;
  }
  using namespace qm;
  const std::string Mode = argv[1];
  const int Number = std::atoi(argv[6]);
  const auto Start = std::chrono::steady_clock::now();
  TqmPop3 Client;
  Client.SetServer(argv[2]);
  Client.SetPort(std::atoi(argv[3]));
  Client.SetUserName(argv[4]);
  Client.SetPassword(argv[5]);
  Client.SetUseTLS(ctNone);
  int64_t Result = 0;
  try {
    if (Mode == "parse") {
      TMemoryStream File;
      File.LoadFromFile(argv[7]);
      TqmMailMessage Message;
      Message.ParseMessage(std::string_view(reinterpret_cast<const char*>(File.Memory()),
                                            static_cast<size_t>(File.Size())));
      Result = Message.Bodies().Count();
    } else {
    Client.Open();
    if (Mode == "file") {
      TFileStream File(argc > 7 ? argv[7] : "/dev/null", fmCreate);
      Client.Retrieve(Number, File);
      Result = File.Size();
    } else {
      TqmMailMessage Message;
      if (Mode == "message")
        Client.RetrieveMessage(Number, Message);
      else
        Client.Retrieve(Number, &Message);
      Result = Message.Bodies().Count();
    }
    Client.Close();
    }
  } catch (const Exception& E) {
    std::fprintf(stderr, "bench_pop3_large: %s\n", E.Message().c_str());
    return 1;
  }
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  const qmbench::TResult Usage = qmbench::SelfUsage();
  const double Cpu = Usage.Cpu;
  std::printf("%s %.3f s cpu %.3f s peak %ld KiB result %lld\n", Mode.c_str(), Seconds, Cpu, Usage.PeakKb,
              static_cast<long long>(Result));
  return 0;
}
