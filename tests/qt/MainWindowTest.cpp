// The bare desktop window on the offscreen platform: names, captions, labels and
// hints of every control; the window's shape; button and link signals; the CP932
// guard of the text fields; locking; the close request; the status text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDropEvent>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QUrl>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <functional>
#include <memory>

#include "platform/SysUtils.h"
#include "app/qt/FormTexts.h"
#include "app/qt/MainWindow.h"
#include "app/qt/Translations.h"

namespace {

std::string Cp(const char* utf8) { return Utf8ToCp932(utf8); }
QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Types text into the widget, one key event per character (or per UTF-16 unit, as a
// keyboard that sends a character outside the basic plane in two halves does).
// QTest::keyClicks knows only ASCII keys.
void Type(QWidget* w, const QString& text, bool perUnit = false) {
  for (qsizetype i = 0; i < text.size();) {
    qsizetype n = !perUnit && text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, text.mid(i, n), Qt::NoModifier);
    i += n;
  }
}

// A caption or label as shown without its mnemonic: "送信(&S)" -> "送信", "&Verify" -> "Verify".
QString Plain(QString text) {
  static const QRegularExpression mnemonic(QStringLiteral("\\(&.\\)"));
  return text.remove(mnemonic).remove(QLatin1Char('&'));
}

// The label whose buddy is the widget, or null.
QLabel* LabelOf(const QWidget& window, const QWidget* field) {
  for (QLabel* label : window.findChildren<QLabel*>())
    if (label->buddy() == field) return label;
  return nullptr;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
  }
  QWidget* Find(const char* name) { return window_.findChild<QWidget*>(QString::fromLatin1(name)); }
  TMainWindow window_;
};

struct ControlCase {
  const char* name;
  const char* page;     // object name of the tab page that holds it
  const char* label;    // buddy label text ("" for none)
  const char* hint;     // tool tip ("" for none)
  const char* caption;  // button caption ("" for no button)
};

// As written (no translation installed): English.
const ControlCase kControls[] = {
    {"To", "MailPage", "To:", "Recipients (required)", ""},
    {"Cc", "MailPage", "CC: ", "Copies", ""},
    {"Bcc", "MailPage", "BCC: ", "Copies", ""},
    {"Subject", "MailPage", "Subject:", "Subject (required)", ""},
    {"SenderAddress", "MailPage", "Reply-To:", "Reply address (required)", ""},
    {"Attachments", "MailPage", "Attachments:", "Attached files", ""},
    {"Body", "MailPage", "Body:", "Message body", ""},
    {"Server", "ConnectionPage", "Host: ", "SMTP server (required)", ""},
    {"Port", "ConnectionPage", "Port: ", "Port number (required)", ""},
    {"cbSecurity", "ConnectionPage", "Security:", "Encryption (STARTTLS: port 587, TLS: port 465)", ""},
    {"cbAuth", "ConnectionPage", "AUTH:",
     "Authentication (inside TLS only). With XOAUTH2 and OAUTHBEARER the password is an access token", ""},
    {"cbCharset", "ConnectionPage", "Charset:",
     "Character set of the mail (auto: UTF-8 when a character does not fit ISO-2022-JP)", ""},
    {"UserName", "ConnectionPage", "UserName: ", "User name (required)", ""},
    {"Password", "ConnectionPage", "Password: ", "Password (required)", ""},
    {"DisplayName", "ConnectionPage", "Name: ", "", ""},
    {"ListToExpand", "ConnectionPage", "List to Expand: ", "", ""},
    {"ListMembers", "ConnectionPage", "Mailing List Members", "", ""},
    {"RunMacroButton", "MailPage", "", "Reads a macro file", "Load Macro..."},
    {"SendButton", "MailPage", "", "Sends the mail", "Send"},
    {"ClearButton", "MailPage", "", "Clears every field", "Clear"},
    {"AddAttachmentsButton", "MailPage", "", "Adds a file to attach", "Add..."},
    {"RemoveAttachmentButton", "MailPage", "", "Removes the selected attachment", "Delete"},
    {"ConnectButton", "ConnectionPage", "", "", "Connect"},
    {"DisconnectButton", "ConnectionPage", "", "", "Disconnect"},
    {"VerifyButton", "ConnectionPage", "", "", "Verify"},
    {"ExpandListButton", "ConnectionPage", "", "", "Expand List"},
    {"HomePageLink", "AboutDialog", "", "", ""},
    {"MailLink", "AboutDialog", "", "", ""},
};

