// The POP3 client against dovecot: every login, STLS and implicit TLS,
// and a mailbox of a few hundred messages read back as dovecot stores it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "core/qmMessageQueue.h"
#include "core/qmStream.h"
#include "mail/qmPop3.h"
#include "message/qmEmailAddress.h"
#include "message/qmMailMessage.h"
#include "tests/integration/qmTestServers.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

constexpr int kGenerated = 300;

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream In(APath, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

// The lines of a stored message, as POP3 hands them out.
std::vector<std::string> LinesOf(const std::string& AText) {
  std::vector<std::string> Lines;
  size_t I = 0;
  while (I < AText.size()) {
    size_t E = AText.find('\n', I);
    if (E == std::string::npos) E = AText.size();
    std::string Line = AText.substr(I, E - I);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Lines.push_back(Line);
    I = E + 1;
  }
  return Lines;
}

// The size POP3 gives a stored message: its bytes with every line
// break as CR LF (the last line may have none).
int64_t Pop3Size(const std::string& AText) {
  int64_t Size = static_cast<int64_t>(AText.size());
  for (size_t I = 0; I < AText.size(); ++I)
    if (AText[I] == '\n' && (I == 0 || AText[I - 1] != '\r')) ++Size;
  return Size;
}

// A client whose "110" is the test server's plain port, so that
// ctAutomatic can be seen choosing STLS there and TLS at connect elsewhere.
class TTestPop3 : public TqmPop3 {
 public:
  int DefaultPort = 110;
  int GetDefaultPort() override { return DefaultPort; }
  std::vector<std::string> Sent;
  TTestPop3() {
    OnSendCommand = [this](TObject*, const std::string& AText) { Sent.push_back(AText); };
    SetTimeOut(10000);
  }
  ~TTestPop3() override {
    try {
      Close();
    } catch (...) {
    }
  }
  bool SentCommand(const std::string& ACommand) const {
    return std::find(Sent.begin(), Sent.end(), ACommand + "\r\n") != Sent.end();
  }
};

class Pop3Dovecot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("dovecot");
    Servers->RunScript("fill-maildir.sh", {"--count", std::to_string(kGenerated), "--size", "3000"});
    // Lines that dot-stuffing must carry through, and an attachment.
    const auto Special = Servers->StateDir() / "special.eml";
    std::ofstream(Special, std::ios::binary)
        << "From: Special <special@qm.test>\nTo: qmuser@qm.test\nSubject: Dots\n"
           "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b1\"\n\n"
           "--b1\nContent-Type: text/plain; charset=us-ascii\n\n.\n..\n.leading dot\n+OK not a reply\n-ERR nor this\n"
           "--b1\nContent-Type: application/octet-stream; name=\"x.bin\"\n"
           "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"x.bin\"\n\n"
           "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n--b1--\n";
    Servers->RunScript("fill-maildir.sh", {Special.string()});
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }

  void Prepare(TTestPop3& P, const std::string& APortKey = "POP3_PORT") {
    P.SetServer("127.0.0.1");
    P.SetPort(Port(Env, APortKey));
    P.SetCaFile(Value(Env, "CA_CERT"));
    P.SetUserName(Value(Env, "POP3_USER"));
    P.SetPassword(Value(Env, "POP3_PASSWORD"));
  }

  // The stored files in the order of the listing (names sort by delivery).
  static std::vector<std::filesystem::path> StoredFiles() {
    std::vector<std::filesystem::path> Files;
    const std::filesystem::path Maildir = Value(Env, "POP3_MAILDIR");
    for (const char* Sub : {"cur", "new"})
      for (const auto& E : std::filesystem::directory_iterator(Maildir / Sub)) Files.push_back(E.path());
    std::sort(Files.begin(), Files.end(),
              [](const auto& A, const auto& B) { return A.filename().string() < B.filename().string(); });
    return Files;
  }

  static TestServers* Servers;
  static ServerEnv Env;
};
TestServers* Pop3Dovecot::Servers = nullptr;
ServerEnv Pop3Dovecot::Env;

