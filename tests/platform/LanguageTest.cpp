// The user's language from the locale variables: the first one set and not empty
// decides, in the order LC_ALL, LC_MESSAGES, LANG.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/Language.h"

namespace {

class Environment {
 public:
  Environment() {
    for (int i = 0; i < 3; ++i) {
      const char* value = std::getenv(kNames[i]);
      saved_[i] = value ? std::optional<std::string>(value) : std::nullopt;
    }
  }
  ~Environment() {
    for (int i = 0; i < 3; ++i) Set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  static void Set(const char* name, const char* value) {
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};

 private:
  std::optional<std::string> saved_[3];
};

TEST(LanguageTest, FirstLocaleVariableSetDecides) {
  Environment restore;
  const struct {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    TLanguage expected;
  } cases[] = {
      {nullptr, nullptr, "ja_JP.UTF-8", TLanguage::japanese},
      {nullptr, nullptr, "ja_JP.eucJP", TLanguage::japanese},
      {nullptr, nullptr, "ja", TLanguage::japanese},
      {nullptr, nullptr, "C.UTF-8", TLanguage::english},
      {nullptr, nullptr, "en_US.UTF-8", TLanguage::english},
      {nullptr, nullptr, "jam_JM", TLanguage::english},  // another language that starts with "ja"
      {nullptr, nullptr, nullptr, TLanguage::english},
      {"C.UTF-8", nullptr, "ja_JP.UTF-8", TLanguage::english},
      {"ja_JP.UTF-8", "C", "C", TLanguage::japanese},
      {nullptr, "ja_JP.UTF-8", "C.UTF-8", TLanguage::japanese},
      {nullptr, "C", "ja_JP.UTF-8", TLanguage::english},
      {"", "", "ja_JP.UTF-8", TLanguage::japanese},  // empty means not set
  };
  for (const auto& c : cases) {
    Environment::Set("LC_ALL", c.lcAll);
    Environment::Set("LC_MESSAGES", c.lcMessages);
    Environment::Set("LANG", c.lang);
    EXPECT_EQ(UserLanguage(), c.expected) << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-")
                                          << " " << (c.lang ? c.lang : "-");
  }
}

}  // namespace

namespace {

// What a line on stderr says in each language. Japanese texts are the model's own
// (the settings file keeps them); English ones are the program's fixed texts; the
// values in them (paths, the system's reason, a server's reply) stay as they are.
TEST(LanguageTest, UserTextSaysEachLineInTheLanguage) {
  const struct {
    const char* text;
    const char* english;
    const char* japanese;
  } cases[] = {
      {"必須項目を記入してください", "Fill in the required fields", "必須項目を記入してください"},
      {"/srv/t.INI に書き込めません: Permission denied", "Cannot write /srv/t.INI: Permission denied",
       "/srv/t.INI に書き込めません: Permission denied"},
      {"/srv/t.INI に書き込めません (lock held)", "Cannot write /srv/t.INI (lock held)",
       "/srv/t.INI に書き込めません (lock held)"},
      {"/srv/t.INI に書き込めません: Permission denied (the mail was sent)",
       "Cannot write /srv/t.INI: Permission denied (the mail was sent)",
       "/srv/t.INI に書き込めません: Permission denied（メールは送信済みです）"},
      // A bare macro name looked for in two places: both errors said.
      {"ファイル /a/m.txt は開けません: No such file or directory; ファイル /b/m.txt は開けません: Is a directory",
       "Cannot open file /a/m.txt: No such file or directory; Cannot open file /b/m.txt: Is a directory",
       "ファイル /a/m.txt は開けません: No such file or directory; ファイル /b/m.txt は開けません: Is a directory"},
      {"ファイル /tmp/x/temp09a.txt を作成できません: Not a directory",
       "Cannot create file /tmp/x/temp09a.txt: Not a directory",
       "ファイル /tmp/x/temp09a.txt を作成できません: Not a directory"},
      {"Connection Failed: 10061:Connection refused", "Connection Failed: 10061:Connection refused",
       "接続できませんでした: 接続を拒否されました (10061)"},
      {"Null Remote Address: 11002:Non-Authoritative Host not found",
       "Null Remote Address: 11002:Non-Authoritative Host not found",
       "接続先がありません: ホストが見つかりません（一時的な失敗） (11002)"},
      {"Null Remote Address: 11001:Host not found", "Null Remote Address: 11001:Host not found",
       "接続先がありません: ホストが見つかりません (11001)"},
      {"Host Lookup Failed: 11001:Host not found", "Host Lookup Failed: 11001:Host not found",
       "ホスト名を解決できませんでした: ホストが見つかりません (11001)"},
      {"AUTH XOAUTH2 not offered by the server", "AUTH XOAUTH2 not offered by the server",
       "サーバが AUTH XOAUTH2 に対応していません"},
      {"Connection Failed", "Connection Failed", "接続できませんでした"},
      {"Connection Failed!", "Connection Failed!", "Connection Failed!"},  // no fixed text
      {"512 bytes of 1000 sent", "512 bytes of 1000 sent", "1000 バイト中 512 バイト送信"},
      {"Recipient \"bad@x\" not found", "Recipient \"bad@x\" not found", "宛先「bad@x」は受け付けられませんでした"},
      {"a@x not verified", "a@x not verified", "a@x は確認できませんでした"},
      {"a@x verified", "a@x verified", "a@x は確認されました"},
      // The program's own lines; one that holds "; " is one text, not two.
      {"the display cannot be reached; running headless", "the display cannot be reached; running headless",
       "ディスプレイに接続できません。ウィンドウなしで実行します"},
      {"no window: tarvex-window.so: cannot open shared object file; running headless",
       "no window: tarvex-window.so: cannot open shared object file; running headless",
       "ウィンドウを開けません: tarvex-window.so: cannot open shared object file。ウィンドウなしで実行します"},
      {"no macro file given", "no macro file given", "マクロファイルが指定されていません"},
      {"unrecognized option '--foo'", "unrecognized option '--foo'", "オプション '--foo' はありません"},
      {"unknown charset \"latin1\" in TARVEX_CHARSET (cp932 or utf-8)",
       "unknown charset \"latin1\" in TARVEX_CHARSET (cp932 or utf-8)",
       "TARVEX_CHARSET の文字コード \"latin1\" は使えません (cp932 か utf-8)"},
      {"Try 'tarvex --help' for more information.", "Try 'tarvex --help' for more information.",
       "詳しくは 'tarvex --help' を見てください。"},
      // The office features' warnings and refusals; the locked log is its own text,
      // not the general one with the lock as the reason.
      {"the sent copy in /home/u/Sent cannot be made: Permission denied",
       "the sent copy in /home/u/Sent cannot be made: Permission denied",
       "送信済みメールの保存フォルダ /home/u/Sent を作成できません: Permission denied"},
      {"the sent copy in /home/u/Sent cannot be written: No space left on device",
       "the sent copy in /home/u/Sent cannot be written: No space left on device",
       "送信済みメールの控えを /home/u/Sent に保存できません: No space left on device"},
      {"the send log /var/t/send.log cannot be written (it stayed locked by another process)",
       "the send log /var/t/send.log cannot be written (it stayed locked by another process)",
       "送信ログ /var/t/send.log に書き込めません (ほかのプロセスがロックしたままです)"},
      {"the send log /var/t/send.log cannot be written: Is a directory",
       "the send log /var/t/send.log cannot be written: Is a directory",
       "送信ログ /var/t/send.log に書き込めません: Is a directory"},
      {"the server offers no delivery status notifications (DSN): none was requested, the mail goes without",
       "the server offers no delivery status notifications (DSN): none was requested, the mail goes without",
       "サーバーが配送状態通知 (DSN) に対応していないため、通知を求めずにメールを送ります"},
      {"[Mail] Signature: ファイル /no/sig.txt は開けません: No such file or directory",
       "[Mail] Signature: Cannot open file /no/sig.txt: No such file or directory",
       "[Mail] Signature: ファイル /no/sig.txt は開けません: No such file or directory"},
      {"priority: high, normal or low, not: \"urgent\"", "priority: high, normal or low, not: \"urgent\"",
       "priority: には high、normal、low のどれかを書いてください (\"urgent\" は使えません)"},
      {"header: no \"Name: value\" line: \"X-Note\"", "header: no \"Name: value\" line: \"X-Note\"",
       "header: の行が「名前: 値」の形になっていません: \"X-Note\""},
      // Texts that are no fixed text: a server's reply, a list of them, nothing.
      {"554 5.7.1 rejected as spam", "554 5.7.1 rejected as spam", "554 5.7.1 rejected as spam"},
      {"a@x 550 no such user; b@x 450 try later", "a@x 550 no such user; b@x 450 try later",
       "a@x 550 no such user; b@x 450 try later"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UserText(c.text, TLanguage::english), c.english) << c.text;
    EXPECT_EQ(UserText(c.text, TLanguage::japanese), c.japanese) << c.text;
  }
}

// Without a language named, the locale's decides.
TEST(LanguageTest, UserTextFollowsTheLocale) {
  Environment restore;
  Environment::Set("LC_ALL", nullptr);
  Environment::Set("LC_MESSAGES", nullptr);
  for (const auto& [lang, expected] : {std::pair{"ja_JP.UTF-8", "すでに接続しています"},
                                       std::pair{"C.UTF-8", "Already connected"}}) {
    Environment::Set("LANG", lang);
    EXPECT_EQ(UserText("Already connected"), expected) << lang;
  }
}

}  // namespace
