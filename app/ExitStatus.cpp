#include "app/ExitStatus.h"

#include "app/MacroReader.h"
#include "app/OfficeMail.h"
#include "app/Rw_ini.h"
#include "app/Unit1.h"
#include "jmail/MailAddress.h"
#include "platform/Dialogs.h"
#include "smtp/Lxsmtp.h"

const TExitStatusInfo kExitStatuses[] = {
    {esOk, "the run ended without error",
     "エラーなく実行を終えた"},
    {esUsage, "usage: a bad command line",
     "使い方の誤り: コマンドラインが正しくない"},
    {esMissingField, "a send found To, Subject or the sender address empty (or only blanks), an address too long for a header line or with a domain that has no ASCII (IDNA) form, a receipt:, priority: or header: line Tarvex refuses, a UTF-8 macro line does not convert, or a macro file read as Shift-JIS is UTF-8 text",
     "送信時に To、Subject、差出人アドレスのいずれかが空（または空白だけ）、アドレスが長すぎてヘッダーの 1 行に収まらないか、そのドメインに ASCII（IDNA）の形がない、Tarvex が受け付けない receipt:、priority:、header: の行がある、UTF-8 のマクロ行を変換できない、または Shift-JIS として読むマクロファイルが UTF-8 のテキストである"},
    {esNoInput, "the macro file cannot be opened",
     "マクロファイルを開けない"},
    {esUnavailable, "the server refused (5xx at any step, every recipient refused with 5xx only, a HELO refused with 5xx, a message larger than the server's SIZE limit, a Japanese mailbox name for a server without SMTPUTF8, failed authentication, no STARTTLS or AUTH, a certificate that is not trusted)",
     "サーバーが拒否した（どの段階でも 5xx、すべての宛先が 5xx だけで拒否された、HELO が 5xx で拒否された、メッセージがサーバーの SIZE の上限を超えた、SMTPUTF8 のないサーバーに日本語のメールボックス名を送ろうとした、認証に失敗した、STARTTLS や AUTH がない、証明書が信頼できない）"},
    {esSoftware, "any other error, also a server that broke the dialogue (250 to DATA, a reply whose lines carry different codes)",
     "その他のエラー。サーバーが対話の手順を守らなかった場合（DATA に 250 を返した、行ごとにコードが異なる応答）も含む"},
    {esCantCreate, "the settings file, the dump file or the result file could not be written",
     "設定ファイル、ダンプファイル、結果ファイルのいずれかに書き込めなかった"},
    {esTempFail, "temporary failure: connection failed, time-out, 4xx reply (also every recipient refused with one 4xx among them), the connection was closed, interrupted by a signal; also the end of the message sent without a usable answer (the mail may have been delivered)",
     "一時的な失敗: 接続に失敗した、タイムアウト、4xx の応答（すべての宛先が拒否され、その中に 4xx が 1 つでもある場合も）、接続が切れた、シグナルで中断した。メッセージの終わりを送った後に有効な応答がなかった場合も含む（メールは配送されたかもしれない）"},
    {esConfig, "configuration error: a settings value is not one of its known values (Security, Auth, VerifyCert, Port, Charset, Hello, Notify, Return, SendCheck) or not usable (a password command that failed, a signature file that cannot be read); nothing was sent",
     "設定エラー: 設定値が既知の値のどれでもない（Security、Auth、VerifyCert、Port、Charset、Hello、Notify、Return、SendCheck）か、使えない（パスワードコマンドが失敗した、署名ファイルを読めない）。何も送信していない"},
};
const int kExitStatusCount = sizeof kExitStatuses / sizeof kExitStatuses[0];

int ExitStatusOf(const std::exception& error) {
  if (dynamic_cast<const EMacroOpenError*>(&error)) return esNoInput;
  if (dynamic_cast<const EMacroCharsetError*>(&error)) return esDataError;
  if (dynamic_cast<const EAddressTooLong*>(&error)) return esDataError;
  if (dynamic_cast<const EMacroValueError*>(&error)) return esDataError;
  if (dynamic_cast<const EAddressDomainError*>(&error)) return esDataError;
  if (dynamic_cast<const EConfigError*>(&error)) return esConfig;
  if (dynamic_cast<const ESettingsWriteError*>(&error)) return esCantCreate;
  if (dynamic_cast<const EDumpWriteError*>(&error)) return esCantCreate;
  if (dynamic_cast<const ESettingValueError*>(&error)) return esConfig;
  // A certificate that is not trusted or for another host, a failed handshake and a
  // server without STARTTLS or AUTH stay so on a retry; a lost connection may not.
  if (auto* tls = dynamic_cast<const ETlsError*>(&error)) {
    if (tls->Kind == TTlsFailure::Lost) return esTempFail;
    return tls->Kind == TTlsFailure::Setup ? esSoftware : esUnavailable;
  }
  // How a step of the dialogue failed decides (the policy of smtp/LxsmtpPolicy.h):
  // final (a 5xx, a refused greeting, failed authentication), temporary (a 4xx, no
  // reply, a lost or timed-out connection; also an end of data without an answer,
  // where the text says the mail may be there), or a server that broke the dialogue.
  if (auto* smtp = dynamic_cast<const ESmtpError*>(&error)) {
    switch (smtp->Kind) {
      case TSmtpFailure::Final: return esUnavailable;
      case TSmtpFailure::Protocol: return esSoftware;
      case TSmtpFailure::Temporary:
      case TSmtpFailure::FateUnknown: return esTempFail;
    }
  }
  if (dynamic_cast<const ESockError*>(&error)) return esTempFail;
  if (dynamic_cast<const ENotConnected*>(&error)) return esTempFail;
  return esSoftware;
}

void TApplication::ShowException(const std::exception& error) {
  exitStatus_ = ExitStatusOf(error);
  lastError_ = error.what();
  Dialogs().MessageBox(error.what());
}

TApplication& Application() {
  static TApplication application;
  return application;
}

int ExitStatusOfRun(const TForm1& form) {
  if (form.Interrupted) return esTempFail;
  if (Application().ExitStatus() != esOk) return Application().ExitStatus();
  if (!form.ErrorMessage.empty()) return esMissingField;
  return esOk;
}
