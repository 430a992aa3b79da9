// Private-profile reading and in-place key-by-key writing.
#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/StopRequest.h"
#include "support/EncodingTestSupport.h"

namespace {

using TempDir = encoding_test::ScratchDir;

void Put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs body as an unprivileged user (in a child process) when the tests run as
// root, for whom file modes do not refuse anything; returns its result.
bool AsUnprivileged(const std::function<bool()>& body) {
  if (::geteuid() != 0) return body();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(body() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

}  // namespace

TEST(GetPrivateProfileString, FindsValuesTheWayTheFormatSays) {
  using S = std::string;
  struct Case {
    const char* name;
    S contents;
    const char* section;
    const char* key;
    S expected;
  } cases[] = {
      {"plain", "[Pos]\r\nTop=5\r\n", "Pos", "Top", "5"},
      {"LF lines, no final line end", "[Pos]\nTop=5", "Pos", "Top", "5"},
      {"letter case ignored", "[pOS]\r\ntOP=5\r\n", "Pos", "Top", "5"},
      {"blanks around everything", "  [ Pos ]  \r\n \t Top \t=  a b  \r\n", "Pos", "Top", "a b"},
      {"first duplicate key wins", "[A]\nk=1\nk=2\n", "A", "k", "1"},
      {"duplicate section searched too", "[A]\nx=1\n[B]\nk=2\n[A]\nk=3\n", "A", "k", "3"},
      {"key of another section", "[B]\nk=1\n", "A", "k", "def"},
      {"key before any section", "k=1\n[A]\n", "A", "k", "def"},
      {"garbage and comments skipped", "junk\n[A]\nnonsense\n;k=9\n=8\nk=1\n", "A", "k", "1"},
      {"unclosed section is garbage", "[A]\n[B\nk=1\n", "A", "k", "1"},
      {"equals inside the value", "[A]\nk=a=b\n", "A", "k", "a=b"},
      {"empty value is a value", "[A]\nk=\n", "A", "k", ""},
      {"missing key", "[A]\nx=1\n", "A", "k", "def"},
      {"CP932 bytes kept", "[A]\nk=\x82\xa0\x5c\n", "A", "k", "\x82\xa0\x5c"},
      {"value cut at 2047", "[A]\nk=" + S(3000, 'v') + "\n", "A", "k", S(2047, 'v')},
  };
  TempDir dir;
  for (const auto& c : cases) {
    Put(dir.File("p.ini"), c.contents);
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "def", dir.File("p.ini")), c.expected) << c.name;
  }
}

TEST(GetPrivateProfileString, WhatIsNoFileGivesTheDefaultAndIsNotCreated) {
  TempDir dir;
  EXPECT_EQ(GetPrivateProfileString("A", "k", "def", dir.File("none.ini")), "def");
  struct stat st;
  EXPECT_NE(::stat(dir.File("none.ini").c_str(), &st), 0);
  EXPECT_EQ(GetPrivateProfileString("A", "k", "def", dir.Path()), "def");
  EXPECT_EQ(GetPrivateProfileString("A", "k", "def", "/dev/zero"), "def");  // would never end
}

TEST(WritePrivateProfileString, ChangesOneKeyAndKeepsEverythingElse) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // nullopt: no file
    const char* section;
    const char* key;
    std::string value;
    std::string after;
  } cases[] = {
      {"new file", std::nullopt, "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"empty file", "", "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"replaced in place", "; c\r\n[A]\r\nx=1\r\n  K = old \r\ny=2\r\n[B]\r\nk=b\r\n", "A", "k", "new",
       "; c\r\n[A]\r\nx=1\r\nk=new\r\ny=2\r\n[B]\r\nk=b\r\n"},
      {"only the first duplicate", "[A]\nk=1\nk=2\n", "A", "k", "3", "[A]\nk=3\nk=2\n"},
      {"missing key at the end of its section", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n", "A", "k", "v",
       "[A]\r\nx=1\r\nk=v\r\n\r\n[B]\r\ny=2\r\n"},
      {"missing key into an empty last section", "[A]\r\n", "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"section line without a line end", "[A]", "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"missing section appended, LF kept", "[A]\nx=1", "B", "k", "v", "[A]\nx=1\n[B]\nk=v\n"},
      {"empty value keeps the key", "[A]\r\nk=1\r\n", "A", "k", "", "[A]\r\nk=\r\n"},
      {"shorter value shrinks the file", "[A]\r\nk=" + std::string(100, 'x') + "\r\nz=1\r\n", "A", "k", "s",
       "[A]\r\nk=s\r\nz=1\r\n"},
      {"line end in a value cannot add lines", "[A]\r\n", "A", "k", "a\n[X]\r\nPwd=evil", "[A]\r\nk=a\r\n"},
      {"garbage kept", "junk\r\n[A]\r\nnonsense\r\n", "A", "k", "v", "junk\r\n[A]\r\nnonsense\r\nk=v\r\n"},
  };
  TempDir dir;
  int n = 0;
  for (const auto& c : cases) {
    std::string path = dir.File("w" + std::to_string(n++) + ".ini");
    if (c.before) Put(path, *c.before);
    EXPECT_TRUE(WritePrivateProfileString(c.section, c.key, c.value, path)) << c.name;
    EXPECT_EQ(Get(path), c.after) << c.name;
  }
}

