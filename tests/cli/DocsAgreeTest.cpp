// The documentation states the facts the code holds: the exit statuses of --help,
// README.md and the manual page are those of kExitStatuses, the manual page
// documents every key of kSettingKeys, and its version is the project's.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/ExitStatus.h"
#include "app/Rw_ini.h"
#include "app/Version.h"
#include "cli/CommandLine.h"

namespace {

using StatusList = std::vector<std::pair<int, std::string>>;

std::string ReadSource(const std::string& name) {
  std::ifstream file(std::string(TARVEX_SOURCE_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(file) << name;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

StatusList Table() {
  StatusList list;
  for (int i = 0; i < kExitStatusCount; ++i) list.emplace_back(kExitStatuses[i].Status, kExitStatuses[i].Meaning);
  return list;
}

// "  NN  meaning" after "Exit status:", continued on lines indented by six blanks.
StatusList FromHelp(const std::string& help) {
  StatusList list;
  bool in = false;
  static const std::regex entry(R"(  (\d+) +(.*))");
  for (const std::string& line : Lines(help)) {
    std::smatch m;
    if (line == "Exit status:") {
      in = true;
    } else if (in && std::regex_match(line, m, entry)) {
      list.emplace_back(std::stoi(m[1]), m[2]);
    } else if (in && line.rfind("      ", 0) == 0 && !list.empty()) {
      list.back().second += " " + line.substr(6);
    } else if (in) {
      break;
    }
  }
  return list;
}

// "- `NN` meaning" lines.
StatusList FromReadme(const std::string& readme) {
  StatusList list;
  static const std::regex entry(R"(- `(\d+)` (.*))");
  for (const std::string& line : Lines(readme)) {
    std::smatch m;
    if (std::regex_match(line, m, entry)) list.emplace_back(std::stoi(m[1]), m[2]);
  }
  return list;
}

// ".TP", ".B NN", meaning, in the EXIT STATUS section.
StatusList FromManual(const std::string& manual) {
  StatusList list;
  const std::vector<std::string> lines = Lines(manual);
  bool in = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(".SH", 0) == 0) in = lines[i] == ".SH EXIT STATUS";
    if (in && lines[i] == ".TP" && i + 2 < lines.size() && lines[i + 1].rfind(".B ", 0) == 0)
      list.emplace_back(std::stoi(lines[i + 1].substr(3)), lines[i + 2]);
  }
  return list;
}

}  // namespace

TEST(DocsAgree, ExitStatusesOfHelpReadmeAndManualAreTheTable) {
  const StatusList table = Table();
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(FromHelp(UsageText()), table);
  EXPECT_EQ(FromReadme(ReadSource("README.md")), table);
  EXPECT_EQ(FromManual(ReadSource("docs/tarvex.1")), table);
}

TEST(DocsAgree, ManualDocumentsEverySettingsKeyWithItsDefault) {
  const std::string manual = ReadSource("docs/tarvex.1");
  for (const TSettingKey& k : kSettingKeys) {
    std::string item = std::string(".TP\n.B [") + k.Section + "] " + k.Key + "\n";
    if (*k.Default) item += std::string("(default ") + k.Default + ") ";
    item += k.Meaning;
    EXPECT_NE(manual.find(item + "\n"), std::string::npos) << item;
  }
}

TEST(DocsAgree, ManualCarriesTheProjectVersion) {
  EXPECT_NE(ReadSource("docs/tarvex.1").find("\"tarvex " TARVEX_VERSION "\""), std::string::npos);
}
