#include "core/qmTranslator.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QM_HAVE_SSSE3_PATH 1
#endif

#include "core/qmStream.h"
#include "core/qmSysUtils.h"

namespace qm {

namespace {

// ---------------------------------------------------------------------------
// Code page tables: the characters of bytes 0x80-0xFF (bytes below 0x80 are
// ASCII in every table charset).

// ISO-8859-2.
constexpr uint16_t kIso8859_2[128] = {
    0x0080, 0x0081, 0x0082, 0x0083, 0x0084, 0x0085, 0x0086, 0x0087,
    0x0088, 0x0089, 0x008A, 0x008B, 0x008C, 0x008D, 0x008E, 0x008F,
    0x0090, 0x0091, 0x0092, 0x0093, 0x0094, 0x0095, 0x0096, 0x0097,
    0x0098, 0x0099, 0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F,
    0x00A0, 0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A, 0x00A7,
    0x00A8, 0x0160, 0x015E, 0x0164, 0x0179, 0x00AD, 0x017D, 0x017B,
    0x00B0, 0x0105, 0x02DB, 0x0142, 0x00B4, 0x013E, 0x015B, 0x02C7,
    0x00B8, 0x0161, 0x015F, 0x0165, 0x017A, 0x02DD, 0x017E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};
// Windows-1250.
constexpr uint16_t kWindows1250[128] = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};
// IBM866.
constexpr uint16_t kIbm866[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};
// ISO-8859-5.
constexpr uint16_t kIso8859_5[128] = {
    0x0080, 0x0081, 0x0082, 0x0083, 0x0084, 0x0085, 0x0086, 0x0087,
    0x0088, 0x0089, 0x008A, 0x008B, 0x008C, 0x008D, 0x008E, 0x008F,
    0x0090, 0x0091, 0x0092, 0x0093, 0x0094, 0x0095, 0x0096, 0x0097,
    0x0098, 0x0099, 0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F,
    0x00A0, 0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407,
    0x0408, 0x0409, 0x040A, 0x040B, 0x040C, 0x00AD, 0x040E, 0x040F,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x2116, 0x0451, 0x0452, 0x0453, 0x0454, 0x0455, 0x0456, 0x0457,
    0x0458, 0x0459, 0x045A, 0x045B, 0x045C, 0x00A7, 0x045E, 0x045F,
};
// KOI8-R.
constexpr uint16_t kKoi8R[128] = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524,
    0x252C, 0x2534, 0x253C, 0x2580, 0x2584, 0x2588, 0x258C, 0x2590,
    0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7,
    0x2550, 0x2551, 0x2552, 0x0451, 0x2553, 0x2554, 0x2555, 0x2556,
    0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x255C, 0x255D, 0x255E,
    0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564, 0x2565,
    0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x00A9,
    0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E,
    0x043F, 0x044F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0436, 0x0432,
    0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413,
    0x0425, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E,
    0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,
};
// KOI8-U.
constexpr uint16_t kKoi8U[128] = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524,
    0x252C, 0x2534, 0x253C, 0x2580, 0x2584, 0x2588, 0x258C, 0x2590,
    0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7,
    0x2550, 0x2551, 0x2552, 0x0451, 0x0454, 0x2554, 0x0456, 0x0457,
    0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x0491, 0x255D, 0x255E,
    0x255F, 0x2560, 0x2561, 0x0401, 0x0404, 0x2563, 0x0406, 0x0407,
    0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x0490, 0x256C, 0x00A9,
    0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E,
    0x043F, 0x044F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0436, 0x0432,
    0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413,
    0x0425, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E,
    0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,
};
// Windows-1251.
constexpr uint16_t kWindows1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};
// Mac Cyrillic.
constexpr uint16_t kMacCyrillic[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x2020, 0x00B0, 0x0490, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x0406,
    0x00AE, 0x00A9, 0x2122, 0x0402, 0x0452, 0x2260, 0x0403, 0x0453,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x0456, 0x00B5, 0x0491, 0x0408,
    0x0404, 0x0454, 0x0407, 0x0457, 0x0409, 0x0459, 0x040A, 0x045A,
    0x0458, 0x0405, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x040B, 0x045B, 0x040C, 0x045C, 0x0455,
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x201E,
    0x040E, 0x045E, 0x040F, 0x045F, 0x2116, 0x0401, 0x0451, 0x044F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x00A4,
};

// A table charset: one character per byte, both ways.
struct TCharTable {
  uint16_t Decode[256];
  // The UTF-8 form of each byte's character (up to 3 bytes, little end
  // first) and its length, so decoding is one lookup and one store per byte.
  uint32_t Utf8[256];
  uint8_t Utf8Len[256];
  // Character -> byte, in pages of 256 characters; a missing page or an
  // entry whose byte does not decode back to the character means "none".
  std::array<std::unique_ptr<uint8_t[]>, 256> Pages;

  explicit TCharTable(const uint16_t* AHigh) {
    for (int B = 0; B < 256; ++B) Decode[B] = B < 0x80 || !AHigh ? uint16_t(B) : AHigh[B - 0x80];
    for (int B = 0; B < 256; ++B) {
      uint32_t C = Decode[B];
      if (C < 0x80) {
        Utf8[B] = C;
        Utf8Len[B] = 1;
      } else if (C < 0x800) {
        Utf8[B] = (0xC0 | (C >> 6)) | (0x80 | (C & 0x3F)) << 8;
        Utf8Len[B] = 2;
      } else {
        Utf8[B] = (0xE0 | (C >> 12)) | (0x80 | ((C >> 6) & 0x3F)) << 8 | (0x80 | (C & 0x3F)) << 16;
        Utf8Len[B] = 3;
      }
    }
    for (int B = 255; B >= 0; --B) AddEncoding(Decode[B], uint8_t(B));
  }

