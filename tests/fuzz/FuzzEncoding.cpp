// Fuzz target: the mail text encoders on the same bytes. The three base64 producers
// must give the same text as a plain reference encoder; ConvertToJis, SplitJisLine,
// EncodeHeaderLine and FoldHeaderLine must keep their documented shapes, and so must
// the UTF-8 path (ConvertToUtf8, EncodeHeaderText, Base64Lines, FitsIso2022Jp).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "jmail/MailJstr.h"

namespace {

std::string ReferenceBase64(const std::string& in) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16 | static_cast<uint8_t>(in[i + 1]) << 8 | static_cast<uint8_t>(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (size_t rest = in.size() - i) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16 | (rest > 1 ? static_cast<uint8_t>(in[i + 1]) << 8 : 0);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool IsLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

void CheckBase64(const std::string& bytes) {
  const std::string expected = ReferenceBase64(bytes);
  if (Base64EncodeStr(bytes) != expected) fuzz::Fail("Base64EncodeStr differs from the reference");
  if (ProcessorBase64(bytes) != expected) fuzz::Fail("ProcessorBase64 differs from the reference");
  std::string buf(expected.size() + 4, '#');
  size_t written = 12345;
  if (!Base64EncodeBuf(bytes.data(), bytes.size(), buf.data(), true, written)) fuzz::Fail("Base64EncodeBuf refused");
  if (written != expected.size() || buf.compare(0, written, expected) != 0 || buf.substr(written) != "####")
    fuzz::Fail("Base64EncodeBuf differs from the reference or wrote past its text");
  std::string unpadded(expected.size() + 4, '#');
  written = 12345;
  bool ok = Base64EncodeBuf(bytes.data(), bytes.size(), unpadded.data(), false, written);
  if (ok != (bytes.size() % 3 == 0)) fuzz::Fail("Base64EncodeBuf without padding: wrong answer");
  if (!ok && (written != 12345 || unpadded != std::string(expected.size() + 4, '#')))
    fuzz::Fail("Base64EncodeBuf without padding wrote something");
}

void CheckJis(const std::string& bytes, size_t limit) {
  const std::string jis = ConvertToJis(bytes);
  // Bytes after a zero byte are not converted; the result never holds a lead byte
  // that was paired, and ends in ASCII mode when it ever left it.
  const std::string head = bytes.substr(0, bytes.find('\0'));
  if (jis.find('\0') != std::string::npos) fuzz::Fail("ConvertToJis kept a zero byte");
  if (head.find('\x1B') == std::string::npos) {
    // Escapes in the input are copied as they are; without them the result must
    // end in ASCII mode.
    size_t lastIn = jis.rfind("\x1B$B");
    if (lastIn != std::string::npos && jis.find("\x1B(B", lastIn) == std::string::npos)
      fuzz::Fail("ConvertToJis does not end in ASCII mode");
    // Without escapes in the input, the text outside escapes is the input's
    // single-byte text; every JIS pair has both bytes in 0x21-0x7E.
    bool inJis = false;
    for (size_t i = 0; i < jis.size();) {
      if (jis.compare(i, 3, "\x1B$B") == 0) { inJis = true; i += 3; continue; }
      if (jis.compare(i, 3, "\x1B(B") == 0) { inJis = false; i += 3; continue; }
      if (inJis) {
        if (i + 1 >= jis.size()) fuzz::Fail("ConvertToJis left half a pair");
        i += 2;
      } else {
        ++i;
      }
    }
  }
  const std::vector<std::string> pieces = SplitJisLine(jis, limit);
  const size_t effective = limit < 8 ? 8 : limit;
  if (jis.size() <= effective) {
    if (pieces.size() != 1 || pieces[0] != jis) fuzz::Fail("SplitJisLine changed a line that fits");
  } else if (head.find('\x1B') == std::string::npos) {
    for (const std::string& p : pieces)
      if (p.size() > effective) fuzz::Fail("SplitJisLine piece longer than the limit");
  }
}

void CheckHeader(const std::string& bytes, size_t limit) {
  const std::string encoded = EncodeHeaderLine(bytes);
  for (unsigned char c : encoded)
    if (IsLead(c)) fuzz::Fail("EncodeHeaderLine left a lead byte");
  const std::string folded = FoldHeaderLine(encoded, limit);
  if (encoded.size() <= limit && folded != encoded) fuzz::Fail("FoldHeaderLine changed a line that fits");
  if (encoded.find_first_of("\r\n") == std::string::npos) {
    // Every fold is CR LF followed by a blank.
    for (size_t at = folded.find("\r\n"); at != std::string::npos; at = folded.find("\r\n", at + 2))
      if (at + 2 >= folded.size() || (folded[at + 2] != ' ' && folded[at + 2] != '\t'))
        fuzz::Fail("FoldHeaderLine fold without a blank after it");
  }
  (void)EncodeSubject(bytes);
}

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = cp << 6 | (t & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

void CheckCharset(const std::string& bytes) {
  const std::string utf8 = ConvertToUtf8(bytes);
  if (!IsUtf8(utf8)) fuzz::Fail("ConvertToUtf8 gave text that is no UTF-8");
  const bool fits = FitsIso2022Jp(bytes);
  if (fits && utf8.find("\xEF\xBF\xBD") != std::string::npos) fuzz::Fail("text that fits holds no CP932 character");
  for (MailCharset charset : {MailCharset::Iso2022Jp, MailCharset::Utf8}) {
    if (charset == MailCharset::Iso2022Jp && !fits) continue;
    const std::string line = EncodeHeaderText(bytes, charset);
    for (unsigned char c : line)
      if (c >= 0x80) fuzz::Fail("EncodeHeaderText left an 8-bit byte");
  }
  const std::string words = EncodeSubjectUtf8(bytes);
  for (size_t at = 0; at < words.size();) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    if (end - at > 75) fuzz::Fail("EncodeSubjectUtf8 word longer than 75 octets");
    at = end + 1;
  }
  std::string joined;
  for (const std::string& l : Base64Lines(bytes)) {
    if (l.size() > 76) fuzz::Fail("Base64Lines line longer than 76");
    joined += l;
  }
  if (joined != ReferenceBase64(bytes)) fuzz::Fail("Base64Lines differs from the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t limit = size ? 4 + data[0] * 4 : 998;
  CheckBase64(bytes);
  CheckJis(bytes, limit);
  CheckHeader(bytes, limit);
  CheckCharset(bytes);
  return 0;
}
