// Case folding of the ASCII letters A-Z / a-z only. Every other byte (CP932 lead
// and trail bytes, UTF-8, control bytes) stays as it is, whatever the C locale says:
// header names, SMTP keywords, settings values and macro keywords are compared
// this way.
#pragma once

#include <string>
#include <string_view>

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string AsciiLowerCase(std::string text);
std::string AsciiUpperCase(std::string text);

// <0, 0 or >0 as a sorts before, with or after b once both are folded to lower case
// (bytes compared unsigned).
int AsciiCompareNoCase(std::string_view a, std::string_view b);
bool AsciiEqualsNoCase(std::string_view a, std::string_view b);
bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix);
