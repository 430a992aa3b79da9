// The attachment parts of the multipart body: part layout for small files, names,
// skipped paths, agreement with coreutils base64 on a large file, and the temporary
// file: removed after success and failure, never followed through a link, and the
// file layer's errors for unreadable inputs and an uncreatable temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "jmail/MailJstr.h"
#include "platform/FileUtil.h"
#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

using encoding_test::RandomBytes;
using encoding_test::ReferenceBase64;

// The names in the process's private temporary folder.
std::set<std::string> PrivateTempNames() {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(ToOsPath(PrivateTempDir())))
    names.insert(e.path().filename().string());
  return names;
}

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

std::vector<std::string> SplitLines(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < text.size(); i += width) lines.push_back(text.substr(i, width));
  return lines;
}

class AttachmentParts : public ::testing::Test {
 protected:
  // Writes a file named by a CP932 name into the scratch folder; returns its CP932 path.
  std::string MakeFile(const std::string& cp932Name, const std::string& bytes) {
    const std::string path = FromOsPath(dir_.Path()) + cp932Name;
    encoding_test::WriteOsFile(ToOsPath(path), bytes);
    return path;
  }

  // Checks one part at parts[at]: its headers for the encoded name, the CR LF
  // entry and the data lines; returns the index after the part.
  int ExpectPart(const TStringList& parts, int at, const std::string& encodedName,
                 const std::vector<std::string>& lines) {
    EXPECT_LE(at + 6 + static_cast<int>(lines.size()), parts.Count());
    if (at + 6 + static_cast<int>(lines.size()) > parts.Count()) return parts.Count();
    EXPECT_EQ(parts[at], "-------------Weskin-TarvexBoundary");
    EXPECT_EQ(parts[at + 1], "Content-Transfer-Encoding: base64");
    // The media type follows the extension (FileNamesGiveTheirMediaTypes).
    const std::string& type = parts[at + 2];
    const std::string nameParam = ";name=\"" + encodedName + "\"";
    EXPECT_TRUE(type.rfind("Content-Type: ", 0) == 0 && type.size() > nameParam.size() &&
                type.compare(type.size() - nameParam.size(), nameParam.size(), nameParam) == 0)
        << type;
    EXPECT_EQ(parts[at + 3], "Content-Disposition: attachment; filename=\"" + encodedName + "\"");
    EXPECT_EQ(parts[at + 4], "Content-Description: " + encodedName);
    EXPECT_EQ(parts[at + 5], "\r\n");
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(parts[at + 6 + static_cast<int>(i)], lines[i]) << i;
    return at + 6 + static_cast<int>(lines.size());
  }

  void TearDown() override { EXPECT_TRUE(PrivateTempNames().empty()) << "temporary files left behind"; }

  encoding_test::ScratchDir dir_;
};

// Line counts and fill characters from the base64 rules: 45 bytes give 60
// characters; the last line carries the "=" fill.
TEST_F(AttachmentParts, SizesGiveTheirLines) {
  struct Case {
    size_t size;
    std::vector<size_t> lineLengths;
    const char* lastEnd;
  };
  const Case cases[] = {
      {0, {}, ""},          {3, {4}, ""},           {44, {60}, "="},
      {45, {60}, ""},       {46, {60, 4}, "=="},    {90, {60, 60}, ""},
      {1000, {}, "=="},  // 22 full lines and 10 bytes: 16 characters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<size_t> lengths = c.lineLengths;
    if (c.size == 1000) {
      lengths.assign(22, 60);
      lengths.push_back(16);
    }
    const std::string bytes = RandomBytes(c.size, static_cast<uint32_t>(c.size));
    const std::string path = MakeFile("f.bin", bytes);
    const TStringList parts = BuildAttachmentParts({path});
    const auto lines = SplitLines(ReferenceBase64(bytes), 60);
    ASSERT_EQ(lines.size(), lengths.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].size(), lengths[i]);
    int next = ExpectPart(parts, 0, "f.bin", lines);
    ASSERT_EQ(parts.Count(), next + 1);
    EXPECT_EQ(parts[next], "-------------Weskin-TarvexBoundary--");
    if (!lines.empty()) {
      const std::string& last = lines.back();
      EXPECT_EQ(last.substr(last.size() - std::strlen(c.lastEnd)), c.lastEnd);
      if (!*c.lastEnd) {
        EXPECT_NE(last.back(), '=');
      }
    }
  }
}

