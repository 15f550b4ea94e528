// The qm program against postfix and dovecot, run as a user runs it: its
// exit status, what it prints, what the servers received and stored.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/qmVersion.h"
#include "tests/integration/qmRunProgram.h"
#include "tests/integration/qmTestServers.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

std::string ReadFile(const fs::path& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

void WriteFile(const fs::path& APath, const std::string& AText) {
  std::ofstream(APath, std::ios::binary) << AText;
}

std::vector<std::string> SplitLines(const std::string& AText) {
  std::vector<std::string> Lines;
  std::istringstream In(AText);
  for (std::string Line; std::getline(In, Line);) Lines.push_back(Line);
  return Lines;
}

using TRun = test::TProgramRun;

// Runs qm with the arguments, the environment settings ("NAME=value") and
// stdin.
TRun RunQm(const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv = {},
           const std::string& AStdin = "/dev/null") {
#ifndef QM_TOOL_PATH
  ADD_FAILURE() << "the qm tool is not built (QM_BUILD_TOOLS=OFF?)";
  return {};
#else
  return test::RunProgram(QM_TOOL_PATH, AArgs, AEnv, AStdin);
#endif
}

// One line on stderr, starting with the command's name.
void ExpectOneLine(const TRun& ARun, const std::string& ACommand) {
  const auto Lines = SplitLines(ARun.Err);
  ASSERT_EQ(Lines.size(), 1u) << ARun.Err;
  EXPECT_EQ(Lines[0].rfind(ACommand + ": ", 0), 0u) << Lines[0];
}

std::string Base64(const std::string& AText) {
  static const char* Digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Result;
  size_t I = 0;
  for (; I + 2 < AText.size(); I += 3) {
    const unsigned N = (static_cast<unsigned char>(AText[I]) << 16) | (static_cast<unsigned char>(AText[I + 1]) << 8) |
                       static_cast<unsigned char>(AText[I + 2]);
    for (int Shift : {18, 12, 6, 0}) Result += Digits[(N >> Shift) & 63];
  }
  if (I < AText.size()) {
    unsigned N = static_cast<unsigned char>(AText[I]) << 16;
    if (I + 1 < AText.size()) N |= static_cast<unsigned char>(AText[I + 1]) << 8;
    Result += Digits[(N >> 18) & 63];
    Result += Digits[(N >> 12) & 63];
    Result += I + 1 < AText.size() ? Digits[(N >> 6) & 63] : '=';
    Result += '=';
  }
  return Result;
}

// The messages of a maildir in delivery order (names sort by time).
std::vector<fs::path> MaildirFiles(const fs::path& ADir) {
  std::vector<fs::path> Files;
  for (const char* Sub : {"cur", "new"})
    if (fs::exists(ADir / Sub))
      for (const auto& E : fs::directory_iterator(ADir / Sub)) Files.push_back(E.path());
  std::sort(Files.begin(), Files.end(),
            [](const fs::path& A, const fs::path& B) { return A.filename().string() < B.filename().string(); });
  return Files;
}

// Waits for a delivered message holding AText; its content, or "".
std::string WaitForDelivery(const fs::path& AMaildir, const std::string& AText) {
  for (int Try = 0; Try < 200; ++Try) {
    for (const auto& File : MaildirFiles(AMaildir)) {
      const std::string Content = ReadFile(File);
      if (Content.find(AText) != std::string::npos) return Content;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return {};
}

// The messages of an mboxrd file, without their From_ lines and quoting.
std::vector<std::string> MboxMessages(const std::string& AText) {
  std::vector<std::string> Messages;
  for (const std::string& Line : SplitLines(AText)) {
    if (Line.rfind("From ", 0) == 0) {
      Messages.emplace_back();
      continue;
    }
    if (Messages.empty()) return {};
    const size_t Quotes = Line.find_first_not_of('>');
    const bool Quoted = Quotes != std::string::npos && Quotes > 0 && Line.compare(Quotes, 5, "From ") == 0;
    Messages.back() += (Quoted ? Line.substr(1) : Line) + "\n";
  }
  // Each message ends with the empty line that separates it from the next.
  for (auto& M : Messages) {
    if (M.size() >= 2 && M.compare(M.size() - 2, 2, "\n\n") == 0) M.pop_back();
  }
  return Messages;
}

// Big messages are compared without printing them.
void ExpectSameTexts(const std::vector<std::string>& AGot, const std::vector<std::string>& AExpected) {
  ASSERT_EQ(AGot.size(), AExpected.size());
  for (size_t I = 0; I < AGot.size(); ++I) {
    const auto Diff = std::mismatch(AGot[I].begin(), AGot[I].end(), AExpected[I].begin(), AExpected[I].end());
    EXPECT_TRUE(AGot[I] == AExpected[I]) << "message " << I + 1 << ": " << AGot[I].size() << " bytes instead of "
                                         << AExpected[I].size() << ", first difference at byte "
                                         << (Diff.first - AGot[I].begin());
  }
}

int UnusedPort() {
  int Port = 0;
  qmtest::TFd Listener = qmtest::Listener("127.0.0.1", Port);
  return Port;  // closed again: nothing listens there
}

// ------------------------------------------------------------ the command line

TEST(ToolCommandLine, BadArgumentsGiveStatusTwoAndOneLine) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> Cases = {
      {{}, "qm"},
      {{"frobnicate"}, "qm"},
      {{"send"}, "qm send"},
      {{"send", "-s", "127.0.0.1", "--from", "a@qm.test"}, "qm send"},
      {{"send", "-s", "127.0.0.1", "--security", "sometimes", "--to", "a@qm.test"}, "qm send"},
      {{"send", "-s", "127.0.0.1", "--eml", "-", "--subject", "x"}, "qm send"},
      {{"fetch", "-s", "127.0.0.1", "--port", "0"}, "qm fetch"},
      {{"fetch", "-s", "127.0.0.1", "--all"}, "qm fetch"},
      {{"fetch", "-s", "127.0.0.1", "--maildir", "a", "--mbox", "b", "--all"}, "qm fetch"},
      {{"fetch", "-s", "127.0.0.1", "--ca-file", "/etc/hostname", "--insecure"}, "qm fetch"},
      {{"mime", "/no/such/message.eml"}, "qm mime"},
      {{"mime"}, "qm mime"},
  };
  for (const auto& [Args, Command] : Cases) {
    const TRun Run = RunQm(Args);
    SCOPED_TRACE(testing::PrintToString(Args));
    EXPECT_EQ(Run.Status, 2);
    ExpectOneLine(Run, Command);
    EXPECT_NE(Run.Err.find("--help"), std::string::npos) << Run.Err;
    EXPECT_TRUE(Run.Out.empty()) << Run.Out;
  }
}

TEST(ToolCommandLine, HelpOnEveryLevelAndVersion) {
  for (const std::vector<std::string>& Args :
       {std::vector<std::string>{"--help"}, {"send", "--help"}, {"fetch", "--help"}, {"mime", "--help"}}) {
    const TRun Run = RunQm(Args);
    EXPECT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_NE(Run.Out.find("Usage: qm"), std::string::npos) << Run.Out;
  }
  EXPECT_NE(RunQm({"send", "--help"}).Out.find("--password-file"), std::string::npos);
  EXPECT_NE(RunQm({"fetch", "--help"}).Out.find("--only-new"), std::string::npos);
  const TRun Version = RunQm({"--version"});
  EXPECT_EQ(Version.Status, 0);
  EXPECT_EQ(Version.Out, std::string("qm ") + QM_VERSION_STRING + "\n");
}

// ------------------------------------------------------------------- qm send

class ToolSend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("postfix");
    Pop3 = Servers->Env("dovecot");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }
  static std::vector<std::string> Connection(const std::string& ASecurity, const std::string& APortKey) {
    return {"--server", "127.0.0.1", "--port", Value(Env, APortKey), "--security", ASecurity,
            "--ca-file", Value(Env, "CA_CERT"), "--timeout", "10"};
  }
  static std::vector<std::string> Join(std::vector<std::string> A, const std::vector<std::string>& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
  }
  static TestServers* Servers;
  static ServerEnv Env, Pop3;
};
TestServers* ToolSend::Servers = nullptr;
ServerEnv ToolSend::Env, ToolSend::Pop3;

