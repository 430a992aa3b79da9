#include "app/qt/FormWindow.h"

#include <QEvent>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <algorithm>
#include <iterator>

#include "app/ExitStatus.h"
#include "app/Rw_ini.h"
#include "platform/FileUtil.h"
#include "app/Version.h"

namespace {

// The [Mail] Charset values in the order of the window's charset box.
const TCharsetChoice kCharsetValues[] = {TCharsetChoice::Auto, TCharsetChoice::Iso2022Jp, TCharsetChoice::Utf8};

// The one-line fields: the model's member and the widget that shows it.
struct LineField {
  TFormField field;
  std::string TForm1::*member;
  TCp932LineEdit* (TMainWindow::*widget)() const;
};

// The mechanisms of the Auth choice, in the order it lists them.
const TSmtpAuth kAuthChoices[] = {saNone, saAuto, saPlain, saLogin, saXOAuth2, saOAuthBearer};

const LineField kLineFields[] = {
    {TFormField::eTo, &TForm1::eTo, &TMainWindow::eTo},
    {TFormField::eCC, &TForm1::eCC, &TMainWindow::eCC},
    {TFormField::eBCC, &TForm1::eBCC, &TMainWindow::eBCC},
    {TFormField::eSubject, &TForm1::eSubject, &TMainWindow::eSubject},
    {TFormField::eHomeAddr, &TForm1::eHomeAddr, &TMainWindow::eHomeAddr},
    {TFormField::eSMTPServer, &TForm1::eSMTPServer, &TMainWindow::eSMTPServer},
    {TFormField::Edit2, &TForm1::Edit2, &TMainWindow::Edit2},
    {TFormField::Edit3, &TForm1::Edit3, &TMainWindow::Edit3},
    {TFormField::Edit4, &TForm1::Edit4, &TMainWindow::Edit4},
    {TFormField::Edit5, &TForm1::Edit5, &TMainWindow::Edit5},
    {TFormField::Edit11, &TForm1::Edit11, &TMainWindow::Edit11},
};

// The multi-line fields.
struct TextField {
  TFormField field;
  TStringList TForm1::*member;
  TCp932PlainTextEdit* (TMainWindow::*widget)() const;
};

const TextField kTextFields[] = {
    {TFormField::reMessageText, &TForm1::reMessageText, &TMainWindow::reMessageText},
    {TFormField::Memo2, &TForm1::Memo2, &TMainWindow::Memo2},
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
  window_.SetAboutVersion(QStringLiteral("Version " TARVEX_VERSION));
  window_.SetAboutSettingsFile(QString::fromStdString(ToOsPath(SettingsFileName())));
  BindFields();
  BindCommands();
  window_.installEventFilter(this);
  form_.SetView(this);
  for (TFormField f : {TFormField::eTo, TFormField::eCC, TFormField::eBCC, TFormField::eSubject,
                       TFormField::eHomeAddr, TFormField::ListBox1, TFormField::reMessageText,
                       TFormField::eSMTPServer, TFormField::Edit2, TFormField::Edit3, TFormField::Edit4,
                       TFormField::Edit5, TFormField::Edit11, TFormField::Memo2, TFormField::StatusBar1,
                       TFormField::PageControl1, TFormField::Position, TFormField::Security,
                       TFormField::Charset})
    Changed(f);
}

TFormWindow::~TFormWindow() {
  window_.removeEventFilter(this);
  form_.SetView(nullptr);
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
  connect(window_.Security(), &QComboBox::activated, this, [this](int index) {
    static const TSmtpSecurity values[] = {ssNone, ssStartTls, ssTls};
    if (index >= 0 && index < 3) form_.SmtpSecurity = SecurityChoice(values[index]);
  });
  connect(window_.Charset(), &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < 3) form_.MailCharsetSetting = CharsetChoice(kCharsetValues[index]);
  });
  connect(window_.Auth(), &QComboBox::activated, this, [this](int index) {
    if (index >= 0 && index < static_cast<int>(std::size(kAuthChoices))) form_.SmtpAuth = AuthChoice(kAuthChoices[index]);
  });
  connect(window_.PasswordCommand(), &QLineEdit::textEdited, this,
          [this] { form_.PasswordCommand = window_.PasswordCommand()->Cp932Text(); });
  connect(window_.ListBox1(), &QListWidget::currentRowChanged, this, [this](int row) {
    if (pushing_ == 0) form_.ListBox1ItemIndex = row;
  });
}

