#include "app/MailHP.h"

#include "platform/Dialogs.h"

void TMailAndHP::OpenMail() { Dialogs().ShellOpen("mailto:" + MailAddress); }

void TMailAndHP::OpenHomePage() { Dialogs().ShellOpen(HomePageAddress); }
