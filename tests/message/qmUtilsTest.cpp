#include "message/qmUtils.h"

#include <gtest/gtest.h>

#include "tests/core/qmTestZone.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "core/qmTranslator.h"

using namespace qm;
using qmtest::TZoneScope;

TEST(QmUtilsStringsTest, QuoteAndUnquote) {
  EXPECT_EQ(QuoteText("abc"), "\"abc\"");
  EXPECT_EQ(QuoteText(""), "\"\"");
  EXPECT_EQ(QuoteText("\"abc"), "\"abc");
  EXPECT_EQ(QuoteText("abc\""), "abc\"");
  EXPECT_EQ(QuoteText("id", '<', '>'), "<id>");
  EXPECT_EQ(QuoteText("<id", '<', '>'), "<id");
  EXPECT_EQ(UnquoteText("\"abc\""), "abc");
  EXPECT_EQ(UnquoteText("\""), "\"");
  EXPECT_EQ(UnquoteText("\"\""), "");
  EXPECT_EQ(UnquoteText("\"abc"), "\"abc");
  EXPECT_EQ(UnquoteText("'x'", '\''), "x");
  EXPECT_EQ(UnquoteText("<a@b>", '<', '>'), "a@b");
}

TEST(QmUtilsStringsTest, Words) {
  EXPECT_EQ(WordCount("  +OK  2 320 ", " "), 3);
  EXPECT_EQ(WordCount("", " "), 0);
  EXPECT_EQ(WordCount(";;", ";"), 0);
  EXPECT_EQ(ExtractWord(1, "  +OK  2 320 ", " "), "+OK");
  EXPECT_EQ(ExtractWord(3, "  +OK  2 320 ", " "), "320");
  EXPECT_EQ(ExtractWord(4, "  +OK  2 320 ", " "), "");
  EXPECT_EQ(ExtractWord(0, "a b", " "), "");
  EXPECT_EQ(ExtractWord(2, "a=b;c", "=;"), "b");
}

TEST(QmUtilsStringsTest, SplitText) {
  TStringList L;
  SplitText("v=1; a=rsa-sha256;\r\n\tb=abc\r\n def;", L, ";");
  ASSERT_EQ(L.Count(), 4);
  EXPECT_EQ(L[0], "v=1");
  EXPECT_EQ(L[1], " a=rsa-sha256");
  EXPECT_EQ(L[2], "\tb=abc def");
  EXPECT_EQ(L[3], "");
  SplitText("a::b::", L, "::");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"a", "b", ""}));
  SplitText("", L, ".");
  EXPECT_EQ(L.Count(), 0);
  SplitText("www.example.com", L, ".");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"www", "example", "com"}));
}

TEST(QmUtilsStringsTest, SplitQuoted) {
  TStringList L;
  SplitQuoted("a; b=\"x;y\"; c=(1;(2;3));", L, ';', true, "\"(", "\")");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"a", " b=\"x;y\"", " c=(1;(2;3))", ""}));
  SplitQuoted("a; b=\"x;y\"; c=(1;(2;3))", L, ';', false, "\"(", "\")");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"a", " b=x;y", " c=1;2;3"}));
  SplitQuoted("n=\"a\\\";b\";m", L, ';', true, "\"", "\"");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"n=\"a\\\";b\"", "m"}));
  SplitQuoted("x=\"open;rest", L, ';', true, "\"", "\"");
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"x=\"open;rest"}));
}

