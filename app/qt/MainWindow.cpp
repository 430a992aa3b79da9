#include "app/qt/MainWindow.h"

#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
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
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <iterator>

#include "platform/FileUtil.h"
#include "platform/SysUtils.h"

namespace {
// The grid that lays out a page, with the margins and row spacing of both pages.
QGridLayout* PageGrid(QWidget* page) {
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 8, 8, 6);
  grid->setVerticalSpacing(4);
  return grid;
}

// Each command button: its object name and the signal its click emits.
struct ButtonKind {
  TFormButton which;
  const char* objectName;
  void (TMainWindow::*clicked)();
};
const ButtonKind kButtons[] = {
    {TFormButton::Connect, "ConnectButton", &TMainWindow::connectClicked},
    {TFormButton::Disconnect, "DisconnectButton", &TMainWindow::disconnectClicked},
    {TFormButton::Verify, "VerifyButton", &TMainWindow::verifyClicked},
    {TFormButton::AddAttachments, "AddAttachmentsButton", &TMainWindow::addAttachmentsClicked},
    {TFormButton::RemoveAttachment, "RemoveAttachmentButton", &TMainWindow::removeAttachmentClicked},
    {TFormButton::Send, "SendButton", &TMainWindow::sendClicked},
    {TFormButton::ExpandList, "ExpandListButton", &TMainWindow::expandListClicked},
    {TFormButton::RunMacro, "RunMacroButton", &TMainWindow::runMacroClicked},
    {TFormButton::Clear, "ClearButton", &TMainWindow::clearClicked},
};
static_assert(std::size(kButtons) == kFormButtonCount, "every button has its row");

}  // namespace

TMainWindow::TMainWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tarvex"));
  setAcceptDrops(true);

  pages_ = new QTabWidget(this);
  pages_->setObjectName(QStringLiteral("Pages"));
  auto* mailPage = new QWidget;
  mailPage->setObjectName(QStringLiteral("MailPage"));
  auto* connectionPage = new QWidget;
  connectionPage->setObjectName(QStringLiteral("ConnectionPage"));
  pages_->addTab(mailPage, tr("Mail"));
  pages_->addTab(connectionPage, tr("Connection"));
  pages_->setCurrentWidget(mailPage);
  BuildMailPage(mailPage);
  BuildConnectionPage(connectionPage);
  BuildAboutDialog();
  for (const ButtonKind& b : kButtons) connect(Button(b.which), &QPushButton::clicked, this, b.clicked);
  Button(TFormButton::RemoveAttachment)->installEventFilter(this);
  attachments_->installEventFilter(this);

  BuildStatusBar();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pages_, 1);
  layout->addWidget(statusBar_);
  SetTabOrder();

  // Ctrl+Enter sends from anywhere in the window, as the Send button would.
  for (QKeyCombination keys : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter}) {
    auto* send = new QShortcut(QKeySequence(keys), this);
    connect(send, &QShortcut::activated, this, [this] {
      if (Button(TFormButton::Send)->isEnabled() && !IsLocked()) emit sendClicked();
    });
  }
  // Escape stops a connection or send in progress, as the Cancel button does; it
  // takes the key only then, so that dialogs and fields keep it otherwise.
  escape_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape_->setEnabled(false);
  connect(escape_, &QShortcut::activated, this, [this] {
    if (cancel_->isVisible() && cancel_->isEnabled()) cancel_->click();
  });
  setWindowIcon(ProgramIcon());
  resize(QSize(kClientWidth, kClientHeight).expandedTo(minimumSizeHint()));
}

QIcon TMainWindow::ProgramIcon() {
  // The icon theme's, where the desktop package installed it; else the sizes built
  // into the module.
  QIcon builtIn;
  const QString folder = QStringLiteral(":/icons/");
  for (const QString& size : QDir(folder).entryList(QDir::Dirs)) builtIn.addFile(folder + size + QStringLiteral("/tarvex.png"));
  return QIcon::fromTheme(QStringLiteral("tarvex"), builtIn);
}

