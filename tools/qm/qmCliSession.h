// What the network subcommands of qm share: the connection options, where
// the password comes from, the protocol trace with secrets masked, the
// progress bar, and failures turned into one line that names the
// operation, the server and its port.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <CLI/CLI.hpp>

#include "core/qmSysUtils.h"
#include "mail/qmMC.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"

namespace qm::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// The work was done in part: qm send delivered to some recipients only.
constexpr int kExitPartial = 3;

// Arguments that parse but do not make sense together; exit status 2.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure; the text is printed after "qm CMD: ". Exit status 1, or
// the one given.
class TFailure : public std::runtime_error {
 public:
  explicit TFailure(const std::string& AText, int AExitStatus = kExitFailure)
      : std::runtime_error(AText), FExitStatus(AExitStatus) {}
  int ExitStatus() const { return FExitStatus; }

 private:
  int FExitStatus;
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

// Whether AText is one e-mail address ("a@b.example" or "Name <a@b.example>").
bool IsEmailAddress(const std::string& AText);
// Raises TUsageError naming AOption when AText is not an e-mail address.
void CheckEmailAddress(const std::string& AOption, const std::string& AText);

// --server, --port, --security, --user, --password-file, --password-env,
// --oauth2, --ca-file, --insecure, --timeout, -v.
void AddConnectionOptions(CLI::App& AApp, TConnectionOptions& AOptions, int AStandardPort,
                          int AImplicitPort);

// Tells whether the connection stands, so that a silent server is told
// from one that cannot be reached, and carries --security auto on ports
// other than 465 and 995: the session starts without TLS and switches to
// STARTTLS (SMTP) or STLS (POP3) when the server offers it.
class TConnectProbe {
 public:
  virtual ~TConnectProbe() = default;
  bool Connected = false;
  bool StartTlsWhenOffered = false;
};

// The client class the tool uses: TClient with the probe.
template <class TClient>
class TCliClient : public TClient, public TConnectProbe {
 public:
  void Connect(const std::string& AServer, int APort) override {
    Connected = false;
    FAskedPop3Capabilities = false;
    TClient::Connect(AServer, APort);
    Connected = true;
  }

 protected:
  // SMTP: the EHLO reply lists STARTTLS (or the server demands it with
  // 530); the session then starts TLS right after it.
  void DoReceiveResponse(TStrings* AList) override {
    TClient::DoReceiveResponse(AList);
    if constexpr (std::is_base_of_v<TqmCustomSmtp, TClient>) {
      if (!StartTlsWhenOffered || this->UseTLS() != ctNone) return;
      for (int I = 0; I < AList->Count(); ++I) {
        const std::string& Line = AList->Get(I);
        const bool Offered = Line.size() > 4 && Line.compare(0, 3, "250") == 0 &&
                             UpperCase(Trim(Line.substr(4))) == "STARTTLS";
        const bool Demanded = Line.compare(0, 3, "530") == 0 && UpperCase(Line).find("STARTTLS") != std::string::npos;
        if (Offered || Demanded) this->SetUseTLS(ctExplicit);
      }
    }
  }

  // POP3 says nothing of STLS in its greeting: CAPA is asked right after
  // it, and the greeting put back (it holds the APOP timestamp).
  void WaitResponse(const TqmTcpCommandClient::TOkCodes& AOkResponses) override {
    TClient::WaitResponse(AOkResponses);
    if constexpr (std::is_base_of_v<TqmPop3, TClient>) {
      if (!StartTlsWhenOffered || FAskedPop3Capabilities || this->UseTLS() != ctNone) return;
      FAskedPop3Capabilities = true;
      TStringList Greeting;
      Greeting.Assign(this->Response());
      this->SendCommand("CAPA", {10, 20});
      bool Offered = false;
      if (this->LastResponseCode() == 10) {
        this->WaitMultipleLines(0);
        for (int I = 0; I < this->Response().Count(); ++I)
          Offered = Offered || UpperCase(Trim(this->Response().Get(I))) == "STLS";
      }
      this->Response().Assign(Greeting);
      if (Offered) this->SetUseTLS(ctExplicit);
    }
  }

 private:
  bool FAskedPop3Capabilities = false;
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
  // ATlsEngine: the failure came from the TLS engine (OpenSSL's words).
  [[noreturn]] void Fail(const std::string& AWhat, int ACode, bool ATlsEngine);
  std::string CurrentOperation() const;
  // What the user can do about a failure, or "".
  std::string Remedy(const std::string& AWhat, int ACode, bool ATlsEngine) const;

  TqmCustomMail& FClient;
  const TConnectionOptions& FOptions;
  int FStandardPort;
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
