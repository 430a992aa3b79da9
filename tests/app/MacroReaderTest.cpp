// The macro reader of the form: line splitting, keyword detection, sections,
// pickup files, action words, stop requests and a full example run.
#include <dirent.h>

#include "app/Rw_ini.h"
#include "app/AppFixture.h"
#include "platform/Profile.h"
#include "support/ScriptServer.h"

using namespace apptest;

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  TMacroLineReader reader(path);
  std::vector<std::string> lines;
  while (!reader.Eof()) lines.push_back(reader.ReadLine());
  return lines;
}

int OpenFdCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

}  // namespace

// ------------------------------------------------------------- line splitting

TEST(MacroLineReader, SplitsBytesIntoLines) {
  using S = std::string;
  struct Case {
    const char* name;
    S bytes;
    std::vector<S> lines;
  } cases[] = {
      {"empty file", "", {}},
      {"CR LF ends", "a\r\nb\r\n", {"a", "b"}},
      {"CR alone ends", "a\rb", {"a", "b"}},
      {"last line without end", "a\r\nb", {"a", "b"}},
      {"bare LF is a byte", "a\nb\r\nc", {"a\nb", "c"}},
      {"file without CR: LF ends lines", "to:\na\nb\n", {"to:", "a", "b"}},
      {"file without CR: empty lines and last line kept", "a\n\nb", {"a", "", "b"}},
      {"file without CR: LF LF LF", "\n\n", {"", ""}},
      {"file without CR: 0x1A ends it", "a\nb\x1A" "c\r\n", {"a", "b"}},
      {"one CR at the end keeps the CR rule", "a\nb\nc\r", {"a\nb\nc"}},
      {"empty line kept", "a\r\n\r\nb\r\n", {"a", "", "b"}},
      {"only a line end", "\r\n", {""}},
      {"CR CR LF", "a\r\r\nb", {"a", "", "b"}},
      {"LF after CR LF starts a line", "a\r\n\nb", {"a", "\nb"}},
      {"0x1A after a line end", "a\r\n\x1A" "b\r\n", {"a"}},
      {"0x1A inside a line", "ab\x1A" "cd\r\n", {"ab"}},
      {"0x1A first", "\x1A" "a\r\n", {}},
      {"NUL and high bytes kept", S("a\0b\x81\x40\xff\r\n", 8), {S("a\0b\x81\x40\xff", 6)}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    EXPECT_EQ(ReadLines(dir.Write("f", c.bytes)), c.lines) << c.name;
  }
}

TEST(MacroLineReader, LinesCrossChunkBoundariesAndHaveNoLimit) {
  TempDir dir;
  // The CR is the last byte of the first 64 KiB chunk and its LF the first of the next.
  std::string first(65535, 'a');
  std::string big(3 * 1024 * 1024 + 17, 'b');
  std::string path = dir.Write("f", first + "\r\n" + big + "\r\n" + "x");
  auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], first);
  EXPECT_EQ(lines[1], big);
  EXPECT_EQ(lines[2], "x");
}

