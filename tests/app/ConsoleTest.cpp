// The terminal output of the console unit: trace lines by kind and verbosity, and
// the progress text.
#include "app/Console.h"

#include <gtest/gtest.h>

namespace {

TEST(TraceLine, ByKindLevelAndVerbosity) {
  std::tm t{};
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  struct Case {
    TTraceKind kind;
    int level;
    std::string text;
    int verbosity;
    std::string line;
  } cases[] = {
      {TTraceKind::Sent, 0, "HELO host", 1, "09:05:07.042 >>> HELO host"},
      {TTraceKind::Received, 0, "250 ok\r\n", 1, "09:05:07.042 <<< 250 ok"},  // line end removed
      {TTraceKind::Received, 0, "220 hi\n", 2, "09:05:07.042 <<< 220 hi"},
      {TTraceKind::Status, 1, "250 ok\r\n", 2, ""},  // the reply, shown already as received
      {TTraceKind::Status, 4, "Sending Buffer", 1, ""},
      {TTraceKind::Status, 4, "Sending Buffer", 2, "09:05:07.042 --- Sending Buffer"},
      {TTraceKind::Status, 8, "Timer On", 2, "09:05:07.042 --- Timer On"},
      {TTraceKind::Sent, 0, "QUIT", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TraceLine(t, 42, c.kind, c.level, c.text, c.verbosity), c.line) << c.text;
}

TEST(ProgressText, AsTheStatusBarShowsIt) { EXPECT_EQ(ProgressText(65536, 700001), "65536 bytes of 700001 sent"); }

}  // namespace
