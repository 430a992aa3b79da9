#include "cli/Runners.h"

#include <cstdio>

#include "app/Console.h"
#include "app/ConsoleDialogs.h"
#include "app/ExitStatus.h"
#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "platform/FileUtil.h"
#include "platform/SysUtils.h"

#ifdef TARVEX_HAVE_QT
#include <QApplication>

#include "app/qt/FormWindow.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtPump.h"
#endif

void PrintError(const std::string& text) {
  std::string line = "tarvex: " + Cp932ToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

int RunHeadless(const TRunOptions& options) {
  TConsoleDialogs dialogs;
  TDialogsGuard guard(&dialogs);
  TForm1 form;
  form.SetRunOptions(options);
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
bool HaveDesktop() { return true; }

int RunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot) {
  // Qt reads none of the user's arguments: they were taken by ParseCommandLine.
  int qtArgc = 1;
  char* qtArgv[] = {argv0, nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  // The window closes when the form says so; the loop below ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  TQtPumpGuard pump;
  TForm1 form;
  form.SetRunOptions(options);
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
#else
bool HaveDesktop() { return false; }

int RunDesktop(char*, const TRunOptions&, const std::string&) {
  throw Exception("built without the desktop front end");
}
#endif
