// The line-length limits: SplitJisLine (body lines and the bytes of long encoded
// words) and FoldHeaderLine (header lines), by tables of exact results and by
// round trips through iconv's ISO-2022-JP decoder.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "jmail/MailJstr.h"
#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

using encoding_test::ReferenceBase64;

const std::string kJ = "\x1B$B";  // ESC $ B
const std::string kA = "\x1B(B";  // ESC ( B

// ISO-2022-JP bytes decoded by glibc iconv into UTF-8; "<bad>" when iconv refuses.
std::string JisToUtf8(const std::string& jis) {
  iconv_t cd = iconv_open("UTF-8", "ISO-2022-JP");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
  std::string out(jis.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(jis.data());
  size_t inLeft = jis.size();
  char* o = out.data();
  size_t outLeft = out.size();
  const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return "<bad>";
  out.resize(out.size() - outLeft);
  return out;
}

// The UTF-8 text of a UTF-8 literal converted as a macro line is.
std::string Jis(const std::string& utf8) { return ConvertToJis(Utf8ToCp932(utf8)); }

std::string Word(const std::string& jis) { return "=?ISO-2022-JP?B?" + ReferenceBase64(jis) + "?="; }

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Expected pieces worked out by hand from the rule: every piece starts with the
// escape of its mode, a JIS piece keeps three bytes for its closing ESC ( B.
TEST(SplitJisLine, Table) {
  struct Case {
    std::string jis;
    size_t limit;
    std::vector<std::string> pieces;
    const char* what;
  };
  const Case cases[] = {
      {kA + "abc", 6, {kA + "abc"}, "a line that fits stays as it is"},
      {Jis("あ"), 8, {Jis("あ")}, "exactly the limit"},
      {"", 8, {""}, "empty line"},
      {kA + "abcdefgh", 8, {kA + "abcde", kA + "fgh"}, "ASCII pieces start with ESC ( B"},
      {kA + "abcdefgh", 6, {kA + "abcde", kA + "fgh"}, "a limit below 8 counts as 8"},
      {Jis("あいう"), 10, {kJ + "$\"$$" + kA, kJ + "$&" + kA}, "JIS pieces are closed and reopened"},
      {Jis("aあb"), 8, {kA + "a", kJ + "$\"" + kA, kA + "b"}, "each mode change that does not fit starts a piece"},
      {Jis("あい"), 1, {kJ + "$\"" + kA, kJ + "$$" + kA}, "the smallest JIS piece"},
      {Jis("あい"), 9, {kJ + "$\"" + kA, kJ + "$$" + kA}, "a pair is never cut"},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitJisLine(c.jis, c.limit), c.pieces) << c.what;
}

TEST(SplitJisLine, LongMixedLinesDecodeBackPieceByPiece) {
  const std::string texts[] = {
      Repeat("日本語のテキスト、", 200),                 // JIS only
      Repeat("abc ", 400),                                // ASCII only
      Repeat("会議 meeting ﾃｽﾄ 12:00 ", 90),             // mixed, with half-width kana (raw bytes)
  };
  for (const std::string& text : texts) {
    const std::string cp932 = Utf8ToCp932(text);
    const std::string jis = ConvertToJis(cp932);
    ASSERT_GT(jis.size(), kMaxLineOctets);
    const std::vector<std::string> pieces = SplitJisLine(jis);
    ASSERT_GT(pieces.size(), 1u);
    std::string joined;
    for (const std::string& piece : pieces) {
      EXPECT_LE(piece.size(), kMaxLineOctets);
      EXPECT_EQ(piece[0], '\x1B');
      const size_t lastJ = piece.rfind(kJ), lastA = piece.rfind(kA);
      EXPECT_TRUE(lastJ == std::string::npos || (lastA != std::string::npos && lastA > lastJ)) << "ends in JIS mode";
      joined += piece;
    }
    // Half-width kana are copied as raw bytes, which iconv does not take: compare
    // those lines byte-wise with the escapes removed.
    if (text.find("ﾃ") == std::string::npos) {
      std::string decoded;
      for (const std::string& piece : pieces) decoded += JisToUtf8(piece);
      EXPECT_EQ(decoded, text);
    } else {
      auto strip = [](std::string s) {
        for (const std::string& e : {kJ, kA})
          for (size_t at; (at = s.find(e)) != std::string::npos;) s.erase(at, 3);
        return s;
      };
      EXPECT_EQ(strip(joined), strip(jis));
    }
  }
}

TEST(FoldHeaderLine, Table) {
  const std::string addr = "abcdefghijklmnopq@x.test";  // 24 octets
  const std::string nine = "aaaaaaaaa";
  const std::string longJis = kJ + Repeat("$\"", 30) + kA;  // 30 x あ: a 106-octet word
  const std::string half = Word(kJ + Repeat("$\"", 15) + kA);  // 36 JIS bytes: 66 octets
  const std::string longToken = "X-Long: " + std::string(1200, 'x');
  const std::string exact = "X-Fits: " + std::string(990, 'y');  // 998 octets
  struct Case {
    std::string line;
    size_t limit;
    std::string folded;
    const char* what;
  };
  const Case cases[] = {
      {"Subject: " + Word(longJis), 998, "Subject: " + Word(longJis), "within the limit: unchanged"},
      {exact, 998, exact, "998 octets: unchanged"},
      {"Subject: " + Word(longJis), 10, "Subject: " + half + "\r\n " + half, "a long word becomes two words"},
      {"Subject: " + Repeat(nine + " ", 9) + nine, 10,
       "Subject:" + Repeat(" " + nine, 7) + "\r\n" + Repeat(" " + nine, 3), "folds before existing blanks"},
      {"To: " + Repeat(addr + ",", 4) + addr, 10, "To: " + addr + "," + addr + ",\r\n " + Repeat(addr + ",", 2) + addr,
       "folds after commas of an address list"},
      {"Subject: " + Repeat(addr + ",", 4) + addr, 10, "Subject: " + Repeat(addr + ",", 4) + addr,
       "no comma folds outside address headers"},
      {"From: " + Word(kJ + Repeat("$\"", 10) + kA) + Word(kJ + "$$" + kA) + std::string(70, 'z'), 10,
       "From: " + Word(kJ + Repeat("$\"", 10) + kA) + "\r\n " + Word(kJ + "$$" + kA) + std::string(70, 'z'),
       "folds between adjacent words, not inside the text glued to a word"},
      {longToken, 998, longToken, "no fold point: stays one line"},
      {"Subject: a " + std::string(100, 'b') + "  ", 10, "Subject: a\r\n " + std::string(100, 'b') + "  ",
       "never a continuation line of blanks only"},
  };
  for (const Case& c : cases) EXPECT_EQ(FoldHeaderLine(c.line, c.limit), c.folded) << c.what;
}

// Decodes a header value as a mail reader does: unfold (remove CR LF), then replace
// each ISO-2022-JP "B" word by its text, dropping blanks between adjacent words.
std::string DecodeHeader(const std::string& value) {
  std::string unfolded;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n')
      ++i;
    else
      unfolded += value[i];
  }
  std::string out, pendingBlank;
  bool lastWasWord = false;
  for (size_t i = 0; i < unfolded.size();) {
    if (unfolded.compare(i, 16, "=?ISO-2022-JP?B?") == 0) {
      const size_t end = unfolded.find("?=", i + 16);
      const std::string b64 = unfolded.substr(i + 16, end - i - 16);
      std::string bytes;
      uint32_t bits = 0;
      int count = 0;
      for (char c : b64) {
        const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (c == '=') break;
        bits = bits << 6 | static_cast<uint32_t>(std::string(abc).find(c));
        if ((count += 6) >= 8) bytes += static_cast<char>((bits >> (count -= 8)) & 0xFF);
      }
      if (!lastWasWord) out += pendingBlank;
      out += JisToUtf8(bytes);
      pendingBlank.clear();
      lastWasWord = true;
      i = end + 2;
    } else if (unfolded[i] == ' ' || unfolded[i] == '\t') {
      pendingBlank += unfolded[i++];
    } else {
      out += pendingBlank;
      pendingBlank.clear();
      out += unfolded[i++];
      lastWasWord = false;
    }
  }
  return out + pendingBlank;
}

