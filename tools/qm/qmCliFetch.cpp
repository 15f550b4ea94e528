#include "qm/qmCliFetch.h"

#include <fcntl.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <set>

#include "mail/qmPop3.h"
#include "qm/qmCliStore.h"

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
    Destination = MakeDestination(AOptions.Maildir, AOptions.Mbox);
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
        return true;
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
