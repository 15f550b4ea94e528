// IDN translation: host names and mailboxes with characters outside 7-bit
// ASCII become their ASCII (Punycode, "xn--") form, label by label.
#pragma once

#include <string>
#include <string_view>

#include "core/qmException.h"

namespace qm {

// Encoding failure; the message says which.
class EqmIdnError : public Exception {
 public:
  using Exception::Exception;
};

// Stateless; every operation is class-level. Text is UTF-8: a label is taken
// as the Unicode code points its UTF-8 sequences stand for (an invalid or cut
// sequence counts as U+FFFD). Basic (ASCII) characters are copied as they
// are, upper case included; there is no case folding or other normalisation.
class TqmIdnTranslator {
 public:
  // True when every byte is below 128 (also for an empty text).
  static bool IsAscii(std::string_view AText);
  // One label; returned unchanged when it holds only basic characters.
  static std::string EncodeLabel(std::string_view ALabel);
  // A dotted name, each label encoded on its own.
  static std::string EncodeDomain(const std::string& AName);
  // local-part "@" domain; unchanged when there is no "@".
  static std::string EncodeMailbox(const std::string& AAddress);
};

}  // namespace qm
