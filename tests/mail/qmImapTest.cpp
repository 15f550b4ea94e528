// The IMAP response reader (a table of responses, every split position,
// the bounds), modified UTF-7 mailbox names both ways, and the client
// against a scripted server of the test's own for what real servers rarely
// do: literals cut at every byte, untagged responses around the completion,
// BYE in the middle, a command never completed, a response past a bound.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <functional>

#include "mail/qmImap.h"
#include "mail/qmImapUtf7.h"
#include "message/qmMailMessage.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace qmtest;

void Dump(const TqmImapValue& V, std::string& AOut) {
  switch (V.Kind) {
    case TqmImapValue::ikNil: AOut += "NIL"; break;
    case TqmImapValue::ikAtom: AOut += V.AsString(); break;
    case TqmImapValue::ikString: AOut += "<" + V.AsString() + ">"; break;
    case TqmImapValue::ikList:
      AOut += "(";
      for (size_t I = 0; I < V.Items.size(); ++I) {
        if (I) AOut += " ";
        Dump(V.Items[I], AOut);
      }
      AOut += ")";
      break;
  }
}

// One line per response: kind and tag, number, name, code, values, text.
std::string Dump(const TqmImapResponse& R) {
  std::string Out = R.Kind == TqmImapResponse::irContinuation ? "+" : R.Kind == TqmImapResponse::irTagged ? R.Tag : "*";
  if (R.HasNumber) Out += " " + std::to_string(R.Number);
  if (!R.Name.empty()) Out += " " + R.Name;
  if (!R.Code.empty()) {
    Out += " [" + R.Code;
    for (const auto& V : R.CodeArgs) Dump(V, Out += " ");
    Out += "]";
  }
  for (const auto& V : R.Values) Dump(V, Out += " ");
  if (!R.Text.empty()) Out += " |" + R.Text;
  return Out;
}

std::vector<std::string> ParseAll(const std::vector<std::string>& APieces, const TqmImapLimits& ALimits = {}) {
  TqmImapParser Parser(ALimits);
  std::vector<std::string> Out;
  TqmImapResponse R;
  for (const auto& P : APieces) {
    Parser.Feed(P);
    while (Parser.Next(R)) Out.push_back(Dump(R));
  }
  EXPECT_EQ(Parser.Pending(), 0u);
  return Out;
}

int ErrorOf(const std::function<void()>& AAction, std::string* AMessage = nullptr) {
  try {
    AAction();
  } catch (const EqmSocketError& E) {
    if (AMessage) *AMessage = E.Message();
    return E.ErrorCode();
  }
  return 0;
}

