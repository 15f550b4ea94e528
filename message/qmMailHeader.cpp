#include "message/qmMailHeader.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmSysUtils.h"
#include "message/qmEmailAddress.h"
#include "message/qmPercentEncoder.h"
#include "core/qmTranslator.h"
#include "message/qmUtils.h"

namespace qm {

namespace {

const std::string kCrLf = "\r\n";
const std::string kUtf8 = "utf-8";

bool IsUtf8Continuation(char C) { return (static_cast<uint8_t>(C) & 0xC0) == 0x80; }

// Byte offsets at which the text may be cut: before every character that is
// not a UTF-8 continuation byte, so no sequence is ever split.
std::vector<size_t> CharStarts(std::string_view AText) {
  std::vector<size_t> Starts;
  Starts.reserve(AText.size());
  for (size_t I = 0; I < AText.size(); ++I)
    if (!IsUtf8Continuation(AText[I]) || Starts.empty()) Starts.push_back(I);
  return Starts;
}

// The text cut into APieces pieces of nearly the same number of characters.
std::vector<std::string_view> CutText(std::string_view AText, const std::vector<size_t>& AStarts,
                                      size_t APieceChars) {
  std::vector<std::string_view> Pieces;
  APieceChars = std::max<size_t>(APieceChars, 1);
  const size_t Chars = AStarts.size();
  for (size_t C = 0; C < Chars; C += APieceChars) {
    const size_t From = AStarts[C];
    const size_t To = C + APieceChars < Chars ? AStarts[C + APieceChars] : AText.size();
    Pieces.push_back(AText.substr(From, To - From));
  }
  return Pieces;
}

std::vector<std::string> SplitCrLf(const std::string& AText) {
  std::vector<std::string> Lines;
  size_t Pos = 0;
  for (;;) {
    const size_t Hit = AText.find(kCrLf, Pos);
    if (Hit == std::string::npos) {
      Lines.push_back(AText.substr(Pos));
      break;
    }
    Lines.push_back(AText.substr(Pos, Hit - Pos));
    Pos = Hit + 2;
  }
  return Lines;
}

// Characters a "Q" word may carry as they are and still stand as a word in
// a phrase (a display name): letters, digits and "!*+-/" (RFC 2047 5(3)).
// The others are escaped too, so that an encoded name with a comma or an
// angle bracket cannot split or end an address.
bool IsPhraseSafe(uint8_t C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '!' ||
         C == '*' || C == '+' || C == '-' || C == '/';
}

std::string QEncode(const TqmByteArray& ABytes) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string R;
  R.reserve(ABytes.size() * 3);
  for (uint8_t C : ABytes) {
    if (C == ' ') {
      R += '_';
    } else if (IsPhraseSafe(C)) {
      R += static_cast<char>(C);
    } else {
      R += '=';
      R += Hex[C >> 4];
      R += Hex[C & 15];
    }
  }
  return R;
}

std::string QDecode(std::string_view AText) {
  auto Hex = [](char C) -> int {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
  };
  std::string R;
  R.reserve(AText.size());
  for (size_t I = 0; I < AText.size(); ++I) {
    const char C = AText[I];
    if (C == '_') {
      R += ' ';
    } else if (C == '=' && I + 2 < AText.size() && Hex(AText[I + 1]) >= 0 && Hex(AText[I + 2]) >= 0) {
      R += static_cast<char>(Hex(AText[I + 1]) * 16 + Hex(AText[I + 2]));
      I += 2;
    } else {
      R += C;
    }
  }
  return R;
}

// Parameters of a field value by lower-cased name, read in one pass (used
// for RFC 2231 continuations, which may be many).
std::map<std::string, std::string> ScanParameters(std::string_view AValue) {
  std::map<std::string, std::string> Result;
  size_t I = 0;
  const size_t N = AValue.size();
  // Skip the main value.
  while (I < N && AValue[I] != ';') {
    if (AValue[I] == '"') {
      for (++I; I < N && AValue[I] != '"'; ++I)
        if (AValue[I] == '\\') ++I;
    }
    ++I;
  }
  while (I < N) {
    ++I;  // the ";"
    const size_t NameStart = I;
    while (I < N && AValue[I] != '=' && AValue[I] != ';') ++I;
    if (I >= N || AValue[I] == ';') continue;
    std::string Name = LowerCase(Trim(AValue.substr(NameStart, I - NameStart)));
    ++I;
    while (I < N && (AValue[I] == ' ' || AValue[I] == '\t')) ++I;
    std::string Value;
    if (I < N && AValue[I] == '"') {
      for (++I; I < N && AValue[I] != '"'; ++I) {
        if (AValue[I] == '\\' && I + 1 < N) ++I;
        Value += AValue[I];
      }
      if (I < N) ++I;
      while (I < N && AValue[I] != ';') ++I;
    } else {
      const size_t VStart = I;
      while (I < N && AValue[I] != ';') ++I;
      Value = Trim(AValue.substr(VStart, I - VStart));
    }
    Result.emplace(std::move(Name), std::move(Value));
  }
  return Result;
}

}  // namespace

