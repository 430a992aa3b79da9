#include "app/Rw_ini.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>

#include "app/MacroReader.h"
#include "app/Unit1.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"
#include "platform/Profile.h"

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
  std::string exe = ExePath();
  std::string name = ExtractFileName(exe);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return exe + ".INI";
  return exe.substr(0, exe.size() - name.size() + dot) + ".INI";
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

const TSettingKey kSettingKeys[stSettingCount] = {
    {"Pos", "Top", "80", "the window's top edge, in pixels"},
    {"Pos", "Left", "80", "the window's left edge, in pixels"},
    {"ConInf", "IPAdr", "", "the SMTP server's host name or address"},
    {"ConInf", "MailAdr", "", "the sender address"},
    {"ConInf", "User", "", "the user name: the HELO argument, and the login name of Auth=auto"},
    {"ConInf", "Pwd", "", "the password of Auth=auto (kept in plain text)"},
    {"Result", "MailRes", "", "written at exit for the calling program; Tarvex never reads it"},
    {"Result", "ErrMes", "", "written at exit: the missing-field message when a send found a required field empty"},
    {"SMTP", "Port", "25", "the server's port"},
    {"SMTP", "TimeOut", "0", "milliseconds for a host lookup, connect or server reply; 0 or negative: no limit; "
                             "read only, --timeout overrides it"},
    {"SMTP", "Security", "none", "none (plain dialogue, HELO), starttls (EHLO, STARTTLS, EHLO) or tls (TLS from "
                                 "the first byte); ASCII case ignored"},
    {"SMTP", "Auth", "none", "none, or auto (AUTH PLAIN, else LOGIN, with User and Pwd; only inside TLS)"},
    {"SMTP", "VerifyCert", "1", "1: the server's certificate must be trusted and name the host; 0: no check"},
    {"SMTP", "CAFile", "", "a PEM file of extra trust anchors"},
    {"Pos", "Width", "0", "the window's width, in pixels; 0: its own (files without it keep working)"},
    {"Pos", "Height", "0", "the window's height, in pixels; 0: its own"},
    {"Folder", "Attach", "", "the folder the attachment chooser opens in (where files were last chosen)"},
};

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

void Write(TSetting setting, const std::string& value, const std::string& file) {
  const TSettingKey& k = kSettingKeys[setting];
  if (!WritePrivateProfileString(k.Section, k.Key, value, file)) {
    static const std::string tail = Utf8ToCp932(" に書き込めません");
    throw ESettingsWriteError(file + tail);
  }
}

template <class T>
struct TChoiceName {
  const char* Name;
  T Value;
};
const TChoiceName<TSmtpSecurity> kSecurityNames[] = {{"none", ssNone}, {"starttls", ssStartTls}, {"tls", ssTls}};
const TChoiceName<TSmtpAuth> kAuthNames[] = {{"none", saNone}, {"auto", saAuto}};

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
T RequireKnown(const TChoiceSetting<T>& setting, const char* key, const TChoiceName<T> (&names)[N]) {
  if (setting.Known) return setting.Value;
  std::string words;
  for (size_t i = 0; i < N; ++i) words += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + names[i].Name;
  throw Exception(std::string("Unknown [SMTP] ") + key + " value \"" + setting.Text + "\" (" + words + ")");
}
}  // namespace

void LoadSettings(TForm1& form) {
  const std::string file = SettingsFileName();
  form.FormTop = ReadInteger(stTop, file);
  form.FormLeft = ReadInteger(stLeft, file);
  form.ServerAddress = ReadString(stIPAdr, file);
  form.SenderAddress = ReadString(stMailAdr, file);
  form.UserName = ReadString(stUser, file);
  form.Password = ReadString(stPwd, file);
  form.PortNumber = ReadInteger(stPort, file);
  // A negative time-out means none, as a missing key does.
  form.TimeOut = std::max(ReadInteger(stTimeOut, file), 0);
  form.SmtpSecurity = ParseSecuritySetting(ReadString(stSecurity, file));
  form.SmtpAuth = ParseAuthSetting(ReadString(stAuth, file));
  form.VerifyCert = ReadInteger(stVerifyCert, file) != 0;
  form.CAFile = ReadString(stCAFile, file);
  form.FormWidth = std::max(ReadInteger(stWidth, file), 0);
  form.FormHeight = std::max(ReadInteger(stHeight, file), 0);
  form.AttachDir = ReadString(stAttachDir, file);
}

void SaveSettings(const TForm1& form) {
  const std::string file = SettingsFileName();
  Write(stTop, IntToStr(form.FormTop), file);
  Write(stLeft, IntToStr(form.FormLeft), file);
  Write(stIPAdr, form.ServerAddress, file);
  Write(stMailAdr, form.SenderAddress, file);
  Write(stUser, form.UserName, file);
  Write(stPwd, form.Password, file);
  Write(stMailRes, form.MailResult, file);
  Write(stErrMes, form.ErrorMessage, file);
  Write(stPort, IntToStr(form.PortNumber), file);
  Write(stSecurity, form.SmtpSecurity.Text, file);
  Write(stAuth, form.SmtpAuth.Text, file);
  Write(stVerifyCert, form.VerifyCert ? "1" : "0", file);
  Write(stCAFile, form.CAFile, file);
  Write(stWidth, IntToStr(form.FormWidth), file);
  Write(stHeight, IntToStr(form.FormHeight), file);
  Write(stAttachDir, form.AttachDir, file);
}

TSecuritySetting ParseSecuritySetting(const std::string& text) { return ParseChoice(text, kSecurityNames); }
TAuthSetting ParseAuthSetting(const std::string& text) { return ParseChoice(text, kAuthNames); }
TSecuritySetting SecurityChoice(TSmtpSecurity value) { return Choice(value, kSecurityNames); }
TAuthSetting AuthChoice(TSmtpAuth value) { return Choice(value, kAuthNames); }

TSmtpSecurity SmtpSecurityOf(const TSecuritySetting& setting) {
  return RequireKnown(setting, "Security", kSecurityNames);
}
TSmtpAuth SmtpAuthOf(const TAuthSetting& setting) { return RequireKnown(setting, "Auth", kAuthNames); }
TSmtpSecurity SmtpSecurityOf(const std::string& text) { return SmtpSecurityOf(ParseSecuritySetting(text)); }
TSmtpAuth SmtpAuthOf(const std::string& text) { return SmtpAuthOf(ParseAuthSetting(text)); }
