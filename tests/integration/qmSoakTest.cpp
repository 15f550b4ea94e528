// The soak: messages of mixed sizes (1 KB to 5 MB), with attachments and
// non-ASCII text, sent through postfix to dovecot and fetched back by POP3,
// each compared after parsing (subject, addresses, texts, attachment
// bytes). QM_SOAK_N sets the number (scripts/soak.sh N); the test suite
// runs a short one. Prints messages/s, lost, altered and peak memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
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

long PeakKiB() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return Usage.ru_maxrss;
}

TEST(Soak, MessagesThroughPostfixAndDovecotComeBackUnchanged) {
  const char* Wanted = std::getenv("QM_SOAK_N");
  const int Total = Wanted ? std::atoi(Wanted) : 30;
  ASSERT_GT(Total, 0);
  constexpr int Batch = 25;

  TestServers Servers;
  const ServerEnv& Smtp = Servers.Start("postfix");
  const ServerEnv Pop3 = Servers.Env("dovecot");
  const std::filesystem::path Maildir = Value(Pop3, "POP3_MAILDIR");
  const std::filesystem::path Files = Servers.StateDir() / "soak";
  std::filesystem::create_directories(Files);

  TqmSmtp Sender;
  Sender.SetServer("127.0.0.1");
  Sender.SetPort(Port(Smtp, "SMTP_PORT"));
  Sender.SetUserName(Value(Smtp, "SMTP_USER"));
  Sender.SetPassword(Value(Smtp, "SMTP_PASSWORD"));
  Sender.SetTimeOut(60000);
  TqmPop3 Reader;
  Reader.SetServer("127.0.0.1");
  Reader.SetPort(Port(Pop3, "POP3_PORT"));
  Reader.SetUserName(Value(Pop3, "POP3_USER"));
  Reader.SetPassword(Value(Pop3, "POP3_PASSWORD"));
  Reader.SetTimeOut(60000);

  std::mt19937 Random(20261207);
  int Sent = 0, Received = 0, Lost = 0, Altered = 0;
  int64_t Bytes = 0;
  const auto Start = steady_clock::now();
  for (int First = 0; First < Total; First += Batch) {
    const int Count = std::min(Batch, Total - First);
    std::map<std::string, TExpected> Expected;
    Sender.Open();
    for (int I = First; I < First + Count; ++I) {
      const size_t Size = PickSize(Random);
      std::vector<std::string> Attach;
      TExpected E;
      const int Attachments = static_cast<int>(Random() % 3);
      size_t TextSize = Size;
      for (int A = 0; A < Attachments; ++A) {
        const std::string Name = "part-" + std::to_string(A) + (A == 0 ? ".bin" : ".txt");
        std::string Data(Size / 3, '\0');
        if (A == 0)
          for (char& C : Data) C = static_cast<char>(Random());
        else
          Data = TextOfSize(Size / 3, I);
        std::ofstream(Files / Name, std::ios::binary) << Data;
        Attach.push_back((Files / Name).string());
        E.Attachments[Name] = Data;
        TextSize -= std::min(TextSize - 1, Size / 3);
      }
      TqmMailMessage M;
      M.SetCharSet("utf-8");
      M.BuildMessage(TextOfSize(TextSize, I), "", Attach, {});
      M.From().SetFullAddress("Sënder Nummer " + std::to_string(I) + " <sender@qm.test>");
      M.ToList().AddAddress("Empfänger <" + Value(Smtp, "SMTP_RCPT") + ">");
      M.SetSubject("Soak " + std::to_string(I) + " – Größe " + std::to_string(Size));
      E.Subject = M.Subject();
      E.From = M.From().FullAddress();
      E.To = M.ToList().Items(0)->FullAddress();
      E.Text = M.GetMessageText().ToVector();
      Sender.Send(&M);
      ++Sent;
      Bytes += static_cast<int64_t>(Size);
      Expected[E.Subject] = std::move(E);
    }
    Sender.Close();

    // Delivery is asynchronous: wait until the batch is in the mailbox.
    int InBox = 0;
    for (auto Until = steady_clock::now() + seconds(120); steady_clock::now() < Until;) {
      Reader.Open();
      InBox = Reader.MessageCount();
      if (InBox >= Count) break;
      Reader.Close();
      std::this_thread::sleep_for(milliseconds(100));
    }
    if (!Reader.Active()) Reader.Open();
    for (int N = 1; N <= Reader.MessageCount(); ++N) {
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
      auto It = Expected.find(Got.Subject());
      if (It == Expected.end()) {
        ++Altered;
        ADD_FAILURE() << "unexpected subject: " << Got.Subject();
        continue;
      }
      const TExpected& E = It->second;
      const bool Same = Got.From().FullAddress() == E.From && Got.ToList().Count() == 1 &&
                        Got.ToList().Items(0)->FullAddress() == E.To && Got.GetMessageText().ToVector() == E.Text &&
                        Saved == E.Attachments;
      if (!Same) {
        ++Altered;
        ADD_FAILURE() << "altered: " << E.Subject;
      }
      ++Received;
      Expected.erase(It);
    }
    Reader.Close();
    Lost += static_cast<int>(Expected.size());
    for (const auto& [Subject, E] : Expected) ADD_FAILURE() << "lost: " << Subject;
    // POP3 here has no DELE: the batch leaves the mailbox by hand.
    for (const char* Sub : {"cur", "new"})
      for (const auto& Entry : std::filesystem::directory_iterator(Maildir / Sub))
        std::filesystem::remove(Entry.path());
  }
  const double Seconds = duration<double>(steady_clock::now() - Start).count();
  std::printf("SOAK messages=%d received=%d lost=%d altered=%d seconds=%.1f msg/s=%.1f MB=%.1f peakMB=%.1f\n", Sent,
              Received, Lost, Altered, Seconds, Sent / Seconds, Bytes / 1048576.0, PeakKiB() / 1024.0);
  EXPECT_EQ(Lost, 0);
  EXPECT_EQ(Altered, 0);
  EXPECT_EQ(Received, Total);
}

}  // namespace
}  // namespace qm