  void AddEncoding(uint32_t AChar, uint8_t AByte) {
    auto& Page = Pages[AChar >> 8];
    if (!Page) {
      Page = std::make_unique<uint8_t[]>(256);
      std::memset(Page.get(), 0, 256);
    }
    Page[AChar & 0xFF] = AByte;
  }

  // The byte for a character, or -1.
  int Encode(uint32_t AChar) const {
    if (AChar < 0x80) return int(AChar);
    if (AChar > 0xFFFF) return -1;
    const uint8_t* Page = Pages[AChar >> 8].get();
    if (!Page) return -1;
    uint8_t B = Page[AChar & 0xFF];
    return Decode[B] == AChar || Extra(AChar, B) ? B : -1;
  }

  // Second spellings accepted when encoding (see the Mac Cyrillic table).
  uint32_t ExtraChar = 0;
  bool Extra(uint32_t AChar, uint8_t AByte) const {
    return ExtraChar != 0 && AChar == ExtraChar && Decode[AByte] != AChar;
  }
};

struct TTableEntry {
  const char* Name;
  const TCharTable* Table;
};

const TCharTable& Latin1Table() {
  static const TCharTable T(nullptr);
  return T;
}

const std::array<TTableEntry, 12>& CharTables() {
  static const TCharTable Iso2(kIso8859_2), Win1250(kWindows1250), Ibm866(kIbm866),
      Iso5(kIso8859_5), Koi8R(kKoi8R), Koi8U(kKoi8U), Win1251(kWindows1251);
  static const TCharTable& MacCyr = [] () -> const TCharTable& {
    static TCharTable T(kMacCyrillic);
    // Newer Mac Cyrillic tables put the euro sign on 0xFF instead of the
    // currency sign; accept it when encoding.
    T.AddEncoding(0x20AC, 0xFF);
    T.ExtraChar = 0x20AC;
    return T;
  }();
  static const std::array<TTableEntry, 12> Entries = {{
      {"ISO-8859-1", &Latin1Table()},
      {"ISO-8859-2", &Iso2},
      {"Windows-1250", &Win1250},
      {"ibm866", &Ibm866},
      {"ISO-8859-5", &Iso5},
      {"koi8-r", &Koi8R},
      {"koi8-u", &Koi8U},
      // Recoding KOI8-R into the Windows-1251 system text: the wire is KOI8-R.
      {"KOI8-WIN", &Koi8R},
      // Recoding Windows-1251 into KOI8-R: the wire is Windows-1251.
      {"WIN-KOI8", &Win1251},
      {"Windows-1251", &Win1251},
      {"x-mac-cyrillic", &MacCyr},
      {"Latin1", &Latin1Table()},
  }};
  return Entries;
}

const TCharTable* FindTable(std::string_view ACharSet) {
  for (const auto& E : CharTables())
    if (SameText(E.Name, ACharSet)) return E.Table;
  return nullptr;
}

enum class TKind { Utf8, Table, Pass, Iconv };

bool IsUtf8Name(std::string_view ACharSet) {
  return SameText(ACharSet, "utf-8") || SameText(ACharSet, "utf8");
}

bool IsPassName(std::string_view ACharSet) {
  return ACharSet.empty() || SameText(ACharSet, "us-ascii");
}

// ---------------------------------------------------------------------------
// UTF-8

constexpr uint64_t kHighBits = 0x8080808080808080ull;
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

inline uint64_t Load64(const uint8_t* P) {
  uint64_t V;
  std::memcpy(&V, P, 8);
  return V;
}

