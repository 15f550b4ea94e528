// Runs one of our programs (qm, an example) as a user would from a shell:
// its exit status, what it wrote, how long it took.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/integration/qmTestServers.h"

namespace qm::test {

struct TProgramRun {
  int Status = -1;  // -1 when it did not exit normally
  std::string Out, Err;
  double Seconds = 0;
};

// Runs AProgram with the arguments (each quoted) and the environment
// settings ("NAME=value"); SSL_CERT_FILE and QM_PASSWORD of the test's own
// environment are removed unless given. stdin comes from AStdin. With
// AJoinStderr, stderr goes into Out in the order written and Err stays empty.
inline TProgramRun RunProgram(const std::string& AProgram, const std::vector<std::string>& AArgs,
                              const std::vector<std::string>& AEnv = {}, const std::string& AStdin = "/dev/null",
                              bool AJoinStderr = false) {
  namespace fs = std::filesystem;
  char Dir[] = "/tmp/qm-run-XXXXXX";
  TProgramRun Run;
  if (!mkdtemp(Dir)) {
    ADD_FAILURE() << "mkdtemp failed";
    return Run;
  }
  const fs::path Out = fs::path(Dir) / "out", Err = fs::path(Dir) / "err";
  std::string Command = "env -u SSL_CERT_FILE -u QM_PASSWORD";
  for (const auto& Setting : AEnv) Command += " " + ShellQuote(Setting);
  Command += " " + ShellQuote(AProgram);
  for (const auto& Arg : AArgs) Command += " " + ShellQuote(Arg);
  Command += " <" + ShellQuote(AStdin) + " >" + ShellQuote(Out.string()) +
             (AJoinStderr ? std::string(" 2>&1") : " 2>" + ShellQuote(Err.string()));
  const auto Start = std::chrono::steady_clock::now();
  const int Status = std::system(Command.c_str());
  Run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  Run.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  const auto Read = [](const fs::path& APath) {
    std::ifstream In(APath, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
  };
  Run.Out = Read(Out);
  if (!AJoinStderr) Run.Err = Read(Err);
  fs::remove_all(Dir);
  return Run;
}

// A suite whose tests send through postfix and read back from the dovecot
// it delivers to: both started once for the suite.
class PostfixAndDovecotSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Servers = new TestServers;
    Env = Servers->Start("postfix");
    Pop3 = Servers->Env("dovecot");
  }
  static void TearDownTestSuite() {
    delete Servers;
    Servers = nullptr;
  }
  static inline TestServers* Servers = nullptr;
  static inline ServerEnv Env, Pop3;
};

}  // namespace qm::test
