#include "dkim/qmDkimKey.h"

#include "core/qmSysUtils.h"
#include "dkim/qmDkimUtils.h"
#include "message/qmUtils.h"

namespace qm {

namespace {

const char* const ServiceWords[] = {"*", "email"};
const char* const FlagWords[] = {"y", "s"};

template <class TSet, class TElement>
void ReadWords(const std::string& AText, const char* const (&AWords)[2], TSet& ASet) {
  TStringList Pieces;
  SplitText(Trim(AText), Pieces, ":");
  for (int I = 0; I < Pieces.Count(); ++I) {
    const std::string Word = Trim(Pieces[I]);
    for (int W = 0; W < 2; ++W)
      if (Word == AWords[W]) ASet.insert(static_cast<TElement>(W));
  }
}

template <class TSet>
std::string WriteWords(const char* const (&AWords)[2], const TSet& ASet) {
  std::string Text;
  for (auto Element : ASet) {
    if (!Text.empty()) Text += ':';
    Text += AWords[static_cast<int>(Element)];
  }
  return Text;
}

}  // namespace

void TqmDkimKey::Clear() {
  Version.clear();
  HashAlgorithms.Clear();
  KeyType.clear();
  Notes.clear();
  PublicKey.clear();
  ServiceTypes.clear();
  Flags.clear();
}

void TqmDkimKey::ParseRecord(const std::string& AText) {
  Clear();
  TqmDkimHeaderFieldList List;
  auto Tag = [&](const char* AName) { return List.GetItemValue(AText, AName); };
  Version = Trim(Tag("v"));
  SplitText(Trim(Tag("h")), HashAlgorithms, ":");
  KeyType = Trim(Tag("k"));
  Notes = TqmDkimQuotedPrintableEncoder::Decode(Tag("n"));
  // Folding white space may stand anywhere in the base64 of p.
  std::string Key = Tag("p");
  std::erase_if(Key, [](char C) { return static_cast<unsigned char>(C) <= ' '; });
  PublicKey = Key;
  ReadWords<TqmDkimKeyServiceTypes, TqmDkimKeyServiceType>(Tag("s"), ServiceWords, ServiceTypes);
  ReadWords<TqmDkimKeyFlags, TqmDkimKeyFlag>(Tag("t"), FlagWords, Flags);
}

std::string TqmDkimKey::BuildRecord() const {
  TStringList Lines;
  TqmDkimHeaderFieldList List;
  List.SetCharsPerLine(0);
  List.Parse(0, &Lines);
  List.AddEmptyField("key");
  List.AddFieldItem("key", "v", Version);
  List.AddFieldItem("key", "h", HashAlgorithms.Join(":"));
  List.AddFieldItem("key", "k", KeyType);
  List.AddFieldItem("key", "n", TqmDkimQuotedPrintableEncoder::Encode(Notes));
  List.AddFieldItem("key", "s", WriteWords(ServiceWords, ServiceTypes));
  List.AddFieldItem("key", "t", WriteWords(FlagWords, Flags));
  if (!PublicKey.empty())
    List.AddFieldItem("key", "p", PublicKey);
  else
    List.AddEmptyFieldItem("key", "p");
  return List.GetFieldValue("key");
}

}  // namespace qm
