#include "app/qt/FormWindow.h"

#include "app/qt/SendCheckDialog.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <QTime>
#include <algorithm>
#include <iterator>

#include "app/ExitStatus.h"
#include "app/Rw_ini.h"
#include "app/Version.h"
#include "app/qt/FormTexts.h"
#include "platform/FileUtil.h"

namespace {

// The one-line fields: the model's member and the widget that shows it.
struct LineField {
  TFormField field;
  std::string TForm1::*member;
  TCp932LineEdit* (TMainWindow::*widget)() const;
};

const LineField kLineFields[] = {
    {TFormField::To, &TForm1::To, &TMainWindow::To},
    {TFormField::Cc, &TForm1::Cc, &TMainWindow::Cc},
    {TFormField::Bcc, &TForm1::Bcc, &TMainWindow::Bcc},
    {TFormField::Subject, &TForm1::Subject, &TMainWindow::Subject},
    {TFormField::SenderAddress, &TForm1::SenderAddress, &TMainWindow::SenderAddress},
    {TFormField::AnswerTo, &TForm1::AnswerTo, &TMainWindow::AnswerTo},
    {TFormField::Server, &TForm1::Server, &TMainWindow::Server},
    {TFormField::Port, &TForm1::Port, &TMainWindow::Port},
    {TFormField::UserName, &TForm1::UserName, &TMainWindow::UserName},
    {TFormField::Password, &TForm1::Password, &TMainWindow::Password},
    {TFormField::DisplayName, &TForm1::DisplayName, &TMainWindow::DisplayName},
    {TFormField::ListToExpand, &TForm1::ListToExpand, &TMainWindow::ListToExpand},
};

// The multi-line fields.
struct TextField {
  TFormField field;
  TStringList TForm1::*member;
  TCp932PlainTextEdit* (TMainWindow::*widget)() const;
};

const TextField kTextFields[] = {
    {TFormField::Body, &TForm1::Body, &TMainWindow::Body},
    {TFormField::ListMembers, &TForm1::ListMembers, &TMainWindow::ListMembers},
};

// A list's lines as the widget shows them: one per line, no line end after the last.
std::string JoinLines(const TStringList& lines) {
  std::string text;
  for (int i = 0; i < lines.Count(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

// Counts nesting, so that a model change made while another is being shown stays
// marked as the model's own.
struct Pushing {
  int& depth;
  explicit Pushing(int& d) : depth(d) { ++depth; }
  ~Pushing() { --depth; }
};

}  // namespace

TFormWindow::TFormWindow(TForm1& form) : form_(form) {
  window_.SetAboutVersion(tr("Version %1").arg(QStringLiteral(TARVEX_VERSION)));
  window_.SetAboutSettingsFile(QString::fromStdString(ToOsPath(SettingsFileName())));
  BindFields();
  BindCommands();
  BindComponent();
  window_.installEventFilter(this);
  form_.SetView(this);
  for (TFormField f : {TFormField::To, TFormField::Cc, TFormField::Bcc, TFormField::Subject,
                       TFormField::SenderAddress, TFormField::Attachments, TFormField::Body,
                       TFormField::Server, TFormField::Port, TFormField::UserName, TFormField::Password,
                       TFormField::DisplayName, TFormField::ListToExpand, TFormField::ListMembers,
                       TFormField::StatusText, TFormField::Pages, TFormField::Position, TFormField::Security,
                       TFormField::Charset, TFormField::AnswerTo, TFormField::ReadReceipt, TFormField::Priority,
                       TFormField::Signature})
    Changed(f);
}

TFormWindow::~TFormWindow() {
  window_.removeEventFilter(this);
  form_.SetView(nullptr);
  TLxSMTP& smtp = *form_.Smtp;
  smtp.OnPacketSent = ownPacketSent_;
  smtp.OnSuccess = ownSuccess_;
  smtp.OnRecipientNotFound = ownRecipientNotFound_;
  smtp.OnTrace = ownTrace_;
}

void TFormWindow::BindFields() {
  // Only the user's edits go into the model (textEdited is not emitted for text
  // set by the program), so model bytes that are no valid CP932 stay untouched
  // until the user changes that field.
  for (const LineField& f : kLineFields) {
    TCp932LineEdit* edit = (window_.*f.widget)();
    std::string TForm1::*member = f.member;
    connect(edit, &QLineEdit::textEdited, this, [this, edit, member] { form_.*member = edit->Cp932Text(); });
  }
  for (const TextField& f : kTextFields) {
    TCp932PlainTextEdit* edit = (window_.*f.widget)();
    TStringList TForm1::*member = f.member;
    connect(edit, &QPlainTextEdit::textChanged, this, [this, edit, member] {
      if (pushing_ == 0) (form_.*member).SetText(edit->Cp932Text());
    });
  }
  // Each choice box lists its values in the order of their enum: the index is the value.
  connect(window_.Security(), &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < window_.Security()->count())
      form_.SmtpSecurity = SecurityChoice(static_cast<TSmtpSecurity>(index));
  });
  connect(window_.Charset(), &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < window_.Charset()->count())
      form_.MailCharsetSetting = CharsetChoice(static_cast<TCharsetChoice>(index));
  });
  connect(window_.Priority(), &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < window_.Priority()->count()) form_.Priority = static_cast<TPriority>(index);
  });
  connect(window_.Receipt(), &QCheckBox::toggled, this, [this](bool on) {
    if (pushing_ == 0) form_.ReadReceipt = on;
  });
  connect(window_.SignatureOn(), &QCheckBox::toggled, this, [this](bool on) {
    if (pushing_ == 0) form_.LeaveOffSignature = !on;
  });
  connect(window_.Auth(), &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < window_.Auth()->count()) form_.SmtpAuth = AuthChoice(static_cast<TSmtpAuth>(index));
  });
  connect(window_.PasswordCommand(), &QLineEdit::textEdited, this,
          [this] { form_.PasswordCommand = window_.PasswordCommand()->Cp932Text(); });
  connect(window_.Attachments(), &QListWidget::currentRowChanged, this, [this](int row) {
    if (pushing_ == 0) form_.SelectedAttachment = row;
  });
}