// Length of the sequence a lead byte starts and the range its second byte
// must be in (the other continuation bytes are 0x80-0xBF); 0 for a byte
// that cannot start a sequence.
struct TLead {
  uint8_t Len, Lo, Hi;
};
constexpr TLead LeadInfo(uint8_t B) {
  if (B < 0x80) return {1, 0, 0};
  if (B < 0xC2) return {0, 0, 0};
  if (B < 0xE0) return {2, 0x80, 0xBF};
  if (B == 0xE0) return {3, 0xA0, 0xBF};
  if (B == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (B < 0xF0) return {3, 0x80, 0xBF};
  if (B == 0xF0) return {4, 0x90, 0xBF};
  if (B < 0xF4) return {4, 0x80, 0xBF};
  if (B == 0xF4) return {4, 0x80, 0x8F};  // nothing past U+10FFFF
  return {0, 0, 0};
}

// Checks one sequence at P (P < E). Returns its length when it is complete
// and valid; otherwise 0 and AInvalid = the length of its maximal invalid
// part, or AInvalid = 0 when the data ends inside a so far valid sequence.
inline size_t CheckSequence(const uint8_t* P, const uint8_t* E, size_t& AInvalid) {
  TLead L = LeadInfo(*P);
  if (L.Len == 0) {
    AInvalid = 1;
    return 0;
  }
  for (size_t K = 1; K < L.Len; ++K) {
    if (P + K >= E) {
      AInvalid = 0;
      return 0;
    }
    uint8_t C = P[K];
    bool Ok = K == 1 ? (C >= L.Lo && C <= L.Hi) : (C >= 0x80 && C <= 0xBF);
    if (!Ok) {
      AInvalid = K;
      return 0;
    }
  }
  return L.Len;
}

bool ValidateScalar(const uint8_t* P, size_t N) {
  const uint8_t* E = P + N;
  while (P < E) {
    if (E - P >= 8 && (Load64(P) & kHighBits) == 0) {
      P += 8;
      continue;
    }
    if (*P < 0x80) {
      ++P;
      continue;
    }
    size_t Bad;
    size_t Len = CheckSequence(P, E, Bad);
    if (Len == 0) return false;
    P += Len;
  }
  return true;
}

#ifdef QM_HAVE_SSSE3_PATH
// Lookup-table validation, 16 bytes at a time (the method of Keiser and
// Lemire): every error shows up as a bit in the AND of three nibble lookups
// over each byte and the byte before it, plus a check that 3rd and 4th
// bytes of long sequences are continuation bytes. Validates whole 16-byte
// blocks; returns the number of bytes it covered (a sequence may still run
// past that point) or SIZE_MAX on an error.
__attribute__((target("ssse3"))) size_t ValidateSsse3(const uint8_t* S, size_t N) {
  constexpr uint8_t TooShort = 1 << 0, TooLong = 1 << 1, Overlong3 = 1 << 2, TooLarge = 1 << 3,
                    Surrogate = 1 << 4, Overlong2 = 1 << 5, TooLarge1000 = 1 << 6,
                    Overlong4 = 1 << 6, TwoConts = 1 << 7;
  constexpr uint8_t Carry = TooShort | TooLong | TwoConts;
  const __m128i Byte1High = _mm_setr_epi8(
      TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TwoConts, TwoConts,
      TwoConts, TwoConts, TooShort | Overlong2, TooShort, TooShort | Overlong3 | Surrogate,
      char(TooShort | TooLarge | TooLarge1000 | Overlong4));
  const __m128i Byte1Low = _mm_setr_epi8(
      char(Carry | Overlong3 | Overlong2 | Overlong4), char(Carry | Overlong2), char(Carry),
      char(Carry), char(Carry | TooLarge), char(Carry | TooLarge | TooLarge1000),
      char(Carry | TooLarge | TooLarge1000), char(Carry | TooLarge | TooLarge1000),
      char(Carry | TooLarge | TooLarge1000), char(Carry | TooLarge | TooLarge1000),
      char(Carry | TooLarge | TooLarge1000), char(Carry | TooLarge | TooLarge1000),
      char(Carry | TooLarge | TooLarge1000), char(Carry | TooLarge | TooLarge1000 | Surrogate),
      char(Carry | TooLarge | TooLarge1000), char(Carry | TooLarge | TooLarge1000));
  const __m128i Byte2High = _mm_setr_epi8(
      TooShort, TooShort, TooShort, TooShort, TooShort, TooShort, TooShort, TooShort,
      char(TooLong | Overlong2 | TwoConts | Overlong3 | TooLarge1000 | Overlong4),
      char(TooLong | Overlong2 | TwoConts | Overlong3 | TooLarge),
      char(TooLong | Overlong2 | TwoConts | Surrogate | TooLarge),
      char(TooLong | Overlong2 | TwoConts | Surrogate | TooLarge), TooShort, TooShort, TooShort,
      TooShort);
  const __m128i LowNibble = _mm_set1_epi8(0x0F);
  // A block that ends inside a sequence: last byte >= 0xC0, the one before
  // >= 0xE0, the one before that >= 0xF0.
  const __m128i IncompleteMax = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                              char(0xEF), char(0xDF), char(0xBF));
  __m128i Error = _mm_setzero_si128();
  __m128i Prev = _mm_setzero_si128();
  __m128i PrevIncomplete = _mm_setzero_si128();
  size_t I = 0;
  for (; I + 64 <= N; I += 64) {
    // Skip runs of ASCII 64 bytes at a time.
    __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + I));
    __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + I + 16));
    __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + I + 32));
    __m128i D = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + I + 48));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(A, B), _mm_or_si128(C, D))) == 0) {
      Error = _mm_or_si128(Error, PrevIncomplete);
      PrevIncomplete = _mm_setzero_si128();
      Prev = D;
      continue;
    }
    const __m128i Blocks[4] = {A, B, C, D};
    for (const __m128i& In : Blocks) {
      __m128i Prev1 = _mm_alignr_epi8(In, Prev, 15);
      __m128i Sc = _mm_and_si128(
          _mm_and_si128(
              _mm_shuffle_epi8(Byte1High, _mm_and_si128(_mm_srli_epi16(Prev1, 4), LowNibble)),
              _mm_shuffle_epi8(Byte1Low, _mm_and_si128(Prev1, LowNibble))),
          _mm_shuffle_epi8(Byte2High, _mm_and_si128(_mm_srli_epi16(In, 4), LowNibble)));
      __m128i Prev2 = _mm_alignr_epi8(In, Prev, 14);
      __m128i Prev3 = _mm_alignr_epi8(In, Prev, 13);
      __m128i Must23 = _mm_or_si128(_mm_subs_epu8(Prev2, _mm_set1_epi8(char(0xE0 - 0x80))),
                                    _mm_subs_epu8(Prev3, _mm_set1_epi8(char(0xF0 - 0x80))));
      __m128i Must23_80 = _mm_and_si128(Must23, _mm_set1_epi8(char(0x80)));
      Error = _mm_or_si128(Error, _mm_xor_si128(Must23_80, Sc));
      Prev = In;
    }
    PrevIncomplete = _mm_subs_epu8(D, IncompleteMax);
  }
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(Error, _mm_setzero_si128())) != 0xFFFF) return SIZE_MAX;
  return I;
}
#endif


bool HasSsse3() {
#ifdef QM_HAVE_SSSE3_PATH
  static const bool Has = __builtin_cpu_supports("ssse3");
  return Has;
#else
  return false;
#endif
}

