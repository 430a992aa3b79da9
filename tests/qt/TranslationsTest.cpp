// The window in Japanese: the program's translation and the toolkit's own load for a
// Japanese locale (and from LANG=ja_JP.UTF-8, in the run registered with it); the
// model's fixed texts show translated while the model keeps its bytes; any other
// locale keeps the texts as written.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTabWidget>
#include <cstdlib>
#include <string>

#include "app/qt/FormTexts.h"
#include "app/qt/Translations.h"
#include "platform/SysUtils.h"
#include "app/qt/MainWindow.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

QString LabelFor(const TMainWindow& w, const QWidget* field) {
  for (QLabel* label : w.findChildren<QLabel*>())
    if (label->buddy() == field) return label->text();
  return {};
}

struct Untranslate {
  ~Untranslate() { RemoveTranslations(); }
};

TEST(TranslationsTest, JapaneseLocaleTranslatesTheWindowTheModelsTextsAndTheToolkit) {
  Untranslate untranslate;
  ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
  TMainWindow window;
  EXPECT_EQ(LabelFor(window, window.eSMTPServer()), Q("ホスト:"));
  EXPECT_EQ(LabelFor(window, window.Edit3()), Q("ユーザ名:"));
  EXPECT_EQ(window.Security()->itemText(0), Q("なし"));
  EXPECT_EQ(window.Button(3)->text(), Q("確認(&V)"));
  EXPECT_EQ(window.CancelButton()->text(), Q("中止(&C)"));
  // Texts that were Japanese stay so.
  EXPECT_EQ(window.Button(1)->text(), Q("接続(&C)"));
  const struct {
    const char* model;
    const char* shown;
  } texts[] = {
      {"Disconnected", "切断しました"},
      {"Connection Failed", "接続できませんでした"},
      {"Connection Failed: 10061:Connection refused", "接続できませんでした: 接続を拒否されました (10061)"},
      {"Null Remote Address: 11001:Host not found", "接続先がありません: ホストが見つかりません (11001)"},
      {"Already connected", "すでに接続しています"},
      {"512 bytes of 1000 sent", "1000 バイト中 512 バイト送信"},
      {"Recipient \" a@example.jp\" not found", "宛先「 a@example.jp」は受け付けられませんでした"},
      {"user@example.jp not verified", "user@example.jp は確認できませんでした"},
      {"550 5.1.1 unknown user", "550 5.1.1 unknown user"},  // a server's reply as it came
      {"10061:Connection refused", "接続を拒否されました (10061)"},
      {"11001:Host not found", "ホストが見つかりません (11001)"},
      {"10111:Unknown Error No. 10111", "10111:Unknown Error No. 10111"},
      {"TLS handshake failed: 10054:Connection reset by peer",
       "TLS の接続手順に失敗しました: 相手が接続をリセットしました (10054)"},
      {"TLS handshake failed: protocol error", "TLS の接続手順に失敗しました: protocol error"},
      {"All recipients refused: a@x.jp 550 no such user; b@x.jp 450 later",
       "すべての宛先が拒否されました: a@x.jp 550 no such user; b@x.jp 450 later"},
      {"STARTTLS not offered by the server", "サーバが STARTTLS に対応していません"},
  };
  for (const auto& t : texts) EXPECT_EQ(FormDisplayText(t.model), Q(t.shown)) << t.model;
  EXPECT_EQ(FormDisplayTextCp932("Disconnected"), Utf8ToCp932("切断しました"));
  // The toolkit's own dialogs (the file chooser's and the boxes' buttons).
  QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), Q("キャンセル"));
}

// Every text a widget of the window or its about dialog shows (captions, items, tab
// names, hints, the status bar, a busy progress bar) under a Japanese locale: an
// English word left in one is a text that was not translated. Field names, protocol
// and charset names, the program's name and its addresses are the same in Japanese.
TEST(TranslationsTest, JapaneseLocaleLeavesNoEnglishWordInTheWindow) {
  Untranslate untranslate;
  ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
  TMainWindow window;
  window.SetAboutVersion(QCoreApplication::translate("TFormWindow", "Version %1").arg(Q("1.0")));
  window.SetBusy(true);
  window.SetProgress(20480, 40960);
  const QSet<QString> sameInJapanese = {
      Q("To"),    Q("CC"),    Q("BCC"),         Q("Tarvex"),      Q("Project"), Q("STARTTLS"), Q("TLS"),
      Q("PLAIN"), Q("LOGIN"), Q("XOAUTH2"),     Q("OAUTHBEARER"), Q("ISO"),     Q("JP"),       Q("UTF"),
      Q("Shift"), Q("JIS"),   Q("KB"),          Q("https"),       Q("tarvex"),  Q("example"),
  };
  QStringList texts;
  QList<QWidget*> widgets = window.findChildren<QWidget*>();
  widgets << window.AboutDialog() << &window;
  for (QWidget* w : widgets) {
    texts << w->toolTip() << w->windowTitle();
    if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) texts << button->text();
    if (auto* combo = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < combo->count(); ++i) texts << combo->itemText(i);
    if (auto* tabs = qobject_cast<QTabWidget*>(w))
      for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
  }
  texts << window.Progress()->text() << window.StatusDisplayText();
  const QRegularExpression word(Q("[A-Za-z][A-Za-z0-9]+"));
  QStringList english;
  for (const QString& text : texts)
    for (const QRegularExpressionMatch& m : word.globalMatch(text))
      if (!sameInJapanese.contains(m.captured())) english << text;
  EXPECT_TRUE(english.isEmpty()) << english.join(Q(" | ")).toStdString();
  EXPECT_EQ(window.StatusDisplayText(), Q("準備完了"));
}

TEST(TranslationsTest, OtherLocalesKeepTheTextsAsWritten) {
  Untranslate untranslate;
  EXPECT_FALSE(InstallTranslations(QLocale(QLocale::German, QLocale::Germany)));
  TMainWindow window;
  EXPECT_EQ(LabelFor(window, window.eSMTPServer()), Q("Host: "));
  EXPECT_EQ(window.Button(6)->text(), Q("送信(&S)"));
  EXPECT_EQ(window.StatusDisplayText(), Q("Ready"));
  EXPECT_EQ(FormDisplayText("Disconnected"), Q("Disconnected"));
  EXPECT_EQ(FormDisplayText("512 bytes of 1000 sent"), Q("512 bytes of 1000 sent"));
}

// Registered a second time with LANG=ja_JP.UTF-8: the system locale picks Japanese.
TEST(TranslationsTest, SystemLocaleFromLang) {
  const char* lang = std::getenv("LANG");
  if (!lang || std::string(lang).rfind("ja", 0) != 0) GTEST_SKIP() << "runs under LANG=ja_JP.UTF-8";
  Untranslate untranslate;
  ASSERT_TRUE(InstallTranslations());
  TMainWindow window;
  EXPECT_EQ(LabelFor(window, window.Edit2()), Q("ポート:"));
}

}  // namespace
