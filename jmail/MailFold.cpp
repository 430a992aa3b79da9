#include "jmail/MailFold.h"

#include <algorithm>
#include <cstdint>

#include "jmail/MailJstr.h"
#include "platform/AsciiCase.h"

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
