// The header field list of mail messages and their parts: RFC 2047 encoded
// words, address fields and RFC 2231 parameters on top of the plain list.
#pragma once

#include <string>
#include <string_view>

#include "message/qmEncoder.h"
#include "message/qmHeaderFieldList.h"

namespace qm {

class TqmEmailAddressList;

// Continuation numbers of an RFC 2231 parameter read at most; the pieces
// after it are left unread.
constexpr int qmMaxRfc2231Continuations = 999;

class TqmMailHeaderFieldList : public TqmHeaderFieldList {
 public:
  TqmMailHeaderFieldList(const std::string& ACharSet, TqmEncodeMethod AHeaderEncoding,
                         int ACharsPerLine);

  // Charset of the encoded words written, and of raw 8-bit text read.
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue) { FCharSet = AValue; }
  TqmEncodeMethod HeaderEncoding() const { return FHeaderEncoding; }
  void SetHeaderEncoding(TqmEncodeMethod AValue) { FHeaderEncoding = AValue; }
  // While set, only the double quote quotes (the apostrophe belongs to the
  // RFC 2231 syntax).
  bool Rfc2231Mode() const { return FRfc2231Mode; }
  void SetRfc2231Mode(bool AValue) { FRfc2231Mode = AValue; }

  std::string_view GetQuoteChars() const override;
  // "Subject" unfolds untrimmed, other fields trimmed; unfolding takes out
  // the line breaks only.
  std::string GetDecodedFieldValueAt(int AIndex) const override;

  // Writing, at HeaderEnd.
  void AddEncodedTextField(const std::string& AName, const std::string& AText);
  void AddEncodedAddressField(const std::string& AName, const std::string& AAddress);
  void AddAddressListField(const std::string& AName, const TqmEmailAddressList& AAddresses);
  // Adds a parameter to the field: RFC 2231 when AItemName ends with "*",
  // otherwise an encoded, quoted value.
  void AddEncodedFieldItem(const std::string& AFieldName, const std::string& AItemName,
                           const std::string& AValue);

  // Reading.
  std::string GetDecodedText(const std::string& AName) const;
  std::string GetDecodedAddress(const std::string& AName) const;
  void GetAddressList(const std::string& AName, TqmEmailAddressList& AAddresses) const;
  // Appends the mailboxes of an address list value, names decoded.
  void ReadAddressList(const std::string& AValue, TqmEmailAddressList& AAddresses) const;
  // A parameter of a field value: RFC 2231 (names ending with "*", with
  // continuations) or RFC 2047.
  std::string GetDecodedItemValue(const std::string& AValue, const std::string& AItemName);

  // One encoded word; with cmNone the method is chosen from the data and
  // handed back in AMethod. Only "Q" and "B" produce "=?...?=" words.
  static std::string EncodeWord(std::string_view AText, const std::string& ACharSet,
                                TqmEncodeMethod& AMethod);
  // The text as encoded words of at most about AWidth characters joined
  // with CR LF; pieces are cut between characters, never inside a UTF-8
  // sequence.
  static std::string EncodeText(std::string_view AText, const std::string& ACharSet, int AWidth,
                                TqmEncodeMethod AMethod);
  // A display address with its name encoded. The e-mail address is never
  // cut: when it does not fit after the name it starts a line of its own.
  static std::string EncodeAddress(const std::string& AAddress, const std::string& ACharSet,
                                   int AWidth, TqmEncodeMethod AMethod);
  static std::string EncodeRfc2231Item(const std::string& AItemName, std::string_view AValue,
                                       const std::string& ACharSet, int AWidth);
  static std::string DecodeText(std::string_view AText, const std::string& ADefaultCharSet);
  static std::string DecodeAddress(const std::string& AAddress, const std::string& ACharSet);

 private:
  void InsertEncodedLines(const std::string& AText);

  std::string FCharSet;
  TqmEncodeMethod FHeaderEncoding;
  bool FRfc2231Mode = false;
};

}  // namespace qm
