// The IMAP client against dovecot on loopback: every TLS mode and login,
// mailboxes with non-ASCII names, append/search/fetch/store/copy/move/
// expunge with a literal over 1 MB, two sessions meeting through IDLE, and
// a connection dropped in the middle of a FETCH (through the fault proxy)
// followed by a new session on the same client.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mail/qmImap.h"
#include "message/qmMailMessage.h"
#include "tests/integration/qmTestServers.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

std::string MessageText(const std::string& ASubject, size_t ABodyBytes) {
  std::string Text = "From: Alice <alice@example.org>\r\nTo: bob@example.org\r\nSubject: " + ASubject +
                     "\r\nMessage-ID: <" + std::to_string(ABodyBytes) + "@example.org>\r\n\r\n";
  for (size_t Line = 0; Text.size() < ABodyBytes; ++Line) Text += "line " + std::to_string(Line) + " of the body\r\n";
  return Text;
}

template <typename F>
int ErrorOf(F AAction, std::string* AMessage = nullptr) {
  try {
    AAction();
  } catch (const EqmSocketError& E) {
    if (AMessage) *AMessage = E.Message();
    return E.ErrorCode();
  }
  return 0;
}

class ImapDovecot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Imap = Servers->Start("dovecot-imap");
    Proxy = Servers->Start("faultproxy", {"imapproxy", "127.0.0.1", Value(Imap, "IMAP_PORT")}, "imapproxy");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }
  static void Prepare(TqmImap& AClient, int APort = 0) {
    AClient.SetServer("127.0.0.1");
    AClient.SetPort(APort ? APort : Port(Imap, "IMAP_PORT"));
    AClient.SetCaFile(Value(Imap, "CA_CERT"));
    AClient.SetUserName(Value(Imap, "IMAP_USER"));
    AClient.SetPassword(Value(Imap, "IMAP_PASSWORD"));
    AClient.SetTimeOut(10000);
  }
  static void SetFaults(const std::string& AFaults) {
    using namespace qmtest;
    TFd S(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in Sa{};
    Sa.sin_family = AF_INET;
    Sa.sin_port = htons(static_cast<uint16_t>(Port(Proxy, "PROXY_CONTROL_PORT")));
    Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(S, reinterpret_cast<sockaddr*>(&Sa), sizeof Sa), 0);
    SendText(S, "SET " + AFaults + "\n");
    ASSERT_EQ(ReadUntil(S, "\n", 5000), "OK\n");
  }
  static inline TestServers* Servers = nullptr;
  static inline ServerEnv Imap, Proxy;
};

TEST_F(ImapDovecot, EveryTlsModeAndLogin) {
  const struct {
    TqmClientTlsMode Tls;
    bool Implicit;
    bool Sasl;
    bool WrongPassword;
  } Cases[] = {
      {ctNone, false, false, false},    {ctExplicit, false, false, false}, {ctImplicit, true, false, false},
      {ctAutomatic, true, true, false}, {ctExplicit, false, true, false},  {ctNone, false, false, true},
  };
  for (const auto& C : Cases) {
    TqmImap Client;
    Prepare(Client, C.Implicit ? Port(Imap, "IMAPS_PORT") : 0);
    Client.SetUseTLS(C.Tls);
    Client.SetUseSasl(C.Sasl);
    std::vector<std::string> Sent;
    // Commands without their tags (the lines of a SASL exchange have none).
    Client.OnSendCommand = [&](TObject*, const std::string& AText) { Sent.push_back(AText.substr(AText.find(' ') + 1)); };
    if (C.WrongPassword) {
      Client.SetPassword("wrong");
      std::string Message;
      EXPECT_EQ(ErrorOf([&] { Client.Open(); }, &Message), qmImapNoCode);
      EXPECT_NE(Message.find("[AUTHENTICATIONFAILED]"), std::string::npos) << Message;
      EXPECT_FALSE(Client.Active());
      continue;
    }
    Client.Open();
    EXPECT_TRUE(Client.HasCapability("IMAP4rev1"));
    EXPECT_TRUE(Client.HasCapability("IDLE"));
    // Logged in: the capabilities are those of the authenticated state.
    EXPECT_FALSE(Client.HasCapability("AUTH=PLAIN"));
    EXPECT_EQ(Client.TlsStream() != nullptr, C.Tls != ctNone);
    EXPECT_EQ(std::count(Sent.begin(), Sent.end(), "STARTTLS\r\n"), C.Tls == ctExplicit ? 1 : 0);
    // The strongest mechanism, its first message with the command (SASL-IR).
    EXPECT_EQ(std::count_if(Sent.begin(), Sent.end(),
                            [](const std::string& S) { return S.rfind("AUTHENTICATE SCRAM-SHA-256 biws", 0) == 0; }),
              C.Sasl ? 1 : 0);
    Client.Noop();
    Client.Close();
    EXPECT_EQ(Sent.back(), "LOGOUT\r\n");
  }
}