TEST_F(MainWindowTest, EveryControlHasItsNamePageLabelHintAndCaption) {
  for (const auto& c : kControls) {
    SCOPED_TRACE(c.name);
    QWidget* w = Find(c.name);
    ASSERT_NE(w, nullptr);
    QWidget* page = Find(c.page);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->isAncestorOf(w));
    EXPECT_EQ(w->toolTip(), Q(c.hint));
    QLabel* label = LabelOf(window_, w);
    if (*c.label) {
      ASSERT_NE(label, nullptr);
      EXPECT_EQ(Plain(label->text()), Q(c.label));
    } else {
      EXPECT_EQ(label, nullptr);
    }
    if (*c.caption) {
      auto* button = qobject_cast<QPushButton*>(w);
      ASSERT_NE(button, nullptr);
      EXPECT_EQ(Plain(button->text()), Q(c.caption));
    }
  }
}

TEST_F(MainWindowTest, WindowShapePagesAndStatusBar) {
  EXPECT_EQ(window_.windowTitle(), Q("Tarvex"));
  // The program's icon (the theme's, else the sizes built in, the largest 256 pixels).
  EXPECT_FALSE(window_.windowIcon().isNull());
  EXPECT_TRUE(window_.windowIcon().availableSizes().contains(QSize(256, 256)));
  EXPECT_TRUE(window_.windowIcon().availableSizes().contains(QSize(16, 16)));
  EXPECT_GE(window_.width(), 442);
  EXPECT_GE(window_.height(), 395);
  EXPECT_NE(window_.minimumSize(), window_.maximumSize());  // resizable
  QTabWidget* pages = window_.Pages();
  EXPECT_EQ(pages->objectName(), Q("Pages"));
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->tabText(0), Q("Mail"));
  EXPECT_EQ(pages->tabText(1), Q("Connection"));
  EXPECT_EQ(pages->currentWidget()->objectName(), Q("MailPage"));
  EXPECT_EQ(window_.StatusBar()->objectName(), Q("StatusBar"));
  // The status bar lies below the pages, across the window.
  EXPECT_EQ(window_.StatusBar()->geometry().top(), pages->geometry().bottom() + 1);
  EXPECT_EQ(window_.StatusBar()->width(), window_.width());
  EXPECT_FALSE(window_.Progress()->isVisible());
  EXPECT_FALSE(window_.CancelButton()->isVisible());
}

// The window at its smallest and at a large size: every control of each page lies
// inside its page without overlapping another; the body takes what the window gains.
TEST_F(MainWindowTest, LayoutFitsAtTwoSizesAndTheBodyGrows) {
  const char* const mail[] = {"To",
                              "Cc",
                              "Bcc",
                              "Subject",
                              "SenderAddress",
                              "AnswerTo",
                              "cbPriority",
                              "cbReceipt",
                              "Attachments",
                              "AddAttachmentsButton",
                              "RemoveAttachmentButton",
                              "BodyLabel",
                              "Body",
                              "TitleLabel",
                              "RunMacroButton",
                              "ClearButton",
                              "SendButton"};
  const char* const connection[] = {"Server",   "Port",     "cbSecurity",    "cbAuth",
                                    "UserName", "Password", "ConnectButton", "DisconnectButton"};
  QSize bodySize[2];
  const QSize sizes[] = {window_.minimumSizeHint(), QSize(900, 700)};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    window_.resize(sizes[i]);
    for (int page = 0; page < 2; ++page) {
      window_.Pages()->setCurrentIndex(page);
      QApplication::processEvents();
      std::vector<QRect> taken;
      for (const char* name : page == 0 ? std::vector<const char*>(std::begin(mail), std::end(mail))
                                        : std::vector<const char*>(std::begin(connection), std::end(connection))) {
        QWidget* w = window_.findChild<QWidget*>(Q(name));
        ASSERT_NE(w, nullptr) << name;
        EXPECT_TRUE(w->isVisible()) << name;
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << name;
        EXPECT_GT(w->width(), 0) << name;
        for (const QRect& other : taken) EXPECT_FALSE(other.intersects(w->geometry())) << name;
        taken.push_back(w->geometry());
      }
    }
    bodySize[i] = window_.Body()->size();
  }
  EXPECT_GT(bodySize[1].height(), bodySize[0].height() + 150);
  EXPECT_GT(bodySize[1].width(), bodySize[0].width() + 300);
}

