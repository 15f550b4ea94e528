// Base64 and quoted-printable encoding and decoding of 100 MB, against
// OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock and GMime's codec steps (the
// functions its basic filter runs), on the same data in one run.
#include <gmime/gmime.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "core/qmStream.h"
#include "message/qmEncoder.h"

using namespace qm;

namespace {

constexpr size_t kSize = 100 * 1000 * 1000;

// Best of three runs, in MB/s of the plain (unencoded) data.
double Measure(const std::function<void()>& ARun) {
  double Best = 1e30;
  for (int I = 0; I < 3; ++I) {
    const auto T0 = std::chrono::steady_clock::now();
    ARun();
    const std::chrono::duration<double> D = std::chrono::steady_clock::now() - T0;
    Best = std::min(Best, D.count());
  }
  return kSize / 1e6 / Best;
}

void Report(const char* AName, double AOurs, double AOpenSsl, double AGMime) {
  std::printf("%-28s ours %8.0f MB/s", AName, AOurs);
  if (AOpenSsl > 0) std::printf(" | OpenSSL %8.0f MB/s (x%.2f)", AOpenSsl, AOurs / AOpenSsl);
  if (AGMime > 0) std::printf(" | GMime %8.0f MB/s (x%.2f)", AGMime, AOurs / AGMime);
  std::printf("\n");
}

// Our encoder from one memory stream to another; only Encode or Decode is
// timed, not the copies in and out of the streams.
double OurCodec(TqmEncodeMethod AMethod, bool AEncode, const std::string& AIn, std::string& AOut) {
  TqmEncoder E;
  E.SetEncodeMethod(AMethod);
  TMemoryStream Source, Dest;
  Source.SetDataString(AIn);
  Dest.Reserve(static_cast<int64_t>(AIn.size() * 3));
  const double Speed = Measure([&] {
    Source.SetPosition(0);
    Dest.SetSize(0);
    Dest.SetPosition(0);
    if (AEncode) E.Encode(Source, Dest);
    else E.Decode(Source, Dest);
  });
  AOut = Dest.DataString();
  return Speed;
}

}  // namespace

int main() {
  std::mt19937_64 Rng(42);
  std::string Binary(kSize, '\0');
  for (size_t I = 0; I + 8 <= kSize; I += 8) {
    const uint64_t V = Rng();
    std::memcpy(&Binary[I], &V, 8);
  }
  // Text for quoted-printable: lines of words, some 8-bit characters, "=".
  std::string Text;
  Text.reserve(kSize + 200);
  const char* Words[] = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog",
                         "Stra\xC3\x9F" "e", "caf\xC3\xA9", "a=b", "message", "header"};
  size_t Col = 0;
  while (Text.size() < kSize) {
    const char* W = Words[Rng() % 13];
    Text += W;
    Col += std::strlen(W) + 1;
    if (Col > 60 + Rng() % 30) {
      Text += "\r\n";
      Col = 0;
    } else {
      Text += ' ';
    }
  }
  Text.resize(kSize);

  std::printf("data: %zu bytes; base64 with 76-character lines, CR LF\n", kSize);

  // ---- base64 encoding
  std::string OurB64;
  const double OursEnc = OurCodec(cmBase64, true, Binary, OurB64);
  std::string Ssl(kSize / 57 * 78 + 200, '\0');
  const double SslEnc = Measure([&] {
    char* D = Ssl.data();
    for (size_t P = 0; P < kSize; P += 57) {
      const int N = static_cast<int>(std::min<size_t>(57, kSize - P));
      if (P) {
        *D++ = '\r';
        *D++ = '\n';
      }
      D += EVP_EncodeBlock(reinterpret_cast<unsigned char*>(D),
                           reinterpret_cast<const unsigned char*>(Binary.data() + P), N);
    }
  });
  std::string Gm(kSize / 57 * 78 + 200, '\0');
  const double GmEnc = Measure([&] {
    int State = 0;
    guint32 Save = 0;
    auto* Out = reinterpret_cast<unsigned char*>(Gm.data());
    g_mime_encoding_base64_encode_close(reinterpret_cast<const unsigned char*>(Binary.data()), kSize,
                                        Out, &State, &Save);
  });
  Report("base64 encode", OursEnc, SslEnc, GmEnc);

  // ---- base64 decoding of the same 76-column text
  std::string Back;
  const double OursDec = OurCodec(cmBase64, false, OurB64, Back);
  if (Back != Binary) std::printf("base64 round trip FAILED\n");
  std::string SslOut(kSize + 100, '\0');
  const double SslDec = Measure([&] {
    // EVP_DecodeBlock takes no line breaks: one call per 76-character line.
    const char* S = OurB64.data();
    const char* const End = S + OurB64.size();
    auto* D = reinterpret_cast<unsigned char*>(SslOut.data());
    while (S < End) {
      const char* E = static_cast<const char*>(std::memchr(S, '\r', End - S));
      if (!E) E = End;
      D += EVP_DecodeBlock(D, reinterpret_cast<const unsigned char*>(S), static_cast<int>(E - S));
      S = E + 2;
    }
  });
  std::string GmOut(kSize + 100, '\0');
  const double GmDec = Measure([&] {
    int State = 0;
    guint32 Save = 0;
    g_mime_encoding_base64_decode_step(reinterpret_cast<const unsigned char*>(OurB64.data()),
                                       OurB64.size(), reinterpret_cast<unsigned char*>(GmOut.data()),
                                       &State, &Save);
  });
  Report("base64 decode", OursDec, SslDec, GmDec);

  // ---- quoted-printable
  std::string OurQp;
  const double QpEnc = OurCodec(cmQuotedPrintable, true, Text, OurQp);
  std::string GmQp(kSize * 3 + 1000, '\0');
  const double GmQpEnc = Measure([&] {
    int State = -1;
    guint32 Save = 0;
    g_mime_encoding_quoted_encode_close(reinterpret_cast<const unsigned char*>(Text.data()), kSize,
                                        reinterpret_cast<unsigned char*>(GmQp.data()), &State, &Save);
  });
  Report("quoted-printable encode", QpEnc, 0, GmQpEnc);
  std::string QpBack;
  const double QpDec = OurCodec(cmQuotedPrintable, false, OurQp, QpBack);
  if (QpBack != Text) std::printf("quoted-printable round trip FAILED\n");
  const double GmQpDec = Measure([&] {
    int State = 0;
    guint32 Save = 0;
    g_mime_encoding_quoted_decode_step(reinterpret_cast<const unsigned char*>(OurQp.data()), OurQp.size(),
                                       reinterpret_cast<unsigned char*>(GmOut.data()), &State, &Save);
  });
  Report("quoted-printable decode", QpDec, 0, GmQpDec);
  return 0;
}
