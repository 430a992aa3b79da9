// Unit1: the mail form TForm1 as a model (its data fields and the application
// state), its life from creation to close, the macro file reader and the pause that
// keeps messages flowing. A window observes the model through TFormView;
// TApplication holds the general error report and the exit status of the run.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "app/MailHP.h"
#include "jmail/MailJstr.h"
#include "platform/Component.h"
#include "platform/Dialogs.h"
#include "platform/MessagePump.h"
#include "platform/StringList.h"
#include "platform/SysUtils.h"
#include "smtp/Lxsmtp.h"

// The macro file of a run cannot be opened. Carries the platform's file error text;
// kept apart from other file errors because it has its own exit status.
class EMacroOpenError : public EFOpenError { using EFOpenError::EFOpenError; };

// A line of a UTF-8 macro or pickup file is no UTF-8 or holds a character without
// a CP932 form. The message names the file, the line number and the character.
class EMacroCharsetError : public Exception { using Exception::Exception; };

// The dump file of a send could not be written. Carries the platform's file error text.
class EDumpWriteError : public Exception { using Exception::Exception; };

// Exit statuses of the program (the sysexits values mail tools use).
enum TExitStatus : int {
  esOk = 0,
  esUsage = 64,          // bad command line
  esMissingField = 65,   // a send found a required field empty
  esDataError = 65,      // a macro line does not convert from UTF-8
  esNoInput = 66,        // the macro file cannot be opened
  esUnavailable = 69,    // the server refused, authentication failed
  esSoftware = 70,       // any other error
  esCantCreate = 73,     // the settings file or the dump file could not be written
  esTempFail = 75,       // connection failed, time-out, 4xx reply, peer closed
};

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
  // Forgets the errors shown so far: a new macro run starts with a clean status.
  void ResetExitStatus() { exitStatus_ = esOk; }
  // Forgets the errors and the termination (a new run in the same process: tests).
  void Reset() { terminated_ = false; exitStatus_ = esOk; }

 private:
  bool terminated_ = false;
  int exitStatus_ = esOk;
};

// The application object of this process.
TApplication& Application();

// The options of this run, from the command line and the environment. The
// program sets them before it creates the form; every default keeps the
// behaviour of a run without options.
struct TRunOptions {
  bool utf8Macros = false;  // macro and pickup files are UTF-8, converted line by line
  int32_t timeOut = -1;     // milliseconds for the SMTP component; -1: the settings file's
  int verbosity = 0;        // 1: trace of the dialogue on stderr; 2: also status texts
  std::string dumpPath;     // CP932; each send writes what follows DATA here; empty: none
  bool noSend = false;      // nothing connects; "send" only writes the dump
};

// The run options of this process.
TRunOptions& RunOptions();

// A window timer: while enabled, OnTimer runs every Interval milliseconds inside
// message processing. An error OnTimer raises goes to the general error report.
class TFormTimer : private TMessageHandler {
 public:
  explicit TFormTimer(uint32_t interval = 1000);
  ~TFormTimer() override;
  TFormTimer(const TFormTimer&) = delete;
  TFormTimer& operator=(const TFormTimer&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t ms);
  std::function<void()> OnTimer;

 private:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  void Update();
  HWND window_;
  bool enabled_ = false;
  uint32_t interval_;
};

// Reads the lines of a macro file (or of a file a macro picks up) as bytes: a line
// ends at CR, an LF right after the CR belongs to the line end, a bare LF is an
// ordinary byte, a 0x1A byte ends the file. Lines have no length limit; the file is
// read in chunks, so only the current line and one chunk are held. A UTF-8 file's
// lines are converted to CP932 as they are read (a byte-order mark at the start is
// dropped), so the caller always gets CP932.
class TMacroLineReader {
 public:
  // Opens a regular file. Throws EFOpenError (the platform's file error) when it
  // cannot be opened or is no regular file.
  explicit TMacroLineReader(const std::string& path, bool utf8 = false);
  ~TMacroLineReader();
  TMacroLineReader(const TMacroLineReader&) = delete;
  TMacroLineReader& operator=(const TMacroLineReader&) = delete;

  // True when no line is left (end of file, a 0x1A byte, or closed).
  // Throws EStreamError "Stream read error" when the file cannot be read.
  bool Eof();
  // The next line without its line end; empty at the end. Throws as Eof, and
  // EMacroCharsetError when a UTF-8 line does not convert to CP932.
  std::string ReadLine();
  // The number of lines read so far.
  int LineNumber() const { return lineNumber_; }
  // Closes the file; Eof is true afterwards.
  void Close();

 private:
  bool Fill();
  std::string ReadRawLine();
  int fd_ = -1;
  std::string path_;
  bool utf8_;
  int lineNumber_ = 0;
  char buffer_[65536];
  size_t pos_ = 0, len_ = 0;
};

