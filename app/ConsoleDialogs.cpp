#include "app/ConsoleDialogs.h"

#include "app/Console.h"

void TConsoleDialogs::MessageBox(const std::string& text) {
  ConsoleEndProgress();
  THeadlessDialogs::MessageBox(text);
}
