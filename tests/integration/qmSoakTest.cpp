// The soak: messages of mixed sizes (1 KB to 5 MB), with attachments and
// non-ASCII text, sent through postfix to dovecot and fetched back by POP3,
// each compared after parsing (subject, addresses, texts, attachment
// bytes). QM_SOAK_N sets the number (scripts/soak.sh N); the test suite
// runs a short one. Prints messages/s, lost, altered, peak memory and the
// most messages the mailbox held at once.
//
// Sending and fetching overlap, as with real mail: sender processes
// (QM_SOAK_SENDERS, default 2, each with its own SMTP sessions) send while
// this process fetches, compares and deletes what has arrived. A message is
// made from its number alone, so the reader rebuilds what was sent from
// the number in the subject. At most a window of messages is on its way at
// once, which bounds the mailbox on disk and the servers' queues.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "tests/integration/qmTestServers.h"

namespace qm {
namespace {

using namespace std::chrono;
using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

// What a message was sent with, to compare what comes back.
struct TExpected {
  std::string Subject;
  std::string From;
  std::string To;
  std::vector<std::string> Text;
  std::map<std::string, std::string> Attachments;
  size_t Size = 0;
};

// Sizes: most messages small, some large, a few of several megabytes.
size_t PickSize(std::mt19937& ARandom) {
  const int Roll = static_cast<int>(ARandom() % 100);
  if (Roll < 80) return 1024 + ARandom() % (20 * 1024);
  if (Roll < 97) return 20 * 1024 + ARandom() % (500 * 1024);
  return 512 * 1024 + ARandom() % (4608 * 1024);
}

std::string TextOfSize(size_t ASize, int AIndex) {
  static const char* const Lines[] = {
      "Grüße aus Köln, message ", ".A line that starts with a dot ", "日本語のテキスト ", "Plain ASCII line ",
      "..two dots ", "Ελληνικά και Русский ",
  };
  std::string Text;
  for (int I = 0; Text.size() < ASize; ++I) {
    Text += Lines[I % 6];
    Text += std::to_string(AIndex * 1000 + I);
    Text += "\r\n";
  }
  Text += "the end";
  return Text;
}

// Builds message AIndex into AMessage (its attachments pass through files
// in ADir) and returns what it holds. The same number always gives the
// same message.
TExpected MakeMessage(int AIndex, const std::filesystem::path& ADir, const std::string& ARcpt,
                      TqmMailMessage& AMessage) {
  std::mt19937 Random(20261207u + static_cast<unsigned>(AIndex));
  TExpected E;
  E.Size = PickSize(Random);
  std::vector<std::string> Attach;
  const int Attachments = static_cast<int>(Random() % 3);
  size_t TextSize = E.Size;
  for (int A = 0; A < Attachments; ++A) {
    const std::string Name = "part-" + std::to_string(A) + (A == 0 ? ".bin" : ".txt");
    std::string Data(E.Size / 3, '\0');
    if (A == 0)
      for (char& C : Data) C = static_cast<char>(Random());
    else
      Data = TextOfSize(E.Size / 3, AIndex);
    std::ofstream(ADir / Name, std::ios::binary) << Data;
    Attach.push_back((ADir / Name).string());
    E.Attachments[Name] = Data;
    TextSize -= std::min(TextSize - 1, E.Size / 3);
  }
  AMessage.SetCharSet("utf-8");
  AMessage.BuildMessage(TextOfSize(TextSize, AIndex), "", Attach, {});
  AMessage.From().SetFullAddress("Sënder Nummer " + std::to_string(AIndex) + " <sender@qm.test>");
  AMessage.ToList().AddAddress("Empfänger <" + ARcpt + ">");
  AMessage.SetSubject("Soak " + std::to_string(AIndex) + " – Größe " + std::to_string(E.Size));
  E.Subject = AMessage.Subject();
  E.From = AMessage.From().FullAddress();
  E.To = AMessage.ToList().Items(0)->FullAddress();
  E.Text = AMessage.GetMessageText().ToVector();
  return E;
}

// The number in a subject "Soak N – ...", or -1.
int IndexOfSubject(const std::string& ASubject) {
  if (ASubject.rfind("Soak ", 0) != 0) return -1;
  size_t End = 5;
  while (End < ASubject.size() && ASubject[End] >= '0' && ASubject[End] <= '9') ++End;
  if (End == 5 || End - 5 > 9) return -1;
  return std::stoi(ASubject.substr(5, End - 5));
}

// Seconds spent in each phase, to see where the time goes.
struct TPhases {
  double Wait = 0, Build = 0, Transfer = 0, Compare = 0;
  steady_clock::time_point Mark = steady_clock::now();
  void Add(double& APhase) {
    const auto Now = steady_clock::now();
    APhase += duration<double>(Now - Mark).count();
    Mark = Now;
  }
};

long PeakKiB(int AWho) {
  rusage Usage{};
  getrusage(AWho, &Usage);
  return Usage.ru_maxrss;
}

// A sender process: messages ASender, ASender + ASenders, ... below ATotal,
// in SMTP sessions of 25 messages; before each it takes one byte (a free
// place in the window) from ACredits. Returns the process's exit status.
int RunSender(int ASender, int ASenders, int ATotal, int ACredits, const ServerEnv& ASmtp,
              const std::filesystem::path& ADir) {
  try {
    TqmSmtp Sender;
    Sender.SetServer("127.0.0.1");
    Sender.SetPort(Port(ASmtp, "SMTP_PORT"));
    Sender.SetUserName(Value(ASmtp, "SMTP_USER"));
    Sender.SetPassword(Value(ASmtp, "SMTP_PASSWORD"));
    Sender.SetTimeOut(60000);
    int InSession = 0;
    TPhases Phases;
    for (int I = ASender; I < ATotal; I += ASenders) {
      char Credit;
      if (read(ACredits, &Credit, 1) != 1) return 3;
      Phases.Add(Phases.Wait);
      TqmMailMessage M;
      MakeMessage(I, ADir, Value(ASmtp, "SMTP_RCPT"), M);
      Phases.Add(Phases.Build);
      if (!Sender.Active()) Sender.Open();
      Sender.Send(&M);
      if (++InSession == 25) {
        Sender.Close();
        InSession = 0;
      }
      Phases.Add(Phases.Transfer);
    }
    if (Sender.Active()) Sender.Close();
    std::printf("SOAK sender %d: seconds waiting for a place %.1f, building %.1f, sending %.1f\n", ASender,
                Phases.Wait, Phases.Build, Phases.Transfer);
    std::fflush(stdout);
    return 0;
  } catch (const Exception& E) {
    std::fprintf(stderr, "soak sender %d: %s\n", ASender, E.Message().c_str());
    return 2;
  }
}

TEST(Soak, MessagesThroughPostfixAndDovecotComeBackUnchanged) {
  const char* Wanted = std::getenv("QM_SOAK_N");
  const int Total = Wanted ? std::atoi(Wanted) : 30;
  ASSERT_GT(Total, 0);
  const char* SendersWanted = std::getenv("QM_SOAK_SENDERS");
  const int Senders = std::clamp(SendersWanted ? std::atoi(SendersWanted) : 2, 1, 16);
  // Messages sent but not yet fetched and compared, at most.
  constexpr int Window = 100;

  TestServers Servers;
  const ServerEnv& Smtp = Servers.Start("postfix");
  const ServerEnv Pop3 = Servers.Env("dovecot");
  const std::filesystem::path Maildir = Value(Pop3, "POP3_MAILDIR");
  const std::filesystem::path Files = Servers.StateDir() / "soak";
  // Left by an earlier run that stopped half-way: not this run's mail.
  for (const char* Sub : {"cur", "new"})
    if (std::filesystem::exists(Maildir / Sub))
      for (const auto& Entry : std::filesystem::directory_iterator(Maildir / Sub))
        std::filesystem::remove(Entry.path());

  int Credits[2];
  ASSERT_EQ(pipe2(Credits, O_CLOEXEC), 0);
  std::fflush(nullptr);
  const auto Start = steady_clock::now();
  std::vector<pid_t> Children;
  for (int S = 0; S < Senders; ++S) {
    const std::filesystem::path Dir = Files / std::to_string(S);
    std::filesystem::create_directories(Dir);
    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
      close(Credits[1]);
      _exit(RunSender(S, Senders, Total, Credits[0], Smtp, Dir));
    }
    Children.push_back(Child);
  }
  close(Credits[0]);
  auto Grant = [&](int ACount) {
    const std::string Bytes(static_cast<size_t>(ACount), 'c');
    for (size_t Done = 0; Done < Bytes.size();) {
      const ssize_t N = write(Credits[1], Bytes.data() + Done, Bytes.size() - Done);
      if (N <= 0) return;  // every sender is gone
      Done += static_cast<size_t>(N);
    }
  };
  const int Initial = std::min(Window, Total);
  Grant(Initial);
  int Granted = Initial;