TEST(WritePrivateProfileString, CreatesPrivateFilesKeepsModesAndFollowsLinks) {
  TempDir dir;
  std::string path = dir.File("p.ini");
  ASSERT_TRUE(WritePrivateProfileString("A", "Pwd", "secret", path));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A file's own mode survives the save that replaces it.
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(WritePrivateProfileString("A", "Pwd", "changed", path));
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A link (relative, through another link) stays a link; its target is updated.
  ::mkdir(dir.File("real").c_str(), 0700);
  Put(dir.File("real/t.ini"), "[A]\nk=1\n");
  ASSERT_EQ(::symlink("real/t.ini", dir.File("l1").c_str()), 0);
  ASSERT_EQ(::symlink(dir.File("l1").c_str(), dir.File("l2").c_str()), 0);
  ASSERT_TRUE(WritePrivateProfileString("A", "k", "2", dir.File("l2")));
  EXPECT_EQ(Get(dir.File("real/t.ini")), "[A]\nk=2\n");
  ASSERT_EQ(::lstat(dir.File("l2").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat(dir.File("l1").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // No temporary file stays behind.
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.Path() + "' | grep '^\\.')\"").c_str()), 0);
}

// A UTF-8 byte-order mark before the first section: read past, kept on save, and the
// section behind it is found (not appended a second time).
TEST(PrivateProfile, ByteOrderMarkAtTheStart) {
  TempDir dir;
  const std::string path = dir.File("bom.ini");
  Put(path, "\xEF\xBB\xBF[SMTP]\r\nSecurity=starttls\r\nAuth=auto\r\n");
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Security", "", path), "starttls");
  EXPECT_EQ(GetPrivateProfileString("SMTP", "Auth", "", path), "auto");
  ASSERT_TRUE(WritePrivateProfileString("SMTP", "Port", "587", path));
  EXPECT_EQ(Get(path), "\xEF\xBB\xBF[SMTP]\r\nSecurity=starttls\r\nAuth=auto\r\nPort=587\r\n");
}

// Several keys in one save: all of them or none.
TEST(WritePrivateProfileStrings, SetsEveryEntryInOneSave) {
  TempDir dir;
  const std::string path = dir.File("p.ini");
  Put(path, "; kept\n[B]\nz=1\n");
  ASSERT_TRUE(WritePrivateProfileStrings({{"A", "k", "1"}, {"B", "z", "2"}, {"A", "j", "3"}, {"A", "k", "4"}}, path));
  EXPECT_EQ(Get(path), "; kept\n[B]\nz=2\n[A]\nk=4\nj=3\n");
}

