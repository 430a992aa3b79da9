#include "platform/Language.h"

#include <cstdlib>
#include <string_view>

TLanguage UserLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    const std::string_view locale = value;
    // The language is the part before "_", "." or "@".
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
    return language == "ja" ? TLanguage::japanese : TLanguage::english;
  }
  return TLanguage::english;
}
