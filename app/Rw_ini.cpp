#include "app/Rw_ini.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>

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

namespace {
int32_t ReadInteger(const char* section, const char* key, int32_t def, const std::string& file) {
  return IniStrToInt(GetPrivateProfileString(section, key, "", file), def);
}

std::string ReadString(const char* section, const char* key, const std::string& file) {
  return GetPrivateProfileString(section, key, "", file);
}

void Write(const char* section, const char* key, const std::string& value, const std::string& file) {
  if (!WritePrivateProfileString(section, key, value, file)) {
    static const std::string tail = Utf8ToCp932(" に書き込めません");
    throw ESettingsWriteError(file + tail);
  }
}
}  // namespace

void LoadSettings(TForm1& form) {
  const std::string file = SettingsFileName();
  form.FormTop = ReadInteger("Pos", "Top", 80, file);
  form.FormLeft = ReadInteger("Pos", "Left", 80, file);
  form.ServerAddress = ReadString("ConInf", "IPAdr", file);
  form.SenderAddress = ReadString("ConInf", "MailAdr", file);
  form.UserName = ReadString("ConInf", "User", file);
  form.Password = ReadString("ConInf", "Pwd", file);
  form.PortNumber = ReadInteger("SMTP", "Port", 25, file);
  // A negative time-out means none, as a missing key does.
  form.TimeOut = std::max(ReadInteger("SMTP", "TimeOut", 0, file), 0);
  form.SmtpSecurity = ReadString("SMTP", "Security", file);
  if (form.SmtpSecurity.empty()) form.SmtpSecurity = "none";
  form.SmtpAuth = ReadString("SMTP", "Auth", file);
  if (form.SmtpAuth.empty()) form.SmtpAuth = "none";
  form.VerifyCert = ReadInteger("SMTP", "VerifyCert", 1, file) != 0;
  form.CAFile = ReadString("SMTP", "CAFile", file);
}

void SaveSettings(const TForm1& form) {
  const std::string file = SettingsFileName();
  Write("Pos", "Top", IntToStr(form.FormTop), file);
  Write("Pos", "Left", IntToStr(form.FormLeft), file);
  Write("ConInf", "IPAdr", form.ServerAddress, file);
  Write("ConInf", "MailAdr", form.SenderAddress, file);
  Write("ConInf", "User", form.UserName, file);
  Write("ConInf", "Pwd", form.Password, file);
  Write("Result", "MailRes", form.MailResult, file);
  Write("Result", "ErrMes", form.ErrorMessage, file);
  Write("SMTP", "Port", IntToStr(form.PortNumber), file);
  Write("SMTP", "Security", form.SmtpSecurity, file);
  Write("SMTP", "Auth", form.SmtpAuth, file);
  Write("SMTP", "VerifyCert", form.VerifyCert ? "1" : "0", file);
  Write("SMTP", "CAFile", form.CAFile, file);
}

TSmtpSecurity SmtpSecurityOf(const std::string& text) {
  const std::string value = AsciiLowerCase(text);
  if (value.empty() || value == "none") return ssNone;
  if (value == "starttls") return ssStartTls;
  if (value == "tls") return ssTls;
  // Never fall back to the plain dialogue for a value meant to protect it.
  throw Exception("Unknown [SMTP] Security value \"" + text + "\" (none, starttls or tls)");
}

TSmtpAuth SmtpAuthOf(const std::string& text) {
  const std::string value = AsciiLowerCase(text);
  if (value.empty() || value == "none") return saNone;
  if (value == "auto") return saAuto;
  throw Exception("Unknown [SMTP] Auth value \"" + text + "\" (none or auto)");
}
