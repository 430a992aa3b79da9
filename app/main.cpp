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

#ifdef TARVEX_HAVE_QT
#include <QApplication>

#include "platform/qt/FormWindow.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtPump.h"
#endif

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
    "could not be written, 75 temporary failure.\n"
    "With a display (DISPLAY or WAYLAND_DISPLAY) and without --headless the form\n"
    "opens as a window; it exits 0 when closed, or as a macro ending in \"end\" ended.\n"
    "Debug aid: --screenshot FILE saves a picture of the window once it is shown.\n";

struct Options {
  bool headless = false;
  bool help = false;
  bool version = false;
  std::string screenshot;  // as given (a file-system path)
  std::string usageError;  // the first fault of the command line
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
    } else if (!optionsEnd && arg.rfind("--screenshot=", 0) == 0 && arg.size() > 13) {
      o.screenshot = arg.substr(13);
    } else if (!optionsEnd && arg == "--screenshot") {
      if (i + 1 < argc)
        o.screenshot = argv[++i];
      else if (o.usageError.empty())
        o.usageError = "--screenshot needs a file name";
    } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
      if (o.usageError.empty()) o.usageError = "unknown option " + arg;
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

#ifdef TARVEX_HAVE_QT
// The desktop front end: the form in a window, its dialogs as Qt dialogs and Qt's
// events served by the pump. The main loop runs until the form has closed; a macro
// run that goes on after the user closed the window finishes first, since it runs
// inside the loop's pass.
int RunDesktop(char* argv0, const std::string& screenshot) {
  // Qt reads none of the user's arguments: they were taken by ParseCommandLine.
  int qtArgc = 1;
  char* qtArgv[] = {argv0, nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  // The window closes when the form says so; the loop below ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  TQtPumpGuard pump;
  TForm1 form;
  TFormWindow view(form);
  TQtDialogs windowDialogs(&view.Window());
  THeadlessDialogs closedDialogs;
  TFormDialogs dialogs(form, windowDialogs, closedDialogs);
  TDialogsGuard dialogsGuard(&dialogs);
  try {
    form.FormCreate();
  } catch (const std::exception& e) {
    Application().ShowException(e);
  }
  if (!screenshot.empty()) {
    QObject::connect(&view.Window(), &TMainWindow::screenshotSaved, [](const QString& file, bool ok) {
      if (!ok) PrintError(FromOsPath("cannot write the screenshot " + file.toStdString()));
    });
    view.Window().ScreenshotWhenShown(QString::fromLocal8Bit(screenshot.c_str()));
  }
  view.Window().show();
  RunQtMainLoop([&form] { return form.IsClosed(); });
  int status = view.ExitStatus();
  // A non-zero exit says why on stderr: the missing-field path shows no box, and
  // other errors were shown in boxes that the caller may not have seen.
  if (status == esMissingField)
    PrintError(form.ErrorMessage);
  else if (status != esOk && !view.LastError().empty())
    PrintError(view.LastError());
  return status;
}
#endif

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
  if (!options.usageError.empty()) {
    PrintError(options.usageError);
    std::fputs(kUsage, stderr);
    return esUsage;
  }
  SetParams(options.params);
  Application().Title = "Tarvex";

  if (!options.headless && DisplayAvailable()) {
#ifdef TARVEX_HAVE_QT
    try {
      return RunDesktop(argv[0], options.screenshot);
    } catch (const std::exception& e) {
      PrintError(e.what());
      return ExitStatusOf(e);
    }
#endif
    // Built without the desktop toolkit: the run goes on headless.
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