TEST_F(Pop3Dovecot, EveryMessageArrivesAsStored) {
  TTestPop3 P;
  Prepare(P);
  P.Open();
  EXPECT_TRUE(P.SentCommand("USER " + Value(Env, "POP3_USER")));
  EXPECT_TRUE(P.SentCommand("PASS " + Value(Env, "POP3_PASSWORD")));
  EXPECT_FALSE(P.TimeStamp().empty());
  ASSERT_EQ(P.MessageCount(), kGenerated + 1);
  const auto Files = StoredFiles();
  ASSERT_EQ(static_cast<int>(Files.size()), kGenerated + 1);
  int64_t Total = 0;
  for (const auto& F : Files) Total += Pop3Size(ReadFile(F));
  EXPECT_EQ(P.MailBoxSize(), Total);
  // STAT is sent once per connection.
  EXPECT_EQ(P.MessageCount(), kGenerated + 1);
  EXPECT_EQ(std::count(P.Sent.begin(), P.Sent.end(), "STAT\r\n"), 1);

  std::vector<std::pair<int64_t, int64_t>> Progress;
  P.OnProgress = [&](TObject*, int64_t AProceed, int64_t ATotal) { Progress.emplace_back(AProceed, ATotal); };
  TqmMailMessage Header, Got, Expected;
  for (int N = 1; N <= kGenerated + 1; ++N) {
    const std::string Stored = ReadFile(Files[N - 1]);
    const std::vector<std::string> Lines = LinesOf(Stored);
    P.RetrieveHeader(N, &Header);
    if (N <= kGenerated) {
      ASSERT_EQ(Header.Subject(), "Test message " + std::to_string(N));
    }
    EXPECT_EQ(Header.Bodies().Count(), 0);

    Progress.clear();
    P.Sent.clear();
    P.Retrieve(N, &Got);
    ASSERT_EQ(P.Sent.size(), 2u);
    EXPECT_EQ(P.Sent[0], "LIST " + std::to_string(N) + "\r\n");
    ASSERT_EQ(P.Response().ToVector(), Lines) << "message " << N;
    const int64_t Size = Pop3Size(Stored);
    ASSERT_FALSE(Progress.empty());
    EXPECT_EQ(Progress.back(), std::make_pair(Size, Size));
    for (const auto& [Proceed, Of] : Progress) EXPECT_LE(Proceed, Of);

    TStringList StoredLines(Lines);
    Expected.ParseMessage(StoredLines);
    ASSERT_EQ(Got.Subject(), Expected.Subject());
    ASSERT_EQ(Got.From().FullAddress(), Expected.From().FullAddress());
    ASSERT_EQ(Got.MessageID(), Expected.MessageID());
    ASSERT_EQ(Got.Bodies().Count(), Expected.Bodies().Count());
    ASSERT_EQ(Got.GetMessageText().ToVector(), Expected.GetMessageText().ToVector());
  }
  // The special message: un-stuffed dots and reply-like lines in the body.
  const std::vector<std::string> Text = Got.GetMessageText().ToVector();
  EXPECT_NE(std::find(Text.begin(), Text.end(), ".."), Text.end());
  EXPECT_NE(std::find(Text.begin(), Text.end(), ".leading dot"), Text.end());
  EXPECT_NE(std::find(Text.begin(), Text.end(), "+OK not a reply"), Text.end());

  P.Sent.clear();
  P.Close();
  EXPECT_EQ(P.Sent, std::vector<std::string>{"QUIT\r\n"});
}

// Large messages whose lines start with dots, stored with CR LF or LF:
// retrieved into a file, each is what was delivered byte for byte (LF as
// CR LF, as POP3 sends it); parsed from one buffer, each equals the
// message parsed from the lines of Retrieve().
struct TLargeCase {
  const char* Name;
  std::string Text;
};

