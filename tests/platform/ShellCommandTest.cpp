// Tests of the shell command runner that password commands use: what it returns of
// the output, the status and the error output, its limits, and the first-line rule.
#include "platform/ShellCommand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/StopRequest.h"

namespace {

TEST(ShellCommand, OutputStatusAndErrorOutput) {
  struct Case {
    const char* command;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"printf 'tok3n\\nsecond\\n'", 0, "tok3n\nsecond\n", ""},
      {"echo 'store locked' >&2; exit 3", 3, "", "store locked\n"},
      {"true", 0, "", ""},
      {"cat", 0, "", ""},                  // standard input is empty: no wait for a user
      {"kill -TERM $$", 128 + 15, "", ""},  // ended by a signal
      {"printf '%s' \"$0\"", 0, "sh", ""},
      // The command is CP932 like every text of the model; the shell gets UTF-8.
      {"printf '%s' '\x94\xe9\x96\xa7'", 0, "\xe7\xa7\x98\xe5\xaf\x86", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const TShellResult r = RunShellCommand(c.command, 10000);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Out, c.out);
    EXPECT_EQ(r.Err, c.err);
  }
}

TEST(ShellCommand, LargeOutputIsCutAndACommandPastTheLimitIsKilled) {
  // Both streams far beyond what a pipe holds: read together, cut at 64 KiB each.
  const TShellResult big = RunShellCommand("head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2", 10000);
  EXPECT_EQ(big.Status, 0);
  EXPECT_EQ(big.Out.size(), 65536u);
  EXPECT_EQ(big.Err.size(), 65536u);

  // A child that keeps the pipe open goes with the group.
  const TShellResult slow = RunShellCommand("echo started; sleep 30 & sleep 30", 300);
  EXPECT_TRUE(slow.TimedOut);
  EXPECT_EQ(slow.Out, "started\n");
  EXPECT_EQ(slow.Status, 128 + 9);
}

TEST(ShellCommand, ACommandThatClosesItsOutputAndRunsOnEndsAtTheLimit) {
  const TShellResult quiet = RunShellCommand("echo said; exec >&- 2>&-; sleep 30", 300);
  EXPECT_TRUE(quiet.TimedOut);
  EXPECT_EQ(quiet.Out, "said\n");
  EXPECT_EQ(quiet.Status, 128 + 9);
}

// A stop requested while the command runs (a termination signal of the run) ends
// it and its group at once. In a child process of its own: the request stays.
TEST(ShellCommandDeathTest, AStopEndsTheCommandAndItsGroup) {
  EXPECT_EXIT(
      {
        std::thread stopper([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          SignalStop();
        });
        const TShellResult r = RunShellCommand("sleep 30 & echo $! >&2; sleep 30", 60000);
        stopper.join();
        // The background sleep of its group goes as well (dies; a zombie counts).
        bool groupGone = false;
        for (int i = 0; i < 200 && !groupGone; ++i) {
          std::ifstream stat("/proc/" + r.Err.substr(0, r.Err.find('\n')) + "/stat");
          std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
          groupGone = text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
          if (!groupGone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::exit(r.Interrupted && !r.TimedOut && r.Status == 128 + 9 && groupGone ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ShellCommand, FirstLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"secret\nmore\n", "secret"}, {"secret\r\n", "secret"}, {"secret", "secret"},
      {"\nsecret\n", ""},           {"", ""},                 {"a b \n", "a b "},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(FirstLine(text), line) << text;
}

}  // namespace
