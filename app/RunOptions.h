// The options of one run, from the command line and the environment, and the
// readers of their values. The runners give them to the form before it is created;
// every default keeps the behaviour of a run without options.
#pragma once

#include <cstdint>
#include <string>

struct TRunOptions {
  bool utf8Macros = false;  // macro and pickup files are UTF-8, converted line by line
  bool charsetNamed = false;  // --charset or TARVEX_CHARSET chose the files' character set
  int32_t timeOut = -1;     // milliseconds for the SMTP component; -1: the settings file's
  int verbosity = 0;        // 1: trace of the dialogue on stderr; 2: also status texts
  std::string dumpPath;     // CP932; each send writes what follows DATA here; empty: none
  bool noSend = false;      // nothing connects; "send" only writes the dump
  bool noPause = false;     // "open", "send" and "close" skip their one-second pause
  std::string resultPath;   // CP932; the run's [Result] section also goes here; empty: none
};

// A character set name: "utf-8" -> true, "cp932" -> false (ASCII case ignored, with
// the usual other names of each). ok is false for any other name.
bool ParseCharsetName(const std::string& name, bool& ok);

// Seconds with up to three decimals ("30", "0.5") as milliseconds; -1 when the
// text is no such number or exceeds the component's 32-bit range.
int32_t ParseSeconds(const std::string& text);
