#include "app/Rw_ini.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "app/ExitStatus.h"
#include "app/Unit1.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"
#include "platform/Profile.h"
#include "platform/ShellCommand.h"

namespace {
// True when this user may write path (a file or a folder).
bool Writable(const std::string& path) { return ::access(ToOsPath(path).c_str(), W_OK) == 0; }

// The user's settings folder for Tarvex: $XDG_CONFIG_HOME/tarvex, or
// $HOME/.config/tarvex.
std::string UserSettingsFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::string base = xdg && *xdg == '/' ? xdg : std::string(home && *home ? home : "") + "/.config";
  return FromOsPath(base + "/tarvex");
}

// The user's settings folder, made with mode 0700 (its parents as well) when the
// file lies there and the folder is missing, before the file is written or checked
// for writing: naming the file (--help, the about dialog) makes nothing, and a
// folder named by TARVEX_INI is never made.
void MakeSettingsFolder(const std::string& file) {
  if (ExtractFilePath(file) != UserSettingsFolder() + "/") return;
  const std::string folder = ToOsPath(ExtractFilePath(file));
  for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
    ::mkdir(folder.substr(0, slash).c_str(), 0700);  // an existing folder stays as it is
}

}  // namespace

std::string SettingsFileName() {
  const char* env = std::getenv("TARVEX_INI");
  if (env && *env) {
    std::string path = env;
    if (path[0] != '/') {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + (cwd[1] ? "/" : "") + path;
    }
    return FromOsPath(path);
  }
  const std::string exe = ExePath();
  const std::string name = ExtractFileName(exe);
  const size_t dot = name.rfind('.');
  const std::string beside =
      dot == std::string::npos ? exe + ".INI" : exe.substr(0, exe.size() - name.size() + dot) + ".INI";
  // A copied or portable program keeps its settings with it; an installed one keeps
  // each user's in that user's folder. A program under /usr, /usr/local or /opt is an
  // installed one even for root, who may write there: a file made beside it would
  // hold root's password in a system folder that no package removes. A file already
  // there is still used.
  const bool installed = ExeDir().starts_with("/usr/") || ExeDir().starts_with("/opt/");
  if (FileExists(beside) ? Writable(beside) : !installed && Writable(ExeDir())) return beside;
  return UserSettingsFolder() + "/tarvex.INI";
}

int32_t IniStrToInt(const std::string& text, int32_t def) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    int32_t value = 0;
    const char* first = text.data() + 2;
    const char* last = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value, 16);
    // from_chars accepts a minus sign; a hexadecimal value has none.
    if (ec != std::errc() || ptr != last || *first == '-') return def;
    return value;
  }
  return StrToIntDef(text, def);
}

