#include "app/qt/MainWindow.h"

#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QMimeData>
#include <QMouseEvent>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "platform/FileUtil.h"
#include "platform/SysUtils.h"

namespace {
// Mnemonic captions follow the desktop's Japanese habit: the letter in parentheses
// after the caption ("送信(&S)").
QString WithMnemonic(const QString& caption, char letter) {
  return caption + QStringLiteral("(&") + QLatin1Char(letter) + QLatin1Char(')');
}

// The grid that lays out a page, with the margins and row spacing of both pages.
QGridLayout* PageGrid(QWidget* page) {
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 8, 8, 6);
  grid->setVerticalSpacing(4);
  return grid;
}

}  // namespace

TMainWindow::TMainWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tarvex"));
  setAcceptDrops(true);

  pageControl1_ = new QTabWidget(this);
  pageControl1_->setObjectName(QStringLiteral("PageControl1"));
  auto* mailPage = new QWidget;
  mailPage->setObjectName(QStringLiteral("TabSheet2"));
  auto* connectionPage = new QWidget;
  connectionPage->setObjectName(QStringLiteral("TabSheet1"));
  pageControl1_->addTab(mailPage, QStringLiteral("メール"));
  pageControl1_->addTab(connectionPage, QStringLiteral("接続"));
  pageControl1_->setCurrentWidget(mailPage);
  BuildMailPage(mailPage);
  BuildConnectionPage(connectionPage);
  BuildAboutDialog();
  void (TMainWindow::*const clickSignals[])() = {
      nullptr, &TMainWindow::button1Clicked, &TMainWindow::button2Clicked, &TMainWindow::button3Clicked,
      &TMainWindow::button4Clicked, &TMainWindow::button5Clicked, &TMainWindow::button6Clicked,
      &TMainWindow::button7Clicked, &TMainWindow::button8Clicked, &TMainWindow::button9Clicked};
  for (int i = 1; i <= 9; ++i) connect(buttons_[i], &QPushButton::clicked, this, clickSignals[i]);
  buttons_[5]->installEventFilter(this);
  listBox1_->installEventFilter(this);

  BuildStatusBar();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pageControl1_, 1);
  layout->addWidget(statusBar1_);
  SetTabOrder();

  // Ctrl+Enter sends from anywhere in the window, as the Send button would.
  for (QKeyCombination keys : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter}) {
    auto* send = new QShortcut(QKeySequence(keys), this);
    connect(send, &QShortcut::activated, this, [this] {
      if (buttons_[6]->isEnabled() && !IsLocked()) emit button6Clicked();
    });
  }
  resize(QSize(kClientWidth, kClientHeight).expandedTo(minimumSizeHint()));
}

void TMainWindow::BuildStatusBar() {
  statusBar1_ = new QStatusBar(this);
  statusBar1_->setObjectName(QStringLiteral("StatusBar1"));
  statusText_ = new QLabel(statusBar1_);
  statusText_->setObjectName(QStringLiteral("StatusText"));
  statusText_->setTextFormat(Qt::PlainText);
  // A long server reply must not widen the window: the label may shrink below it.
  statusText_->setMinimumWidth(1);
  statusText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar1_->addWidget(statusText_, 1);
  SetStatusDisplayText(QString());
  progress_ = new QProgressBar(statusBar1_);
  progress_->setObjectName(QStringLiteral("Progress"));
  progress_->setMaximumWidth(160);
  progress_->setTextVisible(true);
  progress_->hide();
  statusBar1_->addPermanentWidget(progress_);
  cancel_ = new QPushButton(tr("&Cancel"), statusBar1_);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  cancel_->setToolTip(tr("Stops the connection or the send in progress"));
  cancel_->hide();
  statusBar1_->addPermanentWidget(cancel_);
  connect(cancel_, &QPushButton::clicked, this, &TMainWindow::cancelClicked);
}

