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

// Where an item stands in a field value (FindItem).
struct TqmFieldItem {
  int Position = 0;  // 1-based index of the item name in the value; 0: not found
  int Length = 0;    // the matched name up to its "=", plus Text
  std::string Text;  // the item's value as written, quotes included
};

class EqmHeaderFieldError : public Exception {
 public:
  EqmHeaderFieldError(std::string AMessage, int AErrorCode)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// Error codes of EqmHeaderFieldError.
// "Header field text holds a line break or NUL: %s": written as it stands
// it would end the field and start one of the sender's choice.
constexpr int qmHeaderFieldLineBreak = -1;

// Throws EqmHeaderFieldError when the text holds CR, LF or NUL.
void CheckHeaderText(std::string_view AText);

// Whether a line starts a header field: a name of printable ASCII
// characters (white space allowed only between it and the colon) and ":".
bool IsHeaderFieldLine(std::string_view ALine);
// Whether a line continues the field before it (starts with SP or TAB).
inline bool IsHeaderContinuation(std::string_view ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}

class TqmHeaderFieldList : public TObject {
 public:
  TqmHeaderFieldList() = default;

  // Character classes; subclasses may change them.
  virtual std::string_view GetQuoteChars() const;
  virtual std::string_view GetItemDelimiters() const;
  // Kept for subclasses that lay out lines themselves; folding here only
  // breaks at white space, so it never produces a line of one character.
  virtual std::string_view GetSpecialChars() const;
  virtual std::string_view GetWhiteSpaceChars() const;
  // The unfolded value, untrimmed.
  virtual std::string GetFieldValueAt(int AIndex) const;
  virtual TqmFieldItem FindItem(const std::string& AValue, const std::string& AItemName) const;
  virtual void InsertLine(int AIndex, const std::string& ALine, bool AFold);
  virtual void AddFieldItemAt(int AIndex, const std::string& AItemName,
                              const std::string& AItemValue, bool AOnNewLine);
  virtual std::string RemoveItem(const std::string& AText, const std::string& AItemName) const;
  virtual std::string ClearItemValue(const std::string& AText, const std::string& AItemName) const;
  virtual void InsertLines(int AIndex, const TStrings& ALines);
  virtual void DeleteFieldLines(int AIndex);
  // Indexes the header block that starts at line AStartIndex of ASource and
  // returns HeaderEnd: the first empty line, or the first line that is
  // neither a field nor a continuation (a header not followed by an empty
  // line; the body starts there). A first line "From ..." (an mbox
  // separator) and stray continuations are passed over. The list stays bound to ASource until the next Parse.
  virtual int Parse(int AStartIndex, TStrings* ASource);
  virtual std::string GetDecodedFieldValueAt(int AIndex) const;
  virtual std::string GetItemValue(const std::string& AValue, const std::string& AItemName) const;

  // Reading.
  int IndexOfField(const std::string& AName) const;
  int GetFieldLineIndex(int AIndex) const;
  int GetFieldLastLineIndex(int AIndex) const;
  std::string GetFieldName(int AIndex) const;
  void GetFieldLines(int AIndex, TStrings& ALines) const;
  std::string GetFieldValue(const std::string& AName) const;

  // Writing; every writer edits Source in place.
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

  // One entry per field of the last parse: the lower-cased name, everything
  // before the colon.
  const TStringList& FieldNames() const { return FFieldNames; }
  int FieldCount() const { return FFieldNames.Count(); }
  TStrings* Source() const { return FSource; }
  int HeaderStart() const { return FHeaderStart; }
  int HeaderEnd() const { return FHeaderEnd; }
  // Width for folding; 0 or less: nothing is folded.
  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int AValue) { FCharsPerLine = AValue; }
  char ItemDelimiter() const { return FItemDelimiter; }
  void SetItemDelimiter(char AValue) { FItemDelimiter = AValue; }

 protected:
  bool ValidIndex(int AIndex) const { return FSource && AIndex >= 0 && AIndex < FieldCount(); }
  // Inserts AText at line AIndex, folded at spaces when it does not fit;
  // AFirstPrefix goes before the first line, and no fold comes before
  // position AFirstBreak of AText. Returns the number of lines inserted;
  // HeaderEnd advances by it.
  int InsertFolded(int AIndex, const std::string& AText, const std::string& AFirstPrefix,
                   size_t AFirstBreak);
  void Reparse() { Parse(FHeaderStart, FSource); }
  void ApplyToFieldText(int AIndex, const std::string& AItemName, bool ARemove);

  TStringList FFieldNames;
  std::vector<int> FFieldLines;  // first line of each field in Source
  TStrings* FSource = nullptr;
  int FHeaderEnd = 0;
  int FHeaderStart = 0;
  int FCharsPerLine = 0;
  char FItemDelimiter = ';';
};

}  // namespace qm
