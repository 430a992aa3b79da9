#include "platform/AsciiCase.h"

#include <algorithm>

std::string AsciiLowerCase(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

std::string AsciiUpperCase(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

int AsciiCompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool AsciiEqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiCompareNoCase(a, b) == 0;
}

bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}
