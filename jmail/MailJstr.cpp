#include "jmail/MailJstr.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "jmail/JISUtil.h"

namespace {
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

// One bit per lead/second pair: set for the pairs that are a JIS X 0208 character
// (IsJisX0208 of their code), the only pairs FitsIso2022Jp takes.
const uint64_t* PairFits() {
  static const std::unique_ptr<uint64_t[]> bits = [] {
    std::unique_ptr<uint64_t[]> b(new uint64_t[65536 / 64]());
    const uint16_t* codes = PairCodes();
    for (unsigned pair = 0; pair < 65536; ++pair)
      if (codes[pair] != 0 && IsJisX0208(codes[pair])) b[pair / 64] |= uint64_t{1} << (pair % 64);
    return b;
  }();
  return bits.get();
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
  // Lines of usual length share one buffer per thread; a longer text gets its own.
  // The result is made at its exact size: a caller may keep it, and spare room
  // would cost as much as the text.
  constexpr size_t kSharedBytes = 64 * 1024;
  thread_local std::unique_ptr<char[]> shared(new char[kSharedBytes]);
  const size_t bound = JisSizeBound(text.size());
  std::unique_ptr<char[]> own(bound > kSharedBytes ? new char[bound] : nullptr);
  char* const begin = own ? own.get() : shared.get();
  return std::string(begin, static_cast<size_t>(ConvertToJis(std::string_view(text), begin) - begin));
}

char* ConvertToJis(std::string_view text, char* out) {
  const size_t n = std::min(text.size(), text.find('\0'));
  if (n == 0) return out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  // The pair table is built on the first lead byte: an ASCII text never makes it.
  const uint16_t* codes = nullptr;

  // k input bytes give at most 3k + 6 output bytes (a pair entering JIS mode and a
  // single byte leaving it is 3 bytes in, 9 out; the first byte's escape and the
  // closing escape add 6), so the conversion runs without a check per byte.
  char* p = out;
  bool jis = false;
  for (size_t i = 0; i < n;) {
    if (kJis.leadRow[s[i]] == 0) {
      // A run of single bytes: copied after one switch to ASCII (the first byte of
      // the text gets it too).
      size_t j = i + 1;
      while (j < n && kJis.leadRow[s[j]] == 0) ++j;
      if (jis || i == 0) {
        p = Put3(p, kEscAscii);
        jis = false;
      }
      std::memcpy(p, s + i, j - i);
      p += j - i;
      i = j;
      continue;
    }
    if (i + 1 == n) break;  // a lead byte at the end is dropped
    if (!codes) codes = PairCodes();
    uint16_t code = codes[s[i] << 8 | s[i + 1]];
    if (code == 0) {
      // A lead byte before a byte that cannot follow it: both are copied.
      if (jis) {
        p = Put3(p, kEscAscii);
        jis = false;
      }
      p[0] = static_cast<char>(s[i]);
      p[1] = static_cast<char>(s[i + 1]);
      p += 2;
      i += 2;
      continue;
    }
    if (!jis) {
      p = Put3(p, kEscJis);
      jis = true;
    }
    // A run of double-byte characters.
    while (true) {
      p[0] = static_cast<char>(code >> 8);
      p[1] = static_cast<char>(code & 0xFF);
      p += 2;
      i += 2;
      if (i + 1 >= n || kJis.leadRow[s[i]] == 0) break;
      code = codes[s[i] << 8 | s[i + 1]];
      if (code == 0) break;
    }
  }
  if (jis) p = Put3(p, kEscAscii);
  return p;
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

std::string EncodeHeaderLine(const std::string& line) { return EncodeHeaderText(line, MailCharset::Iso2022JpLegacy); }

bool FitsIso2022Jp(const std::string& text) {
  // Built on the first double-byte character: an ASCII text never makes the tables.
  const uint64_t* fits = nullptr;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      if (s[i] == 0 || s[i] == 0x1B) return false;
      ++i;
      continue;
    }
    if (i + 1 == n) return false;
    const unsigned pair = s[i] << 8 | s[i + 1];
    if (!fits) fits = PairFits();
    if (!(fits[pair / 64] >> (pair % 64) & 1)) return false;
    i += 2;
  }
  return true;
}
