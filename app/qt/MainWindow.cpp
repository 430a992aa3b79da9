#include "app/qt/MainWindow.h"

#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QPixmap>
#include <QTimer>

#include "platform/SysUtils.h"

namespace {
QLabel* AddLabel(QWidget* page, const QString& text, QRect rect) {
  auto* label = new QLabel(text, page);
  label->setTextFormat(Qt::PlainText);
  label->setGeometry(rect);
  return label;
}
}  // namespace

TMainWindow::TMainWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tarvex"));
  // Fixed size, system menu and minimise only: no maximise box, no resizing.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);

  pageControl1_ = new QTabWidget(this);
  pageControl1_->setObjectName(QStringLiteral("PageControl1"));
  pageControl1_->setGeometry(0, 0, kClientWidth, kClientHeight - kStatusHeight);
  auto* mailPage = new QWidget;
  mailPage->setObjectName(QStringLiteral("TabSheet2"));
  auto* connectionPage = new QWidget;
  connectionPage->setObjectName(QStringLiteral("TabSheet1"));
  pageControl1_->addTab(mailPage, QStringLiteral("メール"));
  pageControl1_->addTab(connectionPage, QStringLiteral("接続"));
  pageControl1_->setCurrentWidget(mailPage);
  BuildMailPage(mailPage);
  BuildConnectionPage(connectionPage);
  BuildAboutPanel(connectionPage);
  void (TMainWindow::*const clickSignals[])() = {
      nullptr, &TMainWindow::button1Clicked, &TMainWindow::button2Clicked, &TMainWindow::button3Clicked,
      &TMainWindow::button4Clicked, &TMainWindow::button5Clicked, &TMainWindow::button6Clicked,
      &TMainWindow::button7Clicked, &TMainWindow::button8Clicked, &TMainWindow::button9Clicked};
  for (int i = 1; i <= 9; ++i) connect(buttons_[i], &QPushButton::clicked, this, clickSignals[i]);

  statusBar1_ = new QStatusBar(this);
  statusBar1_->setObjectName(QStringLiteral("StatusBar1"));
  statusBar1_->setSizeGripEnabled(false);
  statusBar1_->setGeometry(0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight);
  statusText_ = new QLabel(statusBar1_);
  statusText_->setObjectName(QStringLiteral("StatusText"));
  statusText_->setTextFormat(Qt::PlainText);
  statusBar1_->addWidget(statusText_, 1);
}

TCp932LineEdit* TMainWindow::AddLineEdit(QWidget* page, const char* name, const QString& label, const QString& hint,
                                         QRect labelRect, QRect rect) {
  auto* edit = new TCp932LineEdit(page);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(rect);
  if (!hint.isEmpty()) edit->setToolTip(hint);
  if (!label.isEmpty()) AddLabel(page, label, labelRect)->setBuddy(edit);
  GuardField(edit);
  return edit;
}

QPushButton* TMainWindow::AddButton(QWidget* page, int number, const QString& caption, const QString& hint,
                                    QRect rect) {
  auto* button = new QPushButton(caption, page);
  button->setObjectName(QStringLiteral("Button%1").arg(number));
  button->setGeometry(rect);
  if (!hint.isEmpty()) button->setToolTip(hint);
  buttons_[number] = button;
  return button;
}

void TMainWindow::GuardField(QWidget* field) {
  auto report = [this, field](const QString& ch) {
    ShowRefusedHint(field, ch);
    // The model's status text stays underneath and returns when the hint expires.
    statusBar1_->showMessage(RefusedHintText(ch), 5000);
    emit fieldRefused(field->objectName(), ch);
  };
  if (auto* line = qobject_cast<TCp932LineEdit*>(field))
    connect(line, &TCp932LineEdit::refused, this, report);
  else if (auto* text = qobject_cast<TCp932PlainTextEdit*>(field))
    connect(text, &TCp932PlainTextEdit::refused, this, report);
}