bool ValidateUtf8(const uint8_t* S, size_t N) {
  size_t Start = 0;
#ifdef QM_HAVE_SSSE3_PATH
  if (N >= 64 && HasSsse3()) {
    size_t Done = ValidateSsse3(S, N);
    if (Done == SIZE_MAX) return false;
    // The blocks were checked pair by pair; a sequence may run past the last
    // block, so the rest is checked from its lead byte.
    Start = Done;
    for (size_t K = 1; K <= 3 && K <= Done; ++K) {
      uint8_t B = S[Done - K];
      if (B >= 0xC0) {
        Start = Done - K;
        break;
      }
      if (B < 0x80) break;
    }
  }
#endif
  return ValidateScalar(S + Start, N - Start);
}

// Bytes at the end of S that may be the start of a sequence cut by the end
// of a block.
size_t CutTail(const uint8_t* S, size_t N) {
  for (size_t K = 1; K <= 3 && K <= N; ++K) {
    uint8_t B = S[N - K];
    if (B >= 0xC0) return LeadInfo(B).Len > K ? K : 0;
    if (B < 0x80) return 0;
  }
  return 0;
}

// Decodes with repair, appending to AOut. Without ALast a sequence cut by
// the end is left unread; returns the number of bytes read.
size_t DecodeUtf8Scalar(const uint8_t* S, size_t N, bool ALast, std::string& AOut) {
  const uint8_t* P = S;
  const uint8_t* E = S + N;
  const uint8_t* Run = P;  // start of valid text not yet copied
  while (P < E) {
    if (E - P >= 8 && (Load64(P) & kHighBits) == 0) {
      P += 8;
      continue;
    }
    if (*P < 0x80) {
      ++P;
      continue;
    }
    size_t Bad;
    size_t Len = CheckSequence(P, E, Bad);
    if (Len != 0) {
      P += Len;
      continue;
    }
    AOut.append(reinterpret_cast<const char*>(Run), size_t(P - Run));
    if (Bad == 0) {
      if (!ALast) return size_t(P - S);
      AOut += kReplacement;
      return N;
    }
    AOut += kReplacement;
    P += Bad;
    Run = P;
  }
  AOut.append(reinterpret_cast<const char*>(Run), size_t(P - Run));
  return N;
}

size_t DecodeUtf8(const uint8_t* S, size_t N, bool ALast, std::string& AOut) {
  size_t End = ALast ? N : N - CutTail(S, N);
  if (ValidateUtf8(S, End)) {
    AOut.append(reinterpret_cast<const char*>(S), End);
    return End;
  }
  return DecodeUtf8Scalar(S, N, ALast, AOut);
}

inline uint32_t SequenceValue(const uint8_t* P, size_t ALen) {
  switch (ALen) {
    case 1:
      return P[0];
    case 2:
      return (P[0] & 0x1Fu) << 6 | (P[1] & 0x3Fu);
    case 3:
      return (P[0] & 0x0Fu) << 12 | (P[1] & 0x3Fu) << 6 | (P[2] & 0x3Fu);
    default:
      return (P[0] & 0x07u) << 18 | (P[1] & 0x3Fu) << 12 | (P[2] & 0x3Fu) << 6 | (P[3] & 0x3Fu);
  }
}


// ---------------------------------------------------------------------------
// Table charsets

// Output grows one slice at a time, so the zero-fill of resize stays in the
// cache instead of streaming the worst case through memory first.
constexpr size_t kSlice = 64 * 1024;

void TableDecodeSlice(const TCharTable& T, const uint8_t* S, size_t N, std::string& AOut);

void TableDecode(const TCharTable& T, const uint8_t* S, size_t N, std::string& AOut) {
  AOut.reserve(AOut.size() + N + N / 2);
  for (size_t I = 0; I < N; I += kSlice) TableDecodeSlice(T, S + I, std::min(kSlice, N - I), AOut);
}

void TableDecodeSlice(const TCharTable& T, const uint8_t* S, size_t N, std::string& AOut) {
  size_t Base = AOut.size();
  AOut.resize(Base + 3 * N);
  char* D = AOut.data() + Base;
  size_t I = 0;
  while (I < N) {
    if (N - I >= 8 && (Load64(S + I) & kHighBits) == 0) {
      std::memcpy(D, S + I, 8);
      D += 8;
      I += 8;
      continue;
    }
    uint8_t B = S[I++];
    uint32_t U = T.Utf8[B];
    D[0] = char(U);
    D[1] = char(U >> 8);
    D[2] = char(U >> 16);
    D += T.Utf8Len[B];
  }
  AOut.resize(size_t(D - AOut.data()));
}

// UTF-8 to table bytes; a character the table lacks (or a bad sequence)
// becomes '?'. AOut is a byte container (std::string or TqmByteArray).
template <class TOut>
void TableEncodeSlice(const TCharTable& T, const uint8_t* S, size_t N, TOut& AOut);

template <class TOut>
void TableEncode(const TCharTable& T, const uint8_t* S, size_t N, TOut& AOut) {
  AOut.reserve(AOut.size() + N);
  size_t I = 0;
  while (I < N) {
    // Slices end on a character boundary.
    size_t End = std::min(N, I + kSlice);
    if (End < N) End -= CutTail(S, End);
    if (End <= I) End = std::min(N, I + kSlice);
    TableEncodeSlice(T, S + I, End - I, AOut);
    I = End;
  }
}

