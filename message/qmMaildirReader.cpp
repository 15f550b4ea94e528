#include "message/qmMaildirReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/qmException.h"

namespace qm {

namespace fs = std::filesystem;

void TqmMaildirReader::Close() {
  FFiles.clear();
  FNext = 0;
  FBuffer.clear();
  FBuffer.shrink_to_fit();
}

void TqmMaildirReader::Open(const std::string& ADirectory) {
  Close();
  bool Found = false;
  for (const char* Sub : {"cur", "new"}) {
    const fs::path Folder = fs::path(ADirectory) / Sub;
    std::error_code Error;
    if (!fs::is_directory(Folder, Error)) continue;
    Found = true;
    for (fs::directory_iterator It(Folder, Error), End; !Error && It != End; It.increment(Error)) {
      const std::string Name = It->path().filename().string();
      // Dot files are not messages (editors' and tools' leftovers).
      if (Name.empty() || Name[0] == '.') continue;
      std::error_code TypeError;
      if (!It->is_regular_file(TypeError)) continue;
      FFiles.push_back({It->path().string(), Name, Sub[0] == 'n'});
    }
    if (Error) throw EFOpenError("Cannot read folder \"" + Folder.string() + "\". " + Error.message());
  }
  if (!Found) throw EFOpenError("\"" + ADirectory + "\" is not a maildir (it has no cur or new folder)");
  std::sort(FFiles.begin(), FFiles.end(), [](const TFile& A, const TFile& B) { return A.Name < B.Name; });
}

bool TqmMaildirReader::Next(TqmMaildirMessage& AMessage) {
  while (FNext < FFiles.size()) {
    const TFile& File = FFiles[FNext++];
    const int Fd = ::open(File.Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
      if (errno == ENOENT) continue;  // moved or deleted since the listing
      throw EFOpenError("Cannot open file \"" + File.Path + "\". " + std::strerror(errno));
    }
    struct stat St {};
    size_t Size = 0;
    if (fstat(Fd, &St) == 0 && St.st_size > 0) Size = static_cast<size_t>(St.st_size);
    // Read to the end even if the file grew since fstat.
    size_t Used = 0;
    for (;;) {
      if (FBuffer.size() < Used + 1) FBuffer.resize(std::max(Used + 65536, Size + 1));
      const ssize_t Got = ::read(Fd, FBuffer.data() + Used, FBuffer.size() - Used);
      if (Got == 0) break;
      if (Got < 0) {
        if (errno == EINTR) continue;
        const int Error = errno;
        ::close(Fd);
        throw EFOpenError("Cannot read file \"" + File.Path + "\". " + std::strerror(Error));
      }
      Used += static_cast<size_t>(Got);
    }
    ::close(Fd);
    AMessage.FileName = File.Path;
    AMessage.Text = std::string_view(FBuffer.data(), Used);
    const size_t Info = File.Name.rfind(":2,");
    AMessage.Flags = Info == std::string::npos ? std::string() : File.Name.substr(Info + 3);
    AMessage.New = File.New;
    return true;
  }
  return false;
}

}  // namespace qm
