// Program entry: reads the command line, creates the main form and runs it in a
// front end. The headless front end runs the start-up macro, closes the form as
// its close button would and exits with the run's status.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "platform/FileUtil.h"
#include "platform/SysUtils.h"

#ifdef TARVEX_HAVE_QT
#include <QApplication>

#include "app/qt/FormWindow.h"
#include "app/qt/Translations.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtPump.h"
#endif

#ifndef TARVEX_VERSION
#define TARVEX_VERSION "0.15"
#endif

namespace {

const char kUsage[] =
    "usage: tarvex [--headless] [OPTIONS] [MACRO]\n"
    "       tarvex --help | --version\n"
    "Runs the macro file MACRO (a bare file name means the file beside the program)\n"
    "and keeps the settings and the run's result in the settings file beside the\n"
    "program, or in the file named by TARVEX_INI.\n"
    "\n"
    "Options for scripts and debugging (all off by default):\n"
    "  --charset CHARSET  read the macro file and its pickup files as CHARSET:\n"
    "                     cp932 (Shift-JIS, the default) or utf-8; also taken from\n"
    "                     the environment variable TARVEX_CHARSET. A UTF-8 line with\n"
    "                     a character that has no CP932 form stops the run (exit 65).\n"
    "  --timeout SECONDS  give up a host lookup, connect or server reply after\n"
    "                     SECONDS (decimals allowed; 0: wait without limit). Without\n"
    "                     it, [SMTP] TimeOut of the settings file (milliseconds) holds.\n"
    "  -v, --verbose      trace every command sent and every line received on stderr,\n"
    "                     with time stamps; -vv also the connection's status texts.\n"
    "  --dump FILE        each send also writes the bytes that follow DATA (header,\n"
    "                     empty line, dot-stuffed body, without the final \".\") to FILE.\n"
    "  --no-send          with --dump: connect to nothing; \"open\" and \"close\" do\n"
    "                     nothing and \"send\" succeeds once FILE is written. Implies\n"
    "                     --headless.\n"
    "\n"
    "Examples:\n"
    "  tarvex --headless --charset utf-8 -v mail.txt\n"
    "  tarvex --timeout 30 --dump sent.eml mail.txt\n"
    "  tarvex --dump check.eml --no-send mail.txt\n"
    "\n"
    "Exit status: 0 ok, 64 usage, 65 a required field was empty or a macro line does\n"
    "not convert, 66 the macro file cannot be opened, 69 the server refused, 70 other\n"
    "error, 73 the settings or dump file could not be written, 75 temporary failure\n"
    "(connection failed, time-out, 4xx reply).\n"
    "With a display (DISPLAY or WAYLAND_DISPLAY) and without --headless the form\n"
    "opens as a window; it exits 0 when closed, or as a macro ending in \"end\" ended.\n"
    "Debug aid: --screenshot FILE saves a picture of the window once it is shown.\n";

struct Options {
  bool headless = false;
  bool help = false;
  bool version = false;
  std::string badValue;    // the message for an option value that does not parse
  std::string charset;     // as given; checked after parsing
  bool charsetGiven = false;
  std::string timeOut;     // as given
  bool timeOutGiven = false;
  int verbosity = 0;
  std::string dumpPath;    // OS path
  bool dumpGiven = false;
  bool noSend = false;
  std::string screenshot;  // as given (a file-system path)
  std::string usageError;  // the first fault of the command line
  std::vector<std::string> params;  // CP932
};

// "utf-8" -> true, "cp932" -> false (ASCII case ignored, with the usual other
// names of each); false with ok = false for anything else.
bool ParseCharset(const std::string& name, bool& ok) {
  std::string n;
  for (char c : name) n += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  ok = true;
  if (n == "utf-8" || n == "utf8") return true;
  if (n == "cp932" || n == "shift_jis" || n == "shift-jis" || n == "sjis" || n == "windows-31j") return false;
  ok = false;
  return false;
}

// Seconds with up to three decimals ("30", "0.5") as milliseconds; -1 when the
// text is no such number or exceeds the component's 32-bit range.
int32_t ParseSeconds(const std::string& text) {
  int64_t ms = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    ms = ms * 10 + (text[i] - '0');
    if (ms > INT32_MAX / 1000) return -1;
  }
  if (i == 0) return -1;
  ms *= 1000;
  if (i < text.size() && text[i] == '.') {
    int64_t scale = 100;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) ms += (text[i] - '0') * scale;
  }
  if (i != text.size() || ms > INT32_MAX) return -1;
  return static_cast<int32_t>(ms);
}

