#include "net/qmSocket.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/qmStrings.h"
#include "tests/net/qmNetTestUtil.h"

using namespace qm;
using namespace qmtest;
using namespace std::chrono;

namespace {

std::unique_ptr<TqmTcpClientConnection> NewConnection(int ATimeOut = 5000) {
  auto C = std::make_unique<TqmTcpClientConnection>();
  C->SetNetworkStream(std::make_unique<TqmNetworkStream>());
  C->SetTimeOut(ATimeOut);
  return C;
}

// Reads until the text holds AExpected bytes or the connection closes.
std::string ReadText(TqmConnection& AConnection, size_t AExpected) {
  TStringStream Data;
  while (static_cast<size_t>(Data.Size()) < AExpected && AConnection.Active()) AConnection.ReadData(&Data);
  return Data.DataString();
}

// A listener whose backlog is full, so that the next connect hangs.
struct TFullBacklog {
  TFd Listen;
  TFd Filler;
  int Port = 0;
  explicit TFullBacklog(const std::string& AAddress) {
    Listen = Listener(AAddress, Port, 0);
    Filler.Reset(socket(Family(AAddress), SOCK_STREAM, 0));
    int Ignored = 0;
    TFd Probe = BoundSocket(AAddress, SOCK_STREAM, Ignored);
    // Connect the filler through the kernel's queue and leave it there.
    sockaddr_storage Sa{};
    socklen_t Len = sizeof Sa;
    getsockname(Listen, reinterpret_cast<sockaddr*>(&Sa), &Len);
    if (connect(Filler, reinterpret_cast<sockaddr*>(&Sa), Len) < 0) throw std::runtime_error("filler");
  }
};

// A GUI pump that always has something to dispatch.
struct TBusyPump : TqmGuiPump {
  std::atomic<int> Dispatched{0};
  bool HasPending() override { return true; }
  void Dispatch() override { ++Dispatched; }
};

struct TPumpInstaller {
  explicit TPumpInstaller(TqmGuiPump* APump) { TqmMessageQueue::Current().SetGuiPump(APump); }
  ~TPumpInstaller() { TqmMessageQueue::Current().SetGuiPump(nullptr); }
};

std::string Sha256Hex(const EVP_MD_CTX* ACtx) {
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned Len = 0;
  EVP_MD_CTX* Copy = EVP_MD_CTX_new();
  EVP_MD_CTX_copy_ex(Copy, ACtx);
  EVP_DigestFinal_ex(Copy, Digest, &Len);
  EVP_MD_CTX_free(Copy);
  std::string Hex;
  char Two[3];
  for (unsigned I = 0; I < Len; ++I) {
    std::snprintf(Two, sizeof Two, "%02x", Digest[I]);
    Hex += Two;
  }
  return Hex;
}

}  // namespace

class TcpConnectionOnAddress : public ::testing::TestWithParam<std::string> {};

TEST_P(TcpConnectionOnAddress, ConnectsToALiteralAndMovesBytesBothWays) {
  int Port = 0;
  TFd L = Listener(GetParam(), Port);
  TServerThread Server = EchoServer(L);
  auto C = NewConnection();
  C->Open(GetParam(), Port);
  ASSERT_TRUE(C->Active());
  EXPECT_EQ(C->PeerIP(), GetParam());
  EXPECT_EQ(C->PeerPort(), Port);
  EXPECT_EQ(C->LocalIP(), GetParam());
  EXPECT_GT(C->LocalPort(), 0);
  C->WriteString("HELO test\r\n", "");
  EXPECT_EQ(ReadText(*C, 11), "HELO test\r\n");
  C->Abort();
  C->Disconnect(true);
  EXPECT_FALSE(C->Active());
  EXPECT_FALSE(C->Socket().IsValid());
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpConnectionOnAddress, ::testing::Values("127.0.0.1", "::1"));

TEST(TcpConnection, RefusedConnectRaisesTheSystemCode) {
  int Port = 0;
  { TFd Closed = Listener("127.0.0.1", Port); }
  auto C = NewConnection();
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C->Open("127.0.0.1", Port); }, &Message), ECONNREFUSED);
  EXPECT_EQ(Message, std::strerror(ECONNREFUSED));
  EXPECT_FALSE(C->Active());
  EXPECT_EQ(CodeOf([&] { C->Open("not-an-address", Port); }), -2);
  EXPECT_EQ(CodeOf([&] { C->Open("127.0.0.1", -5); }), -3);
}

