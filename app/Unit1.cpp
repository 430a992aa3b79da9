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
    : TComponent(owner), LxSMTP1(new TLxSMTP(this)), MailAndHP1(new TMailAndHP(this)) {
  Name = "Form1";
  TLxSMTP& smtp = *LxSMTP1;
  smtp.Name = "LxSMTP1";
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
  smtp.OnConnect = [this](TComponent*) { LxSMTP1Connect(); };
  smtp.OnDisconnect = [this](TComponent*) { LxSMTP1Disconnect(); };
  smtp.OnStatus = [this](TComponent*, const std::string& text) { LxSMTP1Status(text); };
  smtp.OnHostResolved = [this](TComponent*) { LxSMTP1HostResolved(); };
  smtp.OnInvalidHost = [this](bool& handled) { LxSMTP1InvalidHost(handled); };
  smtp.OnConnectionFailed = [this](TComponent*) { LxSMTP1ConnectionFailed(); };
  smtp.OnConnectionRequired = [this](bool& handled) { LxSMTP1ConnectionRequired(handled); };
  smtp.OnPacketSent = [this](TComponent*) { LxSMTP1PacketSent(); };
  smtp.OnRecipientNotFound = [this](const std::string& r) { LxSMTP1RecipientNotFound(r); };
  smtp.OnHeaderIncomplete = [this](bool& handled, int kind) { LxSMTP1HeaderIncomplete(handled, kind); };
  smtp.OnSendStart = [this](TComponent*) { LxSMTP1SendStart(); };
  smtp.OnSuccess = [this](TComponent*) { LxSMTP1Success(); };
  smtp.OnFailure = [this](TComponent*) { LxSMTP1Failure(); };
  smtp.OnEncodeStart = [this](const std::string& f) { LxSMTP1EncodeStart(f); };
  smtp.OnEncodeEnd = [this](const std::string& f) { LxSMTP1EncodeEnd(f); };
  smtp.OnMailListReturn = [this](const std::string& r) { LxSMTP1MailListReturn(r); };
  smtp.OnAttachmentNotFound = [this](const std::string& f) { LxSMTP1AttachmentNotFound(f); };
  smtp.OnDataReady = [this](TComponent*) { LxSMTP1DataReady(); };
  MailAndHP1->Name = "MailAndHP1";
  MailAndHP1->MailAddress = "tarvex@tarvex.example";
  MailAndHP1->HomePageAddress = "https://tarvex.example/";
  OpenDialog1.DefaultExt = "*";
  OpenDialog1.Filter = Utf8ToCp932("すべてのファイル(*.*)|*.*");
  OpenDialog1.Title = Utf8ToCp932("添付ファイルの指定");
  Timer1.SetOnTick([this] { Timer1Timer(); });
}

void TForm1::SetRunOptions(const TRunOptions& options) {
  runOptions_ = options;
  // The trace goes beside the status bar: ReportLevel stays 0 for the form.
  LxSMTP1->OnTrace = runOptions_.verbosity > 0 ? ConsoleTrace(runOptions_.verbosity) : TOnTrace();
}

TForm1::~TForm1() {
  MarkDestroying();
  Timer1.SetEnabled(false);
}

const std::string& TForm1::MissingFieldText() {
  static const std::string text = Utf8ToCp932("必須項目を記入してください");
  return text;
}

void TForm1::Notify(TFormField field) {
  if (view_ && !Destroying()) view_->Changed(field);
}

void TForm1::SetStatus(const std::string& text) {
  StatusBar1 = text;
  Notify(TFormField::StatusBar1);
}

