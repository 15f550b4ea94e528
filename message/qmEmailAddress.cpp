#include "message/qmEmailAddress.h"

#include <cstring>

#include "core/qmException.h"
#include "core/qmSysUtils.h"
#include "dns/qmIdnTranslator.h"
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

}  // namespace qm
