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

class TqmDkimCanonicalizer : public TqmConfigObject {
 public:
  virtual std::string CanonicalizeBodyLine(const std::string& ALine) = 0;
  // The canonical value of one field, CR LF included.
  virtual std::string CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList, int AIndex) = 0;
  virtual std::string CanonicalizeHeaderName(const std::string& AName) = 0;
  // The canonical body; trailing empty lines are reduced to one CR LF, an
  // empty body is one CR LF (simple). ALastLineUnterminated: the text the
  // lines come from did not end with a line break (a file; over SMTP every
  // line ends with one); the relaxed form of such a last line keeps one
  // space for the white space that ends it (RFC 6376 section 3.4.4 read
  // to the letter, as dkimpy does) before the CR LF it adds.
  virtual std::string CanonicalizeBody(const TStrings& ALines, bool ALastLineUnterminated);
  std::string CanonicalizeBody(const TStrings& ALines) { return CanonicalizeBody(ALines, false); }
  // The fields named in AFieldNames, in that order; a name repeated takes
  // the next instance of the field from the bottom upwards, and a name
  // with no (further) instance adds nothing.
  virtual std::string CanonicalizeHeader(TStrings& ALines, const TStrings& AFieldNames);

  // The bottom-most field of that name.
  std::string CanonicalizeHeaderField(TStrings& ALines, const std::string& AFieldName);

 protected:
  // What an empty body canonicalizes to.
  virtual std::string EmptyBody() { return "\r\n"; }
  // Appends the canonical form of ALine (CanonicalizeBodyLine) to ABody;
  // overridden to write in place.
  virtual void AppendBodyLine(std::string& ABody, const std::string& ALine);
  // The same for a last line that had no line break.
  virtual void AppendUnterminatedBodyLine(std::string& ABody, const std::string& ALine) {
    AppendBodyLine(ABody, ALine);
  }
};

class TqmDkimSimpleCanonicalizer : public TqmDkimCanonicalizer {
 public:
  std::string CanonicalizeBodyLine(const std::string& ALine) override { return ALine; }

 protected:
  void AppendBodyLine(std::string& ABody, const std::string& ALine) override { ABody += ALine; }

 public:
  std::string CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList, int AIndex) override;
  std::string CanonicalizeHeaderName(const std::string& AName) override { return AName; }
};

class TqmDkimRelaxedCanonicalizer : public TqmDkimCanonicalizer {
 public:
  std::string CanonicalizeBodyLine(const std::string& ALine) override;
  std::string CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList, int AIndex) override;
  std::string CanonicalizeHeaderName(const std::string& AName) override;

 protected:
  // RFC 6376 section 3.4.4: the relaxed form of an empty body is empty.
  std::string EmptyBody() override { return std::string(); }
  void AppendBodyLine(std::string& ABody, const std::string& ALine) override;
  void AppendUnterminatedBodyLine(std::string& ABody, const std::string& ALine) override;
};

// Every run of tab, LF, CR or space becomes one space, or nothing at the end
// of the text.
std::string CompressWhiteSpace(std::string_view AText);
void AppendCompressedWhiteSpace(std::string& AOut, std::string_view AText);

}  // namespace qm