  TqmPop3 Reader;
  Reader.SetServer("127.0.0.1");
  Reader.SetPort(Port(Pop3, "POP3_PORT"));
  Reader.SetUserName(Value(Pop3, "POP3_USER"));
  Reader.SetPassword(Value(Pop3, "POP3_PASSWORD"));
  Reader.SetTimeOut(60000);
  const std::filesystem::path Mine = Files / "reader";
  std::filesystem::create_directories(Mine);

  std::set<int> Pending;
  for (int I = 0; I < Total; ++I) Pending.insert(I);
  int Received = 0, Altered = 0, Unexpected = 0, MostInBox = 0, SendersFailed = 0;
  int64_t Bytes = 0;
  auto LastProgress = steady_clock::now();
  TPhases Phases;
  while (!Pending.empty()) {
    // Senders that ended: a failure means the rest of its messages never come.
    for (pid_t& Child : Children) {
      int Status = 0;
      if (Child > 0 && waitpid(Child, &Status, WNOHANG) == Child) {
        if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) {
          ++SendersFailed;
          ADD_FAILURE() << "a sender failed, status " << Status;
        }
        Child = -1;
      }
    }
    Reader.Open();
    const int InBox = Reader.MessageCount();
    MostInBox = std::max(MostInBox, InBox);
    for (int N = 1; N <= InBox; ++N) {
      TqmMailMessage Got;
      std::map<std::string, std::string> Saved;
      Got.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData,
                                bool& Handled) {
        AData = std::make_unique<TMemoryStream>();
        Handled = true;
      };
      Got.OnAttachmentSaved = [&](TObject*, TqmAttachmentBody* ABody, const std::string&, TStream* AData) {
        TMemoryStream C;
        C.CopyFrom(*AData, 0);
        Saved[ABody->FileName()] = C.DataString();
      };
      Reader.Retrieve(N, &Got);
      Reader.Dele(N);
      Phases.Add(Phases.Transfer);
      const int Index = IndexOfSubject(Got.Subject());
      if (Index < 0 || !Pending.count(Index)) {
        // Not ours, or a second copy of one already fetched.
        ++Unexpected;
        ADD_FAILURE() << "unexpected message: " << Got.Subject();
        continue;
      }
      TqmMailMessage Sent;
      const TExpected E = MakeMessage(Index, Mine, Value(Smtp, "SMTP_RCPT"), Sent);
      const bool Same = Got.Subject() == E.Subject && Got.From().FullAddress() == E.From &&
                        Got.ToList().Count() == 1 && Got.ToList().Items(0)->FullAddress() == E.To &&
                        Got.GetMessageText().ToVector() == E.Text && Saved == E.Attachments;
      if (!Same) {
        ++Altered;
        ADD_FAILURE() << "altered: " << E.Subject;
      }
      ++Received;
      Bytes += static_cast<int64_t>(E.Size);
      Pending.erase(Index);
      LastProgress = steady_clock::now();
      Phases.Add(Phases.Compare);
      if (Received % 1000 == 0) {
        // A long run shows how it goes (and leaves figures if it is stopped).
        const double Seconds = duration<double>(steady_clock::now() - Start).count();
        std::printf("SOAK progress received=%d altered=%d seconds=%.0f msg/s=%.1f peakMB(reader)=%.1f most-in-mailbox=%d\n",
                    Received, Altered, Seconds, Received / Seconds, PeakKiB(RUSAGE_SELF) / 1024.0, MostInBox);
        std::fflush(stdout);
      }
    }
    // QUIT removes what was marked deleted.
    Reader.Close();
    Phases.Add(Phases.Transfer);
    // Every message fetched frees its place in the window.
    const int Free = std::min(Total - Granted, Received - (Granted - Initial));
    if (Free > 0) {
      Grant(Free);
      Granted += Free;
    }
    if (InBox == 0) {
      // Two minutes without a message: what is missing was lost (the
      // senders then wait for a place that never frees, and end below).
      if (steady_clock::now() - LastProgress > seconds(120)) break;
      std::this_thread::sleep_for(milliseconds(50));
      Phases.Add(Phases.Wait);
    }
  }
  close(Credits[1]);
  for (pid_t Child : Children)
    if (Child > 0) waitpid(Child, nullptr, 0);
  const double Seconds = duration<double>(steady_clock::now() - Start).count();
  const int Lost = static_cast<int>(Pending.size());
  for (int Index : Pending) ADD_FAILURE() << "lost: message " << Index;
  size_t Left = 0;
  for (const char* Sub : {"cur", "new"})
    for ([[maybe_unused]] const auto& Entry : std::filesystem::directory_iterator(Maildir / Sub)) ++Left;
  std::printf("SOAK reader: seconds waiting for mail %.1f, fetching %.1f, rebuilding and comparing %.1f\n",
              Phases.Wait, Phases.Transfer, Phases.Compare);
  std::printf(
      "SOAK messages=%d senders=%d received=%d lost=%d altered=%d unexpected=%d seconds=%.1f msg/s=%.1f MB=%.1f "
      "peakMB(reader)=%.1f peakMB(sender)=%.1f most-in-mailbox=%d left-in-maildir=%zu\n",
      Total, Senders, Received, Lost, Altered, Unexpected, Seconds, Total / Seconds, Bytes / 1048576.0,
      PeakKiB(RUSAGE_SELF) / 1024.0, PeakKiB(RUSAGE_CHILDREN) / 1024.0, MostInBox, Left);
  EXPECT_EQ(SendersFailed, 0);
  EXPECT_EQ(Lost, 0);
  EXPECT_EQ(Altered, 0);
  EXPECT_EQ(Unexpected, 0);
  EXPECT_EQ(Received, Total);
  // Fetched messages were deleted: the mailbox never held more than the
  // window, and nothing stays behind.
  EXPECT_LE(MostInBox, Window);
  EXPECT_EQ(Left, 0u);
}

}  // namespace
}  // namespace qm
