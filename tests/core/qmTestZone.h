// Sets TZ for the life of the object and restores the previous value, for
// tests that depend on the local zone.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace qmtest {

class TZoneScope {
 public:
  explicit TZoneScope(const char* AZone) {
    const char* Old = std::getenv("TZ");
    FHad = Old != nullptr;
    if (FHad) FOld = Old;
    setenv("TZ", AZone, 1);
    tzset();
  }
  ~TZoneScope() {
    if (FHad)
      setenv("TZ", FOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TZoneScope(const TZoneScope&) = delete;
  TZoneScope& operator=(const TZoneScope&) = delete;

 private:
  bool FHad = false;
  std::string FOld;
};

}  // namespace qmtest
