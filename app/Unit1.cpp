#include "app/Unit1.h"

#include <signal.h>

#include <memory>

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/MacroReader.h"
#include "app/Rw_ini.h"
#include "app/Version.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"

namespace {

// The line without bytes below 33 at either end.
std::string TrimControls(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) < 33) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) < 33) --e;
  return s.substr(b, e - b);
}

void AppendAddress(std::string& field, const std::string& line) {
  if (field.empty())
    field = line;
  else
    field += "," + line;
}

}  // namespace

// ---------------------------------------------------------------- form

TForm1::TForm1(TComponent* owner)
    : TComponent(owner), Smtp(new TLxSMTP(this)), Links(new TMailAndHP(this)) {
  Name = "Form1";
  TLxSMTP& smtp = *Smtp;
  smtp.Name = "Smtp";
  smtp.Port = 25;
  smtp.ReportLevel = 0;
  // The X-Mailer text: receivers' filters compare it byte for byte.
  smtp.PostMessage.LocalProgram = "Tarvex(Ver" TARVEX_VERSION ")";
  smtp.EncodeType = uuMime;
  smtp.ClearParams = true;
  // Every send builds the body anew from the form: the component may free its lines
  // as it encodes them.
  smtp.KeepBody = false;
  smtp.SubType = mtPlain;
  smtp.Charset = "us-ascii";
  smtp.OnConnect = [this](TComponent*) { OnSmtpConnect(); };
  smtp.OnDisconnect = [this](TComponent*) { OnSmtpDisconnect(); };
  smtp.OnStatus = [this](TComponent*, const std::string& text) { OnSmtpStatus(text); };
  smtp.OnHostResolved = [this](TComponent*) { OnSmtpHostResolved(); };
  smtp.OnInvalidHost = [this](bool& handled) { OnSmtpInvalidHost(handled); };
  smtp.OnConnectionFailed = [this](TComponent*) { OnSmtpConnectionFailed(); };
  smtp.OnConnectionRequired = [this](bool& handled) { OnSmtpConnectionRequired(handled); };
  smtp.OnPacketSent = [this](TComponent*) { OnSmtpPacketSent(); };
  smtp.OnRecipientNotFound = [this](const std::string& r) { OnSmtpRecipientNotFound(r); };
  smtp.OnHeaderIncomplete = [this](bool& handled, int kind) { OnSmtpHeaderIncomplete(handled, kind); };
  smtp.OnSendStart = [this](TComponent*) { OnSmtpSendStart(); };
  smtp.OnSuccess = [this](TComponent*) { OnSmtpSuccess(); };
  smtp.OnFailure = [this](TComponent*) { OnSmtpFailure(); };
  smtp.OnEncodeStart = [this](const std::string& f) { OnSmtpEncodeStart(f); };
  smtp.OnEncodeEnd = [this](const std::string& f) { OnSmtpEncodeEnd(f); };
  smtp.OnMailListReturn = [this](const std::string& r) { OnSmtpMailListReturn(r); };
  smtp.OnAttachmentNotFound = [this](const std::string& f) { OnSmtpAttachmentNotFound(f); };
  smtp.OnDataReady = [this](TComponent*) { OnSmtpDataReady(); };
  Links->Name = "Links";
  Links->MailAddress = "tarvex@tarvex.example";
  Links->HomePageAddress = "https://tarvex.example/";
  AttachmentChooser.DefaultExt = "*";
  // The chooser's texts, "すべてのファイル(*.*)|*.*" and "添付ファイルの指定", written
  // in CP932 (the form's encoding) so that making a form loads no converter.
  AttachmentChooser.Filter = "\x82\xb7\x82\xd7\x82\xc4\x82\xcc\x83\x74\x83\x40\x83\x43\x83\x8b(*.*)|*.*";
  AttachmentChooser.Title = "\x93\x59\x95\x74\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8e\x77\x92\xe8";
  StartTimer.SetOnTick([this] { StartTimerTick(); });
}

void TForm1::SetRunOptions(const TRunOptions& options) {
  runOptions_ = options;
  // The trace goes beside the status bar: ReportLevel stays 0 for the form.
  Smtp->OnTrace = runOptions_.verbosity > 0 ? ConsoleTrace(runOptions_.verbosity) : TOnTrace();
}

TForm1::~TForm1() {
  MarkDestroying();
  StartTimer.SetEnabled(false);
}

const std::string& TForm1::MissingFieldText() {
  static const std::string text = Utf8ToCp932("必須項目を記入してください");
  return text;
}