void TMainWindow::BuildStatusBar() {
  statusBar_ = new QStatusBar(this);
  statusBar_->setObjectName(QStringLiteral("StatusBar"));
  statusText_ = new QLabel(statusBar_);
  statusText_->setObjectName(QStringLiteral("StatusText"));
  statusText_->setTextFormat(Qt::PlainText);
  // A long server reply must not widen the window: the label may shrink below it.
  statusText_->setMinimumWidth(1);
  statusText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar_->addWidget(statusText_, 1);
  // A text longer than the room (a narrow window, the progress beside it) ends in
  // "…" on one line, whole in its tool tip.
  statusText_->installEventFilter(this);
  SetStatusDisplayText(QString());
  progress_ = new QProgressBar(statusBar_);
  progress_->setObjectName(QStringLiteral("Progress"));
  // Wide enough for the longest progress text (tens of gigabytes) on one line.
  const QString longest = tr("%1 of %2 KB").arg(QLocale().toString(99999999), QLocale().toString(99999999));
  progress_->setFixedWidth(progress_->fontMetrics().horizontalAdvance(longest) + 24);
  progress_->setTextVisible(true);
  progress_->hide();
  statusBar_->addPermanentWidget(progress_);
  cancel_ = new QPushButton(tr("&Cancel"), statusBar_);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  cancel_->setToolTip(tr("Stops the connection or the send in progress"));
  cancel_->hide();
  statusBar_->addPermanentWidget(cancel_);
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
  if (buddy) {
    label->setBuddy(buddy);
    // The name a screen reader speaks for the field: its label without the
    // mnemonic's marks and the colon.
    QString name = text;
    name.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
    buddy->setAccessibleName(name.trimmed().remove(QRegularExpression(QStringLiteral("[:：]$"))).trimmed());
  }
  return label;
}

QPushButton* TMainWindow::AddButton(QWidget* page, TFormButton which, const QString& caption, const QString& hint) {
  auto* button = new QPushButton(caption, page);
  for (const ButtonKind& b : kButtons)
    if (b.which == which) button->setObjectName(QString::fromLatin1(b.objectName));
  if (!hint.isEmpty()) button->setToolTip(hint);
  buttons_[static_cast<int>(which)] = button;
  return button;
}

