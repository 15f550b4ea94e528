#include "message/qmEmailAddress.h"

#include <cstring>

#include "core/qmException.h"
#include "core/qmSysUtils.h"
#include "core/qmIdnTranslator.h"
#include "message/qmUtils.h"

namespace qm {

namespace {

const char kMailboxChars[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890!#$%&'*+-/=?_`{}|~^.@\"";

bool IsMailboxChar(char C, bool ASevenBit) {
  if (!ASevenBit) return C != '<' && C != '>';
  return C != '\0' && std::strchr(kMailboxChars, C) != nullptr;
}

bool NeedsEscape(char C) { return C == '"' || C == '(' || C == ')' || C == '\\'; }

std::string QuoteName(const std::string& AName) {
  std::string Result = AName;
  bool Escape = false;
  for (char C : AName) Escape = Escape || NeedsEscape(C);
  if (Escape) {
    Result.clear();
    for (char C : AName) {
      if (NeedsEscape(C)) Result += '\\';
      Result += C;
    }
    Result = '"' + Result + '"';
  }
  if (Result.find(' ') != std::string::npos) Result = QuoteText(Result);
  return Result;
}

}  // namespace

// ------------------------------------------------------------------ item

void TqmEmailAddressItem::SetName(const std::string& AValue) {
  if (FName == AValue) return;
  FName = AValue;
  Changed();
}

void TqmEmailAddressItem::SetEmail(const std::string& AValue) {
  if (FEmail == AValue) return;
  FEmail = AValue;
  Changed();
}

void TqmEmailAddressItem::Changed() {
  if (FCollection) FCollection->DoChanged();
}

std::string TqmEmailAddressItem::FullAddress() const {
  if (FName.empty() || FName == FEmail) return FEmail;
  return Format("%s%s<%s>", QuoteName(FName).c_str(), FSeparator.c_str(), FEmail.c_str());
}

void TqmEmailAddressItem::SetFullAddress(const std::string& AValue) {
  const std::string Email = ExtractEmail(AValue);
  const std::string Name = ExtractName(AValue, Email);
  if (Email == FEmail && Name == FName) return;
  FEmail = Email;
  FName = Name;
  Changed();
}

std::string TqmEmailAddressItem::GetDisplayName() const { return FName.empty() ? FEmail : FName; }

void TqmEmailAddressItem::Clear() {
  if (FName.empty() && FEmail.empty()) return;
  FName.clear();
  FEmail.clear();
  Changed();
}

void TqmEmailAddressItem::Assign(const TPersistent& ASource) {
  if (const auto* Other = dynamic_cast<const TqmEmailAddressItem*>(&ASource)) {
    if (Other == this || (FName == Other->FName && FEmail == Other->FEmail)) return;
    FName = Other->FName;
    FEmail = Other->FEmail;
    Changed();
    return;
  }
  TPersistent::Assign(ASource);
}

std::string TqmEmailAddressItem::ExtractEmail(const std::string& AText) {
  const bool SevenBit = TqmIdnTranslator::IsAscii(AText);
  auto Mailbox = [&](char C) { return IsMailboxChar(C, SevenBit); };

  const size_t N = AText.size();
  constexpr size_t kNone = std::string::npos;
  bool InQuote = false, InComment = false, InBracket = false, HasAt = false;
  size_t RunStart = kNone;
  std::string Result;
  for (size_t I = 0; I < N; ++I) {
    const char C = AText[I];
    const bool Escaped = I > 0 && AText[I - 1] == '\\';
    if (!InQuote && !InComment && C == '@' && I > 0 && I + 1 < N && Mailbox(AText[I - 1]) &&
        Mailbox(AText[I + 1]))
      HasAt = true;
    if (C == '"' && !Escaped) InQuote = !InQuote;
    if (C == '<' && !Escaped) {
      RunStart = kNone;
      InBracket = true;
      continue;
    }
    if (InBracket && C == '>' && !Escaped) {
      InBracket = false;
      Result = RunStart == kNone ? AText : AText.substr(RunStart, I - RunStart);
      RunStart = kNone;
    }
    if (!InQuote && C == '(' && !Escaped)
      InComment = true;
    else if (InComment && C == ')' && !Escaped)
      InComment = false;
    if (InQuote || InBracket || Mailbox(C)) {
      if (RunStart == kNone) RunStart = I;
    } else {
      if (HasAt && RunStart != kNone) Result = AText.substr(RunStart, I - RunStart);
      RunStart = kNone;
      HasAt = false;
    }
  }
  if ((HasAt || InBracket) && RunStart != kNone && Result.empty()) Result = AText.substr(RunStart);
  return Result;
}

std::string TqmEmailAddressItem::ExtractName(const std::string& AText, const std::string& AEmail) {
  std::string Text = AText;
  const std::string Bracketed = "<" + AEmail + ">";
  size_t Pos = FindText(Bracketed, Text);
  if (Pos != std::string::npos) {
    Text.erase(Pos, Bracketed.size());
  } else if (!AEmail.empty() && (Pos = FindText(AEmail, Text)) != std::string::npos) {
    Text.erase(Pos, AEmail.size());
  }
  std::string Name;
  Name.reserve(Text.size());
  for (size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == '\\') {
      if (I + 1 < Text.size()) Name += Text[++I];
    } else {
      Name += C == '"' ? ' ' : C;
    }
  }
  Name = Trim(Name);
  Name = UnquoteText(Name, '\'', '\'');
  Name = UnquoteText(Name, '(', ')');
  return Name;
}

// ------------------------------------------------------------------ list

void TqmEmailAddressList::DoChanged() {
  if (OnChanged) OnChanged(nullptr);
}

TqmEmailAddressItem* TqmEmailAddressList::Add() {
  FItems.push_back(std::make_unique<TqmEmailAddressItem>(this));
  DoChanged();
  return FItems.back().get();
}

TqmEmailAddressItem* TqmEmailAddressList::AddAddress(const std::string& AText) {
  TqmEmailAddressItem* Item = Add();
  Item->SetFullAddress(AText);
  return Item;
}

TqmEmailAddressItem* TqmEmailAddressList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw EListError(Format("List index out of bounds (%d)", AIndex));
  return FItems[static_cast<size_t>(AIndex)].get();
}