constexpr TSettingKey kSettingKeys[stSettingCount] = {
    {stTop, "Pos", "Top", "80", "the window's top edge, in pixels"},
    {stLeft, "Pos", "Left", "80", "the window's left edge, in pixels"},
    {stIPAdr, "ConInf", "IPAdr", "", "the SMTP server's host name or address"},
    {stMailAdr, "ConInf", "MailAdr", "", "the sender address"},
    {stUser, "ConInf", "User", "",
     "the user name: the EHLO or HELO argument with Security=none, and the login name of AUTH"},
    {stPwd, "ConInf", "Pwd", "", "the password (or token) of AUTH, kept in plain text; unused with PasswordCommand"},
    {stMailRes, "Result", "MailRes", "", "written at exit for the calling program; Tarvex never reads it"},
    {stErrMes, "Result", "ErrMes", "",
     "written at exit: the missing-field message when a send found a required field empty"},
    {stStatus, "Result", "Status", "", "written at exit: the run's exit status (0 when the mail went out)"},
    {stError, "Result", "Error", "",
     "written at exit: the error text of a failed run on one line, empty after success"},
    {stRefused, "Result", "Refused", "",
     "written at exit: each recipient the server refused with its reply "
     "(bad@x 550 5.1.1 no such user), separated by \"; \""},
    {stMissing, "Result", "Missing", "",
     "written at exit: the attachment files that were not sent (missing, unreadable or "
     "no regular file), separated by \"; \""},
    {stPort, "SMTP", "Port", "25", "the server's port, 1 to 65535 (another value stops the run with exit status 78)"},
    {stTimeOut, "SMTP", "TimeOut", "0",
     "milliseconds for a host lookup, connect or server reply; 0 or negative: no limit; "
     "read only, --timeout overrides it"},
    {stHello, "SMTP", "Hello", "ehlo",
     "ehlo (EHLO first, HELO when the server answers EHLO with 500, 501 or 502) or helo "
     "(HELO only, for a server that needs it; Security=none only); ASCII case ignored; read "
     "only"},
    {stSecurity, "SMTP", "Security", "none",
     "none (plain dialogue, EHLO or HELO with User), starttls (EHLO, STARTTLS, EHLO) or "
     "tls (TLS from the first byte); ASCII case ignored"},
    {stAuth, "SMTP", "Auth", "none",
     "none; auto (AUTH PLAIN, else LOGIN, with User and the password); plain or login (that "
     "mechanism); xoauth2 or oauthbearer (the password is an OAuth 2.0 access token); only "
     "inside TLS"},
    {stVerifyCert, "SMTP", "VerifyCert", "1",
     "1: the server's certificate must be trusted and name the host; 0: no check; "
     "any other text stops the run with exit status 78"},
    {stCAFile, "SMTP", "CAFile", "", "a PEM file of extra trust anchors"},
    {stPasswordCommand, "SMTP", "PasswordCommand", "",
     "a command run by /bin/sh -c when AUTH needs the password; the first line it "
     "prints is the password or token, instead of Pwd (exit 78 when it fails, "
     "prints nothing or runs past its limit: 2 minutes, or the time-out when "
     "shorter; the limit or a signal ends its whole process group)"},
    {stCharset, "Mail", "Charset", "auto",
     "auto (ISO-2022-JP when the subject, every header text and the body fit JIS X 0208 "
     "and ASCII, else the whole message as UTF-8), iso-2022-jp (every message as "
     "earlier versions sent it) or utf-8; ASCII case ignored"},
    {stNotify, "Mail", "Notify", "",
     "delivery status notifications asked of a server that offers DSN: empty (the server's "
     "default), never, or any of success, failure and delay separated by commas; read only"},
    {stReturn, "Mail", "Return", "",
     "what a delivery status notification returns: empty (the server's default), headers or "
     "full; read only"},
    {stWidth, "Pos", "Width", "0", "the window's width, in pixels; 0: its own (files without it keep working)"},
    {stHeight, "Pos", "Height", "0", "the window's height, in pixels; 0: its own"},
    {stAttachDir, "Folder", "Attach", "", "the folder the attachment chooser opens in (where files were last chosen)"},
    {stSentFolder, "Mail", "SentFolder", "",
     "a Maildir folder (made 0700 when missing) that keeps a copy of every mail the "
     "server accepted, with a Bcc line naming its blind copies; empty: none"},
    {stLog, "Mail", "Log", "",
     "a file that gets one JSON line per send, failed ones included (made 0600); empty: none"},
    {stWarning, "Result", "Warning", "",
     "written at exit: what could not be kept of a sent mail (the sent copy, the send "
     "log), empty otherwise; the send itself is told by Status"},
    {stSignature, "Mail", "Signature", "",
     "a text file (Shift-JIS, or UTF-8 with --charset utf-8) added to the body of every "
     "mail after one empty line; a file that cannot be read stops the send (exit 78)"},
    {stOwnDomains, "Mail", "OwnDomains", "",
     "the company's own mail domains (\"example.co.jp, example.jp\"; their subdomains "
     "too): a mail from the window to any other domain is confirmed before it goes"},
    {stSendCheck, "Mail", "SendCheck", "on",
     "on: the window confirms a mail with recipients outside OwnDomains; off: never; "
     "headless runs never ask; another value stops a send (exit 78)"},
};

namespace {
// The table is read by index (kSettingKeys[stPort]): an entry moved, left out or added
// out of place would give one key another's section, name or default.
constexpr bool SettingKeysFollowTheirEnum() {
  for (int i = 0; i < stSettingCount; ++i)
    if (kSettingKeys[i].Id != i) return false;
  return true;
}
static_assert(SettingKeysFollowTheirEnum(), "kSettingKeys must list every TSetting at its own index");
}  // namespace