void TMainWindow::GuardField(QWidget* field) {
  auto report = [this, field](const QString& ch) {
    ShowRefusedHint(field, ch);
    shownHint_ = RefusedHintText(ch);
    // The model's status text stays underneath and returns when the hint expires.
    statusBar_->showMessage(shownHint_, 5000);
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
  to_ = AddLineEdit(page, "To", tr("Recipients (required)"));
  cc_ = AddLineEdit(page, "Cc", tr("Copies"));
  bcc_ = AddLineEdit(page, "Bcc", tr("Copies"));
  subject_ = AddLineEdit(page, "Subject", tr("Subject (required)"));
  senderAddress_ = AddLineEdit(page, "SenderAddress", tr("Reply address (required)"));
  answerTo_ = AddLineEdit(page, "AnswerTo", tr("Where answers go, when not to the sender"));
  const struct {
    QString label;
    TCp932LineEdit* edit;
  } rows[] = {{QStringLiteral("To:"), to_},
              {QStringLiteral("CC: "), cc_},
              {QStringLiteral("BCC: "), bcc_},
              {tr("Subject:"), subject_},
              {tr("Reply-To:"), senderAddress_},
              {tr("Answers to:"), answerTo_}};
  int row = 0;
  for (const auto& r : rows) {
    grid->addWidget(AddLabel(page, r.label, r.edit), row, 0);
    grid->addWidget(r.edit, row++, 1, 1, 2);
  }
  // The read receipt and the priority of this mail.
  receipt_ = new QCheckBox(tr("Ask for a read &receipt"), page);
  receipt_->setObjectName(QStringLiteral("cbReceipt"));
  priority_ = new QComboBox(page);
  priority_->setObjectName(QStringLiteral("cbPriority"));
  priority_->addItems({tr("normal"), tr("high"), tr("low")});
  auto* optionsRow = new QHBoxLayout;
  optionsRow->addWidget(AddLabel(page, tr("Priority:"), priority_));
  optionsRow->addWidget(priority_);
  optionsRow->addSpacing(12);
  optionsRow->addWidget(receipt_);
  optionsRow->addStretch(1);
  grid->addLayout(optionsRow, row++, 1, 1, 2);

  attachments_ = new QListWidget(page);
  attachments_->setObjectName(QStringLiteral("Attachments"));
  attachments_->setToolTip(tr("Attached files"));
  // About three names high: the room the window gains goes to the body.
  attachments_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  attachments_->setFixedHeight(attachments_->fontMetrics().height() * 3 + 2 * attachments_->frameWidth() + 4);
  grid->addWidget(AddLabel(page, tr("Attachments:"), attachments_), row, 0, Qt::AlignTop);
  grid->addWidget(attachments_, row, 1);
  auto* attachButtons = new QVBoxLayout;
  attachButtons->addWidget(AddButton(page, TFormButton::AddAttachments, tr("&Add..."), tr("Adds a file to attach")));
  attachButtons->addWidget(
      AddButton(page, TFormButton::RemoveAttachment, tr("&Delete"), tr("Removes the selected attachment")));
  attachButtons->addStretch(1);
  grid->addLayout(attachButtons, row++, 2);

  body_ = new TCp932PlainTextEdit(page);
  body_->setObjectName(QStringLiteral("Body"));
  body_->setToolTip(tr("Message body"));
  // Long lines wrap at the field's edge (the text itself keeps its lines); scroll
  // bars show only when the text does not fit; Tab moves on to the next control.
  body_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  body_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  body_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  body_->setTabChangesFocus(true);
  body_->setMinimumHeight(48);
  GuardField(body_);
  auto* bodyLabel = AddLabel(page, tr("&Body:"), body_);
  bodyLabel->setObjectName(QStringLiteral("BodyLabel"));
  grid->addWidget(bodyLabel, row++, 0, 1, 3);
  grid->addWidget(body_, row, 0, 1, 3);
  grid->setRowStretch(row++, 1);

  // The signature the send adds under the body (shown only when the settings name
  // one), and the box that leaves it off this mail.
  signature_ = new QPlainTextEdit(page);
  signature_->setObjectName(QStringLiteral("Signature"));
  signature_->setReadOnly(true);
  signature_->setTabChangesFocus(true);
  signature_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  signature_->setFixedHeight(signature_->fontMetrics().height() * 3 + 2 * signature_->frameWidth() + 8);
  signatureOn_ = new QCheckBox(tr("Add the &signature:"), page);
  signatureOn_->setObjectName(QStringLiteral("cbSignature"));
  signature_->setAccessibleName(tr("Signature"));
  grid->addWidget(signatureOn_, row++, 0, 1, 3);
  grid->addWidget(signature_, row++, 0, 1, 3);
  SetSignature(QString(), false);

  auto* bottom = new QHBoxLayout;
  auto* title = AddLabel(page, QStringLiteral("Tarvex"), nullptr);
  title->setObjectName(QStringLiteral("TitleLabel"));
  QFont f = title->font();
  f.setBold(true);
  f.setPointSize(f.pointSize() + 4);
  title->setFont(f);
  bottom->addWidget(title);
  bottom->addStretch(1);
  bottom->addWidget(AddButton(page, TFormButton::RunMacro, tr("Load &Macro..."), tr("Reads a macro file")));
  bottom->addWidget(AddButton(page, TFormButton::Clear, tr("Clea&r"), tr("Clears every field")));
  bottom->addWidget(AddButton(page, TFormButton::Send, tr("&Send"), tr("Sends the mail")));
  Button(TFormButton::Send)->setDefault(false);
  grid->addLayout(bottom, row, 0, 1, 3);
  grid->setColumnStretch(1, 1);
}

void TMainWindow::BuildConnectionPage(QWidget* page) {
  auto* grid = PageGrid(page);
  server_ = AddLineEdit(page, "Server", tr("SMTP server (required)"));
  port_ = AddLineEdit(page, "Port", tr("Port number (required)"));
  port_->SetCp932Text("25");
  // Wide enough for the largest port in the field's font, at any scale.
  port_->setFixedWidth(port_->fontMetrics().horizontalAdvance(QStringLiteral("655350")) +
                        2 * port_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 16);
  // Beside the port: how the connection is secured and whether to log in.
  security_ = new QComboBox(page);
  security_->setObjectName(QStringLiteral("cbSecurity"));
  security_->addItems({tr("none"), QStringLiteral("STARTTLS"), QStringLiteral("TLS")});
  security_->setToolTip(tr("Encryption (STARTTLS: port 587, TLS: port 465)"));
  auth_ = new QComboBox(page);
  auth_->setObjectName(QStringLiteral("cbAuth"));
  auth_->addItems({tr("none"), tr("auto"), QStringLiteral("PLAIN"), QStringLiteral("LOGIN"),
                   QStringLiteral("XOAUTH2"), QStringLiteral("OAUTHBEARER")});
  auth_->setToolTip(tr("Authentication (inside TLS only). With XOAUTH2 and OAUTHBEARER the password is an access token"));
  // The charset of the mail sent, the [Mail] Charset setting.
  charset_ = new QComboBox(page);
  charset_->setObjectName(QStringLiteral("cbCharset"));
  charset_->addItems({tr("auto"), QStringLiteral("ISO-2022-JP"), QStringLiteral("UTF-8")});
  charset_->setToolTip(tr("Character set of the mail (auto: UTF-8 when a character does not fit ISO-2022-JP)"));
  userName_ = AddLineEdit(page, "UserName", tr("User name (required)"));
  password_ = AddLineEdit(page, "Password", tr("Password (required)"));
  password_->setEchoMode(QLineEdit::Password);
  passwordCommand_ =
      AddLineEdit(page, "PasswordCommand", tr("A command that prints the password or token (empty: the password field)"));
  displayName_ = AddLineEdit(page, "DisplayName", QString());
  listToExpand_ = AddLineEdit(page, "ListToExpand", QString());

  grid->addWidget(AddLabel(page, tr("Host: "), server_), 0, 0);
  grid->addWidget(server_, 0, 1);
  grid->addWidget(AddButton(page, TFormButton::Connect, tr("&Connect"), QString()), 0, 2);
  grid->addWidget(AddLabel(page, tr("Port: "), port_), 1, 0);
  grid->addWidget(port_, 1, 1, Qt::AlignLeft);
  grid->addWidget(AddButton(page, TFormButton::Disconnect, tr("&Disconnect"), QString()), 1, 2);
  // The boxes carry visible labels, which also name them for a screen reader
  // (a box's own name is its current value).
  grid->addWidget(AddLabel(page, tr("Security:"), security_), 2, 0);
  auto* securityRow = new QHBoxLayout;
  securityRow->addWidget(security_);
  securityRow->addSpacing(12);
  securityRow->addWidget(AddLabel(page, tr("AUTH:"), auth_));
  securityRow->addWidget(auth_);
  securityRow->addStretch(1);
  grid->addLayout(securityRow, 2, 1);
  grid->addWidget(AddLabel(page, tr("UserName: "), userName_), 3, 0);
  grid->addWidget(userName_, 3, 1);
  grid->addWidget(AddLabel(page, tr("Password: "), password_), 4, 0);
  grid->addWidget(password_, 4, 1);
  grid->addWidget(AddLabel(page, tr("Command: "), passwordCommand_), 5, 0);
  grid->addWidget(passwordCommand_, 5, 1);
  grid->addWidget(AddLabel(page, tr("Charset:"), charset_), 6, 0);
  grid->addWidget(charset_, 6, 1, Qt::AlignLeft);
  grid->addWidget(AddLabel(page, tr("Name: "), displayName_), 7, 0);
  grid->addWidget(displayName_, 7, 1);
  grid->addWidget(AddButton(page, TFormButton::Verify, tr("&Verify"), QString()), 7, 2);
  grid->addWidget(AddLabel(page, tr("List to Expand: "), listToExpand_), 8, 0);
  grid->addWidget(listToExpand_, 8, 1);
  grid->addWidget(AddButton(page, TFormButton::ExpandList, tr("&Expand List"), QString()), 8, 2);
  listMembers_ = new TCp932PlainTextEdit(page);
  listMembers_->setObjectName(QStringLiteral("ListMembers"));
  listMembers_->setTabChangesFocus(true);
  listMembers_->setMinimumHeight(40);
  grid->addWidget(AddLabel(page, tr("Mailing List Members"), listMembers_), 9, 0, 1, 3);
  grid->addWidget(listMembers_, 10, 0, 1, 3);
  grid->setRowStretch(10, 1);
  // The program's name, version and links, in a small dialog of their own.
  aboutButton_ = new QPushButton(tr("&About Tarvex"), page);
  aboutButton_->setObjectName(QStringLiteral("AboutButton"));
  connect(aboutButton_, &QPushButton::clicked, this, &TMainWindow::ShowAbout);
  grid->addWidget(aboutButton_, 11, 2);
  grid->setColumnStretch(1, 1);
  GuardField(listMembers_);
}

void TMainWindow::SetSignature(const QString& text, bool shown) {
  signature_->setPlainText(text);
  signature_->setVisible(shown);
  signatureOn_->setVisible(shown);
}

void TMainWindow::SetTabOrder() {
  // Top to bottom on each page; the mail page ends at Send.
  const std::vector<QWidget*> mail = {to_,
                                      cc_,
                                      bcc_,
                                      subject_,
                                      senderAddress_,
                                      answerTo_,
                                      priority_,
                                      receipt_,
                                      attachments_,
                                      Button(TFormButton::AddAttachments),
                                      Button(TFormButton::RemoveAttachment),
                                      body_,
                                      signatureOn_,
                                      Button(TFormButton::RunMacro),
                                      Button(TFormButton::Clear),
                                      Button(TFormButton::Send)};
  const std::vector<QWidget*> connection = {server_,
                                            Button(TFormButton::Connect),
                                            port_,
                                            Button(TFormButton::Disconnect),
                                            security_,
                                            auth_,
                                            userName_,
                                            password_,
                                            passwordCommand_,
                                            charset_,
                                            displayName_,
                                            Button(TFormButton::Verify),
                                            listToExpand_,
                                            Button(TFormButton::ExpandList),
                                            listMembers_,
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
  settingsFileLabel_->setAccessibleName(tr("Settings file"));
  layout->addSpacing(8);
  homePageLink_ = new TLinkLabel(QString::fromLatin1(kHomePageAddress), dialog);
  centred(homePageLink_, "HomePageLink");
  mailLink_ = new TLinkLabel(QString::fromLatin1(kMailAddress), dialog);
  centred(mailLink_, "MailLink");
  connect(homePageLink_, &TLinkLabel::clicked, this, &TMainWindow::homePageClicked);
  connect(mailLink_, &TLinkLabel::clicked, this, &TMainWindow::mailLinkClicked);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  layout->addWidget(buttons);
}

void TMainWindow::ShowAbout() {
  // Sized for what it shows now (the settings file's path is set after it was
  // built), and wide enough that a title bar shows its whole title beside its
  // buttons; never wider than the screen, where a long path is elided in the middle.
  const QRect area = screen() ? screen()->availableGeometry() : QRect(0, 0, 1024, 768);
  const int maxWidth = area.width() * 9 / 10;
  const QString path = settingsFileLabel_->toolTip();
  const int pathRoom = maxWidth - 48;
  settingsFileLabel_->setText(settingsFileLabel_->fontMetrics().elidedText(path, Qt::ElideMiddle, pathRoom));
  aboutDialog_->setMinimumSize(0, 0);
  aboutDialog_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
  titleFont.setBold(true);
  const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(aboutDialog_->windowTitle()) + 160;
  QSize size = aboutDialog_->sizeHint();
  size.setWidth(std::min(std::max(size.width(), titleWidth), maxWidth));
  aboutDialog_->setFixedSize(size);
  aboutDialog_->show();
  aboutDialog_->raise();
  aboutDialog_->activateWindow();
}

QPushButton* TMainWindow::Button(TFormButton which) const { return buttons_[static_cast<int>(which)]; }

std::vector<std::string> TMainWindow::ListBoxItems() const {
  std::vector<std::string> items;
  for (int i = 0; i < attachments_->count(); ++i)
    items.push_back(Utf8ToCp932(attachments_->item(i)->data(Qt::UserRole).toString().toStdString()));
  return items;
}

void TMainWindow::SetListBoxItems(const std::vector<std::string>& cp932Items) {
  attachments_->clear();
  for (const auto& item : cp932Items) {
    const QString path = Cp932ToQt(item);
    const QString name = Cp932ToQt(ExtractFileName(item));
    auto* entry = new QListWidgetItem(name.isEmpty() ? path : name, attachments_);
    entry->setData(Qt::UserRole, path);
    entry->setToolTip(path);
  }
}

void TMainWindow::SetStatusText(const std::string& cp932) { SetStatusDisplayText(Cp932ToQt(cp932)); }

std::string TMainWindow::StatusText() const { return Utf8ToCp932(statusFull_.toStdString()); }

QString TMainWindow::StatusDisplayText() const { return statusFull_; }

void TMainWindow::ShowStatusText() {
  const QString shown =
      statusText_->fontMetrics().elidedText(statusFull_, Qt::ElideRight, std::max(1, statusText_->contentsRect().width()));
  statusText_->setText(shown);
  statusText_->setToolTip(shown == statusFull_ ? QString() : statusFull_);
}

void TMainWindow::SetStatusDisplayText(const QString& text) {
  // Nothing to tell: the window says that it waits for the user.
  statusFull_ = text.isEmpty() ? tr("Ready") : text;
  ShowStatusText();
  // Newer news than a refusal hint: a send's result must not wait under the hint
  // until it expires.
  statusBar_->clearMessage();
}

void TMainWindow::SetLocked(bool locked) { pages_->setEnabled(!locked); }

void TMainWindow::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  progress_->setVisible(busy);
  cancel_->setVisible(busy);
  cancel_->setEnabled(busy);
  escape_->setEnabled(busy);
  Button(TFormButton::Send)->setEnabled(!busy);
  // The send reads the body's lines as it goes: they stay as they are until it ends.
  body_->setReadOnly(busy);
  if (busy) {
    SetProgress(0, 0);
    pages_->setCursor(Qt::BusyCursor);
  } else {
    pages_->unsetCursor();
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
  (to_->text().isEmpty() ? static_cast<QWidget*>(to_) : body_)->setFocus(Qt::OtherFocusReason);
}

bool TMainWindow::IsLocked() const { return !pages_->isEnabled(); }

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
  if (watched == statusText_ && event->type() == QEvent::Resize) ShowStatusText();
  const bool remove = watched == Button(TFormButton::RemoveAttachment);
  if (remove && event->type() == QEvent::Shortcut) {
    emit removeByKeyRequested();
    return true;
  }
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    const bool press = remove ? key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter
                              : watched == attachments_ && key == Qt::Key_Delete;
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