TEST(FoldHeaderLine, LongJapaneseHeadersDecodeToTheirText) {
  const std::string subject = Repeat("会議資料の送付（１２月分）と議事録 ", 60);  // far over 998 octets
  const std::string name = Repeat("山田太郎", 200);
  const std::string lines[] = {
      "Subject: " + EncodeSubject(Utf8ToCp932(subject)),
      EncodeHeaderLine(Utf8ToCp932("From: " + name + "<taro@example.jp>")),
      EncodeHeaderLine(Utf8ToCp932("Subject: " + subject)),  // words between blanks
  };
  // Readers drop a blank between two encoded words, folded or not: the third line
  // reads without its blanks, as it did before folding.
  std::string unblanked = subject;
  for (size_t at; (at = unblanked.find(' ')) != std::string::npos;) unblanked.erase(at, 1);
  const std::string texts[] = {"Subject: " + subject, "From: " + name + "<taro@example.jp>", "Subject: " + unblanked + " "};
  for (int k = 0; k < 3; ++k) {
    ASSERT_GT(lines[k].size(), kMaxLineOctets);
    const std::string folded = FoldHeaderLine(lines[k]);
    // Lines aim at 78 octets; the first holds at least the name, its blank and one
    // encoded word of up to 75 octets.
    size_t start = 0;
    for (size_t end; start <= folded.size(); start = end + 2) {
      end = folded.find("\r\n", start);
      if (end == std::string::npos) end = folded.size();
      EXPECT_LE(end - start, start == 0 ? folded.find(':') + 2 + 75 : 78u) << k;
      if (start > 0) {
        EXPECT_TRUE(folded[start] == ' ' || folded[start] == '\t') << k;
      }
      if (end == folded.size()) break;
    }
    EXPECT_TRUE(DecodeHeader(folded) == DecodeHeader(lines[k])) << k;
    EXPECT_TRUE(DecodeHeader(folded) == texts[k]) << k;
  }
}

}  // namespace
