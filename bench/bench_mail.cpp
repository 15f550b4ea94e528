// The POP3 and SMTP clients against peers on the same servers in the same
// run: (1) 10,000 small messages in one SMTP session to postfix's
// smtp-sink, against smtp-source and Python's smtplib, with a bare socket
// loop that waits as the library does as the floor; (2) one 50 MB
// message to smtp-sink, against curl and smtplib, once loaded from the file
// inside the measurement and once loaded before it (the send alone); (3)
// TOP n 0 of 1,000 messages and RETR of all of them from dovecot, against
// Python's poplib (and curl for RETR). Each run is a child process measured
// with wait4 (wall time, CPU seconds, peak memory). The program pins
// itself to one CPU first; the servers it starts and every peer inherit
// that CPU, so client and server share it for every peer alike.
//
// Usage: bench_mail [cpu] (default 0). Needs root (dovecot) and the
// packages of scripts/packages/mail.txt plus curl.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/qmBenchHarness.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "tests/integration/qmTestServers.h"

using namespace qm;

namespace {

using qmbench::Measure;
using qmbench::MeasureAfter;
using qmbench::MeasureCommand;
using qmbench::TResult;

void Report(const char* AName, const TResult& R, double AUnits, const char* AUnit, const TResult* ABase) {
  std::printf("  %-34s %s %8.2f s wall %7.2f s CPU %8.0f %s/s %8.1f MB peak", AName, R.Ok ? "  " : "!!", R.Wall,
              R.Cpu, AUnits / R.Wall, AUnit, static_cast<double>(R.PeakKb) / 1024.0);
  if (ABase && ABase != &R)
    std::printf("  | rate ours/peer %.2f, CPU ours/peer %.2f", ABase->Wall > 0 ? R.Wall / ABase->Wall : 0.0,
                R.Cpu > 0 ? ABase->Cpu / R.Cpu : 0.0);
  std::printf("\n");
}

// The floor of the waiting design for (1): the same exchange on a bare
// non-blocking socket, each reply waited for with one poll over the socket
// and two idle eventfds (what a library wait watches: the socket, the
// abort event, the message queue) and read with one recv, the data sent
// with MSG_MORE and the end line on its own. No library code runs, so
// what it costs is the kernel's share of any client built that way.
int FloorSession(int APort, int ACount, const std::string& AMessage) {
  const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int Abort = eventfd(0, EFD_NONBLOCK), Queue = eventfd(0, EFD_NONBLOCK);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(static_cast<uint16_t>(APort));
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (Fd < 0 || Abort < 0 || Queue < 0) return 1;
  if (connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) < 0 && errno != EINPROGRESS) return 1;
  int On = 1;
  setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
  char Buffer[8192];
  std::string Reply;
  // Until the reply's last line ("ddd text" CR LF) is in.
  auto Wait = [&]() -> bool {
    Reply.clear();
    for (;;) {
      pollfd Fds[3] = {{Fd, POLLIN | POLLRDHUP, 0}, {Abort, POLLIN, 0}, {Queue, POLLIN, 0}};
      if (poll(Fds, 3, 60000) <= 0) return false;
      const ssize_t N = recv(Fd, Buffer, sizeof Buffer, 0);
      if (N <= 0) return false;
      Reply.append(Buffer, static_cast<size_t>(N));
      if (Reply.size() < 2 || Reply.compare(Reply.size() - 2, 2, "\r\n") != 0) continue;
      const size_t Start = Reply.rfind('\n', Reply.size() - 3);
      const size_t Line = Start == std::string::npos ? 0 : Start + 1;
      if (Reply.size() - Line > 4 && Reply[Line + 3] == ' ') return Reply[Line] == '2' || Reply[Line] == '3';
    }
  };
  auto Send = [&](const std::string& AText, int AFlags) {
    return send(Fd, AText.data(), AText.size(), MSG_NOSIGNAL | AFlags) == static_cast<ssize_t>(AText.size());
  };
  pollfd Connected{Fd, POLLOUT, 0};
  if (poll(&Connected, 1, 10000) <= 0 || !Wait()) return 1;
  if (!Send("EHLO bench.qm.test\r\n", 0) || !Wait()) return 1;
  for (int I = 0; I < ACount; ++I) {
    if (!Send("MAIL FROM: <a@qm.test>\r\n", 0) || !Wait()) return 1;
    if (!Send("RCPT TO: <b@qm.test>\r\n", 0) || !Wait()) return 1;
    if (!Send("DATA\r\n", 0) || !Wait()) return 1;
    if (!Send(AMessage, MSG_MORE) || !Send(".\r\n", 0) || !Wait()) return 1;
  }
  Send("QUIT\r\n", 0);
  Wait();
  close(Fd);
  return 0;
}

const std::string kPy = "/usr/bin/python3";

std::string Q(const std::string& A) { return test::ShellQuote(A); }

}  // namespace

