// What the network subcommands of qm share: the connection options, where
// the password comes from, the protocol trace with secrets masked, the
// progress bar, and failures turned into one line that names the
// operation, the server and its port.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

#include "mail/qmMC.h"

namespace qm::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Arguments that parse but do not make sense together; exit status 2.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure; the text is printed after "qm CMD: ". Exit status 1.
class TFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A subcommand: its parser, and what runs when the command line chose it
// (after parsing, so that a failure is not taken for a parse error).
struct TSubcommand {
  CLI::App* App = nullptr;
  std::function<void()> Run;
};

// Makes a text one line: line breaks and tabs become spaces, runs of them
// one space.
std::string OneLine(const std::string& AText);

struct TConnectionOptions {
  std::string Server;
  int Port = 0;  // 0: the standard port of the security mode
  std::string Security = "explicit";
  std::string User;
  std::string PasswordFile;
  std::string PasswordEnv;
  bool OAuth2 = false;
  std::string CaFile;
  bool Insecure = false;
  double TimeOutSeconds = 30;
  bool Verbose = false;
};

// --server, --port, --security, --user, --password-file, --password-env,
// --oauth2, --ca-file, --insecure, --timeout, -v.
void AddConnectionOptions(CLI::App& AApp, TConnectionOptions& AOptions, int AStandardPort,
                          int AImplicitPort);

// Tells whether the connection stands, so that a silent server is told
// from one that cannot be reached.
class TConnectProbe {
 public:
  virtual ~TConnectProbe() = default;
  bool Connected = false;
};

// The client class the tool uses: TClient with the probe.
template <class TClient>
class TCliClient : public TClient, public TConnectProbe {
 public:
  void Connect(const std::string& AServer, int APort) override {
    Connected = false;
    TClient::Connect(AServer, APort);
    Connected = true;
  }
};

// One client's session as the tool runs it. Failures of Run leave as
// TFailure with the line "OPERATION HOST:PORT: what happened".
class TCliSession {
 public:
  // AStandardPort is the port of the protocol without TLS (25, 110),
  // AImplicitPort the one with TLS from the start (465, 995).
  TCliSession(TqmCustomMail& AClient, const TConnectionOptions& AOptions, int AStandardPort,
              int AImplicitPort);

  // Connects and logs in.
  void Open();
  // Runs AAction; AOperation says what it does ("retrieving message 3 from").
  void Run(const std::string& AOperation, const std::function<void()>& AAction);
  // QUIT; a failure is reported like any other.
  void Close();

  // "host:port".
  std::string Where() const;
  // Called before each transfer with a text for the bar ("message 3").
  void SetProgressLabel(const std::string& ALabel) { FProgressLabel = ALabel; }

 private:
  void Trace(const char* ADirection, const std::string& ALine);
  void TraceSent(const std::string& AText);
  void ShowProgress(int64_t AProceed, int64_t ATotal);
  void EndProgress();
  [[noreturn]] void Fail(const std::string& AWhat);
  std::string CurrentOperation() const;

  TqmCustomMail& FClient;
  const TConnectionOptions& FOptions;
  std::string FOperation;
  std::string FLastCommand;  // the verb of the last command sent
  bool FConnected = false;   // a reply has arrived
  bool FInLogin = false;     // lines after AUTH are secrets until a final reply
  bool FProgressShown = false;
  bool FProgressWanted = false;
  int FProgressPercent = -1;
  std::string FProgressLabel;
};

// The password: from the file, the named environment variable, QM_PASSWORD
// or a prompt on the terminal, in that order. Throws TUsageError when none
// of them gives one.
std::string ReadSecret(const TConnectionOptions& AOptions);

// An existing file, or "-".
CLI::Validator FileOrStdin();

// The whole content of a file, or of stdin for "-".
std::string ReadInput(const std::string& APath);

}  // namespace qm::cli
