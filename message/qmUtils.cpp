#include "message/qmUtils.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "core/qmDateTime.h"
#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "core/qmSysUtils.h"
#include "core/qmTranslator.h"

namespace qm {

namespace {
constexpr std::array<std::string_view, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

inline char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? char(C + 32) : C; }
inline bool IsControl(char C) { return C >= 1 && C <= 31 && C != '\t'; }

}  // namespace

// ---------------------------------------------------------------------------
// String helpers

std::string QuoteText(std::string_view AText, char AOpen, char AClose) {
  if (!AText.empty() && (AText.front() == AOpen || AText.back() == AClose)) return std::string(AText);
  std::string R;
  R.reserve(AText.size() + 2);
  R += AOpen;
  R += AText;
  R += AClose;
  return R;
}

std::string QuoteText(std::string_view AText) { return QuoteText(AText, '"', '"'); }

std::string UnquoteText(std::string_view AText, char AOpen, char AClose) {
  if (AText.size() > 1 && AText.front() == AOpen && AText.back() == AClose)
    return std::string(AText.substr(1, AText.size() - 2));
  return std::string(AText);
}

std::string UnquoteText(std::string_view AText, char AQuote) { return UnquoteText(AText, AQuote, AQuote); }

std::string UnquoteText(std::string_view AText) { return UnquoteText(AText, '"', '"'); }

namespace {
// Calls AWord(begin, length) for each word; stops when it returns false.
template <class F>
void ForEachWord(std::string_view AText, std::string_view ADelimiters, F AWord) {
  size_t I = 0;
  while (I < AText.size()) {
    while (I < AText.size() && ADelimiters.find(AText[I]) != std::string_view::npos) ++I;
    if (I >= AText.size()) break;
    size_t B = I;
    while (I < AText.size() && ADelimiters.find(AText[I]) == std::string_view::npos) ++I;
    if (!AWord(B, I - B)) break;
  }
}
}  // namespace

int WordCount(std::string_view AText, std::string_view ADelimiters) {
  int N = 0;
  ForEachWord(AText, ADelimiters, [&](size_t, size_t) {
    ++N;
    return true;
  });
  return N;
}

std::string ExtractWord(int ANumber, std::string_view AText, std::string_view ADelimiters) {
  std::string R;
  if (ANumber < 1) return R;
  int N = 0;
  ForEachWord(AText, ADelimiters, [&](size_t B, size_t L) {
    if (++N < ANumber) return true;
    R.assign(AText.substr(B, L));
    return false;
  });
  return R;
}

void SplitText(std::string_view AText, TStrings& ALines, std::string_view ADelimiter) {
  ALines.Clear();
  if (AText.empty()) return;
  std::string Piece;
  size_t I = 0;
  while (I < AText.size()) {
    if (!ADelimiter.empty() && AText.compare(I, ADelimiter.size(), ADelimiter) == 0) {
      ALines.Add(Piece);
      Piece.clear();
      I += ADelimiter.size();
      if (I == AText.size()) ALines.Add(std::string());
      continue;
    }
    if (!IsControl(AText[I])) Piece += AText[I];
    ++I;
    if (I == AText.size()) ALines.Add(Piece);
  }
}

void SplitQuoted(std::string_view AText, TStrings& ALines, char ADelimiter, bool AKeep,
                 std::string_view AOpenChars, std::string_view ACloseChars) {
  ALines.Clear();
  if (AText.empty()) return;
  std::string Piece;
  std::string Closers;  // closing characters expected, innermost last
  for (size_t I = 0; I < AText.size(); ++I) {
    char C = AText[I];
    if (IsControl(C)) continue;
    if (!Closers.empty() && Closers.back() == '"' && C == '\\' && I + 1 < AText.size()) {
      Piece += C;
      Piece += AText[++I];
      continue;
    }
    if (!Closers.empty() && C == Closers.back()) {
      Closers.pop_back();
      if (AKeep) Piece += C;
      continue;
    }
    size_t K = AOpenChars.find(C);
    if (K != std::string_view::npos && K < ACloseChars.size()) {
      Closers += ACloseChars[K];
      if (AKeep) Piece += C;
      continue;
    }
    if (C == ADelimiter && Closers.empty()) {
      ALines.Add(Piece);
      Piece.clear();
      continue;
    }
    Piece += C;
  }
  ALines.Add(Piece);
}

