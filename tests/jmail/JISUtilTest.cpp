// Per-character conversion: codes of known characters (JIS X 0208 code charts,
// confirmed with iconv CP932 -> ISO-2022-JP), the edge pairs the header encoder
// meets (user-defined lead, unusable second byte), and the two-byte form of a code.
#include "jmail/JISUtil.h"

#include <gtest/gtest.h>
#include <iconv.h>

namespace {

TEST(JISUtil, PairToCodePutsLeadInHighByte) {
  EXPECT_EQ(PairToCode(0x82, 0xA0), 0x82A0);
  EXPECT_EQ(PairToCode(0xFC, 0x00), 0xFC00);
  EXPECT_EQ(PairToCode(0x00, 0xFF), 0x00FF);
}

TEST(JISUtil, SjisToJisVectors) {
  struct Case {
    uint16_t sjis, jis;
    const char* what;
  };
  const Case cases[] = {
      {0x82A0, 0x2422, "hiragana a"},
      {0x8ABF, 0x3441, "kan"},
      {0x8140, 0x2121, "ideographic space, first cell of row 1"},
      {0x817E, 0x215F, "last cell below 0x7F"},
      {0x8180, 0x2160, "first cell above 0x7F"},
      {0x819E, 0x217E, "last cell of an odd row"},
      {0x819F, 0x2221, "first cell of an even row"},
      {0x81FC, 0x227E, "last cell of an even row"},
      {0x9FFC, 0x5E7E, "last cell of lead 0x9F"},
      {0xE040, 0x5F21, "first cell of lead 0xE0"},
      {0xEAA4, 0x7426, "last JIS X 0208 character"},
      {0xEFFC, 0x7E7E, "last cell of lead 0xEF"},
      {0xF040, 0x7F21, "user-defined lead: outside the JIS rows"},
      {0x8220, 0x2401, "unusable second byte converted all the same"},
      {0x8200, 0x2402, "zero second byte"},
  };
  for (const Case& c : cases) EXPECT_EQ(SjisToJis(c.sjis), c.jis) << c.what;
}

TEST(JISUtil, SjisToJisNeverSetsBitSeven) {
  for (unsigned code = 0; code <= 0xFFFF; ++code)
    ASSERT_EQ(SjisToJis(static_cast<uint16_t>(code)) & 0x8080, 0) << std::hex << code;
}

TEST(JISUtil, CodeToStrGivesHighByteFirst) {
  EXPECT_EQ(CodeToStr(0x2422), std::string("\x24\x22"));
  EXPECT_EQ(CodeToStr(0x0000), std::string("\0\0", 2));
  EXPECT_EQ(CodeToStr(0xFF01), std::string("\xFF\x01"));
}

// Oracle: glibc's ISO-2022-JP decoder, which takes every JIS X 0208 character
// after ESC $ B and refuses every other code.
TEST(JISUtil, IsJisX0208AgreesWithIconv) {
  iconv_t cd = iconv_open("UTF-8", "ISO-2022-JP");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int assigned = 0;
  for (unsigned code = 0; code <= 0xFFFF; ++code) {
    const unsigned hi = code >> 8, lo = code & 0xFF;
    bool decodes = false;
    if (hi >= 0x21 && hi <= 0x7E && lo >= 0x21 && lo <= 0x7E) {
      std::string in = "\x1B$B" + CodeToStr(static_cast<uint16_t>(code)) + "\x1B(B";
      char out[16];
      char* src = in.data();
      char* dst = out;
      size_t inLeft = in.size(), outLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      decodes = iconv(cd, &src, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1);
    }
    ASSERT_EQ(IsJisX0208(static_cast<uint16_t>(code)), decodes) << std::hex << code;
    assigned += decodes;
  }
  iconv_close(cd);
  EXPECT_EQ(assigned, 6879);
}

}  // namespace
