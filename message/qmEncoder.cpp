#include "message/qmEncoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QM_HAVE_AVX2_PATH 1
#endif

#include "core/qmStream.h"
#include "core/qmTranslator.h"

namespace qm {

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kWriteChunk = 1 << 16;

constexpr uint8_t kB64Pad = 0xFD;      // "=": ends the group being collected
constexpr uint8_t kB64Skip = 0xFE;     // CR, LF, space and TAB are passed over
constexpr uint8_t kB64Invalid = 0xFF;  // outside the alphabet
constexpr uint32_t kB64Bad = 0x01000000;

struct TBase64Tables {
  std::array<uint16_t, 4096> Pair{};   // 12 bits -> two alphabet characters
  std::array<uint8_t, 256> Value{};    // character -> 6-bit value or a marker
  // Four characters of a group at once: the value already shifted into place,
  // or kB64Bad for anything that is not an alphabet character.
  std::array<uint32_t, 256> Shifted[4]{};

  TBase64Tables() {
    for (unsigned I = 0; I < 4096; ++I) {
      const char Pc[2] = {kBase64Alphabet[I >> 6], kBase64Alphabet[I & 63]};
      std::memcpy(&Pair[I], Pc, 2);
    }
    Value.fill(kB64Invalid);
    for (auto& T : Shifted) T.fill(kB64Bad);
    for (unsigned V = 0; V < 64; ++V) {
      const auto C = static_cast<uint8_t>(kBase64Alphabet[V]);
      Value[C] = static_cast<uint8_t>(V);
      Shifted[0][C] = V << 18;
      Shifted[1][C] = V << 12;
      Shifted[2][C] = V << 6;
      Shifted[3][C] = V;
    }
    for (uint8_t C : {'\r', '\n', ' ', '\t'}) Value[C] = kB64Skip;
    Value['='] = kB64Pad;
  }
};

const TBase64Tables& Base64Tables() {
  static const TBase64Tables Tables;
  return Tables;
}

// The rest of a source stream, consumed. A memory stream's bytes are used
// in place (unless it is also the destination); any other stream is read
// into memory.
class TSourceBytes {
 public:
  TSourceBytes(TStream& ASource, const TStream& ADestination) {
    if (&ASource != &ADestination) {
      if (const auto View = ASource.ReadView()) {
        if (!View->empty()) {
          FData = View->data();
          FSize = View->size();
          ASource.Seek(static_cast<int64_t>(FSize), TSeekOrigin::soCurrent);
        }
        return;
      }
    }
    FOwned.resize(static_cast<size_t>(ASource.Remaining()));
    if (!FOwned.empty()) ASource.ReadBuffer(FOwned.data(), static_cast<int64_t>(FOwned.size()));
    FData = FOwned.data();
    FSize = FOwned.size();
  }
  const uint8_t* data() const { return FData; }
  size_t size() const { return FSize; }
  uint8_t operator[](size_t I) const { return FData[I]; }

 private:
  const uint8_t* FData = nullptr;
  size_t FSize = 0;
  TqmByteArray FOwned;
};

// Output collected in memory and handed to the stream in large writes.
// Codecs either Put bytes or Reserve room, write through the pointer and
// Commit where they stopped.
class TOutBuffer {
 public:
  // AExpected: about how many bytes will be written, so that a memory
  // destination grows once instead of doubling its way there.
  explicit TOutBuffer(TStream& ADestination, size_t AExpected = 0)
      : FDestination(ADestination), FCapacity(2 * kWriteChunk), FData(new char[FCapacity]) {
    if (AExpected > kWriteChunk)
      ADestination.Reserve(ADestination.Position() + static_cast<int64_t>(AExpected));
  }
  void Put(char C) {
    if (FUsed == FCapacity) Flush();
    FData[FUsed++] = C;
  }
  void Put(const char* S, size_t N) {
    if (N > FCapacity - FUsed) {
      Flush();
      if (N > FCapacity) {
        FDestination.WriteBuffer(S, static_cast<int64_t>(N));
        return;
      }
    }
    std::memcpy(FData.get() + FUsed, S, N);
    FUsed += N;
  }
  // Room for at least N bytes at the returned pointer.
  char* Reserve(size_t N) {
    if (N > FCapacity - FUsed) {
      Flush();
      if (N > FCapacity) {
        FCapacity = N;
        FData.reset(new char[FCapacity]);
      }
    }
    return FData.get() + FUsed;
  }
  void Commit(const char* AEnd) { FUsed = static_cast<size_t>(AEnd - FData.get()); }
  void MaybeFlush() {
    if (FUsed >= kWriteChunk) Flush();
  }
  void Flush() {
    if (FUsed > 0) FDestination.WriteBuffer(FData.get(), static_cast<int64_t>(FUsed));
    FUsed = 0;
  }

