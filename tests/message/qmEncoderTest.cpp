#include "message/qmEncoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/qmStream.h"

namespace qm {
namespace {

std::string Encode(TqmEncoder& AEncoder, const std::string& AData) {
  TStringStream Source(AData);
  TMemoryStream Dest;
  AEncoder.Encode(Source, Dest);
  return Dest.DataString();
}

std::string Decode(TqmEncoder& AEncoder, const std::string& AData) {
  TStringStream Source(AData);
  TMemoryStream Dest;
  AEncoder.Decode(Source, Dest);
  return Dest.DataString();
}

std::string Encode(TqmEncodeMethod AMethod, const std::string& AData, int ACharsPerLine = 76,
                   bool ASuppressCrlf = false) {
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(AMethod);
  Encoder.SetCharsPerLine(ACharsPerLine);
  Encoder.SetSuppressCrlf(ASuppressCrlf);
  return Encode(Encoder, AData);
}

std::string Decode(TqmEncodeMethod AMethod, const std::string& AData) {
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(AMethod);
  return Decode(Encoder, AData);
}

std::string RandomBytes(size_t ASize, uint32_t ASeed) {
  std::mt19937 Rng(ASeed);
  std::string S(ASize, '\0');
  for (char& C : S) C = static_cast<char>(Rng() & 0xFF);
  return S;
}

std::vector<std::string> SplitCrlf(const std::string& AText) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  for (size_t P; (P = AText.find("\r\n", Start)) != std::string::npos; Start = P + 2)
    Lines.push_back(AText.substr(Start, P - Start));
  Lines.push_back(AText.substr(Start));
  return Lines;
}

TEST(Encoder, EffectiveLineLength) {
  TqmEncoder E;
  struct {
    TqmEncodeMethod Method;
    int Chars, Expected;
  } const Cases[] = {
      {cmBase64, 76, 76},  {cmBase64, 77, 80},  {cmBase64, 78, 80},   {cmBase64, 73, 72},
      {cmBase64, 10, 64},  {cmBase64, 0, 64},   {cmBase64, 64, 64},   {cmQuotedPrintable, 0, 4},
      {cmQuotedPrintable, -5, 4}, {cmQuotedPrintable, 500, 132}, {cmQuotedPrintable, 76, 76},
      {cmUUEncode, 1, 3},  {cmUUEncode, 200, 132}, {cmNone, 0, 76},   {cm8Bit, -1, 76},
      {cm8Bit, 33, 33},
  };
  for (const auto& C : Cases) {
    E.SetEncodeMethod(C.Method);
    E.SetCharsPerLine(C.Chars);
    EXPECT_EQ(E.GetLineLength(), C.Expected) << C.Method << " " << C.Chars;
  }
}

TEST(Encoder, Base64Rfc4648Vectors) {
  const std::pair<std::string, std::string> Vectors[] = {
      {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},  {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [Plain, Coded] : Vectors) {
    EXPECT_EQ(Encode(cmBase64, Plain), Coded);
    EXPECT_EQ(Decode(cmBase64, Coded), Plain);
  }
  EXPECT_EQ(Encode(cmBase64, ""), "");
  EXPECT_EQ(Encode(cmBase64, "\xFB\xFF\xBF"), "+/+/");
}

TEST(Encoder, Base64LineLayout) {
  const std::string Data57(57, 'x'), Data58(58, 'x');
  const std::string One = Encode(cmBase64, Data57);
  EXPECT_EQ(One.size(), 76u);
  EXPECT_EQ(One.find('\r'), std::string::npos);
  const auto Two = SplitCrlf(Encode(cmBase64, Data58));
  ASSERT_EQ(Two.size(), 2u);
  EXPECT_EQ(Two[0].size(), 76u);
  EXPECT_EQ(Two[1], "eA==");
  // A narrow width is raised to 64 characters; SuppressCrlf gives one line.
  const auto Narrow = SplitCrlf(Encode(cmBase64, std::string(100, 'y'), 10));
  ASSERT_EQ(Narrow.size(), 3u);
  EXPECT_EQ(Narrow[0].size(), 64u);
  EXPECT_EQ(Encode(cmBase64, std::string(500, 'z'), 76, true).size(), 668u);
}

TEST(Encoder, Base64DecodingSkipsBreaksSpacesAndPadding) {
  EXPECT_EQ(Decode(cmBase64, "Zm9v\r\nYm\r\n Fy"), "foobar");
  EXPECT_EQ(Decode(cmBase64, "Zm9\tv Y\tmFy"), "foobar");
  // Padding ends its group: data joined after a padded end stays aligned.
  EXPECT_EQ(Decode(cmBase64, "Zm8=Zm9v"), "fofoo");
  EXPECT_EQ(Decode(cmBase64, "Zg==Zm9v"), "ffoo");
  EXPECT_EQ(Decode(cmBase64, "Zm9vYg"), "foob");  // trailing bits without padding
  EXPECT_EQ(Decode(cmBase64, "Zm9vY"), "foo");     // six dangling bits are dropped
  // Bulk data is decoded several groups at a time: a break, a stray space
  // or a padded end at every offset of such a run gives the same bytes.
  std::string Bytes;
  for (int I = 0; I < 45; ++I) Bytes += static_cast<char>(I * 37 + 11);
  const std::string Coded = TqmEncoder::EncodeString(Bytes, cmBase64);
  ASSERT_EQ(Coded.size(), 60u);
  TqmEncoder Skipping;
  Skipping.SetEncodeMethod(cmBase64);
  Skipping.SetErrorProcessing(epSkip);  // as the message reader decodes
  for (size_t At = 0; At <= Coded.size(); ++At) {
    // Junk includes the neighbours of the alphabet's ranges and 8-bit bytes.
    for (const char* Junk : {"\r\n", " ", "\x01", "@", "[", "`", "{", ":", "*", "-", ".", "\x80", "\xAF", "\xFF"})
      EXPECT_EQ(Decode(Skipping, Coded.substr(0, At) + Junk + Coded.substr(At)), Bytes) << At;
    const size_t Whole = At / 4 * 4;
    EXPECT_EQ(Decode(cmBase64, Coded.substr(0, Whole) + "Zg==" + Coded.substr(Whole)),
              Bytes.substr(0, Whole / 4 * 3) + "f" + Bytes.substr(Whole / 4 * 3))
        << At;
  }
}

TEST(Encoder, Base64InvalidCharacters) {
  TqmEncoder E;
  TStringStream Source("Zm9vYmFy*Zm9v");
  TMemoryStream Dest;
  try {
    E.Decode(Source, Dest);
    FAIL() << "no error";
  } catch (const EqmEncoderError& Err) {
    EXPECT_STREQ(Err.what(), "Wrong symbols in source stream.");
    EXPECT_EQ(Err.ErrorCode(), -2);
  }
  EXPECT_EQ(Dest.DataString(), "foobar");  // what came before stays written

  E.SetErrorProcessing(epContinue);
  TStringStream Source2("Zm9vYmFy\r\nZm9v!Ym9vbQ==");
  TMemoryStream Dest2;
  E.Decode(Source2, Dest2);
  EXPECT_EQ(Dest2.DataString(), "foobarfoo");
  EXPECT_EQ(Source2.Position(), 14);  // the bad byte and the rest stay unread

  // The bad byte may stand in any batch, also across batch boundaries.
  E.SetErrorProcessing(epStop);
  E.SetBatchSize(3);
  EXPECT_EQ(Decode(E, "Zm9vYmFy"), "foobar");
  EXPECT_THROW(Decode(E, "Zm9vYm\x80y"), EqmEncoderError);
}

TEST(Encoder, UnsupportedFormat) {
  TqmEncoder E;
  E.SetEncodeMethod(static_cast<TqmEncodeMethod>(cm8Bit + 1));
  TStringStream Source("x");
  TMemoryStream Dest;
  try {
    E.Encode(Source, Dest);
    FAIL() << "no error";
  } catch (const EqmEncoderError& Err) {
    EXPECT_STREQ(Err.what(), "Unsupported format.");
    EXPECT_EQ(Err.ErrorCode(), -1);
  }
  EXPECT_THROW(E.Decode(Source, Dest), EqmEncoderError);
}

TEST(Encoder, QuotedPrintableEncoding) {
  EXPECT_EQ(Encode(cmQuotedPrintable, "a=b"), "a=3Db");
  EXPECT_EQ(Encode(cmQuotedPrintable, "a\tb"), "a=09b");
  EXPECT_EQ(Encode(cmQuotedPrintable, "a\nb"), "a=0Ab");
  EXPECT_EQ(Encode(cmQuotedPrintable, "a\r\nb"), "a\r\nb");
  EXPECT_EQ(Encode(cmQuotedPrintable, "ab\r"), "ab=0D");
  EXPECT_EQ(Encode(cmQuotedPrintable, "a\rb"), "a=0Db");
  EXPECT_EQ(Encode(cmQuotedPrintable, "caf\xC3\xA9~\x7F"), "caf=C3=A9~=7F");
  // A blank that would end a line is encoded, so relays cannot strip it.
  EXPECT_EQ(Encode(cmQuotedPrintable, "end \r\nnext  "), "end=20\r\nnext =20");
  EXPECT_EQ(Encode(cmQuotedPrintable, "tab\t\r\n"), "tab=09\r\n");
  EXPECT_EQ(Encode(cmQuotedPrintable, "a \rb"), "a =0Db");
}

TEST(Encoder, QuotedPrintableSoftBreaks) {
  for (int Width : {4, 20, 76, 132}) {
    for (const std::string& Data :
         {std::string(300, 'a'), std::string(300, '='), RandomBytes(700, Width),
          std::string(150, ' ') + "x"}) {
      TqmEncoder E;
      E.SetEncodeMethod(cmQuotedPrintable);
      E.SetCharsPerLine(Width);
      const std::string Coded = Encode(E, Data);
      const auto Lines = SplitCrlf(Coded);
      for (size_t I = 0; I < Lines.size(); ++I) {
        // At most L - 2 characters, the soft break's "=" included.
        EXPECT_LE(static_cast<int>(Lines[I].size()), Width - 2 + (Width == 4 ? 2 : 0))
            << Width << ": " << Lines[I];
        if (!Lines[I].empty() && I + 1 < Lines.size()) {
          EXPECT_NE(Lines[I].back(), ' ');
          EXPECT_NE(Lines[I].back(), '\t');
        }
      }
      EXPECT_EQ(Decode(E, Coded), Data) << Width;
    }
  }
  EXPECT_EQ(Encode(cmQuotedPrintable, std::string(71, 'a')), std::string(71, 'a'));
  EXPECT_EQ(Encode(cmQuotedPrintable, std::string(72, 'a')), std::string(71, 'a') + "=\r\na");
}

TEST(Encoder, QuotedPrintableDecoding) {
  EXPECT_EQ(Decode(cmQuotedPrintable, "=ZZ=41"), "=ZZA");
  EXPECT_EQ(Decode(cmQuotedPrintable, "=4Z"), "=4Z");  // a broken escape keeps every character
  EXPECT_EQ(Decode(cmQuotedPrintable, "abc=\r\ndef"), "abcdef");
  EXPECT_EQ(Decode(cmQuotedPrintable, "abc=\ndef"), "abcdef");
  EXPECT_EQ(Decode(cmQuotedPrintable, "=c3=a9=C3=A9"), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(Decode(cmQuotedPrintable, "a\r\n\r\nb\nc\rd"), "a\r\n\r\nb\r\nc\r\nd");
  EXPECT_EQ(Decode(cmQuotedPrintable, "a=\r\n\r\nb"), "a\r\nb");  // one break is soft
  EXPECT_EQ(Decode(cmQuotedPrintable, "a=4\r\nb"), "a=4\r\nb");  // unfinished escape stays
  EXPECT_EQ(Decode(cmQuotedPrintable, "pad \t\r\nsoft= \t\r\nx"), "pad\r\nsoftx");
  EXPECT_EQ(Decode(cmQuotedPrintable, "end\r\n"), "end\r\n");
  EXPECT_EQ(Decode(cmQuotedPrintable, "end="), "end");
  EXPECT_EQ(Decode(cmQuotedPrintable, "\r\n=41"), "\r\nA");
}

// The decoding rules written the plain way, one byte at a time, to check
// the fast decoder on text of every shape, long lines included.
std::string ReferenceQpDecode(const std::string& AIn) {
  const auto Hex = [](char C) { return std::isxdigit(static_cast<unsigned char>(C)) != 0; };
  std::string Out;
  size_t P = 0;
  while (P < AIn.size()) {
    size_t E = P;
    while (E < AIn.size() && AIn[E] != '\r' && AIn[E] != '\n') ++E;
    std::string Line = AIn.substr(P, E - P);
    const bool Break = E < AIn.size();
    if (Break) E += (AIn[E] == '\r' && E + 1 < AIn.size() && AIn[E + 1] == '\n') ? 2 : 1;
    P = E;
    while (!Line.empty() && (Line.back() == ' ' || Line.back() == '\t')) Line.pop_back();
    const bool Soft = !Line.empty() && Line.back() == '=';
    if (Soft) Line.pop_back();
    for (size_t I = 0; I < Line.size(); ++I) {
      if (Line[I] == '=' && I + 2 < Line.size() && Hex(Line[I + 1]) && Hex(Line[I + 2])) {
        Out += static_cast<char>(std::stoi(Line.substr(I + 1, 2), nullptr, 16));
        I += 2;
      } else {
        Out += Line[I];
      }
    }
    if (Break && !Soft) Out += "\r\n";
  }
  return Out;
}

TEST(Encoder, QuotedPrintableDecodingMatchesTheRulesOnAnyText) {
  // Mostly plain text with escapes, broken escapes and every kind of line
  // break; some lines far longer than the decoder's internal pieces.
  std::mt19937 Rng(7);
  const char* Pieces[] = {"abc", "x", " ", "=41", "=c3=A9", "=", "=4", "=ZZ", "=\r\n", "\r\n", "\n", "\r", "\t"};
  for (int Round = 0; Round < 40; ++Round) {
    std::string In;
    const size_t Size = Round < 30 ? Rng() % 2000 : 150000 + Rng() % 100000;
    while (In.size() < Size) {
      const unsigned K = Rng() % 100;
      if (Round >= 30 && K < 90) In.append(Rng() % 500, static_cast<char>('a' + Rng() % 26));
      else In += Pieces[Rng() % std::size(Pieces)];
    }
    // Compared as a whole: a failure should not print a quarter megabyte.
    ASSERT_TRUE(Decode(cmQuotedPrintable, In) == ReferenceQpDecode(In)) << "round " << Round;
  }
  // Escapes that straddle the decoder's 64 KiB pieces of one long line.
  for (size_t Lead = 65530; Lead < 65540; ++Lead) {
    const std::string A(Lead, 'a');
    EXPECT_TRUE(Decode(cmQuotedPrintable, A + "=41=ZZ=4Z=\r\nb") == A + "A=ZZ=4Zb") << "lead " << Lead;
  }
}

TEST(Encoder, UUencodeLayout) {
  // "Cat" is the classic example: length "#", then "0V%T".
  EXPECT_EQ(Encode(cmUUEncode, "Cat"), "#0V%T\r\n`\r\n");
  EXPECT_EQ(Encode(cmUUEncode, "Cat", 76, true), "#0V%T`");
  const auto Lines = SplitCrlf(Encode(cmUUEncode, std::string(57, '\0')));
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[0], "Y" + std::string(76, '`'));  // 32 + 57
  EXPECT_EQ(Lines[1], "`");
  EXPECT_EQ(Lines[2], "`");
  EXPECT_EQ(Lines[3], "");
}

TEST(Encoder, UUencodeRoundTripsEveryLength) {
  for (int Width : {3, 20, 76, 132}) {
    TqmEncoder E;
    E.SetEncodeMethod(cmUUEncode);
    E.SetCharsPerLine(Width);
    for (size_t N = 0; N <= 200; ++N) {
      const std::string Data = RandomBytes(N, static_cast<uint32_t>(N * 7 + Width));
      const std::string Coded = Encode(E, Data);
      for (const auto& Line : SplitCrlf(Coded)) EXPECT_LE(static_cast<int>(Line.size()), 85);
      ASSERT_EQ(Decode(E, Coded), Data) << "width " << Width << " length " << N;
    }
  }
}

TEST(Encoder, UUdecodingEdges) {
  // A "begin" line is skipped; a line whose count is a space ends decoding.
  EXPECT_EQ(Decode(cmUUEncode, "begin 644 cat.txt\r\n#0V%T\r\n \r\n#0V%T\r\nend\r\n"), "Cat");
  EXPECT_EQ(Decode(cmUUEncode, "#0V%T\n`\n#0V%T"), "Cat");
  // Blanks stripped from a line's end count as zero values.
  EXPECT_EQ(Decode(cmUUEncode, "#0V%T\r\n$0V%T\r\n"), std::string("CatCat") + '\0');
  EXPECT_EQ(Decode(cmUUEncode, "\"````"), std::string(2, '\0'));
}

TEST(Encoder, AllMethodsRoundTripRandomData) {
  for (TqmEncodeMethod Method : {cmNone, cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit}) {
    for (bool Suppress : {false, true}) {
      for (size_t N : {1u, 2u, 3u, 4u, 56u, 57u, 58u, 63u, 64u, 100u, 1000u, 8191u, 8192u,
                       8193u, 65537u, 300000u}) {
        // Without line breaks a UU line counts at most 63 bytes.
        if (Method == cmUUEncode && Suppress && N > 63) continue;
        TqmEncoder E;
        E.SetEncodeMethod(Method);
        E.SetSuppressCrlf(Suppress);
        E.SetBatchSize(1000);
        const std::string Data = RandomBytes(N, static_cast<uint32_t>(N + Method));
        const std::string Coded = Encode(E, Data);
        if (Suppress && Method != cmNone && Method != cm8Bit && Method != cmQuotedPrintable) {
          EXPECT_EQ(Coded.find('\n'), std::string::npos);
        }
        ASSERT_EQ(Decode(E, Coded), Data) << Method << " " << Suppress << " " << N;
      }
    }
  }
}

TEST(Encoder, Progress) {
  TqmEncoder E;
  std::vector<std::pair<int64_t, int64_t>> Calls;
  E.OnProgress = [&](TObject* Sender, int64_t Done, int64_t Total) {
    EXPECT_EQ(Sender, &E);
    Calls.emplace_back(Done, Total);
  };
  // Empty input: nothing at all.
  EXPECT_EQ(Encode(E, ""), "");
  EXPECT_TRUE(Calls.empty());

  const std::string Data = RandomBytes(60000, 1);
  Encode(E, Data);
  ASSERT_GE(Calls.size(), 900u);
  EXPECT_EQ(Calls.front(), (std::pair<int64_t, int64_t>(0, 60000)));
  EXPECT_EQ(Calls.back(), (std::pair<int64_t, int64_t>(60000, 60000)));
  EXPECT_LE(Calls.size(), 1002u);
  EXPECT_GE(Calls[1].first, 30000);
  for (size_t I = 1; I + 1 < Calls.size(); ++I) {
    EXPECT_LT(Calls[I].first, 60000);
    EXPECT_LE(Calls[I - 1].first, Calls[I].first);
  }

  for (TqmEncodeMethod Method : {cmQuotedPrintable, cmUUEncode, cmNone, cmBase64}) {
    E.SetEncodeMethod(Method);
    const std::string Coded = Encode(E, Data);
    Calls.clear();
    E.SetBatchSize(4096);
    EXPECT_EQ(Decode(E, Coded), Data);
    ASSERT_GE(Calls.size(), 2u) << Method;
    EXPECT_EQ(Calls.front().first, 0);
    const auto Total = static_cast<int64_t>(Coded.size());
    EXPECT_EQ(Calls.back(), std::make_pair(Total, Total)) << Method;
    for (size_t I = 1; I < Calls.size(); ++I) EXPECT_LE(Calls[I - 1].first, Calls[I].first);
    if (Method == cmBase64) {
      EXPECT_EQ(Calls.size(), 1 + (Coded.size() + 4095) / 4096);
    }
  }
}

TEST(Encoder, StringAndByteForms) {
  TqmEncoder E;
  EXPECT_EQ(E.EncodeString("foobar"), "Zm9vYmFy");
  EXPECT_EQ(E.DecodeString("Zm9vYmFy"), "foobar");
  const TqmByteArray Bytes = {'f', 'o', 'o', 'b', 'a', 'r'};
  EXPECT_EQ(E.EncodeBytes(Bytes), "Zm9vYmFy");
  EXPECT_EQ(E.EncodeBytes(Bytes, 3, 100), "YmFy");
  EXPECT_EQ(E.EncodeBytes(Bytes, 10, 2), "");
  EXPECT_EQ(E.DecodeToBytes("Zm9v"), TqmByteArray({'f', 'o', 'o'}));
  EXPECT_TRUE(E.DecodeToBytes("").empty());
  TStringStream Source("foo");
  EXPECT_EQ(E.EncodeToString(Source), "Zm9v");

  // The charset applies on the text side.
  E.SetCharSet("iso-8859-1");
  EXPECT_EQ(E.EncodeString("\xC3\xA9"), "6Q==");
  EXPECT_EQ(E.DecodeString("6Q=="), "\xC3\xA9");

  // Class helpers: one line unless asked otherwise.
  const std::string Long(100, 'q');
  EXPECT_EQ(TqmEncoder::EncodeString(Long, cmBase64).find('\r'), std::string::npos);
  EXPECT_EQ(TqmEncoder::DecodeString(TqmEncoder::EncodeString(Long, cmBase64), cmBase64), Long);
  const TqmByteArray LongBytes(Long.begin(), Long.end());
  EXPECT_EQ(TqmEncoder::EncodeBytes(LongBytes, cmBase64).find('\r'), std::string::npos);
  EXPECT_NE(TqmEncoder::EncodeBytes(LongBytes, cmBase64, false).find("\r\n"), std::string::npos);
  EXPECT_EQ(TqmEncoder::DecodeToBytes("=41=42", cmQuotedPrintable), TqmByteArray({'A', 'B'}));
}

TEST(Encoder, PreferredEncoding) {
  TqmEncoder E;
  auto Judge = [&](const std::string& AData) {
    TStringStream S("xx" + AData);
    S.SetPosition(2);
    const TqmEncodeMethod Result = E.GetPreferredEncoding(S);
    EXPECT_EQ(S.Position(), 2);
    return Result;
  };
  EXPECT_EQ(Judge("short line\r\nanother\r\n"), cmNone);
  EXPECT_EQ(Judge(""), cmNone);
  EXPECT_EQ(Judge(std::string(77, 'a') + "\r\nb"), cmQuotedPrintable);
  EXPECT_EQ(Judge("b\r\n" + std::string(77, 'a')), cmQuotedPrintable);
  EXPECT_EQ(Judge(std::string(76, 'a')), cmNone);
  EXPECT_EQ(Judge("caf\xC3\xA9 au lait"), cmQuotedPrintable);
  EXPECT_EQ(Judge("\xC3\xA9\xC3\xA9\xC3 x"), cmBase64);
  EXPECT_EQ(Judge("a\tb"), cmBase64);
  EXPECT_EQ(Judge(std::string("a\0b", 3)), cmBase64);
  EXPECT_EQ(Judge("a\x1b$B"), cmBase64);
  E.SetAllowESC(true);
  EXPECT_EQ(Judge("a\x1b$B"), cmNone);
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

// File streams take the paths that read and write through the stream
// interface; output lands at the destination's position.
TEST(Encoder, Base64DecodingWithAnyKindOfStream) {
  // Memory streams are decoded in place and other streams through buffers;
  // every pairing and batch size must give the same bytes and leave the
  // source at the same byte after a quiet stop.
  const std::string Dir = ::testing::TempDir();
  const std::string Data = RandomBytes(3000, 5);
  const std::string Coded = Encode(cmBase64, Data);
  const std::string Bad = Coded.substr(0, 1001) + "*" + Coded.substr(1001);
  auto Decoded = [&](const std::string& AInput, bool AMemorySource, bool AMemoryDest, int ABatch,
                     int64_t& ASourcePos) {
    TqmEncoder E;
    E.SetErrorProcessing(epContinue);
    E.SetBatchSize(ABatch);
    std::unique_ptr<TStream> Source, Dest;
    if (AMemorySource) {
      Source = std::make_unique<TStringStream>("pre" + AInput);
    } else {
      TFileStream(Dir + "/qm_b64_in", fmCreate).WriteBuffer(("pre" + AInput).data(),
                                                            static_cast<int64_t>(AInput.size() + 3));
      Source = std::make_unique<TFileStream>(Dir + "/qm_b64_in", fmOpenRead);
    }
    Source->SetPosition(3);
    if (AMemoryDest) Dest = std::make_unique<TMemoryStream>();
    else Dest = std::make_unique<TFileStream>(Dir + "/qm_b64_out", fmCreate);
    Dest->WriteBuffer("head", 4);
    E.Decode(*Source, *Dest);
    ASourcePos = Source->Position();
    Dest->SetPosition(0);
    std::string Out(static_cast<size_t>(Dest->Size()), '\0');
    Dest->ReadBuffer(Out.data(), Dest->Size());
    return Out;
  };
  for (bool MemorySource : {true, false})
    for (bool MemoryDest : {true, false})
      for (int Batch : {0, 1, 7, 78, 1000}) {
        int64_t Pos = 0;
        EXPECT_TRUE(Decoded(Coded, MemorySource, MemoryDest, Batch, Pos) == "head" + Data)
            << MemorySource << MemoryDest << Batch;
        EXPECT_EQ(Pos, static_cast<int64_t>(Coded.size() + 3));
        const std::string Partial = Decoded(Bad, MemorySource, MemoryDest, Batch, Pos);
        EXPECT_EQ(Pos, 3 + 1001) << MemorySource << MemoryDest << Batch;
        EXPECT_TRUE(Partial == "head" + Decode(cmBase64, Coded.substr(0, 1001)))
            << MemorySource << MemoryDest << Batch;
      }
}

TEST(Encoder, FileStreamsAndPositions) {
  const std::string Dir = ::testing::TempDir();
  // Larger than one read chunk, so file sources are read in several pieces.
  const std::string Data = RandomBytes(120000, 77);
  const std::pair<TqmEncodeMethod, bool> Cases[] = {
      {cmBase64, false}, {cmQuotedPrintable, false}, {cmUUEncode, false}, {cmBase64, true}};
  for (const auto& [Method, OneLine] : Cases) {
    TqmEncoder E;
    E.SetEncodeMethod(Method);
    E.SetSuppressCrlf(OneLine);
    {
      TFileStream In(Dir + "/qm_enc_in", fmCreate);
      In.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    }
    {
      TFileStream In(Dir + "/qm_enc_in", fmOpenRead);
      TFileStream Out(Dir + "/qm_enc_out", fmCreate);
      Out.WriteBuffer("head", 4);
      E.Encode(In, Out);
    }
    TMemoryStream Coded;
    Coded.LoadFromFile(Dir + "/qm_enc_out");
    ASSERT_EQ(Coded.DataString().substr(0, 4), "head");
    EXPECT_EQ(Decode(E, Coded.DataString().substr(4)), Data) << Method;

    // A memory destination that already holds data is written at its position.
    TStringStream Source(Data);
    TMemoryStream Dest;
    Dest.SetDataString("0123456789");
    Dest.SetPosition(10);
    E.Encode(Source, Dest);
    EXPECT_EQ(Dest.DataString().substr(0, 10), "0123456789");
    EXPECT_EQ(Dest.Position(), Dest.Size());
    EXPECT_EQ(Decode(E, Dest.DataString().substr(10)), Data) << Method;
  }
}

}  // namespace
}  // namespace qm