// Offset counts each line with its line end (a CR LF across two chunks too), and
// BytesLeft what comes after it.
TEST(MacroLineReader, OffsetIsWhereTheNextLineStarts) {
  using S = std::string;
  struct Case {
    const char* name;
    S bytes;
    std::vector<int64_t> offsets;  // after each line
  } cases[] = {
      {"CR LF ends", "ab\r\ncd\r\n", {4, 8}},
      {"CR alone and a last line without end", "ab\rc", {3, 4}},
      {"file without CR", "a\n\nbc\n", {2, 3, 6}},
      {"CR LF across chunks", S(65535, 'a') + "\r\nb", {65537, 65538}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    TMacroLineReader reader(dir.Write("f", c.bytes));
    EXPECT_EQ(reader.Offset(), 0) << c.name;
    EXPECT_EQ(reader.BytesLeft(), static_cast<int64_t>(c.bytes.size())) << c.name;
    std::vector<int64_t> offsets;
    while (!reader.Eof()) {
      reader.ReadLine();
      offsets.push_back(reader.Offset());
      EXPECT_EQ(reader.BytesLeft(), static_cast<int64_t>(c.bytes.size()) - offsets.back()) << c.name;
    }
    EXPECT_EQ(offsets, c.offsets) << c.name;
  }
}

// A long body's list gets room for the lines the rest of the file holds, once its
// sample lines are counted: about the whole body, neither half of it nor twice.
TEST(BodyRoom, RoomForTheRestOfTheFileAtTheSampleLength) {
  for (int64_t length : {10, 57, 300}) {
    const int64_t total = TBodyRoom::kSampleLines * 5 + 3;
    TBodyRoom room;
    TStringList body;
    size_t capacityAtSample = 0;
    for (int64_t i = 0; i < total; ++i) {
      room.Add(body, length + 2, (total - i - 1) * (length + 2));
      if (i == TBodyRoom::kSampleLines - 1) capacityAtSample = body.Lines().capacity();
      body.Add(std::string(static_cast<size_t>(length), 'x'));
    }
    EXPECT_GE(capacityAtSample, static_cast<size_t>(total)) << length;
    EXPECT_LE(capacityAtSample, static_cast<size_t>(total) + 2) << length;
    EXPECT_EQ(body.Lines().capacity(), capacityAtSample) << length;  // never grown again
  }
}

// A sample that is no fair sample (empty lines before long ones) must not buy room
// by the sample's length: the room stays within a few times the octets still to come,
// and the lines after it are all kept.
TEST(BodyRoom, AnEmptySampleBeforeLongLinesGetsBoundedRoom) {
  constexpr int64_t kLong = 999, kLongLines = 2000;
  const int64_t left = kLongLines * (kLong + 2);
  TBodyRoom room;
  TStringList body;
  for (int64_t i = 0; i < TBodyRoom::kSampleLines; ++i) {
    room.Add(body, 2, left + (TBodyRoom::kSampleLines - i - 1) * 2);
    body.Add("");
  }
  const size_t bound = static_cast<size_t>(TBodyRoom::kSampleLines) +
                       static_cast<size_t>(left * TBodyRoom::kRoomPerOctet) / sizeof(std::string) + 2;
  EXPECT_LE(body.Lines().capacity(), bound);
  for (int64_t i = 0; i < kLongLines; ++i) {
    room.Add(body, kLong + 2, left - (i + 1) * (kLong + 2));
    body.Add(std::string(kLong, static_cast<char>('a' + i % 26)));
  }
  ASSERT_EQ(body.Count(), TBodyRoom::kSampleLines + kLongLines);
  EXPECT_EQ(body[body.Count() - 1], std::string(kLong, static_cast<char>('a' + (kLongLines - 1) % 26)));
}

TEST(MacroLineReader, OneCRPastTheFirstChunkKeepsTheCRRule) {
  TempDir dir;
  const std::string lfLines = "a\n" + std::string(100000, 'b') + "\n";
  EXPECT_EQ(ReadLines(dir.Write("f", lfLines + "c\r\nd")), (std::vector<std::string>{lfLines + "c", "d"}));
  EXPECT_EQ(ReadLines(dir.Write("g", lfLines + "c")),
            (std::vector<std::string>{"a", std::string(100000, 'b'), "c"}));
}

TEST(MacroLineReader, RefusesWhatIsNoReadableFileSayingWhy) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    const char* reason;
  } cases[] = {
      {dir.File("missing"), ": No such file or directory"},
      {dir.Path(), ": Is a directory"},
      {dir.File("fifo"), ": not a regular file"},  // never blocks
  };
  for (const auto& c : cases) {
    try {
      TMacroLineReader reader(c.path);
      ADD_FAILURE() << c.path << ": no error";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), Utf8ToCp932("ファイル " + c.path + " は開けません" + c.reason));
    }
  }
}