TCp932LineEdit* TMainWindow::AddLineEdit(QWidget* page, const char* name, const QString& hint) {
  auto* edit = new TCp932LineEdit(page);
  edit->setObjectName(QString::fromLatin1(name));
  if (!hint.isEmpty()) edit->setToolTip(hint);
  GuardField(edit);
  return edit;
}

QLabel* TMainWindow::AddLabel(QWidget* page, const QString& text, QWidget* buddy) {
  auto* label = new QLabel(text, page);
  label->setTextFormat(Qt::PlainText);
  if (buddy) label->setBuddy(buddy);
  return label;
}

QPushButton* TMainWindow::AddButton(QWidget* page, int number, const QString& caption, const QString& hint) {
  auto* button = new QPushButton(caption, page);
  button->setObjectName(QStringLiteral("Button%1").arg(number));
  if (!hint.isEmpty()) button->setToolTip(hint);
  buttons_[number] = button;
  return button;
}

void TMainWindow::GuardField(QWidget* field) {
  auto report = [this, field](const QString& ch) {
    ShowRefusedHint(field, ch);
    shownHint_ = RefusedHintText(ch);
    // The model's status text stays underneath and returns when the hint expires.
    statusBar1_->showMessage(shownHint_, 5000);
    emit fieldRefused(field->objectName(), ch);
  };
  // The next text the field takes ends the hint's tool tip, which would otherwise
  // cover the controls below while the user types on.
  auto accepted = [this] {
    if (!shownHint_.isEmpty() && QToolTip::isVisible() && QToolTip::text() == shownHint_) QToolTip::hideText();
    shownHint_.clear();
  };
  if (auto* line = qobject_cast<TCp932LineEdit*>(field)) {
    connect(line, &TCp932LineEdit::refused, this, report);
    connect(line, &QLineEdit::textEdited, this, accepted);
  } else if (auto* text = qobject_cast<TCp932PlainTextEdit*>(field)) {
    connect(text, &TCp932PlainTextEdit::refused, this, report);
    connect(text, &QPlainTextEdit::textChanged, this, accepted);
  }
}

