// The desktop window "Tarvex": the mail page and the connection page with every
// field, label, hint and button of the form, the about dialog and the status bar
// (status text, progress bar and Cancel while busy), laid out so that the window
// resizes and the body grows with it. It holds no state of its own beyond what the
// widgets show. Texts of its own that are English in the source are translated
// (tr) under a Japanese locale.
//
// How the form model binds to it. The window is a view of the form model TForm1:
//  - The model keeps every text as CP932; the widgets show UTF-8. Model -> view goes
//    through the Set*/SetCp932Text calls (Cp932ToQt, invalid bytes shown as U+FFFD);
//    view -> model through Cp932Text() of the field. The fields refuse any edit that
//    would add a character without a CP932 form (fieldRefused is emitted and a hint
//    shown), so what the user sees converts back without loss.
//  - The binder copies a field into the model when the widget reports an edit
//    (QLineEdit::textEdited, QPlainTextEdit::textChanged, list changes) and pushes a
//    model field into its widget after every model change (a macro section, ClearForm,
//    the expand-list answer, the status text). A field the user did not edit is never
//    written back, so model bytes that are not valid CP932 survive a round trip.
//  - Button and link signals call the model's handlers (ConnectClick .. ClearClick,
//    HomePageClick, MailLinkClick) as given, one to one. closeRequested runs the
//    model's close query and FormClose; when they let the window go the binder calls
//    CloseWindow(); when saving fails the window stays.
//  - The model's PagesEnabled maps to SetLocked(!PagesEnabled).
//  - Handlers run inside the pump (TQtPump), so a long send that pumps messages also
//    repaints the status text it changes.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QList>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QShortcut>
#include <QStatusBar>
#include <QStringList>
#include <QTabWidget>
#include <QWidget>
#include <string>
#include <vector>

#include "platform/qt/Cp932Fields.h"
#include "platform/qt/LinkLabel.h"

// The window's command buttons, named by what they do (in no order of the layout).
enum class TFormButton {
  Connect, Disconnect, Verify, AddAttachments, RemoveAttachment, Send, ExpandList, RunMacro, Clear
};
constexpr int kFormButtonCount = static_cast<int>(TFormButton::Clear) + 1;

class TMainWindow : public QWidget {
  Q_OBJECT
 public:
  // The addresses behind the two link labels of the about dialog.
  static constexpr const char* kHomePageAddress = "https://tarvex.example/";
  static constexpr const char* kMailAddress = "tarvex@tarvex.example";
  // The client area's size when the settings give none; the window resizes, and
  // its layouts keep the body growing with it.
  static constexpr int kClientWidth = 442;
  static constexpr int kClientHeight = 460;

  explicit TMainWindow(QWidget* parent = nullptr);

  // Fields (a text field's object name is its model field's name).
  TCp932LineEdit* To() const { return to_; }
  TCp932LineEdit* Cc() const { return cc_; }
  TCp932LineEdit* Bcc() const { return bcc_; }
  TCp932LineEdit* Subject() const { return subject_; }
  TCp932LineEdit* SenderAddress() const { return senderAddress_; }
  // Where answers go (the Reply-To header), the read receipt and the priority
  // ("normal", "high", "low", in the order of TPriority).
  TCp932LineEdit* AnswerTo() const { return answerTo_; }
  QCheckBox* Receipt() const { return receipt_; }
  QComboBox* Priority() const { return priority_; }
  // The signature under the body (read only) and the box that adds it to this mail;
  // both hidden unless shown.
  QPlainTextEdit* Signature() const { return signature_; }
  QCheckBox* SignatureOn() const { return signatureOn_; }
  void SetSignature(const QString& text, bool shown);
  QListWidget* Attachments() const { return attachments_; }
  TCp932PlainTextEdit* Body() const { return body_; }
  TCp932LineEdit* Server() const { return server_; }
  TCp932LineEdit* Port() const { return port_; }
  TCp932LineEdit* UserName() const { return userName_; }
  TCp932LineEdit* Password() const { return password_; }
  TCp932LineEdit* DisplayName() const { return displayName_; }
  TCp932LineEdit* ListToExpand() const { return listToExpand_; }
  TCp932PlainTextEdit* ListMembers() const { return listMembers_; }
  // The connection's security: "none", "STARTTLS" or "TLS", in that order.
  QComboBox* Security() const { return security_; }
  // How to log in (inside TLS only): "none", "auto", "PLAIN", "LOGIN", "XOAUTH2",
  // "OAUTHBEARER", in that order.
  QComboBox* Auth() const { return auth_; }
  // The command that prints the password or token (empty: the password field holds it).
  TCp932LineEdit* PasswordCommand() const { return passwordCommand_; }
  // The mail's charset: "auto", "ISO-2022-JP" or "UTF-8", in that order.
  QComboBox* Charset() const { return charset_; }
  QPushButton* Button(TFormButton which) const;
  TLinkLabel* HomePageLink() const { return homePageLink_; }
  TLinkLabel* MailLink() const { return mailLink_; }
  QTabWidget* Pages() const { return pages_; }
  QStatusBar* StatusBar() const { return statusBar_; }
  // The small dialog with the program's name, version and the two links; the
  // connection page's about button shows it.
  QDialog* AboutDialog() const { return aboutDialog_; }
  QPushButton* AboutButton() const { return aboutButton_; }
  void ShowAbout();

