#include "jmail/MailParts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "jmail/LxUUE.h"
#include "jmail/MailFold.h"
#include "jmail/MailJstr.h"
#include "platform/FileUtil.h"
#include "platform/MediaTypes.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"

namespace {
bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
}  // namespace

std::string EncodeAttachmentName(const std::string& name, MailCharset charset) {
  if (charset == MailCharset::Iso2022JpLegacy || IsAscii(name)) return EncodeHeaderLine(name);
  if (charset == MailCharset::Iso2022Jp) return EncodeSubject(name);
  return kUtf8WordStart + Base64EncodeStr(ConvertToUtf8(name)) + kWordEnd;
}

std::string ExtendedFileNameValue(const std::string& name) {
  std::string value = "UTF-8''";
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : ConvertToUtf8(name)) {
    const auto c = static_cast<unsigned char>(ch);
    // The characters a parameter value may hold as they are; all others as %XX.
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       (c != 0 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
    if (plain) {
      value += ch;
    } else {
      value += '%';
      value += kHex[c >> 4];
      value += kHex[c & 15];
    }
  }
  return value;
}

std::string ExtendedFileNameParameter(const std::string& name) {
  if (IsAscii(name)) return {};
  const std::string value = ExtendedFileNameValue(name);
  constexpr size_t kOneLine = kFoldLineOctets - (sizeof " filename*=" - 1);
  if (value.size() <= kOneLine) return "filename*=" + value;
  // Pieces of at most kPiece octets, never cutting a %XX; each on a line of its own.
  constexpr size_t kPiece = 60;
  std::string out;
  for (size_t at = 0, n = 0; at < value.size(); ++n) {
    size_t take = std::min(kPiece, value.size() - at);
    if (at + take < value.size()) {
      const size_t percent = value.rfind('%', at + take - 1);
      if (percent != std::string::npos && percent >= at && percent + 3 > at + take) take = percent - at;
    }
    out += (n ? ";\r\n " : "") + ("filename*" + std::to_string(n) + "*=") + value.substr(at, take);
    at += take;
  }
  return out;
}

std::vector<std::string> AttachmentNameLines(const std::string& name, const std::string& mediaType,
                                             MailCharset charset) {
  const std::string described = EncodeAttachmentName(name, charset);
  if (IsAscii(name)) {
    const std::string quoted = QuotedParameterText(described);
    return {"Content-Type: " + mediaType + ";name=\"" + quoted + "\"",
            "Content-Disposition: attachment; filename=\"" + quoted + "\"", "Content-Description: " + described};
  }
  // A UTF-8 word in name= and RFC 2231 alone in the disposition, whatever the
  // message's charset: what every reader and extractor takes back as typed.
  const std::string word = kUtf8WordStart + Base64EncodeStr(ConvertToUtf8(name)) + kWordEnd;
  const std::string extended = ExtendedFileNameParameter(name);
  // The parameter goes on a line of its own when the line would grow past 78 octets.
  const std::string oneLine = "Content-Disposition: attachment; " + extended;
  const bool fold = extended.find('\r') != std::string::npos || oneLine.size() > kFoldLineOctets;
  return {"Content-Type: " + mediaType + ";name=\"" + word + "\"",
          fold ? "Content-Disposition: attachment;\r\n " + extended : oneLine,
          "Content-Description: " + described};
}

