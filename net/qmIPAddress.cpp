#include "net/qmIPAddress.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "net/qmSocketError.h"

namespace qm {

// ---- text forms ----

// Written by hand: every received datagram names its sender, and
// inet_ntop formats each byte through sprintf.
std::string FormatIpV4(const in_addr& AAddress) {
  uint8_t Bytes[4];
  std::memcpy(Bytes, &AAddress, 4);
  char Buffer[INET_ADDRSTRLEN];
  char* P = Buffer;
  for (int I = 0; I < 4; ++I) {
    if (I > 0) *P++ = '.';
    const unsigned B = Bytes[I];
    if (B >= 100) *P++ = static_cast<char>('0' + B / 100);
    if (B >= 10) *P++ = static_cast<char>('0' + B / 10 % 10);
    *P++ = static_cast<char>('0' + B % 10);
  }
  return std::string(Buffer, static_cast<size_t>(P - Buffer));
}

std::string FormatIpV6(const uint8_t (&ABytes)[16]) {
  uint16_t Groups[8];
  for (int I = 0; I < 8; ++I) Groups[I] = static_cast<uint16_t>((ABytes[2 * I] << 8) | ABytes[2 * I + 1]);

  // Only the first run of zero groups may be compressed, and only when it
  // is at least two groups long.
  int RunStart = -1, RunLength = 0;
  for (int I = 0; I < 8; ++I)
    if (Groups[I] == 0) {
      RunStart = I;
      while (I < 8 && Groups[I] == 0) ++I;
      RunLength = I - RunStart;
      break;
    }
  if (RunLength < 2) RunStart = -1;

  std::string Text;
  Text.reserve(39);
  static const char kHex[] = "0123456789ABCDEF";
  for (int I = 0; I < 8; ++I) {
    if (I == RunStart) {
      Text += "::";
      I += RunLength - 1;
      continue;
    }
    if (!Text.empty() && Text.back() != ':') Text += ':';
    // Hexadecimal without leading zeros, as "%X" writes it.
    bool Started = false;
    for (int Shift = 12; Shift >= 0; Shift -= 4) {
      const unsigned Digit = (Groups[I] >> Shift) & 0xF;
      if (Digit == 0 && !Started && Shift > 0) continue;
      Started = true;
      Text += kHex[Digit];
    }
  }
  return Text;
}

std::string SockAddrToText(const sockaddr* AAddress, int* APort) {
  if (APort) *APort = 0;
  if (!AAddress) return std::string();
  if (AAddress->sa_family == AF_INET) {
    sockaddr_in A;
    std::memcpy(&A, AAddress, sizeof A);
    if (APort) *APort = ntohs(A.sin_port);
    return FormatIpV4(A.sin_addr);
  }
  if (AAddress->sa_family == AF_INET6) {
    sockaddr_in6 A;
    std::memcpy(&A, AAddress, sizeof A);
    if (APort) *APort = ntohs(A.sin6_port);
    uint8_t Bytes[16];
    std::memcpy(Bytes, &A.sin6_addr, 16);
    return FormatIpV6(Bytes);
  }
  return std::string();
}

// ---- TqmIPAddress ----

std::unique_ptr<TqmIPAddress> TqmIPAddress::CreateIpAddress(int AFamily) {
  std::unique_ptr<TqmIPAddress> Result;
  if (IsIpV6Available())
    Result = std::make_unique<TqmIPAddress6>();
  else
    Result = std::make_unique<TqmIPAddress4>();
  Result->InitAddress(AFamily);
  return Result;
}

std::unique_ptr<TqmIPAddress> TqmIPAddress::CreateAnyAddress(int AFamily) {
  std::unique_ptr<TqmIPAddress> Result;
  if (IsIpV6Available())
    Result = std::make_unique<TqmIPAddress6>();
  else
    Result = std::make_unique<TqmIPAddress4>();
  Result->InitAnyAddress(AFamily);
  return Result;
}

std::unique_ptr<TqmIPAddress> TqmIPAddress::CreateFromText(const std::string& AText) {
  auto V6 = std::make_unique<TqmIPAddress6>();
  if (V6->Parse(AText)) return V6;
  auto V4 = std::make_unique<TqmIPAddress4>();
  if (V4->Parse(AText)) return V4;
  RaiseSocketErrorMessage(qmInvalidHostAddress, qmInvalidHostAddressCode);
}

std::unique_ptr<TqmIPAddress> TqmIPAddress::CreateBindingAddress(const std::string& AText,
                                                                 int AFamily) {
  if (!AText.empty()) return CreateFromText(AText);
  return CreateAnyAddress(AFamily);
}

bool TqmIPAddress::IsHostAddress(const std::string& AText) {
  if (AText.empty()) return false;
  TqmIPAddress6 V6;
  if (V6.Parse(AText)) return true;
  TqmIPAddress4 V4;
  return V4.Parse(AText);
}

// ---- TqmIPAddress4 ----

void TqmIPAddress4::Clear() { std::memset(&FAddress, 0, sizeof FAddress); }

bool TqmIPAddress4::Parse(const std::string& AText) {
  Clear();
  if (AText.find('\0') != std::string::npos) return false;
  in_addr_t A = inet_addr(AText.c_str());
  if (A == INADDR_NONE) return false;
  FAddress.sin_addr.s_addr = A;
  FAddress.sin_family = AF_INET;
  return true;
}

void TqmIPAddress4::InitAddress(int AFamily) {
  if (AFamily != AF_INET) RaiseSocketErrorMessage(qmInvalidAddressFamily, qmInvalidAddressFamilyCode);
  Clear();
  FAddress.sin_family = AF_INET;
}

void TqmIPAddress4::InitAnyAddress(int AFamily) {
  InitAddress(AFamily);
  FAddress.sin_addr.s_addr = htonl(INADDR_ANY);
}

void TqmIPAddress4::SetPort(int APort) {
  if (APort < 0) RaiseSocketErrorMessage(qmInvalidPort, qmInvalidPortCode);
  FAddress.sin_port = htons(static_cast<uint16_t>(APort));
}

std::string TqmIPAddress4::ToString() const { return FormatIpV4(FAddress.sin_addr); }

// ---- TqmIPAddress6 ----

int TqmIPAddress6::Port() const {
  if (!FInfo) return 0;
  if (FInfo->ai_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(FInfo->ai_addr)->sin_port);
  if (FInfo->ai_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(FInfo->ai_addr)->sin6_port);
  return 0;
}

void TqmIPAddress6::Clear() {
  FInfo.reset();
}

bool TqmIPAddress6::Parse(const std::string& AText) {
  Clear();
  if (!IsIpV6Available()) return false;
  if (AText.empty() || AText.find('\0') != std::string::npos) return false;
  addrinfo Hints;
  std::memset(&Hints, 0, sizeof Hints);
  Hints.ai_flags = AI_NUMERICHOST;
  Hints.ai_family = AF_UNSPEC;
  // One entry is enough; without a socket type every type is listed.
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Info = nullptr;
  if (getaddrinfo(AText.c_str(), nullptr, &Hints, &Info) != 0) return false;
  FInfo.reset(Info);
  return true;
}

void TqmIPAddress6::InitAddress(int AFamily) {
  if (AFamily != AF_INET && AFamily != AF_INET6)
    RaiseSocketErrorMessage(qmInvalidAddressFamily, qmInvalidAddressFamilyCode);
  if (!Parse(AFamily == AF_INET6 ? "::" : "0.0.0.0"))
    RaiseSocketErrorMessage(qmInvalidHostAddress, qmInvalidHostAddressCode);
}

void TqmIPAddress6::InitAnyAddress(int AFamily) {
  InitAddress(AFamily);
  if (AFamily == AF_INET) reinterpret_cast<sockaddr_in*>(FInfo->ai_addr)->sin_addr.s_addr = htonl(INADDR_ANY);
}

void TqmIPAddress6::SetPort(int APort) {
  if (APort < 0) RaiseSocketErrorMessage(qmInvalidPort, qmInvalidPortCode);
  const int Family = AddressFamily();
  if (Family == AF_INET)
    reinterpret_cast<sockaddr_in*>(FInfo->ai_addr)->sin_port = htons(static_cast<uint16_t>(APort));
  else if (Family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(FInfo->ai_addr)->sin6_port = htons(static_cast<uint16_t>(APort));
  else
    RaiseSocketErrorMessage(qmInvalidHostAddress, qmInvalidHostAddressCode);
}

std::string TqmIPAddress6::ToString() const {
  if (!FInfo) return std::string();
  return SockAddrToText(FInfo->ai_addr);
}

}  // namespace qm
