// Message dates, loading text into lists of lines, raw memory blocks and the
// small string and byte helpers the message, DKIM, DNS and crypto code share.
//
// Positions: TextPos, TextLastPos and ExtractWord count from 1, and 0 means
// "absent" (or "from the end" for TextLastPos's start). ReadWord/WriteWord and
// friends take 0-based byte offsets into a byte array. Case rules are ASCII
// only: system text is UTF-8 and the texts compared here are protocol words.
#pragma once

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmTypes.h"

namespace qm {

class TStream;
class TStrings;

// ---------------------------------------------------------------------------
/// Message dates (RFC 5322 "date-time")

/// "Sun, 6 Dec 2026 08:35:30 +0000": English names whatever the locale; the
/// zone is the offset in force at that local time (so a summer date formatted
/// in winter still carries the summer offset).
std::string DateTimeToMailDate(TDateTime ALocalTime);
/// The current local offset from UTC as "+hhmm" / "-hhmm" ("+0100" one hour
/// east of UTC, "-0500" five hours west).
std::string GetTimeZoneOffset();
/// The same for a bias in minutes (minutes to add to local time to get UTC).
std::string TimeZoneBiasToText(int ABias);

/// Parses a message date and returns it in local time (not UTC, and not the
/// sender's clock time): "Mon, 7 Dec 2026 10:00:00 +0200" read in a UTC
/// zone gives 08:00. AZoneOffset receives the zone the text carried, as a
/// fraction of a day (east positive). A day or year that is not a number
/// raises EConvertError; a text that does not give a real date returns 0
/// with an offset of 0. Two-digit years: 00-49 are 2000-2049, 50-99 are
/// 1950-1999.
///@{
TDateTime MailDateToDateTime(std::string_view AText, TDateTime& AZoneOffset);
TDateTime MailDateToDateTime(std::string_view AText);
///@}
/// "+hhmm" / "-hhmm" as a fraction of a day (east positive); the obsolete
/// names UT, GMT, Z, EST/EDT, CST/CDT, MST/MDT, PST/PDT are understood too.
/// Anything else gives 0.
TDateTime ParseTimeZone(std::string_view AText);
/// "hh[:mm[:ss]]" with an optional AM/PM; missing or bad parts count 0, a
/// time that does not exist gives 0.
TDateTime ParseTime(std::string_view AText);

/// Conversions by the rules of the current zone (TZ).
///@{
TDateTime UtcToLocal(TDateTime AUtc);
TDateTime LocalToUtc(TDateTime ALocal);
///@}
/// A file time as the file system reports it (stat's st_mtim and friends).
using TqmFileTime = struct timespec;
/// A file time as a local TDateTime.
TDateTime FileTimeToLocal(const TqmFileTime& AFileTime);

// ---------------------------------------------------------------------------
/// Lists of lines

/// Loads text into a list of lines (not owned) and searches and sizes it.
class TqmStringsUtils : public TObject {
 public:
  /// Works on AStrings, which it does not own.
  explicit TqmStringsUtils(TStrings* AStrings);

  /// The list worked on.
  TStrings* Strings() const { return FStrings; }
  /// Bytes per batch in LoadFromStream; 0 (or less) reads the rest at once.
  ///@{
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int AValue) { FBatchSize = AValue; }
  ///@}
  /// Charset the stream's bytes are in; empty = system text (bytes unchanged).
  ///@{
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue) { FCharSet = AValue; }
  ///@}

  /// Splits the text into lines at CR, LF or CR LF and adds them. With
  /// AAppendToLast and a non-empty list the first piece goes onto the last
  /// line. Returns 0 when the text ended with a line break, otherwise its
  /// length (the last line is unfinished). A text that ends with a CR counts
  /// as unfinished, because the LF of a CR LF may come with the next text:
  /// the next call with AAppendToLast drops that LF and starts a new line.
  int64_t AddText(std::string_view AText, bool AAppendToLast);
  /// Reads AStream from its position to its end (or until AByteLimit bytes
  /// when that is > 0) in batches of BatchSize bytes, raising OnProgress
  /// before each batch. Each batch is decoded from CharSet (a character cut
  /// by a batch boundary is completed by the next batch), NUL becomes a
  /// space, and the text goes to AddText. Returns the last AddText result.
  int64_t LoadFromStream(TStream& AStream, bool AAppendToLast, int64_t AByteLimit = 0);
  /// The first line equal to AText (AExact) or containing it, ignoring case;
  /// -1 when none.
  int IndexOfLine(std::string_view AText, bool AExact) const;
  /// The size of the list written with CR LF after every line.
  int64_t GetTextSize() const;

  /// Before each batch of LoadFromStream (bytes read so far, bytes to read).
  TqmProgressEvent OnProgress;

 protected:
  /// Raises OnProgress.
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);

 private:
  TStrings* FStrings;
  int FBatchSize = 0;
  std::string FCharSet;
  bool FPendingCR = false;  // the last text ended with a CR that may start a CR LF
};

/// The TqmStringsUtils operations on ALines (system text, one batch).
///@{
int64_t AddTextToLines(TStrings& ALines, std::string_view AText, bool AAppendToLast);
int64_t LoadLinesFromStream(TStrings& ALines, TStream& AStream);
int IndexOfLine(const TStrings& ALines, std::string_view AText, bool AExact);
int64_t GetLinesSize(const TStrings& ALines);
///@}

