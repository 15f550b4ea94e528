// The transport's exception and the numeric codes it carries. A positive
// code is an errno value (message: its strerror text) or a name-resolution
// failure (11001..11004, message: the resolver's text); a negative code is a
// condition the library detected itself.
#pragma once

#include <string>

#include "core/qmException.h"

namespace qm {

/// A transport failure: connection refused or lost, time-out
/// (qmTimeoutErrorCode), name not resolved, cancelled (ECONNABORTED). A
/// failed TLS handshake or certificate check raises EqmSSPIError instead.
class EqmSocketError : public Exception {
 public:
  /// An error with its message and code.
  EqmSocketError(std::string AMessage, int AErrorCode)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  /// An errno value (ECONNREFUSED, ETIMEDOUT, ...), 11001..11004 for a name
  /// that did not resolve, or one of the library's negative codes
  /// (qmTimeoutErrorCode...); for EqmTcpClientError also a server's reply
  /// code.
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

// The library's own conditions.
constexpr int qmTimeoutErrorCode = -1;  ///< No answer within the time-out, or the deadline passed.
constexpr int qmInvalidHostAddressCode = -2;  ///< A text that is not an IP literal where one is needed.
constexpr int qmInvalidPortCode = -3;  ///< A negative port, or an empty port range.
constexpr int qmInvalidBatchSizeCode = -4;  ///< A batch size below 1.
constexpr int qmNetworkStreamRequiredCode = -5;  ///< A connection without a network stream.
constexpr int qmNotActiveCode = -6;  ///< An operation that needs an open connection.
constexpr int qmInvalidAddressFamilyCode = -7;  ///< An address family the call cannot use.
/// A data transfer moved fewer bytes than the connection's low-speed limit
/// asks for within its low-speed time.
constexpr int qmTransferTooSlowCode = -8;

extern const char* const qmTimeoutError;            ///< "Timeout error occured"
extern const char* const qmInvalidHostAddress;      ///< "Invalid host address"
extern const char* const qmInvalidPort;             ///< "Invalid port number"
extern const char* const qmInvalidBatchSize;        ///< "Invalid Batch Size"
extern const char* const qmNetworkStreamRequired;   ///< "NetworkStream is required"
extern const char* const qmNotActive;               ///< "The connection to the server is not active"
extern const char* const qmInvalidAddressFamily;    ///< "Invalid address family"
extern const char* const qmTransferTooSlow;         ///< "The transfer was too slow: ..." (with the figures)

// Name-resolution failures (the resolver reports no errno for them).
constexpr int qmHostNotFoundCode = 11001;  ///< The name does not exist.
constexpr int qmTryAgainCode = 11002;  ///< The name server failed for now.
constexpr int qmNoRecoveryCode = 11003;  ///< The name server failed for good.
constexpr int qmNoDataCode = 11004;  ///< The name has no address.

/// The system's text for a code: strerror for errno values, the resolver's
/// text for 11001..11004, empty for anything else.
std::string SocketErrorText(int ACode);

/// Raises EqmSocketError with ACode and SocketErrorText(ACode).
[[noreturn]] void RaiseSocketError(int ACode);
/// Raises EqmSocketError with AMessage and ACode.
[[noreturn]] void RaiseSocketErrorMessage(const std::string& AMessage, int ACode);
/// Raises the EqmSocketError that stands for a getaddrinfo result (EAI_*).
[[noreturn]] void RaiseResolverError(int AGaiResult, int ASavedErrno);

/// Errors that mean the connection is gone (network down or unreachable,
/// connection reset or aborted, writing after the peer closed).
bool IsConnectionLostError(int ACode);

}  // namespace qm
