// The POP3 and SMTP clients against real dovecot and postfix through the
// fault-injecting proxy of tests/servers/fault-proxy.py: delays, 1-byte
// segments, stalls, a close or reset in either direction, a drop in the
// middle of the TLS handshake, garbage instead of a reply. Every case ends
// in success or a clear error within TimeOut plus a margin, leaves no file
// descriptor and no heap behind, and the same client object then runs a
// clean session.
#include <dirent.h>
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "net/qmTlsOpenSsl.h"
#include "tests/integration/qmTestServers.h"
#include "tests/net/qmNetTestUtil.h"

namespace qm {
namespace {

using namespace std::chrono;
using test::Port;
using test::ServerEnv;
using test::TestServers;
using test::Value;

constexpr int kTimeOut = 3000;
// Room for a loaded machine: the bounds catch hangs, not slowness.
constexpr auto kMargin = seconds(8);

int OpenFds() {
  int Count = 0;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (dirent* E = readdir(D))
      if (E->d_name[0] != '.') ++Count;
    closedir(D);
  }
  return Count - 1;  // the directory stream itself
}

size_t HeapInUse() { return mallinfo2().uordblks; }

// The ErrorCode of what AAction raises: a transport or protocol error, a
// TLS engine error (its status), or -997 for any other library exception;
// 0 when it raises nothing.
template <typename F>
int ErrorOf(F AAction, std::string& AMessage) {
  try {
    AAction();
  } catch (const EqmSocketError& E) {
    AMessage = E.Message();
    return E.ErrorCode();
  } catch (const EqmSSPIError& E) {
    AMessage = E.Message();
    return E.ErrorCode() ? E.ErrorCode() : -997;
  } catch (const Exception& E) {
    AMessage = E.Message();
    return -997;
  }
  return 0;
}

class FaultProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Smtp = Servers->Start("postfix");
    Pop3 = Servers->Env("dovecot");
    Servers->RunScript("fill-maildir.sh", {"--count", "2", "--size", "1000000"});
    Pop3Proxy = Servers->Start("faultproxy", {"pop3proxy", "127.0.0.1", Value(Pop3, "POP3_PORT")}, "pop3proxy");
    SmtpProxy = Servers->Start("faultproxy", {"smtpproxy", "127.0.0.1", Value(Smtp, "SMTP_PORT")}, "smtpproxy");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }

  // Sets the faults of the proxy's next connections.
  static void SetFaults(const ServerEnv& AProxy, const std::string& AFaults) {
    using namespace qmtest;
    TFd S(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in Sa{};
    Sa.sin_family = AF_INET;
    Sa.sin_port = htons(static_cast<uint16_t>(Port(AProxy, "PROXY_CONTROL_PORT")));
    Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(S, reinterpret_cast<sockaddr*>(&Sa), sizeof Sa), 0);
    SendText(S, "SET " + AFaults + "\n");
    ASSERT_EQ(ReadUntil(S, "\n", 5000), "OK\n");
  }

  void PreparePop3(TqmPop3& AClient) {
    AClient.SetServer("127.0.0.1");
    AClient.SetPort(Port(Pop3Proxy, "PROXY_PORT"));
    AClient.SetCaFile(Value(Pop3, "CA_CERT"));
    AClient.SetUserName(Value(Pop3, "POP3_USER"));
    AClient.SetPassword(Value(Pop3, "POP3_PASSWORD"));
    AClient.SetTimeOut(kTimeOut);
  }
  void PrepareSmtp(TqmSmtp& AClient) {
    AClient.SetServer("127.0.0.1");
    AClient.SetPort(Port(SmtpProxy, "PROXY_PORT"));
    AClient.SetCaFile(Value(Smtp, "CA_CERT"));
    AClient.SetUserName(Value(Smtp, "SMTP_USER"));
    AClient.SetPassword(Value(Smtp, "SMTP_PASSWORD"));
    AClient.SetTimeOut(kTimeOut);
    AClient.SetMailFrom(Value(Smtp, "SMTP_RCPT"));
    AClient.MailToList().Clear();
    AClient.MailToList().Add(Value(Smtp, "SMTP_RCPT"));
  }

  // Runs one session through the proxy with AFaults; expects AExpected (0:
  // success, -999: any EqmSocketError) within the bound, then checks that
  // nothing leaked and that a clean session works on the same object.
  template <typename TClient, typename F>
  void Case(const ServerEnv& AProxy, const std::string& AFaults, int AExpected, TClient& AClient, F ASession) {
    SCOPED_TRACE(AFaults);
    if (!FWarm) {
      // The first session creates what lives for the process (the thread's
      // message queue, OpenSSL's tables): not a leak.
      SetFaults(AProxy, "");
      std::string Message;
      EXPECT_EQ(ErrorOf([&] { ASession(AClient); }, Message), 0) << "warm-up: " << Message;
      FWarm = true;
    }
    const int Fds = OpenFds();
    const size_t Heap = HeapInUse();
    SetFaults(AProxy, AFaults);
    const auto Start = steady_clock::now();
    std::string Message;
    const int Code = ErrorOf([&] { ASession(AClient); }, Message);
    const auto Took = steady_clock::now() - Start;
    if (AExpected == -999)
      EXPECT_NE(Code, 0) << "no error";
    else
      EXPECT_EQ(Code, AExpected) << Message;
    EXPECT_LT(Took, milliseconds(kTimeOut) + kMargin) << Message;
    // An error leaves the client closed; closing again is harmless.
    try {
      AClient.Close();
    } catch (const EqmSocketError&) {
    }
    EXPECT_FALSE(AClient.Active());
    EXPECT_EQ(OpenFds(), Fds);
    // The reply lists keep the last reply; a megabyte or two of them is
    // fine, tens are a leak.
    AClient.Response().Clear();
    EXPECT_LT(static_cast<int64_t>(HeapInUse()) - static_cast<int64_t>(Heap), 4 << 20);
    SetFaults(AProxy, "");
    EXPECT_EQ(ErrorOf([&] { ASession(AClient); }, Message), 0) << "clean session after: " << Message;
    AClient.Close();
  }

  bool FWarm = false;
  static TestServers* Servers;
  static ServerEnv Smtp, Pop3, Pop3Proxy, SmtpProxy;
};

