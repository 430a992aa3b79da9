// The Qt dialogs: filter translation, and each dialog answered through the shown
// hook while the process's pump keeps running (titles, texts, answers as CP932).
#include <gtest/gtest.h>

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "platform/FileUtil.h"
#include "platform/MessagePump.h"
#include "platform/SysUtils.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtPump.h"

namespace {

std::string Cp(const char* utf8) { return Utf8ToCp932(utf8); }
QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

TEST(QtNameFiltersTest, TranslatesDescriptionPatternPairs) {
  struct Case {
    const char* filter;  // as the program gives it (UTF-8 here, CP932 when passed)
    QStringList expected;
  };
  const Case cases[] = {
      {"すべてのファイル(*.*)|*.*", {Q("すべてのファイル(*.*) (*)")}},
      {"ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt", {Q("ﾃｷｽﾄﾌｧｲﾙ(*.txt)")}},
      {"Text|*.txt|All|*.*", {Q("Text (*.txt)"), Q("All (*)")}},
      {"Sources|*.c;*.h", {Q("Sources (*.c *.h)")}},
      {"Odd|", {Q("Odd (*)")}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(QtNameFilters(Cp(c.filter)), c.expected) << c.filter;
}

class QtDialogsTest : public ::testing::Test {
 protected:
  // Answers the dialog on the next pass of the pump, as a user would.
  void AnswerWith(std::function<void(QDialog*)> answer) {
    dialogs_.SetShownHook([this, answer](QDialog* d) {
      shown_ = true;
      title_ = d->windowTitle();
      if (auto* box = qobject_cast<QMessageBox*>(d)) text_ = box->text();
      if (auto* chooser = qobject_cast<QFileDialog*>(d)) suffix_ = chooser->defaultSuffix();
      modal_ = QApplication::activeModalWidget() == d;
      QMetaObject::invokeMethod(d, [d, answer] { answer(d); }, Qt::QueuedConnection);
    });
  }
  static void Click(QDialog* d, QMessageBox::StandardButton which) {
    static_cast<QMessageBox*>(d)->button(which)->click();
  }

  QtDialogsTest() { window_.setWindowTitle(Q("Tarvex")); }

  TQtPumpGuard pump_;
  QWidget window_;  // the window the dialogs belong to; its title titles the boxes
  TQtDialogs dialogs_{&window_};
  // What the hook saw of the last dialog shown (the dialog itself is gone afterwards).
  bool shown_ = false;
  QString title_, text_, suffix_;
  bool modal_ = false;
};

TEST_F(QtDialogsTest, MessageBoxIsTitledTarvexAndShowsTheTextAsPlainText) {
  QString text;
  Qt::TextFormat format = Qt::AutoText;
  AnswerWith([&](QDialog* d) {
    auto* box = static_cast<QMessageBox*>(d);
    text = box->text();
    format = box->textFormat();
    Click(d, QMessageBox::Ok);
  });
  dialogs_.MessageBox(Cp("Recipient \" <x@example>\" not found ／ 宛先"));
  ASSERT_TRUE(shown_);
  EXPECT_EQ(title_, Q("Tarvex"));
  EXPECT_TRUE(modal_);
  EXPECT_EQ(text, Q("Recipient \" <x@example>\" not found ／ 宛先"));
  EXPECT_EQ(format, Qt::PlainText);
}

// A short text keeps the box wide enough for its whole title.
TEST_F(QtDialogsTest, ShortTextBoxesAreWideEnoughForTheTitle) {
  int messageWidth = 0, confirmWidth = 0;
  AnswerWith([&](QDialog* d) {
    messageWidth = d->width();
    Click(d, QMessageBox::Ok);
  });
  dialogs_.MessageBox("Connection Failed");
  AnswerWith([&](QDialog* d) {
    confirmWidth = d->width();
    Click(d, QMessageBox::Ok);
  });
  dialogs_.Confirm("OK?");
  EXPECT_GE(messageWidth, TQtDialogs::kMinimumBoxWidth);
  EXPECT_GE(confirmWidth, TQtDialogs::kMinimumBoxWidth);
}

TEST_F(QtDialogsTest, ConfirmAnswersTheButton) {
  for (auto [button, expected] : {std::pair{QMessageBox::Ok, true}, std::pair{QMessageBox::Cancel, false}}) {
    AnswerWith([button = button](QDialog* d) { Click(d, button); });
    EXPECT_EQ(dialogs_.Confirm("Connection Required. Connect?"), expected);
    EXPECT_EQ(title_, Q("Tarvex"));
    EXPECT_EQ(text_, Q("Connection Required. Connect?"));
  }
}

TEST_F(QtDialogsTest, InputBoxShowsTitlePromptAndAnswersCp932) {
  QString prompt;
  AnswerWith([&](QDialog* d) {
    prompt = d->findChild<QLabel*>()->text();
    auto* edit = d->findChild<QLineEdit*>(Q("InputValue"));
    EXPECT_TRUE(edit->text().isEmpty());
    edit->setText(Q("smtp.例え.example"));
    d->accept();
  });
  std::string value;
  ASSERT_TRUE(dialogs_.InputBox("Invalid Host!", "Specify a new host:", value));
  EXPECT_EQ(title_, Q("Invalid Host!"));
  EXPECT_EQ(prompt, Q("Specify a new host:"));
  EXPECT_EQ(value, Cp("smtp.例え.example"));

  // Cancel leaves the value alone.
  AnswerWith([](QDialog* d) {
    d->findChild<QLineEdit*>(Q("InputValue"))->setText(Q("other"));
    d->reject();
  });
  EXPECT_FALSE(dialogs_.InputBox("Invalid Host!", "Specify a new host:", value));
  EXPECT_EQ(value, Cp("smtp.例え.example"));
}

TEST_F(QtDialogsTest, InputBoxFieldRefusesCharactersWithoutCp932Form) {
  AnswerWith([](QDialog* d) {
    auto* edit = d->findChild<QLineEdit*>(Q("InputValue"));
    edit->setText(Q("host"));
    QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, Q("😀"), Qt::NoModifier);
    d->accept();
  });
  std::string value;
  ASSERT_TRUE(dialogs_.InputBox("Invalid Host!", "Specify a new host:", value));
  EXPECT_EQ(value, "host");
}

// The attachment chooser takes several files at once, opens in the folder it is
// given and over the window it belongs to.
TEST_F(QtDialogsTest, ChooserOfSeveralFilesOpensInItsFolderOverTheWindow) {
  QTemporaryDir dir;
  const QStringList files = {dir.filePath(Q("写真.png")), dir.filePath(Q("b.pdf"))};
  for (const QString& f : files) QFile(f).open(QIODevice::WriteOnly);
  QWidget window;
  window.setWindowTitle(Q("Tarvex"));
  window.setGeometry(200, 150, 600, 500);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  TQtDialogs dialogs(&window);
  QString openedIn;
  QPoint centre;
  QFileDialog::FileMode mode = QFileDialog::AnyFile;
  dialogs.SetShownHook([&](QDialog* d) {
    auto* chooser = static_cast<QFileDialog*>(d);
    openedIn = chooser->directory().absolutePath();
    centre = chooser->frameGeometry().center();
    mode = chooser->fileMode();
    QMetaObject::invokeMethod(chooser, [chooser, &files] {
      chooser->selectFile(QStringLiteral("\"%1\" \"%2\"").arg(QFileInfo(files[0]).fileName(),
                                                                   QFileInfo(files[1]).fileName()));
      static_cast<QDialog*>(chooser)->accept();
    }, Qt::QueuedConnection);
  });
  TFileChooser c{Cp("すべてのファイル(*.*)|*.*"), Cp("添付ファイルの指定"), "*", "", FromOsPath(dir.path().toStdString())};
  std::vector<std::string> paths;
  ASSERT_TRUE(dialogs.ChooseFiles(c, paths));
  EXPECT_EQ(mode, QFileDialog::ExistingFiles);
  EXPECT_EQ(openedIn, QDir(dir.path()).absolutePath());
  EXPECT_TRUE(window.frameGeometry().contains(centre));
  // Both files, in whatever order the chooser lists a selection typed at once.
  std::vector<std::string> expected;
  for (const QString& f : files) expected.push_back(FromOsPath(QFile::encodeName(f).toStdString()));
  std::sort(paths.begin(), paths.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(paths, expected);
}

TEST_F(QtDialogsTest, FileChooserOffersTheFilterAndAnswersACp932Path) {
  QTemporaryDir dir;
  QString wanted = dir.filePath(Q("添付.txt"));
  {
    QFile f(wanted);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QStringList filters;
  AnswerWith([&](QDialog* d) {
    auto* chooser = static_cast<QFileDialog*>(d);
    filters = chooser->nameFilters();
    chooser->setDirectory(dir.path());
    chooser->selectFile(wanted);
    static_cast<QDialog*>(chooser)->accept();  // QFileDialog::accept checks the selection
  });
  TFileChooser c{Cp("ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt"), Cp("マクロファイル"), "", "", ""};
  std::string path;
  ASSERT_TRUE(dialogs_.ChooseFile(c, path));
  EXPECT_EQ(title_, Q("マクロファイル"));
  EXPECT_EQ(filters, QStringList{Q("ﾃｷｽﾄﾌｧｲﾙ(*.txt)")});
  EXPECT_EQ(path, FromOsPath(QFile::encodeName(wanted).toStdString()));
  EXPECT_EQ(path, Cp(wanted.toUtf8().constData()));

  AnswerWith([](QDialog* d) { d->reject(); });
  std::string untouched = "keep";
  EXPECT_FALSE(dialogs_.ChooseFile(TFileChooser{Cp("すべてのファイル(*.*)|*.*"), Cp("添付ファイルの指定"), "*", "", ""},
                                   untouched));
  EXPECT_EQ(untouched, "keep");
  EXPECT_EQ(suffix_, QString());  // "*" adds nothing
}

// While a box waits for the user, the pump goes on: a message posted to a hidden
// window is dispatched, and here it is what closes the box.
TEST_F(QtDialogsTest, PumpRunsWhileABoxIsOpen) {
  struct Closer : TMessageHandler {
    bool ran = false;
    void HandleMessage(uint32_t, uintptr_t, intptr_t) override {
      ran = true;
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        box->button(QMessageBox::Ok)->click();
    }
  } closer;
  HWND window = TMessagePump::Instance().CreateWindow(&closer);
  dialogs_.SetShownHook([window](QDialog*) { TMessagePump::Instance().PostMessage(window, WM_USER, 0, 0); });
  dialogs_.MessageBox("Connection Failed");
  TMessagePump::Instance().DestroyWindow(window);
  EXPECT_TRUE(closer.ran);
}

// Shell open hands the address to the desktop: caught here by URL handlers.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls << url; }
};

TEST_F(QtDialogsTest, ShellOpenHandsAddressesToTheDesktop) {
  UrlCatcher catcher;
  for (const char* scheme : {"mailto", "https"}) QDesktopServices::setUrlHandler(Q(scheme), &catcher, "open");
  dialogs_.ShellOpen("mailto:tarvex@tarvex.example");
  dialogs_.ShellOpen("https://tarvex.example/");
  for (const char* scheme : {"mailto", "https"}) QDesktopServices::unsetUrlHandler(Q(scheme));
  ASSERT_EQ(catcher.urls.size(), 2);
  EXPECT_EQ(catcher.urls[0].toString(), Q("mailto:tarvex@tarvex.example"));
  EXPECT_EQ(catcher.urls[1].toString(), Q("https://tarvex.example/"));
}

}  // namespace

#include "QtDialogsTest.moc"