TEST(ImapParser, ResponsesAsTheyAreRead) {
  const struct {
    const char* Raw;
    const char* Expected;
  } Cases[] = {
      {"* OK [CAPABILITY IMAP4rev1 LITERAL+ AUTH=PLAIN] Dovecot ready.\r\n",
       "* OK [CAPABILITY IMAP4rev1 LITERAL+ AUTH=PLAIN] |Dovecot ready."},
      {"* 23 EXISTS\r\n", "* 23 EXISTS"},
      {"* 5 expunge\n", "* 5 EXPUNGE"},
      {"A0001 OK [READ-WRITE] Select completed (0.001 + 0.000 secs).\r\n",
       "A0001 OK [READ-WRITE] |Select completed (0.001 + 0.000 secs)."},
      {"A2 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", "A2 NO [AUTHENTICATIONFAILED] |Authentication failed."},
      {"* OK [PERMANENTFLAGS (\\Answered \\Seen \\*)] Flags permitted.\r\n",
       "* OK [PERMANENTFLAGS (\\Answered \\Seen \\*)] |Flags permitted."},
      {"* OK [COPYUID 38505 304,319:320 3956:3958] Done\r\n", "* OK [COPYUID 38505 304,319:320 3956:3958] |Done"},
      {"+ \r\n", "+"},
      {"+ YmFzZTY0\r\n", "+ |YmFzZTY0"},
      {"* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n", "* LIST (\\HasNoChildren \\Sent) </> Sent"},
      {"* LIST () NIL \"&AOQ-pfel \\\"x\\\\\"\r\n", "* LIST () NIL <&AOQ-pfel \"x\\>"},
      {"* STATUS {5}\r\nab cd (MESSAGES 3 UIDNEXT 44)\r\n", "* STATUS <ab cd> (MESSAGES 3 UIDNEXT 44)"},
      {"* 1 FETCH (UID 7 FLAGS (\\Seen $Junk) BODY[] {12}\r\nline\r\n(\")}\r\n)\r\n",
       "* 1 FETCH (UID 7 FLAGS (\\Seen $Junk) BODY[] <line\r\n(\")}\r\n>)"},
      {"* 2 FETCH (BODY[HEADER.FIELDS (FROM TO)] {0}\r\n BODY[]<0> \"\")\r\n",
       "* 2 FETCH (BODY[HEADER.FIELDS (FROM TO)] <> BODY[]<0> <>)"},
      {"* 3 FETCH (ENVELOPE (\"Mon, 7 Dec 2026\" {3}\r\nS\xC3\xBC NIL NIL NIL ((\"A\" NIL \"a\" \"x.org\")) NIL NIL nil "
       "\"<id@x>\"))\r\n",
       "* 3 FETCH (ENVELOPE (<Mon, 7 Dec 2026> <S\xC3\xBC> NIL NIL NIL ((<A> NIL <a> <x.org>)) NIL NIL NIL <<id@x>>))"},
      {"* SEARCH 2 84 882\r\n", "* SEARCH 2 84 882"},
      {"* SEARCH\r\n", "* SEARCH"},
      {"* ESEARCH (TAG \"A3\") UID ALL 1:3,5\r\n", "* ESEARCH (TAG <A3>) UID ALL 1:3,5"},
      {"* BYE Shutting down\r\n", "* BYE |Shutting down"},
      {"* OK\r\n", "* OK"},
  };
  for (const auto& C : Cases) {
    std::vector<std::string> Got;
    ASSERT_EQ(ErrorOf([&] { Got = ParseAll({C.Raw}); }), 0) << C.Raw;
    ASSERT_EQ(Got.size(), 1u) << C.Raw;
    EXPECT_EQ(Got[0], C.Expected) << C.Raw;
  }
  // A literal8 carries any byte, NUL included.
  EXPECT_EQ(ParseAll({std::string("* 4 FETCH (BINARY[] ~{2}\r\n\0\1)\r\n", 31)}),
            std::vector<std::string>{std::string("* 4 FETCH (BINARY[] <\0\1>)", 25)});
}

TEST(ImapParser, MalformedResponsesNameTheFault) {
  const struct {
    const char* Raw;
    const char* Fault;
  } Cases[] = {
      {"\r\n", "neither"},
      {"A1 FETCH (UID 1)\r\n", "a completion that is not OK, NO or BAD"},
      {"* 1 FETCH (UID 1\r\n", "an unclosed list"},
      {"* 1 FETCH (UID 1))\r\n", "a \")\" without a list"},
      {"* LIST () \"/ x\r\n", "an unclosed quoted string"},
      {"* LIST () \"a\\x\" y\r\n", "a bad escape"},
      {"* OK [UIDNEXT 4 text\r\n", "an unclosed response code"},
      {"* 1 FETCH (BODY[HEADER x)\r\n", "an unclosed \"[\""},
      {"*x\r\n", "a space expected after the tag"},
      {"(x)\r\n", "neither"},
      {"* 99999999999999999999 EXISTS\r\n", "a number where a response name was expected"},
      {"* OK x {3}\r\nabc\r\n", "data after the end of the response"},
  };
  for (const auto& C : Cases) {
    std::string Message;
    EXPECT_EQ(ErrorOf([&] { ParseAll({C.Raw}); }, &Message), qmImapMalformedCode) << C.Raw;
    EXPECT_NE(Message.find(C.Fault), std::string::npos) << C.Raw << " -> " << Message;
  }
}