namespace {
std::string ReadString(TSetting setting, const std::string& file) {
  const TSettingKey& k = kSettingKeys[setting];
  std::string value = GetPrivateProfileString(k.Section, k.Key, "", file);
  return value.empty() ? k.Default : value;
}

int32_t ReadInteger(TSetting setting, const std::string& file) {
  const int32_t def = IniStrToInt(kSettingKeys[setting].Default, 0);
  return IniStrToInt(ReadString(setting, file), def);
}

// fault: why, when the system's error cannot say it (a busy lock, a link not
// followed), in the file system's encoding; otherwise the message ends with the
// system's reason for the failed call (error, an errno value).
ESettingsWriteError WriteError(const std::string& file, const std::string& fault = std::string(),
                               int error = errno) {
  static const std::string tail = Utf8ToCp932(" に書き込めません");
  return ESettingsWriteError(file + tail +
                             (fault.empty() ? SystemReason(error) : " (" + FromOsPath(fault) + ")"));
}

// text on one line: every run of line breaks and other control bytes becomes one blank.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    if (!control) out += c;
    else if (!out.empty() && out.back() != ' ') out += ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

template <class T>
struct TChoiceName {
  const char* Name;
  T Value;
};
const TChoiceName<TSmtpSecurity> kSecurityNames[] = {{"none", ssNone}, {"starttls", ssStartTls}, {"tls", ssTls}};
const TChoiceName<TSmtpAuth> kAuthNames[] = {{"none", saNone},         {"auto", saAuto},
                                             {"plain", saPlain},       {"login", saLogin},
                                             {"xoauth2", saXOAuth2},   {"oauthbearer", saOAuthBearer}};
const TChoiceName<bool> kHelloNames[] = {{"ehlo", true}, {"helo", false}};
const TChoiceName<TCharsetChoice> kCharsetNames[] = {
    {"auto", TCharsetChoice::Auto}, {"iso-2022-jp", TCharsetChoice::Iso2022Jp}, {"utf-8", TCharsetChoice::Utf8}};

template <class T, size_t N>
TChoiceSetting<T> ParseChoice(const std::string& text, const TChoiceName<T> (&names)[N]) {
  const std::string word = AsciiLowerCase(text);
  if (word.empty()) return {names[0].Value, names[0].Name, true};
  for (const auto& n : names)
    if (word == n.Name) return {n.Value, text, true};
  return {names[0].Value, text, false};
}

template <class T, size_t N>
TChoiceSetting<T> Choice(T value, const TChoiceName<T> (&names)[N]) {
  for (const auto& n : names)
    if (value == n.Value) return {value, n.Name, true};
  return {names[0].Value, names[0].Name, true};
}

template <class T, size_t N>
T RequireKnown(const TChoiceSetting<T>& setting, TSetting key, const TChoiceName<T> (&names)[N]) {
  if (setting.Known) return setting.Value;
  std::string words;
  for (size_t i = 0; i < N; ++i) words += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + names[i].Name;
  const TSettingKey& k = kSettingKeys[key];
  throw EConfigError(std::string("Unknown [") + k.Section + "] " + k.Key + " value \"" + setting.Text + "\" (" +
                     words + ")");
}
}  // namespace

void LoadSettings(TForm1& form) {
  const std::string file = SettingsFileName();
  form.FormTop = ReadInteger(stTop, file);
  form.FormLeft = ReadInteger(stLeft, file);
  form.Server = ReadString(stIPAdr, file);
  form.SenderAddress = ReadString(stMailAdr, file);
  form.UserName = ReadString(stUser, file);
  form.Password = ReadString(stPwd, file);
  form.Port = IntToStr(ReadInteger(stPort, file));
  // A negative time-out means none, as a missing key does.
  form.TimeOut = std::max(ReadInteger(stTimeOut, file), 0);
  form.SmtpSecurity = ParseSecuritySetting(ReadString(stSecurity, file));
  form.SmtpAuth = ParseAuthSetting(ReadString(stAuth, file));
  form.SmtpHello = ParseHelloSetting(ReadString(stHello, file));
  form.MailNotify = ReadString(stNotify, file);
  form.MailReturn = ReadString(stReturn, file);
  const std::string verify = ReadString(stVerifyCert, file);
  form.VerifyCert = IniStrToInt(verify, 1) != 0;
  // Anything but a number must not quietly turn into one of the two.
  form.SettingsError.clear();
  if (IniStrToInt(verify, 0) != IniStrToInt(verify, 1))
    form.SettingsError = "Unknown [SMTP] VerifyCert value \"" + verify + "\" (0 or 1)";
  form.CAFile = ReadString(stCAFile, file);
  form.PasswordCommand = ReadString(stPasswordCommand, file);
  form.MailCharsetSetting = ParseCharsetSetting(ReadString(stCharset, file));
  form.FormWidth = std::max(ReadInteger(stWidth, file), 0);
  form.FormHeight = std::max(ReadInteger(stHeight, file), 0);
  form.AttachDir = ReadString(stAttachDir, file);
  form.SentFolder = ReadString(stSentFolder, file);
  form.SendLog = ReadString(stLog, file);
  form.SignatureFile = ReadString(stSignature, file);
  form.OwnDomains = ReadString(stOwnDomains, file);
  form.SendCheck = ReadString(stSendCheck, file);
}

