// The SMTP client against the scripted aiosmtpd server (replies real
// servers send rarely) and against postfix with dovecot's SASL, including
// the round trip of a message with attachments back through POP3.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "mail/qmPop3.h"
#include "mail/qmSasl.h"
#include "mail/qmSmtp.h"
#include "message/qmEmailAddress.h"
#include "message/qmMailMessage.h"
#include "message/qmMessageBodies.h"
#include "tests/integration/qmTestServers.h"

namespace qm {
namespace {

using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

class TTestSmtp : public TqmSmtp {
 public:
  std::vector<std::string> Sent;
  TTestSmtp() {
    OnSendCommand = [this](TObject*, const std::string& AText) { Sent.push_back(AText); };
    SetTimeOut(10000);
    SetHostName("client.qm.test");
  }
  ~TTestSmtp() override {
    try {
      Close();
    } catch (...) {
    }
  }
  bool SentCommand(const std::string& ACommand) const {
    return std::find(Sent.begin(), Sent.end(), ACommand + "\r\n") != Sent.end();
  }
  bool SentPrefix(const std::string& APrefix) const {
    return std::any_of(Sent.begin(), Sent.end(), [&](const std::string& S) { return S.rfind(APrefix, 0) == 0; });
  }
};

template <class TError = EqmTcpClientError, class TBody>
int ErrorCodeOf(TBody ABody) {
  try {
    ABody();
  } catch (const TError& E) {
    return E.ErrorCode();
  }
  return 0;
}

// ---------------------------------------------------------------- aiosmtpd

class SmtpScripted : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("aiosmtpd");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }
  // The server's replies for the next connections.
  void Script(const std::string& AJson) {
    std::ofstream(Value(Env, "AIOSMTPD_CONFIG")) << AJson;
    FSessionsBefore = SessionLines().size();
  }
  static std::vector<std::string> SessionLines() {
    std::vector<std::string> Lines;
    std::ifstream In(Value(Env, "AIOSMTPD_SESSIONS"));
    for (std::string L; std::getline(In, L);) Lines.push_back(L);
    return Lines;
  }
  // The record of the session the server saw last (written once the
  // connection is gone).
  std::string LastSession() {
    for (int I = 0; I < 200; ++I) {
      const auto Lines = SessionLines();
      if (Lines.size() > FSessionsBefore) return Lines.back();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::string();
  }
  void Prepare(TTestSmtp& S) {
    S.SetServer("127.0.0.1");
    S.SetPort(Port(Env, "AIOSMTPD_PORT"));
    S.SetCaFile(Value(Env, "CA_CERT"));
  }
  void Login(TTestSmtp& S) {
    S.SetUserName(Value(Env, "AIOSMTPD_USER"));
    S.SetPassword(Value(Env, "AIOSMTPD_PASSWORD"));
  }
  static void Data(TTestSmtp& S) {
    S.MailData().SetText("From: a@qm.test\r\nTo: b@qm.test\r\nSubject: hi\r\n\r\nHello.\r\n");
  }

  static TestServers* Servers;
  static ServerEnv Env;
  size_t FSessionsBefore = 0;
};
TestServers* SmtpScripted::Servers = nullptr;
ServerEnv SmtpScripted::Env;

TEST_F(SmtpScripted, OneRefusedRecipientIsSkippedAndReported) {
  Script(R"({"reject_rcpt": ["bad@qm.test"]})");
  TTestSmtp S;
  Prepare(S);
  S.SetSkipFailedRecipients(true);
  S.SetUseSize(false);
  S.Open();
  S.SetMailFrom("Sender <a@qm.test>");
  S.MailToList().SetText("one@qm.test\r\nBad Guy <bad@qm.test>\r\nthree@qm.test\r\n");
  Data(S);
  try {
    S.Send();
    FAIL() << "no error";
  } catch (const EqmSmtpError& E) {
    EXPECT_EQ(E.ErrorCode(), -202);
    EXPECT_STREQ(E.what(), "There are recipients that failed to receive the message");
  }
  ASSERT_EQ(S.FailedRecipients().Count(), 1);
  EXPECT_EQ(S.FailedRecipients().Items(0).Email, "Bad Guy <bad@qm.test>");
  EXPECT_EQ(S.FailedRecipients().Items(0).ErrorCode, 550);
  EXPECT_EQ(S.FailedRecipients().Items(0).ErrorText.rfind("550 5.1.1 <bad@qm.test>", 0), 0u);
  EXPECT_TRUE(S.SentCommand("MAIL FROM: <a@qm.test>"));
  EXPECT_TRUE(S.SentCommand("DATA"));
  S.Close();
  EXPECT_NE(LastSession().find(R"("rcpt_tos": ["one@qm.test", "three@qm.test"])"), std::string::npos);
}

TEST_F(SmtpScripted, RefusedRecipientsWithoutDelivery) {
  Script(R"({"reject_rcpt": ["bad@qm.test", "worse@qm.test"]})");
  TTestSmtp S;
  Prepare(S);
  // One command at a time (the pipelined group is in tests/mail/qmSmtpTest.cpp).
  S.SetUsePipelining(false);
  S.SetSkipFailedRecipients(true);
  S.Open();
  S.SetMailFrom("a@qm.test");
  S.MailToList().SetText("bad@qm.test\r\nworse@qm.test\r\n");
  Data(S);
  EXPECT_EQ(ErrorCodeOf<EqmSmtpError>([&] { S.Send(); }), -202);
  EXPECT_EQ(S.FailedRecipients().Count(), 2);
  EXPECT_FALSE(S.SentCommand("DATA"));

  // Without skipping, the first refusal ends the send.
  S.SetSkipFailedRecipients(false);
  S.Reset();
  S.Sent.clear();
  S.MailToList().SetText("one@qm.test\r\nbad@qm.test\r\nthree@qm.test\r\n");
  EXPECT_EQ(ErrorCodeOf([&] { S.Send(); }), 550);
  EXPECT_FALSE(S.SentCommand("RCPT TO: <three@qm.test>"));
  EXPECT_FALSE(S.SentCommand("DATA"));
  // The connection stays usable.
  S.Reset();
  S.MailToList().SetText("one@qm.test\r\n");
  S.Send();
}

TEST_F(SmtpScripted, EndOfDataAnswered354IsAccepted) {
  Script(R"({"data_end_reply": "354 odd but accepted"})");
  TTestSmtp S;
  Prepare(S);
  S.Open();
  S.SetMailFrom("a@qm.test");
  S.MailToList().Add("b@qm.test");
  Data(S);
  S.Send();
  EXPECT_EQ(S.LastResponseCode(), 354);

  Script(R"({"data_end_reply": "554 5.7.1 rejected"})");
  TTestSmtp R;
  Prepare(R);
  R.Open();
  R.SetMailFrom("a@qm.test");
  R.MailToList().Add("b@qm.test");
  Data(R);
  EXPECT_EQ(ErrorCodeOf([&] { R.Send(); }), 554);
}

TEST_F(SmtpScripted, SizeOnlyFromTheLastLineAndAuthInBothForms) {
  Script(R"({"ehlo": ["PIPELINING", "AUTH=LOGIN", "AUTH LOGIN  CRAM-MD5", "SIZE 1000"]})");
  TTestSmtp S;
  Prepare(S);
  S.Open();
  EXPECT_EQ(S.MaxMessageSize(), 1000);
  EXPECT_EQ(S.AuthMethods().ToVector(), (std::vector<std::string>{"LOGIN", "CRAM-MD5"}));
  EXPECT_EQ(S.Extensions().ToVector(),
            (std::vector<std::string>{"PIPELINING", "AUTH=LOGIN", "AUTH LOGIN  CRAM-MD5", "SIZE 1000"}));
  // Without credentials no login is tried.
  EXPECT_FALSE(S.SentPrefix("AUTH"));
  S.Close();

  Script(R"({"ehlo": ["SIZE 1000", "8BITMIME"]})");
  TTestSmtp C;
  Prepare(C);
  C.Open();
  EXPECT_EQ(C.MaxMessageSize(), 0);
}

TEST_F(SmtpScripted, MechanismChoice) {
  Script(R"({"ehlo": ["AUTH=LOGIN", "AUTH LOGIN CRAM-MD5"]})");
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.Open();
    EXPECT_TRUE(S.SentCommand("AUTH LOGIN"));
  }
  EXPECT_NE(LastSession().find(R"("mechanism": "LOGIN", "user": "qmuser", "success": true)"), std::string::npos);
  Script(R"({"ehlo": ["AUTH=LOGIN", "AUTH LOGIN CRAM-MD5"]})");
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseSasl(true);
    S.Open();
    EXPECT_TRUE(S.SentCommand("AUTH CRAM-MD5"));
  }
  EXPECT_NE(LastSession().find(R"("mechanism": "CRAM-MD5", "user": "qmuser", "success": true)"),
            std::string::npos);
  // PLAIN is never used: a server offering only PLAIN gets LOGIN.
  Script(R"({"ehlo": ["AUTH PLAIN"]})");
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseSasl(true);
    S.Open();
    EXPECT_TRUE(S.SentCommand("AUTH LOGIN"));
  }
  EXPECT_NE(LastSession().find(R"("mechanism": "LOGIN", "user": "qmuser", "success": true)"), std::string::npos);
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseSasl(true);
    S.SetSaslOnly(true);
    EXPECT_EQ(ErrorCodeOf<EqmSmtpError>([&] { S.Open(); }), -400);
    EXPECT_FALSE(S.SentPrefix("AUTH"));
    EXPECT_FALSE(S.SentCommand("QUIT"));
  }
  // No AUTH extension: no login, sending goes on; SaslOnly refuses.
  Script(R"({"ehlo": ["8BITMIME"]})");
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.Open();
    EXPECT_FALSE(S.SentPrefix("AUTH"));
    S.SetMailFrom("a@qm.test");
    S.MailToList().Add("b@qm.test");
    Data(S);
    S.Send();
  }
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseSasl(true);
    S.SetSaslOnly(true);
    EXPECT_EQ(ErrorCodeOf<EqmSmtpError>([&] { S.Open(); }), -400);
  }
  // HELO: no extensions and no login whatever the credentials.
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseEHLO(false);
    S.Open();
    EXPECT_TRUE(S.SentCommand("HELO client.qm.test"));
    EXPECT_FALSE(S.SentPrefix("AUTH"));
    EXPECT_EQ(S.Extensions().Count(), 0);
  }
  // A refused login is raised and no other mechanism is tried.
  Script(R"({"ehlo": ["AUTH LOGIN CRAM-MD5"], "password": "other"})");
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseSasl(true);
    EXPECT_EQ(ErrorCodeOf([&] { S.Open(); }), 535);
    EXPECT_EQ(std::count_if(S.Sent.begin(), S.Sent.end(), [](auto& L) { return L.rfind("AUTH", 0) == 0; }), 1);
    EXPECT_FALSE(S.SentCommand("QUIT"));
  }
}