// Each shared SASL mechanism logs in for real and is refused a wrong
// secret with dovecot's own reply (OAUTHBEARER's error JSON added).
TEST_F(ImapDovecot, SaslMechanismsLogInAndRefuseAWrongSecret) {
  const std::string Token = "Bearer " + Value(Imap, "IMAP_OAUTH_TOKEN");
  for (const char* Mechanism : {"SCRAM-SHA-256", "SCRAM-SHA-1", "PLAIN", "CRAM-MD5", "OAUTHBEARER", "XOAUTH2"}) {
    for (const bool Wrong : {false, true}) {
      SCOPED_TRACE(std::string(Mechanism) + (Wrong ? " wrong" : ""));
      const bool OAuth = std::string(Mechanism).find("OAUTH") != std::string::npos;
      TqmImap Client;
      Prepare(Client, Port(Imap, "IMAPS_PORT"));
      Client.SetUseTLS(ctImplicit);
      Client.SetUseSasl(true);
      Client.SetSaslMechanisms(Mechanism);
      if (OAuth) Client.SetAuthorization(Wrong ? "Bearer not-a-token" : Token);
      if (Wrong && !OAuth) Client.SetPassword("wrong");
      std::vector<std::string> Sent;
      Client.OnSendCommand = [&](TObject*, const std::string& AText) { Sent.push_back(AText); };
      std::string Message;
      const int Code = ErrorOf([&] { Client.Open(); }, &Message);
      ASSERT_FALSE(Sent.empty());
      EXPECT_NE(Sent[0].find(std::string(" AUTHENTICATE ") + Mechanism), std::string::npos) << Sent[0];
      if (!Wrong) {
        ASSERT_EQ(Code, 0) << Message;
        Client.Noop();
        continue;
      }
      EXPECT_EQ(Code, qmImapNoCode) << Message;
      EXPECT_FALSE(Client.Active());
      if (std::string(Mechanism) == "OAUTHBEARER") {
        EXPECT_NE(Message.find("\"status\""), std::string::npos) << Message;
      }
    }
  }
}

TEST_F(ImapDovecot, MailboxesWithNonAsciiNames) {
  TqmImap Client;
  Prepare(Client);
  Client.Open();
  const std::string Name = "Entw\xC3\xBC" "rfe & Pl\xC3\xA4ne \xE2\x9C\x93";
  const std::string Child = Name + "/\xE6\x97\xA5\xE6\x9C\xAC";
  Client.CreateMailbox(Name);
  Client.CreateMailbox(Child);
  Client.Subscribe(Child);
  auto Find = [&](const std::string& AName) -> const TqmImapMailbox* {
    static std::vector<TqmImapMailbox> Boxes;
    Boxes = Client.List();
    for (const auto& B : Boxes)
      if (B.Name == AName) return &B;
    return nullptr;
  };
  const TqmImapMailbox* Box = Find(Child);
  ASSERT_NE(Box, nullptr);
  EXPECT_EQ(Box->Delimiter, "/");
  if (!Client.Utf8Enabled()) {
    EXPECT_EQ(Box->RawName, "Entw&APw-rfe &- Pl&AOQ-ne &JxM-/&ZeVnLA-");
  }
  ASSERT_NE(Find(Name), nullptr);
  EXPECT_TRUE(Find(Name)->HasFlag("\\HasChildren"));
  ASSERT_NE(Find("Sent"), nullptr);
  EXPECT_TRUE(Find("Sent")->HasFlag("\\Sent"));
  const TqmImapMailboxStatus Status = Client.Status(Child);
  EXPECT_EQ(Status.Messages, 0);
  EXPECT_GT(Status.UidValidity, 0);
  EXPECT_EQ(Status.UidNext, 1);
  Client.RenameMailbox(Child, Name + "/Renamed \xC3\x9F");
  EXPECT_EQ(Find(Child), nullptr);
  EXPECT_NE(Find(Name + "/Renamed \xC3\x9F"), nullptr);
  Client.Unsubscribe(Child);
  Client.DeleteMailbox(Name + "/Renamed \xC3\x9F");
  EXPECT_EQ(ErrorOf([&] { Client.DeleteMailbox(Name + "/Renamed \xC3\x9F"); }), qmImapNoCode);
  Client.Noop();  // a refusal keeps the session
}

