// TDateTime: days since 30 December 1899, the fraction being the time of
// day. Values are local time unless a function says otherwise.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/qmTypes.h"

namespace qm {

constexpr double MSecsPerDay = 86400000.0;  ///< Milliseconds in a day.
constexpr double SecsPerDay = 86400.0;  ///< Seconds in a day.
/// 1 January 1970 as a TDateTime.
constexpr TDateTime UnixDateDelta = 25569.0;

/// Gregorian leap year.
bool IsLeapYear(int AYear);
/// 28 to 31 (AMonth from 1).
int DaysInMonth(int AYear, int AMonth);

/// Raise EConvertError for a date or time that does not exist.
TDateTime EncodeDate(int AYear, int AMonth, int ADay);
/// The fraction of a day; raises EConvertError outside 0:00:00.000 to 23:59:59.999.
TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec);
/// EncodeDate without raising: false for a date that does not exist.
bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult);
/// EncodeTime without raising: false for a time that does not exist.
bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult);
/// The date part of ADate.
void DecodeDate(TDateTime ADate, int& AYear, int& AMonth, int& ADay);
/// The time part of ATime, rounded to the millisecond.
void DecodeTime(TDateTime ATime, int& AHour, int& AMin, int& ASec, int& AMSec);
/// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime ADate);

/// Whole seconds since 1970 (UTC) <-> TDateTime holding UTC.
int64_t DateTimeToUnix(TDateTime AUtc);
/// Seconds since 1970 as a TDateTime holding UTC.
TDateTime UnixToDateTime(int64_t AUnixTime);
/// Rounded to the millisecond, as the date parts and time parts are.
int64_t DateTimeToUnixMs(TDateTime AUtc);
/// Milliseconds since 1970 as a TDateTime holding UTC.
TDateTime UnixMsToDateTime(int64_t AUnixMs);

/// The current local time.
TDateTime Now();
/// The current time in UTC.
TDateTime NowUtc();
/// Today, local, at midnight.
TDateTime Date();

/// Conversions by the rules of the current zone (TZ). A local time that
/// falls in a gap or fold is taken as the system's mktime does.
TDateTime LocalDateTimeToUtc(TDateTime ALocal);
/// UTC to local time, by the rules of the current zone.
TDateTime UtcDateTimeToLocal(TDateTime AUtc);
/// Minutes to add to local time to get UTC at the given local moment
/// (-60 one hour east of UTC), daylight time included.
int LocalTimeBias(TDateTime ALocal);

}  // namespace qm
