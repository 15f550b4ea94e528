// DKIM canonicalization (RFC 6376 section 3.4): the simple and relaxed
// forms of header fields and bodies, registered as "simple" and "relaxed".
// A message is a list of lines without terminators: header lines, an empty
// line, body lines. Canonical forms end every line with CR LF.
#pragma once

#include <string>

#include "core/qmStrings.h"
#include "crypto/qmConfig.h"
#include "dkim/qmDkimUtils.h"

namespace qm {

/// A canonicalization algorithm: the form of a message's header fields and
/// body that is hashed, so that changes a relay may make do not break the
/// signature.
class TqmDkimCanonicalizer : public TqmConfigObject {
 public:
  /// The canonical form of one body line, without its CR LF.
  virtual std::string CanonicalizeBodyLine(const std::string& ALine) = 0;
  /// The canonical value of one field, CR LF included.
  virtual std::string CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList, int AIndex) = 0;
  /// The canonical form of a field name.
  virtual std::string CanonicalizeHeaderName(const std::string& AName) = 0;
  /// The canonical body; trailing empty lines are reduced to one CR LF, an
  /// empty body is one CR LF (simple). ALastLineUnterminated: the text the
  /// lines come from did not end with a line break (a file; over SMTP every
  /// line ends with one); the relaxed form of such a last line keeps one
  /// space for the white space that ends it (RFC 6376 section 3.4.4 read
  /// to the letter, as dkimpy does) before the CR LF it adds.
  virtual std::string CanonicalizeBody(const TStrings& ALines, bool ALastLineUnterminated);
  /// CanonicalizeBody of lines that each ended with a line break.
  std::string CanonicalizeBody(const TStrings& ALines) { return CanonicalizeBody(ALines, false); }
  /// The fields named in AFieldNames, in that order; a name repeated takes
  /// the next instance of the field from the bottom upwards, and a name
  /// with no (further) instance adds nothing.
  virtual std::string CanonicalizeHeader(TStrings& ALines, const TStrings& AFieldNames);

  /// The bottom-most field of that name.
  std::string CanonicalizeHeaderField(TStrings& ALines, const std::string& AFieldName);

 protected:
  /// What an empty body canonicalizes to.
  virtual std::string EmptyBody() { return "\r\n"; }
  /// Appends the canonical form of ALine (CanonicalizeBodyLine) to ABody;
  /// overridden to write in place.
  virtual void AppendBodyLine(std::string& ABody, const std::string& ALine);
  /// The same for a last line that had no line break.
  virtual void AppendUnterminatedBodyLine(std::string& ABody, const std::string& ALine) {
    AppendBodyLine(ABody, ALine);
  }
};

/// "simple": lines as they are, only trailing empty body lines dropped.
class TqmDkimSimpleCanonicalizer : public TqmDkimCanonicalizer {
 public:
  /// The line unchanged.
  std::string CanonicalizeBodyLine(const std::string& ALine) override { return ALine; }

 protected:
  void AppendBodyLine(std::string& ABody, const std::string& ALine) override { ABody += ALine; }

 public:
  /// The field's lines as they stand, joined with CR LF.
  std::string CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList, int AIndex) override;
  /// The name unchanged.
  std::string CanonicalizeHeaderName(const std::string& AName) override { return AName; }
};

/// "relaxed": white space runs become one space, trailing white space goes,
/// field names are lower-cased and header values unfolded.
class TqmDkimRelaxedCanonicalizer : public TqmDkimCanonicalizer {
 public:
  /// Runs of white space as one space, none at the end of the line.
  std::string CanonicalizeBodyLine(const std::string& ALine) override;
  /// The value unfolded, white space compressed, trimmed, CR LF added.
  std::string CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList, int AIndex) override;
  /// The name in lower case.
  std::string CanonicalizeHeaderName(const std::string& AName) override;

 protected:
  /// RFC 6376 section 3.4.4: the relaxed form of an empty body is empty.
  std::string EmptyBody() override { return std::string(); }
  void AppendBodyLine(std::string& ABody, const std::string& ALine) override;
  void AppendUnterminatedBodyLine(std::string& ABody, const std::string& ALine) override;
};

/// Every run of tab, LF, CR or space becomes one space, or nothing at the end
/// of the text.
std::string CompressWhiteSpace(std::string_view AText);
/// CompressWhiteSpace(AText) appended to AOut.
void AppendCompressedWhiteSpace(std::string& AOut, std::string_view AText);

}  // namespace qm
