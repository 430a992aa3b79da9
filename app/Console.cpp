#include "app/Console.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/Language.h"
#include "platform/SysUtils.h"

namespace {
bool g_progressOpen = false;  // a progress line is on the terminal without its line end

void WriteStderr(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }
}  // namespace

std::string TraceLine(const std::tm& local, int milliseconds, TTraceKind kind, int level, const std::string& text,
                      int verbosity) {
  const char* marker = nullptr;
  switch (kind) {
    case TTraceKind::Sent:
      marker = ">>> ";
      break;
    case TTraceKind::Received:
      marker = "<<< ";
      break;
    case TTraceKind::Status:
      if (verbosity < 2 || level < 2) return std::string();
      marker = "--- ";
      break;
  }
  if (verbosity < 1) return std::string();
  std::string shown = text;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                milliseconds);
  return stamp + std::string(marker) + shown;
}

std::string ProgressText(int64_t sent, int64_t total) {
  return IntToStr(sent) + " bytes of " + IntToStr(total) + " sent";
}

TOnTrace ConsoleTrace(int verbosity) {
  return [verbosity](TComponent*, TTraceKind kind, int level, const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    const std::string line = TraceLine(local, ms, kind, level, text, verbosity);
    if (line.empty()) return;
    ConsoleEndProgress();
    WriteStderr(Cp932ToUtf8(line) + "\n");
  };
}

void ConsoleProgress(int64_t sent, int64_t total) {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  if (!terminal) return;
  // CR back to the start; the blanks clear what a longer earlier text left.
  WriteStderr("\r" + UserText(ProgressText(sent, total)) + "   \b\b\b");
  g_progressOpen = true;
  if (sent >= total) ConsoleEndProgress();
  std::fflush(stderr);
}

void ConsoleEndProgress() {
  if (!g_progressOpen) return;
  g_progressOpen = false;
  WriteStderr("\n");
}

void PrintError(const std::string& text) {
  WriteStderr("tarvex: " + UserText(Cp932ToUtf8(text)) + "\n");
}