TEST(TcpConnection, ConnectTimeOutAppliesToTheConnectWaitOnly) {
  TFullBacklog Full("127.0.0.1");
  auto C = NewConnection(60000);
  C->SetConnectTimeOut(300);
  const auto Start = steady_clock::now();
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C->Open("127.0.0.1", Full.Port); }, &Message), -1);
  EXPECT_EQ(Message, "Timeout error occured");
  const auto Took = steady_clock::now() - Start;
  EXPECT_GE(Took, milliseconds(300));
  EXPECT_LT(Took, seconds(30));
  EXPECT_FALSE(C->Active());
}

TEST(TcpConnection, ConnectTimeOutZeroUsesTimeOut) {
  TFullBacklog Full("::1");
  auto C = NewConnection(300);
  const auto Start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { C->Open("::1", Full.Port); }), -1);
  EXPECT_GE(steady_clock::now() - Start, milliseconds(300));
  EXPECT_FALSE(C->Active());
}

TEST(TcpConnection, AbortFromATimerEndsTheConnectQuietly) {
  TFullBacklog Full("127.0.0.1");
  auto C = NewConnection(60000);
  auto& Queue = TqmMessageQueue::Current();
  auto Timer = Queue.SetTimer(milliseconds(100), [&] { C->Abort(); });
  const auto Start = steady_clock::now();
  EXPECT_NO_THROW(C->Open("127.0.0.1", Full.Port));
  Queue.KillTimer(Timer);
  EXPECT_LT(steady_clock::now() - Start, seconds(30));
  EXPECT_FALSE(C->Active());
  EXPECT_FALSE(C->Socket().IsValid());
}

TEST(TcpConnection, SilentPeerTimesOutWhileMessagesAreDispatched) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    ReadUntil(S, "never", 3000);
  });
  auto C = NewConnection(300);
  C->Open("127.0.0.1", Port);
  std::atomic<int> Ticks{0};
  auto& Queue = TqmMessageQueue::Current();
  auto Timer = Queue.SetTimer(milliseconds(20), [&] { ++Ticks; });
  TStringStream Data;
  auto Start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { C->ReadData(&Data); }), -1);
  EXPECT_GE(steady_clock::now() - Start, milliseconds(300));
  EXPECT_GE(Ticks.load(), 2);
  Queue.KillTimer(Timer);

  // A pump that never runs dry: the elapsed check ends the read.
  TBusyPump Pump;
  {
    TPumpInstaller Install(&Pump);
    Start = steady_clock::now();
    EXPECT_EQ(CodeOf([&] { C->ReadData(&Data); }), -1);
    EXPECT_GE(steady_clock::now() - Start, milliseconds(300));
    EXPECT_LT(steady_clock::now() - Start, seconds(30));
  }
  EXPECT_GT(Pump.Dispatched.load(), 10);
  EXPECT_TRUE(C->Active());
  EXPECT_EQ(Data.Size(), 0);
}

TEST(TcpConnection, DataArrivesWhileABusyPumpRuns) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    ReadUntil(S, "go");
    SendText(S, "answer");
    ReadUntil(S, "never", 3000);
  });
  auto C = NewConnection(5000);
  C->Open("127.0.0.1", Port);
  TBusyPump Pump;
  TPumpInstaller Install(&Pump);
  C->WriteString("go", "");
  EXPECT_EQ(ReadText(*C, 6), "answer");
}

TEST(TcpConnection, DisabledGuiProcessingDispatchesNothing) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    ReadUntil(S, "never", 2000);
  });
  auto C = NewConnection(200);
  C->SetDisableGuiProcessing(true);
  C->Open("127.0.0.1", Port);
  int Ticks = 0;
  auto& Queue = TqmMessageQueue::Current();
  auto Timer = Queue.SetTimer(milliseconds(10), [&] { ++Ticks; });
  TStringStream Data;
  EXPECT_EQ(CodeOf([&] { C->ReadData(&Data); }), -1);
  Queue.KillTimer(Timer);
  EXPECT_EQ(Ticks, 0);
}

TEST(TcpConnection, GracefulCloseHandsOverTheDataThenDisconnects) {
  int Port = 0;
  TFd L = Listener("::1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    SendText(S, "last words");
    shutdown(S, SHUT_WR);
    ReadUntil(S, "never", 3000);
  });
  auto C = NewConnection();
  C->Open("::1", Port);
  TStringStream Data;
  while (C->Active()) C->ReadData(&Data);
  EXPECT_EQ(Data.DataString(), "last words");
  EXPECT_TRUE(C->NetworkStream().ClosedByPeer() || C->PeerClosed());
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C->ReadData(&Data); }, &Message), ENOTSOCK);
  EXPECT_EQ(Message, std::strerror(ENOTSOCK));
  EXPECT_EQ(CodeOf([&] { C->WriteString("more", ""); }), ENOTSOCK);
}

