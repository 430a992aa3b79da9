// The exit statuses of the program (the sysexits values mail tools use), the table
// that --help and the documentation list them from, which error ends the program
// with which status, and the application object that keeps the run's status.
#pragma once

#include <exception>
#include <string>

#include "platform/SysUtils.h"

class TForm1;

// The dump file of a send could not be written. Carries the platform's file error text.
class EDumpWriteError : public Exception { using Exception::Exception; };

enum TExitStatus : int {
  esOk = 0,
  esUsage = 64,          // bad command line
  esMissingField = 65,   // a send found a required field empty
  esDataError = 65,      // a macro line does not convert from UTF-8
  esNoInput = 66,        // the macro file cannot be opened
  esUnavailable = 69,    // the server refused, authentication failed
  esSoftware = 70,       // any other error
  esCantCreate = 73,     // the settings file, the dump file or the result file could not be written
  esTempFail = 75,       // connection failed, time-out, 4xx reply, peer closed, a signal
  esConfig = 78,         // a settings value is unknown or not usable
};

// An address that cannot fit one mail header line; names the field.
class EAddressTooLong : public Exception { using Exception::Exception; };

// One exit status and what it means, as --help, README.md and the manual page show it
// (Meaning), and as the Japanese --help shows it (MeaningJa, UTF-8).
struct TExitStatusInfo {
  int Status;
  const char* Meaning;
  const char* MeaningJa;
};
// Every exit status the program ends with, in ascending order.
extern const TExitStatusInfo kExitStatuses[];
extern const int kExitStatusCount;

// The exit status an error of this kind ends the program with (never esOk).
int ExitStatusOf(const std::exception& error);

// The application: its title, the general error report and what the run's exit
// status is so far.
class TApplication {
 public:
  std::string Title = "Tarvex";
  // The general error report: shows the error's text in a message box and keeps
  // the exit status its kind gives (the last error reported wins).
  void ShowException(const std::exception& error);
  // Asks the main loop to end (the main form has closed).
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // esOk, or the status of the last error shown by ShowException.
  int ExitStatus() const { return exitStatus_; }
  // The text of the last error shown by ShowException (empty when none was).
  const std::string& LastError() const { return lastError_; }
  // Forgets the errors shown so far: a new macro run starts with a clean status.
  void ResetExitStatus() {
    exitStatus_ = esOk;
    lastError_.clear();
  }
  // Forgets the errors and the termination (a new run in the same process: tests).
  void Reset() {
    terminated_ = false;
    ResetExitStatus();
  }

 private:
  bool terminated_ = false;
  int exitStatus_ = esOk;
  std::string lastError_;
};

// The application object of this process.
TApplication& Application();

// The exit status of a finished run: esTempFail when a signal interrupted it, else
// the status of the last error the general error report showed, else esMissingField
// when the form's ErrorMessage is set, else esOk.
int ExitStatusOfRun(const TForm1& form);