TEST_F(MainWindowTest, FieldKindsAndInitialValues) {
  EXPECT_EQ(window_.Port()->text(), Q("25"));
  EXPECT_EQ(window_.Password()->echoMode(), QLineEdit::Password);
  // The body wraps long lines (the text keeps them whole) and shows a scroll bar
  // only when its text does not fit.
  TCp932PlainTextEdit* body = window_.Body();
  body->SetCp932Text(std::string(150, 'x'));
  QApplication::processEvents();
  EXPECT_EQ(body->Cp932Text(), std::string(150, 'x'));
  EXPECT_GT(body->document()->firstBlock().layout()->lineCount(), 1);
  EXPECT_FALSE(body->horizontalScrollBar()->isVisible());
  EXPECT_FALSE(body->verticalScrollBar()->isVisible());
  body->SetCp932Text(std::string(200, '\n'));
  QApplication::processEvents();
  EXPECT_TRUE(body->verticalScrollBar()->isVisible());
  EXPECT_NE(window_.findChild<QLabel*>(Q("TitleLabel")), nullptr);
  EXPECT_EQ(window_.findChild<QLabel*>(Q("TitleLabel"))->text(), Q("Tarvex"));
}

// The program's name, version and links are in a small dialog that the connection
// page's about button opens; the page's own controls are all in sight.
TEST_F(MainWindowTest, AboutDialogOpensFromTheConnectionPage) {
  window_.Pages()->setCurrentIndex(1);
  QDialog* about = window_.AboutDialog();
  EXPECT_FALSE(about->isVisible());
  QTest::mouseClick(window_.AboutButton(), Qt::LeftButton);
  ASSERT_TRUE(about->isVisible());
  EXPECT_TRUE(about->isWindow());
  EXPECT_LT(about->width() * about->height(), window_.width() * window_.height());
  auto* title = about->findChild<QLabel*>(Q("AboutName"));
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text(), Q("Tarvex"));
  EXPECT_GT(title->font().pointSize(), QApplication::font().pointSize() * 2);
  EXPECT_FALSE(about->findChild<QLabel*>(Q("AboutBrand"))->text().isEmpty());
  EXPECT_EQ(window_.HomePageLink()->text(), Q(TMainWindow::kHomePageAddress));
  EXPECT_EQ(window_.MailLink()->text(), Q(TMainWindow::kMailAddress));
  window_.SetAboutVersion(Q("Version 9.9"));
  EXPECT_EQ(about->findChild<QLabel*>(Q("AboutVersion"))->text(), Q("Version 9.9"));
  QWidget* page = Find("ConnectionPage");
  for (const char* name : {"DisplayName", "VerifyButton", "ListToExpand", "ExpandListButton", "ListMembers"}) {
    QWidget* w = Find(name);
    EXPECT_TRUE(w->isVisible()) << name;
    QWidget* at = page->childAt(w->geometry().center());
    EXPECT_TRUE(at == w || w->isAncestorOf(at)) << name;
  }
  QTest::keyClick(about, Qt::Key_Escape);
  EXPECT_FALSE(about->isVisible());
}

TEST_F(MainWindowTest, EachButtonAndLinkEmitsItsOwnSignal) {
  window_.Pages()->setCurrentIndex(1);
  window_.ShowAbout();
  struct Case {
    QWidget* widget;
    void (TMainWindow::*signal)();
  };
  const Case cases[] = {
      {window_.Button(TFormButton::Connect), &TMainWindow::connectClicked}, {window_.Button(TFormButton::Disconnect), &TMainWindow::disconnectClicked},
      {window_.Button(TFormButton::Verify), &TMainWindow::verifyClicked}, {window_.Button(TFormButton::AddAttachments), &TMainWindow::addAttachmentsClicked},
      {window_.Button(TFormButton::RemoveAttachment), &TMainWindow::removeAttachmentClicked}, {window_.Button(TFormButton::Send), &TMainWindow::sendClicked},
      {window_.Button(TFormButton::ExpandList), &TMainWindow::expandListClicked}, {window_.Button(TFormButton::RunMacro), &TMainWindow::runMacroClicked},
      {window_.Button(TFormButton::Clear), &TMainWindow::clearClicked}, {window_.HomePageLink(), &TMainWindow::homePageClicked},
      {window_.MailLink(), &TMainWindow::mailLinkClicked},
  };
  std::vector<std::unique_ptr<QSignalSpy>> spies;
  for (const auto& c : cases) spies.push_back(std::make_unique<QSignalSpy>(&window_, c.signal));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].widget->objectName().toStdString());
    if (auto* button = qobject_cast<QPushButton*>(cases[i].widget))
      button->click();  // the buttons of the hidden page cannot take a mouse click
    else
      QTest::mouseClick(cases[i].widget, Qt::LeftButton);
    for (size_t j = 0; j < spies.size(); ++j) EXPECT_EQ(spies[j]->count(), j == i ? 1 : 0) << j;
    for (auto& s : spies) s->clear();
  }
}