TEST_F(AttachmentParts, ListsOfPaths) {
  const std::string a = MakeFile("a.txt", "abc");
  const std::string b = MakeFile("b.txt", "hello");
  const std::string missing = FromOsPath(dir_.Path()) + "missing.txt";
  const std::string folder = FromOsPath(dir_.Path());
  {
    const TStringList parts = BuildAttachmentParts({missing, b});
    const int next = ExpectPart(parts, 0, "b.txt", {"aGVsbG8="});
    EXPECT_EQ(parts.Count(), next + 1);
  }
  {
    const TStringList parts = BuildAttachmentParts({a, folder, b, ""});
    int next = ExpectPart(parts, 0, "a.txt", {"YWJj"});
    next = ExpectPart(parts, next, "b.txt", {"aGVsbG8="});
    EXPECT_EQ(parts.Count(), next + 1);
  }
  for (const TStringList& paths : {TStringList{}, TStringList{missing, folder}}) {
    const TStringList parts = BuildAttachmentParts(paths);
    ASSERT_EQ(parts.Count(), 1);
    EXPECT_EQ(parts[0], "-------------Weskin-TarvexBoundary--");
  }
}

// Encoded names: Python's utf-8 and iso2022_jp codecs, base64 module and
// urllib.parse.quote for the RFC 2231 value. A non-ASCII name is a UTF-8 word in
// name= and filename*= alone in the disposition; the description stays as before.
TEST_F(AttachmentParts, FileNamesAreEncodedHeaderText) {
  const struct {
    std::string name, type, disposition, description;
  } cases[] = {
      {Utf8ToCp932("資料.txt"), "text/plain;name=\"=?UTF-8?B?6LOH5paZLnR4dA==?=\"",
       "attachment; filename*=UTF-8''%E8%B3%87%E6%96%99.txt", "=?ISO-2022-JP?B?GyRCO3FOQRsoQg==?=.txt"},
      // 表 is 0x95 0x5C: its second byte is no directory mark.
      {Utf8ToCp932("表.txt"), "text/plain;name=\"=?UTF-8?B?6KGoLnR4dA==?=\"",
       "attachment; filename*=UTF-8''%E8%A1%A8.txt", "=?ISO-2022-JP?B?GyRCST0bKEI=?=.txt"},
      {"plan 2024.pdf", "application/pdf;name=\"plan 2024.pdf\"", "attachment; filename=\"plan 2024.pdf\"",
       "plan 2024.pdf"},
  };
  for (const auto& c : cases) {
    const std::string path = MakeFile(c.name, "xyz");
    const TStringList parts = BuildAttachmentParts({path});
    ASSERT_EQ(parts.Count(), 8);
    EXPECT_EQ(parts[2], "Content-Type: " + c.type);
    EXPECT_EQ(parts[3], "Content-Disposition: " + c.disposition);
    EXPECT_EQ(parts[4], "Content-Description: " + c.description);
    EXPECT_EQ(parts[6], "eHl6");
  }
}
// Names that would break the part header: a line break (the rest of the name would
// land in the part's body) and control characters are dropped, '"' is escaped inside
// the quoted parameters ('\\' never reaches them: it marks a directory); the longest
// name a file can have keeps every header line within 998 octets.
TEST_F(AttachmentParts, FileNamesAreSafeInThePartHeader) {
  const struct {
    std::string name, quoted, described, type;
  } cases[] = {
      {"two\nlines.txt", "twolines.txt", "twolines.txt", "text/plain"},
      {"tab\there\r\x7F.txt", "tabhere.txt", "tabhere.txt", "text/plain"},
      {"say \"hi\".txt", "say \\\"hi\\\".txt", "say \"hi\".txt", "text/plain"},
      // The longest name whose temporary copy ("temp09" + name) the file system takes.
      {std::string(249, '"'), Repeat("\\\"", 249), std::string(249, '"'), "application/octet-stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string os = dir_.Path() + c.name;
    encoding_test::WriteOsFile(os, "xyz");
    const TStringList parts = BuildAttachmentParts({FromOsPath(os)});
    ASSERT_GE(parts.Count(), 7);
    EXPECT_EQ(parts[2], "Content-Type: " + c.type + ";name=\"" + c.quoted + "\"");
    EXPECT_EQ(parts[3], "Content-Disposition: attachment; filename=\"" + c.quoted + "\"");
    EXPECT_EQ(parts[4], "Content-Description: " + c.described);
    for (int i = 0; i < 5; ++i) {
      EXPECT_LE(parts[i].size(), 998u);
      EXPECT_EQ(parts[i].find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_EQ(parts[6], "eHl6");
  }
}

// Media types from the system's table (Debian media-types' /etc/mime.types), in
// headless runs too; names the table does not know are application/octet-stream.
TEST_F(AttachmentParts, FileNamesGiveTheirMediaTypes) {
  const struct {
    std::string name, type;
  } cases[] = {
      {"photo.png", "image/png"},
      {"SCAN.PDF", "application/pdf"},
      {Utf8ToCp932("資料.txt"), "text/plain"},
      {"data.bin", "application/octet-stream"},
      {"README", "application/octet-stream"},
      {"archive.unknownext", "application/octet-stream"},
  };
  for (const auto& c : cases) {
    const TStringList parts = BuildAttachmentParts({MakeFile(c.name, "xyz")});
    ASSERT_GT(parts.Count(), 2) << c.name;
    EXPECT_EQ(parts[2].substr(0, parts[2].find(';')), "Content-Type: " + c.type) << c.name;
  }
}

TEST_F(AttachmentParts, LargeFileMatchesCoreutils) {
  const std::string bytes = RandomBytes(2 * 1024 * 1024 + 1, 99);
  const std::string path = MakeFile("big.bin", bytes);
  const std::string expected = encoding_test::RunCommand("base64 -w 60 " + ToOsPath(path));
  ASSERT_FALSE(expected.empty());
  const TStringList parts = BuildAttachmentParts({path});
  std::string joined;
  for (int i = 6; i < parts.Count() - 1; ++i) joined += parts[i] + "\n";
  EXPECT_TRUE(joined == expected);
  EXPECT_EQ(parts.Count(), 6 + static_cast<int>((bytes.size() + 44) / 45) + 1);
}

// The joined form holds the same lines, up to 4096 to an entry, CR LF between them
// and none at an entry's end; the part headers and the list around them are the same.
TEST_F(AttachmentParts, JoinedLinesHoldTheSameLines) {
  const size_t block = 4096 * 45;
  const std::string empty = MakeFile("e.bin", "");
  for (size_t size : {size_t{1}, size_t{46}, block, block + 1, 2 * block + 45}) {
    SCOPED_TRACE(size);
    const std::string path = MakeFile("j.bin", RandomBytes(size, static_cast<uint32_t>(size)));
    const TStringList lines = BuildAttachmentParts({path, empty, path});
    const TStringList joined = BuildAttachmentParts({path, empty, path}, MailCharset::Iso2022JpLegacy, true);
    std::vector<std::string> split;
    for (const std::string& entry : joined) {
      if (entry == "\r\n") {  // the entry that ends the part headers
        split.push_back(entry);
        continue;
      }
      const size_t count = split.size();
      for (size_t start = 0;;) {
        const size_t brk = entry.find("\r\n", start);
        split.push_back(entry.substr(start, brk == std::string::npos ? brk : brk - start));
        if (brk == std::string::npos) break;
        start = brk + 2;
      }
      EXPECT_LE(split.size() - count, 4096u);
    }
    EXPECT_EQ(split, lines.Lines());
    EXPECT_EQ(joined.Count(), 3 * 6 + 2 * static_cast<int>((size + block - 1) / block) + 1);
  }
}

// The file's encoded text as the stream gives it: the lines of BuildAttachmentParts,
// each ended by CR LF, whatever the sizes of the reads, again after a rewind, and
// exactly as long as Size and Base64LinesSize say before the first read.
TEST_F(AttachmentParts, EncodedFileStreamHoldsTheSameLines) {
  const size_t chunk = 1024 * 45;  // what the stream encodes at a time
  for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{44}, size_t{45}, size_t{46}, chunk - 1, chunk,
                      chunk + 1, 3 * chunk + 47}) {
    SCOPED_TRACE(size);
    const std::string path = MakeFile("s.bin", RandomBytes(size, static_cast<uint32_t>(size) + 7));
    const TStringList parts = BuildAttachmentParts({path});
    std::string expected;
    for (int i = 6; i < parts.Count() - 1; ++i) expected += parts[i] + "\r\n";
    TBase64FileStream stream(path);
    EXPECT_EQ(stream.Size(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(Base64LinesSize(static_cast<int64_t>(size)), static_cast<int64_t>(expected.size()));
    for (int64_t step : {int64_t{7}, int64_t{65535}}) {
      stream.SetPosition(0);
      std::string got;
      std::string buffer(static_cast<size_t>(step), '\0');
      for (int64_t n; (n = stream.Read(buffer.data(), step)) > 0;) got.append(buffer, 0, static_cast<size_t>(n));
      EXPECT_TRUE(got == expected) << "reads of " << step;
      EXPECT_EQ(stream.Position(), stream.Size());
    }
  }
}

// A file that shrinks after its size went into the message fails the read; one that
// grows gives the bytes it had.
TEST_F(AttachmentParts, EncodedFileStreamKeepsItsSize) {
  const std::string bytes = RandomBytes(200000, 5);
  const std::string path = MakeFile("c.bin", bytes);
  {
    TBase64FileStream stream(path);
    ASSERT_EQ(::truncate(ToOsPath(path).c_str(), 1000), 0);
    std::string buffer(65536, '\0');
    EXPECT_THROW(while (stream.Read(buffer.data(), 65536) > 0) {}, EFOpenError);
  }
  encoding_test::WriteOsFile(ToOsPath(path), bytes.substr(0, 90));
  TBase64FileStream stream(path);
  encoding_test::WriteOsFile(ToOsPath(path), bytes);
  std::string got(1000, '\0');
  got.resize(static_cast<size_t>(stream.Read(got.data(), 1000)));
  EXPECT_EQ(got, ReferenceBase64(bytes.substr(0, 45)) + "\r\n" + ReferenceBase64(bytes.substr(45, 45)) + "\r\n");
}

// The headers alone are the parts without the files' text: one empty entry stands
// for each existing file, and the list names it; missing paths are skipped.
TEST_F(AttachmentParts, HeadersLeaveAnEntryForEachFile) {
  const std::string small = MakeFile("資料.txt", "abc");
  const std::string empty = MakeFile("e.bin", "");
  const TStringList paths = {small, FromOsPath(dir_.Path()) + "missing.txt", empty, small};
  const TStringList joined = BuildAttachmentParts(paths, MailCharset::Iso2022Jp, true);
  std::vector<TBodyFile> files;
  const TStringList headers = BuildAttachmentHeaders(paths, MailCharset::Iso2022Jp, files);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].Path, small);
  EXPECT_EQ(files[1].Path, empty);
  EXPECT_EQ(files[2].Path, small);
  std::vector<std::string> withoutFiles = headers.Lines();
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    EXPECT_EQ(headers[it->Entry], "");
    EXPECT_EQ(headers[it->Entry - 1], "\r\n");
    withoutFiles.erase(withoutFiles.begin() + it->Entry);
  }
  std::vector<std::string> expected = joined.Lines();
  expected.erase(std::remove(expected.begin(), expected.end(), ReferenceBase64("abc")), expected.end());
  EXPECT_EQ(withoutFiles, expected);
}

