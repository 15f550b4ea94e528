// The programs of examples/ run against postfix and dovecot, so that they
// keep building and keep doing what their comments say.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/integration/qmRunProgram.h"
#include "tests/integration/qmTestServers.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::ServerEnv;
using test::TestServers;
using test::Value;

std::string ReadFile(const fs::path& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

// Runs an example with the arguments and environment settings; its exit
// status, and stdout and stderr together.
int RunExample(const std::string& AName, const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv,
               std::string& AOutput) {
#ifndef QM_EXAMPLES_DIR
  ADD_FAILURE() << "the examples are not built (QM_BUILD_EXAMPLES=OFF?)";
  return -1;
#else
  const test::TProgramRun Run =
      test::RunProgram((fs::path(QM_EXAMPLES_DIR) / AName).string(), AArgs, AEnv, "/dev/null", true);
  AOutput = Run.Out;
  return Run.Status;
#endif
}

class Examples : public test::PostfixAndDovecotSuite {};

TEST_F(Examples, SendFetchAndSaveTheAttachmentBack) {
  const fs::path Work = Servers->StateDir() / "examples";
  fs::create_directories(Work / "fetched");
  fs::create_directories(Work / "saved");
  std::string Attachment;
  for (int I = 0; I < 3000; ++I) Attachment += static_cast<char>(I * 7 % 256);
  std::ofstream(Work / "report.bin", std::ios::binary) << Attachment;
  const std::string CaEnv = "QM_CA_FILE=" + Value(Env, "CA_CERT");
  const std::string Password = "QM_PASSWORD=" + Value(Env, "SMTP_PASSWORD");

  std::string Output;
  ASSERT_EQ(RunExample("send_attachment",
                       {"127.0.0.1", Value(Env, "SMTP_PORT"), Value(Env, "SMTP_USER"), Value(Env, "SMTP_RCPT"),
                        Value(Env, "SMTP_RCPT"), (Work / "report.bin").string()},
                       {CaEnv, Password}, Output),
            0)
      << Output;
  // Delivery is asynchronous: wait for the message.
  for (int Try = 0; Try < 100 && fs::is_empty(fs::path(Value(Env, "SMTP_MAILDIR")) / "new"); ++Try)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  ASSERT_EQ(RunExample("fetch_with_progress",
                       {"127.0.0.1", Value(Pop3, "POP3S_PORT"), Value(Pop3, "POP3_USER"), (Work / "fetched").string()},
                       {CaEnv, Password}, Output),
            0)
      << Output;
  EXPECT_NE(Output.find(" bytes\n"), std::string::npos) << Output;
  std::vector<fs::path> Fetched;
  for (const auto& E : fs::directory_iterator(Work / "fetched")) Fetched.push_back(E.path());
  ASSERT_EQ(Fetched.size(), 1u) << Output;

  ASSERT_EQ(RunExample("save_attachments", {Fetched[0].string(), (Work / "saved").string()}, {}, Output), 0)
      << Output;
  EXPECT_NE(Output.find("Subject: The report\n"), std::string::npos) << Output;
  EXPECT_NE(Output.find("the report is attached."), std::string::npos) << Output;
  EXPECT_EQ(ReadFile(Work / "saved" / "report.bin"), Attachment);
}

TEST_F(Examples, OAuth2LoginWithTheBearerToken) {
  std::string Output;
  const std::vector<std::string> Args = {"127.0.0.1", Value(Pop3, "POP3S_PORT"), Value(Pop3, "POP3_USER")};
  const std::string CaEnv = "QM_CA_FILE=" + Value(Env, "CA_CERT");
  ASSERT_EQ(RunExample("oauth2_login", Args, {CaEnv, "QM_TOKEN=" + Value(Pop3, "POP3_OAUTH_TOKEN")}, Output), 0)
      << Output;
  EXPECT_NE(Output.find(" messages, "), std::string::npos) << Output;
  EXPECT_EQ(RunExample("oauth2_login", Args, {CaEnv, "QM_TOKEN=not-a-token"}, Output), 1) << Output;
}

TEST_F(Examples, PrivateCaThroughCaFile) {
  std::string Output;
  const std::vector<std::string> Args = {Value(Env, "CA_CERT"), "127.0.0.1", Value(Pop3, "POP3S_PORT"),
                                         Value(Pop3, "POP3_USER")};
  ASSERT_EQ(RunExample("private_ca", Args, {"QM_PASSWORD=" + Value(Pop3, "POP3_PASSWORD")}, Output), 0) << Output;
  EXPECT_NE(Output.find(": trusted\n"), std::string::npos) << Output;
  // Another CA (the system's) does not vouch for the test certificate.
  std::vector<std::string> Untrusted = Args;
  Untrusted[0] = "/etc/ssl/certs/ca-certificates.crt";
  EXPECT_EQ(RunExample("private_ca", Untrusted, {"QM_PASSWORD=" + Value(Pop3, "POP3_PASSWORD")}, Output), 1)
      << Output;
  EXPECT_NE(Output.find("not trusted"), std::string::npos) << Output;
}

// Last: it adds a message to the mailbox.
TEST_F(Examples, CancelFromAnotherThreadEndsTheTransferAtOnce) {
  Servers->RunScript("fill-maildir.sh", {"--count", "1", "--size", "3000000"});
  // The new message is the last one: its number is the count.
  int Count = 0;
  for (const char* Sub : {"cur", "new"})
    for ([[maybe_unused]] const auto& E : fs::directory_iterator(fs::path(Value(Pop3, "POP3_MAILDIR")) / Sub)) ++Count;
  const std::string Last = std::to_string(Count);
  std::vector<std::string> Args = {"127.0.0.1", Value(Pop3, "POP3S_PORT"), Value(Pop3, "POP3_USER"), Last};
  const std::vector<std::string> Settings = {"QM_CA_FILE=" + Value(Env, "CA_CERT"),
                                             "QM_PASSWORD=" + Value(Pop3, "POP3_PASSWORD")};
  std::string Output;
  // At 800 kbit/s the 3 MB take half a minute; the watchdog stops it after one second.
  auto Slow = Args;
  Slow.insert(Slow.end(), {"1", "800000"});
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunExample("cancel_transfer", Slow, Settings, Output), 1) << Output;
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
  EXPECT_NE(Output.find("cancelled: "), std::string::npos) << Output;
  // Unhurried, the same download completes.
  auto Fast = Args;
  Fast.push_back("30");
  EXPECT_EQ(RunExample("cancel_transfer", Fast, Settings, Output), 0) << Output;
  EXPECT_NE(Output.find("received "), std::string::npos) << Output;
}

