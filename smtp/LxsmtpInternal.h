// What the source files of TLxSMTP share and nobody else uses: the texts of a
// missing reply, the busy flag's scope, the check of command text and the lines
// of a reply.
#pragma once

#include <string>
#include <vector>

#include "smtp/Lxsmtp.h"

const char* const kNoReply = "No reply from the server: the connection was closed";
// The start of every text of a send whose final "." went out without a usable answer:
// a caller that tries again may deliver the mail twice.
const char* const kSentWithoutAnswer =
    "The end of the message was sent without an answer from the server (the mail may have been delivered)";

// Marks the component busy for the lifetime of the scope and then gives the flag
// back the value it had, however the scope is left.
class TBusyScope {
 public:
  explicit TBusyScope(bool& busy) : busy_(busy), previous_(busy) { busy_ = true; }
  ~TBusyScope() { busy_ = previous_; }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  bool& busy_;
  const bool previous_;
};

// A CR, LF or NUL in text would end the command or header line early and let the
// rest reach the server as a command of its own.
void RefuseLineBreaks(const std::string& text, const char* what);

// The reply line texts without their line ends.
std::vector<std::string> ReplyLines(const std::string& reply);
