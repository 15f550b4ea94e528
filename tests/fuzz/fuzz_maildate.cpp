// Message dates from arbitrary text: only the documented conversion error
// may escape, and a parsed date must format and parse back to itself.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "message/qmUtils.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string Text(reinterpret_cast<const char*>(Data), Size);
  qm::ParseTime(Text);
  qm::ParseTimeZone(Text);
  try {
    qm::TDateTime Zone;
    qm::TDateTime D = qm::MailDateToDateTime(Text, Zone);
    // Dates from 1900 on (TDateTime values below 0 keep the time of day as
    // a positive fraction, which plain offset arithmetic does not respect),
    // and far enough from 9999 that the zone shift stays in the calendar.
    if (D > qm::EncodeDate(1900, 1, 2) && D < qm::EncodeDate(9998, 12, 31)) {
      std::string Formatted = qm::DateTimeToMailDate(D);
      qm::TDateTime Again = qm::MailDateToDateTime(Formatted);
      // Local times in a daylight-saving fold may map to the other instant.
      if (std::fabs(Again - D) > 1.0 / 24 + 1e-6) std::abort();
    }
  } catch (const qm::EConvertError&) {
  }
  return 0;
}
