#include "qm/qmCliImap.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "mail/qmImap.h"
#include "qm/qmCliStore.h"

namespace qm::cli {

namespace {

struct TImapOptions {
  TConnectionOptions Connection;
  std::string Mailbox = "INBOX";
  std::vector<uint64_t> Uids;
  bool All = false;
  bool Unseen = false;
  std::string From, Subject, Since;
  bool Headers = false;
  std::string Maildir, Mbox;
  std::vector<std::string> AddFlags, RemoveFlags;
  std::string Target;
  std::string File;
  double IdleSeconds = 0;
};

std::string UidSet(const std::vector<uint64_t>& AUids) {
  std::string Set;
  for (uint64_t U : AUids) Set += (Set.empty() ? "" : ",") + std::to_string(U);
  return Set;
}

// The session of every imap command: options applied, the trace with the
// password and the AUTHENTICATE exchange masked.
class TImapSession {
 public:
  explicit TImapSession(const TImapOptions& AOptions) : FSession(FClient, AOptions.Connection, 143, 993) {
    if (!AOptions.Connection.Verbose) {
      FClient.OnSendCommand = nullptr;
      FClient.OnReceiveResponse = nullptr;
      return;
    }
    FClient.OnSendCommand = [this](TObject*, const std::string& AText) {
      std::string Line = AText.substr(0, AText.find_last_not_of("\r\n") + 1);
      const size_t Login = Line.find(" LOGIN ");
      const size_t Auth = Line.find(" AUTHENTICATE ");
      if (FInAuth) {
        Line = "****";
      } else if (Login != std::string::npos && Login < 8) {
        Line = Line.substr(0, Login) + " LOGIN ****";
      } else if (Auth != std::string::npos && Auth < 8) {
        FInAuth = true;
        const size_t Mech = Line.find(' ', Auth + 14);
        if (Mech != std::string::npos) Line = Line.substr(0, Mech) + " ****";
      }
      std::cerr << "> " << Line << '\n';
    };
    FClient.OnReceiveResponse = [this](TObject*, TStrings* AList) {
      FInAuth = false;
      for (int I = 0; I < AList->Count(); ++I) std::cerr << "< " << AList->Get(I) << '\n';
    };
    FClient.OnUntaggedResponse = [](TObject*, const TqmImapResponse& R) {
      std::cerr << "< * " << (R.HasNumber ? std::to_string(R.Number) + " " : "") << R.Name
                << (R.Size > 200 ? " ... (" + std::to_string(R.Size) + " bytes)" : "") << '\n';
    };
  }
  TCliClient<TqmImap>& Client() { return FClient; }
  TCliSession& Session() { return FSession; }
  void Open(const std::string& AMailbox, bool AReadOnly) {
    FSession.Open();
    if (!AMailbox.empty())
      FSession.Run("selecting " + AMailbox + " on", [&] { FClient.Select(AMailbox, AReadOnly); });
  }

