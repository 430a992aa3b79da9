// The send command's text pieces: address splitting, body lines, the header
// rewrite, Date and Message-ID.
#include "app/MailSend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "jmail/MailJstr.h"
#include "smtp/Lxsmtp.h"
#include "platform/SysUtils.h"

namespace {

std::vector<std::string> Lines(const TStringList& l) { return l.Lines(); }

TEST(SplitAddresses, KeepsBlanksAndEmptyEntries) {
  struct Case {
    std::string text;
    std::vector<std::string> entries;
  } cases[] = {
      {"a@x", {"a@x"}},
      {"a@x,b@y", {"a@x", "b@y"}},
      {"a@x, b@y", {"a@x", " b@y"}},  // the blank stays at the start of the entry
      {"a@x,", {"a@x", ""}},          // a trailing comma adds an empty entry
      {",,", {"", "", ""}},
  };
  for (const auto& c : cases) {
    TStringList list;
    SplitAddresses(c.text, list);
    EXPECT_EQ(Lines(list), c.entries) << c.text;
  }
}

TEST(SplitAddresses, AppendsWithoutEmptyingTheList) {
  TStringList list{"old@x"};
  SplitAddresses("new@y", list);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"old@x", "new@y"}));
}

TEST(CollapseSpaces, ReducesRunsOfBlanks) {
  EXPECT_EQ(CollapseSpaces("From: a    b<c@d>"), "From: a b<c@d>");
  EXPECT_EQ(CollapseSpaces("  "), " ");
  EXPECT_EQ(CollapseSpaces("a\t\tb"), "a\t\tb");  // only blanks collapse
  EXPECT_EQ(CollapseSpaces(""), "");
}

TEST(BuildBodyLines, PlainBodyIsConvertedLinesAndOneEmptyLine) {
  const std::string a = Utf8ToCp932("あ");
  TStringList body = BuildBodyLines(TStringList{"Hello", a, ""}, TStringList{});
  EXPECT_EQ(Lines(body), (std::vector<std::string>{"\x1b(BHello", "\x1b$B$\"\x1b(B", "", ""}));
}

TEST(BuildBodyLines, LineFeedsInsideALineSplitIt) {
  TStringList body = BuildBodyLines(TStringList{"one\ntwo\n"}, TStringList{});
  EXPECT_EQ(Lines(body), (std::vector<std::string>{"\x1b(Bone", "\x1b(Btwo", "", ""}));
}

TEST(BuildBodyLines, LinesOverTheLimitAreSplitOthersStay) {
  const std::string kanji = Utf8ToCp932("abc漢字");
  std::string longKanji;
  for (int i = 0; i < 2500; ++i) longKanji += "\x8A\xBF";  // 5,000 bytes, 5,006 converted
  TStringList body = BuildBodyLines(TStringList{kanji, longKanji, std::string(995, 'a'), std::string(996, 'a')},
                                    TStringList{});
  const std::vector<std::string> lines = Lines(body);
  EXPECT_EQ(lines[0], ConvertToJis(kanji));  // a short line byte for byte as before
  // 496 pairs fill a piece of 998 octets: 2,500 pairs make six pieces.
  std::string pairs;
  for (size_t i = 1; i <= 6; ++i) {
    ASSERT_EQ(lines[i].compare(0, 3, "\x1B$B"), 0) << i;
    ASSERT_EQ(lines[i].compare(lines[i].size() - 3, 3, "\x1B(B"), 0) << i;
    EXPECT_EQ(lines[i].size(), i < 6 ? 998u : 46u) << i;  // the last holds 20 pairs
    pairs += lines[i].substr(3, lines[i].size() - 6);
  }
  EXPECT_EQ(pairs, ConvertToJis(longKanji).substr(3, 5000));
  const std::vector<std::string> rest(lines.begin() + 7, lines.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"\x1B(B" + std::string(995, 'a'),    // 998 octets: whole
                                            "\x1B(B" + std::string(995, 'a'),    // 999: split
                                            "\x1B(Ba", ""}));
}

TEST(FoldHeader, FoldsOnlyLinesOverTheLimit) {
  std::string longSubject = "Subject: ";
  for (int i = 0; i < 200; ++i) longSubject += "word" + std::to_string(i) + " ";
  TStringList header{"From: <a@x.jp>", longSubject, "Mime-Version: 1.0"};
  FoldHeader(header);
  EXPECT_EQ(header[0], "From: <a@x.jp>");
  EXPECT_EQ(header[2], "Mime-Version: 1.0");
  EXPECT_NE(header[1], longSubject);
  std::string unfolded = header[1];
  for (size_t at; (at = unfolded.find("\r\n")) != std::string::npos;) unfolded.erase(at, 2);
  EXPECT_EQ(unfolded, longSubject);
}

