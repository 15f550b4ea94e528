#include "message/qmHeaderFieldList.h"

#include <algorithm>

#include "core/qmSysUtils.h"
#include "message/qmUtils.h"

namespace qm {

namespace {

inline bool IsContinuation(const std::string& ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}
inline bool IsWsp(char C) { return C == ' ' || C == '\t'; }
inline bool InSet(std::string_view ASet, char C) { return ASet.find(C) != std::string_view::npos; }

// Where a header line may be folded: before a space that follows a
// non-blank character and is followed by more non-blank text. The
// continuation line then begins with that space, so unfolding (by this
// list's reader, which keeps a leading space, or by RFC 5322, which removes
// only the line break) gives back exactly the text written, and no line ends
// in a blank that a relay might strip. Words are never split: a word longer
// than the line stays whole (RFC 5322 allows lines of up to 998 characters).
std::vector<std::string> FoldText(const std::string& AText, size_t AFirstRoom, size_t ARoom,
                                  size_t AFirstBreak) {
  std::vector<std::string> Pieces;
  const size_t N = AText.size();
  // Whether non-blank text follows position P (computed once, right to left).
  std::vector<bool> TextAfter(N + 1, false);
  for (size_t P = N; P-- > 0;) TextAfter[P] = TextAfter[P + 1] || !IsWsp(AText[P + 0]);
  auto CanBreak = [&](size_t P) {
    return P >= AFirstBreak && P > 0 && P < N && AText[P] == ' ' && !IsWsp(AText[P - 1]) &&
           TextAfter[P + 1];
  };
  size_t Start = 0;
  size_t Room = AFirstRoom;
  while (N - Start > Room) {
    size_t Break = 0;
    for (size_t P = Start + Room; P > Start; --P)
      if (CanBreak(P)) {
        Break = P;
        break;
      }
    if (Break == 0)
      for (size_t P = Start + Room + 1; P < N; ++P)
        if (CanBreak(P)) {
          Break = P;
          break;
        }
    if (Break == 0) break;
    Pieces.push_back(AText.substr(Start, Break - Start));
    Start = Break;
    Room = ARoom;
  }
  Pieces.push_back(AText.substr(Start));
  return Pieces;
}

}  // namespace

void CheckHeaderText(std::string_view AText) {
  if (AText.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos) return;
  std::string Shown(AText.substr(0, 60));
  for (char& C : Shown)
    if (C == '\r' || C == '\n' || C == '\0') C = ' ';
  throw EqmHeaderFieldError("Header field text holds a line break or NUL: " + Shown,
                            qmHeaderFieldLineBreak);
}

bool IsHeaderFieldLine(std::string_view ALine) {
  size_t I = 0;
  while (I < ALine.size() && ALine[I] > ' ' && ALine[I] < 127 && ALine[I] != ':') ++I;
  if (I == 0) return false;
  while (I < ALine.size() && IsWsp(ALine[I])) ++I;
  return I < ALine.size() && ALine[I] == ':';
}

std::string_view TqmHeaderFieldList::GetQuoteChars() const { return "\"'"; }
std::string_view TqmHeaderFieldList::GetItemDelimiters() const { return ",;"; }
std::string_view TqmHeaderFieldList::GetSpecialChars() const { return "\"'(),;<>"; }
std::string_view TqmHeaderFieldList::GetWhiteSpaceChars() const { return "\t\n\r "; }

int TqmHeaderFieldList::Parse(int AStartIndex, TStrings* ASource) {
  FSource = ASource;
  FFieldNames.Clear();
  FFieldLines.clear();
  const int Count = FSource ? FSource->Count() : 0;
  FHeaderStart = std::clamp(AStartIndex, 0, Count);
  const int End = HeaderBlockEnd([this](int I) -> std::string_view { return FSource->Get(I); },
                                 FHeaderStart, Count, [](std::string_view) { return false; });
  for (int I = FHeaderStart; I < End; ++I) {
    const std::string& Line = FSource->Get(I);
    if (IsContinuation(Line) || !IsHeaderFieldLine(Line)) continue;
    const size_t Colon = Line.find(':');
    FFieldNames.Add(LowerCase(std::string_view(Line).substr(0, Colon)));
    FFieldLines.push_back(I);
  }
  FHeaderEnd = End;
  return FHeaderEnd;
}

int TqmHeaderFieldList::IndexOfField(const std::string& AName) const {
  const std::string Name = LowerCase(AName);
  for (int I = 0; I < FieldCount(); ++I)
    if (FFieldNames[I] == Name) return I;
  return -1;
}

int TqmHeaderFieldList::GetFieldLineIndex(int AIndex) const {
  return ValidIndex(AIndex) ? FFieldLines[AIndex] : -1;
}

int TqmHeaderFieldList::GetFieldLastLineIndex(int AIndex) const {
  if (!ValidIndex(AIndex)) return -1;
  const int Count = FSource->Count();
  int I = FFieldLines[AIndex] + 1;
  while (I < Count && IsContinuation(FSource->Get(I))) ++I;
  if (I >= Count) return FHeaderEnd - 1;
  return I - 1;
}

std::string TqmHeaderFieldList::GetFieldName(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  return FSource->Get(FFieldLines[AIndex]).substr(0, FFieldNames[AIndex].size());
}

void TqmHeaderFieldList::GetFieldLines(int AIndex, TStrings& ALines) const {
  ALines.Clear();
  if (!ValidIndex(AIndex)) return;
  const int Last = GetFieldLastLineIndex(AIndex);
  for (int I = FFieldLines[AIndex]; I <= Last; ++I) ALines.Add(FSource->Get(I));
}

std::string TqmHeaderFieldList::GetFieldValueAt(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  const int First = FFieldLines[AIndex];
  const std::string& Line = FSource->Get(First);
  const size_t Skip = std::min(Line.size(), FFieldNames[AIndex].size() + 1);
  std::string Value = Line.substr(Skip);
  if (!Value.empty() && IsWsp(Value[0])) Value.erase(0, 1);
  const int Count = FSource->Count();
  for (int I = First + 1; I < Count; ++I) {
    const std::string& Next = FSource->Get(I);
    if (!IsContinuation(Next)) break;
    // Unfolding takes out the line break only (RFC 5322 section 2.2.3).
    Value += Next;
  }
  return Value;
}

std::string TqmHeaderFieldList::GetDecodedFieldValueAt(int AIndex) const {
  return Trim(GetFieldValueAt(AIndex));
}

std::string TqmHeaderFieldList::GetFieldValue(const std::string& AName) const {
  return GetDecodedFieldValueAt(IndexOfField(AName));
}

TqmFieldItem TqmHeaderFieldList::FindItem(const std::string& AValue,
                                          const std::string& AItemName) const {
  TqmFieldItem Item;
  const size_t N = AValue.size();
  size_t Start = 0;      // where the matched name begins
  size_t NameEnd = 0;    // just after the "=" that follows it
  if (AItemName.empty()) {
    if (AValue.empty()) return Item;
  } else {
    const std::string Value = LowerCase(AValue);
    const std::string Name = LowerCase(AItemName);
    const std::string_view White = GetWhiteSpaceChars();
    size_t I = 0, J = 0;
    bool Found = false;
    while (I < N) {
      if (Value[I] != Name[J]) {
        // The failing character is not compared with the name's start again.
        J = 0;
        ++I;
        continue;
      }
      ++I;
      if (++J < Name.size()) continue;
      size_t K = I;
      while (K < N && InSet(White, Value[K])) ++K;
      if (K < N && Value[K] == '=') {
        Start = I - Name.size();
        NameEnd = K + 1;
        Found = true;
        break;
      }
      J = 0;
      I = K;
    }
    if (!Found) return Item;
  }
  const std::string_view Quotes = GetQuoteChars();
  const std::string_view Delimiters = GetItemDelimiters();
  char Quote = 0;
  size_t E = NameEnd;
  for (; E < N; ++E) {
    const char C = AValue[E];
    if (Quote == '"' && C == '\\' && E + 1 < N) {
      ++E;  // a quoted-pair: the next character is text
    } else if (Quote == 0 && InSet(Quotes, C)) {
      Quote = C;
    } else if (Quote != 0 && C == Quote) {
      ++E;
      break;
    } else if (Quote == 0 && InSet(Delimiters, C)) {
      break;
    }
  }
  Item.Position = static_cast<int>(Start + 1);
  Item.Text = AValue.substr(NameEnd, E - NameEnd);
  Item.Length = static_cast<int>(E - Start);
  return Item;
}

std::string TqmHeaderFieldList::GetItemValue(const std::string& AValue,
                                             const std::string& AItemName) const {
  std::string Text = Trim(FindItem(AValue, AItemName).Text);
  const std::string_view Quotes = GetQuoteChars();
  // Each end is only tested for being some quote character.
  if (Text.size() >= 2 && InSet(Quotes, Text.front()) && InSet(Quotes, Text.back())) {
    const bool DoubleQuoted = Text.front() == '"';
    Text = Text.substr(1, Text.size() - 2);
    // Quoted-pairs of a quoted string: filename="say \"hello\".txt". Only
    // \" and \\ are taken as pairs, so that a Windows path that a mailer
    // put in quotes unescaped keeps its backslashes.
    if (DoubleQuoted && Text.find('\\') != std::string::npos) {
      std::string Plain;
      for (size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\\' && I + 1 < Text.size() && (Text[I + 1] == '"' || Text[I + 1] == '\\'))
          ++I;
        Plain += Text[I];
      }
      Text = std::move(Plain);
    }
  }
  return Text;
}

std::string TqmHeaderFieldList::RemoveItem(const std::string& AText,
                                           const std::string& AItemName) const {
  const TqmFieldItem Item = FindItem(AText, AItemName);
  if (Item.Position == 0) return AText;
  size_t Start = static_cast<size_t>(Item.Position - 1);
  size_t End = Start + static_cast<size_t>(Item.Length);
  if (End + 1 < AText.size() && AText[End] == FItemDelimiter) ++End;
  const std::string_view White = GetWhiteSpaceChars();
  bool Last = true;
  for (size_t I = End; I < AText.size() && Last; ++I) Last = InSet(White, AText[I]);
  while (Start > 0 &&
         (InSet(White, AText[Start - 1]) || (Last && AText[Start - 1] == FItemDelimiter)))
    --Start;
  return AText.substr(0, Start) + AText.substr(End);
}

std::string TqmHeaderFieldList::ClearItemValue(const std::string& AText,
                                               const std::string& AItemName) const {
  const TqmFieldItem Item = FindItem(AText, AItemName);
  if (Item.Position == 0) return AText;
  const size_t End = static_cast<size_t>(Item.Position - 1 + Item.Length);
  const size_t ValueStart = End - Item.Text.size();
  return AText.substr(0, ValueStart) + AText.substr(End);
}

int TqmHeaderFieldList::InsertFolded(int AIndex, const std::string& AText,
                                     const std::string& AFirstPrefix, size_t AFirstBreak) {
  // One character of each line stays free for a delimiter written later.
  const size_t Room = static_cast<size_t>(std::max(FCharsPerLine - 1, 1));
  const size_t FirstRoom = Room > AFirstPrefix.size() ? Room - AFirstPrefix.size() : 1;
  const std::vector<std::string> Pieces = FoldText(AText, FirstRoom, Room, AFirstBreak);
  int Index = AIndex;
  for (size_t I = 0; I < Pieces.size(); ++I) {
    FSource->Insert(Index++, I == 0 ? AFirstPrefix + Pieces[I] : Pieces[I]);
    ++FHeaderEnd;
  }
  return static_cast<int>(Pieces.size());
}

void TqmHeaderFieldList::InsertLine(int AIndex, const std::string& ALine, bool AFold) {
  if (!FSource || ALine.empty()) return;
  CheckHeaderText(ALine);
  const int Index = std::clamp(AIndex, 0, FHeaderEnd);
  if (AFold && FCharsPerLine > 0) {
    // The first fold comes after the first word of the value.
    size_t FirstBreak = 1;
    const size_t Colon = ALine.find(':');
    if (Colon != std::string::npos) {
      const size_t Word = ALine.find_first_not_of(" \t", Colon + 1);
      FirstBreak = Word == std::string::npos ? ALine.size() : Word + 1;
    }
    InsertFolded(Index, ALine, std::string(), FirstBreak);
  } else {
    FSource->Insert(Index, ALine);
    ++FHeaderEnd;
  }
  Reparse();
}

void TqmHeaderFieldList::AddField(const std::string& AName, const std::string& AValue) {
  if (!AValue.empty()) InsertLine(FHeaderEnd, AName + ": " + AValue, true);
}

void TqmHeaderFieldList::AddUnfoldedField(const std::string& AName, const std::string& AValue) {
  if (!AValue.empty()) InsertLine(FHeaderEnd, AName + ": " + AValue, false);
}

void TqmHeaderFieldList::AddEmptyField(const std::string& AName) {
  InsertLine(FHeaderEnd, AName + ":", true);
}

void TqmHeaderFieldList::InsertEmptyField(int AIndex, const std::string& AName) {
  InsertLine(AIndex, AName + ":", true);
}

void TqmHeaderFieldList::AddFieldIfAbsent(const std::string& AName, const std::string& AValue) {
  if (!AValue.empty() && IndexOfField(AName) < 0) AddField(AName, AValue);
}

void TqmHeaderFieldList::AddLines(const TStrings& ALines) {
  for (int I = 0; I < ALines.Count(); ++I) InsertLine(FHeaderEnd, ALines[I], true);
}

void TqmHeaderFieldList::AddFieldItem(const std::string& AFieldName, const std::string& AItemName,
                                      const std::string& AItemValue) {
  const int Index = IndexOfField(AFieldName);
  if (Index >= 0 && !Trim(AItemValue).empty()) AddFieldItemAt(Index, AItemName, AItemValue, false);
}

void TqmHeaderFieldList::AddQuotedFieldItem(const std::string& AFieldName,
                                            const std::string& AItemName,
                                            const std::string& AItemValue) {
  AddFieldItem(AFieldName, AItemName, QuoteText(AItemValue));
}

void TqmHeaderFieldList::AddEmptyFieldItem(const std::string& AFieldName,
                                           const std::string& AItemName) {
  const int Index = IndexOfField(AFieldName);
  if (Index >= 0) AddFieldItemAt(Index, AItemName, std::string(), false);
}

void TqmHeaderFieldList::AddFieldItemAt(int AIndex, const std::string& AItemName,
                                        const std::string& AItemValue, bool AOnNewLine) {
  if (!ValidIndex(AIndex)) return;
  std::string Item = AItemName;
  if (!AItemName.empty() && AItemName.back() != '=') Item += '=';
  Item += Trim(AItemValue);
  CheckHeaderText(Item);

  const int LastIndex = GetFieldLastLineIndex(AIndex);
  std::string Line = FSource->Get(LastIndex);
  // Only a field that holds nothing after its colon goes without the
  // delimiter: a value that merely ends with ':' (a DKIM h= list, a key
  // record note) must still be closed, or the next item runs into it.
  const size_t Colon = Line.find(':');
  const bool NoValueYet = LastIndex == FFieldLines[AIndex] &&
                          (Colon == std::string::npos || Trim(Line.substr(Colon + 1)).empty());
  const std::string Trimmed = Trim(Line);
  if (!Trimmed.empty() && !NoValueYet && Trimmed.back() != FItemDelimiter) Line += FItemDelimiter;
  if (!AOnNewLine &&
      (FCharsPerLine <= 0 ||
       (static_cast<int64_t>(Line.size() + Item.size()) + 2 <= FCharsPerLine &&
        Line.compare(0, 2, "\t ") != 0))) {
    FSource->Put(LastIndex, Line + " " + Item);
    return;
  }
  FSource->Put(LastIndex, Line);
  // Items that do not fit go on lines of their own, each starting with a tab.
  if (FCharsPerLine <= 0) {
    FSource->Insert(LastIndex + 1, "\t" + Item);
    ++FHeaderEnd;
  } else {
    InsertFolded(LastIndex + 1, Item, "\t", 1);
  }
}

void TqmHeaderFieldList::InsertLines(int AIndex, const TStrings& ALines) {
  if (!FSource) return;
  const int Index = std::clamp(AIndex, 0, FSource->Count());
  for (int I = 0; I < ALines.Count(); ++I) FSource->Insert(Index + I, ALines[I]);
  FHeaderEnd += ALines.Count();
}

void TqmHeaderFieldList::DeleteFieldLines(int AIndex) {
  if (!ValidIndex(AIndex)) return;
  const int First = FFieldLines[AIndex];
  if (First >= FSource->Count()) return;
  FSource->Delete(First);
  int Deleted = 1;
  while (First < FSource->Count() && IsContinuation(FSource->Get(First))) {
    FSource->Delete(First);
    ++Deleted;
  }
  FHeaderEnd = std::max(FHeaderEnd - Deleted, FHeaderStart);
}

void TqmHeaderFieldList::ApplyToFieldText(int AIndex, const std::string& AItemName, bool ARemove) {
  if (!ValidIndex(AIndex)) return;
  TStringList Lines;
  GetFieldLines(AIndex, Lines);
  const std::string Text = Lines.Join("\r\n");
  const std::string Changed = ARemove ? RemoveItem(Text, AItemName) : ClearItemValue(Text, AItemName);
  Lines.SetText(Changed);
  const int First = FFieldLines[AIndex];
  DeleteFieldLines(AIndex);
  InsertLines(First, Lines);
  Reparse();
}

void TqmHeaderFieldList::RemoveFieldItem(const std::string& AFieldName,
                                         const std::string& AItemName) {
  ApplyToFieldText(IndexOfField(AFieldName), AItemName, true);
}

void TqmHeaderFieldList::ClearFieldItemValue(int AIndex, const std::string& AItemName) {
  ApplyToFieldText(AIndex, AItemName, false);
}

void TqmHeaderFieldList::RemoveField(const std::string& AName) { RemoveFieldAt(IndexOfField(AName)); }

void TqmHeaderFieldList::RemoveFieldAt(int AIndex) {
  if (!ValidIndex(AIndex)) return;
  DeleteFieldLines(AIndex);
  Reparse();
}

void TqmHeaderFieldList::AddEndOfHeader() {
  if (!FSource || FSource->Count() == 0) return;
  if (FHeaderEnd < FSource->Count()) {
    if (!FSource->Get(FHeaderEnd).empty()) FSource->Insert(FHeaderEnd, std::string());
  } else if (!FSource->Get(FSource->Count() - 1).empty()) {
    FSource->Add(std::string());
  }
}

}  // namespace qm