 private:
  TStream& FDestination;
  size_t FCapacity;
  std::unique_ptr<char[]> FData;
  size_t FUsed = 0;
};

inline bool IsHexDigit(uint8_t C) {
  return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F') || (C >= 'a' && C <= 'f');
}
inline unsigned HexDigitValue(uint8_t C) {
  if (C <= '9') return C - '0';
  return (C | 0x20) - 'a' + 10;
}

// Quoted-printable: bytes written as they are (32..126 without "=").
struct TQpTables {
  std::array<bool, 256> Literal{};
  // Bytes that interrupt a run of plain text when decoding.
  std::array<bool, 256> DecodeStop{};
  // Value of a hexadecimal digit (either case), 0xFF for other bytes.
  std::array<uint8_t, 256> HexValue{};
  TQpTables() {
    HexValue.fill(0xFF);
    for (int C = 0; C < 256; ++C) {
      const auto B = static_cast<uint8_t>(C);
      if (IsHexDigit(B)) HexValue[C] = static_cast<uint8_t>(HexDigitValue(B));
    }
    for (int C = 32; C <= 126; ++C) Literal[C] = C != '=';
    DecodeStop['='] = DecodeStop['\r'] = DecodeStop['\n'] = true;
  }
};
const TQpTables& QpTables() {
  static const TQpTables Tables;
  return Tables;
}

inline char UUChar(unsigned V) { return V == 0 ? '`' : static_cast<char>(32 + V); }

}  // namespace

void TqmEncoder::DoProgress(int64_t AProceed, int64_t ATotal) {
  if (OnProgress) OnProgress(this, AProceed, ATotal);
}

int TqmEncoder::GetLineLength() const {
  const int C = FCharsPerLine;
  switch (FEncodeMethod) {
    case cmQuotedPrintable:
      return std::clamp(C, 4, 132);
    case cmBase64:
      if (C < 64) return 64;
      // Rounds half to even (the default rounding mode): 77 and 78 give 80.
      return 4 * static_cast<int>(std::nearbyint(C / 4.0 + 0.25));
    case cmUUEncode:
      return std::clamp(C, 3, 132);
    default:
      return C <= 0 ? 76 : C;
  }
}

void TqmEncoder::CheckMethod() const {
  if (FEncodeMethod < cmNone || FEncodeMethod > cm8Bit)
    throw EqmEncoderError("Unsupported format.", qmEncoderUnsupportedFormat);
}

void TqmEncoder::Encode(TStream& ASource, TStream& ADestination) {
  if (ASource.Remaining() <= 0) return;
  CheckMethod();
  switch (FEncodeMethod) {
    case cmQuotedPrintable: EncodeQuotedPrintable(ASource, ADestination); break;
    case cmBase64: EncodeBase64(ASource, ADestination); break;
    case cmUUEncode: EncodeUU(ASource, ADestination); break;
    default: CopyData(ASource, ADestination); break;
  }
}

void TqmEncoder::Decode(TStream& ASource, TStream& ADestination) {
  if (ASource.Remaining() <= 0) return;
  CheckMethod();
  switch (FEncodeMethod) {
    case cmQuotedPrintable: DecodeQuotedPrintable(ASource, ADestination); break;
    case cmBase64: DecodeBase64(ASource, ADestination); break;
    case cmUUEncode: DecodeUU(ASource, ADestination); break;
    default: CopyData(ASource, ADestination); break;
  }
}

void TqmEncoder::CopyData(TStream& ASource, TStream& ADestination) {
  const int64_t N = ASource.Remaining();
  DoProgress(0, N);
  ADestination.CopyFrom(ASource, N);
  DoProgress(N, N);
}

// ---------------------------------------------------------------- base64

namespace {

// Base64 of one piece of a line: whole groups, then the padded rest.
char* EncodeBase64Run(const uint8_t* P, size_t ALen, char* Dst) {
  const auto& Pair = Base64Tables().Pair;
  const uint8_t* const End = P + ALen;
  while (End - P >= 6) {
    const uint32_t A = (uint32_t(P[0]) << 16) | (uint32_t(P[1]) << 8) | P[2];
    const uint32_t B = (uint32_t(P[3]) << 16) | (uint32_t(P[4]) << 8) | P[5];
    std::memcpy(Dst, &Pair[A >> 12], 2);
    std::memcpy(Dst + 2, &Pair[A & 0xFFF], 2);
    std::memcpy(Dst + 4, &Pair[B >> 12], 2);
    std::memcpy(Dst + 6, &Pair[B & 0xFFF], 2);
    P += 6;
    Dst += 8;
  }
  if (End - P >= 3) {
    const uint32_t A = (uint32_t(P[0]) << 16) | (uint32_t(P[1]) << 8) | P[2];
    std::memcpy(Dst, &Pair[A >> 12], 2);
    std::memcpy(Dst + 2, &Pair[A & 0xFFF], 2);
    P += 3;
    Dst += 4;
  }
  if (End - P == 1) {
    *Dst++ = kBase64Alphabet[P[0] >> 2];
    *Dst++ = kBase64Alphabet[(P[0] & 3) << 4];
    *Dst++ = '=';
    *Dst++ = '=';
  } else if (End - P == 2) {
    *Dst++ = kBase64Alphabet[P[0] >> 2];
    *Dst++ = kBase64Alphabet[((P[0] & 3) << 4) | (P[1] >> 4)];
    *Dst++ = kBase64Alphabet[(P[1] & 15) << 2];
    *Dst++ = '=';
  }
  return Dst;
}

}  // namespace