namespace {
// Every key SaveSettings writes, in its order, from the form's state.
std::vector<TProfileEntry> SettingsEntries(const TForm1& form) {
  const int status = ExitStatusOfRun(form);
  std::string error;
  if (form.Interrupted) error = form.InterruptText;
  else if (status == esMissingField && !form.ErrorMessage.empty()) error = form.ErrorMessage;
  else if (status != esOk) error = Application().LastError();
  const std::pair<TSetting, std::string> values[] = {
      {stTop, IntToStr(form.FormTop)},
      {stLeft, IntToStr(form.FormLeft)},
      {stIPAdr, form.Server},
      {stMailAdr, form.SenderAddress},
      {stUser, form.UserName},
      {stPwd, form.Password},
      {stMailRes, form.MailResult},
      {stErrMes, form.ErrorMessage},
      {stStatus, IntToStr(status)},
      {stError, OneLine(error)},
      {stRefused, OneLine(form.Refused)},
      {stMissing, OneLine(form.Missing)},
      // A port text that is no integer is kept as the default.
      {stPort, IntToStr(StrToIntDef(form.Port, 25))},
      {stSecurity, form.SmtpSecurity.Text},
      {stAuth, form.SmtpAuth.Text},
      {stVerifyCert, form.VerifyCert ? "1" : "0"},
      {stCAFile, form.CAFile},
      {stPasswordCommand, form.PasswordCommand},
      {stCharset, form.MailCharsetSetting.Text},
      {stWidth, IntToStr(form.FormWidth)},
      {stHeight, IntToStr(form.FormHeight)},
      {stAttachDir, form.AttachDir},
      // SentFolder, Log, Signature, OwnDomains and SendCheck are only read: a file
      // that does not use them stays as earlier releases wrote it.
      {stWarning, OneLine(form.Warning)},
  };
  std::vector<TProfileEntry> entries;
  for (const auto& [setting, value] : values)
    entries.push_back({kSettingKeys[setting].Section, kSettingKeys[setting].Key, value});
  return entries;
}

// Writes the Result keys of entries to the run's result file, when it has one.
// Throws ESettingsWriteError naming the file when that fails.
void SaveResultFile(const TForm1& form, const std::vector<TProfileEntry>& entries) {
  const std::string& resultFile = form.RunOptions().resultPath;
  if (resultFile.empty()) return;
  std::vector<TProfileEntry> result;
  for (const TProfileEntry& e : entries)
    if (e.Section == kSettingKeys[stStatus].Section) result.push_back(e);
  if (!WriteProfileFile(result, resultFile)) throw WriteError(resultFile);
}
}  // namespace

void SaveSettings(const TForm1& form) {
  const std::string file = SettingsFileName();
  MakeSettingsFolder(file);
  std::vector<TProfileEntry> entries = SettingsEntries(form);
  std::string fault;
  if (WritePrivateProfileStrings(entries, file, &fault)) return SaveResultFile(form, entries);
  const int error = errno;
  // A failed save becomes the run's status unless the mail went out or a signal
  // ended the run first: the caller's own result says what the exit status says.
  if (!form.MailAccepted && !form.Interrupted)
    for (TProfileEntry& e : entries) {
      if (e.Section != kSettingKeys[stStatus].Section) continue;
      if (e.Key == kSettingKeys[stStatus].Key) e.Value = IntToStr(esCantCreate);
      if (e.Key == kSettingKeys[stError].Key) e.Value = OneLine(WriteError(file, fault, error).Message());
    }
  SaveResultFile(form, entries);
  throw WriteError(file, fault, error);
}

void SaveResult(const TForm1& form) {
  // A result file found unwritable stopped the run before anything else and was said.
  if (FileCanBeReplaced(form.RunOptions().resultPath)) SaveResultFile(form, SettingsEntries(form));
}

void CheckSettingsWritable() {
  const std::string file = SettingsFileName();
  MakeSettingsFolder(file);
  std::string fault;
  if (!ProfileWritable(file, &fault)) throw WriteError(file, fault);
}