// DKIM and DNS against dnsmasq: the key record and the MX records the
// examples look up.
TEST(ExamplesDns, SignAndVerifyThroughDnsAndResolveMx) {
  TestServers Servers;
  const fs::path Work = Servers.StateDir() / "examples-dns";
  fs::create_directories(Work);
  std::string Output;
  // 1024 bits: the record's p= value fits in one character-string.
  ASSERT_EQ(test::RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " +
                                 test::ShellQuote((Work / "key.pem").string()) + " 2>&1 && openssl pkey -in " +
                                 test::ShellQuote((Work / "key.pem").string()) + " -pubout -outform DER | base64 -w0",
                             Output),
            0)
      << Output;
  const std::string PublicKey = Output.substr(Output.find_last_of('\n') + 1);
  std::ofstream(Work / "records.conf") << "txt-record=ex._domainkey.qm.test,\"v=DKIM1; k=rsa; \",\"p=" << PublicKey
                                       << "\"\nmx-host=qm.test,mail.qm.test,10\nmx-host=qm.test,backup.qm.test,5\n";
  const ServerEnv& Dns = Servers.Start("dnsmasq", {"--records", (Work / "records.conf").string()});
  std::ofstream(Work / "message.eml") << "From: Writer <writer@qm.test>\nTo: reader@qm.test\nSubject: signed\n"
                                         "Date: Mon, 7 Dec 2026 10:00:00 +0000\n\nHello,\n  signed   text.\n";

  ASSERT_EQ(RunExample("sign_and_verify",
                       {(Work / "key.pem").string(), "qm.test", "ex", (Work / "message.eml").string(),
                        (Work / "signed.eml").string(), "127.0.0.1", Value(Dns, "DNS_PORT")},
                       {}, Output),
            0)
      << Output;
  EXPECT_NE(Output.find("signed message: pass d=qm.test s=ex\n"), std::string::npos) << Output;
  EXPECT_NE(Output.find("changed message: fail d=qm.test s=ex: "), std::string::npos) << Output;
  // dkimpy accepts the signed file with the same key.
  const std::string Script =
      "import sys, dkim\n"
      "def lookup(name, timeout=5):\n"
      "    return b'v=DKIM1; k=rsa; p=' + sys.argv[2].encode()\n"
      "print('ok' if dkim.verify(open(sys.argv[1], 'rb').read(), dnsfunc=lookup) else 'refused')\n";
  const test::TProgramRun Python =
      test::RunProgram("/usr/bin/python3", {"-c", Script, (Work / "signed.eml").string(), PublicKey});
  EXPECT_EQ(Python.Out, "ok\n") << Python.Err;

  ASSERT_EQ(RunExample("resolve_mx", {"qm.test", "127.0.0.1", Value(Dns, "DNS_PORT")}, {}, Output), 0) << Output;
  EXPECT_EQ(Output, "5 backup.qm.test\n10 mail.qm.test\n");
  EXPECT_EQ(RunExample("resolve_mx", {"nothing.example", "127.0.0.1", Value(Dns, "DNS_PORT")}, {}, Output), 1);
  EXPECT_EQ(Output.rfind("resolve_mx: nothing.example: ", 0), 0u) << Output;
}

}  // namespace
}  // namespace qm