TEST(TcpConnection, DataAndCloseThatArrivedTogetherEndInOneRead) {
  // A read that takes fewer bytes than it asked for stops there (the socket
  // is empty), unless the wait saw the peer's end: then the same read goes
  // on to it, so that a reply and the close behind it are one event.
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  std::atomic<bool> Sent{false};
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    SendText(S, "221 bye\r\n");
    shutdown(S, SHUT_WR);
    Sent = true;
    ReadUntil(S, "never", 3000);
  });
  auto C = NewConnection();
  C->Open("127.0.0.1", Port);
  while (!Sent) std::this_thread::sleep_for(milliseconds(1));
  TStringStream Data;
  C->ReadData(&Data);
  EXPECT_EQ(Data.DataString(), "221 bye\r\n");
  EXPECT_FALSE(C->Active());
}

TEST(TcpConnection, ResetDuringALargeWriteRaisesConnectionReset) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    char Buffer[1000];
    recv(S, Buffer, sizeof Buffer, 0);
    linger Hard{1, 0};
    setsockopt(S, SOL_SOCKET, SO_LINGER, &Hard, sizeof Hard);
  });
  auto C = NewConnection();
  C->Open("127.0.0.1", Port);
  TMemoryStream Big;
  Big.SetSize(64 << 20);
  Big.SetPosition(0);
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C->WriteData(&Big); }, &Message), ECONNRESET);
  EXPECT_EQ(Message, std::strerror(ECONNRESET));
  EXPECT_FALSE(C->Active());
  EXPECT_LT(Big.Position(), Big.Size());
}

namespace {

// Writes ASource (ATotal bytes from position 0) in one WriteData to a
// reader that keeps finding the socket full, and checks that every byte
// arrives once and in order.
void WriteToASlowReader(TStream& ASource, int64_t ATotal) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  std::string ServerDigest;
  int64_t ServerBytes = 0;
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    EVP_MD_CTX* Ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(Ctx, EVP_sha256(), nullptr);
    // Slow: small reads and a pause every 128 KB (about 100 MB/s at most),
    // so the writer keeps finding the socket full. The receive buffer keeps
    // its default size: a window shrunk after the handshake makes loopback
    // TCP stall on its persist timer, which measures the kernel, not us.
    char Buffer[16384];
    int Reads = 0;
    while (WaitReadable(S, 20000)) {
      ssize_t N = recv(S, Buffer, sizeof Buffer, 0);
      if (N <= 0) break;
      EVP_DigestUpdate(Ctx, Buffer, static_cast<size_t>(N));
      ServerBytes += N;
      if (++Reads % 8 == 0) std::this_thread::sleep_for(milliseconds(1));
    }
    ServerDigest = Sha256Hex(Ctx);
    EVP_MD_CTX_free(Ctx);
  });

  EVP_MD_CTX* Ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(Ctx, EVP_sha256(), nullptr);
  ASource.SetPosition(0);
  std::vector<uint8_t> Piece(1 << 20);
  for (int64_t Left = ATotal; Left > 0;) {
    const int64_t N = std::min<int64_t>(Left, static_cast<int64_t>(Piece.size()));
    ASource.ReadBuffer(Piece.data(), N);
    EVP_DigestUpdate(Ctx, Piece.data(), static_cast<size_t>(N));
    Left -= N;
  }
  const std::string ClientDigest = Sha256Hex(Ctx);
  EVP_MD_CTX_free(Ctx);

  auto C = NewConnection(20000);
  C->SetBatchSize(65536);
  int64_t LastProgress = 0;
  C->OnProgress = [&](TObject*, int64_t AProceed, int64_t ATotalBytes) {
    EXPECT_EQ(ATotalBytes, ATotal);
    LastProgress = AProceed;
  };
  C->Open("127.0.0.1", Port);
  C->InitProgress(ATotal, 0);
  ASource.SetPosition(0);
  ASSERT_TRUE(C->WriteData(&ASource));
  EXPECT_EQ(ASource.Position(), ATotal);
  EXPECT_EQ(LastProgress, ATotal);
  C->Disconnect(false);
  Server.Join();
  EXPECT_EQ(ServerBytes, ATotal);
  EXPECT_EQ(ServerDigest, ClientDigest);
}