TEST_F(ToolSend, EverySecurityModeAndLoginDelivers) {
  const std::string Password = Value(Env, "SMTP_PASSWORD");
  const std::string Token = Value(Pop3, "POP3_OAUTH_TOKEN");
  const fs::path PasswordFile = Servers->StateDir() / "password.txt";
  WriteFile(PasswordFile, Password + "\n");
  const fs::path Body = Servers->StateDir() / "body.txt";
  WriteFile(Body, "Hello from qm.\nSecond line.\n");
  struct TCase {
    std::string Security, PortKey;
    std::vector<std::string> Login, Env;
    bool StartTls;
  };
  const std::vector<TCase> Cases = {
      {"none", "SMTP_PORT", {"--password-env", "QM_TEST_SECRET"}, {"QM_TEST_SECRET=" + Password}, false},
      {"explicit", "SMTP_PORT", {"--password-file", PasswordFile.string()}, {}, true},
      {"implicit", "SMTPS_PORT", {}, {"QM_PASSWORD=" + Password}, false},
      {"auto", "SMTPS_PORT", {"--oauth2"}, {"QM_PASSWORD=" + Token}, false},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Security);
    const std::string Subject = "qm send over " + Case.Security;
    const TRun Run = RunQm(Join(Join({"send", "-v"}, Connection(Case.Security, Case.PortKey)),
                                Join({"-u", Value(Env, "SMTP_USER"), "--from", "sender@qm.test", "--to",
                                      Value(Env, "SMTP_RCPT"), "--subject", Subject, "--text", Body.string()},
                                     Case.Login)),
                           Case.Env);
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_NE(Run.Err.find("> AUTH"), std::string::npos) << Run.Err;
    EXPECT_EQ(Run.Err.find("> STARTTLS") != std::string::npos, Case.StartTls) << Run.Err;
    // No secret in the trace, neither as it is nor in base64.
    for (const std::string& Secret : {Password, Base64(Password), Token, Base64(Token)})
      EXPECT_EQ(Run.Err.find(Secret), std::string::npos) << Run.Err;
    EXPECT_NE(Run.Err.find("****"), std::string::npos) << Run.Err;
    const std::string Delivered = WaitForDelivery(Value(Env, "SMTP_MAILDIR"), "Subject: " + Subject);
    ASSERT_FALSE(Delivered.empty()) << "not delivered";
    EXPECT_NE(Delivered.find("Hello from qm."), std::string::npos);
  }
}