TqmMailHeaderFieldList::TqmMailHeaderFieldList(const std::string& ACharSet,
                                               TqmEncodeMethod AHeaderEncoding, int ACharsPerLine)
    : FCharSet(ACharSet), FHeaderEncoding(AHeaderEncoding) {
  SetCharsPerLine(ACharsPerLine);
}

std::string_view TqmMailHeaderFieldList::GetQuoteChars() const {
  return FRfc2231Mode ? std::string_view("\"") : TqmHeaderFieldList::GetQuoteChars();
}

namespace {

inline bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

// Whether a "(" at APos opens a comment: at the start of a value or after
// white space. A "(" inside a word ("report(1).pdf", which some mailers
// send unquoted) is text.
inline bool OpensComment(std::string_view AText, size_t APos, size_t AFrom) {
  return AText[APos] == '(' && (APos == AFrom || IsBlank(AText[APos - 1]));
}

// The end of a comment that opens at APos (nested comments and quoted-pairs
// included): the position after its ")", or the end of the text.
size_t CommentEnd(std::string_view AText, size_t APos) {
  int Depth = 0;
  for (size_t I = APos; I < AText.size(); ++I) {
    const char C = AText[I];
    if (C == '\\') {
      ++I;
    } else if (C == '(') {
      ++Depth;
    } else if (C == ')' && --Depth == 0) {
      return I + 1;
    }
  }
  return AText.size();
}

}  // namespace

std::string TqmMailHeaderFieldList::RemoveComments(std::string_view AText) {
  std::string Result;
  bool Quoted = false;
  for (size_t I = 0; I < AText.size(); ++I) {
    const char C = AText[I];
    if (Quoted && C == '\\' && I + 1 < AText.size()) {
      Result += C;
      Result += AText[++I];
      continue;
    }
    if (C == '"') Quoted = !Quoted;
    if (!Quoted && OpensComment(AText, I, 0)) {
      I = CommentEnd(AText, I) - 1;
      continue;
    }
    Result += C;
  }
  return Trim(Result);
}

TqmFieldItem TqmMailHeaderFieldList::FindItem(const std::string& AValue,
                                              const std::string& AItemName) const {
  const std::string_view Quotes = GetQuoteChars();
  const std::string_view Delimiters = GetItemDelimiters();
  const size_t N = AValue.size();
  // The sets hold a few characters: a loop beats a library call per byte.
  const auto In = [](std::string_view ASet, char C) {
    for (const char S : ASet)
      if (S == C) return true;
    return false;
  };
  // The end of the item that starts at AFrom: the next delimiter outside
  // quotes and comments (a quote that is not closed runs to the end).
  auto ItemEnd = [&](size_t AFrom) {
    char Quote = 0;
    size_t E = AFrom;
    for (; E < N; ++E) {
      const char C = AValue[E];
      if (Quote == '"' && C == '\\' && E + 1 < N) {
        ++E;
      } else if (Quote == 0 && In(Quotes, C)) {
        Quote = C;
      } else if (Quote != 0 && C == Quote) {
        return E + 1;
      } else if (Quote == 0 && OpensComment(AValue, E, AFrom)) {
        E = CommentEnd(AValue, E) - 1;
      } else if (Quote == 0 && In(Delimiters, C)) {
        break;
      }
    }
    return E;
  };
  TqmFieldItem Item;
  if (AItemName.empty()) {
    if (N == 0) return Item;
    const size_t E = ItemEnd(0);
    Item.Position = 1;
    Item.Text = AValue.substr(0, E);
    Item.Length = static_cast<int>(E);
    return Item;
  }
  // Parameters are found by their whole name at the start of an item:
  // "type" is not the end of "report-type", nor a word inside a quoted value.
  size_t I = 0;
  while (I < N) {
    while (I < N && (IsBlank(AValue[I]) || OpensComment(AValue, I, I)))
      I = IsBlank(AValue[I]) ? I + 1 : CommentEnd(AValue, I);
    if (N - I >= AItemName.size() && SameText(std::string_view(AValue).substr(I, AItemName.size()), AItemName)) {
      size_t K = I + AItemName.size();
      while (K < N && IsBlank(AValue[K])) ++K;
      if (K < N && AValue[K] == '=') {
        const size_t E = ItemEnd(K + 1);
        Item.Position = static_cast<int>(I + 1);
        Item.Text = AValue.substr(K + 1, E - K - 1);
        Item.Length = static_cast<int>(E - I);
        return Item;
      }
    }
    I = ItemEnd(I);
    if (I < N) ++I;  // past the delimiter
  }
  return Item;
}

