// The policy of the dialogue, one row per rule: a reply at a step and what it leads
// to, and the failure kind that carries the outcome to the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtp/LxsmtpPolicy.h"

namespace {

using S = TSmtpStep;
using A = TSmtpAction;

struct PolicyCase {
  TSmtpStep step;
  std::string reply;
  TSmtpAction action;
};

const char* Name(TSmtpAction a) {
  static const char* const names[] = {"GoOn",           "Challenge",       "FallBackToHelo",
                                      "RefuseRecipient", "DeferRecipient",  "FailTemporarily",
                                      "FailFinally",     "ProtocolError",   "FateUnknown"};
  return names[static_cast<int>(a)];
}

TEST(SmtpPolicy, EveryRule) {
  const std::vector<PolicyCase> cases = {
      // the greeting
      {S::Greeting, "220 ready\r\n", A::GoOn},
      {S::Greeting, "220-hello\r\n220 ready\r\n", A::GoOn},
      {S::Greeting, "421 4.3.2 shutting down\r\n", A::FailTemporarily},
      {S::Greeting, "554 no service\r\n", A::FailFinally},
      {S::Greeting, "220-hello\r\n421 4.3.2 shutting down\r\n", A::ProtocolError},
      {S::Greeting, "", A::FailTemporarily},
      // EHLO and HELO: only "not understood" leads to HELO
      {S::Ehlo, "250-mx\r\n250 SIZE 1000\r\n", A::GoOn},
      {S::Ehlo, "500 5.5.1 what\r\n", A::FallBackToHelo},
      {S::Ehlo, "501 5.5.4 syntax\r\n", A::FallBackToHelo},
      {S::Ehlo, "502 5.5.1 not implemented\r\n", A::FallBackToHelo},
      {S::Ehlo, "550 go away\r\n", A::FailFinally},
      {S::Ehlo, "421 4.3.2 closing\r\n", A::FailTemporarily},
      {S::Helo, "250 mx\r\n", A::GoOn},
      {S::Helo, "421 4.3.2 closing\r\n", A::FailTemporarily},
      {S::Helo, "450 4.7.1 later\r\n", A::FailTemporarily},
      {S::Helo, "501 5.5.4 syntax\r\n", A::FailFinally},
      {S::Helo, "354 what\r\n", A::ProtocolError},
      // STARTTLS and AUTH
      {S::StartTls, "220 go ahead\r\n", A::GoOn},
      {S::StartTls, "454 4.7.0 TLS not available\r\n", A::FailTemporarily},
      {S::Auth, "334 VXNlcm5hbWU6\r\n", A::Challenge},
      {S::Auth, "235 2.7.0 accepted\r\n", A::GoOn},
      {S::Auth, "535 5.7.8 bad credentials\r\n", A::FailFinally},
      {S::Auth, "454 4.7.0 try later\r\n", A::FailTemporarily},
      {S::Auth, "354 what\r\n", A::ProtocolError},
      // the envelope
      {S::Rset, "250 ok\r\n", A::GoOn},
      {S::Mail, "250 ok\r\n", A::GoOn},
      {S::Mail, "451 4.3.0 later\r\n", A::FailTemporarily},
      {S::Mail, "553 5.1.8 bad sender\r\n", A::FailFinally},
      {S::Rcpt, "250 ok\r\n", A::GoOn},
      {S::Rcpt, "251 will forward\r\n", A::GoOn},
      {S::Rcpt, "550 5.1.1 no such user\r\n", A::RefuseRecipient},
      {S::Rcpt, "450 4.2.0 greylisted\r\n", A::RefuseRecipient},
      {S::Rcpt, "452 4.5.3 too many recipients\r\n", A::DeferRecipient},
      {S::Rcpt, "421 4.3.2 closing\r\n", A::FailTemporarily},
      {S::Rcpt, "554-5.7.1 rejected\r\n250 ok\r\n", A::ProtocolError},
      {S::Rcpt, "no code here\r\n", A::FailTemporarily},
      {S::Rcpt, "", A::FailTemporarily},
      // DATA must be 354
      {S::Data, "354 go ahead\r\n", A::GoOn},
      {S::Data, "250 ok\r\n", A::ProtocolError},
      {S::Data, "451 4.3.0 later\r\n", A::FailTemporarily},
      {S::Data, "554 5.5.1 no valid recipients\r\n", A::FailFinally},
      // the end of data: once the "." is out, a missing or senseless answer leaves the fate open
      {S::EndOfData, "250 2.0.0 queued\r\n", A::GoOn},
      {S::EndOfData, "354 go ahead\r\n", A::FateUnknown},
      {S::EndOfData, "554-5.7.1 rejected\r\n250 ok\r\n", A::FateUnknown},
      {S::EndOfData, "garbage\r\n", A::FateUnknown},
      {S::EndOfData, "", A::FateUnknown},
      {S::EndOfData, "451 4.3.0 later\r\n", A::FailTemporarily},
      {S::EndOfData, "552 5.3.4 too big\r\n", A::FailFinally},
      // QUIT: only a refusal is told
      {S::Quit, "221 bye\r\n", A::GoOn},
      {S::Quit, "garbage\r\n", A::GoOn},
      {S::Quit, "500 what\r\n", A::FailFinally},
  };
  for (const PolicyCase& c : cases)
    EXPECT_STREQ(Name(PolicyAction(c.step, c.reply)), Name(c.action)) << StepName(c.step) << " <- " << c.reply;
}

TEST(SmtpPolicy, ReplyKinds) {
  using K = TReplyKind;
  EXPECT_EQ(ReplyKindOf(S::Data, "354 go\r\n"), K::Expected);
  EXPECT_EQ(ReplyKindOf(S::Data, "250 ok\r\n"), K::Positive);
  EXPECT_EQ(ReplyKindOf(S::EndOfData, "354 go\r\n"), K::Intermediate);
  EXPECT_EQ(ReplyKindOf(S::Mail, "452 full\r\n"), K::Transient);
  EXPECT_EQ(ReplyKindOf(S::Mail, "552 full\r\n"), K::Permanent);
  EXPECT_EQ(ReplyKindOf(S::Mail, "hello\r\n"), K::Malformed);
  EXPECT_EQ(ReplyKindOf(S::Mail, "999 what\r\n"), K::Malformed);
  EXPECT_EQ(ReplyKindOf(S::Mail, "250-a\r\n250-b\r\n550 c\r\n"), K::Disagreeing);
  // A continuation line without a code carries no other code.
  EXPECT_EQ(ReplyKindOf(S::Greeting, "220-a\r\n more\r\n220 ready\r\n"), K::Expected);
  EXPECT_EQ(ReplyKindOf(S::Mail, ""), K::None);
}

TEST(SmtpPolicy, FailureKinds) {
  EXPECT_EQ(FailureOf(A::FailTemporarily), TSmtpFailure::Temporary);
  EXPECT_EQ(FailureOf(A::FailFinally), TSmtpFailure::Final);
  EXPECT_EQ(FailureOf(A::ProtocolError), TSmtpFailure::Protocol);
  EXPECT_EQ(FailureOf(A::FateUnknown), TSmtpFailure::FateUnknown);
}

}  // namespace