// Japanese typed into each kind of field arrives in the model as CP932.
TEST_F(MainWindowTest, TypedJapaneseRoundTripsToCp932) {
  Type(window_.Subject(), Q("会議の件 ～ 第２回"));
  EXPECT_EQ(window_.Subject()->Cp932Text(), Cp("会議の件 ～ 第２回"));
  // From iconv: 会 = 89 EF, 議 = 8B 63.
  EXPECT_EQ(window_.Subject()->Cp932Text().substr(0, 4), std::string("\x89\xEF\x8B\x63"));

  window_.Pages()->setCurrentIndex(0);
  Type(window_.Body(), Q("一行目"));
  QTest::keyClick(window_.Body(), Qt::Key_Return);
  Type(window_.Body(), Q("二行目ｶﾅ"));
  EXPECT_EQ(window_.Body()->Cp932Text(), Cp("一行目\n二行目ｶﾅ"));

  window_.SenderAddress()->SetCp932Text(Cp("山田 <yamada@tarvex.example>"));
  EXPECT_EQ(window_.SenderAddress()->text(), Q("山田 <yamada@tarvex.example>"));
  EXPECT_EQ(window_.SenderAddress()->Cp932Text(), Cp("山田 <yamada@tarvex.example>"));
}

// A character without a CP932 form is refused on every way in: the field keeps its
// text, and the user sees why (tool tip, status bar message, signal for the owner)
// until the field takes its next text.
TEST_F(MainWindowTest, CharacterWithoutCp932FormIsRefusedVisibly) {
  const QString emoji = Q("😀");
  enum Way { kKey, kKeyPerHalf, kInputMethod, kPaste };
  struct Case {
    const char* field;
    Way way;
    const char* insert;
  };
  const Case cases[] = {
      {"To", kKey, "😀"},          {"To", kKeyPerHalf, "😀"}, {"To", kInputMethod, "😀"},
      {"To", kPaste, "a😀b"},      {"Body", kKey, "😀"}, {"Body", kKeyPerHalf, "😀"},
      {"Body", kInputMethod, "😀"}, {"Body", kPaste, "a😀b"}, {"Subject", kKey, "é"},
      {"ListMembers", kInputMethod, "€"},
  };
  QSignalSpy refused(&window_, &TMainWindow::fieldRefused);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " way " + std::to_string(c.way));
    QWidget* w = Find(c.field);
    window_.Pages()->setCurrentWidget(w->parentWidget());
    w->setFocus();
    auto text = [w] {
      if (auto* line = qobject_cast<QLineEdit*>(w)) return line->text();
      return static_cast<QPlainTextEdit*>(w)->toPlainText();
    };
    if (auto* line = qobject_cast<TCp932LineEdit*>(w)) line->SetCp932Text(Cp("件名"));
    else static_cast<TCp932PlainTextEdit*>(w)->SetCp932Text(Cp("件名"));
    QToolTip::hideText();
    window_.StatusBar()->clearMessage();
    refused.clear();

    QString insert = Q(c.insert);
    switch (c.way) {
      case kKey:
        Type(w, insert);
        break;
      case kKeyPerHalf:
        Type(w, insert, true);
        break;
      case kInputMethod: {
        QInputMethodEvent e;
        e.setCommitString(insert);
        QApplication::sendEvent(w, &e);
        break;
      }
      case kPaste:
        QApplication::clipboard()->setText(insert);
        QTest::keySequence(w, QKeySequence::Paste);
        break;
    }
    EXPECT_EQ(text(), Q("件名"));
    ASSERT_GE(refused.count(), 1);
    EXPECT_EQ(refused.first().at(0).toString(), Q(c.field));
    QString shown = refused.first().at(1).toString();
    EXPECT_TRUE(insert.contains(shown) && !shown.isEmpty()) << shown.toStdString();
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_TRUE(QToolTip::text().contains(shown));
    EXPECT_TRUE(window_.StatusBar()->currentMessage().contains(shown));
    // What the field takes next ends the tool tip (the toolkit fades it out in a
    // moment; left alone it would stay for 5 s).
    QInputMethodEvent next;
    next.setCommitString(Q("あ"));
    QApplication::sendEvent(w, &next);
    EXPECT_TRUE(text().contains(Q("あ")) && text().contains(Q("件名"))) << text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2500));
    // The model's next status (a send's result) is shown at once, not under the hint.
    window_.SetStatusText("Sent");
    EXPECT_TRUE(window_.StatusBar()->currentMessage().isEmpty());
  }
}

