#include "app/qt/DesktopRunner.h"

#include <QApplication>

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/Signals.h"
#include "app/Unit1.h"
#include "app/qt/FormWindow.h"
#include "app/qt/Translations.h"
#include "platform/Dialogs.h"
#include "platform/FileUtil.h"
#include "platform/qt/CursorBlink.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtPump.h"

int RunFormWindow(char* argv0, const TRunOptions& options, const std::string& screenshot) {
  // Qt reads none of the user's arguments: they were taken by ParseCommandLine.
  int qtArgc = 1;
  char* qtArgv[] = {argv0, nullptr};
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
  // A non-zero exit says why on stderr: the missing-field path shows no box, and
  // other errors were shown in boxes that the caller may not have seen.
  if (status == esMissingField)
    PrintError(form.ErrorMessage);
  else if (status != esOk && !view.LastError().empty())
    PrintError(view.LastError());
  return status;
}