void CheckResultWritable(const std::string& file) {
  if (!FileCanBeReplaced(file)) throw WriteError(file);
}

TSecuritySetting ParseSecuritySetting(const std::string& text) { return ParseChoice(text, kSecurityNames); }
TAuthSetting ParseAuthSetting(const std::string& text) { return ParseChoice(text, kAuthNames); }
TSecuritySetting SecurityChoice(TSmtpSecurity value) { return Choice(value, kSecurityNames); }
TAuthSetting AuthChoice(TSmtpAuth value) { return Choice(value, kAuthNames); }
TCharsetSetting ParseCharsetSetting(const std::string& text) { return ParseChoice(text, kCharsetNames); }
THelloSetting ParseHelloSetting(const std::string& text) { return ParseChoice(text, kHelloNames); }
TCharsetSetting CharsetChoice(TCharsetChoice value) { return Choice(value, kCharsetNames); }

TSmtpSecurity SmtpSecurityOf(const TSecuritySetting& setting) {
  return RequireKnown(setting, stSecurity, kSecurityNames);
}
TSmtpAuth SmtpAuthOf(const TAuthSetting& setting) { return RequireKnown(setting, stAuth, kAuthNames); }
bool SmtpUseEhloOf(const THelloSetting& setting) { return RequireKnown(setting, stHello, kHelloNames); }

std::string DsnNotifyOf(const std::string& text) {
  auto refused = [&text] {
    return EConfigError("Unknown [Mail] Notify value \"" + text + "\" (never, or any of success, failure, delay)");
  };
  auto trimmed = [](const std::string& word) {
    const size_t first = word.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : word.substr(first, word.find_last_not_of(" \t") - first + 1);
  };
  const std::string all = trimmed(AsciiLowerCase(text));
  if (all.empty()) return all;
  if (all == "never") return "NEVER";
  std::string out;
  for (size_t start = 0; start <= all.size();) {
    const size_t comma = std::min(all.find(',', start), all.size());
    const std::string word = trimmed(all.substr(start, comma - start));
    if (word != "success" && word != "failure" && word != "delay") throw refused();
    const std::string upper = AsciiUpperCase(word);
    if (("," + out + ",").find("," + upper + ",") != std::string::npos) throw refused();
    out += (out.empty() ? "" : ",") + upper;
    start = comma + 1;
  }
  return out;
}

std::string DsnReturnOf(const std::string& text) {
  const std::string word = AsciiLowerCase(text);
  if (word.empty()) return word;
  if (word == "headers") return "HDRS";
  if (word == "full") return "FULL";
  throw EConfigError("Unknown [Mail] Return value \"" + text + "\" (headers or full)");
}
TCharsetChoice CharsetChoiceOf(const TCharsetSetting& setting) {
  return RequireKnown(setting, stCharset, kCharsetNames);
}
TSmtpSecurity SmtpSecurityOf(const std::string& text) { return SmtpSecurityOf(ParseSecuritySetting(text)); }
TSmtpAuth SmtpAuthOf(const std::string& text) { return SmtpAuthOf(ParseAuthSetting(text)); }

std::string RunPasswordCommand(const std::string& command, int32_t timeOutMs) {
  const int limitMs = timeOutMs > 0 ? std::min(timeOutMs, kPasswordCommandLimitMs) : kPasswordCommandLimitMs;
  TShellResult result;
  try {
    result = RunShellCommand(command, limitMs);
  } catch (const Exception& e) {
    throw ESettingValueError("[SMTP] PasswordCommand: " + e.Message());
  }
  std::string err = result.Err;
  while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) err.pop_back();
  for (char& c : err)
    if (c == '\n' || c == '\r') c = ' ';
  // The command's own words come in UTF-8; the model's texts are CP932.
  const std::string said = err.empty() ? std::string() : ": " + Utf8ToCp932(err);
  if (result.Interrupted) throw EAbortError("[SMTP] PasswordCommand interrupted");
  if (result.TimedOut)
    throw ESettingValueError("[SMTP] PasswordCommand did not finish within " +
                             (limitMs % 1000 ? IntToStr(limitMs) + " ms" : IntToStr(limitMs / 1000) + " s") + said);
  if (result.Status != 0)
    throw ESettingValueError("[SMTP] PasswordCommand failed (exit status " + IntToStr(result.Status) + ")" + said);
  const std::string secret = FirstLine(result.Out);
  if (secret.empty()) throw ESettingValueError("[SMTP] PasswordCommand printed no password or token" + said);
  return secret;
}
