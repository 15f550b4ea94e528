#include "core/qmTranslator.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>

#include "core/qmStream.h"

using namespace qm;

namespace {

// iconv's answer for one byte, or nullopt when iconv rejects it.
std::optional<std::string> IconvByte(const char* ACharSet, uint8_t AByte) {
  iconv_t Cd = iconv_open("UTF-8", ACharSet);
  EXPECT_NE(Cd, reinterpret_cast<iconv_t>(-1)) << ACharSet;
  char In = char(AByte);
  char* InP = &In;
  size_t InLeft = 1;
  char Out[8];
  char* OutP = Out;
  size_t OutLeft = sizeof Out;
  size_t R = iconv(Cd, &InP, &InLeft, &OutP, &OutLeft);
  iconv_close(Cd);
  if (R == size_t(-1)) return std::nullopt;
  return std::string(Out, size_t(OutP - Out));
}

struct TTableCase {
  const char* Name;
  const char* IconvName;
};

const TTableCase kTables[] = {
    {"ISO-8859-1", "ISO-8859-1"}, {"ISO-8859-2", "ISO-8859-2"},     {"Windows-1250", "CP1250"},
    {"ibm866", "CP866"},          {"ISO-8859-5", "ISO-8859-5"},     {"koi8-r", "KOI8-R"},
    {"koi8-u", "KOI8-U"},         {"KOI8-WIN", "KOI8-R"},           {"WIN-KOI8", "CP1251"},
    {"Windows-1251", "CP1251"},   {"x-mac-cyrillic", "MAC-CYRILLIC"}, {"Latin1", "ISO-8859-1"},
};

}  // namespace

TEST(TqmTranslatorTest, TableCharsetsRoundTripEveryByteAndAgreeWithIconv) {
  for (const auto& C : kTables) {
    SCOPED_TRACE(C.Name);
    ASSERT_TRUE(TqmTranslator::IsTableCharSet(C.Name));
    int Compared = 0;
    for (int B = 0; B < 256; ++B) {
      TqmByteArray One{uint8_t(B)};
      std::string Text = TqmTranslator::GetString(One, C.Name);
      ASSERT_TRUE(IsValidUtf8(Text)) << B;
      EXPECT_EQ(TqmTranslator::GetBytes(Text, C.Name), One) << "byte " << B;
      EXPECT_EQ(TqmTranslator::TranslateTo(C.Name, TqmTranslator::TranslateFrom(C.Name, std::string(1, char(B)))),
                std::string(1, char(B)));
      if (auto Peer = IconvByte(C.IconvName, uint8_t(B))) {
        EXPECT_EQ(Text, *Peer) << "byte " << B;
        ++Compared;
      }
    }
    EXPECT_GE(Compared, 250);
  }
}

TEST(TqmTranslatorTest, KnownLettersAndNameLookup) {
  // KOI8-R 0xC0 is the small letter yu, Cyrillic capital A is KOI8-R 0xE1.
  EXPECT_EQ(TqmTranslator::GetString(TqmByteArray{0xC0}, "koi8-r"), "\xD1\x8E");
  EXPECT_EQ(TqmTranslator::GetBytes("\xD0\x90", "KOI8-R"), (TqmByteArray{0xE1}));
  EXPECT_EQ(TqmTranslator::GetBytes("\xD0\x90", "Windows-1251"), (TqmByteArray{0xC0}));
  EXPECT_EQ(TqmTranslator::GetBytes("\xD0\x90", "win-koi8"), (TqmByteArray{0xC0}));
  EXPECT_EQ(TqmTranslator::GetBytes("\xD0\x90", "koi8-win"), (TqmByteArray{0xE1}));
  EXPECT_EQ(TqmTranslator::GetString(TqmByteArray{0xB1}, "iso-8859-2"), "\xC4\x85");  // a ogonek
  // A character the charset lacks becomes '?'.
  EXPECT_EQ(TqmTranslator::GetBytes("a\xE2\x82\xAC" "b", "iso-8859-5"), (TqmByteArray{'a', '?', 'b'}));
  EXPECT_EQ(TqmTranslator::GetBytes("\xE2\x82\xAC", "x-mac-cyrillic"), (TqmByteArray{0xFF}));
}