void TqmEncoder::EncodeBase64(TStream& ASource, TStream& ADestination) {
  // A memory source is read in place (a copy when it is also the
  // destination); other streams are read in chunks of whole lines, so a
  // large file is never held in memory twice.
  std::optional<TSourceBytes> Whole;
  if (&ASource == &ADestination || ASource.ReadView())
    Whole.emplace(ASource, ADestination);
  const int64_t Total = Whole ? static_cast<int64_t>(Whole->size()) : ASource.Remaining();
  const auto N = static_cast<size_t>(Total);
  DoProgress(0, Total);

  const size_t PerLine =
      FSuppressCrlf ? std::max<size_t>(N, 1) : static_cast<size_t>(GetLineLength()) * 3 / 4;
  const size_t Lines = (N + PerLine - 1) / PerLine;
  const size_t OutLen = (N + 2) / 3 * 4 + (Lines - 1) * 2;
  // Chunks hold whole lines (whole groups of 3 bytes for one long line).
  const size_t Chunk = FSuppressCrlf ? 3 * 16384 : PerLine * std::max<size_t>(1, 49152 / PerLine);

  // Output: in place in a memory destination, else a buffer per chunk.
  std::vector<uint8_t> In(Whole ? 0 : std::min(Chunk, N));
  std::string Out;
  char* Dst = reinterpret_cast<char*>(ADestination.BeginWrite(static_cast<int64_t>(OutLen)));
  const bool InPlace = Dst != nullptr;
  if (!InPlace) Out.resize(std::min(Chunk, N) / 3 * 4 + (Chunk / PerLine + 2) * 2 + 8);

  // Intermediate progress: about 1000 calls rising from N / 2 towards N.
  const size_t Step = OutLen >= 1000 ? OutLen / 1000 : 0;
  size_t NextReport = Step;
  const int64_t Half = Total / 2;
  size_t Done = 0;  // output characters so far

  for (size_t Offset = 0; Offset < N;) {
    const size_t Len = std::min(Chunk, N - Offset);
    const uint8_t* Src = Whole ? Whole->data() + Offset : In.data();
    if (!Whole) ASource.ReadBuffer(In.data(), static_cast<int64_t>(Len));
    char* const ChunkStart = InPlace ? Dst : Out.data();
    char* D = ChunkStart;
    for (size_t Q = 0; Q < Len;) {
      const size_t InLine = (Offset + Q) % PerLine;
      if (InLine == 0 && Offset + Q > 0) {
        *D++ = '\r';
        *D++ = '\n';
      }
      const size_t Run = std::min(PerLine - InLine, Len - Q);
      D = EncodeBase64Run(Src + Q, Run, D);
      Q += Run;
      if (Step > 0) {
        const size_t Now = Done + static_cast<size_t>(D - ChunkStart);
        if (Now >= NextReport) {
          const int64_t Proceed = Half + static_cast<int64_t>(static_cast<double>(Total - Half) *
                                                              static_cast<double>(Now) /
                                                              static_cast<double>(OutLen));
          if (Proceed < Total) DoProgress(Proceed, Total);
          NextReport = (Now / Step + 1) * Step;
        }
      }
    }
    Done += static_cast<size_t>(D - ChunkStart);
    if (InPlace) Dst = D;
    else ADestination.WriteBuffer(Out.data(), D - ChunkStart);
    Offset += Len;
  }
  if (InPlace) ADestination.EndWrite(static_cast<int64_t>(OutLen));
  DoProgress(Total, Total);
}

