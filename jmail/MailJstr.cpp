#include "jmail/MailJstr.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "jmail/JISUtil.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"
#include "platform/MediaTypes.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "jmail/LxUUE.h"

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

  // k input bytes give at most 3k + 6 output bytes (a pair entering JIS mode and a
  // single byte leaving it is 3 bytes in, 9 out; the first byte's escape and the
  // closing escape add 6), so the conversion runs into a buffer of that size without
  // a check per byte. The result is then made at its exact size: a body line is kept
  // as it is made, and spare room would cost as much as the text. Lines of usual
  // length share one buffer per thread; a longer text gets its own.
  constexpr size_t kSharedBytes = 64 * 1024;
  thread_local std::unique_ptr<char[]> shared(new char[kSharedBytes]);
  const size_t bound = 3 * n + 6;
  std::unique_ptr<char[]> own(bound > kSharedBytes ? new char[bound] : nullptr);
  char* const begin = own ? own.get() : shared.get();
  char* p = begin;
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
  return std::string(begin, static_cast<size_t>(p - begin));
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

namespace {
constexpr char kUtf8WordStart[] = "=?UTF-8?B?";
// 52 base64 characters: a word of 64 octets, within the 75 of an encoded word and
// short enough for a line of 78 after a header name.
constexpr size_t kUtf8WordBytes = 39;
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// True for a byte that may follow a lead byte in CP932.
bool IsSecondByte(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

// UTF-8 text as encoded words of at most kUtf8WordBytes bytes each, cut between
// characters only, separated by one blank.
std::string Utf8Words(const std::string& utf8) {
  if (utf8.empty()) return std::string(kUtf8WordStart) + kWordEnd;
  std::string words;
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    size_t end = std::min(n, i + kUtf8WordBytes);
    while (end < n && end > i + 1 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
    if (!words.empty()) words += ' ';
    words += kUtf8WordStart;
    words += Base64EncodeStr(utf8.substr(i, end - i));
    words += kWordEnd;
    i = end;
  }
  return words;
}

// The ISO-2022-JP encoded word of line[begin, end): double-byte characters (each a
// lead byte and the byte after it, converted one by one) in JIS mode, blanks
// between them in ASCII mode, ending in ASCII mode. A lead byte that is the last
// byte of the line pairs with a zero byte.
std::string JisWord(const std::string& line, size_t begin, size_t end) {
  std::string run;
  bool jis = false;
  for (size_t k = begin; k < end;) {
    const auto b = static_cast<unsigned char>(line[k]);
    if (IsCp932LeadByte(b)) {
      if (!jis) run += kEscJis;
      jis = true;
      const auto second = k + 1 < line.size() ? static_cast<unsigned char>(line[k + 1]) : 0;
      run += CodeToStr(SjisToJis(PairToCode(b, second)));
      k += 2;
    } else {
      if (jis) run += kEscAscii;
      jis = false;
      run += static_cast<char>(b);
      ++k;
    }
  }
  if (jis) run += kEscAscii;
  return kWordStart + ProcessorBase64(run) + kWordEnd;
}
}  // namespace

bool FitsIso2022Jp(const std::string& text) {
  const uint16_t* codes = PairCodes();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      if (s[i] == 0 || s[i] == 0x1B) return false;
      ++i;
      continue;
    }
    if (i + 1 == n) return false;
    const uint16_t code = codes[s[i] << 8 | s[i + 1]];
    if (code == 0 || !IsJisX0208(code)) return false;
    i += 2;
  }
  return true;
}

