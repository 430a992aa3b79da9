// What a message that ISO-2022-JP cannot hold is built from: the check that text
// fits ISO-2022-JP, CP932 -> UTF-8, UTF-8 encoded words, header text with blanks
// kept between Japanese runs, base64 body lines and the attachment names.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "jmail/JISUtil.h"
#include "jmail/MailJstr.h"
#include "platform/FileUtil.h"
#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

using encoding_test::RandomBytes;
using encoding_test::ReferenceBase64;

const std::string kFFFD = "\xEF\xBF\xBD";

std::string Cp(const std::string& utf8) { return Utf8ToCp932(utf8); }

std::string Hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

// True when glibc iconv converts the bytes from the named charset to UTF-8.
bool IconvDecodes(const char* charset, const std::string& bytes) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char out[64];
  char* in = const_cast<char*>(bytes.data());
  char* o = out;
  size_t inLeft = bytes.size(), outLeft = sizeof out;
  bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &o, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  return ok;
}

// Every lead byte of code page 932 with every byte that may follow it.
template <class F>
void ForEachPair(F f) {
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (int second = 0x40; second <= 0xFC; ++second) {
      if (second == 0x7F) continue;
      f(std::string{static_cast<char>(lead), static_cast<char>(second)});
    }
  }
}

// Oracle: glibc's SHIFT_JIS decoder, which knows JIS X 0208 and JIS X 0201 only.
TEST(FitsIso2022Jp, EveryDoubleBytePairAgreesWithStrictShiftJis) {
  int fits = 0;
  ForEachPair([&](const std::string& pair) {
    const bool expected = IconvDecodes("SHIFT_JIS", pair);
    ASSERT_EQ(FitsIso2022Jp(pair), expected) << Hex(pair);
    fits += expected;
  });
  EXPECT_EQ(fits, 6879);
}

// Bytes: Python's cp932 codec (e.g. "①".encode("cp932") == b"\x87\x40").
TEST(FitsIso2022Jp, Texts) {
  const struct {
    std::string text;
    bool fits;
    const char* what;
  } cases[] = {
      {"", true, "empty"},
      {"Hello, world\t~\\", true, "ASCII"},
      {Cp("会議の資料です。〜"), true, "JIS X 0208, wave dash included"},
      {"\xB1\xB2\xB3", false, "half-width katakana"},
      {Cp("予定") + "\xB6\xDE", false, "half-width katakana after kanji"},
      {"\x87\x40", false, "NEC row 13: circled one"},
      {"\x87\x54", false, "NEC row 13: Roman numeral one"},
      {"\x87\x8A", false, "NEC row 13: parenthesised kabushiki"},
      {"\x87\x60", false, "NEC row 13: kiro"},
      {"\x87\x90", false, "NEC row 13 twin of a row 2 sign"},
      {"\xEE\xE0\x8B\xB4", false, "taka (NEC-selected IBM) in a family name"},
      {"\xFB\xFC", false, "taka (IBM extension)"},
      {"\x8E\x52\xED\x95", false, "saki (NEC-selected IBM)"},
      {"\xFA\xB1", false, "saki (IBM extension)"},
      {"\xED\x9E", false, "toku (NEC-selected IBM)"},
      {"\xF0\x40", false, "user-defined"},
      {"\x81\xAD", false, "empty cell of row 2"},
      {"\x80", false, "0x80"},
      {"\xA0", false, "0xA0"},
      {"\xFD", false, "0xFD"},
      {"a\x82", false, "lead byte at the end"},
      {"\x82\x20", false, "lead byte before a blank"},
      {std::string("a\0b", 3), false, "zero byte: the conversion would stop there"},
      {"a\x1B$Bb", false, "ESC: a reader would switch modes"},
  };
  for (const auto& c : cases) EXPECT_EQ(FitsIso2022Jp(c.text), c.fits) << c.what;
}

