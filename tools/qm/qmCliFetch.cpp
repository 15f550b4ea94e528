#include "qm/qmCliFetch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>

#include "core/qmStream.h"
#include "core/qmSysUtils.h"
#include "mail/qmPop3.h"

namespace qm::cli {

namespace {

struct TFetchOptions {
  TConnectionOptions Connection;
  bool List = false;
  int Top = 0;
  int TopLines = 0;
  std::vector<int> Messages;
  bool All = false;
  bool OnlyNew = false;
  std::string StateFile;
  std::string Maildir;
  std::string Mbox;
  bool Delete = false;
};

[[noreturn]] void FailWriting(const std::string& APath) {
  throw TFailure("writing " + APath + ": " + std::strerror(errno));
}

void WriteAll(int AFd, const std::string& AData, const std::string& APath) {
  size_t Done = 0;
  while (Done < AData.size()) {
    const ssize_t N = write(AFd, AData.data() + Done, AData.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) FailWriting(APath);
    Done += static_cast<size_t>(N);
  }
}

// A file descriptor closed on every way out.
class TFile {
 public:
  TFile(const std::string& APath, int AFlags, mode_t AMode = 0600) : FPath(APath) {
    FFd = open(APath.c_str(), AFlags | O_CLOEXEC, AMode);
    if (FFd < 0) FailWriting(APath);
  }
  ~TFile() {
    if (FFd >= 0) close(FFd);
  }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  int Fd() const { return FFd; }
  void Write(const std::string& AData) { WriteAll(FFd, AData, FPath); }
  // Written through to the disk before the server may delete its copy.
  void Sync() {
    if (fsync(FFd) != 0) FailWriting(FPath);
  }
  void Close() {
    const int Fd = FFd;
    FFd = -1;
    if (close(Fd) != 0) FailWriting(FPath);
  }

 private:
  std::string FPath;
  int FFd = -1;
};

// The message as stored on this machine: one LF after every line.
std::string StoredText(const TStrings& ALines) {
  size_t Size = 0;
  for (int I = 0; I < ALines.Count(); ++I) Size += ALines.Get(I).size() + 1;
  std::string Text;
  Text.reserve(Size);
  for (int I = 0; I < ALines.Count(); ++I) {
    Text += ALines.Get(I);
    Text += '\n';
  }
  return Text;
}

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

// Messages go into a maildir (tmp, then new: readers never see half a
// message), an mbox file (under flock) or stdout. Store retrieves the
// message through AFetch into its place and keeps it for good before
// returning; a failed one leaves nothing in a maildir or mbox.
class TDestination {
 public:
  virtual ~TDestination() = default;
  using TFetch = std::function<void(TStream&)>;
  virtual void Store(const TFetch& AFetch) = 0;
  virtual std::string Describe() const = 0;
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
  void Store(const TFetch& AFetch) override {
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
      AFetch(Message);
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
  void Store(const TFetch& AFetch) override {
    const off_t Start = lseek(FFile.Fd(), 0, SEEK_END);
    if (Start < 0) FailWriting(FPath);
    try {
      TStoredMessage Message(FFile.Fd(), FPath, true);
      AFetch(Message);
      Message.Finish();
    } catch (...) {
      // Half a message would read as a whole one.
      if (ftruncate(FFile.Fd(), Start) != 0) {
      }
      throw;
    }
    FFile.Sync();
  }
  std::string Describe() const override { return "the mbox file " + FPath; }

 private:
  std::string FPath;
  TFile FFile;
};

class TStdoutDestination : public TDestination {
 public:
  void Store(const TFetch& AFetch) override {
    std::cout.flush();
    TStoredMessage Message(STDOUT_FILENO, "stdout", false);
    AFetch(Message);
    Message.Finish();
  }
  std::string Describe() const override { return "stdout"; }
};

// The ids of the messages fetched before, per account: "account id" lines.
class TSeenIds {
 public:
  TSeenIds(std::string APath, std::string AAccount) : FPath(std::move(APath)), FAccount(std::move(AAccount)) {
    std::ifstream In(FPath);
    for (std::string Line; std::getline(In, Line);) {
      const size_t Space = Line.find(' ');
      if (Space != std::string::npos && Line.compare(0, Space, FAccount) == 0) FIds.insert(Line.substr(Space + 1));
    }
  }
  bool Contains(const std::string& AId) const { return FIds.count(AId) != 0; }
  void Add(const std::string& AId) {
    TFile File(FPath, O_WRONLY | O_CREAT | O_APPEND);
    File.Write(FAccount + " " + AId + "\n");
    File.Sync();
    File.Close();
    FIds.insert(AId);
  }

