// The window's translations: under a Japanese locale (LANG=ja_JP.UTF-8) the
// program's own texts and the toolkit's dialogs show in Japanese; under any other
// locale the texts stay as written, in English.
#pragma once

#include <QLocale>

// The locale of the user's language (UserLanguage): Japanese or English.
QLocale UserLocale();

// Installs the program's translation (built in) and the toolkit's own (from the
// system's translations folder) for the locale, into the running application.
// Returns true when the program's translation for the locale was found; a locale
// without one changes nothing.
bool InstallTranslations(const QLocale& locale = UserLocale());
// Removes what InstallTranslations installed (tests).
void RemoveTranslations();