std::string TqmMailHeaderFieldList::GetItemValue(const std::string& AValue,
                                                 const std::string& AItemName) const {
  // Comments are not part of the value ("us-ascii (plain old ASCII)");
  // what is left is unquoted as the list does.
  const std::string Text = RemoveComments(FindItem(AValue, AItemName).Text);
  return Text.empty() ? Text : TqmHeaderFieldList::GetItemValue(Text, "");
}

std::string TqmMailHeaderFieldList::GetDecodedFieldValueAt(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  if (FFieldNames[AIndex] == "subject") return GetFieldValueAt(AIndex);
  return Trim(GetFieldValueAt(AIndex));
}

// ---------------------------------------------------------------------------
// Encoding

std::string TqmMailHeaderFieldList::EncodeWord(std::string_view AText, const std::string& ACharSet,
                                               TqmEncodeMethod& AMethod) {
  const TqmByteArray Bytes = TqmTranslator::GetBytes(AText, ACharSet);
  if (AMethod == cmNone) {
    TqmEncoder Encoder;
    Encoder.SetSuppressCrlf(true);
    TMemoryStream Data;
    Data.SetBytes(Bytes);
    AMethod = Encoder.GetPreferredEncoding(Data);
  }
  std::string Encoded;
  const char* Letter = nullptr;
  switch (AMethod) {
    case cmQuotedPrintable:
      Encoded = QEncode(Bytes);
      Letter = "Q";
      break;
    case cmBase64:
      Encoded = TqmEncoder::EncodeBytes(Bytes, cmBase64);
      Letter = "B";
      break;
    default:
      return std::string(Bytes.begin(), Bytes.end());
  }
  return "=?" + ACharSet + "?" + Letter + "?" + Encoded + "?=";
}

std::string TqmMailHeaderFieldList::EncodeText(std::string_view AText,
                                               const std::string& ACharSetWanted, int AWidth,
                                               TqmEncodeMethod AMethod) {
  if (AText.empty() || AMethod == cmUUEncode) return std::string(AText);
  // Text the charset cannot hold goes out in UTF-8, never with "?" for
  // what is missing.
  const std::string& ACharSet = CharSetHolds(AText, ACharSetWanted) ? ACharSetWanted : kUtf8;
  const size_t Width = static_cast<size_t>(std::max(AWidth, 1));
  TqmEncodeMethod Method = AMethod;
  const std::string Whole = EncodeWord(AText, ACharSet, Method);
  const std::vector<size_t> Starts = CharStarts(AText);
  size_t Pieces = std::max<size_t>(1, (Whole.size() + Width - 1) / Width);
  // A raw line break would end the header field (and start another): a text
  // that holds one is always encoded.
  const bool HasBreak = AText.find_first_of("\r\n") != std::string_view::npos;
  if ((Method == cmNone && Pieces > 1) || ((Method == cmNone || Method == cm8Bit) && HasBreak)) {
    // A plain text too long for one line becomes a series of "Q" words.
    Method = cmQuotedPrintable;
    Pieces = std::max<size_t>(1, (EncodeWord(AText, ACharSet, Method).size() + Width - 1) / Width);
  }
  std::string Result;
  for (;;) {
    const size_t PieceChars = std::max<size_t>(1, Starts.size() / std::min(Pieces, Starts.size()));
    Result.clear();
    size_t Longest = 0;
    bool First = true;
    for (std::string_view Piece : CutText(AText, Starts, PieceChars)) {
      TqmEncodeMethod M = Method;
      std::string Word = EncodeWord(Piece, ACharSet, M);
      Longest = std::max(Longest, Word.size());
      if (!First) Result += kCrLf;
      Result += Word;
      First = false;
    }
    // Characters of different sizes can make a piece longer than the width:
    // cut finer until every word fits (or a piece is one character).
    if (Longest <= Width || PieceChars <= 1 || (Method != cmQuotedPrintable && Method != cmBase64))
      break;
    Pieces += std::max<size_t>(1, Pieces / 8);
  }
  Result = Trim(Result);
  if (Result.empty()) return std::string(AText);
  return Result;
}

