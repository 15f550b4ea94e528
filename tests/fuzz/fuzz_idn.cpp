// IDN encoding of arbitrary bytes: the result is ASCII, or an IDN error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/qmIdnTranslator.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  try {
    const std::string Label = TqmIdnTranslator::EncodeLabel(Text);
    if (!TqmIdnTranslator::IsAscii(Label)) __builtin_trap();
    if (TqmIdnTranslator::IsAscii(Text) && Label != Text) __builtin_trap();
  } catch (const EqmIdnError&) {
  }
  try {
    const std::string Mailbox = TqmIdnTranslator::EncodeMailbox(Text);
    // Without an "@" the text is returned as it is.
    if (Text.find('@') != std::string::npos && !TqmIdnTranslator::IsAscii(Mailbox)) __builtin_trap();
  } catch (const EqmIdnError&) {
  }
  try {
    // A domain goes on the wire as it comes back: ASCII without control
    // characters, within a DNS name's length.
    const std::string Domain = TqmIdnTranslator::EncodeDomain(Text);
    if (!TqmIdnTranslator::IsAscii(Domain) || Domain.size() > 254) __builtin_trap();
    for (char C : Domain)
      if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) __builtin_trap();
    // Again, its labels now from the cache of mapped ones: the same answer.
    if (TqmIdnTranslator::EncodeDomain(Text) != Domain) __builtin_trap();
  } catch (const EqmIdnError&) {
  }
  return 0;
}
