// TMailAndHP: the link component behind the about panel's two labels. It hands a
// "mailto:" address or a page address to the user's default program.
#pragma once

#include <string>

#include "platform/Component.h"

class TMailAndHP : public TComponent {
 public:
  explicit TMailAndHP(TComponent* owner = nullptr) : TComponent(owner) {}

  std::string MailAddress;
  std::string HomePageAddress = "http://";

  // Opens a new mail to MailAddress in the default mail program; failures are not reported.
  void OpenMail();
  // Opens HomePageAddress in the default browser; failures are not reported.
  void OpenHomePage();
};
