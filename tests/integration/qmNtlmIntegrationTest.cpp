// NTLM login of the POP3 and SMTP clients against scripted servers whose
// acceptor is gss-ntlmssp (tests/servers/ntlm-mail-server.py): the user
// name forms, the running user's own credentials, refusals, a server that
// ends the exchange too early, and which mechanism the clients pick when
// NTLM is offered beside others.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "mail/qmPop3.h"
#include "mail/qmSasl.h"
#include "mail/qmSmtp.h"
#include "message/qmEncoder.h"
#include "message/qmMailMessage.h"
#include "tests/integration/qmTestServers.h"

namespace qm {
namespace {

using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

// The NTLMSSP message type of a base64 line (0: not an NTLMSSP message).
int NtlmTypeOf(std::string ALine) {
  while (!ALine.empty() && (ALine.back() == '\n' || ALine.back() == '\r')) ALine.pop_back();
  std::string Token;
  try {
    Token = TqmEncoder::DecodeString(ALine, cmBase64);
  } catch (const Exception&) {
    return 0;
  }
  if (Token.size() < 12 || Token.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0) return 0;
  return static_cast<unsigned char>(Token[8]);
}

// Records the lines a client sends and the replies it accepts.
template <class TClient>
class TTraced : public TClient {
 public:
  std::vector<std::string> Sent, Accepted;
  TTraced() {
    this->OnSendCommand = [this](TObject*, const std::string& AText) { Sent.push_back(AText); };
    this->OnReceiveResponse = [this](TObject*, TStrings* AList) { Accepted.push_back(AList->Text()); };
    this->SetTimeOut(10000);
    this->SetServer("127.0.0.1");
  }
  ~TTraced() override {
    try {
      this->Close();
    } catch (...) {
    }
  }
  // The NTLMSSP types of the lines sent after "AUTH NTLM", up to the first
  // line that is no NTLMSSP message.
  std::vector<int> TokenTypesSent() const {
    std::vector<int> Types;
    bool InAuth = false;
    for (const auto& Line : Sent) {
      if (InAuth) {
        const int Type = NtlmTypeOf(Line);
        if (Type == 0) break;
        Types.push_back(Type);
      }
      if (Line.rfind("AUTH NTLM", 0) == 0) InAuth = true;
    }
    return Types;
  }
  // How many accepted replies carried an NTLMSSP challenge after the
  // reply's first AStart characters.
  int ChallengesAccepted(size_t AStart) const {
    int N = 0;
    for (const auto& Reply : Accepted)
      if (Reply.size() > AStart && NtlmTypeOf(Reply.substr(AStart)) == 2) ++N;
    return N;
  }
};
using TPop3 = TTraced<TqmPop3>;
using TSmtp = TTraced<TqmSmtp>;

// Sets NTLM_USER_FILE in this process while alive: gss-ntlmssp reads it on
// every credential acquisition, and it is process-wide, so it is set only
// around the one login that needs it.
class TUserFileScope {
 public:
  explicit TUserFileScope(const std::string& AFile) {
    if (const char* Old = std::getenv("NTLM_USER_FILE")) FSaved = Old;
    setenv("NTLM_USER_FILE", AFile.c_str(), 1);
  }
  ~TUserFileScope() {
    if (FSaved) {
      setenv("NTLM_USER_FILE", FSaved->c_str(), 1);
    } else {
      unsetenv("NTLM_USER_FILE");
    }
  }

 private:
  std::optional<std::string> FSaved;
};

class NtlmLogin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("ntlm");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }
  void SetUp() override {
    Script("pop3", "{}");
    Script("smtp", "{}");
  }

