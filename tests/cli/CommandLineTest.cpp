#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace {
TCommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "./build/tarvex");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(args.size()), argv.data());
}
}  // namespace

TEST(CommandLine, OptionsReadAsGetoptReadsThem) {
  struct Case {
    std::vector<std::string> args;
    int verbosity;
    std::vector<std::string> params;
  } cases[] = {
      {{"-v", "m.txt"}, 1, {"m.txt"}},
      {{"-vv", "m.txt"}, 2, {"m.txt"}},
      {{"-vvv", "m.txt"}, 2, {"m.txt"}},  // three -v, capped at the deepest trace
      {{"m.txt", "--verbose", "-v"}, 2, {"m.txt"}},  // options may follow the macro
      {{"--", "-v"}, 0, {"-v"}},                     // "--" ends the options
  };
  for (const Case& c : cases) {
    TCommandLine line = Parse(c.args);
    EXPECT_EQ(line.error, "") << c.args[0];
    EXPECT_EQ(line.run.verbosity, c.verbosity) << c.args[0];
    EXPECT_EQ(line.params, c.params) << c.args[0];
  }
}

TEST(CommandLine, FaultsAreWordedAsTheCLibraryWordsThem) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"--foo", "m.txt"}, "unrecognized option '--foo'"},
      {{"-x"}, "invalid option -- 'x'"},
      {{"m.txt", "--timeout"}, "option '--timeout' requires an argument"},
      {{"--headless=yes"}, "option '--headless' doesn't allow an argument"},
      {{"--timeout", "1.5s"}, "bad --timeout \"1.5s\" (seconds, e.g. 30 or 2.5)"},
      {{"--no-send", "m.txt"}, "--no-send needs --dump FILE"},
      {{"--dump="}, "--dump needs a file name"},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.args).error, c.error) << c.args[0];
}

TEST(CommandLine, ValuesReachTheRunOptions) {
  TCommandLine line = Parse({"--charset=UTF-8", "--timeout", "2.5", "--dump", "out.eml", "--no-send", "m.txt"});
  EXPECT_EQ(line.error, "");
  EXPECT_TRUE(line.run.utf8Macros);
  EXPECT_EQ(line.run.timeOut, 2500);
  EXPECT_EQ(line.run.dumpPath, "out.eml");
  EXPECT_TRUE(line.run.noSend);
  EXPECT_TRUE(line.headless);  // a run that sends nothing never opens a window
  EXPECT_FALSE(line.run.noPause);
  // --no-pause is its own choice: it neither needs nor implies anything else.
  line = Parse({"--no-pause", "m.txt"});
  EXPECT_EQ(line.error, "");
  EXPECT_TRUE(line.run.noPause);
  EXPECT_FALSE(line.headless);
  EXPECT_FALSE(line.run.noSend);
  // --result names a file; it implies nothing else, and an empty name is a fault.
  line = Parse({"--result", "r.ini", "m.txt"});
  EXPECT_EQ(line.error, "");
  EXPECT_EQ(line.run.resultPath, "r.ini");
  EXPECT_FALSE(line.headless);
  EXPECT_EQ(Parse({"--result=", "m.txt"}).error, "--result needs a file name");
}
