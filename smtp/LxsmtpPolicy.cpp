#include "smtp/LxsmtpPolicy.h"

#include <vector>

#include "smtp/LxsmtpInternal.h"
#include "sock/LxSock.h"

namespace {

using S = TSmtpStep;
using K = TReplyKind;
using A = TSmtpAction;

struct TStepInfo {
  TSmtpStep step;
  int expected;
  const char* name;
};
const TStepInfo kSteps[] = {
    {S::Greeting, 220, "the greeting"}, {S::Ehlo, 250, "EHLO"},    {S::Helo, 250, "HELO"},
    {S::StartTls, 220, "STARTTLS"},     {S::Auth, 235, "AUTH"},    {S::Mail, 250, "MAIL FROM"},
    {S::Rcpt, 250, "RCPT TO"},          {S::Data, 354, "DATA"},    {S::EndOfData, 250, "the end of data"},
    {S::Rset, 250, "RSET"},             {S::Quit, 221, "QUIT"},
};

// The whole policy. Rows are read from the top; the first that matches the step,
// the reply's kind and (when given) its code decides. The rows without a step of
// their own (kAny) hold for every step that has no row of its own for that kind.
constexpr auto kAny = static_cast<TSmtpStep>(-1);
const TSmtpPolicyRow kPolicy[] = {
    // The greeting: any 2xx opens the session.
    {S::Greeting, K::Positive, 0, A::GoOn},
    // A server that does not know EHLO answers 500, 501 or 502; it may know HELO.
    {S::Ehlo, K::Permanent, 500, A::FallBackToHelo},
    {S::Ehlo, K::Permanent, 501, A::FallBackToHelo},
    {S::Ehlo, K::Permanent, 502, A::FallBackToHelo},
    {S::Ehlo, K::Positive, 0, A::GoOn},
    {S::Helo, K::Positive, 0, A::GoOn},
    // AUTH: 334 asks for the next line; 235 (or another 2xx) ends it well.
    {S::Auth, K::Intermediate, 334, A::Challenge},
    {S::Auth, K::Positive, 0, A::GoOn},
    {S::Mail, K::Positive, 0, A::GoOn},
    // A recipient is refused for itself, and the others go on, unless the server is
    // closing (421) or has no room for more recipients in this transaction (452).
    {S::Rcpt, K::Positive, 0, A::GoOn},
    {S::Rcpt, K::Transient, 421, A::FailTemporarily},
    {S::Rcpt, K::Transient, 452, A::DeferRecipient},
    {S::Rcpt, K::Transient, 0, A::RefuseRecipient},
    {S::Rcpt, K::Permanent, 0, A::RefuseRecipient},
    // DATA must be answered by 354: a server that says 250 would read the message
    // as commands.
    {S::Data, K::Positive, 0, A::ProtocolError},
    // Once the final "." is out, an answer that is none (or none at all) leaves the
    // message's fate open.
    {S::EndOfData, K::Positive, 0, A::GoOn},
    {S::EndOfData, K::Intermediate, 0, A::FateUnknown},
    {S::EndOfData, K::Malformed, 0, A::FateUnknown},
    {S::EndOfData, K::Disagreeing, 0, A::FateUnknown},
    {S::EndOfData, K::None, 0, A::FateUnknown},
    {S::Rset, K::Positive, 0, A::GoOn},
    // QUIT after the work is done: only a refusal is told.
    {S::Quit, K::Positive, 0, A::GoOn},
    {S::Quit, K::Intermediate, 0, A::GoOn},
    {S::Quit, K::Malformed, 0, A::GoOn},
    // Every step.
    {kAny, K::Expected, 0, A::GoOn},
    {kAny, K::Positive, 0, A::GoOn},
    {kAny, K::Intermediate, 0, A::ProtocolError},
    {kAny, K::Transient, 0, A::FailTemporarily},
    {kAny, K::Permanent, 0, A::FailFinally},
    {kAny, K::Malformed, 0, A::FailTemporarily},
    {kAny, K::Disagreeing, 0, A::ProtocolError},
    {kAny, K::None, 0, A::FailTemporarily},
};

const TStepInfo& InfoOf(TSmtpStep step) {
  for (const TStepInfo& info : kSteps)
    if (info.step == step) return info;
  return kSteps[0];
}

}  // namespace

int ExpectedCode(TSmtpStep step) { return InfoOf(step).expected; }

const char* StepName(TSmtpStep step) { return InfoOf(step).name; }

TReplyKind ReplyKindOf(TSmtpStep step, const std::string& reply) {
  const std::vector<std::string> lines = ReplyLines(reply);
  if (lines.empty()) return K::None;
  const int code = ReplyNumberOf(lines.back());
  if (code < 200 || code > 599) return K::Malformed;
  // Every line of a reply that carries a code carries the same one.
  for (const std::string& line : lines)
    if (const int other = ReplyNumberOf(line); other != 0 && other != code) return K::Disagreeing;
  if (code == ExpectedCode(step)) return K::Expected;
  switch (code / 100) {
    case 2: return K::Positive;
    case 3: return K::Intermediate;
    case 4: return K::Transient;
    default: return K::Permanent;
  }
}

TSmtpAction PolicyAction(TSmtpStep step, TReplyKind kind, int code) {
  for (const TSmtpPolicyRow& row : kPolicy)
    if (row.step == step && row.kind == kind && (row.code == 0 || row.code == code)) return row.action;
  for (const TSmtpPolicyRow& row : kPolicy)
    if (row.step == kAny && row.kind == kind) return row.action;
  return A::ProtocolError;
}

TSmtpAction PolicyAction(TSmtpStep step, const std::string& reply) {
  const TReplyKind kind = ReplyKindOf(step, reply);
  const std::vector<std::string> lines = ReplyLines(reply);
  return PolicyAction(step, kind, lines.empty() ? 0 : ReplyNumberOf(lines.back()));
}

TSmtpFailure FailureOf(TSmtpAction action) {
  switch (action) {
    case A::FailFinally: return TSmtpFailure::Final;
    case A::ProtocolError: return TSmtpFailure::Protocol;
    case A::FateUnknown: return TSmtpFailure::FateUnknown;
    default: return TSmtpFailure::Temporary;
  }
}
