// UTF-8 decoding of arbitrary bytes: the output is valid, block-wise
// decoding gives the same text as one decode, valid input comes back
// unchanged, and the vector validator agrees with the repairing decoder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/qmTranslator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  // The first byte picks the block size of the second decode.
  size_t Block = size_t(Data[0] % 17) + 1;
  ++Data;
  --Size;
  std::string Whole = qm::TqmTranslator::GetString(Data, int64_t(Size), "utf-8");
  if (!qm::IsValidUtf8(Whole)) std::abort();
  bool Valid = qm::IsValidUtf8(Data, Size);
  if (Valid != (Whole == std::string(reinterpret_cast<const char*>(Data), Size))) std::abort();

  qm::TqmTextDecoder Decoder("utf-8");
  std::string Pieces;
  for (size_t I = 0; I < Size; I += Block) {
    size_t N = Size - I < Block ? Size - I : Block;
    Decoder.Decode(Data + I, N, false, Pieces);
  }
  Decoder.Flush(Pieces);
  if (Pieces != Whole) std::abort();

  // Round trip of the repaired text, and through UTF-16.
  qm::TqmByteArray Bytes = qm::TqmTranslator::GetBytes(Whole, "utf-8");
  if (std::string(Bytes.begin(), Bytes.end()) != Whole) std::abort();
  if (qm::Utf16ToUtf8(qm::Utf8ToUtf16(Whole)) != Whole) std::abort();
  return 0;
}
