#include "platform/PumpTimer.h"

#include <cstdio>

#include "platform/SysUtils.h"

namespace {
constexpr uintptr_t kTimerId = 1;
}

TPumpTimer::TPumpTimer(uint32_t interval, bool enabled)
    : window_(TMessagePump::Instance().CreateWindow(this)), interval_(interval), enabled_(enabled) {}

TPumpTimer::~TPumpTimer() {
  auto& pump = TMessagePump::Instance();
  pump.KillTimer(window_, kTimerId);
  pump.DestroyWindow(window_);
}

void TPumpTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Update();
}

void TPumpTimer::SetInterval(uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Update();
}

void TPumpTimer::SetOnTick(std::function<void()> handler) {
  onTick_ = std::move(handler);
  Update();
}

void TPumpTimer::Update() {
  auto& pump = TMessagePump::Instance();
  pump.KillTimer(window_, kTimerId);
  if (interval_ != 0 && enabled_ && onTick_) {
    if (!pump.SetTimer(window_, kTimerId, interval_)) throw Exception("No Timer");
  }
}

void TPumpTimer::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) {
  if (msg != WM_TIMER || wParam != kTimerId || !enabled_ || !onTick_) return;
  auto handler = onTick_;  // the handler may replace itself
  try {
    handler();
  } catch (const std::exception& e) {
    if (onTickError_)
      onTickError_(e);
    else
      std::fprintf(stderr, "tarvex: %s\n", e.what());
  }
}
