// The window in one language: the program's translation and the toolkit's own load
// for a Japanese locale (and from LANG=ja_JP.UTF-8, in the run registered with it);
// the model's fixed texts show translated while the model keeps its bytes; any other
// locale shows every text in English. Every control has a name a screen reader speaks.
#include <gtest/gtest.h>

#include <QAccessible>
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
#include "platform/Language.h"
#include "platform/SysUtils.h"
#include "app/Unit1.h"
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
  EXPECT_EQ(LabelFor(window, window.Server()), Q("ホスト:"));
  EXPECT_EQ(LabelFor(window, window.UserName()), Q("ユーザ名:"));
  EXPECT_EQ(window.Security()->itemText(0), Q("なし"));
  EXPECT_EQ(window.Button(TFormButton::Verify)->text(), Q("確認(&V)"));
  EXPECT_EQ(window.CancelButton()->text(), Q("中止(&C)"));
  // Texts that were Japanese stay so.
  EXPECT_EQ(window.Button(TFormButton::Connect)->text(), Q("接続(&C)"));
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
// Every text the window and its about dialog show: captions, items, tab names,
// hints, titles, the status bar and a busy progress bar's text.
QStringList WindowTexts(TMainWindow& window) {
  window.SetAboutVersion(QCoreApplication::translate("TFormWindow", "Version %1").arg(Q("1.0")));
  window.SetBusy(true);
  window.SetProgress(20480, 40960);
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
  texts.removeAll(QString());
  return texts;
}

TEST(TranslationsTest, JapaneseLocaleLeavesNoEnglishWordInTheWindow) {
  Untranslate untranslate;
  ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
  TMainWindow window;
  const QSet<QString> sameInJapanese = {
      Q("To"),    Q("CC"),    Q("BCC"),         Q("Tarvex"),      Q("Project"), Q("STARTTLS"), Q("TLS"),
      Q("PLAIN"), Q("LOGIN"), Q("XOAUTH2"),     Q("OAUTHBEARER"), Q("ISO"),     Q("JP"),       Q("UTF"),
      Q("Shift"), Q("JIS"),   Q("KB"),          Q("https"),       Q("tarvex"),  Q("example"),  Q("AUTH"),
  };
  const QRegularExpression word(Q("[A-Za-z][A-Za-z0-9]+"));
  QStringList english;
  for (const QString& text : WindowTexts(window))
    for (const QRegularExpressionMatch& m : word.globalMatch(text))
      if (!sameInJapanese.contains(m.captured())) english << text;
  EXPECT_TRUE(english.isEmpty()) << english.join(Q(" | ")).toStdString();
  EXPECT_EQ(window.StatusDisplayText(), Q("準備完了"));
}

// Any other locale shows the window in English, every part of it: not one Japanese
// character in a caption, hint or title; the model's Japanese texts show in English
// too, while the model keeps their bytes.
TEST(TranslationsTest, OtherLocalesShowEveryTextInEnglish) {
  Untranslate untranslate;
  EXPECT_FALSE(InstallTranslations(QLocale(QLocale::German, QLocale::Germany)));
  TMainWindow window;
  EXPECT_EQ(LabelFor(window, window.Server()), Q("Host: "));
  EXPECT_EQ(window.Button(TFormButton::Send)->text(), Q("&Send"));
  const QRegularExpression japanese(Q("[\\x{3000}-\\x{9FFF}\\x{FF00}-\\x{FFEF}]"));
  QStringList notEnglish;
  for (const QString& text : WindowTexts(window))
    if (text.contains(japanese)) notEnglish << text;
  EXPECT_TRUE(notEnglish.isEmpty()) << notEnglish.join(Q(" | ")).toStdString();
  const struct {
    std::string model;
    const char* shown;
  } texts[] = {
      {"Disconnected", "Disconnected"},
      {"512 bytes of 1000 sent", "512 bytes of 1000 sent"},
      {TForm1::MissingFieldText(), "Fill in the required fields"},
      {Utf8ToCp932("/home/u/.config/tarvex/tarvex.INI に書き込めません"), "Cannot write /home/u/.config/tarvex/tarvex.INI"},
      {Utf8ToCp932("すべてのファイル(*.*)"), "All files (*.*)"},
  };
  for (const auto& t : texts) EXPECT_EQ(FormDisplayText(t.model), Q(t.shown)) << t.model;
  EXPECT_EQ(TForm1::MissingFieldText(), Utf8ToCp932("必須項目を記入してください"));
}

