// The bare desktop window on the offscreen platform: names, captions, labels and
// hints of every control; the window's shape; button and link signals; the CP932
// guard of the text fields; locking; the close request; the status text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include "platform/SysUtils.h"
#include "app/qt/MainWindow.h"

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

const ControlCase kControls[] = {
    {"eTo", "TabSheet2", "To:", "宛名（必須）", ""},
    {"eCC", "TabSheet2", "CC: ", "写し", ""},
    {"eBCC", "TabSheet2", "BCC: ", "写し", ""},
    {"eSubject", "TabSheet2", "題名:", "題名（必須）", ""},
    {"eHomeAddr", "TabSheet2", "返信先:", "返信（必須）", ""},
    {"ListBox1", "TabSheet2", "添付:", "添付ファイルリスト", ""},
    {"reMessageText", "TabSheet2", "", "本文", ""},
    {"eSMTPServer", "TabSheet1", "Host: ", "接続先（必須）", ""},
    {"Edit2", "TabSheet1", "Port: ", "ポート番号（必須）", ""},
    {"Edit3", "TabSheet1", "UserName: ", "ユーザ名（必須）", ""},
    {"Edit4", "TabSheet1", "Password: ", "パスワード（必須）", ""},
    {"Edit5", "TabSheet1", "Name: ", "", ""},
    {"Edit11", "TabSheet1", "List to Expand: ", "", ""},
    {"Memo2", "TabSheet1", "Mailing List Members", "", ""},
    {"Button8", "TabSheet2", "", "マクロを読み込みます", "マクロ読込"},
    {"Button6", "TabSheet2", "", "送信します", "送信"},
    {"Button9", "TabSheet2", "", "全部をクリアします", "クリア"},
    {"Button4", "TabSheet2", "", "添付ファイルの追加です", "参照追加"},
    {"Button5", "TabSheet2", "", "添付ファイルを削除します", "削除"},
    {"Button1", "TabSheet1", "", "", "接続"},
    {"Button2", "TabSheet1", "", "", "切断"},
    {"Button3", "TabSheet1", "", "", "Verify"},
    {"Button7", "TabSheet1", "", "", "Expand List"},
    {"Label17", "TabSheet1", "", "", ""},
    {"Label18", "TabSheet1", "", "", ""},
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
      EXPECT_EQ(label->text(), Q(c.label));
    } else {
      EXPECT_EQ(label, nullptr);
    }
    if (*c.caption) {
      auto* button = qobject_cast<QPushButton*>(w);
      ASSERT_NE(button, nullptr);
      EXPECT_EQ(button->text(), Q(c.caption));
    }
  }
}

TEST_F(MainWindowTest, WindowShapePagesAndStatusBar) {
  EXPECT_EQ(window_.windowTitle(), Q("Tarvex"));
  EXPECT_EQ(window_.size(), QSize(442, 395));
  EXPECT_EQ(window_.minimumSize(), window_.maximumSize());  // not resizable
  Qt::WindowFlags f = window_.windowFlags();
  EXPECT_TRUE(f & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(f & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);

  QTabWidget* pages = window_.PageControl1();
  EXPECT_EQ(pages->objectName(), Q("PageControl1"));
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->tabText(0), Q("メール"));
  EXPECT_EQ(pages->tabText(1), Q("接続"));
  EXPECT_EQ(pages->currentWidget()->objectName(), Q("TabSheet2"));
  EXPECT_EQ(pages->geometry(), QRect(0, 0, 442, 395 - 19));
  EXPECT_EQ(window_.StatusBar1()->objectName(), Q("StatusBar1"));
  EXPECT_EQ(window_.StatusBar1()->geometry(), QRect(0, 395 - 19, 442, 19));
  EXPECT_FALSE(window_.StatusBar1()->isSizeGripEnabled());
}