int main(int argc, char** argv) {
  const int Cpu = argc > 1 ? std::atoi(argv[1]) : 0;
  if (!qmbench::PinToCpu(Cpu)) return 1;
  std::printf("placement: this program, the servers it starts and every peer on CPU %d\n", Cpu);

  test::TestServers Servers;
  const test::ServerEnv Sink = Servers.Start("smtpsink");
  const int SinkPort = test::Port(Sink, "SMTPSINK_PORT");
  const std::string Dir = Servers.StateDir().string();

  // ---- (1) 10,000 small messages in one session ----
  const int kCount = 10000;
  std::string Small = "From: a@qm.test\r\nTo: b@qm.test\r\nSubject: small\r\nMessage-ID: <m@qm.test>\r\n"
                      "X-Mailer: bench\r\n\r\n";
  while (Small.size() < 500) Small += "The quick brown fox jumps over the lazy dog 0123456789.\r\n";
  std::printf("\n(1) %d messages of %zu bytes in one session to smtp-sink\n", kCount, Small.size());
  const TResult Ours1 = Measure([&] {
    TqmSmtp S;
    S.SetServer("127.0.0.1");
    S.SetPort(SinkPort);
    S.SetHostName("bench.qm.test");
    S.Open();
    S.SetMailFrom("a@qm.test");
    S.MailToList().Add("b@qm.test");
    TStringList Lines;
    Lines.SetText(Small);
    for (int I = 0; I < kCount; ++I) {
      S.MailData().Assign(Lines);
      S.Send();
    }
    S.Close();
    return 0;
  });
  const TResult Source1 = MeasureCommand("smtp-source -d -s 1 -m " + std::to_string(kCount) + " -l " +
                                         std::to_string(Small.size()) +
                                         " -f a@qm.test -t b@qm.test 127.0.0.1:" + std::to_string(SinkPort));
  const std::string SmtplibScript = Dir + "/smtplib_many.py";
  std::ofstream(SmtplibScript) << "import smtplib, sys\n"
                                  "msg = sys.stdin.buffer.read()\n"
                                  "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]))\n"
                                  "s.ehlo('bench.qm.test')\n"
                                  "for i in range(int(sys.argv[2])):\n"
                                  "    s.sendmail('a@qm.test', ['b@qm.test'], msg)\n"
                                  "s.quit()\n";
  const std::string SmallFile = Dir + "/small.eml";
  std::ofstream(SmallFile, std::ios::binary) << Small;
  const TResult Py1 = MeasureCommand(kPy + " " + Q(SmtplibScript) + " " + std::to_string(SinkPort) + " " +
                                     std::to_string(kCount) + " < " + Q(SmallFile));
  const TResult Floor1 = Measure([&] { return FloorSession(SinkPort, kCount, Small); });
  Report("quillmark TqmSmtp", Ours1, kCount, "msg", nullptr);
  Report("smtp-source -d", Source1, kCount, "msg", &Ours1);
  Report("python smtplib", Py1, kCount, "msg", &Ours1);
  Report("floor: bare loop, same waits", Floor1, kCount, "msg", &Ours1);
  std::printf("  CPU of ours / a third of smtplib's: %.2f (the floor's: %.2f)\n", Ours1.Cpu / (Py1.Cpu / 3),
              Floor1.Cpu / (Py1.Cpu / 3));

  // ---- (2) one 50 MB message ----
  const int64_t kBig = 50ll << 20;
  std::string BigText = "From: a@qm.test\r\nTo: b@qm.test\r\nSubject: big\r\nMessage-ID: <big@qm.test>\r\n"
                        "X-Mailer: bench\r\n\r\n";
  const std::string Row = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ=+/0123456789ab\r\n";
  while (static_cast<int64_t>(BigText.size()) < kBig) BigText += Row;
  const std::string BigFile = Dir + "/big.eml";
  std::ofstream(BigFile, std::ios::binary) << BigText;
  std::printf("\n(2) one message of %.1f MB to smtp-sink (load from file included, except on the line of\n"
              "    lines loaded before)\n",
              static_cast<double>(BigText.size()) / 1048576.0);
  const double BigMb = static_cast<double>(BigText.size()) / 1048576.0;
  BigText.clear();
  BigText.shrink_to_fit();
  const TResult Ours2 = Measure([&] {
    TqmSmtp S;
    S.SetServer("127.0.0.1");
    S.SetPort(SinkPort);
    S.SetHostName("bench.qm.test");
    S.Open();
    S.SetMailFrom("a@qm.test");
    S.MailToList().Add("b@qm.test");
    S.MailData().LoadFromFile(BigFile);
    S.Send();
    S.Close();
    return 0;
  });
  // The same send with the lines loaded before the measurement starts: the
  // message already in memory, as curl finds the file in the page cache,
  // so the send paths are compared alone. Its peak memory includes the
  // load; the list is not freed inside the measurement (the child ends with
  // _exit).
  std::unique_ptr<TqmSmtp> Loaded;
  const TResult Sent2 = MeasureAfter(
      [&] {
        Loaded = std::make_unique<TqmSmtp>();
        Loaded->SetServer("127.0.0.1");
        Loaded->SetPort(SinkPort);
        Loaded->SetHostName("bench.qm.test");
        Loaded->SetMailFrom("a@qm.test");
        Loaded->MailToList().Add("b@qm.test");
        Loaded->MailData().LoadFromFile(BigFile);
      },
      [&] {
        Loaded->Open();
        Loaded->Send();
        Loaded->Close();
        return 0;
      });
  const TResult Curl2 = MeasureCommand("curl -sS --url smtp://127.0.0.1:" + std::to_string(SinkPort) +
                                       " --mail-from a@qm.test --mail-rcpt b@qm.test --upload-file " + Q(BigFile));
  const std::string SmtplibOne = Dir + "/smtplib_one.py";
  std::ofstream(SmtplibOne) << "import smtplib, sys\n"
                               "msg = open(sys.argv[2], 'rb').read()\n"
                               "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]))\n"
                               "s.sendmail('a@qm.test', ['b@qm.test'], msg)\n"
                               "s.quit()\n";
  const TResult Py2 = MeasureCommand(kPy + " " + Q(SmtplibOne) + " " + std::to_string(SinkPort) + " " + Q(BigFile));
  Report("quillmark TqmSmtp", Ours2, BigMb, "MB", nullptr);
  Report("curl", Curl2, BigMb, "MB", &Ours2);
  Report("python smtplib", Py2, BigMb, "MB", &Ours2);
  Report("quillmark, lines loaded before", Sent2, BigMb, "MB", nullptr);
  Report("curl", Curl2, BigMb, "MB", &Sent2);
  std::printf("  peak memory of ours: %.2f times the message\n",
              static_cast<double>(Ours2.PeakKb) / 1024.0 / BigMb);

  // ---- (3) POP3: TOP n 0 and RETR of 1,000 messages ----
  const int kMessages = 1000;
  const test::ServerEnv Pop = Servers.Start("dovecot");
  Servers.RunScript("fill-maildir.sh", {"--count", std::to_string(kMessages), "--size", "4000"});
  const std::string User = test::Value(Pop, "POP3_USER"), Pass = test::Value(Pop, "POP3_PASSWORD");
  const int PopPort = test::Port(Pop, "POP3_PORT");
  std::printf("\n(3) dovecot, %d messages of about 4 KB: TOP n 0 of all, then RETR of all, one session\n",
              kMessages);
  auto OursPop = [&](bool ATop, bool ARetr) {
    return Measure([&] {
      TqmPop3 P;
      P.SetServer("127.0.0.1");
      P.SetPort(PopPort);
      P.SetUserName(User);
      P.SetPassword(Pass);
      P.Open();
      const int N = P.MessageCount();
      for (int I = 1; I <= N; ++I) {
        if (ATop) P.RetrieveHeader(I);
        if (ARetr) P.Retrieve(I);
      }
      P.Close();
      return N == kMessages ? 0 : 1;
    });
  };
  const std::string Poplib = Dir + "/poplib_all.py";
  std::ofstream(Poplib) << "import poplib, sys\n"
                           "p = poplib.POP3('127.0.0.1', int(sys.argv[1]))\n"
                           "p.user(sys.argv[2]); p.pass_(sys.argv[3])\n"
                           "n = p.stat()[0]\n"
                           "for i in range(1, n + 1):\n"
                           "    if sys.argv[4] == 'top': p.top(i, 0)\n"
                           "    else: p.retr(i)\n"
                           "p.quit()\n";
  auto PyPop = [&](const char* AMode) {
    return MeasureCommand(kPy + " " + Q(Poplib) + " " + std::to_string(PopPort) + " " + Q(User) + " " + Q(Pass) +
                          " " + AMode);
  };
  const TResult OursTop = OursPop(true, false);
  const TResult PyTop = PyPop("top");
  const TResult OursRetr = OursPop(false, true);
  const TResult PyRetr = PyPop("retr");
  // curl fetches every URL of one command line over one connection.
  const std::string CurlCfg = Dir + "/curl_retr.cfg";
  {
    std::ofstream Cfg(CurlCfg);
    Cfg << "silent\nuser = \"" << User << ":" << Pass << "\"\n";
    for (int I = 1; I <= kMessages; ++I)
      Cfg << "url = \"pop3://127.0.0.1:" << PopPort << "/" << I << "\"\noutput = \"/dev/null\"\n";
  }
  const TResult CurlRetr = MeasureCommand("curl -K " + Q(CurlCfg));
  Report("quillmark TOP n 0", OursTop, kMessages, "msg", nullptr);
  Report("python poplib TOP n 0", PyTop, kMessages, "msg", &OursTop);
  Report("quillmark RETR", OursRetr, kMessages, "msg", nullptr);
  Report("python poplib RETR", PyRetr, kMessages, "msg", &OursRetr);
  Report("curl RETR (one connection)", CurlRetr, kMessages, "msg", &OursRetr);
  std::printf("\nrate ours/peer above 1: ours is faster; CPU ours/peer below 1: ours uses less.\n"
              "Client CPU only (the server's is not counted for anyone).\n");
  return 0;
}