TEST(TqmTranslatorTest, IconvCharsetsAndPassThrough) {
  EXPECT_EQ(TqmTranslator::GetBytes("\xE2\x82\xAC", "windows-1252"), (TqmByteArray{0x80}));
  EXPECT_EQ(TqmTranslator::GetString(TqmByteArray{0x80, 'x'}, "windows-1252"), "\xE2\x82\xAC" "x");
  // "日本" in Shift_JIS.
  TqmByteArray Sjis{0x93, 0xFA, 0x96, 0x7B};
  EXPECT_EQ(TqmTranslator::GetString(Sjis, "shift_jis"), "\xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(TqmTranslator::GetBytes("\xE6\x97\xA5\xE6\x9C\xAC", "Shift_JIS"), Sjis);
  EXPECT_EQ(TqmTranslator::GetBytes("\xE6\x97\xA5", "iso-8859-1"), (TqmByteArray{'?'}));
  EXPECT_EQ(TqmTranslator::GetBytes("x\xE6\x97\xA5y", "windows-1252"), (TqmByteArray{'x', '?', 'y'}));
  EXPECT_EQ(TqmTranslator::GetBytes("\xE6\x97\xA5", "utf-16be"), (TqmByteArray{0x65, 0xE5}));
  // Undecodable bytes of an iconv charset become U+FFFD, the rest survives.
  EXPECT_EQ(TqmTranslator::GetString(TqmByteArray{'a', 0x81, 'b'}, "windows-1252"), "a\xEF\xBF\xBD" "b");

  const std::string Raw = "\x01\x80\xFF text \xC3";
  TqmByteArray RawBytes(Raw.begin(), Raw.end());
  for (const char* Name : {"", "us-ascii", "US-ASCII", "no-such-charset", "x-\xFF"}) {
    SCOPED_TRACE(Name);
    EXPECT_EQ(TqmTranslator::GetBytes(Raw, Name), RawBytes);
    EXPECT_EQ(TqmTranslator::GetString(RawBytes, Name), Raw);
    EXPECT_EQ(TqmTranslator::TranslateTo(Name, Raw), Raw);
    EXPECT_EQ(TqmTranslator::TranslateFrom(Name, Raw), Raw);
  }
  EXPECT_EQ(TqmTranslator::GetByteCount("\xD0\x90\xD0\x91", "koi8-r"), 2);
  EXPECT_EQ(TqmTranslator::GetByteCount("\xD0\x90\xD0\x91", "utf-8"), 4);
  uint8_t Buffer[3] = {0, 0, 0};
  EXPECT_EQ(TqmTranslator::GetBytes("abcdef", "utf-8", Buffer, 3), 3);
  EXPECT_EQ(Buffer[2], 'c');
  EXPECT_EQ(TqmTranslator::GetBytes("abcdef", "utf-8", Buffer, -5), 0);
}

TEST(TqmTranslatorTest, GetStringRanges) {
  TqmByteArray B{'a', 'b', 'c', 'd'};
  EXPECT_EQ(TqmTranslator::GetString(B, 1, 2, "utf-8"), "bc");
  EXPECT_EQ(TqmTranslator::GetString(B, 2, 100, "utf-8"), "cd");
  EXPECT_EQ(TqmTranslator::GetString(B, 0, 0, "utf-8"), "");
  EXPECT_EQ(TqmTranslator::GetString(B, 1, -1, "utf-8"), "");
  EXPECT_EQ(TqmTranslator::GetString(B, -1, 2, "utf-8"), "");
  EXPECT_EQ(TqmTranslator::GetString(B, 4, 2, "utf-8"), "");
}

TEST(TqmTranslatorTest, Utf8DecodingReplacesBadPartsAndKeepsTheRest) {
  const std::string R = "\xEF\xBF\xBD";
  auto D = [](const std::string& S) {
    return TqmTranslator::GetString(S.data(), int64_t(S.size()), "UTF-8");
  };
  EXPECT_EQ(D("ab\xD0"), "ab" + R);               // cut inside a character
  EXPECT_EQ(D("ab\xE2\x82"), "ab" + R);           // one maximal part
  EXPECT_EQ(D("\x80z"), R + "z");                 // stray continuation
  EXPECT_EQ(D("\xC0\xAF"), R + R);                // overlong
  EXPECT_EQ(D("\xED\xA0\x80"), R + R + R);        // surrogate
  EXPECT_EQ(D("\xF4\x90\x80\x80"), R + R + R + R);  // past U+10FFFF
  EXPECT_EQ(D("\xE2\x28\xA1"), R + "(" + R);
  EXPECT_EQ(D("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(TqmTranslator::GetBytes("a\xFF", "utf-8"), (TqmByteArray{'a', 0xEF, 0xBF, 0xBD}));
}

TEST(TqmTranslatorTest, ValidatorAgreesWithRepairOnRandomText) {
  // Long inputs take the vector path; the repairing decoder is the reference.
  std::mt19937 Rng(7);
  const std::string Pieces[] = {"a", "plain text ", "\xD0\x96", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                "\x80", "\xC3", "\xE0\x80", "\xED\xA0\x80", "\xF8", "\n"};
  for (int Round = 0; Round < 3000; ++Round) {
    std::string S;
    int N = int(Rng() % 200);
    bool Clean = Round % 2 == 0;
    for (int I = 0; I < N; ++I) S += Pieces[Rng() % (Clean ? 5 : std::size(Pieces))];
    std::string Decoded = SanitizeUtf8(S);
    ASSERT_EQ(IsValidUtf8(S), Decoded == S) << Round;
    ASSERT_TRUE(IsValidUtf8(Decoded));
  }
}

TEST(TqmTranslatorTest, BlockDecoderCarriesCutCharacters) {
  const std::string Text = "\xD0\x9F\xD1\x80\xD0\xB8 \xE2\x82\xAC \xF0\x9F\x98\x80 end";
  for (const char* CharSet : {"utf-8", "utf-16le", "shift_jis", "koi8-r"}) {
    SCOPED_TRACE(CharSet);
    TqmByteArray Bytes = TqmTranslator::GetBytes(CharSet == std::string("shift_jis") ? "\xE6\x97\xA5\xE6\x9C\xAC x" : Text, CharSet);
    std::string Whole = TqmTranslator::GetString(Bytes, CharSet);
    for (size_t Block = 1; Block <= 5; ++Block) {
      TqmTextDecoder Decoder(CharSet);
      std::string Out;
      for (size_t I = 0; I < Bytes.size(); I += Block) {
        size_t N = std::min(Block, Bytes.size() - I);
        Decoder.Decode(Bytes.data() + I, N, I + N == Bytes.size(), Out);
      }
      EXPECT_EQ(Out, Whole) << Block;
    }
  }
  TqmTextDecoder Cut("utf-8");
  EXPECT_EQ(Cut.Decode("a\xE2\x82", 3), "a");
  EXPECT_EQ(Cut.Pending(), 2u);
  std::string Rest;
  Cut.Flush(Rest);
  EXPECT_EQ(Rest, "\xEF\xBF\xBD");
}

TEST(TqmTranslatorTest, StreamsTranslateFromTheStartAndKeepPositions) {
  std::string Text;
  for (int I = 0; I < 30000; ++I) Text += "\xD0\x96x";  // crosses the internal blocks mid-character
  TStringStream Source(Text);
  TMemoryStream Dest;
  Source.SetPosition(5);
  TqmTranslator::TranslateTo("koi8-r", Source, Dest);
  EXPECT_EQ(Source.Position(), 5);
  EXPECT_EQ(Dest.Position(), 0);
  EXPECT_EQ(Dest.DataString(), TqmTranslator::TranslateTo("koi8-r", Text));
  EXPECT_EQ(Dest.Size(), 60000);
  TMemoryStream Back;
  TqmTranslator::TranslateFrom("koi8-r", Dest, Back);
  EXPECT_EQ(Back.DataString(), Text);
  // Onto itself.
  TStringStream Same("\xF6");
  TqmTranslator::TranslateFrom("koi8-r", Same, Same);
  EXPECT_EQ(Same.DataString(), "\xD0\x96");
}

TEST(TqmTranslatorTest, WideText) {
  std::u16string W = u"\u0416\u20AC\U0001F600";
  EXPECT_EQ(TqmTranslator::WideToAnsi(W), "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(TqmTranslator::AnsiToWide("\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80"), W);
  EXPECT_EQ(TqmTranslator::WideToAnsi(u"\u0416", 20866), "\xF6");
  EXPECT_EQ(TqmTranslator::AnsiToWide("\x80", 1252), u"\u20AC");
  EXPECT_EQ(TqmTranslator::WideToAnsi(std::u16string(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD" "a");
}
