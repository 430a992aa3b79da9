#include "app/Signals.h"

#include <pthread.h>
#include <signal.h>

namespace {
constexpr uint32_t WM_SIGNAL = WM_USER + 300;

// The signals that end a run, and the one that ends the watch.
sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&set, s);
  return set;
}
}  // namespace

void TSignalWatch::BlockSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatch::TSignalWatch(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  window_ = TMessagePump::Instance().CreateWindow(this);
  const sigset_t set = WatchedSignals();
  thread_ = std::thread([this, set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (stopping_) return;
      if (signal != SIGUSR2) TMessagePump::Instance().PostMessage(window_, WM_SIGNAL, static_cast<uintptr_t>(signal), 0);
    }
  });
}

TSignalWatch::~TSignalWatch() {
  stopping_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR2);
  thread_.join();
  TMessagePump::Instance().DestroyWindow(window_);
}

void TSignalWatch::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) {
  if (msg == WM_SIGNAL && onSignal_) onSignal_(static_cast<int>(wParam));
}
