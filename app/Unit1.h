// Unit1: the mail form TForm1 as a model: its data fields and the application
// state, its life from creation to close, the macro run and the pause that keeps
// messages flowing. A window observes the model through TFormView (FormView.h).
// The send command is defined in Unit1Send.cpp, the SMTP event handlers in
// Unit1Events.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/FormTimer.h"
#include "app/FormView.h"
#include "app/MailHP.h"
#include "app/MailSend.h"
#include "app/OfficeMail.h"
#include "app/RunOptions.h"
#include "app/Rw_ini.h"
#include "app/SentRecord.h"
#include "platform/Component.h"
#include "platform/Dialogs.h"
#include "platform/StringList.h"
#include "smtp/Lxsmtp.h"

// The main form: one outgoing mail, the data of one SMTP server and the
// application state. All texts are CP932 bytes.
class TForm1 : public TComponent {
 public:
  explicit TForm1(TComponent* owner = nullptr);
  ~TForm1() override;

  // --- Mail page
  std::string To, Cc, Bcc;          // recipients, "," separated
  std::string Subject;
  // The sender address (the From header and the envelope sender); the settings keep
  // it between runs and the macro's reply-to: sets it.
  std::string SenderAddress;
  TStringList Attachments;          // attachment paths
  int SelectedAttachment = -1;      // index into Attachments, -1 for none
  TStringList Body;                 // the body, one string per line
  std::string AnswerTo;             // where answers go (the Reply-To header), "," separated
  bool ReadReceipt = false;         // ask for a read receipt (Disposition-Notification-To)
  TPriority Priority = TPriority::Normal;
  TStringList OwnHeaders;           // the macro's own header lines, checked ("Name: value")
  bool LeaveOffSignature = false;   // this mail goes without the signature
  // --- Connection page (loaded from the settings at creation, saved at close)
  std::string Server;               // the SMTP host
  // The port as the window's field holds it: decimal text, converted at connect
  // (EConvertError when it is no integer). The settings keep it as a number: an
  // unreadable one loads as 25, and a text that is no integer saves as 25.
  std::string Port = "25";
  std::string UserName;             // the EHLO/HELO argument and the AUTH login name
  std::string Password;             // the AUTH password (unused with PasswordCommand)
  std::string DisplayName;          // the sender's display name
  std::string ListToExpand;         // the mailing list to expand
  TStringList ListMembers;          // members of the expanded lists
  // --- Window
  std::string StatusText;           // the status bar's text
  bool PagesEnabled = true;         // false while a macro runs
  int Left = 0, Top = 0;
  int Width = 0, Height = 0;        // the window's size; 0: its own
  TFileChooser AttachmentChooser, MacroChooser;
  TFormTimer StartTimer{1000};      // start-up timer, disabled at creation

  // --- Application state
  int FormTop = 80, FormLeft = 80;
  int FormWidth = 0, FormHeight = 0;  // the window's size kept by the settings; 0: its own
  std::string AttachDir;              // the folder the attachment chooser opens in
  std::string SentFolder;             // [Mail] SentFolder: the Maildir for copies of sent mail; empty: none
  std::string SendLog;                // [Mail] Log: the file of one JSON line per send; empty: none
  std::string SignatureFile;          // [Mail] Signature: added to every body; empty: none
  std::string OwnDomains;             // [Mail] OwnDomains: the company's domains, "," separated
  std::string SendCheck = "on";       // [Mail] SendCheck: "on" or "off" (ASCII case ignored)
  int32_t TimeOut = 0;              // SMTP/TimeOut of the settings file, ms (0: no limit)
  // Secure submission ([SMTP] in the settings file; no macro keyword changes them).
  TSecuritySetting SmtpSecurity = SecurityChoice(ssNone);  // ssNone (EHLO or HELO), ssStartTls or ssTls
  THelloSetting SmtpHello = ParseHelloSetting("");          // [SMTP] Hello: EHLO first, or HELO only
  std::string MailNotify, MailReturn;  // [Mail] Notify and Return as read (checked at connect)
  TAuthSetting SmtpAuth = AuthChoice(saNone);  // the AUTH mechanism (UserName and Password or PasswordCommand)
  bool VerifyCert = true;             // the server's certificate must be trusted and for the host
  std::string CAFile;                 // an extra trust anchor file (PEM), empty for none
  std::string PasswordCommand;        // prints the password or token AUTH needs; empty: Password holds it
  // [Mail] Charset: auto (ISO-2022-JP when the text fits it, else UTF-8),
  // iso-2022-jp (the earlier bytes) or utf-8.
  TCharsetSetting MailCharsetSetting = CharsetChoice(TCharsetChoice::Auto);
  // The charset the last send chose for its message (read by the header rewrite).
  MailCharset MessageCharset = MailCharset::Iso2022JpLegacy;
  std::string MailResult, ErrorMessage;
  // How the run ended, for the Result section besides MailRes and ErrMes: the
  // recipients the server refused ("a@x 550 ...", "; " between them) and the
  // attachment files left out, over every send of the run.
  std::string Refused, Missing;
  // What could not be kept of a sent mail (its copy, its log line), "; " between.
  std::string Warning;
  bool MailAccepted = false;   // the server accepted a message in this run
  bool Interrupted = false;    // a termination signal aborted the run
  std::string InterruptText;   // the run's error then ("interrupted ...")
  std::string SettingsError;   // a settings value that names nothing (raised at connect)
  std::string MacroPath;
  std::string MacroPathElsewhere;  // the other place a bare macro name was looked for, when neither holds it
  bool MacroStarted = false;
  bool StopRequested = false;
  bool Connected = false;
  bool Multipart = false;
  bool MacroMode = false;

