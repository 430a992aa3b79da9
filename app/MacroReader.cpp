#include "app/MacroReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"

namespace {
// Hands the file's bytes from its start to its end mark (0x1A) or end to take, in
// chunks, until take returns false; the file position is left alone. Returns false
// when the file cannot be read.
template <class Take>
bool ScanFile(int fd, Take take) {
  char chunk[65536];
  for (off_t offset = 0;;) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    size_t length = static_cast<size_t>(n);
    const void* end = std::memchr(chunk, '\x1A', length);
    if (end) length = static_cast<size_t>(static_cast<const char*>(end) - chunk);
    if (!take(chunk, length) || end) return true;
    offset += n;
  }
}
}  // namespace

TMacroLineReader::TMacroLineReader(const std::string& path, bool utf8) : path_(path), utf8_(utf8) {
  // O_NONBLOCK: opening a FIFO without a writer must not hang; only regular files
  // are read.
  fd_ = ::open(ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) throw FileOpenError(path);
  // Why the file cannot be read as a macro: a folder has a system error of its own,
  // a pipe or a device (-1) is said so.
  struct stat st {};
  int error = 0;
  if (fstat(fd_, &st) != 0) error = errno;
  else if (S_ISDIR(st.st_mode)) error = EISDIR;
  else if (!S_ISREG(st.st_mode)) error = -1;
  fileSize_ = static_cast<int64_t>(st.st_size);
  if (error != 0) {
    Close();
    if (error < 0) throw EFOpenError(FileOpenError(path, 0).Message() + ": not a regular file");
    throw FileOpenError(path, error);
  }
  // A file written on Linux ends its lines with LF alone; read as CR-ended it would
  // be one line and do nothing. A file with any CR keeps the CR rule, bare LFs inside
  // its lines included. The scan ends at the first CR, so a CR LF file costs one
  // line's worth of it. A file that cannot be read fails at its first line instead.
  bool sawCR = false;
  ScanFile(fd_, [&sawCR](const char* data, size_t n) {
    sawCR = std::memchr(data, '\r', n) != nullptr;
    return !sawCR;
  });
  if (!sawCR) lineEnd_ = '\n';
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
    if (n < 0) throw EStreamError("Stream read error" + SystemReason(errno));
    len_ = static_cast<size_t>(n);
    readBytes_ += n;
    return n > 0;
  }
}

bool TMacroLineReader::IsUtf8Text() const {
  if (fd_ < 0) return false;
  // A UTF-8 decoder's state between bytes: continuation bytes still due, and the
  // range the next one must lie in (narrower after E0, ED, F0 and F4, which rules
  // out overlong forms, surrogates and code points above U+10FFFF).
  int due = 0;
  unsigned char low = 0x80, high = 0xBF;
  bool valid = true, nonAscii = false;
  const bool read = ScanFile(fd_, [&](const char* data, size_t n) {
    for (size_t i = 0; i < n && valid; ++i) {
      // ASCII, most of a body, is passed eight bytes at a time.
      uint64_t word;
      while (due == 0 && i + 8 <= n && (std::memcpy(&word, data + i, 8), (word & 0x8080808080808080u) == 0)) i += 8;
      if (i == n) break;
      const unsigned char b = static_cast<unsigned char>(data[i]);
      if (due > 0) {
        valid = b >= low && b <= high;
        low = 0x80, high = 0xBF;
        --due;
      } else if (b >= 0x80) {
        nonAscii = true;
        if (b >= 0xC2 && b <= 0xDF) due = 1;
        else if (b >= 0xE0 && b <= 0xEF) due = 2;
        else if (b >= 0xF0 && b <= 0xF4) due = 3;
        else valid = false;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
      }
    }
    return valid;
  });
  return read && valid && due == 0 && nonAscii;
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
    size_t n = len_ - pos_;
    // The line ends at the first line end or end mark: two vector scans instead of
    // a test per byte.
    size_t i = n;
    if (const void* cr = std::memchr(start, lineEnd_, n)) i = static_cast<size_t>(static_cast<const char*>(cr) - start);
    if (const void* eof = std::memchr(start, '\x1A', i)) i = static_cast<size_t>(static_cast<const char*>(eof) - start);
    line.append(start, i);
    pos_ += i;
    if (i == n) continue;  // the line goes on in the next chunk
    if (start[i] == '\x1A') break;  // the end mark stays: Eof sees it
    ++pos_;  // the CR (or the LF of a file without CR)
    if (lineEnd_ == '\r' && Fill() && buffer_[pos_] == '\n') ++pos_;
    break;
  }
  return line;
}

TBodyRoom::TBodyRoom() = default;
TBodyRoom::~TBodyRoom() = default;

void TBodyRoom::Add(TStringList& body, int64_t bytes, int64_t bytesLeft) {
  if (heap_) {
    heap_->Ahead();
    RoomAhead(body);
    return;
  }
  bytes_ += bytes;
  if (++lines_ != kSampleLines || bytes_ <= 0) return;
  // The sample's average is only an estimate: empty lines before long ones would ask
  // for far more room than the rest of the text needs. The room's own octets are held
  // to kRoomPerOctet times the octets left, and the room is made present only as the
  // list reaches it, so a wrong estimate costs address space, not memory.
  const int64_t room = sizeof(std::string);
  const int64_t more = std::min(bytesLeft * lines_ / bytes_, bytesLeft * kRoomPerOctet / room) + 1;
  body.Reserve(static_cast<int>(std::min<int64_t>(body.Count() + more, INT32_MAX)));
  roomBase_ = body.Lines().data();
  roomPresent_ = body.Lines().size() * sizeof(std::string);
  heap_ = std::make_unique<THeapPrefaulter>();
  RoomAhead(body);
}

void TBodyRoom::RoomAhead(const TStringList& body) {
  const std::vector<std::string>& lines = body.Lines();
  // A list that outgrew its room was moved: from then on it grows as any list does.
  if (lines.data() != roomBase_) return;
  const size_t used = (lines.size() + 1) * sizeof(std::string);
  if (used <= roomPresent_) return;
  const size_t end = std::min(lines.capacity() * sizeof(std::string), roomPresent_ + THeapPrefaulter::kStep);
  if (end <= roomPresent_) return;
  THeapPrefaulter::MakePresent(reinterpret_cast<const char*>(lines.data()) + roomPresent_, end - roomPresent_);
  roomPresent_ = end;
}

namespace {

const char* const kKeywords[] = {"rem",    "to",        "cc",        "bcc",        "subject", "reply-to", "body",
                                 "bind",   "server",    "pickupbcc", "pickupbody", "action",  "upwd",     "uname",
                                 "answer-to", "receipt", "priority", "header"};
constexpr int kKeywordCount = sizeof kKeywords / sizeof kKeywords[0];

}  // namespace

int MacroKeyword(const std::string& line) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return -1;
  // The key is compared where it stands, the colon skipped: most lines are no
  // keyword, and a body line must not cost a copy to find that out.
  const size_t keyLength = line.size() - 1;
  for (int k = 0; k < kKeywordCount; ++k) {
    const char* keyword = kKeywords[k];
    if (std::strlen(keyword) != keyLength) continue;
    size_t j = 0;
    while (j < keyLength && AsciiLower(line[j < colon ? j : j + 1]) == keyword[j]) ++j;
    if (j == keyLength) return k;
  }
  return -1;
}

