#include "app/MacroReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"

TMacroLineReader::TMacroLineReader(const std::string& path, bool utf8) : path_(path), utf8_(utf8) {
  // O_NONBLOCK: opening a FIFO without a writer must not hang; only regular files
  // are read.
  fd_ = ::open(ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) Close();
  if (fd_ < 0) throw FileOpenError(path);
}

TMacroLineReader::~TMacroLineReader() { Close(); }

void TMacroLineReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pos_ = len_ = 0;
}

bool TMacroLineReader::Fill() {
  if (pos_ < len_) return true;
  if (fd_ < 0) return false;
  pos_ = len_ = 0;
  while (true) {
    ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Stream read error");
    len_ = static_cast<size_t>(n);
    return n > 0;
  }
}

bool TMacroLineReader::Eof() { return !Fill() || buffer_[pos_] == '\x1A'; }

namespace {
// "U+XXXX" for the UTF-8 character at offset, or "byte 0xNN" when no valid
// character starts there.
std::string DescribeUtf8At(const std::string& text, size_t offset) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  char buffer[32];
  auto byte = [&] {
    std::snprintf(buffer, sizeof buffer, "byte 0x%02X", offset < n ? s[offset] : 0);
    return std::string(buffer) + " (no UTF-8)";
  };
  if (offset >= n) return byte();
  const unsigned char b = s[offset];
  int length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
  if (length == 0 || offset + length > n) return byte();
  uint32_t code = length == 1 ? b : b & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((s[offset + i] & 0xC0) != 0x80) return byte();
    code = code << 6 | (s[offset + i] & 0x3F);
  }
  std::snprintf(buffer, sizeof buffer, "U+%04X", code);
  return buffer;
}
}  // namespace

std::string TMacroLineReader::ReadLine() {
  std::string line = ReadRawLine();
  ++lineNumber_;
  if (!utf8_) return line;
  if (lineNumber_ == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  std::string converted;
  size_t bad = 0;
  if (!TryUtf8ToCp932(line, converted, &bad))
    throw EMacroCharsetError(path_ + ", line " + IntToStr(lineNumber_) + ": " + DescribeUtf8At(line, bad) +
                             " has no CP932 form");
  return converted;
}

std::string TMacroLineReader::ReadRawLine() {
  std::string line;
  while (Fill()) {
    const char* start = buffer_ + pos_;
    size_t n = len_ - pos_, i = 0;
    while (i < n && start[i] != '\r' && start[i] != '\x1A') ++i;
    line.append(start, i);
    pos_ += i;
    if (i == n) continue;  // the line goes on in the next chunk
    if (start[i] == '\x1A') break;  // the end mark stays: Eof sees it
    ++pos_;  // the CR
    if (Fill() && buffer_[pos_] == '\n') ++pos_;
    break;
  }
  return line;
}

namespace {

const char* const kKeywords[] = {"rem",    "to",   "cc",        "bcc",        "subject", "reply-to", "body",
                                 "bind",   "server", "pickupbcc", "pickupbody", "action",  "upwd",     "uname"};

}  // namespace

int MacroKeyword(const std::string& line) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return -1;
  std::string key = AsciiLowerCase(line.substr(0, colon) + line.substr(colon + 1));
  for (int i = 0; i < 14; ++i)
    if (key == kKeywords[i]) return i;
  return -1;
}

