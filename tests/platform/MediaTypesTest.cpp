// The media type table: extensions as the table lists them (first line wins, ASCII
// case ignored, comments skipped), names without a usable extension and a missing
// table give application/octet-stream.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/MediaTypes.h"

namespace {

TEST(MediaTypes, LookupInATableFile) {
  char dir[] = "/tmp/mediatypes.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string table = std::string(dir) + "/mime.types";
  std::ofstream(table) << "# comment line image/x-wrong png\n"
                          "image/png\t\tpng\n"
                          "image/x-other png apng   # a later line for png\n"
                          "text/plain txt text\n"
                          "application/x-empty\n"
                          "notatype abc\n";
  const struct {
    const char* name;
    const char* type;
  } cases[] = {
      {"a.png", "image/png"},
      {"A.PNG", "image/png"},
      {"b.apng", "image/x-other"},
      {"dir.v2/readme.text", "text/plain"},
      {"x.abc", "application/octet-stream"},  // a line without "/" is no type
      {"dir.png/file", "application/octet-stream"},
      {".png", "application/octet-stream"},
      {"name.", "application/octet-stream"},
      {"noext", "application/octet-stream"},
      {"\x8e\x9a.\x82\xa0", "application/octet-stream"},  // CP932 after the dot
      {"\x95\x5c.txt", "text/plain"},                     // 表: its 0x5C is no directory mark
      {"a\\.txt", "application/octet-stream"},             // a real backslash before the dot
  };
  for (const auto& c : cases) EXPECT_EQ(MediaTypeOf(c.name, table), c.type) << c.name;
  EXPECT_EQ(MediaTypeOf("a.png", std::string(dir) + "/missing"), "application/octet-stream");
  std::remove(table.c_str());
  ::rmdir(dir);
}

}  // namespace