TEST_F(ToolSend, ReadyMessageFromStdinWithItsOwnEnvelope) {
  const fs::path Eml = Servers->StateDir() / "ready.eml";
  WriteFile(Eml,
            "From: Ready <ready@qm.test>\nTo: " + Value(Env, "SMTP_RCPT") +
                "\nBcc: hidden@example.org\nSubject: ready-made\n\nA line.\n.\n..dots stay\n");
  const TRun Run = RunQm(Join({"send", "--eml", "-", "-u", Value(Env, "SMTP_USER")}, Connection("explicit", "SMTP_PORT")),
                         {"QM_PASSWORD=" + Value(Env, "SMTP_PASSWORD")}, Eml.string());
  ASSERT_EQ(Run.Status, 0) << Run.Err;
  const std::string Delivered = WaitForDelivery(Value(Env, "SMTP_MAILDIR"), "Subject: ready-made");
  ASSERT_FALSE(Delivered.empty());
  EXPECT_NE(Delivered.find("\nA line.\n.\n..dots stay\n"), std::string::npos) << Delivered;
  EXPECT_EQ(Delivered.find("hidden@example.org"), std::string::npos) << "the Bcc field was sent";
}

TEST_F(ToolSend, UntrustedCertificateIsRefusedUnlessInsecure) {
  const std::vector<std::string> Message = {"--from", "a@qm.test", "--to", Value(Env, "SMTP_RCPT"), "--subject",
                                            "untrusted"};
  const TRun Refused = RunQm(Join({"send", "-s", "127.0.0.1", "-p", Value(Env, "SMTPS_PORT"), "--security",
                                   "implicit", "--timeout", "10"},
                                  Message));
  EXPECT_EQ(Refused.Status, 1);
  ExpectOneLine(Refused, "qm send");
  EXPECT_NE(Refused.Err.find("127.0.0.1:" + Value(Env, "SMTPS_PORT")), std::string::npos) << Refused.Err;
  const TRun Insecure = RunQm(Join({"send", "-s", "127.0.0.1", "-p", Value(Env, "SMTPS_PORT"), "--security",
                                    "implicit", "--insecure", "--timeout", "10"},
                                   Message));
  EXPECT_EQ(Insecure.Status, 0) << Insecure.Err;
}

