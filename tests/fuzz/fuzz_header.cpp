// Header parsing, unfolding, item search and the item editors on arbitrary
// text; folding must give back what was written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/qmStrings.h"
#include "core/qmSysUtils.h"
#include "message/qmHeaderFieldList.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) return 0;
  const int Width = Data[0] % 100;
  std::string Text(reinterpret_cast<const char*>(Data + 2), Size - 2);
  const size_t Split = Text.find('\x01');
  std::string ItemName = Split == std::string::npos ? "name" : Text.substr(Split + 1, 12);

  TStringList Lines;
  Lines.SetText(Text);
  TqmHeaderFieldList H;
  H.SetCharsPerLine(Width);
  H.Parse(Data[1] % 4, &Lines);
  for (int I = 0; I < H.FieldCount(); ++I) {
    const std::string Value = H.GetFieldValueAt(I);
    H.GetItemValue(Value, ItemName);
    H.GetItemValue(Value, "");
    H.RemoveItem(Value, ItemName);
    H.ClearItemValue(Value, ItemName);
    H.GetFieldName(I);
    H.GetFieldLastLineIndex(I);
  }
  // Each edit may change the number of fields (a field whose text goes
  // away entirely is gone).
  H.ClearFieldItemValue(0, ItemName);
  if (H.FieldCount() > 0) H.RemoveFieldItem(H.FieldNames()[H.FieldCount() - 1], ItemName);
  // Text holding a line break or NUL is refused, never written.
  try {
    H.AddFieldItemAt(0, ItemName, Text.substr(0, 40), Data[1] & 1);
  } catch (const EqmHeaderFieldError&) {
  }
  H.RemoveFieldAt(H.FieldCount() - 1);

  // A value written with folding reads back unchanged (for a value that
  // starts and ends with a visible character and holds no line breaks or
  // NUL, which are refused).
  std::string Value;
  for (char C : Text)
    if (C != '\r' && C != '\n' && C != '\t' && C != '\0') Value += C;
  Value = Trim(Value);
  if (!Value.empty()) {
    TStringList Out;
    TqmHeaderFieldList W;
    W.SetCharsPerLine(Width);
    W.Parse(0, &Out);
    W.AddField("X-Fuzz", Value);
    if (W.GetFieldValue("x-fuzz") != Value) __builtin_trap();
  }
  H.AddEndOfHeader();
  return 0;
}
