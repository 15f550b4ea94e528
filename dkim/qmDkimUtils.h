// Pieces the DKIM units share: the header field list that reads and writes
// DKIM tag lists, DKIM quoted-printable, and the DKIM error class.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "core/qmException.h"
#include "message/qmHeaderFieldList.h"

namespace qm {

// Codes of EqmDkimError.
constexpr int DKIM_E_OTHER = -1;             ///< Any other failure of one signature.
constexpr int DKIM_E_FORMAT = -10;           ///< "The format of the DKIM-Signature header field is ivalid"
constexpr int DKIM_E_PARAMETERS = -11;       ///< "There are errors in signature parameters"
constexpr int DKIM_E_ALGORITHM = -12;        ///< "The SignatureAlgorithm is invalid"
constexpr int DKIM_E_BODY_HASH = -13;        ///< "Body hash values differ"
constexpr int DKIM_E_VERSION = -14;          ///< "The version of the DKIM-Signature is unknown"
constexpr int DKIM_E_KEY_REQUIRED = -15;     ///< "The key is required to complete the operation"
constexpr int DKIM_E_KEY_REVOKED = -18;      ///< "The key is revoked"
constexpr int DKIM_E_KEY_INVALID = -19;      ///< "The publik key is invalid or has wrong parameters"
/// The h tag does not list From: the signature would not cover the sender.
constexpr int DKIM_E_FROM_NOT_SIGNED = -20;
/// The i tag names a domain that is neither d nor below it.
constexpr int DKIM_E_IDENTITY_DOMAIN = -21;
/// Verify met more signatures than MaxSignatures: those past it are left
/// unverified with this code (not a failure of theirs).
constexpr int DKIM_E_NOT_CHECKED = -22;

/// What TqmDkim raises; ErrorCode is one of the DKIM_E_... codes.
class EqmDkimError : public Exception {
 public:
  /// An error with its message and code.
  EqmDkimError(const std::string& AMessage, int AErrorCode)
      : Exception(AMessage), FErrorCode(AErrorCode) {}
  /// The DKIM_E_... code.
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

/// Raises EqmDkimError with the message that belongs to ACode.
[[noreturn]] void RaiseDkimError(int ACode);
/// The message of a code of the table above.
const char* DkimErrorText(int ACode);

/// A header field list for DKIM tag lists (RFC 6376 section 3.2): ";" is the
/// only delimiter, values are unfolded without any folding white space, tag
/// names are matched whole, and quotes have no meaning (tag values are
/// never quoted; an apostrophe in a copied header or a note must not swallow
/// the tags after it).
class TqmDkimHeaderFieldList : public TqmHeaderFieldList {
 public:
  std::string_view GetQuoteChars() const override;
  std::string_view GetItemDelimiters() const override;
  std::string GetFieldValueAt(int AIndex) const override;
  TqmFieldItem FindItem(const std::string& AValue, const std::string& AItemName) const override;
  /// A tag longer than the line is cut into pieces of nearly equal length,
  /// each on a line of its own (a tab before the first, a tab and a space
  /// before the others); base64 values allow such white space.
  void AddFieldItemAt(int AIndex, const std::string& AItemName, const std::string& AItemValue,
                      bool AOnNewLine) override;
  int Parse(int AStartIndex, TStrings* ASource) override;

  /// The instances of a field from the bottom of the header upwards: each
  /// call returns the next one above the last returned for that name, then -1.
  int FindNextFieldFromBottom(const std::string& AName);
  /// Starts FindNextFieldFromBottom again from the bottom for every name.
  void ResetFieldSearch() { FTaken.clear(); }

 private:
  std::map<std::string, int> FTaken;
};

/// The quoted-printable of DKIM tag values (RFC 6376 section 2.11).
class TqmDkimQuotedPrintableEncoder {
 public:
  /// Every byte outside 0x21-0x3A, 0x3C, 0x3E-0x7E is written as "=XX".
  static std::string Encode(const std::string& AText);
  /// "=XX" with upper-case hexadecimal digits gives the byte; a broken
  /// escape is written as "=" and the character that broke it; an escape cut
  /// off by the end gives nothing.
  static std::string Decode(const std::string& AText);
};

}  // namespace qm