TEST_F(ToolSend, FailuresAreOneLineWithinFiveSeconds) {
  const std::string Smtp = Value(Env, "SMTP_PORT");
  const std::string Pop3Port = Value(Pop3, "POP3_PORT");
  const std::string Refused = std::to_string(UnusedPort());
  const std::vector<std::string> Message = {"--from", "a@qm.test", "--to", Value(Env, "SMTP_RCPT")};
  struct TCase {
    std::string Name;
    std::vector<std::string> Args;
    std::string Port, Says;
  };
  const std::vector<TCase> Cases = {
      {"wrong password",
       Join({"send", "-s", "127.0.0.1", "-p", Smtp, "--ca-file", Value(Env, "CA_CERT"), "-u", "qmuser",
             "--password-env", "WRONG"},
            Message),
       Smtp, "logging in as qmuser to"},
      {"refused connection", Join({"send", "-s", "127.0.0.1", "-p", Refused}, Message), Refused, "connecting to"},
      {"a POP3 server", Join({"send", "-s", "127.0.0.1", "-p", Pop3Port, "--security", "none"}, Message),
       Pop3Port, "reading the greeting of"},
      {"fetch: wrong password",
       {"fetch", "-s", "127.0.0.1", "-p", Pop3Port, "--ca-file", Value(Env, "CA_CERT"), "-u", "qmuser",
        "--password-env", "WRONG"},
       Pop3Port, "logging in as qmuser to"},
      {"fetch: refused connection", {"fetch", "-s", "127.0.0.1", "-p", Refused}, Refused, "connecting to"},
      {"fetch: an SMTP server", {"fetch", "-s", "127.0.0.1", "-p", Smtp, "--security", "none"}, Smtp,
       "reading the greeting of"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const TRun Run = RunQm(Case.Args, {"WRONG=not the password"});
    EXPECT_EQ(Run.Status, 1);
    ExpectOneLine(Run, Case.Args[0] == "send" ? "qm send" : "qm fetch");
    EXPECT_NE(Run.Err.find(Case.Says + " 127.0.0.1:" + Case.Port + ": "), std::string::npos) << Run.Err;
    EXPECT_LT(Run.Seconds, 5.0);
  }
}

// ------------------------------------------------------------------ qm fetch

class ToolFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    Env = Servers.Start("dovecot");
    Work = Servers.StateDir() / "work";
    fs::create_directories(Work);
    // Lines mbox quoting and dot-stuffing must both carry through.
    const fs::path Special = Work / "special.eml";
    WriteFile(Special,
              "Return-Path: <bounce@qm.test>\nFrom: Special <special@qm.test>\nTo: qmuser@qm.test\n"
              "Subject: From lines\n\nFrom the start.\n>From quoted once.\n>>From twice.\n.\n..\nlast\n");
    Servers.RunScript("fill-maildir.sh", {"--count", "3", "--size", "400"});
    Servers.RunScript("fill-maildir.sh", {Special.string()});
    // Big enough for the progress bar's size (not shown: stderr is a file).
    Servers.RunScript("fill-maildir.sh", {"--count", "1", "--size", "1500000"});
  }
  std::vector<std::string> Login() const {
    return {"-s", "127.0.0.1", "-p", Value(Env, "POP3_PORT"), "--ca-file", Value(Env, "CA_CERT"),
            "-u", Value(Env, "POP3_USER"), "--timeout", "10"};
  }
  std::vector<std::string> PasswordEnv() const { return {"QM_PASSWORD=" + Value(Env, "POP3_PASSWORD")}; }
  TRun Fetch(std::vector<std::string> AArgs) const {
    std::vector<std::string> Args = {"fetch"};
    const auto L = Login();
    Args.insert(Args.end(), L.begin(), L.end());
    Args.insert(Args.end(), AArgs.begin(), AArgs.end());
    return RunQm(Args, PasswordEnv());
  }
  // The stored messages as POP3 can hand them out: a last line without a
  // line break gets one (the protocol cannot tell that it had none).
  std::vector<std::string> Stored() const {
    std::vector<std::string> Texts;
    for (const auto& File : MaildirFiles(Value(Env, "POP3_MAILDIR"))) {
      Texts.push_back(ReadFile(File));
      if (!Texts.back().empty() && Texts.back().back() != '\n') Texts.back() += '\n';
    }
    return Texts;
  }

  TestServers Servers;
  ServerEnv Env;
  fs::path Work;
};

