// qmsample --help answers without a display (the GUI application would
// abort without one) and names the environment variables.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

TEST(SampleHelp, WorksWithoutADisplayAndListsTheEnvironment) {
  const std::string Command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") +
                              QM_SAMPLE_PATH + "' --help 2>&1 </dev/null";
  FILE* Pipe = popen(Command.c_str(), "r");
  ASSERT_NE(Pipe, nullptr);
  std::string Output;
  std::array<char, 4096> Buffer{};
  for (size_t Got; (Got = fread(Buffer.data(), 1, Buffer.size(), Pipe)) > 0;) Output.append(Buffer.data(), Got);
  const int Status = pclose(Pipe);
  ASSERT_TRUE(WIFEXITED(Status)) << Output;
  EXPECT_EQ(WEXITSTATUS(Status), 0) << Output;
  for (const char* Text : {"--pop3-server", "--smtp-security", "QM_SAMPLE_POP3_SERVER", "QM_SAMPLE_PASSWORD"})
    EXPECT_NE(Output.find(Text), std::string::npos) << Text << " missing in:\n" << Output;
}