std::string LargeMessage(size_t ASize, const std::string& AEol, bool AAttachment) {
  std::string Text = "From: Big <big@qm.test>" + AEol + "To: qmuser@qm.test" + AEol + "Subject: Large" + AEol +
                     "Date: Mon, 07 Dec 2026 10:00:00 +0000" + AEol +
                     "MIME-Version: 1.0" + AEol + "Content-Type: multipart/mixed; boundary=\"b\"" + AEol + AEol +
                     "--b" + AEol + "Content-Type: text/plain; charset=us-ascii" + AEol + AEol;
  const std::string Tail = AAttachment ? "--b" + AEol + "Content-Type: application/octet-stream" + AEol +
                                             "Content-Transfer-Encoding: base64" + AEol + AEol
                                       : std::string();
  for (int I = 0; Text.size() < ASize / (AAttachment ? 2 : 1); ++I)
    Text += ".line " + std::to_string(I) + AEol + ".." + AEol + "." + AEol + "+OK " + std::string(60, 'x') + AEol;
  Text += Tail;
  while (AAttachment && Text.size() < ASize) Text += std::string(76, 'Q') + AEol;
  return Text + "--b--" + AEol;
}

// What POP3 sends of a stored message: LF alone becomes CR LF.
std::string Pop3Form(const std::string& AText) {
  std::string Wire;
  for (size_t I = 0; I < AText.size(); ++I) {
    if (AText[I] == '\n' && (I == 0 || AText[I - 1] != '\r')) Wire += '\r';
    Wire += AText[I];
  }
  return Wire;
}

// Rendered with one boundary, so that two parsed messages compare as text.
class TFixedBoundaryMessage : public TqmMailMessage {
 public:
  std::string NewBoundary() override { return "fixed"; }
};

class Pop3DovecotLarge : public Pop3Dovecot {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("dovecot");
    for (const TLargeCase& Case : Cases()) {
      const auto File = Servers->StateDir() / (std::string(Case.Name) + ".eml");
      std::ofstream(File, std::ios::binary) << Case.Text;
      Servers->RunScript("fill-maildir.sh", {File.string()});
    }
  }
  static const std::vector<TLargeCase>& Cases() {
    static const std::vector<TLargeCase> All = {
        {"TextCrLf", LargeMessage(6 << 20, "\r\n", false)},
        {"AttachmentLf", LargeMessage(5 << 20, "\n", true)},
        {"Small", "Subject: small\nDate: Mon, 07 Dec 2026 10:00:00 +0000\n\n.\n"},
    };
    return All;
  }
};

TEST_F(Pop3DovecotLarge, FileHoldsWhatWasDeliveredAndOneBufferParsesAsTheLines) {
  TTestPop3 P;
  Prepare(P);
  P.Open();
  ASSERT_EQ(P.MessageCount(), static_cast<int>(Cases().size()));
  std::pair<int64_t, int64_t> Progress;
  P.OnProgress = [&](TObject*, int64_t AProceed, int64_t ATotal) { Progress = {AProceed, ATotal}; };
  const auto Out = Servers->StateDir() / "out.eml";
  for (int N = 1; N <= P.MessageCount(); ++N) {
    const TLargeCase& Case = Cases()[N - 1];
    SCOPED_TRACE(Case.Name);
    {
      TFileStream File(Out.string(), fmCreate);
      P.Retrieve(N, File);
    }
    EXPECT_EQ(P.Response().Count(), 1);
    const std::string Wire = Pop3Form(Case.Text);
    const int64_t Size = static_cast<int64_t>(Wire.size());
    EXPECT_EQ(Progress, std::make_pair(Size, Size));
    EXPECT_TRUE(ReadFile(Out) == Wire);
    TFixedBoundaryMessage FromBuffer, FromLines;
    P.RetrieveMessage(N, FromBuffer);
    P.Retrieve(N, &FromLines);
    EXPECT_EQ(FromBuffer.Subject(), FromLines.Subject());
    ASSERT_EQ(FromBuffer.Bodies().Count(), FromLines.Bodies().Count());
    EXPECT_TRUE(FromBuffer.MessageSource().ToVector() == FromLines.MessageSource().ToVector());
  }
}

