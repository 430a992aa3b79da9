// The language the program speaks to its user (the window, and what it says on
// stderr): Japanese under a Japanese locale, English under any other. This is the
// one place that decides it.
#pragma once

enum class TLanguage { english, japanese };

// The language of the user's locale for messages: the first of LC_ALL, LC_MESSAGES
// and LANG that is set and not empty decides; "ja" (ja_JP.UTF-8, ja_JP.eucJP, ja)
// is Japanese, anything else (C, C.UTF-8, POSIX, en_US.UTF-8, none) English.
TLanguage UserLanguage();
