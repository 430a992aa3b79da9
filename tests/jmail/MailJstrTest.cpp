// Text conversion and encoded words: ConvertToJis, JisOffset, EncodeSubject,
// EncodeHeaderLine and the base64 producers of the unit.
#include "jmail/MailJstr.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "jmail/JISUtil.h"
#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

using encoding_test::RandomBytes;
using encoding_test::ReferenceBase64;

const std::string kJ = "\x1B$B";  // ESC $ B
const std::string kA = "\x1B(B";  // ESC ( B

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

// Expected values: the examples of the conversion rules, the pair values checked
// with iconv CP932 -> ISO-2022-JP (0x82A0 -> 2422, 0x8ABF -> 3441, 0xEAA4 -> 7426).
TEST(ConvertToJis, Vectors) {
  struct Case {
    std::string in, out;
    const char* what;
  };
  const Case cases[] = {
      {"", "", "empty text"},
      {"\x82\xA0", kJ + "\x24\x22" + kA, "one double-byte character"},
      {"\x8A\xBF", kJ + "\x34\x41" + kA, "kan"},
      {"A", kA + "A", "single byte first gets ESC ( B"},
      {"A\x82\xA0", kA + "A" + kJ + "\x24\x22" + kA, "ASCII then kana"},
      {"\x82\xA0" "A", kJ + "\x24\x22" + kA + "A", "kana then ASCII"},
      {"\x82\xA0\x8A\xBF", kJ + "\x24\x22\x34\x41" + kA, "a run shares one escape pair"},
      {"\xB1", kA + "\xB1", "half-width katakana copied raw"},
      {"A\x82", kA + "A", "lead byte at the end dropped"},
      {"\x82", "", "lone lead byte"},
      {"\x82\x20", "\x82\x20", "lead before unusable byte: both raw, no escape"},
      {"\x82\xA0\x82\x20", kJ + "\x24\x22" + kA + "\x82\x20", "unusable pair after kana"},
      {"\x82\x7F", "\x82\x7F", "0x7F is no second byte"},
      {"\x82\xFD", "\x82\xFD", "0xFD is no second byte"},
      {std::string("AB\0\x82\xA0", 5), kA + "AB", "stops at a zero byte"},
      {std::string("\0AB", 3), "", "zero byte first"},
      {"\x81\x40", kJ + "\x21\x21" + kA, "ideographic space"},
      {"\xEA\xA4", kJ + "\x74\x26" + kA, "last JIS X 0208 character"},
      {"\xF0\x40", kA + "\xF0\x40", "user-defined lead is two single bytes"},
      {"\x1B" "A", kA + "\x1B" "A", "ESC in the text is copied"},
      {"a\r\nb", kA + "a\r\nb", "CR and LF copied like any byte"},
      {"\x80\xA0\xFF", kA + "\x80\xA0\xFF", "0x80, 0xA0, 0xFF are single bytes"},
      {"\x82\x82\xA0", kJ + "\x23\x62" + kA + "\xA0", "a lead byte is a usable second byte"},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertToJis(c.in), c.out) << c.what;
}

TEST(ConvertToJis, LongTextAcrossInternalChunksMatchesPieceByPiece) {
  // Alternating kana and ASCII is the text that grows most (3 bytes in, 9 out);
  // a pending lead byte sits at many chunk edges because the pattern is 3 bytes.
  std::string text, expected = kA + "Z";
  text = "Z";
  for (int i = 0; i < 5000; ++i) {
    text += "\x82\xA0" "A";
    expected += kJ + "\x24\x22" + kA + "A";
  }
  EXPECT_EQ(ConvertToJis(text), expected);
}

// The conversion rules followed byte by byte, with JisOffset: the oracle for random
// text below.
std::string ConvertByTheRules(const std::string& text) {
  std::string out;
  bool jis = false;
  int lead = -1;
  for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const bool isLead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
    const bool usable = (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
    if (lead < 0 && isLead) {
      lead = b;
    } else if (lead >= 0 && usable) {
      const int code = lead * 512 + b - JisOffset(static_cast<unsigned char>(lead), b);
      if (!jis) out += kJ;
      jis = true;
      out += static_cast<char>(code >> 8);
      out += static_cast<char>(code & 0xFF);
      lead = -1;
    } else {
      if (jis || i == 0) out += kA;
      jis = false;
      if (lead >= 0) out += static_cast<char>(lead);
      lead = -1;
      out += static_cast<char>(b);
    }
  }
  if (jis) out += kA;
  return out;
}

