#include "support/ScriptedDialogs.h"

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
