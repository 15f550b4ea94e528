// Feeds arbitrary server messages to the SCRAM and OAUTHBEARER clients: the
// first byte picks the mechanism (and SCRAM's hash), the rest up to the
// first LF is the server's first message, what follows its last one. Each
// exchange must end in a response or a library exception; a server that
// did not prove it knows the password must never pass Finish().
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/qmException.h"
#include "mail/qmSaslScram.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  const std::string_view Input(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
  const size_t Break = Input.find('\n');
  const std::string_view First = Input.substr(0, Break);
  const std::string_view Last = Break == std::string_view::npos ? std::string_view() : Input.substr(Break + 1);
  try {
    if (AData[0] & 1) {
      TqmSaslOAuthBearer Bearer("user", "Bearer token");
      Bearer.InitialResponse();
      Bearer.Step(First);
      Bearer.ErrorDetails();
      Bearer.Finish();
      __builtin_trap();  // success after an error challenge must be refused
    }
    // A fixed nonce, so that inputs can reach the proof; iteration counts
    // are capped low so that each run stays fast.
    TqmSaslScram Scram((AData[0] & 2) != 0, "user", "pencil", "fyko+d2lbbFgONRv9qkxdawL");
    Scram.InitialResponse();
    const size_t I = First.find(",i=");
    if (I != std::string_view::npos) {
      const size_t End = std::min(First.find_first_not_of("0123456789", I + 3), First.size());
      if (End - (I + 3) > 4) return 0;
    }
    Scram.Step(First);
    Scram.Step(Last);
    Scram.Finish();
    if (!Scram.ServerVerified()) __builtin_trap();
  } catch (const Exception&) {
  }
  return 0;
}
