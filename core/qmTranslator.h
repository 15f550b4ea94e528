// Charset conversion between system text (std::string holding UTF-8) and the
// bytes of a named charset.
//
// A charset name is looked up, ignoring case, in this order:
//  1. "utf-8" (or "utf8"): bytes are UTF-8; decoding turns every invalid or
//     cut sequence into U+FFFD, so no text is lost.
//  2. The built-in tables: "ISO-8859-1", "ISO-8859-2", "Windows-1250",
//     "ibm866", "ISO-8859-5", "koi8-r", "koi8-u", "KOI8-WIN", "WIN-KOI8",
//     "Windows-1251", "x-mac-cyrillic", "Latin1" (= ISO-8859-1). Each byte
//     stands for one Unicode character; bytes a code page leaves undefined
//     stand for the C1 control of the same value, so every byte survives a
//     round trip. "KOI8-WIN" and "WIN-KOI8" name the two directions of
//     recoding between KOI8-R and Windows-1251; since system text is
//     Unicode, the wire side is the source of the name: "KOI8-WIN" text is
//     KOI8-R bytes, "WIN-KOI8" text Windows-1251 bytes.
//  3. Empty and "us-ascii": bytes pass unchanged.
//  4. Any other name glibc iconv knows ("windows-1252", "shift_jis", ...).
//  5. Unknown names: bytes pass unchanged.
// Characters a charset cannot represent are written as '?'; bytes that do
// not decode become U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/qmTypes.h"

namespace qm {

/// Appends the code point ACodePoint (U+0000 to U+10FFFF) to AOut as UTF-8.
inline void AppendUtf8(std::string& AOut, uint32_t ACodePoint) {
  const uint32_t C = ACodePoint;
  if (C < 0x80) {
    AOut += char(C);
  } else if (C < 0x800) {
    AOut += char(0xC0 | (C >> 6));
    AOut += char(0x80 | (C & 0x3F));
  } else if (C < 0x10000) {
    AOut += char(0xE0 | (C >> 12));
    AOut += char(0x80 | ((C >> 6) & 0x3F));
    AOut += char(0x80 | (C & 0x3F));
  } else {
    AOut += char(0xF0 | (C >> 18));
    AOut += char(0x80 | ((C >> 12) & 0x3F));
    AOut += char(0x80 | ((C >> 6) & 0x3F));
    AOut += char(0x80 | (C & 0x3F));
  }
}

class TStream;

/// Conversion of system text (UTF-8) to and from the bytes of a named
/// charset or code page; see the file description for how names are
/// looked up. Only static members.
class TqmTranslator {
 public:
  TqmTranslator() = delete;

  /// The text in the named charset, and the number of its bytes.
  ///@{
  static TqmByteArray GetBytes(std::string_view AText, std::string_view ACharSet);
  static int64_t GetByteCount(std::string_view AText, std::string_view ACharSet);
  ///@}
  /// Writes at most ABufferSize bytes of the converted text into ABuffer and
  /// returns how many it wrote.
  static int64_t GetBytes(std::string_view AText, std::string_view ACharSet, uint8_t* ABuffer,
                          int64_t ABufferSize);

  /// ACount bytes from AIndex decoded from the named charset. A count of 0 or
  /// less gives an empty text; a range outside the array is cut to it.
  ///@{
  static std::string GetString(const TqmByteArray& ABytes, int64_t AIndex, int64_t ACount,
                               std::string_view ACharSet);
  static std::string GetString(const TqmByteArray& ABytes, std::string_view ACharSet);
  static std::string GetString(const void* AData, int64_t ACount, std::string_view ACharSet);
  ///@}

  /// Table translation only: system text to the bytes of a table charset
  /// (TranslateTo) and back (TranslateFrom), the bytes held in a std::string.
  /// A name outside the tables returns the text unchanged.
  ///@{
  static std::string TranslateTo(std::string_view ACharSet, std::string_view AText);
  static std::string TranslateFrom(std::string_view ACharSet, std::string_view AText);
  ///@}
  /// The same from position 0 of ASource to position 0 of ADestination; both
  /// streams' positions are restored afterwards.
  ///@{
  static void TranslateTo(std::string_view ACharSet, TStream& ASource, TStream& ADestination);
  static void TranslateFrom(std::string_view ACharSet, TStream& ASource, TStream& ADestination);
  ///@}