TEST_F(AttachmentParts, ExistingFileUnderTheTemporaryNameIsReplacedAndRemoved) {
  const std::string path = MakeFile("same.txt", "abc");
  const std::string temp = ToOsPath(PrivateTempDir()) + "temp09same.txt";
  encoding_test::WriteOsFile(temp, std::string(10000, 'Q'));
  const TStringList parts = BuildAttachmentParts({path});
  ExpectPart(parts, 0, "same.txt", {"YWJj"});
  EXPECT_FALSE(std::filesystem::exists(temp));
}

// The temporary file is created without following links: a link planted under
// its name makes the creation fail instead of writing through it; so does a folder.
TEST_F(AttachmentParts, TemporaryFileThatCannotBeCreated) {
  const std::string path = MakeFile("x.txt", "abc");
  const std::string tempCp932 = PrivateTempDir() + "temp09x.txt";
  const std::string temp = ToOsPath(tempCp932);
  const std::string target = dir_.Path() + "target";
  encoding_test::WriteOsFile(target, "precious");

  for (bool link : {true, false}) {
    SCOPED_TRACE(link ? "symbolic link" : "folder");
    if (link) {
      ASSERT_EQ(::symlink(target.c_str(), temp.c_str()), 0);
    } else {
      ASSERT_EQ(::mkdir(temp.c_str(), 0700), 0);
    }
    try {
      BuildAttachmentParts({path});
      ADD_FAILURE() << "no error";
    } catch (const EFCreateError& e) {
      // The system's reason: the link is not followed; a folder is no file.
      EXPECT_EQ(e.Message(), FileCreateError(tempCp932, link ? ELOOP : EISDIR).Message());
    }
    if (link) {
      std::ifstream f(target);
      std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      EXPECT_EQ(content, "precious");
      ::unlink(temp.c_str());
    } else {
      ::rmdir(temp.c_str());
    }
  }
}

