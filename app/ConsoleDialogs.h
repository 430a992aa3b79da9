// TConsoleDialogs: the dialogs of a headless run. Message boxes become lines on
// stderr, after an open progress line has been ended.
#pragma once

#include <string>

#include "platform/Dialogs.h"

class TConsoleDialogs : public THeadlessDialogs {
 public:
  void MessageBox(const std::string& text) override;
};
