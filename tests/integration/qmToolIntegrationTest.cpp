// The qm program against postfix and dovecot, run as a user runs it: its
// exit status, what it prints, what the servers received and stored.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <tuple>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/qmVersion.h"
#include "message/qmMailMessage.h"
#include "message/qmMboxReader.h"
#include "tests/integration/qmRunProgram.h"
#include "tests/integration/qmTestServers.h"
#include "tests/net/qmNetTestUtil.h"
#include "tools/qm/qmCliSecurity.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Port;
using test::ServerEnv;
using test::ShellQuote;
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
// stdin (with APiped, a pipe from that file, which cannot seek).
TRun RunQm(const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv = {},
           const std::string& AStdin = "/dev/null", bool APiped = false) {
#ifndef QM_TOOL_PATH
  ADD_FAILURE() << "the qm tool is not built (QM_BUILD_TOOLS=OFF?)";
  return {};
#else
  if (!APiped) return test::RunProgram(QM_TOOL_PATH, AArgs, AEnv, AStdin);
  std::vector<std::string> Args = {"-c", "cat \"$0\" | \"$@\"", AStdin, QM_TOOL_PATH};
  Args.insert(Args.end(), AArgs.begin(), AArgs.end());
  return test::RunProgram("/bin/sh", Args, AEnv);
#endif
}

// A text of about ASize bytes whose lines are what mail storage and
// transfer treat apart: dots, "From " and ">From " starts, 8-bit bytes,
// lengths that put line ends across every block boundary.
std::string TrickyBody(size_t ASize) {
  static const char* const Starts[] = {"", ".", "From ", ">From ", "..", ">>From x", "Fro", "caf\xc3\xa9 "};
  std::string Body;
  for (size_t I = 0; Body.size() < ASize; ++I)
    Body += Starts[I % 8] + std::string(I % 97, static_cast<char>('a' + I % 26)) + "\n";
  return Body;
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
      // Addresses are checked before anything connects (nothing listens on
      // port 1).
      {{"send", "-s", "127.0.0.1", "-p", "1", "--from", "a@qm.test", "--to", "not an address"}, "qm send"},
      {{"send", "-s", "127.0.0.1", "-p", "1", "--from", "a@qm.test", "--cc", "a@qm.test b@qm.test"}, "qm send"},
      {{"send", "-s", "127.0.0.1", "-p", "1", "--from", "Alice <alice@>", "--to", "a@qm.test"}, "qm send"},
      {{"fetch", "-s", "127.0.0.1", "--port", "0"}, "qm fetch"},
      {{"fetch", "-s", "127.0.0.1", "--all"}, "qm fetch"},
      {{"fetch", "-s", "127.0.0.1", "--maildir", "a", "--mbox", "b", "--all"}, "qm fetch"},
      {{"fetch", "-s", "127.0.0.1", "--ca-file", "/etc/hostname", "--insecure"}, "qm fetch"},
      {{"mime", "/no/such/message.eml"}, "qm mime"},
      {{"mime"}, "qm mime"},
      {{"dkim"}, "qm dkim"},
      {{"dkim", "frobnicate"}, "qm dkim"},
      {{"dkim", "keygen", "-d", "qm.test", "-s", "sel", "-k", "/tmp/never.pem", "-b", "512"}, "qm dkim keygen"},
      {{"dkim", "keygen", "-d", "qm.test", "-s", "sel", "-k", "/tmp/never.pem", "-t", "dsa"}, "qm dkim keygen"},
      {{"dkim", "sign", "-d", "qm.test", "-s", "sel", "-"}, "qm dkim sign"},
      {{"dkim", "sign", "-d", "qm.test", "-s", "sel", "-k", "/no/such/key.pem", "-"}, "qm dkim sign"},
      {{"dkim", "verify", "-", "--record", "v=DKIM1; p=", "--key-file", "/etc/hostname"}, "qm dkim verify"},
      {{"dns"}, "qm dns"},
      {{"dns", "srv", "qm.test"}, "qm dns"},
      {{"dns", "txt"}, "qm dns txt"},
      {{"dns", "txt", "qm.test", "--server", "127.0.0.1:99999"}, "qm dns txt"},
      {{"dns", "txt", "qm.test", "--server", "[::1"}, "qm dns txt"},
      {{"dns", "mx", "qm.test", "--timeout", "0"}, "qm dns mx"},
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
       {std::vector<std::string>{"--help"}, {"send", "--help"}, {"fetch", "--help"}, {"mime", "--help"},
        {"dkim", "--help"}, {"dkim", "keygen", "--help"}, {"dkim", "record", "--help"}, {"dkim", "sign", "--help"},
        {"dkim", "verify", "--help"}, {"dns", "--help"}, {"dns", "mx", "--help"}}) {
    const TRun Run = RunQm(Args);
    EXPECT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_NE(Run.Out.find("Usage: qm"), std::string::npos) << Run.Out;
  }
  EXPECT_NE(RunQm({"send", "--help"}).Out.find("--password-file"), std::string::npos);
  EXPECT_NE(RunQm({"fetch", "--help"}).Out.find("--only-new"), std::string::npos);
  EXPECT_NE(RunQm({"dkim", "verify", "--help"}).Out.find("--dns-server"), std::string::npos);
  EXPECT_NE(RunQm({"dns", "--help"}).Out.find("--tcp"), std::string::npos);
  const TRun Version = RunQm({"--version"});
  EXPECT_EQ(Version.Status, 0);
  EXPECT_EQ(Version.Out, std::string("qm ") + QM_VERSION_STRING + "\n");
}

// ------------------------------------------------------------------- qm send

class ToolSend : public test::PostfixAndDovecotSuite {
 protected:
  static std::vector<std::string> Connection(const std::string& ASecurity, const std::string& APortKey) {
    return {"--server", "127.0.0.1", "--port", Value(Env, APortKey), "--security", ASecurity,
            "--ca-file", Value(Env, "CA_CERT"), "--timeout", "10"};
  }
  static std::vector<std::string> Join(std::vector<std::string> A, const std::vector<std::string>& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
  }
};

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
      // Submission: STARTTLS required before anything else, as on 587.
      {"auto", "SUBMISSION_PORT", {"--oauth2"}, {"QM_PASSWORD=" + Token}, true},
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