void TMainWindow::BuildMailPage(QWidget* page) {
  const int lx = 8, lw = 54, fx = 64, fw = 364, h = 21;
  eTo_ = AddLineEdit(page, "eTo", QStringLiteral("To:"), QStringLiteral("宛名（必須）"), {lx, 10, lw, 17}, {fx, 8, fw, h});
  eCC_ = AddLineEdit(page, "eCC", QStringLiteral("CC: "), QStringLiteral("写し"), {lx, 36, lw, 17}, {fx, 34, fw, h});
  eBCC_ = AddLineEdit(page, "eBCC", QStringLiteral("BCC: "), QStringLiteral("写し"), {lx, 62, lw, 17}, {fx, 60, fw, h});
  eSubject_ = AddLineEdit(page, "eSubject", QStringLiteral("題名:"), QStringLiteral("題名（必須）"), {lx, 88, lw, 17},
                          {fx, 86, fw, h});
  eHomeAddr_ = AddLineEdit(page, "eHomeAddr", QStringLiteral("返信先:"), QStringLiteral("返信（必須）"),
                           {lx, 114, lw, 17}, {fx, 112, fw, h});

  listBox1_ = new QListWidget(page);
  listBox1_->setObjectName(QStringLiteral("ListBox1"));
  listBox1_->setGeometry(fx, 138, 284, 52);
  listBox1_->setToolTip(QStringLiteral("添付ファイルリスト"));
  AddLabel(page, QStringLiteral("添付:"), {lx, 140, lw, 17})->setBuddy(listBox1_);
  AddButton(page, 4, QStringLiteral("参照追加"), QStringLiteral("添付ファイルの追加です"), {354, 138, 74, 24});
  AddButton(page, 5, QStringLiteral("削除"), QStringLiteral("添付ファイルを削除します"), {354, 166, 74, 24});

  reMessageText_ = new TCp932PlainTextEdit(page);
  reMessageText_->setObjectName(QStringLiteral("reMessageText"));
  reMessageText_->setGeometry(lx, 196, 420, 112);
  reMessageText_->setToolTip(QStringLiteral("本文"));
  reMessageText_->setLineWrapMode(QPlainTextEdit::NoWrap);
  reMessageText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reMessageText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  GuardField(reMessageText_);

  auto* title = AddLabel(page, QStringLiteral("Tarvex"), {lx, 314, 150, 26});
  title->setObjectName(QStringLiteral("TitleLabel"));
  QFont f = title->font();
  f.setBold(true);
  f.setPointSize(f.pointSize() + 4);
  title->setFont(f);
  AddButton(page, 8, QStringLiteral("マクロ読込"), QStringLiteral("マクロを読み込みます"), {196, 314, 84, 26});
  AddButton(page, 6, QStringLiteral("送信"), QStringLiteral("送信します"), {286, 314, 68, 26});
  AddButton(page, 9, QStringLiteral("クリア"), QStringLiteral("全部をクリアします"), {360, 314, 68, 26});
}

void TMainWindow::BuildConnectionPage(QWidget* page) {
  const int lx = 8, lw = 76, fx = 84, h = 21;
  eSMTPServer_ = AddLineEdit(page, "eSMTPServer", QStringLiteral("Host: "), QStringLiteral("接続先（必須）"),
                             {lx, 10, lw, 17}, {fx, 8, 240, h});
  edit2_ = AddLineEdit(page, "Edit2", QStringLiteral("Port: "), QStringLiteral("ポート番号（必須）"), {lx, 36, lw, 17},
                       {fx, 34, 60, h});
  edit2_->SetCp932Text("25");
  // Beside the port: how the connection is secured and whether to log in.
  security_ = new QComboBox(page);
  security_->setObjectName(QStringLiteral("cbSecurity"));
  security_->addItems({QStringLiteral("none"), QStringLiteral("STARTTLS"), QStringLiteral("TLS")});
  security_->setToolTip(QStringLiteral("暗号化（STARTTLS: 587番, TLS: 465番）"));
  security_->setGeometry(150, 34, 96, h);
  auth_ = new QComboBox(page);
  auth_->setObjectName(QStringLiteral("cbAuth"));
  auth_->addItems({QStringLiteral("none"), QStringLiteral("auto"), QStringLiteral("PLAIN"), QStringLiteral("LOGIN"),
                   QStringLiteral("XOAUTH2"), QStringLiteral("OAUTHBEARER")});
  auth_->setToolTip(QStringLiteral("認証方式（TLS の中だけ）。XOAUTH2 と OAUTHBEARER ではパスワードがアクセストークンです"));
  auth_->setGeometry(250, 34, 84, h);
  // Beside the password: the charset of the mail sent, the [Mail] Charset setting.
  charset_ = new QComboBox(page);
  charset_->setObjectName(QStringLiteral("cbCharset"));
  charset_->addItems({QStringLiteral("auto"), QStringLiteral("ISO-2022-JP"), QStringLiteral("UTF-8")});
  charset_->setToolTip(QStringLiteral("メールの文字コード（auto: ISO-2022-JP に収まらない文字があれば UTF-8）"));
  charset_->setGeometry(340, 86, 88, h);
  edit3_ = AddLineEdit(page, "Edit3", QStringLiteral("UserName: "), QStringLiteral("ユーザ名（必須）"),
                       {lx, 62, lw, 17}, {fx, 60, 240, h});
  edit4_ = AddLineEdit(page, "Edit4", QStringLiteral("Password: "), QStringLiteral("パスワード（必須）"),
                       {lx, 88, lw, 17}, {fx, 86, 240, h});
  edit4_->setEchoMode(QLineEdit::Password);
  passwordCommand_ = AddLineEdit(page, "ePasswordCommand", QStringLiteral("Command: "),
                                 QStringLiteral("パスワードまたはトークンを出力するコマンド（空ならパスワード欄）"),
                                 {lx, 114, lw, 17}, {fx, 112, 240, h});
  AddButton(page, 1, QStringLiteral("接続"), QString(), {340, 8, 88, 26});
  AddButton(page, 2, QStringLiteral("切断"), QString(), {340, 40, 88, 26});

  // These lie behind the about panel.
  edit5_ = AddLineEdit(page, "Edit5", QStringLiteral("Name: "), QString(), {lx, 148, lw, 17}, {fx, 146, 240, h});
  AddButton(page, 3, QStringLiteral("Verify"), QString(), {340, 144, 88, 26});
  edit11_ = AddLineEdit(page, "Edit11", QStringLiteral("List to Expand: "), QString(), {lx, 176, 100, 17},
                        {110, 174, 214, h});
  AddButton(page, 7, QStringLiteral("Expand List"), QString(), {340, 172, 88, 26});
  memo2_ = new TCp932PlainTextEdit(page);
  memo2_->setObjectName(QStringLiteral("Memo2"));
  memo2_->setGeometry(lx, 220, 420, 120);
  AddLabel(page, QStringLiteral("Mailing List Members"), {lx, 202, 200, 17})->setBuddy(memo2_);
  GuardField(memo2_);
}