// Random bytes weighted towards lead bytes, usable and unusable second bytes and
// zero bytes, in lengths up to beyond the size of the shared conversion buffer.
TEST(ConvertToJis, RandomTextFollowsTheRules) {
  std::mt19937 gen(11);
  const unsigned char pool[] = {'A', ' ', '\r', 0x00, 0x1B, 0x20, 0x3F, 0x40, 0x7E, 0x7F, 0x80, 0x81, 0x82,
                                0x9E, 0x9F, 0xA0, 0xB1, 0xDF, 0xE0, 0xEA, 0xEF, 0xF0, 0xFC, 0xFD, 0xFF};
  for (int round = 0; round < 3000; ++round) {
    const size_t length = round < 2990 ? gen() % 40 : 30000 + gen() % 40000;
    std::string text;
    for (size_t i = 0; i < length; ++i) {
      const unsigned char b = gen() % 4 == 0 ? static_cast<unsigned char>(gen()) : pool[gen() % sizeof pool];
      text += static_cast<char>(b == 0 && gen() % 8 != 0 ? 'z' : b);
    }
    ASSERT_EQ(ConvertToJis(text), ConvertByTheRules(text)) << testing::PrintToString(text);
  }
}

TEST(JisOffset, Table) {
  struct Case {
    int lead, second, offset;
  };
  const Case cases[] = {
      {0x81, 0x40, 0xE11F},  {0x9F, 0x7E, 0xE11F},  {0x81, 0x80, 0xE120},  {0x9F, 0x9E, 0xE120},
      {0x81, 0x9F, 0xE07E},  {0x9F, 0xFC, 0xE07E},  {0xE0, 0x40, 0x1611F}, {0xEF, 0x9E, 0x16120},
      {0xEA, 0xA4, 0x1607E}, {0xF0, 0x40, 0x1611F}, {0x81, 0x3F, 0},       {0x81, 0x7F, 0},
      {0x81, 0xFD, 0},       {0xE0, 0x00, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(JisOffset(static_cast<unsigned char>(c.lead), static_cast<unsigned char>(c.second)), c.offset)
        << std::hex << c.lead << " " << c.second;
}

// Every lead 0x81-0x9F, 0xE0-0xEF with every usable second byte: ConvertToJis,
// the offset arithmetic and the per-character path give the same pair.
TEST(JisAgreement, ConvertToJisAndSjisToJisAgreeOnEveryValidPair) {
  for (int lead = 0x81; lead <= 0xEF; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (int second = 0x40; second <= 0xFC; ++second) {
      if (second == 0x7F) continue;
      const auto l = static_cast<unsigned char>(lead), s = static_cast<unsigned char>(second);
      const uint16_t code = SjisToJis(PairToCode(l, s));
      ASSERT_EQ(code, lead * 512 + second - JisOffset(l, s)) << std::hex << lead << " " << second;
      const std::string pair = CodeToStr(code);
      ASSERT_EQ(ConvertToJis(Bytes({lead, second})), kJ + pair + kA) << std::hex << lead << " " << second;
      ASSERT_EQ(EncodeHeaderLine(Bytes({lead, second})),
                "=?ISO-2022-JP?B?" + ReferenceBase64(kJ + pair + kA) + "?=")
          << std::hex << lead << " " << second;
    }
  }
}

// glibc iconv CP932 -> ISO-2022-JP. It is compared wherever it gives a plain JIS
// X 0208 pair (ESC $ B, two bytes, ESC ( B). Left out: codes iconv refuses (empty
// cells; six JIS X 0208 characters that code page 932 maps to other Unicode
// characters than JIS does: 0x8160, 0x8161, 0x817C, 0x8191, 0x8192, 0x81CA, so
// 6873 of the 6879 are compared) and the rows outside JIS X 0208 that iconv maps onto
// their JIS X 0208 twins through Unicode: NEC row 13 (lead 0x87: e.g. 0x879B, the
// union sign, becomes 0x223E) and the NEC-selected IBM extensions (leads 0xED,
// 0xEE). Our conversion keeps the arithmetic position of those codes.
TEST(JisAgreement, MatchesIconvOnJisX0208) {
  iconv_t cd = iconv_open("ISO-2022-JP", "CP932");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int compared = 0, twins = 0;
  for (int lead = 0x81; lead <= 0xEF; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (int second = 0x40; second <= 0xFC; ++second) {
      if (second == 0x7F) continue;
      std::string in = Bytes({lead, second});
      char outBuf[32];
      char* inPtr = in.data();
      char* outPtr = outBuf;
      size_t inLeft = in.size(), outLeft = sizeof outBuf;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) continue;
      if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) continue;
      const std::string got(outBuf, static_cast<size_t>(outPtr - outBuf));
      if (got.size() != 8 || got.compare(0, 3, kJ) != 0 || got.compare(5, 3, kA) != 0) continue;
      const std::string ours = ConvertToJis(in);
      if (lead == 0x87 || lead == 0xED || lead == 0xEE) {
        ++twins;
        continue;
      }
      ++compared;
      EXPECT_EQ(ours, got) << std::hex << lead << " " << second;
    }
  }
  iconv_close(cd);
  // JIS X 0208 has 6879 characters; make sure iconv took part at all.
  EXPECT_GT(compared, 6800) << "twins left out: " << twins;
  std::printf("compared with iconv: %d, twins left out: %d\n", compared, twins);
}