int TextPos(std::string_view ASub, std::string_view AText, int AStart) {
  if (ASub.empty()) return 0;
  size_t Start = AStart < 1 ? 0 : size_t(AStart - 1);
  if (Start >= AText.size()) return 0;
  size_t P = AText.find(ASub, Start);
  return P == std::string_view::npos ? 0 : int(P + 1);
}

int TextLastPos(std::string_view ASub, std::string_view AText, int AStart) {
  if (ASub.empty() || ASub.size() > AText.size()) return 0;
  size_t Last = AText.size() - ASub.size();  // last possible start (0-based)
  if (AStart > 0 && size_t(AStart - 1) < Last) Last = size_t(AStart - 1);
  for (size_t I = Last + 1; I-- > 0;) {
    size_t K = 0;
    while (K < ASub.size() && LowerAscii(AText[I + K]) == LowerAscii(ASub[K])) ++K;
    if (K == ASub.size()) return int(I + 1);
  }
  return 0;
}

int IndexOfText(std::string_view AText, std::span<const std::string_view> AArray) {
  for (size_t I = 0; I < AArray.size(); ++I)
    if (SameText(AText, AArray[I])) return int(I);
  return -1;
}

int IndexOfText(std::string_view AText, std::initializer_list<std::string_view> AArray) {
  return IndexOfText(AText, std::span<const std::string_view>(AArray.begin(), AArray.size()));
}

int IndexOfText(std::string_view AText, const std::vector<std::string>& AArray) {
  for (size_t I = 0; I < AArray.size(); ++I)
    if (SameText(AText, AArray[I])) return int(I);
  return -1;
}

// ---------------------------------------------------------------------------
// Byte helpers

std::string BytesToHex(const void* AData, size_t ACount, std::string_view ASeparator) {
  static const char kDigits[] = "0123456789ABCDEF";
  const uint8_t* P = static_cast<const uint8_t*>(AData);
  std::string R;
  if (ACount == 0) return R;
  R.reserve(ACount * (2 + ASeparator.size()));
  for (size_t I = 0; I < ACount; ++I) {
    if (I > 0) R += ASeparator;
    R += kDigits[P[I] >> 4];
    R += kDigits[P[I] & 0x0F];
  }
  return R;
}

std::string BytesToHex(const TqmByteArray& ABytes, std::string_view ASeparator) {
  return BytesToHex(ABytes.data(), ABytes.size(), ASeparator);
}

TqmByteArray ReverseBytes(const TqmByteArray& ABytes) { return TqmByteArray(ABytes.rbegin(), ABytes.rend()); }

namespace {
void CheckRead(const TqmByteArray& ABytes, int APos, int ASize) {
  if (APos < 0 || size_t(APos) + size_t(ASize) > ABytes.size())
    throw EReadError(Format("Cannot read %d bytes at offset %d of %zu", ASize, APos, ABytes.size()));
}

void PrepareWrite(TqmByteArray& ABytes, int APos, int ASize) {
  if (APos < 0) throw EWriteError(Format("Cannot write at offset %d", APos));
  if (size_t(APos) + size_t(ASize) > ABytes.size()) ABytes.resize(size_t(APos) + size_t(ASize));
}
}  // namespace

uint16_t ReadWord(const TqmByteArray& ABytes, int& APos) {
  CheckRead(ABytes, APos, 2);
  uint16_t V = uint16_t(ABytes[size_t(APos)] << 8 | ABytes[size_t(APos) + 1]);
  APos += 2;
  return V;
}