// Oracle: Python's cp932 codec, an implementation independent of glibc, for every
// double-byte pair it decodes, all single bytes and the user-defined area.
TEST(ConvertToUtf8, EveryCp932CharacterMatchesPythonsCodec) {
  const std::string script =
      "import sys\n"
      "for lead in list(range(0x81,0xA0))+list(range(0xE0,0xFD)):\n"
      " for s in range(0x40,0xFD):\n"
      "  b=bytes([lead,s])\n"
      "  try: print(b.hex(), b.decode('cp932').encode('utf-8').hex())\n"
      "  except UnicodeDecodeError: pass\n"
      "for c in list(range(0,0x80))+list(range(0xA1,0xE0)):\n"
      " print(bytes([c]).hex(), bytes([c]).decode('cp932').encode('utf-8').hex())\n";
  encoding_test::ScratchDir dir;
  encoding_test::WriteOsFile(dir.Path() + "map.py", script);
  std::istringstream lines(encoding_test::RunCommand("/usr/bin/python3 " + dir.Path() + "map.py"));
  auto unhex = [](const std::string& h) {
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2) s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
  };
  std::string in, out;
  int compared = 0, userDefined = 0;
  while (lines >> in >> out) {
    const std::string bytes = unhex(in);
    ASSERT_EQ(Hex(ConvertToUtf8(bytes)), Hex(unhex(out))) << in;
    ++compared;
    userDefined += bytes.size() == 2 && static_cast<unsigned char>(bytes[0]) >= 0xF0 &&
                   static_cast<unsigned char>(bytes[0]) <= 0xF9;
  }
  // 7724 double-byte characters, 1880 user-defined, 128 + 63 single bytes.
  EXPECT_EQ(compared, 7724 + 1880 + 191);
  EXPECT_EQ(userDefined, 1880);
}

// Bytes that are no CP932 character: one U+FFFD each; an ASCII byte after a lead
// byte stands for itself (as decoders of the encoding standard for the web do).
TEST(ConvertToUtf8, InvalidBytesBecomeVisibleReplacements) {
  const struct {
    std::string in, out;
    const char* what;
  } cases[] = {
      {"", "", "empty"},
      {"\x80", kFFFD, "0x80"},
      {"\xA0\xFD\xFE\xFF", kFFFD + kFFFD + kFFFD + kFFFD, "0xA0, 0xFD-0xFF: one each"},
      {"a\x82", "a" + kFFFD, "lead byte at the end"},
      {"\x82\x20x", kFFFD + " x", "lead before a blank: the blank stays"},
      {"\x85\x40", kFFFD + "@", "empty cell with an ASCII second byte"},
      {"\x85\x80" "a", kFFFD + "a", "empty cell with a non-ASCII second byte: one replacement"},
      {"\x82\xA0\xFF\x82\xA2", "あ" + kFFFD + "い", "text around a bad byte is kept"},
      {std::string("a\0b", 3), std::string("a\0b", 3), "zero byte kept"},
      {"\xF0\x40", "\xEE\x80\x80", "user-defined: private use area"},
      {"\xB6\xDE", "ｶﾞ", "half-width katakana"},
      {"\x5C\x7E", "\\~", "0x5C and 0x7E are ASCII"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(ConvertToUtf8(c.in)), Hex(c.out)) << c.what;
}

TEST(ConvertToUtf8, ManyBadBytesInALongTextKeepEveryGoodCharacter) {
  std::string in, expected;
  for (int i = 0; i < 2000; ++i) {
    in += "\x82\xA0" "ab\x80";
    expected += "あab" + kFFFD;
  }
  EXPECT_EQ(ConvertToUtf8(in), expected);
}

// A line of a million bytes that are no character: each bad byte costs work in
// proportion to itself, not to the rest of the line (which made this line cost
// terabytes of buffer filling); bench/JmailBench measures the growth.
TEST(ConvertToUtf8, LongLineOfBadBytes) {
  const std::string in(1 << 20, '\xFF');
  const std::string out = ConvertToUtf8(in + "\x82\xA0");
  ASSERT_EQ(out.size(), 3u * (1 << 20) + 3);
  EXPECT_EQ(out.substr(out.size() - 6), kFFFD + "あ");
  size_t replacements = 0;
  for (size_t at = 0; (at = out.find(kFFFD, at)) != std::string::npos; at += 3) ++replacements;
  EXPECT_EQ(replacements, size_t{1} << 20);
}

// Expected words: Python's base64 module on the UTF-8 text.
TEST(EncodeSubjectUtf8, Vectors) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Hello", "=?UTF-8?B?SGVsbG8=?="},
      {"", "=?UTF-8?B?" "?="},
      {Cp("会議 資料"), "=?UTF-8?B?5Lya6K2wIOizh+aWmQ==?="},
      {"\xB1\xB2\xB3\xB4\xB5 \xB6\xDE", "=?UTF-8?B?772x772y772z77207721IO+9tu++ng==?="},
      {"\x87\x40\x87\x41\x87\x54\x87\x8A\x87\x60", "=?UTF-8?B?4pGg4pGh4oWg44ix44yU?="},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeSubjectUtf8(c.in), c.out);
}

