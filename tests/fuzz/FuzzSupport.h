// Pieces shared by the fuzz targets: a private temporary folder per process and a
// pump clock that jumps ahead, so the form's one-second pauses take no real time.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/MessagePump.h"

namespace fuzz {

// A folder made once per process; files in it are rewritten by every input.
inline const std::string& TempFolder() {
  static const std::string path = [] {
    const char* base = ::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tarvex-fuzz-XXXXXX";
    char* made = ::mkdtemp(tmpl.data());
    if (!made) {
      std::perror("mkdtemp");
      std::abort();
    }
    return std::string(made);
  }();
  return path;
}

// Writes bytes to name in the temporary folder and returns the path.
inline std::string WriteTemp(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = TempFolder() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

// A handler that does nothing: it owns the 1 ms timer that keeps the pump from
// blocking while the clock is moved by hand.
class Ticker : public TMessageHandler {
 public:
  void HandleMessage(uint32_t, uintptr_t, intptr_t) override {}
};

// Moves the pump's clock by step milliseconds at every reading, so that every wait
// for a time (pauses) ends after a few passes instead of real seconds.
class JumpingClock {
 public:
  explicit JumpingClock(uint64_t step = 250) : step_(step) {
    auto& pump = TMessagePump::Instance();
    pump.SetClock([this] { return now_ += step_; });
    window_ = pump.CreateWindow(&ticker_);
    pump.SetTimer(window_, 1, 1);
  }
  ~JumpingClock() {
    auto& pump = TMessagePump::Instance();
    pump.DestroyWindow(window_);
    pump.SetClock(nullptr);
  }

 private:
  uint64_t now_ = 1000000, step_;
  Ticker ticker_;
  HWND window_;
};

// Stops the process with a message: a property of the code under test failed.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz
