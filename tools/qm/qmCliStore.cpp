#include "qm/qmCliStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "core/qmSysUtils.h"

namespace qm::cli {

void FailWriting(const std::string& APath) {
  throw TFailure("writing " + APath + ": " + std::strerror(errno));
}

void WriteAll(int AFd, std::string_view AData, const std::string& APath) {
  while (!AData.empty()) {
    const ssize_t N = write(AFd, AData.data(), AData.size());
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) FailWriting(APath);
    AData.remove_prefix(static_cast<size_t>(N));
  }
}

TFile::TFile(const std::string& APath, int AFlags, mode_t AMode) : FPath(APath) {
  FFd = open(APath.c_str(), AFlags | O_CLOEXEC, AMode);
  if (FFd < 0) FailWriting(APath);
}

TFile::~TFile() {
  if (FFd >= 0) close(FFd);
}

void TFile::Sync() {
  if (fsync(FFd) != 0) FailWriting(FPath);
}

void TFile::Close() {
  const int Fd = FFd;
  FFd = -1;
  if (close(Fd) != 0) FailWriting(FPath);
}

namespace {

// The message as stored on this machine, written as it arrives: one LF
// after every line (a CR LF, CR or LF of the server's), NUL as a space,
// and for an mbox the "From " line first and mboxrd quoting (">From ",
// ">>From "... gain one '>' and lose it on reading). Nothing is held but
// a buffer of output and, for an mbox, the header until it ends (the "From "
// line names the sender of its Return-Path).
class TStoredMessage : public TStream {
 public:
  TStoredMessage(int AFd, std::string APath, bool AMbox)
      : FFd(AFd), FPath(std::move(APath)), FMbox(AMbox), FQuoting(AMbox), FHolding(AMbox) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return FWritten; }
  void SetSize(int64_t) override {}
  int64_t Write(const void* ABuffer, int64_t ACount) override {
    const std::string_view Text(static_cast<const char*>(ABuffer), static_cast<size_t>(std::max<int64_t>(ACount, 0)));
    size_t I = 0;
    while (I < Text.size()) {
      const char C = Text[I];
      if (FAfterCR) {
        FAfterCR = false;
        if (C == '\n') {
          ++I;
          continue;
        }
      }
      if (C == '\r' || C == '\n') {
        EndLine();
        FAfterCR = C == '\r';
        ++I;
        continue;
      }
      FLineOpen = true;
      if (FQuoting) {
        // The start of an mbox line: quoted when it is '>'s and "From ".
        FPrefix += C == '\0' ? ' ' : C;
        ++I;
        const size_t Quotes = FPrefix.find_first_not_of('>');
        if (Quotes == std::string::npos) continue;
        const std::string_view Rest = std::string_view(FPrefix).substr(Quotes);
        const std::string_view From = "From ";
        if (Rest.size() < From.size() && From.substr(0, Rest.size()) == Rest) continue;
        if (Rest.substr(0, From.size()) == From) Put(">");
        Put(FPrefix);
        FPrefix.clear();
        FQuoting = false;
        continue;
      }
      size_t End = FindLineBreak(Text, I);
      if (End == std::string_view::npos) End = Text.size();
      std::string Run(Text.substr(I, End - I));
      std::replace(Run.begin(), Run.end(), '\0', ' ');
      Put(Run);
      I = End;
    }
    FWritten += ACount;
    return ACount;
  }
  // Ends the last line, writes what is held, and the blank line after an
  // mbox message.
  void Finish() {
    if (FLineOpen) EndLine();
    if (FHolding) ReleaseHeader();
    if (FMbox) Put("\n");
    Flush();
  }

 private:
  void EndLine() {
    Put(FPrefix);
    FPrefix.clear();
    Put("\n");
    if (FHolding && !FLineOpen) ReleaseHeader();
    FLineOpen = false;
    FQuoting = FMbox;
  }
  void Put(std::string_view AText) {
    if (FHolding) {
      FHeld += AText;
      // A header without end is not held for ever; its sender is then
      // looked for in what came.
      if (FHeld.size() > kHeaderHold) ReleaseHeader();
      return;
    }
    FOut += AText;
    if (FOut.size() >= kOutBuffer) Flush();
  }
  void Flush() {
    WriteAll(FFd, FOut, FPath);
    FOut.clear();
  }
  void ReleaseHeader() {
    FHolding = false;
    TStringList Header;
    Header.SetText(FHeld);
    Put("From " + EnvelopeSender(Header) + " " + AsciiTime() + "\n");
    Put(FHeld);
    FHeld = std::string();
  }
  static std::string EnvelopeSender(const TStrings& ALines) {
    for (int I = 0; I < ALines.Count() && !ALines.Get(I).empty(); ++I) {
      const std::string& Line = ALines.Get(I);
      if (!StartsText("Return-Path:", Line)) continue;
      std::string Address = Trim(Line.substr(12));
      if (!Address.empty() && Address.front() == '<') Address.erase(0, 1);
      if (!Address.empty() && Address.back() == '>') Address.pop_back();
      if (!Address.empty() && Address.find_first_of(" \t") == std::string::npos) return Address;
      break;
    }
    return "MAILER-DAEMON";
  }
  static std::string AsciiTime() {
    const std::time_t Now = std::time(nullptr);
    std::tm Utc{};
    gmtime_r(&Now, &Utc);
    char Text[64];
    std::strftime(Text, sizeof Text, "%a %b %e %H:%M:%S %Y", &Utc);
    return Text;
  }

