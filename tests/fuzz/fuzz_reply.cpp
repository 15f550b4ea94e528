// Feeds arbitrary server bytes to the command client and to the POP3 and
// SMTP reply handling through a socketpair: the client's end is attached
// to its connection as if connected, the fuzz input is what the server
// sends, then the server's end is shut. Every session must end in success
// or a library exception; nothing may crash, hang or leak. The first byte
// picks the session and the limits.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/qmException.h"
#include "core/qmStream.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "net/qmSocket.h"

using namespace qm;

namespace {

// The server's end; closed (and the client's peer gone) on destruction.
struct TPeer {
  int Fd = -1;
  ~TPeer() {
    if (Fd >= 0) close(Fd);
  }
};

// Attaches the client's end of a fresh socketpair to AClient's connection
// and sends AInput from the other end, which is then shut for writing.
bool Attach(TqmTcpCommandClient& AClient, const uint8_t* AInput, size_t ASize, TPeer& APeer) {
  int Pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair) != 0) return false;
  // Room for the whole input and for what the client writes back.
  int Big = 1 << 20;
  setsockopt(Pair[1], SOL_SOCKET, SO_SNDBUF, &Big, sizeof Big);
  setsockopt(Pair[0], SOL_SOCKET, SO_RCVBUF, &Big, sizeof Big);
  setsockopt(Pair[0], SOL_SOCKET, SO_SNDBUF, &Big, sizeof Big);
  APeer.Fd = Pair[1];
  size_t Sent = 0;
  while (Sent < ASize) {
    const ssize_t N = send(Pair[1], AInput + Sent, ASize - Sent, MSG_NOSIGNAL);
    if (N <= 0) break;
    Sent += static_cast<size_t>(N);
  }
  shutdown(Pair[1], SHUT_WR);
  TqmTcpClientConnection& Conn = *AClient.Connection();
  Conn.SetNetworkStream(std::make_unique<TqmNetworkStream>());
  Conn.CreateSocket(AF_UNIX, SOCK_STREAM, 0);
  Conn.Socket().SetHandle(Pair[0], AF_UNIX, SOCK_STREAM);
  Conn.SelectNetworkEvents(neRead | neWrite | neClose);
  Conn.SetActive(true);
  return true;
}

template <typename F>
void Guarded(F AStep) {
  try {
    AStep();
  } catch (const Exception&) {
  }
}

void Limits(TqmTcpCommandClient& AClient, uint8_t ASelector) {
  AClient.SetTimeOut(2000);
  AClient.SetDisableGuiProcessing(true);
  if (ASelector & 0x10) {
    // Small limits, so that the input reaches them.
    AClient.SetMaxReplyLineLength(64);
    AClient.SetMaxDataLineLength(256);
    AClient.SetMaxReplyLines(4);
    AClient.SetMaxResponseSize(4096);
  }
  if (ASelector & 0x20) AClient.SetCharSet("iso-8859-1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0 || Size > (256 << 10)) return 0;
  const uint8_t Selector = Data[0];
  ++Data;
  --Size;
  TPeer Peer;
  switch (Selector % 3) {
    case 0: {
      TqmPop3 Client;
      Limits(Client, Selector);
      Client.SetUserName("user");
      Client.SetPassword("secret");
      Client.SetUseSasl(Selector & 0x40);
      if (!Attach(Client, Data, Size, Peer)) return 0;
      Guarded([&] { Client.OpenSession(); });
      Guarded([&] { (void)Client.MessageCount(); });
      Guarded([&] { (void)Client.GetMessageSize(1); });
      TqmMailMessage Message;
      Guarded([&] { Client.RetrieveHeader(1, &Message); });
      Guarded([&] { Client.Retrieve(1, &Message); });
      // The data read in blocks: into a stream, and into one buffer.
      TMemoryStream Stream;
      Guarded([&] { Client.Retrieve(2, Stream); });
      Guarded([&] { Client.RetrieveMessage(3, Message); });
      break;
    }
    case 1: {
      TqmSmtp Client;
      Limits(Client, Selector);
      Client.SetHostName("client.example");
      Client.SetUserName("user");
      Client.SetPassword("secret");
      Client.SetUseSasl(Selector & 0x40);
      if (!Attach(Client, Data, Size, Peer)) return 0;
      Guarded([&] { Client.StartSession(); });
      Client.SetMailFrom("a@example.org");
      Client.MailToList().Add("b@example.org");
      Client.SetSkipFailedRecipients(Selector & 0x80);
      Client.MailData().Add("Subject: x");
      Client.MailData().Add("");
      Client.MailData().Add(".dot");
      Guarded([&] { Client.Send(); });
      break;
    }
    default: {
      // The bare command client: replies judged by SMTP's codes, then a
      // dot-terminated body.
      TqmSmtp Client;
      Limits(Client, Selector);
      if (!Attach(Client, Data, Size, Peer)) return 0;
      Guarded([&] { Client.SendCommandSync("NOOP", {250}); });
      Guarded([&] { Client.SendCommandSync("NOOP", {}); });
      Guarded([&] { Client.SendCommandSync("NOOP", {0}); });
      Guarded([&] { Client.WaitMultipleLines(100); });
      break;
    }
  }
  return 0;
}
