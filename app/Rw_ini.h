// The settings and result file: the connection data and window position kept from
// one run to the next, and how the last run ended (Result section). Read once when
// the form is created, written once when it closes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/SysUtils.h"
#include "app/MailSend.h"
#include "smtp/Lxsmtp.h"

class TForm1;

// The settings file could not be written ("FILE に書き込めません").
class ESettingsWriteError : public Exception { using Exception::Exception; };

// The settings file's full name (CP932): the file named by the environment
// variable TARVEX_INI when it is set and not empty (made absolute against the
// current folder), else the executable's full path with its extension replaced by
// ".INI" (an executable without one gets ".INI" appended).
std::string SettingsFileName();

// The integer rule of the settings file: "0x" or "0X" followed by hexadecimal
// digits (text longer than two bytes), else a decimal integer with an optional
// sign; def when the text does not convert or leaves the 32-bit range.
int32_t IniStrToInt(const std::string& text, int32_t def);

// Reads Pos/Top, Pos/Left, ConInf/IPAdr, ConInf/MailAdr, ConInf/User, ConInf/Pwd,
// SMTP/Port, SMTP/TimeOut, SMTP/Security, SMTP/Auth, SMTP/VerifyCert, SMTP/CAFile and
// Mail/Charset into the form's FormTop, FormLeft, ServerAddress, SenderAddress,
// UserName, Password, PortNumber, TimeOut, SmtpSecurity, SmtpAuth, VerifyCert, CAFile
// and MailCharsetSetting, with the defaults 80, 80, empty, 25, 0 (a negative
// time-out reads as 0), "none", "none", 1 (any other integer than 0 verifies),
// empty and "auto" for whatever is missing (or empty).
// Never creates the file and never throws for file trouble.
void LoadSettings(TForm1& form);

// Writes the fourteen keys from the form's state (SMTP/TimeOut is only read: the
// form cannot change it, and a file without it stays as old versions wrote it),
// each write complete on its own, in
// the order Pos/Top, Pos/Left, ConInf/IPAdr, ConInf/MailAdr, ConInf/User,
// ConInf/Pwd, Result/MailRes, Result/ErrMes, SMTP/Port, SMTP/Security, SMTP/Auth,
// SMTP/VerifyCert, SMTP/CAFile, Mail/Charset. Throws ESettingsWriteError at the first write that
// fails; the keys after it are not written.
void SaveSettings(const TForm1& form);

// The component's values for the Security and Auth settings ("none", "starttls",
// "tls"; "none", "auto"; case does not matter, empty is "none").
// Throws Exception naming the key for any other text.
TSmtpSecurity SmtpSecurityOf(const std::string& text);
TSmtpAuth SmtpAuthOf(const std::string& text);

// The choice of the Charset setting ("auto", "iso-2022-jp", "utf-8"; case does not
// matter, empty is "auto"). Throws Exception naming the key for any other text.
TCharsetChoice CharsetChoiceOf(const std::string& text);
