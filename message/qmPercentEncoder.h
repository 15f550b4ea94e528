// Percent encoding ("%41") and the RFC 2231 parameter values built on it
// (charset'language'percent-encoded text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/qmComponent.h"
#include "core/qmTypes.h"

namespace qm {

/// Percent encoding ("%41") of bytes and of texts in a charset.
class TqmPercentEncoder : public TObject {
 public:
  /// Characters that must be escaped besides the controls and 8-bit bytes.
  /// While it is empty nothing is escaped.
  ///@{
  const std::string& UnsafeChars() const { return FUnsafeChars; }
  void SetUnsafeChars(const std::string& AValue);
  ///@}
  /// An escape already present in the text ("%" and two hex digits) is
  /// copied as it stands instead of escaping its "%".
  ///@{
  bool KeepEscapes() const { return FKeepEscapes; }
  void SetKeepEscapes(bool AValue) { FKeepEscapes = AValue; }
  ///@}

  /// Whether AChar must be escaped (see UnsafeChars()).
  virtual bool IsUnsafeChar(uint8_t AChar) const;
  /// Hooks that map a byte after decoding / before encoding (identity
  /// here).
  ///@{
  virtual uint8_t DecodeChar(uint8_t AChar) const { return AChar; }
  virtual uint8_t EncodeChar(uint8_t AChar) const { return AChar; }
  ///@}
  /// "%" and two hex digits (either case) give one byte; a "%" that does not
  /// start a full escape is copied as it stands.
  virtual TqmByteArray DecodeBytes(std::string_view AText) const;
  /// Every unsafe byte becomes "%" and two upper-case hex digits.
  ///@{
  virtual std::string EncodeBytes(const TqmByteArray& AData) const;
  virtual std::string EncodeBytes(const void* AData, size_t ACount) const;
  ///@}
  /// The text's bytes in ACharSet, percent-encoded / the decoded bytes
  /// converted from ACharSet.
  ///@{
  virtual std::string Encode(std::string_view AText, std::string_view ACharSet) const;
  virtual std::string Decode(std::string_view AText, std::string_view ACharSet) const;
  ///@}

 private:
  std::string FUnsafeChars;
  bool FUnsafeTable[256] = {};
  bool FKeepEscapes = false;
};

/// Values of RFC 2231 parameters ("filename*=utf-8''%C3%A9t%C3%A9.txt").
class TqmRfc2231HeaderEncoder : public TqmPercentEncoder {
 public:
  /// Charset and language of the last value encoded or decoded.
  ///@{
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue) { FCharSet = AValue; }
  const std::string& ValueLanguage() const { return FValueLanguage; }
  void SetValueLanguage(const std::string& AValue) { FValueLanguage = AValue; }
  ///@}

  /// Safe are "!" to ":", "<" and ">" to "~"; everything else is escaped
  /// (controls, space, ";", "=", DEL and 8-bit bytes). UnsafeChars is not
  /// consulted.
  bool IsUnsafeChar(uint8_t AChar) const override;

  /// Splits "charset'language'value"; without two apostrophes AFound is false,
  /// charset and language are empty and the whole text is the value.
  virtual void SplitValue(std::string_view AText, std::string& ACharSet, std::string& ALanguage,
                          std::string& AValue, bool& AFound) const;
  /// "charset'language'encoded".
  virtual std::string FormatValue(std::string_view AEncoded, std::string_view ACharSet,
                                   std::string_view ALanguage) const;

  /// With an empty charset the value unchanged; otherwise its bytes in the
  /// charset, percent-encoded, formatted as charset'language'text.
  std::string EncodeValue(std::string_view AValue, std::string_view ACharSet,
                          std::string_view ALanguage);
  /// A value with charset and language is percent-decoded and converted from
  /// its charset; any other text is returned unchanged.
  std::string DecodeValue(std::string_view AText);

 private:
  std::string FCharSet;
  std::string FValueLanguage;
};

}  // namespace qm
