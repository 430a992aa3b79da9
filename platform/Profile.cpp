#include "platform/Profile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/FileUtil.h"
#include "platform/StopRequest.h"
#include "platform/StringList.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The UTF-8 byte-order mark many editors put at the start of a text file.
const std::string kBom = "\xEF\xBB\xBF";

bool StartsWithBom(const std::string& data) { return data.compare(0, kBom.size(), kBom) == 0; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) { return TStringList::CompareText(a, b) == 0; }

// One line of the file: its text without the line end, and the line end itself
// ("\r\n", "\n", or empty for a last line without one).
struct Line {
  std::string text;
  std::string eol;
};

// The text of a line for parsing: a stray CR at its end does not count.
std::string Content(const Line& line) {
  if (!line.text.empty() && line.text.back() == '\r') return line.text.substr(0, line.text.size() - 1);
  return line.text;
}

// True for a "[name]" line; name receives the trimmed text between the brackets.
bool ParseSection(const std::string& text, std::string& name) {
  std::string t = Trim(text);
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

// True for a "key=value" line (not a comment, not a section line, key not empty).
bool ParseKey(const std::string& text, std::string& key, std::string& value) {
  std::string t = Trim(text);
  if (t.empty() || t[0] == ';' || t[0] == '[') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  if (key.empty()) return false;
  value = Trim(t.substr(eq + 1));
  return true;
}

std::vector<Line> SplitLines(const std::string& data) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t lf = data.find('\n', pos);
    if (lf == std::string::npos) {
      lines.push_back({data.substr(pos), ""});
      break;
    }
    size_t end = lf;
    std::string eol = "\n";
    if (end > pos && data[end - 1] == '\r') {
      --end;
      eol = "\r\n";
    }
    lines.push_back({data.substr(pos, end - pos), eol});
    pos = lf + 1;
  }
  return lines;
}

// Reads the whole regular file behind fd from its start. False on a read error or
// when fd is not a regular file (a device could deliver bytes for ever).
bool ReadAll(int fd, std::string& data) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  data.clear();
  char chunk[65536];
  off_t offset = 0;
  while (true) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(chunk, static_cast<size_t>(n));
    offset += n;
  }
}

