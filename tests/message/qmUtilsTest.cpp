#include "message/qmUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "message/qmTranslator.h"

using namespace qm;

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
