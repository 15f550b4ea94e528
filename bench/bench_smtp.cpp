// The SMTP client against peers in one run:
// (1) on postfix's smtp-sink, 10,000 messages of 500 bytes to 10
// recipients each in one session, with and without PIPELINING (DATA in
// the pipelined group when SkipFailedRecipients is on, after the
// recipients' replies when not), against smtp-source (-r 10; it never
// pipelines) and Python's smtplib;
// (2) on postfix (smtpd offers CHUNKING, the sink does not), one 50 MB
// message sent from a file: streamed (TqmSmtp::SendStream, by DATA, by
// BDAT chunks pipelined and one at a time) and loaded as lines (Send),
// against curl --upload-file (DATA), each the median of five rounds.
// Each run is a child process measured with wait4 (wall time, CPU
// seconds, peak memory). The program pins itself to one CPU first; the
// sink and every peer inherit it; postfix runs on the other CPU.
//
// Usage: bench_smtp [cpu] [many|big] (default 0, both sections). Needs
// root (postfix), smtp-sink and smtp-source (postfix), curl and
// /usr/bin/python3.
#include <sched.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/qmBenchHarness.h"
#include "mail/qmSmtp.h"
#include "tests/integration/qmTestServers.h"

using namespace qm;

namespace {

using qmbench::Measure;
using qmbench::MeasureCommand;
using qmbench::TResult;

void Report(const char* AName, const TResult& R, double AUnits, const char* AUnit, const TResult* ABase) {
  std::printf("  %-40s %s %8.2f s wall %7.2f s CPU %8.0f %s/s %8.1f MB peak", AName, R.Ok ? "  " : "!!", R.Wall,
              R.Cpu, AUnits / R.Wall, AUnit, static_cast<double>(R.PeakKb) / 1024.0);
  // This line against the base line: above 1, this one took longer or more.
  if (ABase && ABase != &R)
    std::printf("  | x base: wall %.2f, CPU %.2f, peak %.2f", ABase->Wall > 0 ? R.Wall / ABase->Wall : 0.0,
                ABase->Cpu > 0 ? R.Cpu / ABase->Cpu : 0.0,
                ABase->PeakKb > 0 ? static_cast<double>(R.PeakKb) / static_cast<double>(ABase->PeakKb) : 0.0);
  std::printf("\n");
}

std::string Q(const std::string& A) { return test::ShellQuote(A); }

void Connect(TqmSmtp& S, int APort) {
  S.SetServer("127.0.0.1");
  S.SetPort(APort);
  S.SetHostName("bench.qm.test");
  S.SetMailFrom("a@qm.test");
}

}  // namespace

