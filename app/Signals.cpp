#include "app/Signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "platform/StopRequest.h"

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

void DisableCoreDumps() {
  // Not dumpable: no core file and no attaching by other processes of the user,
  // whatever the core limit or the core pattern; the zero limit covers a child.
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &none);
}

TSignalWatch::TSignalWatch(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  window_ = TMessagePump::Instance().CreateWindow(this);
  const sigset_t set = WatchedSignals();
  thread_ = std::thread([this, set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (stopping_) return;
      if (signal == SIGUSR2) continue;
      // The message first: a wait that ends on the stop request finds it queued.
      TMessagePump::Instance().PostMessage(window_, WM_SIGNAL, static_cast<uintptr_t>(signal), 0);
      SignalStop();
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