TEST(MacroLineReader, Utf8LinesArriveAsCp932) {
  using S = std::string;
  struct Case {
    const char* name;
    S bytes;
    std::vector<S> lines;  // UTF-8 here; compared after conversion to CP932
  } cases[] = {
      {"kanji and kana", "漢字\r\nひらがな カタカナ\r\n", {"漢字", "ひらがな カタカナ"}},
      {"byte-order mark dropped", "\xEF\xBB\xBFto:\r\na\r\n", {"to:", "a"}},
      {"line ends and 0x1A as in CP932 files", "a\rb\nc\r\n\x1A" "d", {"a", "b\nc"}},
      {"file without CR", "\xEF\xBB\xBF漢字\nかな\n", {"漢字", "かな"}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    TMacroLineReader reader(dir.Write("f", c.bytes), true);
    std::vector<S> got;
    std::vector<S> want;
    for (const S& line : c.lines) want.push_back(Utf8ToCp932(line));
    while (!reader.Eof()) got.push_back(reader.ReadLine());
    EXPECT_EQ(got, want) << c.name;
  }
}

TEST(MacroLineReader, Utf8ErrorsNameFileLineAndCharacter) {
  struct Case {
    std::string bytes;
    std::string said;
  } cases[] = {
      {"to:\r\nok\r\n絵文字\xF0\x9F\x98\x80\r\n", "f, line 3: U+1F600 has no CP932 form"},
      {"\xE2\x82\xAC\r\n", "f, line 1: U+20AC has no CP932 form"},      // the euro sign
      {"a\r\n\x82\xA0\r\n", "f, line 2: byte 0x82 (no UTF-8) has no CP932 form"},  // CP932 bytes
      {"\xE3\x81\r\n", "f, line 1: byte 0xE3 (no UTF-8) has no CP932 form"},   // cut sequence
      {"a\r\n\xEF\xBB\xBF" "b\r\n", "f, line 2: U+FEFF has no CP932 form"},  // a mark after the start
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string path = dir.Write("f", c.bytes);
    TMacroLineReader reader(path, true);
    std::string message;
    try {
      while (!reader.Eof()) reader.ReadLine();
    } catch (const EMacroCharsetError& e) {
      message = e.Message();
    }
    EXPECT_EQ(message, dir.File("") + c.said) << c.said;
  }
  EXPECT_EQ(ExitStatusOf(EMacroCharsetError("x")), 65);
}

TEST(MacroLineReader, TellsUtf8TextFromShiftJis) {
  using S = std::string;
  struct Case {
    const char* name;
    S bytes;
    bool utf8;
  } cases[] = {
      {"UTF-8 kanji", "to:\r\n漢字\r\n", true},
      {"UTF-8 without CR", "subject:\n会議\n", true},
      {"byte-order mark only", "\xEF\xBB\xBFto:\r\n", true},
      {"emoji (no CP932 form, still UTF-8)", "\xF0\x9F\x98\x80", true},
      {"UTF-8 before 0x1A, CP932 after it", "漢字\r\n\x1A\x8A\xBF", true},
      {"CP932 kanji", "to:\r\n\x8A\xBF\x8E\x9A\r\n", false},  // 漢字
      {"CP932 half-width katakana", "\xB1\xB2\xB3", false},
      {"ASCII only", "to:\r\na@example.jp\r\n", false},
      {"empty", "", false},
      {"UTF-8 then one CP932 character", "漢字\r\n\x82\xA0", false},
      {"overlong form", "\xC0\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"sequence cut at the end", "漢\xE5\xAD", false},
      {"sequence cut by 0x1A", "漢\xE5\x1A\xAD\x97", false},
      // Two half-width katakana can form a valid UTF-8 character: --charset cp932
      // is the way to send such a file as it is.
      {"CP932 that happens to be UTF-8", "\xC3\xB7", true},
  };
  TempDir dir;
  for (const auto& c : cases) {
    TMacroLineReader reader(dir.Write("f", c.bytes));
    EXPECT_EQ(reader.IsUtf8Text(), c.utf8) << c.name;
  }
}

TEST(MacroLineReader, Utf8TestCrossesChunksAndLeavesTheLinesAlone) {
  TempDir dir;
  // The three bytes of 漢 straddle the end of the first 64 KiB chunk.
  const std::string first(65534, 'a');
  TMacroLineReader reader(dir.Write("f", first + "漢\r\nz\r\n"));
  EXPECT_TRUE(reader.IsUtf8Text());
  EXPECT_EQ(reader.ReadLine(), first + "漢");
  EXPECT_TRUE(reader.IsUtf8Text());
  EXPECT_EQ(reader.ReadLine(), "z");
  EXPECT_TRUE(reader.Eof());
  TMacroLineReader cut(dir.Write("g", first + "\xE6\xBC"));
  EXPECT_FALSE(cut.IsUtf8Text());
}

// ------------------------------------------------------------- keywords

TEST(MacroKeyword, DetectsKeywordLines) {
  struct Case {
    const char* line;
    int section;
  } cases[] = {
      {"rem:", msRem},           {"to:", msTo},
      {":to", msTo},             {"t:o", msTo},
      {"TO:", msTo},             {"To:", msTo},
      {"cc:", msCC},             {"bcc:", msBCC},
      {"Subject:", msSubject},   {"reply-to:", msReplyTo},
      {"Reply-To:", msReplyTo},  {"body:", msBody},
      {"bind:", msBind},         {"server:", msServer},
      {"PickupBCC:", msPickupBCC}, {"pickupbody:", msPickupBody},
      {"action:", msAction},     {"upwd:", msUpwd},
      {"uname:", msUname},       {"Answer-To:", msAnswerTo},
      {"receipt:", msReceipt},   {"PRIORITY:", msPriority},
      {"header:", msHeader},
      // Content lines: nothing is trimmed, only the first colon goes.
      {"To: ", -1},              {" to:", -1},
      {"to:x", -1},              {"to", -1},
      {"to::", -1},              {"Re: hello", -1},
      {"Time: 10:00", -1},       {"", -1},
      {":", -1},                 {"to:\n", -1},
      {"subjects:", -1},         {"\x83to:", -1},
      {"headers:", -1},          {"answerto:", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(MacroKeyword(c.line), c.section) << '"' << c.line << '"';
}

// ------------------------------------------------------------- sections

namespace {
// One field of the form as text; lists are joined with "|".
std::string Field(const TForm1& f, const std::string& name) {
  auto join = [](const TStringList& l) {
    std::string s;
    for (int i = 0; i < l.Count(); ++i) s += (i ? "|" : "") + l[i];
    return s;
  };
  if (name == "to") return f.To;
  if (name == "cc") return f.Cc;
  if (name == "bcc") return f.Bcc;
  if (name == "subject") return f.Subject;
  if (name == "from") return f.SenderAddress;
  if (name == "body") return join(f.Body);
  if (name == "bind") return join(f.Attachments);
  if (name == "server") return f.Server;
  if (name == "uname") return f.UserName;
  if (name == "upwd") return f.Password;
  if (name == "lines") return std::to_string(f.Body.Count());
  ADD_FAILURE() << "no field " << name;
  return "";
}
}  // namespace

class MacroSections : public FormTest {};

TEST_F(MacroSections, FillTheFormAsTheCurrentSectionSays) {
  const std::string subjectSjis = Utf8ToCp932("件名");
  struct Case {
    const char* name;
    std::string macro;
    std::vector<std::pair<std::string, std::string>> expect;
  } cases[] = {
      {"lines before the first keyword are ignored", "to\r\nhello\r\nTo:\r\na@x\r\n", {{"to", "a@x"}, {"lines", "0"}}},
      {"to appends with a comma", "to:\r\na@x\r\nb@y\r\n", {{"to", "a@x,b@y"}}},
      {"cc and bcc append", "cc:\r\nc1\r\nc2\r\nbcc:\r\nb1\r\nb2\r\n", {{"cc", "c1,c2"}, {"bcc", "b1,b2"}}},
      {"colon anywhere selects", ":to\r\na\r\nt:o\r\nb\r\n", {{"to", "a,b"}}},
      {"To with a blank is an address", "to:\r\na@x\r\nTo: \r\n", {{"to", "a@x,To: "}}},
      {"blank before keyword is content", "to:\r\na\r\n subject:\r\n", {{"to", "a, subject:"}, {"subject", ""}}},
      {"unknown keyword is content", "to:\r\nfoo:\r\n", {{"to", "foo:"}}},
      {"empty line adds no address", "to:\r\na\r\n\r\nb\r\n", {{"to", "a,b"}}},
      {"last subject wins", "subject:\r\none\r\ntwo\r\n", {{"subject", "two"}}},
      {"Shift-JIS kept as bytes", "Subject:\r\n" + subjectSjis + "\r\n", {{"subject", subjectSjis}}},
      {"reply-to replaces", "reply-to:\r\na@x\r\nb@y\r\n", {{"from", "b@y"}}},
      {"body keeps empty and colon lines", "body:\r\nfirst\r\n\r\nRe: hello\r\nTime: 10:00\r\n",
       {{"body", "first||Re: hello|Time: 10:00"}, {"lines", "4"}}},
      {"body line that is a keyword switches", "body:\r\nx\r\nSubject:\r\ny\r\n", {{"body", "x"}, {"subject", "y"}}},
      {"bind adds paths untested", "bind:\r\n/no/such/file\r\nrel.txt\r\n", {{"bind", "/no/such/file|rel.txt"}}},
      {"server sets the host", "server:\r\nsmtp.example\r\n", {{"server", "smtp.example"}}},
      {"uname and upwd", "uname:\r\nbob\r\nupwd:\r\nsecret\r\n", {{"uname", "bob"}, {"upwd", "secret"}}},
      {"rem ignores", "to:\r\na\r\nrem:\r\nb\r\n", {{"to", "a"}}},
      {"file without CR: LF ends lines", "to:\na@x\nb@y\n", {{"to", "a@x,b@y"}}},
      {"bare LF stays in the address", "to:\r\na@x\nb@y\r\n", {{"to", "a@x\nb@y"}}},
      {"0x1A ends the file", "to:\r\na@x\r\n\x1A" "b@y\r\n", {{"to", "a@x"}}},
      {"clear empties the mail fields", "to:\r\na\r\nbody:\r\nx\r\naction:\r\nclear\r\nto:\r\nb\r\n",
       {{"to", "b"}, {"lines", "0"}}},
  };
  for (const auto& c : cases) {
    RecordingForm form;
    form.ExecuteMacroFile(Macro(c.macro));
    for (const auto& [field, value] : c.expect) EXPECT_EQ(Field(form, field), value) << c.name << ": " << field;
    EXPECT_TRUE(form.PagesEnabled) << c.name;
    EXPECT_FALSE(form.IsClosed()) << c.name;
  }
}

TEST_F(MacroSections, RunStartsWithClearedMailFieldsButKeepsTheConnectionPage) {
  RecordingForm form;
  form.To = "old@x";
  form.SenderAddress = "me@x";
  form.Attachments.Add("f");
  form.Body.Add("l");
  form.Server = "host";
  form.UserName = "user";
  form.AttachmentChooser.FileName = "last";
  form.ExecuteMacroFile(Macro("rem:\r\n"));
  EXPECT_EQ(form.To, "");
  EXPECT_EQ(form.SenderAddress, "");
  EXPECT_EQ(form.Attachments.Count(), 0);
  EXPECT_EQ(form.Body.Count(), 0);
  EXPECT_EQ(form.AttachmentChooser.FileName, "");
  EXPECT_EQ(form.Server, "host");
  EXPECT_EQ(form.UserName, "user");
}

TEST_F(MacroSections, PickupFilesAddTheirLines) {
  std::string bcc = dir.Write("bcc.txt", " a@x\t\r\n\r\n\x01 b@y \r\n\x81\x40" "c@z\r\nlf\nin\r\n\x1A" "d@w\r\n");
  std::string body = dir.Write("body.txt", "  one  \r\n\r\nTo:\r\nlast");
  RecordingForm form;
  form.ExecuteMacroFile(Macro("pickupbcc:\r\n" + bcc + "\r\n" + dir.File("none") + "\r\nbcc:\r\nz@z\r\npickupbcc:\r\n" +
                              bcc + "\r\nbody:\r\nfirst\r\npickupbody:\r\n" + body + "\r\n" + dir.File("none") + "\r\n"));
  // Leading comma even into an empty field; blank lines add ","; bytes from 0x80
  // are no blanks; a bare LF inside a line is kept.
  const std::string once = ",a@x,,b@y,\x81\x40" "c@z,lf\nin";
  EXPECT_EQ(form.Bcc, once + ",z@z" + once);
  EXPECT_EQ(Field(form, "body"), "first|  one  ||To:|last");
}

TEST_F(MacroSections, PickupOfAFolderDoesNothing) {
  std::string macro = Macro("pickupbody:\r\n" + dir.Path() + "\r\nto:\r\nx\r\n");
  RecordingForm form;
  form.ExecuteMacroFile(macro);  // a folder is no file: nothing happens
  EXPECT_EQ(form.To, "x");
}

// ------------------------------------------------------------- actions

class MacroActions : public FormTest {};

TEST_F(MacroActions, WordsAreLoweredButNotTrimmed) {
  const std::string fill = "to:\r\na@x\r\nsubject:\r\ns\r\nreply-to:\r\nme@x\r\nserver:\r\nhost\r\nuname:\r\nu\r\n";
  struct Case {
    const char* word;
    std::vector<std::string> calls;
    bool connected, closed;
  } cases[] = {
      {"open", {"connect host 25 u"}, true, false},
      {"OPEN", {"connect host 25 u"}, true, false},
      {" open", {}, false, false},
      {"send", {"send to=a@x subject=s from=me@x body= bind="}, false, false},
      {"SEND", {"send to=a@x subject=s from=me@x body= bind="}, false, false},
      {" send", {}, false, false},
      {"send ", {}, false, false},
      {"close", {}, false, false},
      {"clear", {}, false, false},
      {"end", {"abort", "abort"}, false, true},
      {"End", {"abort", "abort"}, false, true},
      {"bogus", {}, false, false},
  };
  for (const auto& c : cases) {
    RecordingForm form;
    form.ExecuteMacroFile(Macro(fill + "action:\r\n" + c.word + "\r\n"));
    EXPECT_EQ(form.Texts(), c.calls) << c.word;
    EXPECT_EQ(form.Connected, c.connected) << c.word;
    EXPECT_EQ(form.IsClosed(), c.closed) << c.word;
    EXPECT_TRUE(form.MacroMode) << c.word;  // set for every action line
  }
}

// "open" connects to the one host field: the one the settings loaded and the window
// shows (and the user may have typed over), or the one a server: line set before it.
TEST_F(MacroActions, OpenUsesTheFormsHostAndConnectsOnce) {
  RecordingForm form;
  form.Server = "typed";
  form.Port = "587";
  form.UserName = "helo-id";
  form.ExecuteMacroFile(Macro("action:\r\nopen\r\nopen\r\nclose\r\nclose\r\nopen\r\nend\r\n"));
  EXPECT_EQ(form.Texts(), (std::vector<std::string>{"connect typed 587 helo-id", "disconnect",
                                                     "connect typed 587 helo-id", "disconnect", "abort",
                                                     "abort"}));
  EXPECT_FALSE(form.Connected);
  // "open" pauses after connecting, "close" before disconnecting: two seconds
  // of pump time lie between the first connect and the first disconnect.
  EXPECT_GE(form.calls[1].tick - form.calls[0].tick, 2000u);

  RecordingForm other;
  other.Server = "typed";
  TRunOptions options;
  options.noPause = true;
  other.SetRunOptions(options);
  other.ExecuteMacroFile(Macro("server:\r\nsmtp.example\r\nuname:\r\nbob\r\naction:\r\nopen\r\nend\r\n"));
  ASSERT_FALSE(other.Texts().empty());
  EXPECT_EQ(other.Texts()[0], "connect smtp.example 25 bob");
  EXPECT_EQ(other.Server, "smtp.example");  // what closing saves
}

// With the run option noPause the same calls come in the same order, with no pump
// time between them, and a message posted during "open" is still handled.
TEST_F(MacroActions, NoPauseKeepsTheCallsAndTheMessagesButNotThePauses) {
  struct PostingForm : RecordingForm {
    std::function<void()> onConnect;
    void SmtpConnect(const std::string& host, int port, const std::string& userId) override {
      RecordingForm::SmtpConnect(host, port, userId);
      onConnect();
    }
  };
  const std::string macro = Macro("action:\r\nopen\r\nclose\r\nend\r\n");
  std::vector<std::string> texts[2];
  for (bool noPause : {false, true}) {
    SCOPED_TRACE(noPause);
    PostingForm form;
    TRunOptions options;
    options.noPause = noPause;
    form.SetRunOptions(options);
    CountingHandler handler;
    HWND window = TMessagePump::Instance().CreateWindow(&handler);
    form.onConnect = [&] { TMessagePump::Instance().PostMessage(window, WM_USER, 0, 0); };
    form.ExecuteMacroFile(macro);
    TMessagePump::Instance().DestroyWindow(window);
    EXPECT_EQ(handler.count, 1);
    ASSERT_GE(form.calls.size(), 2u);
    const uint32_t pumpTime = form.calls[1].tick - form.calls[0].tick;  // connect to disconnect
    if (noPause)
      EXPECT_LT(pumpTime, 1000u);
    else
      EXPECT_GE(pumpTime, 2000u);
    texts[noPause] = form.Texts();
  }
  EXPECT_EQ(texts[1], (std::vector<std::string>{"connect  25 ", "disconnect", "abort", "abort"}));
  EXPECT_EQ(texts[1], texts[0]);
}

TEST_F(MacroActions, PortThatIsNoIntegerEndsTheRunAtThatLine) {
  RecordingForm form;
  form.Port = "abc";
  int fds = OpenFdCount();
  EXPECT_THROW(form.ExecuteMacroFile(Macro("action:\r\nopen\r\nto:\r\nlate\r\n")), EConvertError);
  EXPECT_TRUE(form.Texts().empty());
  EXPECT_FALSE(form.Connected);
  EXPECT_EQ(form.To, "");               // later lines not executed
  EXPECT_TRUE(form.PagesEnabled);  // enabled again after the error
  EXPECT_EQ(OpenFdCount(), fds);          // and the macro file closed
}

TEST_F(MacroActions, OpenThatCannotConnectEndsTheRunWithATemporaryFailure) {
  TScriptedDialogs dialogs;
  TDialogsGuard guard(&dialogs);
  TForm1 form;
  form.Port = IntToStr(ScriptServer::ClosedPort());
  try {
    form.ExecuteMacroFile(Macro("server:\r\n127.0.0.1\r\naction:\r\nopen\r\nto:\r\nlate\r\n"));
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Connection Failed: 10061:Connection refused");
    EXPECT_EQ(ExitStatusOf(e), esTempFail);
  }
  EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"Connection Failed"});
  EXPECT_FALSE(form.Connected);
  EXPECT_EQ(form.To, "");  // later lines not executed
  EXPECT_TRUE(form.PagesEnabled);
}

TEST_F(MacroActions, EndStopsTheRunAndClosesTheForm) {
  RecordingForm form;
  form.ExecuteMacroFile(Macro("action:\r\nend\r\nto:\r\nlate\r\n"));
  EXPECT_TRUE(form.StopRequested);
  EXPECT_TRUE(form.IsClosed());
  EXPECT_TRUE(Application().Terminated());
  EXPECT_EQ(form.To, "");
  EXPECT_TRUE(form.PagesEnabled);
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Port", "none", ini), "25");  // settings saved
}

TEST_F(MacroActions, StopRequestedWhileWaitingStopsBeforeTheNextLine) {
  RecordingForm form;
  CountingHandler handler;
  handler.onMessage = [&] { form.StopRequested = true; };
  HWND window = TMessagePump::Instance().CreateWindow(&handler);
  TMessagePump::Instance().PostMessage(window, WM_USER, 0, 0);
  form.ExecuteMacroFile(Macro("to:\r\nfirst\r\n"));
  TMessagePump::Instance().DestroyWindow(window);
  EXPECT_EQ(handler.count, 1);  // processed before the first line
  EXPECT_EQ(form.To, "");
  EXPECT_TRUE(form.IsClosed());  // a stopped run closes the form
}

TEST_F(MacroActions, MissingFieldUnderAMacroRecordsTheErrorAndEnds) {
  RecordingForm form;
  form.ExecuteMacroFile(Macro("to:\r\na@x\r\nsubject:\r\ns\r\naction:\r\nsend\r\nto:\r\nlate\r\n"));
  EXPECT_EQ(form.Texts(false), std::vector<std::string>{});  // nothing sent
  EXPECT_EQ(form.ErrorMessage, TForm1::MissingFieldText());
  EXPECT_TRUE(form.IsClosed());
  EXPECT_EQ(form.To, "a@x");  // the run stopped after the send line
  EXPECT_TRUE(dialogs.Messages().empty());
  EXPECT_EQ(GetPrivateProfileString("Result", "ErrMes", "", ini), TForm1::MissingFieldText());
  EXPECT_EQ(ExitStatusOfRun(form), esMissingField);
}

TEST_F(MacroActions, MissingFieldWithoutAMacroShowsABox) {
  RecordingForm form;
  form.To = "a@x";
  form.SenderAddress = "me@x";
  form.SendClick();
  EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{TForm1::MissingFieldText()});
  EXPECT_EQ(form.ErrorMessage, "");
  EXPECT_FALSE(form.StopRequested);
  EXPECT_FALSE(form.IsClosed());
}

TEST_F(MacroActions, MissingMacroFileIsItsOwnError) {
  RecordingForm form;
  form.To = "kept?";
  try {
    form.ExecuteMacroFile(dir.File("nothing.txt"));
    FAIL() << "no error";
  } catch (const EMacroOpenError& e) {
    EXPECT_EQ(e.Message(), Utf8ToCp932("ファイル " + dir.File("nothing.txt") + " は開けません: No such file or directory"));
    EXPECT_EQ(ExitStatusOf(e), esNoInput);
  }
  EXPECT_EQ(form.To, "");  // cleared before the file was opened
  EXPECT_TRUE(form.PagesEnabled);
}

TEST_F(MacroActions, AUtf8MacroReadAsTheDefaultStopsBeforeAnyLineRuns) {
  const std::string utf8 = "server:\nhost\nsubject:\n会議\naction:\nopen\n";
  const std::string cp932 = Utf8ToCp932(utf8);
  struct Case {
    const char* name;
    std::string bytes;
    bool utf8Macros, charsetNamed;
    bool stops;
    std::string subject;  // what the run left in Subject
  } cases[] = {
      {"UTF-8, default charset", utf8, false, false, true, ""},
      {"UTF-8, --charset utf-8", utf8, true, true, false, Utf8ToCp932("会議")},
      {"UTF-8, --charset cp932: its bytes as they are", utf8, false, true, false, "\xE4\xBC\x9A\xE8\xAD\xB0"},
      {"CP932, default charset", cp932, false, false, false, Utf8ToCp932("会議")},
  };
  for (const auto& c : cases) {
    RecordingForm form;
    TRunOptions options;
    options.utf8Macros = c.utf8Macros;
    options.charsetNamed = c.charsetNamed;
    form.SetRunOptions(options);
    std::string error;
    try {
      form.ExecuteMacroFile(Macro(c.bytes));
    } catch (const EMacroCharsetError& e) {
      error = e.Message();
      EXPECT_EQ(ExitStatusOf(e), 65) << c.name;
    }
    EXPECT_EQ(error.find("--charset utf-8") != std::string::npos, c.stops) << c.name << ": " << error;
    EXPECT_EQ(form.Texts(), c.stops ? std::vector<std::string>{} : std::vector<std::string>{"connect host 25 "})
        << c.name;
    EXPECT_EQ(form.Subject, c.subject) << c.name;
    EXPECT_TRUE(form.PagesEnabled) << c.name;
  }
}

// ------------------------------------------------------------- the full example

TEST_F(MacroActions, WorkedExample) {
  const std::string subject = Utf8ToCp932("月例のお知らせ");
  std::string macro =
      "Rem:\r\nmonthly notice\r\nserver:\r\nsmtp.example.jp\r\nuname:\r\nsender-host\r\nTo:\r\n"
      "one@example.jp\r\ntwo@example.jp\r\nSubject:\r\n" + subject + "\r\nreply-to:\r\nme@example.jp\r\n"
      "body:\r\nfirst body line\r\n\r\nTime: 10:00\r\nbind:\r\n/tmp/a file path\r\naction:\r\nopen\r\nsend\r\nEND\r\n";
  RecordingForm form;
  form.ExecuteMacroFile(Macro(macro));
  ASSERT_EQ(form.Texts(), (std::vector<std::string>{
                              "connect smtp.example.jp 25 sender-host",
                              "send to=one@example.jp,two@example.jp subject=" + subject +
                                  " from=me@example.jp body=[first body line][][Time: 10:00] bind=[/tmp/a file path]",
                              // The double of the send leaves the connection open, so END closes it.
                              "disconnect", "abort", "abort"}));
  // A second of pump time after "open" and after "send".
  EXPECT_GE(form.calls[1].tick - form.calls[0].tick, 1000u);
  EXPECT_GE(form.calls[2].tick - form.calls[1].tick, 1000u);
  EXPECT_TRUE(form.MacroMode);
  EXPECT_FALSE(form.Connected);
  EXPECT_TRUE(form.IsClosed());
  EXPECT_EQ(GetPrivateProfileString("ConInf", "IPAdr", "", ini), "smtp.example.jp");
  EXPECT_EQ(GetPrivateProfileString("ConInf", "User", "", ini), "sender-host");
  EXPECT_EQ(GetPrivateProfileString("Result", "ErrMes", "x", ini), "");
}
