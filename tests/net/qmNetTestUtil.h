// Small blocking-socket peers for the transport tests: each test runs its
// own server on 127.0.0.1 or ::1 in a thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "net/qmSocketError.h"

namespace qmtest {

// The ErrorCode of the EqmSocketError that AAction raises (and its
// message), or 0 when it raises nothing.
template <typename F>
int CodeOf(F AAction, std::string* AMessage = nullptr) {
  try {
    AAction();
  } catch (const qm::EqmSocketError& E) {
    if (AMessage) *AMessage = E.Message();
    return E.ErrorCode();
  }
  return 0;
}

// An fd closed on destruction.
struct TFd {
  int Fd = -1;
  TFd() = default;
  explicit TFd(int AFd) : Fd(AFd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  TFd(TFd&& O) noexcept : Fd(O.Fd) { O.Fd = -1; }
  TFd& operator=(TFd&& O) noexcept {
    if (this != &O) {
      Reset(O.Fd);
      O.Fd = -1;
    }
    return *this;
  }
  ~TFd() { Reset(); }
  void Reset(int AFd = -1) {
    if (Fd >= 0) close(Fd);
    Fd = AFd;
  }
  operator int() const { return Fd; }
};

inline int Family(const std::string& AAddress) {
  return AAddress.find(':') != std::string::npos ? AF_INET6 : AF_INET;
}

// A socket of AType bound to AAddress on an ephemeral port (or APort).
inline TFd BoundSocket(const std::string& AAddress, int AType, int& APort) {
  const int F = Family(AAddress);
  TFd S(socket(F, AType, 0));
  if (S < 0) throw std::runtime_error("socket");
  int On = 1;
  setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
  sockaddr_storage Sa{};
  socklen_t Len;
  if (F == AF_INET) {
    auto* A = reinterpret_cast<sockaddr_in*>(&Sa);
    A->sin_family = AF_INET;
    A->sin_port = htons(static_cast<uint16_t>(APort));
    inet_pton(AF_INET, AAddress.c_str(), &A->sin_addr);
    Len = sizeof *A;
  } else {
    auto* A = reinterpret_cast<sockaddr_in6*>(&Sa);
    A->sin6_family = AF_INET6;
    A->sin6_port = htons(static_cast<uint16_t>(APort));
    inet_pton(AF_INET6, AAddress.c_str(), &A->sin6_addr);
    Len = sizeof *A;
  }
  if (bind(S, reinterpret_cast<sockaddr*>(&Sa), Len) < 0) throw std::runtime_error("bind");
  Len = sizeof Sa;
  getsockname(S, reinterpret_cast<sockaddr*>(&Sa), &Len);
  APort = ntohs(F == AF_INET ? reinterpret_cast<sockaddr_in*>(&Sa)->sin_port
                             : reinterpret_cast<sockaddr_in6*>(&Sa)->sin6_port);
  return S;
}

inline TFd Listener(const std::string& AAddress, int& APort, int ABacklog = 8) {
  APort = 0;
  TFd S = BoundSocket(AAddress, SOCK_STREAM, APort);
  if (listen(S, ABacklog) < 0) throw std::runtime_error("listen");
  return S;
}

inline bool WaitReadable(int AFd, int AMs) {
  pollfd P{AFd, POLLIN, 0};
  return poll(&P, 1, AMs) > 0;
}

// Accepts one connection within AMs; -1 otherwise.
inline TFd AcceptOne(int AListener, int AMs = 10000) {
  if (!WaitReadable(AListener, AMs)) return TFd();
  return TFd(accept(AListener, nullptr, nullptr));
}

inline bool SendAll(int AFd, const void* AData, size_t ASize) {
  auto* P = static_cast<const char*>(AData);
  while (ASize > 0) {
    ssize_t N = send(AFd, P, ASize, MSG_NOSIGNAL);
    if (N <= 0) return false;
    P += N;
    ASize -= static_cast<size_t>(N);
  }
  return true;
}

inline bool SendText(int AFd, const std::string& AText) { return SendAll(AFd, AText.data(), AText.size()); }

// Reads until AUntil is in the text, the peer closes, or AMs of silence.
inline std::string ReadUntil(int AFd, const std::string& AUntil, int AMs = 10000) {
  std::string Text;
  char Buffer[4096];
  while (Text.find(AUntil) == std::string::npos) {
    if (!WaitReadable(AFd, AMs)) break;
    ssize_t N = recv(AFd, Buffer, sizeof Buffer, 0);
    if (N <= 0) break;
    Text.append(Buffer, static_cast<size_t>(N));
  }
  return Text;
}

// A server thread that is joined when the test ends.
class TServerThread {
 public:
  TServerThread() = default;
  explicit TServerThread(std::function<void()> ABody) : FThread(std::move(ABody)) {}
  TServerThread(TServerThread&&) = default;
  TServerThread& operator=(TServerThread&&) = default;
  ~TServerThread() { Join(); }
  void Join() {
    if (FThread.joinable()) FThread.join();
  }

 private:
  std::thread FThread;
};

// Accepts one connection and echoes what it receives until the peer
// closes or falls silent for AMs.
inline TServerThread EchoServer(int AListener, int AMs = 10000) {
  return TServerThread([AListener, AMs] {
    TFd C = AcceptOne(AListener, AMs);
    if (C < 0) return;
    char Buffer[65536];
    while (WaitReadable(C, AMs)) {
      ssize_t N = recv(C, Buffer, sizeof Buffer, 0);
      if (N <= 0 || !SendAll(C, Buffer, static_cast<size_t>(N))) break;
    }
  });
}

}  // namespace qmtest