TEST(QmUtilsStringsTest, Positions) {
  EXPECT_EQ(TextPos("b", "abcb"), 2);
  EXPECT_EQ(TextPos("b", "abcb", 3), 4);
  EXPECT_EQ(TextPos("B", "abcb"), 0);
  EXPECT_EQ(TextPos("", "abc"), 0);
  EXPECT_EQ(TextPos("c", "abc", 10), 0);
  EXPECT_EQ(TextPos("a", "abc", -3), 1);
  EXPECT_EQ(TextLastPos("?=", "=?a?=b?=c"), 7);
  EXPECT_EQ(TextLastPos("?=", "=?a?=b?=c", 6), 4);
  EXPECT_EQ(TextLastPos("B", "abcb"), 4);
  EXPECT_EQ(TextLastPos("ab", "abcb", 1), 1);
  EXPECT_EQ(TextLastPos("x", "abc"), 0);
  EXPECT_EQ(TextLastPos("abcd", "abc"), 0);
  EXPECT_EQ(IndexOfText("feb", {"Jan", "Feb"}), 1);
  EXPECT_EQ(IndexOfText("Mar", {"Jan", "Feb"}), -1);
  EXPECT_EQ(IndexOfText("B", std::vector<std::string>{"a", "b"}), 1);
}

TEST(QmUtilsBytesTest, HexReverseAndBigEndian) {
  EXPECT_EQ(BytesToHex(TqmByteArray{0x00, 0xAB, 0x0F}), "00AB0F");
  EXPECT_EQ(BytesToHex(TqmByteArray{0x01, 0xFE}, ":"), "01:FE");
  EXPECT_EQ(BytesToHex(TqmByteArray{}, ":"), "");
  EXPECT_EQ(ReverseBytes(TqmByteArray{1, 2, 3}), (TqmByteArray{3, 2, 1}));

  TqmByteArray B;
  int Pos = 0;
  WriteWord(B, Pos, 0x1234);
  WriteDWord(B, Pos, 0xA1B2C3D4);
  EXPECT_EQ(Pos, 6);
  EXPECT_EQ(B, (TqmByteArray{0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4}));
  Pos = 0;
  EXPECT_EQ(ReadWord(B, Pos), 0x1234);
  EXPECT_EQ(ReadDWord(B, Pos), 0xA1B2C3D4u);
  EXPECT_THROW(ReadWord(B, Pos), EReadError);
  EXPECT_EQ(Pos, 6);
  Pos = 5;
  EXPECT_THROW(ReadWord(B, Pos), EReadError);
  Pos = -1;
  EXPECT_THROW(ReadDWord(B, Pos), EReadError);
  EXPECT_THROW(WriteWord(B, Pos, 1), EWriteError);
  Pos = 1;
  WriteWord(B, Pos, 0xFFFF);
  EXPECT_EQ(B[1], 0xFF);
  EXPECT_EQ(B.size(), 6u);
}

TEST(QmUtilsBytesTest, BinaryData) {
  TqmBinaryData D;
  EXPECT_EQ(D.Data(), nullptr);
  D.AllocateData(16);
  ASSERT_NE(D.Data(), nullptr);
  EXPECT_EQ(D.Size(), 16);
  EXPECT_EQ(D.ToBytes(), TqmByteArray(16, 0));
  D.Assign(TqmByteArray{1, 2, 3});
  EXPECT_EQ(D.ToBytes(), (TqmByteArray{1, 2, 3}));
  EXPECT_THROW(D.AllocateData(-1), EInvalidOperation);
  D.FreeData();
  EXPECT_EQ(D.Size(), 0);
  EXPECT_EQ(D.Data(), nullptr);
}

namespace {
void ExpectUtc(TDateTime ALocal, int Y, int Mo, int D, int H, int Mi, int S) {
  TDateTime Utc = LocalToUtc(ALocal);
  EXPECT_NEAR(Utc, EncodeDate(Y, Mo, D) + EncodeTime(H, Mi, S, 0), 1.0 / 86400000.0);
}
}  // namespace

