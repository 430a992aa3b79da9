#include "app/Unit1.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/MacroReader.h"
#include "app/MailSend.h"
#include "app/Rw_ini.h"
#include "app/Version.h"
#include "jmail/MailJstr.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"
#include "platform/Streams.h"

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
  eSMTPServer = ServerAddress;
  eHomeAddr = SenderAddress;
  Edit3 = UserName;
  Edit4 = Password;
  Edit2 = IntToStr(PortNumber);
  LxSMTP1->TimeOut = runOptions_.timeOut >= 0 ? runOptions_.timeOut : TimeOut;
  for (TFormField f : {TFormField::eSMTPServer, TFormField::eHomeAddr, TFormField::Edit3, TFormField::Edit4,
                       TFormField::Edit2, TFormField::Security, TFormField::Charset})
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
  StopRequested = false;
  for (TFormField f : {TFormField::eTo, TFormField::eCC, TFormField::eBCC, TFormField::eSubject,
                       TFormField::eHomeAddr, TFormField::ListBox1, TFormField::reMessageText})
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
      if (!MacroPathElsewhere.empty() && path == MacroPath)
        throw EMacroOpenError(e.Message() + "; " + FileOpenError(MacroPathElsewhere).Message());
      throw EMacroOpenError(e.Message());
    }
    int section = msRem;
    while (true) {
      ProcessMessages();
      if (StopRequested) break;
      if (reader->Eof()) {
        reader->Close();
        break;
      }
      std::string line = reader->ReadLine();
      int keyword = MacroKeyword(line);
      if (keyword >= 0)
        section = keyword;
      else
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

namespace {
// True for a text that holds nothing but blanks (or nothing at all).
bool Blank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

// Refuses an address that cannot fit one header line (or command line) of the mail.
void CheckAddressLengths(const char* field, const std::string& text) {
  constexpr size_t kLongest = 998 - sizeof "Bcc: " + 1;
  TStringList entries;
  SplitAddresses(text, entries);
  for (const std::string& entry : entries)
    if (entry.size() > kLongest)
      throw EAddressTooLong(std::string("The ") + field + " address is too long for a mail header line (" +
                            IntToStr(static_cast<int>(entry.size())) + " > " + IntToStr(static_cast<int>(kLongest)) +
                            " octets): " + entry.substr(0, 40) + "...");
}

// Why an attachment file cannot be sent, or nullptr when it can.
const char* AttachmentProblem(const std::string& path) {
  const int fd = ::open(ToOsPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? "missing" : "unreadable";
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular ? nullptr : "not a regular file";
}

void AppendItem(std::string& list, const std::string& item) { list += (list.empty() ? "" : "; ") + item; }
}  // namespace

void TForm1::Button6Click() {
  if (Blank(eTo) || Blank(eSubject) || Blank(eHomeAddr)) {
    if (MacroMode) {
      ErrorMessage = MissingFieldText();
      StopRequested = true;
      Close();
    } else {
      Dialogs().MessageBox(MissingFieldText());
    }
    return;
  }
  CheckAddressLengths("To", eTo);
  CheckAddressLengths("CC", eCC);
  CheckAddressLengths("BCC", eBCC);
  CheckAddressLengths("sender", eHomeAddr);
  SendCommand();
}

// ---------------------------------------------------------------- SMTP calls

void TForm1::SmtpConnect(const std::string& host, int port, const std::string& userId) {
  LxSMTP1->Host = host;
  LxSMTP1->Port = port;
  LxSMTP1->UserID = userId;
  if (runOptions_.noSend) return;
  // Settings that name nothing stop the run before a connection is made.
  if (port < 1 || port > 65535) throw EConfigError("Unknown [SMTP] Port value \"" + IntToStr(port) + "\" (1 to 65535)");
  if (!SettingsError.empty()) throw EConfigError(SettingsError);
  LxSMTP1->Security = SmtpSecurityOf(SmtpSecurity);
  LxSMTP1->Auth = SmtpAuthOf(SmtpAuth);
  // The secret of a password command goes to the component only, never into Edit4
  // (saved in the settings file) nor into a trace.
  LxSMTP1->Password = LxSMTP1->Auth != saNone && !PasswordCommand.empty() ? RunPasswordCommand(PasswordCommand) : Edit4;
  LxSMTP1->VerifyCert = VerifyCert;
  LxSMTP1->CAFile = CAFile;
  LxSMTP1->Connect();
}

void TForm1::SmtpDisconnect() {
  if (runOptions_.noSend) return;
  // Once the form is closing nobody waits for the server's goodbye: a QUIT to a
  // server that does not answer would keep the program alive after its window.
  if (closing_) {
    LxSMTP1->TLxSocket::Disconnect();
    return;
  }
  LxSMTP1->Disconnect();
}

void TForm1::SmtpAbort() { LxSMTP1->Abort(); }

void TForm1::SendCommand() {
  // Last of all, whatever the outcome: the message built is not kept.
  struct Release {
    TForm1& form;
    ~Release() { form.ReleaseMessage(); }
  } release{*this};
  // Whatever happens from here on, the command ends disconnected.
  struct Disconnect {
    TForm1& form;
    bool armed = true;
    ~Disconnect() {
      if (!armed) return;
      try {
        form.Button2Click();
      } catch (...) {
        // The error that ended the send is the one to report.
      }
    }
  } disconnect{*this};

  // A charset setting that is none of its values stops the send before it connects.
  const TCharsetChoice charsetChoice = CharsetChoiceOf(MailCharsetSetting);

  // The refusals of this send, whatever its outcome, are told in the result.
  struct CollectRefusals {
    TForm1& form;
    ~CollectRefusals() {
      for (const TRefusal& r : form.LxSMTP1->Refusals) {
        // The address as a word of its own: an entry may carry blanks around it.
        const size_t first = r.Address.find_first_not_of(" \t");
        const size_t last = r.Address.find_last_not_of(" \t");
        const std::string address = first == std::string::npos ? "" : r.Address.substr(first, last - first + 1);
        AppendItem(form.Refused, address + " " + r.Reply);
      }
      form.LxSMTP1->Refusals.clear();
    }
  } collect{*this};

  if (!Connected) Button1Click();
  TPostMessage& m = LxSMTP1->PostMessage;
  // The fields may have changed while the connection was being made.
  if (Blank(eSubject)) return;
  m.FromAddress = eHomeAddr;
  m.FromName = Edit5;
  MessageCharset = ChooseMailCharset(charsetChoice, MessageTexts());
  m.Subject = MessageCharset == MailCharset::Utf8 ? EncodeSubjectUtf8(eSubject) : EncodeSubject(eSubject);
  if (Blank(eTo)) return;
  // Every send starts from the form's fields: a failed send before left its
  // recipients in the lists, which must not go out twice.
  m.ToAddress.Clear();
  m.ToCarbonCopy.Clear();
  m.ToBlindCarbonCopy.Clear();
  SplitAddresses(eTo, m.ToAddress);
  if (!eBCC.empty()) SplitAddresses(eBCC, m.ToBlindCarbonCopy);
  if (!eCC.empty()) SplitAddresses(eCC, m.ToCarbonCopy);
  Multipart = !ListBox1.Empty();
  // A file that cannot be sent is left out, as before, and now told: one line on
  // stderr each and the result's Missing key.
  TStringList attachments;
  for (const std::string& path : ListBox1) {
    if (const char* problem = AttachmentProblem(path)) {
      PrintError("attachment not sent (" + std::string(problem) + "): " + path);
      AppendItem(Missing, path);
    } else {
      attachments.Add(path);
    }
  }
  m.Body = BuildBodyLines(reMessageText, attachments, Multipart, MessageCharset);
  // Receivers require a Date header; the component writes it unchanged.
  m.Date = MailDate(std::time(nullptr));
  if (runOptions_.noSend) {
    // What SendMail does before its first command, then success without a server.
    LxSMTP1->BuildMessage();
    LxSMTP1SendStart();
    LxSMTP1->CheckMessage();
    LxSMTP1DataReady();
    if (LxSMTP1->ClearParams) LxSMTP1->ClearRecipients();
    LxSMTP1Success();
  } else {
    LxSMTP1->SendMail();
  }
  disconnect.armed = false;
  try {
    Button2Click();
  } catch (const std::exception&) {
    // The server has accepted the message: a failed QUIT changes nothing about it,
    // and an error status would make the caller send it a second time.
  }
  ClearForm();
}

void TForm1::ReleaseMessage() {
  TLxSMTP& smtp = *LxSMTP1;
  if (smtp.BodyStream.Size() == 0 && smtp.PostMessage.Body.Empty()) return;
  (void)smtp.BodyStream.Release();
  smtp.PostMessage.Body = TStringList();
  // What the message's lines left free in the heap goes back to the system now,
  // not whenever a later free happens to reach the heap's top.
  ::malloc_trim(0);
}

// ---------------------------------------------------------------- buttons

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

// ---------------------------------------------------------------- SMTP events

void TForm1::LxSMTP1Connect() { SetStatus("Connected"); }

void TForm1::LxSMTP1Disconnect() {
  if (!Destroying()) SetStatus("Disconnected");
}

void TForm1::LxSMTP1Status(const std::string& status) {
  if (!Destroying()) SetStatus(status);
}

void TForm1::LxSMTP1HostResolved() { SetStatus("Host Resolved"); }

void TForm1::LxSMTP1InvalidHost(bool& handled) {
  std::string host;
  if (!Dialogs().InputBox("Invalid Host!", "Specify a new host:", host)) return;
  LxSMTP1->Host = host;
  handled = true;
}

void TForm1::LxSMTP1ConnectionFailed() {
  Dialogs().MessageBox("Connection Failed");
  Connected = false;
}

void TForm1::LxSMTP1ConnectionRequired(bool& handled) {
  if (!Dialogs().Confirm("Connection Required. Connect?")) return;
  handled = true;
  LxSMTP1->Connect();
  Connected = true;
}

void TForm1::LxSMTP1PacketSent() {
  SetStatus(IntToStr(LxSMTP1->BytesSent) + " bytes of " + IntToStr(LxSMTP1->BytesTotal) + " sent");
}

void TForm1::LxSMTP1RecipientNotFound(const std::string& recipient) {
  Dialogs().MessageBox("Recipient \"" + recipient + "\" not found");
}

void TForm1::LxSMTP1HeaderIncomplete(bool&, int) { Dialogs().MessageBox("Header Incomplete."); }

void TForm1::AdjustFinalHeader() { AdjustHeader(LxSMTP1->FinalHeader, MessageCharset); }

void TForm1::LxSMTP1SendStart() {
  AdjustFinalHeader();
  if (Multipart)
    UseMultipartHeader(LxSMTP1->FinalHeader, MessageCharset);
  else if (MessageCharset == MailCharset::Utf8)
    UseBase64Body(LxSMTP1->FinalHeader);
  AddMessageId(LxSMTP1->FinalHeader, LxSMTP1->PostMessage.FromAddress);
  // Last: no line of the header the server gets may exceed 998 octets (78 in UTF-8).
  FoldHeader(LxSMTP1->FinalHeader, MessageCharset);
}

std::vector<std::string> TForm1::MessageTexts() const {
  // Everything of the form that goes into the header or the text of the message.
  std::vector<std::string> texts{eSubject, Edit5, eHomeAddr, eTo, eCC};
  for (const std::string& line : reMessageText) texts.push_back(line);
  for (const std::string& path : ListBox1) texts.push_back(ExtractFileName(path));
  return texts;
}

void TForm1::LxSMTP1Success() {
  MailAccepted = true;
  SetStatus("Success");
}

void TForm1::LxSMTP1Failure() { SetStatus("Failure"); }

void TForm1::LxSMTP1EncodeStart(const std::string& fileName) { SetStatus("Encoding " + fileName); }

void TForm1::LxSMTP1EncodeEnd(const std::string&) { AdjustFinalHeader(); }

void TForm1::LxSMTP1MailListReturn(const std::string& reply) {
  // The reply comes with its line end; the list shows it as one line.
  std::string line = reply;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  Memo2.Add(line);
  Notify(TFormField::Memo2);
}

// "not Exist" as spelled: callers compare the status text byte for byte.
void TForm1::LxSMTP1AttachmentNotFound(const std::string& fileName) { SetStatus(fileName + " not Exist"); }

void TForm1::LxSMTP1DataReady() {
  const std::string& path = runOptions_.dumpPath;
  if (path.empty()) return;
  // The body is written from the component's stream as it stands: an attachment is
  // not copied for the dump.
  const std::string header = LxSMTP1->HeaderBlock();
  const std::string& body = LxSMTP1->BodyStream.DataString();
  try {
    TFileStream file(path, fmCreate);
    file.WriteBuffer(header.data(), static_cast<int64_t>(header.size()));
    file.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  } catch (const EStreamError& e) {
    throw EDumpWriteError(e.Message());
  }
}