void FillPseudoRandom(uint8_t* AData, int64_t ACount) {
  uint32_t X = 12345;
  for (int64_t I = 0; I < ACount; ++I) {
    X = X * 1103515245u + 12345u;
    AData[I] = static_cast<uint8_t>(X >> 24);
  }
}

}  // namespace

TEST(TcpConnection, LargeWriteToASlowReaderArrivesCompleteAndInOrder) {
  // A memory stream is sent from where its bytes are.
  constexpr int64_t Total = 64 << 20;
  TMemoryStream Source;
  Source.SetSize(Total);
  FillPseudoRandom(Source.Memory(), Total);
  WriteToASlowReader(Source, Total);
}

TEST(TcpConnection, LargeWriteFromAFileToASlowReaderArrivesCompleteAndInOrder) {
  // Any other stream passes through the network stream's buffer, and a
  // send that would block must give the unsent part back to the source.
  constexpr int64_t Total = 16 << 20;
  char Name[] = "/tmp/qm_slow_reader_XXXXXX";
  const int Fd = mkstemp(Name);
  ASSERT_GE(Fd, 0);
  close(Fd);
  {
    std::vector<uint8_t> Data(static_cast<size_t>(Total));
    FillPseudoRandom(Data.data(), Total);
    TFileStream Out(Name, fmCreate);
    Out.WriteBuffer(Data.data(), Total);
  }
  {
    TFileStream Source(Name, fmOpenRead);
    WriteToASlowReader(Source, Total);
  }
  unlink(Name);
}

TEST(TcpConnection, AWriteCutShortByTheByteLimitHoldsNothingBack) {
  // The chunks before the limit go out as "more follows"; the write that
  // the limit ends must still put them on the wire, though nothing else is
  // written after it and the connection stays open. (The kernel would send
  // held-back bytes only after about 200 ms; its count of unsent bytes
  // shows them at once.)
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  std::string Got;
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    char Buffer[4096];
    while (Got.size() < 2500 && WaitReadable(S, 3000)) {
      ssize_t N = recv(S, Buffer, sizeof Buffer, 0);
      if (N <= 0) break;
      Got.append(Buffer, static_cast<size_t>(N));
    }
  });
  std::string Text;
  for (int I = 0; Text.size() < 10000; ++I) Text += std::to_string(I) + ' ';
  Text.resize(10000);
  auto C = NewConnection();
  C->SetBatchSize(1000);
  C->Open("127.0.0.1", Port);
  C->NetworkStream().ResetProgress();
  C->SetBytesToProceed(2500);
  TStringStream Source(Text);
  ASSERT_TRUE(C->WriteData(&Source));
  EXPECT_EQ(Source.Position(), 2500);
  int Unsent = -1;
  ASSERT_EQ(ioctl(C->Socket().Handle(), SIOCOUTQNSD, &Unsent), 0);
  EXPECT_EQ(Unsent, 0);
  Server.Join();
  EXPECT_EQ(Got, Text.substr(0, 2500));
  EXPECT_TRUE(C->Active());
}

TEST(TcpConnection, BytesToProceedTakesExactlyTheLimit) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    SendText(S, "0123456789abcdefghijklmno");
    ReadUntil(S, "never", 3000);
  });
  auto C = NewConnection();
  C->Open("127.0.0.1", Port);
  // Wait until all 25 bytes are in the socket.
  ASSERT_TRUE(WaitReadable(C->Socket().Handle(), 5000));
  int Available = 0;
  for (int I = 0; I < 1000 && Available < 25; ++I) {
    ioctl(C->Socket().Handle(), FIONREAD, &Available);
    if (Available < 25) std::this_thread::sleep_for(milliseconds(1));
  }
  ASSERT_EQ(Available, 25);

  C->SetBytesToProceed(10);
  C->InitProgress(0, 0);
  TStringStream Data;
  C->ReadData(&Data);
  EXPECT_EQ(Data.DataString(), "0123456789");
  // The limit is reached: another read takes nothing and does not wait.
  C->ReadData(&Data);
  EXPECT_EQ(Data.DataString(), "0123456789");
  C->SetBytesToProceed(-1);
  C->ReadData(&Data);
  EXPECT_EQ(Data.DataString(), "0123456789abcdefghijklmno");
}