void TForm1::Notify(TFormField field) {
  if (view_ && !Destroying()) view_->Changed(field);
}

void TForm1::SetStatus(const std::string& text) {
  StatusText = text;
  Notify(TFormField::StatusText);
}

void TForm1::FormCreate() {
  LoadSettings(*this);
  Left = FormLeft;
  Top = FormTop;
  Width = FormWidth;
  Height = FormHeight;
  AttachmentChooser.InitialDir = AttachDir;
  Notify(TFormField::Position);
  MacroPath.clear();
  StopRequested = MacroStarted = Connected = false;
  // The caller's result must be writable before anything is sent.
  if (!runOptions_.resultPath.empty()) CheckResultWritable(runOptions_.resultPath);
  Smtp->TimeOut = runOptions_.timeOut >= 0 ? runOptions_.timeOut : TimeOut;
  for (TFormField f : {TFormField::Server, TFormField::SenderAddress, TFormField::UserName, TFormField::Password,
                       TFormField::Port, TFormField::Security, TFormField::Charset, TFormField::Signature})
    Notify(f);
  if (!Params().empty()) {
    MacroPath = Params()[0];
    MacroPathElsewhere.clear();
    if (!HasDirectoryPart(MacroPath)) {
      // A bare name: the file beside the program when it is there, else the one in
      // the current folder (where a user who types the name has it).
      const std::string beside = ExeDir() + MacroPath;
      const std::string here = CurrentDir() + MacroPath;
      if (FileExists(beside) || !FileExists(here)) {
        MacroPath = beside;
        if (!FileExists(beside)) MacroPathElsewhere = here;
      } else {
        MacroPath = here;
      }
      StartTimer.SetEnabled(true);
    }
    // A run whose result could not be told sends nothing.
    CheckSettingsWritable();
  }
}

namespace {
// Runs the start-up macro and forgets its path afterwards, also when it fails.
struct ForgetPath {
  std::string& path;
  ~ForgetPath() { path.clear(); }
};
}  // namespace

void TForm1::FormActivate() {
  if (MacroPath.empty() || MacroStarted) return;
  MacroStarted = true;
  ForgetPath forget{MacroPath};
  ExecuteMacroFile(MacroPath);
}

void TForm1::StartTimerTick() {
  if (MacroPath.empty() || MacroStarted) return;
  StartTimer.SetEnabled(false);
  MacroStarted = true;
  ForgetPath forget{MacroPath};
  ExecuteMacroFile(MacroPath);
}

void TForm1::FormCloseQuery(bool& canClose) {
  SmtpAbort();
  canClose = true;
}

void TForm1::FormClose() {
  SmtpAbort();
  FormLeft = Left;
  FormTop = Top;
  FormWidth = Width;
  FormHeight = Height;
  AttachDir = AttachmentChooser.InitialDir;
  try {
    SaveSettings(*this);
  } catch (const ESettingsWriteError& e) {
    // The exit status says first of all whether the mail went out: once the server
    // has accepted one, a failed save is said, not made the run's status.
    if (!MailAccepted) throw;
    PrintError(std::string(e.what()) + Utf8ToCp932(" (the mail was sent)"));
  }
}

