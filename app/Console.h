// Console: what the program writes to the terminal beside its error messages: the
// trace of the SMTP dialogue (-v, -vv) with time stamps and the updating progress
// line of a long send. Texts are CP932; stderr gets them as UTF-8.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "sock/LxSock.h"

// One trace line without its line end, or "" when the verbosity hides the event:
// "HH:MM:SS.mmm " then ">>> " and the command for a command sent, "<<< " and the
// line (its CR LF removed) for a line received, "--- " and the text for a status
// text. Verbosity 1 shows commands and received lines; 2 also the status texts
// of levels 4 and 8 (the level-1 texts are the replies, shown already). The text
// stays CP932. Never throws.
std::string TraceLine(const std::tm& local, int milliseconds, TTraceKind kind, int level, const std::string& text,
                      int verbosity);

// "N bytes of M sent", the progress text of the status bar.
std::string ProgressText(int64_t sent, int64_t total);

// A trace handler for a socket component that writes TraceLine of every event,
// stamped with the local time, to stderr (ending an open progress line first).
TOnTrace ConsoleTrace(int verbosity);

// Shows ProgressText, in the user's language, as one line that each call rewrites
// in place (CR), when stderr is a terminal; nothing otherwise. The line ends when
// sent reaches total.
void ConsoleProgress(int64_t sent, int64_t total);

// Ends an open progress line with a line feed; nothing when none is open. Call
// before anything else is written to stderr.
void ConsoleEndProgress();

// Prints "tarvex: TEXT" (TEXT is CP932) to stderr as UTF-8, in the user's language
// (UserText).
void PrintError(const std::string& text);