void TMainWindow::BuildMailPage(QWidget* page) {
  auto* grid = PageGrid(page);
  eTo_ = AddLineEdit(page, "eTo", QStringLiteral("宛名（必須）"));
  eCC_ = AddLineEdit(page, "eCC", QStringLiteral("写し"));
  eBCC_ = AddLineEdit(page, "eBCC", QStringLiteral("写し"));
  eSubject_ = AddLineEdit(page, "eSubject", QStringLiteral("題名（必須）"));
  eHomeAddr_ = AddLineEdit(page, "eHomeAddr", QStringLiteral("返信（必須）"));
  const struct {
    const char* label;
    TCp932LineEdit* edit;
  } rows[] = {{"To:", eTo_}, {"CC: ", eCC_}, {"BCC: ", eBCC_}, {"題名:", eSubject_}, {"返信先:", eHomeAddr_}};
  int row = 0;
  for (const auto& r : rows) {
    grid->addWidget(AddLabel(page, QString::fromUtf8(r.label), r.edit), row, 0);
    grid->addWidget(r.edit, row++, 1, 1, 2);
  }

  listBox1_ = new QListWidget(page);
  listBox1_->setObjectName(QStringLiteral("ListBox1"));
  listBox1_->setToolTip(QStringLiteral("添付ファイルリスト"));
  // About three names high: the room the window gains goes to the body.
  listBox1_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  listBox1_->setFixedHeight(listBox1_->fontMetrics().height() * 3 + 2 * listBox1_->frameWidth() + 4);
  grid->addWidget(AddLabel(page, QStringLiteral("添付:"), listBox1_), row, 0, Qt::AlignTop);
  grid->addWidget(listBox1_, row, 1);
  auto* attachButtons = new QVBoxLayout;
  attachButtons->addWidget(
      AddButton(page, 4, WithMnemonic(QStringLiteral("参照追加"), 'A'), QStringLiteral("添付ファイルの追加です")));
  attachButtons->addWidget(
      AddButton(page, 5, WithMnemonic(QStringLiteral("削除"), 'D'), QStringLiteral("添付ファイルを削除します")));
  attachButtons->addStretch(1);
  grid->addLayout(attachButtons, row++, 2);

  reMessageText_ = new TCp932PlainTextEdit(page);
  reMessageText_->setObjectName(QStringLiteral("reMessageText"));
  reMessageText_->setToolTip(QStringLiteral("本文"));
  // Long lines wrap at the field's edge (the text itself keeps its lines); scroll
  // bars show only when the text does not fit; Tab moves on to the next control.
  reMessageText_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  reMessageText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  reMessageText_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  reMessageText_->setTabChangesFocus(true);
  reMessageText_->setMinimumHeight(48);
  GuardField(reMessageText_);
  auto* bodyLabel = AddLabel(page, WithMnemonic(QStringLiteral("本文"), 'B') + QLatin1Char(':'), reMessageText_);
  bodyLabel->setObjectName(QStringLiteral("BodyLabel"));
  grid->addWidget(bodyLabel, row++, 0, 1, 3);
  grid->addWidget(reMessageText_, row, 0, 1, 3);
  grid->setRowStretch(row++, 1);

  auto* bottom = new QHBoxLayout;
  auto* title = AddLabel(page, QStringLiteral("Tarvex"), nullptr);
  title->setObjectName(QStringLiteral("TitleLabel"));
  QFont f = title->font();
  f.setBold(true);
  f.setPointSize(f.pointSize() + 4);
  title->setFont(f);
  bottom->addWidget(title);
  bottom->addStretch(1);
  bottom->addWidget(
      AddButton(page, 8, WithMnemonic(QStringLiteral("マクロ読込"), 'M'), QStringLiteral("マクロを読み込みます")));
  bottom->addWidget(AddButton(page, 9, WithMnemonic(QStringLiteral("クリア"), 'R'), QStringLiteral("全部をクリアします")));
  bottom->addWidget(AddButton(page, 6, WithMnemonic(QStringLiteral("送信"), 'S'), QStringLiteral("送信します")));
  buttons_[6]->setDefault(false);
  grid->addLayout(bottom, row, 0, 1, 3);
  grid->setColumnStretch(1, 1);
}

