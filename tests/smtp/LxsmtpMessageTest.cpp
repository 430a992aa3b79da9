// The message products of TLxSMTP without a server: the header lines BuildMessage
// writes into FinalHeader, the body it writes into BodyStream (dot-stuffing, the
// multipart layout, the boundary sequence) and the attachment parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "SmtpTestSupport.h"
#include "platform/SysUtils.h"

namespace {

using smtp_test::Basic;
using smtp_test::Session;
using smtp_test::Visible;

std::vector<std::string> Lines(const TStringList& list) { return {list.begin(), list.end()}; }

// ---- header lines --------------------------------------------------------------------

struct HeaderCase {
  std::string name;
  std::function<void(TLxSMTP&)> setup;
  std::vector<std::string> header;
};

const std::string kFrom = "From: Sender <sender@example.org>";
const std::string kPlain = "Content-Type: text/plain; charset=us-ascii";

std::vector<HeaderCase> HeaderCases() {
  auto subtype = [](TSubType t) {
    return [t](TLxSMTP& s) {
      Basic(s);
      s.SubType = t;
    };
  };
  const std::vector<std::string> head = {kFrom, "To: rcpt@example.com", "Subject: Hello", "X-Mailer: Tarvex-Test",
                                         "Mime-Version: 1.0"};
  auto with = [&head](std::string last) {
    std::vector<std::string> h = head;
    h.push_back(std::move(last));
    return h;
  };
  return {
      {"NoCcNoAttachments", Basic, with(kPlain)},
      {"ThreeToEntries",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.ToAddress = {"a@example.com", "Bee <b@example.com>", "c@example.com"};
       },
       {kFrom, "To: a@example.com,Bee <b@example.com>,c@example.com", "Subject: Hello", "X-Mailer: Tarvex-Test",
        "Mime-Version: 1.0", kPlain}},
      // CC joined the same way; the blind copies appear nowhere.
      {"CcAndBcc",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.ToCarbonCopy = {"c1@example.com", "c2@example.com"};
         s.PostMessage.ToBlindCarbonCopy = {"hidden@example.com"};
       },
       {kFrom, "To: rcpt@example.com", "CC: c1@example.com,c2@example.com", "Subject: Hello",
        "X-Mailer: Tarvex-Test", "Mime-Version: 1.0", kPlain}},
      {"OnlyBcc",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.ToAddress = {};
         s.PostMessage.ToBlindCarbonCopy = {"hidden@example.com"};
       },
       {kFrom, "Subject: Hello", "X-Mailer: Tarvex-Test", "Mime-Version: 1.0", kPlain}},
      {"EmptySubjectAndLocalProgram",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.Subject = "";
         s.PostMessage.LocalProgram = "";
       },
       {kFrom, "To: rcpt@example.com", "Mime-Version: 1.0", kPlain}},
      {"ReplyToAndDateInOrder",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.Date = "Mon, 1 Jan 2024 09:00:00 +0900";
         s.PostMessage.ReplyTo = "reply@example.org";
       },
       {kFrom, "To: rcpt@example.com", "Subject: Hello", "X-Mailer: Tarvex-Test", "Reply-To: reply@example.org",
        "Date: Mon, 1 Jan 2024 09:00:00 +0900", "Mime-Version: 1.0", kPlain}},
      {"EmptySenderFields",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.FromName = "";
         s.PostMessage.FromAddress = "";
       },
       {"From: <>", "To: rcpt@example.com", "Subject: Hello", "X-Mailer: Tarvex-Test", "Mime-Version: 1.0", kPlain}},
      // Values are written byte for byte: no encoding, no trimming.
      {"ValuesVerbatim",
       [](TLxSMTP& s) {
         Basic(s);
         s.PostMessage.Subject = " \x95\x5c =?x?= ";
         s.Charset = "ISO-2022-JP";
       },
       {kFrom, "To: rcpt@example.com", "Subject:  \x95\x5c =?x?= ", "X-Mailer: Tarvex-Test", "Mime-Version: 1.0",
        "Content-Type: text/plain; charset=ISO-2022-JP"}},
      {"Enriched", subtype(mtEnriched), with("Content-Type: text/enriched; charset=us-ascii")},
      {"Sgml", subtype(mtSgml), with("Content-Type: text/sgml; charset=us-ascii")},
      {"TabSeparated", subtype(mtTabSeperated), with("Content-Type: text/tab-separated-values; charset=us-ascii")},
      {"Html", subtype(mtHtml), with("Content-Type: text/html; charset=us-ascii")},
      // 7 is the largest value the type can hold (its values fit in three bits);
      // converting a larger number to it is undefined.
      {"UnknownSubTypeIsPlain", subtype(static_cast<TSubType>(7)), with(kPlain)},
  };
}