// Bytes of the model that are not CP932 show as U+FFFD and do not block other edits.
TEST_F(MainWindowTest, InvalidModelBytesDoNotBlockEditing) {
  window_.To()->SetCp932Text(std::string("a\x81", 2));  // a lead byte without its trail
  EXPECT_EQ(window_.To()->text(), Q("a\uFFFD"));
  window_.To()->setFocus();
  window_.To()->end(false);
  Type(window_.To(), Q("日"));
  EXPECT_EQ(window_.To()->text(), Q("a\uFFFD日"));
}

TEST_F(MainWindowTest, LockDisablesEveryFieldAndButtonButNotTheStatusBarOrClose) {
  QSignalSpy closeRequests(&window_, &TMainWindow::closeRequested);
  window_.SetLocked(true);
  EXPECT_TRUE(window_.IsLocked());
  // The about dialog's links open the browser only; they stay usable.
  auto onPage = [](const ControlCase& c) { return std::string(c.page) != "AboutDialog"; };
  for (const auto& c : kControls) {
    if (onPage(c)) {
      EXPECT_FALSE(Find(c.name)->isEnabled()) << c.name;
    }
  }
  EXPECT_TRUE(window_.StatusBar()->isEnabled());
  window_.SetStatusText(Cp("送信中 512 bytes of 1000 sent"));
  EXPECT_EQ(window_.StatusDisplayText(), Q("送信中 512 bytes of 1000 sent"));
  EXPECT_EQ(window_.StatusText(), Cp("送信中 512 bytes of 1000 sent"));

  window_.close();  // the window system's close button
  EXPECT_EQ(closeRequests.count(), 1);
  EXPECT_TRUE(window_.isVisible());  // the owner decides

  window_.SetLocked(false);
  for (const auto& c : kControls) {
    if (onPage(c)) {
      EXPECT_TRUE(Find(c.name)->isEnabled()) << c.name;
    }
  }
  window_.CloseWindow();
  EXPECT_FALSE(window_.isVisible());
  EXPECT_EQ(closeRequests.count(), 1);
}

// The list shows file names, the full path as the tool tip; the paths come back.
TEST_F(MainWindowTest, ListBoxShowsNamesAndKeepsThePathsAsCp932) {
  std::vector<std::string> items{Cp("/tmp/添付.txt"), Cp("/home/user/ﾃｽﾄ.dat"), Cp("相対名.bin")};
  window_.SetListBoxItems(items);
  ASSERT_EQ(window_.Attachments()->count(), 3);
  EXPECT_EQ(window_.Attachments()->item(0)->text(), Q("添付.txt"));
  EXPECT_EQ(window_.Attachments()->item(0)->toolTip(), Q("/tmp/添付.txt"));
  EXPECT_EQ(window_.Attachments()->item(1)->text(), Q("ﾃｽﾄ.dat"));
  EXPECT_EQ(window_.Attachments()->item(2)->text(), Q("相対名.bin"));
  EXPECT_EQ(window_.ListBoxItems(), items);
}

