#include "jmail/MailJstr.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>

#include "jmail/JISUtil.h"
#include "platform/FileUtil.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "smtp/LxUUE.h"

namespace {
constexpr char kEscJis[] = "\x1B$B";    // ESC $ B: switch to JIS X 0208
constexpr char kEscAscii[] = "\x1B(B";  // ESC ( B: switch to ASCII
constexpr char kWordStart[] = "=?ISO-2022-JP?B?";
constexpr char kWordEnd[] = "?=";

// Byte classes of ConvertToJis: the JIS row of a lead byte before the second byte's
// share, and for a second byte its cell (0: not usable) and its share of the row.
struct JisTables {
  std::array<unsigned char, 256> leadRow{};  // 0: not a lead byte
  std::array<unsigned char, 256> cell{};
  std::array<unsigned char, 256> rowStep{};
};

constexpr JisTables MakeJisTables() {
  JisTables t;
  for (int b = 0x81; b <= 0x9F; ++b) t.leadRow[b] = static_cast<unsigned char>(2 * b - 0xE1);
  for (int b = 0xE0; b <= 0xEF; ++b) t.leadRow[b] = static_cast<unsigned char>(2 * b - 0x161);
  for (int b = 0x40; b <= 0x7E; ++b) t.cell[b] = static_cast<unsigned char>(b - 0x1F);
  for (int b = 0x80; b <= 0x9E; ++b) t.cell[b] = static_cast<unsigned char>(b - 0x20);
  for (int b = 0x9F; b <= 0xFC; ++b) {
    t.cell[b] = static_cast<unsigned char>(b - 0x7E);
    t.rowStep[b] = 1;
  }
  return t;
}

constexpr JisTables kJis = MakeJisTables();

char* Put3(char* p, const char* seq) {
  std::memcpy(p, seq, 3);
  return p + 3;
}


// The JIS code of every lead/second pair ConvertToJis converts, 0 for any other
// pair (valid codes are at least 0x2121): one look-up tells both bytes' class.
const uint16_t* PairCodes() {
  static const std::unique_ptr<uint16_t[]> table = [] {
    std::unique_ptr<uint16_t[]> t(new uint16_t[65536]());
    for (int lead = 0; lead < 256; ++lead) {
      if (kJis.leadRow[lead] == 0) continue;
      for (int second = 0; second < 256; ++second) {
        if (kJis.cell[second] == 0) continue;
        t[lead << 8 | second] = static_cast<uint16_t>((kJis.leadRow[lead] + kJis.rowStep[second]) << 8 |
                                                      kJis.cell[second]);
      }
    }
    return t;
  }();
  return table.get();
}

}  // namespace

int JisOffset(unsigned char lead, unsigned char second) {
  const bool low = lead >= 0x81 && lead <= 0x9F;
  if (second >= 0x40 && second <= 0x7E) return low ? 0xE11F : 0x1611F;
  if (second >= 0x80 && second <= 0x9E) return low ? 0xE120 : 0x16120;
  if (second >= 0x9F && second <= 0xFC) return low ? 0xE07E : 0x1607E;
  return 0;
}

