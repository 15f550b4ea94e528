#include "dkim/qmDkimUtils.h"

#include <algorithm>

#include "core/qmSysUtils.h"

namespace qm {

namespace {

inline bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }
inline bool IsContinuation(const std::string& ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}

// Where a long tag may be cut: white space is allowed anywhere in base64
// values (b, bh), only after the separators of h and z, nowhere else.
bool MayCutBefore(const std::string& AName, const std::string& AItem, size_t APos) {
  if (SameText(AName, "b") || SameText(AName, "bh")) return true;
  if (SameText(AName, "h")) return AItem[APos - 1] == ':';
  if (SameText(AName, "z")) return AItem[APos - 1] == '|';
  return false;
}

}  // namespace

const char* DkimErrorText(int ACode) {
  switch (ACode) {
    case DKIM_E_FORMAT: return "The format of the DKIM-Signature header field is ivalid";
    case DKIM_E_PARAMETERS: return "There are errors in signature parameters";
    case DKIM_E_ALGORITHM: return "The SignatureAlgorithm is invalid";
    case DKIM_E_BODY_HASH: return "Body hash values differ";
    case DKIM_E_VERSION: return "The version of the DKIM-Signature is unknown";
    case DKIM_E_KEY_REQUIRED: return "The key is required to complete the operation";
    case DKIM_E_KEY_REVOKED: return "The key is revoked";
    case DKIM_E_KEY_INVALID: return "The publik key is invalid or has wrong parameters";
    case DKIM_E_FROM_NOT_SIGNED: return "The DKIM-Signature does not sign the From header field";
    case DKIM_E_IDENTITY_DOMAIN:
      return "The identity of the DKIM-Signature is not in the signing domain";
    case DKIM_E_NOT_CHECKED:
      return "The DKIM-Signature was not checked: the message has more signatures than MaxSignatures";
    default: return "The DKIM operation failed";
  }
}

void RaiseDkimError(int ACode) { throw EqmDkimError(DkimErrorText(ACode), ACode); }

// TqmDkimHeaderFieldList

std::string_view TqmDkimHeaderFieldList::GetQuoteChars() const { return {}; }
std::string_view TqmDkimHeaderFieldList::GetItemDelimiters() const { return ";"; }

int TqmDkimHeaderFieldList::Parse(int AStartIndex, TStrings* ASource) {
  FTaken.clear();
  return TqmHeaderFieldList::Parse(AStartIndex, ASource);
}

std::string TqmDkimHeaderFieldList::GetFieldValueAt(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  const int First = FFieldLines[AIndex];
  const std::string& Line = FSource->Get(First);
  std::string Value = Trim(std::string_view(Line).substr(std::min(Line.size(), FFieldNames[AIndex].size() + 1)));
  const int Count = FSource->Count();
  for (int I = First + 1; I < Count; ++I) {
    const std::string& Next = FSource->Get(I);
    if (!IsContinuation(Next)) break;
    Value += Trim(Next);
  }
  return Value;
}

TqmFieldItem TqmDkimHeaderFieldList::FindItem(const std::string& AValue,
                                              const std::string& AItemName) const {
  if (AItemName.empty()) return TqmHeaderFieldList::FindItem(AValue, AItemName);
  TqmFieldItem Item;
  const size_t N = AValue.size();
  size_t Pos = 0;
  while (Pos < N) {
    // A tag: [FWS] name [FWS] "=" value, up to the next ";".
    size_t NameStart = Pos;
    while (NameStart < N && IsBlank(AValue[NameStart])) ++NameStart;
    size_t NameEnd = NameStart;
    while (NameEnd < N && !IsBlank(AValue[NameEnd]) && AValue[NameEnd] != '=' && AValue[NameEnd] != ';')
      ++NameEnd;
    size_t Eq = NameEnd;
    while (Eq < N && IsBlank(AValue[Eq])) ++Eq;
    size_t End = AValue.find(';', Pos);
    if (End == std::string::npos) End = N;
    if (Eq < End && AValue[Eq] == '=' &&
        SameText(std::string_view(AValue).substr(NameStart, NameEnd - NameStart), AItemName)) {
      Item.Position = static_cast<int>(NameStart + 1);
      Item.Text = AValue.substr(Eq + 1, End - Eq - 1);
      Item.Length = static_cast<int>(End - NameStart);
      return Item;
    }
    Pos = End + 1;
  }
  return Item;
}

