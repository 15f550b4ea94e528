// IPv4 and IPv6 socket addresses: parsing, printing, ports, and the
// class-level helpers the transport creates them with.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/qmComponent.h"
#include "crypto/qmOpenSsl.h"

namespace qm {

/// A socket address (IP and port), made with the class-level helpers.
class TqmIPAddress : public TObject {
 public:
  /// True for an IPv6 address.
  virtual bool IsIpV6() const = 0;
  /// The socket address record passed to connect, bind and sendto (nullptr
  /// when there is none).
  virtual sockaddr* Address() = 0;
  /// AF_INET or AF_INET6 (0 when empty).
  virtual int AddressFamily() const = 0;
  /// The size of Address() in bytes.
  virtual int AddressLength() const = 0;
  virtual int Port() const = 0;  ///< host byte order
  /// Empties the address.
  virtual void Clear() = 0;
  /// Takes an IP literal; false when AText is none.
  virtual bool Parse(const std::string& AText) = 0;
  /// The zero address of AFamily; raises for a family the class cannot hold.
  virtual void InitAddress(int AFamily) = 0;
  /// The any-address of AFamily (0.0.0.0 or ::).
  virtual void InitAnyAddress(int AFamily) = 0;
  /// Sets the port; a negative one raises qmInvalidPortCode.
  virtual void SetPort(int APort) = 0;
  /// The address as text, without the port.
  virtual std::string ToString() const = 0;

  /// A new address of AFamily (0.0.0.0 or ::).
  static std::unique_ptr<TqmIPAddress> CreateIpAddress(int AFamily);
  /// The any-address of AFamily, to bind to.
  static std::unique_ptr<TqmIPAddress> CreateAnyAddress(int AFamily);
  /// An IPv6 or IPv4 literal; anything else raises "Invalid host address".
  static std::unique_ptr<TqmIPAddress> CreateFromText(const std::string& AText);
  /// CreateFromText for a non-empty text, else the any-address of AFamily.
  static std::unique_ptr<TqmIPAddress> CreateBindingAddress(const std::string& AText, int AFamily);
  /// True for an IPv6 or IPv4 literal.
  static bool IsHostAddress(const std::string& AText);
};

/// One IPv4 socket address held inline.
class TqmIPAddress4 : public TqmIPAddress {
 public:
  /// An empty address.
  TqmIPAddress4() { Clear(); }
  bool IsIpV6() const override { return false; }
  sockaddr* Address() override { return reinterpret_cast<sockaddr*>(&FAddress); }
  int AddressFamily() const override { return FAddress.sin_family; }
  int AddressLength() const override { return sizeof(sockaddr_in); }
  int Port() const override { return ntohs(FAddress.sin_port); }
  void Clear() override;
  // Dotted forms only; 255.255.255.255 does not parse (it is the "none"
  // value of the classic parser).
  bool Parse(const std::string& AText) override;
  void InitAddress(int AFamily) override;
  void InitAnyAddress(int AFamily) override;
  void SetPort(int APort) override;
  std::string ToString() const override;

 private:
  sockaddr_in FAddress;
};

/// The first entry of a numeric getaddrinfo result: an IPv6 address, or an
/// IPv4 one when the text was an IPv4 literal.
class TqmIPAddress6 : public TqmIPAddress {
 public:
  /// An empty address.
  TqmIPAddress6() = default;
  /// Frees the address information.
  ~TqmIPAddress6() override { Clear(); }
  bool IsIpV6() const override { return AddressFamily() == AF_INET6; }
  sockaddr* Address() override { return FInfo ? FInfo->ai_addr : nullptr; }
  int AddressFamily() const override { return FInfo ? FInfo->ai_family : 0; }
  int AddressLength() const override { return FInfo ? static_cast<int>(FInfo->ai_addrlen) : 0; }
  int Port() const override;
  void Clear() override;
  bool Parse(const std::string& AText) override;
  void InitAddress(int AFamily) override;
  void InitAnyAddress(int AFamily) override;
  void SetPort(int APort) override;
  std::string ToString() const override;

 private:
  TqmAddrInfoPtr FInfo;
};

/// The socket library's optional IPv6 functions are always present here.
inline bool IsIpV6Available() { return true; }

// Text forms shared with the resolver and the datagram code.
/// Eight upper-case hex groups, the first run of two or more zero groups
/// written "::" (FE80::1, ::1, 1::, "::").
std::string FormatIpV6(const uint8_t (&ABytes)[16]);
/// Dotted decimal.
std::string FormatIpV4(const in_addr& AAddress);
/// The text and port of an AF_INET or AF_INET6 socket address; empty text
/// and port 0 for other families.
std::string SockAddrToText(const sockaddr* AAddress, int* APort = nullptr);

}  // namespace qm