std::string ConvertToJis(const std::string& text) {
  const size_t n = std::min(text.size(), text.find('\0'));
  if (n == 0) return {};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const uint16_t* codes = PairCodes();

  // A stretch of k input bytes (plus one byte of a pair that crosses its end) gives
  // at most 3(k + 1) + 6 output bytes: a pair entering JIS mode and a single byte
  // leaving it is 3 bytes in, 9 out; the first byte's escape and the closing escape
  // add 6. The output therefore grows stretch by stretch, without a check per byte.
  constexpr size_t kStretch = 4096;
  std::string out;
  out.resize(n + n / 8 + 3 * (std::min(n, kStretch) + 1) + 6);
  size_t used = 0;
  bool jis = false;
  size_t i = 0;
  while (i < n) {
    const size_t limit = std::min(n, i + kStretch);
    const size_t need = used + 3 * (limit - i + 1) + 6;
    if (need > out.size()) out.resize(std::max(need, out.size() * 2));
    char* p = out.data() + used;
    while (i < limit) {
      const unsigned char b = s[i];
      if (kJis.leadRow[b] != 0) {
        if (i + 1 == n) {  // a lead byte at the end is dropped
          ++i;
          break;
        }
        const unsigned char c = s[i + 1];
        const uint16_t code = codes[b << 8 | c];
        if (code != 0) {
          if (!jis) {
            p = Put3(p, kEscJis);
            jis = true;
          }
          p[0] = static_cast<char>(code >> 8);
          p[1] = static_cast<char>(code & 0xFF);
          p += 2;
        } else {
          // A lead byte before a byte that cannot follow it: both are copied.
          if (jis) {
            p = Put3(p, kEscAscii);
            jis = false;
          }
          p[0] = static_cast<char>(b);
          p[1] = static_cast<char>(c);
          p += 2;
        }
        i += 2;
      } else {
        if (jis || i == 0) {
          p = Put3(p, kEscAscii);
          jis = false;
        }
        *p++ = static_cast<char>(b);
        ++i;
      }
    }
    if (i >= n && jis) p = Put3(p, kEscAscii);
    used = static_cast<size_t>(p - out.data());
  }
  out.resize(used);
  return out;
}

std::string EncodeSubject(const std::string& text) {
  const std::string jis = ConvertToJis(text);
  std::string word;
  word.reserve(sizeof kWordStart + (jis.size() + 2) / 3 * 4 + sizeof kWordEnd);
  word += kWordStart;
  word += Base64EncodeStr(jis);
  word += kWordEnd;
  return word;
}

std::string EncodeHeaderLine(const std::string& line) {
  std::string result;
  result.reserve(line.size());
  std::string run;
  bool open = false;
  auto closeRun = [&] {
    run += kEscAscii;
    result += kWordStart;
    result += ProcessorBase64(run);
    result += kWordEnd;
    open = false;
  };
  const size_t n = line.size();
  for (size_t i = 0; i < n;) {
    const auto b = static_cast<unsigned char>(line[i]);
    if (IsCp932LeadByte(b)) {
      if (!open) {
        run = kEscJis;
        open = true;
      }
      // A lead byte at the very end pairs with the zero byte that would end the text.
      const auto second = i + 1 < n ? static_cast<unsigned char>(line[i + 1]) : 0;
      run += CodeToStr(SjisToJis(PairToCode(b, second)));
      i += 2;
    } else {
      if (open) closeRun();
      result += static_cast<char>(b);
      ++i;
    }
  }
  if (open) closeRun();
  return result;
}

std::string Base64EncodeStr(const std::string& bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  size_t written = 0;
  Base64EncodeBuf(bytes.data(), bytes.size(), out.data(), true, written);
  return out;
}

