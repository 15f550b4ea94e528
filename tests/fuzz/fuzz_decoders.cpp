// Every decoder on arbitrary input, and every encoder's output decoded back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/qmStream.h"
#include "message/qmEncoder.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  const uint8_t Ctl = Data[0];
  const std::string Input(reinterpret_cast<const char*>(Data + 1), Size - 1);
  for (TqmEncodeMethod Method : {cmQuotedPrintable, cmBase64, cmUUEncode, cmNone}) {
    TqmEncoder E;
    E.SetEncodeMethod(Method);
    E.SetBatchSize(1 + Ctl % 64);
    E.SetErrorProcessing((Ctl & 0x40) ? epContinue : epStop);
    E.SetCharsPerLine(Ctl % 150);
    try {
      TStringStream Source(Input);
      TMemoryStream Dest;
      E.Decode(Source, Dest);
    } catch (const EqmEncoderError&) {
    }
    E.SetSuppressCrlf(Ctl & 0x80);
    if (Method == cmUUEncode && E.SuppressCrlf() && Input.size() > 63) continue;
    TStringStream Plain(Input);
    TMemoryStream Coded, Back;
    E.Encode(Plain, Coded);
    Coded.SetPosition(0);
    E.Decode(Coded, Back);
    if (Back.DataString() != Input) __builtin_trap();
  }
  TqmEncoder E;
  TStringStream S(Input);
  E.GetPreferredEncoding(S);
  return 0;
}