TEST(ImapParser, BytesSplitAtEveryPositionGiveTheSameResponses) {
  const std::string Stream =
      "* 1 FETCH (UID 7 BODY[] {12}\r\nab\r\n{3}\r\n\r\nxy FLAGS (\\Seen))\r\n"
      "* OK [UIDVALIDITY 9] x\r\n+ go\r\nA1 OK done\r\n* 2 FETCH (BODY[HEADER] {0}\r\n)\r\n";
  const auto Whole = ParseAll({Stream});
  ASSERT_EQ(Whole.size(), 5u);
  for (size_t K = 1; K < Stream.size(); ++K)
    EXPECT_EQ(ParseAll({Stream.substr(0, K), Stream.substr(K)}), Whole) << K;
  std::vector<std::string> Bytes;
  for (char C : Stream) Bytes.emplace_back(1, C);
  EXPECT_EQ(ParseAll(Bytes), Whole);
}

TEST(ImapParser, BoundsEndTheReadAsSoonAsTheyArePassed) {
  TqmImapLimits Small;
  Small.MaxLineLength = 64;
  Small.MaxLiteralSize = 100;
  Small.MaxResponseSize = 300;
  Small.MaxNestingDepth = 3;
  const struct {
    std::vector<std::string> Pieces;
    int Code;
  } Cases[] = {
      {{"* OK " + std::string(60, 'x')}, qmImapLineTooLongCode},  // no line end needed
      {{"* 1 FETCH (BODY[] {101}\r\n"}, qmImapLiteralTooLargeCode},
      {{"* 1 FETCH (BODY[] {99999999999999999999999}\r\n"}, qmImapLiteralTooLargeCode},
      {{"* 1 FETCH (X ((())))\r\n"}, qmImapNestingTooDeepCode},
      {{"* 1 FETCH (A {100}\r\n" + std::string(100, 'a') + " B {100}\r\n" + std::string(100, 'b') + " C {100}\r\n"},
       qmImapResponseTooLargeCode},
  };
  for (const auto& C : Cases) EXPECT_EQ(ErrorOf([&] { ParseAll(C.Pieces, Small); }), C.Code) << C.Pieces[0];
  // Within the bounds the same shapes pass.
  EXPECT_EQ(ParseAll({"* 1 FETCH (X (()))\r\n", "* 1 FETCH (BODY[] {100}\r\n" + std::string(100, 'z') + ")\r\n"},
                     Small)
                .size(),
            2u);
}

TEST(ImapParser, ALargeLiteralIsHandedOverWithoutACopy) {
  const std::string Body(3 << 20, 'm');
  TqmImapParser Parser;
  Parser.Feed("* 5 OK x\r\n* 1 FETCH (BODY[] {" + std::to_string(Body.size()) + "}\r\n");
  TqmImapResponse R;
  ASSERT_TRUE(Parser.Next(R));
  // Fed as the client feeds it: the reader looks after each block.
  for (size_t I = 0; I < Body.size(); I += 100000) {
    Parser.Feed(Body.substr(I, 100000));
    EXPECT_FALSE(Parser.Next(R));
  }
  // The completion comes in the same block, as it does from a real server.
  Parser.Feed(")\r\nA1 OK done\r\n");
  ASSERT_TRUE(Parser.Next(R));
  const std::string_view Got = R.Values[0].Items[1].Text;
  EXPECT_EQ(Got, Body);
  // The view points into the response's own buffer, which holds little more.
  EXPECT_LT(R.Storage->Raw.capacity(), Body.size() + 4096);
  EXPECT_LT(Parser.Pending(), 64u);  // and the reader no copy of it
  TqmImapResponse Done;
  ASSERT_TRUE(Parser.Next(Done));
  EXPECT_EQ(Dump(Done), "A1 OK |done");
}

