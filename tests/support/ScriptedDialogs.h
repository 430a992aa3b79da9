// A dialogs double for tests: scripted answers, every call recorded.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/Dialogs.h"

// Answers from a script and records every call, for tests.
class TScriptedDialogs : public TDialogs {
 public:
  struct Call {
    std::string kind;  // "message", "confirm", "input", "file", "shell"
    std::string text;  // the text, prompt, title or address
    std::string extra; // input: the title; file: the filter
  };
  // Queued answers; when a queue is empty the dialog answers Cancel.
  std::deque<bool> confirmAnswers;
  std::deque<std::pair<bool, std::string>> inputAnswers;
  std::deque<std::pair<bool, std::string>> fileAnswers;
  std::vector<Call> calls;

  void MessageBox(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool InputBox(const std::string& title, const std::string& prompt, std::string& value) override;
  bool ChooseFile(const TFileChooser& chooser, std::string& path) override;
  void ShellOpen(const std::string& address) override;
  // The texts of the message boxes shown so far.
  std::vector<std::string> Messages() const;
};