// The section number (0-13) a macro line selects, or -1 when it is a content line:
// the line must hold ":", and with its first ":" deleted and A-Z turned into a-z it
// must equal one of "rem", "to", "cc", "bcc", "subject", "reply-to", "body",
// "bind", "server", "pickupbcc", "pickupbody", "action", "upwd", "uname".
int MacroKeyword(const std::string& line);

// The macro sections by number.
enum TMacroSection : int {
  msRem = 0, msTo, msCC, msBCC, msSubject, msReplyTo, msBody, msBind, msServer,
  msPickupBCC, msPickupBody, msAction, msUpwd, msUname
};

// The data fields of the form, as named in notifications to the view.
enum class TFormField {
  eTo, eCC, eBCC, eSubject, eHomeAddr, ListBox1, reMessageText,
  eSMTPServer, Edit2, Edit3, Edit4, Edit5, Edit11, Memo2,
  StatusBar1, PageControl1, Position,
  Security,  // SmtpSecurity and SmtpAuth
  Charset    // MailCharsetSetting
};

// What a window showing the form implements. The model calls it after it changed
// a field itself; a window writes the user's edits straight into the model's
// fields. The headless front end has no view.
class TFormView {
 public:
  virtual ~TFormView() = default;
  // The model changed this field: show its new value.
  virtual void Changed(TFormField field) = 0;
  // The form has closed (settings saved): hide the window.
  virtual void Closed() = 0;
};

// The main form: one outgoing mail, the data of one SMTP server and the
// application state. All texts are CP932 bytes.
class TForm1 : public TComponent {
 public:
  explicit TForm1(TComponent* owner = nullptr);
  ~TForm1() override;

  // --- Mail page
  std::string eTo, eCC, eBCC, eSubject;
  std::string eHomeAddr;            // sender address
  TStringList ListBox1;             // attachment paths
  int ListBox1ItemIndex = -1;       // selected attachment, -1 for none
  TStringList reMessageText;        // body, one string per line
  // --- Connection page
  std::string eSMTPServer;          // SMTP host
  std::string Edit2 = "25";         // port, decimal text
  std::string Edit3;                // user name (HELO argument)
  std::string Edit4;                // password
  std::string Edit5;                // sender's display name
  std::string Edit11;               // list to expand
  TStringList Memo2;                // members of expanded lists
  // --- Window
  std::string StatusBar1;
  bool PageControl1Enabled = true;  // false while a macro runs
  int Left = 0, Top = 0;
  TFileChooser OpenDialog1, OpenDialog2;
  TFormTimer Timer1{1000};          // start-up timer, disabled at creation

  // --- Application state
  int FormTop = 80, FormLeft = 80;
  std::string ServerAddress, SenderAddress, UserName, Password;
  int PortNumber = 25;
  int32_t TimeOut = 0;              // SMTP/TimeOut of the settings file, ms (0: no limit)
  // Secure submission ([SMTP] in the settings file; no macro keyword changes them).
  std::string SmtpSecurity = "none";  // "none" (HELO), "starttls" or "tls"
  std::string SmtpAuth = "none";      // "none" or "auto" (AUTH PLAIN/LOGIN with Edit3 and Edit4)
  bool VerifyCert = true;             // the server's certificate must be trusted and for the host
  std::string CAFile;                 // an extra trust anchor file (PEM), empty for none
  // [Mail] Charset: "auto" (ISO-2022-JP when the text fits it, else UTF-8),
  // "iso-2022-jp" (the earlier bytes) or "utf-8".
  std::string MailCharsetSetting = "auto";
  // The charset the last send chose for its message (read by the header rewrite).
  MailCharset MessageCharset = MailCharset::Iso2022JpLegacy;
  std::string MailResult, ErrorMessage;
  std::string MacroPath;
  bool MacroStarted = false;
  bool StopRequested = false;
  bool Connected = false;
  bool Multipart = false;
  bool MacroMode = false;

  // Attaches the view that observes the form (nullptr: none).
  void SetView(TFormView* view) { view_ = view; }
  // Tells the view that a field changed.
  void Notify(TFormField field);
  // Shows text in the status bar.
  void SetStatus(const std::string& text);

  // Form creation: loads the settings, places the form, fills the connection
  // fields and takes the first command-line argument (Params()) as the macro path,
  // with the executable's folder in front of a bare file name (which also enables
  // Timer1). Never throws for a missing or broken settings file.
  void FormCreate();
  // Activation: runs the start-up macro once. Throws what the run throws.
  void FormActivate();
  // Start-up timer tick: runs the start-up macro if it has not started yet.
  void Timer1Timer();
  // Close request: cancels the pending socket operation; always allows closing.
  void FormCloseQuery(bool& canClose);
  // Closing: cancels the pending socket operation, takes the connection fields and
  // the position into the state and saves the settings and the result.
  // Throws ESettingsWriteError when the settings file cannot be written.
  void FormClose();
  // Closes the form as its close button does: FormCloseQuery, FormClose, then the
  // view hides the window and the application is told to end. A closed form is not
  // closed again. Throws what FormClose throws; the form then stays open.
  void Close();
  bool IsClosed() const { return closed_; }