uint32_t ReadDWord(const TqmByteArray& ABytes, int& APos) {
  CheckRead(ABytes, APos, 4);
  const uint8_t* P = ABytes.data() + APos;
  uint32_t V = uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | P[3];
  APos += 4;
  return V;
}

void WriteWord(TqmByteArray& ABytes, int& APos, uint16_t AValue) {
  PrepareWrite(ABytes, APos, 2);
  ABytes[size_t(APos)] = uint8_t(AValue >> 8);
  ABytes[size_t(APos) + 1] = uint8_t(AValue);
  APos += 2;
}

void WriteDWord(TqmByteArray& ABytes, int& APos, uint32_t AValue) {
  PrepareWrite(ABytes, APos, 4);
  uint8_t* P = ABytes.data() + APos;
  P[0] = uint8_t(AValue >> 24);
  P[1] = uint8_t(AValue >> 16);
  P[2] = uint8_t(AValue >> 8);
  P[3] = uint8_t(AValue);
  APos += 4;
}

// ---------------------------------------------------------------------------
// Message dates

std::string TimeZoneBiasToText(int ABias) {
  int A = std::abs(ABias);
  return Format("%s%.2d%.2d", ABias <= 0 ? "+" : "-", A / 60, A % 60);
}

std::string GetTimeZoneOffset() { return TimeZoneBiasToText(LocalTimeBias(Now())); }

std::string DateTimeToMailDate(TDateTime ALocalTime) {
  int Y, Mo, D, H, Mi, S, Ms;
  DecodeDate(ALocalTime, Y, Mo, D);
  DecodeTime(ALocalTime, H, Mi, S, Ms);
  std::string_view Day = kDayNames[size_t(DayOfWeek(ALocalTime) - 1)];
  std::string_view Month = kMonthNames[size_t(std::clamp(Mo, 1, 12) - 1)];
  std::string Zone = TimeZoneBiasToText(LocalTimeBias(ALocalTime));
  return Format("%.*s, %d %.*s %d %.2d:%.2d:%.2d %s", int(Day.size()), Day.data(), D,
                int(Month.size()), Month.data(), Y, H, Mi, S, Zone.c_str());
}

TDateTime ParseTimeZone(std::string_view AText) {
  std::string Zone = Trim(AText);
  if (Zone.size() >= 5 && (Zone[0] == '+' || Zone[0] == '-')) {
    int H, M;
    TDateTime T;
    if (!TryStrToInt(std::string_view(Zone).substr(1, 2), H) ||
        !TryStrToInt(std::string_view(Zone).substr(3, 2), M) || Zone[1] == '+' ||
        Zone[1] == '-' || Zone[3] == '+' || Zone[3] == '-' || !TryEncodeTime(H, M, 0, 0, T))
      return 0;
    return Zone[0] == '-' ? -T : T;
  }
  // The obsolete zone names of RFC 5322.
  static constexpr std::array<std::pair<std::string_view, int>, 11> kNames = {{{"UT", 0},
                                                                              {"GMT", 0},
                                                                              {"Z", 0},
                                                                              {"EST", -5},
                                                                              {"EDT", -4},
                                                                              {"CST", -6},
                                                                              {"CDT", -5},
                                                                              {"MST", -7},
                                                                              {"MDT", -6},
                                                                              {"PST", -8},
                                                                              {"PDT", -7}}};
  for (const auto& N : kNames)
    if (SameText(Zone, N.first)) return N.second / 24.0;
  return 0;
}

TDateTime ParseTime(std::string_view AText) {
  std::string S = UpperCase(AText);
  bool Pm = false, Am = false;
  size_t P = S.find("PM");
  if (P != std::string::npos) {
    Pm = true;
  } else {
    P = S.find("AM");
    Am = P != std::string::npos;
  }
  if (P != std::string::npos) S.resize(P);
  S = Trim(S);
  int Parts[3] = {0, 0, 0};
  size_t Start = 0;
  for (int I = 0; I < 3 && Start <= S.size(); ++I) {
    size_t End = S.find(':', Start);
    if (End == std::string::npos) End = S.size();
    int V;
    if (TryStrToInt(Trim(std::string_view(S).substr(Start, End - Start)), V)) Parts[I] = V;
    Start = End + 1;
  }
  if (Pm && Parts[0] < 12) Parts[0] += 12;
  if (Am && Parts[0] == 12) Parts[0] = 0;
  TDateTime T;
  return TryEncodeTime(Parts[0], Parts[1], Parts[2], 0, T) ? T : 0;
}