TEST_F(SmtpScripted, XOAuth2AndItsErrorChallenge) {
  Script("{}");
  {
    TTestSmtp S;
    Prepare(S);
    S.SetUserName(Value(Env, "AIOSMTPD_USER"));
    S.SetAuthorization("Bearer " + Value(Env, "AIOSMTPD_XOAUTH2_TOKEN"));
    S.Open();
    EXPECT_TRUE(S.SentPrefix("AUTH XOAUTH2 "));
  }
  EXPECT_NE(LastSession().find(R"("mechanism": "XOAUTH2", "user": "qmuser", "success": true)"),
            std::string::npos);
  Script("{}");
  TTestSmtp S;
  Prepare(S);
  S.SetUserName(Value(Env, "AIOSMTPD_USER"));
  S.SetAuthorization("Bearer expired");
  EXPECT_EQ(ErrorCodeOf([&] { S.Open(); }), 535);
  ASSERT_GE(S.Sent.size(), 2u);
  EXPECT_EQ(S.Sent.back(), "\r\n");
  EXPECT_FALSE(S.SentCommand("QUIT"));
}

TEST_F(SmtpScripted, GreetingOtherThan220) {
  Script(R"({"greeting": "554 5.3.2 not now"})");
  TTestSmtp S;
  Prepare(S);
  try {
    S.Open();
    FAIL() << "no error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 554);
    EXPECT_STREQ(E.what(), "554 5.3.2 not now");
  }
  EXPECT_TRUE(S.Sent.empty());
  EXPECT_FALSE(S.Active());
}