std::string ConvertToUtf8(const std::string& text) {
  std::string out, piece;
  const std::string_view all(text);
  for (size_t i = 0; i < all.size();) {
    size_t bad = 0;
    if (TryCp932ToUtf8(all.substr(i), piece, &bad)) {
      out += piece;
      break;
    }
    // The stretch before the sequence that failed converts on its own.
    if (bad > 0 && TryCp932ToUtf8(all.substr(i, bad), piece)) out += piece;
    i += bad;
    out += kReplacement;
    const auto b = static_cast<unsigned char>(all[i]);
    const bool pair = IsCp932LeadByte(b) && i + 1 < all.size() && IsSecondByte(static_cast<unsigned char>(all[i + 1])) &&
                      static_cast<unsigned char>(all[i + 1]) >= 0x80;
    i += pair ? 2 : 1;
  }
  return out;
}

std::string EncodeSubjectUtf8(const std::string& text) { return Utf8Words(ConvertToUtf8(text)); }

std::string EncodeHeaderText(const std::string& line, MailCharset charset) {
  const bool utf8 = charset == MailCharset::Utf8;
  const bool merge = charset != MailCharset::Iso2022JpLegacy;
  const size_t n = line.size();
  // Where a run starts, and how many bytes its character at i takes. In ISO-2022-JP
  // a lead byte always takes the next byte (or the terminator) with it.
  auto starts = [&](size_t i) {
    const auto b = static_cast<unsigned char>(line[i]);
    return utf8 ? b >= 0x80 : IsCp932LeadByte(b);
  };
  auto length = [&](size_t i) -> size_t {
    if (!IsCp932LeadByte(static_cast<unsigned char>(line[i]))) return 1;
    return !utf8 || (i + 1 < n && IsSecondByte(static_cast<unsigned char>(line[i + 1]))) ? 2 : 1;
  };
  std::string result;
  result.reserve(n);
  for (size_t i = 0; i < n;) {
    if (!starts(i)) {
      result += line[i++];
      continue;
    }
    size_t end = i;
    while (true) {
      while (end < n && starts(end)) end += length(end);
      size_t next = end;
      while (merge && next < n && IsBlank(line[next])) ++next;
      if (next == end || next >= n || !starts(next)) break;
      end = next;  // blanks between two runs go inside the word
    }
    end = std::min(end, n);
    result += utf8 ? Utf8Words(ConvertToUtf8(line.substr(i, end - i))) : JisWord(line, i, end);
    i = end;
  }
  return result;
}

std::vector<std::string> Base64Lines(const std::string& bytes, size_t width) {
  const size_t chars = std::max<size_t>(4, width / 4 * 4);
  const size_t take = chars / 4 * 3;
  const TSixBitCoder& coder = TSixBitCoder::Mime();
  const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  std::vector<std::string> lines;
  lines.reserve((bytes.size() + take - 1) / take);
  for (size_t i = 0; i < bytes.size(); i += take) {
    const size_t count = std::min(take, bytes.size() - i);
    std::string line((count + 2) / 3 * 4, '\0');
    char* p = coder.EncodeGroups(src + i, count / 3, line.data());
    coder.EncodeTail(src + i + count / 3 * 3, count % 3, true, p);
    lines.push_back(std::move(line));
  }
  return lines;
}

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

std::string ExtendedFileNameParameter(const std::string& name, MailCharset charset) {
  if (charset == MailCharset::Iso2022JpLegacy || IsAscii(name)) return {};
  const bool utf8 = charset == MailCharset::Utf8;
  const std::string bytes = utf8 ? ConvertToUtf8(name) : ConvertToJis(name);
  std::string param = utf8 ? "filename*=UTF-8''" : "filename*=ISO-2022-JP''";
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    // The characters a parameter value may hold as they are; all others as %XX.
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       (c != 0 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
    if (plain) {
      param += ch;
    } else {
      param += '%';
      param += kHex[c >> 4];
      param += kHex[c & 15];
    }
  }
  return param;
}

namespace {
// True for the escape of a double-byte mode (ESC $ ...).
bool IsDoubleByteMode(const std::string& escape) { return escape.size() == 3 && escape[1] == '$'; }
}  // namespace

