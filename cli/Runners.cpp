#include "cli/Runners.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/ConsoleDialogs.h"
#include "app/ExitStatus.h"
#include "app/Rw_ini.h"
#include "app/Signals.h"
#include "app/Unit1.h"
#include "cli/DesktopModule.h"
#include "cli/Display.h"
#include "platform/DynamicModule.h"
#include "platform/Dialogs.h"
#include "platform/FileUtil.h"
#include "platform/Language.h"
#include "platform/MessagePump.h"
#include "platform/SysUtils.h"


int RunHeadless(const TRunOptions& options) {
  TConsoleDialogs dialogs;
  TDialogsGuard guard(&dialogs);
  TForm1 form;
  form.SetRunOptions(options);
  // A termination signal ends the run as closing the window would.
  TSignalWatch signalWatch([&form](int signal) { form.Interrupt(signal); });
  // A long send shows its progress on a terminal, beside the status bar's text.
  form.Smtp->OnPacketSent = [&form](TComponent*) {
    form.OnSmtpPacketSent();
    ConsoleProgress(form.Smtp->BytesSent, form.Smtp->BytesTotal);
  };
  try {
    form.FormCreate();
    form.FormActivate();
  } catch (const std::exception& e) {
    Application().ShowException(e);
  }
  // A signal that ended a wait outside the pump (a password command, a lock) is
  // taken now, so that the result saved says the run was interrupted.
  TMessagePump::Instance().ProcessMessages();
  // A close that already failed to save the settings is not tried again: the same
  // write would fail the same way and say so twice.
  if (!form.IsClosed()) {
    try {
      // The caller's own result is written all the same.
      if (Application().ExitStatus() == esCantCreate) SaveResult(form);
      else form.Close();
    } catch (const std::exception& e) {
      Application().ShowException(e);
    }
  }
  ConsoleEndProgress();
  int status = ExitStatusOfRun(form);
  // The missing-field path of a macro run shows no box; its text is said here. Other
  // errors of the same status (a macro line that does not convert) said theirs.
  if (status == esMissingField && !form.ErrorMessage.empty()) PrintError(form.ErrorMessage);
  return status;
}

namespace {
TDesktopEntry desktopEntry = nullptr;
TPlatformProbe platformProbe = nullptr;
// Services of the layers below that only the window module calls: naming them here
// links them into the program, which exports them to the module.
[[gnu::used]] void* const kModuleServices[] = {reinterpret_cast<void*>(&UserLanguage)};
}  // namespace

bool LoadDesktop(std::string& error) {
  if (desktopEntry) return true;
  // Beside the program first (a build tree, a copied folder), then where the
  // installation put it, relative to the program's folder (../lib/<multiarch>/tarvex).
  const std::string exeDir = ToOsPath(ExeDir());
  const std::vector<std::string> folders = {exeDir, exeDir + TARVEX_MODULE_DIR "/"};
  void* module = LoadModule(folders, kDesktopModuleName, error);
  if (!module) return false;
  desktopEntry = reinterpret_cast<TDesktopEntry>(ModuleSymbol(module, kDesktopEntryName));
  platformProbe = reinterpret_cast<TPlatformProbe>(ModuleSymbol(module, kPlatformProbeName));
  for (const char* name : {kDesktopEntryName, kPlatformProbeName})
    if (!ModuleSymbol(module, name)) error = std::string(kDesktopModuleName) + " has no entry point " + name;
  if (!error.empty()) desktopEntry = nullptr;
  return desktopEntry != nullptr;
}

std::string DesktopPlatform(std::string& why) {
  std::string error;
  if (!LoadDesktop(error)) throw Exception(error);
  return ChooseWindowPlatform([](const std::string& name) { return platformProbe(name); }, why);
}

int RunDesktop(char* argv0, const TRunOptions& options, const std::string& screenshot, const std::string& platform) {
  std::string error;
  if (!LoadDesktop(error)) throw Exception(error);
  return desktopEntry(argv0, options, screenshot, platform);
}