// Expected words: Python's iso2022_jp codec and base64 module.
TEST(EncodeSubject, Vectors) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"Hello", "=?ISO-2022-JP?B?GyhCSGVsbG8=?="},
      {Utf8ToCp932("あ"), "=?ISO-2022-JP?B?GyRCJCIbKEI=?="},
      {Utf8ToCp932("Re: 会議"), "=?ISO-2022-JP?B?GyhCUmU6IBskQjJxNUQbKEI=?="},
      {"", "=?ISO-2022-JP?B?" "?="},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeSubject(c.in), c.out) << c.in;
}

// Expected words: Python's iso2022_jp codec and base64 module; the edge pairs use
// the codes of the per-character arithmetic (JISUtil test).
TEST(EncodeHeaderLine, Vectors) {
  struct Case {
    std::string in, out;
    const char* what;
  };
  const Case cases[] = {
      {Utf8ToCp932("資料.txt"), "=?ISO-2022-JP?B?GyRCO3FOQRsoQg==?=.txt", "file name"},
      {Utf8ToCp932("田中 太郎 abc"),
       "=?ISO-2022-JP?B?GyRCRURDZhsoQg==?= =?ISO-2022-JP?B?GyRCQkBPOhsoQg==?= abc", "two runs, one space"},
      {"Subject: =?ISO-2022-JP?B?GyhCSGVsbG8=?=", "Subject: =?ISO-2022-JP?B?GyhCSGVsbG8=?=", "ASCII unchanged"},
      {"", "", "empty line"},
      {"To: \xB1\xB2 x", "To: \xB1\xB2 x", "half-width katakana stay raw"},
      {Utf8ToCp932("表"), "=?ISO-2022-JP?B?GyRCST0bKEI=?=", "second byte 0x5C belongs to the character"},
      {"\xF0\x40", "=?ISO-2022-JP?B?GyRCfyEbKEI=?=", "user-defined lead converted by arithmetic"},
      {"\x82\x20", "=?ISO-2022-JP?B?GyRCJAEbKEI=?=", "unusable second byte converted all the same"},
      {"A\x82", "A=?ISO-2022-JP?B?GyRCJAIbKEI=?=", "lone lead at the end pairs with a zero byte"},
      {"\x82", "=?ISO-2022-JP?B?GyRCJAIbKEI=?=", "line of one lead byte"},
      {Utf8ToCp932("あいうえおかきくけこさしすせそたちつてと"),
       "=?ISO-2022-JP?B?GyRCJCIkJCQmJCgkKiQrJC0kLyQxJDMkNSQ3JDkkOyQ9JD8kQSREJEYkSBsoQg==?=",
       "20 characters: one word, no line break"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeHeaderLine(c.in), c.out) << c.what;
}

TEST(EncodeHeaderLine, LoneLeadByteNeverReadsPastTheText) {
  // The lead byte is the last byte of a buffer of its own size; a read past it
  // shows under the address sanitizer build, and the result must not depend on
  // whatever byte follows in memory.
  std::string a = "x\x82";
  std::string b = std::string("x\x82\x41", 3).substr(0, 2);
  EXPECT_EQ(EncodeHeaderLine(a), EncodeHeaderLine(b));
  EXPECT_EQ(EncodeHeaderLine(a), "x=?ISO-2022-JP?B?GyRCJAIbKEI=?=");
}

TEST(Base64, CharAndGroup) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (unsigned v = 0; v < 64; ++v) EXPECT_EQ(Base64Char(v), alphabet[v]) << v;
  char out[5] = {};
  Base64EncodeGroup('M', 'a', 'n', out);
  EXPECT_STREQ(out, "TWFu");  // RFC 4648 example
  Base64EncodeGroup(0xFF, 0xFF, 0xFF, out);
  EXPECT_STREQ(out, "////");
  Base64EncodeGroup(0, 0, 0, out);
  EXPECT_STREQ(out, "AAAA");
}

