// The user's language from the locale variables: the first one set and not empty
// decides, in the order LC_ALL, LC_MESSAGES, LANG.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Language.h"

namespace {

class Environment {
 public:
  Environment() {
    for (int i = 0; i < 3; ++i) {
      const char* value = std::getenv(kNames[i]);
      saved_[i] = value ? std::optional<std::string>(value) : std::nullopt;
    }
  }
  ~Environment() {
    for (int i = 0; i < 3; ++i) Set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  static void Set(const char* name, const char* value) {
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};

 private:
  std::optional<std::string> saved_[3];
};

TEST(LanguageTest, FirstLocaleVariableSetDecides) {
  Environment restore;
  const struct {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    TLanguage expected;
  } cases[] = {
      {nullptr, nullptr, "ja_JP.UTF-8", TLanguage::japanese},
      {nullptr, nullptr, "ja_JP.eucJP", TLanguage::japanese},
      {nullptr, nullptr, "ja", TLanguage::japanese},
      {nullptr, nullptr, "C.UTF-8", TLanguage::english},
      {nullptr, nullptr, "en_US.UTF-8", TLanguage::english},
      {nullptr, nullptr, "jam_JM", TLanguage::english},  // another language that starts with "ja"
      {nullptr, nullptr, nullptr, TLanguage::english},
      {"C.UTF-8", nullptr, "ja_JP.UTF-8", TLanguage::english},
      {"ja_JP.UTF-8", "C", "C", TLanguage::japanese},
      {nullptr, "ja_JP.UTF-8", "C.UTF-8", TLanguage::japanese},
      {nullptr, "C", "ja_JP.UTF-8", TLanguage::english},
      {"", "", "ja_JP.UTF-8", TLanguage::japanese},  // empty means not set
  };
  for (const auto& c : cases) {
    Environment::Set("LC_ALL", c.lcAll);
    Environment::Set("LC_MESSAGES", c.lcMessages);
    Environment::Set("LANG", c.lang);
    EXPECT_EQ(UserLanguage(), c.expected) << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-")
                                          << " " << (c.lang ? c.lang : "-");
  }
}

}  // namespace