void TMainWindow::BuildConnectionPage(QWidget* page) {
  auto* grid = PageGrid(page);
  eSMTPServer_ = AddLineEdit(page, "eSMTPServer", QStringLiteral("接続先（必須）"));
  edit2_ = AddLineEdit(page, "Edit2", QStringLiteral("ポート番号（必須）"));
  edit2_->SetCp932Text("25");
  edit2_->setMaximumWidth(80);
  // Beside the port: how the connection is secured and whether to log in.
  security_ = new QComboBox(page);
  security_->setObjectName(QStringLiteral("cbSecurity"));
  security_->addItems({tr("none"), QStringLiteral("STARTTLS"), QStringLiteral("TLS")});
  security_->setToolTip(QStringLiteral("暗号化（STARTTLS: 587番, TLS: 465番）"));
  auth_ = new QComboBox(page);
  auth_->setObjectName(QStringLiteral("cbAuth"));
  auth_->addItems({tr("none"), tr("auto"), QStringLiteral("PLAIN"), QStringLiteral("LOGIN"),
                   QStringLiteral("XOAUTH2"), QStringLiteral("OAUTHBEARER")});
  auth_->setToolTip(QStringLiteral("認証方式（TLS の中だけ）。XOAUTH2 と OAUTHBEARER ではパスワードがアクセストークンです"));
  // The charset of the mail sent, the [Mail] Charset setting.
  charset_ = new QComboBox(page);
  charset_->setObjectName(QStringLiteral("cbCharset"));
  charset_->addItems({tr("auto"), QStringLiteral("ISO-2022-JP"), QStringLiteral("UTF-8")});
  charset_->setToolTip(QStringLiteral("メールの文字コード（自動: ISO-2022-JP に収まらない文字があれば UTF-8）"));
  edit3_ = AddLineEdit(page, "Edit3", QStringLiteral("ユーザ名（必須）"));
  edit4_ = AddLineEdit(page, "Edit4", QStringLiteral("パスワード（必須）"));
  edit4_->setEchoMode(QLineEdit::Password);
  passwordCommand_ = AddLineEdit(page, "ePasswordCommand",
                                 QStringLiteral("パスワードまたはトークンを出力するコマンド（空ならパスワード欄）"));
  edit5_ = AddLineEdit(page, "Edit5", QString());
  edit11_ = AddLineEdit(page, "Edit11", QString());

  grid->addWidget(AddLabel(page, tr("Host: "), eSMTPServer_), 0, 0);
  grid->addWidget(eSMTPServer_, 0, 1);
  grid->addWidget(AddButton(page, 1, WithMnemonic(QStringLiteral("接続"), 'C'), QString()), 0, 2);
  grid->addWidget(AddLabel(page, tr("Port: "), edit2_), 1, 0);
  auto* portRow = new QHBoxLayout;
  portRow->addWidget(edit2_);
  portRow->addWidget(security_);
  portRow->addWidget(auth_);
  portRow->addStretch(1);
  grid->addLayout(portRow, 1, 1);
  grid->addWidget(AddButton(page, 2, WithMnemonic(QStringLiteral("切断"), 'X'), QString()), 1, 2);
  grid->addWidget(AddLabel(page, tr("UserName: "), edit3_), 2, 0);
  grid->addWidget(edit3_, 2, 1);
  grid->addWidget(AddLabel(page, tr("Password: "), edit4_), 3, 0);
  grid->addWidget(edit4_, 3, 1);
  grid->addWidget(charset_, 3, 2);
  grid->addWidget(AddLabel(page, tr("Command: "), passwordCommand_), 4, 0);
  grid->addWidget(passwordCommand_, 4, 1);
  grid->addWidget(AddLabel(page, tr("Name: "), edit5_), 5, 0);
  grid->addWidget(edit5_, 5, 1);
  grid->addWidget(AddButton(page, 3, tr("&Verify"), QString()), 5, 2);
  grid->addWidget(AddLabel(page, tr("List to Expand: "), edit11_), 6, 0);
  grid->addWidget(edit11_, 6, 1);
  grid->addWidget(AddButton(page, 7, tr("&Expand List"), QString()), 6, 2);
  memo2_ = new TCp932PlainTextEdit(page);
  memo2_->setObjectName(QStringLiteral("Memo2"));
  memo2_->setTabChangesFocus(true);
  memo2_->setMinimumHeight(40);
  grid->addWidget(AddLabel(page, tr("Mailing List Members"), memo2_), 7, 0, 1, 3);
  grid->addWidget(memo2_, 8, 0, 1, 3);
  grid->setRowStretch(8, 1);
  // The program's name, version and links, in a small dialog of their own.
  aboutButton_ = new QPushButton(tr("&About Tarvex"), page);
  aboutButton_->setObjectName(QStringLiteral("AboutButton"));
  connect(aboutButton_, &QPushButton::clicked, this, &TMainWindow::ShowAbout);
  grid->addWidget(aboutButton_, 9, 2);
  grid->setColumnStretch(1, 1);
  GuardField(memo2_);
}

void TMainWindow::SetTabOrder() {
  // Top to bottom on each page; the mail page ends at Send.
  const std::vector<QWidget*> mail = {eTo_,        eCC_,       eBCC_,       eSubject_,      eHomeAddr_,
                                      listBox1_,   buttons_[4], buttons_[5], reMessageText_, buttons_[8],
                                      buttons_[9], buttons_[6]};
  const std::vector<QWidget*> connection = {eSMTPServer_, buttons_[1], edit2_,      security_,        auth_,
                                            buttons_[2],  edit3_,      edit4_,      charset_,         passwordCommand_,
                                            edit5_,       buttons_[3], edit11_,     buttons_[7],      memo2_,
                                            aboutButton_};
  for (const auto* order : {&mail, &connection})
    for (size_t i = 0; i + 1 < order->size(); ++i) setTabOrder((*order)[i], (*order)[i + 1]);
}