void TFormWindow::BindCommands() {
  // Commands that may talk to the server (connect, verify, expand, a macro run)
  // show it while they run; the others run as they are.
  const struct {
    void (TMainWindow::*clicked)();
    void (TForm1::*handler)();
  } commands[] = {
      {&TMainWindow::connectClicked, &TForm1::ConnectClick},
      {&TMainWindow::disconnectClicked, &TForm1::DisconnectClick},
      {&TMainWindow::verifyClicked, &TForm1::VerifyClick},
      {&TMainWindow::addAttachmentsClicked, &TForm1::AddAttachmentsClick},
      {&TMainWindow::removeAttachmentClicked, &TForm1::RemoveAttachmentClick},
      {&TMainWindow::expandListClicked, &TForm1::ExpandListClick},
      {&TMainWindow::runMacroClicked, &TForm1::RunMacroClick},
      {&TMainWindow::clearClicked, &TForm1::ClearClick},
  };
  for (const auto& c : commands) {
    void (TForm1::*handler)() = c.handler;
    connect(&window_, c.clicked, this, [this, handler] { RunCommand([this, handler] { (form_.*handler)(); }); });
  }
  connect(&window_, &TMainWindow::sendClicked, this, &TFormWindow::RunSend);
  connect(&window_, &TMainWindow::homePageClicked, this, [this] { Run([this] { form_.HomePageClick(); }); });
  connect(&window_, &TMainWindow::mailLinkClicked, this, [this] { Run([this] { form_.MailLinkClick(); }); });
  connect(&window_, &TMainWindow::closeRequested, this, &TFormWindow::OnCloseRequested);
  connect(&window_, &TMainWindow::cancelClicked, this, [this] {
    cancelled_ = true;
    form_.SmtpAbort();
  });
  connect(&window_, &TMainWindow::removeByKeyRequested, this, &TFormWindow::OnRemoveByKey);
  connect(&window_, &TMainWindow::filesDropped, this, &TFormWindow::OnFilesDropped);
}

