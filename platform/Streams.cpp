#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileUtil.h"
#include "platform/SysUtils.h"

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be set"); }

int64_t TStream::Size() {
  int64_t pos = Seek(0, soFromCurrent);
  int64_t size = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  char chunk[65536];
  while (count > 0) {
    int64_t n = std::min<int64_t>(count, sizeof chunk);
    source.ReadBuffer(chunk, n);
    WriteBuffer(chunk, n);
    count -= n;
  }
  return total;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = static_cast<int64_t>(data_.size());
  if (count <= 0 || pos_ >= size) return 0;
  int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  size_t end = static_cast<size_t>(pos_ + count);
  if (static_cast<size_t>(pos_) == data_.size()) {
    data_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  } else {
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  }
  pos_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  switch (origin) {
    case soFromBeginning: pos_ = offset; break;
    case soFromCurrent: pos_ += offset; break;
    case soFromEnd: pos_ = static_cast<int64_t>(data_.size()) + offset; break;
    default: throw Exception("Invalid seek origin = " + IntToStr(origin));
  }
  if (pos_ < 0) pos_ = 0;
  return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(size));
  if (pos_ > size) pos_ = size;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  data_ = ReadWholeFile(path);
  pos_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) {
  TFileStream f(path, fmCreate);
  f.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

TFileStream::TFileStream(const std::string& path, unsigned mode) : path_(path) {
  const std::string os = ToOsPath(path);
  if (mode == fmCreate) {
    fd_ = ::open(os.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw FileCreateError(path);
  } else if (mode == fmCreatePrivate) {
    fd_ = ::open(os.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw FileCreateError(path);
  } else {
    int flags = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    fd_ = ::open(os.c_str(), flags | O_CLOEXEC);
    if (fd_ >= 0) {
      struct stat st;
      if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        errno = EISDIR;
      }
    }
    if (fd_ < 0) throw FileOpenError(path);
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t total = 0;
  char* p = static_cast<char*>(buffer);
  while (total < count) {
    ssize_t n = ::read(fd_, p + total, static_cast<size_t>(count - total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Stream read error" + SystemReason(errno));
    if (n == 0) break;
    total += n;
  }
  return total;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t total = 0;
  const char* p = static_cast<const char*>(buffer);
  while (total < count) {
    ssize_t n = ::write(fd_, p + total, static_cast<size_t>(count - total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Stream write error" + SystemReason(errno));
    if (n == 0) break;
    total += n;
  }
  return total;
}

int64_t TFileStream::Seek(int64_t offset, int origin) {
  int whence = origin == soFromBeginning ? SEEK_SET : origin == soFromCurrent ? SEEK_CUR : SEEK_END;
  if (origin < 0 || origin > 2) throw Exception("Invalid seek origin = " + IntToStr(origin));
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (r < 0) throw EStreamError("Seek error");
  return r;
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw EStreamError("Stream size cannot be set");
}