void TMainWindow::BuildAboutDialog() {
  auto* dialog = new QDialog(this, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  dialog->setObjectName(QStringLiteral("AboutDialog"));
  dialog->setWindowTitle(tr("About Tarvex"));
  aboutDialog_ = dialog;
  auto* layout = new QVBoxLayout(dialog);
  layout->setContentsMargins(24, 16, 24, 12);
  auto centred = [layout](QLabel* label, const char* name) {
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignCenter);
    label->setTextFormat(Qt::PlainText);
    layout->addWidget(label);
    return label;
  };
  auto* name = centred(new QLabel(QStringLiteral("Tarvex"), dialog), "AboutName");
  QFont big = name->font();
  big.setPointSize(28);
  big.setBold(true);
  name->setFont(big);
  versionLabel_ = centred(new QLabel(dialog), "AboutVersion");
  centred(new QLabel(QStringLiteral("Tarvex Project"), dialog), "AboutBrand");
  settingsFileLabel_ = centred(new QLabel(dialog), "AboutSettingsFile");
  settingsFileLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addSpacing(8);
  label17_ = new TLinkLabel(QString::fromLatin1(kHomePageAddress), dialog);
  centred(label17_, "Label17");
  label18_ = new TLinkLabel(QString::fromLatin1(kMailAddress), dialog);
  centred(label18_, "Label18");
  connect(label17_, &TLinkLabel::clicked, this, &TMainWindow::label17Clicked);
  connect(label18_, &TLinkLabel::clicked, this, &TMainWindow::label18Clicked);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  layout->addWidget(buttons);
  dialog->setFixedSize(dialog->sizeHint());
}

void TMainWindow::ShowAbout() {
  aboutDialog_->show();
  aboutDialog_->raise();
  aboutDialog_->activateWindow();
}

QPushButton* TMainWindow::Button(int number) const {
  return number >= 1 && number <= 9 ? buttons_[number] : nullptr;
}

std::vector<std::string> TMainWindow::ListBoxItems() const {
  std::vector<std::string> items;
  for (int i = 0; i < listBox1_->count(); ++i)
    items.push_back(Utf8ToCp932(listBox1_->item(i)->data(Qt::UserRole).toString().toStdString()));
  return items;
}

void TMainWindow::SetListBoxItems(const std::vector<std::string>& cp932Items) {
  listBox1_->clear();
  for (const auto& item : cp932Items) {
    const QString path = Cp932ToQt(item);
    const QString name = Cp932ToQt(ExtractFileName(item));
    auto* entry = new QListWidgetItem(name.isEmpty() ? path : name, listBox1_);
    entry->setData(Qt::UserRole, path);
    entry->setToolTip(path);
  }
}

void TMainWindow::SetStatusText(const std::string& cp932) { SetStatusDisplayText(Cp932ToQt(cp932)); }

std::string TMainWindow::StatusText() const { return Utf8ToCp932(statusText_->text().toStdString()); }

QString TMainWindow::StatusDisplayText() const { return statusText_->text(); }

void TMainWindow::SetStatusDisplayText(const QString& text) {
  // Nothing to tell: the window says that it waits for the user.
  statusText_->setText(text.isEmpty() ? tr("Ready") : text);
  // Newer news than a refusal hint: a send's result must not wait under the hint
  // until it expires.
  statusBar1_->clearMessage();
}

void TMainWindow::SetLocked(bool locked) { pageControl1_->setEnabled(!locked); }

void TMainWindow::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  progress_->setVisible(busy);
  cancel_->setVisible(busy);
  cancel_->setEnabled(busy);
  buttons_[6]->setEnabled(!busy);
  if (busy) {
    SetProgress(0, 0);
    pageControl1_->setCursor(Qt::BusyCursor);
  } else {
    pageControl1_->unsetCursor();
  }
}