// Two processes save one file many times at once: after every save the file parses
// and every key holds one of the values written, never a torn or doubled line.
TEST(WritePrivateProfileStrings, ConcurrentSavesNeverTearTheFile) {
  TempDir dir;
  const std::string path = dir.File("shared.ini");
  const char* keys[] = {"Top", "Left", "IPAdr", "MailAdr", "User", "Pwd", "MailRes", "ErrMes", "Port"};
  auto saveMany = [&](char mark) {
    for (int round = 0; round < 150; ++round) {
      std::vector<TProfileEntry> entries;
      for (const char* k : keys) entries.push_back({"S", k, std::string(1 + (round % 40), mark)});
      if (!WritePrivateProfileStrings(entries, path)) return false;
      const std::string text = Get(path);
      for (const char* k : keys) {
        const std::string v = GetPrivateProfileString("S", k, "?", path);
        if (v.empty() || v.find_first_not_of(v[0]) != std::string::npos || (v[0] != 'a' && v[0] != 'b')) return false;
      }
      // One section line and one line per key: nothing doubled, nothing torn.
      if (std::count(text.begin(), text.end(), '\n') != 10 || text.find('\0') != std::string::npos) return false;
    }
    return true;
  };
  pid_t child = ::fork();
  if (child == 0) ::_exit(saveMany('b') ? 0 : 1);
  const bool mine = saveMany('a');
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(mine);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A file system without room: the save fails and the file keeps what it held. Needs a
// small file system of its own (mount, as root); skipped where none can be mounted.
TEST(WritePrivateProfileStrings, FullFileSystemKeepsTheOldFile) {
  TempDir dir;
  const std::string mnt = dir.File("small");
  ::mkdir(mnt.c_str(), 0700);
  if (::geteuid() != 0 || std::system(("mount -t tmpfs -o size=64k tarvex-full '" + mnt + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no small file system could be mounted here";
  const std::string path = mnt + "/p.ini";
  Put(path, "[A]\r\nk=old\r\n");
  // Fill the rest of the space.
  std::system(("dd if=/dev/zero of='" + mnt + "/fill' bs=4k 2>/dev/null").c_str());
  const bool ok = WritePrivateProfileStrings({{"A", "k", std::string(2000, 'n')}, {"A", "big", std::string(8000, 'x')}}, path);
  const std::string after = Get(path);
  std::system(("umount '" + mnt + "'").c_str());
  EXPECT_FALSE(ok);
  EXPECT_EQ(after, "[A]\r\nk=old\r\n");
}

TEST(ProfileWritable, OpensOrCreatesWithoutChangingAnything) {
  TempDir dir;
  ::chmod(dir.Path().c_str(), 0777);
  const std::string fresh = dir.File("new.ini");
  EXPECT_TRUE(ProfileWritable(fresh));
  struct stat st;
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string kept = dir.File("kept.ini");
  Put(kept, "[A]\nk=1\n");
  EXPECT_TRUE(ProfileWritable(kept));
  EXPECT_EQ(Get(kept), "[A]\nk=1\n");
  ::chmod(kept.c_str(), 0444);
  EXPECT_FALSE(AsUnprivileged([&] { return ProfileWritable(kept); }));
  EXPECT_EQ(Get(kept), "[A]\nk=1\n");
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ProfileWritable(dir.File("fifo")));
  EXPECT_FALSE(ProfileWritable(dir.Path()));
  TempDir locked;
  ::chmod(locked.Path().c_str(), 0555);
  EXPECT_FALSE(AsUnprivileged([&] { return ProfileWritable(locked.File("p.ini")); }));
}

TEST(WritePrivateProfileString, FailsWithoutLosingAnything) {
  TempDir dir;
  Put(dir.File("plain"), "x");
  EXPECT_FALSE(WritePrivateProfileString("A", "k", "v", dir.File("plain") + "/p.ini"));  // folder is a file
  EXPECT_FALSE(WritePrivateProfileString("A", "k", "v", dir.File("none") + "/p.ini"));   // no folder
  EXPECT_FALSE(WritePrivateProfileString("A", "k", "v", dir.Path()));                   // a folder
  EXPECT_FALSE(WritePrivateProfileString("A", "k", "v", "/dev/null"));                  // no regular file

  // A read-only file in a writable folder, and a missing file in a read-only folder.
  ::chmod(dir.Path().c_str(), 0777);
  std::string ro = dir.File("ro.ini");
  Put(ro, "[A]\r\nk=old\r\n[B]\r\nx=1\r\n");
  ::chmod(ro.c_str(), 0444);
  EXPECT_FALSE(AsUnprivileged([&] { return WritePrivateProfileString("A", "k", "new", ro); }));
  EXPECT_EQ(Get(ro), "[A]\r\nk=old\r\n[B]\r\nx=1\r\n");
  TempDir locked;
  ::chmod(locked.Path().c_str(), 0555);
  EXPECT_FALSE(AsUnprivileged([&] { return WritePrivateProfileString("A", "k", "v", locked.File("p.ini")); }));
  struct stat st;
  EXPECT_NE(::stat(locked.File("p.ini").c_str(), &st), 0);
}

// A folder that takes no new files but a writable file in it: saved in place.
TEST(WritePrivateProfileString, ReadOnlyFolderWritableFileIsSavedInPlace) {
  TempDir dir;
  const std::string path = dir.File("p.ini");
  Put(path, "[A]\r\nk=old\r\n");
  ::chmod(path.c_str(), 0666);
  ::chmod(dir.Path().c_str(), 0555);
  EXPECT_TRUE(AsUnprivileged([&] { return WritePrivateProfileString("A", "k", "new", path); }));
  EXPECT_EQ(Get(path), "[A]\r\nk=new\r\n");
}

// A folder lock another process keeps: the save gives up instead of waiting for
// ever, says why, and leaves the file as it was; a stop request (a termination
// signal) shortens the wait. In a child process of its own: the request stays.
TEST(WritePrivateProfileStringsDeathTest, ALockThatStaysTakenFailsTheSaveOnAStop) {
  TempDir dir;
  const std::string path = dir.File("p.ini");
  Put(path, "[A]\nk=1\n");
  const int held = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const auto saveUnderStop = [&path] {
    std::thread stopper([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      SignalStop();
    });
    std::string fault, writableFault;
    const bool saved = WritePrivateProfileStrings({{"A", "k", "2"}}, path, &fault);
    const bool writable = ProfileWritable(path, &writableFault);
    stopper.join();
    const bool said = fault.find("stayed locked by another process") != std::string::npos && fault == writableFault;
    std::exit(!saved && !writable && said && Get(path) == "[A]\nk=1\n" ? 0 : 1);
  };
  EXPECT_EXIT(saveUnderStop(), ::testing::ExitedWithCode(0), "");
  ::close(held);
}

// In a sticky folder that everyone may write, a link of another user is not
// followed (unless the folder's owner made it); one of this user is.
TEST(WritePrivateProfileStrings, ALinkOfAnotherUserInAStickySharedFolderIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a link of another user needs root";
  TempDir dir;
  const std::string shared = dir.File("shared");
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string target = dir.File("target.ini");
  Put(target, "[A]\nk=1\n");
  const std::string link = shared + "/p.ini";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  struct Case {
    uid_t linkOwner, folderOwner;
    bool followed;
  } cases[] = {{65534, 0, false}, {0, 0, true}, {65534, 65534, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.linkOwner) + " in a folder of " + std::to_string(c.folderOwner));
    ASSERT_EQ(::lchown(link.c_str(), c.linkOwner, c.linkOwner), 0);
    ASSERT_EQ(::chown(shared.c_str(), c.folderOwner, c.folderOwner), 0);
    Put(target, "[A]\nk=1\n");
    std::string fault, writableFault;
    EXPECT_EQ(WritePrivateProfileStrings({{"A", "k", "2"}}, link, &fault), c.followed);
    EXPECT_EQ(ProfileWritable(link, &writableFault), c.followed);
    EXPECT_EQ(Get(target), c.followed ? "[A]\nk=2\n" : "[A]\nk=1\n");
    EXPECT_EQ(fault.find("symbolic link of another user") != std::string::npos, !c.followed) << fault;
    EXPECT_EQ(writableFault, fault);
  }
  // Without the sticky bit the link is followed as before.
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
  EXPECT_TRUE(WritePrivateProfileString("A", "k", "3", link));
  EXPECT_EQ(Get(target), "[A]\nk=3\n");
}

// A result file of its own: written whole, a link at its place replaced (never
// followed), and checked for writing without making anything.
TEST(WriteProfileFile, WritesANewFileWholeAndReplacesALink) {
  TempDir dir;
  const std::string path = dir.File("r.ini");
  EXPECT_TRUE(FileCanBeReplaced(path));
  EXPECT_FALSE(FileCanBeReplaced(dir.File("none/r.ini")));
  EXPECT_FALSE(FileCanBeReplaced(dir.Path()));
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);
  Put(dir.File("elsewhere"), "keep");
  ASSERT_EQ(::symlink(dir.File("elsewhere").c_str(), path.c_str()), 0);
  ASSERT_TRUE(WriteProfileFile({{"Result", "Status", "0"}, {"Result", "Error", "a\r\nb"}}, path));
  EXPECT_EQ(Get(path), "[Result]\r\nStatus=0\r\nError=a\r\n");
  EXPECT_EQ(Get(dir.File("elsewhere")), "keep");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(WriteProfileFile({{"Result", "Status", "0"}}, dir.File("none/r.ini")));
}
