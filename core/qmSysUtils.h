// Small text helpers used across the library. Case rules are ASCII only:
// system text is UTF-8 and protocol keywords are ASCII.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

std::string Trim(std::string_view S);       // removes characters <= ' ' at both ends
std::string TrimLeft(std::string_view S);
std::string TrimRight(std::string_view S);
std::string UpperCase(std::string_view S);
std::string LowerCase(std::string_view S);
bool SameText(std::string_view A, std::string_view B);   // equal ignoring ASCII case
int CompareText(std::string_view A, std::string_view B); // <0, 0, >0 ignoring ASCII case
bool StartsText(std::string_view Prefix, std::string_view S);
bool EndsText(std::string_view Suffix, std::string_view S);
// Position of Sub in S ignoring ASCII case, std::string::npos when absent.
size_t FindText(std::string_view Sub, std::string_view S, size_t Start = 0);

// Strict decimal conversion: optional sign, digits, nothing else.
// Raises EConvertError "'<text>' is not a valid integer value".
int StrToInt(std::string_view S);
int64_t StrToInt64(std::string_view S);
int StrToIntDef(std::string_view S, int ADefault);
bool TryStrToInt(std::string_view S, int& AValue);
bool TryStrToInt64(std::string_view S, int64_t& AValue);
std::string IntToStr(int64_t AValue);

// printf-style formatting into a std::string.
std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* AFormat, va_list Args);

}  // namespace qm