// Long texts: every word at most 75 octets, no character cut, the words' texts
// joined give the whole text (checked against base64 of each piece).
TEST(EncodeSubjectUtf8, LongTextsAreCutBetweenCharacters) {
  for (const std::string& utf8 : {std::string("a") + "日本語の件名がとても長い場合に分割される様子を確かめます",
                                  std::string("ab") + "ｱｲｳｴｵｶｷｸｹｺｻｼｽｾｿﾀﾁﾂﾃﾄﾅﾆﾇﾈﾉ",
                                  std::string(100, 'x')}) {
    const std::string words = EncodeSubjectUtf8(Cp(utf8));
    std::istringstream in(words);
    std::string word, joined;
    size_t count = 0;
    size_t pos = 0;
    while (in >> word) {
      ++count;
      ASSERT_LE(word.size(), 75u);
      ASSERT_EQ(word.compare(0, 10, "=?UTF-8?B?"), 0);
      // The longest prefix of the rest whose base64 is this word's text.
      const std::string b64 = word.substr(10, word.size() - 12);
      size_t len = 0;
      for (size_t n = 1; pos + n <= utf8.size() && n <= 39; ++n)
        if (ReferenceBase64(utf8.substr(pos, n)) == b64) len = n;
      ASSERT_GT(len, 0u) << word;
      const unsigned char next = pos + len < utf8.size() ? static_cast<unsigned char>(utf8[pos + len]) : 0;
      EXPECT_NE(next & 0xC0, 0x80) << "a character cut after word " << count;
      joined += utf8.substr(pos, len);
      pos += len;
    }
    EXPECT_EQ(joined, utf8);
    EXPECT_LE(count, (utf8.size() + 36) / 37) << "words filled up to 39 bytes";
  }
}

std::string JisWord(const std::string& b64) { return "=?ISO-2022-JP?B?" + b64 + "?="; }
std::string Utf8Word(const std::string& b64) { return "=?UTF-8?B?" + b64 + "?="; }

// Expected words: Python's iso2022_jp codec (which writes the blank between two
// runs in ASCII mode, as here) and base64 module.
TEST(EncodeHeaderText, Vectors) {
  const std::string yamadaTaro = "GyRCOzNFRBsoQiAbJEJCQE86GyhC";  // 山田 太郎
  const struct {
    std::string line;
    MailCharset charset;
    std::string out;
    const char* what;
  } cases[] = {
      {Cp("To: 山田 太郎 <taro@example.jp>"), MailCharset::Iso2022Jp,
       "To: " + JisWord(yamadaTaro) + " <taro@example.jp>", "display name: one word with its blank"},
      {Cp("To: 山田 太郎 <taro@example.jp>"), MailCharset::Iso2022JpLegacy,
       "To: " + JisWord("GyRCOzNFRBsoQg==") + " " + JisWord("GyRCQkBPOhsoQg==") + " <taro@example.jp>",
       "legacy: two words"},
      {Cp("To: 山田 太郎 <taro@example.jp>"), MailCharset::Utf8,
       "To: " + Utf8Word("5bGx55SwIOWkqumDjg==") + " <taro@example.jp>", "UTF-8: one word with its blank"},
      {Cp("田中 太郎 abc"), MailCharset::Iso2022Jp, JisWord("GyRCRURDZhsoQiAbJEJCQE86GyhC") + " abc",
       "runs merged, ASCII word after"},
      {Cp("山田 Taro 太郎"), MailCharset::Iso2022Jp,
       JisWord("GyRCOzNFRBsoQg==") + " Taro " + JisWord("GyRCQkBPOhsoQg=="), "alternating words: as before"},
      {Cp("山田 Taro 太郎"), MailCharset::Utf8, Utf8Word("5bGx55Sw") + " Taro " + Utf8Word("5aSq6YOO"),
       "alternating words in UTF-8"},
      {Cp("山田 "), MailCharset::Iso2022Jp, JisWord("GyRCOzNFRBsoQg==") + " ", "blank at the end stays outside"},
      {Cp("From: 山田 太郎<taro@example.jp>"), MailCharset::Iso2022Jp,
       "From: " + JisWord(yamadaTaro) + "<taro@example.jp>", "From line without a blank before <"},
      {"Subject: \xB1\xB2\xB3\xB4\xB5 \xB6\xDE", MailCharset::Utf8,
       "Subject: " + Utf8Word("772x772y772z77207721IO+9tu++ng=="), "half-width runs merged across the blank"},
      {Cp("表.txt"), MailCharset::Utf8, Utf8Word("6KGo") + ".txt", "second byte 0x5C belongs to the character"},
      {"x\x82 y", MailCharset::Utf8, "x" + Utf8Word("77+9") + " y", "lone lead byte: replacement, blank kept"},
      {"Subject: =?ISO-2022-JP?B?GyhCSGVsbG8=?=", MailCharset::Utf8, "Subject: =?ISO-2022-JP?B?GyhCSGVsbG8=?=",
       "ASCII line unchanged"},
      {"", MailCharset::Utf8, "", "empty line"},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeHeaderText(c.line, c.charset), c.out) << c.what;
}