  // The options of this run (command line, environment); the runners set them
  // before FormCreate. The trace of the SMTP dialogue follows their verbosity.
  void SetRunOptions(const TRunOptions& options);
  const TRunOptions& RunOptions() const { return runOptions_; }

  // Attaches the view that observes the form (nullptr: none).
  void SetView(TFormView* view) { view_ = view; }
  // Tells the view that a field changed.
  void Notify(TFormField field);
  // Shows text in the status bar.
  void SetStatus(const std::string& text);

  // Form creation: loads the settings (the connection fields and the sender
  // address among them), places the form, shows the connection fields and takes
  // the first command-line argument (Params()) as the macro path (which also
  // enables StartTimer): a bare file name means the file beside the executable
  // when it is there, else the one in the current folder. A missing or broken
  // settings file is no error; with a macro, a settings file that cannot be
  // written throws ESettingsWriteError, since the run's result could not be told.
  void FormCreate();
  // Activation: runs the start-up macro once. Throws what the run throws.
  void FormActivate();
  // Start-up timer tick: runs the start-up macro if it has not started yet.
  void StartTimerTick();
  // Close request: cancels the pending socket operation; always allows closing.
  void FormCloseQuery(bool& canClose);
  // Closing: cancels the pending socket operation, takes the position into the
  // state and saves the settings (the connection fields as they stand) and the
  // result.
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
  // Applies one content line to the form as section (0-17) says.
  void ExecuteMacroLine(int section, std::string line);
  // Empties the mail fields, the attachment list and the body, forgets the file
  // choosers' last names and clears StopRequested; the connection page stays.
  void ClearForm();
  // Returns after at least ms milliseconds, processing messages all the time and
  // blocking in the pump between passes.
  void Pause(int ms);
  // The pause after "open", "send" and "close": Pause(1000), or, with the run
  // option noPause, one pass of message processing.
  void ActionPause();

  // --- Components owned by the form
  TLxSMTP* Smtp;        // the SMTP client, its events bound to the handlers below
  TMailAndHP* Links;  // the about panel's links

  // --- Buttons. Errors go to the caller (the general error report).
  // Connect: host, port (Port as a decimal integer; EConvertError otherwise) and
  // user identifier to the component, then Connect; Connected once it returned.
  void ConnectClick();
  // Disconnect, when Connected.
  void DisconnectClick();
  // Verify the address in UserName and show the answer.
  void VerifyClick();
  // Add the attachments chosen with AttachmentChooser (one or more files); the chooser
  // opens in their folder the next time.
  void AddAttachmentsClick();
  // Remove the selected attachment.
  void RemoveAttachmentClick();
  // The send command. A required field (To, Subject, sender address) that is empty
  // or only blanks ends it: under a macro the error is recorded in ErrorMessage, StopRequested is
  // set and the form is closed; otherwise a message box shows the error. With all
  // fields present it runs SendCommand; an address too long for one header line
  // throws EAddressTooLong first.
  void SendClick();
  // A termination signal: aborts the operation in progress as closing the window
  // does, stops a macro run and records the interruption for the result (whether
  // the final "." of a message was sent without its answer is said).
  void Interrupt(int signal);
  // Expand the list named in ListToExpand; the answer arrives in ListMembers.
  void ExpandListClick();
  // Load and run a macro file chosen with MacroChooser (text files only).
  void RunMacroClick();
  // Clear the mail fields.
  void ClearClick();
  void HomePageClick();  // the home page link
  void MailLinkClick();  // the mail link

