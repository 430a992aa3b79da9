// The Japanese --help says what the English one says: every option, every settings
// key and every exit status of the English text is in it; it fits a terminal of 80
// columns.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "cli/CommandLine.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The columns a UTF-8 line takes on a terminal (kana and kanji take two).
size_t Columns(const std::string& line) {
  size_t columns = 0;
  for (unsigned char c : line) {
    if (c < 0x80) ++columns;
    else if (c >= 0xE0) columns += 2;          // the lead byte of a wide character
    else if (c >= 0xC0) ++columns;             // the lead byte of a two-byte one
  }
  return columns;
}

std::set<std::string> Matches(const std::string& text, const std::regex& pattern, int group) {
  std::set<std::string> found;
  for (std::sregex_iterator i(text.begin(), text.end(), pattern), end; i != end; ++i) found.insert((*i)[group]);
  return found;
}

// "--name" options (not the "-" of "-v" nor a word such as "dot-stuffed").
std::set<std::string> Options(const std::string& help) {
  static const std::regex option(R"((^|[^-\w])(--[a-z][a-z-]*[a-z]))");
  return Matches(help, option, 2);
}

// Settings keys written as "[Section] Key".
std::set<std::string> SettingsKeys(const std::string& help) {
  static const std::regex key(R"(\[[A-Z][A-Za-z]*\] [A-Z][A-Za-z]*)");
  return Matches(help, key, 0);
}

// The entries of the exit status list after its heading: the status and its
// meaning with the continuation lines joined.
std::vector<std::pair<std::string, std::string>> ExitList(const std::string& help, const std::string& heading) {
  std::vector<std::pair<std::string, std::string>> list;
  static const std::regex entry(R"(  (\d+) +(.*))");
  bool in = false;
  for (const std::string& line : Lines(help)) {
    std::smatch m;
    if (line == heading) in = true;
    else if (in && std::regex_match(line, m, entry)) list.emplace_back(m[1], m[2]);
    else if (in && line.rfind("      ", 0) == 0 && !list.empty()) list.back().second += " " + line.substr(6);
  }
  return list;
}

std::string Missing(const std::set<std::string>& english, const std::set<std::string>& japanese) {
  std::string missing;
  for (const std::string& item : english)
    if (!japanese.count(item)) missing += " " + item;
  return missing;
}

std::string WithoutBlanks(std::string text) {
  std::erase(text, ' ');
  return text;
}

}  // namespace

TEST(Help, JapaneseNamesEveryOptionSettingsKeyAndExitStatusOfTheEnglish) {
  const std::string english = UsageText(TLanguage::english);
  const std::string japanese = UsageText(TLanguage::japanese);
  EXPECT_EQ(english.rfind("usage: tarvex", 0), 0u);
  EXPECT_EQ(japanese.rfind("使い方: tarvex", 0), 0u);

  // The patterns find what the English text is known to hold.
  const std::set<std::string> options = Options(english);
  for (const char* known : {"--headless", "--charset", "--no-send", "--help", "--version", "--screenshot"})
    EXPECT_TRUE(options.count(known)) << known;
  EXPECT_FALSE(options.count("--")) << "a bare --";
  const std::set<std::string> keys = SettingsKeys(english);
  for (const char* known : {"[Mail] Charset", "[SMTP] TimeOut", "[SMTP] Hello"}) EXPECT_TRUE(keys.count(known)) << known;

  EXPECT_EQ(Missing(options, Options(japanese)), "") << "options of the English help missing in the Japanese";
  EXPECT_EQ(Missing(keys, SettingsKeys(japanese)), "") << "settings keys of the English help missing in the Japanese";

  std::set<std::string> englishStatuses, japaneseStatuses;
  for (const auto& [status, meaning] : ExitList(english, "Exit status:")) englishStatuses.insert(status);
  for (const auto& [status, meaning] : ExitList(japanese, "終了ステータス:")) japaneseStatuses.insert(status);
  EXPECT_EQ(englishStatuses.size(), static_cast<size_t>(kExitStatusCount));
  EXPECT_EQ(Missing(englishStatuses, japaneseStatuses), "") << "exit statuses missing in the Japanese help";
}

// The English help fits a terminal of 80 columns with the cursor still on the line,
// as the Japanese one does (below).
TEST(Help, EnglishFitsEightyColumns) {
  for (const std::string& line : Lines(UsageText(TLanguage::english))) {
    // The line naming the settings file is as long as its path.
    if (line.rfind("Settings file in use: ", 0) == 0) continue;
    EXPECT_LE(Columns(line), 79u) << line;
  }
}

TEST(Help, JapaneseFitsEightyColumnsAndItsExitListLosesNoText) {
  const std::string help = UsageText(TLanguage::japanese);
  for (const std::string& line : Lines(help)) {
    // The line naming the settings file is as long as its path.
    if (line.rfind("使用中の設定ファイル: ", 0) == 0) continue;
    EXPECT_LE(Columns(line), 79u) << line;
    const std::string text = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    for (const char* sign : {"、", "。", "）", "ー", "っ", "ッ"})
      EXPECT_NE(text.rfind(sign, 0), 0u) << "a line starts with " << sign << ": " << line;
  }
  // A Japanese meaning is cut between its characters, not only at blanks: put back
  // together it is the table's text (the blanks at the cuts aside); above, no line
  // starts with a closing sign, a long vowel mark or a small kana.
  const auto list = ExitList(help, "終了ステータス:");
  ASSERT_EQ(list.size(), static_cast<size_t>(kExitStatusCount));
  for (int i = 0; i < kExitStatusCount; ++i) {
    EXPECT_EQ(list[i].first, std::to_string(kExitStatuses[i].Status));
    EXPECT_EQ(WithoutBlanks(list[i].second), WithoutBlanks(kExitStatuses[i].MeaningJa)) << list[i].first;
  }
}
