// DKIM-Signature tag lists: ParseTags on arbitrary values; what parses is
// written again with BuildHeaderField/StoreSignatureValue and must read
// back the same. DKIM quoted-printable must round-trip.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/qmStrings.h"
#include "dkim/qmDkimSignature.h"
#include "dkim/qmDkimUtils.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  if (TqmDkimQuotedPrintableEncoder::Decode(TqmDkimQuotedPrintableEncoder::Encode(Text)) != Text)
    __builtin_trap();
  TqmDkimQuotedPrintableEncoder::Decode(Text);

  TqmDkimSignature Signature;
  try {
    Signature.ParseTags(Text);
  } catch (const EqmDkimError&) {
    return 0;
  }
  try {
    Signature.GetHashAlgorithm();
  } catch (const EqmDkimError&) {
  }
  Signature.GetHeaderCanonicalization();
  Signature.GetBodyCanonicalization();

  TStringList Lines;
  Lines.Add("From: a@b");
  Lines.Add("");
  Lines.Add("body");
  try {
    Signature.BuildHeaderField(Lines, 1 + static_cast<int>(Size % 90));
    if (Signature.Signature.find_first_not_of(" \t") != std::string::npos)
      Signature.StoreSignatureValue(Lines, 76);
  } catch (const EqmDkimError&) {
    return 0;
  } catch (const Exception&) {
    return 0;  // IDN encoding of a domain that cannot be encoded
  }
  TqmDkimHeaderFieldList List;
  List.Parse(0, &Lines);
  TqmDkimSignature Again;
  try {
    Again.ParseTags(List.GetDecodedFieldValueAt(0));
  } catch (const EqmDkimError&) {
    return 0;  // a value that cannot be written back as it was read
  }
  if (Again.BodyLength != Signature.BodyLength || Again.Version != Signature.Version) __builtin_trap();
  return 0;
}
