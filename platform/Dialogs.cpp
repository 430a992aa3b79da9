#include "platform/Dialogs.h"

#include <cstdio>

#include "platform/Language.h"
#include "platform/SysUtils.h"

namespace {
THeadlessDialogs headless;
TDialogs* current = &headless;

void PrintLine(const std::string& text) {
  std::string line = "tarvex: " + UserText(Cp932ToUtf8(text)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}
}  // namespace

bool TDialogs::ChooseFiles(const TFileChooser& chooser, std::vector<std::string>& paths) {
  std::string path;
  if (!ChooseFile(chooser, path)) return false;
  paths = {path};
  return true;
}

TDialogs& Dialogs() { return *current; }
void SetDialogs(TDialogs* dialogs) { current = dialogs ? dialogs : &headless; }

void THeadlessDialogs::MessageBox(const std::string& text) { PrintLine(text); }
bool THeadlessDialogs::Confirm(const std::string& text) {
  PrintLine(text);
  return false;
}
bool THeadlessDialogs::InputBox(const std::string&, const std::string&, std::string&) { return false; }
bool THeadlessDialogs::ChooseFile(const TFileChooser&, std::string&) { return false; }
void THeadlessDialogs::ShellOpen(const std::string& address) { PrintLine(address); }

TDialogsGuard::TDialogsGuard(TDialogs* dialogs) : previous_(&Dialogs()) { SetDialogs(dialogs); }
TDialogsGuard::~TDialogsGuard() { SetDialogs(previous_); }