namespace {

#ifdef QM_HAVE_AVX2_PATH
// Whole blocks of 32 alphabet characters into 24 bytes each, 32 bytes
// stored per block (the last 8 are overwritten next): the characters are
// checked and turned into their values by nibble lookups, then packed by
// multiply-adds. Line breaks between whole groups are passed over; it stops
// before anything else (padding, junk, a group cut by a break), which the
// caller reads one by one. Called only between groups.
__attribute__((target("avx2"))) void DecodeBase64Avx2(const uint8_t*& P, const uint8_t* AEnd, uint8_t*& D) {
  const __m256i LutLo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i LutHi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i LutRoll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                           -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i Mask2F = _mm256_set1_epi8(0x2F);
  const __m256i Order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                                         10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i Lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  const auto& Tables = Base64Tables();
  for (;;) {
    while (AEnd - P >= 32) {
      const __m256i In = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P));
      const __m256i HiNibbles = _mm256_and_si256(_mm256_srli_epi32(In, 4), Mask2F);
      const __m256i Lo = _mm256_shuffle_epi8(LutLo, _mm256_and_si256(In, Mask2F));
      const __m256i Hi = _mm256_shuffle_epi8(LutHi, HiNibbles);
      if (!_mm256_testz_si256(Lo, Hi)) break;
      const __m256i Roll =
          _mm256_shuffle_epi8(LutRoll, _mm256_add_epi8(_mm256_cmpeq_epi8(In, Mask2F), HiNibbles));
      const __m256i Values = _mm256_add_epi8(In, Roll);
      const __m256i Pairs = _mm256_maddubs_epi16(Values, _mm256_set1_epi32(0x01400140));
      const __m256i Words = _mm256_madd_epi16(Pairs, _mm256_set1_epi32(0x00011000));
      const __m256i Bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(Words, Order), Lanes);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(D), Bytes);
      P += 32;
      D += 24;
    }
    // The rest of a line group by group, then its line break, so that a
    // file of lines stays in here; anything else goes back to the caller.
    while (AEnd - P >= 4) {
      const uint32_t X = Tables.Shifted[0][P[0]] | Tables.Shifted[1][P[1]] | Tables.Shifted[2][P[2]] |
                         Tables.Shifted[3][P[3]];
      if (X & kB64Bad) break;
      D[0] = static_cast<uint8_t>(X >> 16);
      D[1] = static_cast<uint8_t>(X >> 8);
      D[2] = static_cast<uint8_t>(X);
      D += 3;
      P += 4;
    }
    const uint8_t* Q = P;
    while (Q < AEnd && (*Q == '\r' || *Q == '\n')) ++Q;
    if (Q == P || AEnd - Q < 32) return;
    P = Q;
  }
}

bool HasAvx2() {
  static const bool Has = __builtin_cpu_supports("avx2");
  return Has;
}
#endif

}  // namespace

void TqmEncoder::DecodeBase64(TStream& ASource, TStream& ADestination) {
  const int64_t Total = ASource.Remaining();
  DoProgress(0, Total);
  FStopped = false;
  FSkipped = false;
  const auto& Tables = Base64Tables();
  const auto& Value = Tables.Value;
  const auto& S0 = Tables.Shifted[0];
  const auto& S1 = Tables.Shifted[1];
  const auto& S2 = Tables.Shifted[2];
  const auto& S3 = Tables.Shifted[3];
#ifdef QM_HAVE_AVX2_PATH
  const bool Avx2 = HasAvx2();
#endif

  // Memory streams are read and written in place; other streams go through
  // buffers of one step each.
  const bool Same = &ASource == &ADestination;
  std::optional<std::span<const uint8_t>> SourceMemory;
  if (!Same) SourceMemory = ASource.ReadView();
  bool DestMemory = false;
  if (!Same && ADestination.BeginWrite(1)) {
    DestMemory = true;
    ADestination.EndWrite(0);
  }
  const int64_t SourceStart = ASource.Position();

  const int64_t Batch = FBatchSize > 0 ? FBatchSize : std::max<int64_t>(Total, 1);
  const auto StepMax = static_cast<size_t>(std::min(Batch, Total));
  std::vector<uint8_t> In(SourceMemory ? 0 : StepMax);
  // Decoded bytes of a step: at most 3/4 of its characters plus the bytes
  // completed by values carried over from the step before, plus the 8
  // bytes that the wide path stores past its output.
  constexpr size_t kB64Slack = 4 + 8;
  std::vector<uint8_t> Out(DestMemory ? 0 : StepMax / 4 * 3 + kB64Slack);
  // The decoded size is known within a few bytes: room for all of it at
  // once, not by doubling step after step (each doubling holds the old and
  // the new block together).
  if (DestMemory) ADestination.Reserve(ADestination.Position() + Total / 4 * 3 + kB64Slack);
  uint32_t Acc = 0;   // bits of the group being collected
  int Count = 0;      // values collected in the group (0..3)
  bool Padded = false;  // "=" padding was met
  int64_t Consumed = 0;

  while (Consumed < Total) {
    const auto Len = static_cast<size_t>(std::min<int64_t>(Batch, Total - Consumed));
    const uint8_t* P;
    if (SourceMemory) {
      P = SourceMemory->data() + Consumed;
    } else {
      ASource.ReadBuffer(In.data(), static_cast<int64_t>(Len));
      P = In.data();
    }
    const uint8_t* const StepStart = P;
    const uint8_t* const End = P + Len;
    uint8_t* const DStart =
        DestMemory ? ADestination.BeginWrite(static_cast<int64_t>(Len / 4 * 3 + kB64Slack)) : Out.data();
    uint8_t* D = DStart;
    const auto Flush = [&] {
      if (DestMemory) ADestination.EndWrite(D - DStart);
      else ADestination.WriteBuffer(Out.data(), D - DStart);
    };
    while (P < End) {
      if (Count == 0) {
#ifdef QM_HAVE_AVX2_PATH
        if (Avx2) DecodeBase64Avx2(P, End, D);
#endif
        // Two groups at a time, their six bytes written in two stores: the
        // bulk of a line goes through here.
        while (End - P >= 8) {
          const uint32_t X = S0[P[0]] | S1[P[1]] | S2[P[2]] | S3[P[3]];
          const uint32_t Y = S0[P[4]] | S1[P[5]] | S2[P[6]] | S3[P[7]];
          if ((X | Y) & kB64Bad) break;
          // The 48 bits at the top of a word, in memory order.
          uint64_t Bits = ((uint64_t{X} << 24) | Y) << 16;
          if constexpr (std::endian::native == std::endian::little) Bits = __builtin_bswap64(Bits);
          std::memcpy(D, &Bits, 6);
          D += 6;
          P += 8;
        }
        while (End - P >= 4) {
          const uint32_t X = S0[P[0]] | S1[P[1]] | S2[P[2]] | S3[P[3]];
          if (X & kB64Bad) break;
          D[0] = static_cast<uint8_t>(X >> 16);
          D[1] = static_cast<uint8_t>(X >> 8);
          D[2] = static_cast<uint8_t>(X);
          D += 3;
          P += 4;
        }
        if (P == End) break;
      }
      const uint8_t V = Value[*P];
      if (V == kB64Invalid && FErrorProcessing == epSkip) {
        // Junk before any padding is passed over; after padding it means
        // the data has ended (RFC 2045 section 6.8), as in a part whose
        // broken delimiter line runs on into the text after it.
        if (!Padded) {
          FSkipped = true;
          ++P;
          continue;
        }
        Flush();
        ASource.SetPosition(SourceStart + Total);
        DoProgress(Total, Total);
        return;
      }
      if (V == kB64Skip) {
        ++P;
        continue;
      }
      if (V == kB64Pad) {
        Padded = true;
        // Padding ends the group: its whole bytes are out already, the
        // bits left over are dropped, and the next character starts a new
        // group (data concatenated after a padded end stays aligned).
        Acc = 0;
        Count = 0;
        ++P;
        continue;
      }
      if (V == kB64Invalid) {
        const int64_t BadAt = Consumed + (P - StepStart);
        Flush();
        // The bad byte and what follows stay unread.
        ASource.SetPosition(SourceStart + BadAt);
        if (FErrorProcessing == epStop)
          throw EqmEncoderError("Wrong symbols in source stream.", qmEncoderWrongSymbols);
        FStopped = true;
        DoProgress(BadAt, Total);
        return;
      }
      Acc = (Acc << 6) | V;
      ++P;
      switch (++Count) {
        case 2: *D++ = static_cast<uint8_t>(Acc >> 4); break;
        case 3: *D++ = static_cast<uint8_t>(Acc >> 2); break;
        case 4: *D++ = static_cast<uint8_t>(Acc); Acc = 0; Count = 0; break;
        default: break;
      }
    }
    Flush();
    Consumed += static_cast<int64_t>(Len);
    if (SourceMemory) ASource.SetPosition(SourceStart + Consumed);
    DoProgress(Consumed, Total);
  }
}