TEST_F(SmtpScripted, StartTlsAfter530AndNothingKeptFromPlaintext) {
  Script(R"({"require_tls": true, "ehlo_before_tls": "530 5.7.0 Must issue a STARTTLS command first"})");
  {
    TTestSmtp S;
    Prepare(S);
    Login(S);
    S.SetUseTLS(ctExplicit);
    S.Open();
    ASSERT_NE(S.TlsStream(), nullptr);
    EXPECT_EQ(std::count(S.Sent.begin(), S.Sent.end(), "EHLO client.qm.test\r\n"), 2);
    EXPECT_TRUE(S.SentCommand("AUTH LOGIN"));
    S.SetMailFrom("a@qm.test");
    S.MailToList().Add("b@qm.test");
    Data(S);
    S.Send();
  }
  EXPECT_NE(LastSession().find(R"("tls": true)"), std::string::npos);
  // Without TLS the session goes on after the 530 and the server refuses.
  {
    TTestSmtp S;
    Prepare(S);
    S.Open();
    S.SetMailFrom("a@qm.test");
    S.MailToList().Add("b@qm.test");
    Data(S);
    EXPECT_EQ(ErrorCodeOf([&] { S.Send(); }), 530);
  }
  // What the plaintext EHLO said is gone once TLS is on.
  Script(R"({"ehlo_before_tls": ["250-scripted", "250-STARTTLS", "250-AUTH NTLM XOAUTH2", "250 SIZE 77"],
             "ehlo": ["AUTH LOGIN CRAM-MD5", "SIZE 1234"]})");
  TTestSmtp S;
  Prepare(S);
  S.SetUseTLS(ctExplicit);
  S.Open();
  EXPECT_EQ(S.AuthMethods().ToVector(), (std::vector<std::string>{"LOGIN", "CRAM-MD5"}));
  EXPECT_EQ(S.MaxMessageSize(), 1234);
}

