// Helpers for the encoder tests: a plain reference base64, random bytes, running a
// command and reading its output, and a scratch folder removed after the test.
#pragma once

#include <cstdint>
#include <string>

namespace encoding_test {

// Base64 by the textbook rule, one bit at a time: the reference the fast
// producers are compared with.
std::string ReferenceBase64(const std::string& bytes);

// n pseudo-random bytes from a fixed seed.
std::string RandomBytes(size_t n, uint32_t seed);

// Runs a shell command and returns its standard output; empty when it failed.
std::string RunCommand(const std::string& command);

// Writes bytes to the file at the OS path; fails the test on error.
void WriteOsFile(const std::string& osPath, const std::string& bytes);

// A fresh folder under /tmp, removed with its contents when the object goes (after
// its own permissions are restored, so a test may lock it). The one helper for
// temporary folders in the tests.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The folder's OS path with a trailing "/".
  const std::string& Path() const { return path_; }
  // The path of name inside the folder.
  std::string File(const std::string& name) const { return path_ + name; }
  // Writes bytes to name inside the folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

}  // namespace encoding_test