// ------------------------------------------------------ quoted-printable

void TqmEncoder::EncodeQuotedPrintable(TStream& ASource, TStream& ADestination) {
  const TSourceBytes Data(ASource, ADestination);
  const size_t N = Data.size();
  const auto Total = static_cast<int64_t>(N);
  DoProgress(0, Total);
  const auto& Literal = QpTables().Literal;
  // A soft break comes before a byte once the line has more than L - 6
  // characters, so a line holds at most L - 3 characters before its "=".
  const int64_t Limit = GetLineLength() - 6;
  const bool Soft = !FSuppressCrlf;
  const uint8_t* D = Data.data();

  TOutBuffer Out(ADestination, N + N / 8);
  int64_t Col = 0;
  size_t P = 0;
  while (P < N) {
    if (Soft && Col > Limit) {
      Out.Put("=\r\n", 3);
      Col = 0;
      Out.MaybeFlush();
      DoProgress(static_cast<int64_t>(P), Total);
    }
    const uint8_t C = D[P];
    if (Literal[C]) {
      // A run of plain bytes up to the line limit.
      const size_t Room = Soft ? static_cast<size_t>(std::max<int64_t>(Limit + 1 - Col, 1)) : N;
      size_t Run = 1;
      while (Run < Room && P + Run < N && Literal[D[P + Run]]) ++Run;
      // A space that would end a line (before a hard break or at the end of
      // the data) is written as "=20": relays strip trailing blanks.
      const size_t Last = P + Run - 1;
      if (D[Last] == ' ' &&
          (Last + 1 == N || (Last + 2 < N && D[Last + 1] == '\r' && D[Last + 2] == '\n'))) {
        if (Run == 1) {
          Out.Put("=20", 3);
          Col += 3;
          ++P;
          continue;
        }
        --Run;  // the space itself goes next, after the line check
      }
      Out.Put(reinterpret_cast<const char*>(D + P), Run);
      Col += static_cast<int64_t>(Run);
      P += Run;
      continue;
    }
    if (C == '\r' && P + 1 < N && D[P + 1] == '\n') {
      Out.Put("\r\n", 2);
      Col = 0;
      P += 2;
      Out.MaybeFlush();
      DoProgress(static_cast<int64_t>(P), Total);
      continue;
    }
    const char Esc[3] = {'=', kHexDigits[C >> 4], kHexDigits[C & 15]};
    Out.Put(Esc, 3);
    Col += 3;
    ++P;
  }
  Out.Flush();
  DoProgress(Total, Total);
}