namespace {
// A read-only stream over a string it does not own, so that the encoder reads the
// caller's bytes in place.
class TBytesReader : public TStream {
 public:
  explicit TBytesReader(const std::string& bytes) : bytes_(bytes) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t size = static_cast<int64_t>(bytes_.size());
    if (count <= 0 || pos_ >= size) return 0;
    const int64_t n = std::min(count, size - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override {
    const int64_t base = origin == soFromBeginning ? 0 : origin == soFromCurrent ? pos_ : Size();
    pos_ = std::max<int64_t>(0, base + offset);
    return pos_;
  }
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  const std::string& bytes_;
  int64_t pos_ = 0;
};
}  // namespace

std::string ProcessorBase64(const std::string& bytes) {
  TBytesReader input(bytes);
  TStringStream output;
  output.Reserve(static_cast<int64_t>((bytes.size() + 44) / 45 * 62));
  {
    TLxUUProcessor processor(nullptr);
    processor.InputStream = &input;
    processor.OutputStream = &output;
    processor.Encode();
  }
  // Every line ends with CR LF and base64 has neither: drop them line by line.
  std::string text = output.Release();
  size_t write = 0;
  for (size_t read = 0; read < text.size();) {
    size_t end = text.find('\r', read);
    if (end == std::string::npos) end = text.size();
    std::memmove(text.data() + write, text.data() + read, end - read);
    write += end - read;
    read = end + 2;
  }
  text.resize(write);
  return text;
}

bool Base64EncodeBuf(const void* source, size_t length, char* dest, bool allowPadding, size_t& written) {
  const size_t rest = length % 3;
  if (rest != 0 && !allowPadding) return false;
  const TSixBitCoder& coder = TSixBitCoder::Mime();
  const auto* src = static_cast<const unsigned char*>(source);
  char* p = coder.EncodeGroups(src, length / 3, dest);
  p = coder.EncodeTail(src + length - rest, rest, true, p);
  written = static_cast<size_t>(p - dest);
  return true;
}

void Base64EncodeGroup(unsigned char b1, unsigned char b2, unsigned char b3, char* dest) {
  const unsigned char group[3] = {b1, b2, b3};
  TSixBitCoder::Mime().EncodeGroups(group, 1, dest);
}

char Base64Char(unsigned value) { return TSixBitCoder::Mime().Char(value); }

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
// layer's open error for the file, as when reading the whole file at once.
size_t ReadChunk(TFileStream& file, unsigned char* buffer, size_t count) {
  size_t total = 0;
  try {
    while (total < count) {
      int64_t n = file.Read(buffer + total, static_cast<int64_t>(count - total));
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
  } catch (const EStreamError&) {
    throw FileOpenError(file.FileName());
  }
  return total;
}

// Removes the temporary file when the attachment is done or has failed.
struct TempFileRemover {
  std::string path;
  ~TempFileRemover() { DeleteFile(path); }
};

// Appends the part of one existing file: entries 5a-5g.
void AppendAttachmentPart(const std::string& path, TStringList& parts) {
  const std::string name = ExtractFileName(path);
  const std::string encodedName = EncodeHeaderLine(name);
  TFileStream input(path, fmOpenRead);

  // The encoded text, broken into CR LF lines, goes to the temporary file while the
  // same lines go into the list: the file holds exactly what the list is read from.
  const std::string tempPath = PrivateTempDir() + "temp09" + name;
  TempFileRemover remover{tempPath};
  TFileStream temp(tempPath, fmCreatePrivate);

  parts.Add(kBoundaryDelimiter);
  parts.Add("Content-Transfer-Encoding: base64");
  parts.Add("Content-Type: application/octet-stream;name=\"" + encodedName + "\"");
  parts.Add("Content-Disposition: attachment; filename=\"" + encodedName + "\"");
  parts.Add("Content-Description: " + encodedName);
  parts.Add("\r\n");

  const TSixBitCoder& coder = TSixBitCoder::Mime();
  constexpr size_t kChunkBytes = kLinesPerChunk * kLineBytes;
  std::unique_ptr<unsigned char[]> in(new unsigned char[kChunkBytes]);
  std::unique_ptr<char[]> out(new char[kLinesPerChunk * 62]);
  while (true) {
    const size_t n = ReadChunk(input, in.get(), kChunkBytes);
    if (n == 0) break;
    const unsigned char* src = in.get();
    char* p = out.get();
    for (size_t left = n; left > 0;) {
      const size_t take = std::min(left, kLineBytes);
      char* line = p;
      p = coder.EncodeGroups(src, take / 3, p);
      p = coder.EncodeTail(src + take / 3 * 3, take % 3, true, p);
      parts.Add(std::string(line, static_cast<size_t>(p - line)));
      *p++ = '\r';
      *p++ = '\n';
      src += take;
      left -= take;
    }
    temp.WriteBuffer(out.get(), p - out.get());
    if (n < kChunkBytes) break;
  }
}
}  // namespace

TStringList BuildAttachmentParts(const TStringList& paths) {
  // One reservation for every entry, so that the list never moves while it grows.
  int64_t entries = 1;
  for (const std::string& path : paths) {
    const int64_t size = FileSizeHint(path);
    if (size >= 0) entries += 6 + (size + kLineBytes - 1) / static_cast<int64_t>(kLineBytes);
  }
  TStringList parts;
  parts.Reserve(static_cast<int>(std::min<int64_t>(entries, INT_MAX)));
  for (const std::string& path : paths) {
    if (FileExists(path)) AppendAttachmentPart(path, parts);
  }
  parts.Add(kBoundaryClose);
  return parts;
}