// A message piped in is streamed through a spool file: it arrives byte for
// byte; a spool that does not fit is a failure, never a shorter message.
TEST_F(ToolSend, PipedMessageArrivesWholeAndAFullSpoolFails) {
  const fs::path Eml = Servers->StateDir() / "piped.eml";
  const std::string Header = "From: Piped <piped@qm.test>\nTo: " + Value(Env, "SMTP_RCPT") +
                             "\nSubject: piped-big\nDate: Tue, 8 Dec 2026 10:00:00 +0000\n"
                             "Message-ID: <piped-big@qm.test>\nContent-Type: text/plain; charset=utf-8\n"
                             "Content-Transfer-Encoding: 8bit\n";
  const std::string Body = "\n" + TrickyBody(3 << 20), Text = Header + Body;
  WriteFile(Eml, Text);
  const std::vector<std::string> Args = Join({"send", "--eml", "-", "-u", Value(Env, "SMTP_USER")},
                                             Connection("explicit", "SMTP_PORT"));
  const std::string Password = "QM_PASSWORD=" + Value(Env, "SMTP_PASSWORD");
  const TRun Run = RunQm(Args, {Password}, Eml.string(), true);
  ASSERT_EQ(Run.Status, 0) << Run.Err;
  const std::string Delivered = WaitForDelivery(Value(Env, "SMTP_MAILDIR"), "Subject: piped-big");
  // Postfix puts its trace fields on top, the client its X-Mailer field last.
  const std::string Sent = Header + "X-Mailer: Quillmark Internet Suite\n" + Body;
  ASSERT_GE(Delivered.size(), Sent.size());
  ExpectSameTexts({Delivered.substr(Delivered.size() - Sent.size())}, {Sent});

  const fs::path Small = Servers->StateDir() / "small-tmp";
  fs::create_directories(Small);
  ASSERT_EQ(std::system(("mount -t tmpfs -o size=256k tmpfs " + Small.string()).c_str()), 0);
  const TRun Full = RunQm(Args, {Password, "TMPDIR=" + Small.string()}, Eml.string(), true);
  std::system(("umount " + Small.string()).c_str());
  EXPECT_EQ(Full.Status, 1);
  ExpectOneLine(Full, "qm send");
  EXPECT_NE(Full.Err.find("spooling the message from stdin to " + Small.string() + ": No space left on device"),
            std::string::npos) << Full.Err;
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
  // The remedy is named.
  EXPECT_NE(Refused.Err.find("--ca-file"), std::string::npos) << Refused.Err;
  EXPECT_NE(Refused.Err.find("--insecure"), std::string::npos) << Refused.Err;
  const TRun Insecure = RunQm(Join({"send", "-s", "127.0.0.1", "-p", Value(Env, "SMTPS_PORT"), "--security",
                                    "implicit", "--insecure", "--timeout", "10"},
                                   Message));
  EXPECT_EQ(Insecure.Status, 0) << Insecure.Err;
}

TEST_F(ToolSend, RefusedRecipientsAreSkippedAndListedWithStatusThree) {
  const fs::path Dir = Servers->StateDir();
  WriteFile(Dir / "report.pdf", "%PDF-1.4 not really\n");
  WriteFile(Dir / "Chart.PNG", "\x89PNG not really");
  WriteFile(Dir / "blob.qmunknown", "bytes");
  const std::vector<std::string> Base = Join({"send"}, Connection("explicit", "SMTP_PORT"));
  const std::string Good = Value(Env, "SMTP_RCPT");
  // Other qm.test recipients get 550 from postfix.
  const TRun Skipped = RunQm(Join(Base, {"--from", "sender@qm.test", "--to", Good, "--to", "nobody@qm.test", "--cc",
                                         "Also Nobody <nobody2@qm.test>", "--subject", "partly delivered",
                                         "--skip-failed-recipients", "-a", (Dir / "report.pdf").string(), "-a",
                                         (Dir / "Chart.PNG").string(), "-a", (Dir / "blob.qmunknown").string()}));
  EXPECT_EQ(Skipped.Status, 3) << Skipped.Err;
  const auto Lines = SplitLines(Skipped.Err);
  ASSERT_EQ(Lines.size(), 3u) << Skipped.Err;
  EXPECT_EQ(Lines[0].rfind("qm send: refused by 127.0.0.1:" + Value(Env, "SMTP_PORT") + ": nobody@qm.test: 550", 0),
            0u)
      << Lines[0];
  EXPECT_NE(Lines[1].find("<nobody2@qm.test>: 550"), std::string::npos) << Lines[1];
  EXPECT_EQ(Lines[2], "qm send: sent, but 2 recipient(s) refused (listed above)");
  const std::string Delivered = WaitForDelivery(Value(Env, "SMTP_MAILDIR"), "Subject: partly delivered");
  ASSERT_FALSE(Delivered.empty()) << "not delivered to the accepted recipient";
  // Attachment types follow the file names, as /etc/mime.types has them.
  EXPECT_NE(Delivered.find("Content-Type: application/pdf"), std::string::npos) << Delivered;
  EXPECT_NE(Delivered.find("Content-Type: image/png"), std::string::npos) << Delivered;
  EXPECT_NE(Delivered.find("Content-Type: application/octet-stream"), std::string::npos) << Delivered;

  // Without the option the first refusal ends the send; with it, nobody
  // accepted is a failure too.
  for (const bool Skip : {false, true}) {
    std::vector<std::string> Args = Join(Base, {"--from", "sender@qm.test", "--to", "nobody@qm.test", "--subject",
                                                "never delivered"});
    if (Skip) Args.push_back("--skip-failed-recipients");
    const TRun Failed = RunQm(Args);
    EXPECT_EQ(Failed.Status, 1) << Failed.Err;
    EXPECT_NE(Failed.Err.find("nobody@qm.test"), std::string::npos) << Failed.Err;
  }
}