 private:
  std::string FPath, FAccount;
  std::set<std::string> FIds;
};

std::string MessageLabel(int ANumber) { return "message " + std::to_string(ANumber); }

void RunFetch(const TFetchOptions& AOptions) {
  const bool Retrieving = AOptions.All || AOptions.OnlyNew || !AOptions.Messages.empty();
  const bool Listing = AOptions.List || (!Retrieving && AOptions.Top == 0);
  if (!AOptions.Maildir.empty() && !AOptions.Mbox.empty()) throw TUsageError("give --maildir or --mbox, not both");
  const bool ToStdout = AOptions.Maildir.empty() && AOptions.Mbox.empty();
  if (Retrieving && ToStdout && (AOptions.All || AOptions.OnlyNew || AOptions.Messages.size() > 1))
    throw TUsageError("several messages need --maildir or --mbox (only one goes to stdout)");
  if (AOptions.Delete && !Retrieving) throw TUsageError("--delete needs the messages to fetch (--all, --only-new or -m)");
  std::string StateFile = AOptions.StateFile;
  if (AOptions.OnlyNew && StateFile.empty()) {
    if (!AOptions.Maildir.empty()) StateFile = AOptions.Maildir + "/.qm-uidl";
    else if (!AOptions.Mbox.empty()) StateFile = AOptions.Mbox + ".qm-uidl";
  }

  TCliClient<TqmPop3> Pop3;
  TCliSession Session(Pop3, AOptions.Connection, 110, 995);
  std::unique_ptr<TDestination> Destination;
  if (Retrieving) {
    if (!AOptions.Maildir.empty()) Destination = std::make_unique<TMaildirDestination>(AOptions.Maildir);
    else if (!AOptions.Mbox.empty()) Destination = std::make_unique<TMboxDestination>(AOptions.Mbox);
    else Destination = std::make_unique<TStdoutDestination>();
  }
  Session.Open();

  int Count = 0;
  Session.Run("reading the mailbox size from", [&] { Count = Pop3.MessageCount(); });
  if (Listing) {
    std::vector<TqmPop3::TUniqueId> Ids;
    Session.Run("listing the unique ids on", [&] { Ids = Pop3.Uidl(); });
    for (const auto& Id : Ids) {
      int64_t Size = 0;
      Session.Run("listing " + MessageLabel(Id.MessageNumber) + " on",
                  [&] { Size = Pop3.GetMessageSize(Id.MessageNumber); });
      std::cout << Id.MessageNumber << ' ' << Size << ' ' << Id.UniqueId << '\n';
    }
  }
  if (AOptions.Top > 0) {
    const std::string Command = "TOP " + std::to_string(AOptions.Top) + " " + std::to_string(AOptions.TopLines);
    Session.Run("reading the top of " + MessageLabel(AOptions.Top) + " from", [&] {
      Pop3.SendCommandSync(Command, {10});
      Pop3.WaitMultipleLines(0);
    });
    std::cout << StoredText(Pop3.Response());
  }
  if (Retrieving) {
    // Which messages, and their ids where they are remembered.
    std::vector<std::pair<int, std::string>> Wanted;
    std::unique_ptr<TSeenIds> Seen;
    if (AOptions.OnlyNew) {
      Seen = std::make_unique<TSeenIds>(StateFile, AOptions.Connection.User + "@" + AOptions.Connection.Server);
      std::vector<TqmPop3::TUniqueId> Ids;
      Session.Run("listing the unique ids on", [&] { Ids = Pop3.Uidl(); });
      for (const auto& Id : Ids)
        if (!Seen->Contains(Id.UniqueId)) Wanted.emplace_back(Id.MessageNumber, Id.UniqueId);
    } else if (AOptions.All) {
      for (int N = 1; N <= Count; ++N) Wanted.emplace_back(N, std::string());
    } else {
      for (int N : AOptions.Messages) Wanted.emplace_back(N, std::string());
    }
    for (const auto& Message : Wanted) {
      // Named copies: clang 14 cannot capture structured bindings.
      const int Number = Message.first;
      const std::string& Id = Message.second;
      Session.SetProgressLabel(MessageLabel(Number));
      Destination->Store([&](TStream& AMessage) {
        Session.Run("retrieving " + MessageLabel(Number) + " from", [&] { Pop3.Retrieve(Number, AMessage); });
      });
      if (Seen) Seen->Add(Id);
      if (AOptions.Delete) Session.Run("deleting " + MessageLabel(Number) + " on", [&] { Pop3.Dele(Number); });
    }
    if (!ToStdout)
      std::cout << Wanted.size() << (Wanted.size() == 1 ? " message" : " messages") << " fetched into "
                << Destination->Describe() << (AOptions.Delete ? " and deleted on the server" : "") << '\n';
  }
  // Deletions take effect only now.
  Session.Close();
}

}  // namespace

TSubcommand AddFetchCommand(CLI::App& AParent) {
  auto Options = std::make_shared<TFetchOptions>();
  CLI::App* App = AParent.add_subcommand("fetch", "List, read and delete the messages of a POP3 mailbox");
  App->footer(
      "Without an action, --list. Message numbers start at 1.\n"
      "Examples:\n"
      "  qm fetch -s pop.example.org -u me --list\n"
      "  qm fetch -s pop.example.org -u me --only-new --maildir ~/Mail/inbox\n"
      "  qm fetch -s pop.example.org -u me --all --mbox inbox.mbox --delete\n"
      "  qm fetch -s pop.example.org -u me -m 3 > message.eml\n");
  AddConnectionOptions(*App, Options->Connection, 110, 995);
  App->add_flag("-l,--list", Options->List, "List the messages: number, size in bytes, unique id");
  App->add_option("--top", Options->Top, "Print the header of this message (and --lines lines of its body)")
      ->check(CLI::PositiveNumber);
  App->add_option("--lines", Options->TopLines, "Body lines to print with --top")->check(CLI::NonNegativeNumber);
  App->add_option("-m,--message", Options->Messages, "Retrieve this message (repeatable)")
      ->check(CLI::PositiveNumber);
  App->add_flag("--all", Options->All, "Retrieve every message");
  App->add_flag("--only-new", Options->OnlyNew,
                "Retrieve the messages whose unique id was not fetched before (see --state)");
  App->add_option("--state", Options->StateFile,
                  "Where --only-new remembers the fetched ids (default: MAILDIR/.qm-uidl or MBOX.qm-uidl)");
  App->add_option("--maildir", Options->Maildir, "Store retrieved messages in this maildir (made if missing)");
  App->add_option("--mbox", Options->Mbox, "Append retrieved messages to this mbox file");
  App->add_flag("--delete", Options->Delete,
                "Delete each retrieved message on the server once it is stored (takes effect at the end)");
  return {App, [Options] { RunFetch(*Options); }};
}

}  // namespace qm::cli