// With a sink, a large literal passes through: the reader holds about one
// fed block of it, and the response keeps an empty string in its place.
TEST(ImapParser, ALiteralGivenToASinkIsNotHeld) {
  struct TSink : TqmImapLiteralSink {
    std::string Got, Lines;
    bool Taken = false;
    bool Accept(std::string_view ALine, int64_t) override {
      Lines += std::string(ALine) + "|";
      if (Taken) return false;
      return Taken = ALine.find("BODY[] {") != std::string_view::npos;
    }
    void Write(const char* AData, size_t ASize) override { Got.append(AData, ASize); }
  } Sink;
  std::string Body(3 << 20, 'm');
  Body.replace(1000, 9, "\r\n{3}\r\n)\r\n");
  TqmImapParser Parser;
  Parser.SetLiteralSink(&Sink);
  Parser.Feed("* 1 FETCH (UID 4 BODY[HEADER] {2}\r\nhh BODY[] {" + std::to_string(Body.size()) + "}\r\n");
  TqmImapResponse R;
  size_t MostHeld = 0;
  for (size_t I = 0; I < Body.size(); I += 65536) {
    Parser.Feed(Body.substr(I, 65536));
    EXPECT_FALSE(Parser.Next(R));
    MostHeld = std::max(MostHeld, Parser.Pending());
  }
  Parser.Feed(" FLAGS (\\Seen))\r\n* 2 FETCH (BODY[] {1}\r\nx)\r\n");
  ASSERT_TRUE(Parser.Next(R));
  EXPECT_EQ(Dump(R), "* 1 FETCH (UID 4 BODY[HEADER] <hh> BODY[] <> FLAGS (\\Seen))");
  EXPECT_EQ(Sink.Got, Body);
  EXPECT_LT(MostHeld, 1000u);
  // The sink sees each literal's own line; those it refuses stay.
  ASSERT_TRUE(Parser.Next(R));
  EXPECT_EQ(Dump(R), "* 2 FETCH (BODY[] <x>)");
  EXPECT_EQ(Sink.Lines, "* 1 FETCH (UID 4 BODY[HEADER] {2}| BODY[] {" + std::to_string(Body.size()) +
                            "}|* 2 FETCH (BODY[] {1}|");
  EXPECT_EQ(Parser.Pending(), 0u);
}