TEST_F(ToolSend, AutoSecurityStartsTlsOnlyWhereOffered) {
  // Nothing is sent in plain text to a server that offers STARTTLS.
  const std::vector<std::string> Message = {"--from", "a@qm.test", "--to", Value(Env, "SMTP_RCPT"), "--subject",
                                            "auto over STARTTLS"};
  const TRun Offered = RunQm(Join(Join({"send", "-v"}, Connection("auto", "SMTP_PORT")), Message));
  EXPECT_EQ(Offered.Status, 0) << Offered.Err;
  EXPECT_NE(Offered.Err.find("> STARTTLS"), std::string::npos) << Offered.Err;
  EXPECT_LT(Offered.Err.find("> STARTTLS"), Offered.Err.find("> MAIL FROM")) << Offered.Err;

  // A server without STARTTLS: plain text.
  TestServers Own;
  const ServerEnv& Aio = Own.Start("aiosmtpd");
  WriteFile(Value(Aio, "AIOSMTPD_CONFIG"), R"({"ehlo": ["8BITMIME", "SIZE 1000000"]})");
  const TRun Plain = RunQm({"send", "-v", "-s", "127.0.0.1", "-p", Value(Aio, "AIOSMTPD_PORT"), "--security", "auto",
                            "--from", "a@qm.test", "--to", "b@qm.test", "--subject", "plain", "--timeout", "10"});
  EXPECT_EQ(Plain.Status, 0) << Plain.Err;
  EXPECT_EQ(Plain.Err.find("STARTTLS"), std::string::npos) << Plain.Err;

  // POP3: CAPA after the greeting, STLS when listed.
  const TRun Pop = RunQm({"fetch", "-v", "-s", "127.0.0.1", "-p", Value(Pop3, "POP3_PORT"), "--security", "auto",
                          "--ca-file", Value(Env, "CA_CERT"), "-u", Value(Pop3, "POP3_USER"), "--list", "--timeout",
                          "10"},
                         {"QM_PASSWORD=" + Value(Pop3, "POP3_PASSWORD")});
  EXPECT_EQ(Pop.Status, 0) << Pop.Err;
  EXPECT_NE(Pop.Err.find("> CAPA"), std::string::npos) << Pop.Err;
  EXPECT_LT(Pop.Err.find("> STLS"), Pop.Err.find("> USER")) << Pop.Err;
}

TEST(ToolCommandLine, SecurityAutoIsTlsFromTheStartOnlyOn465And995) {
  struct TCase {
    std::string Security;
    int Port;
    TqmClientTlsMode Mode;
    bool StartTlsWhenOffered;
  };
  const std::vector<TCase> Cases = {
      {"auto", 465, ctImplicit, false},     {"auto", 995, ctImplicit, false},    {"auto", 25, ctNone, true},
      {"auto", 587, ctNone, true},          {"auto", 110, ctNone, true},         {"auto", 2525, ctNone, true},
      {"implicit", 587, ctImplicit, false}, {"explicit", 465, ctExplicit, false}, {"none", 995, ctNone, false}};
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Security + " " + std::to_string(Case.Port));
    const cli::TTlsChoice Got = cli::ChooseTls(Case.Security, Case.Port);
    EXPECT_EQ(Got.Mode, Case.Mode);
    EXPECT_EQ(Got.StartTlsWhenOffered, Case.StartTlsWhenOffered);
  }
}

