// qmsample --help and --version answer without a display (the GUI
// application would abort without one); without options and without a
// display it says so and ends with status 1.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/qmVersion.h"

namespace {

// Runs qmsample without a display; its exit status (-1: it did not exit
// normally) and what it printed.
std::pair<int, std::string> RunWithoutDisplay(const std::string& AArguments) {
  const std::string Command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") +
                              QM_SAMPLE_PATH + "' " + AArguments + " 2>&1 </dev/null";
  FILE* Pipe = popen(Command.c_str(), "r");
  if (!Pipe) return {-1, "popen failed"};
  std::string Output;
  std::array<char, 4096> Buffer{};
  for (size_t Got; (Got = fread(Buffer.data(), 1, Buffer.size(), Pipe)) > 0;) Output.append(Buffer.data(), Got);
  const int Status = pclose(Pipe);
  return {WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, Output};
}

}  // namespace

TEST(SampleHelp, WorksWithoutADisplayAndListsTheEnvironment) {
  const auto [Status, Output] = RunWithoutDisplay("--help");
  EXPECT_EQ(Status, 0) << Output;
  for (const char* Text : {"--pop3-server", "--smtp-security", "--version", "QM_SAMPLE_POP3_SERVER",
                           "QM_SAMPLE_PASSWORD"})
    EXPECT_NE(Output.find(Text), std::string::npos) << Text << " missing in:\n" << Output;
}

TEST(SampleHelp, VersionAndNoDisplayEndCleanly) {
  const auto [VersionStatus, Version] = RunWithoutDisplay("--version");
  EXPECT_EQ(VersionStatus, 0) << Version;
  EXPECT_NE(Version.find(QM_VERSION_STRING), std::string::npos) << Version;
  for (const char* Arguments : {"", "--check-mail"}) {
    const auto [Status, Output] = RunWithoutDisplay(Arguments);
    EXPECT_EQ(Status, 1) << Arguments << ": " << Output;
    EXPECT_NE(Output.find("qmsample: no display"), std::string::npos) << Output;
  }
}
