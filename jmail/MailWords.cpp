#include "jmail/MailWords.h"

#include <algorithm>
#include <string_view>

#include "jmail/JISUtil.h"
#include "jmail/MailJstr.h"
#include "platform/SysUtils.h"

namespace {
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

std::string ConvertToUtf8(const std::string& text) {
  std::string out;
  AppendUtf8(text, out);
  return out;
}

void AppendUtf8(std::string_view all, std::string& out) {
  for (size_t i = 0; i < all.size();) {
    size_t bad = 0;
    if (AppendCp932ToUtf8(all.substr(i), out, &bad)) break;
    // The stretch before the sequence that failed converts on its own.
    if (bad > 0) AppendCp932ToUtf8(all.substr(i, bad), out);
    i += bad;
    out += kReplacement;
    const auto b = static_cast<unsigned char>(all[i]);
    const bool pair = IsCp932LeadByte(b) && i + 1 < all.size() && IsSecondByte(static_cast<unsigned char>(all[i + 1])) &&
                      static_cast<unsigned char>(all[i + 1]) >= 0x80;
    i += pair ? 2 : 1;
  }
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
