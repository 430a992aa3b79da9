// TForm1: the handlers of the SMTP component's events: status texts, questions to
// the user, the rewrite of the final header and the dump of the message.
#include "app/Unit1.h"

#include "app/Console.h"
#include "app/ExitStatus.h"
#include "app/MailSend.h"
#include "platform/FileUtil.h"
#include "platform/Streams.h"

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
  SetStatus(ProgressText(LxSMTP1->BytesSent, LxSMTP1->BytesTotal));
}

void TForm1::LxSMTP1RecipientNotFound(const std::string& recipient) {
  Dialogs().MessageBox("Recipient \"" + recipient + "\" not found");
}

void TForm1::LxSMTP1HeaderIncomplete(bool&, int) { Dialogs().MessageBox("Header Incomplete."); }

void TForm1::AdjustFinalHeader() {
  AdjustHeader(LxSMTP1->FinalHeader, MessageCharset, LxSMTP1->Capabilities.SmtpUtf8);
}

void TForm1::LxSMTP1SendStart() {
  AddOfficeHeaders(LxSMTP1->FinalHeader, {ReadReceipt, eHomeAddr, Priority, OwnHeaders});
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
  // Everything of the form that goes into the header of the message or its parts;
  // the body's lines are looked at where they lie.
  std::vector<std::string> texts{eSubject, Edit5, eHomeAddr, eTo, eCC, AnswerTo};
  for (const std::string& line : OwnHeaders) texts.push_back(line);
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
  // The sent copy takes the body as it goes out: it holds what the server got, also
  // when an attached file changes before the server answers.
  sentCopy_.reset();
  sentCopyError_.clear();
  if (!runOptions_.noSend && !SentFolder.empty()) {
    try {
      sentCopy_ = std::make_unique<TSentCopy>(SentFolder, LxSMTP1->HeaderBlock(),
                                              LxSMTP1->PostMessage.ToBlindCarbonCopy);
      LxSMTP1->BodyCopy = &sentCopy_->Body();
    } catch (const Exception& e) {
      sentCopyError_ = e.Message();
    }
  }
  const std::string& path = runOptions_.dumpPath;
  if (path.empty()) return;
  // The body is written from the component as it would be sent, a chunk at a time:
  // an attachment is read and encoded on the way, never held for the dump.
  const std::string header = LxSMTP1->HeaderBlock();
  try {
    TFileStream file(path, fmCreate);
    file.WriteBuffer(header.data(), static_cast<int64_t>(header.size()));
    LxSMTP1->WriteBody(file);
  } catch (const EFOpenError&) {
    throw;  // an attachment that cannot be read is no fault of the dump
  } catch (const EStreamError& e) {
    throw EDumpWriteError(e.Message());
  }
}