void TFormWindow::BindComponent() {
  // The form's own handlers run first; the window only watches.
  TLxSMTP& smtp = *form_.Smtp;
  ownPacketSent_ = smtp.OnPacketSent;
  ownSuccess_ = smtp.OnSuccess;
  ownRecipientNotFound_ = smtp.OnRecipientNotFound;
  ownTrace_ = smtp.OnTrace;
  smtp.OnPacketSent = [this](TComponent* sender) {
    if (ownPacketSent_) ownPacketSent_(sender);
    if (window_.IsBusy()) window_.SetProgress(form_.Smtp->BytesSent, form_.Smtp->BytesTotal);
  };
  smtp.OnSuccess = [this](TComponent* sender) {
    succeeded_ = true;
    if (ownSuccess_) ownSuccess_(sender);
  };
  smtp.OnRecipientNotFound = [this](const std::string& recipient) {
    refused_.push_back(recipient);
    if (ownRecipientNotFound_) ownRecipientNotFound_(recipient);
  };
  smtp.OnTrace = [this](TComponent* sender, TTraceKind kind, int level, const std::string& text) {
    if (ownTrace_) ownTrace_(sender, kind, level, text);
    // The first step the component takes turns the window busy.
    if (commands_ > 0 && !window_.IsBusy()) window_.SetBusy(true);
    if (kind != TTraceKind::Sent) return;
    // The command without its argument: "MAIL FROM", "RCPT TO", "DATA", "EHLO" ...
    std::string step = text.substr(0, text.find_first_of(":\r\n"));
    if (step.size() > 9) step = step.substr(0, step.find(' '));
    if (step != "QUIT") {
      step_ = step;
      return;
    }
    // The goodbye after a cancelled operation: the server that stalled would not
    // answer it either, so its reply is not waited for.
    if (cancelled_ && commands_ > 0) form_.SmtpAbort();
  };
}

void TFormWindow::Run(const std::function<void()>& handler) {
  // An exception must not cross Qt's event dispatch; it is reported here, as the
  // general error report does for every window handler.
  try {
    handler();
  } catch (const std::exception& e) {
    lastError_ = e.what();
    ++failures_;
    // An operation the user cancelled fails as cancelled: nothing to report.
    if (cancelled_ && dynamic_cast<const ESockError*>(&e)) return;
    Application().ShowException(e);
  }
}

void TFormWindow::RunCommand(const std::function<void()>& handler) {
  if (commands_ == 0) cancelled_ = false;
  ++commands_;
  Run(handler);
  if (--commands_ > 0) return;
  window_.SetBusy(false);
}

void TFormWindow::RunSend() {
  if (window_.IsBusy() || commands_ > 0) return;
  const QString subject = Cp932ToQt(form_.Subject);
  succeeded_ = false;
  refused_.clear();
  step_.clear();
  const int failuresBefore = failures_;
  RunCommand([this] { form_.SendClick(); });
  // A send that did not reach the component (a required field empty) leaves the
  // status bar alone.
  if (!succeeded_ && failures_ == failuresBefore) return;
  QString result;
  if (succeeded_) {
    result = tr("Sent: %1, %2").arg(subject, QTime::currentTime().toString(QStringLiteral("HH:mm")));
    if (!refused_.empty()) {
      QStringList names;
      for (const std::string& r : refused_) names << Cp932ToQt(r).trimmed();
      result += tr(" (refused: %1)").arg(names.join(QStringLiteral(", ")));
    }
  } else if (cancelled_) {
    result = tr("The send was cancelled");
  } else {
    const QString step = step_.empty() ? tr("connecting") : Cp932ToQt(step_);
    result = tr("Not sent (%1): %2").arg(step, FormDisplayText(lastError_));
  }
  window_.SetStatusDisplayText(result);
}

bool TFormWindow::Ask(const QString& question) {
  std::string text;
  QtToCp932(question, text);
  return Dialogs().Confirm(text);
}

bool TFormWindow::HasUnsentMail() const {
  if (!form_.To.empty() || !form_.Cc.empty() || !form_.Bcc.empty() || !form_.Subject.empty() ||
      !form_.Attachments.Empty())
    return true;
  const auto& lines = form_.Body.Lines();
  return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
}

