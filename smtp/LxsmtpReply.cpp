// TLxSMTP: commands and their replies, read line by line within the reply bounds.
#include "smtp/Lxsmtp.h"

#include <algorithm>
#include <string>
#include <vector>

#include "smtp/LxsmtpInternal.h"

namespace {
// A reply line that another line follows: it begins with a blank, or its fourth
// character is "-" ("250-first"). An empty or short line ends the reply.
bool IsContinued(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

EReplyTooLong ReplyTooLong(const char* step, const char* bound) {
  return EReplyTooLong(std::string("The server's reply at ") + step + " is too long (" + bound + ")");
}
}  // namespace

// The reply line texts without their line ends.
std::vector<std::string> ReplyLines(const std::string& reply) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < reply.size();) {
    size_t lf = reply.find('\n', start);
    size_t end = lf == std::string::npos ? reply.size() : lf;
    std::string line = reply.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

void TLxSMTP::ReadRestOfReply(std::string& line) {
  const std::string reply = ReadReply(line, "a reply");
  if (reply.empty()) {
    line.clear();
    return;
  }
  // The last line, with its line end.
  const size_t lastStart = reply.rfind('\n', reply.size() - 2);
  line = lastStart == std::string::npos ? reply : reply.substr(lastStart + 1);
}

std::string TLxSMTP::ReadReply(const std::string& first, const char* step) {
  if (first.size() > kMaxReplyLine) throw ReplyTooLong(step, "more than 65,536 bytes in one line");
  std::string reply = first, line = first;
  size_t lines = 1;
  while (IsContinued(line)) {
    try {
      line = ReadLn();
    } catch (const ELineTooLong&) {
      throw ReplyTooLong(step, "more than 65,536 bytes in one line");
    }
    // The server closed before the reply ended: no reply came.
    if (line.empty()) {
      LastReply.clear();
      return std::string();
    }
    if (line.size() > kMaxReplyLine) throw ReplyTooLong(step, "more than 65,536 bytes in one line");
    if (++lines > kMaxReplyLines) throw ReplyTooLong(step, "more than 1,000 lines");
    reply += line;
    if (reply.size() > kMaxReplyBytes) throw ReplyTooLong(step, "more than 1 MiB");
  }
  ReplyNumber = ReplyNumberOf(line);
  LastReply = reply;
  return reply;
}

std::string TLxSMTP::Exchange(const std::string& command, const char* step) {
  // One time-out for the command and every line of its reply.
  TWaitScope wait(*this, false);
  std::string first;
  try {
    first = command.empty() ? ReadLn() : Transaction(command);
  } catch (const ELineTooLong&) {
    throw ReplyTooLong(step, "more than 65,536 bytes in one line");
  }
  if (first.empty()) {
    LastReply.clear();
    return first;
  }
  return ReadReply(first, step);
}

std::string TLxSMTP::ReplyLine(const std::string& reply) {
  const std::vector<std::string> lines = ReplyLines(reply);
  if (lines.empty()) return std::string();
  auto digits = [](const std::string& line) {
    size_t n = 0;
    while (n < line.size() && line[n] >= '0' && line[n] <= '9') ++n;
    return n;
  };
  const std::string& last = lines.back();
  std::string out = last.substr(0, digits(last));
  for (const std::string& line : lines) {
    const size_t n = digits(line);
    std::string text = line;
    if (n > 0 && (n == line.size() || line[n] == ' ' || line[n] == '-')) text = line.substr(std::min(n + 1, line.size()));
    if (text.empty()) continue;
    if (!out.empty()) out += ' ';
    out += text;
  }
  // One line: no control character survives (the result goes into the settings file).
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

TSmtpAction TLxSMTP::Ask(const std::string& command, TSmtpStep step, std::string& reply) {
  reply = Exchange(command, StepName(step));
  return PolicyAction(step, reply);
}

std::string TLxSMTP::Command(const std::string& line, TSmtpStep step) {
  std::string reply;
  const TSmtpAction action = Ask(line, step, reply);
  if (action != TSmtpAction::GoOn) Fail(step, action, reply);
  return reply;
}

void TLxSMTP::Fail(TSmtpStep step, TSmtpAction action, const std::string& reply) const {
  const bool failure = action == TSmtpAction::FailTemporarily || action == TSmtpAction::FailFinally ||
                       action == TSmtpAction::ProtocolError || action == TSmtpAction::FateUnknown;
  if (!failure) action = TSmtpAction::ProtocolError;
  const TSmtpFailure kind = FailureOf(action);
  if (action == TSmtpAction::FateUnknown)
    throw ESmtpError(std::string(kSentWithoutAnswer) + ": " + (reply.empty() ? "the connection was closed" : ReplyLine(reply)),
                     reply.empty() ? 0 : ReplyNumber, kind);
  if (reply.empty()) throw ESmtpError(kNoReply, 0, kind);
  if (action == TSmtpAction::ProtocolError) {
    const bool disagreeing = ReplyKindOf(step, reply) == TReplyKind::Disagreeing;
    throw ESmtpError(std::string("Protocol error at ") + StepName(step) +
                         (disagreeing ? ": the reply's lines carry different codes: " : ": unexpected reply: ") +
                         ReplyLine(reply),
                     ReplyNumber, kind);
  }
  throw ESmtpError(reply, ReplyNumber, kind);
}
