// Ranges of a message's lines read as one stream, without copying them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/qmStream.h"

namespace qm {

class TqmMessageLines;

/// Ranges of the lines of a TqmMessageLines read one after another as one
/// text in which every line is followed by CR LF: the data of a part handed
/// to its body as it lies in the message. Read-only (Write moves nothing);
/// SetSize may only shorten it, as dropping the line break before a
/// delimiter does. The lines must outlive the stream.
class TqmLineRangeStream : public TStream {
 public:
  /// No lines yet; see AddRange().
  explicit TqmLineRangeStream(const TqmMessageLines& ALines);
  /// Lines [ABegin, AEnd).
  TqmLineRangeStream(const TqmMessageLines& ALines, int ABegin, int AEnd);

  /// Appends lines [ABegin, AEnd) (clamped to the lines); the stream grows
  /// by their text.
  void AddRange(int ABegin, int AEnd);
  /// Drops every range; the stream is empty at position 0.
  void Clear();
  /// The number of lines in the ranges.
  int LineCount() const { return FLineCount; }

  /// Copies up to ACount bytes of the text from the position; returns how
  /// many (0 at the end).
  int64_t Read(void* ABuffer, int64_t ACount) override;
  /// Writes nothing: the lines are read-only (WriteBuffer raises).
  int64_t Write(const void* ABuffer, int64_t ACount) override;
  /// Moves the position (past the end reads nothing); returns it.
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
  /// The length of the text, CR LF after every line included.
  int64_t Size() override { return FSize; }
  /// Shortens the stream; raises EStreamError for a larger size.
  void SetSize(int64_t ASize) override;

 private:
  struct TRange {
    int Begin;
    int End;
  };
  // Moves the cursor to the line that holds FPosition (reads move forward,
  // so finding the next byte costs nothing; a seek back starts over).
  void PlaceCursor();

  const TqmMessageLines& FLines;
  std::vector<TRange> FRanges;
  int FLineCount = 0;
  int64_t FSize = 0;
  int64_t FPosition = 0;
  size_t FCursorRange = 0;
  int FCursorLine = 0;
  int64_t FCursorStart = 0;  // where FCursorLine starts in the stream
  // The text of line FCursorViewLine, found once per line however many
  // reads it takes.
  std::string_view FCursorView;
  int FCursorViewLine = -1;
};

}  // namespace qm