TEST(ImapUtf7, MailboxNamesBothWays) {
  const struct {
    const char* Utf8;
    const char* Wire;
  } Cases[] = {
      {"INBOX", "INBOX"},
      {"a&b", "a&-b"},
      {"&", "&-"},
      {"\xC3\xA4pfel", "&AOQ-pfel"},
      {"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"\xF0\x9F\x98\x80", "&2D3eAA-"},            // a pair of surrogates
      {"x\xC3\xA4\xC3\xB6\xC3\xBCy", "x&AOQA9gD8-y"},  // one run for several
      {"tab\there", "tab&AAk-here"},                // control characters are encoded
      {"", ""},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(ImapEncodeMailboxName(C.Utf8), C.Wire) << C.Utf8;
    std::string Back;
    EXPECT_TRUE(ImapDecodeMailboxName(C.Wire, Back)) << C.Wire;
    EXPECT_EQ(Back, C.Utf8) << C.Wire;
  }
  // Invalid modified UTF-7 is reported, not guessed at.
  for (const char* Bad : {"&AOQ", "&AOQx-", "&AGE-", "&2D0-", "&3gA-", "a\xC3\xA4", "&A-", "&AOQ=-", "&AOQA9h-"}) {
    std::string Out = "kept";
    EXPECT_FALSE(ImapDecodeMailboxName(Bad, Out)) << Bad;
    EXPECT_EQ(Out, "kept");
  }
  // Bytes that are not UTF-8 go as U+FFFD, never as raw 8-bit.
  EXPECT_EQ(ImapEncodeMailboxName("a\xFF"), "a&,,0-");
}

// ---- the client against a scripted server ----

struct TScripted {
  TFd Listen;
  int Port = 0;
  TServerThread Thread;
  TFd Peer;
  TqmImap Client;
  explicit TScripted(std::function<void(TScripted&)> AScript) {
    Listen = Listener("127.0.0.1", Port);
    Thread = TServerThread([this, AScript] {
      Peer = AcceptOne(Listen);
      int On = 1;
      setsockopt(Peer, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
      AScript(*this);
      // The client's LOGOUT, when it still comes.
      const std::string Logout = Peer.Fd >= 0 ? ReadUntil(Peer, "\r\n", 3000) : std::string();
      if (!Logout.empty()) SendText(Peer, "* BYE\r\n" + Logout.substr(0, Logout.find(' ')) + " OK\r\n");
      Peer.Reset();
    });
    Client.SetServer("127.0.0.1");
    Client.SetPort(Port);
    Client.SetTimeOut(3000);
    Client.SetUserName("u");
    Client.SetPassword("p w");
  }
  // The tag of the next command line (its text in ALine).
  std::string Command(std::string* ALine = nullptr) {
    const std::string Line = ReadUntil(Peer, "\r\n");
    if (ALine) *ALine = Line;
    return Line.substr(0, Line.find(' '));
  }
  // Greeting and login.
  void Login() {
    SendText(Peer, "* OK [CAPABILITY IMAP4rev1 IDLE UIDPLUS] hi\r\n");
    std::string Line;
    const std::string Tag = Command(&Line);
    EXPECT_EQ(Line, Tag + " LOGIN u \"p w\"\r\n");
    SendText(Peer, Tag + " OK [CAPABILITY IMAP4rev1 IDLE UIDPLUS] in\r\n");
  }
};

TEST(ImapClient, ALiteralCutAtEveryByteArrivesWhole) {
  const std::string Message = "Subject: split\r\n\r\nbody {3}\r\n)\r\n";
  const std::string Fetch = "* 1 FETCH (UID 9 BODY[] {" + std::to_string(Message.size()) + "}\r\n" + Message + ")\r\n";
  TScripted S([&](TScripted& T) {
    T.Login();
    for (size_t K = 1; K < Fetch.size(); ++K) {
      const std::string Tag = T.Command();
      SendText(T.Peer, Fetch.substr(0, K));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      SendText(T.Peer, Fetch.substr(K) + "* 3 EXISTS\r\n" + Tag + " OK done\r\n");
    }
  });
  S.Client.Open();
  int Exists = 0;
  S.Client.OnExists = [&](TObject*, uint64_t ACount) { Exists += static_cast<int>(ACount); };
  for (size_t K = 1; K < Fetch.size(); ++K) {
    TqmMailMessage Mail;
    ASSERT_TRUE(S.Client.UidFetchMessage(9, Mail)) << K;
    EXPECT_EQ(Mail.Subject(), "split") << K;
  }
  EXPECT_EQ(Exists, 3 * static_cast<int>(Fetch.size() - 1));
  EXPECT_EQ(S.Client.MailboxStatus().Messages, 3);
}

TEST(ImapClient, UntaggedAroundTheCompletionAndContinuations) {
  TScripted S([](TScripted& T) {
    T.Login();
    std::string Line;
    // A synchronising literal: the server's "+" comes after untagged news.
    std::string Tag = T.Command(&Line);
    EXPECT_EQ(Line, Tag + " APPEND INBOX (\\Seen) {5}\r\n");
    SendText(T.Peer, "* 4 EXISTS\r\n+ go on\r\n");
    EXPECT_EQ(ReadUntil(T.Peer, "\r\n"), "hello\r\n");
    SendText(T.Peer, "* 5 EXISTS\r\n" + Tag + " OK [APPENDUID 7 42] done\r\n* 1 EXPUNGE\r\n");
    // Search with a UTF-8 string goes as a literal with CHARSET.
    Tag = T.Command(&Line);
    EXPECT_EQ(Line, Tag + " UID SEARCH CHARSET UTF-8 SUBJECT {2}\r\n");
    SendText(T.Peer, "+ ok\r\n");
    EXPECT_EQ(ReadUntil(T.Peer, "\r\n"), "\xC3\xA4 UNSEEN\r\n");
    SendText(T.Peer, "* SEARCH 5 3\r\n* SEARCH 9\r\n" + Tag + " OK\r\n");
    // A refusal keeps the session.
    Tag = T.Command(&Line);
    SendText(T.Peer, Tag + " NO [NONEXISTENT] Mailbox doesn't exist: x\r\n");
    Tag = T.Command(&Line);
    EXPECT_EQ(Line, Tag + " NOOP\r\n");
    SendText(T.Peer, "* 2 FETCH (FLAGS (\\Deleted))\r\n" + Tag + " OK\r\n");
    Tag = T.Command(&Line);
    SendText(T.Peer, "* BYE bye\r\n" + Tag + " OK out\r\n");
  });
  std::vector<uint64_t> Exists, Expunged;
  std::vector<std::string> Fetched;
  S.Client.OnExists = [&](TObject*, uint64_t N) { Exists.push_back(N); };
  S.Client.OnExpunge = [&](TObject*, uint64_t N) { Expunged.push_back(N); };
  S.Client.OnMessageFetched = [&](TObject*, const TqmImapMessage& M) {
    Fetched.push_back(std::to_string(M.SequenceNumber) + (M.Flags.empty() ? "" : M.Flags[0]));
  };
  S.Client.Open();
  EXPECT_EQ(S.Client.Append("INBOX", "hello", {"\\Seen"}), 42u);
  EXPECT_EQ(S.Client.MailboxStatus().Messages, 5);
  EXPECT_EQ(S.Client.UidSearch(TqmImapSearch().Subject("\xC3\xA4").Unseen()), (std::vector<uint64_t>{3, 5, 9}));
  EXPECT_EQ(S.Client.MailboxStatus().Messages, 4);  // the EXPUNGE after APPEND's completion
  std::string Message;
  EXPECT_EQ(ErrorOf([&] { S.Client.Status("x"); }, &Message), qmImapNoCode);
  EXPECT_EQ(Message, "[NONEXISTENT] Mailbox doesn't exist: x");
  S.Client.Noop();
  S.Client.Close();
  EXPECT_EQ(Exists, (std::vector<uint64_t>{4, 5}));
  EXPECT_EQ(Expunged, (std::vector<uint64_t>{1}));
  EXPECT_EQ(Fetched, (std::vector<std::string>{"2\\Deleted"}));
}

TEST(ImapClient, ByeTimeOutBoundsAndStrangersEndTheSessionClearly) {
  const struct {
    std::function<void(TScripted&, const std::string&)> Reply;
    int Code;
    const char* Text;
  } Cases[] = {
      {[](TScripted& T, const std::string&) {
         SendText(T.Peer, "* 1 FETCH (UID 1 FLAGS ())\r\n* BYE Server shutting down\r\n");
         T.Peer.Reset();
       },
       qmImapByeCode, "The server closed the session: Server shutting down"},
      {[](TScripted&, const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); },
       qmTimeoutErrorCode, nullptr},
      {[](TScripted& T, const std::string&) { SendText(T.Peer, "* 1 FETCH (BODY[] {999999999}\r\n"); },
       qmImapLiteralTooLargeCode, nullptr},
      {[](TScripted& T, const std::string&) { SendText(T.Peer, "* " + std::string(5000, 'x')); },
       qmImapLineTooLongCode, nullptr},
      {[](TScripted& T, const std::string&) {
         for (int I = 0; I < 20; ++I) SendText(T.Peer, "* 1 FETCH (FLAGS ())\r\n");
       },
       qmImapTooManyResponsesCode, nullptr},
      {[](TScripted& T, const std::string&) { SendText(T.Peer, "A9999 OK not yours\r\n"); }, qmImapOutOfStepCode,
       nullptr},
      {[](TScripted& T, const std::string& ATag) { SendText(T.Peer, ATag + " OK (\r\n* broken ((\r\n"); }, 0,
       nullptr},
  };
  for (const auto& C : Cases) {
    TScripted S([&](TScripted& T) {
      T.Login();
      const std::string Tag = T.Command();
      C.Reply(T, Tag);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    S.Client.SetTimeOut(1000);
    TqmImapLimits Limits;
    Limits.MaxLiteralSize = 1 << 20;
    Limits.MaxLineLength = 4096;
    S.Client.SetLimits(Limits);
    S.Client.SetMaxUntaggedResponses(10);
    S.Client.Open();
    std::string Message;
    EXPECT_EQ(ErrorOf([&] { S.Client.UidFetch("1", fiFlags); }, &Message), C.Code) << Message;
    if (C.Text) {
      EXPECT_EQ(Message, C.Text);
    }
    // A failed session is closed; an answered command leaves it open.
    EXPECT_EQ(S.Client.Active(), C.Code == 0) << C.Code;
  }
}

TEST(ImapClient, IdleReportsAndEndsOnStopFromAnotherThread) {
  std::atomic<bool> DoneSeen{false};
  TScripted S([&](TScripted& T) {
    T.Login();
    std::string Line;
    const std::string Tag = T.Command(&Line);
    EXPECT_EQ(Line, Tag + " IDLE\r\n");
    SendText(T.Peer, "+ idling\r\n* 7 EXISTS\r\n* 2 EXPUNGE\r\n");
    EXPECT_EQ(ReadUntil(T.Peer, "\r\n"), "DONE\r\n");
    DoneSeen = true;
    SendText(T.Peer, Tag + " OK Idle completed.\r\n");
    const std::string Noop = T.Command();
    SendText(T.Peer, Noop + " OK\r\n");
  });
  S.Client.Open();
  std::vector<uint64_t> Events;
  std::thread Stopper;
  S.Client.OnExists = [&](TObject*, uint64_t N) { Events.push_back(N); };
  S.Client.OnExpunge = [&](TObject*, uint64_t N) {
    Events.push_back(N);
    Stopper = std::thread([&] { S.Client.StopIdle(); });
  };
  S.Client.Idle(0);
  Stopper.join();
  EXPECT_TRUE(DoneSeen);
  EXPECT_EQ(Events, (std::vector<uint64_t>{7, 2}));
  S.Client.Noop();  // the session goes on
}

// A server with the capabilities ACaps that answers every command OK and
// records the lines it got (tags cut): what dovecot 2.3 never offers, the
// login without SASL-IR, UTF8=ACCEPT, and a server without MOVE.
void Recorder(TScripted& T, const std::string& ACaps, std::vector<std::string>& ALines) {
  SendText(T.Peer, "* OK [CAPABILITY IMAP4rev1 " + ACaps + "] hi\r\n");
  bool Utf8 = false;
  for (;;) {
    std::string Line;
    const std::string Tag = T.Command(&Line);
    if (Line.empty()) return;
    const std::string Command = Line.substr(Tag.size() + 1, Line.size() - Tag.size() - 3);
    ALines.push_back(Command);
    std::string Reply = Tag + " OK done\r\n";
    if (Command == "AUTHENTICATE PLAIN") {
      SendText(T.Peer, "+ \r\n");
      ALines.push_back(ReadUntil(T.Peer, "\r\n"));
      Reply = Tag + " OK [CAPABILITY IMAP4rev1 " + ACaps + "] in\r\n";
    } else if (Command == "CAPABILITY") {
      Reply = "* CAPABILITY IMAP4rev1 " + ACaps + "\r\n" + Reply;
    } else if (Command == "ENABLE UTF8=ACCEPT") {
      Utf8 = true;
      Reply = "* ENABLED UTF8=ACCEPT\r\n" + Reply;
    } else if (Command.rfind("LIST", 0) == 0) {
      Reply = std::string("* LIST () \"/\" ") + (Utf8 ? "\"Entw\xC3\xBCrfe\"" : "Entw&APw-rfe") + "\r\n" + Reply;
    } else if (Command == "LOGOUT") {
      SendText(T.Peer, "* BYE\r\n" + Reply);
      return;
    }
    SendText(T.Peer, Reply);
  }
}

TEST(ImapClient, LoginUtf8AndMoveAsEachServerOffersThem) {
  const struct {
    const char* Caps;
    bool Sasl;
    std::vector<std::string> Expected;
  } Cases[] = {
      {"AUTH=PLAIN ENABLE UTF8=ACCEPT UIDPLUS", true,
       {"AUTHENTICATE PLAIN", "AHUAcCB3\r\n", "ENABLE UTF8=ACCEPT", "LIST \"\" \"*\"", "SELECT \"Entw\xC3\xBCrfe\"",
        "UID COPY 4:5 INBOX", "UID STORE 4:5 +FLAGS.SILENT (\\Deleted)", "UID EXPUNGE 4:5", "LOGOUT"}},
      {"MOVE UTF8=ACCEPT", false,
       {"LOGIN u \"p w\"", "CAPABILITY", "LIST \"\" \"*\"", "SELECT Entw&APw-rfe", "UID MOVE 4:5 INBOX", "LOGOUT"}},
      // Without UIDPLUS a plain EXPUNGE would take other messages too.
      {"", false,
       {"LOGIN u \"p w\"", "CAPABILITY", "LIST \"\" \"*\"", "SELECT Entw&APw-rfe", "UID COPY 4:5 INBOX",
        "UID STORE 4:5 +FLAGS.SILENT (\\Deleted)", "LOGOUT"}},
  };
  for (const auto& C : Cases) {
    std::vector<std::string> Lines;
    TScripted S([&](TScripted& T) { Recorder(T, C.Caps, Lines); });
    S.Client.SetUseSasl(C.Sasl);
    S.Client.SetPlainTextLogin(ptlAlways);
    S.Client.Open();
    const auto Boxes = S.Client.List();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Name, "Entw\xC3\xBCrfe");
    S.Client.Select(Boxes[0].Name);
    S.Client.UidMove("4:5", "INBOX");
    S.Client.Close();
    S.Thread.Join();
    EXPECT_EQ(Lines, C.Expected) << C.Caps;
  }
}

// A Cancel is never lost to a success: during a command whose answer is
// already read, in IDLE's wait, and right after a StopIdle.
TEST(ImapClient, ACancelEndsTheOperationItCameIn) {
  enum TWhen { wNoop, wIdleWait, wAfterStopIdle };
  for (const TWhen When : {wNoop, wIdleWait, wAfterStopIdle}) {
    TScripted S([&](TScripted& T) {
      T.Login();
      std::string Line;
      const std::string Tag = T.Command(&Line);
      SendText(T.Peer, When == wNoop ? "* 3 EXISTS\r\n" + Tag + " OK\r\n"
                                     : std::string("+ idling\r\n") + (When == wAfterStopIdle ? "* 3 EXISTS\r\n" : ""));
      ReadUntil(T.Peer, "\r\n", 2000);
      T.Peer.Reset();
    });
    S.Client.Open();
    std::thread Canceller;
    S.Client.OnExists = [&](TObject*, uint64_t) {
      if (When == wAfterStopIdle) S.Client.StopIdle();
      S.Client.Cancel();
    };
    S.Client.OnSendCommand = [&](TObject*, const std::string& AText) {
      if (When == wIdleWait && AText.find(" IDLE") != std::string::npos)
        Canceller = std::thread([&] { S.Client.Cancel(); });
    };
    const int Code = ErrorOf([&] {
      if (When == wNoop) S.Client.Noop();
      else S.Client.Idle(5000);
    });
    if (Canceller.joinable()) Canceller.join();
    EXPECT_EQ(Code, ECONNABORTED) << When;
    EXPECT_FALSE(S.Client.Active()) << When;
  }
}

}  // namespace
}  // namespace qm