void TForm1::Interrupt(int signal) {
  if (!Interrupted) {
    Interrupted = true;
    InterruptText = std::string("interrupted by ") + (signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM");
    if (Smtp->FinalDotPending)
      InterruptText += "; the final \".\" was sent but not answered: the mail may or may not have been accepted";
  }
  StopRequested = true;
  SmtpAbort();
}

void TForm1::Close() {
  if (closed_) return;
  closing_ = true;
  bool canClose = true;
  try {
    FormCloseQuery(canClose);
    if (canClose) FormClose();
  } catch (...) {
    closing_ = false;  // the form stays open
    throw;
  }
  if (!canClose) {
    closing_ = false;
    return;
  }
  closed_ = true;
  StartTimer.SetEnabled(false);
  if (view_) view_->Closed();
  Application().Terminate();
}

void TForm1::ClearForm() {
  To.clear();
  Cc.clear();
  Bcc.clear();
  Subject.clear();
  SenderAddress.clear();
  AttachmentChooser.FileName.clear();
  MacroChooser.FileName.clear();
  Attachments.Clear();
  SelectedAttachment = -1;
  Body.Clear();
  AnswerTo.clear();
  ReadReceipt = false;
  Priority = TPriority::Normal;
  OwnHeaders.Clear();
  LeaveOffSignature = false;
  StopRequested = false;
  for (TFormField f : {TFormField::To, TFormField::Cc, TFormField::Bcc, TFormField::Subject,
                       TFormField::SenderAddress, TFormField::Attachments, TFormField::Body,
                       TFormField::AnswerTo, TFormField::ReadReceipt, TFormField::Priority,
                       TFormField::Signature})
    Notify(f);
}

void TForm1::ExecuteMacroFile(const std::string& path) {
  // The run's exit status is this run's: an error a button showed earlier is past.
  Application().ResetExitStatus();
  PagesEnabled = false;
  Notify(TFormField::Pages);
  // The form is enabled again however the run ends, an error included.
  struct Enable {
    TForm1& form;
    ~Enable() {
      form.PagesEnabled = true;
      form.Notify(TFormField::Pages);
    }
  };
  {
    Enable enable{*this};
    ClearForm();
    std::unique_ptr<TMacroLineReader> reader;
    try {
      reader = std::make_unique<TMacroLineReader>(path, runOptions_.utf8Macros);
    } catch (const EFOpenError& e) {
      // A bare name found in neither place: the error names both.
      if (!MacroPathElsewhere.empty() && path == MacroPath) {
        std::string other;
        try {
          TMacroLineReader elsewhere(MacroPathElsewhere);
        } catch (const EFOpenError& failed) {
          other = "; " + failed.Message();  // why it is not there either
        }
        throw EMacroOpenError(e.Message() + other);
      }
      throw EMacroOpenError(e.Message());
    }
    // Shift-JIS is only the default: a file a UTF-8 editor wrote would go out garbled,
    // so it stops before anything connects unless a character set was named.
    if (!runOptions_.utf8Macros && !runOptions_.charsetNamed && reader->IsUtf8Text())
      throw EMacroCharsetError(path + " is UTF-8 text, not Shift-JIS (CP932), the default: run with --charset utf-8 "
                               "(or --charset cp932 to send it as Shift-JIS anyway)");
    int section = msRem;
    TBodyRoom bodyRoom;
    while (true) {
      ProcessMessages();
      if (StopRequested) break;
      if (reader->Eof()) {
        reader->Close();
        break;
      }
      const int64_t before = reader->Offset();
      std::string line = reader->ReadLine();
      int keyword = MacroKeyword(line);
      if (keyword >= 0) {
        section = keyword;
        continue;
      }
      if (section == msBody) bodyRoom.Add(Body, reader->Offset() - before, reader->BytesLeft());
      ExecuteMacroLine(section, std::move(line));
      if (StopRequested) {
        reader->Close();
        Close();
        break;
      }
    }
  }
  if (StopRequested) Close();
}

TStringList TForm1::SignatureLines() const {
  TStringList lines;
  if (SignatureFile.empty()) return lines;
  try {
    TMacroLineReader reader(SignatureFile, runOptions_.utf8Macros);
    while (!reader.Eof()) lines.Add(reader.ReadLine());
  } catch (const Exception& e) {
    throw EConfigError("[Mail] Signature: " + e.Message());
  }
  return lines;
}

TStringList TForm1::BodyWithSignature() const {
  TStringList body = Body;
  if (LeaveOffSignature || SignatureFile.empty()) return body;
  body.Add("");
  for (const std::string& line : SignatureLines()) body.Add(line);
  return body;
}

void TForm1::PickupFile(const std::string& path, bool intoBCC) {
  if (!FileExists(path)) return;
  TMacroLineReader reader(path, runOptions_.utf8Macros);
  while (!reader.Eof()) {
    std::string line = reader.ReadLine();
    if (intoBCC)
      Bcc += "," + TrimControls(line);
    else
      Body.Add(std::move(line));
  }
  Notify(intoBCC ? TFormField::Bcc : TFormField::Body);
}

void TForm1::ExecuteMacroLine(int section, std::string line) {
  if (line.empty() && section != msBody) return;
  switch (section) {
    case msTo:
      AppendAddress(To, line);
      Notify(TFormField::To);
      break;
    case msCC:
      AppendAddress(Cc, line);
      Notify(TFormField::Cc);
      break;
    case msBCC:
      AppendAddress(Bcc, line);
      Notify(TFormField::Bcc);
      break;
    case msSubject:
      Subject = line;
      Notify(TFormField::Subject);
      break;
    case msReplyTo:
      SenderAddress = line;
      Notify(TFormField::SenderAddress);
      break;
    case msBody:
      Body.Add(std::move(line));
      Notify(TFormField::Body);
      break;
    case msBind:
      Attachments.Add(line);
      Notify(TFormField::Attachments);
      break;
    case msServer:
      Server = line;
      Notify(TFormField::Server);
      break;
    case msPickupBCC:
      PickupFile(line, true);
      break;
    case msPickupBody:
      PickupFile(line, false);
      break;
    case msAction:
      MacroMode = true;
      ExecuteAction(AsciiLowerCase(line));
      break;
    case msUpwd:
      Password = line;
      Notify(TFormField::Password);
      break;
    case msUname:
      UserName = line;
      Notify(TFormField::UserName);
      break;
    case msAnswerTo:
      AppendAddress(AnswerTo, line);
      Notify(TFormField::AnswerTo);
      break;
    case msReceipt:
      ReadReceipt = ParseReceipt(line);
      Notify(TFormField::ReadReceipt);
      break;
    case msPriority:
      Priority = ParsePriority(line);
      Notify(TFormField::Priority);
      break;
    case msHeader:
      OwnHeaders.Add(CheckOwnHeader(line));
      break;
    default:  // "rem" and unknown numbers
      break;
  }
}

void TForm1::ExecuteAction(const std::string& word) {
  if (word == "open") {
    if (Connected) return;
    int port = StrToInt(Port);
    SmtpConnect(Server, port, UserName);
    Connected = true;
    ActionPause();
  } else if (word == "close") {
    ActionPause();
    if (Connected) {
      SmtpDisconnect();
      Connected = false;
    }
  } else if (word == "send") {
    SendClick();
    ActionPause();
  } else if (word == "clear") {
    ClearForm();
  } else if (word == "end") {
    if (Connected) SmtpDisconnect();
    Connected = false;
    StopRequested = true;
  }
}

void TForm1::ActionPause() {
  // Without the pause the messages that came in meanwhile are still handled here,
  // so every handler runs in the same order.
  if (runOptions_.noPause)
    TMessagePump::Instance().ProcessMessages();
  else
    Pause(1000);
}

void TForm1::Pause(int ms) {
  TMessagePump& pump = TMessagePump::Instance();
  // Tick counts wrap; the difference of two of them, read as a signed 32-bit value,
  // orders them correctly across the wrap.
  const uint32_t deadline = pump.GetTickCount() + static_cast<uint32_t>(ms);
  while (true) {
    pump.ProcessMessages();
    int32_t left = static_cast<int32_t>(deadline - pump.GetTickCount());
    if (left < 0) return;
    pump.WaitMessage(static_cast<int>(static_cast<int64_t>(left) + 1 > INT32_MAX ? INT32_MAX : left + 1));
  }
}

// ---------------------------------------------------------------- buttons
// (SendClick, the send command, is in Unit1Send.cpp.)

void TForm1::ConnectClick() {
  if (Connected) return;
  int port = StrToInt(Port);
  SmtpConnect(Server, port, UserName);
  Connected = true;
}

void TForm1::DisconnectClick() {
  if (!Connected) return;
  // The component closes its socket also when QUIT fails, so the form's record
  // follows it in every case.
  struct Clear {
    bool& connected;
    ~Clear() { connected = false; }
  } clear{Connected};
  SmtpDisconnect();
}

void TForm1::VerifyClick() {
  const std::string address = UserName;
  const bool verified = Smtp->Verify(address);
  Dialogs().MessageBox(address + (verified ? " verified" : " not verified"));
}

void TForm1::AddAttachmentsClick() {
  std::vector<std::string> paths;
  if (!Dialogs().ChooseFiles(AttachmentChooser, paths) || paths.empty()) return;
  for (const std::string& path : paths) Attachments.Add(path);
  AttachmentChooser.FileName = paths.back();
  AttachmentChooser.InitialDir = ExtractFilePath(paths.back());
  Notify(TFormField::Attachments);
}

void TForm1::RemoveAttachmentClick() {
  if (SelectedAttachment < 0 || SelectedAttachment >= Attachments.Count()) return;
  Attachments.Delete(SelectedAttachment);
  SelectedAttachment = -1;
  Notify(TFormField::Attachments);
}

void TForm1::ExpandListClick() { Smtp->ExpandList(ListToExpand); }

void TForm1::RunMacroClick() {
  MacroChooser.FileName.clear();
  static const std::string filter = Utf8ToCp932("ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt");
  MacroChooser.Filter = filter;
  std::string path;
  if (!Dialogs().ChooseFile(MacroChooser, path)) return;
  MacroChooser.FileName = path;
  ExecuteMacroFile(path);
}

void TForm1::ClearClick() { ClearForm(); }

void TForm1::HomePageClick() { Links->OpenHomePage(); }

void TForm1::MailLinkClick() { Links->OpenMail(); }
