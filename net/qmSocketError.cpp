#include "net/qmSocketError.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "core/qmSysUtils.h"

namespace qm {

const char* const qmTimeoutError = "Timeout error occured";
const char* const qmInvalidHostAddress = "Invalid host address";
const char* const qmInvalidPort = "Invalid port number";
const char* const qmInvalidBatchSize = "Invalid Batch Size";
const char* const qmNetworkStreamRequired = "NetworkStream is required";
const char* const qmNotActive = "The connection to the server is not active";
const char* const qmInvalidAddressFamily = "Invalid address family";
const char* const qmTransferTooSlow = "The transfer was too slow: fewer than %d bytes in %d ms";

std::string SocketErrorText(int ACode) {
  switch (ACode) {
    case qmHostNotFoundCode:
      return gai_strerror(EAI_NONAME);
    case qmTryAgainCode:
      return gai_strerror(EAI_AGAIN);
    case qmNoRecoveryCode:
      return gai_strerror(EAI_FAIL);
    case qmNoDataCode:
      return gai_strerror(EAI_NODATA);
    default:
      break;
  }
  if (ACode <= 0) return std::string();
  char Buffer[256];
  // The GNU strerror_r returns the text, which need not be in Buffer.
  const char* Text = strerror_r(ACode, Buffer, sizeof Buffer);
  return Trim(Text ? Text : "");
}

void RaiseSocketError(int ACode) { throw EqmSocketError(SocketErrorText(ACode), ACode); }

void RaiseSocketErrorMessage(const std::string& AMessage, int ACode) {
  throw EqmSocketError(AMessage, ACode);
}

void RaiseResolverError(int AGaiResult, int ASavedErrno) {
  int Code;
  switch (AGaiResult) {
    case EAI_SYSTEM:
      RaiseSocketError(ASavedErrno > 0 ? ASavedErrno : EIO);
    case EAI_MEMORY:
      RaiseSocketError(ENOMEM);
    case EAI_NONAME:
      Code = qmHostNotFoundCode;
      break;
    case EAI_AGAIN:
      Code = qmTryAgainCode;
      break;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      Code = qmNoDataCode;
      break;
    default:
      Code = qmNoRecoveryCode;
      break;
  }
  RaiseSocketErrorMessage(gai_strerror(AGaiResult), Code);
}

bool IsConnectionLostError(int ACode) {
  switch (ACode) {
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case EPIPE:
      return true;
    default:
      return false;
  }
}

}  // namespace qm
