// The desktop front end: the form shown in the window "Tarvex". Its interface holds
// no toolkit type, so the entry point can call it without seeing the toolkit.
#pragma once

#include <string>

#include "app/RunOptions.h"

// Runs the form in a window: its dialogs are the toolkit's and the toolkit's events
// are served by the pump. The main loop runs until the form has closed; a macro run
// that goes on after the user closed the window finishes first, since it runs inside
// the loop's pass. screenshot: a file to save a picture of the window to once it is
// shown (empty: none). platform: the toolkit platform to run on, as the -platform
// argument takes it (empty: the toolkit's own choice). Returns the exit status of
// the run.
int RunFormWindow(char* argv0, const TRunOptions& options, const std::string& screenshot,
                  const std::string& platform = {});

// Whether the toolkit's plugin for a platform name ("wayland", "xcb", "offscreen")
// is in one of its plugin folders.
bool HasPlatformPlugin(const std::string& platform);
