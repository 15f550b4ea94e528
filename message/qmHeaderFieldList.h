// Reads and writes header blocks in place, in a list of lines that it does
// not own: the message header, a body part's header, DKIM tag lists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmException.h"
#include "core/qmStrings.h"

namespace qm {

/// Where an item stands in a field value (FindItem).
struct TqmFieldItem {
  int Position = 0;  ///< 1-based index of the item name in the value; 0: not found
  int Length = 0;    ///< the matched name up to its "=", plus Text
  std::string Text;  ///< the item's value as written, quotes included
};

/// A header text that cannot be written (see qmHeaderFieldLineBreak).
class EqmHeaderFieldError : public Exception {
 public:
  /// An error with its message and code.
  EqmHeaderFieldError(std::string AMessage, int AErrorCode)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  /// qmHeaderFieldLineBreak.
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

/// Error codes of EqmHeaderFieldError.
/// "Header field text holds a line break or NUL: %s": written as it stands
/// it would end the field and start one of the sender's choice.
constexpr int qmHeaderFieldLineBreak = -1;

/// Throws EqmHeaderFieldError when the text holds CR, LF or NUL.
void CheckHeaderText(std::string_view AText);

/// Whether a line starts a header field: a name of printable ASCII
/// characters (white space allowed only between it and the colon) and ":".
bool IsHeaderFieldLine(std::string_view ALine);
/// Whether a line continues the field before it (starts with SP or TAB).
inline bool IsHeaderContinuation(std::string_view ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}

/// Where a header block that starts at line ABegin ends: at the first empty
/// line, at AEnd, or at the first line for which AStop is true. A line that
/// is neither a field nor a continuation (a "stray" line) is passed over
/// when a field follows it and the block goes on with fields up to its
/// empty line: a bad line inside a header loses none of the fields after
/// it. Otherwise the block ends at the first stray line: a header that runs
/// into its body without an empty line (text, or a preamble and a boundary
/// line, which is why two stray lines in a row or a stray line starting
/// with "--" also end it). A first line "From " (an mbox separator) is no
/// stray line. ALineAt(I) gives line I as a string_view.
template <class TLineAt, class TStop>
int HeaderBlockEnd(const TLineAt& ALineAt, int ABegin, int AEnd, const TStop& AStop) {
  int FirstStray = -1;
  bool AfterStray = false;  // the last line that was no continuation was stray
  bool Broken = false;
  int I = ABegin;
  for (; I < AEnd; ++I) {
    const std::string_view Line = ALineAt(I);
    if (Line.empty() || AStop(Line)) break;
    if (IsHeaderContinuation(Line)) continue;
    if (IsHeaderFieldLine(Line) || (I == ABegin && Line.substr(0, 5) == "From ")) {
      AfterStray = false;
      continue;
    }
    if (FirstStray < 0) FirstStray = I;
    if (AfterStray || Line.substr(0, 2) == "--") Broken = true;
    AfterStray = true;
    if (Broken) break;
  }
  const bool Blank = I < AEnd && ALineAt(I).empty();
  if (FirstStray >= 0 && (Broken || AfterStray || !Blank)) return FirstStray;
  return I;
}

/// A header block (fields "Name: value", continuation lines folded) read
/// and edited in place inside a list of lines it does not own: Parse()
/// binds it to the lines and indexes the fields; the writers insert and
/// remove lines there. Field names are matched without case. Values hold
/// items "name=value" separated by ItemDelimiter (MIME parameters, DKIM
/// tags). A field index out of range reads as empty and writes nothing.
/// Every writer raises EqmHeaderFieldError for text holding CR, LF or NUL.
class TqmHeaderFieldList : public TObject {
 public:
  /// An unbound list; call Parse() first.
  TqmHeaderFieldList() = default;

  /// Character classes; subclasses may change them.
  ///@{
  virtual std::string_view GetQuoteChars() const;
  virtual std::string_view GetItemDelimiters() const;
  ///@}
  /// Kept for subclasses that lay out lines themselves; folding here only
  /// breaks at white space, so it never produces a line of one character.
  ///@{
  virtual std::string_view GetSpecialChars() const;
  virtual std::string_view GetWhiteSpaceChars() const;
  ///@}
  /// The unfolded value, untrimmed.
  virtual std::string GetFieldValueAt(int AIndex) const;
  /// Finds item AItemName ("name" or "name=") in a field value, outside
  /// quotes and comments, ignoring case.
  virtual TqmFieldItem FindItem(const std::string& AValue, const std::string& AItemName) const;
  /// Inserts a header line before line AIndex (kept inside the header),
  /// folded to CharsPerLine when AFold. An empty line inserts nothing.
  virtual void InsertLine(int AIndex, const std::string& ALine, bool AFold);
  /// Appends "AItemName=AItemValue" to field AIndex, after the delimiter
  /// (on a new line when AOnNewLine or when it does not fit).
  virtual void AddFieldItemAt(int AIndex, const std::string& AItemName,
                              const std::string& AItemValue, bool AOnNewLine);
  /// AText without item AItemName (and its delimiter); unchanged when it
  /// has none.
  virtual std::string RemoveItem(const std::string& AText, const std::string& AItemName) const;
  /// AText with the value of item AItemName emptied ("b=" stays).
  virtual std::string ClearItemValue(const std::string& AText, const std::string& AItemName) const;
  /// Inserts the lines as they are before line AIndex; HeaderEnd advances.
  virtual void InsertLines(int AIndex, const TStrings& ALines);
  /// Deletes the lines of field AIndex (its continuations included).
  virtual void DeleteFieldLines(int AIndex);
  /// Indexes the header block that starts at line AStartIndex of ASource and
  /// returns HeaderEnd, as HeaderBlockEnd() finds it: the first empty line,
  /// or the first line that is neither a field nor a continuation when the
  /// header runs into its body without an empty line. Such lines inside a
  /// header, a first line "From ..." (an mbox separator) and stray
  /// continuations are passed over. The list stays bound to ASource until the next Parse.
  virtual int Parse(int AStartIndex, TStrings* ASource);
  /// The value of field AIndex as read by a user: trimmed here, decoded
  /// by subclasses.
  virtual std::string GetDecodedFieldValueAt(int AIndex) const;
  /// The value of item AItemName in a field value, unquoted; empty when
  /// absent.
  virtual std::string GetItemValue(const std::string& AValue, const std::string& AItemName) const;