 private:
  TCliClient<TqmImap> FClient;
  TCliSession FSession;
  bool FInAuth = false;
};

TqmImapSearch Criteria(const TImapOptions& AOptions) {
  TqmImapSearch Search;
  if (AOptions.Unseen) Search.Unseen();
  if (!AOptions.From.empty()) Search.From(AOptions.From);
  if (!AOptions.Subject.empty()) Search.Subject(AOptions.Subject);
  if (!AOptions.Since.empty()) {
    int Y = 0, M = 0, D = 0;
    if (std::sscanf(AOptions.Since.c_str(), "%d-%d-%d", &Y, &M, &D) != 3)
      throw TUsageError("--since wants YYYY-MM-DD");
    Search.Since(Y, M, D);
  }
  return Search;
}

void RunList(const TImapOptions& AOptions) {
  TImapSession S(AOptions);
  S.Open("", true);
  std::vector<TqmImapMailbox> Boxes;
  S.Session().Run("listing the mailboxes on", [&] { Boxes = S.Client().List(); });
  for (const auto& B : Boxes) {
    std::string Flags;
    for (const auto& F : B.Flags) Flags += (Flags.empty() ? "" : " ") + F;
    std::cout << B.Name << (Flags.empty() ? "" : "\t(" + Flags + ")") << '\n';
  }
  S.Session().Close();
}

void RunSearch(const TImapOptions& AOptions) {
  TImapSession S(AOptions);
  S.Open(AOptions.Mailbox, true);
  std::vector<uint64_t> Uids;
  S.Session().Run("searching " + AOptions.Mailbox + " on", [&] { Uids = S.Client().UidSearch(Criteria(AOptions)); });
  for (uint64_t U : Uids) std::cout << U << '\n';
  S.Session().Close();
}

void RunFetch(const TImapOptions& AOptions) {
  if (!AOptions.Maildir.empty() && !AOptions.Mbox.empty()) throw TUsageError("give --maildir or --mbox, not both");
  const bool Chosen = AOptions.All || AOptions.Unseen || !AOptions.Uids.empty();
  if (!Chosen) throw TUsageError("say which messages: --uid, --all or --unseen");
  TImapSession S(AOptions);
  S.Open(AOptions.Mailbox, false);
  std::vector<uint64_t> Uids = AOptions.Uids;
  if (Uids.empty())
    S.Session().Run("searching " + AOptions.Mailbox + " on", [&] { Uids = S.Client().UidSearch(Criteria(AOptions)); });
  if (Uids.empty()) {
    S.Session().Close();
    return;
  }
  if (AOptions.Headers) {
    S.Session().Run("reading the headers from", [&] {
      S.Client().UidFetch(UidSet(Uids), fiFlags | fiEnvelope | fiSize, "", [](const TqmImapMessage& M) {
        const std::string From = M.Envelope.From.empty() ? "" : M.Envelope.From[0].Address();
        std::cout << M.Uid << '\t' << M.Size << '\t' << From << '\t' << M.Envelope.Subject << '\n';
      });
    });
  } else {
    if (AOptions.Maildir.empty() && AOptions.Mbox.empty() && Uids.size() > 1)
      throw TUsageError("several messages need --maildir or --mbox (only one goes to stdout)");
    const std::unique_ptr<TDestination> Destination = MakeDestination(AOptions.Maildir, AOptions.Mbox);
    size_t Fetched = 0;
    for (uint64_t U : Uids) {
      S.Session().SetProgressLabel("message " + std::to_string(U));
      // Written as it arrives; kept for good once it has all come.
      const bool Found = Destination->Store([&](TStream& AMessage) {
        bool Here = false;
        S.Session().Run("fetching message " + std::to_string(U) + " from",
                        [&] { Here = S.Client().UidFetchMessage(U, AMessage); });
        return Here;
      });
      if (Found) ++Fetched;
      else std::cerr << "qm imap fetch: no message with UID " << U << " in " << AOptions.Mailbox << '\n';
    }
    if (AOptions.Maildir.size() + AOptions.Mbox.size() > 0)
      std::cout << Fetched << (Fetched == 1 ? " message" : " messages") << " fetched\n";
  }
  S.Session().Close();
}

void RunFlag(const TImapOptions& AOptions) {
  if (AOptions.Uids.empty()) throw TUsageError("give the messages with --uid");
  if (AOptions.AddFlags.empty() && AOptions.RemoveFlags.empty()) throw TUsageError("give --add or --remove");
  TImapSession S(AOptions);
  S.Open(AOptions.Mailbox, false);
  S.Session().Run("flagging messages on", [&] {
    if (!AOptions.AddFlags.empty()) S.Client().UidStore(UidSet(AOptions.Uids), ismAddFlags, AOptions.AddFlags);
    if (!AOptions.RemoveFlags.empty())
      S.Client().UidStore(UidSet(AOptions.Uids), ismRemoveFlags, AOptions.RemoveFlags);
  });
  S.Session().Close();
}

void RunMove(const TImapOptions& AOptions) {
  if (AOptions.Uids.empty()) throw TUsageError("give the messages with --uid");
  TImapSession S(AOptions);
  S.Open(AOptions.Mailbox, false);
  S.Session().Run("moving messages to " + AOptions.Target + " on",
                  [&] { S.Client().UidMove(UidSet(AOptions.Uids), AOptions.Target); });
  S.Session().Close();
}

void RunAppend(const TImapOptions& AOptions) {
  std::string Text = ReadInput(AOptions.File);
  // The server wants CR LF line ends.
  std::string Wire;
  Wire.reserve(Text.size() + Text.size() / 32);
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] == '\n' && (I == 0 || Text[I - 1] != '\r')) Wire += '\r';
    Wire += Text[I];
  }
  Text.clear();
  TImapSession S(AOptions);
  S.Open("", false);
  uint64_t Uid = 0;
  S.Session().Run("appending to " + AOptions.Mailbox + " on",
                  [&] { Uid = S.Client().Append(AOptions.Mailbox, Wire, AOptions.AddFlags); });
  if (Uid) std::cout << "appended as UID " << Uid << '\n';
  S.Session().Close();
}

