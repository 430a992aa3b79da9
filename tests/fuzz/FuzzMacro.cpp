// Fuzz target: a whole macro file. The line reader's lines are checked against a
// plain model of the line rules, then the file runs through ExecuteMacroFile on a
// form whose SMTP hooks do nothing, with the clock moved by hand so the pauses of
// "open", "send" and "close" take no real time. A file starting with a UTF-8
// byte-order mark runs a second time as a UTF-8 macro.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/ExitStatus.h"
#include "app/MacroReader.h"
#include "app/Unit1.h"
#include "support/ScriptedDialogs.h"

namespace {

class QuietForm : public TForm1 {
 public:
  void SmtpConnect(const std::string&, int, const std::string&) override {}
  void SmtpDisconnect() override {}
  void SmtpAbort() override {}
  void SendCommand() override {}
};

// The lines of a CP932 macro file: everything before the first 0x1A, cut at each CR,
// an LF right after a CR dropped with it; in a text without any CR, cut at each LF. A
// last piece without a line end is a line too.
std::vector<std::string> ModelLines(const std::string& bytes) {
  std::string text = bytes.substr(0, bytes.find('\x1A'));
  const char lineEnd = text.find('\r') == std::string::npos ? '\n' : '\r';
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t cr = text.find(lineEnd, start);
    if (cr == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, cr - start));
    start = cr + 1;
    if (lineEnd == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

void CheckReader(const std::string& path, const std::string& bytes) {
  std::vector<std::string> expected = ModelLines(bytes);
  std::vector<std::string> got;
  TMacroLineReader reader(path, false);
  (void)reader.IsUtf8Text();  // the UTF-8 test runs over every input, for the sanitizers
  while (!reader.Eof()) got.push_back(reader.ReadLine());
  if (got != expected)
    fuzz::Fail("macro reader: " + std::to_string(got.size()) + " lines, model " + std::to_string(expected.size()));
  if (reader.LineNumber() != static_cast<int>(got.size())) fuzz::Fail("macro reader: line number");
}

void Run(const std::string& path, bool utf8) {
  Application().Reset();
  QuietForm form;
  TRunOptions options;
  options.utf8Macros = utf8;
  // Named, so that a CP932 run goes through the lines of a file that is UTF-8 too.
  options.charsetNamed = true;
  form.SetRunOptions(options);
  try {
    form.ExecuteMacroFile(path);
  } catch (const std::exception&) {
    // Errors of the run (a bad port number, an undecodable UTF-8 line) are reported
    // by the caller; only crashes and sanitizer findings count here.
  }
  if (form.PagesEnabled != true) fuzz::Fail("the form stays locked after a run");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string ini = fuzz::TempFolder() + "/fuzz.INI";
  static bool once = [] {
    ::setenv("TARVEX_INI", ini.c_str(), 1);
    return true;
  }();
  (void)once;
  static TScriptedDialogs dialogs;  // message boxes answer at once and print nothing
  static TDialogsGuard guard{&dialogs};
  static fuzz::JumpingClock clock;

  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz::WriteTemp("macro.txt", data, size);
  CheckReader(path, bytes);
  Run(path, false);
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) Run(path, true);
  dialogs.calls.clear();
  return 0;
}