TEST_F(ImapDovecot, AppendSearchFetchStoreCopyMoveExpunge) {
  TqmImap Client;
  Prepare(Client);
  Client.Open();
  Client.CreateMailbox("Work");
  Client.CreateMailbox("Archive");
  const std::string Small = MessageText("small one", 600);
  const std::string Umlaut = MessageText("=?UTF-8?Q?gr=C3=BC=C3=9Fe?=", 900);
  const std::string Big = MessageText("big one", 1500000);  // a literal over 1 MB both ways
  const uint64_t U1 = Client.Append("Work", Small, {"\\Seen"}, "07-Dec-2026 10:00:00 +0000");
  const uint64_t U2 = Client.Append("Work", Umlaut);
  const uint64_t U3 = Client.Append("Work", Big, {"\\Flagged", "$Label1"});
  ASSERT_GT(U1, 0u);
  EXPECT_EQ(U2, U1 + 1);
  EXPECT_EQ(U3, U1 + 2);

  const TqmImapMailboxStatus& Selected = Client.Select("Work");
  EXPECT_EQ(Selected.Messages, 3);
  EXPECT_EQ(Selected.UidNext, static_cast<int64_t>(U3 + 1));
  EXPECT_FALSE(Selected.ReadOnly);
  EXPECT_NE(std::find(Selected.PermanentFlags.begin(), Selected.PermanentFlags.end(), "\\Seen"),
            Selected.PermanentFlags.end());

  EXPECT_EQ(Client.UidSearch(TqmImapSearch()), (std::vector<uint64_t>{U1, U2, U3}));
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Unseen()), (std::vector<uint64_t>{U2, U3}));
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Subject("gr\xC3\xBC\xC3\x9F" "e")), (std::vector<uint64_t>{U2}));
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Larger(1000000)), (std::vector<uint64_t>{U3}));
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Or(TqmImapSearch().Seen(), TqmImapSearch().Flagged())),
            (std::vector<uint64_t>{U1, U3}));
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Not(TqmImapSearch().Seen()).Keyword("$Label1")),
            (std::vector<uint64_t>{U3}));

  const auto Headers = Client.UidFetch("1:*", fiFlags | fiInternalDate | fiSize | fiEnvelope | fiBodyStructure |
                                                  fiHeader);
  ASSERT_EQ(Headers.size(), 3u);
  EXPECT_EQ(Headers[0].Uid, U1);
  EXPECT_TRUE(Headers[0].HasFlags);
  EXPECT_EQ(std::count(Headers[0].Flags.begin(), Headers[0].Flags.end(), "\\Seen"), 1);
  EXPECT_EQ(std::count(Headers[2].Flags.begin(), Headers[2].Flags.end(), "$Label1"), 1);
  EXPECT_EQ(Headers[0].InternalDate, "07-Dec-2026 10:00:00 +0000");
  EXPECT_EQ(Headers[0].Size, static_cast<int64_t>(Small.size()));
  EXPECT_EQ(Headers[2].Size, static_cast<int64_t>(Big.size()));
  EXPECT_EQ(Headers[1].Envelope.Subject, "gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(Headers[1].Envelope.RawSubject, "=?UTF-8?Q?gr=C3=BC=C3=9Fe?=");
  ASSERT_EQ(Headers[0].Envelope.From.size(), 1u);
  EXPECT_EQ(Headers[0].Envelope.From[0].Name, "Alice");
  EXPECT_EQ(Headers[0].Envelope.From[0].Address(), "alice@example.org");
  EXPECT_EQ(Headers[0].Envelope.MessageId, "<600@example.org>");
  EXPECT_EQ(Headers[2].BodyStructure.rfind("(\"text\" \"plain\"", 0), 0u) << Headers[2].BodyStructure;
  EXPECT_EQ(Headers[0].Header, Small.substr(0, Small.find("\r\n\r\n") + 4));

  TqmMailMessage Mail;
  ASSERT_TRUE(Client.UidFetchMessage(U2, Mail));
  EXPECT_EQ(Mail.Subject(), "gr\xC3\xBC\xC3\x9F" "e");
  TMemoryStream File;
  ASSERT_TRUE(Client.UidFetchMessage(U3, File));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(File.Memory()), static_cast<size_t>(File.Size())), Big);
  EXPECT_FALSE(Client.UidFetchMessage(U3 + 100, Mail));
  const auto Partial = Client.UidFetch(std::to_string(U3), fiBody, "6.5");
  ASSERT_EQ(Partial.size(), 1u);
  EXPECT_EQ(Partial[0].Body, "Alice");
  // BODY.PEEK left the flags alone.
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Unseen()), (std::vector<uint64_t>{U2, U3}));

  Client.UidStore(std::to_string(U2), ismAddFlags, {"\\Seen", "\\Answered"});
  Client.UidStore(std::to_string(U3), ismRemoveFlags, {"\\Flagged"});
  Client.UidStore(std::to_string(U1), ismReplaceFlags, {"$Done"});
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Answered()), (std::vector<uint64_t>{U2}));
  EXPECT_TRUE(Client.UidSearch(TqmImapSearch().Flagged()).empty());
  EXPECT_EQ(Client.UidSearch(TqmImapSearch().Keyword("$Done")), (std::vector<uint64_t>{U1}));

  Client.UidCopy(std::to_string(U1), "Archive");
  EXPECT_EQ(Client.Status("Archive").Messages, 1);
  std::vector<uint64_t> Expunged;
  Client.OnExpunge = [&](TObject*, uint64_t N) { Expunged.push_back(N); };
  Client.UidMove(std::to_string(U2), "Archive");
  EXPECT_EQ(Client.Status("Archive").Messages, 2);
  EXPECT_EQ(Expunged, std::vector<uint64_t>{2});
  EXPECT_EQ(Client.MailboxStatus().Messages, 2);
  Client.UidStore(std::to_string(U1) + "," + std::to_string(U3), ismAddFlags, {"\\Deleted"});
  Client.UidExpunge(std::to_string(U3));
  EXPECT_EQ(Client.UidSearch(TqmImapSearch()), std::vector<uint64_t>{U1});
  Client.Expunge();
  EXPECT_TRUE(Client.UidSearch(TqmImapSearch()).empty());
  EXPECT_EQ(Client.Examine("Archive").Messages, 2);
  EXPECT_TRUE(Client.MailboxStatus().ReadOnly);
  Client.Close();
}

