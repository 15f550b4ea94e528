#include "dkim/qmDkimCanonicalizer.h"

#include "core/qmSysUtils.h"

namespace qm {

namespace {
inline bool IsFoldWhite(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }
inline bool IsContinuation(const std::string& ALine) {
  return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
}
}  // namespace

void AppendCompressedWhiteSpace(std::string& AOut, std::string_view AText) {
  // Written through a pointer into room made in advance: the output is never
  // longer than the input, and this runs over every byte of every body.
  const size_t Start = AOut.size();
  AOut.resize(Start + AText.size());
  char* Out = AOut.data() + Start;
  const char* P = AText.data();
  const char* const End = P + AText.size();
  bool Pending = false;  // a run of white space waits for the next character
  for (; P < End; ++P) {
    const char C = *P;
    if (IsFoldWhite(C)) {
      Pending = true;
    } else {
      if (Pending) *Out++ = ' ';
      Pending = false;
      *Out++ = C;
    }
  }
  AOut.resize(static_cast<size_t>(Out - AOut.data()));
}

std::string CompressWhiteSpace(std::string_view AText) {
  std::string Result;
  Result.reserve(AText.size());
  AppendCompressedWhiteSpace(Result, AText);
  return Result;
}

void TqmDkimCanonicalizer::AppendBodyLine(std::string& ABody, const std::string& ALine) {
  ABody += CanonicalizeBodyLine(ALine);
}

std::string TqmDkimCanonicalizer::CanonicalizeBody(const TStrings& ALines, bool ALastLineUnterminated) {
  TqmDkimHeaderFieldList List;
  const int End = List.Parse(0, const_cast<TStrings*>(&ALines));
  const int Count = ALines.Count();
  const int First = End > 0 ? End + 1 : 0;
  size_t Size = 0;
  for (int I = First; I < Count; ++I) Size += ALines[I].size() + 2;
  // One buffer; KeepTo marks the end of the last line that is not empty,
  // so trailing empty lines are cut off at the end.
  std::string Body;
  Body.reserve(Size);
  size_t KeepTo = 0;
  for (int I = First; I < Count; ++I) {
    const size_t Start = Body.size();
    if (ALastLineUnterminated && I == Count - 1)
      AppendUnterminatedBodyLine(Body, ALines[I]);
    else
      AppendBodyLine(Body, ALines[I]);
    const bool Empty = Body.size() == Start;
    Body += "\r\n";
    if (!Empty) KeepTo = Body.size();
  }
  if (KeepTo == 0) return EmptyBody();
  Body.resize(KeepTo);
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

void TqmDkimRelaxedCanonicalizer::AppendBodyLine(std::string& ABody, const std::string& ALine) {
  AppendCompressedWhiteSpace(ABody, ALine);
}

void TqmDkimRelaxedCanonicalizer::AppendUnterminatedBodyLine(std::string& ABody, const std::string& ALine) {
  // The white space at its end is not "at the end of a line" until the
  // CR LF is added, so it is reduced to one space like any other run.
  AppendCompressedWhiteSpace(ABody, ALine);
  if (!ALine.empty() && IsFoldWhite(ALine.back())) ABody += ' ';
}

}  // namespace qm
