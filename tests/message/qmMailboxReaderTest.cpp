#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/qmException.h"
#include "message/qmMailMessage.h"
#include "message/qmMaildirReader.h"
#include "message/qmMboxReader.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

// Every message's unquoted text.
std::vector<std::string> ReadAll(std::string_view AData, TqmMboxQuoting AQuoting = mqMboxrd,
                                 bool AContentLength = true) {
  TqmMboxReader Reader(AData);
  Reader.SetQuoting(AQuoting);
  Reader.SetUseContentLength(AContentLength);
  std::vector<std::string> Texts;
  TqmMboxMessage M;
  while (Reader.Next(M)) Texts.emplace_back(Reader.Unquoted(M));
  return Texts;
}

// An mboxrd writer as mail programs write it: "From " line, lines with
// ">*From " gaining one ">", an empty line after each message.
std::string WriteMboxrd(const std::vector<std::string>& AMessages) {
  std::string Out;
  for (const std::string& M : AMessages) {
    Out += "From sender@example.com Mon Dec  7 10:00:00 2026\n";
    for (size_t P = 0; P < M.size();) {
      size_t E = M.find('\n', P);
      E = E == std::string::npos ? M.size() : E + 1;
      const size_t Quotes = M.find_first_not_of('>', P);
      if (Quotes < E && M.compare(Quotes, 5, "From ") == 0) Out += '>';
      Out.append(M, P, E - P);
      P = E;
    }
    Out += '\n';
  }
  return Out;
}

}  // namespace

TEST(MboxReader, Layouts) {
  struct TCase {
    const char* Name;
    std::string Data;
    TqmMboxQuoting Quoting;
    std::vector<std::string> Expected;
  };
  const std::vector<TCase> Cases = {
      {"empty", "", mqMboxrd, {}},
      {"no separator", "Subject: x\n\nbody\n", mqMboxrd, {}},
      {"junk before the first", "junk\nFrom a\nS: 1\n\nb\n", mqMboxrd, {"S: 1\n\nb\n"}},
      {"mboxrd", "From a\nS: 1\n\n>From x\n>>From y\n> From z\n>Fromage\n\nFrom b\nS: 2\n\n", mqMboxrd,
       {"S: 1\n\nFrom x\n>From y\n> From z\n>Fromage\n", "S: 2\n"}},
      {"mboxo", "From a\nS: 1\n\n>From x\n>>From y\n", mqMboxo, {"S: 1\n\nFrom x\n>>From y\n"}},
      {"none", "From a\nS: 1\n\n>From x\n", mqNone, {"S: 1\n\n>From x\n"}},
      {"unquoted From ends a message", "From a\nS: 1\n\nFrom the start\n", mqMboxrd, {"S: 1\n", ""}},
      {"no empty line before", "From a\nS: 1\n\nb\nFrom b\nS: 2\n", mqMboxrd, {"S: 1\n\nb\n", "S: 2\n"}},
      {"empty messages", "From a\nFrom b\n", mqMboxrd, {"", ""}},
      {"no final line break", "From a\nS: 1\n\nlast", mqMboxrd, {"S: 1\n\nlast"}},
      {"separator alone", "From a", mqMboxrd, {""}},
      {"CR LF", "From a\r\nS: 1\r\n\r\n>From x\r\n\r\nFrom b\r\nS: 2\r\n\r\n", mqMboxrd,
       {"S: 1\r\n\r\nFrom x\r\n", "S: 2\r\n"}},
      // Content-Length that ends at the next separator (or the end) is
      // believed: the unquoted "From " line stays in the body.
      {"Content-Length", "From a\nContent-Length: 16\n\nFrom the start\n\n\nFrom b\nS: 2\n\n", mqNone,
       {"Content-Length: 16\n\nFrom the start\n\n", "S: 2\n"}},
      {"Content-Length at the end", "From a\ncontent-length:  4 \n\nab\nc", mqMboxrd, {"content-length:  4 \n\nab\nc"}},
      {"Content-Length CR LF", "From a\r\nContent-Length: 18\r\n\r\nFrom the start\r\n\r\n\r\nFrom b\r\n\r\n",
       mqNone, {"Content-Length: 18\r\n\r\nFrom the start\r\n\r\n", "\r\n"}},
      // Lengths that do not land on a separator are ignored.
      {"Content-Length too short", "From a\nContent-Length: 3\n\nbody\nFrom b\n", mqMboxrd,
       {"Content-Length: 3\n\nbody\n", ""}},
      {"Content-Length too long", "From a\nContent-Length: 9999\n\nbody\n\nFrom b\n", mqMboxrd,
       {"Content-Length: 9999\n\nbody\n", ""}},
      {"Content-Length not a number", "From a\nContent-Length: 5x\n\nbody\n\nFrom b\n", mqMboxrd,
       {"Content-Length: 5x\n\nbody\n", ""}},
      {"Content-Length huge", "From a\nContent-Length: 99999999999999999999\n\nb\n", mqMboxrd,
       {"Content-Length: 99999999999999999999\n\nb\n"}},
      {"Content-Length without a body", "From a\nContent-Length: 0", mqMboxrd, {"Content-Length: 0"}},
  };
  for (const TCase& C : Cases) EXPECT_EQ(ReadAll(C.Data, C.Quoting), C.Expected) << C.Name;
  // Without Content-Length the unquoted "From " line starts a message.
  EXPECT_EQ(ReadAll("From a\nContent-Length: 16\n\nFrom the start\n\n\nFrom b\n", mqNone, false).size(), 3u);
}

