// The error class of all cryptographic code and the raising of OpenSSL
// failures.
#pragma once

#include <string>

#include "core/qmException.h"

namespace qm {

class EqmCryptError : public Exception {
 public:
  EqmCryptError(const std::string& AMessage, int AErrorCode)
      : Exception(AMessage), FErrorCode(AErrorCode) {}
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// Library codes.
constexpr int CRYPT_E_KEY_REQUIRED = -4;  // "A key is required to complete the operation"

// Raises EqmCryptError for a failed OpenSSL call: the code is the first
// error on the thread's OpenSSL error queue (which is then cleared), the
// message its reason text with trailing blanks and periods removed; with
// no reason text, "<ACall> error - <code>".
[[noreturn]] void RaiseCryptError(const char* ACall);

}  // namespace qm
