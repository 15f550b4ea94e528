#include "core/qmDateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/qmException.h"
#include "tests/core/qmTestZone.h"

using namespace qm;

using TZoneGuard = qmtest::TZoneScope;

TEST(DateTimeTest, EncodeDecodeAroundTheEpochOfTheType) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), UnixDateDelta);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  for (TDateTime D : {-693593.0, -1.0, 0.0, 1.0, 36585.0, 46362.0, 2958465.0}) {
    int Y, M, Dd;
    DecodeDate(D, Y, M, Dd);
    EXPECT_EQ(EncodeDate(Y, M, Dd), D) << D;
  }
  TDateTime T = EncodeDate(2026, 12, 6) + EncodeTime(8, 35, 30, 250);
  int H, Mi, S, Ms;
  DecodeTime(T, H, Mi, S, Ms);
  EXPECT_EQ(H * 10000000 + Mi * 100000 + S * 1000 + Ms, 8 * 10000000 + 35 * 100000 + 30250);
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1);  // a Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 24)), 1);
}

TEST(DateTimeTest, UnixConversionsAreExactToTheMillisecond) {
  EXPECT_EQ(DateTimeToUnix(UnixDateDelta), 0);
  EXPECT_EQ(UnixToDateTime(0), UnixDateDelta);
  for (int64_t Ms : {int64_t(0), int64_t(1), int64_t(-1), int64_t(1796718930250), int64_t(-2208988800000)}) {
    EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(Ms)), Ms) << Ms;
  }
  EXPECT_EQ(DateTimeToUnix(EncodeDate(2026, 12, 6) + EncodeTime(8, 35, 30, 0)), 1796546130);
  // Before the type's epoch the time of day still counts forward.
  EXPECT_EQ(UnixMsToDateTime(DateTimeToUnixMs(-1.25)), -1.25);
  int H, Mi, S, Ms, Y, Mo, D;
  TDateTime Early = UnixToDateTime(-5000000000);  // 1811-07-23 15:06:40 UTC
  DecodeDate(Early, Y, Mo, D);
  DecodeTime(Early, H, Mi, S, Ms);
  EXPECT_EQ(Y * 10000 + Mo * 100 + D, 18110723);
  EXPECT_EQ(H * 3600 + Mi * 60 + S, 15 * 3600 + 6 * 60 + 40);
}

TEST(DateTimeTest, LocalAndUtcFollowTheZoneRules) {
  const TDateTime Winter = EncodeDate(2026, 1, 15) + EncodeTime(12, 0, 0, 0);
  const TDateTime Summer = EncodeDate(2026, 7, 15) + EncodeTime(12, 0, 0, 0);
  {
    TZoneGuard Z("UTC0");
    EXPECT_DOUBLE_EQ(UtcDateTimeToLocal(Winter), Winter);
    EXPECT_EQ(LocalTimeBias(Winter), 0);
  }
  {
    TZoneGuard Z("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_NEAR(UtcDateTimeToLocal(Winter) - Winter, 1.0 / 24, 1e-9);
    EXPECT_NEAR(UtcDateTimeToLocal(Summer) - Summer, 2.0 / 24, 1e-9);
    EXPECT_EQ(LocalTimeBias(Winter), -60);
    EXPECT_EQ(LocalTimeBias(Summer), -120);
    EXPECT_NEAR(LocalDateTimeToUtc(UtcDateTimeToLocal(Summer)), Summer, 1e-9);
  }
  {
    TZoneGuard Z("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_NEAR(Winter - UtcDateTimeToLocal(Winter), 5.0 / 24, 1e-9);
    EXPECT_EQ(LocalTimeBias(Winter), 300);
    EXPECT_NEAR(LocalDateTimeToUtc(Winter) - Winter, 5.0 / 24, 1e-9);
    // Zone shifts across the type's epoch keep the time of day right.
    const TDateTime Eve = UnixMsToDateTime((-25570LL * 86400 + 22 * 3600) * 1000);  // 29 Dec 1899 22:00
    int Y, Mo, D, H, Mi, S, Ms;
    TDateTime Shifted = UtcDateTimeToLocal(Eve);
    DecodeDate(Shifted, Y, Mo, D);
    DecodeTime(Shifted, H, Mi, S, Ms);
    EXPECT_EQ(D * 100 + H, 29 * 100 + 17);
    EXPECT_EQ(DateTimeToUnixMs(LocalDateTimeToUtc(Shifted)), DateTimeToUnixMs(Eve));
  }
}

TEST(DateTimeTest, NowAgreesWithTheSystemClock) {
  TZoneGuard Z("UTC0");
  const int64_t Before = static_cast<int64_t>(std::time(nullptr));
  const int64_t Got = DateTimeToUnix(NowUtc());
  const int64_t After = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(Got, Before);
  EXPECT_LE(Got, After);
  EXPECT_NEAR(Now(), NowUtc(), 1.0 / 86400);
}