// A part as one line: type, parameters, id, description, encoding, size,
// lines, disposition, language, an enclosed message's subject and sender,
// and the parts in parentheses.
std::string Describe(const TqmImapBodyPart& P) {
  auto Params = [](const std::vector<TqmImapParameter>& A) {
    std::string Out;
    for (const auto& X : A) Out += (Out.empty() ? "" : " ") + X.Name + "=" + X.Value;
    return Out.empty() ? Out : " [" + Out + "]";
  };
  std::string Out = P.Type + "/" + P.Subtype + Params(P.Parameters);
  for (const std::string* T : {&P.Id, &P.Description, &P.Encoding})
    if (!T->empty()) Out += " " + *T;
  for (const int64_t N : {P.Size, P.Lines})
    if (N >= 0) Out += " " + std::to_string(N);
  if (!P.Disposition.empty()) Out += " " + P.Disposition + Params(P.DispositionParameters);
  for (const auto& L : P.Language) Out += " lang " + L;
  if (P.HasEnvelope) Out += " {" + P.Envelope.Subject + " " + P.Envelope.From.at(0).Name + "}";
  for (size_t I = 0; I < P.Parts.size(); ++I) Out += (I ? ", " : " (") + Describe(P.Parts[I]);
  return P.Parts.empty() ? Out : Out + ")";
}