int main(int argc, char** argv) {
  const int Cpu = argc > 1 ? std::atoi(argv[1]) : 0;
  const std::string Only = argc > 2 ? argv[2] : "";
  if (!qmbench::PinToCpu(Cpu)) return 1;
  std::printf("placement: this program, smtp-sink and every peer on CPU %d (postfix on the other)\n", Cpu);

  test::TestServers Servers;
  const int Port = test::Port(Servers.Start("smtpsink"), "SMTPSINK_PORT");
  const std::string Dir = Servers.StateDir().string();

  // ---- (1) 10,000 messages of 500 bytes to 10 recipients ----
  if (Only != "big") {
    const int kCount = 10000, kRecipients = 10;
    std::string Small = "From: a@qm.test\r\nTo: b@qm.test\r\nSubject: small\r\nMessage-ID: <m@qm.test>\r\n"
                        "X-Mailer: bench\r\n\r\n";
    while (Small.size() < 500) Small += "The quick brown fox jumps over the lazy dog 0123456789.\r\n";
    Small.resize(498);
    Small += "\r\n";
    std::printf("\n(1) %d messages of %zu bytes to %d recipients each, one session\n", kCount, Small.size(),
                kRecipients);
    auto Ours = [&](bool APipelining, bool ASkip) {
      return Measure([&] {
        TqmSmtp S;
        Connect(S, Port);
        S.SetUsePipelining(APipelining);
        S.SetSkipFailedRecipients(ASkip);
        S.Open();
        for (int R = 0; R < kRecipients; ++R) S.MailToList().Add(std::to_string(R) + "b@qm.test");
        TStringList Lines;
        Lines.SetText(Small);
        for (int I = 0; I < kCount; ++I) {
          S.MailData().Assign(Lines);
          S.Send();
        }
        S.Close();
        return 0;
      });
    };
    const TResult Group = Ours(true, true);
    const TResult Piped = Ours(true, false);
    const TResult Serial = Ours(false, false);
    const TResult Source = MeasureCommand("smtp-source -d -s 1 -m " + std::to_string(kCount) + " -r " +
                                          std::to_string(kRecipients) + " -l 430 -f a@qm.test -t b@qm.test 127.0.0.1:" +
                                          std::to_string(Port));
    const std::string Script = Dir + "/smtplib_rcpt.py";
    std::ofstream(Script) << "import smtplib, sys\n"
                             "msg = sys.stdin.buffer.read()\n"
                             "rcpts = ['%db@qm.test' % i for i in range(int(sys.argv[3]))]\n"
                             "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]))\n"
                             "s.ehlo('bench.qm.test')\n"
                             "for i in range(int(sys.argv[2])):\n"
                             "    s.sendmail('a@qm.test', rcpts, msg)\n"
                             "s.quit()\n";
    const std::string SmallFile = Dir + "/small.eml";
    std::ofstream(SmallFile, std::ios::binary) << Small;
    const TResult Py = MeasureCommand("/usr/bin/python3 " + Q(Script) + " " + std::to_string(Port) + " " +
                                      std::to_string(kCount) + " " + std::to_string(kRecipients) + " < " +
                                      Q(SmallFile));
    Report("ours, pipelined with DATA (skip on)", Group, kCount, "msg", nullptr);
    Report("ours, pipelined, DATA after (skip off)", Piped, kCount, "msg", &Group);
    Report("ours, one command at a time", Serial, kCount, "msg", &Group);
    Report("smtp-source -d -r 10 (no pipelining)", Source, kCount, "msg", &Group);
    Report("python smtplib", Py, kCount, "msg", &Group);
    std::printf("  pipelined vs one at a time: %.1fx the rate\n", Serial.Wall / Group.Wall);
  }
  if (Only == "many") return 0;

  // ---- (2) one 50 MB message from a file, to postfix ----
  const int64_t kBig = 50ll << 20;
  const std::string BigFile = Dir + "/big.eml";
  {
    std::ofstream Out(BigFile, std::ios::binary);
    std::string Head = "From: a@qm.test\r\nTo: b@qm.test\r\nSubject: big\r\nMessage-ID: <big@qm.test>\r\n"
                       "X-Mailer: bench\r\n\r\n";
    Out << Head;
    const std::string Row = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ=+/0123456789ab\r\n";
    std::string Block;
    while (Block.size() < (1u << 20)) Block += Row;
    for (int64_t Size = static_cast<int64_t>(Head.size()); Size < kBig; Size += static_cast<int64_t>(Block.size()))
      Out << Block;
  }
  const double Mb = static_cast<double>(std::ifstream(BigFile, std::ios::ate | std::ios::binary).tellg()) / 1048576.0;
  // postfix's smtpd (smtp-sink offers no CHUNKING) on the other CPU; the
  // message is relayed after the login and discarded there, so the
  // server's part ends with its queue file. Each run ends with the
  // server's reply to the message (and QUIT).
  const test::ServerEnv& Postfix = Servers.Start("postfix");
  const int PfPort = test::Port(Postfix, "SMTP_PORT");
  const std::string User = test::Value(Postfix, "SMTP_USER"), Password = test::Value(Postfix, "SMTP_PASSWORD");
  if (std::system(("taskset -a -p -c " + std::to_string(Cpu == 0 ? 1 : 0) + " $(cat " +
                   Q(Dir + "/pids/postfix-master.pid") + ") >/dev/null").c_str()) != 0)
    std::printf("postfix could not be moved to another CPU\n");
  enum TBigWay { bwData, bwChunks, bwChunksSerial, bwLines };
  auto OursBig = [&](TBigWay AWay) {
    return Measure([&] {
      TqmSmtp S;
      Connect(S, PfPort);
      S.SetUserName(User);
      S.SetPassword(Password);
      S.SetUseChunking(AWay == bwChunks || AWay == bwChunksSerial);
      S.SetUsePipelining(AWay != bwChunksSerial);
      S.MailToList().Add("b@discard.example");
      S.Open();
      if (AWay == bwLines) {
        S.MailData().LoadFromFile(BigFile);
        S.Send();
      } else {
        TFileStream File(BigFile, fmOpenRead);
        S.SendStream(File);
      }
      const bool Chunked = S.HasExtension("CHUNKING") && S.HasExtension("PIPELINING");
      S.Close();
      return S.UseChunking() && !Chunked ? 2 : 0;
    });
  };
  auto Curl = [&] {
    return MeasureCommand("curl -sS --url smtp://127.0.0.1:" + std::to_string(PfPort) + " --user " +
                          Q(User + ":" + Password) + " --mail-from a@qm.test --mail-rcpt b@discard.example" +
                          " --upload-file " + Q(BigFile));
  };
  // Rounds taken in turn.
  const int kRounds = 5;
  std::vector<std::vector<TResult>> Runs(5);
  for (int Round = 0; Round < kRounds; ++Round) {
    Runs[0].push_back(Curl());
    Runs[1].push_back(OursBig(bwData));
    Runs[2].push_back(OursBig(bwChunks));
    Runs[3].push_back(OursBig(bwChunksSerial));
    Runs[4].push_back(OursBig(bwLines));
  }
  // The median of each figure on its own (the machine is shared: one slow
  // round must not pick the others' figures).
  std::vector<TResult> Median;
  for (std::vector<TResult>& R : Runs) {
    auto Mid = [&](auto AField) {
      std::sort(R.begin(), R.end(), [&](const TResult& A, const TResult& B) { return A.*AField < B.*AField; });
      return R[R.size() / 2].*AField;
    };
    TResult M;
    M.Wall = Mid(&TResult::Wall);
    M.Cpu = Mid(&TResult::Cpu);
    M.PeakKb = Mid(&TResult::PeakKb);
    M.Ok = std::all_of(R.begin(), R.end(), [](const TResult& A) { return A.Ok; });
    Median.push_back(M);
  }
  std::printf("\n(2) one message of %.1f MB from a file (reading included) to postfix, median of %d rounds\n", Mb,
              kRounds);
  Report("curl --upload-file (DATA)", Median[0], Mb, "MB", nullptr);
  Report("ours, SendStream by DATA", Median[1], Mb, "MB", &Median[0]);
  Report("ours, SendStream by BDAT, pipelined", Median[2], Mb, "MB", &Median[0]);
  Report("ours, SendStream by BDAT, one at a time", Median[3], Mb, "MB", &Median[0]);
  Report("ours, Send of lines loaded (LoadFromFile)", Median[4], Mb, "MB", &Median[0]);
  std::printf("\nx base: each line against the first of its section (ours pipelined; curl).\n"
              "Client side only (the server's CPU and memory are not counted).\n");
  return 0;
}
