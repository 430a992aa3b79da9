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
#include "app/qt/DesktopRunner.h"
#endif

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
  return RunFormWindow(argv0, options, screenshot);
}
#else
bool HaveDesktop() { return false; }

int RunDesktop(char*, const TRunOptions&, const std::string&) {
  throw Exception("built without the desktop front end");
}
#endif
