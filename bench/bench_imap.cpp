// One IMAP session as the peer comparison runs it (bench_imap_peer.sh):
// the headers (ENVELOPE and FLAGS) of every message of INBOX, then every
// message whole, each parsed into a mail message as it arrives. Prints
// messages, seconds, CPU seconds and peak memory as one line. With
// "stream" or "memory" after the password it fetches only the message of
// UID 1 of the mailbox Large, written to a stream as it arrives or held
// whole.
//
//   bench_imap HOST PORT USER PASSWORD [stream|memory]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/qmBenchHarness.h"
#include "mail/qmImap.h"
#include "message/qmMailMessage.h"

namespace {

// Counts what it is given and keeps nothing (the file a message goes to).
class TCountingStream : public qm::TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t ACount) override {
    FSize += ACount;
    return ACount;
  }
  int64_t Seek(int64_t, qm::TSeekOrigin) override { return FSize; }
  void SetSize(int64_t) override {}
  int64_t Count() const { return FSize; }

 private:
  int64_t FSize = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: bench_imap HOST PORT USER PASSWORD [stream|memory]\n");
    return 2;
  }
  const std::string Large = argc == 6 ? argv[5] : "";
  using namespace qm;
  const auto Start = std::chrono::steady_clock::now();
  TqmImap Client;
  Client.SetServer(argv[1]);
  Client.SetPort(std::atoi(argv[2]));
  Client.SetUserName(argv[3]);
  Client.SetPassword(argv[4]);
  size_t Headers = 0, Bodies = 0, Bytes = 0;
  try {
    Client.Open();
    Client.Select(Large.empty() ? "INBOX" : "Large", true);
    if (!Large.empty()) {
      TCountingStream Out;
      if (Large == "stream") {
        Client.UidFetchMessage(1, Out);
      } else {
        Client.UidFetch("1", fiBody, "", [&](const TqmImapMessage& M) {
          Out.WriteBuffer(M.Body.data(), static_cast<int64_t>(M.Body.size()));
        });
      }
      Bytes = static_cast<size_t>(Out.Count());
      Headers = Bodies = Bytes > 0 ? 1 : 0;
      Client.Close();
    } else {
      Client.UidFetch("1:*", fiFlags | fiEnvelope, "", [&](const TqmImapMessage& M) {
        Headers += M.HasEnvelope ? 1 : 0;
      });
      TqmMailMessage Mail;
      Client.UidFetch("1:*", fiBody, "", [&](const TqmImapMessage& M) {
        Mail.ParseMessage(M.Body);
        Bytes += M.Body.size();
        ++Bodies;
      });
      Client.Close();
    }
  } catch (const Exception& E) {
    std::fprintf(stderr, "bench_imap: %s\n", E.Message().c_str());
    return 1;
  }
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  const qmbench::TResult Usage = qmbench::SelfUsage();
  const double Cpu = Usage.Cpu;
  std::printf("quillmark headers=%zu bodies=%zu bytes=%zu seconds=%.3f cpu=%.3f peak_kib=%ld\n", Headers, Bodies,
              Bytes, Seconds, Cpu, Usage.PeakKb);
  return Headers == Bodies ? 0 : 1;
}
