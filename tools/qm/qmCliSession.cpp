#include "qm/qmCliSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "core/qmException.h"
#include "core/qmSysUtils.h"
#include "message/qmEmailAddress.h"
#include "net/qmSocketError.h"
#include "net/qmTcpClientTls.h"
#include "net/qmTlsOpenSsl.h"
#include "qm/qmCliSecurity.h"

namespace qm::cli {

namespace {

// Transfers smaller than this finish before a bar would be worth drawing.
constexpr int64_t kProgressThreshold = 1024 * 1024;
// A long reply (a message arriving with its status line) is cut in the trace.
constexpr int kTracedReplyLines = 20;

std::string FirstWord(const std::string& ALine) {
  const size_t Space = ALine.find(' ');
  return UpperCase(ALine.substr(0, Space));
}

// A server reply that asks the client for more of the login: "+ " in
// POP3, 334 in SMTP.
bool IsContinuation(const std::string& ALine) {
  return ALine == "+" || ALine.rfind("+ ", 0) == 0 || ALine.rfind("334", 0) == 0;
}

bool Contains(const std::string& AText, const char* APart) { return AText.find(APart) != std::string::npos; }

std::string Chomp(std::string AText) {
  while (!AText.empty() && (AText.back() == '\n' || AText.back() == '\r')) AText.pop_back();
  return AText;
}

// Reads a line from the terminal with echo off.
std::string Prompt(const std::string& AText) {
  const int Tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (Tty < 0)
    throw TUsageError("no password: give --password-file or --password-env, or set QM_PASSWORD "
                      "(there is no terminal to ask on)");
  termios Saved{};
  const bool Terminal = tcgetattr(Tty, &Saved) == 0;
  if (Terminal) {
    termios Quiet = Saved;
    Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(Tty, TCSAFLUSH, &Quiet);
  }
  [[maybe_unused]] ssize_t Written = write(Tty, AText.data(), AText.size());
  std::string Line;
  char C;
  while (read(Tty, &C, 1) == 1 && C != '\n') Line += C;
  if (Terminal) tcsetattr(Tty, TCSAFLUSH, &Saved);
  Written = write(Tty, "\n", 1);
  close(Tty);
  return Chomp(Line);
}

}  // namespace

std::string OneLine(const std::string& AText) {
  std::string Result;
  bool Space = false;
  for (char C : AText) {
    if (C == '\r' || C == '\n' || C == '\t' || C == ' ') {
      Space = !Result.empty();
      continue;
    }
    if (Space) Result += ' ';
    Space = false;
    Result += C;
  }
  return Result;
}

void AddConnectionOptions(CLI::App& AApp, TConnectionOptions& AOptions, int AStandardPort,
                          int AImplicitPort) {
  AApp.add_option("-s,--server", AOptions.Server, "Host name or address of the server")->required();
  AApp.add_option("-p,--port", AOptions.Port,
                  "Port (default " + std::to_string(AImplicitPort) + " with --security implicit, else " +
                      std::to_string(AStandardPort) + ")")
      ->check(CLI::Range(1, 65535));
  AApp.add_option("--security", AOptions.Security,
                  "explicit: STARTTLS/STLS before the login; implicit: TLS from the start;\n"
                  "auto: implicit on port " + std::to_string(AImplicitPort) +
                      ", elsewhere STARTTLS/STLS when the server offers it; none: no TLS")
      ->check(CLI::IsMember({"none", "auto", "implicit", "explicit"}))
      ->capture_default_str();
  AApp.add_option("-u,--user", AOptions.User, "User name to log in with (no login without it)");
  AApp.add_option("--password-file", AOptions.PasswordFile, "Read the password from this file (first line)")
      ->check(CLI::ExistingFile);
  AApp.add_option("--password-env", AOptions.PasswordEnv,
                  "Read the password from this environment variable (default: QM_PASSWORD if set, "
                  "else ask on the terminal)");
  AApp.add_flag("--oauth2", AOptions.OAuth2,
                "The password is an OAuth 2 access token: log in with XOAUTH2 (\"Bearer <token>\")");
  auto* CaFile = AApp.add_option("--ca-file", AOptions.CaFile,
                                 "Trust the certificate authorities in this PEM file instead of the system's")
                     ->check(CLI::ExistingFile);
  AApp.add_flag("--insecure", AOptions.Insecure, "Do not verify the server's TLS certificate")->excludes(CaFile);
  AApp.add_option("--timeout", AOptions.TimeOutSeconds, "Seconds of silence before giving up")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  AApp.add_flag("-v,--verbose", AOptions.Verbose,
                "Trace the protocol on stderr (passwords and login data masked)");
}

bool IsEmailAddress(const std::string& AText) {
  const std::string Email = TqmEmailAddressItem::ExtractEmail(AText);
  const size_t At = Email.rfind('@');
  if (At == std::string::npos || At == 0 || At + 1 == Email.size()) return false;
  for (unsigned char C : Email)
    if (C <= ' ' || C == 0x7F || C == '<' || C == '>' || C == ',') return false;
  const std::string Domain = Email.substr(At + 1);
  if (Domain.find('@') != std::string::npos || Domain.front() == '.' || Domain.back() == '.') return false;
  // The address must be all there is besides a display name: "a@b c@d"
  // or text after the closing bracket is not one address.
  const size_t Open = AText.find('<');
  if (Open == std::string::npos) return Trim(AText) == Email;
  const size_t Close = AText.find('>', Open);
  return Close != std::string::npos && Trim(AText.substr(Close + 1)).empty() &&
         AText.find('<', Open + 1) == std::string::npos;
}

void CheckEmailAddress(const std::string& AOption, const std::string& AText) {
  if (!IsEmailAddress(AText))
    throw TUsageError(AOption + " '" + AText + "' is not an e-mail address (user@example.org or \"Name <user@example.org>\")");
}

std::string ReadSecret(const TConnectionOptions& AOptions) {
  if (!AOptions.PasswordFile.empty()) {
    std::ifstream In(AOptions.PasswordFile, std::ios::binary);
    std::string Line;
    if (!In || !std::getline(In, Line)) throw TFailure("reading " + AOptions.PasswordFile + ": no password in it");
    return Chomp(Line);
  }
  if (!AOptions.PasswordEnv.empty()) {
    const char* Value = std::getenv(AOptions.PasswordEnv.c_str());
    if (!Value) throw TUsageError("the environment variable " + AOptions.PasswordEnv + " is not set");
    return Value;
  }
  if (const char* Value = std::getenv("QM_PASSWORD")) return Value;
  return Prompt((AOptions.OAuth2 ? "Access token for " : "Password for ") + AOptions.User + "@" +
                AOptions.Server + ": ");
}

CLI::Validator FileOrStdin() {
  return CLI::Validator(
      [](std::string& APath) {
        struct stat Info {};
        if (APath == "-" || (stat(APath.c_str(), &Info) == 0 && !S_ISDIR(Info.st_mode))) return std::string();
        return "no such file: " + APath;
      },
      "FILE|-");
}

std::string ReadInput(const std::string& APath) {
  if (APath == "-") {
    std::ostringstream Text;
    Text << std::cin.rdbuf();
    return Text.str();
  }
  std::ifstream In(APath, std::ios::binary);
  if (!In) throw TFailure("reading " + APath + ": " + std::strerror(errno));
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

TCliSession::TCliSession(TqmCustomMail& AClient, const TConnectionOptions& AOptions, int AStandardPort,
                         int AImplicitPort)
    : FClient(AClient), FOptions(AOptions), FStandardPort(AStandardPort) {
  FClient.SetServer(AOptions.Server);
  const int Port = AOptions.Port != 0           ? AOptions.Port
                   : AOptions.Security == "implicit" ? AImplicitPort
                                                 : AStandardPort;
  FClient.SetPort(Port);
  const TTlsChoice Tls = ChooseTls(AOptions.Security, Port);
  FClient.SetUseTLS(Tls.Mode);
  if (auto* Probe = dynamic_cast<TConnectProbe*>(&FClient)) Probe->StartTlsWhenOffered = Tls.StartTlsWhenOffered;
  FClient.SetTimeOut(static_cast<int>(AOptions.TimeOutSeconds * 1000));
  if (!AOptions.User.empty() || AOptions.OAuth2) {
    FClient.SetUserName(AOptions.User);
    const std::string Secret = ReadSecret(AOptions);
    if (AOptions.OAuth2)
      FClient.SetAuthorization("Bearer " + Secret);
    else
      FClient.SetPassword(Secret);
  }
  // This client's trust; the system store without --ca-file.
  FClient.SetCaFile(AOptions.CaFile);
  if (AOptions.Insecure)
    FClient.OnVerifyServer = [](TObject*, TqmCertificate*, const std::string&, int, bool& AVerified) {
      AVerified = true;
    };
  FClient.OnSendCommand = [this](TObject*, const std::string& AText) { TraceSent(AText); };
  FClient.OnReceiveResponse = [this](TObject*, TStrings* AList) {
    FConnected = true;
    const int Count = AList->Count();
    for (int I = 0; I < Count && I < kTracedReplyLines; ++I) Trace("<", AList->Get(I));
    if (Count > kTracedReplyLines) Trace("<", "... " + std::to_string(Count - kTracedReplyLines) + " more lines");
    if (FInLogin && Count > 0 && !IsContinuation(AList->Get(Count - 1))) FInLogin = false;
  };
  FProgressWanted = isatty(STDERR_FILENO) == 1;
  // Assigned only for a terminal: with it, a retrieval asks for the size
  // first.
  if (FProgressWanted)
    FClient.OnProgress = [this](TObject*, int64_t AProceed, int64_t ATotal) { ShowProgress(AProceed, ATotal); };
}

std::string TCliSession::Where() const { return FClient.Server() + ":" + std::to_string(FClient.Port()); }

void TCliSession::Trace(const char* ADirection, const std::string& ALine) {
  if (FOptions.Verbose) std::cerr << ADirection << ' ' << ALine << '\n';
}

void TCliSession::TraceSent(const std::string& AText) {
  const std::string Line = Chomp(AText);
  const std::string Verb = FirstWord(Line);
  std::string Shown = Line;
  if (FInLogin && Verb != "AUTH") {
    // A login step: a user name, a password, a token or a digest.
    if (!Line.empty()) Shown = "****";
  } else if (Verb == "PASS") {
    Shown = "PASS ****";
  } else if (Verb == "APOP") {
    Shown = Line.substr(0, Line.rfind(' ')) + " ****";
  } else if (Verb == "AUTH") {
    // "AUTH MECHANISM [initial response]"; a bare AUTH lists mechanisms.
    const size_t Mechanism = Line.find(' ');
    if (Mechanism != std::string::npos) {
      FInLogin = true;
      const size_t Initial = Line.find(' ', Mechanism + 1);
      if (Initial != std::string::npos) Shown = Line.substr(0, Initial) + " ****";
    }
  }
  if (!FInLogin || Verb == "AUTH") FLastCommand = Verb;
  Trace(">", Shown);
}

std::string TCliSession::CurrentOperation() const {
  if (!FOperation.empty()) return FOperation;
  const auto* Probe = dynamic_cast<const TConnectProbe*>(&FClient);
  if (!FConnected && FLastCommand.empty() && !(Probe && Probe->Connected)) return "connecting to";
  if (FLastCommand == "STLS" || FLastCommand == "STARTTLS") return "starting TLS with";
  if (FInLogin || FLastCommand == "USER" || FLastCommand == "PASS" || FLastCommand == "APOP" ||
      FLastCommand == "AUTH")
    return "logging in as " + (FOptions.User.empty() ? std::string("(no user)") : FOptions.User) + " to";
  if (FLastCommand.empty()) return "reading the greeting of";
  return "opening a session with";
}

void TCliSession::Fail(const std::string& AWhat, int ACode, bool ATlsEngine) {
  EndProgress();
  std::string Line = CurrentOperation() + " " + Where() + ": " + OneLine(AWhat);
  const std::string Hint = Remedy(AWhat, ACode, ATlsEngine);
  if (!Hint.empty()) Line += " (" + Hint + ")";
  throw TFailure(Line);
}

std::string TCliSession::Remedy(const std::string& AWhat, int ACode, bool ATlsEngine) const {
  const std::string Protocol = FStandardPort == 25 ? "SMTP" : "POP3";
  const std::string Ports = FStandardPort == 25 ? "25 or 587, and 465 with TLS from the start"
                                                : "110, and 995 with TLS from the start";
  const std::string Port = std::to_string(FClient.Port());
  const auto* Probe = dynamic_cast<const TConnectProbe*>(&FClient);
  const bool Connected = Probe && Probe->Connected;
  const bool Implicit = FClient.UseTLS() == ctImplicit;
  const std::string Text = LowerCase(AWhat);
  if (ACode == qmTimeoutErrorCode || AWhat == qmTimeoutError) {
    const std::string Seconds = Format("%g", FOptions.TimeOutSeconds);
    // With TLS from the start, the handshake belongs to the connection.
    if (!Connected && Implicit)
      return "no answer within " + Seconds + " s: check the host name, the port and any firewall; if TLS " +
             "starts with a command on port " + Port + ", use --security explicit or auto";
    if (!Connected)
      return "no answer to the connection within " + Seconds + " s: check the host name, the port and any firewall";
    if (!FConnected)
      return "port " + Port + " took the connection but sent no " + Protocol + " greeting within " + Seconds +
             " s; is a " + Protocol + " server listening there? (" + Protocol + " is usually on " + Ports +
             "; with TLS from the start use --security implicit)";
    return "the server stopped answering for " + Seconds + " s; a longer --timeout may help";
  }
  // A read on a connection the server has closed reports "not a socket";
  // say what happened instead.
  if (ACode == ENOTSOCK && Connected && !FClient.Active()) {
    if (!FConnected)
      return "the server closed the connection without a " + Protocol + " greeting; is a " + Protocol +
             " server listening on port " + Port + "? (" + Protocol + " is usually on " + Ports + ")";
    return "the server closed the connection";
  }
  const bool InTls = CurrentOperation() == "starting TLS with" || (Implicit && !FConnected);
  if (!InTls) return {};
  if (Contains(Text, "certificate") || Contains(Text, "verify") || Contains(Text, "issuer") ||
      Contains(Text, "hostname mismatch") || Contains(Text, "self-signed") || Contains(Text, "self signed"))
    return "--ca-file FILE trusts a private certificate authority; --insecure skips the check";
  if (Contains(Text, "wrong version number") || Contains(Text, "packet length") || Contains(Text, "record layer"))
    return "port " + Port + " does not start with TLS; use --security explicit (STARTTLS) or auto";
  if (ATlsEngine) return "--security none turns TLS off; --insecure skips the certificate check";
  return {};
}

void TCliSession::Open() {
  FOperation.clear();
  try {
    FClient.Open();
  } catch (const Exception& E) {
    const auto* Coded = dynamic_cast<const EqmSocketError*>(&E);
    Fail(E.Message(), Coded ? Coded->ErrorCode() : 0, dynamic_cast<const EqmSSPIError*>(&E) != nullptr);
  } catch (const std::exception& E) {
    Fail(E.what(), 0, false);
  }
}

void TCliSession::Run(const std::string& AOperation, const std::function<void()>& AAction) {
  FOperation = AOperation;
  try {
    AAction();
  } catch (const TFailure&) {
    throw;
  } catch (const TUsageError&) {
    throw;
  } catch (const Exception& E) {
    const auto* Coded = dynamic_cast<const EqmSocketError*>(&E);
    Fail(E.Message(), Coded ? Coded->ErrorCode() : 0, dynamic_cast<const EqmSSPIError*>(&E) != nullptr);
  } catch (const std::exception& E) {
    Fail(E.what(), 0, false);
  }
  EndProgress();
  FOperation.clear();
}

void TCliSession::Close() { Run("closing the session with", [this] { FClient.Close(); }); }

void TCliSession::ShowProgress(int64_t AProceed, int64_t ATotal) {
  if (!FProgressWanted || ATotal <= kProgressThreshold) return;
  const int Percent = static_cast<int>(std::min<int64_t>(100, AProceed * 100 / ATotal));
  if (Percent == FProgressPercent) return;
  FProgressPercent = Percent;
  constexpr int Width = 30;
  const int Filled = Percent * Width / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%% %.1f/%.1f MB", FProgressLabel.c_str(), std::string(Filled, '#').c_str(),
               std::string(Width - Filled, ' ').c_str(), Percent, AProceed / 1048576.0, ATotal / 1048576.0);
  FProgressShown = true;
  if (AProceed >= ATotal) EndProgress();
}

void TCliSession::EndProgress() {
  if (FProgressShown) std::fputc('\n', stderr);
  FProgressShown = false;
  FProgressPercent = -1;
}

}  // namespace qm::cli
