// The texts of the form model as the window shows them. The model's fixed texts
// (status texts, box texts, socket and protocol errors) stay English bytes in the
// model, on stderr and in the settings file; the window shows them translated
// under a Japanese locale. Texts it does not know (a server's reply) show as they are.
#pragma once

#include <QString>
#include <string>

// The window's text for a model text (CP932): a fixed text or one of the fixed
// patterns ("Recipient "x" not found", "N bytes of M sent", ...) translated, any
// other text converted as it stands.
QString FormDisplayText(const std::string& cp932);

// The same, back as CP932 for the dialog service (which takes CP932 texts).
std::string FormDisplayTextCp932(const std::string& cp932);
