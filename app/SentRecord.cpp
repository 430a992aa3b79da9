#include "app/SentRecord.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform/FileUtil.h"
#include "platform/Profile.h"
#include "platform/SysUtils.h"

namespace {
// Closes a descriptor when it goes.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A folder that exists or was made with mode 0700; false with errno set otherwise.
bool MakeFolder(const std::string& osPath) {
  if (::mkdir(osPath.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat st {};
    if (::stat(osPath.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    return true;
  }
  if (errno != ENOENT) return false;
  const size_t slash = osPath.find_last_of('/');
  if (slash == std::string::npos || slash == 0 || !MakeFolder(osPath.substr(0, slash))) return false;
  return ::mkdir(osPath.c_str(), 0700) == 0 || errno == EEXIST;
}

// The unique part of a Maildir file name: seconds, microseconds, process, a counter
// and the host name (with "/" and ":" written as the octal escapes readers expect).
std::string MaildirName() {
  static std::atomic<unsigned> counter{0};
  struct timeval now {};
  ::gettimeofday(&now, nullptr);
  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  std::string safeHost;
  for (const char* c = host; *c; ++c) safeHost += *c == '/' ? "\\057" : *c == ':' ? "\\072" : std::string(1, *c);
  char name[128];
  std::snprintf(name, sizeof name, "%lld.M%06ldP%dQ%u.", static_cast<long long>(now.tv_sec),
                static_cast<long>(now.tv_usec), static_cast<int>(::getpid()), ++counter);
  return name + safeHost;
}

// Writes data with CR LF turned into LF and the stuffed dot at each line's start
// taken away (when stuffed), in pieces: a large body is not copied whole.
class MailWriter {
 public:
  MailWriter(int fd, bool stuffed) : fd_(fd), stuffed_(stuffed) {}
  bool Write(std::string_view data) {
    std::string piece;
    piece.reserve(std::min<size_t>(data.size(), kPiece) + 1);
    for (char c : data) {
      if (lineStart_ && stuffed_ && c == '.') {
        lineStart_ = false;
        continue;
      }
      lineStart_ = false;
      if (pendingCR_) {
        pendingCR_ = false;
        if (c != '\n') piece += '\r';
      }
      if (c == '\r') {
        pendingCR_ = true;
        continue;
      }
      piece += c;
      if (c == '\n') lineStart_ = true;
      if (piece.size() >= kPiece) {
        if (!WriteAll(fd_, piece.data(), piece.size())) return false;
        piece.clear();
      }
    }
    return WriteAll(fd_, piece.data(), piece.size());
  }
  bool Finish() { return !pendingCR_ || WriteAll(fd_, "\r", 1); }

 private:
  static constexpr size_t kPiece = 65536;
  int fd_;
  bool stuffed_;
  bool lineStart_ = true;
  bool pendingCR_ = false;
};

std::string JsonString(const std::string& cp932) {
  const std::string text = Cp932ToUtf8(cp932);
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// "2026-12-11T13:40:05+09:00": local time with its offset.
std::string Rfc3339(std::time_t when) {
  struct tm local {};
  ::localtime_r(&when, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const int offset = static_cast<int>(local.tm_gmtoff / 60) % (24 * 60);
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60, std::abs(offset) % 60);
  return std::string(text) + zone;
}

}  // namespace

// The body's bytes into the file: every write is taken, so that a copy that cannot
// be written never stops the send; the first failure is kept for Store.
class TSentCopy::TBodySink : public TStream {
 public:
  explicit TBodySink(int fd) : writer_(fd, true) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    if (error_ == 0 && !writer_.Write(std::string_view(static_cast<const char*>(buffer), static_cast<size_t>(count))))
      error_ = errno ? errno : EIO;
    return count;
  }
  int64_t Seek(int64_t, int) override { return 0; }
  // Writes what is still held; the system's reason when anything failed, else 0.
  int Finish() {
    if (error_ == 0 && !writer_.Finish()) error_ = errno ? errno : EIO;
    return error_;
  }
  void Fail(int error) {
    if (error_ == 0) error_ = error ? error : EIO;
  }

 private:
  MailWriter writer_;
  int error_ = 0;
};

TSentCopy::TSentCopy(const std::string& dir, const std::string& header, const TStringList& blindCopies)
    : dir_(dir), osDir_(ToOsPath(dir)), name_(MaildirName()) {
  for (const char* sub : {"", "/tmp", "/new", "/cur"})
    if (!MakeFolder(osDir_ + sub)) throw Failure("cannot be made", errno);
  tmp_ = osDir_ + "/tmp/" + name_;
  fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) throw Failure("cannot be written", errno);
  // The Bcc line goes right after the header's last line, before the empty line
  // that ends it; what follows stays as it went out.
  std::string head = header;
  if (!blindCopies.Empty()) {
    std::string bcc = "Bcc: ";
    for (int i = 0; i < blindCopies.Count(); ++i) bcc += (i ? ", " : "") + blindCopies[i];
    const size_t end = head.find("\r\n\r\n");
    head.insert(end == std::string::npos ? head.size() : end + 2, bcc + "\r\n");
  }
  if (!MailWriter(fd_, false).Write(head)) {
    const int error = errno;
    Discard();
    throw Failure("cannot be written", error);
  }
  body_ = std::make_unique<TBodySink>(fd_);
}

TSentCopy::~TSentCopy() { Discard(); }

void TSentCopy::Discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(tmp_.c_str());
}

TStream& TSentCopy::Body() { return *body_; }

void TSentCopy::Fail(int error) { body_->Fail(error); }

Exception TSentCopy::Failure(const std::string& what, int error) const {
  return Exception("the sent copy in " + dir_ + " " + what + SystemReason(error));
}

std::string TSentCopy::Store() {
  if (fd_ < 0) throw Failure("cannot be written", EBADF);
  int error = body_->Finish();
  if (error == 0 && ::fsync(fd_) != 0) error = errno;
  const std::string cur = osDir_ + "/cur/" + name_ + ":2,S";
  if (error == 0 && ::rename(tmp_.c_str(), cur.c_str()) != 0) error = errno;
  if (error != 0) {
    Discard();
    throw Failure("cannot be written", error);
  }
  ::close(fd_);
  fd_ = -1;
  return dir_ + "/cur/" + name_ + ":2,S";
}

std::string SendRecordJson(const TSendRecord& r) {
  std::string line = "{\"time\":\"" + Rfc3339(r.Time) + "\",\"message_id\":" + JsonString(r.MessageId) +
                     ",\"from\":" + JsonString(r.From) + ",\"recipients\":[";
  for (size_t i = 0; i < r.Recipients.size(); ++i) {
    const TLoggedRecipient& t = r.Recipients[i];
    line += std::string(i ? "," : "") + "{\"address\":" + JsonString(t.Address) +
            ",\"accepted\":" + (t.Accepted ? "true" : "false") + ",\"reply\":" + JsonString(t.Reply) + "}";
  }
  line += "],\"size\":" + std::to_string(r.Size) + ",\"attachments\":[";
  for (size_t i = 0; i < r.Attachments.size(); ++i) line += (i ? "," : "") + JsonString(r.Attachments[i]);
  line += "],\"status\":" + std::to_string(r.Status) + ",\"reply\":" + JsonString(r.Reply) + "}\n";
  return line;
}

void AppendSendLog(const std::string& path, const TSendRecord& record) {
  const std::string line = SendRecordJson(record);
  Fd file{::open(ToOsPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)};
  if (file.fd < 0) throw Exception("the send log " + path + " cannot be written" + SystemReason(errno));
  // Two runs appending at once each write whole lines.
  if (!LockExclusiveBounded(file.fd))
    throw Exception("the send log " + path + " cannot be written (it stayed locked by another process)");
  if (!WriteAll(file.fd, line.data(), line.size()))
    throw Exception("the send log " + path + " cannot be written" + SystemReason(errno));
}
