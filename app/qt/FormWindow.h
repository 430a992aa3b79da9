// The desktop front end's binding of the form model TForm1 to the window
// TMainWindow: the model's changes show in the widgets, the user's edits, clicks and
// close requests reach the model's fields and handlers. While a command talks to the
// server the window shows it (progress, Cancel, busy cursor, Send disabled) and a
// send from the window ends with its result in the status bar. Closing the window
// asks first when a send would be cancelled or a filled form lost (never during a
// macro run). TFormDialogs routes the dialogs to the window while the form is open
// and elsewhere once it has closed.
#pragma once

#include <QObject>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "app/qt/MainWindow.h"

class TFormWindow : public QObject, public TFormView {
  Q_OBJECT
 public:
  // Makes a window for the form, attaches itself as the form's view and shows every
  // field as the form holds it now. The window is not shown yet.
  explicit TFormWindow(TForm1& form);
  // Detaches from the form and gives the SMTP component its own handlers back.
  ~TFormWindow() override;
  TFormWindow(const TFormWindow&) = delete;
  TFormWindow& operator=(const TFormWindow&) = delete;

  TMainWindow& Window() { return window_; }

  // TFormView: shows the field's model value in its widget (the position moves the
  // window, Pages locks or unlocks both pages as PagesEnabled says).
  void Changed(TFormField field) override;
  // The form has closed: the window goes away for good.
  void Closed() override;
  // Shows TSendCheckDialog over the window: true when the user sent.
  bool ConfirmSend(const std::vector<TRecipientGroup>& groups, const std::vector<std::string>& attachments) override;

  // True when the form was closed through the window's close request (the user).
  bool ClosedByUser() const { return closedByUser_; }
  // The exit status of a desktop run that has ended: 0 when the user closed the
  // window, else the status of the run that closed the form (ExitStatusOfRun).
  int ExitStatus() const;
  // The text (CP932) of the last error a handler run by the window reported; empty
  // when there was none.
  const std::string& LastError() const { return lastError_; }

 protected:
  // Watches the window: its moves go into Left/Top; its first showing and every
  // activation run FormActivate (queued, so the start-up macro runs from the event
  // loop and not from inside Qt's show or activation handling).
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Runs a handler of the form; an error it raises goes to the general error report
  // (not when the user cancelled the operation that failed).
  void Run(const std::function<void()>& handler);
  // Runs a handler that may talk to the server: the window turns busy at the
  // component's first step and idle again when the handler returns.
  void RunCommand(const std::function<void()>& handler);
  // The send button (and Ctrl+Enter): the send, then its result in the status bar.
  void RunSend();
  void BindFields();
  void BindCommands();
  void BindComponent();
  void QueueActivation();
  void OnCloseRequested();
  void OnRemoveByKey();
  void OnFilesDropped(const QStringList& paths);
  // True when the mail page holds something that has not been sent (the sender's
  // address, which the settings fill, does not count).
  bool HasUnsentMail() const;
  // Asks the user (CP932 dialog service); true for OK.
  bool Ask(const QString& question);

  TForm1& form_;
  TMainWindow window_;
  int pushing_ = 0;  // > 0 while the model's values are being put into the widgets
  bool activationQueued_ = false;
  bool closedByUser_ = false;
  bool shown_ = false;
  std::string lastError_;
  int failures_ = 0;  // errors Run has caught so far
  // The component's handlers as the form bound them, chained and given back.
  TNotifyEvent ownPacketSent_, ownSuccess_;
  TRecipientNotFound ownRecipientNotFound_;
  TOnTrace ownTrace_;
  // The command running (RunCommand) and what the component reported during it.
  int commands_ = 0;
  bool cancelled_ = false;
  bool succeeded_ = false;
  std::string step_;  // the last SMTP command sent (CP932), empty while connecting
  std::vector<std::string> refused_;
};

// The dialogs of the desktop front end. While the form is open they are the
// window's; once it has closed (a macro run or a send that goes on after the user
// closed the window) no window is left to hold a box, and the other dialogs answer
// (the headless ones: the text on stderr, Cancel).
class TFormDialogs : public TDialogs {
 public:
  TFormDialogs(const TForm1& form, TDialogs& whileOpen, TDialogs& afterClose)
      : form_(form), open_(whileOpen), closed_(afterClose) {}

  // The window shows the model's fixed texts (the file chooser's too) translated and
  // says which required fields are empty; the other dialogs get the texts as they are.
  void MessageBox(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool InputBox(const std::string& title, const std::string& prompt, std::string& value) override;
  bool ChooseFile(const TFileChooser& chooser, std::string& path) override;
  void ShellOpen(const std::string& address) override { Current().ShellOpen(address); }

 private:
  TDialogs& Current() const { return form_.IsClosed() ? closed_ : open_; }
  std::string Shown(const std::string& text) const;
  const TForm1& form_;
  TDialogs& open_;
  TDialogs& closed_;
};