  /// 16-bit text and code pages by number: 0 (the system's) and 65001 are
  /// UTF-8, 20127 US-ASCII, 28591 ISO-8859-1, 28592 ISO-8859-2, 28595
  /// ISO-8859-5, 866, 20866 KOI8-R, 21866 KOI8-U, 10007 Mac Cyrillic, 1200
  /// UTF-16LE, 1201 UTF-16BE, 932 Shift_JIS, 936 GBK, 949 EUC-KR, 950 Big5,
  /// any other number N as iconv's "CPN". An unpaired surrogate becomes
  /// U+FFFD.
  ///@{
  static std::string WideToAnsi(std::u16string_view AText, int ACodePage = 0);
  static std::u16string AnsiToWide(std::string_view AText, int ACodePage = 0);
  ///@}

  /// The charset name iconv would be given for a code page number.
  static std::string CodePageToCharSet(int ACodePage);
  /// True when the name is one of the built-in table charsets.
  static bool IsTableCharSet(std::string_view ACharSet);
  /// True when text in the charset can be decoded: UTF-8, a table charset,
  /// empty or US-ASCII, or a name iconv knows; false for an unknown name
  /// (whose bytes would merely pass unchanged).
  static bool IsKnownCharSet(std::string_view ACharSet);
};

/// UTF-8 helpers. Decoding follows the Unicode recommendation: each maximal
/// invalid part (a stray continuation byte, a cut sequence, an overlong form,
/// a surrogate, a value past U+10FFFF) becomes one U+FFFD.
/// Whether the bytes are valid UTF-8.
///@{
bool IsValidUtf8(const void* AData, size_t ACount);
inline bool IsValidUtf8(std::string_view AText) { return IsValidUtf8(AText.data(), AText.size()); }
///@}
/// AText with every invalid part replaced (a copy when it is valid).
std::string SanitizeUtf8(std::string_view AText);
/// UTF-16 to UTF-8 and back; invalid parts become U+FFFD.
///@{
std::string Utf16ToUtf8(std::u16string_view AText);
std::u16string Utf8ToUtf16(std::string_view AText);
///@}

/// Received text that may lie about its charset. An empty or ASCII label
/// over 8-bit bytes gives "utf-8" when the bytes are valid UTF-8 and
/// "windows-1252" otherwise; any other label stands.
///@{
bool IsAsciiCharSet(std::string_view ACharSet);
std::string ReceivedCharSet(const void* AData, size_t ACount, std::string_view ACharSet);
///@}
/// Received bytes as valid UTF-8 text: bytes that are valid UTF-8 are taken
/// as such (raw UTF-8 header text, RFC 6532), others are read in
/// ReceivedCharSet's charset; whatever is still invalid becomes U+FFFD.
std::string ReceivedText(const void* AData, size_t ACount, std::string_view ACharSet);
/// Whether the charset can carry the text without loss.
bool CharSetHolds(std::string_view AText, std::string_view ACharSet);

/// Decodes a charset block by block: a character cut at the end of a block
/// is kept and completed by the next one. Decode(..., true) on the last
/// block (or Flush()) writes what is left of a cut character as U+FFFD.
class TqmTextDecoder {
 public:
  /// A decoder of the named charset (looked up as TqmTranslator does).
  explicit TqmTextDecoder(std::string_view ACharSet);
  ~TqmTextDecoder();
  TqmTextDecoder(const TqmTextDecoder&) = delete;
  TqmTextDecoder& operator=(const TqmTextDecoder&) = delete;

  /// Appends the decoded text of the block to AOutput.
  ///@{
  void Decode(const void* AData, size_t ACount, bool ALast, std::string& AOutput);
  std::string Decode(const void* AData, size_t ACount, bool ALast = false);
  ///@}
  /// Writes what is left of a cut character as U+FFFD.
  void Flush(std::string& AOutput) { Decode(nullptr, 0, true, AOutput); }
  /// Bytes of a cut character waiting for the next block.
  size_t Pending() const { return FPending.size(); }

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::string FPending;
};

}  // namespace qm
