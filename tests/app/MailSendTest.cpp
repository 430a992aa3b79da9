// The send command's text pieces: address splitting, body lines, the header
// rewrite, Date and Message-ID.
#include "app/MailSend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

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
