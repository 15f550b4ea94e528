// The lines of a message read in place: views into text the caller keeps,
// so that reading a message does not make one string per line.
#pragma once

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

  int Count() const override { return static_cast<int>(FLines.size()); }
  /// Line AIndex as a string; a buffer's line is copied on first use, so
  /// readers of many lines use Line() instead.
  const std::string& Get(int AIndex) const override;
  void Put(int AIndex, const std::string& AValue) override;
  void Insert(int AIndex, const std::string& AValue) override;
  void Delete(int AIndex) override;
  void Clear() override;

  /// Line AIndex (0 <= AIndex < Count(), unchecked).
  std::string_view Line(int AIndex) const { return FLines[static_cast<size_t>(AIndex)]; }

 private:
  [[noreturn]] static void ReadOnly();

  std::vector<std::string_view> FLines;
  const TStrings* FSource = nullptr;  // the list whose strings are viewed
  mutable std::unordered_map<int, std::string> FCopies;
};

}  // namespace qm
