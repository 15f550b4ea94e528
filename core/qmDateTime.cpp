#include "core/qmDateTime.h"

#include <cerrno>
#include <chrono>
#include <cmath>

#include "core/qmException.h"

namespace qm {

namespace {
int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
  const unsigned Doy = (153 * (M > 2 ? M - 3 : M + 9) + 2) / 5 + D - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + static_cast<int64_t>(Doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t Z, int& Y, int& M, int& D) {
  Z += 719468;
  const int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const unsigned Doe = static_cast<unsigned>(Z - Era * 146097);
  const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const unsigned Mp = (5 * Doy + 2) / 153;
  D = static_cast<int>(Doy - (153 * Mp + 2) / 5 + 1);
  M = static_cast<int>(Mp < 10 ? Mp + 3 : Mp - 9);
  Y = static_cast<int>(static_cast<int64_t>(Yoe) + Era * 400 + (M <= 2));
}

int64_t FloorDiv(int64_t A, int64_t B) { return A / B - ((A % B != 0) && ((A < 0) != (B < 0))); }

void SplitMSecs(TDateTime ADateTime, int64_t& ADays, int64_t& AMSecOfDay) {
  // Negative values hold the time as a positive fraction ("-1.25" is 29 Dec
  // 1899 06:00); only the day part is signed.
  double Days = std::trunc(ADateTime);
  double Frac = std::fabs(ADateTime - Days);
  ADays = static_cast<int64_t>(Days);
  AMSecOfDay = static_cast<int64_t>(std::llround(Frac * MSecsPerDay));
  if (AMSecOfDay >= 86400000) {
    AMSecOfDay -= 86400000;
    ADays += ADateTime < 0 ? -1 : 1;
  }
}

// Before 30 December 1899 the day part is negative while the time of day
// still counts forward: 29 Dec 1899 06:00 is -1.25.
TDateTime FromUnixMs(int64_t Ms) {
  const int64_t Days = FloorDiv(Ms, 86400000) + static_cast<int64_t>(UnixDateDelta);
  const double Time = static_cast<double>(Ms - FloorDiv(Ms, 86400000) * 86400000) / MSecsPerDay;
  return Days >= 0 ? static_cast<double>(Days) + Time : static_cast<double>(Days) - Time;
}
}  // namespace

bool IsLeapYear(int AYear) { return AYear % 4 == 0 && (AYear % 100 != 0 || AYear % 400 == 0); }

int DaysInMonth(int AYear, int AMonth) {
  static const int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (AMonth < 1 || AMonth > 12) return 0;
  return Days[AMonth - 1] + (AMonth == 2 && IsLeapYear(AYear) ? 1 : 0);
}

bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult) {
  if (AYear < 1 || AYear > 9999 || AMonth < 1 || AMonth > 12 || ADay < 1 ||
      ADay > DaysInMonth(AYear, AMonth))
    return false;
  int64_t FromUnix = DaysFromCivil(AYear, static_cast<unsigned>(AMonth), static_cast<unsigned>(ADay));
  AResult = static_cast<double>(FromUnix) + UnixDateDelta;
  return true;
}

TDateTime EncodeDate(int AYear, int AMonth, int ADay) {
  TDateTime R;
  if (!TryEncodeDate(AYear, AMonth, ADay, R)) throw EConvertError("Invalid argument to date encode");
  return R;
}

bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult) {
  if (AHour < 0 || AHour > 23 || AMin < 0 || AMin > 59 || ASec < 0 || ASec > 59 || AMSec < 0 ||
      AMSec > 999)
    return false;
  AResult = (AHour * 3600000.0 + AMin * 60000.0 + ASec * 1000.0 + AMSec) / MSecsPerDay;
  return true;
}

TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec) {
  TDateTime R;
  if (!TryEncodeTime(AHour, AMin, ASec, AMSec, R)) throw EConvertError("Invalid argument to time encode");
  return R;
}

void DecodeDate(TDateTime ADate, int& AYear, int& AMonth, int& ADay) {
  int64_t Days, MSec;
  SplitMSecs(ADate, Days, MSec);
  CivilFromDays(Days - static_cast<int64_t>(UnixDateDelta), AYear, AMonth, ADay);
}

void DecodeTime(TDateTime ATime, int& AHour, int& AMin, int& ASec, int& AMSec) {
  int64_t Days, MSec;
  SplitMSecs(ATime, Days, MSec);
  AHour = static_cast<int>(MSec / 3600000);
  AMin = static_cast<int>(MSec / 60000 % 60);
  ASec = static_cast<int>(MSec / 1000 % 60);
  AMSec = static_cast<int>(MSec % 1000);
}

int DayOfWeek(TDateTime ADate) {
  int64_t Days, MSec;
  SplitMSecs(ADate, Days, MSec);
  // 30 December 1899 was a Saturday (7).
  int64_t W = (Days + 6) % 7;
  if (W < 0) W += 7;
  return static_cast<int>(W) + 1;
}

int64_t DateTimeToUnixMs(TDateTime AUtc) {
  int64_t Days, MSec;
  SplitMSecs(AUtc, Days, MSec);
  return (Days - static_cast<int64_t>(UnixDateDelta)) * 86400000 + MSec;
}

TDateTime UnixMsToDateTime(int64_t AUnixMs) { return FromUnixMs(AUnixMs); }

int64_t DateTimeToUnix(TDateTime AUtc) { return FloorDiv(DateTimeToUnixMs(AUtc), 1000); }

TDateTime UnixToDateTime(int64_t AUnixTime) { return FromUnixMs(AUnixTime * 1000); }

TDateTime NowUtc() {
  using namespace std::chrono;
  return FromUnixMs(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

TDateTime Now() { return UtcDateTimeToLocal(NowUtc()); }

TDateTime Date() { return std::floor(Now()); }

TDateTime UtcDateTimeToLocal(TDateTime AUtc) {
  int64_t Ms = DateTimeToUnixMs(AUtc);
  time_t Secs = static_cast<time_t>(FloorDiv(Ms, 1000));
  struct tm Tm {};
  if (!localtime_r(&Secs, &Tm)) return AUtc;
  return FromUnixMs(Ms + static_cast<int64_t>(Tm.tm_gmtoff) * 1000);
}

namespace {
// Seconds east of UTC in force at a local wall-clock time.
long LocalUtcOffsetSeconds(TDateTime ALocal) {
  int Y, Mo, D, H, Mi, S, Ms;
  DecodeDate(ALocal, Y, Mo, D);
  DecodeTime(ALocal, H, Mi, S, Ms);
  struct tm Tm {};
  Tm.tm_year = Y - 1900;
  Tm.tm_mon = Mo - 1;
  Tm.tm_mday = D;
  Tm.tm_hour = H;
  Tm.tm_min = Mi;
  Tm.tm_sec = S;
  Tm.tm_isdst = -1;
  errno = 0;
  if (mktime(&Tm) == static_cast<time_t>(-1) && errno != 0) return 0;
  return Tm.tm_gmtoff;
}
}  // namespace

TDateTime LocalDateTimeToUtc(TDateTime ALocal) {
  return FromUnixMs(DateTimeToUnixMs(ALocal) - static_cast<int64_t>(LocalUtcOffsetSeconds(ALocal)) * 1000);
}

int LocalTimeBias(TDateTime ALocal) {
  return static_cast<int>(-LocalUtcOffsetSeconds(ALocal) / 60);
}

}  // namespace qm