void TMainWindow::SetProgress(int64_t done, int64_t total) {
  if (total <= 0) {
    progress_->setRange(0, 0);
    progress_->setFormat(QString());
    return;
  }
  // The bar counts bytes, or kilobytes when the total would not fit an int.
  const int64_t unit = total > INT32_MAX ? 1024 : 1;
  progress_->setRange(0, static_cast<int>(total / unit));
  progress_->setValue(static_cast<int>(std::clamp<int64_t>(done, 0, total) / unit));
  const QLocale locale;
  if (total < 10240)
    progress_->setFormat(tr("%1 of %2 bytes").arg(locale.toString(done), locale.toString(total)));
  else
    progress_->setFormat(tr("%1 of %2 KB").arg(locale.toString(done / 1024), locale.toString(total / 1024)));
}

QRect TMainWindow::PlaceOnScreens(const QRect& wanted, const QList<QRect>& screens) {
  if (screens.isEmpty()) return wanted;
  const QRect* best = &screens.first();
  qint64 bestArea = -1;
  for (const QRect& screen : screens) {
    if (screen.contains(wanted)) return wanted;
    const QRect overlap = screen.intersected(wanted);
    const qint64 area = overlap.isEmpty() ? 0 : qint64(overlap.width()) * overlap.height();
    if (area > bestArea) {
      bestArea = area;
      best = &screen;
    }
  }
  const QSize size = wanted.size().boundedTo(best->size());
  const int x = std::clamp(wanted.x(), best->left(), best->right() + 1 - size.width());
  const int y = std::clamp(wanted.y(), best->top(), best->bottom() + 1 - size.height());
  return QRect(QPoint(x, y), size);
}

void TMainWindow::MoveOnScreen(QPoint pos) {
  QList<QRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) screens << primary->availableGeometry();
  for (QScreen* screen : QGuiApplication::screens())
    if (screen != QGuiApplication::primaryScreen()) screens << screen->availableGeometry();
  // The frame the window system adds is not known before the window is shown: a
  // usual title bar and border are allowed for until it is.
  const QSize frame = isVisible() ? frameGeometry().size() : size() + QSize(8, 32);
  const QRect place = PlaceOnScreens(QRect(pos, frame), screens);
  if (place.size() != frame) resize(size() - (frame - place.size()));
  move(place.topLeft());
}

void TMainWindow::FocusFirstField() {
  (eTo_->text().isEmpty() ? static_cast<QWidget*>(eTo_) : reMessageText_)->setFocus(Qt::OtherFocusReason);
}

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

namespace {
// The local files a drag carries; empty when it carries anything else too.
QStringList LocalFiles(const QMimeData* data) {
  QStringList files;
  if (!data || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile() || !QFileInfo(url.toLocalFile()).isFile()) return {};
    files << url.toLocalFile();
  }
  return files;
}
}  // namespace

void TMainWindow::dragEnterEvent(QDragEnterEvent* e) {
  if (!IsLocked() && !LocalFiles(e->mimeData()).isEmpty()) e->acceptProposedAction();
}

void TMainWindow::dropEvent(QDropEvent* e) {
  const QStringList files = LocalFiles(e->mimeData());
  if (IsLocked() || files.isEmpty()) return;
  e->acceptProposedAction();
  emit filesDropped(files);
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
  const bool remove = watched == buttons_[5];
  if (remove && event->type() == QEvent::Shortcut) {
    emit removeByKeyRequested();
    return true;
  }
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    const bool press = remove ? key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter
                              : watched == listBox1_ && key == Qt::Key_Delete;
    if (press) {
      if (!static_cast<QKeyEvent*>(event)->isAutoRepeat()) emit removeByKeyRequested();
      return true;
    }
  }
  // The release of a Space that was taken above would click the button.
  if (remove && event->type() == QEvent::KeyRelease && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space)
    return true;
  return QWidget::eventFilter(watched, event);
}

bool TMainWindow::SaveScreenshot(const QString& file) { return grab().save(file); }

void TMainWindow::ScreenshotWhenShown(const QString& file, int delayMs) {
  QTimer::singleShot(delayMs, this, [this, file] { emit screenshotSaved(file, SaveScreenshot(file)); });
}