TEST_F(ToolFetch, MaildirAndMboxHoldTheBytesDovecotStores) {
  const std::vector<std::string> Expected = Stored();
  ASSERT_EQ(Expected.size(), 5u);

  const TRun ToMaildir = Fetch({"--all", "--maildir", (Work / "inbox").string()});
  ASSERT_EQ(ToMaildir.Status, 0) << ToMaildir.Err;
  EXPECT_EQ(ToMaildir.Out, "5 messages fetched into the maildir " + (Work / "inbox").string() + "\n");
  std::vector<std::string> Got;
  for (const auto& File : MaildirFiles(Work / "inbox")) Got.push_back(ReadFile(File));
  ExpectSameTexts(Got, Expected);
  EXPECT_TRUE(fs::is_empty(Work / "inbox" / "tmp"));

  const TRun ToMbox = Fetch({"--all", "--mbox", (Work / "inbox.mbox").string()});
  ASSERT_EQ(ToMbox.Status, 0) << ToMbox.Err;
  const std::string Mbox = ReadFile(Work / "inbox.mbox");
  ExpectSameTexts(MboxMessages(Mbox), Expected);
  EXPECT_NE(Mbox.find("\nFrom bounce@qm.test "), std::string::npos);
  EXPECT_NE(Mbox.find("\n>From the start.\n>>From quoted once.\n>>>From twice.\n"), std::string::npos);

  // One message to stdout, as stored.
  const TRun One = Fetch({"-m", "4"});
  ASSERT_EQ(One.Status, 0) << One.Err;
  EXPECT_TRUE(One.Out == Expected[3]) << One.Out;
  // Nothing was deleted.
  EXPECT_EQ(Stored().size(), 5u);
}

TEST_F(ToolFetch, ListTopAndOnlyNewThenDelete) {
  const std::vector<std::string> Expected = Stored();
  const TRun List = Fetch({"--list"});
  ASSERT_EQ(List.Status, 0) << List.Err;
  const auto Rows = SplitLines(List.Out);
  ASSERT_EQ(Rows.size(), 5u) << List.Out;
  std::vector<std::string> Ids;
  for (size_t I = 0; I < Rows.size(); ++I) {
    std::istringstream Row(Rows[I]);
    int Number = 0;
    size_t Size = 0;
    std::string Id;
    Row >> Number >> Size >> Id;
    EXPECT_EQ(Number, static_cast<int>(I) + 1);
    // POP3 counts CR LF line ends (and none after an unended last line).
    const std::string File = ReadFile(MaildirFiles(Value(Env, "POP3_MAILDIR"))[I]);
    EXPECT_EQ(Size, File.size() + static_cast<size_t>(std::count(File.begin(), File.end(), '\n')));
    Ids.push_back(Id);
  }

  const TRun Top = Fetch({"--top", "4", "--lines", "1"});
  ASSERT_EQ(Top.Status, 0) << Top.Err;
  EXPECT_EQ(Top.Out, Expected[3].substr(0, Expected[3].find("\n\n") + 2) + "From the start.\n");

  const std::string Maildir = (Work / "new-only").string();
  const TRun First = Fetch({"--only-new", "--maildir", Maildir});
  ASSERT_EQ(First.Status, 0) << First.Err;
  EXPECT_EQ(MaildirFiles(Maildir).size(), 5u);
  const TRun Again = Fetch({"--only-new", "--maildir", Maildir});
  ASSERT_EQ(Again.Status, 0) << Again.Err;
  EXPECT_EQ(Again.Out.rfind("0 messages fetched", 0), 0u) << Again.Out;
  EXPECT_EQ(MaildirFiles(Maildir).size(), 5u);

  const fs::path Late = Work / "late.eml";
  WriteFile(Late, "From: late@qm.test\nSubject: late\n\narrived later\n");
  Servers.RunScript("fill-maildir.sh", {Late.string()});
  const TRun Third = Fetch({"--only-new", "--maildir", Maildir, "--delete"});
  ASSERT_EQ(Third.Status, 0) << Third.Err;
  const auto Files = MaildirFiles(Maildir);
  ASSERT_EQ(Files.size(), 6u);
  EXPECT_EQ(ReadFile(Files.back()), ReadFile(Late));
  // Only the new message was deleted; the others keep their ids.
  ExpectSameTexts(Stored(), Expected);
  const TRun Listed = Fetch({"--list"});
  std::vector<std::string> IdsAfter;
  for (const auto& Row : SplitLines(Listed.Out)) IdsAfter.push_back(Row.substr(Row.rfind(' ') + 1));
  EXPECT_EQ(IdsAfter, Ids);

  const TRun All = Fetch({"--all", "--delete", "--mbox", (Work / "all.mbox").string()});
  ASSERT_EQ(All.Status, 0) << All.Err;
  EXPECT_NE(All.Out.find("and deleted on the server"), std::string::npos);
  ExpectSameTexts(MboxMessages(ReadFile(Work / "all.mbox")), Expected);
  EXPECT_TRUE(Stored().empty());
  EXPECT_TRUE(Fetch({"--list"}).Out.empty());
}

