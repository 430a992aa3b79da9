#include "platform/qt/QtPump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <memory>
#include <optional>

namespace {
// Polls without blocking and fills revents; returns the number of ready entries.
int PollNow(std::vector<pollfd>& fds) {
  for (auto& p : fds) p.revents = 0;
  if (fds.empty()) return 0;
  int n;
  while ((n = ::poll(fds.data(), fds.size(), 0)) < 0 && errno == EINTR) {
  }
  return n < 0 ? 0 : n;
}
}  // namespace

// One Wait in progress: the notifiers that end it. A handler dispatched by Qt during
// the wait may start a nested Wait; the outer frame's notifiers are then switched off
// so that Qt never holds two notifiers for one descriptor, and a level-triggered
// descriptor cannot keep waking the inner wait on the outer frame's behalf.
struct TQtPump::Frame {
  std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
  bool woken = false;

  void Add(int fd, QSocketNotifier::Type type) {
    auto n = std::make_unique<QSocketNotifier>(static_cast<qintptr>(fd), type);
    QSocketNotifier* raw = n.get();
    QObject::connect(raw, &QSocketNotifier::activated, [this, raw] {
      woken = true;
      raw->setEnabled(false);  // readiness persists until ProcessMessages reads it
    });
    notifiers.push_back(std::move(n));
  }
  void Suspend() {
    for (auto& n : notifiers) n->setEnabled(false);
  }
};

TQtPump::~TQtPump() {
  if (TMessagePump::Instance().Backend() == this) TMessagePump::Instance().SetBackend(nullptr);
}

void TQtPump::ProcessEvents() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtPump::Wait(std::vector<pollfd>& fds, int timeoutMs) {
  // Something already ready: no need to block at all.
  if (PollNow(fds) > 0) return;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (!dispatcher) {
    // No Qt event loop on this thread: plain poll serves the pump alone.
    while (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno == EINTR) {
    }
    return;
  }

  Frame frame;
  Frame* outer = current_;
  if (outer) outer->Suspend();
  current_ = &frame;
  for (const auto& p : fds) {
    if (p.events & POLLIN) frame.Add(p.fd, QSocketNotifier::Read);
    if (p.events & POLLOUT) frame.Add(p.fd, QSocketNotifier::Write);
    if (p.events & POLLPRI) frame.Add(p.fd, QSocketNotifier::Exception);
  }
  std::optional<QTimer> deadline;
  if (timeoutMs >= 0) {
    deadline.emplace();
    deadline->setSingleShot(true);
    deadline->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire early
    QObject::connect(&*deadline, &QTimer::timeout, [&frame] { frame.woken = true; });
    deadline->start(timeoutMs);
  }

  // One pass of Qt's loop: it blocks until a notifier, the deadline or any Qt event
  // source fires (or returns at once when Qt already has events queued) and
  // dispatches what it found.
  ++blockingWaits_;
  dispatcher->processEvents(QEventLoop::WaitForMoreEvents);

  deadline.reset();
  frame.notifiers.clear();
  current_ = outer;
  PollNow(fds);
}

TQtPumpGuard::TQtPumpGuard() : previous_(TMessagePump::Instance().Backend()) {
  TMessagePump::Instance().SetBackend(&backend_);
}

TQtPumpGuard::~TQtPumpGuard() { TMessagePump::Instance().SetBackend(previous_); }

bool QtPumpInstalled() { return dynamic_cast<TQtPump*>(TMessagePump::Instance().Backend()) != nullptr; }

void RunQtMainLoop(const std::function<bool()>& done) {
  std::optional<TQtPumpGuard> guard;
  if (!QtPumpInstalled()) guard.emplace();
  TMessagePump& pump = TMessagePump::Instance();
  while (!done()) {
    pump.WaitMessage(-1);
    pump.ProcessMessages();
    // Outside every handler, so objects scheduled with deleteLater can go now
    // (Qt does this when control returns to its own loop, which never runs here).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}
