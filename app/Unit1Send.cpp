// TForm1: the send command (the required fields, the message built from the form)
// and the form's calls into the SMTP component.
#include "app/Unit1.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/MailSend.h"
#include "app/Rw_ini.h"
#include "app/SentRecord.h"
#include "jmail/MailAddress.h"
#include "jmail/MailJstr.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"

namespace {
// True for a text that holds nothing but blanks (or nothing at all).
bool Blank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

// Refuses an address that cannot fit one header line (or command line) of the mail,
// and one whose domain has no ASCII form (EAddressDomainError).
void CheckAddressLengths(const char* field, const std::string& text) {
  constexpr size_t kLongest = kMaxLineOctets - (sizeof "Bcc: " - 1);
  TStringList entries;
  SplitAddresses(text, entries);
  for (const std::string& entry : entries) {
    // A domain without an ASCII form could reach nobody: the run stops before it connects.
    (void)AsciiDomainAddress(BareAddress(entry));
    if (entry.size() > kLongest)
      throw EAddressTooLong(std::string("The ") + field + " address is too long for a mail header line (" +
                            IntToStr(static_cast<int>(entry.size())) + " > " + IntToStr(static_cast<int>(kLongest)) +
                            " octets): " + entry.substr(0, 40) + "...");
  }
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

void TForm1::SendClick() {
  if (Blank(To) || Blank(Subject) || Blank(SenderAddress)) {
    if (MacroMode) {
      ErrorMessage = MissingFieldText();
      StopRequested = true;
      Close();
    } else {
      Dialogs().MessageBox(MissingFieldText());
    }
    return;
  }
  CheckAddressLengths("To", To);
  CheckAddressLengths("CC", Cc);
  CheckAddressLengths("BCC", Bcc);
  CheckAddressLengths("sender", SenderAddress);
  CheckAddressLengths("Reply-To", AnswerTo);
  // A signature that cannot be read stops the send before it connects.
  (void)SignatureLines();
  // A mail from the window to another company goes only once the user ticked each
  // outside recipient and each attachment; macro runs and headless runs never ask.
  const std::vector<TRecipientGroup> groups = SendCheckGroups();  // a bad SendCheck stops any send
  if (view_ && PagesEnabled) {
    if (!groups.empty()) {
      std::vector<std::string> names;
      for (const std::string& path : Attachments) names.push_back(ExtractFileName(path));
      if (!view_->ConfirmSend(groups, names)) {
        SetStatus("Not sent");
        return;
      }
    }
  }
  // A send that fails is logged too; the form still holds what it was to send.
  Smtp->FinalHeader.Clear();
  Smtp->RecipientReplies.clear();
  try {
    SendCommand();
  } catch (const std::exception& e) {
    if (!runOptions_.noSend) RecordSend(ExitStatusOf(e), e.what(), Attachments);
    throw;
  }
}

std::vector<TRecipientGroup> TForm1::SendCheckGroups() const {
  const std::string check = AsciiLowerCase(SendCheck);
  if (check != "on" && check != "off" && !check.empty())
    throw EConfigError("Unknown [Mail] SendCheck value \"" + SendCheck + "\" (on or off)");
  if (check == "off" || SplitDomains(OwnDomains).empty()) return {};
  std::vector<std::string> addresses;
  for (const std::string* field : {&To, &Cc, &Bcc}) {
    TStringList entries;
    SplitAddresses(*field, entries);
    for (const std::string& entry : entries)
      if (std::string address = TLxSMTP::ExtractAddress(entry); !address.empty()) addresses.push_back(address);
  }
  std::vector<TRecipientGroup> groups = GroupRecipients(addresses, OwnDomains);
  if (!AnyOutside(groups)) groups.clear();
  return groups;
}

void TForm1::RecordSend(int status, const std::string& reply, const TStringList& attachments) {
  if (SendLog.empty() && (status != esOk || SentFolder.empty())) return;
  auto warn = [this](const std::string& text) {
    PrintError(text);
    AppendItem(Warning, text);
  };
  TLxSMTP& smtp = *Smtp;
  const bool built = !smtp.FinalHeader.Empty();
  if (status == esOk && !SentFolder.empty()) {
    try {
      if (!sentCopy_) throw Exception(sentCopyError_);
      sentCopy_->Store();
    } catch (const Exception& e) {
      warn(e.Message());
    }
  }
  sentCopy_.reset();
  if (SendLog.empty()) return;
  TSendRecord record;
  record.Time = std::time(nullptr);
  if (built) {
    const int at = smtp.FinalHeader.IndexOfHeader("Message-ID");
    if (at >= 0) {
      std::string id = smtp.FinalHeader[at].substr(smtp.FinalHeader[at].find(':') + 1);
      const size_t open = id.find('<'), close = id.rfind('>');
      record.MessageId = open != std::string::npos && close > open ? id.substr(open + 1, close - open - 1) : id;
    }
    record.Size = static_cast<int64_t>(smtp.MessageSize());
  }
  record.From = SenderAddress;
  // Every recipient of the form, with the answer to its RCPT TO when one came (or
  // the refusal it was given without one).
  std::vector<TRecipientReply> answers = smtp.RecipientReplies;
  for (const TRefusal& r : smtp.Refusals)
    if (std::none_of(answers.begin(), answers.end(), [&r](const TRecipientReply& a) { return a.Address == r.Address; }))
      answers.push_back(r);
  std::vector<bool> used(answers.size());
  for (const std::string* field : {&To, &Cc, &Bcc}) {
    TStringList entries;
    SplitAddresses(*field, entries);
    for (const std::string& entry : entries) {
      TLoggedRecipient r;
      r.Address = TLxSMTP::ExtractAddress(entry);
      if (r.Address.empty()) continue;
      for (size_t i = 0; i < answers.size(); ++i) {
        if (used[i] || answers[i].Address != r.Address) continue;
        used[i] = true;
        r.Accepted = answers[i].Code >= 200 && answers[i].Code < 300;
        r.Reply = answers[i].Reply;
        break;
      }
      record.Recipients.push_back(r);
    }
  }
  for (const std::string& path : attachments) record.Attachments.push_back(ExtractFileName(path));
  record.Status = status;
  record.Reply = TLxSMTP::ReplyLine(reply);
  try {
    AppendSendLog(SendLog, record);
  } catch (const Exception& e) {
    warn(e.Message());
  }
}

// ---------------------------------------------------------------- SMTP calls

void TForm1::SmtpConnect(const std::string& host, int port, const std::string& userId) {
  Smtp->Host = host;
  Smtp->Port = port;
  Smtp->UserID = userId;
  if (runOptions_.noSend) return;
  // Settings that name nothing stop the run before a connection is made.
  if (port < 1 || port > 65535) throw EConfigError("Unknown [SMTP] Port value \"" + IntToStr(port) + "\" (1 to 65535)");
  if (!SettingsError.empty()) throw EConfigError(SettingsError);
  Smtp->Security = SmtpSecurityOf(SmtpSecurity);
  Smtp->Auth = SmtpAuthOf(SmtpAuth);
  Smtp->UseEhlo = SmtpUseEhloOf(SmtpHello);
  Smtp->DsnNotify = DsnNotifyOf(MailNotify);
  Smtp->DsnReturn = DsnReturnOf(MailReturn);
  // The secret of a password command goes to the component only, never into Password
  // (saved in the settings file) nor into a trace.
  // The command runs no longer than the time-out allows a connect.
  Smtp->Password = Smtp->Auth != saNone && !PasswordCommand.empty()
                          ? RunPasswordCommand(PasswordCommand, Smtp->TimeOut)
                          : Password;
  Smtp->VerifyCert = VerifyCert;
  Smtp->CAFile = CAFile;
  Smtp->Connect();
}

void TForm1::SmtpDisconnect() {
  if (runOptions_.noSend) return;
  // Once the form is closing, or a signal ended the run, nobody waits for the
  // server's goodbye: a QUIT to a server that does not answer (or does not read)
  // would keep the program alive after its window, or past the signal.
  if (closing_ || Interrupted) {
    Smtp->TLxSocket::Disconnect();
    return;
  }
  Smtp->Disconnect();
}

void TForm1::SmtpAbort() { Smtp->Abort(); }

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
        form.DisconnectClick();
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
      for (const TRefusal& r : form.Smtp->Refusals) {
        // The address as a word of its own: an entry may carry blanks around it.
        const size_t first = r.Address.find_first_not_of(" \t");
        const size_t last = r.Address.find_last_not_of(" \t");
        const std::string address = first == std::string::npos ? "" : r.Address.substr(first, last - first + 1);
        AppendItem(form.Refused, address + " " + r.Reply);
      }
      form.Smtp->Refusals.clear();
    }
  } collect{*this};

  if (!Connected) ConnectClick();
  // A caller that asked to be told of the delivery must know that it will not be.
  if (!runOptions_.noSend && Connected && !Smtp->DsnNotify.empty() && !Smtp->Capabilities.Dsn)
    PrintError("the server offers no delivery status notifications (DSN): none was requested, the mail goes without");
  TPostMessage& m = Smtp->PostMessage;
  // The fields may have changed while the connection was being made.
  if (Blank(Subject)) return;
  m.FromAddress = SenderAddress;
  m.FromName = DisplayName;
  m.ReplyTo = AnswerTo;
  // The message refers to the form's body lines, never copies them; the signature
  // follows them after an empty line. Their converted text exists only as it is sent.
  TBodyText text;
  text.Lines = &Body;
  if (!LeaveOffSignature && !SignatureFile.empty()) {
    text.Tail = SignatureLines();
    text.Tail.Insert(0, "");
  }
  std::vector<std::string> texts = MessageTexts();
  texts.insert(texts.end(), text.Tail.begin(), text.Tail.end());
  MessageCharset = ChooseMailCharset(charsetChoice, texts, Body);
  m.Subject = MessageCharset == MailCharset::Utf8 ? EncodeSubjectUtf8(Subject) : EncodeSubject(Subject);
  if (Blank(To)) return;
  // Every send starts from the form's fields: a failed send before left its
  // recipients in the lists, which must not go out twice.
  m.ToAddress.Clear();
  m.ToCarbonCopy.Clear();
  m.ToBlindCarbonCopy.Clear();
  SplitAddresses(To, m.ToAddress);
  if (!Bcc.empty()) SplitAddresses(Bcc, m.ToBlindCarbonCopy);
  if (!Cc.empty()) SplitAddresses(Cc, m.ToCarbonCopy);
  Multipart = !Attachments.Empty();
  // A file that cannot be sent is left out, as before, and now told: one line on
  // stderr each and the result's Missing key.
  TStringList attachments;
  for (const std::string& path : Attachments) {
    if (const char* problem = AttachmentProblem(path)) {
      PrintError("attachment not sent (" + std::string(problem) + "): " + path);
      AppendItem(Missing, path);
    } else {
      attachments.Add(path);
    }
  }
  // The files are read and encoded as the message goes out, never held whole.
  m.BodyFiles.clear();
  text.Charset = MessageCharset;
  m.BodyText = std::move(text);
  m.Body = BuildBodyFrame(m.BodyText, attachments, Multipart, m.BodyFiles);
  // Receivers require a Date header; the component writes it unchanged.
  m.Date = MailDate(std::time(nullptr));
  if (runOptions_.noSend) {
    // What SendMail does before its first command, then success without a server.
    Smtp->BuildMessage();
    OnSmtpSendStart();
    Smtp->CheckMessage();
    OnSmtpDataReady();
    if (Smtp->ClearParams) Smtp->ClearRecipients();
    OnSmtpSuccess();
  } else {
    Smtp->SendMail();
  }
  disconnect.armed = false;
  const std::string finalReply = Smtp->LastReply;
  try {
    DisconnectClick();
  } catch (const std::exception&) {
    // The server has accepted the message: a failed QUIT changes nothing about it,
    // and an error status would make the caller send it a second time.
  }
  if (!runOptions_.noSend) RecordSend(esOk, finalReply, attachments);
  ClearForm();
}

void TForm1::ReleaseMessage() {
  TLxSMTP& smtp = *Smtp;
  // A copy not stored by now is of a message that was not accepted: it goes.
  smtp.BodyCopy = nullptr;
  sentCopy_.reset();
  if (smtp.BodyStream.Size() == 0 && smtp.PostMessage.Body.Empty()) return;
  (void)smtp.BodyStream.Release();
  smtp.PostMessage.Body = TStringList();
  smtp.PostMessage.BodyFiles.clear();
  smtp.PostMessage.BodyText = TBodyText();
  // What the message's lines left free in the heap goes back to the system now,
  // not whenever a later free happens to reach the heap's top.
  ::malloc_trim(0);
}