TEST_F(Pop3Dovecot, WrongPasswordFailsWithoutQuit) {
  TTestPop3 P;
  Prepare(P);
  P.SetPassword("not the password");
  try {
    P.Open();
    FAIL() << "no error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 20);
    EXPECT_NE(E.Message().find("-ERR"), std::string::npos);
  }
  EXPECT_FALSE(P.Active());
  ASSERT_FALSE(P.Sent.empty());
  EXPECT_EQ(P.Sent.back(), "PASS not the password\r\n");
  EXPECT_FALSE(P.SentCommand("QUIT"));
}

TEST_F(Pop3Dovecot, SaslPicksTheStrongestFromTheListOrTheCallersChoice) {
  TTestPop3 P;
  Prepare(P);
  P.SetUseSasl(true);
  P.Open();
  EXPECT_TRUE(P.SentCommand("AUTH"));
  ASSERT_GE(P.Sent.size(), 2u);
  EXPECT_EQ(P.Sent[1].rfind("AUTH SCRAM-SHA-256 ", 0), 0u);
  EXPECT_FALSE(P.SentCommand("USER " + Value(Env, "POP3_USER")));
  EXPECT_EQ(P.MessageCount(), kGenerated + 1);
  P.Close();

  TTestPop3 Cram;
  Prepare(Cram);
  Cram.SetUseSasl(true);
  Cram.SetSaslMechanisms("CRAM-MD5");
  Cram.Open();
  EXPECT_TRUE(Cram.SentCommand("AUTH CRAM-MD5"));
  EXPECT_EQ(Cram.MessageCount(), kGenerated + 1);

  TTestPop3 Wrong;
  Prepare(Wrong);
  Wrong.SetUseSasl(true);
  Wrong.SetPassword("wrong");
  try {
    Wrong.Open();
    FAIL() << "no error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), 20);
  }
  EXPECT_FALSE(Wrong.SentCommand("QUIT"));
}

// Each new mechanism logs in for real, and each refuses a wrong secret with
// dovecot's own reply (OAUTHBEARER with its error JSON in the message).
TEST_F(Pop3Dovecot, PlainScramAndOAuthBearerLogins) {
  const std::string Token = "Bearer " + Value(Env, "POP3_OAUTH_TOKEN");
  for (const char* Mechanism : {"PLAIN", "SCRAM-SHA-256", "SCRAM-SHA-1", "OAUTHBEARER"}) {
    SCOPED_TRACE(Mechanism);
    const bool OAuth = std::string(Mechanism) == "OAUTHBEARER";
    TTestPop3 P;
    Prepare(P, "POP3S_PORT");
    P.SetUseTLS(ctImplicit);
    P.SetUseSasl(true);
    P.SetSaslMechanisms(Mechanism);
    if (OAuth) P.SetAuthorization(Token);
    P.Open();
    ASSERT_GE(P.Sent.size(), 2u);
    EXPECT_EQ(P.Sent[1].rfind(std::string("AUTH ") + Mechanism + " ", 0), 0u);
    EXPECT_EQ(P.MessageCount(), kGenerated + 1);
    P.Close();

    TTestPop3 Wrong;
    Prepare(Wrong, "POP3S_PORT");
    Wrong.SetUseTLS(ctImplicit);
    Wrong.SetUseSasl(true);
    Wrong.SetSaslMechanisms(Mechanism);
    if (OAuth)
      Wrong.SetAuthorization("Bearer not-a-token");
    else
      Wrong.SetPassword("wrong");
    try {
      Wrong.Open();
      ADD_FAILURE() << "no error";
    } catch (const EqmTcpClientError& E) {
      EXPECT_EQ(E.ErrorCode(), 20) << E.Message();
      if (OAuth) {
        EXPECT_NE(E.Message().find("\"status\""), std::string::npos) << E.Message();
      }
    }
    // OAUTHBEARER ends a failed exchange with a lone ^A.
    if (OAuth) {
      EXPECT_EQ(Wrong.Sent.back(), "AQ==\r\n");
    }
    EXPECT_FALSE(Wrong.SentCommand("QUIT"));
  }
  // Without TLS PLAIN is not taken from the list (APOP instead); with
  // PlainTextLogin ptlNever even USER/PASS is refused before it is sent.
  TTestPop3 Clear;
  Prepare(Clear);
  Clear.SetUseSasl(true);
  Clear.SetSaslMechanisms("PLAIN");
  Clear.Open();
  EXPECT_EQ(Clear.Sent.back().rfind("APOP ", 0), 0u);
  TTestPop3 Never;
  Prepare(Never);
  Never.SetPlainTextLogin(ptlNever);
  try {
    Never.Open();
    ADD_FAILURE() << "no error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), qmPlainTextLoginCode);
  }
  EXPECT_TRUE(Never.Sent.empty());
}

