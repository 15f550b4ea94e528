#include "mail/qmImapUtf7.h"

#include <cstdint>
#include <vector>

#include "core/qmTranslator.h"

namespace qm {

namespace {

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Sextet(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == ',') return 63;
  return -1;
}

// The next code point of UTF-8 text; U+FFFD for a bad or cut sequence.
uint32_t NextCodePoint(std::string_view AText, size_t& AIndex) {
  const auto B = static_cast<unsigned char>(AText[AIndex++]);
  if (B < 0x80) return B;
  int More = 0;
  uint32_t Cp = 0;
  if ((B & 0xE0) == 0xC0) More = 1, Cp = B & 0x1F;
  else if ((B & 0xF0) == 0xE0) More = 2, Cp = B & 0x0F;
  else if ((B & 0xF8) == 0xF0) More = 3, Cp = B & 0x07;
  else return 0xFFFD;
  const size_t Start = AIndex;
  for (int I = 0; I < More; ++I) {
    if (AIndex >= AText.size() || (static_cast<unsigned char>(AText[AIndex]) & 0xC0) != 0x80) return 0xFFFD;
    Cp = (Cp << 6) | (static_cast<unsigned char>(AText[AIndex++]) & 0x3F);
  }
  static const uint32_t Least[] = {0, 0x80, 0x800, 0x10000};
  if (Cp < Least[More] || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) {
    AIndex = Start;
    return 0xFFFD;
  }
  return Cp;
}


void PutRun(std::string& AOut, const std::vector<uint16_t>& AUnits) {
  AOut += '&';
  uint32_t Bits = 0;
  int Count = 0;
  for (uint16_t U : AUnits) {
    Bits = (Bits << 16) | U;
    Count += 16;
    while (Count >= 6) {
      Count -= 6;
      AOut += Alphabet[(Bits >> Count) & 0x3F];
    }
  }
  if (Count > 0) AOut += Alphabet[(Bits << (6 - Count)) & 0x3F];
  AOut += '-';
}

}  // namespace

std::string ImapEncodeMailboxName(std::string_view AName) {
  std::string Out;
  std::vector<uint16_t> Run;
  size_t I = 0;
  while (I < AName.size()) {
    const uint32_t Cp = NextCodePoint(AName, I);
    if (Cp >= 0x20 && Cp <= 0x7E) {
      if (!Run.empty()) PutRun(Out, Run), Run.clear();
      Out += static_cast<char>(Cp);
      if (Cp == '&') Out += '-';
    } else if (Cp >= 0x10000) {
      Run.push_back(static_cast<uint16_t>(0xD800 + ((Cp - 0x10000) >> 10)));
      Run.push_back(static_cast<uint16_t>(0xDC00 + ((Cp - 0x10000) & 0x3FF)));
    } else {
      Run.push_back(static_cast<uint16_t>(Cp));
    }
  }
  if (!Run.empty()) PutRun(Out, Run);
  return Out;
}

bool ImapDecodeMailboxName(std::string_view AName, std::string& AResult) {
  std::string Out;
  size_t I = 0;
  while (I < AName.size()) {
    const auto C = static_cast<unsigned char>(AName[I]);
    if (C < 0x20 || C > 0x7E) return false;
    if (C != '&') {
      Out += static_cast<char>(C);
      ++I;
      continue;
    }
    ++I;
    const size_t Dash = AName.find('-', I);
    if (Dash == std::string_view::npos) return false;
    if (Dash == I) {
      Out += '&';
      I = Dash + 1;
      continue;
    }
    uint32_t Bits = 0;
    int Count = 0;
    uint32_t High = 0;
    for (; I < Dash; ++I) {
      const int V = Sextet(AName[I]);
      if (V < 0) return false;
      Bits = (Bits << 6) | static_cast<uint32_t>(V);
      Count += 6;
      if (Count < 16) continue;
      Count -= 16;
      const uint32_t Unit = (Bits >> Count) & 0xFFFF;
      Bits &= (1u << Count) - 1;
      if (High) {
        if (Unit < 0xDC00 || Unit > 0xDFFF) return false;
        AppendUtf8(Out, 0x10000 + ((High - 0xD800) << 10) + (Unit - 0xDC00));
        High = 0;
      } else if (Unit >= 0xD800 && Unit <= 0xDBFF) {
        High = Unit;
      } else if (Unit >= 0xDC00 && Unit <= 0xDFFF) {
        return false;
      } else if (Unit >= 0x20 && Unit <= 0x7E) {
        // Printable ASCII must stand for itself.
        return false;
      } else {
        AppendUtf8(Out, Unit);
      }
    }
    // Padding: fewer than 6 bits, all zero; no half pair left.
    if (Count >= 6 || Bits != 0 || High) return false;
    I = Dash + 1;
  }
  AResult = std::move(Out);
  return true;
}

}  // namespace qm