std::string TqmMailHeaderFieldList::EncodeAddress(const std::string& AAddress,
                                                  const std::string& ACharSet, int AWidth,
                                                  TqmEncodeMethod AMethod) {
  std::string Name, Email;
  if (!ParseFullAddress(AAddress, Name, Email)) return AAddress;
  // A bare word read as an address ("To: Dinsdale", no "@") goes out as
  // it came in: encoded as a name with "<>" it would read back as another
  // address.
  if (Email.empty() && !AAddress.empty() &&
      std::all_of(AAddress.begin(), AAddress.end(), [](char C) {
        return C > ' ' && C < 0x7F && !std::strchr("\"(),:;<>[]\\", C);
      }))
    return AAddress;
  const std::string EncodedName = EncodeText(Name, ACharSet, AWidth - 2, AMethod);
  const std::string Built = BuildFullAddress(EncodedName, Email);
  const std::string Tail = " <" + Email + ">";
  if (Built.size() < Tail.size() || Built.compare(Built.size() - Tail.size(), Tail.size(), Tail) != 0)
    return Built;
  const std::string QuotedName = Built.substr(0, Built.size() - Tail.size());
  const size_t LastBreak = QuotedName.rfind(kCrLf);
  const int LastLine = static_cast<int>(
      LastBreak == std::string::npos ? QuotedName.size() : QuotedName.size() - LastBreak - 2);
  const int Room = AWidth - 2 - LastLine;
  // The e-mail address stays whole; when it does not fit after the name it
  // goes to a line of its own.
  const std::string Separator = Room < static_cast<int>(Email.size()) + 2 ? kCrLf : " ";
  return QuotedName + Separator + "<" + Email + ">";
}

