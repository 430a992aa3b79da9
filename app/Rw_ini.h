// The settings and result file: the connection data and window position kept from
// one run to the next, and how the last run ended (Result section). Read once when
// the form is created, written once when it closes.
#pragma once

#include <cstdint>
#include <string>

#include "app/MailSend.h"
#include "platform/SysUtils.h"
#include "smtp/Lxsmtp.h"

class TForm1;

// The settings file could not be written ("FILE に書き込めません").
class ESettingsWriteError : public Exception { using Exception::Exception; };
// A settings value is not one of its known values; the message names key and value.
class EConfigError : public Exception { using Exception::Exception; };
// A settings value cannot be used as it stands (a password command that fails).
class ESettingValueError : public Exception { using Exception::Exception; };

// The longest a password command may run: two minutes, or the time-out when shorter.
constexpr int kPasswordCommandLimitMs = 120000;

// Runs the PasswordCommand setting and returns the first line it prints (its
// bytes as they are). Throws ESettingValueError, with the command's error output,
// when it cannot run, ends with a status other than 0, runs past its limit
// (kPasswordCommandLimitMs, or timeOutMs when that is positive and shorter) or prints
// an empty first line; EAbortError when a stop was requested (a termination signal).
// A command cut short goes with its whole process group.
std::string RunPasswordCommand(const std::string& command, int32_t timeOutMs = 0);

// The settings file's full name (CP932): the file named by the environment
// variable TARVEX_INI when it is set and not empty (made absolute against the
// current folder); else the file beside the executable (its full path with the
// extension replaced by ".INI", or ".INI" appended) when this user may write it, or
// when there is none and the executable's folder is writable and lies outside /usr
// (/usr/local included) and /opt; else
// $XDG_CONFIG_HOME/tarvex/tarvex.INI (~/.config/tarvex/tarvex.INI). Makes nothing:
// the folder is made (mode 0700) when the file is first written or checked.
std::string SettingsFileName();

// The integer rule of the settings file: "0x" or "0X" followed by hexadecimal
// digits (text longer than two bytes), else a decimal integer with an optional
// sign; def when the text does not convert or leaves the 32-bit range.
int32_t IniStrToInt(const std::string& text, int32_t def);

// Every key of the settings file, in the order SaveSettings writes them (TimeOut and
// Hello, which are only read, stand after Port; Notify and Return, only read, after
// Charset; SentFolder, Log, Signature, OwnDomains and SendCheck, only read, at the
// end).
enum TSetting : int {
  stTop, stLeft, stIPAdr, stMailAdr, stUser, stPwd, stMailRes, stErrMes,
  stStatus, stError, stRefused, stMissing, stPort, stTimeOut, stHello, stSecurity, stAuth, stVerifyCert, stCAFile,
  stPasswordCommand, stCharset, stNotify, stReturn, stWidth, stHeight, stAttachDir, stSentFolder, stLog, stWarning, stSignature, stOwnDomains,
  stSendCheck, stSettingCount
};

// One key of the settings file: which it is, its section, its name, the value a
// missing or empty key reads as, and what it holds (as the manual page documents it).
struct TSettingKey {
  TSetting Id;
  const char* Section;
  const char* Key;
  const char* Default;
  const char* Meaning;
};
// Indexed by TSetting: each entry stands at its own Id (checked where it is defined).
extern const TSettingKey kSettingKeys[stSettingCount];

// A setting that names one of a few values (ASCII case ignored, empty is the first
// value). It is read once, when the settings are loaded; its text is kept as read,
// so that closing writes it back as it was and a connect refuses an unknown text by
// name.
template <class T>
struct TChoiceSetting {
  T Value{};
  std::string Text;   // as the settings file holds it; a choice in the window gives the value's word
  bool Known = true;  // false: Text names no value (Value is then the first one)
  bool operator==(const TChoiceSetting&) const = default;
};
using TSecuritySetting = TChoiceSetting<TSmtpSecurity>;
using TAuthSetting = TChoiceSetting<TSmtpAuth>;
using TCharsetSetting = TChoiceSetting<TCharsetChoice>;
using THelloSetting = TChoiceSetting<bool>;  // true: EHLO first

