#include "app/qt/DesktopRunner.h"

#include <QApplication>
#include <QDir>

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/Signals.h"
#include "app/Unit1.h"
#include "app/qt/FormTexts.h"
#include "app/qt/FormWindow.h"
#include "app/qt/Translations.h"
#include "platform/Dialogs.h"
#include "platform/FileUtil.h"
#include "platform/qt/CursorBlink.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtPump.h"

bool HasPlatformPlugin(const std::string& platform) {
  // A platform's plugin is libq<name>.so, or libq<name>-<variant>.so ("wayland":
  // libqwayland-generic.so, libqwayland-egl.so).
  const QString name = QString::fromStdString(platform);
  const QStringList patterns = {QStringLiteral("libq%1.so").arg(name), QStringLiteral("libq%1-*.so").arg(name)};
  for (const QString& folder : QCoreApplication::libraryPaths())
    if (!QDir(folder + QStringLiteral("/platforms")).entryList(patterns, QDir::Files).isEmpty()) return true;
  return false;
}

int RunFormWindow(char* argv0, const TRunOptions& options, const std::string& screenshot,
                  const std::string& platform) {
  // Qt reads none of the user's arguments: they were taken by ParseCommandLine.
  std::string platformArg = platform;
  char platformOption[] = "-platform";
  char* qtArgv[] = {argv0, platformOption, platformArg.data(), nullptr};
  int qtArgc = platform.empty() ? 1 : 3;
  if (platform.empty()) qtArgv[1] = nullptr;
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  // Japanese under a Japanese locale; before any widget is made.
  InstallTranslations();
  // The window closes when the form says so; the loop below ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  TQtPumpGuard pump;
  TCursorBlinkRest cursorRest;
  TForm1 form;
  form.SetRunOptions(options);
  TFormWindow view(form);
  TQtDialogs windowDialogs(&view.Window());
  THeadlessDialogs closedDialogs;
  TFormDialogs dialogs(form, windowDialogs, closedDialogs);
  TDialogsGuard dialogsGuard(&dialogs);
  // A termination signal aborts what runs and closes the window, as its close button
  // would; the run then ends with the interrupted status.
  TSignalWatch signalWatch([&form](int signal) {
    form.Interrupt(signal);
    try {
      form.Close();
    } catch (const std::exception& e) {
      Application().ShowException(e);
    }
  });
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
  // A non-zero exit says why on stderr, in the window's language: the missing-field
  // path shows no box, and other errors were shown in boxes that the caller may not
  // have seen. (The settings file keeps the model's own text.)
  if (status == esMissingField)
    PrintError(FormDisplayTextCp932(form.ErrorMessage));
  else if (status != esOk && !view.LastError().empty())
    PrintError(FormDisplayTextCp932(view.LastError()));
  return status;
}
