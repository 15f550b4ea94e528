#include "core/qmSysUtils.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/qmException.h"

namespace qm {

namespace {
inline char AsciiUpper(char C) { return (C >= 'a' && C <= 'z') ? char(C - 32) : C; }
inline char AsciiLower(char C) { return (C >= 'A' && C <= 'Z') ? char(C + 32) : C; }
inline bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }
}  // namespace

std::string Trim(std::string_view S) {
  size_t B = 0, E = S.size();
  while (B < E && IsBlank(S[B])) ++B;
  while (E > B && IsBlank(S[E - 1])) --E;
  return std::string(S.substr(B, E - B));
}

std::string TrimLeft(std::string_view S) {
  size_t B = 0;
  while (B < S.size() && IsBlank(S[B])) ++B;
  return std::string(S.substr(B));
}

std::string TrimRight(std::string_view S) {
  size_t E = S.size();
  while (E > 0 && IsBlank(S[E - 1])) --E;
  return std::string(S.substr(0, E));
}

std::string UpperCase(std::string_view S) {
  std::string R(S);
  for (char& C : R) C = AsciiUpper(C);
  return R;
}

std::string LowerCase(std::string_view S) {
  std::string R(S);
  for (char& C : R) C = AsciiLower(C);
  return R;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (AsciiLower(A[I]) != AsciiLower(B[I])) return false;
  return true;
}

int CompareText(std::string_view A, std::string_view B) {
  size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I) {
    unsigned char X = static_cast<unsigned char>(AsciiLower(A[I]));
    unsigned char Y = static_cast<unsigned char>(AsciiLower(B[I]));
    if (X != Y) return X < Y ? -1 : 1;
  }
  if (A.size() == B.size()) return 0;
  return A.size() < B.size() ? -1 : 1;
}

bool StartsText(std::string_view Prefix, std::string_view S) {
  return S.size() >= Prefix.size() && SameText(S.substr(0, Prefix.size()), Prefix);
}

bool EndsText(std::string_view Suffix, std::string_view S) {
  return S.size() >= Suffix.size() && SameText(S.substr(S.size() - Suffix.size()), Suffix);
}

size_t FindText(std::string_view Sub, std::string_view S, size_t Start) {
  if (Sub.empty()) return Start <= S.size() ? Start : std::string::npos;
  if (S.size() < Sub.size()) return std::string::npos;
  for (size_t I = Start; I + Sub.size() <= S.size(); ++I)
    if (SameText(S.substr(I, Sub.size()), Sub)) return I;
  return std::string::npos;
}

bool TryStrToInt64(std::string_view S, int64_t& AValue) {
  if (S.empty()) return false;
  const char* First = S.data();
  const char* Last = S.data() + S.size();
  if (*First == '+') ++First;
  if (First == Last) return false;
  auto [Ptr, Ec] = std::from_chars(First, Last, AValue);
  return Ec == std::errc() && Ptr == Last;
}

bool TryStrToInt(std::string_view S, int& AValue) {
  int64_t V;
  if (!TryStrToInt64(S, V) || V < INT32_MIN || V > INT32_MAX) return false;
  AValue = static_cast<int>(V);
  return true;
}

int64_t StrToInt64(std::string_view S) {
  int64_t V;
  if (!TryStrToInt64(S, V))
    throw EConvertError("'" + std::string(S) + "' is not a valid integer value");
  return V;
}

int StrToInt(std::string_view S) {
  int V;
  if (!TryStrToInt(S, V))
    throw EConvertError("'" + std::string(S) + "' is not a valid integer value");
  return V;
}

int StrToIntDef(std::string_view S, int ADefault) {
  int V;
  return TryStrToInt(S, V) ? V : ADefault;
}

std::string IntToStr(int64_t AValue) { return std::to_string(AValue); }

std::string FormatV(const char* AFormat, va_list Args) {
  va_list Copy;
  va_copy(Copy, Args);
  char Small[256];
  int N = std::vsnprintf(Small, sizeof Small, AFormat, Copy);
  va_end(Copy);
  if (N < 0) return std::string();
  if (static_cast<size_t>(N) < sizeof Small) return std::string(Small, static_cast<size_t>(N));
  std::string R(static_cast<size_t>(N) + 1, '\0');
  std::vsnprintf(R.data(), R.size(), AFormat, Args);
  R.resize(static_cast<size_t>(N));
  return R;
}

std::string Format(const char* AFormat, ...) {
  va_list Args;
  va_start(Args, AFormat);
  std::string R = FormatV(AFormat, Args);
  va_end(Args);
  return R;
}

}  // namespace qm
