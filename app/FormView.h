// What a window showing the form implements (TFormView) and the names of the
// form's fields it is told about (TFormField).
#pragma once

#include <string>
#include <vector>

#include "app/OfficeMail.h"

// The data fields of the form, as named in notifications to the view.
enum class TFormField {
  To, Cc, Bcc, Subject, SenderAddress, Attachments, Body,  // Attachments: SelectedAttachment too
  Server, Port, UserName, Password, DisplayName, ListToExpand, ListMembers,
  StatusText,
  Pages,     // PagesEnabled
  Position,  // Left, Top, Width and Height
  Security,  // SmtpSecurity and SmtpAuth
  Charset,   // MailCharsetSetting
  AnswerTo, ReadReceipt, Priority,
  Signature  // SignatureFile and LeaveOffSignature
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
  // The mail is about to go to recipients outside the company (grouped by domain)
  // with these attachments: true when the user confirmed each of them.
  virtual bool ConfirmSend(const std::vector<TRecipientGroup>& groups, const std::vector<std::string>& attachments) {
    (void)groups, (void)attachments;
    return true;
  }
};
