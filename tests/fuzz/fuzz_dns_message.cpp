// DNS message decoding of arbitrary bytes: a message, or the decoder's own
// error; a decoded message encodes again to one with the same sections.
#include <cstddef>
#include <cstdint>

#include "dns/qmDnsMessage.h"
#include "dns/qmDnsQuery.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TqmDnsMessage Message;
  bool Decoded = true;
  try {
    Message.Parse(Data, Size);
  } catch (const EqmDnsError& E) {
    // A response code is raised after a complete decoding.
    Decoded = E.ErrorCode() > 0;
  }
  // The reply check reads the same bytes on its own.
  IsDnsReplyTo(Message, Data, Size);
  if (!Decoded || Size == 0) return 0;
  TqmByteArray Wire;
  try {
    Wire = Message.Build(65535);
  } catch (const EqmDnsError&) {
    // Decoded data need not be encodable (an empty text, a label holding a
    // dot); refusing is fine, writing something corrupt is not.
    return 0;
  }
  TqmDnsMessage Again;
  try {
    Again.Parse(Wire.data(), Wire.size());
  } catch (const EqmDnsError& E) {
    if (E.ErrorCode() <= 0) __builtin_trap();
  }
  if (Again.Queries().Count() != Message.Queries().Count() || Again.Answers().Count() != Message.Answers().Count() ||
      Again.NameServers().Count() != Message.NameServers().Count() ||
      Again.AdditionalRecords().Count() != Message.AdditionalRecords().Count())
    __builtin_trap();
  return 0;
}
