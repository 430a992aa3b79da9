// The terminal output of the console unit: trace lines by kind and verbosity, and
// the progress text.
#include "app/Console.h"

#include <gtest/gtest.h>

#include <functional>

#include "app/OfficeMail.h"
#include "app/SentRecord.h"
#include "platform/Language.h"
#include "platform/StringList.h"
#include "support/EncodingTestSupport.h"

namespace {

TEST(TraceLine, ByKindLevelAndVerbosity) {
  std::tm t{};
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  struct Case {
    TTraceKind kind;
    int level;
    std::string text;
    int verbosity;
    std::string line;
  } cases[] = {
      {TTraceKind::Sent, 0, "HELO host", 1, "09:05:07.042 >>> HELO host"},
      {TTraceKind::Received, 0, "250 ok\r\n", 1, "09:05:07.042 <<< 250 ok"},  // line end removed
      {TTraceKind::Received, 0, "220 hi\n", 2, "09:05:07.042 <<< 220 hi"},
      {TTraceKind::Status, 1, "250 ok\r\n", 2, ""},  // the reply, shown already as received
      {TTraceKind::Status, 4, "Sending Buffer", 1, ""},
      {TTraceKind::Status, 4, "Sending Buffer", 2, "09:05:07.042 --- Sending Buffer"},
      {TTraceKind::Status, 8, "Timer On", 2, "09:05:07.042 --- Timer On"},
      {TTraceKind::Sent, 0, "QUIT", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TraceLine(t, 42, c.kind, c.level, c.text, c.verbosity), c.line) << c.text;
}

TEST(ProgressText, AsTheStatusBarShowsIt) { EXPECT_EQ(ProgressText(65536, 700001), "65536 bytes of 700001 sent"); }

// What the office features say on stderr, made by the code that says it: a Japanese
// user reads each in Japanese (the value in it as it stands), so a text reworded in
// the code without its translation fails here.
TEST(OfficeLines, SayTheirTextInJapanese) {
  encoding_test::ScratchDir dir;
  const std::string blocker = dir.Write("plain", "x");  // a file where a folder should be
  const std::string folder = dir.File("");
  const struct {
    const char* name;
    std::function<void()> fail;
    std::string value;  // a value the line carries
  } cases[] = {
      {"sent copy", [&] { TSentCopy(blocker + "/Sent", "Subject: x\r\n\r\n", TStringList()).Store(); },
       blocker + "/Sent"},
      {"send log", [&] { AppendSendLog(folder, TSendRecord()); }, folder},
      {"priority", [] { ParsePriority("urgent"); }, "\"urgent\""},
      {"receipt", [] { ParseReceipt("maybe"); }, "\"maybe\""},
      {"header line", [] { CheckOwnHeader("X-Note"); }, "\"X-Note\""},
      {"header name", [] { CheckOwnHeader("X Note: 1"); }, "\"X Note: 1\""},
      {"own header", [] { CheckOwnHeader("Subject: again"); }, "\"Subject: again\""},
  };
  for (const auto& c : cases) {
    std::string text;
    try {
      c.fail();
      ADD_FAILURE() << c.name << ": no error";
      continue;
    } catch (const Exception& e) {
      text = e.Message();
    }
    const std::string japanese = UserText(text, TLanguage::japanese);
    EXPECT_NE(japanese, text) << c.name;
    EXPECT_NE(japanese.find(c.value), std::string::npos) << c.name << ": " << japanese;
    EXPECT_EQ(UserText(text, TLanguage::english), text) << c.name;
  }
}

}  // namespace