// Without blanks between two runs the merged form is the form of EncodeHeaderLine,
// byte for byte: a random mix of ASCII words and kanji runs glued together.
TEST(EncodeHeaderText, IsoWithoutBlankSeparatedRunsEqualsEncodeHeaderLine) {
  const std::string pieces[] = {Cp("会議"), "abc", Cp("資料"), "-", "x.txt", Cp("表"), "<a@b>", "\xB1", "\x82"};
  std::mt19937 gen(5);
  for (int n = 0; n < 500; ++n) {
    std::string line;
    for (int k = 0; k < 6; ++k) line += pieces[gen() % std::size(pieces)];
    if (line.find(' ') != std::string::npos) continue;
    ASSERT_EQ(EncodeHeaderText(line, MailCharset::Iso2022Jp), EncodeHeaderLine(line)) << Hex(line);
    ASSERT_EQ(EncodeHeaderText(line, MailCharset::Iso2022JpLegacy), EncodeHeaderLine(line)) << Hex(line);
  }
}

TEST(EncodeHeaderText, LongUtf8RunBecomesWordsOfAtMost75Octets) {
  const std::string text = "営業部 第二課 山田 太郎 ご担当者様 見積書送付の件について";
  const std::string line = EncodeHeaderText(Cp("To: " + text + " <a@b.jp>"), MailCharset::Utf8);
  ASSERT_EQ(line.compare(0, 4, "To: "), 0);
  ASSERT_EQ(line.substr(line.size() - 9), " <a@b.jp>");
  EXPECT_EQ(line.substr(4, line.size() - 13), EncodeSubjectUtf8(Cp(text)));
}

// Python's base64 module and coreutils base64 -w 76.
TEST(Base64Lines, WidthsAndLengths) {
  EXPECT_TRUE(Base64Lines("").empty());
  EXPECT_EQ(Base64Lines("foobar"), (std::vector<std::string>{"Zm9vYmFy"}));
  EXPECT_EQ(Base64Lines("foob", 4), (std::vector<std::string>{"Zm9v", "Yg=="}));
  EXPECT_EQ(Base64Lines("foob", 7), (std::vector<std::string>{"Zm9v", "Yg=="})) << "width rounded down";
  for (size_t n : {56, 57, 58, 114, 115, 1000}) {
    const std::string bytes = RandomBytes(n, static_cast<uint32_t>(n));
    const std::vector<std::string> lines = Base64Lines(bytes);
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i + 1 < lines.size()) {
        EXPECT_EQ(lines[i].size(), 76u) << n;
      }
      EXPECT_LE(lines[i].size(), 76u);
      joined += lines[i];
    }
    EXPECT_EQ(joined, ReferenceBase64(bytes)) << n;
  }
}

TEST(Base64Lines, MatchesCoreutils) {
  encoding_test::ScratchDir dir;
  const std::string bytes = RandomBytes(100000, 3);
  encoding_test::WriteOsFile(dir.Path() + "b.bin", bytes);
  std::string expected = encoding_test::RunCommand("base64 -w 76 " + dir.Path() + "b.bin");
  std::string got;
  for (const std::string& line : Base64Lines(bytes)) got += line + "\n";
  EXPECT_TRUE(got == expected);
}

