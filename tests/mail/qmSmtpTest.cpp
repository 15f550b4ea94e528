// The SMTP client against a scripted server of the test's own, for what
// real servers do rarely: pipelined replies that arrive together with a
// refusal among them, DATA answered 354 when nobody was accepted, a BDAT
// chunk refused, and a SCRAM server that cannot prove it knows the
// password.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include "core/qmStrings.h"
#include "message/qmEncoder.h"
#include "mail/qmSaslClient.h"
#include "mail/qmSmtp.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace qmtest;

// A step of the server: read ALines command lines (-1: message data up to
// the lone dot; a BDAT line also takes its chunk), then send Reply in one
// write (nothing when empty).
struct TStep {
  int Lines;
  std::string Reply;
};

struct TSmtpServer {
  TFd Listen, Peer;
  int Port = 0;
  std::string Received, Pending;
  TServerThread Thread;

  TSmtpServer(const std::string& AExtensions, std::function<void(TSmtpServer&)> AScript) {
    Listen = Listener("127.0.0.1", Port);
    Thread = TServerThread([this, AExtensions, AScript] {
      Peer = AcceptOne(Listen);
      int On = 1;
      setsockopt(Peer, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
      SendText(Peer, "220 scripted ESMTP\r\n");
      ReadLine();
      SendText(Peer, "250-scripted\r\n" + AExtensions + "250 8BITMIME\r\n");
      Received.clear();
      AScript(*this);
      Peer.Reset();
    });
  }
  void Fill(size_t ASize) {
    char Buffer[4096];
    while (Pending.size() < ASize && WaitReadable(Peer, 5000)) {
      const ssize_t N = recv(Peer, Buffer, sizeof Buffer, 0);
      if (N <= 0) break;
      Pending.append(Buffer, static_cast<size_t>(N));
    }
  }
  std::string Take(size_t ASize) {
    const std::string Text = Pending.substr(0, ASize);
    Pending.erase(0, ASize);
    Received += Text;
    return Text;
  }
  std::string ReadUntil(const std::string& AEnd) {
    for (;;) {
      const size_t At = Pending.find(AEnd);
      if (At != std::string::npos) return Take(At + AEnd.size());
      const size_t Before = Pending.size();
      Fill(Before + 1);
      if (Pending.size() == Before) return Take(Before);
    }
  }
  std::string ReadLine() {
    std::string Line = ReadUntil("\r\n");
    if (Line.rfind("BDAT ", 0) == 0) {
      const size_t Size = std::stoul(Line.substr(5));
      Fill(Size);
      Take(Size);
    }
    return Line;
  }
  void Run(const std::vector<TStep>& ASteps) {
    for (const TStep& Step : ASteps) {
      if (Step.Lines < 0) ReadUntil("\r\n.\r\n");
      for (int I = 0; I < Step.Lines; ++I) ReadLine();
      if (!Step.Reply.empty()) SendText(Peer, Step.Reply);
    }
  }
};

struct TClient : TqmSmtp {
  std::vector<std::string> Sent;
  explicit TClient(int APort) {
    SetServer("127.0.0.1");
    SetPort(APort);
    SetTimeOut(5000);
    SetHostName("client.qm.test");
    OnSendCommand = [this](TObject*, const std::string& AText) { Sent.push_back(AText); };
  }
  ~TClient() override {
    try {
      Close();
    } catch (...) {
    }
  }
};

int ErrorCodeOf(const std::function<void()>& ABody) {
  try {
    ABody();
  } catch (const EqmSocketError& E) {
    return E.ErrorCode();
  }
  return 0;
}

struct TPipelineCase {
  const char* Name;
  bool Skip;
  std::vector<TStep> Steps;      // after EHLO
  int Error;                     // of Send()
  std::vector<int> Refused;      // codes in FailedRecipients()
  std::string SentAfterGroup;    // what the server got after the group
};

const std::string kGroup = "MAIL FROM: <a@qm.test>\r\nRCPT TO: <one@qm.test>\r\nRCPT TO: <bad@qm.test>\r\n"
                           "RCPT TO: <three@qm.test>\r\n";

class SmtpPipeline : public ::testing::TestWithParam<TPipelineCase> {};

TEST_P(SmtpPipeline, RepliesReadInOrder) {
  const TPipelineCase& C = GetParam();
  TSmtpServer Server("250-PIPELINING\r\n",
                     [&](TSmtpServer& S) { S.Run(C.Steps); S.Run({{1, "250 2.0.0 reset\r\n"}}); });
  TClient Client(Server.Port);
  Client.SetSkipFailedRecipients(C.Skip);
  Client.Open();
  Client.SetMailFrom("a@qm.test");
  Client.MailToList().SetText("one@qm.test\r\nbad@qm.test\r\nthree@qm.test\r\n");
  Client.MailData().SetText("Subject: x\r\nMessage-ID: <m@qm.test>\r\nX-Mailer: t\r\n\r\n.body\r\n");
  EXPECT_EQ(ErrorCodeOf([&] { Client.Send(); }), C.Error);
  std::vector<int> Refused;
  for (int I = 0; I < Client.FailedRecipients().Count(); ++I)
    Refused.push_back(Client.FailedRecipients().Items(I).ErrorCode);
  EXPECT_EQ(Refused, C.Refused);
  // The session is still in step: the next reply is RSET's.
  ASSERT_TRUE(Client.Active());
  Client.Reset();
  EXPECT_EQ(Client.Response().Text(), "250 2.0.0 reset\r\n");
  Server.Thread.Join();
  const std::string Group = kGroup + (C.Skip ? "DATA\r\n" : "");
  ASSERT_EQ(Server.Received.substr(0, Group.size()), Group);
  EXPECT_EQ(Server.Received.substr(Group.size()), C.SentAfterGroup + "RSET\r\n");
}

const std::string kBody = "Subject: x\r\nMessage-ID: <m@qm.test>\r\nX-Mailer: t\r\n\r\n..body\r\n.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpPipeline,
    ::testing::Values(
        // The five replies in one segment, the refusal in the middle.
        TPipelineCase{"RefusalSkipped", true,
                      {{5, "250 ok\r\n250 one\r\n550 5.1.1 no such user\r\n250 three\r\n354 go\r\n"},
                       {-1, "250 queued\r\n"}},
                      qmSmtpFailedRecipientsCode, {550}, kBody},
        // Without skipping DATA waits: the refusal stops the message.
        TPipelineCase{"RefusalRaised", false,
                      {{4, "250 ok\r\n250 one\r\n550 5.1.1 no such user\r\n250 three\r\n"}}, 550, {}, ""},
        // Replies cut inside a line and a multi-line one.
        TPipelineCase{"RepliesSplitAndMultiLine", false,
                      {{4, "250 ok\r\n250-one\r\n250 still one\r\n2"}, {0, "50 bad is fine\r\n250 three\r\n"},
                       {1, "354 go\r\n"}, {-1, "250 queued\r\n"}},
                      0, {}, "DATA\r\n" + kBody},
        // Nobody accepted but DATA got 354: a lone dot, no body.
        TPipelineCase{"AllRefusedData354", true,
                      {{5, "250 ok\r\n550 a\r\n550 b\r\n551 c\r\n354 go\r\n"}, {1, "554 no valid recipients\r\n"}},
                      qmSmtpFailedRecipientsCode, {550, 550, 551}, ".\r\n"},
        TPipelineCase{"AllRefusedDataRefused", true,
                      {{5, "250 ok\r\n550 a\r\n550 b\r\n550 c\r\n554 no valid recipients\r\n"}},
                      qmSmtpFailedRecipientsCode, {550, 550, 550}, ""},
        TPipelineCase{"MailRefused", true,
                      {{5, "553 sender refused\r\n503 a\r\n503 b\r\n503 c\r\n503 no mail\r\n"}}, 553, {}, ""}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(SmtpChunking, RefusedChunkIsRaisedAndTheSessionGoesOn) {
  TSmtpServer Server("250-PIPELINING\r\n250-CHUNKING\r\n", [](TSmtpServer& S) {
    S.Run({{2, "250 ok\r\n250 rcpt\r\n"}, {1, "552 5.3.4 chunk refused\r\n"}, {1, "250 reset\r\n"}});
  });
  TClient Client(Server.Port);
  Client.Open();
  Client.SetMailFrom("a@qm.test");
  Client.MailToList().Add("b@qm.test");
  Client.MailData().SetText("Subject: x\r\n\r\n.body\r\n");
  EXPECT_EQ(ErrorCodeOf([&] { Client.Send(); }), 552);
  Client.Reset();
  Server.Thread.Join();
  EXPECT_NE(Server.Received.find("BDAT "), std::string::npos);
  EXPECT_NE(Server.Received.find("\r\n.body\r\nRSET\r\n"), std::string::npos) << Server.Received;
}

// A message of four chunks from a stream, the second refused. With
// PIPELINING the server reads two chunks before it answers (a client that
// waited would time out) and the third is already on its way: its reply
// is read too. No chunk follows a refusal, and the session goes on; or
// the server hangs up after its refusal, which the client then raises
// (read with the reply before it) rather than its failed write. A stream
// that fails to read in the third chunk: its error once the replies due
// are read, so that RSET gets its own.
struct TChunkCase {
  const char* Name;
  std::string Extensions;
  std::vector<TStep> Steps;  // after EHLO
  int Chunks;                // chunks the server gets
  bool HangUp;               // the server closes after Steps
  std::string Error;
  int64_t ReadBudget = INT64_MAX;  // bytes the stream gives before failing
};

struct TFailingStream : TStringStream {
  using TStringStream::TStringStream;
  int64_t Budget = 0;
  int64_t Read(void* ABuffer, int64_t ACount) override {
    const int64_t Got = TStringStream::Read(ABuffer, ACount);
    if ((Budget -= Got) < 0) throw EReadError("disk gone");
    return Got;
  }
};

class SmtpChunkRefused : public ::testing::TestWithParam<TChunkCase> {};

TEST_P(SmtpChunkRefused, RaisedAfterTheChunksWrittenAreAnswered) {
  const TChunkCase& C = GetParam();
  TSmtpServer Server(C.Extensions + "250-CHUNKING\r\n", [&](TSmtpServer& S) {
    S.Run(C.Steps);
    if (!C.HangUp) S.Run({{1, "250 reset\r\n"}});
  });
  std::string Message = "Subject: x\r\nMessage-ID: <m@qm.test>\r\nX-Mailer: t\r\n\r\n";
  for (int I = 0; Message.size() < 3 * qmSmtpChunkSize + 1000; ++I)
    Message += (I % 5 ? "" : ".") + std::string("line ") + std::to_string(I) + std::string(I % 90, '=') + "\r\n";
  TFailingStream Data(Message);
  Data.Budget = C.ReadBudget;
  TClient Client(Server.Port);
  Client.Open();
  Client.SetMailFrom("a@qm.test");
  Client.MailToList().Add("b@qm.test");
  try {
    Client.SendStream(Data);
    ADD_FAILURE() << "sent";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), C.Error);
  }
  EXPECT_EQ(Client.FailedRecipients().Count(), 0);
  ASSERT_EQ(Client.Active(), !C.HangUp);
  if (!C.HangUp) {
    Client.Reset();
    EXPECT_EQ(Client.Response().Text(), "250 reset\r\n");
  }
  Server.Thread.Join();
  // The chunks as the server got them: the message's first bytes.
  const std::string& Got = Server.Received;
  size_t At = Got.find("BDAT ");
  ASSERT_NE(At, std::string::npos);
  std::string Content;
  int Chunks = 0;
  for (; Got.compare(At, 5, "BDAT ") == 0; ++Chunks) {
    const size_t End = Got.find("\r\n", At);
    EXPECT_EQ(Got.find("LAST", At), std::string::npos);
    const size_t Size = std::stoul(Got.substr(At + 5, End - At - 5));
    EXPECT_GE(Size, static_cast<size_t>(qmSmtpChunkSize));
    Content += Got.substr(End + 2, Size);
    At = End + 2 + Size;
  }
  EXPECT_EQ(Chunks, C.Chunks);
  EXPECT_TRUE(Content == Message.substr(0, Content.size()));
  EXPECT_EQ(Got.substr(At), C.HangUp ? "" : "RSET\r\n");
}

