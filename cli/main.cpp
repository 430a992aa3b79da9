// Program entry: reads the command line, then runs the form in the desktop front
// end when a display answers, else headless.
#include <cstdio>
#include <string>

#include "app/ExitStatus.h"
#include "app/Signals.h"
#include "app/Version.h"
#include "cli/CommandLine.h"
#include "cli/Display.h"
#include "cli/Runners.h"
#include "platform/FileUtil.h"
#include "platform/Heap.h"
#include "platform/Language.h"

namespace {

int UsageError(const std::string& text) {
  PrintError(text);
  std::fprintf(stderr, "%s\n", UserText(kHelpHint).c_str());
  return esUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Before a secret is read: no core file holds it.
  DisableCoreDumps();
  // Before any thread starts: only the signal watch of a run receives them.
  TSignalWatch::BlockSignals();
  ReturnLargeBlocks();
  TCommandLine line = ParseCommandLine(argc, argv);
  if (line.help) {
    std::fputs(UsageText().c_str(), stdout);
    return esOk;
  }
  if (line.version) {
    std::puts("tarvex " TARVEX_VERSION);
    return esOk;
  }
  if (!line.error.empty()) return UsageError(line.error);
  SetParams(line.params);

  // A display that does not answer: headless, without loading the toolkit at all.
  if (!line.headless && DisplayAvailable() && !WaylandReachable() && !X11Reachable()) {
    PrintError("the display cannot be reached; running headless");
    line.headless = true;
  }
  // Without the window module (not built, not installed) the run goes on headless.
  std::string noWindow;
  if (!line.headless && DisplayAvailable() && !LoadDesktop(noWindow)) {
    PrintError("no window: " + FromOsPath(noWindow) + "; running headless");
    line.headless = true;
  }
  // A display the toolkit cannot use (none answers, or its plugin is not installed)
  // would end the program in the toolkit: the run goes on headless instead.
  std::string platform;
  if (!line.headless && DisplayAvailable()) {
    std::string why;
    platform = DesktopPlatform(why);
    if (platform.empty()) {
      PrintError(why);
      line.headless = true;
    }
  }
  if (!line.headless && DisplayAvailable()) {
    try {
      return RunDesktop(argv[0], line.run, line.screenshot, platform);
    } catch (const std::exception& e) {
      PrintError(e.what());
      return ExitStatusOf(e);
    }
  }

  if (line.params.empty()) return UsageError("no macro file given");
  try {
    return RunHeadless(line.run);
  } catch (const std::exception& e) {
    PrintError(e.what());
    return ExitStatusOf(e);
  } catch (...) {
    PrintError("unknown error");
    return esSoftware;
  }
}