// Expected texts: Python's iso2022_jp and utf-8 codecs, base64 module, and
// urllib.parse.quote(bytes, safe="!#$&+^`|") for the RFC 2231 value.
TEST(AttachmentName, Forms) {
  const std::string name = Cp("見積書_2024年度.txt");
  const std::string utf8Value = "UTF-8''%E8%A6%8B%E7%A9%8D%E6%9B%B8_2024%E5%B9%B4%E5%BA%A6.txt";
  const struct {
    std::string name;
    MailCharset charset;
    std::string encoded;
  } cases[] = {
      {name, MailCharset::Iso2022JpLegacy, EncodeHeaderLine(name)},
      {name, MailCharset::Iso2022Jp, JisWord("GyRCOCtAUT1xGyhCXzIwMjQbJEJHL0VZGyhCLnR4dA==")},
      {name, MailCharset::Utf8, Utf8Word("6KaL56mN5pu4XzIwMjTlubTluqYudHh0")},
      {"plan 2024 (v1).pdf", MailCharset::Utf8, "plan 2024 (v1).pdf"},
      {"plan 2024 (v1).pdf", MailCharset::Iso2022Jp, "plan 2024 (v1).pdf"},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeAttachmentName(c.name, c.charset), c.encoded);
  EXPECT_EQ(ExtendedFileNameParameter(name), "filename*=" + utf8Value);
  EXPECT_EQ(ExtendedFileNameParameter("plan 2024 (v1).pdf"), "");
  EXPECT_NE(EncodeHeaderLine(name).find("?=_2024=?"), std::string::npos) << "the legacy form splits around ASCII";
}

// A long name continues over lines of its own (RFC 2231): the pieces joined give the
// whole value, no %XX is cut, every line stays within 78 octets.
TEST(AttachmentName, LongNamesAreContinued) {
  std::string utf8;
  for (int i = 0; i < 13; ++i) utf8 += "見積書と資料";  // 78 characters
  const std::string name = Cp(utf8.c_str()) + ".txt";
  const std::string param = ExtendedFileNameParameter(name);
  std::string joined;
  size_t start = 0;
  for (int n = 0;; ++n) {
    const size_t end = std::min(param.size(), param.find("\r\n", start));
    std::string line = param.substr(start, end - start);
    EXPECT_LE(line.size() + 1, 78u) << line;
    if (n > 0) {
      ASSERT_EQ(line.substr(0, 1), " ");
      line.erase(0, 1);
    }
    const std::string key = "filename*" + std::to_string(n) + "*=";
    ASSERT_EQ(line.substr(0, key.size()), key) << line;
    line.erase(0, key.size());
    if (end < param.size()) {
      ASSERT_EQ(line.back(), ';');
      line.pop_back();
    }
    const size_t percent = line.rfind('%');
    EXPECT_TRUE(percent == std::string::npos || percent + 3 <= line.size()) << line;
    joined += line;
    if (end == param.size()) break;
    start = end + 2;
  }
  EXPECT_EQ(joined, ExtendedFileNameValue(name));
}

TEST(AttachmentName, PartHeadersByCharset) {
  encoding_test::ScratchDir dir;
  const std::string path = FromOsPath(dir.Path()) + Cp("見積書_2024年度.txt");
  encoding_test::WriteOsFile(ToOsPath(path), "xyz");
  // Every charset gives the same name= and disposition; the description follows the charset.
  for (MailCharset charset : {MailCharset::Iso2022JpLegacy, MailCharset::Iso2022Jp, MailCharset::Utf8}) {
    const std::string name = ExtractFileName(path);
    const TStringList parts = BuildAttachmentParts({path}, charset);
    ASSERT_EQ(parts.Count(), 8);
    EXPECT_EQ(parts[2], "Content-Type: text/plain;name=\"" + Utf8Word("6KaL56mN5pu4XzIwMjTlubTluqYudHh0") + "\"");
    EXPECT_EQ(parts[3], "Content-Disposition: attachment;\r\n filename*=" + ExtendedFileNameValue(name));
    EXPECT_EQ(parts[4], "Content-Description: " + EncodeAttachmentName(name, charset));
    EXPECT_EQ(parts[6], "eHl6");
  }
}

}  // namespace
