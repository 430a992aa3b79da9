// A command line run through the shell for what it prints: the way a secret (a
// password or an access token) comes from a password store or a token helper.
#pragma once

#include <string>

struct TShellResult {
  int Status = 0;      // exit status; 128 + the signal number when a signal ended it
  bool TimedOut = false;  // it ran past the limit and was killed
  bool Interrupted = false;  // a stop was requested (SignalStop) and it was killed
  std::string Out;     // standard output, at most the first 64 KiB
  std::string Err;     // standard error, at most the first 64 KiB
};

// Runs command (CP932, converted for the OS as paths are) with /bin/sh -c, standard
// input from /dev/null, and waits until it ends, limitMs passes or a stop is
// requested (then it and every process of its group are killed at once). Nothing of what it prints reaches this process's
// own output. Throws Exception when the shell cannot be started.
TShellResult RunShellCommand(const std::string& command, int limitMs);

// The first line of text (up to LF, a CR before it dropped), or all of it without a
// line end.
std::string FirstLine(const std::string& text);
