// Termination signals of a run: SIGTERM, SIGINT and SIGHUP become a call on the
// user-interface thread, inside message processing, so that an operation in progress
// is aborted as closing the window aborts it and the run still saves its result.
// SIGPIPE is ignored: a closed stderr pipe must not end the program before then.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/MessagePump.h"

// Keeps the process from leaving a core file, which would hold the password and the
// mail in clear: not dumpable, and a core limit of 0 (kept by every child). Call it
// first thing in main, before a secret is read.
void DisableCoreDumps();

class TSignalWatch : private TMessageHandler {
 public:
  // Ignores SIGPIPE and blocks the watched signals in the calling thread; threads
  // started later inherit the mask, so only the watch receives them. Call it first
  // thing in main, before any other thread starts.
  static void BlockSignals();
  // Waits for the signals on a thread of its own and calls onSignal with each, on the
  // user-interface thread, when it processes messages; each also sets the process's
  // stop request (SignalStop), which ends the waits outside the message pump.
  explicit TSignalWatch(std::function<void(int signal)> onSignal);
  ~TSignalWatch() override;
  TSignalWatch(const TSignalWatch&) = delete;
  TSignalWatch& operator=(const TSignalWatch&) = delete;

 private:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  std::function<void(int)> onSignal_;
  HWND window_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};