void TqmDkimHeaderFieldList::AddFieldItemAt(int AIndex, const std::string& AItemName,
                                            const std::string& AItemValue, bool AOnNewLine) {
  const std::string Value = Trim(AItemValue);
  const std::string Item = AItemName + "=" + Value;
  if (!ValidIndex(AIndex) || FCharsPerLine <= 0 ||
      static_cast<int64_t>(Item.size()) + 2 <= FCharsPerLine) {
    TqmHeaderFieldList::AddFieldItemAt(AIndex, AItemName, AItemValue, AOnNewLine);
    return;
  }
  // Pieces of nearly equal length, each with its "\t " within the width:
  // the length of each is worked out again from what is left, so the last
  // piece is as long as the others instead of a stray character or two.
  // Cuts go only where the tag allows white space.
  const size_t Room = std::max<size_t>(static_cast<size_t>(FCharsPerLine), 3) - 2;
  std::vector<std::string> Pieces;
  size_t Start = 0;
  const size_t FirstCut = AItemName.size() + 2;  // never inside "name="
  for (;;) {
    const size_t Left = Item.size() - Start;
    const size_t Count = (Left + Room - 1) / Room;
    if (Count <= 1) break;
    const size_t Piece = (Left + Count - 1) / Count;
    size_t Cut = 0;
    for (size_t P = Start + Piece; P > Start && P >= FirstCut; --P)
      if (MayCutBefore(AItemName, Item, P)) {
        Cut = P;
        break;
      }
    if (Cut == 0)
      for (size_t P = std::max(Start + Piece + 1, FirstCut); P < Item.size(); ++P)
        if (MayCutBefore(AItemName, Item, P)) {
          Cut = P;
          break;
        }
    if (Cut == 0) break;
    Pieces.push_back(Item.substr(Start, Cut - Start));
    Start = Cut;
  }
  Pieces.push_back(Item.substr(Start));

  const int LastIndex = GetFieldLastLineIndex(AIndex);
  std::string Line = FSource->Get(LastIndex);
  // As in the base list: only the field's first line with nothing after its
  // colon goes without the delimiter. A value that ends with ':' (an h=
  // list, a c= read from a message) is closed, or the next tag runs into it.
  const size_t Colon = Line.find(':');
  const bool NoValueYet = LastIndex == FFieldLines[AIndex] &&
                          (Colon == std::string::npos || Trim(Line.substr(Colon + 1)).empty());
  const std::string Trimmed = Trim(Line);
  if (!Trimmed.empty() && !NoValueYet && Trimmed.back() != FItemDelimiter) Line += FItemDelimiter;
  FSource->Put(LastIndex, Line);
  for (size_t I = 0; I < Pieces.size(); ++I) {
    FSource->Insert(LastIndex + 1 + static_cast<int>(I), (I == 0 ? "\t" : "\t ") + Pieces[I]);
    ++FHeaderEnd;
  }
  Reparse();
}

int TqmDkimHeaderFieldList::FindNextFieldFromBottom(const std::string& AName) {
  const std::string Name = LowerCase(Trim(AName));
  auto Taken = FTaken.find(Name);
  int I = Taken == FTaken.end() ? FieldCount() - 1 : Taken->second - 1;
  for (; I >= 0; --I)
    if (FFieldNames[I] == Name) break;
  if (I < 0) {
    // Nothing further up: the name stays exhausted.
    FTaken[Name] = 0;
    return -1;
  }
  FTaken[Name] = I;
  return I;
}

// TqmDkimQuotedPrintableEncoder

std::string TqmDkimQuotedPrintableEncoder::Encode(const std::string& AText) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Result;
  Result.reserve(AText.size());
  for (unsigned char C : AText) {
    if ((C >= 0x21 && C <= 0x3A) || C == 0x3C || (C >= 0x3E && C <= 0x7E)) {
      Result += static_cast<char>(C);
    } else {
      Result += '=';
      Result += Hex[C >> 4];
      Result += Hex[C & 15];
    }
  }
  return Result;
}

std::string TqmDkimQuotedPrintableEncoder::Decode(const std::string& AText) {
  auto Digit = [](char C) -> int {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
  };
  std::string Result;
  Result.reserve(AText.size());
  const size_t N = AText.size();
  for (size_t I = 0; I < N; ++I) {
    if (AText[I] != '=') {
      Result += AText[I];
      continue;
    }
    if (I + 1 >= N) break;
    const int High = Digit(AText[I + 1]);
    if (High < 0) {
      Result += '=';
      Result += AText[I + 1];
      ++I;
      continue;
    }
    if (I + 2 >= N) break;
    const int Low = Digit(AText[I + 2]);
    if (Low < 0) {
      Result += '=';
      Result += AText[I + 2];
    } else {
      Result += static_cast<char>(High * 16 + Low);
    }
    I += 2;
  }
  return Result;
}

}  // namespace qm
