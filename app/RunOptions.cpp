#include "app/RunOptions.h"

#include <climits>

#include "platform/AsciiCase.h"

bool ParseCharsetName(const std::string& name, bool& ok) {
  const std::string n = AsciiLowerCase(name);
  ok = true;
  if (n == "utf-8" || n == "utf8") return true;
  if (n == "cp932" || n == "shift_jis" || n == "shift-jis" || n == "sjis" || n == "windows-31j") return false;
  ok = false;
  return false;
}

int32_t ParseSeconds(const std::string& text) {
  int64_t ms = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    ms = ms * 10 + (text[i] - '0');
    if (ms > INT32_MAX / 1000) return -1;
  }
  if (i == 0) return -1;
  ms *= 1000;
  if (i < text.size() && text[i] == '.') {
    int64_t scale = 100;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) ms += (text[i] - '0') * scale;
  }
  if (i != text.size() || ms > INT32_MAX) return -1;
  return static_cast<int32_t>(ms);
}
