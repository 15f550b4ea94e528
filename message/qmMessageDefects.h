// What the parser of mail messages repaired or passed over.
#pragma once

#include <string>

namespace qm {

/// What the parser repaired or passed over in a message it read (see
/// TqmMailMessage::Defects()).
enum TqmMessageDefectKind {
  mdBadHeaderLine,     ///< a header line that is neither a field nor a continuation: passed over
  mdNoHeaderEnd,       ///< the header ran into the body without an empty line
  mdMissingBoundary,   ///< a multipart without its closing delimiter: the last part runs to its end
  mdNoParts,           ///< a multipart without any delimiter of its boundary: read as text
  mdUndecodableData,   ///< encoded data that did not decode: read as far as it went
  mdCharSetMismatch,   ///< text that is not what its charset says: read as UTF-8 or windows-1252
  mdUnknownCharSet,    ///< text in a charset that cannot be read: read as UTF-8 or windows-1252
  mdNestingTooDeep     ///< multiparts nested deeper than qmMaxMultipartNesting: kept undecoded
};

/// One thing the parser repaired or passed over.
struct TqmMessageDefect {
  TqmMessageDefectKind Kind = mdBadHeaderLine;  ///< What was repaired or passed over.
  /// The part it was found in: empty for the message itself, else the
  /// part's position in the tree ("2", "2.1": 1-based, as IMAP numbers
  /// parts; Bodies().Items(1), then its Bodies().Items(0)).
  std::string Part;
  /// The index of the line it was found at in the lines read (in the
  /// decoded text for the parts of a multipart sent encoded); -1 unknown.
  int Line = -1;
  /// What was found: the bad line, the charset, the boundary.
  std::string Text;
};

/// The name of a defect kind ("bad header line", ...), for people.
std::string DefectKindName(TqmMessageDefectKind AKind);

}  // namespace qm