bool WriteAt(int fd, const char* p, size_t count, off_t offset) {
  while (count > 0) {
    ssize_t n = ::pwrite(fd, p, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// The file's contents with key of section set to value.
std::string Edit(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& value) {
  // The mark stays where it is; the lines behind it are what is parsed.
  const bool bom = StartsWithBom(file);
  const std::string old = bom ? file.substr(kBom.size()) : file;
  std::vector<Line> lines = SplitLines(old);
  std::string eol = "\r\n";
  size_t firstLf = old.find('\n');
  if (firstLf != std::string::npos && (firstLf == 0 || old[firstLf - 1] != '\r')) eol = "\n";
  // A value is cut before a CR, LF or NUL byte, which would break the line structure.
  const std::string keyLine = key + "=" + value.substr(0, value.find_first_of(std::string("\r\n\0", 3)));

  // The first key line of a matching section, and the last non-blank line of the
  // first matching section (where a missing key goes).
  bool inSection = false;
  int sectionBlock = 0;  // 1 while in the first matching section, 2 after it
  long insertAfter = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string text = Content(lines[i]), name, k, v;
    if (ParseSection(text, name)) {
      inSection = SameName(name, section);
      if (sectionBlock == 1) sectionBlock = 2;
      if (inSection && sectionBlock == 0) {
        sectionBlock = 1;
        insertAfter = static_cast<long>(i);
      }
      continue;
    }
    if (!inSection) continue;
    if (ParseKey(text, k, v) && SameName(k, key)) {
      lines[i].text = keyLine;
      if (lines[i].eol.empty()) lines[i].eol = eol;
      sectionBlock = 3;  // done
      break;
    }
    if (sectionBlock == 1 && !Trim(text).empty()) insertAfter = static_cast<long>(i);
  }

  if (sectionBlock != 3) {
    if (insertAfter >= 0) {
      Line& at = lines[static_cast<size_t>(insertAfter)];
      if (at.eol.empty()) at.eol = eol;
      lines.insert(lines.begin() + insertAfter + 1, Line{keyLine, eol});
    } else {
      if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
      lines.push_back({"[" + section + "]", eol});
      lines.push_back({keyLine, eol});
    }
  }

  std::string out = bom ? kBom : std::string();
  out.reserve(file.size() + keyLine.size() + section.size() + 8);
  for (const Line& l : lines) out += l.text + l.eol;
  return out;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& file) {
  int fd = ::open(ToOsPath(file).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return def.substr(0, kProfileValueMax);
  std::string data;
  bool ok = ReadAll(fd, data);
  ::close(fd);
  if (!ok) return def.substr(0, kProfileValueMax);

  if (StartsWithBom(data)) data.erase(0, kBom.size());
  bool inSection = false;
  for (const Line& line : SplitLines(data)) {
    std::string text = Content(line), name, k, v;
    if (ParseSection(text, name)) {
      inSection = SameName(name, section);
    } else if (inSection && ParseKey(text, k, v) && SameName(k, key)) {
      return v.substr(0, kProfileValueMax);
    }
  }
  return def.substr(0, kProfileValueMax);
}

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The path a chain of symbolic links ends at (the path itself when it is no link);
// the target need not exist. Relative targets count from the link's folder. A link
// in a sticky folder that everyone may write is followed only when it belongs to
// this user or to the folder's owner: another user could have put it there to make
// this run write where that user may not. Such a link gives false and the reason.
bool FollowLinks(std::string& path, std::string& fault) {
  for (int hops = 0; hops < 40; ++hops) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) break;
    struct stat link, folder;
    if (::lstat(path.c_str(), &link) == 0 && ::stat(FolderOf(path).c_str(), &folder) == 0 &&
        (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != ::geteuid() &&
        link.st_uid != folder.st_uid) {
      fault = path + " is a symbolic link of another user in a shared folder (sticky and writable by all): "
                     "not followed";
      return false;
    }
    std::string next(target, static_cast<size_t>(n));
    if (next[0] != '/') {
      const size_t slash = path.rfind('/');
      next = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + next;
    }
    path = next;
  }
  return true;
}

// An exclusive lock on the folder of the file, held while it lives: every save of a
// file in that folder runs alone. Anyone who may read the folder may lock it, so
// the wait is bounded (kProfileLockWaitMs, kProfileStopLockWaitMs once a stop was
// requested) and ends at once on a stop request. Taking no lock (a file system
// without locks) lets the save go on unserialised rather than fail.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    if (LockExclusiveBounded(fd_)) return;
    ::close(fd_);
    fd_ = -1;
    busy_ = true;
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  // True when another process held the lock for the whole bound.
  bool Busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};

}  // namespace

bool LockExclusiveBounded(int fd) {
  const auto start = std::chrono::steady_clock::now();
  for (int pause = 1;; pause = std::min(pause * 2, 50)) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR)) return true;
    const int bound = StopSignalled() ? kProfileStopLockWaitMs : kProfileLockWaitMs;
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (waited >= bound) return false;
    // A stop that comes now shortens the bound; the loop looks again at once.
    (void)WaitUnlessStopped(static_cast<int>(std::min<long long>(pause, bound - waited)));
  }
}

