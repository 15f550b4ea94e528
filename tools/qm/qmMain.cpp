// qm: mail from the command line on the Quillmark library. Exit status 0
// on success, 1 when the work failed, 2 for a bad command line, 3 when
// qm send --skip-failed-recipients delivered to only some recipients;
// every failure is one line on stderr.
#include <iostream>
#include <vector>

#include "core/qmException.h"
#include "core/qmVersion.h"
#include "qm/qmCliDkim.h"
#include "qm/qmCliDns.h"
#include "qm/qmCliFetch.h"
#include "qm/qmCliImap.h"
#include "qm/qmCliMime.h"
#include "qm/qmCliSend.h"

using namespace qm::cli;

namespace {

// "qm" or "qm send": the deepest subcommand the command line reached.
std::string CommandName(const CLI::App& AApp) {
  std::string Name = AApp.get_name();
  const CLI::App* Current = &AApp;
  for (;;) {
    const auto Chosen = Current->get_subcommands();
    if (Chosen.empty()) return Name;
    Current = Chosen.front();
    Name += " " + Current->get_name();
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App App{"Send, fetch, take apart, sign and verify mail (Quillmark " + std::string(qm::LibraryVersion()) + ")", "qm"};
  App.set_version_flag("--version", std::string("qm ") + qm::LibraryVersion());
  App.require_subcommand(1, 1);
  App.footer("Run 'qm COMMAND --help' for the options of a command.");
  const std::vector<TSubcommand> Commands = {AddSendCommand(App), AddFetchCommand(App), AddMimeCommand(App),
                                             AddDkimCommand(App), AddDnsCommand(App),
                                             AddImapCommand(App)};

  // CLI11 would call an unknown word "a subcommand is required"; checked
  // on both levels ("qm WORD", "qm dkim WORD").
  if (argc > 1 && argv[1][0] != '-') {
    const CLI::App* Command = nullptr;
    for (const TSubcommand& Candidate : Commands)
      if (Candidate.App->get_name() == argv[1]) Command = Candidate.App;
    if (!Command) {
      std::cerr << "qm: unknown command '" << argv[1] << "' (see qm --help)\n";
      return kExitUsage;
    }
    const auto Children = Command->get_subcommands([](const CLI::App*) { return true; });
    if (!Children.empty() && argc > 2 && argv[2][0] != '-') {
      bool Known = false;
      for (const CLI::App* Child : Children) Known = Known || Child->get_name() == argv[2];
      if (!Known) {
        const std::string Name = "qm " + Command->get_name();
        std::cerr << Name << ": unknown command '" << argv[2] << "' (see " << Name << " --help)\n";
        return kExitUsage;
      }
    }
  }
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError& E) {
    if (E.get_exit_code() == 0) return App.exit(E);
    const std::string Name = CommandName(App);
    std::cerr << Name << ": " << OneLine(E.what()) << " (see " << Name << " --help)\n";
    return kExitUsage;
  }

  for (const TSubcommand& Command : Commands) {
    if (!Command.App->parsed()) continue;
    const std::string Name = CommandName(App);
    try {
      Command.Run();
      return kExitOk;
    } catch (const TUsageError& E) {
      std::cerr << Name << ": " << OneLine(E.what()) << " (see " << Name << " --help)\n";
      return kExitUsage;
    } catch (const TFailure& E) {
      std::cerr << Name << ": " << OneLine(E.what()) << '\n';
      return E.ExitStatus();
    } catch (const qm::Exception& E) {
      std::cerr << Name << ": " << OneLine(E.Message()) << '\n';
    } catch (const std::exception& E) {
      std::cerr << Name << ": " << OneLine(E.what()) << '\n';
    }
    return kExitFailure;
  }
  return kExitUsage;
}