template <class TOut>
void TableEncodeSlice(const TCharTable& T, const uint8_t* S, size_t N, TOut& AOut) {
  size_t Base = AOut.size();
  AOut.resize(Base + N);
  auto* D = reinterpret_cast<uint8_t*>(AOut.data()) + Base;
  auto* Start = reinterpret_cast<uint8_t*>(AOut.data());
  const uint8_t* P = S;
  const uint8_t* E = S + N;
  while (P < E) {
    if (E - P >= 8 && (Load64(P) & kHighBits) == 0) {
      std::memcpy(D, P, 8);
      D += 8;
      P += 8;
      continue;
    }
    if (*P < 0x80) {
      *D++ = *P++;
      continue;
    }
    size_t Bad;
    size_t Len = CheckSequence(P, E, Bad);
    if (Len == 0) {
      *D++ = '?';
      P += Bad == 0 ? size_t(E - P) : Bad;
      continue;
    }
    int B = T.Encode(SequenceValue(P, Len));
    *D++ = B < 0 ? uint8_t('?') : uint8_t(B);
    P += Len;
  }
  AOut.resize(size_t(D - Start));
}

// ---------------------------------------------------------------------------
// iconv

const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

// Conversion descriptors are costly to open; each thread keeps the ones it
// used, bounded so that a stream of odd names cannot grow it without end.
struct TIconvCache {
  std::unordered_map<std::string, iconv_t> Entries;
  ~TIconvCache() { Clear(); }
  void Clear() {
    for (auto& E : Entries)
      if (E.second != kNoIconv) iconv_close(E.second);
    Entries.clear();
  }
  iconv_t Get(std::string_view ACharSet, bool AToUtf8) {
    std::string Key = LowerCase(ACharSet);
    Key.push_back(AToUtf8 ? '<' : '>');
    auto It = Entries.find(Key);
    if (It != Entries.end()) return It->second;
    if (Entries.size() >= 64) Clear();
    std::string Name(ACharSet);
    iconv_t Cd = AToUtf8 ? iconv_open("UTF-8", Name.c_str()) : iconv_open(Name.c_str(), "UTF-8");
    Entries.emplace(std::move(Key), Cd);
    return Cd;
  }
};

iconv_t CachedIconv(std::string_view ACharSet, bool AToUtf8) {
  thread_local TIconvCache Cache;
  return Cache.Get(ACharSet, AToUtf8);
}

bool IconvKnows(std::string_view ACharSet) {
  if (ACharSet.find('\0') != std::string_view::npos) return false;
  return CachedIconv(ACharSet, true) != kNoIconv;
}

// Charset bytes to UTF-8, appending to AOut. Bytes that do not decode become
// U+FFFD; without ALast a character cut by the end is left unread. Returns
// the number of bytes read.
size_t IconvDecode(iconv_t Cd, const uint8_t* S, size_t N, bool ALast, std::string& AOut) {
  char* In = const_cast<char*>(reinterpret_cast<const char*>(S));
  size_t InLeft = N;
  size_t Used = AOut.size();
  AOut.resize(Used + N * 2 + 16);
  auto Room = [&](size_t ANeed) {
    if (AOut.size() - Used < ANeed) AOut.resize(AOut.size() * 2 + ANeed);
  };
  while (InLeft > 0) {
    char* Out = AOut.data() + Used;
    size_t OutLeft = AOut.size() - Used;
    size_t R = iconv(Cd, &In, &InLeft, &Out, &OutLeft);
    Used = size_t(Out - AOut.data());
    if (R != size_t(-1)) break;
    int Err = errno;
    if (Err == E2BIG) {
      Room(AOut.size() + 16);
      continue;
    }
    if (Err == EINVAL && !ALast) break;
    Room(3);
    std::memcpy(AOut.data() + Used, kReplacement, 3);
    Used += 3;
    if (Err == EINVAL) {
      InLeft = 0;
      break;
    }
    ++In;
    --InLeft;
  }
  if (ALast) {
    for (;;) {
      Room(16);
      char* Out = AOut.data() + Used;
      size_t OutLeft = AOut.size() - Used;
      size_t R = iconv(Cd, nullptr, nullptr, &Out, &OutLeft);
      Used = size_t(Out - AOut.data());
      if (R != size_t(-1) || errno != E2BIG) break;
      Room(AOut.size() + 16);
    }
  }
  AOut.resize(Used);
  return N - InLeft;
}

// Valid UTF-8 to charset bytes; characters the charset lacks become '?'.
template <class TOut>
void IconvEncode(iconv_t Cd, const uint8_t* S, size_t N, TOut& AOut) {
  iconv(Cd, nullptr, nullptr, nullptr, nullptr);
  char* In = const_cast<char*>(reinterpret_cast<const char*>(S));
  size_t InLeft = N;
  size_t Used = AOut.size();
  AOut.resize(Used + N + 16);
  auto Grow = [&] { AOut.resize(AOut.size() * 2 + 16); };
  bool Flushing = false;
  for (;;) {
    char* Out = reinterpret_cast<char*>(AOut.data()) + Used;
    size_t OutLeft = AOut.size() - Used;
    size_t R = Flushing ? iconv(Cd, nullptr, nullptr, &Out, &OutLeft)
                        : iconv(Cd, &In, &InLeft, &Out, &OutLeft);
    Used = size_t(Out - reinterpret_cast<char*>(AOut.data()));
    if (R != size_t(-1)) {
      if (Flushing) break;
      Flushing = true;
      continue;
    }
    int Err = errno;
    if (Err == E2BIG) {
      Grow();
      continue;
    }
    if (Flushing) break;
    // A character the charset cannot hold: write '?' in the charset instead.
    for (;;) {
      char Q = '?';
      char* QIn = &Q;
      size_t QLeft = 1;
      Out = reinterpret_cast<char*>(AOut.data()) + Used;
      OutLeft = AOut.size() - Used;
      size_t QR = iconv(Cd, &QIn, &QLeft, &Out, &OutLeft);
      Used = size_t(Out - reinterpret_cast<char*>(AOut.data()));
      if (QR == size_t(-1) && errno == E2BIG) {
        Grow();
        continue;
      }
      break;
    }
    size_t Skip = std::max<size_t>(1, LeadInfo(uint8_t(*In)).Len);
    Skip = std::min(Skip, InLeft);
    In += Skip;
    InLeft -= Skip;
    if (Err != EILSEQ && InLeft == 0) Flushing = true;
  }
  AOut.resize(Used);
}