// The component's injection check takes a folded header and nothing else.
TEST(FoldHeader, FoldsPassTheComponentsCheckOtherBreaksDoNot) {
  struct Case {
    std::string line;
    bool accepted;
  } cases[] = {
      {"Subject: a\r\n b", true},
      {"Subject: a\r\n\tb\r\n c", true},
      {"Subject: a\r\n   b", true},
      {"Subject: a\r\nBcc: x@y", false},     // a new header line
      {"Subject: a\r\n", false},             // a break at the end
      {"Subject: a\r\n \r\n b", false},       // a continuation of blanks only
      {"Subject: a\r\n ", false},
      {"Subject: a\n b", false},              // a bare LF
      {"Subject: a\r b", false},              // a bare CR
      {"\r\n b", false},                      // a fold that continues the line before
      {std::string("Subject: a\0b", 12), false},
  };
  TLxSMTP smtp;
  smtp.PostMessage.FromAddress = "a@x.jp";
  for (const Case& c : cases) {
    smtp.FinalHeader.Clear();
    smtp.FinalHeader.Add(c.line);
    if (c.accepted)
      EXPECT_NO_THROW(smtp.CheckMessage()) << c.line;
    else
      EXPECT_THROW(smtp.CheckMessage(), Exception) << c.line;
  }
  std::string longSubject = "Subject:";
  for (int i = 0; i < 300; ++i) longSubject += " word";
  smtp.FinalHeader.Clear();
  smtp.FinalHeader.Add(longSubject);
  FoldHeader(smtp.FinalHeader);
  EXPECT_NE(smtp.FinalHeader[0].find("\r\n "), std::string::npos);
  EXPECT_NO_THROW(smtp.CheckMessage());
}

TEST(BuildBodyLines, AttachmentsListedButMissingStillFrameAsMultipart) {
  TStringList body = BuildBodyLines(TStringList{"Hi"}, TStringList{"/nonexistent/file.bin"});
  EXPECT_EQ(Lines(body), (std::vector<std::string>{"-------------Weskin-TarvexBoundary",
                                                    "Content-Type: text/plain; charset=iso-2022-jp", "",
                                                    "\x1b(BHi", "-------------Weskin-TarvexBoundary--", ""}));
}

TEST(HeaderRewrite, CharsetEncodedWordsAndMultipart) {
  TStringList header{Utf8ToCp932("From: 田中  太郎<t@x.jp>"), "Subject: =?ISO-2022-JP?B?GyhCSGk=?=",
                     "Mime-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"};
  AdjustHeader(header);
  EXPECT_EQ(Lines(header),
            (std::vector<std::string>{"From: =?ISO-2022-JP?B?GyRCRURDZhsoQg==?= =?ISO-2022-JP?B?GyRCQkBPOhsoQg==?=<t@x.jp>",
                                      "Subject: =?ISO-2022-JP?B?GyhCSGk=?=", "Mime-Version: 1.0",
                                      "Content-Type: text/plain; charset=iso-2022-jp"}));
  UseMultipartHeader(header);
  EXPECT_EQ(header[3], "Content-Type: MultiPart/Mixed;Boundary=\"-----------Weskin-TarvexBoundary\"");
}

TEST(MessageId, AddedOnceWithTheSenderDomain) {
  TExStringList header;
  header.Add("From: <a@example.jp>");
  AddMessageId(header, "a@example.jp");
  AddMessageId(header, "a@example.jp");
  ASSERT_EQ(header.Count(), 2);
  EXPECT_TRUE(std::regex_match(header[1], std::regex(R"(Message-ID: <[0-9a-f.]+@example\.jp>)"))) << header[1];
  TExStringList other;
  AddMessageId(other, "a@example.jp");
  EXPECT_NE(other[0], header[1]);  // unique per message
}

TEST(MessageId, HostNameWhenTheAddressHasNoDomain) {
  TExStringList header;
  AddMessageId(header, "nobody");
  EXPECT_TRUE(std::regex_match(header[0], std::regex(R"(Message-ID: <[0-9a-f.]+@[A-Za-z0-9.-]+>)"))) << header[0];
}

TEST(MailDate, EnglishNamesAndNumericOffset) {
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  EXPECT_EQ(MailDate(1796819656), "Wed, 09 Dec 2026 21:34:16 +0900");
  setenv("TZ", "America/St_Johns", 1);  // a negative offset with minutes
  tzset();
  EXPECT_EQ(MailDate(1796819656), "Wed, 09 Dec 2026 09:04:16 -0330");
  unsetenv("TZ");
  tzset();
}

}  // namespace
