// The policy of the SMTP dialogue in one table: for each step of the dialogue and
// each kind of reply the server gives there, what the client does next. Every reply
// of a send passes through PolicyAction; the failures it leads to carry a kind
// (TSmtpFailure) from which the caller's exit status follows, whatever the text.
#pragma once

#include <string>

enum class TSmtpStep { Greeting, Ehlo, Helo, StartTls, Auth, Mail, Rcpt, Data, EndOfData, Rset, Quit };

// A reply as the policy tells replies apart. Expected: the code the step waits for
// (250 to MAIL, 354 to DATA, ...); Positive: another 2xx; Intermediate: another
// 3xx; Transient: 4xx; Permanent: 5xx; Malformed: a line without a reply code;
// Disagreeing: lines that carry different codes; None: the server closed instead
// of answering.
enum class TReplyKind { Expected, Positive, Intermediate, Transient, Permanent, Malformed, Disagreeing, None };

enum class TSmtpAction {
  GoOn,             // the step succeeded
  Challenge,        // AUTH: the server asks for the next line of the exchange
  FallBackToHelo,   // EHLO is not understood: greet with HELO instead
  RefuseRecipient,  // this recipient is refused for itself; the others go on
  DeferRecipient,   // no room for this recipient now: it goes in a further transaction
  FailTemporarily,  // the send fails; a later try may pass
  FailFinally,      // the send fails; a later try fails the same way
  ProtocolError,    // the server broke the dialogue; stop
  FateUnknown,      // the whole message went out and its answer is missing or makes no sense
};

// How a failed send ended, from which the exit status follows.
enum class TSmtpFailure { Temporary, Final, Protocol, FateUnknown };

// One rule: at step, a reply of kind (and, when code is not 0, of that very code)
// leads to action.
struct TSmtpPolicyRow {
  TSmtpStep step;
  TReplyKind kind;
  int code;
  TSmtpAction action;
};

// The code each step waits for.
int ExpectedCode(TSmtpStep step);
// The kind of a whole reply (every line with its line end; empty: none came) at step.
TReplyKind ReplyKindOf(TSmtpStep step, const std::string& reply);
// The first row of the table for step and the reply's kind and code.
TSmtpAction PolicyAction(TSmtpStep step, const std::string& reply);
// The action of the first row matching step, kind and code (for tests of the table).
TSmtpAction PolicyAction(TSmtpStep step, TReplyKind kind, int code);
// The failure an action that ends the send stands for (Temporary for any other).
TSmtpFailure FailureOf(TSmtpAction action);
// The step's name in texts ("RCPT TO", "the end of data").
const char* StepName(TSmtpStep step);