TEST_F(MainWindowTest, FieldKindsAndInitialValues) {
  EXPECT_EQ(window_.Edit2()->text(), Q("25"));
  EXPECT_EQ(window_.Edit4()->echoMode(), QLineEdit::Password);
  TCp932PlainTextEdit* body = window_.reMessageText();
  EXPECT_EQ(body->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(body->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(body->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_NE(window_.findChild<QLabel*>(Q("TitleLabel")), nullptr);
  EXPECT_EQ(window_.findChild<QLabel*>(Q("TitleLabel"))->text(), Q("Tarvex"));
}

// The about panel covers the name, verify, expand and member-list controls.
TEST_F(MainWindowTest, AboutPanelLiesInFrontOfTheLowerConnectionControls) {
  window_.PageControl1()->setCurrentIndex(1);
  QWidget* panel = window_.AboutPanel();
  QWidget* page = Find("TabSheet1");
  for (const char* name : {"Edit5", "Button3", "Edit11", "Button7", "Memo2"}) {
    SCOPED_TRACE(name);
    QWidget* covered = Find(name);
    QPoint centre = covered->geometry().center();
    QWidget* top = page->childAt(centre);
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top == panel || panel->isAncestorOf(top));
  }
  for (const char* name : {"eSMTPServer", "Edit2", "Edit3", "Edit4", "ePasswordCommand", "cbAuth", "Button1", "Button2",
                           "cbCharset"})
    EXPECT_FALSE(panel->geometry().intersects(Find(name)->geometry())) << name;
  auto* title = window_.findChild<QLabel*>(Q("AboutName"));
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text(), Q("Tarvex"));
  EXPECT_GT(title->font().pointSize(), QApplication::font().pointSize() * 2);
  EXPECT_FALSE(window_.findChild<QLabel*>(Q("AboutBrand"))->text().isEmpty());
  EXPECT_EQ(window_.Label17()->text(), Q(TMainWindow::kHomePageAddress));
  EXPECT_EQ(window_.Label18()->text(), Q(TMainWindow::kMailAddress));
}

TEST_F(MainWindowTest, EachButtonAndLinkEmitsItsOwnSignal) {
  window_.PageControl1()->setCurrentIndex(1);
  struct Case {
    QWidget* widget;
    void (TMainWindow::*signal)();
  };
  const Case cases[] = {
      {window_.Button(1), &TMainWindow::button1Clicked}, {window_.Button(2), &TMainWindow::button2Clicked},
      {window_.Button(3), &TMainWindow::button3Clicked}, {window_.Button(4), &TMainWindow::button4Clicked},
      {window_.Button(5), &TMainWindow::button5Clicked}, {window_.Button(6), &TMainWindow::button6Clicked},
      {window_.Button(7), &TMainWindow::button7Clicked}, {window_.Button(8), &TMainWindow::button8Clicked},
      {window_.Button(9), &TMainWindow::button9Clicked}, {window_.Label17(), &TMainWindow::label17Clicked},
      {window_.Label18(), &TMainWindow::label18Clicked},
  };
  std::vector<std::unique_ptr<QSignalSpy>> spies;
  for (const auto& c : cases) spies.push_back(std::make_unique<QSignalSpy>(&window_, c.signal));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].widget->objectName().toStdString());
    if (auto* button = qobject_cast<QPushButton*>(cases[i].widget))
      button->click();  // the buttons behind the about panel cannot take a mouse click
    else
      QTest::mouseClick(cases[i].widget, Qt::LeftButton);
    for (size_t j = 0; j < spies.size(); ++j) EXPECT_EQ(spies[j]->count(), j == i ? 1 : 0) << j;
    for (auto& s : spies) s->clear();
  }
}

// Japanese typed into each kind of field arrives in the model as CP932.
TEST_F(MainWindowTest, TypedJapaneseRoundTripsToCp932) {
  Type(window_.eSubject(), Q("会議の件 ～ 第２回"));
  EXPECT_EQ(window_.eSubject()->Cp932Text(), Cp("会議の件 ～ 第２回"));
  // From iconv: 会 = 89 EF, 議 = 8B 63.
  EXPECT_EQ(window_.eSubject()->Cp932Text().substr(0, 4), std::string("\x89\xEF\x8B\x63"));

  window_.PageControl1()->setCurrentIndex(0);
  Type(window_.reMessageText(), Q("一行目"));
  QTest::keyClick(window_.reMessageText(), Qt::Key_Return);
  Type(window_.reMessageText(), Q("二行目ｶﾅ"));
  EXPECT_EQ(window_.reMessageText()->Cp932Text(), Cp("一行目\n二行目ｶﾅ"));

  window_.eHomeAddr()->SetCp932Text(Cp("山田 <yamada@tarvex.example>"));
  EXPECT_EQ(window_.eHomeAddr()->text(), Q("山田 <yamada@tarvex.example>"));
  EXPECT_EQ(window_.eHomeAddr()->Cp932Text(), Cp("山田 <yamada@tarvex.example>"));
}