// Pastes and drops into the body insert plain text only. An X clipboard without an
// owner hands out data with no format at all, on which the toolkit's own insertion
// crashes; that, images, markup alone and files insert nothing (files are the
// window's: it attaches them).
TEST_F(MainWindowTest, BodyPasteAndDropInsertPlainTextOnly) {
  QTemporaryDir dir;
  const QString file = dir.filePath(Q("添付.txt"));
  QFile(file).open(QIODevice::WriteOnly);
  struct Case {
    const char* name;
    std::function<QMimeData*()> data;
    const char* expected;  // the body after inserting at its end
  };
  const Case cases[] = {
      {"no format (empty clipboard)", [] { return new QMimeData; }, "本文"},
      {"empty text", [] { auto* d = new QMimeData; d->setText(QString()); return d; }, "本文"},
      {"image only", [] { auto* d = new QMimeData; d->setImageData(QImage(4, 4, QImage::Format_RGB32)); return d; }, "本文"},
      {"markup only", [] { auto* d = new QMimeData; d->setHtml(Q("<b>太字</b>")); return d; }, "本文"},
      {"local file", [file] { auto* d = new QMimeData; d->setUrls({QUrl::fromLocalFile(file)}); return d; }, "本文"},
      {"plain text", [] { auto* d = new QMimeData; d->setText(Q("と追記")); return d; }, "本文と追記"},
      {"text beside markup", [] { auto* d = new QMimeData; d->setHtml(Q("<i>x</i>")); d->setText(Q("だけ")); return d; }, "本文だけ"},
  };
  TCp932PlainTextEdit* body = window_.Body();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool drop : {false, true}) {
      SCOPED_TRACE(drop ? "drop" : "paste");
      body->SetCp932Text(Cp("本文"));
      body->setFocus();
      body->moveCursor(QTextCursor::End);
      if (drop) {
        std::unique_ptr<QMimeData> data(c.data());
        const QPointF at = body->viewport()->rect().bottomRight() - QPointF(2, 2);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(body->viewport(), &enter);
        QDropEvent dropEvent(at, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(body->viewport(), &dropEvent);
      } else {
        QApplication::clipboard()->setMimeData(c.data());
        QTest::keySequence(body, QKeySequence::Paste);
      }
      EXPECT_EQ(body->toPlainText(), Q(c.expected));
    }
  }
}

// Files dropped on the window (the body included) are offered to the owner to attach;
// a drag that carries anything but local files is not taken, nor while locked.
TEST_F(MainWindowTest, DroppedFilesAreOfferedForAttaching) {
  QTemporaryDir dir;
  const QString a = dir.filePath(Q("a.png")), b = dir.filePath(Q("資料.pdf"));
  for (const QString& f : {a, b}) QFile(f).open(QIODevice::WriteOnly);
  QSignalSpy dropped(&window_, &TMainWindow::filesDropped);
  auto drop = [](QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent dropEvent(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropEvent);
    return true;
  };
  EXPECT_TRUE(drop(window_.Body()->viewport(), {QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)}));
  ASSERT_EQ(dropped.count(), 1);
  EXPECT_EQ(dropped.first().at(0).toStringList(), (QStringList{a, b}));
  EXPECT_FALSE(drop(&window_, {QUrl::fromLocalFile(a), QUrl(Q("https://tarvex.example/x"))}));
  EXPECT_FALSE(drop(&window_, {QUrl::fromLocalFile(dir.path())}));  // a folder
  window_.SetLocked(true);
  EXPECT_FALSE(drop(&window_, {QUrl::fromLocalFile(a)}));
  EXPECT_EQ(dropped.count(), 1);
}

// Tab walks each page top to bottom; the mail page ends at Send. Focus starts in To,
// or in the body when To is filled.
TEST_F(MainWindowTest, TabOrderAndFirstFocus) {
  const std::vector<const char*> mail = {"To",       "Cc",       "Bcc",      "Subject", "SenderAddress",
                                         "AnswerTo", "cbPriority", "cbReceipt", "Attachments", "AddAttachmentsButton",
                                         "RemoveAttachmentButton",   "Body", "RunMacroButton", "ClearButton", "SendButton"};
  const std::vector<const char*> connection = {"Server", "ConnectButton", "Port",
                                               "DisconnectButton",     "cbSecurity", "cbAuth",
                                               "UserName",       "Password",   "PasswordCommand", "cbCharset",
                                               "DisplayName"};
  window_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  for (int page = 0; page < 2; ++page) {
    const auto& order = page == 0 ? mail : connection;
    window_.Pages()->setCurrentIndex(page);
    Find(order[0])->setFocus();
    for (size_t i = 1; i < order.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      ASSERT_NE(QApplication::focusWidget(), nullptr);
      EXPECT_EQ(QApplication::focusWidget()->objectName(), Q(order[i])) << i;
    }
  }
  window_.Pages()->setCurrentIndex(0);
  window_.FocusFirstField();
  EXPECT_EQ(QApplication::focusWidget(), window_.To());
  window_.To()->setText(Q("to@example.jp"));
  window_.FocusFirstField();
  EXPECT_EQ(QApplication::focusWidget(), window_.Body());
}