namespace {
// The next token: leading blanks skipped, then the text up to a space.
std::string_view PeekToken(std::string_view AText, size_t& AEnd) {
  size_t B = 0;
  while (B < AText.size() && uint8_t(AText[B]) <= ' ') ++B;
  size_t E = AText.find(' ', B);
  if (E == std::string_view::npos) E = AText.size();
  AEnd = E;
  return AText.substr(B, E - B);
}

std::string_view TakeToken(std::string_view& AText) {
  size_t E;
  std::string_view T = PeekToken(AText, E);
  AText.remove_prefix(E);
  return T;
}
}  // namespace

namespace {
// A date text in the form the reader takes: comments gone (RFC 5322 CFWS),
// every blank a space, no blanks around the colons of the time, and the
// day of the week dropped, with or without its comma (obsolete forms).
std::string NormalDateText(std::string_view AText) {
  std::string R;
  int Depth = 0;
  for (size_t I = 0; I < AText.size(); ++I) {
    const char C = AText[I];
    if (C == '\\' && Depth > 0) ++I;
    else if (C == '(') ++Depth;
    else if (C == ')' && Depth > 0) --Depth;
    else if (Depth == 0) R += uint8_t(C) <= ' ' ? ' ' : C;
  }
  std::string Squeezed;
  for (size_t I = 0; I < R.size(); ++I) {
    if (R[I] == ' ') {
      size_t J = I;
      while (J < R.size() && R[J] == ' ') ++J;
      if ((J < R.size() && R[J] == ':') || (!Squeezed.empty() && Squeezed.back() == ':')) {
        I = J - 1;
        continue;
      }
    }
    Squeezed += R[I];
  }
  std::string Text = Trim(Squeezed);
  const size_t Comma = Text.find(',');
  if (Comma != std::string::npos) return Trim(std::string_view(Text).substr(Comma + 1));
  size_t E;
  std::string_view First = PeekToken(Text, E);
  if (First.size() >= 3 && IndexOfText(First.substr(0, 3), kDayNames) >= 0 &&
      !(First[0] >= '0' && First[0] <= '9'))
    return Trim(std::string_view(Text).substr(E));
  return Text;
}

// A month name or its first three letters ("Dec", "December").
int MonthOf(std::string_view AToken) {
  if (AToken.size() < 3) return 0;
  return IndexOfText(AToken.substr(0, 3), kMonthNames) + 1;
}
}  // namespace

