// Lists of lines. Each entry is one line without its line break; written
// out as text, every line is followed by CR LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"

namespace qm {

class TStream;

/// A list of lines (UTF-8, without line ends): message sources, replies,
/// recipient lists. Indexes count from 0; an index out of range raises
/// EListError.
class TStrings : public TPersistent {
 public:
  /// The primitive operations a list implements: count, read, replace,
  /// insert before AIndex, delete, empty.
  ///@{
  virtual int Count() const = 0;
  virtual const std::string& Get(int AIndex) const = 0;
  virtual void Put(int AIndex, const std::string& AValue) = 0;
  virtual void Insert(int AIndex, const std::string& AValue) = 0;
  virtual void Delete(int AIndex) = 0;
  virtual void Clear() = 0;
  ///@}

  /// Line AIndex (Get()).
  const std::string& operator[](int AIndex) const { return Get(AIndex); }
  /// Whether the list has no line.
  bool IsEmpty() const { return Count() == 0; }
  /// The lines as one vector, offered by lists that keep them so (string
  /// lists): readers that walk large lists use it instead of a virtual
  /// call per line, without testing the list's type. nullptr otherwise.
  virtual const std::vector<std::string>* LineVector() const { return nullptr; }

  /// Appends a line; returns its index.
  int Add(const std::string& AValue);
  /// Appends every line of AStrings.
  ///@{
  void AddStrings(const TStrings& AStrings);
  void AddStrings(const std::vector<std::string>& AStrings);
  ///@}
  /// The index of the first line equal to AValue ignoring ASCII case, or -1.
  virtual int IndexOf(const std::string& AValue) const;
  /// Swaps two lines.
  void Exchange(int AIndex1, int AIndex2);
  /// Moves line ACurIndex to ANewIndex.
  void Move(int ACurIndex, int ANewIndex);
  /// Whether both lists hold the same lines.
  bool Equals(const TStrings& AStrings) const;
  /// A copy of the lines.
  std::vector<std::string> ToVector() const;

  /// Every line followed by CR LF.
  std::string Text() const;
  /// Replaces the lines by the text split at CR LF, CR or LF; a final line
  /// break does not add an empty line.
  virtual void SetText(std::string_view AText);
  /// Lines joined with ADelimiter, no trailing delimiter.
  std::string Join(std::string_view ADelimiter) const;

  /// "name=value" lines: the name and value of line AIndex, the value for
  /// a name, setting one, and the index of a name (-1: absent).
  ///@{
  std::string Names(int AIndex) const;
  std::string ValueFromIndex(int AIndex) const;
  std::string Values(const std::string& AName) const;
  void SetValue(const std::string& AName, const std::string& AValue);
  int IndexOfName(const std::string& AName) const;
  ///@}

  /// Replaces the lines by the text of a stream (from its position) or a
  /// file, split at CR LF, CR or LF; writes them each followed by CR LF. A
  /// file that cannot be opened or created raises EFOpenError or
  /// EFCreateError.
  ///@{
  void LoadFromStream(TStream& AStream);
  void SaveToStream(TStream& AStream) const;
  void LoadFromFile(const std::string& AFileName);
  void SaveToFile(const std::string& AFileName) const;
  ///@}

  /// Batches changes: the list tells about them once, at the last EndUpdate.
  ///@{
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }
  ///@}

  /// Copies the lines of another list.
  void Assign(const TPersistent& ASource) override;

 protected:
  /// Called when the first BeginUpdate starts and the last EndUpdate ends.
  virtual void SetUpdateState(bool /*AUpdating*/) {}
  /// Replaces the lines by ALines, taken over.
  virtual void SetLines(std::vector<std::string>&& ALines);

 private:
  int FUpdateCount = 0;
};

/// The index of the first CR or LF of AText from AFrom on, or npos. Sixteen
/// bytes at a time: find_first_of("\r\n") looks every byte up in its set,
/// and a scan for LF first would cross the rest of a CR-only text again for
/// every line.
size_t FindLineBreak(std::string_view AText, size_t AFrom = 0);

/// Appends the lines of AText, split at CR LF, CR or LF; a final line break
/// adds no empty line.
void AppendLinesOf(std::string_view AText, std::vector<std::string>& ALines);

/// Writes lines [AFirst, AEnd) of ALines to AStream at its position, each
/// followed by CR LF: in place for a memory stream, else in large writes.
void WriteLines(const TStrings& ALines, int AFirst, int AEnd, TStream& AStream);

/// The list of lines in memory, with change notification.
class TStringList : public TStrings {
 public:
  /// An empty list.
  TStringList() = default;
  /// A list holding ALines.
  explicit TStringList(std::vector<std::string> ALines) : FLines(std::move(ALines)) {}

  int Count() const override { return static_cast<int>(FLines.size()); }
  const std::string& Get(int AIndex) const override;
  void Put(int AIndex, const std::string& AValue) override;
  void Insert(int AIndex, const std::string& AValue) override;
  void Delete(int AIndex) override;
  void Clear() override;

  /// Direct access for readers that walk large lists.
  const std::vector<std::string>& Lines() const { return FLines; }
  const std::vector<std::string>* LineVector() const override { return &FLines; }
  /// Reserves room for ACapacity lines.
  void Reserve(int ACapacity) { FLines.reserve(static_cast<size_t>(ACapacity)); }
  /// Appends a line without the bounds checks of Insert; still notifies.
  void Append(std::string AValue);
  /// Extends the last line in place (amortised linear, unlike Put with a
  /// concatenation); appends a line when the list is empty. Notifies.
  void AppendToLast(std::string_view AText);
  /// Moves all of ALines to the end, with one notification.
  void AppendLines(std::vector<std::string>&& ALines);
  /// Splits the whole text at once and tells about the change once.
  void SetText(std::string_view AText) override;

  /// Before and after each change (once per BeginUpdate/EndUpdate batch).
  ///@{
  TNotifyEvent OnChanging;
  TNotifyEvent OnChange;
  ///@}

 protected:
  void SetUpdateState(bool AUpdating) override;
  void SetLines(std::vector<std::string>&& ALines) override;
  /// Raise OnChanging and OnChange (held back while updating).
  ///@{
  virtual void Changing();
  virtual void Changed();
  ///@}

 private:
  void CheckIndex(int AIndex) const;
  std::vector<std::string> FLines;
  bool FUpdating = false;
  bool FChangedWhileUpdating = false;
};

}  // namespace qm