// ---------------------------------------------------------------------------

struct TResolved {
  TKind Kind;
  const TCharTable* Table;
};

TResolved Resolve(std::string_view ACharSet) {
  if (IsUtf8Name(ACharSet)) return {TKind::Utf8, nullptr};
  if (const TCharTable* T = FindTable(ACharSet)) return {TKind::Table, T};
  if (IsPassName(ACharSet)) return {TKind::Pass, nullptr};
  if (IconvKnows(ACharSet)) return {TKind::Iconv, nullptr};
  return {TKind::Pass, nullptr};
}

inline const uint8_t* Bytes(std::string_view S) { return reinterpret_cast<const uint8_t*>(S.data()); }

template <class TOut>
void AppendSanitized(std::string_view AText, TOut& AOut) {
  if (ValidateUtf8(Bytes(AText), AText.size())) {
    AOut.insert(AOut.end(), AText.begin(), AText.end());
  } else {
    std::string S;
    DecodeUtf8Scalar(Bytes(AText), AText.size(), true, S);
    AOut.insert(AOut.end(), S.begin(), S.end());
  }
}

template <class TOut>
void Encode(std::string_view AText, std::string_view ACharSet, TOut& AOut) {
  TResolved R = Resolve(ACharSet);
  switch (R.Kind) {
    case TKind::Utf8:
      AppendSanitized(AText, AOut);
      break;
    case TKind::Table:
      TableEncode(*R.Table, Bytes(AText), AText.size(), AOut);
      break;
    case TKind::Pass:
      AOut.insert(AOut.end(), AText.begin(), AText.end());
      break;
    case TKind::Iconv: {
      iconv_t Cd = CachedIconv(ACharSet, false);
      if (Cd == kNoIconv) {  // a decoder without an encoder
        AOut.insert(AOut.end(), AText.begin(), AText.end());
        break;
      }
      std::string Valid;
      AppendSanitized(AText, Valid);
      IconvEncode(Cd, Bytes(Valid), Valid.size(), AOut);
      break;
    }
  }
}

void Decode(const uint8_t* S, size_t N, std::string_view ACharSet, std::string& AOut) {
  TResolved R = Resolve(ACharSet);
  switch (R.Kind) {
    case TKind::Utf8:
      DecodeUtf8(S, N, true, AOut);
      break;
    case TKind::Table:
      TableDecode(*R.Table, S, N, AOut);
      break;
    case TKind::Pass:
      AOut.append(reinterpret_cast<const char*>(S), N);
      break;
    case TKind::Iconv: {
      iconv_t Cd = CachedIconv(ACharSet, true);
      iconv(Cd, nullptr, nullptr, nullptr, nullptr);
      IconvDecode(Cd, S, N, true, AOut);
      break;
    }
  }
}

// Restores a stream's position when the translation ends, even by an error.
class TPositionKeeper {
 public:
  explicit TPositionKeeper(TStream& AStream) : FStream(AStream), FPosition(AStream.Position()) {}
  ~TPositionKeeper() { FStream.SetPosition(FPosition); }
  TPositionKeeper(const TPositionKeeper&) = delete;
  TPositionKeeper& operator=(const TPositionKeeper&) = delete;

 private:
  TStream& FStream;
  int64_t FPosition;
};

void TranslateStream(std::string_view ACharSet, TStream& ASource, TStream& ADestination, bool ATo) {
  const TCharTable* T = FindTable(ACharSet);
  TPositionKeeper KeepSource(ASource);
  TPositionKeeper KeepDestination(ADestination);
  ASource.SetPosition(0);
  if (&ASource == &ADestination) {
    // Translating a stream onto itself: the result may be longer than the
    // source, so read everything before writing.
    std::string All(size_t(ASource.Size()), '\0');
    All.resize(size_t(ASource.Read(All.data(), int64_t(All.size()))));
    std::string Result = !T ? All
                         : ATo ? TqmTranslator::TranslateTo(ACharSet, All)
                               : TqmTranslator::TranslateFrom(ACharSet, All);
    ADestination.SetPosition(0);
    ADestination.WriteBuffer(Result.data(), int64_t(Result.size()));
    return;
  }
  ADestination.SetPosition(0);
  constexpr size_t kBlock = 64 * 1024;
  std::string Buffer;
  std::string Out;
  std::vector<uint8_t> Block(kBlock);
  for (;;) {
    int64_t Got = ASource.Read(Block.data(), int64_t(kBlock));
    bool Last = Got <= 0;
    if (Got > 0) Buffer.append(reinterpret_cast<const char*>(Block.data()), size_t(Got));
    Out.clear();
    size_t Take = Buffer.size();
    if (!T) {
      Out.swap(Buffer);
      Take = 0;
    } else if (ATo) {
      // Keep a character cut by the block's end for the next block.
      if (!Last) Take -= CutTail(Bytes(Buffer), Buffer.size());
      TableEncode(*T, Bytes(Buffer), Take, Out);
    } else {
      TableDecode(*T, Bytes(Buffer), Take, Out);
    }
    Buffer.erase(0, Take);
    if (!Out.empty()) ADestination.WriteBuffer(Out.data(), int64_t(Out.size()));
    if (Last) break;
  }
}

