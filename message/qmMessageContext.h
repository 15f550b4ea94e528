// What the parts of a message take from the message they belong to.
#pragma once

#include <string>

#include "message/qmEncoder.h"

namespace qm {

/// The format of a read message: mfMIME when it has Content-Type or
/// MIME-Version, else mfUUencode (old uuencoded attachments in the text);
/// mfNone for a built message. mfUUencode also renders without MIME fields.
enum TqmMessageFormat { mfNone, mfMIME, mfUUencode };
/// What a decoding error of a part does: keep what was decoded
/// (meExtractMaximumData, default), keep the part undecoded (meIgnore), or
/// end the reading with the error (meStop).
enum TqmMessageErrorProcessing { meExtractMaximumData, meIgnore, meStop };

/// The settings of a message that its parts, at any depth, read and write
/// with: charset, transfer and header encoding, line width, the error
/// policy of decoding, the format. The outermost message holds them as its
/// properties; every nested message is handed the outermost one's when it
/// is nested, so a part looks one step up, to its own message, and never
/// walks the tree (TqmMailMessage::Context()).
struct TqmMessageContext {
  /// The charset texts and header are written in (a new text's default).
  std::string CharSet = "iso-8859-1";
  /// The transfer encoding new bodies start with (cmNone: each chooses).
  TqmEncodeMethod Encoding = cmNone;
  /// The encoding of non-ASCII header text (cmNone: as Encoding).
  TqmEncodeMethod HeaderEncoding = cmNone;
  /// The longest line the encoders write.
  int CharsPerLine = 76;
  /// Whether ESC may stand in 8-bit text (iso-2022-jp).
  bool AllowESC = false;
  /// Whether attachment names also go out as RFC 2231 parameters.
  bool UseHeaderEncodingExtensions = false;
  /// What a part that cannot be decoded does.
  TqmMessageErrorProcessing ErrorProcessing = meExtractMaximumData;
  /// mfUUencode: attachments are written as uuencoded blocks in the text.
  TqmMessageFormat MessageFormat = mfNone;

  /// The encoding of non-ASCII header text: HeaderEncoding, else Encoding.
  TqmEncodeMethod GetHeaderEncoding() const {
    return HeaderEncoding != cmNone ? HeaderEncoding : Encoding;
  }
};

}  // namespace qm
