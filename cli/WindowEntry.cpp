// The window module's entry points (compiled into tarvex-window.so only).
#include "app/qt/DesktopRunner.h"
#include "cli/DesktopModule.h"

extern "C" int TarvexRunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot,
                                const std::string& platform) {
  return RunFormWindow(argv0, options, screenshot, platform);
}

extern "C" bool TarvexHasPlatformPlugin(const std::string& platform) { return HasPlatformPlugin(platform); }
