// The language the program speaks to its user (the window, --help and what it says on
// stderr): Japanese under a Japanese locale, English under any other. This is the
// one place that decides it, and the one table of the texts a run without a window
// says on stderr in either language.
#pragma once

#include <string>

enum class TLanguage { english, japanese };

// The language of the user's locale for messages: the first of LC_ALL, LC_MESSAGES
// and LANG that is set and not empty decides; "ja" (ja_JP.UTF-8, ja_JP.eucJP, ja)
// is Japanese, anything else (C, C.UTF-8, POSIX, en_US.UTF-8, none) English.
TLanguage UserLanguage();

// A line's text (UTF-8) as the user's language says it: a fixed text of the program
// or one of its fixed patterns with values in it ("FILE に書き込めません: REASON",
// "Connection Failed: 10061:Connection refused") in that language's words; a text
// already in that language, and any other text (a server's reply, a file name), as
// it stands. The model keeps its own texts: this is for the terminal only.
std::string UserText(const std::string& utf8, TLanguage language = UserLanguage());