TEST(TcpConnection, BatchSizeBelowOneIsRefusedAtTheFirstRead) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    SendText(S, "data");
    ReadUntil(S, "never", 2000);
  });
  auto C = NewConnection();
  C->Open("127.0.0.1", Port);
  C->SetBatchSize(0);
  TStringStream Data;
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C->ReadData(&Data); }, &Message), -4);
  EXPECT_EQ(Message, "Invalid Batch Size");
}

TEST(Throttle, PauseIsComputedFromTheRequestedLength) {
  EXPECT_EQ(ThrottlePauseMs(8192, 8000), 8192);
  EXPECT_EQ(ThrottlePauseMs(1000, 80000), 100);
  EXPECT_EQ(ThrottlePauseMs(999, 1000000), 7);  // truncated
  EXPECT_EQ(ThrottlePauseMs(8192, 0), 0);
  // Large batches do not wrap into a negative pause.
  EXPECT_EQ(ThrottlePauseMs(1 << 20, 1000), 8388608);
}

TEST(Throttle, AThrottledTransferTakesAtLeastItsLowerBound) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  std::string Received;
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    Received = ReadUntil(S, "END");
  });
  auto C = NewConnection();
  C->SetBatchSize(1000);
  C->SetBitsPerSec(160000);  // 50 ms after each 1000-byte send
  C->Open("127.0.0.1", Port);
  int Ticks = 0;
  auto& Queue = TqmMessageQueue::Current();
  auto Timer = Queue.SetTimer(milliseconds(10), [&] { ++Ticks; });
  TStringStream Data(std::string(3997, 'x') + "END");
  const auto Start = steady_clock::now();
  C->WriteData(&Data);
  const auto Took = steady_clock::now() - Start;
  Queue.KillTimer(Timer);
  EXPECT_GE(Took, milliseconds(200));
  EXPECT_GT(Ticks, 0);  // the pauses keep the queue running
  C->Disconnect(false);
  Server.Join();
  EXPECT_EQ(Received.size(), 4000u);
}

TEST(TcpConnection, ReadingOrWritingWithoutStreamOrSocketRaises) {
  TqmTcpClientConnection C;
  TStringStream Data("x");
  EXPECT_EQ(CodeOf([&] { C.WriteData(&Data); }), ENOTSOCK);
  std::string Message;
  EXPECT_EQ(CodeOf([&] { C.NetworkStream(); }, &Message), -5);
  EXPECT_EQ(Message, "NetworkStream is required");
  EXPECT_EQ(CodeOf([&] { C.StartStream(); }, &Message), -6);
  EXPECT_EQ(Message, "The connection to the server is not active");
  // Disconnecting an idle connection only releases the handle.
  EXPECT_NO_THROW(C.Disconnect(false));
}

TEST(TcpConnection, ListenAndAcceptServeOneConnection) {
  TqmTcpConnection Server;
  Server.SetNetworkStream(std::make_unique<TqmNetworkStream>());
  Server.CreateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  auto Local = TqmIPAddress::CreateFromText("127.0.0.1");
  Server.NetworkStream().Bind(*Local, 0);
  Server.NetworkStream().Listen();
  const int Port = Server.LocalPort();
  ASSERT_GT(Port, 0);

  auto Client = NewConnection();
  Client->Open("127.0.0.1", Port);
  Server.SelectNetworkEvents(neAccept);
  Server.ResetTimeOut();
  while (!(Server.WaitForEvent(5000) && Server.EnumNetworkEvents().Has(neAccept))) {
  }
  Server.NetworkStream().Accept();
  Server.SelectNetworkEvents(neRead | neWrite | neClose);
  Server.SetActive(true);
  Server.NetworkStream().AfterAccept();
  EXPECT_EQ(Server.PeerPort(), Client->LocalPort());
  EXPECT_EQ(Server.LocalPort(), Port);

  Client->WriteString("ping", "");
  EXPECT_EQ(ReadText(Server, 4), "ping");
  Server.WriteString("pong", "");
  EXPECT_EQ(ReadText(*Client, 4), "pong");
}

TEST(TcpConnection, BindRangeSkipsPortsInUse) {
  int Used = 0;
  TFd Taken = BoundSocket("127.0.0.1", SOCK_STREAM, Used);
  ASSERT_EQ(listen(Taken, 1), 0);

  TqmTcpConnection C;
  C.SetNetworkStream(std::make_unique<TqmNetworkStream>());
  C.CreateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  auto Address = TqmIPAddress::CreateFromText("127.0.0.1");
  EXPECT_EQ(CodeOf([&] { C.NetworkStream().BindRange(*Address, Used, Used); }), EADDRINUSE);
  EXPECT_EQ(CodeOf([&] { C.NetworkStream().BindRange(*Address, 0, 10); }), -3);
  EXPECT_EQ(CodeOf([&] { C.NetworkStream().BindRange(*Address, 10, 5); }), -3);
  if (Used < 65000) {
    C.NetworkStream().BindRange(*Address, Used, Used + 100);
    EXPECT_GT(Address->Port(), Used);
    EXPECT_LE(Address->Port(), Used + 100);
  }
}