  // Runs a macro file: disables the page container, clears the form and executes
  // the file line by line, processing pending messages before every line, until
  // its end or a stop request; a stop closes the form. The page container is
  // enabled again and the file closed also when a line fails.
  // Throws EMacroOpenError when the file cannot be opened, and whatever a line
  // raises (conversion error at "open", SMTP errors).
  void ExecuteMacroFile(const std::string& path);
  // Applies one content line to the form as section (0-13) says.
  void ExecuteMacroLine(int section, const std::string& line);
  // Empties the mail fields, the attachment list and the body, forgets the file
  // choosers' last names and clears StopRequested; the connection page stays.
  void ClearForm();
  // Returns after at least ms milliseconds, processing messages all the time and
  // blocking in the pump between passes.
  void Pause(int ms);

  // --- Components owned by the form
  TLxSMTP* LxSMTP1;        // the SMTP client, its events bound to the handlers below
  TMailAndHP* MailAndHP1;  // the about panel's links

  // --- Buttons. Errors go to the caller (the general error report).
  // Connect: host, port (Edit2 as a decimal integer; EConvertError otherwise) and
  // user identifier to the component, then Connect; Connected once it returned.
  void Button1Click();
  // Disconnect, when Connected.
  void Button2Click();
  // Verify the address in Edit3 and show the answer.
  void Button3Click();
  // Add an attachment chosen with OpenDialog1.
  void Button4Click();
  // Remove the selected attachment.
  void Button5Click();
  // The send command. A required field (To, Subject, sender address) that is empty
  // ends it: under a macro the error is recorded in ErrorMessage, StopRequested is
  // set and the form is closed; otherwise a message box shows the error. With all
  // fields present it runs SendCommand.
  void Button6Click();
  // Expand the list named in Edit11; the answer arrives in Memo2.
  void Button7Click();
  // Load and run a macro file chosen with OpenDialog2 (text files only).
  void Button8Click();
  // Clear the mail fields.
  void Button9Click();
  void Label17Click();  // the home page link
  void Label18Click();  // the mail link

  // --- Handlers of the SMTP component's events
  void LxSMTP1Connect();
  void LxSMTP1Disconnect();
  void LxSMTP1Status(const std::string& status);
  void LxSMTP1HostResolved();
  void LxSMTP1InvalidHost(bool& handled);
  void LxSMTP1ConnectionFailed();
  void LxSMTP1ConnectionRequired(bool& handled);
  void LxSMTP1PacketSent();
  // Shows the refused recipient; the send goes on with the others.
  void LxSMTP1RecipientNotFound(const std::string& recipient);
  void LxSMTP1HeaderIncomplete(bool& handled, int kind);
  // Rewrites the generated header block just before it is sent: single blanks,
  // the ISO-2022-JP charset, encoded words, the multipart content type (when the
  // body is multipart) and a Message-ID.
  void LxSMTP1SendStart();
  void LxSMTP1Success();
  void LxSMTP1Failure();
  void LxSMTP1EncodeStart(const std::string& fileName);
  void LxSMTP1EncodeEnd(const std::string& fileName);
  void LxSMTP1MailListReturn(const std::string& reply);
  void LxSMTP1AttachmentNotFound(const std::string& fileName);
  // The message is final: writes the header block and the body stream to the dump
  // file when the run has one.
  // Throws EDumpWriteError when it cannot be written.
  void LxSMTP1DataReady();
  // Single blanks, charset and encoded words on the component's final header.
  void AdjustFinalHeader();
  // The texts that decide the message's charset: subject, sender name and address,
  // To and CC, every body line and the attachments' file names.
  std::vector<std::string> MessageTexts() const;

  // --- The form's calls into the SMTP component (virtual: tests replace them).
  // Gives the component host, port, user identifier, the password (Edit4) and the
  // secure submission settings, and connects. Throws Exception for a SmtpSecurity or
  // SmtpAuth value it does not know (before anything is sent), and what Connect throws.
  virtual void SmtpConnect(const std::string& host, int port, const std::string& userId);
  // Disconnects the component.
  virtual void SmtpDisconnect();
  // Cancels the component's pending socket operation (nothing without one).
  virtual void SmtpAbort();
  // The send command past its required-field check: connect, build, send,
  // disconnect, clear. Once the server accepted the message, a failing QUIT is
  // ignored: the send succeeded. With RunOptions().noSend nothing connects: the message is
  // built, rewritten, checked and dumped as a send would, then counts as sent.
  virtual void SendCommand();

  // The missing-field text.
  static const std::string& MissingFieldText();

 private:
  void ExecuteAction(const std::string& word);
  void PickupFile(const std::string& path, bool intoBCC);
  TFormView* view_ = nullptr;
  bool closed_ = false;
  bool closing_ = false;  // Close has started: the pending socket wait is aborted
};

// The exit status of a finished run: the status of the last error the general
// error report showed, else esMissingField when ErrorMessage is set, else esOk.
int ExitStatusOfRun(const TForm1& form);