// ---------------------------------------------------------------------------
/// String helpers

/// AText unchanged when it begins with AOpen or ends with AClose, otherwise
/// AOpen + AText + AClose (an empty text becomes the two quote characters).
///@{
std::string QuoteText(std::string_view AText, char AOpen, char AClose);
std::string QuoteText(std::string_view AText);  // double quotes
///@}
/// Removes AOpen and AClose when the text is longer than one character and
/// begins with AOpen and ends with AClose; otherwise the text unchanged.
///@{
std::string UnquoteText(std::string_view AText, char AOpen, char AClose);
std::string UnquoteText(std::string_view AText, char AQuote);
std::string UnquoteText(std::string_view AText);  // double quotes
///@}

/// Words are runs of characters that are not in ADelimiters.
int WordCount(std::string_view AText, std::string_view ADelimiters);
/// The ANumber-th word (from 1), or an empty text.
std::string ExtractWord(int ANumber, std::string_view AText, std::string_view ADelimiters);

/// Clears ALines and adds the pieces of AText between occurrences of
/// ADelimiter (a text of one or more characters). Control characters (1 to
/// 31 except tab, e.g. the CR LF of a folded header) are dropped; spaces and
/// tabs are kept. A delimiter at the very end adds an empty piece; an empty
/// text adds nothing. An empty delimiter gives the whole text as one piece.
void SplitText(std::string_view AText, TStrings& ALines, std::string_view ADelimiter);
/// Like SplitText for a one-character delimiter, but a delimiter between an
/// opening character (from AOpenChars) and its closing character (the one at
/// the same index in ACloseChars) does not split; nesting is counted. Inside
/// a part opened by '"' a backslash escapes the next character. With AKeep
/// the opening and closing characters stay in the piece, otherwise they are
/// removed. An opening character that is never closed runs to the end.
void SplitQuoted(std::string_view AText, TStrings& ALines, char ADelimiter, bool AKeep,
                 std::string_view AOpenChars, std::string_view ACloseChars);

/// Case-sensitive position (from 1) of ASub in AText at or after AStart
/// (values below 1 count as 1); 0 when absent or ASub is empty.
int TextPos(std::string_view ASub, std::string_view AText, int AStart = 1);
/// Case-insensitive position (from 1) of the last ASub in AText that begins
/// at or before AStart (0 or less, or past the end: the whole text); 0 when
/// absent or ASub is empty.
int TextLastPos(std::string_view ASub, std::string_view AText, int AStart = 0);
/// The index of the first entry equal to AText ignoring case, or -1.
///@{
int IndexOfText(std::string_view AText, std::span<const std::string_view> AArray);
int IndexOfText(std::string_view AText, std::initializer_list<std::string_view> AArray);
int IndexOfText(std::string_view AText, const std::vector<std::string>& AArray);
///@}

// ---------------------------------------------------------------------------
/// Byte helpers

/// Two upper-case hex digits per byte, ASeparator between bytes.
///@{
std::string BytesToHex(const TqmByteArray& ABytes, std::string_view ASeparator = {});
std::string BytesToHex(const void* AData, size_t ACount, std::string_view ASeparator = {});
///@}
/// The bytes in reverse order.
TqmByteArray ReverseBytes(const TqmByteArray& ABytes);

/// Big-endian 16- and 32-bit values at byte offset APos (from 0), which
/// advances past the value. Reading past the end (or at a negative offset)
/// raises EReadError; writing past the end grows the array, a negative
/// offset raises EWriteError.
///@{
uint16_t ReadWord(const TqmByteArray& ABytes, int& APos);
uint32_t ReadDWord(const TqmByteArray& ABytes, int& APos);
void WriteWord(TqmByteArray& ABytes, int& APos, uint16_t AValue);
void WriteDWord(TqmByteArray& ABytes, int& APos, uint32_t AValue);
///@}

// ---------------------------------------------------------------------------
/// A raw memory block. The base class takes it from the ordinary heap; a
/// subclass may override both operations to use another allocator, and must
/// then call FreeData in its own destructor (the base destructor can only
/// release blocks of its own kind).
class TqmBinaryData : public TObject {
 public:
  TqmBinaryData() = default;
  ~TqmBinaryData() override;

  /// The block (null when there is none), its size in bytes, and a copy.
  ///@{
  uint8_t* Data() const { return FData; }
  int Size() const { return FSize; }
  TqmByteArray ToBytes() const { return TqmByteArray(FData, FData + FSize); }
  ///@}
  /// Replaces the block by a copy of ABytes.
  void Assign(const TqmByteArray& ABytes);

  /// Releases the block (Data() becomes null, Size() 0).
  virtual void FreeData();
  /// Releases the block and obtains a zero-filled one of ASize bytes; a
  /// negative size raises EInvalidOperation.
  virtual void AllocateData(int ASize);

 protected:
  /// Records the block a subclass's AllocateData obtained.
  void SetData(uint8_t* AData, int ASize) {
    FData = AData;
    FSize = ASize;
  }

 private:
  uint8_t* FData = nullptr;
  int FSize = 0;
};

}  // namespace qm