TEST(Resolver, LiteralsNamesAndFailures) {
  EXPECT_EQ(ResolveHost("::1", false), "::1");
  EXPECT_EQ(ResolveHost("127.0.0.1", true), "127.0.0.1");
  EXPECT_EQ(ResolveHost("localhost", false), "127.0.0.1");

  // IPv6 is preferred only when the name has an IPv6 address.
  TStringList All;
  TqmHostResolver6 Resolver(true);
  Resolver.ResolveAll("localhost", All);
  ASSERT_GT(All.Count(), 0);
  bool HasV6 = false;
  for (int I = 0; I < All.Count(); ++I) HasV6 |= All[I].find(':') != std::string::npos;
  EXPECT_EQ(ResolveHost("localhost", true), HasV6 ? "::1" : "127.0.0.1");

  TqmHostResolver4 Resolver4;
  EXPECT_EQ(Resolver4.Resolve("localhost"), "127.0.0.1");

  // An empty label is refused by the resolver before any query is sent.
  std::string Message;
  EXPECT_EQ(CodeOf([] { ResolveHost("a..b", false); }, &Message), 11001);
  EXPECT_EQ(Message, gai_strerror(EAI_NONAME));
  EXPECT_FALSE(GetLocalHostName().empty());
}

TEST(Resolver, AnAbortedConnectionEndsTheLookup) {
  TqmTcpClientConnection C;
  C.Abort();
  EXPECT_EQ(C.ResolveHost("localhost"), "");
  EXPECT_TRUE(C.IsAborted());
  C.ResetAbort();
  EXPECT_EQ(C.ResolveHost("localhost"), "127.0.0.1");
}

TEST(TcpConnection, WriteStringConvertsToTheCharset) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  std::string Received;
  TServerThread Server([&] {
    TFd S = AcceptOne(L);
    Received = ReadUntil(S, "\n");
  });
  auto C = NewConnection();
  C->Open("127.0.0.1", Port);
  C->WriteString("", "");  // sends nothing
  C->WriteString("caf\xC3\xA9 ", "iso-8859-1");
  C->WriteString("caf\xC3\xA9\n", "");
  Server.Join();
  EXPECT_EQ(Received, "caf\xE9 caf\xC3\xA9\n");
}

TEST(TcpConnection, StartStreamHandsTheSessionToANewStream) {
  int Port = 0;
  TFd L = Listener("127.0.0.1", Port);
  TServerThread Server = EchoServer(L);
  auto C = NewConnection();
  int Ready = 0;
  C->OnReady = [&](TObject*) { ++Ready; };
  C->Open("127.0.0.1", Port);
  EXPECT_EQ(Ready, 1);
  C->NetworkStream().SetHasReadData(true);
  C->SetNetworkStream(std::make_unique<TqmNetworkStream>());
  EXPECT_EQ(C->NetworkStream().PeerIP(), "127.0.0.1");
  EXPECT_EQ(C->NetworkStream().PeerPort(), Port);
  EXPECT_EQ(C->NetworkStream().LocalPort(), C->LocalPort());
  EXPECT_TRUE(C->NetworkStream().HasReadData());
  C->NetworkStream().SetHasReadData(false);
  C->StartStream();
  EXPECT_EQ(Ready, 2);
  C->WriteString("after switch", "");
  EXPECT_EQ(ReadText(*C, 12), "after switch");
}

TEST(UdpConnection, BroadcastIsForIpv4Only) {
  TqmUdpClientConnection C4;
  C4.SetNetworkStream(std::make_unique<TqmNetworkStream>());
  C4.Open("127.0.0.1", 9);
  EXPECT_NO_THROW(C4.NetworkStream().EnableBroadcast());
  TqmUdpClientConnection C6;
  C6.SetNetworkStream(std::make_unique<TqmNetworkStream>());
  C6.Open("::1", 9);
  EXPECT_EQ(CodeOf([&] { C6.NetworkStream().EnableBroadcast(); }), -7);
}