std::string TqmMailHeaderFieldList::EncodeRfc2231Item(const std::string& AItemName,
                                                      std::string_view AValue,
                                                      const std::string& ACharSetWanted, int AWidth) {
  const std::string& ACharSet = CharSetHolds(AValue, ACharSetWanted) ? ACharSetWanted : kUtf8;
  TqmRfc2231HeaderEncoder Encoder;
  const std::string Whole = Encoder.EncodeValue(AValue, ACharSet, "");
  const size_t Width = static_cast<size_t>(std::max(AWidth, 1));
  size_t Pieces = std::max<size_t>(1, (Whole.size() + Width - 1) / Width);
  if (Pieces == 1) return AItemName + "=" + Whole;
  std::string Base = AItemName;
  if (!Base.empty() && Base.back() == '*') Base.pop_back();
  const std::vector<size_t> Starts = CharStarts(AValue);
  std::string Result;
  for (;;) {
    Pieces = std::min(Pieces, Starts.size());
    const size_t PieceChars = std::max<size_t>(1, Starts.size() / std::max<size_t>(Pieces, 1));
    Result.clear();
    size_t Longest = 0;
    int N = 0;
    for (std::string_view Piece : CutText(AValue, Starts, PieceChars)) {
      if (N > 0) Result += ";" + kCrLf;
      Result += Base + "*" + std::to_string(N) + "*=";
      const std::string Encoded =
          N == 0 ? Encoder.FormatValue(Encoder.Encode(Piece, ACharSet), ACharSet, "")
                 : Encoder.Encode(Piece, ACharSet);
      Longest = std::max(Longest, Encoded.size());
      Result += Encoded;
      ++N;
    }
    // Multi-byte characters can make a piece longer than the width: cut
    // finer until every piece fits (or holds one character).
    if (Longest <= Width || PieceChars <= 1) break;
    Pieces += std::max<size_t>(1, Pieces / 8);
  }
  return Trim(Result);
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

// One RFC 2047 encoded word at the start of AText: "=?" charset "?" B or Q
// "?" text "?=", with no blanks or "?" inside; its length, or 0.
size_t MatchEncodedWord(std::string_view AText, std::string& ACharSet, char& ALetter,
                        std::string_view& AEncoded) {
  if (AText.size() < 8 || AText[0] != '=' || AText[1] != '?') return 0;
  auto Plain = [](char C) { return C != '?' && static_cast<uint8_t>(C) > ' ' && C != 127; };
  size_t I = 2;
  while (I < AText.size() && Plain(AText[I])) ++I;
  if (I == 2 || I + 2 >= AText.size() || AText[I] != '?' || AText[I + 2] != '?') return 0;
  const char Letter = AText[I + 1];
  if (Letter != 'B' && Letter != 'b' && Letter != 'Q' && Letter != 'q') return 0;
  const size_t TextStart = I + 3;
  size_t J = TextStart;
  while (J < AText.size() && Plain(AText[J])) ++J;
  if (J + 1 >= AText.size() || AText[J] != '?' || AText[J + 1] != '=') return 0;
  ACharSet.assign(AText.substr(2, I - 2));
  // RFC 2231 allows a language after the charset: "utf-8*en".
  const size_t Star = ACharSet.find('*');
  if (Star != std::string::npos) ACharSet.erase(Star);
  ALetter = static_cast<char>(Letter & ~0x20);
  AEncoded = AText.substr(TextStart, J - TextStart);
  return J + 2;
}

}  // namespace

std::string TqmMailHeaderFieldList::DecodeText(std::string_view AText,
                                               const std::string& ADefaultCharSet) {
  if (AText.find("=?") == std::string_view::npos)
    return ReceivedText(AText.data(), AText.size(), ADefaultCharSet);
  std::string Result;
  std::string Literal;  // undecoded text, converted from the default charset
  // Bytes of adjacent encoded words in one charset, converted together so
  // that a character split over two words survives.
  std::string Pending;
  std::string PendingCharSet;
  auto FlushLiteral = [&]() {
    if (!Literal.empty()) {
      Result += ReceivedText(Literal.data(), Literal.size(), ADefaultCharSet);
      Literal.clear();
    }
  };
  auto FlushPending = [&]() {
    if (!PendingCharSet.empty() || !Pending.empty()) {
      std::string Text = TqmTranslator::GetString(Pending.data(),
                                                  static_cast<int64_t>(Pending.size()), PendingCharSet);
      if (!IsValidUtf8(Text)) Text = SanitizeUtf8(Text);
      Result += Text;
      Pending.clear();
      PendingCharSet.clear();
    }
  };
  size_t Pos = 0;
  const size_t N = AText.size();
  bool AfterWord = false;  // the last thing read was an encoded word
  while (Pos < N) {
    std::string CharSet;
    char Letter = 0;
    std::string_view Encoded;
    const size_t Len = MatchEncodedWord(AText.substr(Pos), CharSet, Letter, Encoded);
    if (Len == 0) {
      // Plain text; white space between two encoded words is dropped.
      if (AfterWord && (AText[Pos] == ' ' || AText[Pos] == '\t' || AText[Pos] == '\r' ||
                        AText[Pos] == '\n')) {
        size_t Next = Pos;
        while (Next < N && (AText[Next] == ' ' || AText[Next] == '\t' || AText[Next] == '\r' ||
                            AText[Next] == '\n'))
          ++Next;
        std::string C2;
        char L2;
        std::string_view E2;
        if (Next < N && MatchEncodedWord(AText.substr(Next), C2, L2, E2) > 0) {
          Pos = Next;
          continue;
        }
      }
      FlushPending();
      AfterWord = false;
      Literal += AText[Pos++];
      continue;
    }
    std::string Bytes;
    if (Letter == 'Q') {
      Bytes = QDecode(Encoded);
    } else {
      try {
        TqmEncoder Encoder;
        Encoder.SetEncodeMethod(cmBase64);
        TMemoryStream Out;
        TStringStream In{std::string(Encoded)};
        Encoder.Decode(In, Out);
        Bytes = Out.DataString();
      } catch (const EqmEncoderError&) {
        // Not base64 after all: the word stays as it is written.
        FlushPending();
        AfterWord = false;
        Literal.append(AText.substr(Pos, Len));
        Pos += Len;
        continue;
      }
    }
    if (!TqmTranslator::IsKnownCharSet(CharSet) && !IsValidUtf8(Bytes)) {
      // A charset we cannot read ("x-unknown", "unknown-8bit"): bytes that
      // are UTF-8 (or ASCII) are read as such; others would become U+FFFD,
      // so the word stays as written, which loses nothing.
      FlushPending();
      AfterWord = false;
      Literal.append(AText.substr(Pos, Len));
      Pos += Len;
      continue;
    }
    FlushLiteral();
    if (!SameText(CharSet, PendingCharSet)) FlushPending();
    PendingCharSet = CharSet;
    Pending += Bytes;
    AfterWord = true;
    Pos += Len;
  }
  FlushPending();
  FlushLiteral();
  return Result;
}