namespace {

constexpr size_t kQpChunk = 1 << 16;

inline bool IsQpBlank(uint8_t C) { return C == ' ' || C == '\t'; }

// Decodes the whole lines [S, AEnd) into W in one pass (RFC 2045 section
// 6.7): white space at the end of a line is transport padding and goes; "="
// followed only by white space up to the line break is a soft break; "=" and
// two hexadecimal digits is a byte; any other "=" stands as it is, and so do
// the characters after it. Hard breaks (CR LF, lone CR, lone LF) are written
// as CR LF. W needs room for 2 * (AEnd - S) + 16 bytes. Returns the end of
// the output.
uint8_t* DecodeQpLines(const uint8_t* S, const uint8_t* const AEnd, uint8_t* W) {
  const auto& Hex = QpTables().HexValue;
  // Output before Keep is never taken back as padding: escapes decoded to
  // a blank ("=20") are data.
  uint8_t* Keep = W;
  for (;;) {
    // Plain bytes are copied sixteen (or eight) at a time, stopping at the
    // first "=", CR or LF; the bytes copied past it are overwritten next.
#if defined(__SSE2__)
    {
      const __m128i Eq = _mm_set1_epi8('=');
      const __m128i Cr = _mm_set1_epi8('\r');
      const __m128i Lf = _mm_set1_epi8('\n');
      while (AEnd - S >= 16) {
        const __m128i V = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(W), V);
        const auto Mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmpeq_epi8(V, Eq), _mm_or_si128(_mm_cmpeq_epi8(V, Cr), _mm_cmpeq_epi8(V, Lf)))));
        if (Mask != 0) {
          const auto K = static_cast<size_t>(std::countr_zero(Mask));
          S += K;
          W += K;
          goto Stop;
        }
        S += 16;
        W += 16;
      }
    }
#else
    if constexpr (std::endian::native == std::endian::little) {
      constexpr uint64_t Ones = 0x0101010101010101ULL;
      constexpr uint64_t High = 0x8080808080808080ULL;
      const auto ZeroBytes = [](uint64_t X) { return (X - Ones) & ~X & High; };
      while (AEnd - S >= 8) {
        uint64_t V;
        std::memcpy(&V, S, 8);
        std::memcpy(W, &V, 8);
        const uint64_t M = ZeroBytes(V ^ (Ones * '=')) | ZeroBytes(V ^ (Ones * '\r')) |
                           ZeroBytes(V ^ (Ones * '\n'));
        if (M != 0) {
          const auto K = static_cast<size_t>(std::countr_zero(M) / 8);
          S += K;
          W += K;
          goto Stop;
        }
        S += 8;
        W += 8;
      }
    }
#endif
    {
      const auto& StopAt = QpTables().DecodeStop;
      while (S < AEnd && !StopAt[*S]) *W++ = *S++;
    }
    if (S == AEnd) break;
  Stop:
    if (*S == '=') {
      if (AEnd - S > 2) {
        const unsigned Hi = Hex[S[1]], Lo = Hex[S[2]];
        if ((Hi | Lo) < 16) {
          *W++ = static_cast<uint8_t>(Hi << 4 | Lo);
          Keep = W;
          S += 3;
          continue;
        }
      }
      const uint8_t* Q = S + 1;
      while (Q < AEnd && IsQpBlank(*Q)) ++Q;
      if (Q == AEnd || *Q == '\r' || *Q == '\n') {
        // A soft break: the line goes on after its break.
        if (Q < AEnd) Q += (*Q == '\r' && Q + 1 < AEnd && Q[1] == '\n') ? 2 : 1;
        S = Q;
        Keep = W;
        continue;
      }
      *W++ = '=';
      ++S;
      continue;
    }
    while (W > Keep && IsQpBlank(W[-1])) --W;
    S += (*S == '\r' && S + 1 < AEnd && S[1] == '\n') ? 2 : 1;
    W[0] = '\r';
    W[1] = '\n';
    W += 2;
    Keep = W;
  }
  // The data ended without a line break: its padding goes all the same.
  while (W > Keep && IsQpBlank(W[-1])) --W;
  return W;
}

}  // namespace

