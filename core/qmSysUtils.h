// Small text helpers used across the library. Case rules are ASCII only:
// system text is UTF-8 and protocol keywords are ASCII.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

/// S without the characters up to ' ' (spaces and controls) at both ends.
std::string Trim(std::string_view S);
/// Trim at the start only.
std::string TrimLeft(std::string_view S);
/// Trim at the end only.
std::string TrimRight(std::string_view S);
/// ASCII letters in upper case; other bytes unchanged.
std::string UpperCase(std::string_view S);
/// ASCII letters in lower case; other bytes unchanged.
std::string LowerCase(std::string_view S);
/// Equal ignoring ASCII case.
bool SameText(std::string_view A, std::string_view B);
/// Less than 0, 0 or greater than 0, ignoring ASCII case.
int CompareText(std::string_view A, std::string_view B);
/// S begins with Prefix, ignoring ASCII case.
bool StartsText(std::string_view Prefix, std::string_view S);
/// S ends with Suffix, ignoring ASCII case.
bool EndsText(std::string_view Suffix, std::string_view S);
/// Position of Sub in S ignoring ASCII case, std::string::npos when absent.
size_t FindText(std::string_view Sub, std::string_view S, size_t Start = 0);

/// Strict decimal conversion: optional sign, digits, nothing else. Raises
/// EConvertError "'\<text\>' is not a valid integer value", also on overflow.
int StrToInt(std::string_view S);
/// StrToInt for 64 bits.
int64_t StrToInt64(std::string_view S);
/// StrToInt, or ADefault where it would raise.
int StrToIntDef(std::string_view S, int ADefault);
/// StrToInt without raising: false (AValue untouched) where it would raise.
bool TryStrToInt(std::string_view S, int& AValue);
/// TryStrToInt for 64 bits.
bool TryStrToInt64(std::string_view S, int64_t& AValue);
/// Decimal text, "-" for negative values.
std::string IntToStr(int64_t AValue);

/// printf-style formatting into a std::string.
std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
/// Format with a va_list.
std::string FormatV(const char* AFormat, va_list Args);

}  // namespace qm