void RunIdle(const TImapOptions& AOptions) {
  TImapSession S(AOptions);
  S.Open(AOptions.Mailbox, true);
  TqmImap& Client = S.Client();
  int64_t Next = Client.MailboxStatus().UidNext;
  // New mail ends the IDLE at once, to be printed.
  Client.OnExists = [&](TObject*, uint64_t) { Client.StopIdle(); };
  // Ctrl-C ends the IDLE cleanly (DONE, LOGOUT): a thread of its own
  // takes the signal, so that StopIdle does not run in a signal handler.
  sigset_t Interrupt;
  sigemptyset(&Interrupt);
  sigaddset(&Interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &Interrupt, nullptr);
  std::atomic<bool> Interrupted{false}, Finished{false};
  std::thread Waiter([&] {
    int Signal = 0;
    while (sigwait(&Interrupt, &Signal) == 0 && !Finished) {
      Interrupted = true;
      Client.StopIdle();
    }
  });
  struct TJoin {
    std::thread& T;
    std::atomic<bool>& Finished;
    ~TJoin() {
      Finished = true;
      pthread_kill(T.native_handle(), SIGINT);
      T.join();
    }
  } Join{Waiter, Finished};
  const auto End = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int64_t>(AOptions.IdleSeconds * 1000));
  while (!Interrupted) {
    int LeftMs = 0;
    if (AOptions.IdleSeconds > 0) {
      LeftMs = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now()).count());
      if (LeftMs <= 0) break;
    }
    S.Session().Run("waiting for new mail on", [&] { Client.Idle(LeftMs); });
    S.Session().Run("reading the new messages from", [&] {
      Client.UidFetch(std::to_string(Next > 0 ? Next : 1) + ":*", fiEnvelope, "", [&](const TqmImapMessage& M) {
        // "n:*" names the last message also when its UID is below n.
        if (static_cast<int64_t>(M.Uid) < Next) return;
        Next = static_cast<int64_t>(M.Uid) + 1;
        const std::string From = M.Envelope.From.empty() ? "" : M.Envelope.From[0].Address();
        std::cout << M.Uid << '\t' << From << '\t' << M.Envelope.Subject << std::endl;
      });
    });
  }
  S.Session().Close();
}

}  // namespace

TSubcommand AddImapCommand(CLI::App& AParent) {
  auto Options = std::make_shared<TImapOptions>();
  CLI::App* App = AParent.add_subcommand("imap", "List, search, fetch, flag, move and append IMAP messages");
  App->require_subcommand(1, 1);
  App->footer(
      "Examples:\n"
      "  qm imap list -s imap.example.org -u me\n"
      "  qm imap search -s imap.example.org -u me --unseen --from alice\n"
      "  qm imap fetch -s imap.example.org -u me --unseen --maildir ~/Mail/inbox\n"
      "  qm imap flag -s imap.example.org -u me --uid 42 --add '\\Seen'\n"
      "  qm imap move -s imap.example.org -u me --uid 42 --to Archive\n"
      "  qm imap append -s imap.example.org -u me -b Drafts draft.eml\n"
      "  qm imap idle -s imap.example.org -u me --for 600\n");
  struct TChild {
    const char* Name;
    const char* Help;
    void (*Run)(const TImapOptions&);
  };
  static const TChild Children[] = {
      {"list", "List the mailboxes with their flags", RunList},
      {"search", "Print the UIDs of the messages that match", RunSearch},
      {"fetch", "Fetch messages into a maildir, an mbox file or stdout, each written as it arrives (or their headers)", RunFetch},
      {"flag", "Add or remove flags", RunFlag},
      {"move", "Move messages to another mailbox", RunMove},
      {"append", "Append a message file to a mailbox", RunAppend},
      {"idle", "Wait for new mail and print a line for each (Ctrl-C ends)", RunIdle},
  };
  std::vector<std::pair<CLI::App*, void (*)(const TImapOptions&)>> Made;
  for (const TChild& C : Children) {
    CLI::App* Sub = App->add_subcommand(C.Name, C.Help);
    AddConnectionOptions(*Sub, Options->Connection, 143, 993);
    Sub->add_option("-b,--mailbox", Options->Mailbox, "The mailbox (default INBOX)");
    const std::string Name = C.Name;
    if (Name == "search" || Name == "fetch") {
      Sub->add_flag("--unseen", Options->Unseen, "Messages not seen yet");
      Sub->add_option("--from", Options->From, "Messages whose From holds this text");
      Sub->add_option("--subject", Options->Subject, "Messages whose Subject holds this text");
      Sub->add_option("--since", Options->Since, "Messages that arrived on or after YYYY-MM-DD");
    }
    if (Name == "fetch" || Name == "flag" || Name == "move")
      Sub->add_option("--uid", Options->Uids, "This message (repeatable)")->check(CLI::PositiveNumber);
    if (Name == "fetch") {
      Sub->add_flag("--all", Options->All, "Every message of the mailbox");
      Sub->add_flag("--headers", Options->Headers, "Print UID, size, sender and subject instead");
      Sub->add_option("--maildir", Options->Maildir, "Store the messages in this maildir (made if missing)");
      Sub->add_option("--mbox", Options->Mbox, "Append the messages to this mbox file");
    }
    if (Name == "flag" || Name == "append") Sub->add_option("--add", Options->AddFlags, "Add this flag (repeatable)");
    if (Name == "flag") Sub->add_option("--remove", Options->RemoveFlags, "Remove this flag (repeatable)");
    if (Name == "move") Sub->add_option("--to", Options->Target, "The mailbox to move to")->required();
    if (Name == "append") Sub->add_option("file", Options->File, "The message file, or - for stdin")->required()->check(FileOrStdin());
    if (Name == "idle") Sub->add_option("--for", Options->IdleSeconds, "Stop after this many seconds");
    Made.emplace_back(Sub, C.Run);
  }
  return {App, [Options, Made] {
            for (const auto& M : Made)
              if (M.first->parsed()) M.second(*Options);
          }};
}

}  // namespace qm::cli