TEST(QmUtilsDateTest, ParsesMailDatesInSeveralZones) {
  for (const char* Zone : {"UTC0", "Europe/Berlin", "America/New_York", "Asia/Kolkata"}) {
    SCOPED_TRACE(Zone);
    TZoneScope Scope(Zone);
    TDateTime Offset = 99;
    TDateTime D = MailDateToDateTime("Tue, 5 Feb 08 09:10:11 +0100", Offset);
    ExpectUtc(D, 2008, 2, 5, 8, 10, 11);
    EXPECT_NEAR(Offset, 1.0 / 24, 1e-9);
    ExpectUtc(MailDateToDateTime("  5 feb 2008 09:10:11 -0530 (IST)"), 2008, 2, 5, 14, 40, 11);
    ExpectUtc(MailDateToDateTime("Sun, 06 Dec 2026 08:35:30 EST"), 2026, 12, 6, 13, 35, 30);
    ExpectUtc(MailDateToDateTime("1 Jan 99 00:00:00 +0000"), 1999, 1, 1, 0, 0, 0);
    ExpectUtc(MailDateToDateTime("1 Jan 49 00:00:00 +0000"), 2049, 1, 1, 0, 0, 0);
    ExpectUtc(MailDateToDateTime("1 Jan 50 00:00:00 +0000"), 1950, 1, 1, 0, 0, 0);
  }
}

TEST(QmUtilsDateTest, BadMailDates) {
  TDateTime Offset = 5;
  EXPECT_THROW(MailDateToDateTime("Tue, x Feb 2008 09:10:11 +0100"), EConvertError);
  EXPECT_THROW(MailDateToDateTime("Tue, 5 Feb yy 09:10:11 +0100"), EConvertError);
  EXPECT_THROW(MailDateToDateTime(""), EConvertError);
  EXPECT_THROW(MailDateToDateTime("5 Feb 99999999999 00:00"), EConvertError);
  EXPECT_EQ(MailDateToDateTime("31 Feb 2008 09:10:11 +0100", Offset), 0);
  EXPECT_EQ(Offset, 0);
  EXPECT_EQ(MailDateToDateTime("0 Feb 2008 09:10:11 +0100"), 0);
  EXPECT_EQ(MailDateToDateTime("5 Feb 0000 09:10:11 +0100"), 0);
  EXPECT_EQ(MailDateToDateTime("-5 Feb 2008 09:10:11 +0100"), 0);
  EXPECT_EQ(MailDateToDateTime("5 Feb 10000 09:10:11"), 0);
  EXPECT_NE(MailDateToDateTime("5 Feb 008 09:10:11"), 0);  // three digits: 1908
  // A month that is not a name takes the current month and leaves the token.
  {
    TZoneScope Scope("UTC0");
    int Y, M, D;
    DecodeDate(Now(), Y, M, D);
    TDateTime R = MailDateToDateTime("1 2020 10:00:00 +0000");
    int Y2, M2, D2;
    DecodeDate(R, Y2, M2, D2);
    EXPECT_EQ(Y2, 2020);
    EXPECT_EQ(M2, M);
    EXPECT_EQ(D2, 1);
  }
}

TEST(QmUtilsDateTest, TimesAndZones) {
  EXPECT_NEAR(ParseTime("12:30:00 AM"), EncodeTime(0, 30, 0, 0), 1e-12);
  EXPECT_NEAR(ParseTime("1:05 PM"), EncodeTime(13, 5, 0, 0), 1e-12);
  EXPECT_NEAR(ParseTime("12:00 pm"), EncodeTime(12, 0, 0, 0), 1e-12);
  EXPECT_NEAR(ParseTime("09:10:11"), EncodeTime(9, 10, 11, 0), 1e-12);
  EXPECT_NEAR(ParseTime("7:xx:05"), EncodeTime(7, 0, 5, 0), 1e-12);
  EXPECT_EQ(ParseTime("25:00:00"), 0);
  EXPECT_EQ(ParseTime(""), 0);
  EXPECT_NEAR(ParseTimeZone("+0130"), 1.5 / 24, 1e-12);
  EXPECT_NEAR(ParseTimeZone("-0500"), -5.0 / 24, 1e-12);
  EXPECT_EQ(ParseTimeZone("+01"), 0);
  EXPECT_EQ(ParseTimeZone("+2500"), 0);
  EXPECT_EQ(ParseTimeZone("+-100"), 0);
  EXPECT_EQ(ParseTimeZone("CET"), 0);
  EXPECT_NEAR(ParseTimeZone("pdt"), -7.0 / 24, 1e-12);
}