TEST_F(Pop3Dovecot, XOAuth2WithTheTokenAndTheErrorChallenge) {
  TTestPop3 P;
  Prepare(P);
  P.SetPassword("");
  EXPECT_FALSE(P.UseSasl());
  P.SetAuthorization("Bearer " + Value(Env, "POP3_OAUTH_TOKEN"));
  EXPECT_TRUE(P.UseSasl());
  P.Open();
  EXPECT_TRUE(P.SentCommand("AUTH XOAUTH2"));
  EXPECT_FALSE(P.SentCommand("AUTH"));
  EXPECT_EQ(P.MessageCount(), kGenerated + 1);
  P.Close();

  TTestPop3 Bad;
  Prepare(Bad);
  Bad.SetAuthorization("Bearer not-a-token");
  try {
    Bad.Open();
    FAIL() << "no error";
  } catch (const EqmTcpClientError& E) {
    // The error challenge was answered with an empty line; the final
    // "-ERR" is what is raised.
    EXPECT_EQ(E.ErrorCode(), 20);
  }
  EXPECT_EQ(Bad.Sent.back(), "\r\n");
  EXPECT_FALSE(Bad.SentCommand("QUIT"));
}

TEST_F(Pop3Dovecot, AutomaticTlsChoosesStlsOnTheDefaultPortAndTlsAtConnectElsewhere) {
  {
    TTestPop3 P;
    Prepare(P);
    P.DefaultPort = Port(Env, "POP3_PORT");
    P.SetUseTLS(ctAutomatic);
    P.Open();
    EXPECT_TRUE(P.SentCommand("STLS"));
    ASSERT_NE(P.TlsStream(), nullptr);
    // STLS comes before the credentials.
    const auto Stls = std::find(P.Sent.begin(), P.Sent.end(), "STLS\r\n");
    const auto User = std::find(P.Sent.begin(), P.Sent.end(), "USER " + Value(Env, "POP3_USER") + "\r\n");
    EXPECT_LT(Stls, User);
    EXPECT_EQ(P.MessageCount(), kGenerated + 1);
  }
  {
    TTestPop3 P;
    Prepare(P, "POP3S_PORT");
    P.DefaultPort = Port(Env, "POP3_PORT");
    P.SetUseTLS(ctAutomatic);
    P.SetUseSasl(true);
    P.Open();
    EXPECT_FALSE(P.SentCommand("STLS"));
    ASSERT_NE(P.TlsStream(), nullptr);
    // Over TLS the strongest mechanism of the list.
    EXPECT_TRUE(std::any_of(P.Sent.begin(), P.Sent.end(),
                            [](const std::string& L) { return L.rfind("AUTH SCRAM-SHA-256 ", 0) == 0; }));
    EXPECT_EQ(P.MessageCount(), kGenerated + 1);
  }
  {
    // The real default port of 110 is not this server's: explicit TLS.
    TTestPop3 P;
    Prepare(P);
    P.SetUseTLS(ctExplicit);
    P.Open();
    EXPECT_TRUE(P.SentCommand("STLS"));
    EXPECT_NE(P.TlsStream(), nullptr);
  }
}

