// TDateTime: days since 30 December 1899, the fraction being the time of
// day. Values are local time unless a function says otherwise.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/qmTypes.h"

namespace qm {

constexpr double MSecsPerDay = 86400000.0;
constexpr double SecsPerDay = 86400.0;
// 1 January 1970 as a TDateTime.
constexpr TDateTime UnixDateDelta = 25569.0;

bool IsLeapYear(int AYear);
int DaysInMonth(int AYear, int AMonth);

// Raise EConvertError for a date or time that does not exist.
TDateTime EncodeDate(int AYear, int AMonth, int ADay);
TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec);
bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult);
bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult);
void DecodeDate(TDateTime ADate, int& AYear, int& AMonth, int& ADay);
void DecodeTime(TDateTime ATime, int& AHour, int& AMin, int& ASec, int& AMSec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime ADate);

// Whole seconds since 1970 (UTC) <-> TDateTime holding UTC.
int64_t DateTimeToUnix(TDateTime AUtc);
TDateTime UnixToDateTime(int64_t AUnixTime);
// Rounded to the millisecond, as the date parts and time parts are.
int64_t DateTimeToUnixMs(TDateTime AUtc);
TDateTime UnixMsToDateTime(int64_t AUnixMs);

TDateTime Now();     // local
TDateTime NowUtc();  // UTC
TDateTime Date();    // local, midnight

// Conversions by the rules of the current zone (TZ). A local time that
// falls in a gap or fold is taken as the system's mktime does.
TDateTime LocalDateTimeToUtc(TDateTime ALocal);
TDateTime UtcDateTimeToLocal(TDateTime AUtc);
// Minutes to add to local time to get UTC at the given local moment
// (-60 one hour east of UTC), daylight time included.
int LocalTimeBias(TDateTime ALocal);

}  // namespace qm