void TqmEncoder::DecodeQuotedPrintable(TStream& ASource, TStream& ADestination) {
  const TSourceBytes Data(ASource, ADestination);
  const size_t N = Data.size();
  const auto Total = static_cast<int64_t>(N);
  DoProgress(0, Total);
  const uint8_t* const D = Data.data();

  // Pieces of about 64 KiB that end after a line break, so that padding is
  // never split from its line; each piece is decoded straight into the
  // destination when it is in memory.
  const bool InPlace = &ASource != &ADestination && ADestination.BeginWrite(0) != nullptr;
  if (InPlace) {
    ADestination.EndWrite(0);
    ADestination.Reserve(ADestination.Position() + Total + 2 * static_cast<int64_t>(kQpChunk) + 16);
  }
  TOutBuffer Out(ADestination);
  size_t P = 0;
  while (P < N) {
    size_t E = std::min(N, P + kQpChunk);
    while (E < N && D[E - 1] != '\n' && D[E - 1] != '\r') ++E;
    if (E < N && D[E - 1] == '\r' && D[E] == '\n') ++E;
    const size_t Room = 2 * (E - P) + 16;
    uint8_t* const W0 = InPlace ? ADestination.BeginWrite(static_cast<int64_t>(Room))
                                : reinterpret_cast<uint8_t*>(Out.Reserve(Room));
    uint8_t* const W = DecodeQpLines(D + P, D + E, W0);
    if (InPlace) {
      ADestination.EndWrite(W - W0);
    } else {
      Out.Commit(reinterpret_cast<char*>(W));
      Out.Flush();
    }
    P = E;
    DoProgress(static_cast<int64_t>(P), Total);
  }
}

// -------------------------------------------------------------- UUencode

void TqmEncoder::EncodeUU(TStream& ASource, TStream& ADestination) {
  const TSourceBytes Data(ASource, ADestination);
  const size_t N = Data.size();
  const auto Total = static_cast<int64_t>(N);
  DoProgress(0, Total);
  // The length character holds at most 63, so a line carries no more bytes
  // than that whatever the line length.
  const size_t PerLine =
      FSuppressCrlf ? N : std::min<size_t>(static_cast<size_t>(GetLineLength()) * 3 / 4, 63);

  std::string Out;
  Out.reserve(((N + 2) / 3 * 4 + (N / PerLine + 2) * 4 + 8 + 8191) / 8192 * 8192);
  size_t P = 0;
  bool LastFull = false;
  while (P < N) {
    const size_t Len = std::min(PerLine, N - P);
    Out.push_back(UUChar(Len & 63));
    const uint8_t* S = Data.data() + P;
    size_t I = 0;
    for (; I + 3 <= Len; I += 3) {
      Out.push_back(UUChar(S[I] >> 2));
      Out.push_back(UUChar(((S[I] & 3) << 4) | (S[I + 1] >> 4)));
      Out.push_back(UUChar(((S[I + 1] & 15) << 2) | (S[I + 2] >> 6)));
      Out.push_back(UUChar(S[I + 2] & 63));
    }
    if (Len - I == 1) {
      Out.push_back(UUChar(S[I] >> 2));
      Out.push_back(UUChar((S[I] & 3) << 4));
    } else if (Len - I == 2) {
      Out.push_back(UUChar(S[I] >> 2));
      Out.push_back(UUChar(((S[I] & 3) << 4) | (S[I + 1] >> 4)));
      Out.push_back(UUChar((S[I + 1] & 15) << 2));
    }
    P += Len;
    LastFull = Len == PerLine;
    if (!FSuppressCrlf && LastFull) Out += "\r\n";
    DoProgress(static_cast<int64_t>(P), Total);
  }
  if (FSuppressCrlf) {
    Out.push_back(UUChar(0));
  } else {
    if (LastFull) Out.push_back(UUChar(0));  // an empty line ends the data
    Out += "\r\n`\r\n";
  }
  ADestination.WriteBuffer(Out.data(), static_cast<int64_t>(Out.size()));
}

void TqmEncoder::DecodeUU(TStream& ASource, TStream& ADestination) {
  const TSourceBytes Data(ASource, ADestination);
  const size_t N = Data.size();
  const auto Total = static_cast<int64_t>(N);
  DoProgress(0, Total);
  TOutBuffer Out(ADestination, N / 4 * 3);
  size_t P = 0;
  bool First = true;
  std::vector<unsigned> Values;
  while (P < N) {
    size_t E = P;
    while (E < N && Data[E] != '\r' && Data[E] != '\n') ++E;
    const size_t LineStart = P;
    const size_t LineEnd = E;
    P = E < N ? E + 1 : E;
    if (LineEnd == LineStart) continue;  // the empty line between CR and LF
    const bool WasFirst = First;
    First = false;
    if (WasFirst && LineEnd - LineStart >= 5 &&
        std::memcmp(Data.data() + LineStart, "begin", 5) == 0)
      continue;
    // "end" closes the data when no empty length line came before it.
    if (LineEnd - LineStart >= 3 && std::memcmp(Data.data() + LineStart, "end", 3) == 0 &&
        std::all_of(Data.data() + LineStart + 3, Data.data() + LineEnd,
                    [](uint8_t C) { return C == ' ' || C == '\t'; }))
      break;
    const unsigned Count = static_cast<unsigned>(Data[LineStart] - 32) & 63;
    if (Count == 0) break;
    Values.clear();
    for (size_t I = LineStart + 1; I < LineEnd; ++I) {
      Values.push_back(static_cast<unsigned>(Data[I] - 32) & 63);
      DoProgress(static_cast<int64_t>(I + 1), Total);
    }
    // Exactly Count bytes; values missing at the end (blanks stripped on the
    // way) count as zero.
    Values.resize(std::max<size_t>(Values.size(), (Count + 2) / 3 * 4), 0);
    for (unsigned K = 0, V = 0; K < Count; ++K) {
      const unsigned Shift = K % 3;
      if (Shift == 0) Out.Put(static_cast<char>((Values[V] << 2) | (Values[V + 1] >> 4)));
      else if (Shift == 1) Out.Put(static_cast<char>((Values[V + 1] << 4) | (Values[V + 2] >> 2)));
      else {
        Out.Put(static_cast<char>((Values[V + 2] << 6) | Values[V + 3]));
        V += 4;
      }
    }
    Out.MaybeFlush();
  }
  Out.Flush();
  DoProgress(Total, Total);
}