std::vector<std::string> SplitJisLine(const std::string& jis, size_t limit) {
  if (jis.size() <= limit) return {jis};
  limit = std::max<size_t>(limit, 8);
  std::vector<std::string> pieces;
  std::string piece;
  std::string inMode = kEscAscii;   // mode of the input at this point
  std::string outMode = kEscAscii;  // mode at the end of piece
  bool empty = true;                // piece holds no character yet
  auto flush = [&] {
    if (outMode != kEscAscii) piece += kEscAscii;
    pieces.push_back(std::move(piece));
    piece.clear();
    outMode = kEscAscii;
    empty = true;
  };
  const size_t n = jis.size();
  for (size_t i = 0; i < n;) {
    if (jis[i] == '\x1B' && i + 2 < n) {
      // An escape only changes the mode; it is written before the next character,
      // so that no piece ends in a mode switch it never uses.
      inMode = jis.substr(i, 3);
      i += 3;
      continue;
    }
    size_t size = 1;
    if (IsDoubleByteMode(inMode) && i + 1 < n && jis[i + 1] != '\x1B') size = 2;
    bool needEscape = empty || outMode != inMode;
    const size_t closing = IsDoubleByteMode(inMode) ? 3 : 0;
    if (!empty && piece.size() + (needEscape ? 3 : 0) + size + closing > limit) {
      flush();
      needEscape = true;
    }
    if (needEscape) {
      piece += inMode;
      outMode = inMode;
    }
    piece.append(jis, i, size);
    empty = false;
    i += size;
  }
  if (!empty) flush();
  return pieces;
}

namespace {
constexpr size_t kFoldWidth = kFoldLineOctets;
constexpr size_t kMaxWordOctets = 75;  // the longest encoded word
// 48 base64 characters: a word of 66 octets, which fits a line of 78 after a
// header name of up to ten characters and its blank.
constexpr size_t kWordJisBytes = 36;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The bytes of base64 text; false when it holds anything but base64 characters
// and trailing "=".
bool Base64Decode(const std::string& text, std::string& out) {
  out.clear();
  uint32_t bits = 0;
  int count = 0;
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '=') --end;
  for (size_t i = 0; i < end; ++i) {
    const int v = Base64Value(text[i]);
    if (v < 0) return false;
    bits = bits << 6 | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return true;
}

// The length of the encoded word "=?charset?X?text?=" at pos, 0 when there is none.
size_t EncodedWordLength(const std::string& s, size_t pos) {
  if (s.compare(pos, 2, "=?") != 0) return 0;
  const size_t q1 = s.find('?', pos + 2);
  if (q1 == std::string::npos || q1 + 2 >= s.size() || s[q1 + 2] != '?') return 0;
  const size_t end = s.find("?=", q1 + 3);
  if (end == std::string::npos) return 0;
  for (size_t i = pos; i < end; ++i)
    if (s[i] == ' ' || s[i] == '\t') return 0;
  return end + 2 - pos;
}

// How a unit of a header line joins the unit before it.
enum class Join {
  Glued,      // no fold here
  AtBlank,    // the unit starts with its own blank: a fold goes before it
  Separated,  // a blank between the two: " " on one line, CR LF blank folded
  Breakable,  // nothing between on one line, CR LF blank folded
};

struct Unit {
  std::string text;
  Join join;
  bool word;  // an encoded word
};

// The encoded words an ISO-2022-JP "B" word longer than kMaxWordOctets becomes;
// the word alone when it is short enough or not of that kind.
std::vector<std::string> SplitEncodedWord(const std::string& word) {
  const size_t q1 = word.find('?', 2);
  const std::string charset = word.substr(2, q1 - 2);
  const char encoding = word[q1 + 1];
  std::string jis;
  if (word.size() <= kMaxWordOctets || !AsciiEqualsNoCase(charset, "iso-2022-jp") || (encoding != 'B' && encoding != 'b') ||
      !Base64Decode(word.substr(q1 + 3, word.size() - q1 - 5), jis))
    return {word};
  std::vector<std::string> words;
  for (const std::string& piece : SplitJisLine(jis, kWordJisBytes))
    words.push_back(std::string(kWordStart) + Base64EncodeStr(piece) + kWordEnd);
  return words;
}
}  // namespace

