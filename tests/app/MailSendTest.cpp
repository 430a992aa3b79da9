// The send command's text pieces: address splitting, body lines, the header
// rewrite, Date and Message-ID.
#include "app/MailSend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "jmail/MailJstr.h"
#include "smtp/Lxsmtp.h"
#include "platform/FileUtil.h"
#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

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

TEST(ChooseMailCharset, AutoTakesIso2022JpOnlyWhenEveryTextFits) {
  const std::vector<std::string> fits{Utf8ToCp932("会議"), "taro@example.jp", ""};
  const std::vector<std::string> katakana{Utf8ToCp932("会議"), "\xB6\xDE"};
  const std::vector<std::string> nec{"\x87\x40"};
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Auto, fits), MailCharset::Iso2022Jp);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Auto, {}), MailCharset::Iso2022Jp);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Auto, katakana), MailCharset::Utf8);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Auto, nec), MailCharset::Utf8);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Iso2022Jp, katakana), MailCharset::Iso2022JpLegacy);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Utf8, fits), MailCharset::Utf8);
  // A body line that does not fit decides as a header text does.
  const TStringList body{Utf8ToCp932("本文"), "", "\xB6\xDE"};
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Auto, fits, TStringList{Utf8ToCp932("本文")}), MailCharset::Iso2022Jp);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Auto, fits, body), MailCharset::Utf8);
  EXPECT_EQ(ChooseMailCharset(TCharsetChoice::Iso2022Jp, fits, body), MailCharset::Iso2022JpLegacy);
}

// Expected base64: Python's base64 module on the UTF-8 text with CR LF line ends.
TEST(BuildBodyLines, Utf8BodyIsOneBase64Text) {
  TStringList body = BuildBodyLines(TStringList{"\xB1\xB2\xB3", "x\ny"}, TStringList{}, MailCharset::Utf8);
  EXPECT_EQ(Lines(body), (std::vector<std::string>{"772x772y772zDQp4DQp5DQo=", ""}));
  body = BuildBodyLines(TStringList{"Hi"}, TStringList{"/nonexistent/file.bin"}, MailCharset::Utf8);
  EXPECT_EQ(Lines(body), (std::vector<std::string>{"-------------Weskin-TarvexBoundary",
                                                    "Content-Type: text/plain; charset=utf-8",
                                                    "Content-Transfer-Encoding: base64", "", "SGkNCg==",
                                                    "-------------Weskin-TarvexBoundary--", ""}));
  // A long text: lines of 76 characters.
  body = BuildBodyLines(TStringList{std::string(300, 'a')}, TStringList{}, MailCharset::Utf8);
  ASSERT_EQ(body.Count(), 7);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(body[i].size(), 76u);
  EXPECT_EQ(body[5], "YWFhYWFhYWFhYWFhYWFhDQo=");  // the last 15 "a" and CR LF
}

// The text left out of the body (BuildBodyFrame) and encoded by the component as it
// writes: the bytes written, the body's size and the message's size are those of
// the same text built into the body's lines (BuildBodyLines), in every charset, plain
// and multipart with files, with and without KeepBody; written twice, the same.
TEST(BuildBodyFrame, WrittenBodyIsThatOfTheBuiltLines) {
  encoding_test::ScratchDir scratch;
  const std::string file = FromOsPath(scratch.Write("a.bin", encoding_test::RandomBytes(5000, 7)));
  const std::string kanji = Utf8ToCp932("日本語の本文です。");
  std::string longLine;
  for (int i = 0; i < 700; ++i) longLine += kanji;
  const TStringList text = {"Hello", kanji, "", ".dot", "..", "a\r.b", "x\n.y", longLine, std::string("z\0z", 3)};
  const TStringList signature = {"", "-- ", ".sig"};
  for (MailCharset charset : {MailCharset::Iso2022JpLegacy, MailCharset::Iso2022Jp, MailCharset::Utf8}) {
    for (bool withFile : {false, true}) {
      for (bool signed_ : {false, true}) {
        for (bool keep : {true, false}) {
          SCOPED_TRACE(std::to_string(static_cast<int>(charset)) + (withFile ? " file" : "") +
                       (signed_ ? " signed" : "") + (keep ? " keep" : ""));
          const TStringList files = withFile ? TStringList{file} : TStringList{};
          TStringList all = text;
          if (signed_)
            for (const std::string& line : signature) all.Add(line);
          TLxSMTP built, streamed;
          for (TLxSMTP* smtp : {&built, &streamed}) {
            smtp->KeepBody = keep;
            smtp->PostMessage.FromAddress = "me@example.jp";
            smtp->PostMessage.ToAddress = {"you@example.jp"};
            smtp->PostMessage.Attachments = files;
          }
          built.PostMessage.Body = BuildBodyLines(all, files, withFile, charset, &built.PostMessage.BodyFiles);
          TBodyText& body = streamed.PostMessage.BodyText;
          body.Lines = &text;
          if (signed_) body.Tail = signature;
          body.Charset = charset;
          streamed.PostMessage.Body = BuildBodyFrame(body, files, withFile, streamed.PostMessage.BodyFiles);
          // The same boundary in both.
          ResetBoundarySequence();
          built.BuildMessage();
          ResetBoundarySequence();
          streamed.BuildMessage();
          TStringStream expected, written, again;
          built.WriteBody(expected);
          streamed.WriteBody(written);
          EXPECT_TRUE(written.DataString() == expected.DataString());
          EXPECT_EQ(streamed.BodySize(), expected.DataString().size());
          EXPECT_EQ(streamed.BodySize(), built.BodySize());
          streamed.WriteBody(again);
          EXPECT_TRUE(again.DataString() == expected.DataString());
          // The body's own stream holds the framing only, none of the text.
          EXPECT_EQ(streamed.BodyStream.DataString().find("Hello"), std::string::npos);
        }
      }
    }
  }
}

