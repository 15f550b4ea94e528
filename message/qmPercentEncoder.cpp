#include "message/qmPercentEncoder.h"

#include "core/qmTranslator.h"

namespace qm {

namespace {

int HexValue(uint8_t C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  return -1;
}

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

void TqmPercentEncoder::SetUnsafeChars(const std::string& AValue) {
  FUnsafeChars = AValue;
  for (bool& B : FUnsafeTable) B = false;
  // Kept as "us-ascii" bytes: the name passes bytes unchanged.
  for (unsigned char C : FUnsafeChars) FUnsafeTable[C] = true;
}

bool TqmPercentEncoder::IsUnsafeChar(uint8_t AChar) const {
  if (FUnsafeChars.empty()) return false;
  return FUnsafeTable[AChar] || AChar < 32 || AChar >= 127;
}

TqmByteArray TqmPercentEncoder::DecodeBytes(std::string_view AText) const {
  TqmByteArray Result;
  Result.reserve(AText.size());
  const size_t N = AText.size();
  for (size_t I = 0; I < N; ++I) {
    const uint8_t C = static_cast<uint8_t>(AText[I]);
    if (C == '%' && I + 2 < N) {
      const int H = HexValue(static_cast<uint8_t>(AText[I + 1]));
      const int L = HexValue(static_cast<uint8_t>(AText[I + 2]));
      if (H >= 0 && L >= 0) {
        Result.push_back(static_cast<uint8_t>(H * 16 + L));
        I += 2;
        continue;
      }
    }
    Result.push_back(C == '%' ? C : DecodeChar(C));
  }
  return Result;
}

std::string TqmPercentEncoder::EncodeBytes(const TqmByteArray& AData) const {
  return EncodeBytes(AData.data(), AData.size());
}

std::string TqmPercentEncoder::EncodeBytes(const void* AData, size_t ACount) const {
  const uint8_t* P = static_cast<const uint8_t*>(AData);
  std::string Result;
  Result.reserve(ACount);
  for (size_t I = 0; I < ACount; ++I) {
    const uint8_t C = P[I];
    if (FKeepEscapes && C == '%' && I + 2 < ACount && HexValue(P[I + 1]) >= 0 &&
        HexValue(P[I + 2]) >= 0) {
      Result.append(reinterpret_cast<const char*>(P + I), 3);
      I += 2;
      continue;
    }
    if (IsUnsafeChar(C)) {
      Result += '%';
      Result += kHexDigits[C >> 4];
      Result += kHexDigits[C & 15];
    } else {
      Result += static_cast<char>(EncodeChar(C));
    }
  }
  return Result;
}

std::string TqmPercentEncoder::Encode(std::string_view AText, std::string_view ACharSet) const {
  return EncodeBytes(TqmTranslator::GetBytes(AText, ACharSet));
}

std::string TqmPercentEncoder::Decode(std::string_view AText, std::string_view ACharSet) const {
  return TqmTranslator::GetString(DecodeBytes(AText), ACharSet);
}

bool TqmRfc2231HeaderEncoder::IsUnsafeChar(uint8_t AChar) const {
  const bool Safe = (AChar >= '!' && AChar <= ':') || AChar == '<' || (AChar >= '>' && AChar <= '~');
  return !Safe;
}

void TqmRfc2231HeaderEncoder::SplitValue(std::string_view AText, std::string& ACharSet,
                                         std::string& ALanguage, std::string& AValue,
                                         bool& AFound) const {
  const size_t P1 = AText.find('\'');
  const size_t P2 = P1 == std::string_view::npos ? P1 : AText.find('\'', P1 + 1);
  AFound = P2 != std::string_view::npos;
  if (!AFound) {
    ACharSet.clear();
    ALanguage.clear();
    AValue = std::string(AText);
    return;
  }
  ACharSet = std::string(AText.substr(0, P1));
  ALanguage = std::string(AText.substr(P1 + 1, P2 - P1 - 1));
  AValue = std::string(AText.substr(P2 + 1));
}

std::string TqmRfc2231HeaderEncoder::FormatValue(std::string_view AEncoded,
                                                 std::string_view ACharSet,
                                                 std::string_view ALanguage) const {
  std::string Result(ACharSet);
  Result += '\'';
  Result += ALanguage;
  Result += '\'';
  Result += AEncoded;
  return Result;
}

std::string TqmRfc2231HeaderEncoder::EncodeValue(std::string_view AValue,
                                                 std::string_view ACharSet,
                                                 std::string_view ALanguage) {
  FCharSet = std::string(ACharSet);
  FValueLanguage = std::string(ALanguage);
  if (ACharSet.empty()) return std::string(AValue);
  return FormatValue(Encode(AValue, ACharSet), ACharSet, ALanguage);
}

std::string TqmRfc2231HeaderEncoder::DecodeValue(std::string_view AText) {
  std::string Value;
  bool Found = false;
  SplitValue(AText, FCharSet, FValueLanguage, Value, Found);
  if (!Found) return std::string(AText);
  return Decode(Value, FCharSet);
}

}  // namespace qm