// Ctrl+Enter sends from any field (not while locked or busy); mnemonics press their
// buttons; the remove button and Delete in the list ask the owner instead of removing.
TEST_F(MainWindowTest, KeyboardShortcutsSendAndRemoveAsks) {
  window_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  QSignalSpy send(&window_, &TMainWindow::sendClicked);
  QSignalSpy attach(&window_, &TMainWindow::addAttachmentsClicked);
  QSignalSpy remove(&window_, &TMainWindow::removeAttachmentClicked);
  QSignalSpy removeByKey(&window_, &TMainWindow::removeByKeyRequested);
  for (QWidget* w : {static_cast<QWidget*>(window_.Body()), static_cast<QWidget*>(window_.Subject())}) {
    w->setFocus();
    QTest::keyClick(w, Qt::Key_Return, Qt::ControlModifier);
    QTest::keyClick(w, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
  }
  EXPECT_EQ(send.count(), 4);
  EXPECT_EQ(window_.Body()->toPlainText(), QString());  // no line break typed
  window_.SetBusy(true);
  QTest::keyClick(window_.To(), Qt::Key_Return, Qt::ControlModifier);
  window_.SetBusy(false);
  window_.SetLocked(true);
  QTest::keyClick(window_.To(), Qt::Key_Return, Qt::ControlModifier);
  window_.SetLocked(false);
  EXPECT_EQ(send.count(), 4);

  window_.To()->setFocus();
  QTest::keyClick(window_.To(), Qt::Key_A, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return attach.count() == 1; }, 2000));  // a mnemonic clicks after a moment
  window_.Button(TFormButton::RemoveAttachment)->setFocus();
  QTest::keyClick(window_.Button(TFormButton::RemoveAttachment), Qt::Key_Space);
  QTest::keyClick(window_.Button(TFormButton::RemoveAttachment), Qt::Key_Return);
  QTest::keyClick(window_.To(), Qt::Key_D, Qt::AltModifier);
  window_.Attachments()->setFocus();
  QTest::keyClick(window_.Attachments(), Qt::Key_Delete);
  EXPECT_EQ(removeByKey.count(), 4);
  EXPECT_EQ(remove.count(), 0);
  QTest::mouseClick(window_.Button(TFormButton::RemoveAttachment), Qt::LeftButton);
  EXPECT_EQ(remove.count(), 1);
  EXPECT_EQ(removeByKey.count(), 4);
}

// Busy: progress bar and Cancel shown, Send disabled, busy cursor over the pages;
// the bar counts what was sent of the total.
TEST_F(MainWindowTest, BusyShowsProgressAndCancel) {
  QSignalSpy cancel(&window_, &TMainWindow::cancelClicked);
  window_.SetBusy(true);
  EXPECT_TRUE(window_.Progress()->isVisible());
  EXPECT_TRUE(window_.CancelButton()->isVisible());
  EXPECT_FALSE(window_.Button(TFormButton::Send)->isEnabled());
  EXPECT_EQ(window_.Pages()->cursor().shape(), Qt::BusyCursor);
  EXPECT_EQ(window_.Progress()->maximum(), 0);  // nothing to count yet
  window_.SetProgress(3899392, 4133695);
  EXPECT_EQ(window_.Progress()->value() * 100 / window_.Progress()->maximum(), 94);
  EXPECT_EQ(window_.Progress()->text(), Q("3,808 of 4,036 KB"));
  // Locked by a macro run, Cancel still works.
  window_.SetLocked(true);
  QTest::mouseClick(window_.CancelButton(), Qt::LeftButton);
  EXPECT_EQ(cancel.count(), 1);
  window_.SetLocked(false);
  window_.SetBusy(false);
  EXPECT_FALSE(window_.Progress()->isVisible());
  EXPECT_FALSE(window_.CancelButton()->isVisible());
  EXPECT_TRUE(window_.Button(TFormButton::Send)->isEnabled());
  EXPECT_EQ(window_.Pages()->cursor().shape(), Qt::ArrowCursor);
}

