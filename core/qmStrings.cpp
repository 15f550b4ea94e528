#include "core/qmStrings.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmSysUtils.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm {

// ---- TStrings ----

int TStrings::Add(const std::string& AValue) {
  int I = Count();
  Insert(I, AValue);
  return I;
}

void TStrings::AddStrings(const TStrings& AStrings) {
  BeginUpdate();
  try {
    for (int I = 0; I < AStrings.Count(); ++I) Add(AStrings.Get(I));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::AddStrings(const std::vector<std::string>& AStrings) {
  BeginUpdate();
  try {
    for (const auto& S : AStrings) Add(S);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

int TStrings::IndexOf(const std::string& AValue) const {
  for (int I = 0; I < Count(); ++I)
    if (SameText(Get(I), AValue)) return I;
  return -1;
}

void TStrings::Exchange(int AIndex1, int AIndex2) {
  std::string A = Get(AIndex1);
  std::string B = Get(AIndex2);
  BeginUpdate();
  Put(AIndex1, B);
  Put(AIndex2, A);
  EndUpdate();
}

void TStrings::Move(int ACurIndex, int ANewIndex) {
  if (ACurIndex == ANewIndex) return;
  std::string S = Get(ACurIndex);
  BeginUpdate();
  Delete(ACurIndex);
  Insert(ANewIndex, S);
  EndUpdate();
}

bool TStrings::Equals(const TStrings& AStrings) const {
  if (Count() != AStrings.Count()) return false;
  for (int I = 0; I < Count(); ++I)
    if (Get(I) != AStrings.Get(I)) return false;
  return true;
}

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> R;
  R.reserve(static_cast<size_t>(Count()));
  for (int I = 0; I < Count(); ++I) R.push_back(Get(I));
  return R;
}

std::string TStrings::Text() const {
  size_t Size = 0;
  for (int I = 0; I < Count(); ++I) Size += Get(I).size() + 2;
  std::string R;
  R.reserve(Size);
  for (int I = 0; I < Count(); ++I) {
    R += Get(I);
    R += "\r\n";
  }
  return R;
}

void TStrings::SetText(std::string_view AText) {
  BeginUpdate();
  try {
    Clear();
    size_t Start = 0, I = 0;
    while (I < AText.size()) {
      char C = AText[I];
      if (C == '\r' || C == '\n') {
        Add(std::string(AText.substr(Start, I - Start)));
        if (C == '\r' && I + 1 < AText.size() && AText[I + 1] == '\n') ++I;
        Start = I + 1;
      }
      ++I;
    }
    if (Start < AText.size()) Add(std::string(AText.substr(Start)));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

std::string TStrings::Join(std::string_view ADelimiter) const {
  std::string R;
  for (int I = 0; I < Count(); ++I) {
    if (I > 0) R += ADelimiter;
    R += Get(I);
  }
  return R;
}

std::string TStrings::Names(int AIndex) const {
  const std::string& S = Get(AIndex);
  size_t P = S.find('=');
  return P == std::string::npos ? std::string() : S.substr(0, P);
}

std::string TStrings::ValueFromIndex(int AIndex) const {
  const std::string& S = Get(AIndex);
  size_t P = S.find('=');
  return P == std::string::npos ? std::string() : S.substr(P + 1);
}

int TStrings::IndexOfName(const std::string& AName) const {
  for (int I = 0; I < Count(); ++I) {
    const std::string& S = Get(I);
    size_t P = S.find('=');
    if (P != std::string::npos && SameText(std::string_view(S).substr(0, P), AName)) return I;
  }
  return -1;
}

std::string TStrings::Values(const std::string& AName) const {
  int I = IndexOfName(AName);
  return I < 0 ? std::string() : ValueFromIndex(I);
}

void TStrings::SetValue(const std::string& AName, const std::string& AValue) {
  int I = IndexOfName(AName);
  if (AValue.empty()) {
    if (I >= 0) Delete(I);
  } else if (I >= 0) {
    Put(I, AName + "=" + AValue);
  } else {
    Add(AName + "=" + AValue);
  }
}

void TStrings::SetLines(std::vector<std::string>&& ALines) {
  BeginUpdate();
  try {
    Clear();
    for (const std::string& Line : ALines) Add(Line);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::LoadFromStream(TStream& AStream) {
  // Read in pieces, each split up to its last line feed and the rest kept
  // for the next one: a large stream is never held as one text next to its
  // lines. Cutting after a line feed never cuts a line break in two.
  constexpr size_t kPiece = 1 << 20;
  std::vector<std::string> Lines;
  Lines.reserve(static_cast<size_t>(std::max<int64_t>(AStream.Remaining(), 0)) / 40 + 1);
  std::string Buffer;
  for (;;) {
    const size_t Kept = Buffer.size();
    Buffer.resize(Kept + kPiece);
    const int64_t Got = AStream.Read(Buffer.data() + Kept, static_cast<int64_t>(kPiece));
    Buffer.resize(Kept + static_cast<size_t>(std::max<int64_t>(Got, 0)));
    if (Got <= 0) break;
    const void* Lf = memrchr(Buffer.data() + Kept, '\n', static_cast<size_t>(Got));
    if (!Lf) continue;
    const size_t Cut = static_cast<size_t>(static_cast<const char*>(Lf) - Buffer.data()) + 1;
    AppendLinesOf(std::string_view(Buffer.data(), Cut), Lines);
    Buffer.erase(0, Cut);
  }
  AppendLinesOf(Buffer, Lines);
  SetLines(std::move(Lines));
}

void TStrings::SaveToStream(TStream& AStream) const { WriteLines(*this, 0, Count(), AStream); }

void TStrings::LoadFromFile(const std::string& AFileName) {
  TFileStream F(AFileName, fmOpenRead);
  LoadFromStream(F);
}

void TStrings::SaveToFile(const std::string& AFileName) const {
  TFileStream F(AFileName, fmCreate);
  SaveToStream(F);
}

void TStrings::BeginUpdate() {
  if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::Assign(const TPersistent& ASource) {
  if (auto* Src = dynamic_cast<const TStrings*>(&ASource)) {
    if (Src == this) return;
    BeginUpdate();
    try {
      Clear();
      AddStrings(*Src);
    } catch (...) {
      EndUpdate();
      throw;
    }
    EndUpdate();
    return;
  }
  TPersistent::Assign(ASource);
}

size_t FindLineBreak(std::string_view AText, size_t AFrom) {
  if (AFrom >= AText.size()) return std::string_view::npos;
  const char* P = AText.data() + AFrom;
  const char* const End = AText.data() + AText.size();
#if defined(__SSE2__)
  const __m128i Cr = _mm_set1_epi8('\r');
  const __m128i Lf = _mm_set1_epi8('\n');
  for (; End - P >= 16; P += 16) {
    const __m128i V = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
    const auto Mask =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(V, Cr), _mm_cmpeq_epi8(V, Lf))));
    if (Mask != 0) return static_cast<size_t>(P - AText.data()) + static_cast<size_t>(std::countr_zero(Mask));
  }
#endif
  for (; P < End; ++P)
    if (*P == '\r' || *P == '\n') return static_cast<size_t>(P - AText.data());
  return std::string_view::npos;
}

void AppendLinesOf(std::string_view AText, std::vector<std::string>& ALines) {
  const char* P = AText.data();
  const char* End = P + AText.size();
  // The next CR and LF, each searched again only once passed.
  const char* NextCr = P ? static_cast<const char*>(std::memchr(P, '\r', AText.size())) : nullptr;
  const char* NextLf = P ? static_cast<const char*>(std::memchr(P, '\n', AText.size())) : nullptr;
  const char* Start = P;
  while (Start < End) {
    if (NextCr && NextCr < Start)
      NextCr = static_cast<const char*>(std::memchr(Start, '\r', static_cast<size_t>(End - Start)));
    if (NextLf && NextLf < Start)
      NextLf = static_cast<const char*>(std::memchr(Start, '\n', static_cast<size_t>(End - Start)));
    const char* Break = NextCr && (!NextLf || NextCr < NextLf) ? NextCr : NextLf;
    if (!Break) {
      ALines.emplace_back(Start, static_cast<size_t>(End - Start));
      break;
    }
    ALines.emplace_back(Start, static_cast<size_t>(Break - Start));
    Start = Break + 1;
    if (*Break == '\r' && Start < End && *Start == '\n') ++Start;
  }
}

void WriteLines(const TStrings& ALines, int AFirst, int AEnd, TStream& AStream) {
  // Lines go to the stream as they are, without joining them into one text
  // first: in place when the stream offers room, else in large writes. A
  // string list's lines are read straight from its vector, not through
  // a checked virtual call per line (a part's data is most of a message).
  const auto* Vector = ALines.LineVector();
  if (Vector && (AFirst < 0 || AEnd > static_cast<int>(Vector->size()))) Vector = nullptr;
  const auto LineAt = [&](int I) -> const std::string& {
    return Vector ? (*Vector)[static_cast<size_t>(I)] : ALines.Get(I);
  };
  size_t Size = 0;
  for (int I = AFirst; I < AEnd; ++I) Size += LineAt(I).size() + 2;
  if (auto* W = reinterpret_cast<char*>(AStream.BeginWrite(static_cast<int64_t>(Size)))) {
    for (int I = AFirst; I < AEnd; ++I) {
      const std::string& Line = LineAt(I);
      std::memcpy(W, Line.data(), Line.size());
      W += Line.size();
      *W++ = '\r';
      *W++ = '\n';
    }
    AStream.EndWrite(static_cast<int64_t>(Size));
    return;
  }
  constexpr size_t kChunk = 1 << 16;
  std::string Buffer;
  Buffer.reserve(kChunk);
  for (int I = AFirst; I < AEnd; ++I) {
    Buffer += LineAt(I);
    Buffer += "\r\n";
    if (Buffer.size() >= kChunk) {
      AStream.WriteBuffer(Buffer.data(), static_cast<int64_t>(Buffer.size()));
      Buffer.clear();
    }
  }
  if (!Buffer.empty()) AStream.WriteBuffer(Buffer.data(), static_cast<int64_t>(Buffer.size()));
}

// ---- TStringList ----

void TStringList::CheckIndex(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
}

const std::string& TStringList::Get(int AIndex) const {
  CheckIndex(AIndex);
  return FLines[static_cast<size_t>(AIndex)];
}

void TStringList::Put(int AIndex, const std::string& AValue) {
  CheckIndex(AIndex);
  Changing();
  FLines[static_cast<size_t>(AIndex)] = AValue;
  Changed();
}

void TStringList::Insert(int AIndex, const std::string& AValue) {
  if (AIndex < 0 || AIndex > Count())
    throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  Changing();
  FLines.insert(FLines.begin() + AIndex, AValue);
  Changed();
}

void TStringList::SetText(std::string_view AText) {
  std::vector<std::string> Lines;
  Lines.reserve(AText.size() / 40 + 1);
  AppendLinesOf(AText, Lines);
  SetLines(std::move(Lines));
}

void TStringList::SetLines(std::vector<std::string>&& ALines) {
  if (ALines.empty() && FLines.empty()) return;
  Changing();
  FLines = std::move(ALines);
  Changed();
}

void TStringList::Append(std::string AValue) {
  Changing();
  FLines.push_back(std::move(AValue));
  Changed();
}

void TStringList::AppendToLast(std::string_view AText) {
  Changing();
  if (FLines.empty())
    FLines.emplace_back(AText);
  else
    FLines.back().append(AText);
  Changed();
}

void TStringList::AppendLines(std::vector<std::string>&& ALines) {
  if (ALines.empty()) return;
  Changing();
  if (FLines.empty()) {
    FLines = std::move(ALines);
  } else {
    // Grown by doubling when short: an exact fit on every call would move
    // every line again on each of many small appends.
    const size_t Need = FLines.size() + ALines.size();
    if (Need > FLines.capacity()) FLines.reserve(std::max(Need, 2 * FLines.capacity()));
    std::move(ALines.begin(), ALines.end(), std::back_inserter(FLines));
  }
  ALines.clear();
  Changed();
}

void TStringList::Delete(int AIndex) {
  CheckIndex(AIndex);
  Changing();
  FLines.erase(FLines.begin() + AIndex);
  Changed();
}

void TStringList::Clear() {
  if (FLines.empty()) return;
  Changing();
  FLines.clear();
  Changed();
}

void TStringList::SetUpdateState(bool AUpdating) {
  FUpdating = AUpdating;
  if (AUpdating) {
    FChangedWhileUpdating = false;
    if (OnChanging) OnChanging(this);
  } else if (FChangedWhileUpdating) {
    FChangedWhileUpdating = false;
    if (OnChange) OnChange(this);
  }
}

void TStringList::Changing() {
  if (!FUpdating && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
  if (FUpdating) {
    FChangedWhileUpdating = true;
    return;
  }
  if (OnChange) OnChange(this);
}

}  // namespace qm
