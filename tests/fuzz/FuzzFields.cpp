// Fuzz target: NthField against a plain split of the text, and ExtractAddress
// (which is built on it) against the rule it documents.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "smtp/Lxsmtp.h"
#include "sock/LxExtstr.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == separator)
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

std::string ModelField(const std::string& text, char separator, int n) {
  std::vector<std::string> fields = Split(text, separator);
  return n >= 1 && static_cast<size_t>(n) <= fields.size() ? fields[static_cast<size_t>(n) - 1] : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char separator = static_cast<char>(data[0]);
  const int n = static_cast<int8_t>(data[1]);
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (NthField(text, separator, n) != ModelField(text, separator, n)) fuzz::Fail("NthField differs from the split");

  std::string expected;
  if (text.find('<') != std::string::npos)
    expected = ModelField(ModelField(text, '<', 2), '>', 1);
  else if (text.find(':') != std::string::npos)
    expected = ModelField(text, ':', 2);
  else
    expected = text;
  const std::string address = TLxSMTP::ExtractAddress(text);
  if (address != expected) fuzz::Fail("ExtractAddress differs from its rule");
  if (text.find(address) == std::string::npos) fuzz::Fail("ExtractAddress made up bytes");
  return 0;
}
