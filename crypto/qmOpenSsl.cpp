#include "crypto/qmOpenSsl.h"

#include <openssl/err.h>

#include "core/qmSysUtils.h"

namespace qm {

void RaiseCryptError(const char* ACall) {
  unsigned long Err = ERR_peek_error();
  std::string Text;
  if (Err != 0) {
    const char* Reason = ERR_reason_error_string(Err);
    if (Reason) Text = Reason;
  }
  ERR_clear_error();
  while (!Text.empty() && (static_cast<unsigned char>(Text.back()) <= ' ' || Text.back() == '.'))
    Text.pop_back();
  // OpenSSL packs library and reason into the code; the reason part is
  // what identifies the failure.
  const int Code = static_cast<int>(Err & 0x7FFFFFFF);
  if (Text.empty()) Text = Format("%s error - %d", ACall, Code);
  throw EqmCryptError(Text, Code);
}

}  // namespace qm