void TFormWindow::OnCloseRequested() {
  if (form_.IsClosed()) return;
  // A macro run closes as it always did; the user's own work is asked about.
  if (form_.PagesEnabled) {
    if (window_.IsBusy()) {
      if (!Ask(tr("A send is in progress. Cancel it and close the window?"))) return;
      cancelled_ = true;
    } else if (HasUnsentMail() && !Ask(tr("This mail has not been sent. Discard it and close the window?"))) {
      return;
    }
  }
  Run([this] { form_.Close(); });
  // A failed save leaves the form open; the user may try again.
  closedByUser_ = form_.IsClosed();
}

void TFormWindow::OnRemoveByKey() {
  const int index = form_.SelectedAttachment;
  if (index < 0 || index >= form_.Attachments.Count()) return;
  const QString name = Cp932ToQt(ExtractFileName(form_.Attachments[index]));
  if (!Ask(tr("Remove %1 from the attachments?").arg(name))) return;
  Run([this] { form_.RemoveAttachmentClick(); });
}

void TFormWindow::OnFilesDropped(const QStringList& paths) {
  if (!form_.PagesEnabled) return;
  for (const QString& path : paths) form_.Attachments.Add(FromOsPath(QFile::encodeName(path).toStdString()));
  form_.Notify(TFormField::Attachments);
}

void TFormWindow::Changed(TFormField field) {
  Pushing pushing(pushing_);
  for (const LineField& f : kLineFields) {
    if (f.field != field) continue;
    TCp932LineEdit* edit = (window_.*f.widget)();
    const std::string& value = form_.*f.member;
    // Setting the same text again would move the cursor of a field being typed in.
    if (edit->Cp932Text() != value) edit->SetCp932Text(value);
    return;
  }
  for (const TextField& f : kTextFields) {
    if (f.field != field) continue;
    TCp932PlainTextEdit* edit = (window_.*f.widget)();
    std::string text = JoinLines(form_.*f.member);
    if (edit->Cp932Text() != text) edit->SetCp932Text(text);
    return;
  }
  switch (field) {
    case TFormField::Attachments: {
      window_.SetListBoxItems(form_.Attachments.Lines());
      const int index = form_.SelectedAttachment;
      window_.Attachments()->setCurrentRow(index >= 0 && index < form_.Attachments.Count() ? index : -1);
      break;
    }
    case TFormField::StatusText:
      window_.SetStatusDisplayText(FormDisplayText(form_.StatusText));
      break;
    case TFormField::Pages:
      window_.SetLocked(!form_.PagesEnabled);
      // Locking took the focus away; typing goes on where it starts.
      if (form_.PagesEnabled && shown_ && !window_.isAncestorOf(QApplication::focusWidget()))
        window_.FocusFirstField();
      break;
    case TFormField::Position:
      if (form_.Width > 0 && form_.Height > 0) window_.resize(form_.Width, form_.Height);
      // A position saved on another screen layout or scale is brought back on screen.
      window_.MoveOnScreen(QPoint(form_.Left, form_.Top));
      break;
    case TFormField::Security: {
      // A value the settings file names no choice with shows as "none"; the send
      // refuses it by name.
      window_.Security()->setCurrentIndex(static_cast<int>(form_.SmtpSecurity.Value));
      window_.Auth()->setCurrentIndex(static_cast<int>(form_.SmtpAuth.Value));
      window_.PasswordCommand()->SetCp932Text(form_.PasswordCommand);
      break;
    }
    case TFormField::Charset: {
      // A value the send would refuse shows as no choice rather than as another one.
      const TCharsetSetting& c = form_.MailCharsetSetting;
      window_.Charset()->setCurrentIndex(c.Known ? static_cast<int>(c.Value) : -1);
      break;
    }
    case TFormField::ReadReceipt:
      window_.Receipt()->setChecked(form_.ReadReceipt);
      break;
    case TFormField::Priority:
      window_.Priority()->setCurrentIndex(static_cast<int>(form_.Priority));
      break;
    case TFormField::Signature: {
      // A file that cannot be read shows why; the send stops on it.
      QString text;
      try {
        text = FormDisplayText(JoinLines(form_.SignatureLines()));
      } catch (const Exception& e) {
        text = FormDisplayText(e.Message());
      }
      window_.SetSignature(text, !form_.SignatureFile.empty());
      window_.SignatureOn()->setChecked(!form_.LeaveOffSignature);
      break;
    }
    default:
      break;
  }
}