// A saved position is kept when the window fits on a screen there; otherwise the
// window moves onto the screen it overlaps most (shrunk to it when larger).
TEST(MainWindowPlacement, PlaceOnScreens) {
  const QList<QRect> twoScreens = {QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
  struct Case {
    const char* name;
    QRect wanted;
    QList<QRect> screens;
    QRect placed;
  };
  const Case cases[] = {
      {"inside the first", QRect(80, 80, 442, 395), twoScreens, QRect(80, 80, 442, 395)},
      {"inside the second", QRect(2000, 500, 442, 395), twoScreens, QRect(2000, 500, 442, 395)},
      {"far off every screen (to the primary)", QRect(5000, 4000, 442, 395), twoScreens, QRect(838, 405, 442, 395)},
      {"negative", QRect(-300, -50, 442, 395), twoScreens, QRect(0, 0, 442, 395)},
      {"across the bottom", QRect(100, 600, 442, 395), twoScreens, QRect(100, 405, 442, 395)},
      // Doubled scale: an 1280x800 screen is 640x400 of the window's pixels.
      {"doubled scale", QRect(246, 90, 442, 395), {QRect(0, 0, 640, 400)}, QRect(198, 5, 442, 395)},
      {"larger than the screen", QRect(10, 10, 700, 500), {QRect(0, 0, 640, 400)}, QRect(0, 0, 640, 400)},
  };
  for (const Case& c : cases) EXPECT_EQ(TMainWindow::PlaceOnScreens(c.wanted, c.screens), c.placed) << c.name;
}

TEST_F(MainWindowTest, ScreenshotOfTheClientArea) {
  QTemporaryDir dir;
  QString file = dir.filePath(Q("window.png"));
  ASSERT_TRUE(window_.SaveScreenshot(file));
  QImage image(file);
  EXPECT_EQ(image.size(), window_.size() * window_.devicePixelRatio());
  EXPECT_FALSE(window_.SaveScreenshot(dir.filePath(Q("missing/dir/window.png"))));
}

}  // namespace

namespace {

// The width a line edit gives its text (inside frame, contents margins and the
// text's own 2-pixel margins), as the style lays it out.
int TextRoom(QLineEdit* edit) {
  QStyleOptionFrame option;
  option.initFrom(edit);
  option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
  const QRect contents = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
  const QMargins margins = edit->textMargins();
  return contents.width() - margins.left() - margins.right() - 2 * 2;
}

}  // namespace

// At the window's smallest size, in English and Japanese (and at doubled scale in the
// run registered for it): the largest port shows whole, the progress text fits its
// bar on one line, a status text too long for its room ends in "…" with the whole
// text in its tool tip, and the about dialog shows the settings file's whole path
// and is wide enough for its title.
TEST(WindowTextsFit, AtTheSmallestSizeInBothLanguages) {
  for (bool japanese : {false, true}) {
    SCOPED_TRACE(japanese ? "ja" : "en");
    struct Untranslate {
      ~Untranslate() { RemoveTranslations(); }
    } untranslate;
    if (japanese) {
      ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
    }
    TMainWindow window;
    window.resize(window.minimumSizeHint());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QLineEdit* port = window.Port();
    EXPECT_LE(port->fontMetrics().horizontalAdvance(Q("65535")), TextRoom(port));

    window.SetBusy(true);
    window.SetProgress(int64_t{50} << 30, int64_t{50} << 30);  // 50 GiB
    const QString status = FormDisplayText("53687091200 bytes of 53687091200 sent");
    window.SetStatusDisplayText(status);
    QApplication::processEvents();
    QProgressBar* bar = window.Progress();
    EXPECT_LT(bar->fontMetrics().horizontalAdvance(bar->text()), bar->width() - 8) << bar->text().toStdString();
    auto* label = window.StatusBar()->findChild<QLabel*>(Q("StatusText"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(window.StatusDisplayText(), status);
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width());
    EXPECT_TRUE(label->text().endsWith(QChar(0x2026))) << label->text().toStdString();
    EXPECT_EQ(label->toolTip(), status);
    window.SetStatusDisplayText(Q("Sent"));
    EXPECT_EQ(label->text(), Q("Sent"));
    EXPECT_EQ(label->toolTip(), QString());

    const QString path = Q("/home/someone-with-a-long-name/.config/tarvex/tarvex.INI");
    window.SetAboutSettingsFile(path);
    window.ShowAbout();
    QDialog* about = window.AboutDialog();
    auto* file = about->findChild<QLabel*>(Q("AboutSettingsFile"));
    EXPECT_EQ(file->text(), path);
    EXPECT_LE(file->fontMetrics().horizontalAdvance(path), file->width());
    EXPECT_GT(about->width(), about->fontMetrics().horizontalAdvance(about->windowTitle()) + 100);
    about->hide();
  }
}
