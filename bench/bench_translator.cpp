// TqmTranslator against glibc iconv on the same 64 MB of text: UTF-8
// validation and decoding, KOI8-R and ISO-8859-2 in both directions.
// Prints MB/s (of input) for both and our speed as a multiple of iconv's.
#include <iconv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "core/qmTranslator.h"

using namespace qm;

namespace {

constexpr size_t kSize = 64u << 20;

std::string Repeat(const std::string& APiece) {
  std::string S;
  S.reserve(kSize + APiece.size());
  while (S.size() < kSize) S += APiece;
  S.resize(kSize);
  // Do not end inside a character.
  while (!S.empty() && (uint8_t(S.back()) & 0xC0) == 0x80) S.pop_back();
  if (!S.empty() && uint8_t(S.back()) >= 0xC0) S.pop_back();
  return S;
}

// Best of five runs, in MB/s of input.
double Measure(size_t AInput, const std::function<size_t()>& AWork) {
  double Best = 1e30;
  size_t Sink = 0;
  for (int I = 0; I < 5; ++I) {
    auto T0 = std::chrono::steady_clock::now();
    Sink += AWork();
    auto T1 = std::chrono::steady_clock::now();
    Best = std::min(Best, std::chrono::duration<double>(T1 - T0).count());
  }
  if (Sink == 0) std::printf("(empty result)\n");
  return double(AInput) / (1 << 20) / Best;
}

// iconv into a buffer allocated once, so that it pays no page faults.
size_t IconvConvert(const char* ATo, const char* AFrom, const std::string& AIn, std::string& AOut) {
  iconv_t Cd = iconv_open(ATo, AFrom);
  if (Cd == reinterpret_cast<iconv_t>(-1)) {
    std::perror("iconv_open");
    std::exit(1);
  }
  if (AOut.size() < AIn.size() * 3 + 16) AOut.resize(AIn.size() * 3 + 16);
  char* In = const_cast<char*>(AIn.data());
  size_t InLeft = AIn.size();
  char* Out = AOut.data();
  size_t OutLeft = AOut.size();
  if (iconv(Cd, &In, &InLeft, &Out, &OutLeft) == size_t(-1)) {
    std::perror("iconv");
    std::exit(1);
  }
  iconv_close(Cd);
  return size_t(Out - AOut.data());
}

// Our block decoder into a string whose memory is reused between runs.
size_t DecodeReused(const char* ACharSet, const std::string& AIn, std::string& AOut) {
  AOut.clear();
  TqmTextDecoder Decoder(ACharSet);
  Decoder.Decode(AIn.data(), AIn.size(), true, AOut);
  return AOut.size();
}

void Row(const char* AName, size_t AInput, const std::function<size_t()>& AOurs,
         const std::function<size_t()>& AIconv) {
  double Ours = Measure(AInput, AOurs);
  double Peer = Measure(AInput, AIconv);
  std::printf("%-34s %10.0f MB/s   iconv %8.0f MB/s   ratio %6.2fx\n", AName, Ours, Peer, Ours / Peer);
}

}  // namespace

int main() {
  const std::string Russian = Repeat(
      "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! "
      "Subject: test message 42\r\n\xD0\xAD\xD1\x82\xD0\xBE \xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C"
      "\xD0\xBC\xD0\xBE \xD0\xB4\xD0\xBB\xD1\x8F \xD0\xBF\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80"
      "\xD0\xBA\xD0\xB8.\r\n");
  const std::string Polish = Repeat(
      "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85 ja\xC5\xBA\xC5\x84. "
      "Message body line with mostly ASCII text.\r\n");
  const std::string Ascii = Repeat("The quick brown fox jumps over the lazy dog. 0123456789\r\n");
  std::printf("input: %zu MB per test; UTF-8 mixed text is Russian with ASCII (%.0f%% non-ASCII bytes)\n",
              kSize >> 20,
              100.0 * double(std::count_if(Russian.begin(), Russian.end(),
                                           [](char C) { return uint8_t(C) >= 0x80; })) /
                  double(Russian.size()));

  std::string Out;
  std::string Mine;
  Mine.reserve(kSize * 3);
  Out.resize(kSize * 3 + 16);
  {
    std::string Fresh;
    double Copy = Measure(Russian.size(), [&] {
      std::string C(Russian);
      return C.size();
    });
    double Reused = Measure(Russian.size(), [&] {
      Mine.assign(Russian);
      return Mine.size();
    });
    std::printf("reference: plain copy into fresh memory %.0f MB/s, into reused memory %.0f MB/s\n",
                Copy, Reused);
  }
  std::printf("ours: as the API returns it (fresh result); ours*: TqmTextDecoder into a reused string;\n"
              "iconv always writes into a buffer allocated once\n");
  Row("UTF-8 validate (Russian)", Russian.size(), [&] { return size_t(IsValidUtf8(Russian)) + 1; },
      [&] { return IconvConvert("UTF-8", "UTF-8", Russian, Out); });
  Row("UTF-8 decode (Russian)", Russian.size(),
      [&] { return TqmTranslator::GetString(Russian.data(), int64_t(Russian.size()), "utf-8").size(); },
      [&] { return IconvConvert("UTF-8", "UTF-8", Russian, Out); });
  Row("UTF-8 decode (ASCII)", Ascii.size(),
      [&] { return TqmTranslator::GetString(Ascii.data(), int64_t(Ascii.size()), "utf-8").size(); },
      [&] { return IconvConvert("UTF-8", "UTF-8", Ascii, Out); });

  Row("UTF-8 decode* (Russian)", Russian.size(), [&] { return DecodeReused("utf-8", Russian, Mine); },
      [&] { return IconvConvert("UTF-8", "UTF-8", Russian, Out); });
  const TqmByteArray Koi = TqmTranslator::GetBytes(Russian, "koi8-r");
  const std::string KoiText(Koi.begin(), Koi.end());
  Row("koi8-r -> UTF-8", Koi.size(), [&] { return TqmTranslator::GetString(Koi, "koi8-r").size(); },
      [&] { return IconvConvert("UTF-8", "KOI8-R", KoiText, Out); });
  Row("koi8-r -> UTF-8*", Koi.size(), [&] { return DecodeReused("koi8-r", KoiText, Mine); },
      [&] { return IconvConvert("UTF-8", "KOI8-R", KoiText, Out); });
  Row("UTF-8 -> koi8-r", Russian.size(), [&] { return TqmTranslator::GetBytes(Russian, "koi8-r").size(); },
      [&] { return IconvConvert("KOI8-R", "UTF-8", Russian, Out); });

  const TqmByteArray Iso2 = TqmTranslator::GetBytes(Polish, "iso-8859-2");
  const std::string Iso2Text(Iso2.begin(), Iso2.end());
  Row("iso-8859-2 -> UTF-8", Iso2.size(), [&] { return TqmTranslator::GetString(Iso2, "iso-8859-2").size(); },
      [&] { return IconvConvert("UTF-8", "ISO-8859-2", Iso2Text, Out); });
  Row("iso-8859-2 -> UTF-8*", Iso2.size(), [&] { return DecodeReused("iso-8859-2", Iso2Text, Mine); },
      [&] { return IconvConvert("UTF-8", "ISO-8859-2", Iso2Text, Out); });
  Row("UTF-8 -> iso-8859-2", Polish.size(), [&] { return TqmTranslator::GetBytes(Polish, "iso-8859-2").size(); },
      [&] { return IconvConvert("ISO-8859-2", "UTF-8", Polish, Out); });
  return 0;
}