// Under a Japanese locale the model's Japanese texts show as they are.
TEST(TranslationsTest, JapaneseLocaleShowsTheModelsJapaneseTextsAsTheyAre) {
  Untranslate untranslate;
  ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
  for (const char* text : {"必須項目を記入してください", "すべてのファイル(*.*)", "ﾃｷｽﾄﾌｧｲﾙ(*.txt)", "添付ファイルの指定",
                           "/tmp/t.INI に書き込めません"})
    EXPECT_EQ(FormDisplayText(Utf8ToCp932(text)), Q(text)) << text;
}

// The window and a run without one (stderr, platform/Language.cpp) say the model's
// texts in the same words, in either language; only a socket error keeps on stderr
// in English the form scripts read ("10061:Connection refused").
TEST(TranslationsTest, WindowAndStderrSayTheModelsTextsAlike) {
  Untranslate untranslate;
  const struct {
    std::string model;
    bool sameInEnglish;
  } texts[] = {
      {TForm1::MissingFieldText(), true},
      {Utf8ToCp932("/tmp/t.INI に書き込めません: Permission denied"), true},
      {"Connection Failed: 10061:Connection refused", false},
      {"Null Remote Address: 11001:Host not found", false},
      {"TLS handshake failed: 10054:Connection reset by peer", false},
      {"Authentication failed", true},
      {"Recipient \"a@example.jp\" not found", true},
      {"All recipients refused: a@x 550 no such user", true},
      {"STARTTLS not offered by the server", true},
      {"Server certificate is for another host, not mail.example.jp", true},
      {"512 bytes of 1000 sent", true},
  };
  for (const auto& t : texts) {
    if (t.sameInEnglish) {
      EXPECT_EQ(FormDisplayText(t.model).toStdString(), UserText(Cp932ToUtf8(t.model), TLanguage::english)) << t.model;
    }
  }
  ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
  for (const auto& t : texts)
    EXPECT_EQ(FormDisplayText(t.model).toStdString(), UserText(Cp932ToUtf8(t.model), TLanguage::japanese)) << t.model;
}

// The name a screen reader speaks for a control: the text of the label the control
// is labelled by (a box's own name on Linux is its current value, so readers speak
// its label from this relation), else the control's accessible name.
QString SpokenName(QWidget* w) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  if (!a) return {};
  for (const auto& [label, relation] : a->relations(QAccessible::Label)) {
    Q_UNUSED(relation);
    QString text = label->text(QAccessible::Name);
    text.remove(QRegularExpression(Q("\\(&.\\)|&")));
    return text.trimmed().remove(QRegularExpression(Q("[:：]$"))).trimmed();
  }
  return a->text(QAccessible::Name);
}

// Every control a screen reader reaches has a name it speaks, never its value: the
// fields, boxes and the list take their labels' texts, buttons their captions.
TEST(TranslationsTest, EveryControlHasAnAccessibleName) {
  for (bool japanese : {false, true}) {
    Untranslate untranslate;
    if (japanese) {
      ASSERT_TRUE(InstallTranslations(QLocale(QLocale::Japanese, QLocale::Japan)));
    }
    TMainWindow window;
    window.show();
    QStringList unnamed;
    for (QWidget* w : window.findChildren<QWidget*>()) {
      // The tab widget hands its focus to its tab bar, whose tabs are named.
      if (w->focusPolicy() == Qt::NoFocus || qobject_cast<QTabWidget*>(w)) continue;
      if (SpokenName(w).trimmed().isEmpty()) unnamed << w->objectName() + Q(" ") + Q(w->metaObject()->className());
    }
    EXPECT_TRUE(unnamed.isEmpty()) << japanese << ": " << unnamed.join(Q(", ")).toStdString();
    const struct {
      QWidget* control;
      const char* english;
      const char* japanese;
    } names[] = {{window.Security(), "Security", "暗号化"},
                 {window.Auth(), "AUTH", "認証"},
                 {window.Charset(), "Charset", "文字コード"},
                 {window.Attachments(), "Attachments", "添付"},
                 {window.Port(), "Port", "ポート"}};
    for (const auto& n : names) EXPECT_EQ(SpokenName(n.control), Q(japanese ? n.japanese : n.english));
  }
}

// Registered a second time with LANG=ja_JP.UTF-8: the system locale picks Japanese.
TEST(TranslationsTest, SystemLocaleFromLang) {
  const char* lang = std::getenv("LANG");
  if (!lang || std::string(lang).rfind("ja", 0) != 0) GTEST_SKIP() << "runs under LANG=ja_JP.UTF-8";
  Untranslate untranslate;
  ASSERT_TRUE(InstallTranslations());
  TMainWindow window;
  EXPECT_EQ(LabelFor(window, window.Port()), Q("ポート:"));
}

}  // namespace