class Header : public testing::TestWithParam<HeaderCase> {};

TEST_P(Header, Lines) {
  TLxSMTP smtp;
  GetParam().setup(smtp);
  smtp.BuildMessage();
  EXPECT_EQ(Lines(smtp.FinalHeader), GetParam().header);
}

INSTANTIATE_TEST_SUITE_P(Smtp, Header, testing::ValuesIn(HeaderCases()),
                         [](const testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

// Lines put into FinalHeader beforehand are gone after BuildMessage.
TEST(SmtpMessage, EarlierHeaderLinesDiscarded) {
  TLxSMTP smtp;
  Basic(smtp);
  smtp.FinalHeader.Add("X-Prepared: by the caller");
  smtp.FinalHeader.Add("Subject: old");
  smtp.BuildMessage();
  EXPECT_EQ(Lines(smtp.FinalHeader),
            (std::vector<std::string>{kFrom, "To: rcpt@example.com", "Subject: Hello", "X-Mailer: Tarvex-Test",
                                      "Mime-Version: 1.0", kPlain}));
}

// ---- body ------------------------------------------------------------------------------

struct BodyCase {
  std::string name;
  std::vector<std::string> body;
  std::string stream;
};

class Body : public testing::TestWithParam<BodyCase> {};

TEST_P(Body, Stream) {
  TLxSMTP smtp;
  Basic(smtp);
  smtp.PostMessage.Body.Assign(TStringList());
  for (const std::string& line : GetParam().body) smtp.PostMessage.Body.Add(line);
  smtp.BuildMessage();
  EXPECT_EQ(Visible(smtp.BodyStream.DataString()), Visible(GetParam().stream));
  EXPECT_EQ(smtp.Boundary, "");  // no attachment: no boundary drawn
}

INSTANTIATE_TEST_SUITE_P(
    Smtp, Body,
    testing::ValuesIn(std::vector<BodyCase>{
        {"Empty", {}, ""},
        {"Lines", {"one", "", "three"}, "one\r\n\r\nthree\r\n"},
        {"DotStuffing", {".", "..", ".x", "a.b", " ."}, "..\r\n...\r\n..x\r\na.b\r\n .\r\n"},
        // Breaks inside an entry become line ends, and each line is stuffed: a "."
        // on a line of its own can never end the data early.
        {"BreaksInsideAnEntry",
         {"a\r\n.\r\nRSET", "b\nc", "x\ry", "end\n"},
         "a\r\n..\r\nRSET\r\nb\r\nc\r\nx\r\ny\r\nend\r\n\r\n"},
        {"Cp932Bytes", {"\x82\xa0\x95\x5c"}, "\x82\xa0\x95\x5c\r\n"},
        // An entry of many CR LF lines (an attachment's joined lines) goes out as those
        // lines; a "." after a break, a bare CR or LF and a break at either end still
        // come out as separate lines.
        {"JoinedLines", {"QUJD\r\nREVG\r\nR0g="}, "QUJD\r\nREVG\r\nR0g=\r\n"},
        {"JoinedLinesToMend",
         {"\r\n.a\r\nb\rc\n\r\n..\r", ".\r\n"},
         "\r\n..a\r\nb\r\nc\r\n\r\n...\r\n\r\n..\r\n\r\n"},
    }),
    [](const testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

// Without KeepBody the lines are handed over: the stream is the same, Body is empty.
TEST(SmtpMessage, BodyHandedOverWithoutKeepBody) {
  TLxSMTP kept, handed;
  for (TLxSMTP* smtp : {&kept, &handed}) {
    Basic(*smtp);
    smtp->PostMessage.Body = {"one", ".two", "a\r\nb", ""};
  }
  handed.KeepBody = false;
  kept.BuildMessage();
  handed.BuildMessage();
  EXPECT_EQ(handed.BodyStream.DataString(), kept.BodyStream.DataString());
  EXPECT_EQ(kept.PostMessage.Body.Count(), 4);
  EXPECT_TRUE(handed.PostMessage.Body.Empty());
}

// ---- multipart and boundary ------------------------------------------------------------

// The generator: state = state * 134775813 + 1 (mod 2^32), letter = 'a' + (25 * state) >> 32,
// from state 0 at program start.
std::string ExpectedBoundaries(int count) {
  uint32_t state = 0;
  std::string letters;
  for (int i = 0; i < count * 6; ++i) {
    state = state * 134775813u + 1u;
    letters += static_cast<char>('a' + ((static_cast<uint64_t>(state) * 25) >> 32));
  }
  return letters;
}

TEST(SmtpMessage, BoundarySequence) {
  Session s;
  TLxSMTP& smtp = s.smtp;
  Basic(smtp);
  smtp.PostMessage.Attachments = {s.File("a.txt", "x")};
  ResetBoundarySequence();
  const std::string letters = ExpectedBoundaries(2);
  // Worked out once by hand from the formula: the first two are "aavfgq" and "hejkcl".
  ASSERT_EQ(letters, "aavfgqhejkcl");

  smtp.BuildMessage();
  const std::string first = smtp.Boundary;
  EXPECT_EQ(first, "====================54535" + letters.substr(0, 6) + "====");
  EXPECT_EQ(first.size(), 35u);
  EXPECT_EQ(smtp.FinalHeader[smtp.FinalHeader.Count() - 1],
            "Content-Type: multipart/mixed; boundary=\"" + first + "\"");

  // A message without attachments draws nothing and leaves Boundary alone.
  smtp.PostMessage.Attachments = {};
  smtp.BuildMessage();
  EXPECT_EQ(smtp.Boundary, first);

  smtp.PostMessage.Attachments = {s.File("a.txt", "x")};
  smtp.BuildMessage();
  EXPECT_EQ(smtp.Boundary, "====================54535" + letters.substr(6, 6) + "====");

  // From the start again, the same first boundary.
  ResetBoundarySequence();
  smtp.BuildMessage();
  EXPECT_EQ(smtp.Boundary, first);
}

// The whole multipart body: text part (always text/plain, stuffed), the attachment
// part, the closing delimiter; SubType html changes nothing of it.
TEST(SmtpMessage, MultipartBody) {
  Session s;
  TLxSMTP& smtp = s.smtp;
  Basic(smtp);
  smtp.SubType = mtHtml;
  smtp.PostMessage.Body = {"text", ".x"};
  smtp.PostMessage.Attachments = {s.File("f.txt", "hello")};
  smtp.BuildMessage();
  const std::string& b = smtp.Boundary;
  EXPECT_EQ(Visible(smtp.BodyStream.DataString()),
            Visible("--" + b + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + "text\r\n..x\r\n" + "--" + b +
                    "\r\n"
                    "Content-Type: application/octet-stream; name=\"f.txt\"\r\n"
                    "Content-Transfer-Encoding: base64\r\n"
                    "Content-Disposition: attachment; filename=\"f.txt\"\r\n"
                    "\r\n"
                    "aGVsbG8=\r\n"  // base64 of "hello"
                    "--" + b + "--\r\n"));
  EXPECT_EQ(Lines(smtp.FinalHeader),
            (std::vector<std::string>{kFrom, "To: rcpt@example.com", "Subject: Hello", "X-Mailer: Tarvex-Test",
                                      "Mime-Version: 1.0",
                                      "Content-Type: multipart/mixed; boundary=\"" + b + "\""}));
}

// ---- attachment parts --------------------------------------------------------------------

// The part header of an attachment named name, with the given data lines.
std::string Part(const std::string& boundary, const std::string& name, const std::string& data) {
  return "--" + boundary + "\r\nContent-Type: application/octet-stream; name=\"" + name +
         "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + name +
         "\"\r\n\r\n" + data;
}

struct AttachmentCase {
  std::string name;
  std::string osName;  // file name on disk below the scratch folder (UTF-8)
  std::string entry;   // entry below the scratch folder (CP932, as the model holds it)
  std::string bytes;
  UUMethods method;
  std::string partName;
  std::string data;
};

class Attachment : public testing::TestWithParam<AttachmentCase> {};

TEST_P(Attachment, Part) {
  const AttachmentCase& c = GetParam();
  Session s;
  s.File(c.osName, c.bytes);
  const std::string entry = s.scratch.Path() + c.entry;
  s.smtp.PostMessage.Attachments = {entry};
  s.smtp.EncodeType = c.method;
  s.smtp.Boundary = "B";
  s.smtp.WriteAttachmentPart(1);
  EXPECT_EQ(Visible(s.smtp.BodyStream.DataString()), Visible(Part("B", c.partName, c.data)));
  // The callbacks get the entry as stored, path included.
  EXPECT_EQ(s.events, (std::vector<std::string>{"EncodeStart:" + s.Relative(entry), "EncodeEnd:" + s.Relative(entry)}));
}

INSTANTIATE_TEST_SUITE_P(
    Smtp, Attachment,
    testing::ValuesIn(std::vector<AttachmentCase>{
        {"BareNameOfAPath", "sub/report.txt", "sub/report.txt", "hello", uuMime, "report.txt", "aGVsbG8=\r\n"},
        // A backslash is a directory mark too.
        {"BackslashPath", "dir\\x.bin", "dir\\x.bin", "ab", uuMime, "x.bin", "YWI=\r\n"},
        // 表 is 0x95 0x5C in CP932: its second byte is no directory mark.
        {"Cp932TrailByte5C", "\xe8\xa1\xa8.txt", "\x95\x5c.txt", "a", uuMime, "\x95\x5c.txt", "YQ==\r\n"},
        {"Cp932TrailByte5CInFolder", "\xe8\xa1\xa8\xe7\xa4\xba/\xe8\xa1\xa8", "\x95\x5c\x8e\xa6/\x95\x5c", "a",
         uuMime, "\x95\x5c", "YQ==\r\n"},
        // uuencode lines under the fixed base64 header ("#86)C" is the classic
        // example for "abc"), closed by the grave-accent line.
        {"UuCodeUnderBase64Header", "u.bin", "u.bin", "abc", uuCode, "u.bin", "#86)C\r\n`\r\n"},
        // 14 bytes: the length character is "."; the line is stuffed. The characters
        // are those of binascii.b2a_uu(backtick=True) without its filler character.
        {"UuCodeDotLineStuffed", "d.bin", "d.bin", "abcdefghijklmn", uuCode, "d.bin",
         "..86)C9&5F9VAI:FML;6X\r\n`\r\n"},
        {"EmptyFile", "e.bin", "e.bin", "", uuMime, "e.bin", ""},
    }),
    [](const testing::TestParamInfo<AttachmentCase>& info) { return info.param.name; });

// Bigger files: 60-character lines of the textbook base64 of 45 bytes each.
TEST(SmtpMessage, AttachmentBase64Lines) {
  Session s;
  const std::string bytes = encoding_test::RandomBytes(100000, 7);
  s.smtp.PostMessage.Attachments = {s.File("r.bin", bytes)};
  s.smtp.Boundary = "B";
  s.smtp.WriteAttachmentPart(1);
  std::string data;
  for (size_t at = 0; at < bytes.size(); at += 45) data += encoding_test::ReferenceBase64(bytes.substr(at, 45)) + "\r\n";
  EXPECT_EQ(s.smtp.BodyStream.DataString(), Part("B", "r.bin", data));
}

// Body entries that stand for files: the body written (and its size, in the message's
// size) is the one of a body that holds the files' encoded lines as entries, with and
// without KeepBody; BodyStream holds none of the files' text.
TEST(SmtpMessage, BodyFilesAreEncodedWhereTheirEntriesStand) {
  Session s;
  const std::string big = encoding_test::RandomBytes(300000, 3);
  const TStringList files = {s.File("a.bin", big), s.File("e.bin", ""), s.File("b.bin", "xy")};
  const TStringList text = {"one", ".dot", "", "", "two", "", "three"};
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep);
    TLxSMTP streamed, whole;
    TStringList inline_;
    for (int i = 0; i < text.Count(); ++i) {
      const int file = i == 2 ? 0 : i == 3 ? 1 : i == 5 ? 2 : -1;
      if (file < 0) {
        inline_.Add(text[i]);
        continue;
      }
      streamed.PostMessage.BodyFiles.push_back({i, files[file]});
      std::string encoded;
      std::vector<char> buffer(1 << 20);
      TBase64FileStream stream(files[file]);
      encoded.resize(static_cast<size_t>(stream.Read(buffer.data(), static_cast<int64_t>(buffer.size()))));
      std::copy_n(buffer.data(), encoded.size(), encoded.data());
      // As the form gives it: the lines joined, the last line end left to the entry.
      if (!encoded.empty()) inline_.Add(encoded.substr(0, encoded.size() - 2));
    }
    for (TLxSMTP* smtp : {&streamed, &whole}) {
      Basic(*smtp);
      smtp->KeepBody = keep;
    }
    streamed.PostMessage.Body = text;
    whole.PostMessage.Body = inline_;
    streamed.BuildMessage();
    whole.BuildMessage();
    TStringStream written;
    streamed.WriteBody(written);
    EXPECT_TRUE(written.DataString() == whole.BodyStream.DataString());
    EXPECT_EQ(streamed.BodyStream.DataString(), "one\r\n..dot\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(streamed.BodySize(), whole.BodyStream.DataString().size());
    EXPECT_EQ(streamed.MessageSize(), whole.MessageSize());
    // Written a second time from the start, the same.
    TStringStream again;
    streamed.WriteBody(again);
    EXPECT_TRUE(again.DataString() == written.DataString());
  }
}

// A missing file: OnAttachmentNotFound with the entry, no OnEncodeStart, the open
// error names the file; BodyStream keeps the part header written so far.
TEST(SmtpMessage, MissingAttachment) {
  Session s;
  Basic(s.smtp);
  const std::string entry = s.scratch.Path() + "gone.bin";
  s.smtp.PostMessage.Attachments = {s.File("here.txt", "ok"), entry};
  try {
    s.smtp.BuildMessage();
    ADD_FAILURE() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), FileOpenError(entry).Message());
  }
  EXPECT_EQ(s.events, (std::vector<std::string>{"EncodeStart:$DIR/here.txt", "EncodeEnd:$DIR/here.txt",
                                                "AttachmentNotFound:$DIR/gone.bin"}));
  const std::string& body = s.smtp.BodyStream.DataString();
  const std::string tail = Part(s.smtp.Boundary, "gone.bin", "");
  ASSERT_GE(body.size(), tail.size());
  EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
}

}  // namespace
