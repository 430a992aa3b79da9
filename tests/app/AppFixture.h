// Shared pieces of the application tests: a private temporary folder, a form whose
// SMTP hooks record their calls, and a pump clock that moves by hand so pauses
// take no real time.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "app/MacroReader.h"
#include "app/Unit1.h"
#include "support/EncodingTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "platform/MessagePump.h"

namespace apptest {

// A folder made for one test and removed with it.
using TempDir = encoding_test::ScratchDir;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A form whose SMTP hooks record what they were asked, with the pump's tick count
// at the time of the call.
class RecordingForm : public TForm1 {
 public:
  struct Call {
    std::string what;
    uint32_t tick;
  };
  std::vector<Call> calls;

  void SmtpConnect(const std::string& host, int port, const std::string& userId) override {
    Record("connect " + host + " " + std::to_string(port) + " " + userId);
  }
  void SmtpDisconnect() override { Record("disconnect"); }
  void SmtpAbort() override { Record("abort"); }
  void SendCommand() override {
    std::string body;
    for (const auto& l : Body) body += "[" + l + "]";
    std::string files;
    for (const auto& l : Attachments) files += "[" + l + "]";
    Record("send to=" + To + " subject=" + Subject + " from=" + SenderAddress + " body=" + body + " bind=" + files);
  }
  // The calls' texts, optionally without the aborts of closing.
  std::vector<std::string> Texts(bool withAborts = true) const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (withAborts || c.what != "abort") out.push_back(c.what);
    return out;
  }

 private:
  void Record(const std::string& what) { calls.push_back({what, GetTickCount()}); }
};

// A handler that counts its messages and can run a function on each one.
class CountingHandler : public TMessageHandler {
 public:
  int count = 0;
  std::function<void()> onMessage;
  void HandleMessage(uint32_t, uintptr_t, intptr_t) override {
    ++count;
    if (onMessage) onMessage();
  }
};

// Moves the pump's clock by `step` milliseconds at every reading and keeps a
// 1 ms timer running, so that waiting in the pump never blocks for real: pauses
// then take no real time but still see the clock pass.
class HandClock {
 public:
  explicit HandClock(uint64_t start = 1000000, uint64_t step = 7) : now_(start), step_(step) {
    auto& pump = TMessagePump::Instance();
    pump.SetClock([this] { return now_ += step_; });
    window_ = pump.CreateWindow(&ticker_);
    pump.SetTimer(window_, 1, 1);
  }
  ~HandClock() {
    auto& pump = TMessagePump::Instance();
    pump.DestroyWindow(window_);
    pump.SetClock(nullptr);
  }
  uint64_t Now() const { return now_; }
  int Ticks() const { return ticker_.count; }

 private:
  uint64_t now_, step_;
  CountingHandler ticker_;
  HWND window_;
};

// Everything a form test needs: a temporary folder holding the settings file
// (TARVEX_INI), scripted dialogs, a hand-moved clock and a fresh application.
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TARVEX_INI", ini.c_str(), 1);
    Application().Reset();
  }
  void TearDown() override {
    ::unsetenv("TARVEX_INI");
    Application().Reset();
  }
  // Writes a macro file and returns its path.
  std::string Macro(const std::string& bytes, const std::string& name = "m.txt") { return dir.Write(name, bytes); }

  TempDir dir;
  std::string ini = dir.File("t.INI");
  TScriptedDialogs dialogs;
  TDialogsGuard guard{&dialogs};
  HandClock clock;
};

}  // namespace apptest
