// The header field list of mail messages and their parts: RFC 2047 encoded
// words, address fields and RFC 2231 parameters on top of the plain list.
#pragma once

#include <string>
#include <string_view>

#include "message/qmEncoder.h"
#include "message/qmHeaderFieldList.h"

namespace qm {

class TqmEmailAddressList;

/// Continuation numbers of an RFC 2231 parameter read at most; the pieces
/// after it are left unread.
constexpr int qmMaxRfc2231Continuations = 999;

/// The header of a message or part: the field list with encoded words
/// (RFC 2047) for non-ASCII text, address fields and RFC 2231 parameters.
/// Values read are decoded to UTF-8; values written are encoded and folded
/// to CharsPerLine.
class TqmMailHeaderFieldList : public TqmHeaderFieldList {
 public:
  /// An empty header writing in ACharSet with AHeaderEncoding (cmNone:
  /// chosen per text), lines of at most ACharsPerLine characters.
  TqmMailHeaderFieldList(const std::string& ACharSet, TqmEncodeMethod AHeaderEncoding,
                         int ACharsPerLine);

  /// Charset of the encoded words written, and of raw 8-bit text read.
  ///@{
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue) { FCharSet = AValue; }
  ///@}
  /// The encoding of encoded words: cmQuotedPrintable ("Q"), cmBase64
  /// ("B"), or cmNone (chosen from the text).
  ///@{
  TqmEncodeMethod HeaderEncoding() const { return FHeaderEncoding; }
  void SetHeaderEncoding(TqmEncodeMethod AValue) { FHeaderEncoding = AValue; }
  ///@}
  /// While set, only the double quote quotes (the apostrophe belongs to the
  /// RFC 2231 syntax).
  ///@{
  bool Rfc2231Mode() const { return FRfc2231Mode; }
  void SetRfc2231Mode(bool AValue) { FRfc2231Mode = AValue; }
  ///@}

  /// The double quote alone in Rfc2231Mode, else the list's quotes.
  std::string_view GetQuoteChars() const override;
  /// "Subject" unfolds untrimmed, other fields trimmed; unfolding takes out
  /// the line breaks only.
  std::string GetDecodedFieldValueAt(int AIndex) const override;
  /// Parameters are found by their whole name at the start of an item
  /// ("type" is not found in "report-type=..."), outside quotes and
  /// comments; their values, and the field's main value (an empty name),
  /// come without comments (RFC 2045 allows them in the content fields).
  ///@{
  TqmFieldItem FindItem(const std::string& AValue, const std::string& AItemName) const override;
  std::string GetItemValue(const std::string& AValue, const std::string& AItemName) const override;
  ///@}
  /// AText without its comments: "(" at the start or after white space,
  /// outside double quotes, to the matching ")"; trimmed.
  static std::string RemoveComments(std::string_view AText);

  /// Writing, at HeaderEnd: an unstructured text (a subject), one address
  /// ("Name <a@b>"), and an address list, each encoded and folded. An empty
  /// value adds no field.
  ///@{
  void AddEncodedTextField(const std::string& AName, const std::string& AText);
  void AddEncodedAddressField(const std::string& AName, const std::string& AAddress);
  void AddAddressListField(const std::string& AName, const TqmEmailAddressList& AAddresses);
  ///@}
  /// Adds a parameter to the field: RFC 2231 when AItemName ends with "*",
  /// otherwise an encoded, quoted value.
  void AddEncodedFieldItem(const std::string& AFieldName, const std::string& AItemName,
                           const std::string& AValue);

  /// Reading: field AName's text decoded to UTF-8; its addresses decoded
  /// and joined with ", "; its addresses put into AAddresses (cleared
  /// first).
  ///@{
  std::string GetDecodedText(const std::string& AName) const;
  std::string GetDecodedAddress(const std::string& AName) const;
  void GetAddressList(const std::string& AName, TqmEmailAddressList& AAddresses) const;
  ///@}
  /// Appends the mailboxes of an address list value, names decoded.
  void ReadAddressList(const std::string& AValue, TqmEmailAddressList& AAddresses) const;
  /// A parameter of a field value: RFC 2231 (names ending with "*", with
  /// continuations) or RFC 2047.
  std::string GetDecodedItemValue(const std::string& AValue, const std::string& AItemName);

  /// One encoded word; with cmNone the method is chosen from the data and
  /// handed back in AMethod. Only "Q" and "B" produce "=?...?=" words.
  static std::string EncodeWord(std::string_view AText, const std::string& ACharSet,
                                TqmEncodeMethod& AMethod);
  /// The text as encoded words of at most about AWidth characters joined
  /// with CR LF; pieces are cut between characters, never inside a UTF-8
  /// sequence.
  static std::string EncodeText(std::string_view AText, const std::string& ACharSet, int AWidth,
                                TqmEncodeMethod AMethod);
  /// A display address with its name encoded. The e-mail address is never
  /// cut: when it does not fit after the name it starts a line of its own.
  static std::string EncodeAddress(const std::string& AAddress, const std::string& ACharSet,
                                   int AWidth, TqmEncodeMethod AMethod);
  /// AItemName and AValue as an RFC 2231 parameter (continued with "*0*",
  /// "*1*"... when longer than AWidth); in UTF-8 when ACharSet cannot hold
  /// the value.
  static std::string EncodeRfc2231Item(const std::string& AItemName, std::string_view AValue,
                                       const std::string& ACharSet, int AWidth);
  /// A header text with its encoded words decoded to UTF-8; raw 8-bit text
  /// is taken as ADefaultCharSet.
  static std::string DecodeText(std::string_view AText, const std::string& ADefaultCharSet);
  /// A display address with its name decoded.
  static std::string DecodeAddress(const std::string& AAddress, const std::string& ACharSet);

 private:
  void InsertEncodedLines(const std::string& AText);

  std::string FCharSet;
  TqmEncodeMethod FHeaderEncoding;
  bool FRfc2231Mode = false;
};

}  // namespace qm