// ------------------------------------------------------------------- qm mime

constexpr const char* kMultipart =
    "From: Alice <alice@qm.test>\n"
    "To: Bob <bob@qm.test>\n"
    "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Sch=C3=B6n.\n"
    "--inner\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<p>Sch\xC3\xB6n.</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: application/octet-stream; name=\"data.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"../../escape.bin\"\n"
    "\n"
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "--outer\n"
    "Content-Type: text/plain; name=\"notes.txt\"\n"
    "Content-Disposition: attachment; filename=\"notes.txt\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "bm90ZXMK\n"
    "--outer\n"
    "Content-Type: application/octet-stream\n"
    "Content-Disposition: attachment; filename=\".hidden\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "aGlkZGVu\n"
    "--outer--\n";

TEST(ToolMime, TreeTextAndAttachmentsUnderSafeNames) {
  char Dir[] = "/tmp/qm-mime-XXXXXX";
  ASSERT_NE(mkdtemp(Dir), nullptr);
  const fs::path Work = Dir;
  WriteFile(Work / "m.eml", kMultipart);

  const TRun Tree = RunQm({"mime", (Work / "m.eml").string()});
  ASSERT_EQ(Tree.Status, 0) << Tree.Err;
  EXPECT_NE(Tree.Out.find("Subject: Gr\xC3\xBC\xC3\x9F" "e\n"), std::string::npos) << Tree.Out;
  EXPECT_NE(Tree.Out.find("\nmultipart/mixed\n  multipart/alternative\n    text/plain  charset=utf-8  quoted-printable"),
            std::string::npos)
      << Tree.Out;
  EXPECT_NE(Tree.Out.find("    text/html  charset=utf-8"), std::string::npos) << Tree.Out;
  EXPECT_NE(Tree.Out.find("  application/octet-stream  base64  32 bytes  attachment  \".._.._escape.bin\""),
            std::string::npos)
      << Tree.Out;

  const TRun Text = RunQm({"mime", "--text", "-"}, {}, (Work / "m.eml").string());
  ASSERT_EQ(Text.Status, 0) << Text.Err;
  EXPECT_EQ(Text.Out, "<p>Sch\xC3\xB6n.</p>\n");

  const fs::path Out = Work / "out";
  for (int Round = 0; Round < 2; ++Round) {
    const TRun Extract = RunQm({"mime", "--extract", Out.string(), (Work / "m.eml").string()});
    ASSERT_EQ(Extract.Status, 0) << Extract.Err;
    EXPECT_EQ(SplitLines(Extract.Out).size(), 3u) << Extract.Out;
  }
  // Nothing outside the folder, nothing hidden, nothing replaced.
  std::vector<std::string> Names;
  for (const auto& E : fs::directory_iterator(Out)) Names.push_back(E.path().filename().string());
  std::sort(Names.begin(), Names.end());
  EXPECT_EQ(Names, (std::vector<std::string>{"_.._escape-1.bin", "_.._escape.bin", "hidden", "hidden-1", "notes-1.txt",
                                             "notes.txt"}));
  std::string Bytes;
  for (int I = 0; I < 32; ++I) Bytes += static_cast<char>(I);
  EXPECT_EQ(ReadFile(Out / "_.._escape.bin"), Bytes);
  EXPECT_EQ(ReadFile(Out / "notes.txt"), "notes\n");
  EXPECT_FALSE(fs::exists(Work.parent_path() / "escape.bin"));
  fs::remove_all(Work);
}

}  // namespace
}  // namespace qm