void TFormWindow::Closed() { window_.CloseWindow(); }

bool TFormWindow::ConfirmSend(const std::vector<TRecipientGroup>& groups, const std::vector<std::string>& attachments) {
  TSendCheckDialog dialog(groups, attachments, &window_);
  return dialog.exec() == QDialog::Accepted;
}

int TFormWindow::ExitStatus() const { return closedByUser_ ? esOk : ExitStatusOfRun(form_); }

void TFormWindow::QueueActivation() {
  if (activationQueued_) return;
  activationQueued_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        activationQueued_ = false;
        if (!form_.IsClosed()) RunCommand([this] { form_.FormActivate(); });
      },
      Qt::QueuedConnection);
}

bool TFormWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &window_) {
    switch (event->type()) {
      case QEvent::Move:
        form_.Left = window_.x();
        form_.Top = window_.y();
        break;
      case QEvent::Resize:
        form_.Width = window_.width();
        form_.Height = window_.height();
        break;
      case QEvent::Show:
        if (!shown_) {
          window_.FocusFirstField();
          // With its real frame known, the window is checked against the screens again.
          QMetaObject::invokeMethod(this, [this] { window_.MoveOnScreen(window_.pos()); }, Qt::QueuedConnection);
        }
        shown_ = true;
        QueueActivation();
        break;
      case QEvent::WindowActivate:
        QueueActivation();
        break;
      default:
        break;
    }
  }
  return QObject::eventFilter(watched, event);
}

// ---- TFormDialogs ----

std::string TFormDialogs::Shown(const std::string& text) const {
  if (text != TForm1::MissingFieldText()) return FormDisplayTextCp932(text);
  // The window's message names the fields that are empty.
  const struct {
    const std::string& value;
    const char* name;
  } required[] = {{form_.To, QT_TRANSLATE_NOOP("TFormWindow", "To")},
                  {form_.Subject, QT_TRANSLATE_NOOP("TFormWindow", "Subject")},
                  {form_.SenderAddress, QT_TRANSLATE_NOOP("TFormWindow", "Reply-To")}};
  QStringList names;
  for (const auto& r : required)
    if (r.value.empty()) names << QCoreApplication::translate("TFormWindow", r.name);
  QString shown = FormDisplayText(text);
  if (!names.isEmpty())
    shown = QCoreApplication::translate("TFormWindow", "%1 (%2)")
                .arg(shown, names.join(QCoreApplication::translate("TFormWindow", ", ")));
  std::string out;
  return QtToCp932(shown, out) ? out : text;
}

bool TFormDialogs::ChooseFile(const TFileChooser& chooser, std::string& path) {
  // The chooser's title and the names of its filters ("name|pattern|...") in the
  // window's language.
  TFileChooser shown = chooser;
  shown.Title = FormDisplayTextCp932(chooser.Title);
  QStringList parts = Cp932ToQt(chooser.Filter).split(QLatin1Char('|'));
  for (qsizetype i = 0; i < parts.size(); i += 2) parts[i] = FormDisplayText(Utf8ToCp932(parts[i].toStdString()));
  if (!QtToCp932(parts.join(QLatin1Char('|')), shown.Filter)) shown.Filter = chooser.Filter;
  return Current().ChooseFile(shown, path);
}

void TFormDialogs::MessageBox(const std::string& text) {
  if (form_.IsClosed()) return closed_.MessageBox(text);
  open_.MessageBox(Shown(text));
}

bool TFormDialogs::Confirm(const std::string& text) {
  if (form_.IsClosed()) return closed_.Confirm(text);
  return open_.Confirm(Shown(text));
}

bool TFormDialogs::InputBox(const std::string& title, const std::string& prompt, std::string& value) {
  if (form_.IsClosed()) return closed_.InputBox(title, prompt, value);
  return open_.InputBox(Shown(title), Shown(prompt), value);
}
