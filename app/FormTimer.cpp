#include "app/FormTimer.h"

#include "app/ExitStatus.h"

TFormTimer::TFormTimer(uint32_t interval) : TPumpTimer(interval, false) {
  SetOnTickError([](const std::exception& e) { Application().ShowException(e); });
}