void TMainWindow::BuildAboutPanel(QWidget* page) {
  auto* panel = new QFrame(page);
  panel->setObjectName(QStringLiteral("AboutPanel"));
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Raised);
  panel->setAutoFillBackground(true);
  panel->setGeometry(4, 140, 428, 204);
  aboutPanel_ = panel;

  auto* name = AddLabel(panel, QStringLiteral("Tarvex"), {16, 16, 396, 56});
  name->setObjectName(QStringLiteral("AboutName"));
  QFont big = name->font();
  big.setPointSize(28);
  big.setBold(true);
  name->setFont(big);
  name->setAlignment(Qt::AlignCenter);
  versionLabel_ = AddLabel(panel, QString(), {16, 80, 396, 20});
  versionLabel_->setObjectName(QStringLiteral("AboutVersion"));
  versionLabel_->setAlignment(Qt::AlignCenter);
  auto* brand = AddLabel(panel, QStringLiteral("Tarvex Project"), {16, 108, 396, 20});
  brand->setObjectName(QStringLiteral("AboutBrand"));
  brand->setAlignment(Qt::AlignCenter);
  settingsFileLabel_ = AddLabel(panel, QString(), {16, 128, 396, 16});
  settingsFileLabel_->setObjectName(QStringLiteral("AboutSettingsFile"));
  settingsFileLabel_->setAlignment(Qt::AlignCenter);
  settingsFileLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  label17_ = new TLinkLabel(QString::fromLatin1(kHomePageAddress), panel);
  label17_->setObjectName(QStringLiteral("Label17"));
  label17_->setGeometry(16, 148, 396, 20);
  label17_->setAlignment(Qt::AlignCenter);
  label18_ = new TLinkLabel(QString::fromLatin1(kMailAddress), panel);
  label18_->setObjectName(QStringLiteral("Label18"));
  label18_->setGeometry(16, 172, 396, 20);
  label18_->setAlignment(Qt::AlignCenter);
  connect(label17_, &TLinkLabel::clicked, this, &TMainWindow::label17Clicked);
  connect(label18_, &TLinkLabel::clicked, this, &TMainWindow::label18Clicked);
  panel->raise();  // in front of the name, verify, expand and member-list controls
}

QPushButton* TMainWindow::Button(int number) const {
  return number >= 1 && number <= 9 ? buttons_[number] : nullptr;
}

std::vector<std::string> TMainWindow::ListBoxItems() const {
  std::vector<std::string> items;
  for (int i = 0; i < listBox1_->count(); ++i) items.push_back(Utf8ToCp932(listBox1_->item(i)->text().toStdString()));
  return items;
}

void TMainWindow::SetListBoxItems(const std::vector<std::string>& cp932Items) {
  listBox1_->clear();
  for (const auto& item : cp932Items) listBox1_->addItem(Cp932ToQt(item));
}

void TMainWindow::SetStatusText(const std::string& cp932) { statusText_->setText(Cp932ToQt(cp932)); }

std::string TMainWindow::StatusText() const { return Utf8ToCp932(statusText_->text().toStdString()); }

QString TMainWindow::StatusDisplayText() const { return statusText_->text(); }

void TMainWindow::SetLocked(bool locked) { pageControl1_->setEnabled(!locked); }

bool TMainWindow::IsLocked() const { return !pageControl1_->isEnabled(); }

void TMainWindow::SetAboutVersion(const QString& text) { versionLabel_->setText(text); }

void TMainWindow::SetAboutSettingsFile(const QString& text) {
  settingsFileLabel_->setText(text);
  settingsFileLabel_->setToolTip(text);
}

void TMainWindow::CloseWindow() {
  closing_ = true;
  close();
}

void TMainWindow::closeEvent(QCloseEvent* e) {
  if (closing_) {
    e->accept();
    return;
  }
  e->ignore();
  emit closeRequested();
  // The owner may accept the request while handling it (CloseWindow inside the
  // signal); Qt ignores a close() nested in close handling, so this event closes.
  if (closing_) e->accept();
}

bool TMainWindow::SaveScreenshot(const QString& file) { return grab().save(file); }

void TMainWindow::ScreenshotWhenShown(const QString& file, int delayMs) {
  QTimer::singleShot(delayMs, this, [this, file] { emit screenshotSaved(file, SaveScreenshot(file)); });
}
