// The CP932 to UTF-8 conversion that appends to a buffer: what it appends, what it
// leaves on failure, and the bad offset it reports, against the converting form.
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AppendCp932ToUtf8, AppendsOrLeavesTheBufferAsItWas) {
  struct Case {
    const char* name;
    std::string before, cp932;
    bool ok;
    std::string after;
    size_t bad;  // with ok false
  } cases[] = {
      {"into an empty buffer", "", "abc\x82\xA0", true, "abc\xE3\x81\x82", 0},
      {"after what the buffer holds", "x\r\n", "\x8A\xBF\x8E\x9A", true, "x\r\n\xE6\xBC\xA2\xE5\xAD\x97", 0},
      {"nothing to convert", "kept", "", true, "kept", 0},
      {"a lead byte without its second", "kept", "ab\x82", false, "kept", 2},
      {"no CP932 sequence in the middle", "kept", "a\x82\xA0\x85\x40z", false, "kept", 3},
      // Past the first room before it fails: the buffer goes back to what it held.
      {"a long text that fails at its end", std::string(5000, 'p'), std::string(3000, 'a') + "\x82", false,
       std::string(5000, 'p'), 3000},
  };
  for (const Case& c : cases) {
    std::string out = c.before;
    size_t bad = 12345;
    EXPECT_EQ(AppendCp932ToUtf8(c.cp932, out, &bad), c.ok) << c.name;
    EXPECT_EQ(out, c.after) << c.name;
    if (!c.ok) {
      EXPECT_EQ(bad, c.bad) << c.name;
      continue;
    }
    std::string alone;
    ASSERT_TRUE(TryCp932ToUtf8(c.cp932, alone)) << c.name;
    EXPECT_EQ(c.before + alone, out) << c.name;
  }
  // Many characters: the text grows past the first room several times.
  std::string kanji;
  for (int i = 0; i < 4000; ++i) kanji += "\x8A\xBF";
  std::string out = "head";
  ASSERT_TRUE(AppendCp932ToUtf8(kanji, out));
  std::string expected = "head";
  for (int i = 0; i < 4000; ++i) expected += "\xE6\xBC\xA2";
  EXPECT_EQ(out, expected);
}

}  // namespace
