// IDN translation: host names and mailboxes with characters outside 7-bit
// ASCII become their ASCII (Punycode, "xn--") form, label by label.
#pragma once

#include <string>
#include <string_view>

#include "core/qmException.h"

namespace qm {

/// Encoding failure; the message says which.
class EqmIdnError : public Exception {
 public:
  using Exception::Exception;
};

// Refusals of names that cannot go on the wire as they are.
extern const char* const qmIdnInvalidUtf8;  ///< "Invalid UTF-8 in an IDN name"
extern const char* const qmIdnLabelTooLong;  ///< "An IDN label is longer than 63 characters once encoded"
extern const char* const qmIdnLongLabel;  ///< "An IDN label is longer than 255 characters once encoded"
extern const char* const qmIdnDomainTooLong;  ///< "The IDN domain name is longer than 253 characters once encoded"
extern const char* const qmIdnEmptyLabel;  ///< "The IDN domain name has an empty label"
extern const char* const qmIdnControlCharacter;  ///< "The IDN domain name holds a control character"
/// "The IDN domain name holds what domain names do not allow", followed by
/// libidn2's reason in parentheses: a character UTS #46 disallows (U+FFFF,
/// symbols, emoji), a hyphen at the start or end of a label, a broken
/// "xn--" label, a mix of directions...
extern const char* const qmIdnNotAllowed;

/// Every operation is class-level; the only state is a small per-thread
/// cache of the international labels mapped last. Text is UTF-8: a label is taken
/// as the Unicode code points its UTF-8 sequences stand for; invalid UTF-8
/// (cut sequences, surrogates, stray bytes) is refused.
///
/// Domain names are looked up as browsers and libidn2 do (UTS #46,
/// non-transitional): a name with any non-ASCII character is mapped label by
/// label (upper case folded, NFC, full-width and compatibility forms
/// mapped; "MÜNCHEN.DE", "bücher.de" with a combining U+0308 and full-width "example" give
/// xn--mnchen-3ya.de, xn--bcher-kva.de and example.com) and checked before
/// Punycode. A name of plain ASCII is left as it is, upper case included.
/// Control characters (NUL and tab too) are refused in any name. Local parts
/// of mailboxes and EncodeLabel are Punycode alone, without mapping.
class TqmIdnTranslator {
 public:
  /// True when every byte is below 128 (also for an empty text).
  static bool IsAscii(std::string_view AText);
  /// One label; returned unchanged when it holds only basic characters. An
  /// encoded form over 255 characters is refused (the encoder's time grows
  /// with the square of the length; nothing longer fits a DNS name or a
  /// mailbox anyway).
  static std::string EncodeLabel(std::string_view ALabel);
  /// A dotted name, each label mapped and encoded on its own. Labels end at
  /// "." and at U+3002, U+FF0E and U+FF61 (all written "."); an empty label
  /// other than after a final ".", a label over 63 characters and a name
  /// over 253 (without a final ".") are refused, and so is a label UTS #46
  /// or IDNA2008 disallows (qmIdnNotAllowed), emoji among them.
  static std::string EncodeDomain(const std::string& AName);
  /// local-part "@" domain: the local part through EncodeLabel, the domain
  /// (all after the first "@") through EncodeDomain; unchanged when there is
  /// no "@".
  static std::string EncodeMailbox(const std::string& AAddress);

 private:
  static std::string EncodeLabel(std::string_view ALabel, size_t AMaxLength, const char* ATooLong);
};

}  // namespace qm