  /// The index of the first field named AName (ignoring case), or -1.
  int IndexOfField(const std::string& AName) const;
  /// The first and last line of field AIndex in Source (-1 when invalid).
  ///@{
  int GetFieldLineIndex(int AIndex) const;
  int GetFieldLastLineIndex(int AIndex) const;
  ///@}
  /// The name of field AIndex as written.
  std::string GetFieldName(int AIndex) const;
  /// The lines of field AIndex into ALines (cleared first).
  void GetFieldLines(int AIndex, TStrings& ALines) const;
  /// The value of the first field named AName (GetDecodedFieldValueAt);
  /// empty when there is none.
  std::string GetFieldValue(const std::string& AName) const;

  /// Writing; every writer edits Source in place, at HeaderEnd unless an
  /// index is given. AddField, AddUnfoldedField and AddFieldIfAbsent add
  /// nothing for an empty value; AddFieldIfAbsent nothing when the field
  /// exists. AddLines adds ready lines ("Name: value"). The item writers
  /// add nothing when the field is missing (AddFieldItem: nor for an empty
  /// value); AddQuotedFieldItem quotes the value. AddEndOfHeader makes sure
  /// an empty line ends the header.
  ///@{
  void AddField(const std::string& AName, const std::string& AValue);
  void AddUnfoldedField(const std::string& AName, const std::string& AValue);
  void AddEmptyField(const std::string& AName);
  void InsertEmptyField(int AIndex, const std::string& AName);
  void AddFieldIfAbsent(const std::string& AName, const std::string& AValue);
  void AddLines(const TStrings& ALines);
  void AddFieldItem(const std::string& AFieldName, const std::string& AItemName,
                    const std::string& AItemValue);
  void AddQuotedFieldItem(const std::string& AFieldName, const std::string& AItemName,
                          const std::string& AItemValue);
  void AddEmptyFieldItem(const std::string& AFieldName, const std::string& AItemName);
  void RemoveFieldItem(const std::string& AFieldName, const std::string& AItemName);
  void ClearFieldItemValue(int AIndex, const std::string& AItemName);
  void RemoveField(const std::string& AName);
  void RemoveFieldAt(int AIndex);
  void AddEndOfHeader();
  ///@}

  /// One entry per field of the last parse: the lower-cased name, everything
  /// before the colon.
  const TStringList& FieldNames() const { return FFieldNames; }
  /// The number of fields.
  int FieldCount() const { return FFieldNames.Count(); }
  /// The lines the list is bound to (null before Parse()).
  TStrings* Source() const { return FSource; }
  /// The first line of the header and the line after its last field
  /// (where fields are added).
  ///@{
  int HeaderStart() const { return FHeaderStart; }
  int HeaderEnd() const { return FHeaderEnd; }
  ///@}
  /// Width for folding; 0 or less: nothing is folded.
  ///@{
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int AValue) { FCharsPerLine = AValue; }
  ///@}
  /// The separator of items in a value (default ';').
  ///@{
  char ItemDelimiter() const { return FItemDelimiter; }
  void SetItemDelimiter(char AValue) { FItemDelimiter = AValue; }
  ///@}

 protected:
  /// Whether AIndex names a field of the bound lines.
  bool ValidIndex(int AIndex) const { return FSource && AIndex >= 0 && AIndex < FieldCount(); }
  /// Inserts AText at line AIndex, folded at spaces when it does not fit;
  /// AFirstPrefix goes before the first line, and no fold comes before
  /// position AFirstBreak of AText. Returns the number of lines inserted;
  /// HeaderEnd advances by it.
  int InsertFolded(int AIndex, const std::string& AText, const std::string& AFirstPrefix,
                   size_t AFirstBreak);
  /// Indexes the bound lines again after an edit.
  void Reparse() { Parse(FHeaderStart, FSource); }
  /// Removes item AItemName of field AIndex (ARemove) or empties its value.
  void ApplyToFieldText(int AIndex, const std::string& AItemName, bool ARemove);

  /// The state behind the properties above.
  ///@{
  TStringList FFieldNames;
  std::vector<int> FFieldLines;  // first line of each field in Source
  TStrings* FSource = nullptr;
  int FHeaderEnd = 0;
  int FHeaderStart = 0;
  int FCharsPerLine = 0;
  char FItemDelimiter = ';';
  ///@}
};

}  // namespace qm