void TqmEmailAddressList::Delete(int AIndex) {
  Items(AIndex);
  FItems.erase(FItems.begin() + AIndex);
  DoChanged();
}

void TqmEmailAddressList::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  DoChanged();
}

std::string TqmEmailAddressList::GetText() const {
  std::string Text;
  for (size_t I = 0; I < FItems.size(); ++I) {
    if (I > 0) Text += ", ";
    Text += FItems[I]->FullAddress();
  }
  return Text;
}

void TqmEmailAddressList::SetText(const std::string& AText) {
  Clear();
  std::string Piece;
  int Quotes = 0;
  auto Flush = [&] {
    const std::string Trimmed = Trim(Piece);
    if (!Trimmed.empty()) AddAddress(Trimmed);
    Piece.clear();
    Quotes = 0;
  };
  for (char C : AText) {
    if (C == '"' || C == '\'') ++Quotes;
    if ((C == ',' || C == ';' || C == '\r') && Quotes != 1) {
      Flush();
      continue;
    }
    Piece += C;
  }
  Flush();
}

void TqmEmailAddressList::GetAddresses(TStrings& ALines, bool AClearFirst) const {
  if (AClearFirst) ALines.Clear();
  for (const auto& Item : FItems) ALines.Add(Item->FullAddress());
}

void TqmEmailAddressList::Assign(const TPersistent& ASource) {
  if (const auto* Other = dynamic_cast<const TqmEmailAddressList*>(&ASource)) {
    if (Other == this) return;
    FItems.clear();
    for (const auto& Item : Other->FItems) {
      FItems.push_back(std::make_unique<TqmEmailAddressItem>(this));
      FItems.back()->FName = Item->FName;
      FItems.back()->FEmail = Item->FEmail;
    }
    DoChanged();
    return;
  }
  TPersistent::Assign(ASource);
}

// ------------------------------------------------------------- functions

std::string BuildFullAddress(const std::string& AName, const std::string& AEmail) {
  TqmEmailAddressItem Item;
  Item.SetName(AName);
  Item.SetEmail(AEmail);
  return Item.FullAddress();
}

bool ParseFullAddress(const std::string& AText, std::string& AName, std::string& AEmail) {
  TqmEmailAddressItem Item;
  Item.SetFullAddress(AText);
  AEmail = Item.Email();
  AName = Item.Name();
  if (!AName.empty()) return true;
  AName = AEmail;
  return false;
}

namespace {

bool IsAddressSpecial(char C) {
  return C == '(' || C == ')' || C == '<' || C == '>' || C == ',' || C == ';' || C == ':' ||
         C == '"' || C == ' ' || C == '\t' || C == '\r' || C == '\n';
}

// A quoted string or comment from its opening character: the content with
// quoted-pairs unescaped (nested comments kept in a comment); AI is left on
// the closing character (or the end).
std::string ReadDelimited(std::string_view AText, size_t& AI, char AOpen, char AClose) {
  std::string R;
  int Depth = 1;
  for (++AI; AI < AText.size(); ++AI) {
    const char C = AText[AI];
    if (C == '\\' && AI + 1 < AText.size()) {
      R += AText[++AI];
    } else if (C == AClose && --Depth == 0) {
      break;
    } else {
      if (C == AOpen && AOpen != AClose) ++Depth;
      R += C;
    }
  }
  return R;
}

}  // namespace