// The Security ("none", "starttls", "tls") and Auth ("none", "auto", "plain",
// "login", "xoauth2", "oauthbearer") settings as read.
TSecuritySetting ParseSecuritySetting(const std::string& text);
TAuthSetting ParseAuthSetting(const std::string& text);
// The Charset setting ("auto", "iso-2022-jp", "utf-8") as read.
TCharsetSetting ParseCharsetSetting(const std::string& text);
// The Hello setting ("ehlo", "helo") as read.
THelloSetting ParseHelloSetting(const std::string& text);
// The setting that chooses a value, with the value's word as its text.
TSecuritySetting SecurityChoice(TSmtpSecurity value);
TAuthSetting AuthChoice(TSmtpAuth value);
TCharsetSetting CharsetChoice(TCharsetChoice value);

// The component's value of a setting. Throws Exception naming the key and the text
// for a text that names no value: a protected dialogue never falls back to a plain one.
TSmtpSecurity SmtpSecurityOf(const TSecuritySetting& setting);
TSmtpAuth SmtpAuthOf(const TAuthSetting& setting);
// The component's UseEhlo of the Hello setting. Throws like SmtpSecurityOf.
bool SmtpUseEhloOf(const THelloSetting& setting);
// The component's DsnNotify of a [Mail] Notify text: "" (the server's default), "never"
// or any of "success", "failure" and "delay" separated by commas (ASCII case and blanks
// around the words ignored), in upper case. Throws EConfigError naming the key and the
// text for any other text.
std::string DsnNotifyOf(const std::string& text);
// The component's DsnReturn of a [Mail] Return text: "" (the server's default),
// "headers" (HDRS) or "full" (FULL). Throws like DsnNotifyOf.
std::string DsnReturnOf(const std::string& text);
// The send's value of the Charset setting. Throws Exception naming the key and the
// text for a text that names no value, before anything is sent.
TCharsetChoice CharsetChoiceOf(const TCharsetSetting& setting);
// The same for a text (read as the settings file's text is read).
TSmtpSecurity SmtpSecurityOf(const std::string& text);
TSmtpAuth SmtpAuthOf(const std::string& text);

// Reads every key of kSettingKeys except the Result section into the form's
// FormTop, FormLeft, Server, SenderAddress, UserName, Password, Port (the integer
// as decimal text), TimeOut (a negative time-out reads as 0), SmtpSecurity,
// SmtpAuth, VerifyCert (any other integer than 0 verifies), CAFile,
// PasswordCommand, MailCharsetSetting, FormWidth, FormHeight and AttachDir, with
// the table's default for whatever is missing (or empty). Never creates the file
// and never throws for file trouble.
void LoadSettings(TForm1& form);

// Writes the keys of kSettingKeys in their order from the form's state (a Port
// text that is no integer as 25), except
// SMTP/TimeOut (only read: the form cannot change it, and a file without it stays
// without it), in one atomic save; the Result keys Status, Error, Refused and
// Missing tell how the run ended (ExitStatusOfRun, its error on one line).
// Throws ESettingsWriteError when the save fails; the file then keeps its content.
// With a result file (RunOptions().resultPath) the Result keys also go, atomically,
// to that file of their own, also when the settings file could not be saved (its
// Status and Error then tell that fault when it becomes the run's status); throws
// ESettingsWriteError naming it when that fails.
void SaveSettings(const TForm1& form);

// Writes only the result file of the run (RunOptions().resultPath; nothing without
// one), as SaveSettings would: for a run that ends without saving its settings
// (the settings file could not be written before anything was sent); a result file
// that cannot be written is left alone (the run's check said so). Throws
// ESettingsWriteError naming it when writing it fails.
void SaveResult(const TForm1& form);

// Throws ESettingsWriteError when the settings file cannot be written (an existing
// file opens for writing, a missing one is created empty; the content is never
// changed; a link of another user in a shared sticky folder, or a folder lock that
// another process keeps past its bound, fail with the reason): a run checks it
// before it sends anything.
void CheckSettingsWritable();

// Throws ESettingsWriteError naming file when the --result file could not be
// written at the end of the run (its folder takes no new file of this user, or it
// is no regular file). Creates nothing.
void CheckResultWritable(const std::string& file);
