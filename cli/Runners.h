// The two front ends of the form. Each gives the form the run's options, creates
// it, runs it to its end and returns the exit status of the run.
#pragma once

#include <string>

#include "app/Console.h"
#include "app/RunOptions.h"

// The headless front end. The form counts as shown and activated once, so the
// start-up macro runs at once; no user can come, so a form that would stay open
// afterwards is closed as its close button would close it. Dialogs are lines on
// stderr.
int RunHeadless(const TRunOptions& options);

// Loads the window module (kDesktopModuleName) from beside the program, else from
// the installed library folder; true when its entry point is there. Otherwise false
// with the reason in error (not found, or the loader's message).
bool LoadDesktop(std::string& error);

// The desktop front end of the window module: the form in a window, its dialogs as
// the toolkit's and the toolkit's events served by the pump. The main loop runs
// until the form has closed; a macro run that goes on after the user closed the
// window finishes first, since it runs inside the loop's pass. screenshot: a file
// to save a picture of the window to once it is shown (empty: none). Loads the
// module when LoadDesktop has not; throws Exception when it cannot be loaded.
// platform: the toolkit platform, as DesktopPlatform chose it.
int RunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot, const std::string& platform);

// The toolkit platform the window can run on (ChooseWindowPlatform, asking the
// loaded module which plugins are installed); empty with the reason in why when
// there is none. Loads the module when LoadDesktop has not (Exception as above).
std::string DesktopPlatform(std::string& why);