std::string AsString(const TqmByteArray& A) {
  return std::string(reinterpret_cast<const char*>(A.data()), A.size());
}

}  // namespace

// ---------------------------------------------------------------------------

TqmByteArray TqmTranslator::GetBytes(std::string_view AText, std::string_view ACharSet) {
  TqmByteArray R;
  Encode(AText, ACharSet, R);
  return R;
}

int64_t TqmTranslator::GetByteCount(std::string_view AText, std::string_view ACharSet) {
  TResolved R = Resolve(ACharSet);
  if (R.Kind == TKind::Pass) return int64_t(AText.size());
  if (R.Kind == TKind::Utf8 && ValidateUtf8(Bytes(AText), AText.size())) return int64_t(AText.size());
  return int64_t(GetBytes(AText, ACharSet).size());
}

int64_t TqmTranslator::GetBytes(std::string_view AText, std::string_view ACharSet, uint8_t* ABuffer,
                                int64_t ABufferSize) {
  if (!ABuffer || ABufferSize <= 0) return 0;
  TqmByteArray R = GetBytes(AText, ACharSet);
  size_t N = std::min<size_t>(R.size(), size_t(ABufferSize));
  if (N) std::memcpy(ABuffer, R.data(), N);
  return int64_t(N);
}

std::string TqmTranslator::GetString(const TqmByteArray& ABytes, int64_t AIndex, int64_t ACount,
                                     std::string_view ACharSet) {
  if (ACount <= 0 || AIndex < 0 || AIndex >= int64_t(ABytes.size())) return {};
  int64_t N = std::min<int64_t>(ACount, int64_t(ABytes.size()) - AIndex);
  return GetString(ABytes.data() + AIndex, N, ACharSet);
}

std::string TqmTranslator::GetString(const TqmByteArray& ABytes, std::string_view ACharSet) {
  return GetString(ABytes.data(), int64_t(ABytes.size()), ACharSet);
}

std::string TqmTranslator::GetString(const void* AData, int64_t ACount, std::string_view ACharSet) {
  std::string R;
  if (!AData || ACount <= 0) return R;
  Decode(static_cast<const uint8_t*>(AData), size_t(ACount), ACharSet, R);
  return R;
}

std::string TqmTranslator::TranslateTo(std::string_view ACharSet, std::string_view AText) {
  const TCharTable* T = FindTable(ACharSet);
  if (!T) return std::string(AText);
  std::string R;
  TableEncode(*T, Bytes(AText), AText.size(), R);
  return R;
}

std::string TqmTranslator::TranslateFrom(std::string_view ACharSet, std::string_view AText) {
  const TCharTable* T = FindTable(ACharSet);
  if (!T) return std::string(AText);
  std::string R;
  TableDecode(*T, Bytes(AText), AText.size(), R);
  return R;
}

void TqmTranslator::TranslateTo(std::string_view ACharSet, TStream& ASource, TStream& ADestination) {
  TranslateStream(ACharSet, ASource, ADestination, true);
}

void TqmTranslator::TranslateFrom(std::string_view ACharSet, TStream& ASource,
                                  TStream& ADestination) {
  TranslateStream(ACharSet, ASource, ADestination, false);
}

std::string TqmTranslator::CodePageToCharSet(int ACodePage) {
  switch (ACodePage) {
    case 0:
    case 65001:
      return "utf-8";
    case 20127:
      return "us-ascii";
    case 866:
      return "ibm866";
    case 20866:
      return "koi8-r";
    case 21866:
      return "koi8-u";
    case 10007:
      return "x-mac-cyrillic";
    case 1200:
      return "UTF-16LE";
    case 1201:
      return "UTF-16BE";
    case 932:
      return "CP932";
    case 936:
      return "GBK";
    case 949:
      return "CP949";
    case 950:
      return "BIG5";
    default:
      break;
  }
  if (ACodePage >= 1250 && ACodePage <= 1258) return "windows-" + std::to_string(ACodePage);
  if (ACodePage >= 28591 && ACodePage <= 28606)
    return "ISO-8859-" + std::to_string(ACodePage - 28590);
  return "CP" + std::to_string(ACodePage);
}

bool TqmTranslator::IsTableCharSet(std::string_view ACharSet) { return FindTable(ACharSet) != nullptr; }

bool TqmTranslator::IsKnownCharSet(std::string_view ACharSet) {
  return IsUtf8Name(ACharSet) || FindTable(ACharSet) || IsPassName(ACharSet) || IconvKnows(ACharSet);
}

std::string TqmTranslator::WideToAnsi(std::u16string_view AText, int ACodePage) {
  return AsString(GetBytes(Utf16ToUtf8(AText), CodePageToCharSet(ACodePage)));
}

std::u16string TqmTranslator::AnsiToWide(std::string_view AText, int ACodePage) {
  return Utf8ToUtf16(GetString(AText.data(), int64_t(AText.size()), CodePageToCharSet(ACodePage)));
}

// ---------------------------------------------------------------------------

bool IsValidUtf8(const void* AData, size_t ACount) {
  return ACount == 0 || ValidateUtf8(static_cast<const uint8_t*>(AData), ACount);
}

std::string SanitizeUtf8(std::string_view AText) {
  std::string R;
  AppendSanitized(AText, R);
  return R;
}