Options ParseCommandLine(int argc, char** argv) {
  Options o;
  bool optionsEnd = false;
  // The value of an option "--name VALUE" or "--name=VALUE"; false when missing.
  auto value = [&](int& i, const std::string& arg, const std::string& name, std::string& out) {
    if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
      out = arg.substr(name.size() + 1);
      return true;
    }
    if (arg != name) return false;
    if (i + 1 >= argc) {
      if (o.usageError.empty()) o.usageError = arg + " needs a value";
      return true;
    }
    out = argv[++i];
    return true;
  };
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
    } else if (!optionsEnd && (arg == "-v" || arg == "--verbose")) {
      ++o.verbosity;
    } else if (!optionsEnd && arg == "-vv") {
      o.verbosity += 2;
    } else if (!optionsEnd && arg == "--no-send") {
      o.noSend = true;
    } else if (!optionsEnd && value(i, arg, "--charset", o.charset)) {
      o.charsetGiven = true;
    } else if (!optionsEnd && value(i, arg, "--timeout", o.timeOut)) {
      o.timeOutGiven = true;
    } else if (!optionsEnd && value(i, arg, "--dump", o.dumpPath)) {
      o.dumpGiven = true;
    } else if (!optionsEnd && value(i, arg, "--screenshot", o.screenshot)) {
    } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
      if (o.usageError.empty()) o.usageError = "unknown option " + arg;
    } else {
      o.params.push_back(FromOsPath(arg));
    }
  }
  return o;
}

// Checks the option values and fills the run options. Returns false with the
// message in error when a value is unusable.
bool ApplyOptions(const Options& o, TRunOptions& run, std::string& error) {
  std::string charset = o.charset;
  const char* env = std::getenv("TARVEX_CHARSET");
  const bool fromEnv = !o.charsetGiven && env && *env;
  if (fromEnv) charset = env;
  if (o.charsetGiven || fromEnv) {
    bool ok = false;
    run.utf8Macros = ParseCharset(charset, ok);
    if (!ok) {
      error = "unknown charset \"" + charset + "\"" + (fromEnv ? " in TARVEX_CHARSET" : "") +
              " (cp932 or utf-8)";
      return false;
    }
  }
  if (o.timeOutGiven) {
    run.timeOut = ParseSeconds(o.timeOut);
    if (run.timeOut < 0) {
      error = "bad --timeout \"" + o.timeOut + "\" (seconds, e.g. 30 or 2.5)";
      return false;
    }
  }
  run.verbosity = std::min(o.verbosity, 2);
  if (o.dumpGiven) {
    if (o.dumpPath.empty()) {
      error = "--dump needs a file name";
      return false;
    }
    run.dumpPath = FromOsPath(o.dumpPath);
  }
  if (o.noSend && !o.dumpGiven) {
    error = "--no-send needs --dump FILE";
    return false;
  }
  run.noSend = o.noSend;
  return true;
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

// True unless the display named in the environment is a local one whose socket
// does not answer (the toolkit would end the program on it instead of failing).
bool DisplayReachable() {
  auto answers = [](const std::string& path, bool abstract) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) {
      ::close(fd);
      return false;
    }
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
  };
  if (const char* w = std::getenv("WAYLAND_DISPLAY"); w && *w) {
    std::string path = w;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (path[0] != '/' && runtime) path = std::string(runtime) + "/" + path;
    if (answers(path, false)) return true;
  }
  const char* x = std::getenv("DISPLAY");
  if (!x || !*x) return false;
  std::string d = x;
  if (d.rfind("unix:", 0) == 0) d = d.substr(4);
  if (d.empty() || d[0] != ':') return true;  // a remote display: the toolkit decides
  std::string number = d.substr(1, d.find('.') == std::string::npos ? std::string::npos : d.find('.') - 1);
  std::string path = "/tmp/.X11-unix/X" + number;
  return answers(path, false) || answers(path, true);
}

// The headless front end. The form counts as shown and activated once, so the
// start-up macro runs at once; no user can come, so a form that would stay open
// afterwards is closed as its close button would close it.
// The headless dialogs, ending an open progress line before a message.
class TTerminalDialogs : public THeadlessDialogs {
 public:
  void MessageBox(const std::string& text) override {
    ConsoleEndProgress();
    THeadlessDialogs::MessageBox(text);
  }
};

int RunHeadless() {
  TTerminalDialogs dialogs;
  TDialogsGuard guard(&dialogs);
  TForm1 form;
  // A long send shows its progress on a terminal, beside the status bar's text.
  form.LxSMTP1->OnPacketSent = [&form](TComponent*) {
    form.LxSMTP1PacketSent();
    ConsoleProgress(form.LxSMTP1->BytesSent, form.LxSMTP1->BytesTotal);
  };
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
  ConsoleEndProgress();
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
  InstallTranslations();
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
  std::string optionError;
  if (!ApplyOptions(options, RunOptions(), optionError)) {
    PrintError(optionError);
    std::fputs(kUsage, stderr);
    return esUsage;
  }
  // A run that sends nothing is a check for scripts: never a window.
  if (RunOptions().noSend) options.headless = true;
  SetParams(options.params);
  Application().Title = "Tarvex";

  if (!options.headless && DisplayAvailable() && !DisplayReachable()) {
    PrintError("the display cannot be reached; running headless");
    options.headless = true;
  }
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
