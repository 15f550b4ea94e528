// The lines of a message read in place: views into text the caller keeps,
// so that reading a message does not make one string per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/qmStrings.h"

namespace qm {

/// The lines of a message as views into text kept elsewhere: one buffer
/// (split at CR LF, CR or LF as TStrings::SetText splits) or the strings of
/// another list. That text must outlive the list and stay unchanged. The
/// list is read-only: the editing operations raise EListError.
class TqmMessageLines : public TStrings {
 public:
  /// The lines of AText; a final line break does not add an empty line.
  explicit TqmMessageLines(std::string_view AText);
  /// The lines of ALines (a TqmMessageLines shares its views).
  explicit TqmMessageLines(const TStrings& ALines);

  int Count() const override {
    return static_cast<int>(FInBuffer ? FStarts.size() - 1 : FViews.size());
  }
  /// Line AIndex as a string; a buffer's line is copied on first use, so
  /// readers of many lines use Line() instead.
  const std::string& Get(int AIndex) const override;
  void Put(int AIndex, const std::string& AValue) override;
  void Insert(int AIndex, const std::string& AValue) override;
  void Delete(int AIndex) override;
  void Clear() override;

  /// Line AIndex (0 <= AIndex < Count(), unchecked).
  std::string_view Line(int AIndex) const {
    const size_t I = static_cast<size_t>(AIndex);
    if (!FInBuffer) return FViews[I];
    const size_t Start = FStarts[I];
    size_t End = FStarts[I + 1] - 1;  // the line break, or past the text
    if (End >= FText.size())
      End = FText.size();
    else if (End > Start && FText[End] == '\n' && FText[End - 1] == '\r')
      --End;
    return std::string_view(FText.data() + Start, End - Start);
  }

 private:
  [[noreturn]] static void ReadOnly();

  // A buffer's lines are kept as 32-bit offsets of where each starts, plus
  // one past the last line's break (the text's size + 1 when it has none):
  // 4 bytes a line instead of a 16-byte view, so the index of a large
  // message read in place stays a small part of it. Text beyond 32-bit
  // offsets and lists kept elsewhere use views.
  bool FInBuffer = false;
  std::string_view FText;
  std::vector<uint32_t> FStarts;
  std::vector<std::string_view> FViews;
  const TStrings* FSource = nullptr;  // the list whose strings are viewed
  mutable std::unordered_map<int, std::string> FCopies;
};

}  // namespace qm