  // --- Handlers of the SMTP component's events
  void OnSmtpConnect();
  void OnSmtpDisconnect();
  void OnSmtpStatus(const std::string& status);
  void OnSmtpHostResolved();
  void OnSmtpInvalidHost(bool& handled);
  void OnSmtpConnectionFailed();
  void OnSmtpConnectionRequired(bool& handled);
  void OnSmtpPacketSent();
  // Shows the refused recipient; the send goes on with the others.
  void OnSmtpRecipientNotFound(const std::string& recipient);
  void OnSmtpHeaderIncomplete(bool& handled, int kind);
  // Rewrites the generated header block just before it is sent: single blanks,
  // the ISO-2022-JP charset, encoded words, the multipart content type (when the
  // body is multipart) and a Message-ID.
  void OnSmtpSendStart();
  void OnSmtpSuccess();
  void OnSmtpFailure();
  void OnSmtpEncodeStart(const std::string& fileName);
  void OnSmtpEncodeEnd(const std::string& fileName);
  void OnSmtpMailListReturn(const std::string& reply);
  void OnSmtpAttachmentNotFound(const std::string& fileName);
  // The message is final: writes the header block and the body stream to the dump
  // file when the run has one.
  // Throws EDumpWriteError when it cannot be written.
  void OnSmtpDataReady();
  // Single blanks, charset and encoded words on the component's final header.
  void AdjustFinalHeader();
  // The texts besides the body lines that decide the message's charset: subject,
  // sender name and address, To and CC, and the attachments' file names.
  std::vector<std::string> MessageTexts() const;

  // --- The form's calls into the SMTP component (virtual: tests replace them).
  // Gives the component host, port, user identifier, the password (Password, or the
  // first line PasswordCommand prints when one is set and AUTH is on) and the secure
  // submission settings, and connects. Throws EConfigError for a port outside 1 to
  // 65535 or a setting that names no value (before anything is sent), what
  // RunPasswordCommand throws, and what Connect throws.
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
  // Frees the message the last send built (the component's body stream and lines)
  // and gives the freed memory back to the system. A send builds its message anew
  // from the form, so nothing is lost; a window stays open for hours after a large
  // attachment went out. SendCommand calls it whatever the send's outcome.
  void ReleaseMessage();

  // The lines of the signature file (read as the run reads macro files), empty
  // without one. Throws EConfigError naming the file when it cannot be read.
  TStringList SignatureLines() const;
  // The body as it goes out: the body lines, and unless LeaveOffSignature, one empty
  // line and the signature's lines. Throws as SignatureLines.
  TStringList BodyWithSignature() const;

  // The recipients of the mail grouped by domain, when the window is to confirm it
  // before it goes: SendCheck on, OwnDomains set and a recipient outside them;
  // empty otherwise. Throws EConfigError for a SendCheck that is neither on nor off.
  std::vector<TRecipientGroup> SendCheckGroups() const;

  // The missing-field text.
  static const std::string& MissingFieldText();

 private:
  void ExecuteAction(const std::string& word);
  // Keeps what the settings ask of the send that just ended with status: its log
  // line, and with esOk its copy in the sent folder (written while the body went
  // out). What cannot be written is a warning (stderr and Warning), never the send's error.
  void RecordSend(int status, const std::string& reply, const TStringList& attachments);
  void PickupFile(const std::string& path, bool intoBCC);
  TRunOptions runOptions_;
  TFormView* view_ = nullptr;
  bool closed_ = false;
  bool closing_ = false;  // Close has started: the pending socket wait is aborted
  // The sent copy of the message going out, or why it could not be begun.
  std::unique_ptr<TSentCopy> sentCopy_;
  std::string sentCopyError_;
};