TDateTime MailDateToDateTime(std::string_view AText, TDateTime& AZoneOffset) {
  AZoneOffset = 0;
  std::string Text = NormalDateText(AText);
  std::string_view Rest(Text);

  size_t End;
  int Day = 0;
  int Month = MonthOf(PeekToken(Rest, End));
  if (Month > 0) {
    // "Dec 7 2026": the month first.
    Rest.remove_prefix(End);
    Day = StrToInt(TakeToken(Rest));
  } else {
    Day = StrToInt(TakeToken(Rest));
    Month = MonthOf(PeekToken(Rest, End));
    if (Month > 0) {
      Rest.remove_prefix(End);
    } else {
      int Y, D;
      DecodeDate(Now(), Y, Month, D);
    }
  }
  std::string_view YearToken = TakeToken(Rest);
  // The asctime form, "Dec 7 14:05:00 2026": the time before the year, and
  // a zone, when there is one, before or after the year.
  std::string TimeText;
  std::string_view AsctimeZone;
  const bool Asctime = YearToken.find(':') != std::string_view::npos;
  if (Asctime) {
    TimeText = std::string(YearToken);
    YearToken = TakeToken(Rest);
    if (!YearToken.empty() && !(YearToken[0] >= '0' && YearToken[0] <= '9')) {
      AsctimeZone = YearToken;
      YearToken = TakeToken(Rest);
    }
  }
  int Year = StrToInt(YearToken);
  // Short years as RFC 5322 reads them: two digits 00-49 are 2000-2049 and
  // 50-99 are 1950-1999; three digits count from 1900.
  size_t Digits = YearToken.size() - (YearToken[0] == '+' || YearToken[0] == '-' ? 1 : 0);
  if (Year >= 0 && Digits <= 2)
    Year += Year < 50 ? 2000 : 1900;
  else if (Year >= 0 && Digits == 3)
    Year += 1900;
  if (!Asctime) TimeText = std::string(TakeToken(Rest));
  // "2:05 PM": the zone comes after the AM or PM word.
  std::string_view Half = PeekToken(Rest, End);
  if (SameText(Half, "AM") || SameText(Half, "PM")) {
    TimeText += std::string(Half);
    Rest.remove_prefix(End);
  }
  TDateTime Time = ParseTime(TimeText);
  if (Day == 0 || Month == 0 || Year == 0) return 0;
  TDateTime Date;
  if (!TryEncodeDate(Year, Month, Day, Date)) return 0;
  TDateTime Zone = ParseTimeZone(AsctimeZone.empty() ? TakeToken(Rest) : AsctimeZone);
  AZoneOffset = Zone;
  return UtcToLocal(Date + Time - Zone);
}

TDateTime MailDateToDateTime(std::string_view AText) {
  TDateTime Zone;
  return MailDateToDateTime(AText, Zone);
}

TDateTime UtcToLocal(TDateTime AUtc) { return UtcDateTimeToLocal(AUtc); }

TDateTime LocalToUtc(TDateTime ALocal) { return LocalDateTimeToUtc(ALocal); }

TDateTime FileTimeToLocal(const TqmFileTime& AFileTime) {
  int64_t Ms = int64_t(AFileTime.tv_sec) * 1000 + int64_t(AFileTime.tv_nsec) / 1000000;
  return UtcToLocal(UnixMsToDateTime(Ms));
}

// ---------------------------------------------------------------------------
// Lists of lines

TqmStringsUtils::TqmStringsUtils(TStrings* AStrings) : FStrings(AStrings) {}

void TqmStringsUtils::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

int64_t TqmStringsUtils::AddText(std::string_view AText, bool AAppendToLast) {
  bool Append = AAppendToLast && FStrings->Count() > 0;
  if (!AAppendToLast) FPendingCR = false;
  if (FPendingCR) {
    // The last text ended with a CR: its line is complete, and a LF here is
    // the second half of that CR LF.
    if (AText.empty()) return int64_t(1);
    if (AText.front() == '\n') AText.remove_prefix(1);
    FPendingCR = false;
    Append = false;
    if (AText.empty()) return 0;
  }
  if (AText.empty()) return 0;
  size_t I = 0;
  bool First = true;
  while (I <= AText.size()) {
    size_t E = FindLineBreak(AText, I);
    bool Break = E != std::string_view::npos;
    if (!Break) E = AText.size();
    if (!Break && I == AText.size()) break;  // the text ended with a line break
    std::string_view Piece = AText.substr(I, E - I);
    if (First && Append) {
      int Last = FStrings->Count() - 1;
      std::string Line = FStrings->Get(Last);
      Line += Piece;
      FStrings->Put(Last, Line);
    } else {
      FStrings->Add(std::string(Piece));
    }
    First = false;
    if (!Break) return int64_t(AText.size());
    if (AText[E] == '\r') {
      if (E + 1 == AText.size()) {
        FPendingCR = true;
        return int64_t(AText.size());
      }
      if (AText[E + 1] == '\n') ++E;
    }
    I = E + 1;
  }
  return 0;
}

