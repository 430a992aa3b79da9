// The standard dialogs of the desktop window: message and confirmation boxes titled
// like the window they belong to, the input box, the file chooser and the shell open, as Qt dialogs.
// Texts arrive as CP932 and show as UTF-8; answers go back as CP932.
#pragma once

#include <QStringList>
#include <functional>
#include <string>

#include "platform/Dialogs.h"

class QDialog;
class QWidget;

// "description|pattern|description|pattern..." -> Qt name filters
// ("description (patterns)"). "*.*" means every file ("*"); ";" separates patterns.
// A description that already ends in its patterns in parentheses stays as it is.
QStringList QtNameFilters(const std::string& cp932Filter);

class TQtDialogs : public TDialogs {
 public:
  // The narrowest a message or confirmation box gets, so that the window system
  // never cuts its title.
  static constexpr int kMinimumBoxWidth = 260;

  // parent: the window the dialogs belong to (centred over it, its title is the
  // boxes' title); may be null (untitled boxes).
  explicit TQtDialogs(QWidget* parent = nullptr) : parent_(parent) {}

  // Modal box with the text and OK (never narrower than kMinimumBoxWidth).
  void MessageBox(const std::string& text) override;
  // Modal box with the text, OK and Cancel; true for OK.
  bool Confirm(const std::string& text) override;
  // Modal entry titled title with the prompt and value; true for OK with value set
  // to the entered text (CP932; the field refuses characters without a CP932 form).
  bool InputBox(const std::string& title, const std::string& prompt, std::string& value) override;
  // Modal chooser of one existing file; true with its full path (CP932) in path.
  bool ChooseFile(const TFileChooser& chooser, std::string& path) override;
  // Modal chooser of several existing files (Ctrl or Shift to pick more); true
  // with their full paths (CP932).
  bool ChooseFiles(const TFileChooser& chooser, std::vector<std::string>& paths) override;
  // Hands the address to the desktop's default program; failures are not reported.
  void ShellOpen(const std::string& address) override;

  // Called with each dialog once it is shown and before the modal wait begins
  // (tests answer dialogs through it).
  void SetShownHook(std::function<void(QDialog*)> hook) { shownHook_ = std::move(hook); }

 private:
  // Shows the dialog modally and returns its result. With the Qt pump installed the
  // wait runs the process's pump, so socket notices and timers keep being dispatched
  // while the user answers; otherwise QDialog::exec.
  int RunModal(QDialog& dialog);
  // The title of the message and confirmation boxes: the parent window's.
  QString BoxTitle() const;

  QWidget* parent_;
  std::function<void(QDialog*)> shownHook_;
};