std::string FoldHeaderLine(const std::string& line, size_t limit) {
  if (line.size() <= limit) return line;
  const size_t colon = line.find(':');
  const std::string name = colon == std::string::npos ? std::string() : line.substr(0, colon);
  const bool addresses = AsciiEqualsNoCase(name, "from") || AsciiEqualsNoCase(name, "to") || AsciiEqualsNoCase(name, "cc") ||
                         AsciiEqualsNoCase(name, "bcc") || AsciiEqualsNoCase(name, "reply-to") || AsciiEqualsNoCase(name, "sender");

  // The line as units between the places where it may be folded.
  std::vector<Unit> units;
  auto glue = [&](char c) {
    if (units.back().word)
      units.push_back({std::string(1, c), Join::Glued, false});
    else
      units.back().text += c;
  };
  const size_t start = colon == std::string::npos ? 0 : colon + 1;
  units.push_back({line.substr(0, start), Join::Glued, false});
  bool quoted = false;
  bool afterComma = false;
  for (size_t i = start; i < line.size();) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      size_t j = i;
      while (j < line.size() && (line[j] == ' ' || line[j] == '\t')) ++j;
      units.push_back({line.substr(i, j - i), Join::AtBlank, false});
      i = j;
      afterComma = false;
      continue;
    }
    if (const size_t len = EncodedWordLength(line, i); len > 0) {
      const bool follows = units.back().word;  // two words with nothing between
      const std::vector<std::string> words = SplitEncodedWord(line.substr(i, len));
      for (size_t k = 0; k < words.size(); ++k) {
        Join join = k > 0 ? Join::Separated : follows || afterComma ? Join::Breakable : Join::Glued;
        if (join == Join::Glued && units.back().join == Join::AtBlank &&
            units.back().text.find_first_not_of(" \t") == std::string::npos) {
          // A blank unit of its own takes the word: the fold stays before the blank.
          units.back().text += words[k];
          units.back().word = true;
          continue;
        }
        units.push_back({words[k], join, true});
      }
      i += len;
      afterComma = false;
      continue;
    }
    if (afterComma) {
      units.push_back({std::string(1, c), Join::Breakable, false});
      afterComma = false;
    } else {
      glue(c);
    }
    if (c == '"') quoted = !quoted;
    afterComma = addresses && !quoted && c == ',';
    ++i;
  }

  // Greedy filling: a unit goes on the current line unless that makes it longer
  // than kFoldWidth and a fold is allowed before it. The header name never stands
  // alone on a line.
  std::string out = units[0].text;
  size_t column = out.size();
  bool content = false;  // the current line holds more than the name or a fold's blank
  for (size_t k = 1; k < units.size(); ++k) {
    const Unit& u = units[k];
    const size_t together = u.join == Join::Separated ? 1 + u.text.size() : u.text.size();
    // A line of blanks only would read as the header's end to some receivers.
    const bool blankOnly = u.text.find_first_not_of(" \t") == std::string::npos;
    if (u.join != Join::Glued && content && !blankOnly && column + together > kFoldWidth) {
      out += "\r\n";
      column = 0;
      if (u.join != Join::AtBlank) {
        out += ' ';
        column = 1;
      }
    } else if (u.join == Join::Separated) {
      out += ' ';
      ++column;
    }
    out += u.text;
    column += u.text.size();
    content = true;
  }
  return out;
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

// A mail header line may hold at most 998 octets.
constexpr size_t kHeaderLineMax = 998;
// The longest fixed text around the name in a part header line.
// (the media type's own length comes on top of it).
constexpr size_t kNameLineOverhead = sizeof "Content-Type: ;name=\"\"" - 1;

