// Reading the messages of a maildir, one file after another.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// One message of a maildir.
struct TqmMaildirMessage {
  /// The path of the message's file.
  std::string FileName;
  /// The file's content; valid until the reader's next Next() or Close().
  std::string_view Text;
  /// The flag letters after ":2," in the file name ("RS": replied, seen);
  /// empty when there are none.
  std::string Flags;
  /// Whether the file is in new/ (not yet seen by a mail reader).
  bool New = false;
};

/// Reads the messages of a maildir: the files in its cur/ and new/
/// folders (tmp/ holds deliveries in progress and is left alone), in the
/// order of their names, which begin with the delivery time. Each file is
/// read into one buffer that the reader keeps and reuses, so reading a
/// folder allocates once, not once per message. A file that disappears
/// between the listing and its reading (another program moved it) is passed
/// over.
class TqmMaildirReader {
 public:
  /// A reader without a folder: Next() finds nothing until Open.
  TqmMaildirReader() = default;

  /// Lists the messages of the maildir ADirectory. Raises EFOpenError when
  /// it has neither a cur/ nor a new/ folder.
  void Open(const std::string& ADirectory);
  /// Forgets the folder and the buffer.
  void Close();
  /// How many message files were listed.
  size_t Count() const { return FFiles.size(); }

  /// Reads the next message into AMessage; false after the last one.
  /// Raises EFOpenError when a listed file exists but cannot be read.
  bool Next(TqmMaildirMessage& AMessage);
  /// Starts again at the first message.
  void Rewind() { FNext = 0; }

 private:
  struct TFile {
    std::string Path;
    std::string Name;
    bool New = false;
  };
  std::vector<TFile> FFiles;
  size_t FNext = 0;
  std::string FBuffer;
};

}  // namespace qm
