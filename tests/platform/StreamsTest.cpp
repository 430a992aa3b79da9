// The streams the encoders rely on: memory and string streams (read, write, seek,
// growth, release) and file streams (create modes, errors with their messages,
// read/write/seek/size, copying between streams).
#include "platform/Streams.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <type_traits>

#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

static_assert(!std::is_copy_constructible_v<TFileStream>, "a copy would close the file twice");

TEST(MemoryStream, WriteReadSeek) {
  TMemoryStream m;
  m.WriteString("hello");
  EXPECT_EQ(m.Size(), 5);
  EXPECT_EQ(m.Position(), 5);
  m.SetPosition(1);
  m.WriteString("EL");  // overwrite inside
  EXPECT_EQ(m.DataString(), "hELlo");
  m.Seek(2, soFromEnd);  // past the end: the gap is filled with zero bytes
  m.WriteString("!");
  EXPECT_EQ(m.DataString(), std::string("hELlo\0\0!", 8));
  char buf[16];
  m.SetPosition(6);
  EXPECT_EQ(m.Read(buf, sizeof buf), 2);
  EXPECT_EQ(m.Read(buf, sizeof buf), 0);
  m.Seek(-100, soFromCurrent);
  EXPECT_EQ(m.Position(), 0);
  EXPECT_THROW(m.Seek(0, 7), Exception);
  m.Seek(0, soFromEnd);
  m.SetSize(3);
  EXPECT_EQ(m.DataString(), "hEL");
  EXPECT_EQ(m.Position(), 3);
  EXPECT_THROW(m.ReadBuffer(buf, 1), EStreamError);
}

TEST(MemoryStream, ReleaseTakesContents) {
  TMemoryStream m;
  m.Reserve(1000);
  m.WriteString("abc");
  EXPECT_EQ(m.Release(), "abc");
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Position(), 0);
}

TEST(StringStream, StartsAtZeroWithItsData) {
  TStringStream s("abc");
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Size(), 3);
  char buf[3];
  s.ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  TStringStream empty;
  EXPECT_EQ(empty.Size(), 0);
}

class FileStreamTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return dir_.Path() + name; }
  encoding_test::ScratchDir dir_;
};

TEST_F(FileStreamTest, CreateWriteReadSeek) {
  const std::string path = Path("f.bin");
  {
    TFileStream f(path, fmCreate);
    f.WriteString("0123456789");
    EXPECT_EQ(f.Size(), 10);
    EXPECT_EQ(f.Position(), 10);
    f.SetPosition(4);
    char buf[3];
    f.ReadBuffer(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "456");
    EXPECT_EQ(f.Seek(-1, soFromEnd), 9);
    f.SetSize(5);
    EXPECT_EQ(f.Size(), 5);
    EXPECT_EQ(f.FileName(), path);
  }
  TFileStream r(path, fmOpenRead);
  char buf[16];
  EXPECT_EQ(r.Read(buf, sizeof buf), 5);
  EXPECT_EQ(r.Read(buf, sizeof buf), 0);
  EXPECT_THROW(r.ReadBuffer(buf, 1), EStreamError);
  EXPECT_THROW(r.WriteString("x"), EStreamError);  // opened for reading only
}

TEST_F(FileStreamTest, CreatePrivateIsOwnerOnlyAndTruncates) {
  const std::string old = Path("old.bin");
  encoding_test::WriteOsFile(old, "old contents");
  {
    TFileStream f(old, fmCreatePrivate);
    EXPECT_EQ(f.Size(), 0);
    f.WriteString("new");
  }
  TFileStream r(old, fmOpenRead);
  EXPECT_EQ(r.Size(), 3);

  const std::string fresh = Path("fresh.bin");
  { TFileStream f(fresh, fmCreatePrivate); }
  struct stat st;
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileStreamTest, Errors) {
  const std::string target = Path("target");
  encoding_test::WriteOsFile(target, "keep");
  const std::string link = Path("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  struct Case {
    std::string path;
    unsigned mode;
    bool create;
    const char* what;
    const char* reason;  // the system's, at the end of the message
  };
  const Case cases[] = {
      {Path("missing"), fmOpenRead, false, "missing file", ": No such file or directory"},
      {dir_.Path(), fmOpenRead, false, "a folder", ": Is a directory"},
      {link, fmCreatePrivate, true, "private create through a link", ": Too many levels of symbolic links"},
      {Path("no/such/folder"), fmCreate, true, "create in a missing folder", ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      TFileStream f(c.path, c.mode);
      ADD_FAILURE() << "no error";
    } catch (const EFCreateError& e) {
      EXPECT_TRUE(c.create);
      EXPECT_EQ(e.Message(), Utf8ToCp932("ファイル " + c.path + " を作成できません" + c.reason));
    } catch (const EFOpenError& e) {
      EXPECT_FALSE(c.create);
      EXPECT_EQ(e.Message(), Utf8ToCp932("ファイル " + c.path + " は開けません" + c.reason));
    }
  }
  TFileStream r(target, fmOpenRead);
  char buf[8];
  EXPECT_EQ(r.Read(buf, sizeof buf), 4) << "the link's target is untouched";
}

TEST_F(FileStreamTest, Cp932PathIsOpenedByItsUtf8Name) {
  const std::string osPath = Path("資料.txt");
  encoding_test::WriteOsFile(osPath, "x");
  TFileStream f(Utf8ToCp932(osPath), fmOpenRead);
  EXPECT_EQ(f.Size(), 1);
}

TEST_F(FileStreamTest, CopyFromWholeSourceAndCount) {
  TStringStream source(std::string(200000, 'z') + "end");
  source.SetPosition(50);
  TFileStream f(Path("copy.bin"), fmCreate);
  EXPECT_EQ(f.CopyFrom(source, 0), 200003);  // 0: all of it, from the start
  EXPECT_EQ(f.Size(), 200003);
  source.SetPosition(200000);
  EXPECT_EQ(f.CopyFrom(source, 3), 3);
  EXPECT_THROW(f.CopyFrom(source, 1), EStreamError);
  f.SetPosition(200000);
  char buf[6];
  f.ReadBuffer(buf, 6);
  EXPECT_EQ(std::string(buf, 6), "endend");
}

}  // namespace
