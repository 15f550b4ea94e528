// DKIM key records: ParseRecord never fails, and what BuildRecord writes
// parses back to the same record text. A record whose values hold a line
// break or NUL is refused when written (EqmHeaderFieldError), never put out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dkim/qmDkimKey.h"
#include "message/qmHeaderFieldList.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TqmDkimKey Key;
  Key.ParseRecord(std::string(reinterpret_cast<const char*>(Data), Size));
  std::string Built;
  try {
    Built = Key.BuildRecord();
  } catch (const EqmHeaderFieldError&) {
    return 0;
  }
  TqmDkimKey Again;
  Again.ParseRecord(Built);
  if (Again.Notes != Key.Notes || Again.ServiceTypes != Key.ServiceTypes || Again.Flags != Key.Flags)
    __builtin_trap();
  return 0;
}
