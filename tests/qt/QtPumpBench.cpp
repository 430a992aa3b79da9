// Measures what the Qt pump backend costs: CPU time of idle waits (with and without
// a pump timer ticking) and the rate of messages posted from another thread.
// Prints its figures; it checks nothing. Run on any Qt platform (offscreen is fine).
#include <sys/resource.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/MessagePump.h"
#include "platform/qt/QtPump.h"

namespace {
double CpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

struct Counter : TMessageHandler {
  long messages = 0, ticks = 0;
  void HandleMessage(uint32_t msg, uintptr_t, intptr_t) override { (msg == WM_TIMER ? ticks : messages)++; }
};

// Runs the desktop loop for wallMs and reports CPU time and blocking waits.
void Idle(const char* what, TQtPumpGuard& guard, int wallMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wallMs);
  unsigned long waits0 = guard.Backend().BlockingWaits();
  double cpu0 = CpuMs();
  TMessagePump& pump = TMessagePump::Instance();
  while (std::chrono::steady_clock::now() < end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pump.WaitMessage(static_cast<int>(left.count()) + 1);
    pump.ProcessMessages();
  }
  std::printf("%-34s wall %5d ms  cpu %7.2f ms  blocking waits %lu\n", what, wallMs, CpuMs() - cpu0,
              guard.Backend().BlockingWaits() - waits0);
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TQtPumpGuard guard;
  TMessagePump& pump = TMessagePump::Instance();
  Counter counter;
  HWND window = pump.CreateWindow(&counter);

  Idle("idle, nothing armed", guard, 1000);
  pump.SetTimer(window, 1, 50);
  Idle("idle, pump timer every 50 ms", guard, 1000);
  pump.KillTimer(window, 1);
  std::printf("%-34s %ld\n", "timer ticks dispatched", counter.ticks);

  // Messages posted from a worker thread, each dispatched by the loop.
  const long total = 100000;
  std::atomic<bool> stop{false};
  auto start = std::chrono::steady_clock::now();
  double cpu0 = CpuMs();
  std::thread poster([&] {
    for (long i = 0; i < total && !stop; ++i) pump.PostMessage(window, WM_USER, 0, 0);
  });
  while (counter.messages < total) {
    pump.WaitMessage(-1);
    pump.ProcessMessages();
  }
  poster.join();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-34s %ld in %.1f ms (%.0f per s), cpu %.1f ms\n", "cross-thread messages", total, ms,
              total / ms * 1000.0, CpuMs() - cpu0);
  pump.DestroyWindow(window);
  return 0;
}