TEST(MboxReader, SeparatorsOffsetsAndSkipped) {
  const std::string Data = "xx\nFrom a@b Mon Dec  7 10:00:00 2026\r\nS: 1\r\n\r\nFrom c@d Tue\nS: 2\n";
  TqmMboxReader Reader(Data);
  TqmMboxMessage M;
  ASSERT_TRUE(Reader.Next(M));
  EXPECT_EQ(Reader.Skipped(), 3);
  EXPECT_EQ(M.Separator, "From a@b Mon Dec  7 10:00:00 2026");
  EXPECT_EQ(M.Offset, 3);
  EXPECT_EQ(M.Index, 0);
  ASSERT_TRUE(Reader.Next(M));
  EXPECT_EQ(M.Separator, "From c@d Tue");
  EXPECT_EQ(M.Offset, static_cast<int64_t>(Data.find("From c@d")));
  EXPECT_EQ(M.Index, 1);
  EXPECT_EQ(M.Text.data(), Data.data() + Data.find("S: 2"));  // in place, not a copy
  EXPECT_FALSE(Reader.Next(M));
  EXPECT_FALSE(Reader.Next(M));
  Reader.Rewind();
  ASSERT_TRUE(Reader.Next(M));
  EXPECT_EQ(M.Index, 0);
}

// Any messages written by an mboxrd writer read back as they were, with
// lines that look like separators or quoting, in LF and CR LF.
TEST(MboxReader, MboxrdRoundTripOfAnyText) {
  std::mt19937 Rng(11);
  const char* Lines[] = {"From the start", ">From once", ">>From twice", "From", ">", "Subject: x",
                         "", "plain text", "Content-Length: 3", " From indented", "From:", "\r"};
  for (int Round = 0; Round < 200; ++Round) {
    std::vector<std::string> Messages(1 + Rng() % 5);
    for (std::string& M : Messages) {
      M = "Subject: m\n\n";
      for (unsigned L = Rng() % 12; L > 0; --L) M += std::string(Lines[Rng() % std::size(Lines)]) + "\n";
    }
    ASSERT_EQ(ReadAll(WriteMboxrd(Messages)), Messages) << "round " << Round;
  }
}

TEST(MboxReader, FilesAndParsing) {
  const fs::path Dir = fs::temp_directory_path() / ("qm-mbox-test-" + std::to_string(getpid()));
  fs::create_directories(Dir);
  const std::string Data = WriteMboxrd({"Subject: first\nContent-Type: text/plain; charset=utf-8\n\nFrom me\n",
                                        "Subject: =?utf-8?Q?caf=C3=A9?=\n\nbody\n"});
  std::ofstream(Dir / "inbox") << Data;
  TqmMboxReader Reader;
  Reader.Open((Dir / "inbox").string());
  EXPECT_EQ(Reader.Data(), Data);
  TqmMailMessage Message;
  TqmMboxMessage M;
  ASSERT_TRUE(Reader.Next(M));
  EXPECT_TRUE(M.Quoted);
  Reader.Parse(M, Message);
  EXPECT_EQ(Message.Subject(), "first");
  ASSERT_TRUE(Reader.Next(M));
  Reader.Parse(M, Message);
  EXPECT_EQ(Message.Subject(), "caf\xC3\xA9");
  EXPECT_FALSE(Reader.Next(M));

  std::ofstream(Dir / "empty");
  Reader.Open((Dir / "empty").string());
  EXPECT_FALSE(Reader.Next(M));
  EXPECT_THROW(Reader.Open((Dir / "missing").string()), EFOpenError);
  EXPECT_THROW(Reader.Open(Dir.string()), EFOpenError);  // a folder cannot be read
  fs::remove_all(Dir);
}

TEST(MaildirReader, CurAndNewInNameOrder) {
  const fs::path Dir = fs::temp_directory_path() / ("qm-maildir-test-" + std::to_string(getpid()));
  for (const char* Sub : {"cur", "new", "tmp", "cur/sub"}) fs::create_directories(Dir / Sub);
  std::ofstream(Dir / "cur" / "1700000002.M1.host:2,RS") << "Subject: two\n\n";
  std::ofstream(Dir / "new" / "1700000001.M1.host") << "Subject: one\n\n";
  std::ofstream(Dir / "new" / "1700000003.M1.host") << "";
  std::ofstream(Dir / "tmp" / "1700000000.M1.host") << "Subject: in delivery\n\n";
  std::ofstream(Dir / "cur" / ".hidden") << "x";

  TqmMaildirReader Reader;
  Reader.Open(Dir.string());
  EXPECT_EQ(Reader.Count(), 3u);
  TqmMaildirMessage M;
  std::vector<std::string> Seen;
  while (Reader.Next(M)) Seen.push_back(std::string(M.Text) + "|" + M.Flags + (M.New ? "|new" : "|cur"));
  EXPECT_EQ(Seen, (std::vector<std::string>{"Subject: one\n\n||new", "Subject: two\n\n|RS|cur", "||new"}));

  // A file moved away after the listing is passed over.
  Reader.Rewind();
  fs::remove(Dir / "new" / "1700000001.M1.host");
  ASSERT_TRUE(Reader.Next(M));
  EXPECT_EQ(M.Text, "Subject: two\n\n");
  EXPECT_EQ(M.FileName, (Dir / "cur" / "1700000002.M1.host:2,RS").string());

  EXPECT_THROW(Reader.Open((Dir / "tmp").string()), EFOpenError);
  EXPECT_THROW(Reader.Open((Dir / "missing").string()), EFOpenError);
  fs::remove_all(Dir);
}
