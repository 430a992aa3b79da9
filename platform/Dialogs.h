// The standard dialogs as one service: message box, confirmation box, input box,
// file chooser and shell open. The front end installs its implementation: the
// desktop window's dialogs, the headless ones, or a test double.
// All texts are CP932.
#pragma once

#include <string>
#include <vector>

// What a file chooser shows: filter pairs "description|pattern|...", title,
// default extension, the last file name chosen (empty: none) and the folder it
// opens in when no file name is given (empty: the current folder).
struct TFileChooser {
  std::string Filter;
  std::string Title;
  std::string DefaultExt;
  std::string FileName;
  std::string InitialDir;
};

class TDialogs {
 public:
  virtual ~TDialogs() = default;
  // Modal box with one text and an OK button.
  virtual void MessageBox(const std::string& text) = 0;
  // Modal box with OK and Cancel; true for OK.
  virtual bool Confirm(const std::string& text) = 0;
  // Modal text entry; true for OK, with value holding the edited text.
  virtual bool InputBox(const std::string& title, const std::string& prompt, std::string& value) = 0;
  // Modal file chooser; true with the chosen full path in path, false for Cancel.
  virtual bool ChooseFile(const TFileChooser& chooser, std::string& path) = 0;
  // Modal chooser of one or more existing files; true with their full paths, in
  // the order chosen, false for Cancel. Choosers that take one file at a time
  // answer with ChooseFile's one file.
  virtual bool ChooseFiles(const TFileChooser& chooser, std::vector<std::string>& paths);
  // Hands an address ("mailto:..." or a page) to the user's default program.
  virtual void ShellOpen(const std::string& address) = 0;
};

// The dialogs of this process (headless until a front end installs others).
TDialogs& Dialogs();
void SetDialogs(TDialogs* dialogs);

// No user can answer: boxes print "tarvex: TEXT" to stderr (UTF-8, in the user's
// language: UserText) and return; confirmation, input and file choosers answer
// Cancel; shell open prints the address.
class THeadlessDialogs : public TDialogs {
 public:
  void MessageBox(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool InputBox(const std::string& title, const std::string& prompt, std::string& value) override;
  bool ChooseFile(const TFileChooser& chooser, std::string& path) override;
  void ShellOpen(const std::string& address) override;
};

// Installs dialogs for the lifetime of the guard and restores the previous ones.
class TDialogsGuard {
 public:
  explicit TDialogsGuard(TDialogs* dialogs);
  ~TDialogsGuard();

 private:
  TDialogs* previous_;
};
