#include "message/qmLineRangeStream.h"

#include <algorithm>
#include <cstring>

#include "core/qmException.h"
#include "message/qmMessageLines.h"

namespace qm {

TqmLineRangeStream::TqmLineRangeStream(const TqmMessageLines& ALines) : FLines(ALines) {}

TqmLineRangeStream::TqmLineRangeStream(const TqmMessageLines& ALines, int ABegin, int AEnd)
    : FLines(ALines) {
  AddRange(ABegin, AEnd);
}

void TqmLineRangeStream::AddRange(int ABegin, int AEnd) {
  const int Begin = std::clamp(ABegin, 0, FLines.Count());
  const int End = std::clamp(AEnd, Begin, FLines.Count());
  if (Begin == End) return;
  for (int I = Begin; I < End; ++I) FSize += static_cast<int64_t>(FLines.Line(I).size()) + 2;
  FLineCount += End - Begin;
  if (FRanges.empty()) FCursorLine = Begin;
  if (!FRanges.empty() && FRanges.back().End == Begin)
    FRanges.back().End = End;
  else
    FRanges.push_back({Begin, End});
}

void TqmLineRangeStream::Clear() {
  FRanges.clear();
  FLineCount = 0;
  FSize = FPosition = FCursorStart = 0;
  FCursorRange = 0;
  FCursorLine = 0;
}

void TqmLineRangeStream::PlaceCursor() {
  if (FPosition < FCursorStart) {
    FCursorRange = 0;
    FCursorLine = FRanges.empty() ? 0 : FRanges[0].Begin;
    FCursorStart = 0;
  }
  while (FCursorRange < FRanges.size()) {
    if (FCursorLine >= FRanges[FCursorRange].End) {
      if (++FCursorRange < FRanges.size()) FCursorLine = FRanges[FCursorRange].Begin;
      continue;
    }
    if (FCursorViewLine != FCursorLine) {
      FCursorView = FLines.Line(FCursorLine);
      FCursorViewLine = FCursorLine;
    }
    const int64_t Length = static_cast<int64_t>(FCursorView.size()) + 2;
    if (FPosition < FCursorStart + Length) return;
    FCursorStart += Length;
    ++FCursorLine;
  }
}

int64_t TqmLineRangeStream::Read(void* ABuffer, int64_t ACount) {
  const int64_t Count = std::clamp<int64_t>(FSize - FPosition, 0, std::max<int64_t>(ACount, 0));
  auto* Out = static_cast<char*>(ABuffer);
  int64_t Done = 0;
  while (Done < Count) {
    PlaceCursor();  // below FSize, so on a line
    const std::string_view Line = FCursorView;
    const auto Offset = static_cast<size_t>(FPosition - FCursorStart);
    const auto Room = static_cast<size_t>(Count - Done);
    size_t N;
    if (Offset < Line.size()) {
      N = std::min(Line.size() - Offset, Room);
      std::memcpy(Out + Done, Line.data() + Offset, N);
    } else {
      static constexpr char kCrLf[2] = {'\r', '\n'};
      const size_t At = Offset - Line.size();
      N = std::min(2 - At, Room);
      std::memcpy(Out + Done, kCrLf + At, N);
    }
    Done += static_cast<int64_t>(N);
    FPosition += static_cast<int64_t>(N);
  }
  return Done;
}

int64_t TqmLineRangeStream::Write(const void*, int64_t) { return 0; }

int64_t TqmLineRangeStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
  const int64_t Base = AOrigin == TSeekOrigin::soBeginning ? 0
                       : AOrigin == TSeekOrigin::soCurrent ? FPosition
                                                           : FSize;
  FPosition = std::max<int64_t>(Base + AOffset, 0);
  return FPosition;
}

void TqmLineRangeStream::SetSize(int64_t ASize) {
  if (ASize < 0 || ASize > FSize) throw EStreamError("The lines of a message cannot grow");
  FSize = ASize;
}

}  // namespace qm