// Forwards one session to dovecot and answers a bare "AUTH" itself with
// "-ERR", as servers without SASL do; everything else is dovecot's.
class TAuthRefusingProxy {
 public:
  explicit TAuthRefusingProxy(int ATargetPort) {
    FListen = qmtest::Listener("127.0.0.1", FPort);
    FThread = qmtest::TServerThread([this, ATargetPort] { Run(ATargetPort); });
  }
  int Port() const { return FPort; }

 private:
  void Run(int ATargetPort) {
    qmtest::TFd Client = qmtest::AcceptOne(FListen);
    if (Client < 0) return;
    qmtest::TFd Server(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(ATargetPort));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(Server, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) return;
    std::string Pending;
    char Buffer[65536];
    for (;;) {
      pollfd Fds[2] = {{Client, POLLIN, 0}, {Server, POLLIN, 0}};
      if (poll(Fds, 2, 10000) <= 0) return;
      if (Fds[1].revents) {
        const ssize_t N = recv(Server, Buffer, sizeof Buffer, 0);
        if (N <= 0 || !qmtest::SendAll(Client, Buffer, static_cast<size_t>(N))) return;
      }
      if (Fds[0].revents) {
        const ssize_t N = recv(Client, Buffer, sizeof Buffer, 0);
        if (N <= 0) return;
        Pending.append(Buffer, static_cast<size_t>(N));
        for (size_t E; (E = Pending.find("\r\n")) != std::string::npos;) {
          const std::string Line = Pending.substr(0, E + 2);
          Pending.erase(0, E + 2);
          if (Line == "AUTH\r\n") {
            qmtest::SendText(Client, "-ERR unknown command\r\n");
          } else if (!qmtest::SendText(Server, Line)) {
            return;
          }
        }
      }
    }
  }
  int FPort = 0;
  qmtest::TFd FListen;
  qmtest::TServerThread FThread;
};

TEST_F(Pop3Dovecot, AuthRefusedFallsBackToApopNeverToUserPass) {
  TAuthRefusingProxy Proxy(Port(Env, "POP3_PORT"));
  TTestPop3 P;
  Prepare(P);
  P.SetPort(Proxy.Port());
  P.SetUseSasl(true);
  P.Open();
  ASSERT_GE(P.Sent.size(), 2u);
  EXPECT_EQ(P.Sent[0], "AUTH\r\n");
  // dovecot checks the digest against the timestamp of its own greeting.
  EXPECT_EQ(P.Sent[1].rfind("APOP " + Value(Env, "POP3_USER") + " ", 0), 0u);
  EXPECT_EQ(P.Sent[1].size(), ("APOP " + Value(Env, "POP3_USER") + " \r\n").size() + 32);
  EXPECT_FALSE(P.SentCommand("USER " + Value(Env, "POP3_USER")));
  EXPECT_EQ(P.MessageCount(), kGenerated + 1);
}

TEST_F(Pop3Dovecot, AuthRefusedWithSaslOnlyFailsWithoutQuit) {
  TAuthRefusingProxy Proxy(Port(Env, "POP3_PORT"));
  TTestPop3 P;
  Prepare(P);
  P.SetPort(Proxy.Port());
  P.SetUseSasl(true);
  P.SetSaslOnly(true);
  try {
    P.Open();
    FAIL() << "no error";
  } catch (const EqmTcpClientError& E) {
    EXPECT_EQ(E.ErrorCode(), -400);
    EXPECT_STREQ(E.what(), "Unable to logon to the server using Secure Password Authentication");
  }
  EXPECT_EQ(P.Sent, std::vector<std::string>{"AUTH\r\n"});
}

TEST_F(Pop3Dovecot, KeepAliveSendsNoopWhileIdle) {
  TTestPop3 P;
  Prepare(P);
  P.SetKeepAlive(30);
  P.Open();
  P.Sent.clear();
  TqmMessageQueue::Current().RunFor(std::chrono::milliseconds(200));
  EXPECT_GE(std::count(P.Sent.begin(), P.Sent.end(), "NOOP\r\n"), 2);
  EXPECT_TRUE(P.Active());
  EXPECT_EQ(P.MessageCount(), kGenerated + 1);
}

}  // namespace
}  // namespace qm