  // The server's behaviour for the next connections.
  void Script(const std::string& AProtocol, const std::string& AJson) {
    std::ofstream(Value(Env, AProtocol == "pop3" ? "NTLM_POP3_CONFIG" : "NTLM_SMTP_CONFIG")) << AJson;
    FSeen[AProtocol] = Sessions(AProtocol).size();
  }
  static std::vector<std::string> Sessions(const std::string& AProtocol) {
    std::vector<std::string> Lines;
    std::ifstream In(Value(Env, AProtocol == "pop3" ? "NTLM_POP3_SESSIONS" : "NTLM_SMTP_SESSIONS"));
    for (std::string L; std::getline(In, L);) Lines.push_back(L);
    return Lines;
  }
  // The server's record of the next session (written when it has ended).
  std::string NextSession(const std::string& AProtocol) {
    for (int I = 0; I < 300; ++I) {
      const auto Lines = Sessions(AProtocol);
      if (Lines.size() > FSeen[AProtocol]) return Lines[FSeen[AProtocol]++];
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "(no session recorded)";
  }

  static std::string User(const std::string& ASeparator) {
    return Value(Env, "NTLM_DOMAIN") + ASeparator + Value(Env, "NTLM_USER");
  }
  // The acceptor's name for our user, as JSON writes it.
  static std::string InitiatorJson() {
    return "\"initiator\": \"" + Value(Env, "NTLM_DOMAIN") + "\\\\" + Value(Env, "NTLM_USER") + "\"";
  }
  static void Pop3(TPop3& P, const std::string& AUser, const std::string& APassword) {
    P.SetPort(Port(Env, "NTLM_POP3_PORT"));
    P.SetUseSasl(true);
    P.SetUserName(AUser);
    P.SetPassword(APassword);
  }
  static void Smtp(TSmtp& S, const std::string& AUser, const std::string& APassword) {
    S.SetPort(Port(Env, "NTLM_SMTP_PORT"));
    S.SetUseSasl(true);
    S.SetUserName(AUser);
    S.SetPassword(APassword);
  }
  static bool Has(const std::string& AText, const std::string& APart) {
    return AText.find(APart) != std::string::npos;
  }

  static TestServers* Servers;
  static ServerEnv Env;
  std::map<std::string, size_t> FSeen;
};
TestServers* NtlmLogin::Servers = nullptr;
ServerEnv NtlmLogin::Env;

TEST_F(NtlmLogin, Pop3LogsInWithEitherSeparatorAndWithTheRunningUsersCredentials) {
  for (const std::string Sep : {"\\", "/"}) {
    SCOPED_TRACE(Sep);
    TPop3 P;
    Pop3(P, User(Sep), Value(Env, "NTLM_PASSWORD"));
    P.Open();
    EXPECT_EQ(P.MessageCount(), 2);
    TqmMailMessage Message;
    P.RetrieveHeader(2, &Message);
    EXPECT_EQ(Message.Subject(), "Second");
    P.Close();
    // Both sides saw NTLMSSP messages: negotiate, challenge, authenticate.
    EXPECT_EQ(P.TokenTypesSent(), (std::vector<int>{1, 3}));
    EXPECT_EQ(P.ChallengesAccepted(2), 1);
    const std::string Session = NextSession("pop3");
    EXPECT_TRUE(Has(Session, InitiatorJson())) << Session;
    EXPECT_TRUE(Has(Session, "\"client_types\": [1, 3], \"server_types\": [2]")) << Session;
    EXPECT_TRUE(Has(Session, "\"quit\": true")) << Session;
  }
  // No user name: the credentials of whoever runs the program, which
  // gss-ntlmssp takes from NTLM_USER_FILE.
  TUserFileScope Scope(Value(Env, "NTLM_USER_FILE"));
  TPop3 P;
  Pop3(P, "", "");
  P.Open();
  EXPECT_EQ(P.MessageCount(), 2);
  P.Close();
  const std::string Session = NextSession("pop3");
  EXPECT_TRUE(Has(Session, InitiatorJson())) << Session;
}

TEST_F(NtlmLogin, SmtpLogsInWithEitherSeparatorAndWithTheRunningUsersCredentials) {
  auto SendOne = [](TSmtp& S) {
    S.SetMailFrom("a@qm.test");
    S.MailToList().SetText("b@qm.test");
    S.MailData().SetText("From: a@qm.test\r\nTo: b@qm.test\r\nSubject: ntlm\r\n\r\nSent after NTLM.\r\n");
    S.Send();
  };
  for (const std::string Sep : {"\\", "/"}) {
    SCOPED_TRACE(Sep);
    TSmtp S;
    Smtp(S, User(Sep), Value(Env, "NTLM_PASSWORD"));
    S.Open();
    SendOne(S);
    S.Close();
    EXPECT_EQ(S.TokenTypesSent(), (std::vector<int>{1, 3}));
    EXPECT_EQ(S.ChallengesAccepted(4), 1);
    const std::string Session = NextSession("smtp");
    EXPECT_TRUE(Has(Session, InitiatorJson())) << Session;
    EXPECT_TRUE(Has(Session, "\"client_types\": [1, 3], \"server_types\": [2]")) << Session;
    EXPECT_TRUE(Has(Session, "Sent after NTLM.")) << Session;
  }
  // SMTP logs in only when some credential is given; without a user name
  // the password is not used.
  TUserFileScope Scope(Value(Env, "NTLM_USER_FILE"));
  TSmtp S;
  Smtp(S, "", "unused");
  S.Open();
  SendOne(S);
  S.Close();
  EXPECT_TRUE(Has(NextSession("smtp"), InitiatorJson()));
}

TEST_F(NtlmLogin, AWrongPasswordEndsWithTheServersRefusalAndNoQuit) {
  {
    TPop3 P;
    Pop3(P, User("\\"), "not the password");
    try {
      P.Open();
      ADD_FAILURE() << "logged in with a wrong password";
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), 20);
      EXPECT_STREQ(E.what(), "-ERR [AUTH] NTLM authentication failed");
    }
    EXPECT_FALSE(P.Active());
    // Nothing after the refusal: no other mechanism, no QUIT.
    ASSERT_FALSE(P.Sent.empty());
    EXPECT_EQ(NtlmTypeOf(P.Sent.back()), 3);
    const std::string Session = NextSession("pop3");
    EXPECT_TRUE(Has(Session, "\"success\": false")) << Session;
    EXPECT_TRUE(Has(Session, "\"quit\": false")) << Session;
  }
  TSmtp S;
  Smtp(S, User("/"), "not the password");
  try {
    S.Open();
    ADD_FAILURE() << "logged in with a wrong password";
  } catch (const EqmSmtpError&) {
    ADD_FAILURE() << "a refusal is the server's reply, not an SMTP client error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 535);
    EXPECT_STREQ(E.what(), "535 5.7.8 Error: authentication failed");
  }
  EXPECT_FALSE(S.Active());
  EXPECT_EQ(NtlmTypeOf(S.Sent.back()), 3);
  const std::string Session = NextSession("smtp");
  EXPECT_TRUE(Has(Session, "\"success\": false")) << Session;
  EXPECT_TRUE(Has(Session, "\"quit\": false")) << Session;
}

