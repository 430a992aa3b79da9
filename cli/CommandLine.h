// The command line of tarvex: its options (read with getopt_long, so they read as
// every other Linux tool's), the environment variables that stand for options, and
// the usage text printed by --help.
#pragma once

#include <string>
#include <vector>

#include "app/RunOptions.h"
#include "platform/Language.h"

struct TCommandLine {
  bool headless = false;   // --headless, or implied by --no-send
  bool help = false;
  bool version = false;
  std::string screenshot;  // --screenshot FILE (a file-system path)
  std::vector<std::string> params;  // the operands, CP932
  TRunOptions run;         // what the form is given
  std::string error;       // the first fault of the command line; empty when none
};

// Reads argv (getopt_long may reorder it: options may follow the operands; "--"
// ends the options) and TARVEX_CHARSET. The first fault is in error, worded as
// the C library words its own: "unrecognized option '--foo'".
TCommandLine ParseCommandLine(int argc, char** argv);

// The --help text (UTF-8) in the user's language; its exit status list is printed
// from kExitStatuses, and the path of the settings file in use comes between.
std::string UsageText(TLanguage language = UserLanguage());

// The Japanese text of --help up to the settings file in use (cli/HelpJa.cpp): the
// English one's facts, options and settings keys, in Japanese.
extern const char kUsageHeadJa[];

// The line after a usage error: "Try 'tarvex --help' for more information."
extern const char kHelpHint[];