void TForm1::FormCreate() {
  LoadSettings(*this);
  Left = FormLeft;
  Top = FormTop;
  Width = FormWidth;
  Height = FormHeight;
  OpenDialog1.InitialDir = AttachDir;
  Notify(TFormField::Position);
  MacroPath.clear();
  StopRequested = MacroStarted = Connected = false;
  // The caller's result must be writable before anything is sent.
  if (!runOptions_.resultPath.empty()) CheckResultWritable(runOptions_.resultPath);
  eSMTPServer = ServerAddress;
  eHomeAddr = SenderAddress;
  Edit3 = UserName;
  Edit4 = Password;
  Edit2 = IntToStr(PortNumber);
  LxSMTP1->TimeOut = runOptions_.timeOut >= 0 ? runOptions_.timeOut : TimeOut;
  for (TFormField f : {TFormField::eSMTPServer, TFormField::eHomeAddr, TFormField::Edit3, TFormField::Edit4,
                       TFormField::Edit2, TFormField::Security, TFormField::Charset, TFormField::Signature})
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
      Timer1.SetEnabled(true);
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

void TForm1::Timer1Timer() {
  if (MacroPath.empty() || MacroStarted) return;
  Timer1.SetEnabled(false);
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
  AttachDir = OpenDialog1.InitialDir;
  ServerAddress = eSMTPServer;
  SenderAddress = eHomeAddr;
  UserName = Edit3;
  Password = Edit4;
  PortNumber = StrToIntDef(Edit2, 25);
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
    if (LxSMTP1->FinalDotPending)
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
  Timer1.SetEnabled(false);
  if (view_) view_->Closed();
  Application().Terminate();
}

void TForm1::ClearForm() {
  eTo.clear();
  eCC.clear();
  eBCC.clear();
  eSubject.clear();
  eHomeAddr.clear();
  OpenDialog1.FileName.clear();
  OpenDialog2.FileName.clear();
  ListBox1.Clear();
  ListBox1ItemIndex = -1;
  reMessageText.Clear();
  AnswerTo.clear();
  ReadReceipt = false;
  Priority = TPriority::Normal;
  OwnHeaders.Clear();
  LeaveOffSignature = false;
  StopRequested = false;
  for (TFormField f : {TFormField::eTo, TFormField::eCC, TFormField::eBCC, TFormField::eSubject,
                       TFormField::eHomeAddr, TFormField::ListBox1, TFormField::reMessageText,
                       TFormField::AnswerTo, TFormField::ReadReceipt, TFormField::Priority,
                       TFormField::Signature})
    Notify(f);
}

void TForm1::ExecuteMacroFile(const std::string& path) {
  // The run's exit status is this run's: an error a button showed earlier is past.
  Application().ResetExitStatus();
  PageControl1Enabled = false;
  Notify(TFormField::PageControl1);
  // The form is enabled again however the run ends, an error included.
  struct Enable {
    TForm1& form;
    ~Enable() {
      form.PageControl1Enabled = true;
      form.Notify(TFormField::PageControl1);
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
      if (section == msBody) bodyRoom.Add(reMessageText, reader->Offset() - before, reader->BytesLeft());
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
  TStringList body = reMessageText;
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
      eBCC += "," + TrimControls(line);
    else
      reMessageText.Add(std::move(line));
  }
  Notify(intoBCC ? TFormField::eBCC : TFormField::reMessageText);
}

void TForm1::ExecuteMacroLine(int section, std::string line) {
  if (line.empty() && section != msBody) return;
  switch (section) {
    case msTo:
      AppendAddress(eTo, line);
      Notify(TFormField::eTo);
      break;
    case msCC:
      AppendAddress(eCC, line);
      Notify(TFormField::eCC);
      break;
    case msBCC:
      AppendAddress(eBCC, line);
      Notify(TFormField::eBCC);
      break;
    case msSubject:
      eSubject = line;
      Notify(TFormField::eSubject);
      break;
    case msReplyTo:
      eHomeAddr = line;
      Notify(TFormField::eHomeAddr);
      break;
    case msBody:
      reMessageText.Add(std::move(line));
      Notify(TFormField::reMessageText);
      break;
    case msBind:
      ListBox1.Add(line);
      Notify(TFormField::ListBox1);
      break;
    case msServer:
      eSMTPServer = line;
      ServerAddress = eSMTPServer;
      Notify(TFormField::eSMTPServer);
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
      Edit4 = line;
      Notify(TFormField::Edit4);
      break;
    case msUname:
      Edit3 = line;
      Notify(TFormField::Edit3);
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
    int port = StrToInt(Edit2);
    SmtpConnect(ServerAddress, port, Edit3);
    Connected = true;
    ActionPause();
  } else if (word == "close") {
    ActionPause();
    if (Connected) {
      SmtpDisconnect();
      Connected = false;
    }
  } else if (word == "send") {
    Button6Click();
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
// (Button6Click, the send command, is in Unit1Send.cpp.)

void TForm1::Button1Click() {
  if (Connected) return;
  int port = StrToInt(Edit2);
  SmtpConnect(eSMTPServer, port, Edit3);
  Connected = true;
}

void TForm1::Button2Click() {
  if (!Connected) return;
  // The component closes its socket also when QUIT fails, so the form's record
  // follows it in every case.
  struct Clear {
    bool& connected;
    ~Clear() { connected = false; }
  } clear{Connected};
  SmtpDisconnect();
}

void TForm1::Button3Click() {
  const std::string address = Edit3;
  const bool verified = LxSMTP1->Verify(address);
  Dialogs().MessageBox(address + (verified ? " verified" : " not verified"));
}

void TForm1::Button4Click() {
  std::vector<std::string> paths;
  if (!Dialogs().ChooseFiles(OpenDialog1, paths) || paths.empty()) return;
  for (const std::string& path : paths) ListBox1.Add(path);
  OpenDialog1.FileName = paths.back();
  OpenDialog1.InitialDir = ExtractFilePath(paths.back());
  Notify(TFormField::ListBox1);
}

void TForm1::Button5Click() {
  if (ListBox1ItemIndex < 0 || ListBox1ItemIndex >= ListBox1.Count()) return;
  ListBox1.Delete(ListBox1ItemIndex);
  ListBox1ItemIndex = -1;
  Notify(TFormField::ListBox1);
}

void TForm1::Button7Click() { LxSMTP1->ExpandList(Edit11); }

void TForm1::Button8Click() {
  OpenDialog2.FileName.clear();
  static const std::string filter = Utf8ToCp932("ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt");
  OpenDialog2.Filter = filter;
  std::string path;
  if (!Dialogs().ChooseFile(OpenDialog2, path)) return;
  OpenDialog2.FileName = path;
  ExecuteMacroFile(path);
}

void TForm1::Button9Click() { ClearForm(); }

void TForm1::Label17Click() { MailAndHP1->OpenHomePage(); }

void TForm1::Label18Click() { MailAndHP1->OpenMail(); }
