// TPumpTimer: a periodic timer whose ticks arrive as window messages, so they run
// only while the user-interface thread processes its messages (a pause, a socket
// wait, the main loop). The form's start-up timer and the socket's time-out timer
// are both this timer.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

#include "platform/MessagePump.h"

class TPumpTimer : private TMessageHandler {
 public:
  explicit TPumpTimer(uint32_t interval = 1000, bool enabled = true);
  ~TPumpTimer() override;
  TPumpTimer(const TPumpTimer&) = delete;
  TPumpTimer& operator=(const TPumpTimer&) = delete;

  bool Enabled() const { return enabled_; }
  uint32_t Interval() const { return interval_; }
  // Equal values change nothing; a new value re-evaluates the platform timer.
  void SetEnabled(bool value);
  void SetInterval(uint32_t ms);
  // The tick handler; the platform timer runs only while one is set, the timer is
  // enabled and the interval is not 0. Always re-evaluates the platform timer.
  // Throws Exception "No Timer" when the platform refuses one.
  void SetOnTick(std::function<void()> handler);
  // Receives an exception the tick handler raised; unset, its text goes to stderr.
  // The tick is finished either way: the error never ends the caller that was
  // processing messages.
  void SetOnTickError(std::function<void(const std::exception&)> handler) { onTickError_ = std::move(handler); }

 private:
  void Update();
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  HWND window_;
  uint32_t interval_;
  bool enabled_;
  std::function<void()> onTick_;
  std::function<void(const std::exception&)> onTickError_;
};