TestServers* FaultProxy::Servers = nullptr;
ServerEnv FaultProxy::Smtp, FaultProxy::Pop3, FaultProxy::Pop3Proxy, FaultProxy::SmtpProxy;

void LoginAndRetrieve(TqmPop3& AClient) {
  AClient.Open();
  AClient.Retrieve(1);
  if (AClient.Response().Count() < 1000) throw EqmSocketError("message cut short", -998);
  AClient.Close();
}

void LoginOnly(TqmPop3& AClient) {
  AClient.Open();
  (void)AClient.MessageCount();
  AClient.Close();
}

TEST_F(FaultProxy, Pop3LoginAndRetrieve) {
  TqmPop3 C;
  PreparePop3(C);
  Case(Pop3Proxy, "", 0, C, LoginAndRetrieve);
  Case(Pop3Proxy, "down_seg=1 up_seg=1", 0, C, LoginOnly);
  Case(Pop3Proxy, "down_delay=20 up_delay=20", 0, C, LoginOnly);
  // A stall longer than TimeOut in the greeting, and in the message.
  Case(Pop3Proxy, "down_stall=5:6", qmTimeoutErrorCode, C, LoginOnly);
  Case(Pop3Proxy, "down_stall=300000:6", qmTimeoutErrorCode, C, LoginAndRetrieve);
  // Closed or reset in the middle of the message, or of a command.
  Case(Pop3Proxy, "down_close=300000", -999, C, LoginAndRetrieve);
  Case(Pop3Proxy, "down_rst=300000", -999, C, LoginAndRetrieve);
  Case(Pop3Proxy, "up_rst=8", -999, C, LoginOnly);
  Case(Pop3Proxy, "up_close=8", -999, C, LoginOnly);
  // Garbage instead of the greeting: another protocol, at once.
  Case(Pop3Proxy, "down_garbage=0", qmUnexpectedReplyCode, C, LoginOnly);
}

TEST_F(FaultProxy, Pop3GarbageInsteadOfTheMessageEnd) {
  TqmPop3 C;
  PreparePop3(C);
  C.SetMaxResponseSize(8 << 20);
  Case(Pop3Proxy, "down_garbage=300000", qmResponseTooLargeCode, C, LoginAndRetrieve);
}

TEST_F(FaultProxy, Pop3StlsDroppedInTheHandshake) {
  TqmPop3 C;
  PreparePop3(C);
  C.SetUseTLS(ctExplicit);
  Case(Pop3Proxy, "tls_drop=20", -999, C, LoginOnly);
  Case(Pop3Proxy, "tls_drop=0", -999, C, LoginOnly);
  // Every byte of the handshake is progress, but it must end within TimeOut.
  Case(Pop3Proxy, "tls_dribble=100", qmTimeoutErrorCode, C, LoginOnly);
}

void SendBig(TqmSmtp& AClient) {
  AClient.Open();
  AClient.Send();
  AClient.Close();
}

TEST_F(FaultProxy, SmtpAuthAndTenMegabytes) {
  TqmSmtp C;
  PrepareSmtp(C);
  // Logs in (AUTH LOGIN: the server offers AUTH without TLS here).
  ASSERT_FALSE(Value(Smtp, "SMTP_USER").empty());
  TStringList Lines;
  Lines.Add("Subject: ten megabytes through a hostile proxy");
  Lines.Add("");
  const std::string Line(998, 'x');
  for (int I = 0; I < 10 * 1024; ++I) Lines.Add(Line);
  C.MailData().Assign(Lines);
  Case(SmtpProxy, "", 0, C, SendBig);
  // Stalled while the body goes up: the write waits TimeOut, no longer.
  Case(SmtpProxy, "up_stall=3000000:8", qmTimeoutErrorCode, C, SendBig);
  Case(SmtpProxy, "up_rst=2000000", -999, C, SendBig);
  Case(SmtpProxy, "up_close=2000000", -999, C, SendBig);
  Case(SmtpProxy, "down_seg=1", 0, C, SendBig);
  // The reply to the end of data never comes.
  Case(SmtpProxy, "down_stall=100:8", qmTimeoutErrorCode, C, SendBig);
  Case(SmtpProxy, "down_garbage=0", qmUnexpectedReplyCode, C, SendBig);
}

TEST_F(FaultProxy, SmtpStartTlsDroppedInTheHandshake) {
  TqmSmtp C;
  PrepareSmtp(C);
  C.SetUseTLS(ctExplicit);
  C.MailData().Clear();
  C.MailData().Add("Subject: small");
  C.MailData().Add("");
  C.MailData().Add("hello");
  Case(SmtpProxy, "tls_drop=30", -999, C, SendBig);
  Case(SmtpProxy, "tls_dribble=100", qmTimeoutErrorCode, C, SendBig);
}

}  // namespace
}  // namespace qm
