// Address list parsing, and display forms parsed back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "message/qmEmailAddress.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  TqmEmailAddressList List;
  List.SetText(Text);
  const std::string Joined = List.GetText();
  TqmEmailAddressList Again;
  Again.SetText(Joined);
  for (int I = 0; I < List.Count(); ++I) {
    TqmEmailAddressItem* Item = List.Items(I);
    Item->GetDisplayName();
    TqmEmailAddressItem Copy;
    Copy.SetFullAddress(Item->FullAddress());
  }
  std::string Name, Email;
  ParseFullAddress(Text, Name, Email);
  BuildFullAddress(Text, Text);
  return 0;
}
