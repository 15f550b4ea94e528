// Real servers for the integration tests, started by tests/servers/ scripts
// in a private state folder and stopped when the owner goes away.
//
//   qm::test::TestServers servers;
//   const auto& pop3 = servers.Start("dovecot");
//   int port = qm::test::Port(pop3, "POP3_PORT");
//
// A server that cannot be started throws ServerStartError carrying the
// script's own output; GoogleTest reports that as a failed test, so a
// missing server never turns into a silent skip.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef QM_SOURCE_DIR
#error "QM_SOURCE_DIR must name the source tree (set by tests/CMakeLists.txt)"
#endif

namespace qm::test {

using ServerEnv = std::map<std::string, std::string>;

class ServerStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Quotes a word for /bin/sh.
inline std::string ShellQuote(const std::string& AWord) {
  std::string result = "'";
  for (char c : AWord) {
    if (c == '\'') {
      result += "'\\''";
    } else {
      result += c;
    }
  }
  return result + "'";
}

// Runs a command line through /bin/sh with stderr joined to stdout; returns
// the exit status (-1 when it did not exit normally) and the output.
inline int RunCommand(const std::string& ACommandLine, std::string& AOutput) {
  AOutput.clear();
  std::string line = "exec 2>&1 </dev/null; " + ACommandLine;
  FILE* pipe = popen(line.c_str(), "re");
  if (!pipe) {
    AOutput = "popen failed";
    return -1;
  }
  std::array<char, 4096> buffer{};
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    AOutput.append(buffer.data(), got);
  }
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads KEY=VALUE lines; the value is everything after the first '='.
inline ServerEnv ReadEnvFile(const std::filesystem::path& AFile) {
  std::ifstream in(AFile);
  if (!in) {
    throw ServerStartError("cannot read " + AFile.string());
  }
  ServerEnv env;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos && eq > 0) {
      env[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return env;
}

inline const std::string& Value(const ServerEnv& AEnv, const std::string& AKey) {
  auto it = AEnv.find(AKey);
  if (it == AEnv.end()) {
    throw std::out_of_range("test server setting " + AKey + " is missing");
  }
  return it->second;
}

inline int Port(const ServerEnv& AEnv, const std::string& AKey) {
  return std::stoi(Value(AEnv, AKey));
}

inline std::filesystem::path ServersScriptDir() {
  return std::filesystem::path(QM_SOURCE_DIR) / "tests" / "servers";
}

class TestServers {
 public:
  // Makes a short private state folder (dovecot's sockets live below it and
  // a socket path has at most 108 bytes).
  TestServers() {
    char templ[] = "/tmp/qm-XXXXXX";
    if (!mkdtemp(templ)) {
      throw ServerStartError("mkdtemp failed for the test server state folder");
    }
    FStateDir = templ;
  }
  ~TestServers() { Shutdown(); }
  TestServers(const TestServers&) = delete;
  TestServers& operator=(const TestServers&) = delete;

  const std::filesystem::path& StateDir() const { return FStateDir; }

  // Runs tests/servers/start-AScript.sh STATE_DIR AArgs... and returns the
  // settings it wrote to AEnvName.env (default: AScript.env).
  const ServerEnv& Start(const std::string& AScript, const std::vector<std::string>& AArgs = {},
                         const std::string& AEnvName = {}) {
    RunScript("start-" + AScript + ".sh", AArgs);
    return Reload(AEnvName.empty() ? AScript : AEnvName);
  }

  // Runs any script of tests/servers (e.g. fill-maildir.sh) on the state
  // folder; throws with its output when it fails. Returns the output.
  std::string RunScript(const std::string& AScript, const std::vector<std::string>& AArgs = {}) {
    std::string cmd = ShellQuote((ServersScriptDir() / AScript).string()) + " " + ShellQuote(FStateDir.string());
    for (const auto& arg : AArgs) {
      cmd += " " + ShellQuote(arg);
    }
    std::string output;
    int rc = RunCommand(cmd, output);
    if (rc != 0) {
      throw ServerStartError(AScript + " failed (exit status " + std::to_string(rc) + "):\n" + output);
    }
    return output;
  }

  // Reads AName.env again (after a script changed it) and keeps it.
  const ServerEnv& Reload(const std::string& AName) {
    FEnvs[AName] = ReadEnvFile(FStateDir / (AName + ".env"));
    return FEnvs[AName];
  }

  // The settings of a server started here, also one that another start
  // script started on the way (postfix starts dovecot).
  const ServerEnv& Env(const std::string& AName) {
    auto it = FEnvs.find(AName);
    if (it != FEnvs.end()) {
      return it->second;
    }
    if (!std::filesystem::exists(FStateDir / (AName + ".env"))) {
      throw std::out_of_range("test server " + AName + " was not started");
    }
    return Reload(AName);
  }

  // Stops every server and removes the state folder (kept when the
  // environment variable QM_KEEP_TEST_SERVERS is set, for a post-mortem).
  void Shutdown() {
    if (FStateDir.empty()) {
      return;
    }
    std::string output;
    RunCommand(ShellQuote((ServersScriptDir() / "stop-all.sh").string()) + " " + ShellQuote(FStateDir.string()),
               output);
    if (!std::getenv("QM_KEEP_TEST_SERVERS")) {
      std::error_code ec;
      std::filesystem::remove_all(FStateDir, ec);
    }
    FStateDir.clear();
    FEnvs.clear();
  }

 private:
  std::filesystem::path FStateDir;
  std::map<std::string, ServerEnv> FEnvs;
};

// Sets an environment variable for as long as it lives; the old value
// comes back after (other tests trust their own CA through it).
class TEnvGuard {
 public:
  TEnvGuard(const char* AName, const std::string& AValue) : FName(AName) {
    if (const char* Old = std::getenv(AName)) FOld = Old, FHad = true;
    setenv(AName, AValue.c_str(), 1);
  }
  ~TEnvGuard() {
    if (FHad)
      setenv(FName, FOld.c_str(), 1);
    else
      unsetenv(FName);
  }
  TEnvGuard(const TEnvGuard&) = delete;
  TEnvGuard& operator=(const TEnvGuard&) = delete;

 private:
  const char* FName;
  std::string FOld;
  bool FHad = false;
};

}  // namespace qm::test
