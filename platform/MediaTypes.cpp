#include "platform/MediaTypes.h"

#include <fstream>
#include <sstream>
#include <unordered_map>

#include "platform/SysUtils.h"

namespace {

const char kFallback[] = "application/octet-stream";
const char kSystemTable[] = "/etc/mime.types";

using TTypeTable = std::unordered_map<std::string, std::string>;

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The extension -> type table of a mime.types file; the first line that names an
// extension wins, as the file's readers do.
TTypeTable ReadTable(const std::string& path) {
  TTypeTable table;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    std::string type, ext;
    if (!(fields >> type) || type.find('/') == std::string::npos) continue;
    while (fields >> ext) table.emplace(LowerAscii(ext), type);
  }
  return table;
}

// The extension of a file name: the text after its last ".", lower-cased; empty
// when the name has none or the dot starts the name. A name's directory part has
// been taken off by the caller or holds no dot that counts (a "/" after the dot
// means the dot belonged to a folder).
std::string ExtensionOf(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == fileName.size()) return {};
  const std::string ext = fileName.substr(dot + 1);
  if (ext.find_first_of("/\\") != std::string::npos) return {};
  // A dot right after a directory mark starts a hidden name, not an extension; the
  // second byte of a double-byte character (表 is 0x95 0x5C) is no directory mark.
  if (fileName[dot - 1] == '/') return {};
  if (fileName[dot - 1] == '\\') {
    bool trail = false;
    for (size_t i = 0; i + 1 < dot; i += IsCp932LeadByte(static_cast<unsigned char>(fileName[i])) ? 2 : 1)
      trail = IsCp932LeadByte(static_cast<unsigned char>(fileName[i])) && i + 2 == dot;
    if (!trail) return {};
  }
  // Extensions in the table are ASCII; a CP932 byte after the dot cannot match.
  for (unsigned char c : ext)
    if (c >= 0x80) return {};
  return LowerAscii(ext);
}

std::string Lookup(const TTypeTable& table, const std::string& fileName) {
  const std::string ext = ExtensionOf(fileName);
  if (ext.empty()) return kFallback;
  auto it = table.find(ext);
  return it == table.end() ? kFallback : it->second;
}

}  // namespace

std::string MediaTypeOf(const std::string& fileName) {
  static const TTypeTable table = ReadTable(kSystemTable);
  return Lookup(table, fileName);
}

std::string MediaTypeOf(const std::string& fileName, const std::string& tablePath) {
  return Lookup(ReadTable(tablePath), fileName);
}