std::vector<TqmMailboxText> ParseMailboxList(std::string_view AText) {
  std::vector<TqmMailboxText> Result;
  std::string Phrase, Email, Comment;
  bool Angle = false;       // the address came in angle brackets
  bool SpaceBefore = false;
  int Words = 0;
  bool AnyQuoted = false;
  auto Flush = [&] {
    if (!Email.empty()) {
      std::string Name = Trim(Phrase);
      if (Name.empty() && !Angle) Name = Trim(Comment);
      Result.push_back({Name, Email});
    } else if (Words == 1 && !AnyQuoted && Phrase.find('@') == std::string::npos) {
      // A lone word: a local address such as "root".
      Result.push_back({std::string(), Phrase});
    }
    Phrase.clear();
    Email.clear();
    Comment.clear();
    Angle = false;
    Words = 0;
    AnyQuoted = false;
  };
  auto AddWord = [&](const std::string& AWord) {
    if (!Phrase.empty() && SpaceBefore) Phrase += ' ';
    Phrase += AWord;
    ++Words;
  };
  const size_t N = AText.size();
  for (size_t I = 0; I < N; ++I) {
    const char C = AText[I];
    if (C == ' ' || C == '\t' || C == '\r' || C == '\n') {
      SpaceBefore = true;
      continue;
    }
    if (C == '(') {
      std::string Text = ReadDelimited(AText, I, '(', ')');
      if (Comment.empty()) Comment = Text;
      SpaceBefore = true;
      continue;
    }
    if (C == ',' || C == ';') {
      Flush();
      SpaceBefore = false;
      continue;
    }
    if (C == ':' && Email.empty()) {
      // A group: its name is not a recipient.
      Phrase.clear();
      Comment.clear();
      Words = 0;
      AnyQuoted = false;
      SpaceBefore = false;
      continue;
    }
    if (C == '<') {
      size_t End = I + 1;
      while (End < N && AText[End] != '>') {
        if (AText[End] == '"') ReadDelimited(AText, End, '"', '"');
        ++End;
      }
      std::string Inner = Trim(AText.substr(I + 1, std::min(End, N) - I - 1));
      // An obsolete route ("@relay1,@relay2:user@host") goes.
      if (!Inner.empty() && Inner[0] == '@' && Inner.find(':') != std::string::npos)
        Inner = Trim(std::string_view(Inner).substr(Inner.find(':') + 1));
      if (Angle) Flush();
      // "a@x <a@x>": the bare text in front is the name.
      if (!Email.empty()) {
        AddWord(Email);
        Email.clear();
      }
      Email = Inner;
      Angle = true;
      I = End;
      SpaceBefore = false;
      continue;
    }
    if (C == '>') continue;
    std::string Word;
    bool Quoted = false;
    if (C == '"') {
      Word = ReadDelimited(AText, I, '"', '"');
      Quoted = true;
      // A quoted local part: "john doe"@example.org.
      if (I + 1 < N && AText[I + 1] == '@') {
        size_t E = I + 1;
        while (E < N && !IsAddressSpecial(AText[E])) ++E;
        Word = '"' + Word + '"' + std::string(AText.substr(I + 1, E - I - 1));
        I = E - 1;
        Quoted = false;
      }
    } else {
      size_t E = I;
      while (E < N && !IsAddressSpecial(AText[E])) ++E;
      if (E == I) {
        // A stray ")" or a ":" after an address: passed over.
        SpaceBefore = true;
        continue;
      }
      Word = std::string(AText.substr(I, E - I));
      I = E - 1;
    }
    const bool IsAddress = !Quoted && Word.find('@') != std::string::npos && Word[0] != '@' &&
                           Word.back() != '@';
    // After a complete mailbox, white space alone separates the next one.
    if (Angle || (IsAddress && !Email.empty())) Flush();
    if (IsAddress && Email.empty()) {
      Email = Word;
    } else if (!Email.empty()) {
      // Words after a bare address: a new mailbox.
      Flush();
      AddWord(Word);
    } else {
      AddWord(Word);
      AnyQuoted = AnyQuoted || Quoted;
    }
    SpaceBefore = false;
  }
  Flush();
  return Result;
}

}  // namespace qm