std::string TqmMailHeaderFieldList::DecodeAddress(const std::string& AAddress,
                                                  const std::string& ACharSet) {
  std::string Name, Email;
  if (ParseFullAddress(AAddress, Name, Email) && !Email.empty())
    return BuildFullAddress(DecodeText(Name, ACharSet), Email);
  return AAddress;
}

std::string TqmMailHeaderFieldList::GetDecodedText(const std::string& AName) const {
  return DecodeText(GetFieldValue(AName), FCharSet);
}

std::string TqmMailHeaderFieldList::GetDecodedAddress(const std::string& AName) const {
  const std::string Value = GetFieldValue(AName);
  TqmEmailAddressList List;
  ReadAddressList(Value, List);
  // A value that holds no mailbox (a URL list, a bare word) stays as it is.
  if (List.Count() == 0) return DecodeAddress(Value, FCharSet);
  return List.GetText();
}

void TqmMailHeaderFieldList::ReadAddressList(const std::string& AValue,
                                             TqmEmailAddressList& AAddresses) const {
  for (const TqmMailboxText& Mailbox : ParseMailboxList(AValue)) {
    TqmEmailAddressItem* Item = AAddresses.Add();
    Item->SetName(DecodeText(Mailbox.Name, FCharSet));
    Item->SetEmail(ReceivedText(Mailbox.Email.data(), Mailbox.Email.size(), FCharSet));
  }
}

void TqmMailHeaderFieldList::GetAddressList(const std::string& AName,
                                            TqmEmailAddressList& AAddresses) const {
  AAddresses.Clear();
  ReadAddressList(GetFieldValue(AName), AAddresses);
}

std::string TqmMailHeaderFieldList::GetDecodedItemValue(const std::string& AValue,
                                                        const std::string& AItemName) {
  if (AItemName.empty() || AItemName.back() != '*')
    return DecodeText(GetItemValue(AValue, AItemName), FCharSet);
  struct TModeGuard {
    TqmMailHeaderFieldList* List;
    bool Old;
    ~TModeGuard() { List->FRfc2231Mode = Old; }
  } Guard{this, FRfc2231Mode};
  FRfc2231Mode = true;
  TqmRfc2231HeaderEncoder Encoder;
  if (FindItem(AValue, AItemName).Position > 0)
    return Encoder.DecodeValue(GetItemValue(AValue, AItemName));

  // Continuations: name*0, name*1*, ... read from one scan of the value.
  const std::map<std::string, std::string> Params = ScanParameters(AValue);
  const std::string Base = LowerCase(AItemName.substr(0, AItemName.size() - 1));
  std::string Result;
  std::string CharSet;
  bool HaveCharSet = false;
  std::string PendingBytes;  // percent-decoded pieces, converted together
  auto FlushBytes = [&]() {
    if (!PendingBytes.empty()) {
      Result += TqmTranslator::GetString(PendingBytes.data(),
                                         static_cast<int64_t>(PendingBytes.size()), CharSet);
      PendingBytes.clear();
    }
  };
  for (int N = 0; N <= qmMaxRfc2231Continuations; ++N) {
    const std::string Name = Base + "*" + std::to_string(N);
    auto Plain = Params.find(Name);
    if (Plain != Params.end()) {
      FlushBytes();
      Result += DecodeText(Plain->second, FCharSet);
      continue;
    }
    auto Extended = Params.find(Name + "*");
    if (Extended == Params.end()) break;
    std::string Text = Extended->second;
    if (!HaveCharSet) {
      std::string Language, Value;
      bool Found = false;
      Encoder.SplitValue(Text, CharSet, Language, Value, Found);
      if (Found) {
        HaveCharSet = true;
        Text = Value;
      } else {
        CharSet.clear();
      }
    }
    const TqmByteArray Bytes = Encoder.DecodeBytes(Text);
    PendingBytes.append(Bytes.begin(), Bytes.end());
  }
  FlushBytes();
  return Result;
}

