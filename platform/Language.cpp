#include "platform/Language.h"

#include <cstdlib>
#include <string_view>

TLanguage UserLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    const std::string_view locale = value;
    // The language is the part before "_", "." or "@".
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
    return language == "ja" ? TLanguage::japanese : TLanguage::english;
  }
  return TLanguage::english;
}

namespace {

// One text in both languages. %1 and %2 stand for values (a file name, an address,
// the system's reason) that are said as they are, or, where nested, are themselves
// texts of this table. A text is looked up in the other language's column, in table
// order, so a pattern that another one contains comes after it.
struct TUserText {
  const char* english;
  const char* japanese;
  bool nested = false;
};

const TUserText kUserTexts[] = {
    // Texts the model keeps in Japanese (the settings file holds their bytes).
    {"Fill in the required fields", "必須項目を記入してください"},
    {"Cannot open file %1%2", "ファイル %1 は開けません%2", true},
    {"Cannot create file %1%2", "ファイル %1 を作成できません%2", true},
    {"%1 (the mail was sent)", "%1（メールは送信済みです）", true},
    {"Cannot write %1%2", "%1 に書き込めません%2"},
    // The program's own lines.
    {"the display cannot be reached; running headless",
     "ディスプレイに接続できません。ウィンドウなしで実行します"},
    {"the Wayland display needs the toolkit's Wayland plugin (Debian package qt6-wayland); running headless",
     "Wayland のディスプレイにはツールキットの Wayland プラグイン (Debian パッケージ qt6-wayland) "
     "が必要です。ウィンドウなしで実行します"},
    {"the toolkit's X11 plugin is not installed; running headless",
     "ツールキットの X11 プラグインがインストールされていません。ウィンドウなしで実行します"},
    {"no window: %1; running headless", "ウィンドウを開けません: %1。ウィンドウなしで実行します"},
    {"no macro file given", "マクロファイルが指定されていません"},
    {"Try 'tarvex --help' for more information.", "詳しくは 'tarvex --help' を見てください。"},
    {"unknown error", "不明なエラーです"},
    {"unrecognized option '%1'", "オプション '%1' はありません"},
    {"invalid option -- '%1'", "オプション -- '%1' はありません"},
    {"option '%1' requires an argument", "オプション '%1' には値が必要です"},
    {"option requires an argument -- '%1'", "オプション -- '%1' には値が必要です"},
    {"option '%1' doesn't allow an argument", "オプション '%1' は値をとりません"},
    {"unknown charset \"%1\" in TARVEX_CHARSET (cp932 or utf-8)",
     "TARVEX_CHARSET の文字コード \"%1\" は使えません (cp932 か utf-8)"},
    {"unknown charset \"%1\" (cp932 or utf-8)", "文字コード \"%1\" は使えません (cp932 か utf-8)"},
    {"bad --timeout \"%1\" (seconds, e.g. 30 or 2.5)", "--timeout の値 \"%1\" が正しくありません (秒数。30 や 2.5 など)"},
    {"--dump needs a file name", "--dump にはファイル名が必要です"},
    {"--no-send needs --dump FILE", "--no-send には --dump FILE が必要です"},
    {"--result needs a file name", "--result にはファイル名が必要です"},
    {"attachment not sent (missing): %1", "添付ファイルがないため送りませんでした: %1"},
    {"attachment not sent (unreadable): %1", "添付ファイルを読めないため送りませんでした: %1"},
    {"attachment not sent (not a regular file): %1", "添付ファイルが通常のファイルでないため送りませんでした: %1"},
    {"%1 is UTF-8 text, not Shift-JIS (CP932), the default: run with --charset utf-8 "
     "(or --charset cp932 to send it as Shift-JIS anyway)",
     "%1 は既定の Shift-JIS (CP932) ではなく UTF-8 のテキストです。--charset utf-8 を付けて実行してください"
     " (Shift-JIS のまま送るには --charset cp932)"},
    {"%1 bytes of %2 sent", "%2 バイト中 %1 バイト送信"},
    // What the office features say: the sent copy and the send log that could not be
    // kept (a warning; the mail went out), the delivery notifications a server does
    // not offer, the signature file and the macro's office values.
    {"the sent copy in %1 cannot be made%2", "送信済みメールの保存フォルダ %1 を作成できません%2"},
    {"the sent copy in %1 cannot be written%2", "送信済みメールの控えを %1 に保存できません%2"},
    {"the send log %1 cannot be written (it stayed locked by another process)",
     "送信ログ %1 に書き込めません (ほかのプロセスがロックしたままです)"},
    {"the send log %1 cannot be written%2", "送信ログ %1 に書き込めません%2"},
    {"the server offers no delivery status notifications (DSN): none was requested, the mail goes without",
     "サーバーが配送状態通知 (DSN) に対応していないため、通知を求めずにメールを送ります"},
    {"[Mail] Signature: %1", "[Mail] Signature: %1", true},
    {"priority: high, normal or low, not: %1", "priority: には high、normal、low のどれかを書いてください (%1 は使えません)"},
    {"receipt: yes or no, not: %1", "receipt: には yes か no を書いてください (%1 は使えません)"},
    {"header: a line break or control character in the header line: %1",
     "header: のヘッダ行に改行または制御文字が含まれています: %1"},
    {"header: no \"Name: value\" line: %1", "header: の行が「名前: 値」の形になっていません: %1"},
    {"header: not a header field name: %1", "header: のフィールド名として使えない名前です: %1"},
    {"header: a field Tarvex writes itself or that has its own place: %1",
     "header: には Tarvex が自分で書くフィールドや、専用の欄があるフィールドは指定できません: %1"},
    // The model's fixed texts that a run without a window says (its boxes, its errors).
    {"Connection Failed", "接続できませんでした"},
    {"Already connected", "すでに接続しています"},
    {"Connection Required. Connect?", "接続していません。接続しますか？"},
    {"Header Incomplete.", "ヘッダーが不完全です。"},
    {"Invalid Host!", "ホスト名が正しくありません"},
    {"Not Connected", "接続していません"},
    {"Connection Timed out", "接続がタイムアウトしました"},
    {"Connection Canceled", "接続を中止しました"},
    {"Host Lookup Failed", "ホスト名を解決できませんでした"},
    {"Host Lookup Timed Out", "ホスト名の解決がタイムアウトしました"},
    {"Host Lookup Canceled", "ホスト名の解決を中止しました"},
    {"Null Remote Address", "接続先がありません"},
    {"Socket send aborted", "送信を中止しました"},
    {"Socket readln aborted", "サーバーの応答待ちを中止しました"},
    {"Authentication failed", "認証に失敗しました"},
    {"Incomplete Header", "ヘッダが不完全です"},
    {"STARTTLS not offered by the server", "サーバが STARTTLS に対応していません"},
    {"AUTH PLAIN or LOGIN not offered by the server", "サーバが AUTH PLAIN にも LOGIN にも対応していません"},
    {"AUTH %1 not offered by the server", "サーバが AUTH %1 に対応していません"},
    {"SMTP AUTH needs Security starttls or tls: the password is never sent unencrypted",
     "SMTP AUTH には暗号化（STARTTLS または TLS）が必要です。パスワードを暗号化せずに送ることはありません"},
    {"TLS set-up failed", "TLS の準備に失敗しました"},
    {"Recipient \"%1\" not found", "宛先「%1」は受け付けられませんでした"},
    {"%1 not verified", "%1 は確認できませんでした"},
    {"%1 verified", "%1 は確認されました"},
    {"%1 not Exist", "%1 がありません"},
    {"All recipients refused: %1", "すべての宛先が拒否されました: %1"},
    {"Connection Failed: %1", "接続できませんでした: %1", true},
    {"Null Remote Address: %1", "接続先がありません: %1", true},
    {"Host Lookup Failed: %1", "ホスト名を解決できませんでした: %1", true},
    {"TLS handshake failed: %1", "TLS の接続手順に失敗しました: %1", true},
    {"TLS session failed: %1", "TLS の通信に失敗しました: %1", true},
    {"TLS is not available: %1", "TLS を使えません: %1"},
    {"Server certificate not trusted: %1", "サーバの証明書を信頼できません: %1"},
    {"Server certificate is for another host, not %1", "サーバの証明書は別のホストのもので、%1 のものではありません"},
    {"The %1 address is too long for a mail header line %2", "%1 のアドレスがメールのヘッダ行には長すぎます %2"},
    // Socket errors ("10061:Connection refused") of the network and the name lookup.
    {"%1:Network is down", "ネットワークが停止しています (%1)"},
    {"%1:Network is unreachable", "ネットワークに到達できません (%1)"},
    {"%1:Network dropped connection or reset", "ネットワークが接続を切りました (%1)"},
    {"%1:Software caused connection abort", "接続が中断されました (%1)"},
    {"%1:Connection reset by peer", "相手が接続をリセットしました (%1)"},
    {"%1:Connection timed out", "接続がタイムアウトしました (%1)"},
    {"%1:Connection refused", "接続を拒否されました (%1)"},
    {"%1:Host is down", "ホストが停止しています (%1)"},
    {"%1:No route to Host", "ホストへの経路がありません (%1)"},
    {"%1:Non-Authoritative Host not found", "ホストが見つかりません（一時的な失敗） (%1)"},
    {"%1:Host not found", "ホストが見つかりません (%1)"},
    {"%1:Non-Recoverable error: FORMERR, REFUSED, NOTIMP", "名前解決で回復できないエラーが起きました (%1)"},
    {"%1:Valid name, no data record of requested type", "名前はありますが、アドレスが登録されていません (%1)"},
    // Last: two texts joined (a macro file missing in both of its places).
    {"%1; %2", "%1; %2", true},
};

// The position of the next "%1" or "%2" in pattern from pos on; npos when none.
size_t NextValue(std::string_view pattern, size_t pos) {
  for (size_t at = pattern.find('%', pos); at != std::string_view::npos; at = pattern.find('%', at + 1))
    if (at + 1 < pattern.size() && (pattern[at + 1] == '1' || pattern[at + 1] == '2')) return at;
  return std::string_view::npos;
}

// Whether text reads as pattern; fills values with what stands for %1 and %2. The
// pattern's first text starts the text and its last one ends it; a text between
// two values is found at its first place.
bool Matches(std::string_view pattern, std::string_view text, std::string (&values)[2]) {
  size_t p = 0, t = 0;
  int open = -1;  // the value whose end the next fixed text marks
  while (true) {
    const size_t mark = NextValue(pattern, p);
    const std::string_view fixed =
        pattern.substr(p, mark == std::string_view::npos ? std::string_view::npos : mark - p);
    if (open < 0) {
      if (text.substr(t, fixed.size()) != fixed) return false;
      t += fixed.size();
    } else if (mark == std::string_view::npos) {
      if (text.size() - t < fixed.size() || text.substr(text.size() - fixed.size()) != fixed) return false;
      values[open] = text.substr(t, text.size() - fixed.size() - t);
      t = text.size();
    } else {
      const size_t found = text.find(fixed, t);
      if (found == std::string_view::npos) return false;
      values[open] = text.substr(t, found - t);
      t = found + fixed.size();
    }
    if (mark == std::string_view::npos) return t == text.size();
    open = pattern[mark + 1] - '1';
    p = mark + 2;
  }
}

// pattern with %1 and %2 replaced by values.
std::string Fill(std::string_view pattern, const std::string (&values)[2]) {
  std::string out;
  size_t p = 0;
  for (size_t mark; (mark = NextValue(pattern, p)) != std::string_view::npos; p = mark + 2)
    out.append(pattern.substr(p, mark - p)).append(values[pattern[mark + 1] - '1']);
  return out.append(pattern.substr(p));
}

}  // namespace

std::string UserText(const std::string& utf8, TLanguage language) {
  const bool japanese = language == TLanguage::japanese;
  for (const TUserText& entry : kUserTexts) {
    std::string values[2];
    if (!Matches(japanese ? entry.english : entry.japanese, utf8, values)) continue;
    if (entry.nested)
      for (std::string& value : values) value = UserText(value, language);
    return Fill(japanese ? entry.japanese : entry.english, values);
  }
  return utf8;
}
