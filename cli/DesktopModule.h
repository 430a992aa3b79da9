// The window module, tarvex-window.so: the desktop front end (the toolkit's
// services, the form's window and the runner that shows it), built apart from the
// program so that runs without a window map no toolkit library. The program loads
// it only when it is about to show a window and calls its one entry point; the
// module uses the program's own form, pump and dialogs (the program exports them).
#pragma once

#include <string>

#include "app/RunOptions.h"

// The module's file name and the folder it is installed in (beside the program
// comes first).
inline constexpr char kDesktopModuleName[] = "tarvex-window.so";

// The entry point: the form in a window, its dialogs as the toolkit's and the
// toolkit's events served by the pump. The main loop runs until the form has closed;
// a macro run that goes on after the user closed the window finishes first, since
// it runs inside the loop's pass. screenshot: a file to save a picture of the
// window to once it is shown (empty: none). Returns the run's exit status; throws
// what the toolkit's set-up throws.
extern "C" int TarvexRunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot);
inline constexpr char kDesktopEntryName[] = "TarvexRunDesktop";
using TDesktopEntry = int (*)(char* argv0, const TRunOptions& options, const std::string& screenshot);
