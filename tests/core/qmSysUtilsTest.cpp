#include "core/qmSysUtils.h"

#include <gtest/gtest.h>

#include "core/qmException.h"

using namespace qm;

TEST(SysUtilsTest, StrictIntegerConversion) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt64("9000000000"), 9000000000LL);
  for (const char* Bad : {"", " 1", "1 ", "1a", "+", "-", "0x10", "99999999999"})
    EXPECT_THROW(StrToInt(Bad), EConvertError) << Bad;
  try {
    StrToInt("x1");
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "'x1' is not a valid integer value");
  }
  EXPECT_EQ(StrToIntDef("zz", -1), -1);
}

TEST(SysUtilsTest, CaseAndTrim) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a "), "  a");
  EXPECT_TRUE(SameText("Content-Type", "content-TYPE"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_EQ(CompareText("", ""), 0);
  EXPECT_EQ(FindText("TYPE", "Content-type: x"), 8u);
  EXPECT_EQ(FindText("zz", "abc"), std::string::npos);
  EXPECT_TRUE(StartsText("auth", "AUTH PLAIN"));
  EXPECT_TRUE(EndsText(".ORG", "example.org"));
  // Non-ASCII bytes are left alone by the ASCII case rules.
  EXPECT_EQ(UpperCase("b\xC3\xBC" "cher"), "B\xC3\xBC" "CHER");
}

TEST(SysUtilsTest, FormatGrowsPastTheSmallBuffer) {
  EXPECT_EQ(Format("%s, %d %s", "Sun", 6, "Dec"), "Sun, 6 Dec");
  std::string Long(1000, 'q');
  EXPECT_EQ(Format("<%s>", Long.c_str()), "<" + Long + ">");
}