// BODYSTRUCTURE as dovecot sends it for a message with an enclosed one,
// the envelope's encoded words decoded, and ID.
TEST_F(ImapDovecot, StructureEnvelopeAndId) {
  TqmImap Client;
  Prepare(Client);
  Client.Open();
  const auto Server = Client.Id({{"name", "qm test"}, {"version", "1"}});
  EXPECT_NE(std::find(Server.begin(), Server.end(), TqmImapIdField("name", "Dovecot")), Server.end());
  const std::string Inner =
      "From: =?UTF-8?B?SsO8cmdlbg==?= <j@example.org>\r\nSubject: =?ISO-8859-1?Q?caf=E9?= menu\r\n"
      "Content-Type: text/html; charset=us-ascii\r\n\r\n<p>hi</p>\r\n";
  const std::string Text =
      "From: a@example.org\r\nSubject: =?UTF-8?Q?gr=C3=BC=C3=9Fe?= and more\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"
      "Content-Language: de\r\n\r\nline one\r\nline two\r\n--b1\r\n"
      "Content-Type: application/pdf; name=\"r.pdf\"\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-ID: <p1@x>\r\nContent-Description: report\r\n"
      "Content-Disposition: attachment; filename=\"r.pdf\"\r\n\r\nJVBERi0=\r\n--b1\r\n"
      "Content-Type: message/rfc822\r\n\r\n" + Inner + "--b1--\r\n";
  Client.CreateMailbox("Structure");
  const uint64_t Uid = Client.Append("Structure", Text);
  Client.Select("Structure");
  const auto Got = Client.UidFetch(std::to_string(Uid), fiEnvelope | fiBodyStructure);
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0].Envelope.Subject, "gr\xC3\xBC\xC3\x9F" "e and more");
  EXPECT_EQ(Got[0].Envelope.RawSubject, "=?UTF-8?Q?gr=C3=BC=C3=9Fe?= and more");
  ASSERT_TRUE(Got[0].HasStructure);
  // The line break before a boundary belongs to the boundary (sizes).
  EXPECT_EQ(Describe(Got[0].Structure),
            "multipart/mixed [boundary=b1] ("
            "text/plain [charset=utf-8] quoted-printable 18 1 lang de, "
            "application/pdf [name=r.pdf] <p1@x> report base64 8 attachment [filename=r.pdf], "
            "message/rfc822 7bit " + std::to_string(Inner.size() - 2) + " 4 {caf\xC3\xA9 menu J\xC3\xBCrgen} ("
            "text/html [charset=us-ascii] 7bit 9 0))");
}

TEST_F(ImapDovecot, TwoSessionsMeetThroughIdle) {
  TqmImap Watcher, Writer;
  Prepare(Watcher);
  Prepare(Writer);
  Watcher.Open();
  Writer.Open();
  Writer.CreateMailbox("Shared");
  Watcher.Select("Shared");
  std::atomic<bool> Idling{false};
  std::vector<uint64_t> Exists;
  std::vector<std::string> FlagNews;
  Watcher.OnSendCommand = [&](TObject*, const std::string& AText) {
    if (AText.find(" IDLE\r\n") != std::string::npos) Idling = true;
  };
  Watcher.OnExists = [&](TObject*, uint64_t N) {
    Exists.push_back(N);
    Watcher.StopIdle();
  };
  Watcher.OnMessageFetched = [&](TObject*, const TqmImapMessage& M) {
    for (const auto& F : M.Flags) FlagNews.push_back(F);
    Watcher.StopIdle();
  };
  std::thread Idle([&] { Watcher.Idle(60000); });
  while (!Idling) std::this_thread::yield();
  const uint64_t Uid = Writer.Append("Shared", MessageText("news", 300));
  Idle.join();
  EXPECT_EQ(Exists, std::vector<uint64_t>{1});
  // The other way: the writer flags it, the watcher hears of it.
  Writer.Select("Shared");
  Idling = false;
  std::thread Idle2([&] { Watcher.Idle(60000); });
  while (!Idling) std::this_thread::yield();
  Writer.UidStore(std::to_string(Uid), ismAddFlags, {"\\Flagged"});
  Idle2.join();
  EXPECT_NE(std::find(FlagNews.begin(), FlagNews.end(), "\\Flagged"), FlagNews.end());
  // An IDLE that nothing interrupts ends at its deadline, the session intact.
  Watcher.OnExists = nullptr;
  Watcher.OnMessageFetched = nullptr;
  Watcher.Idle(300);
  EXPECT_EQ(Watcher.Status("Shared").Messages, 1);
}

TEST_F(ImapDovecot, ConnectionDroppedDuringFetchThenANewSession) {
  {
    TqmImap Filler;
    Prepare(Filler);
    Filler.Open();
    Filler.CreateMailbox("Drop");
    Filler.Append("Drop", MessageText("large", 800000));
  }
  TqmImap Client;
  Prepare(Client, Port(Proxy, "PROXY_PORT"));
  // Greeting, login and SELECT take well under 20 KB; the message does not.
  SetFaults("down_close=200000");
  Client.Open();
  Client.Select("Drop");
  TqmMailMessage Mail;
  std::string Message;
  const int Code = ErrorOf([&] { Client.UidFetchMessage(1, Mail); }, &Message);
  EXPECT_TRUE(Code == ECONNRESET || Code == ENOTSOCK || Code == ECONNABORTED || Code == EPIPE) << Code << " " << Message;
  EXPECT_FALSE(Client.Active());
  SetFaults("");
  Client.Open();
  Client.Select("Drop");
  ASSERT_TRUE(Client.UidFetchMessage(1, Mail));
  EXPECT_EQ(Mail.Subject(), "large");
  Client.Close();
}

}  // namespace
}  // namespace qm