TEST_F(SmtpScripted, HeaderTouchUpAndDataLinesThatHoldLineBreaks) {
  Script("{}");
  TTestSmtp S;
  Prepare(S);
  S.Open();
  S.SetMailFrom("a@qm.test");
  S.MailToList().Add("b@qm.test");
  S.MailData().SetText(
      "From: a@qm.test\r\nBcc: hidden@qm.test\r\nSubject: touch\r\nbcc: second@qm.test,\r\n third@qm.test\r\n"
      "BCC: x@qm.test\r\n\r\nbody\r\n");
  // A bare LF followed by a dot would end the data early at many servers.
  S.MailData().Add("before\n.\nafter\rcr\r\nend");
  S.MailData().Add(".dot");
  S.Send();
  // Touched up in place.
  EXPECT_EQ(S.MailData().IndexOf("Bcc: hidden@qm.test"), -1);
  S.MailData().Clear();
  S.MailData().SetText("From: a@qm.test\r\nX-Mailer: mine\r\nMessage-ID: <kept@qm.test>\r\n\r\nbody\r\n");
  S.Send();
  S.Close();
  const std::filesystem::path Dir = std::filesystem::path(Value(Env, "AIOSMTPD_RECORD_DIR")) / "messages";
  std::vector<std::filesystem::path> Files;
  for (const auto& E : std::filesystem::directory_iterator(Dir)) Files.push_back(E.path());
  std::sort(Files.begin(), Files.end());
  ASSERT_GE(Files.size(), 2u);
  const std::string First = ReadFile(Files[Files.size() - 2]);
  const std::string Second = ReadFile(Files.back());
  EXPECT_EQ(First.find("cc:"), std::string::npos) << First;
  EXPECT_EQ(First.find("third@"), std::string::npos) << First;
  EXPECT_NE(First.find("X-Mailer: Quillmark Internet Suite\r\n"), std::string::npos);
  EXPECT_NE(First.find("Message-ID: <"), std::string::npos);
  EXPECT_NE(First.find("\r\nbody\r\nbefore\r\n.\r\nafter\r\ncr\r\nend\r\n.dot\r\n"), std::string::npos) << First;
  EXPECT_NE(Second.find("X-Mailer: mine\r\n"), std::string::npos);
  EXPECT_NE(Second.find("Message-ID: <kept@qm.test>\r\n"), std::string::npos);
  EXPECT_EQ(Second.find("Quillmark"), std::string::npos);
}

TEST_F(SmtpScripted, MailboxesAreIdnEncodedAndLineBreaksRefused) {
  Script("{}");
  TTestSmtp S;
  Prepare(S);
  S.SetUseSize(false);  // the commands exactly as the addresses give them
  S.Open();
  S.SetMailFrom("Jörg <joerg@bücher.example>");
  S.MailToList().Add("\"Ünal\" <u@münchen.example>");
  Data(S);
  S.Send();
  EXPECT_TRUE(S.SentCommand("MAIL FROM: <joerg@xn--bcher-kva.example>"));
  EXPECT_TRUE(S.SentCommand("RCPT TO: <u@xn--mnchen-3ya.example>"));

  // An address with a line break is refused before anything is written:
  // not sent as a second command, nor quietly as another address (the
  // parser and the IDN encoder would drop the break and what follows it).
  for (const char* Bad : {"<c@qm.test\r\nRSET>", "b@qm\r\n.test"}) {
    S.Sent.clear();
    S.MailToList().Clear();
    S.MailToList().Add(Bad);
    EXPECT_EQ(ErrorCodeOf([&] { S.Send(); }), -150) << Bad;
    EXPECT_TRUE(S.Sent.empty()) << Bad;
  }
  S.MailToList().Clear();
  S.MailToList().Add("u@qm.test");
  S.SetMailFrom("<a@qm.test\n>");
  S.Sent.clear();
  EXPECT_EQ(ErrorCodeOf([&] { S.Send(); }), -150);
  EXPECT_TRUE(S.Sent.empty());
  // A host name that would add a command is refused before anything is
  // written.
  S.SetHostName("evil\r\nMAIL FROM:<x@y>");
  S.Close();
  S.Sent.clear();
  EXPECT_EQ(ErrorCodeOf([&] { S.Open(); }), -150);
  EXPECT_TRUE(S.Sent.empty());
}

// ---------------------------------------------------------------- postfix

class SmtpPostfix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("postfix");
    Pop3Env = Servers->Env("dovecot");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }
  void Prepare(TTestSmtp& S, const std::string& APortKey = "SMTP_PORT") {
    S.SetServer("127.0.0.1");
    S.SetPort(Port(Env, APortKey));
    S.SetCaFile(Value(Env, "CA_CERT"));
    S.SetUserName(Value(Env, "SMTP_USER"));
    S.SetPassword(Value(Env, "SMTP_PASSWORD"));
  }
  static TestServers* Servers;
  static ServerEnv Env, Pop3Env;
};
TestServers* SmtpPostfix::Servers = nullptr;
ServerEnv SmtpPostfix::Env;
ServerEnv SmtpPostfix::Pop3Env;