TEST_F(NtlmLogin, SuccessInPlaceOfTheChallengeFailsTheExchange) {
  // The negotiate message proves nothing; a server that accepts it is
  // answered with an error, not taken as a login.
  Script("pop3", R"({"negotiate_reply": "+OK welcome"})");
  TPop3 P;
  Pop3(P, User("\\"), Value(Env, "NTLM_PASSWORD"));
  try {
    P.Open();
    ADD_FAILURE() << "the exchange ended without a challenge";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 10);
  }
  EXPECT_FALSE(P.Active());
  EXPECT_EQ(P.TokenTypesSent(), (std::vector<int>{1}));
  EXPECT_TRUE(Has(NextSession("pop3"), "\"quit\": false"));

  Script("smtp", R"({"negotiate_reply": "235 2.7.0 Authentication successful"})");
  TSmtp S;
  Smtp(S, User("\\"), Value(Env, "NTLM_PASSWORD"));
  try {
    S.Open();
    ADD_FAILURE() << "the exchange ended without a challenge";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 235);
  }
  EXPECT_EQ(S.TokenTypesSent(), (std::vector<int>{1}));
  EXPECT_TRUE(Has(NextSession("smtp"), "\"quit\": false"));
}

TEST_F(NtlmLogin, Pop3PicksNtlmBeforeCramMd5AndXOAuth2WithAnAuthorization) {
  struct Case {
    const char* Mechanisms;
    bool Authorization;
    bool SaslOnly;
    const char* Picked;  // the mechanism the server saw, or the -400 error
  };
  for (const Case& C : {Case{R"(["CRAM-MD5", "NTLM"])", false, false, "NTLM"},
                        Case{R"(["cram-md5", "ntlm", "XOAUTH2"])", false, true, "NTLM"},
                        Case{R"(["PLAIN", "CRAM-MD5"])", false, true, "CRAM-MD5"},
                        Case{R"(["NTLM", "CRAM-MD5", "XOAUTH2"])", true, false, "XOAUTH2"},
                        Case{R"(["PLAIN", "NTLMv2"])", false, false, "APOP"},
                        Case{R"(["PLAIN", "NTLMv2"])", false, true, "-400"}}) {
    SCOPED_TRACE(std::string(C.Mechanisms) + (C.Authorization ? " token" : "") + (C.SaslOnly ? " only" : ""));
    Script("pop3", std::string(R"({"mechanisms": )") + C.Mechanisms + "}");
    TPop3 P;
    // The NTLM identity; the other mechanisms use the server's defaults.
    const bool Ntlm = std::string(C.Picked) == "NTLM";
    Pop3(P, Ntlm ? User("\\") : "qmuser", Ntlm ? Value(Env, "NTLM_PASSWORD") : "qmpass");
    if (C.Authorization) P.SetAuthorization("Bearer qmtoken");
    P.SetSaslOnly(C.SaslOnly);
    if (std::string(C.Picked) == "-400") {
      try {
        P.Open();
        ADD_FAILURE() << "no error";
      } catch (const EqmTcpClientError& E) {
        EXPECT_EQ(E.ErrorCode(), qmSaslUnavailableCode);
      }
      NextSession("pop3");
      continue;
    }
    P.Open();
    P.Close();
    const std::string Session = NextSession("pop3");
    EXPECT_TRUE(Has(Session, std::string("\"mechanism\": \"") + C.Picked + "\", ")) << Session;
    EXPECT_TRUE(Has(Session, "\"success\": true")) << Session;
  }
}