// A character without a CP932 form is refused on every way in: the field keeps its
// text, and the user sees why (tool tip, status bar message, signal for the owner).
TEST_F(MainWindowTest, CharacterWithoutCp932FormIsRefusedVisibly) {
  const QString emoji = Q("😀");
  enum Way { kKey, kKeyPerHalf, kInputMethod, kPaste };
  struct Case {
    const char* field;
    Way way;
    const char* insert;
  };
  const Case cases[] = {
      {"eTo", kKey, "😀"},          {"eTo", kKeyPerHalf, "😀"}, {"eTo", kInputMethod, "😀"},
      {"eTo", kPaste, "a😀b"},      {"reMessageText", kKey, "😀"}, {"reMessageText", kKeyPerHalf, "😀"},
      {"reMessageText", kInputMethod, "😀"}, {"reMessageText", kPaste, "a😀b"}, {"eSubject", kKey, "é"},
      {"Memo2", kInputMethod, "€"},
  };
  QSignalSpy refused(&window_, &TMainWindow::fieldRefused);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " way " + std::to_string(c.way));
    QWidget* w = Find(c.field);
    window_.PageControl1()->setCurrentWidget(w->parentWidget());
    w->setFocus();
    auto text = [w] {
      if (auto* line = qobject_cast<QLineEdit*>(w)) return line->text();
      return static_cast<QPlainTextEdit*>(w)->toPlainText();
    };
    if (auto* line = qobject_cast<TCp932LineEdit*>(w)) line->SetCp932Text(Cp("件名"));
    else static_cast<TCp932PlainTextEdit*>(w)->SetCp932Text(Cp("件名"));
    QToolTip::hideText();
    window_.StatusBar1()->clearMessage();
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
    EXPECT_TRUE(window_.StatusBar1()->currentMessage().contains(shown));
  }
}

// Bytes of the model that are not CP932 show as U+FFFD and do not block other edits.
TEST_F(MainWindowTest, InvalidModelBytesDoNotBlockEditing) {
  window_.eTo()->SetCp932Text(std::string("a\x81", 2));  // a lead byte without its trail
  EXPECT_EQ(window_.eTo()->text(), Q("a\uFFFD"));
  window_.eTo()->setFocus();
  window_.eTo()->end(false);
  Type(window_.eTo(), Q("日"));
  EXPECT_EQ(window_.eTo()->text(), Q("a\uFFFD日"));
}

TEST_F(MainWindowTest, LockDisablesEveryFieldAndButtonButNotTheStatusBarOrClose) {
  QSignalSpy closeRequests(&window_, &TMainWindow::closeRequested);
  window_.SetLocked(true);
  EXPECT_TRUE(window_.IsLocked());
  for (const auto& c : kControls) EXPECT_FALSE(Find(c.name)->isEnabled()) << c.name;
  EXPECT_TRUE(window_.StatusBar1()->isEnabled());
  window_.SetStatusText(Cp("送信中 512 bytes of 1000 sent"));
  EXPECT_EQ(window_.StatusDisplayText(), Q("送信中 512 bytes of 1000 sent"));
  EXPECT_EQ(window_.StatusText(), Cp("送信中 512 bytes of 1000 sent"));

  window_.close();  // the window system's close button
  EXPECT_EQ(closeRequests.count(), 1);
  EXPECT_TRUE(window_.isVisible());  // the owner decides

  window_.SetLocked(false);
  for (const auto& c : kControls) EXPECT_TRUE(Find(c.name)->isEnabled()) << c.name;
  window_.CloseWindow();
  EXPECT_FALSE(window_.isVisible());
  EXPECT_EQ(closeRequests.count(), 1);
}

TEST_F(MainWindowTest, ListBoxItemsRoundTripAsCp932) {
  std::vector<std::string> items{Cp("/tmp/添付.txt"), Cp("/home/user/ﾃｽﾄ.dat")};
  window_.SetListBoxItems(items);
  EXPECT_EQ(window_.ListBox1()->count(), 2);
  EXPECT_EQ(window_.ListBox1()->item(0)->text(), Q("/tmp/添付.txt"));
  EXPECT_EQ(window_.ListBoxItems(), items);
}

TEST_F(MainWindowTest, ScreenshotOfTheClientArea) {
  QTemporaryDir dir;
  QString file = dir.filePath(Q("window.png"));
  ASSERT_TRUE(window_.SaveScreenshot(file));
  QImage image(file);
  EXPECT_EQ(image.size(), QSize(442, 395) * window_.devicePixelRatio());
  EXPECT_FALSE(window_.SaveScreenshot(dir.filePath(Q("missing/dir/window.png"))));
}

}  // namespace