// Trust belongs to the client: in one process, against the private-CA
// postfix and dovecot, the client given the CA accepts and the one on the
// system store refuses, in either order, with no environment variable.
TEST_F(SmtpPostfix, TrustIsPerClient) {
  // OpenSSL's own variable, if set at all, does not name the test CA.
  const char* Process = getenv("SSL_CERT_FILE");
  ASSERT_NE(Process ? Process : "", Value(Env, "CA_CERT"));
  for (int Round = 0; Round < 2; ++Round) {
    TTestSmtp Trusting, Refusing;
    Prepare(Trusting, "SMTPS_PORT");
    Prepare(Refusing, "SMTPS_PORT");
    Refusing.SetCaFile("");
    TqmPop3 Pop3Trusting, Pop3Refusing;
    for (TqmPop3* P : {&Pop3Trusting, &Pop3Refusing}) {
      P->SetServer("localhost");
      P->SetPort(Port(Pop3Env, "POP3S_PORT"));
      P->SetUserName(Value(Pop3Env, "POP3_USER"));
      P->SetPassword(Value(Pop3Env, "POP3_PASSWORD"));
      P->SetUseTLS(ctImplicit);
    }
    Pop3Trusting.SetCaFile(Value(Pop3Env, "CA_CERT"));
    for (TqmTcpClientTls* C : std::initializer_list<TqmTcpClientTls*>{&Trusting, &Refusing})
      C->SetUseTLS(ctImplicit);
    auto Refused = [](TqmTcpClientTls& C) {
      try {
        C.Open();
      } catch (const EqmSocketError& E) {
        return E.ErrorCode();
      }
      return 0;
    };
    if (Round == 1) {
      EXPECT_EQ(Refused(Refusing), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
      EXPECT_EQ(Refused(Pop3Refusing), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    }
    Trusting.Open();
    Pop3Trusting.Open();
    EXPECT_TRUE(Trusting.TlsStream()->Verified());
    EXPECT_TRUE(Pop3Trusting.TlsStream()->Verified());
    if (Round == 0) {
      EXPECT_EQ(Refused(Refusing), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
      EXPECT_EQ(Refused(Pop3Refusing), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    }
    EXPECT_FALSE(Refusing.Active());
    EXPECT_FALSE(Pop3Refusing.Active());
  }
}

TEST_F(SmtpPostfix, StartTlsLoginAndCramMd5ImplicitTlsAnd530BeforeTls) {
  {
    TTestSmtp S;
    Prepare(S);
    S.SetUseTLS(ctExplicit);
    S.Open();
    EXPECT_TRUE(S.SentCommand("STARTTLS"));
    EXPECT_TRUE(S.SentCommand("AUTH LOGIN"));
    EXPECT_NE(S.TlsStream(), nullptr);
    EXPECT_TRUE(SaslHasMechanism(S.AuthMethods(), "CRAM-MD5"));
    // postfix announces SIZE in a continuation line, which is not read.
    EXPECT_EQ(S.MaxMessageSize(), 0);
  }
  {
    TTestSmtp S;
    Prepare(S);
    S.SetUseSasl(true);
    S.Open();
    // dovecot's strongest: the server's signature came through postfix.
    EXPECT_TRUE(S.SentPrefix("AUTH SCRAM-SHA-256 "));
    EXPECT_EQ(S.TlsStream(), nullptr);
  }
  for (const char* Mechanism : {"CRAM-MD5", "PLAIN", "SCRAM-SHA-1", "OAUTHBEARER"}) {
    SCOPED_TRACE(Mechanism);
    TTestSmtp S;
    Prepare(S, "SMTPS_PORT");
    S.SetUseTLS(ctImplicit);
    S.SetUseSasl(true);
    S.SetSaslMechanisms(Mechanism);
    if (std::string(Mechanism) == "OAUTHBEARER") S.SetAuthorization("Bearer " + Value(Pop3Env, "POP3_OAUTH_TOKEN"));
    S.Open();
    EXPECT_NE(S.TlsStream(), nullptr);
    EXPECT_FALSE(S.SentCommand("STARTTLS"));
    EXPECT_TRUE(S.SentPrefix(std::string("AUTH ") + Mechanism));
  }
  {
    TTestSmtp S;
    Prepare(S);
    S.SetPassword("wrong");
    EXPECT_EQ(ErrorCodeOf([&] { S.Open(); }), 535);
    EXPECT_FALSE(S.SentCommand("QUIT"));
  }
  {
    // A refused token: the server's reply, with its JSON beside it.
    TTestSmtp S;
    Prepare(S, "SMTPS_PORT");
    S.SetUseTLS(ctImplicit);
    S.SetUseSasl(true);
    S.SetSaslMechanisms("OAUTHBEARER");
    S.SetAuthorization("Bearer not-a-token");
    try {
      S.Open();
      ADD_FAILURE() << "no error";
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), 535) << E.Message();
      EXPECT_NE(E.Message().find("\"status\""), std::string::npos) << E.Message();
    }
  }
  {
    // The submission port wants TLS first: no AUTH offered, MAIL refused.
    TTestSmtp S;
    Prepare(S, "SUBMISSION_PORT");
    S.Open();
    EXPECT_FALSE(S.SentPrefix("AUTH"));
    S.SetMailFrom(Value(Env, "SMTP_RCPT"));
    S.MailToList().Add(Value(Env, "SMTP_RCPT"));
    S.MailData().SetText("Subject: x\r\n\r\nx\r\n");
    EXPECT_EQ(ErrorCodeOf([&] { S.Send(); }), 530);
  }
}

// postfix offers SIZE, 8BITMIME, SMTPUTF8, CHUNKING and DSN: each shows in
// the commands and postfix accepts them; a message above SIZE is refused
// before MAIL FROM.
TEST_F(SmtpPostfix, ExtensionsAsOffered) {
  TTestSmtp S;
  Prepare(S);
  S.SetUseTLS(ctExplicit);
  S.Open();
  for (const char* Name : {"SIZE", "8BITMIME", "SMTPUTF8", "CHUNKING", "DSN"}) EXPECT_TRUE(S.HasExtension(Name)) << Name;
  const std::string Rcpt = Value(Env, "SMTP_RCPT");
  S.SetDsnNotify("SUCCESS,FAILURE");
  S.SetDsnReturn("HDRS");
  S.SetDsnEnvelopeId("qm id+1");
  S.SetDsnOriginalRecipient(true);
  S.SetMailFrom("jörg@bücher.example");
  S.MailToList().Add(Rcpt);
  S.MailData().SetText("From: a@qm.test\r\nTo: " + Rcpt + "\r\nSubject: 8 bit\r\n\r\nGrüße\r\n.dot\r\n");
  S.Send();
  ASSERT_GE(S.Sent.size(), 3u);
  const std::string Mail = S.Sent[S.Sent.size() - 3];
  EXPECT_EQ(Mail.rfind("MAIL FROM: <jörg@bücher.example> SIZE=", 0), 0u) << Mail;
  EXPECT_NE(Mail.find(" BODY=8BITMIME SMTPUTF8 RET=HDRS ENVID=qm+20id+2B1\r\n"), std::string::npos) << Mail;
  EXPECT_EQ(S.Sent[S.Sent.size() - 2], "RCPT TO: <" + Rcpt + "> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;" + Rcpt + "\r\n");
  EXPECT_EQ(S.Sent.back().rfind("BDAT ", 0), 0u);
  EXPECT_NE(S.Sent.back().find(" LAST\r\n"), std::string::npos);

  int64_t Limit = 0;
  for (int I = 0; I < S.Extensions().Count(); ++I)
    if (S.Extensions().Get(I).rfind("SIZE ", 0) == 0) Limit = std::stoll(S.Extensions().Get(I).substr(5));
  ASSERT_GT(Limit, 0);
  S.MailData().Clear();
  S.MailData().Add("Subject: big");
  S.MailData().Add("");
  const std::string Line(998, 'x');
  for (int64_t Size = 0; Size <= Limit; Size += 1000) S.MailData().Add(Line);
  const size_t Before = S.Sent.size();
  EXPECT_EQ(ErrorCodeOf<EqmSmtpError>([&] { S.Send(); }), qmSmtpMessageTooLargeCode);
  EXPECT_EQ(S.Sent.size(), Before);
}

// The messages in the test maildir that hold AMark, once there are ACount
// of them (within ten seconds), oldest first. (Reports of earlier tests
// may still arrive: each test looks for its own.)
std::vector<std::string> Delivered(const std::string& AMaildir, const std::string& AMark, size_t ACount) {
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> Found;
  for (int I = 0; I < 200 && Found.size() < ACount; ++I) {
    if (I > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Found.clear();
    for (const char* Sub : {"new", "cur"})
      for (const auto& E : std::filesystem::directory_iterator(std::filesystem::path(AMaildir) / Sub)) {
        std::string Text = ReadFile(E.path());
        if (Text.find(AMark) != std::string::npos) Found.emplace_back(E.last_write_time(), std::move(Text));
      }
  }
  std::sort(Found.begin(), Found.end());
  std::vector<std::string> Texts;
  for (auto& F : Found) Texts.push_back(std::move(F.second));
  return Texts;
}

// Several recipients with one refused, sent pipelined (postfix offers
// PIPELINING) by DATA or BDAT, from lines or from a stream with bare LF
// line ends, leading dots and no final line end; read back from the
// maildir. The large one goes in several BDAT chunks, the next written
// before the reply to the one before.
TEST_F(SmtpPostfix, PipelinedRecipientsOneRefusedAndStreamedBodies) {
  const std::string Rcpt = Value(Env, "SMTP_RCPT");
  struct TCase {
    bool Skip, Chunking, Stream, Large;
  };
  int Round = 0;
  for (const TCase& C : {TCase{true, false, false, false}, TCase{true, true, true, false},
                         TCase{true, false, true, false}, TCase{false, false, true, false},
                         TCase{true, true, true, true}}) {
    const std::string Subject = "Subject: piped " + std::to_string(++Round) + "\n";
    SCOPED_TRACE(Subject);
    std::string Body = Subject + "\n.dot first\nline\r\n..two dots\rlast";
    std::string Large;  // the body with LF line ends, as the maildir keeps it
    for (int I = 0; C.Large && Large.size() < 5 * qmSmtpChunkSize / 2; ++I) {
      const std::string Line = (I % 7 ? "" : ".") + std::string("Grüße ") + std::to_string(I) + std::string(I % 97, '-');
      Body += Line + (I % 3 == 0 ? "\r\n" : I % 3 == 1 ? "\n" : "\r");
      Large += Line + "\n";
    }
    std::vector<std::string> Events;  // BDAT commands and replies in order
    std::vector<std::pair<int64_t, int64_t>> Progress;
    TTestSmtp S;
    Prepare(S);
    S.SetSkipFailedRecipients(C.Skip);
    S.SetUseChunking(C.Chunking);
    S.OnSendCommand = [&](TObject*, const std::string& AText) {
      S.Sent.push_back(AText);
      if (AText.rfind("BDAT", 0) == 0) Events.push_back(AText);
    };
    S.OnReceiveResponse = [&](TObject*, TStrings* AList) {
      if (!Events.empty()) Events.push_back(AList->Get(0));
    };
    S.OnProgress = [&](TObject*, int64_t AProceed, int64_t ATotal) { Progress.emplace_back(AProceed, ATotal); };
    S.Open();
    ASSERT_TRUE(S.HasExtension("PIPELINING"));
    S.SetMailFrom("sender@qm.test");
    // (postfix keeps one copy of a recipient given twice)
    S.MailToList().SetText(Rcpt + "\r\nnobody@qm.test\r\nTwo <" + Value(Env, "SMTP_UTF8_RCPT") + ">\r\n");
    TStringStream Data(Body);
    S.MailData().SetText(Body);
    const int Error = ErrorCodeOf([&] { C.Stream ? S.SendStream(Data) : S.Send(); });
    EXPECT_EQ(S.SentCommand("DATA"), !C.Chunking && C.Skip);
    if (!C.Skip) {
      EXPECT_EQ(Error, 550);
      EXPECT_EQ(S.FailedRecipients().Count(), 0);
      continue;
    }
    EXPECT_EQ(Error, qmSmtpFailedRecipientsCode);
    ASSERT_EQ(S.FailedRecipients().Count(), 1);
    EXPECT_EQ(S.FailedRecipients().Items(0).Email, "nobody@qm.test");
    EXPECT_EQ(S.FailedRecipients().Items(0).ErrorCode, 550);
    // Two copies of the same message; the maildir keeps LF line ends.
    const std::vector<std::string> Got = Delivered(Value(Env, "SMTP_MAILDIR"), Subject, 2);
    ASSERT_EQ(Got.size(), 2u);
    const std::string Tail = "\n\n.dot first\nline\n..two dots\nlast" + (C.Large ? Large : "\n");
    ASSERT_GE(Got.back().size(), Tail.size());
    EXPECT_TRUE(Got.back().compare(Got.back().size() - Tail.size(), Tail.size(), Tail) == 0)
        << Got.back().substr(0, 2000);
    EXPECT_EQ(Got.back().find("Bcc"), std::string::npos);
    if (C.Large) {
      // Three chunks; the second went out before the first was answered.
      ASSERT_EQ(Events.size(), 6u);
      for (size_t I : {0, 1, 3}) EXPECT_EQ(Events[I].rfind("BDAT ", 0), 0u) << I;
      EXPECT_NE(Events[3].find(" LAST"), std::string::npos);
      // Progress counts over the whole message, not per chunk.
      ASSERT_FALSE(Progress.empty());
      EXPECT_TRUE(std::is_sorted(Progress.begin(), Progress.end()));
      EXPECT_EQ(Progress.back().first, Progress.back().second);
      EXPECT_GT(Progress.back().second, 5 * qmSmtpChunkSize / 2);
    }
  }
}

// SMTPUTF8: a UTF-8 local part is delivered; DSN: NOTIFY=SUCCESS makes
// postfix send a delivery report to the sender's mailbox.
TEST_F(SmtpPostfix, Utf8LocalPartAndDeliveryReportReadBack) {
  const std::string Rcpt = Value(Env, "SMTP_RCPT");
  TTestSmtp S;
  Prepare(S);
  S.Open();
  S.SetMailFrom(Rcpt);
  S.MailToList().Add(Value(Env, "SMTP_UTF8_RCPT"));
  S.SetDsnNotify("SUCCESS");
  S.SetDsnEnvelopeId("qm-envid-7");
  S.MailData().SetText("Subject: utf8 qm-envid-7\r\nTo: " + Value(Env, "SMTP_UTF8_RCPT") + "\r\n\r\nGrüße\r\n");
  S.Send();
  EXPECT_TRUE(S.SentPrefix("RCPT TO: <jörg@qm.test> NOTIFY=SUCCESS"));
  // The message and the report both hold the envelope id.
  const std::vector<std::string> Got = Delivered(Value(Env, "SMTP_MAILDIR"), "qm-envid-7", 2);
  ASSERT_EQ(Got.size(), 2u);
  const std::string& Message = Got[0].find("report-type=") == std::string::npos ? Got[0] : Got[1];
  const std::string& Report = &Message == &Got[0] ? Got[1] : Got[0];
  EXPECT_NE(Message.find("Delivered-To: jörg@qm.test"), std::string::npos) << Message;
  EXPECT_NE(Message.find("Grüße"), std::string::npos);
  EXPECT_NE(Report.find("report-type=delivery-status"), std::string::npos) << Report;
  EXPECT_NE(Report.find("Original-Envelope-Id: qm-envid-7"), std::string::npos) << Report;
  EXPECT_NE(Report.find("Action: delivered"), std::string::npos) << Report;
}

TEST_F(SmtpPostfix, MessageWithAttachmentsComesBackThroughPop3) {
  const std::filesystem::path Dir = Servers->StateDir() / "attach";
  std::filesystem::create_directories(Dir);
  std::string Binary(300000, '\0');
  std::mt19937 Random(42);
  for (char& C : Binary) C = static_cast<char>(Random());
  std::ofstream(Dir / "random.bin", std::ios::binary) << Binary;
  // (No final line break: the quoted-printable rendering of an attachment
  // lets the delimiter take it; see the issue note.)
  const std::string Notes = "Line one\r\n.starts with a dot\r\nÜmlaut line";
  std::ofstream(Dir / "notes.txt", std::ios::binary) << Notes;

  TqmMailMessage Sent;
  Sent.SetCharSet("utf-8");
  // Building starts a new message: the addresses come after it.
  Sent.BuildMessage("First line of the text.\r\n.A line with a leading dot\r\nGrüße", "",
                    {(Dir / "random.bin").string(), (Dir / "notes.txt").string()}, {});
  Sent.From().SetFullAddress("Sender Name <sender@qm.test>");
  Sent.ToList().AddAddress("Recipient <" + Value(Env, "SMTP_RCPT") + ">");
  Sent.BCCList().AddAddress("Hidden <" + Value(Env, "SMTP_RCPT") + ">");
  Sent.SetSubject("Round trip with attachments, äöü");

  TTestSmtp S;
  Prepare(S);
  S.SetUseTLS(ctExplicit);
  S.Open();
  S.Send(&Sent);
  // Both the To and the Bcc recipient got an RCPT TO.
  EXPECT_EQ(std::count(S.Sent.begin(), S.Sent.end(), "RCPT TO: <" + Value(Env, "SMTP_RCPT") + ">\r\n"), 2);
  S.Close();

  TqmPop3 P;
  P.SetServer("127.0.0.1");
  P.SetPort(Port(Pop3Env, "POP3_PORT"));
  P.SetUserName(Value(Pop3Env, "POP3_USER"));
  P.SetPassword(Value(Pop3Env, "POP3_PASSWORD"));
  int Count = 0;
  for (int I = 0; I < 100 && Count < 1; ++I) {
    P.Open();
    Count = P.MessageCount();
    P.Close();
    if (Count < 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(Count, 1) << "postfix did not deliver";
  P.Open();
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
  P.Retrieve(P.MessageCount(), &Got);
  const std::vector<std::string> Raw = P.Response().ToVector();
  EXPECT_EQ(std::find_if(Raw.begin(), Raw.end(), [](auto& L) { return L.rfind("Bcc:", 0) == 0; }), Raw.end());
  EXPECT_EQ(Got.Subject(), Sent.Subject());
  EXPECT_EQ(Got.From().FullAddress(), Sent.From().FullAddress());
  EXPECT_EQ(Got.ToList().Items(0)->FullAddress(), Sent.ToList().Items(0)->FullAddress());
  EXPECT_EQ(Got.MessageID(), Sent.MessageID());
  EXPECT_EQ(Got.BCCList().Count(), 0);
  EXPECT_EQ(Got.GetMessageText().ToVector(), Sent.GetMessageText().ToVector());
  ASSERT_EQ(Saved.size(), 2u);
  EXPECT_TRUE(Saved["random.bin"] == Binary);
  EXPECT_EQ(Saved["notes.txt"], Notes);
}

}  // namespace
}  // namespace qm
