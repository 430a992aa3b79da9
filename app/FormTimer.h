// TFormTimer: the form's start-up timer. A pump timer whose tick errors go to the
// application's general error report.
#pragma once

#include <cstdint>

#include "platform/PumpTimer.h"

class TFormTimer : public TPumpTimer {
 public:
  // Disabled at creation.
  explicit TFormTimer(uint32_t interval = 1000);
};