  // The list box's items as CP932 paths, and the reverse. The list shows each
  // file's name; the full path is the item's tool tip.
  std::vector<std::string> ListBoxItems() const;
  void SetListBoxItems(const std::vector<std::string>& cp932Items);

  // The status bar's progress bar and its Cancel button (hidden while idle).
  QProgressBar* Progress() const { return progress_; }
  QPushButton* CancelButton() const { return cancel_; }
  // Busy: progress bar (no figure yet) and Cancel shown, Send disabled, busy cursor
  // over the pages. Idle: all of it undone.
  void SetBusy(bool busy);
  bool IsBusy() const { return busy_; }
  // The progress bar shows done of total bytes (total 0: no figure, a moving bar).
  void SetProgress(int64_t done, int64_t total);
  // Shows a text of the window's own in the status bar (UTF-8, not from the model).
  // An empty text shows "Ready" (translated), as at the start.
  void SetStatusDisplayText(const QString& text);

  // Moves the window to pos (its top left) and keeps it on the screens: a window
  // that would lie (partly) off every screen goes onto the screen it overlaps most
  // (the primary when none), shrunk to it when larger.
  void MoveOnScreen(QPoint pos);
  // Where a window of size wants to go (wanted's top left) so that it lies inside
  // one of the screens' available areas, and the size it may keep there.
  static QRect PlaceOnScreens(const QRect& wanted, const QList<QRect>& screens);
  // The program's icon: the icon theme's "tarvex", else the sizes built into the
  // module. The window and its dialogs show it.
  static QIcon ProgramIcon();

  // Puts the keyboard focus where typing starts: To, or the body when To is filled.
  void FocusFirstField();

  // The status bar's one text (CP932 in, CP932 out; empty shows "Ready").
  void SetStatusText(const std::string& cp932);
  std::string StatusText() const;
  QString StatusDisplayText() const;

  // Locks (true) or unlocks every field and button of both pages; the status bar and
  // the window's close keep working.
  void SetLocked(bool locked);
  bool IsLocked() const;

  // The version line of the about dialog (empty until the application sets it).
  void SetAboutVersion(const QString& text);
  // The settings file line of the about dialog.
  void SetAboutSettingsFile(const QString& text);

  // Closes the window for good (after the owner has accepted a close request).
  void CloseWindow();

  // Grabs the window's client area into an image file (format from the name).
  // Returns false when the file cannot be written.
  bool SaveScreenshot(const QString& file);
  // Saves a screenshot to file once the window has been shown and painted
  // (delayMs after the next pass of the event loop); for the --screenshot hook.
  void ScreenshotWhenShown(const QString& file, int delayMs = 200);

 signals:
  void connectClicked();
  void disconnectClicked();
  void verifyClicked();
  void addAttachmentsClicked();
  void removeAttachmentClicked();
  void sendClicked();
  void expandListClicked();
  void runMacroClicked();
  void clearClicked();
  void homePageClicked();
  void mailLinkClicked();
  // The user (or the window system) asked to close the window; nothing is closed.
  void closeRequested();
  // Cancel in the status bar was pressed.
  void cancelClicked();
  // The remove button was pressed from the keyboard, or Delete in the attachment
  // list: the owner asks before it removes (a mouse click emits removeAttachmentClicked).
  void removeByKeyRequested();
  // Local files were dropped on the window (OS paths).
  void filesDropped(const QStringList& paths);
  // A field refused a typed character; the field kept its text and a hint is shown.
  void fieldRefused(const QString& fieldName, const QString& character);
  // A screenshot of ScreenshotWhenShown was written (ok) or failed.
  void screenshotSaved(const QString& file, bool ok);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  // Keys and mnemonics on the remove button and Delete in the list become
  // removeByKeyRequested.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMailPage(QWidget* page);
  void BuildConnectionPage(QWidget* page);
  void BuildAboutDialog();
  void BuildStatusBar();
  void SetTabOrder();
  TCp932LineEdit* AddLineEdit(QWidget* page, const char* name, const QString& hint);
  QLabel* AddLabel(QWidget* page, const QString& text, QWidget* buddy);
  QPushButton* AddButton(QWidget* page, TFormButton which, const QString& caption, const QString& hint);
  void GuardField(QWidget* field);
  void ShowStatusText();

  TCp932LineEdit *to_, *cc_, *bcc_, *subject_, *senderAddress_, *answerTo_;
  QCheckBox* receipt_;
  QPlainTextEdit* signature_;
  QCheckBox* signatureOn_;
  QComboBox* priority_;
  QListWidget* attachments_;
  TCp932PlainTextEdit* body_;
  TCp932LineEdit *server_, *port_, *userName_, *password_, *displayName_, *listToExpand_;
  TCp932PlainTextEdit* listMembers_;
  QShortcut* escape_;
  QComboBox* security_;
  QComboBox* auth_;
  TCp932LineEdit* passwordCommand_;
  QLabel* settingsFileLabel_;
  QComboBox* charset_;
  QPushButton* buttons_[kFormButtonCount] = {};
  TLinkLabel *homePageLink_, *mailLink_;
  QLabel* versionLabel_;
  QTabWidget* pages_;
  QStatusBar* statusBar_;
  QLabel* statusText_ = nullptr;
  QString statusFull_;  // the status text whole; the label may show it shortened
  QProgressBar* progress_;
  QPushButton* cancel_;
  QDialog* aboutDialog_;
  QPushButton* aboutButton_;
  QString shownHint_;  // the refusal hint last shown in a tool tip
  bool closing_ = false;
  bool busy_ = false;
};
