#include "jmail/MailBase64.h"

#include <algorithm>
#include <cstring>

#include "jmail/LxUUE.h"
#include "platform/Streams.h"

std::vector<std::string> Base64Lines(const std::string& bytes, size_t width) {
  const size_t chars = std::max<size_t>(4, width / 4 * 4);
  const size_t take = chars / 4 * 3;
  std::vector<std::string> lines;
  lines.reserve((bytes.size() + take - 1) / take);
  for (size_t i = 0; i < bytes.size(); i += take) {
    const size_t count = std::min(take, bytes.size() - i);
    std::string line((count + 2) / 3 * 4, '\0');
    size_t written = 0;
    Base64EncodeBuf(bytes.data() + i, count, line.data(), true, written);
    lines.push_back(std::move(line));
  }
  return lines;
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