TEST_F(NtlmLogin, SmtpPicksXOAuth2ThenNtlmThenCramMd5AndLoginWithoutSasl) {
  struct Case {
    const char* Mechanisms;
    bool Authorization;
    bool UseSasl;
    const char* Picked;
  };
  for (const Case& C : {Case{R"(["LOGIN", "CRAM-MD5", "NTLM", "XOAUTH2"])", true, true, "XOAUTH2"},
                        Case{R"(["LOGIN", "CRAM-MD5", "NTLM", "XOAUTH2"])", false, true, "NTLM"},
                        Case{R"(["NTLM", "OAUTHBEARER"])", false, true, "NTLM"},
                        Case{R"(["LOGIN", "CRAM-MD5"])", false, true, "CRAM-MD5"},
                        Case{R"(["LOGIN", "NTLM"])", false, false, "LOGIN"}}) {
    SCOPED_TRACE(std::string(C.Mechanisms) + (C.Authorization ? " token" : "") + (C.UseSasl ? "" : " no SASL"));
    Script("smtp", std::string(R"({"mechanisms": )") + C.Mechanisms + "}");
    TSmtp S;
    const bool Ntlm = std::string(C.Picked) == "NTLM";
    Smtp(S, Ntlm ? User("\\") : "qmuser", Ntlm ? Value(Env, "NTLM_PASSWORD") : "qmpass");
    if (C.Authorization) S.SetAuthorization("Bearer qmtoken");
    S.SetUseSasl(C.UseSasl);
    S.Open();
    S.Close();
    const std::string Session = NextSession("smtp");
    EXPECT_TRUE(Has(Session, std::string("\"mechanism\": \"") + C.Picked + "\", ")) << Session;
    EXPECT_TRUE(Has(Session, "\"success\": true")) << Session;
  }
}

}  // namespace
}  // namespace qm
