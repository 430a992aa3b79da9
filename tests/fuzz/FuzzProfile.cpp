// Fuzz target: the profile-file reader and writer on any file contents. Reads of the
// settings the program uses must not fail; after a write of a plain value the value
// reads back, and the other sections' values the write did not touch stay.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/Profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::WriteTemp("fuzz.INI", data, size);
  static const char* const kKeys[][2] = {{"ConInf", "IPAdr"}, {"ConInf", "MailAdr"}, {"ConInf", "User"},
                                          {"SMTP", "Port"},    {"SMTP", "TimeOut"},    {"Result", "ErrMes"},
                                          {"a", "b"},          {"", ""}};
  std::string before[8];
  for (int i = 0; i < 8; ++i) {
    before[i] = GetPrivateProfileString(kKeys[i][0], kKeys[i][1], "\x01missing", path);
    if (before[i].size() > kProfileValueMax) fuzz::Fail("value longer than the read limit");
  }
  // The key a write sets is one the file most likely holds, or a new one.
  const int target = size ? data[size - 1] % 7 : 0;
  const std::string value = "v" + std::to_string(size) + "x";
  if (!WritePrivateProfileString(kKeys[target][0], kKeys[target][1], value, path)) fuzz::Fail("write refused");
  const std::string got = GetPrivateProfileString(kKeys[target][0], kKeys[target][1], "\x01missing", path);
  if (got != value) fuzz::Fail("written value reads back as \"" + got + "\"");
  for (int i = 0; i < 7; ++i) {
    if (i == target) continue;
    const std::string after = GetPrivateProfileString(kKeys[i][0], kKeys[i][1], "\x01missing", path);
    if (after != before[i]) fuzz::Fail(std::string("write of one key changed ") + kKeys[i][0] + "/" + kKeys[i][1]);
  }
  return 0;
}