  static constexpr size_t kOutBuffer = 64 * 1024;
  static constexpr size_t kHeaderHold = 1024 * 1024;
  int FFd;
  std::string FPath;
  bool FMbox;
  bool FQuoting;   // the line's start decides its mbox quoting
  bool FHolding;   // the mbox header is held for its sender
  bool FAfterCR = false;
  bool FLineOpen = false;
  std::string FPrefix, FOut, FHeld;
  int64_t FWritten = 0;
};

class TMaildirDestination : public TDestination {
 public:
  explicit TMaildirDestination(std::string APath) : FPath(std::move(APath)) {
    for (const char* Sub : {"", "/tmp", "/new", "/cur"}) {
      const std::string Dir = FPath + Sub;
      if (mkdir(Dir.c_str(), 0700) != 0 && errno != EEXIST) FailWriting(Dir);
    }
    char Host[256] = "localhost";
    gethostname(Host, sizeof Host - 1);
    // '/' and ':' have meanings in maildir names.
    for (char* C = Host; *C; ++C)
      if (*C == '/' || *C == ':') *C = '_';
    FHost = Host;
  }
  bool Store(const TFetch& AFetch) override {
    const auto Now = std::chrono::system_clock::now().time_since_epoch();
    const long long Micro = std::chrono::duration_cast<std::chrono::microseconds>(Now).count();
    // Microseconds in six digits: names of one second then sort in the
    // order the messages came, as readers that sort by name expect.
    char Micro6[8];
    std::snprintf(Micro6, sizeof Micro6, "%06lld", Micro % 1000000);
    const std::string Name = std::to_string(Micro / 1000000) + ".M" + Micro6 + "P" + std::to_string(getpid()) + "Q" +
                             std::to_string(++FSequence) + "." + FHost;
    const std::string Temporary = FPath + "/tmp/" + Name;
    const std::string Final = FPath + "/new/" + Name;
    try {
      TFile File(Temporary, O_WRONLY | O_CREAT | O_EXCL);
      TStoredMessage Message(File.Fd(), Temporary, false);
      if (!AFetch(Message)) {
        unlink(Temporary.c_str());
        return false;
      }
      Message.Finish();
      File.Sync();
      File.Close();
    } catch (...) {
      unlink(Temporary.c_str());
      throw;
    }
    if (rename(Temporary.c_str(), Final.c_str()) != 0) FailWriting(Final);
    // The new name must reach the disk too.
    TFile Dir(FPath + "/new", O_RDONLY | O_DIRECTORY);
    fsync(Dir.Fd());
    return true;
  }
  std::string Describe() const override { return "the maildir " + FPath; }

 private:
  std::string FPath, FHost;
  int FSequence = 0;
};

class TMboxDestination : public TDestination {
 public:
  explicit TMboxDestination(std::string APath)
      : FPath(std::move(APath)), FFile(FPath, O_WRONLY | O_CREAT | O_APPEND) {
    if (flock(FFile.Fd(), LOCK_EX | LOCK_NB) != 0) FailWriting(FPath + " (locked by another program)");
  }
  bool Store(const TFetch& AFetch) override {
    const off_t Start = lseek(FFile.Fd(), 0, SEEK_END);
    if (Start < 0) FailWriting(FPath);
    bool Found = false;
    try {
      TStoredMessage Message(FFile.Fd(), FPath, true);
      Found = AFetch(Message);
      if (Found) Message.Finish();
    } catch (...) {
      CutBack(Start);
      throw;
    }
    if (!Found) {
      CutBack(Start);
      return false;
    }
    FFile.Sync();
    return true;
  }
  std::string Describe() const override { return "the mbox file " + FPath; }

 private:
  // Half a message would read as a whole one.
  void CutBack(off_t AStart) {
    if (ftruncate(FFile.Fd(), AStart) != 0) {
    }
  }
  std::string FPath;
  TFile FFile;
};

class TStdoutDestination : public TDestination {
 public:
  bool Store(const TFetch& AFetch) override {
    std::cout.flush();
    TStoredMessage Message(STDOUT_FILENO, "stdout", false);
    if (!AFetch(Message)) return false;
    Message.Finish();
    return true;
  }
  std::string Describe() const override { return "stdout"; }
};

}  // namespace

std::unique_ptr<TDestination> MakeDestination(const std::string& AMaildir, const std::string& AMbox) {
  if (!AMaildir.empty()) return std::make_unique<TMaildirDestination>(AMaildir);
  if (!AMbox.empty()) return std::make_unique<TMboxDestination>(AMbox);
  return std::make_unique<TStdoutDestination>();
}

}  // namespace qm::cli
