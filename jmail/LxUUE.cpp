#include "jmail/LxUUE.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/SysUtils.h"

namespace {
constexpr size_t kLineBytes = 45;     // input bytes of a full line
constexpr size_t kLinesPerChunk = 4096;  // lines per read and write: few system calls

const char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string UUAlphabet() {
  std::string a(64, '`');
  for (int v = 1; v < 64; ++v) a[v] = static_cast<char>(0x20 + v);
  return a;
}

// Reads until count bytes arrived or the stream has no more; returns the bytes read.
size_t ReadFull(TStream& stream, unsigned char* buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    int64_t n = stream.Read(buffer + total, static_cast<int64_t>(count - total));
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  return total;
}
}  // namespace

TSixBitCoder::TSixBitCoder(const char* alphabet) {
  std::memcpy(alphabet_, alphabet, 64);
  for (unsigned v = 0; v < 4096; ++v) {
    pairs_[v][0] = alphabet_[v >> 6];
    pairs_[v][1] = alphabet_[v & 63];
  }
}

char* TSixBitCoder::EncodeGroups(const unsigned char* src, size_t groups, char* dst) const {
  // Two groups per 8-byte load (the load reaches two bytes past them, so it is used
  // only while a third group follows); each 12 bits give two characters.
  for (; groups >= 3; groups -= 2, src += 6, dst += 8) {
    uint64_t v;
    std::memcpy(&v, src, 8);
    v = __builtin_bswap64(v);
    std::memcpy(dst, pairs_[(v >> 52) & 0xFFF], 2);
    std::memcpy(dst + 2, pairs_[(v >> 40) & 0xFFF], 2);
    std::memcpy(dst + 4, pairs_[(v >> 28) & 0xFFF], 2);
    std::memcpy(dst + 6, pairs_[(v >> 16) & 0xFFF], 2);
  }
  for (; groups > 0; --groups, src += 3, dst += 4) {
    uint32_t v = uint32_t{src[0]} << 16 | uint32_t{src[1]} << 8 | src[2];
    std::memcpy(dst, pairs_[v >> 12], 2);
    std::memcpy(dst + 2, pairs_[v & 0xFFF], 2);
  }
  return dst;
}

char* TSixBitCoder::EncodeTail(const unsigned char* src, size_t count, bool pad, char* dst) const {
  if (count == 1) {
    *dst++ = alphabet_[src[0] >> 2];
    *dst++ = alphabet_[(src[0] << 4) & 48];
    if (pad) {
      *dst++ = '=';
      *dst++ = '=';
    }
  } else if (count == 2) {
    *dst++ = alphabet_[src[0] >> 2];
    *dst++ = alphabet_[((src[0] << 4) & 48) | (src[1] >> 4)];
    *dst++ = alphabet_[(src[1] << 2) & 60];
    if (pad) *dst++ = '=';
  }
  return dst;
}

const TSixBitCoder& TSixBitCoder::Mime() {
  static const TSixBitCoder coder(kMimeAlphabet);
  return coder;
}

const TSixBitCoder& TSixBitCoder::UU() {
  static const std::string alphabet = UUAlphabet();
  static const TSixBitCoder coder(alphabet.data());
  return coder;
}

TLxUUProcessor::TLxUUProcessor(TComponent* owner) : TComponent(owner) {}

void TLxUUProcessor::Encode() {
  if (!InputStream || !OutputStream) throw Exception("Stream not assigned");
  try {
    InputStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(this);
    const TSixBitCoder& coder = Method == uuCode ? TSixBitCoder::UU() : TSixBitCoder::Mime();
    Alphabet.assign(coder.Alphabet(), 64);
    EncodeLines(coder);
  } catch (...) {
    OutputStream->SetPosition(0);
    if (OnEndEncode) OnEndEncode(this);
    throw;
  }
  OutputStream->SetPosition(0);
  if (OnEndEncode) OnEndEncode(this);
}

void TLxUUProcessor::EncodeLines(const TSixBitCoder& coder) {
  const bool uu = Method == uuCode;
  // Whole lines are read and encoded many at a time; only the last line of the
  // input can be short, so the lines are those of a 45-byte read loop.
  const int64_t size = InputStream->Size();
  const size_t lines = static_cast<size_t>(
      std::clamp<int64_t>((size + kLineBytes - 1) / kLineBytes, 1, kLinesPerChunk));
  const size_t chunkBytes = lines * kLineBytes;
  const size_t lineChars = 1 + kLineBytes / 3 * 4 + 2;  // length character, text, CR LF
  // The buffers are kept per thread between calls: header runs call this many
  // times with a few bytes, and fresh memory for each call costs more than the
  // encoding. A nested call (from a stream's own Read or Write) gets its own.
  thread_local std::vector<char> kept;
  thread_local bool keptInUse = false;
  std::vector<char> own;
  const bool useKept = !keptInUse;
  std::vector<char>& scratch = useKept ? kept : own;
  if (scratch.size() < chunkBytes + lines * lineChars) scratch.resize(chunkBytes + lines * lineChars);
  struct Release {
    bool active;
    ~Release() {
      if (active) keptInUse = false;
    }
  } release{useKept};
  keptInUse = keptInUse || useKept;
  auto* const inBuf = reinterpret_cast<unsigned char*>(scratch.data());
  char* const outBuf = scratch.data() + chunkBytes;

  while (true) {
    const size_t n = ReadFull(*InputStream, inBuf, chunkBytes);
    if (n == 0) break;
    const unsigned char* src = inBuf;
    char* p = outBuf;
    for (size_t left = n; left > 0;) {
      const size_t take = std::min(left, kLineBytes);
      if (uu) *p++ = coder.Char(static_cast<unsigned>(take));
      p = coder.EncodeGroups(src, take / 3, p);
      p = coder.EncodeTail(src + take / 3 * 3, take % 3, !uu, p);
      *p++ = '\r';
      *p++ = '\n';
      src += take;
      left -= take;
    }
    OutputStream->WriteBuffer(outBuf, p - outBuf);
    if (n < chunkBytes) break;  // the stream has no more
  }
  if (uu) {
    const char closing[3] = {coder.Char(0), '\r', '\n'};
    OutputStream->WriteBuffer(closing, 3);
  }
}
