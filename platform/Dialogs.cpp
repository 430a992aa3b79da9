#include "platform/Dialogs.h"

#include <cstdio>

#include "platform/SysUtils.h"

namespace {
THeadlessDialogs headless;
TDialogs* current = &headless;

void PrintLine(const std::string& text) {
  std::string line = "tarvex: " + Cp932ToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}
}  // namespace

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

void TScriptedDialogs::MessageBox(const std::string& text) { calls.push_back({"message", text, ""}); }

bool TScriptedDialogs::Confirm(const std::string& text) {
  calls.push_back({"confirm", text, ""});
  if (confirmAnswers.empty()) return false;
  bool ok = confirmAnswers.front();
  confirmAnswers.pop_front();
  return ok;
}

bool TScriptedDialogs::InputBox(const std::string& title, const std::string& prompt, std::string& value) {
  calls.push_back({"input", prompt, title});
  if (inputAnswers.empty()) return false;
  auto [ok, text] = inputAnswers.front();
  inputAnswers.pop_front();
  if (ok) value = text;
  return ok;
}

bool TScriptedDialogs::ChooseFile(const TFileChooser& chooser, std::string& path) {
  calls.push_back({"file", chooser.Title, chooser.Filter});
  if (fileAnswers.empty()) return false;
  auto [ok, text] = fileAnswers.front();
  fileAnswers.pop_front();
  if (ok) path = text;
  return ok;
}

void TScriptedDialogs::ShellOpen(const std::string& address) { calls.push_back({"shell", address, ""}); }

std::vector<std::string> TScriptedDialogs::Messages() const {
  std::vector<std::string> out;
  for (const auto& c : calls)
    if (c.kind == "message") out.push_back(c.text);
  return out;
}

TDialogsGuard::TDialogsGuard(TDialogs* dialogs) : previous_(&Dialogs()) { SetDialogs(dialogs); }
TDialogsGuard::~TDialogsGuard() { SetDialogs(previous_); }