// The lines are read as the body goes out: a text that got shorter after its size
// was told ends the write with a stream error instead of leaving the reader short.
TEST(BuildBodyFrame, TextShorterThanItsSizeFailsTheWrite) {
  TStringList text = {"one", "two", "three"};
  TLxSMTP smtp;
  smtp.PostMessage.FromAddress = "me@example.jp";
  smtp.PostMessage.ToAddress = {"you@example.jp"};
  TBodyText& body = smtp.PostMessage.BodyText;
  body.Lines = &text;
  std::vector<TBodyFile> files;
  smtp.PostMessage.Body = BuildBodyFrame(body, TStringList(), false, files);
  smtp.BuildMessage();
  const uint64_t size = smtp.BodySize();
  TStringStream whole;
  smtp.WriteBody(whole);
  EXPECT_EQ(whole.DataString().size(), size);
  text.Delete(2);
  TStringStream cut;
  EXPECT_THROW(smtp.WriteBody(cut), EStreamError);
  EXPECT_EQ(smtp.BodySize(), size);
}

TEST(HeaderRewrite, ByCharset) {
  const TStringList generated{Utf8ToCp932("From: 田中  太郎<t@x.jp>"), "Subject: =?UTF-8?B?SGk=?=",
                              "Mime-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"};
  TStringList header = generated;
  AdjustHeader(header, MailCharset::Iso2022Jp);
  EXPECT_EQ(header[0], "From: =?ISO-2022-JP?B?GyRCRURDZhsoQiAbJEJCQE86GyhC?=<t@x.jp>") << "the blank inside";
  EXPECT_EQ(header[3], "Content-Type: text/plain; charset=iso-2022-jp");

  header = generated;
  AdjustHeader(header, MailCharset::Utf8);
  EXPECT_EQ(header[0], "From: =?UTF-8?B?55Sw5LitIOWkqumDjg==?=<t@x.jp>");
  EXPECT_EQ(header[3], "Content-Type: text/plain; charset=utf-8");
  TStringList single = header;
  UseBase64Body(single);
  EXPECT_EQ(Lines(single), (std::vector<std::string>{header[0], header[1], header[2], header[3],
                                                      "Content-Transfer-Encoding: base64"}));
  UseMultipartHeader(header, MailCharset::Utf8);
  EXPECT_EQ(header[3], "Content-Type: MultiPart/Mixed;Boundary=\"-----------Weskin-TarvexBoundary\"");
}

TEST(FoldHeader, Utf8HeadersFoldAt78) {
  TStringList header{"Subject: " + EncodeSubjectUtf8(Utf8ToCp932(std::string(20, 'x') + "日本語の件名がとても長い場合の折り返し")),
                     "To: a@x.jp"};
  TStringList iso = header;
  FoldHeader(iso);
  EXPECT_EQ(iso[0], header[0]) << "ISO-2022-JP: only lines over 998 octets fold";
  FoldHeader(header, MailCharset::Utf8);
  EXPECT_NE(header[0].find("\r\n "), std::string::npos);
  size_t start = 0;
  for (size_t end; (end = header[0].find("\r\n", start)) != std::string::npos; start = end + 2)
    EXPECT_LE(end - start, 78u);
  EXPECT_LE(header[0].size() - start, 78u);
  EXPECT_EQ(header[1], "To: a@x.jp");
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