// RFC 4648 test vectors.
TEST(Base64, StrVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(Base64EncodeStr(in), out) << in;
    EXPECT_EQ(ProcessorBase64(in), out) << in;
  }
}

TEST(Base64, BufRefusesUnpaddedRestAndLeavesOutputsAlone) {
  const std::string src = "abcd";
  char dest[16];
  std::memset(dest, '#', sizeof dest);
  size_t written = 12345;
  EXPECT_FALSE(Base64EncodeBuf(src.data(), src.size(), dest, false, written));
  EXPECT_EQ(written, 12345u);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string(16, '#'));

  EXPECT_TRUE(Base64EncodeBuf(src.data(), src.size(), dest, true, written));
  EXPECT_EQ(written, 8u);
  EXPECT_EQ(std::string(dest, 8), "YWJjZA==");
  EXPECT_EQ(dest[8], '#') << "no terminator written";

  EXPECT_TRUE(Base64EncodeBuf(src.data(), 3, dest, false, written));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(std::string(dest, 4), "YWJj");
  EXPECT_TRUE(Base64EncodeBuf(src.data(), 0, dest, false, written));
  EXPECT_EQ(written, 0u);
}

TEST(Base64, ProducersMatchReferenceForEveryLengthUpTo300) {
  for (size_t n = 0; n <= 300; ++n) {
    const std::string in = RandomBytes(n, static_cast<uint32_t>(n) + 1);
    const std::string ref = ReferenceBase64(in);
    ASSERT_EQ(Base64EncodeStr(in), ref) << n;
    ASSERT_EQ(ProcessorBase64(in), ref) << n;
    std::string buf(ref.size() + 1, '#');
    size_t written = 0;
    ASSERT_TRUE(Base64EncodeBuf(in.data(), n, buf.data(), true, written));
    ASSERT_EQ(written, ref.size());
    ASSERT_EQ(buf, ref + "#") << n;
  }
}

TEST(Base64, ProducersMatchCoreutilsOnALargeFile) {
  encoding_test::ScratchDir dir;
  const std::string path = dir.Path() + "large.bin";
  const std::string in = RandomBytes(3 * 1024 * 1024 + 2, 7);
  encoding_test::WriteOsFile(path, in);
  const std::string expected = encoding_test::RunCommand("base64 -w 0 " + path);
  ASSERT_EQ(expected.size(), (in.size() + 2) / 3 * 4);
  EXPECT_TRUE(Base64EncodeStr(in) == expected);
  EXPECT_TRUE(ProcessorBase64(in) == expected);
  std::string buf(expected.size(), '\0');
  size_t written = 0;
  ASSERT_TRUE(Base64EncodeBuf(in.data(), in.size(), buf.data(), true, written));
  EXPECT_TRUE(buf == expected);
}

}  // namespace