const std::string kRefused = "552 5.3.4 chunk 2 refused";

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpChunkRefused,
    ::testing::Values(TChunkCase{"Pipelined", "250-PIPELINING\r\n",
                                 {{2, "250 ok\r\n250 rcpt\r\n"}, {2, "250 2.0.0 chunk 1\r\n" + kRefused + "\r\n"},
                                  {1, "503 5.5.1 no transaction\r\n"}},
                                 3, false, kRefused},
                      TChunkCase{"PipelinedHangUp", "250-PIPELINING\r\n",
                                 {{2, "250 ok\r\n250 rcpt\r\n"}, {2, "250 2.0.0 chunk 1\r\n" + kRefused + "\r\n"}},
                                 2, true, kRefused},
                      TChunkCase{"OneAtATime", "",
                                 {{1, "250 ok\r\n"}, {1, "250 rcpt\r\n"}, {1, "250 2.0.0 chunk 1\r\n"},
                                  {1, kRefused + "\r\n"}},
                                 2, false, kRefused},
                      // The header's block and the first pass, then two and
                      // a half chunks.
                      TChunkCase{"ReadErrorInChunk3", "250-PIPELINING\r\n",
                                 {{2, "250 ok\r\n250 rcpt\r\n"}, {1, "250 chunk 1\r\n"}, {1, "250 chunk 2\r\n"}},
                                 2, false, "disk gone", 65536 + 3 * qmSmtpChunkSize + 1000 + 5 * qmSmtpChunkSize / 2}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// BODY=8BITMIME for a streamed message with one 8-bit byte wherever it
// is (the scan goes by words and runs of them), and not without one.
TEST(SmtpStream, EightBitByteFoundWhereverItIs) {
  const std::vector<size_t> Positions = {std::string::npos, 0, 7, 8, 13, 4095, 4096, 4103, 65536 + 4100, 69999};
  TSmtpServer Server("", [&](TSmtpServer& S) {
    for (size_t I = 0; I < Positions.size(); ++I)
      S.Run({{1, "250 ok\r\n"}, {1, "250 ok\r\n"}, {1, "354 go\r\n"}, {-1, "250 queued\r\n"}});
  });
  TClient Client(Server.Port);
  Client.Open();
  Client.SetMailFrom("a@qm.test");
  Client.MailToList().Add("b@qm.test");
  std::string Body;
  while (Body.size() < 70000) Body += "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
  for (size_t Position : Positions) {
    std::string Message = "Subject: x\r\nMessage-ID: <m@qm.test>\r\nX-Mailer: t\r\n\r\n" + Body;
    if (Position != std::string::npos) Message[Message.size() - Body.size() + Position] = '\xE9';
    TStringStream Data(Message);
    Client.SendStream(Data);
    const std::string& Mail = Client.Sent[Client.Sent.size() - 3];
    EXPECT_EQ(Mail.find("BODY=8BITMIME") != std::string::npos, Position != std::string::npos) << Position << Mail;
  }
}

// The server plays SCRAM-SHA-256 without knowing the password: its last
// word is ALast (a 334 challenge or the final reply).
struct TScramCase {
  const char* Name;
  std::string Last;
  int Error;
};

class SmtpScram : public ::testing::TestWithParam<TScramCase> {};

TEST_P(SmtpScram, ServerThatCannotProveItIsRefused) {
  const TScramCase& C = GetParam();
  auto B64 = [](const std::string& A) { return TqmEncoder::EncodeString(A, cmBase64); };
  TSmtpServer Server("250-AUTH SCRAM-SHA-256\r\n", [&](TSmtpServer& S) {
    const std::string First = TqmEncoder::DecodeString(Trim(S.ReadLine().substr(19)), cmBase64);
    const std::string Nonce = First.substr(First.find(",r=") + 3);
    SendText(S.Peer, "334 " + B64("r=" + Nonce + "server,s=" + B64("salt") + ",i=4096") + "\r\n");
    S.Run({{1, C.Last}, {1, "501 5.7.0 cancelled\r\n"}});
  });
  TClient Client(Server.Port);
  Client.SetUserName("user");
  Client.SetPassword("secret");
  Client.SetUseSasl(true);
  Client.SetSaslMechanisms("SCRAM-SHA-256");
  EXPECT_EQ(ErrorCodeOf([&] { Client.Open(); }), C.Error);
  EXPECT_FALSE(Client.Active());
  // No empty line that would let the server report success.
  EXPECT_NE(Client.Sent.back(), "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpScram,
    ::testing::Values(TScramCase{"WrongSignature",
                                 "334 " + TqmEncoder::EncodeString("v=" + TqmEncoder::EncodeString(std::string(32, 'x'), cmBase64), cmBase64) + "\r\n",
                                 qmSaslServerNotVerifiedCode},
                      TScramCase{"SuccessWithoutSignature", "235 2.7.0 ok\r\n", qmSaslServerNotVerifiedCode},
                      TScramCase{"ServerError", "334 " + TqmEncoder::EncodeString("e=invalid-proof", cmBase64) + "\r\n",
                                 qmSaslServerErrorCode}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

}  // namespace
}  // namespace qm
