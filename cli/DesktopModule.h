// The window module, tarvex-window.so: the desktop front end (the toolkit's
// services, the form's window and its runner), built apart from the program so
// that runs without a window map no toolkit library. The program loads it only
// when it is about to show a window and calls its one entry point; the module uses
// the program's own form, pump and dialogs, which the program exports.
#pragma once

#include <string>

#include "app/RunOptions.h"

inline constexpr char kDesktopModuleName[] = "tarvex-window.so";
inline constexpr char kDesktopEntryName[] = "TarvexRunDesktop";

// The entry point: RunFormWindow of the window's runner.
extern "C" int TarvexRunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot);
using TDesktopEntry = decltype(&TarvexRunDesktop);