// The longest fixed text around the name and its RFC 2231 form in the disposition line.
constexpr size_t kDispositionOverhead = sizeof "Content-Disposition: attachment; filename=\"\"; " - 1;

// The attachment's name as its part header shows it: the encoded name and its
// RFC 2231 parameter (empty for an ASCII name). Control characters are dropped (a
// line break would end the header early and put the rest of the name into the
// part's body), and the name is cut by whole characters until every header line
// that carries it fits the line limit.
struct TPartHeaderName {
  std::string Encoded;
  std::string Extended;
};
TPartHeaderName PartHeaderName(const std::string& fileName, MailCharset charset, size_t mediaTypeSize) {
  std::string name = WithoutControlCharacters(fileName);
  for (;;) {
    TPartHeaderName result{EncodeAttachmentName(name, charset), ExtendedFileNameParameter(name, charset)};
    const size_t quoted = QuotedParameterText(result.Encoded).size();
    if (name.empty() || (quoted + kNameLineOverhead + mediaTypeSize <= kHeaderLineMax &&
                         quoted + result.Extended.size() + kDispositionOverhead <= kHeaderLineMax))
      return result;
    size_t last = 0;
    for (size_t i = 0; i < name.size(); i += IsCp932LeadByte(static_cast<unsigned char>(name[i])) ? 2 : 1) last = i;
    name.erase(last);
  }
}

// Appends the part of one existing file: entries 5a-5g, the lines of 5g one per
// entry or joined by CR LF a chunk at a time.
void AppendAttachmentPart(const std::string& path, MailCharset charset, TStringList& parts, bool joinLines) {
  const std::string name = ExtractFileName(path);
  const std::string mediaType = MediaTypeOf(name);
  const TPartHeaderName header = PartHeaderName(name, charset, mediaType.size());
  const std::string& encodedName = header.Encoded;
  const std::string& extended = header.Extended;
  const std::string quotedName = QuotedParameterText(encodedName);
  TFileStream input(path, fmOpenRead);

  // The encoded text, broken into CR LF lines, goes to the temporary file while the
  // same lines go into the list: the file holds exactly what the list is read from.
  const std::string tempPath = PrivateTempDir() + "temp09" + name;
  TempFileRemover remover{tempPath};
  TFileStream temp(tempPath, fmCreatePrivate);

  parts.Add(kBoundaryDelimiter);
  parts.Add("Content-Transfer-Encoding: base64");
  parts.Add("Content-Type: " + mediaType + ";name=\"" + quotedName + "\"");
  parts.Add("Content-Disposition: attachment; filename=\"" + quotedName + "\"" +
            (extended.empty() ? "" : "; " + extended));
  parts.Add("Content-Description: " + encodedName);
  parts.Add("\r\n");

  const TSixBitCoder& coder = TSixBitCoder::Mime();
  constexpr size_t kChunkBytes = kLinesPerChunk * kLineBytes;
  std::unique_ptr<unsigned char[]> in(new unsigned char[kChunkBytes]);
  std::unique_ptr<char[]> out(joinLines ? nullptr : new char[kLinesPerChunk * 62]);
  while (true) {
    const size_t n = ReadChunk(input, in.get(), kChunkBytes);
    if (n == 0) break;
    // Joined lines are encoded straight into the entry they end up in.
    std::string block(joinLines ? (n + kLineBytes - 1) / kLineBytes * 62 : 0, '\0');
    char* const begin = joinLines ? block.data() : out.get();
    const unsigned char* src = in.get();
    char* p = begin;
    for (size_t left = n; left > 0;) {
      const size_t take = std::min(left, kLineBytes);
      char* line = p;
      p = coder.EncodeGroups(src, take / 3, p);
      p = coder.EncodeTail(src + take / 3 * 3, take % 3, true, p);
      if (!joinLines) parts.Add(std::string(line, static_cast<size_t>(p - line)));
      *p++ = '\r';
      *p++ = '\n';
      src += take;
      left -= take;
    }
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