bool IsAsciiCharSet(std::string_view ACharSet) {
  if (ACharSet.empty()) return true;
  for (std::string_view Name : {"us-ascii", "ascii", "ansi_x3.4-1968", "us", "iso646-us", "cp367"})
    if (SameText(ACharSet, Name)) return true;
  return false;
}

namespace {
bool AllAscii(const void* AData, size_t ACount) {
  const auto* P = static_cast<const uint8_t*>(AData);
  for (size_t I = 0; I < ACount; ++I)
    if (P[I] >= 0x80) return false;
  return true;
}
}  // namespace

std::string ReceivedCharSet(const void* AData, size_t ACount, std::string_view ACharSet) {
  if (!IsAsciiCharSet(ACharSet) || AllAscii(AData, ACount)) return std::string(ACharSet);
  return IsValidUtf8(AData, ACount) ? "utf-8" : "windows-1252";
}

std::string ReceivedText(const void* AData, size_t ACount, std::string_view ACharSet) {
  if (AllAscii(AData, ACount) || IsValidUtf8(AData, ACount))
    return std::string(static_cast<const char*>(AData), ACount);
  std::string Text = TqmTranslator::GetString(AData, static_cast<int64_t>(ACount),
                                              ReceivedCharSet(AData, ACount, ACharSet));
  if (!IsValidUtf8(Text)) Text = SanitizeUtf8(Text);
  return Text;
}

bool CharSetHolds(std::string_view AText, std::string_view ACharSet) {
  if (AllAscii(AText.data(), AText.size())) return true;
  if (IsAsciiCharSet(ACharSet)) return false;
  const std::string Name = LowerCase(ACharSet);
  if (Name == "utf-8" || Name == "utf8") return true;
  const TqmByteArray Bytes = TqmTranslator::GetBytes(AText, ACharSet);
  return TqmTranslator::GetString(Bytes, ACharSet) == AText;
}

std::string Utf16ToUtf8(std::u16string_view AText) {
  std::string R;
  R.reserve(AText.size());
  for (size_t I = 0; I < AText.size(); ++I) {
    uint32_t C = AText[I];
    if (C >= 0xD800 && C <= 0xDBFF && I + 1 < AText.size() && AText[I + 1] >= 0xDC00 &&
        AText[I + 1] <= 0xDFFF) {
      C = 0x10000 + ((C - 0xD800) << 10) + (AText[I + 1] - 0xDC00u);
      ++I;
    } else if (C >= 0xD800 && C <= 0xDFFF) {
      C = 0xFFFD;
    }
    AppendUtf8(R, C);
  }
  return R;
}

std::u16string Utf8ToUtf16(std::string_view AText) {
  std::string Valid = SanitizeUtf8(AText);
  std::u16string R;
  R.reserve(Valid.size());
  const uint8_t* P = Bytes(Valid);
  const uint8_t* E = P + Valid.size();
  while (P < E) {
    size_t Len = LeadInfo(*P).Len;
    uint32_t C = SequenceValue(P, Len);
    P += Len;
    if (C >= 0x10000) {
      C -= 0x10000;
      R += char16_t(0xD800 + (C >> 10));
      R += char16_t(0xDC00 + (C & 0x3FF));
    } else {
      R += char16_t(C);
    }
  }
  return R;
}

// ---------------------------------------------------------------------------

struct TqmTextDecoder::TImpl {
  TKind Kind = TKind::Pass;
  const TCharTable* Table = nullptr;
  iconv_t Cd = kNoIconv;  // own descriptor: its shift state lives across blocks
  ~TImpl() {
    if (Cd != kNoIconv) iconv_close(Cd);
  }
};

TqmTextDecoder::TqmTextDecoder(std::string_view ACharSet) : FImpl(std::make_unique<TImpl>()) {
  TResolved R = Resolve(ACharSet);
  FImpl->Kind = R.Kind;
  FImpl->Table = R.Table;
  if (R.Kind == TKind::Iconv) {
    FImpl->Cd = iconv_open("UTF-8", std::string(ACharSet).c_str());
    if (FImpl->Cd == kNoIconv) FImpl->Kind = TKind::Pass;
  }
}

TqmTextDecoder::~TqmTextDecoder() = default;

void TqmTextDecoder::Decode(const void* AData, size_t ACount, bool ALast, std::string& AOutput) {
  static const uint8_t kNothing = 0;
  const uint8_t* S = AData ? static_cast<const uint8_t*>(AData) : &kNothing;
  if (!AData) ACount = 0;
  if (!FPending.empty()) {
    // A character was cut by the last block: decode it together with this one.
    FPending.append(reinterpret_cast<const char*>(S), ACount);
    std::string Joined;
    Joined.swap(FPending);
    Decode(Joined.data(), Joined.size(), ALast, AOutput);
    return;
  }
  size_t Read = ACount;
  switch (FImpl->Kind) {
    case TKind::Utf8:
      Read = DecodeUtf8(S, ACount, ALast, AOutput);
      break;
    case TKind::Table:
      TableDecode(*FImpl->Table, S, ACount, AOutput);
      break;
    case TKind::Pass:
      AOutput.append(reinterpret_cast<const char*>(S), ACount);
      break;
    case TKind::Iconv:
      Read = IconvDecode(FImpl->Cd, S, ACount, ALast, AOutput);
      break;
  }
  if (Read < ACount) FPending.assign(reinterpret_cast<const char*>(S) + Read, ACount - Read);
}

std::string TqmTextDecoder::Decode(const void* AData, size_t ACount, bool ALast) {
  std::string R;
  Decode(AData, ACount, ALast, R);
  return R;
}

}  // namespace qm