TEST_F(ToolSend, AutoSecurityOnPort995StartsWithTls) {
  // Port 995 of 127.0.0.1 (a name the test certificate carries) relayed to
  // dovecot's TLS-from-the-start listener, which never greets a client that
  // begins in plain text. Another run may hold the port for a moment.
  qmtest::TFd Listener;
  for (int Try = 0; Try < 50 && Listener < 0; ++Try) {
    try {
      int Port995 = 995;
      Listener = qmtest::BoundSocket("127.0.0.1", SOCK_STREAM, Port995);
    } catch (const std::runtime_error&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  ASSERT_GE(Listener, 0) << "127.0.0.1:995 stays taken";
  ASSERT_EQ(listen(Listener, 1), 0);
  sockaddr_in Target{};
  Target.sin_family = AF_INET;
  Target.sin_port = htons(static_cast<uint16_t>(Port(Pop3, "POP3S_PORT")));
  Target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  qmtest::TServerThread Relay([&] {
    qmtest::TFd Client = qmtest::AcceptOne(Listener);
    qmtest::TFd Server(socket(AF_INET, SOCK_STREAM, 0));
    if (Client < 0 || connect(Server, reinterpret_cast<sockaddr*>(&Target), sizeof Target) != 0) return;
    pollfd Ends[2] = {{Client, POLLIN, 0}, {Server, POLLIN, 0}};
    char Buffer[16384];
    while (poll(Ends, 2, 10000) > 0) {
      const int From = Ends[0].revents != 0 ? 0 : 1;
      const ssize_t N = recv(Ends[From].fd, Buffer, sizeof Buffer, 0);
      if (N <= 0 || !qmtest::SendAll(Ends[1 - From].fd, Buffer, static_cast<size_t>(N))) break;
    }
  });
  const TRun Fetch = RunQm({"fetch", "-v", "-s", "127.0.0.1", "-p", "995", "--security", "auto", "--ca-file",
                            Value(Env, "CA_CERT"), "-u", Value(Pop3, "POP3_USER"), "--list", "--timeout", "10"},
                           {"QM_PASSWORD=" + Value(Pop3, "POP3_PASSWORD")});
  EXPECT_EQ(Fetch.Status, 0) << Fetch.Err;
  EXPECT_NE(Fetch.Err.find("> USER"), std::string::npos) << Fetch.Err;
  // Nothing asked about STLS: the session was in TLS already.
  EXPECT_EQ(Fetch.Err.find("> CAPA"), std::string::npos) << Fetch.Err;
}

TEST_F(ToolSend, SilentPortsAndTlsMismatchesNameTheRemedy) {
  // A port that takes connections and says nothing.
  int SilentPort = 0;
  qmtest::TFd Silent = qmtest::Listener("127.0.0.1", SilentPort);
  const std::string Port = std::to_string(SilentPort);
  // And one that takes the connection and closes it at once.
  int CloserPort = 0;
  qmtest::TFd Closer = qmtest::Listener("127.0.0.1", CloserPort);
  qmtest::TServerThread Closing([&] { qmtest::TFd Connection = qmtest::AcceptOne(Closer); });
  const std::vector<std::string> Message = {"--from", "a@qm.test", "--to", "b@qm.test"};
  struct TCase {
    std::vector<std::string> Args;
    std::string Says;
  };
  const std::vector<TCase> Cases = {
      {Join({"send", "-s", "127.0.0.1", "-p", Port, "--security", "none", "--timeout", "1"}, Message),
       "reading the greeting of 127.0.0.1:" + Port + ": Timeout error occured (port " + Port +
           " took the connection but sent no SMTP greeting within 1 s"},
      {{"fetch", "-s", "127.0.0.1", "-p", Port, "--security", "none", "--timeout", "1", "--list"},
       "sent no POP3 greeting within 1 s"},
      {{"fetch", "-s", "127.0.0.1", "-p", std::to_string(CloserPort), "--security", "none", "--timeout", "1", "--list"},
       "the server closed the connection without a POP3 greeting; is a POP3 server listening on port " +
           std::to_string(CloserPort)},
      {Join({"send", "-s", "127.0.0.1", "-p", Port, "--security", "implicit", "--timeout", "1"}, Message),
       "no answer within 1 s: check the host name, the port and any firewall; if TLS starts with a command on port " +
           Port + ", use --security explicit or auto"},
      // TLS from the start to a port where it starts by command.
      {Join({"send", "-s", "127.0.0.1", "-p", Value(Env, "SMTP_PORT"), "--security", "implicit", "--timeout", "10"},
            Message),
       "does not start with TLS; use --security explicit (STARTTLS) or auto"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(testing::PrintToString(Case.Args));
    const TRun Run = RunQm(Case.Args);
    EXPECT_EQ(Run.Status, 1);
    ExpectOneLine(Run, "qm " + Case.Args[0]);
    EXPECT_NE(Run.Err.find(Case.Says), std::string::npos) << Run.Err;
    EXPECT_LT(Run.Seconds, 5);
  }
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

// ----------------------------------------------------------- qm dkim, qm dns

// Keys made by qm dkim keygen and published in dnsmasq, with records of
// every type qm dns looks up.
class ToolDkimDns : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Work = Servers->StateDir() / "dkim";
    fs::create_directories(Work);
    std::string Records =
        "auth-server=ns.qm.test,127.0.0.1\nauth-zone=qm.test\n"
        "auth-soa=2024010101,hostmaster.qm.test,1200,120,604800\n"
        "txt-record=two.qm.test,\"first\"\ntxt-record=two.qm.test,\"part one \",\"part two\"\n"
        "txt-record=xn--bcher-kva.qm.test,\"idn\"\n"
        "host-record=host.qm.test,192.0.2.10,2001:db8::10\nhost-record=host.qm.test,192.0.2.9\n"
        "mx-host=qm.test,mail.qm.test,10\nmx-host=qm.test,backup.qm.test,5\n"
        "cname=alias.qm.test,host.qm.test\n";
    for (const auto& [Selector, Type] : {std::pair<std::string, std::string>{"rsa", "rsa"}, {"ed", "ed25519"}}) {
      const TRun Keygen = RunQm({"dkim", "keygen", "-t", Type, "-d", "qm.test", "-s", Selector, "-k",
                                 (Work / (Selector + ".pem")).string()});
      ASSERT_EQ(Keygen.Status, 0) << Keygen.Err;
      KeygenOutput[Selector] = Keygen.Out;
      // The public half as openssl derives it, for `record` and `verify -k`:
      // made here because ctest runs each test in a process of its own.
      std::string Output;
      ASSERT_EQ(test::RunCommand("openssl pkey -in " + ShellQuote((Work / (Selector + ".pem")).string()) +
                                     " -pubout -out " + ShellQuote((Work / (Selector + ".pub")).string()),
                                 Output),
                0)
          << Output;
      Records += "txt-record=" + Selector + "._domainkey.qm.test," + ZoneStrings(Keygen.Out) + "\n";
    }
    WriteFile(Work / "records.conf", Records);
    DnsServer = "127.0.0.1:" + Value(Servers->Start("dnsmasq", {"--records", (Work / "records.conf").string()}),
                                     "DNS_PORT");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }

  // The quoted strings of a zone file line, joined by "," as dnsmasq reads them.
  static std::string ZoneStrings(const std::string& ALine) {
    const size_t First = ALine.find('"');
    const size_t Last = ALine.rfind('"');
    if (First == std::string::npos || Last == First) return {};
    std::string Strings = ALine.substr(First, Last - First + 1);
    for (size_t At = Strings.find("\" \""); At != std::string::npos; At = Strings.find("\" \"", At))
      Strings.replace(At, 3, "\",\"");
    return Strings;
  }

  static fs::path Message(const std::string& AName, const std::string& ABreak) {
    std::string Text = "From: Writer <writer@qm.test>\nTo: reader@qm.test\nSubject: signed by qm\n"
                       "Date: Mon, 7 Dec 2026 10:00:00 +0000\nMIME-Version: 1.0\n"
                       "Content-Type: text/plain; charset=utf-8\n\nHello  there,\n\n  indented\n.\n\n\n";
    std::string Converted;
    for (char C : Text) Converted += C == '\n' ? ABreak : std::string(1, C);
    WriteFile(Work / AName, Converted);
    return Work / AName;
  }

  static TRun Sign(const std::string& ASelector, const fs::path& AMessage, std::vector<std::string> AMore = {}) {
    std::vector<std::string> Args = {"dkim", "sign", "-d", "qm.test", "-s", ASelector, "-k",
                                     (Work / (ASelector + ".pem")).string(), AMessage.string()};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return RunQm(Args);
  }

  static TRun Verify(const fs::path& AMessage, std::vector<std::string> AMore = {}) {
    std::vector<std::string> Args = {"dkim", "verify", AMessage.string(), "--dns-server", DnsServer};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return RunQm(Args);
  }

  // dkimpy, with its key lookups sent to our dnsmasq: "ok" or its complaint.
  static std::string PythonVerify(const fs::path& AMessage) {
    const std::string Script =
        "import sys, dkim, dns.resolver\n"
        "r = dns.resolver.Resolver(configure=False)\n"
        "r.nameservers = ['127.0.0.1']\n"
        "r.port = int(sys.argv[2])\n"
        "def lookup(name, timeout=5):\n"
        "    a = r.resolve(name.decode().rstrip('.'), 'TXT', lifetime=timeout)\n"
        "    return b''.join(b''.join(x.strings) for x in a)\n"
        "d = dkim.DKIM(open(sys.argv[1], 'rb').read())\n"
        "print('ok' if d.verify(dnsfunc=lookup) else 'refused')\n";
    const TRun Run = test::RunProgram("/usr/bin/python3", {"-c", Script, AMessage.string(),
                                                           DnsServer.substr(DnsServer.find(':') + 1)});
    return Run.Status == 0 ? Run.Out.substr(0, Run.Out.find('\n')) : Run.Err;
  }

  static TestServers* Servers;
  static fs::path Work;
  static std::string DnsServer;
  static std::map<std::string, std::string> KeygenOutput;
};
TestServers* ToolDkimDns::Servers = nullptr;
fs::path ToolDkimDns::Work;
std::string ToolDkimDns::DnsServer;
std::map<std::string, std::string> ToolDkimDns::KeygenOutput;

TEST_F(ToolDkimDns, KeygenWritesAPrivateKeyAndTheRecordToPublish) {
  for (const auto& [Selector, Type] : {std::pair<std::string, std::string>{"rsa", "rsa"}, {"ed", "ed25519"}}) {
    SCOPED_TRACE(Selector);
    const std::string& Line = KeygenOutput[Selector];
    EXPECT_EQ(Line.rfind(Selector + "._domainkey.qm.test. IN TXT \"v=DKIM1; k=" + Type + "; p=", 0), 0u) << Line;
    // Character strings of at most 255 bytes; a 2048-bit key needs two.
    std::string Joined;
    for (size_t Start = 1; Start < Line.size();) {
      const size_t Open = Line.find('"', Start);
      if (Open == std::string::npos) break;
      const size_t Close = Line.find('"', Open + 1);
      EXPECT_LE(Close - Open - 1, 255u);
      Joined += Line.substr(Open + 1, Close - Open - 1);
      Start = Close + 1;
    }
    if (Type == "rsa") {
      EXPECT_GT(Joined.size(), 255u);
    }
    // qm dkim record gives the same text for the key file, and for the
    // public key openssl derives from it.
    const fs::path Key = Work / (Selector + ".pem");
    EXPECT_EQ((fs::status(Key).permissions() & fs::perms::all), fs::perms::owner_read | fs::perms::owner_write);
    const TRun Record = RunQm({"dkim", "record", "-k", Key.string(), "-d", "qm.test", "-s", Selector, "--raw"});
    ASSERT_EQ(Record.Status, 0) << Record.Err;
    EXPECT_EQ(Record.Out, Joined + "\n");
    const TRun Public = RunQm({"dkim", "record", "-k", (Work / (Selector + ".pub")).string(), "-d", "x", "-s", "y",
                               "--raw"});
    EXPECT_EQ(Public.Out, Joined + "\n") << Public.Err;
  }
  // An existing key file is never replaced.
  const std::string Before = ReadFile(Work / "rsa.pem");
  const TRun Again = RunQm({"dkim", "keygen", "-d", "qm.test", "-s", "rsa", "-k", (Work / "rsa.pem").string()});
  EXPECT_EQ(Again.Status, 1);
  ExpectOneLine(Again, "qm dkim keygen");
  EXPECT_EQ(ReadFile(Work / "rsa.pem"), Before);
}

TEST_F(ToolDkimDns, SignedMessagesVerifyThroughDnsAndOffline) {
  for (const std::string Break : {"\n", "\r\n"}) {
    SCOPED_TRACE(Break.size());
    const fs::path Plain = Message("plain.eml", Break);
    const TRun Rsa = Sign("rsa", Plain, {"-c", "simple/simple", "-H", "From:To:Subject:Date"});
    ASSERT_EQ(Rsa.Status, 0) << Rsa.Err;
    // The message follows the new field byte for byte, with its line breaks.
    EXPECT_EQ(Rsa.Out.rfind("DKIM-Signature: v=1; a=rsa-sha256; d=qm.test; s=rsa; c=simple/simple;" + Break, 0), 0u)
        << Rsa.Out;
    const std::string Original = ReadFile(Plain);
    ASSERT_GT(Rsa.Out.size(), Original.size());
    EXPECT_EQ(Rsa.Out.substr(Rsa.Out.size() - Original.size()), Original);
    WriteFile(Work / "rsa.eml", Rsa.Out);
    // The second signature comes from stdin and goes to a file.
    const TRun Ed = RunQm({"dkim", "sign", "-d", "qm.test", "-s", "ed", "-k", (Work / "ed.pem").string(), "-", "-o",
                           (Work / "both.eml").string()},
                          {}, (Work / "rsa.eml").string());
    ASSERT_EQ(Ed.Status, 0) << Ed.Err;
    EXPECT_TRUE(Ed.Out.empty());

    const TRun Checked = Verify(Work / "both.eml");
    EXPECT_EQ(Checked.Status, 0) << Checked.Err;
    EXPECT_EQ(Checked.Out,
              "pass d=qm.test s=ed a=ed25519-sha256 c=relaxed/relaxed\n"
              "pass d=qm.test s=rsa a=rsa-sha256 c=simple/simple\n");
    EXPECT_TRUE(Checked.Err.empty()) << Checked.Err;
    const TRun Tcp = Verify(Work / "both.eml", {"--tcp"});
    EXPECT_EQ(Tcp.Out, Checked.Out) << Tcp.Err;
  }
  // Offline: the key for every signature, from a key file or a record;
  // the other key does not fit the other signature.
  const TRun ByFile = RunQm({"dkim", "verify", (Work / "rsa.eml").string(), "-k", (Work / "rsa.pub").string()});
  EXPECT_EQ(ByFile.Status, 0) << ByFile.Err;
  EXPECT_EQ(ByFile.Out, "pass d=qm.test s=rsa a=rsa-sha256 c=simple/simple\n");
  const std::string EdRecord =
      RunQm({"dkim", "record", "-k", (Work / "ed.pem").string(), "-d", "qm.test", "-s", "ed", "--raw"}).Out;
  const TRun ByRecord =
      RunQm({"dkim", "verify", (Work / "both.eml").string(), "--record", EdRecord.substr(0, EdRecord.size() - 1)});
  EXPECT_EQ(ByRecord.Status, 0) << ByRecord.Err;
  EXPECT_EQ(ByRecord.Out.rfind("pass d=qm.test s=ed ", 0), 0u) << ByRecord.Out;
  EXPECT_NE(ByRecord.Out.find("\npermerror d=qm.test s=rsa "), std::string::npos) << ByRecord.Out;
}

TEST_F(ToolDkimDns, BrokenAndUncheckableSignaturesEachGetALine) {
  const TRun Signed = Sign("rsa", Message("plain.eml", "\n"));
  ASSERT_EQ(Signed.Status, 0) << Signed.Err;
  WriteFile(Work / "signed.eml", Signed.Out);
  const auto Tampered = [&](const std::string& AFrom, const std::string& ATo) {
    std::string Text = Signed.Out;
    const size_t At = Text.find(AFrom);
    EXPECT_NE(At, std::string::npos) << AFrom;
    if (At != std::string::npos) Text.replace(At, AFrom.size(), ATo);
    WriteFile(Work / "tampered.eml", Text);
    return Verify(Work / "tampered.eml");
  };
  const std::string Fields = " d=qm.test s=rsa a=rsa-sha256 c=relaxed/relaxed: ";

  TRun Run = Tampered("Hello  there", "Hello there!");
  EXPECT_EQ(Run.Status, 1);
  EXPECT_EQ(Run.Out, "fail" + Fields + "Body hash values differ\n");
  ExpectOneLine(Run, "qm dkim verify");
  EXPECT_NE(Run.Err.find("1 of 1 signature does not match the message"), std::string::npos) << Run.Err;

  Run = Tampered("Subject: signed by qm", "Subject: signed by someone");
  EXPECT_EQ(Run.Status, 1);
  EXPECT_EQ(Run.Out.rfind("fail" + Fields, 0), 0u) << Run.Out;

  // Relaxed canonicalization: white space changes inside lines are allowed.
  Run = Tampered("Subject: signed by qm", "Subject:   signed  by qm");
  EXPECT_EQ(Run.Status, 0) << Run.Out << Run.Err;

  Run = Tampered("s=rsa;", "s=nokey;");
  EXPECT_EQ(Run.Status, 1);
  EXPECT_EQ(Run.Out, "permerror d=qm.test s=nokey a=rsa-sha256 c=relaxed/relaxed: looking up the key "
                     "nokey._domainkey.qm.test at " + DnsServer + ": No such name (NXDOMAIN)\n");
  EXPECT_NE(Run.Err.find("no signature verifies"), std::string::npos) << Run.Err;

  // A good signature beside a broken one: the message is not taken as verified.
  const TRun Both = Sign("ed", Work / "signed.eml");
  ASSERT_EQ(Both.Status, 0) << Both.Err;
  std::string Text = Both.Out;
  const size_t Bh = Text.find("bh=", Text.find("s=rsa;"));
  ASSERT_NE(Bh, std::string::npos);
  Text[Bh + 3] = Text[Bh + 3] == 'A' ? 'B' : 'A';
  WriteFile(Work / "half.eml", Text);
  Run = Verify(Work / "half.eml");
  EXPECT_EQ(Run.Status, 1);
  EXPECT_EQ(Run.Out, "pass d=qm.test s=ed a=ed25519-sha256 c=relaxed/relaxed\nfail" + Fields +
                         "Body hash values differ\n");

  // A silent name server: a temporary error, within the timeout.
  Run = RunQm({"dkim", "verify", (Work / "signed.eml").string(), "--dns-server",
               "127.0.0.1:" + std::to_string(UnusedPort()), "--timeout", "1"});
  EXPECT_EQ(Run.Status, 1);
  EXPECT_EQ(Run.Out.rfind("temperror" + Fields + "looking up the key rsa._domainkey.qm.test at 127.0.0.1:", 0), 0u)
      << Run.Out;
  EXPECT_LT(Run.Seconds, 5);

  Run = Verify(Message("plain.eml", "\n"));
  EXPECT_EQ(Run.Status, 1);
  EXPECT_TRUE(Run.Out.empty());
  ExpectOneLine(Run, "qm dkim verify");
  EXPECT_NE(Run.Err.find("no DKIM-Signature field"), std::string::npos) << Run.Err;
}

TEST_F(ToolDkimDns, PythonDkimAndQmVerifyEachOthersSignatures) {
  for (const std::string Selector : {"rsa", "ed"}) {
    for (const std::string Canonicalization : {"simple/simple", "relaxed/relaxed", "relaxed/simple"}) {
      SCOPED_TRACE(Selector + " " + Canonicalization);
      const TRun Signed = Sign(Selector, Message("plain.eml", "\r\n"), {"-c", Canonicalization});
      ASSERT_EQ(Signed.Status, 0) << Signed.Err;
      WriteFile(Work / "ours.eml", Signed.Out);
      EXPECT_EQ(PythonVerify(Work / "ours.eml"), "ok");
    }
  }
  // dkimpy signs with the key qm made; qm verifies through dnsmasq.
  const std::string Script =
      "import sys, dkim\n"
      "m = open(sys.argv[1], 'rb').read()\n"
      "k = open(sys.argv[2], 'rb').read()\n"
      "sys.stdout.buffer.write(dkim.sign(m, b'rsa', b'qm.test', k, canonicalize=(b'relaxed', b'simple'),\n"
      "    include_headers=[b'from', b'to', b'subject', b'date']) + m)\n";
  const TRun Theirs = test::RunProgram("/usr/bin/python3", {"-c", Script, Message("plain.eml", "\r\n").string(),
                                                            (Work / "rsa.pem").string()});
  ASSERT_EQ(Theirs.Status, 0) << Theirs.Err;
  WriteFile(Work / "theirs.eml", Theirs.Out);
  const TRun Checked = Verify(Work / "theirs.eml");
  EXPECT_EQ(Checked.Status, 0) << Checked.Out << Checked.Err;
  EXPECT_EQ(Checked.Out, "pass d=qm.test s=rsa a=rsa-sha256 c=relaxed/simple\n");
  // And their signature over a changed body fails with us too.
  std::string Changed = Theirs.Out;
  Changed.replace(Changed.find("indented"), 8, "Indented");
  WriteFile(Work / "theirs.eml", Changed);
  EXPECT_EQ(Verify(Work / "theirs.eml").Out.rfind("fail d=qm.test s=rsa", 0), 0u);
  EXPECT_NE(PythonVerify(Work / "theirs.eml"), "ok");
}

TEST_F(ToolDkimDns, LookupsPrintWhatDnsmasqServes) {
  const auto Dns = [&](const std::string& AType, const std::string& AName, std::vector<std::string> AMore = {}) {
    std::vector<std::string> Args = {"dns", AType, AName, "--server", DnsServer};
    Args.insert(Args.end(), AMore.begin(), AMore.end());
    return RunQm(Args);
  };
  const std::vector<std::tuple<std::string, std::string, std::string>> Cases = {
      {"a", "host.qm.test", "192.0.2.10\n192.0.2.9\n"},
      {"aaaa", "host.qm.test", "2001:db8::10\n"},
      {"mx", "qm.test", "5 backup.qm.test\n10 mail.qm.test\n"},
      {"txt", "two.qm.test", "first\npart one part two\n"},
      {"txt", "bücher.qm.test", "idn\n"},
      {"cname", "alias.qm.test", "host.qm.test\n"},
      {"ns", "qm.test", "ns.qm.test\n"},
      {"soa", "qm.test", "ns.qm.test hostmaster.qm.test 2024010101 1200 120 604800 "},
  };
  for (const auto& [Type, Name, Expected] : Cases) {
    SCOPED_TRACE(Type + " " + Name);
    for (const std::vector<std::string>& More : {std::vector<std::string>{}, {"--tcp"}}) {
      const TRun Run = Dns(Type, Name, More);
      EXPECT_EQ(Run.Status, 0) << Run.Err;
      if (Type == "soa") {
        EXPECT_EQ(Run.Out.rfind(Expected, 0), 0u) << Run.Out;
      } else {
        EXPECT_EQ(Run.Out, Expected);
      }
      EXPECT_TRUE(Run.Err.empty()) << Run.Err;
    }
  }
  // The key published by keygen comes back as one text.
  const TRun Key = Dns("txt", "rsa._domainkey.qm.test");
  EXPECT_EQ(Key.Out, RunQm({"dkim", "record", "-k", (Work / "rsa.pem").string(), "-d", "qm.test", "-s", "rsa",
                            "--raw"}).Out);
  // --long: the answer section with names, TTLs and types; the alias first.
  const TRun Long = Dns("a", "alias.qm.test", {"--long"});
  EXPECT_EQ(Long.Status, 0) << Long.Err;
  const auto Lines = SplitLines(Long.Out);
  ASSERT_EQ(Lines.size(), 3u) << Long.Out;
  EXPECT_EQ(Lines[0].rfind("alias.qm.test ", 0), 0u) << Lines[0];
  EXPECT_NE(Lines[0].find(" CNAME host.qm.test"), std::string::npos) << Lines[0];
  EXPECT_NE(Long.Out.find(" A 192.0.2.9\n"), std::string::npos) << Long.Out;
  // Options of qm dns also stand before the record type.
  EXPECT_EQ(RunQm({"dns", "--server", DnsServer, "--tcp", "aaaa", "host.qm.test"}).Out, "2001:db8::10\n");
}

TEST_F(ToolDkimDns, LookupFailuresAreOneLineAndStatusOne) {
  struct TCase {
    std::vector<std::string> Args;
    std::string Text;
  };
  const std::string Silent = "127.0.0.1:" + std::to_string(UnusedPort());
  const std::vector<TCase> Cases = {
      {{"dns", "txt", "missing.qm.test", "--server", DnsServer}, "No such name (NXDOMAIN)"},
      {{"dns", "mx", "host.qm.test", "--server", DnsServer}, "no MX record"},
      {{"dns", "a", "outside.example", "--server", DnsServer, "--tcp"}, "Refused (REFUSED)"},
      {{"dns", "a", "host.qm.test", "--server", Silent, "--timeout", "1"}, "(no answer within 1 s)"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(testing::PrintToString(Case.Args));
    const TRun Run = RunQm(Case.Args);
    EXPECT_EQ(Run.Status, 1);
    EXPECT_TRUE(Run.Out.empty()) << Run.Out;
    ExpectOneLine(Run, "qm dns " + Case.Args[1]);
    EXPECT_NE(Run.Err.find(" at " + Case.Args[4] + ": "), std::string::npos) << Run.Err;
    EXPECT_NE(Run.Err.find(Case.Text), std::string::npos) << Run.Err;
    EXPECT_LT(Run.Seconds, 5);
  }
}

class ToolImap : public ::testing::Test {
 protected:
  void SetUp() override {
    Env = Servers.Start("dovecot-imap");
    Work = Servers.StateDir() / "imapwork";
    fs::create_directories(Work);
  }
  TRun Imap(const std::string& ACommand, const std::vector<std::string>& AArgs) const {
    std::vector<std::string> Args = {"imap", ACommand, "-s", "127.0.0.1", "-p", Value(Env, "IMAP_PORT"),
                                     "--ca-file", Value(Env, "CA_CERT"), "-u", Value(Env, "IMAP_USER"),
                                     "--timeout", "10"};
    Args.insert(Args.end(), AArgs.begin(), AArgs.end());
    return RunQm(Args, {"QM_PASSWORD=" + Value(Env, "IMAP_PASSWORD")});
  }
  TestServers Servers;
  ServerEnv Env;
  fs::path Work;
};

// qm imap append, list, search and fetch (stdout, headers, maildir, mbox)
// against dovecot: the bytes stored come back as they were written.
TEST_F(ToolImap, AppendListSearchAndFetchThroughDovecot) {
  const std::vector<std::string> Texts = {
      "From: a@qm.test\nSubject: first one\n\nFrom the start.\nbody one\n",
      "From: b@qm.test\nSubject: second one\n\n" + std::string(3000, 'x') + "\n"};
  std::vector<std::string> Uids;
  for (size_t I = 0; I < Texts.size(); ++I) {
    const fs::path File = Work / ("m" + std::to_string(I) + ".eml");
    WriteFile(File, Texts[I]);
    const TRun Append = Imap("append", {File.string()});
    ASSERT_EQ(Append.Status, 0) << Append.Err;
    ASSERT_EQ(Append.Out.rfind("appended as UID ", 0), 0u) << Append.Out;
    Uids.push_back(Append.Out.substr(16, Append.Out.size() - 17));
  }
  const TRun List = Imap("list", {});
  ASSERT_EQ(List.Status, 0) << List.Err;
  EXPECT_NE(List.Out.find("INBOX"), std::string::npos) << List.Out;
  EXPECT_NE(List.Out.find("Sent\t("), std::string::npos) << List.Out;
  EXPECT_NE(List.Out.find("\\Sent"), std::string::npos) << List.Out;
  const TRun Search = Imap("search", {"--subject", "second"});
  ASSERT_EQ(Search.Status, 0) << Search.Err;
  EXPECT_EQ(Search.Out, Uids[1] + "\n");
  const TRun One = Imap("fetch", {"--uid", Uids[0]});
  ASSERT_EQ(One.Status, 0) << One.Err;
  EXPECT_EQ(One.Out, Texts[0]);
  const TRun Headers = Imap("fetch", {"--all", "--headers"});
  ASSERT_EQ(Headers.Status, 0) << Headers.Err;
  const auto Rows = SplitLines(Headers.Out);
  ASSERT_EQ(Rows.size(), 2u) << Headers.Out;
  EXPECT_EQ(Rows[1].rfind(Uids[1] + "\t", 0), 0u) << Rows[1];
  EXPECT_NE(Rows[1].find("\tb@qm.test\tsecond one"), std::string::npos) << Rows[1];
  const TRun ToMaildir = Imap("fetch", {"--all", "--maildir", (Work / "box").string()});
  ASSERT_EQ(ToMaildir.Status, 0) << ToMaildir.Err;
  EXPECT_EQ(ToMaildir.Out, "2 messages fetched\n");
  std::vector<std::string> Got;
  for (const auto& File : MaildirFiles(Work / "box")) Got.push_back(ReadFile(File));
  std::sort(Got.begin(), Got.end());
  ExpectSameTexts(Got, Texts);
  const TRun ToMbox = Imap("fetch", {"--all", "--mbox", (Work / "box.mbox").string()});
  ASSERT_EQ(ToMbox.Status, 0) << ToMbox.Err;
  ExpectSameTexts(MboxMessages(ReadFile(Work / "box.mbox")), Texts);
}

// A large message fetched to stdout, a maildir and an mbox, each written as
// it arrives: line ends and mboxrd quoting right across block boundaries.
TEST_F(ToolImap, LargeMessageFetchedIntoEachDestinationAsStored) {
  const std::string Text = "From: big@qm.test\nSubject: big one\n\n" + TrickyBody(3 << 20);
  WriteFile(Work / "big.eml", Text);
  const TRun Append = Imap("append", {(Work / "big.eml").string()});
  ASSERT_EQ(Append.Status, 0) << Append.Err;
  const std::string Uid = Append.Out.substr(16, Append.Out.size() - 17);
  const TRun Out = Imap("fetch", {"--uid", Uid});
  ASSERT_EQ(Out.Status, 0) << Out.Err;
  ExpectSameTexts({Out.Out}, {Text});
  for (const std::string Kind : {"--maildir", "--mbox"}) {
    const fs::path Target = Work / ("big" + Kind.substr(2));
    // A UID with no message leaves nothing behind.
    const TRun Run = Imap("fetch", {"--uid", Uid, "--uid", "999999", Kind, Target.string()});
    ASSERT_EQ(Run.Status, 0) << Run.Err;
    EXPECT_EQ(Run.Out, "1 message fetched\n");
    EXPECT_EQ(Run.Err, "qm imap fetch: no message with UID 999999 in INBOX\n");
    std::vector<std::string> Got;
    for (const auto& File : MaildirFiles(Target)) Got.push_back(ReadFile(File));
    if (Kind == "--mbox") Got = MboxMessages(ReadFile(Target));
    ExpectSameTexts(Got, {Text});
    EXPECT_TRUE(Kind == "--mbox" || fs::is_empty(Target / "tmp"));
  }
}

// What qm fetch --mbox writes reads back, message by message, with the
// library's mbox reader and with qm mime --mbox.
TEST_F(ToolFetch, MboxOutputReadsBackWithTheMboxReader) {
  const std::vector<std::string> Expected = Stored();
  const fs::path Mbox = Work / "readback.mbox";
  for (int Round = 0; Round < 2; ++Round) {  // the second run appends
    const TRun Run = Fetch({"--all", "--mbox", Mbox.string()});
    ASSERT_EQ(Run.Status, 0) << Run.Err;
  }
  TqmMboxReader Reader;
  Reader.Open(Mbox.string());
  std::vector<std::string> Got;
  TqmMboxMessage M;
  TqmMailMessage Message;
  while (Reader.Next(M)) {
    Got.emplace_back(Reader.Unquoted(M));
    Reader.Parse(M, Message);
    EXPECT_TRUE(Message.Defects().empty()) << "message " << M.Index + 1;
  }
  std::vector<std::string> Twice = Expected;
  Twice.insert(Twice.end(), Expected.begin(), Expected.end());
  ExpectSameTexts(Got, Twice);
  EXPECT_EQ(Reader.Skipped(), 0);

  const TRun List = RunQm({"mime", "--mbox", Mbox.string()});
  ASSERT_EQ(List.Status, 0) << List.Err;
  const auto Lines = SplitLines(List.Out);
  ASSERT_EQ(Lines.size(), 11u) << List.Out;
  EXPECT_NE(Lines[3].find("4  Special <special@qm.test>  From lines  "), std::string::npos) << Lines[3];
  EXPECT_EQ(Lines.back(), "10 messages in " + Mbox.string());
  const TRun Check = RunQm({"mime", "--mbox", "--check", "-"}, {}, Mbox.string());
  EXPECT_EQ(Check.Status, 0) << Check.Err;
  EXPECT_EQ(Check.Out, "10 messages in -\n");
}

}  // namespace
}  // namespace qm
