// The desktop toolkit's share of the message pump: Qt's events are dispatched in
// ProcessMessages beside the pump's own, and waits block in Qt's event dispatcher
// (socket notifiers for the pump's descriptors, one timer for the deadline).
#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "platform/MessagePump.h"

class QSocketNotifier;

class TQtPump : public TPumpBackend {
 public:
  // Needs a QCoreApplication (or QApplication) that lives longer than the backend.
  TQtPump() = default;
  ~TQtPump() override;

  // Dispatches Qt's pending events (posted events, window-system input, expired Qt
  // timers, paint requests) without blocking.
  void ProcessEvents() override;

  // Blocks until one of fds is ready, timeoutMs passes (-1: no limit) or Qt has
  // events of its own, then fills every revents with poll(0). Qt events that arrive
  // while it blocks are dispatched by Qt's dispatcher inside this call (Qt offers no
  // wait that leaves them queued); the pump's items stay for ProcessMessages.
  void Wait(std::vector<pollfd>& fds, int timeoutMs) override;

  // How many times Wait actually blocked in Qt's dispatcher (for benchmarks).
  unsigned long BlockingWaits() const { return blockingWaits_; }

 private:
  struct Frame;
  Frame* current_ = nullptr;  // innermost Wait in progress (Waits nest through handlers)
  unsigned long blockingWaits_ = 0;
};

// Installs a TQtPump into the process's pump for the lifetime of the guard and
// restores the previous backend afterwards.
class TQtPumpGuard {
 public:
  TQtPumpGuard();
  ~TQtPumpGuard();
  TQtPumpGuard(const TQtPumpGuard&) = delete;
  TQtPumpGuard& operator=(const TQtPumpGuard&) = delete;
  TQtPump& Backend() { return backend_; }

 private:
  TQtPump backend_;
  TPumpBackend* previous_;
};

// True when the pump's backend is a TQtPump, so that a loop over WaitMessage and
// ProcessMessages also serves Qt.
bool QtPumpInstalled();

// The desktop main loop: waits and processes messages until done() answers true
// (checked after every pass), deleting objects whose deleteLater has come due.
// Installs a TQtPump for the loop's length when none is installed.
void RunQtMainLoop(const std::function<bool()>& done);