int64_t TqmStringsUtils::LoadFromStream(TStream& AStream, bool AAppendToLast, int64_t AByteLimit) {
  int64_t Total = AStream.Remaining();
  bool Limited = AByteLimit > 0 && AByteLimit < Total;
  if (Limited) Total = AByteLimit;
  int64_t Batch = FBatchSize > 0 && FBatchSize < Total ? FBatchSize : Total;
  TqmTextDecoder Decoder(FCharSet);
  std::string Buffer;
  std::string Text;
  int64_t Done = 0;
  int64_t Result = 0;
  bool Append = AAppendToLast;
  if (!AAppendToLast) FPendingCR = false;
  while (Done < Total) {
    DoProgress(Done, Total);
    int64_t Want = std::min(Batch, Total - Done);
    Buffer.resize(size_t(Want));
    int64_t Got = 0;
    while (Got < Want) {
      int64_t N = AStream.Read(Buffer.data() + Got, Want - Got);
      if (N <= 0) break;
      Got += N;
    }
    Done += Got;
    bool Last = Got < Want || Done >= Total;
    Text.clear();
    Decoder.Decode(Buffer.data(), size_t(Got), Last, Text);
    if (std::memchr(Text.data(), '\0', Text.size())) std::replace(Text.begin(), Text.end(), '\0', ' ');
    // A batch that held only part of a character adds nothing yet.
    if (!Text.empty()) {
      Result = AddText(Text, Append);
      Append = Result != 0;
    }
    if (Last) {
      // At the end of the stream a final CR is a whole line break.
      if (FPendingCR && (!Limited || Got < Want)) {
        FPendingCR = false;
        Result = 0;
      }
      break;
    }
  }
  return Result;
}

int TqmStringsUtils::IndexOfLine(std::string_view AText, bool AExact) const {
  for (int I = 0; I < FStrings->Count(); ++I) {
    const std::string& Line = FStrings->Get(I);
    if (AExact ? SameText(Line, AText) : FindText(AText, Line) != std::string::npos) return I;
  }
  return -1;
}

int64_t TqmStringsUtils::GetTextSize() const {
  int64_t N = 0;
  for (int I = 0; I < FStrings->Count(); ++I) N += int64_t(FStrings->Get(I).size()) + 2;
  return N;
}

int64_t AddTextToLines(TStrings& ALines, std::string_view AText, bool AAppendToLast) {
  TqmStringsUtils U(&ALines);
  return U.AddText(AText, AAppendToLast);
}

int64_t LoadLinesFromStream(TStrings& ALines, TStream& AStream) {
  TqmStringsUtils U(&ALines);
  return U.LoadFromStream(AStream, false);
}

int IndexOfLine(const TStrings& ALines, std::string_view AText, bool AExact) {
  TqmStringsUtils U(const_cast<TStrings*>(&ALines));
  return U.IndexOfLine(AText, AExact);
}

int64_t GetLinesSize(const TStrings& ALines) {
  TqmStringsUtils U(const_cast<TStrings*>(&ALines));
  return U.GetTextSize();
}

// ---------------------------------------------------------------------------
// TqmBinaryData

TqmBinaryData::~TqmBinaryData() { TqmBinaryData::FreeData(); }

void TqmBinaryData::FreeData() {
  std::free(FData);
  FData = nullptr;
  FSize = 0;
}

void TqmBinaryData::AllocateData(int ASize) {
  if (ASize < 0) throw EInvalidOperation(Format("Invalid data size %d", ASize));
  FreeData();
  if (ASize == 0) return;
  void* P = std::calloc(size_t(ASize), 1);
  if (!P) throw std::bad_alloc();
  SetData(static_cast<uint8_t*>(P), ASize);
}

void TqmBinaryData::Assign(const TqmByteArray& ABytes) {
  if (ABytes.size() > size_t(INT32_MAX)) throw EInvalidOperation("Data block too large");
  AllocateData(int(ABytes.size()));
  if (!ABytes.empty()) std::memcpy(Data(), ABytes.data(), ABytes.size());
}

}  // namespace qm
