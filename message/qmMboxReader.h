// Reading the messages of an mbox file in place, one after another.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

class TqmMailMessage;

/// How quoted "From " lines in the messages of an mbox file are read back.
enum TqmMboxQuoting {
  mqMboxrd,  ///< ">From ", ">>From "...: each loses one ">" (the default; what qm fetch writes)
  mqMboxo,   ///< only ">From " loses its ">"; deeper quoting stays as written
  mqNone     ///< lines stay as written (files whose messages are delimited by Content-Length alone)
};

/// One message of an mbox file as the reader found it. The views point
/// into the reader's data and stay valid while it holds that data.
struct TqmMboxMessage {
  /// The "From " line that starts the message, without its line break.
  std::string_view Separator;
  /// The message as stored (header, empty line, body), quoting not undone,
  /// without the empty line that separates it from the next one.
  std::string_view Text;
  /// Where the separator starts in the data.
  int64_t Offset = 0;
  /// The message's position in the file, from 0.
  int Index = 0;
  /// Whether Text holds quoted "From " lines that TqmMboxReader::Unquoted undoes.
  bool Quoted = false;
  /// Whether the end was found through the message's Content-Length field
  /// (it pointed at the next separator or at the end of the data).
  bool ByContentLength = false;
};

/// Reads the messages of an mbox file: each one starts at a line beginning
/// with "From ". A message whose header gives a Content-Length that ends
/// exactly at the next separator (or at the end of the data) is taken by
/// that length, so unquoted "From " lines in its body stay in it; any other
/// length is ignored and the next "From " line ends the message. The
/// messages are views into one buffer: a mapped file (Open) or data the
/// caller keeps (SetData); nothing is copied unless quoting is undone.
/// Text before the first separator belongs to no message (Skipped()).
class TqmMboxReader {
 public:
  /// A reader without data: Next() finds nothing until Open or SetData.
  TqmMboxReader() = default;
  /// A reader over AData, which the caller keeps alive and unchanged.
  explicit TqmMboxReader(std::string_view AData) { SetData(AData); }
  ~TqmMboxReader();
  TqmMboxReader(const TqmMboxReader&) = delete;
  TqmMboxReader& operator=(const TqmMboxReader&) = delete;

  /// Maps the file AFileName (a file that cannot be mapped, such as a pipe,
  /// is read into memory) and starts at its first message. Raises
  /// EFOpenError when it cannot be opened or read.
  void Open(const std::string& AFileName);
  /// Reads AData, which the caller keeps alive and unchanged, from its
  /// first message on.
  void SetData(std::string_view AData);
  /// Lets go of the data (unmaps the file).
  void Close();
  /// All the data read.
  std::string_view Data() const { return FData; }

  /// How quoted "From " lines are read back (default mqMboxrd).
  ///@{
  TqmMboxQuoting Quoting() const { return FQuoting; }
  void SetQuoting(TqmMboxQuoting AValue) { FQuoting = AValue; }
  ///@}
  /// Whether a sane Content-Length field delimits a message (default true).
  ///@{
  bool UseContentLength() const { return FUseContentLength; }
  void SetUseContentLength(bool AValue) { FUseContentLength = AValue; }
  ///@}

  /// The next message into AMessage; false at the end of the data.
  bool Next(TqmMboxMessage& AMessage);
  /// Starts again at the first message.
  void Rewind();
  /// Bytes before the first separator, which belong to no message (known
  /// once Next() has been called).
  int64_t Skipped() const { return FSkipped; }

  /// The text of AMessage with its quoting undone: AMessage.Text itself when
  /// nothing is quoted, else a copy held by the reader (valid until the next
  /// call).
  std::string_view Unquoted(const TqmMboxMessage& AMessage);
  /// Reads AMessage into ATarget (TqmMailMessage::ParseMessage of its
  /// unquoted text).
  void Parse(const TqmMboxMessage& AMessage, TqmMailMessage& ATarget);

 private:
  size_t ContentLengthEnd(size_t AStart) const;
  bool IsSeparatorAt(size_t APos) const;

  std::string_view FData;
  void* FMapped = nullptr;  // the mapping Open made, if any
  size_t FMappedSize = 0;
  std::string FOwned;        // a file that could not be mapped
  std::string FUnquoted;     // the last Unquoted() copy
  size_t FPosition = 0;      // where the next separator starts
  int FIndex = 0;
  int64_t FSkipped = 0;
  TqmMboxQuoting FQuoting = mqMboxrd;
  bool FUseContentLength = true;
};

}  // namespace qm
