#include "support/EncodingTestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace encoding_test {

std::string ReferenceBase64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    for (int i = 7; i >= 0; --i) {
      value = value << 1 | ((c >> i) & 1);
      if (++bits == 6) {
        out += kAlphabet[value];
        value = 0;
        bits = 0;
      }
    }
  }
  if (bits > 0) out += kAlphabet[value << (6 - bits)];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string RunCommand(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  return ::pclose(pipe) == 0 ? out : std::string();
}

void WriteOsFile(const std::string& osPath, const std::string& bytes) {
  std::ofstream f(osPath, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << "cannot write " << osPath;
}

ScratchDir::ScratchDir() {
  std::string tmpl = "/tmp/tarvex-test-XXXXXX";
  if (::mkdtemp(tmpl.data())) path_ = tmpl + "/";
}

std::string ScratchDir::Write(const std::string& name, const std::string& bytes) const {
  WriteOsFile(File(name), bytes);
  return File(name);
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  std::filesystem::remove_all(path_, ec);
}

}  // namespace encoding_test
