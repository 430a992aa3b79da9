// The settings and result file: the connection data and window position kept from
// one run to the next, and how the last run ended (Result section). Read once when
// the form is created, written once when it closes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/SysUtils.h"

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
// SMTP/Port and SMTP/TimeOut into the form's FormTop, FormLeft, ServerAddress,
// SenderAddress, UserName, Password, PortNumber and TimeOut, with the defaults 80,
// 80, empty, 25 and 0 for whatever is missing (a negative time-out reads as 0).
// Never creates the file and never throws for file trouble.
void LoadSettings(TForm1& form);

// Writes the nine keys from the form's state (SMTP/TimeOut is only read: the form
// cannot change it, and a file without it stays as old versions wrote it), each write complete on its own, in
// the order Pos/Top, Pos/Left, ConInf/IPAdr, ConInf/MailAdr, ConInf/User,
// ConInf/Pwd, Result/MailRes, Result/ErrMes, SMTP/Port. Throws ESettingsWriteError
// at the first write that fails; the keys after it are not written.
void SaveSettings(const TForm1& form);