// ------------------------------------------------------------ conveniences

std::string TqmEncoder::EncodeToString(TStream& ASource) {
  TMemoryStream Dest;
  Encode(ASource, Dest);
  return TqmTranslator::GetString(Dest.Bytes(), FCharSet);
}

std::string TqmEncoder::EncodeString(const std::string& AText) {
  TMemoryStream Source;
  Source.SetBytes(TqmTranslator::GetBytes(AText, FCharSet));
  return EncodeToString(Source);
}

std::string TqmEncoder::EncodeBytes(const TqmByteArray& AData, int AStartIndex, int ACount) {
  const auto Size = static_cast<int64_t>(AData.size());
  const int64_t Start = std::clamp<int64_t>(AStartIndex, 0, Size);
  const int64_t Count = std::clamp<int64_t>(ACount, 0, Size - Start);
  TMemoryStream Source;
  Source.WriteBuffer(AData.data() + Start, Count);
  Source.SetPosition(0);
  return EncodeToString(Source);
}

std::string TqmEncoder::EncodeBytes(const TqmByteArray& AData) {
  return EncodeBytes(AData, 0, static_cast<int>(std::min<size_t>(AData.size(), INT32_MAX)));
}

void TqmEncoder::DecodeToStream(const std::string& AText, TStream& ADestination) {
  TMemoryStream Source;
  Source.SetBytes(TqmTranslator::GetBytes(AText, FCharSet));
  Decode(Source, ADestination);
}

std::string TqmEncoder::DecodeString(const std::string& AText) {
  TMemoryStream Dest;
  DecodeToStream(AText, Dest);
  return TqmTranslator::GetString(Dest.Bytes(), FCharSet);
}

TqmByteArray TqmEncoder::DecodeToBytes(const std::string& AText) {
  TMemoryStream Dest;
  DecodeToStream(AText, Dest);
  return Dest.Bytes();
}

TqmEncodeMethod TqmEncoder::GetPreferredEncoding(TStream& AStream) {
  const int64_t Start = AStream.Position();
  const int64_t Half = AStream.Remaining() / 2;
  TqmEncodeMethod Result = cmNone;
  int64_t LineLen = 0, High = 0;
  bool Stopped = false;
  uint8_t Buf[65536];
  while (!Stopped) {
    const int64_t Got = AStream.Read(Buf, sizeof Buf);
    if (Got <= 0) break;
    for (int64_t I = 0; I < Got && !Stopped; ++I) {
      const uint8_t C = Buf[I];
      if (C == '\r' || C == '\n') {
        if (LineLen > FCharsPerLine) Result = cmQuotedPrintable;
        LineLen = 0;
      } else if (C >= 32 && C <= 126) {
        ++LineLen;
      } else if (C == 27 && FAllowESC) {
        ++LineLen;
      } else if (C < 32) {
        Result = cmBase64;
        Stopped = true;
      } else {
        Result = cmQuotedPrintable;
        if (++High > Half) {
          Result = cmBase64;
          Stopped = true;
        }
      }
    }
  }
  if (!Stopped && Result == cmNone && LineLen > FCharsPerLine) Result = cmQuotedPrintable;
  AStream.SetPosition(Start);
  return Result;
}

// ---------------------------------------------------------- class helpers

std::string TqmEncoder::EncodeString(const std::string& AText, TqmEncodeMethod AMethod) {
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(AMethod);
  Encoder.SetSuppressCrlf(true);
  return Encoder.EncodeString(AText);
}

std::string TqmEncoder::DecodeString(const std::string& AText, TqmEncodeMethod AMethod) {
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(AMethod);
  return Encoder.DecodeString(AText);
}

std::string TqmEncoder::EncodeBytes(const TqmByteArray& AData, TqmEncodeMethod AMethod) {
  return EncodeBytes(AData, AMethod, true);
}

std::string TqmEncoder::EncodeBytes(const TqmByteArray& AData, TqmEncodeMethod AMethod,
                                    bool ASuppressCrlf) {
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(AMethod);
  Encoder.SetSuppressCrlf(ASuppressCrlf);
  return Encoder.EncodeBytes(AData);
}

TqmByteArray TqmEncoder::DecodeToBytes(const std::string& AText, TqmEncodeMethod AMethod) {
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(AMethod);
  return Encoder.DecodeToBytes(AText);
}

}  // namespace qm
