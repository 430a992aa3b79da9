#include "platform/SysUtils.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>

std::string SystemReason(int error) {
  if (error == 0) return {};
  char buffer[256];
  // The text is in the locale's character set; under a UTF-8 locale it may be
  // translated, so it is converted like any other UTF-8 text.
  return ": " + Utf8ToCp932(strerror_r(error, buffer, sizeof buffer));
}

EFOpenError FileOpenError(const std::string& path, int error) {
  static const std::string head = Utf8ToCp932("ファイル "), tail = Utf8ToCp932(" は開けません");
  return EFOpenError(head + path + tail + SystemReason(error));
}

EFCreateError FileCreateError(const std::string& path, int error) {
  static const std::string head = Utf8ToCp932("ファイル "), tail = Utf8ToCp932(" を作成できません");
  return EFCreateError(head + path + tail + SystemReason(error));
}

int32_t StrToInt(std::string_view text) {
  int32_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-' && first[1] != '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, value, 10);
  if (text.empty() || ec != std::errc() || ptr != last)
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

int32_t StrToIntDef(std::string_view text, int32_t def) {
  try {
    return StrToInt(text);
  } catch (const EConvertError&) {
    return def;
  }
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

bool IsCp932LeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

namespace {

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Converts between CP932 and UTF-8 with one iconv descriptor per direction, opened
// on the first text that is not pure ASCII. Both encodings write the 128 ASCII
// codes as the same single bytes, so a pure ASCII text is copied as it is: a run
// whose texts are all ASCII never loads the converter's module. Returns false on
// the first byte sequence that does not convert, with its input offset.
class Converter {
 public:
  Converter(const char* to, const char* from) : to_(to), from_(from) {}
  // Appends the conversion of in to out; on failure out is as it was.
  bool Append(std::string_view in, std::string& out, size_t* badOffset) {
    if (IsAscii(in)) {
      out.append(in);
      return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!opened_) {
      cd_ = iconv_open(to_, from_);
      opened_ = true;
    }
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    // The room grows with what was converted, not with what is left: a caller that
    // converts the rest of a text again after each bad byte does work in proportion to
    // the text, not to its square. Room out already has is used first.
    constexpr size_t kFirstBuffer = 1024;
    const size_t start = out.size();
    out.resize(start + std::min(in.size() * 3 / 2 + 16, kFirstBuffer));
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;  // bytes converted after start
    while (true) {
      char* dst = out.data() + start + used;
      size_t dstLeft = out.size() - start - used;
      size_t rc = iconv(cd_, srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
      used = out.size() - start - dstLeft;
      if (rc != static_cast<size_t>(-1)) {
        if (srcLeft == 0) break;
        continue;
      }
      if (errno == E2BIG) {
        out.resize(out.size() + (out.size() - start) + 16);
        continue;
      }
      if (badOffset) *badOffset = static_cast<size_t>(src - in.data());
      out.resize(start);
      return false;
    }
    out.resize(start + used);
    return true;
  }
  bool Run(std::string_view in, std::string& out, size_t* badOffset) {
    std::string result;
    if (!Append(in, result, badOffset)) return false;
    out = std::move(result);
    return true;
  }

 private:
  const char* to_;
  const char* from_;
  bool opened_ = false;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
  std::mutex mutex_;
};

Converter& ToUtf8() {
  static Converter c("UTF-8", "CP932");
  return c;
}
Converter& FromUtf8() {
  static Converter c("CP932", "UTF-8");
  return c;
}

}  // namespace

bool TryCp932ToUtf8(std::string_view cp932, std::string& out, size_t* badOffset) {
  return ToUtf8().Run(cp932, out, badOffset);
}

bool AppendCp932ToUtf8(std::string_view cp932, std::string& out, size_t* badOffset) {
  return ToUtf8().Append(cp932, out, badOffset);
}

bool TryUtf8ToCp932(std::string_view utf8, std::string& out, size_t* badOffset) {
  return FromUtf8().Run(utf8, out, badOffset);
}

std::string Cp932ToUtf8(std::string_view cp932) {
  std::string out, piece;
  size_t i = 0;
  while (i < cp932.size()) {
    // Convert one character at a time only after a failure; the fast path is whole.
    if (i == 0 && TryCp932ToUtf8(cp932, out)) return out;
    size_t len = IsCp932LeadByte(static_cast<unsigned char>(cp932[i])) && i + 1 < cp932.size() ? 2 : 1;
    if (TryCp932ToUtf8(cp932.substr(i, len), piece)) {
      out += piece;
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += len;
  }
  return out;
}

std::string Utf8ToCp932(std::string_view utf8) {
  std::string out;
  size_t bad = 0;
  while (!TryUtf8ToCp932(utf8, out, &bad)) {
    std::string head;
    TryUtf8ToCp932(utf8.substr(0, bad), head);
    size_t skip = 1;
    while (bad + skip < utf8.size() && (static_cast<unsigned char>(utf8[bad + skip]) & 0xC0) == 0x80) ++skip;
    std::string rest = Utf8ToCp932(utf8.substr(bad + skip));
    return head + "?" + rest;
  }
  return out;
}
