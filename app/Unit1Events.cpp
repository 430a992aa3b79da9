// TForm1: the handlers of the SMTP component's events: status texts, questions to
// the user, the rewrite of the final header and the dump of the message.
#include "app/Unit1.h"

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/MailSend.h"
#include "platform/FileUtil.h"
#include "platform/Streams.h"

// ---------------------------------------------------------------- SMTP events

void TForm1::OnSmtpConnect() { SetStatus("Connected"); }

void TForm1::OnSmtpDisconnect() {
  if (!Destroying()) SetStatus("Disconnected");
}

void TForm1::OnSmtpStatus(const std::string& status) {
  if (!Destroying()) SetStatus(status);
}

void TForm1::OnSmtpHostResolved() { SetStatus("Host Resolved"); }

void TForm1::OnSmtpInvalidHost(bool& handled) {
  std::string host;
  if (!Dialogs().InputBox("Invalid Host!", "Specify a new host:", host)) return;
  Smtp->Host = host;
  handled = true;
}

void TForm1::OnSmtpConnectionFailed() {
  Dialogs().MessageBox("Connection Failed");
  Connected = false;
}

void TForm1::OnSmtpConnectionRequired(bool& handled) {
  if (!Dialogs().Confirm("Connection Required. Connect?")) return;
  handled = true;
  Smtp->Connect();
  Connected = true;
}

void TForm1::OnSmtpPacketSent() {
  SetStatus(ProgressText(Smtp->BytesSent, Smtp->BytesTotal));
}

void TForm1::OnSmtpRecipientNotFound(const std::string& recipient) {
  Dialogs().MessageBox("Recipient \"" + recipient + "\" not found");
}

void TForm1::OnSmtpHeaderIncomplete(bool&, int) { Dialogs().MessageBox("Header Incomplete."); }

void TForm1::AdjustFinalHeader() {
  AdjustHeader(Smtp->FinalHeader, MessageCharset, Smtp->Capabilities.SmtpUtf8);
}

void TForm1::OnSmtpSendStart() {
  AddOfficeHeaders(Smtp->FinalHeader, {ReadReceipt, SenderAddress, Priority, OwnHeaders});
  AdjustFinalHeader();
  if (Multipart)
    UseMultipartHeader(Smtp->FinalHeader, MessageCharset);
  else if (MessageCharset == MailCharset::Utf8)
    UseBase64Body(Smtp->FinalHeader);
  AddMessageId(Smtp->FinalHeader, Smtp->PostMessage.FromAddress);
  // Last: no line of the header the server gets may exceed 998 octets (78 in UTF-8).
  FoldHeader(Smtp->FinalHeader, MessageCharset);
}

std::vector<std::string> TForm1::MessageTexts() const {
  // Everything of the form that goes into the header of the message or its parts;
  // the body's lines are looked at where they lie.
  std::vector<std::string> texts{Subject, DisplayName, SenderAddress, To, Cc, AnswerTo};
  for (const std::string& line : OwnHeaders) texts.push_back(line);
  for (const std::string& path : Attachments) texts.push_back(ExtractFileName(path));
  return texts;
}

void TForm1::OnSmtpSuccess() {
  MailAccepted = true;
  SetStatus("Success");
}

void TForm1::OnSmtpFailure() { SetStatus("Failure"); }

void TForm1::OnSmtpEncodeStart(const std::string& fileName) { SetStatus("Encoding " + fileName); }

void TForm1::OnSmtpEncodeEnd(const std::string&) { AdjustFinalHeader(); }

void TForm1::OnSmtpMailListReturn(const std::string& reply) {
  // The reply comes with its line end; the list shows it as one line.
  std::string line = reply;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  ListMembers.Add(line);
  Notify(TFormField::ListMembers);
}

// "not Exist" as spelled: callers compare the status text byte for byte.
void TForm1::OnSmtpAttachmentNotFound(const std::string& fileName) { SetStatus(fileName + " not Exist"); }

void TForm1::OnSmtpDataReady() {
  // The sent copy takes the body as it goes out: it holds what the server got, also
  // when an attached file changes before the server answers.
  sentCopy_.reset();
  sentCopyError_.clear();
  if (!runOptions_.noSend && !SentFolder.empty()) {
    try {
      sentCopy_ = std::make_unique<TSentCopy>(SentFolder, Smtp->HeaderBlock(), Smtp->PostMessage.ToBlindCarbonCopy);
      Smtp->BodyCopy = &sentCopy_->Body();
    } catch (const Exception& e) {
      sentCopyError_ = e.Message();
    }
  }
  const std::string& path = runOptions_.dumpPath;
  if (path.empty()) return;
  // The body is written from the component as it would be sent, a chunk at a time:
  // an attachment is read and encoded on the way, never held for the dump.
  const std::string header = Smtp->HeaderBlock();
  try {
    TFileStream file(path, fmCreate);
    file.WriteBuffer(header.data(), static_cast<int64_t>(header.size()));
    Smtp->WriteBody(file);
  } catch (const EFOpenError&) {
    throw;  // an attachment that cannot be read is no fault of the dump
  } catch (const EStreamError& e) {
    throw EDumpWriteError(e.Message());
  }
}