TEST(QmUtilsDateTest, FormatsMailDatesAndOffsets) {
  {
    TZoneScope Scope("UTC0");
    TDateTime D = EncodeDate(2026, 12, 6) + EncodeTime(8, 35, 30, 0);
    EXPECT_EQ(DateTimeToMailDate(D), "Sun, 6 Dec 2026 08:35:30 +0000");
    EXPECT_EQ(GetTimeZoneOffset(), "+0000");
    TDateTime Offset;
    EXPECT_NEAR(MailDateToDateTime(DateTimeToMailDate(D), Offset), D, 1e-8);
  }
  {
    TZoneScope Scope("CET-1");  // one hour east, no daylight time
    EXPECT_EQ(GetTimeZoneOffset(), "+0100");
  }
  {
    TZoneScope Scope("EST5");
    EXPECT_EQ(GetTimeZoneOffset(), "-0500");
    EXPECT_EQ(DateTimeToMailDate(EncodeDate(2008, 2, 5) + EncodeTime(3, 10, 11, 0)),
              "Tue, 5 Feb 2008 03:10:11 -0500");
  }
  {
    // The offset is the one in force on the date itself.
    TZoneScope Scope("Europe/Berlin");
    EXPECT_EQ(DateTimeToMailDate(EncodeDate(2026, 7, 1) + EncodeTime(12, 0, 0, 0)),
              "Wed, 1 Jul 2026 12:00:00 +0200");
    EXPECT_EQ(DateTimeToMailDate(EncodeDate(2026, 1, 1) + EncodeTime(12, 0, 0, 0)),
              "Thu, 1 Jan 2026 12:00:00 +0100");
    TqmFileTime Ft{};
    Ft.tv_sec = 1767268800;  // 2026-01-01 12:00:00 UTC
    Ft.tv_nsec = 500000000;
    EXPECT_NEAR(FileTimeToLocal(Ft), EncodeDate(2026, 1, 1) + EncodeTime(13, 0, 0, 500), 1e-9);
    EXPECT_NEAR(UtcToLocal(EncodeDate(2026, 7, 1)), EncodeDate(2026, 7, 1) + 2.0 / 24, 1e-9);
  }
  EXPECT_EQ(TimeZoneBiasToText(-330), "+0530");
  EXPECT_EQ(TimeZoneBiasToText(90), "-0130");
}

// ---------------------------------------------------------------------------

TEST(QmUtilsLinesTest, AddTextSplitsAtEveryLineBreak) {
  TStringList L;
  TqmStringsUtils U(&L);
  EXPECT_EQ(U.AddText("a\r\nb\rc\nd", false), 8);
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(U.AddText("e\r\n\r\n", true), 0);
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"a", "b", "c", "de", ""}));
  EXPECT_EQ(U.AddText("", true), 0);
  EXPECT_EQ(L.Count(), 5);
  // A text that ends with a CR: unfinished, and the next text completes the
  // CR LF instead of adding an empty line.
  TStringList M;
  TqmStringsUtils V(&M);
  EXPECT_NE(V.AddText("abc\r", false), 0);
  EXPECT_EQ(V.AddText("\ndef", true), 3);
  EXPECT_EQ(M.ToVector(), (std::vector<std::string>{"abc", "def"}));
  EXPECT_NE(V.AddText("\r", true), 0);
  EXPECT_EQ(V.AddText("ghi\n", true), 0);
  EXPECT_EQ(M.ToVector(), (std::vector<std::string>{"abc", "def", "ghi"}));
  // Appending to an empty list adds the first piece as a line.
  TStringList E;
  EXPECT_EQ(AddTextToLines(E, "x", true), 1);
  EXPECT_EQ(E.ToVector(), (std::vector<std::string>{"x"}));
}