void TFormWindow::BindCommands() {
  void (TMainWindow::*const clickSignals[])() = {
      &TMainWindow::button1Clicked, &TMainWindow::button2Clicked, &TMainWindow::button3Clicked,
      &TMainWindow::button4Clicked, &TMainWindow::button5Clicked, &TMainWindow::button6Clicked,
      &TMainWindow::button7Clicked, &TMainWindow::button8Clicked, &TMainWindow::button9Clicked};
  void (TForm1::*const handlers[])() = {&TForm1::Button1Click, &TForm1::Button2Click, &TForm1::Button3Click,
                                        &TForm1::Button4Click, &TForm1::Button5Click, &TForm1::Button6Click,
                                        &TForm1::Button7Click, &TForm1::Button8Click, &TForm1::Button9Click};
  for (size_t i = 0; i < std::size(handlers); ++i) {
    void (TForm1::*handler)() = handlers[i];
    connect(&window_, clickSignals[i], this, [this, handler] { Run([this, handler] { (form_.*handler)(); }); });
  }
  connect(&window_, &TMainWindow::label17Clicked, this, [this] { Run([this] { form_.Label17Click(); }); });
  connect(&window_, &TMainWindow::label18Clicked, this, [this] { Run([this] { form_.Label18Click(); }); });
  connect(&window_, &TMainWindow::closeRequested, this, &TFormWindow::OnCloseRequested);
}

void TFormWindow::Run(const std::function<void()>& handler) {
  // An exception must not cross Qt's event dispatch; it is reported here, as the
  // general error report does for every window handler.
  try {
    handler();
  } catch (const std::exception& e) {
    lastError_ = e.what();
    Application().ShowException(e);
  }
}

void TFormWindow::OnCloseRequested() {
  if (form_.IsClosed()) return;
  Run([this] { form_.Close(); });
  // A failed save leaves the form open; the user may try again.
  closedByUser_ = form_.IsClosed();
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
    case TFormField::ListBox1: {
      window_.SetListBoxItems(form_.ListBox1.Lines());
      const int index = form_.ListBox1ItemIndex;
      window_.ListBox1()->setCurrentRow(index >= 0 && index < form_.ListBox1.Count() ? index : -1);
      break;
    }
    case TFormField::StatusBar1:
      window_.SetStatusText(form_.StatusBar1);
      break;
    case TFormField::PageControl1:
      window_.SetLocked(!form_.PageControl1Enabled);
      break;
    case TFormField::Position:
      window_.move(form_.Left, form_.Top);
      break;
    case TFormField::Security: {
      // A value the settings file names no choice with shows as "none"; the send
      // refuses it by name.
      const TSmtpSecurity s = form_.SmtpSecurity.Value;
      window_.Security()->setCurrentIndex(s == ssStartTls ? 1 : s == ssTls ? 2 : 0);
      const auto* auth = std::find(std::begin(kAuthChoices), std::end(kAuthChoices), form_.SmtpAuth.Value);
      window_.Auth()->setCurrentIndex(auth == std::end(kAuthChoices) ? 0 : static_cast<int>(auth - kAuthChoices));
      window_.PasswordCommand()->SetCp932Text(form_.PasswordCommand);
      break;
    }
    case TFormField::Charset: {
      // A value the send would refuse shows as no choice rather than as another one.
      const TCharsetSetting& c = form_.MailCharsetSetting;
      window_.Charset()->setCurrentIndex(c.Known ? static_cast<int>(c.Value) : -1);
      break;
    }
    default:
      break;
  }
}

void TFormWindow::Closed() { window_.CloseWindow(); }

int TFormWindow::ExitStatus() const { return closedByUser_ ? esOk : ExitStatusOfRun(form_); }

void TFormWindow::QueueActivation() {
  if (activationQueued_) return;
  activationQueued_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        activationQueued_ = false;
        if (!form_.IsClosed()) Run([this] { form_.FormActivate(); });
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
      case QEvent::Show:
      case QEvent::WindowActivate:
        QueueActivation();
        break;
      default:
        break;
    }
  }
  return QObject::eventFilter(watched, event);
}
