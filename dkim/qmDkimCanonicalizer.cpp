#include "dkim/qmDkimCanonicalizer.h"

#include "core/qmSysUtils.h"

namespace qm {

namespace {
inline bool IsFoldWhite(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }
inline bool IsContinuation(const std::string& ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}
}  // namespace

std::string CompressWhiteSpace(std::string_view AText) {
  std::string Result;
  Result.reserve(AText.size());
  const size_t N = AText.size();
  size_t I = 0;
  while (I < N) {
    if (IsFoldWhite(AText[I])) {
      while (I < N && IsFoldWhite(AText[I])) ++I;
      if (I < N) Result += ' ';
      continue;
    }
    // Copy the run of other characters at once.
    size_t J = I;
    while (J < N && !IsFoldWhite(AText[J])) ++J;
    Result.append(AText, I, J - I);
    I = J;
  }
  return Result;
}

std::string TqmDkimCanonicalizer::CanonicalizeBody(const TStrings& ALines) {
  TqmDkimHeaderFieldList List;
  const int End = List.Parse(0, const_cast<TStrings*>(&ALines));
  const int Count = ALines.Count();
  const int First = End > 0 ? End + 1 : 0;
  // Trailing lines that canonicalize to nothing are dropped first, so the
  // text is built once.
  std::vector<std::string> Lines;
  Lines.reserve(static_cast<size_t>(std::max(Count - First, 0)));
  size_t Size = 0;
  for (int I = First; I < Count; ++I) {
    Lines.push_back(CanonicalizeBodyLine(ALines[I]));
    Size += Lines.back().size() + 2;
  }
  size_t Last = Lines.size();
  while (Last > 0 && Lines[Last - 1].empty()) --Last;
  if (Last == 0) return EmptyBody();
  std::string Body;
  Body.reserve(Size);
  for (size_t I = 0; I < Last; ++I) {
    Body += Lines[I];
    Body += "\r\n";
  }
  return Body;
}

std::string TqmDkimCanonicalizer::CanonicalizeHeader(TStrings& ALines, const TStrings& AFieldNames) {
  TqmDkimHeaderFieldList List;
  List.Parse(0, &ALines);
  List.ResetFieldSearch();
  std::string Result;
  for (int I = 0; I < AFieldNames.Count(); ++I) {
    const int Index = List.FindNextFieldFromBottom(AFieldNames[I]);
    if (Index < 0) continue;
    Result += CanonicalizeHeaderName(List.GetFieldName(Index));
    Result += ':';
    Result += CanonicalizeHeaderValue(List, Index);
  }
  return Result;
}

std::string TqmDkimCanonicalizer::CanonicalizeHeaderField(TStrings& ALines,
                                                          const std::string& AFieldName) {
  TStringList Names;
  Names.Add(AFieldName);
  return CanonicalizeHeader(ALines, Names);
}

std::string TqmDkimSimpleCanonicalizer::CanonicalizeHeaderValue(const TqmDkimHeaderFieldList& AList,
                                                                int AIndex) {
  const TStrings& Source = *AList.Source();
  int Line = AList.GetFieldLineIndex(AIndex);
  const std::string& First = Source[Line];
  const size_t Colon = First.find(':');
  std::string Result = First.substr(Colon == std::string::npos ? First.size() : Colon + 1);
  Result += "\r\n";
  for (++Line; Line < Source.Count() && IsContinuation(Source[Line]); ++Line) {
    Result += Source[Line];
    Result += "\r\n";
  }
  return Result;
}

std::string TqmDkimRelaxedCanonicalizer::CanonicalizeHeaderValue(
    const TqmDkimHeaderFieldList& AList, int AIndex) {
  const TStrings& Source = *AList.Source();
  int Line = AList.GetFieldLineIndex(AIndex);
  const std::string& First = Source[Line];
  const size_t Colon = First.find(':');
  std::string Value = First.substr(Colon == std::string::npos ? First.size() : Colon + 1);
  for (++Line; Line < Source.Count() && IsContinuation(Source[Line]); ++Line) Value += Source[Line];
  // Leading white space goes; CR and LF count as white space, so stray line
  // breaks inside vanish in the compression.
  std::string Result = CompressWhiteSpace(Trim(Value));
  Result += "\r\n";
  return Result;
}

std::string TqmDkimRelaxedCanonicalizer::CanonicalizeHeaderName(const std::string& AName) {
  return LowerCase(Trim(AName));
}

std::string TqmDkimRelaxedCanonicalizer::CanonicalizeBodyLine(const std::string& ALine) {
  return CompressWhiteSpace(ALine);
}

}  // namespace qm
