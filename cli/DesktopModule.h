// The window module, tarvex-window.so: the desktop front end (the toolkit's
// services, the form's window and its runner), built apart from the program so
// that runs without a window map no toolkit library. The program loads it only
// when it is about to show a window, asks it which of the toolkit's platforms are
// installed and calls its entry point; the module uses the program's own form, pump
// and dialogs, which the program exports.
#pragma once

#include <string>

#include "app/RunOptions.h"

inline constexpr char kDesktopModuleName[] = "tarvex-window.so";
inline constexpr char kDesktopEntryName[] = "TarvexRunDesktop";
inline constexpr char kPlatformProbeName[] = "TarvexHasPlatformPlugin";

// The entry point: RunFormWindow of the window's runner, on the toolkit platform
// named (as QT_QPA_PLATFORM would name it).
extern "C" int TarvexRunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot,
                                const std::string& platform);
using TDesktopEntry = decltype(&TarvexRunDesktop);

// Whether the toolkit's plugin for a platform ("wayland", "xcb") is installed.
extern "C" bool TarvexHasPlatformPlugin(const std::string& platform);
using TPlatformProbe = decltype(&TarvexHasPlatformPlugin);
