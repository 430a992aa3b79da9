// Tests of the shell command runner that password commands use: what it returns of
// the output, the status and the error output, its limits, and the first-line rule.
#include "platform/ShellCommand.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(ShellCommand, FirstLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"secret\nmore\n", "secret"}, {"secret\r\n", "secret"}, {"secret", "secret"},
      {"\nsecret\n", ""},           {"", ""},                 {"a b \n", "a b "},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(FirstLine(text), line) << text;
}

}  // namespace