// Inputs the process cannot read. Tests run as root here, where a file of mode 000
// is readable, so the table also holds files the kernel refuses to root: a
// write-only kernel setting (the open fails) and the process's memory file, which
// opens but fails at the first read (a temporary file already exists then).
TEST_F(AttachmentParts, UnreadableFilesGiveTheOpenError) {
  std::vector<std::pair<std::string, std::string>> cases;
  if (::geteuid() != 0) {
    const std::string locked = MakeFile("locked.txt", "secret");
    ::chmod(ToOsPath(locked).c_str(), 0);
    cases.push_back({"mode 000", locked});
  }
  if (FileExists("/proc/sys/vm/drop_caches") && ::access("/proc/sys/vm/drop_caches", R_OK) != 0)
    cases.push_back({"write-only file", "/proc/sys/vm/drop_caches"});
  if (FileExists("/proc/self/mem")) cases.push_back({"read fails after open", "/proc/self/mem"});
  ASSERT_FALSE(cases.empty()) << "no unreadable file on this machine";

  const std::string good = MakeFile("good.txt", "abc");
  for (const auto& [what, path] : cases) {
    SCOPED_TRACE(what);
    try {
      BuildAttachmentParts({good, path});
      ADD_FAILURE() << "no error";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), FileOpenError(path).Message());
    }
    EXPECT_TRUE(PrivateTempNames().empty());
  }
}

// The private folder is made at the first use; when $TMPDIR cannot hold it, the
// creation error of the file layer comes out. Runs in a fresh process, where the
// folder is not made yet.
TEST_F(AttachmentParts, PrivateFolderThatCannotBeMade) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = MakeFile("y.txt", "abc");
  const std::string notAFolder = dir_.Path() + "plain-file";
  encoding_test::WriteOsFile(notAFolder, "");
  EXPECT_EXIT(
      {
        ::setenv("TMPDIR", notAFolder.c_str(), 1);
        int status = 1;
        try {
          BuildAttachmentParts({path});
        } catch (const EFCreateError& e) {
          const std::string head = Utf8ToCp932("ファイル " + notAFolder + "/tarvex-");
          const std::string tail = Utf8ToCp932(" を作成できません: Not a directory");
          const std::string& m = e.Message();
          status = m.compare(0, head.size(), head) == 0 && m.size() > head.size() + tail.size() &&
                           m.compare(m.size() - tail.size(), tail.size(), tail) == 0
                       ? 0
                       : 2;
        }
        // The fresh process made its own scratch folder and skips its clean-up.
        std::error_code ec;
        std::filesystem::remove_all(dir_.Path(), ec);
        std::_Exit(status);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
