// Content transfer encodings of Internet mail: base64, quoted-printable and
// UUencode, plus the identity transfers "none" and "8bit".
#pragma once

#include <cstdint>
#include <string>

#include "core/qmComponent.h"
#include "core/qmException.h"
#include "core/qmTypes.h"

namespace qm {

class TStream;

/// A content transfer encoding: cmNone ("7bit": data passes unchanged),
/// cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit ("8bit": unchanged).
enum TqmEncodeMethod { cmNone, cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit };

/// What to do with a character outside the base64 alphabet: raise, stop
/// decoding there, or pass over it as RFC 2045 section 6.8 asks of readers of
/// mail (the message reader's default).
enum TqmEncodeErrorProcessing { epStop, epContinue, epSkip };

/// An encoding or decoding failure of TqmEncoder.
class EqmEncoderError : public Exception {
 public:
  /// An error with its message and code.
  EqmEncoderError(std::string AMessage, int AErrorCode)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  /// qmEncoderUnsupportedFormat or qmEncoderWrongSymbols.
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

/// Error codes of EqmEncoderError.
constexpr int qmEncoderUnsupportedFormat = -1;  ///< "Unsupported format."
constexpr int qmEncoderWrongSymbols = -2;       ///< "Wrong symbols in source stream."

/// Encodes and decodes data in a content transfer encoding (EncodeMethod,
/// default base64), between streams, strings and byte arrays. Encoded text
/// is cut into lines of GetLineLength() characters joined by CR LF unless
/// SuppressCrlf. An unsupported method raises EqmEncoderError.
class TqmEncoder : public TComponent {
 public:
  /// An encoder with the defaults: base64, 76 characters per line.
  explicit TqmEncoder(TComponent* AOwner = nullptr) : TComponent(AOwner) {}

  /// Wanted output line length; each method corrects it (GetLineLength).
  ///@{
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int AValue) { FCharsPerLine = AValue; }
  ///@}
  /// The transfer encoding used (default cmBase64).
  ///@{
  TqmEncodeMethod EncodeMethod() const { return FEncodeMethod; }
  void SetEncodeMethod(TqmEncodeMethod AValue) { FEncodeMethod = AValue; }
  ///@}
  /// One line without line breaks.
  ///@{
  bool SuppressCrlf() const { return FSuppressCrlf; }
  void SetSuppressCrlf(bool AValue) { FSuppressCrlf = AValue; }
  ///@}
  /// Bytes read per step when decoding base64 (0 or less: all at once;
  /// default 8192).
  ///@{
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int AValue) { FBatchSize = AValue; }
  ///@}
  /// ESC counts as text when judging the needed encoding.
  ///@{
  bool AllowESC() const { return FAllowESC; }
  void SetAllowESC(bool AValue) { FAllowESC = AValue; }
  ///@}
  /// Charset of the string forms; empty: the text's bytes as they are.
  ///@{
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue) { FCharSet = AValue; }
  ///@}
  /// What a character outside the base64 alphabet does (default epStop:
  /// EqmEncoderError qmEncoderWrongSymbols).
  ///@{
  TqmEncodeErrorProcessing ErrorProcessing() const { return FErrorProcessing; }
  void SetErrorProcessing(TqmEncodeErrorProcessing AValue) { FErrorProcessing = AValue; }
  ///@}

  /// Whether the last Decode() passed over characters outside the base64
  /// alphabet (epSkip): the data was repaired.
  bool DataSkipped() const { return FSkipped; }

  /// Progress of Encode() and Decode() in bytes of the source.
  TqmProgressEvent OnProgress;

  /// The line length that EncodeMethod actually uses.
  int GetLineLength() const;

  /// Both read ASource from its position to its end.
  ///@{
  void Encode(TStream& ASource, TStream& ADestination);
  void Decode(TStream& ASource, TStream& ADestination);
  ///@}

  /// Encoding into a string: of a stream's rest, of a text (its bytes in
  /// CharSet), of bytes.
  ///@{
  std::string EncodeToString(TStream& ASource);
  std::string EncodeString(const std::string& AText);
  ///@}
  /// ACount is clipped to the array.
  ///@{
  std::string EncodeBytes(const TqmByteArray& AData, int AStartIndex, int ACount);
  std::string EncodeBytes(const TqmByteArray& AData);
  ///@}
  /// Decoding of an encoded text: into a stream, into a text (the bytes
  /// read in CharSet), into bytes.
  ///@{
  void DecodeToStream(const std::string& AText, TStream& ADestination);
  std::string DecodeString(const std::string& AText);
  TqmByteArray DecodeToBytes(const std::string& AText);
  ///@}

  /// cmNone, cmQuotedPrintable or cmBase64 for the rest of AStream; its
  /// position is restored.
  TqmEncodeMethod GetPreferredEncoding(TStream& AStream);

  /// One-call helpers on a temporary encoder with default properties.
  /// EncodeString and the two-argument EncodeBytes give one line.
  ///@{
  static std::string EncodeString(const std::string& AText, TqmEncodeMethod AMethod);
  static std::string DecodeString(const std::string& AText, TqmEncodeMethod AMethod);
  static std::string EncodeBytes(const TqmByteArray& AData, TqmEncodeMethod AMethod);
  ///@}
  /// With ASuppressCrlf false the data is cut into lines of the default length.
  static std::string EncodeBytes(const TqmByteArray& AData, TqmEncodeMethod AMethod,
                                 bool ASuppressCrlf);
  /// Decodes AText in AMethod into bytes.
  static TqmByteArray DecodeToBytes(const std::string& AText, TqmEncodeMethod AMethod);

 protected:
  /// Raises OnProgress.
  virtual void DoProgress(int64_t AProceed, int64_t ATotal);

 private:
  void CheckMethod() const;
  void CopyData(TStream& ASource, TStream& ADestination);
  void EncodeBase64(TStream& ASource, TStream& ADestination);
  void DecodeBase64(TStream& ASource, TStream& ADestination);
  void EncodeQuotedPrintable(TStream& ASource, TStream& ADestination);
  void DecodeQuotedPrintable(TStream& ASource, TStream& ADestination);
  void EncodeUU(TStream& ASource, TStream& ADestination);
  void DecodeUU(TStream& ASource, TStream& ADestination);

  int FCharsPerLine = 76;
  TqmEncodeMethod FEncodeMethod = cmBase64;
  bool FSuppressCrlf = false;
  int FBatchSize = 8192;
  bool FAllowESC = false;
  std::string FCharSet;
  TqmEncodeErrorProcessing FErrorProcessing = epStop;
  bool FStopped = false;  // base64 decoding met a bad character with epContinue
  bool FSkipped = false;  // base64 decoding passed over characters with epSkip
};

}  // namespace qm