namespace {
constexpr size_t kLineBytes = 45;  // input bytes of one 60-character line
constexpr size_t kLinesPerChunk = 4096;

// The size of the regular file at path, or -1; only a hint for reserving the list.
int64_t FileSizeHint(const std::string& path) {
  struct stat st;
  if (::stat(ToOsPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

// Reads until count bytes arrived or the file ends; a read failure is the file
// layer's open error for the file, as when reading the whole file at once, with the
// system's reason.
size_t ReadChunk(TFileStream& file, unsigned char* buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    const ssize_t n = ::read(file.Handle(), buffer + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileOpenError(file.FileName(), errno);
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return total;
}

// Writes the base64 lines of the n bytes at src to dest, 45 bytes to a line, each
// ended by CR LF, and calls line with each line's characters (without its end).
// Returns the position after the last line end.
template <class Line>
char* EncodeLines(const unsigned char* src, size_t n, char* dest, Line line) {
  const TSixBitCoder& coder = TSixBitCoder::Mime();
  for (size_t left = n; left > 0;) {
    const size_t take = std::min(left, kLineBytes);
    char* const start = dest;
    dest = coder.EncodeGroups(src, take / 3, dest);
    dest = coder.EncodeTail(src + take / 3 * 3, take % 3, true, dest);
    line(start, static_cast<size_t>(dest - start));
    *dest++ = '\r';
    *dest++ = '\n';
    src += take;
    left -= take;
  }
  return dest;
}

// Removes the temporary file when the attachment is done or has failed.
struct TempFileRemover {
  std::string path;
  ~TempFileRemover() { DeleteFile(path); }
};

// The part header lines that carry an attachment's name (AttachmentNameLines).
// Control characters are dropped (a line break would end the header early and put
// the rest of the name into the part's body), and the name is cut by whole
// characters until every line fits the line limit.
std::vector<std::string> PartHeaderNameLines(const std::string& fileName, MailCharset charset,
                                             const std::string& mediaType) {
  std::string name = WithoutControlCharacters(fileName);
  for (;;) {
    std::vector<std::string> lines = AttachmentNameLines(name, mediaType, charset);
    bool fits = true;
    for (const std::string& line : lines)
      for (size_t start = 0, end; start <= line.size(); start = end + 2) {
        end = std::min(line.size(), line.find("\r\n", start));
        fits = fits && end - start <= kMaxLineOctets;
      }
    if (name.empty() || fits) return lines;
    size_t last = 0;
    for (size_t i = 0; i < name.size(); i += IsCp932LeadByte(static_cast<unsigned char>(name[i])) ? 2 : 1) last = i;
    name.erase(last);
  }
}

// Appends the delimiter, the part headers and the empty entry of the part of the
// file at path.
void AppendPartHeaders(const std::string& path, MailCharset charset, TStringList& parts) {
  const std::string name = ExtractFileName(path);
  const std::string mediaType = MediaTypeOf(name);
  const std::vector<std::string> nameLines = PartHeaderNameLines(name, charset, mediaType);
  parts.Add(kBoundaryDelimiter);
  parts.Add("Content-Transfer-Encoding: base64");
  for (const std::string& line : nameLines) parts.Add(line);
  parts.Add("\r\n");
}

// Appends the part of one existing file: the delimiter, the part headers, the
// empty entry and the base64 lines, one per
// entry or joined by CR LF a chunk at a time.
void AppendAttachmentPart(const std::string& path, MailCharset charset, TStringList& parts, bool joinLines) {
  TFileStream input(path, fmOpenRead);

  // The encoded text, broken into CR LF lines, goes to the temporary file while the
  // same lines go into the list: the file holds exactly what the list is read from.
  const std::string tempPath = PrivateTempDir() + "temp09" + ExtractFileName(path);
  TempFileRemover remover{tempPath};
  TFileStream temp(tempPath, fmCreatePrivate);
  AppendPartHeaders(path, charset, parts);

  constexpr size_t kChunkBytes = kLinesPerChunk * kLineBytes;
  std::unique_ptr<unsigned char[]> in(new unsigned char[kChunkBytes]);
  std::unique_ptr<char[]> out(joinLines ? nullptr : new char[kLinesPerChunk * 62]);
  while (true) {
    const size_t n = ReadChunk(input, in.get(), kChunkBytes);
    if (n == 0) break;
    // Joined lines are encoded straight into the entry they end up in.
    std::string block(joinLines ? (n + kLineBytes - 1) / kLineBytes * 62 : 0, '\0');
    char* const begin = joinLines ? block.data() : out.get();
    char* const p = EncodeLines(in.get(), n, begin, [&](const char* line, size_t size) {
      if (!joinLines) parts.Add(std::string(line, size));
    });
    temp.WriteBuffer(begin, p - begin);
    if (joinLines) {
      block.resize(static_cast<size_t>(p - begin) - 2);  // the entry's last CR LF comes from the body
      parts.Add(std::move(block));
    }
    if (n < kChunkBytes) break;
  }
}
}  // namespace

TStringList BuildAttachmentParts(const TStringList& paths, MailCharset charset, bool joinLines) {
  // One reservation for every entry, so that the list never moves while it grows.
  const int64_t perEntry = joinLines ? kLinesPerChunk * kLineBytes : kLineBytes;
  int64_t entries = 1;
  for (const std::string& path : paths) {
    const int64_t size = FileSizeHint(path);
    if (size >= 0) entries += 6 + (size + perEntry - 1) / perEntry;
  }
  TStringList parts;
  parts.Reserve(static_cast<int>(std::min<int64_t>(entries, INT_MAX)));
  for (const std::string& path : paths) {
    if (FileExists(path)) AppendAttachmentPart(path, charset, parts, joinLines);
  }
  parts.Add(kBoundaryClose);
  return parts;
}

TStringList BuildAttachmentHeaders(const TStringList& paths, MailCharset charset, std::vector<TBodyFile>& files) {
  TStringList parts;
  for (const std::string& path : paths) {
    if (!FileExists(path)) continue;
    AppendPartHeaders(path, charset, parts);
    files.push_back({parts.Count(), path});
    parts.Add("");
  }
  parts.Add(kBoundaryClose);
  return parts;
}

int64_t Base64LinesSize(int64_t bytes) {
  const int64_t lines = bytes / static_cast<int64_t>(kLineBytes);
  const int64_t rest = bytes % static_cast<int64_t>(kLineBytes);
  return lines * 62 + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
}

TBase64FileStream::TBase64FileStream(const std::string& path)
    : file_(path, fmOpenRead), in_(new unsigned char[kInBytes]), out_(new char[kOutBytes]) {
  struct stat st;
  if (::fstat(file_.Handle(), &st) != 0) throw FileOpenError(path, errno);
  fileSize_ = S_ISREG(st.st_mode) ? st.st_size : 0;
  size_ = Base64LinesSize(fileSize_);
}

TBase64FileStream::~TBase64FileStream() = default;

int64_t TBase64FileStream::Read(void* buffer, int64_t count) {
  auto* dest = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count && pos_ < size_) {
    if (outAt_ == outEnd_) Refill();
    const size_t n = static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(outEnd_ - outAt_)));
    std::memcpy(dest + done, out_.get() + outAt_, n);
    outAt_ += n;
    done += static_cast<int64_t>(n);
    pos_ += static_cast<int64_t>(n);
  }
  return done;
}

void TBase64FileStream::Refill() {
  const size_t want = static_cast<size_t>(std::min<int64_t>(kInBytes, fileSize_ - read_));
  const size_t n = ReadChunk(file_, in_.get(), want);
  // The size went into the message's size before the first byte was sent: a file
  // that shrank since cannot give it any more.
  if (n < want) throw EFOpenError("The file became shorter while it was being sent: " + file_.FileName());
  read_ += static_cast<int64_t>(n);
  char* const p = EncodeLines(in_.get(), n, out_.get(), [](const char*, size_t) {});
  outAt_ = 0;
  outEnd_ = static_cast<size_t>(p - out_.get());
}

int64_t TBase64FileStream::Seek(int64_t offset, int origin) {
  const int64_t target = origin == soFromBeginning ? offset : origin == soFromCurrent ? pos_ + offset : size_ + offset;
  if (target == pos_) return pos_;
  if (target != 0) throw EStreamError("The encoded file can only be read again from its start");
  file_.SetPosition(0);
  pos_ = read_ = 0;
  outAt_ = outEnd_ = 0;
  return 0;
}

std::string WithoutControlCharacters(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
  return out;
}

std::string QuotedParameterText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsCp932LeadByte(static_cast<unsigned char>(c)) && i + 1 < text.size()) {
      out.append(text, i++, 2);
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}
