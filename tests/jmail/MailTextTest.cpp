// The encoded lines of a message's text (TTextLineEncoder) against the conversions
// they are made of, applied to the whole text at once: ConvertToJis and SplitJisLine
// per line piece, ConvertToUtf8 and Base64Lines over the joined text. Also the
// conversion into a caller's buffer that the encoder runs on.
#include "jmail/MailText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "jmail/MailJstr.h"
#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

using encoding_test::RandomBytes;

std::vector<std::string> Encoded(const TBodyText& text) {
  TTextLineEncoder encoder(text);
  std::vector<std::string> lines;
  for (std::string_view line; encoder.Next(line);) lines.emplace_back(line);
  return lines;
}

// The text's pieces: every line of Lines, then of Tail, split at its LF bytes.
std::vector<std::string> Pieces(const TBodyText& text) {
  std::vector<std::string> pieces;
  for (const TStringList* list : {text.Lines, &text.Tail}) {
    if (!list) continue;
    for (const std::string& line : *list) {
      size_t start = 0, lf;
      while ((lf = line.find('\n', start)) != std::string::npos) {
        pieces.push_back(line.substr(start, lf - start));
        start = lf + 1;
      }
      pieces.push_back(line.substr(start));
    }
  }
  return pieces;
}

std::vector<std::string> JisReference(const TBodyText& text) {
  std::vector<std::string> lines;
  for (const std::string& piece : Pieces(text))
    for (std::string& line : SplitJisLine(ConvertToJis(piece))) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::string> Utf8Reference(const TBodyText& text) {
  std::string all;
  for (const std::string& piece : Pieces(text)) all += ConvertToUtf8(piece) + "\r\n";
  return Base64Lines(all);
}

struct TextCase {
  const char* name;
  TStringList lines;
  TStringList tail;
};

std::vector<TextCase> TextCases() {
  const std::string kanji = Utf8ToCp932("日本語の本文、かなとカナ。");
  std::string longKanji;
  for (int i = 0; i < 1300; ++i) longKanji += i % 7 ? "\x8A\xBF" : "a";
  return {
      {"Empty", {}, {}},
      {"OneEmptyLine", {""}, {}},
      {"AsciiAndKanji", {"Hello", kanji, "", ".dot", "a" + kanji + "b"}, {}},
      {"LineFeedsSplitLines", {"one\ntwo\n", "\n", kanji + "\n" + kanji}, {}},
      {"CarriageReturnStays", {"a\r.b", "\r"}, {}},
      {"ZeroByteEndsTheConversion", {std::string("ab\0cd", 5), std::string("\0", 1)}, {}},
      {"LeadByteAtTheEnd", {"x\x82", "\x82"}, {}},
      {"NoCp932Character", {"\x82\x20", "\xFF\xFE", "\x85\x40"}, {}},
      {"LongLinesSplit", {longKanji, std::string(996, 'a'), longKanji + "\n" + std::string(2000, 'b')}, {}},
      {"SignatureAfterTheLines", {"text", kanji}, {"", "-- ", kanji}},
      {"SignatureAlone", {}, {"", "-- "}},
  };
}

TEST(TextLineEncoder, LinesAreThoseOfTheWholeConversion) {
  for (const TextCase& c : TextCases()) {
    for (MailCharset charset : {MailCharset::Iso2022JpLegacy, MailCharset::Iso2022Jp, MailCharset::Utf8}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(static_cast<int>(charset)));
      TBodyText text;
      text.Lines = &c.lines;
      text.Tail = c.tail;
      text.Charset = charset;
      EXPECT_EQ(Encoded(text), charset == MailCharset::Utf8 ? Utf8Reference(text) : JisReference(text));
    }
  }
}

// Lines of every length from 0 to 130 bytes, one- and two-byte characters mixed:
// the base64 lines cut the joined UTF-8 text every 57 bytes, across the lines.
TEST(TextLineEncoder, Base64LinesRunAcrossTheTextLines) {
  const std::string kana = Utf8ToCp932("あ");
  TStringList lines;
  for (size_t n = 0; n <= 130; ++n) {
    std::string line;
    while (line.size() < n) line += n % 3 ? std::string(1, static_cast<char>('a' + n % 26)) : kana;
    lines.Add(line);
  }
  TBodyText text;
  text.Lines = &lines;
  text.Charset = MailCharset::Utf8;
  const std::vector<std::string> encoded = Encoded(text);
  EXPECT_EQ(encoded, Utf8Reference(text));
  for (size_t i = 0; i + 1 < encoded.size(); ++i) ASSERT_EQ(encoded[i].size(), 76u) << i;
}

// Rewind starts from the first line, whatever was read before; random text gives
// the same lines as the whole conversion.
TEST(TextLineEncoder, RewindGivesTheSameLinesAgain) {
  TStringList lines;
  for (int i = 0; i < 40; ++i) lines.Add(RandomBytes(static_cast<size_t>(i * 37 % 1500), static_cast<unsigned>(i)));
  for (MailCharset charset : {MailCharset::Iso2022Jp, MailCharset::Utf8}) {
    TBodyText text;
    text.Lines = &lines;
    text.Tail = {"", "sig"};
    text.Charset = charset;
    const std::vector<std::string> first = Encoded(text);
    EXPECT_EQ(first, charset == MailCharset::Utf8 ? Utf8Reference(text) : JisReference(text));
    TTextLineEncoder encoder(text);
    std::string_view line;
    for (int i = 0; i < 7 && encoder.Next(line); ++i) {
    }
    encoder.Rewind();
    std::vector<std::string> again;
    while (encoder.Next(line)) again.emplace_back(line);
    EXPECT_EQ(again, first);
  }
}

// The conversion into a buffer: the bytes of the string form, never more than
// JisSizeBound (the worst case alternates single bytes and pairs), a zero byte ends it.
TEST(ConvertToJisInto, SameBytesWithinTheBound) {
  std::string worst;
  for (int i = 0; i < 200; ++i) worst += "a\x8A\xBF";
  const std::string cases[] = {"", "abc", Utf8ToCp932("漢字かな"), worst, "\x8A\xBF", std::string("a\0\x8A\xBF", 4),
                               "x\x82", RandomBytes(5000, 11)};
  for (const std::string& text : cases) {
    std::vector<char> out(JisSizeBound(text.size()) + 16, '#');
    char* end = ConvertToJis(std::string_view(text), out.data());
    EXPECT_EQ(std::string(out.data(), end), ConvertToJis(text));
    ASSERT_LE(static_cast<size_t>(end - out.data()), JisSizeBound(text.size()));
    EXPECT_EQ(std::string(out.data() + JisSizeBound(text.size()), 16), std::string(16, '#'));
  }
  EXPECT_EQ(ConvertToJis(std::string(worst)).size(), JisSizeBound(worst.size()) - 3);
}

}  // namespace
