#include "platform/FileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/SysUtils.h"

std::string ToOsPath(const std::string& cp932Path) {
  std::string out;
  return TryCp932ToUtf8(cp932Path, out) ? out : cp932Path;
}

std::string FromOsPath(const std::string& osPath) {
  std::string out;
  return TryUtf8ToCp932(osPath, out) ? out : osPath;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(ToOsPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadWholeFile(const std::string& path) {
  int fd = ::open(ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileOpenError(path);
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw FileOpenError(path, error);
  }
  std::string data;
  if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char chunk[65536];
  while (true) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw FileOpenError(path, error);
    }
    if (n == 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

bool DeleteFile(const std::string& path) { return ::unlink(ToOsPath(path).c_str()) == 0; }

namespace {
// Index one past the last directory mark, or 0.
size_t NameStart(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(path[i]);
    if (IsCp932LeadByte(b) && i + 1 < path.size()) {
      ++i;  // skip the second byte of the character
    } else if (b == '/' || b == '\\' || b == ':') {
      start = i + 1;
    }
  }
  return start;
}
}  // namespace

std::string ExtractFileName(const std::string& path) { return path.substr(NameStart(path)); }
std::string ExtractFilePath(const std::string& path) { return path.substr(0, NameStart(path)); }
bool HasDirectoryPart(const std::string& path) { return NameStart(path) != 0; }

std::string ExePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return "tarvex";
  return FromOsPath(std::string(buf, static_cast<size_t>(n)));
}

std::string ExeDir() { return ExtractFilePath(ExePath()); }

std::string CurrentDir() {
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return "./";
  const std::string path = FromOsPath(cwd);
  return path.back() == '/' ? path : path + "/";
}

namespace {
std::vector<std::string>& ParamStore() {
  static std::vector<std::string> params;
  return params;
}

std::mutex tempMutex;
std::string tempDir;  // OS path with trailing "/", empty until made

void RemoveTree(const std::string& dir) {
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      ::unlink((dir + name).c_str());
    }
    ::closedir(d);
  }
  ::rmdir(dir.c_str());
}
}  // namespace

void SetParams(const std::vector<std::string>& params) { ParamStore() = params; }
const std::vector<std::string>& Params() { return ParamStore(); }

std::string PrivateTempDir() {
  std::lock_guard<std::mutex> lock(tempMutex);
  if (tempDir.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp");
    if (tmpl.back() != '/') tmpl += '/';
    tmpl += "tarvex-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw FileCreateError(FromOsPath(tmpl));
    tempDir = tmpl + "/";
    std::atexit(RemovePrivateTempDir);
  }
  return FromOsPath(tempDir);
}

void RemovePrivateTempDir() {
  std::lock_guard<std::mutex> lock(tempMutex);
  if (tempDir.empty()) return;
  RemoveTree(tempDir);
  tempDir.clear();
}