TEST(QmUtilsLinesTest, BatchesGiveTheSameLinesAsOneRead) {
  static const char Text[] =
      "Subject: t\r\n\r\nline\rmac\nunix\r\n\n\r\r\n\xD0\x9F\xD1\x80\xD0\xB8 \xE2\x82\xAC\r\nnul\0here\r\nlast\r";
  const std::string Full(Text, sizeof Text - 1);
  TStringList Whole;
  {
    TStringStream S(Full);
    EXPECT_EQ(LoadLinesFromStream(Whole, S), 0);
  }
  EXPECT_EQ(Whole.ToVector(), (std::vector<std::string>{"Subject: t", "", "line", "mac", "unix", "", "",
                                                        "", "\xD0\x9F\xD1\x80\xD0\xB8 \xE2\x82\xAC",
                                                        "nul here", "last"}));
  for (const char* CharSet : {"", "utf-8", "koi8-r"}) {
    std::string Source = std::string(CharSet) == "koi8-r" ? TqmTranslator::TranslateTo("koi8-r", Full) : Full;
    std::vector<std::string> Expected = Whole.ToVector();
    if (std::string(CharSet) == "koi8-r") Expected[8] = "\xD0\x9F\xD1\x80\xD0\xB8 ?";  // no euro sign
    for (int Batch = 1; Batch <= int(Source.size()) + 1; ++Batch) {
      SCOPED_TRACE(std::string(CharSet) + " batch " + std::to_string(Batch));
      TStringList L;
      L.Add("kept");
      TqmStringsUtils U(&L);
      U.SetBatchSize(Batch);
      U.SetCharSet(CharSet);
      std::vector<int64_t> Progress;
      U.OnProgress = [&](TObject* Sender, int64_t Done, int64_t Total) {
        EXPECT_EQ(Sender, &U);
        EXPECT_EQ(Total, int64_t(Source.size()));
        Progress.push_back(Done);
      };
      TStringStream S(Source);
      EXPECT_EQ(U.LoadFromStream(S, false), 0);
      L.Delete(0);
      EXPECT_EQ(L.ToVector(), Expected);
      EXPECT_EQ(Progress.size(), (Source.size() + size_t(Batch) - 1) / size_t(Batch));
      EXPECT_EQ(Progress.front(), 0);
    }
  }
}

TEST(QmUtilsLinesTest, LoadLimitsAndAppend) {
  TStringList L;
  L.Add("start ");
  TqmStringsUtils U(&L);
  TStringStream S("one\r\ntwo\r\nthree");
  S.SetPosition(5);
  EXPECT_EQ(U.LoadFromStream(S, true, 5), 0);  // "two\r\n"
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"start two"}));
  EXPECT_EQ(S.Position(), 10);
  EXPECT_EQ(U.LoadFromStream(S, false, -7), 5);  // no limit
  EXPECT_EQ(L.ToVector(), (std::vector<std::string>{"start two", "three"}));
  EXPECT_EQ(U.LoadFromStream(S, false, int64_t(1) << 62), 0);  // at the end
  S.SetPosition(100);
  EXPECT_EQ(U.LoadFromStream(S, false), 0);
  EXPECT_EQ(L.Count(), 2);
  U.SetBatchSize(-3);
  TStringStream T("a\nb");
  EXPECT_EQ(U.LoadFromStream(T, false, 2), 0);
  EXPECT_EQ(L.Count(), 3);
  // A cut UTF-8 character at the very end of the stream is kept as U+FFFD.
  TStringStream Cut("ok\xD0");
  U.SetCharSet("utf-8");
  U.SetBatchSize(1);
  U.LoadFromStream(Cut, false);
  EXPECT_EQ(L[3], "ok\xEF\xBF\xBD");
}

TEST(QmUtilsLinesTest, SearchAndSize) {
  TStringList L(std::vector<std::string>{"From: a", "Subject: Hello", ""});
  EXPECT_EQ(IndexOfLine(L, "subject: hello", true), 1);
  EXPECT_EQ(IndexOfLine(L, "HELLO", false), 1);
  EXPECT_EQ(IndexOfLine(L, "HELLO", true), -1);
  EXPECT_EQ(IndexOfLine(L, "", true), 2);
  EXPECT_EQ(GetLinesSize(L), 7 + 14 + 0 + 6);
  EXPECT_EQ(GetLinesSize(L), int64_t(L.Text().size()));
}