// ---------------------------------------------------------------------------
// Writing

void TqmMailHeaderFieldList::InsertEncodedLines(const std::string& AText) {
  const std::vector<std::string> Lines = SplitCrLf(AText);
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (I == 0)
      InsertLine(FHeaderEnd, Lines[I], false);
    else
      InsertLine(FHeaderEnd, "\t" + Lines[I], false);
  }
  Reparse();
}

void TqmMailHeaderFieldList::AddEncodedTextField(const std::string& AName,
                                                 const std::string& AText) {
  const std::string Text = Trim(AText);
  if (Text.empty()) return;
  const int Width = CharsPerLine() - static_cast<int>(AName.size()) - 2;
  InsertEncodedLines(AName + ": " + EncodeText(Text, FCharSet, Width, FHeaderEncoding));
}

void TqmMailHeaderFieldList::AddEncodedAddressField(const std::string& AName,
                                                    const std::string& AAddress) {
  const std::string Address = Trim(AAddress);
  if (Address.empty()) return;
  const int Width = CharsPerLine() - static_cast<int>(AName.size()) - 2;
  InsertEncodedLines(AName + ": " + EncodeAddress(Address, FCharSet, Width, FHeaderEncoding));
}

void TqmMailHeaderFieldList::AddAddressListField(const std::string& AName,
                                                 const TqmEmailAddressList& AAddresses) {
  if (AAddresses.Count() == 0) return;
  std::string Text = AName + ": ";
  for (int I = 0; I < AAddresses.Count(); ++I) {
    const int Width =
        I == 0 ? CharsPerLine() - static_cast<int>(AName.size()) - 2 : CharsPerLine() - 1;
    if (I > 0) Text += kCrLf;
    Text += EncodeAddress(AAddresses.Items(I)->FullAddress(), FCharSet, Width, FHeaderEncoding);
    if (I + 1 < AAddresses.Count()) Text += ",";
  }
  InsertEncodedLines(Text);
}

void TqmMailHeaderFieldList::AddEncodedFieldItem(const std::string& AFieldName,
                                                 const std::string& AItemName,
                                                 const std::string& AValue) {
  const int Index = IndexOfField(AFieldName);
  const std::string Value = Trim(AValue);
  if (Index < 0 || Value.empty()) return;
  std::string Item;
  if (!AItemName.empty() && AItemName.back() == '*') {
    Item = EncodeRfc2231Item(AItemName, Value, FCharSet,
                             CharsPerLine() - static_cast<int>(AItemName.size()) - 8);
  } else {
    const std::string Encoded = EncodeText(
        Value, FCharSet, CharsPerLine() - static_cast<int>(AItemName.size()) - 4, FHeaderEncoding);
    // A quoted string: its quotes and backslashes escaped.
    std::string Quoted = "\"";
    for (char C : Encoded) {
      if (C == '"' || C == '\\') Quoted += '\\';
      Quoted += C;
    }
    Item = AItemName + "=" + Quoted + '"';
  }
  const int Last = GetFieldLastLineIndex(Index);
  std::string LastLine = FSource->Get(Last);
  const std::string Trimmed = Trim(LastLine);
  if (Trimmed.empty() || (Trimmed.back() != ':' && Trimmed.back() != ';')) {
    LastLine += ';';
    FSource->Put(Last, LastLine);
  }
  int At = Last + 1;
  for (const std::string& Line : SplitCrLf(Item)) {
    FSource->Insert(At++, "\t" + Line);
    ++FHeaderEnd;
  }
  Reparse();
}

}  // namespace qm