namespace {
// Returns false with why in fault (when the caller asked for it).
bool Fail(std::string* fault, const std::string& why) {
  if (fault) *fault = why;
  return false;
}

// The fault of a lock that stayed busy.
std::string BusyFault(const std::string& folder) {
  return "the folder " + folder + " stayed locked by another process";
}

// Writes data to a new file in the folder of path and renames it over path. False
// when the folder refuses the new file (errno tells why) or writing fails (the new
// file is removed then and path is unchanged).
bool ReplaceFile(const std::string& path, const std::string& data, const struct stat* old) {
  const std::string folder = FolderOf(path);
  std::string temp = folder + "/." + path.substr(path.rfind('/') + 1) + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, old ? (old->st_mode & 07777) : 0600) == 0;
  // A file of another owner or group stays theirs (root may give it back); where
  // that cannot be done the file is not replaced (EPERM: it is rewritten in place).
  if (ok && old && (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) &&
      ::fchown(fd, old->st_uid, old->st_gid) != 0) {
    ok = false;
    errno = EPERM;
  }
  if (ok) ok = WriteAt(fd, data.data(), data.size(), 0);
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int error = errno;
    ::unlink(temp.c_str());
    errno = error == 0 ? EIO : error;
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

// Rewrites the open file fd from old to now in place (for a folder that takes no new
// files). Space for a longer file is reserved first, so a full disk fails before
// anything is overwritten.
bool RewriteInPlace(int fd, const std::string& old, const std::string& now) {
  size_t same = 0;
  while (same < old.size() && same < now.size() && old[same] == now[same]) ++same;
  bool ok = true;
  if (now.size() > old.size()) {
    int rc = ::posix_fallocate(fd, static_cast<off_t>(old.size()), static_cast<off_t>(now.size() - old.size()));
    if (rc == ENOSPC || rc == EFBIG || rc == EIO) ok = false;
  }
  if (ok) ok = WriteAt(fd, now.data() + same, now.size() - same, static_cast<off_t>(same));
  if (ok && now.size() < old.size()) ok = ::ftruncate(fd, static_cast<off_t>(now.size())) == 0;
  if (ok) ok = ::fsync(fd) == 0;
  if (!ok && now.size() > old.size()) (void)!::ftruncate(fd, static_cast<off_t>(old.size()));
  return ok;
}

}  // namespace

bool WriteProfileFile(const std::vector<TProfileEntry>& entries, const std::string& file) {
  std::string data;
  for (const TProfileEntry& e : entries)
    data = Edit(data, e.Section, e.Key, e.Value);
  return ReplaceFile(ToOsPath(file), data, nullptr);
}

bool FileCanBeReplaced(const std::string& file) {
  const std::string path = ToOsPath(file);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
  return ::faccessat(AT_FDCWD, FolderOf(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file) {
  return WritePrivateProfileStrings({{section, key, value}}, file);
}

bool WritePrivateProfileStrings(const std::vector<TProfileEntry>& entries, const std::string& file,
                                std::string* fault) {
  std::string path = ToOsPath(file), why;
  if (!FollowLinks(path, why)) return Fail(fault, why);
  FolderLock lock(FolderOf(path));
  if (lock.Busy()) return Fail(fault, BusyFault(FolderOf(path)));

  // The file must be writable as it is: a read-only file is not replaced behind its back.
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  const bool exists = fd >= 0;
  if (!exists && errno != ENOENT) return false;
  std::string old;
  struct stat st {};
  if (exists && (fstat(fd, &st) != 0 || !ReadAll(fd, old))) {
    ::close(fd);
    return false;
  }
  std::string now = old;
  for (const TProfileEntry& e : entries)
    now = Edit(now, e.Section, e.Key, e.Value);
  if (exists && now == old) {
    ::close(fd);
    return true;
  }
  bool ok = ReplaceFile(path, now, exists ? &st : nullptr);
  if (!ok && exists && (errno == EACCES || errno == EPERM || errno == EROFS)) ok = RewriteInPlace(fd, old, now);
  if (exists && ::close(fd) != 0) ok = false;
  return ok;
}

bool ProfileWritable(const std::string& file, std::string* fault) {
  std::string path = ToOsPath(file), why;
  if (!FollowLinks(path, why)) return Fail(fault, why);
  // A lock that another process keeps would hold the save at the end of the run.
  if (FolderLock lock(FolderOf(path)); lock.Busy()) return Fail(fault, BusyFault(FolderOf(path)));
  int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return ok;
}
