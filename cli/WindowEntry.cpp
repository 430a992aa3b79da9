// The window module's entry point (compiled into tarvex-window.so only).
#include "app/qt/DesktopRunner.h"
#include "cli/DesktopModule.h"

extern "C" int TarvexRunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot) {
  return RunFormWindow(argv0, options, screenshot);
}
