// Program entry: reads the command line, creates the main form and runs it in a
// front end. The headless front end runs the start-up macro, closes the form as
// its close button would and exits with the run's status.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "platform/FileUtil.h"
#include "platform/SysUtils.h"

#ifndef TARVEX_VERSION
#define TARVEX_VERSION "0.15"
#endif

namespace {

const char kUsage[] =
    "usage: tarvex [--headless] [MACRO]\n"
    "       tarvex --help | --version\n"
    "Runs the macro file MACRO (a bare file name means the file beside the program)\n"
    "and keeps the settings and the run's result in the settings file beside the\n"
    "program, or in the file named by TARVEX_INI.\n"
    "Exit status: 0 ok, 64 usage, 65 a required field was empty, 66 the macro file\n"
    "cannot be opened, 69 the server refused, 70 other error, 73 the settings file\n"
    "could not be written, 75 temporary failure.\n";

struct Options {
  bool headless = false;
  bool help = false;
  bool version = false;
  std::string badOption;
  std::vector<std::string> params;  // CP932
};

Options ParseCommandLine(int argc, char** argv) {
  Options o;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && arg == "--headless") {
      o.headless = true;
    } else if (!optionsEnd && (arg == "--help" || arg == "-h")) {
      o.help = true;
    } else if (!optionsEnd && arg == "--version") {
      o.version = true;
    } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
      if (o.badOption.empty()) o.badOption = arg;
    } else {
      o.params.push_back(FromOsPath(arg));
    }
  }
  return o;
}

// Prints "tarvex: TEXT" (TEXT is CP932) to stderr.
void PrintError(const std::string& text) {
  std::string line = "tarvex: " + Cp932ToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

bool DisplayAvailable() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// The headless front end. The form counts as shown and activated once, so the
// start-up macro runs at once; no user can come, so a form that would stay open
// afterwards is closed as its close button would close it.
int RunHeadless() {
  THeadlessDialogs dialogs;
  TDialogsGuard guard(&dialogs);
  TForm1 form;
  try {
    form.FormCreate();
    form.FormActivate();
  } catch (const std::exception& e) {
    Application().ShowException(e);
  }
  // A close that already failed to save the settings is not tried again: the same
  // write would fail the same way and say so twice.
  if (!form.IsClosed() && Application().ExitStatus() != esCantCreate) {
    try {
      form.Close();
    } catch (const std::exception& e) {
      Application().ShowException(e);
    }
  }
  int status = ExitStatusOfRun(form);
  // The missing-field path of a macro run shows no box; its text is said here.
  if (status == esMissingField) PrintError(form.ErrorMessage);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseCommandLine(argc, argv);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return esOk;
  }
  if (options.version) {
    std::puts("tarvex " TARVEX_VERSION);
    return esOk;
  }
  if (!options.badOption.empty()) {
    PrintError("unknown option " + options.badOption);
    std::fputs(kUsage, stderr);
    return esUsage;
  }
  SetParams(options.params);
  Application().Title = "Tarvex";

  if (!options.headless && DisplayAvailable()) {
    // The desktop front end (a window over the same TForm1 through TFormView, its
    // dialogs installed with SetDialogs and its events fed to the pump through a
    // TPumpBackend) plugs in here. Until it exists the program runs headless.
  }

  if (Params().empty()) {
    PrintError("no macro file given");
    std::fputs(kUsage, stderr);
    return esUsage;
  }
  try {
    return RunHeadless();
  } catch (const std::exception& e) {
    PrintError(e.what());
    return ExitStatusOf(e);
  } catch (...) {
    PrintError("unknown error");
    return esSoftware;
  }
}
