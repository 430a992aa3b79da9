// Fuzz target: NthField against a plain split of the text; ExtractAddress against
// the plain rule where the entry holds no quotes, comments, blanks or double-byte
// characters, and against what it may never do elsewhere; the address list split
// against the text it came from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "jmail/MailAddress.h"
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

  const std::string address = TLxSMTP::ExtractAddress(text);
  const bool plain = text.find_first_of(std::string("\"()\\ \t")) == std::string::npos && IsAsciiText(text);
  if (plain) {
    std::string expected;
    if (text.find('<') != std::string::npos)
      expected = ModelField(ModelField(text, '<', 2), '>', 1);
    else if (text.find(':') != std::string::npos)
      expected = ModelField(text, ':', 2);
    else
      expected = text;
    if (address != expected) fuzz::Fail("ExtractAddress differs from its rule");
  }
  // Whatever the entry, the address is made of its bytes in their order.
  size_t at = 0;
  for (char c : address) {
    at = text.find(c, at);
    if (at == std::string::npos) fuzz::Fail("ExtractAddress made up bytes");
    ++at;
  }
  std::string joined;
  const std::vector<std::string> entries = SplitAddressList(text);
  for (size_t i = 0; i < entries.size(); ++i) joined += (i ? "," : "") + entries[i];
  if (joined != text) fuzz::Fail("SplitAddressList lost or added bytes");
  return 0;
}
