// The SMTP dialogue of TLxSMTP against a scripted server, one case per row: what the
// server answers, the exact bytes the client must send, the outcome (result or
// exception with its text), the callbacks in order and the state afterwards.
// The component waits in the message pump on the test thread; the server plays the
// peer on its own thread.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "SmtpTestSupport.h"
#include "jmail/MailAddress.h"
#include "platform/SysUtils.h"

namespace {

using smtp_test::Outcome;
using smtp_test::Session;
using smtp_test::Visible;

// The server closes the connection instead of replying.
const std::string kClose = "<close>";
const std::string kNoReply = "ESmtpError(0): No reply from the server: the connection was closed";
const std::string kFateUnknown =
    "ESmtpError(0, fate unknown): The end of the message was sent without an answer from the server (the mail may "
    "have been delivered): ";

// One turn of the dialogue. kGreet: the server speaks first. kCommand: the client
// sends the command line, the server replies. kData: the client sends header and
// body and "."; data holds the expected bytes before ".", or nothing to take them from
// the component's own products (FinalHeader, BodyStream) after the run.
struct Turn {
  enum Kind { kGreet, kCommand, kData } kind;
  std::string client;
  std::string reply;
  bool productData = false;
  // Set: what the server does instead of sending reply (a flood, a stall...).
  std::function<void(ScriptServer&)> serve = nullptr;
};
Turn Greet(std::string reply) { return {Turn::kGreet, "", std::move(reply)}; }
Turn Cmd(std::string command, std::string reply) { return {Turn::kCommand, std::move(command), std::move(reply)}; }
Turn Data(std::string bytes, std::string reply) { return {Turn::kData, std::move(bytes), std::move(reply)}; }
Turn AnyData(std::string reply) { return {Turn::kData, "", std::move(reply), true}; }
// The server floods instead of replying: line count times, delayMs apart.
Turn Flooded(Turn turn, std::string line, int count, int delayMs = 0) {
  turn.serve = [line, count, delayMs](ScriptServer& server) { server.Flood(line, count, delayMs); };
  return turn;
}

using Turns = std::vector<Turn>;
Turns operator+(Turns a, const Turns& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct DialogueCase {
  std::string name;
  std::function<void(Session&)> setup;
  Turns turns;
  std::function<std::string(Session&)> op;
  std::string outcome;
  std::vector<std::string> events;
  std::function<std::string(Session&)> state = nullptr;  // a view of the state afterwards...
  std::string stateText = "";                             // ...and what it must read
};

// ---- the message most rows send ----------------------------------------------------

void StdMessage(Session& s) {
  smtp_test::Basic(s.smtp);
  s.smtp.PostMessage.Body = {"line one", ".dot", ""};
}

// Header, the two CR LF, then the body with ".dot" stuffed.
const std::string kStdData =
    "From: Sender <sender@example.org>\r\n"
    "To: rcpt@example.com\r\n"
    "Subject: Hello\r\n"
    "X-Mailer: Tarvex-Test\r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n\r\n"
    "line one\r\n"
    "..dot\r\n"
    "\r\n";

Turns Hello() { return {Greet("220 mx.example ready\r\n"), Cmd("EHLO client.example", "250 mx.example\r\n")}; }
// The setup of a row that speaks the old greeting ([SMTP] Hello=helo).
void HeloOnly(Session& s) { s.smtp.UseEhlo = false; }
// Envelope of the standard message, up to the DATA reply.
Turns Envelope() {
  return {Cmd("RSET", "250 reset\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 sender ok\r\n"),
          Cmd("RCPT TO:<rcpt@example.com>", "250 rcpt ok\r\n"), Cmd("DATA", "354 go ahead\r\n")};
}
Turns StdSend() { return Envelope() + Turns{Data(kStdData, "250 queued\r\n")}; }

std::string Send(Session& s) {
  s.smtp.Connect();
  s.smtp.SendMail();
  return "";
}
std::string Lists(Session& s) {
  const TPostMessage& m = s.smtp.PostMessage;
  return "to=" + std::to_string(m.ToAddress.Count()) + " cc=" + std::to_string(m.ToCarbonCopy.Count()) +
         " bcc=" + std::to_string(m.ToBlindCarbonCopy.Count()) + " att=" + std::to_string(m.Attachments.Count());
}
std::string Connected(Session& s) { return "connected=" + std::to_string(s.smtp.IsConnected ? 1 : 0); }
std::string ListsConnected(Session& s) { return Lists(s) + " " + Connected(s); }
std::string Refusals(Session& s) {
  std::string out;
  for (const TRefusal& r : s.smtp.Refusals)
    out += (out.empty() ? "" : "; ") + r.Recipient + " (" + std::to_string(r.Code) + ") " + r.Reply;
  return out;
}

// A "close" row: the server closes after reading the command of one step.
DialogueCase ClosesAt(const std::string& step, Turns turns, std::vector<std::string> events,
                      std::string state = "to=1 cc=0 bcc=0 att=0") {
  return {"ServerClosesAt" + step, StdMessage, std::move(turns), Send, kNoReply, std::move(events),
          [state](Session& s) { return Lists(s) == state ? "lists kept" : "lists changed: " + Lists(s); }, "lists kept"};
}

std::vector<DialogueCase> Cases() {
  std::vector<DialogueCase> c;

  // ---- whole dialogues ----
  c.push_back({"OneMessage", StdMessage, Hello() + StdSend() + Turns{Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 Send(s);
                 s.smtp.Disconnect();
                 return "";
               },
               "", {"Connect", "SendStart", "Success"}, ListsConnected, "to=0 cc=0 bcc=0 att=0 connected=0"});
  // To entries with a display name and with a colon; the blind copy only in the envelope.
  c.push_back({"DisplayNameColonAndBlindRecipients",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.ToAddress = {"Rcpt Name <rcpt@example.com>", "group:member@example.com"};
                 s.smtp.PostMessage.ToBlindCarbonCopy = {"Hidden <hidden@example.net>"};
                 s.smtp.PostMessage.Body = {};
               },
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"),
                               Cmd("RCPT TO:<member@example.com>", "250 ok\r\n"),
                               Cmd("RCPT TO:<hidden@example.net>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                               Data("From: Sender <sender@example.org>\r\n"
                                    "To: Rcpt Name <rcpt@example.com>,group:member@example.com\r\n"
                                    "Subject: Hello\r\nX-Mailer: Tarvex-Test\r\nMime-Version: 1.0\r\n"
                                    "Content-Type: text/plain; charset=us-ascii\r\n\r\n\r\n",
                                    "250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, Lists, "to=0 cc=0 bcc=0 att=0"});
  // Empty entries count as recipients for completeness but send no RCPT TO.
  c.push_back({"EmptyEntriesSendNoRcpt",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.ToAddress = {""};
                 s.smtp.PostMessage.ToCarbonCopy = {""};
               },
               Hello(), Send, "Exception: Incomplete Header", {"Connect", "SendStart"},
               ListsConnected, "to=1 cc=1 bcc=0 att=0 connected=1"});
  // 550 for a CC entry: reported with the entry as stored, the send goes on; 251 is
  // an acceptance.
  c.push_back({"RefusedCcRecipient",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.ToCarbonCopy = {"Copy <copy@example.com>", "second@example.com"};
               },
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"),
                               Cmd("RCPT TO:<copy@example.com>", "550 5.1.1 no such user\r\n"),
                               Cmd("RCPT TO:<second@example.com>", "251 will forward\r\n"),
                               Cmd("DATA", "354 go\r\n"), AnyData("250 queued\r\n")},
               Send, "", {"Connect", "SendStart", "RecipientNotFound:Copy <copy@example.com>", "Success"}, Lists, "to=0 cc=0 bcc=0 att=0"});
  // Every recipient refused: no DATA; the failure is classed by what the recipients
  // were told (all final here), without OnFailure.
  c.push_back({"AllRefusedThenDataRefused",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.ToCarbonCopy = {"copy@example.com"};
               },
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "550 no\r\n"),
                               Cmd("RCPT TO:<copy@example.com>", "553 bad mailbox\r\n")},
               Send,
               "ERecipientsRefused(550): All recipients refused: rcpt@example.com 550 no; copy@example.com 553 bad "
               "mailbox",
               {"Connect", "SendStart", "RecipientNotFound:rcpt@example.com", "RecipientNotFound:copy@example.com"},
               ListsConnected, "to=1 cc=1 bcc=0 att=0 connected=1"});
  // Continuation lines of the greeting and HELO replies are read before RSET: were
  // they left waiting, the RCPT reply read would be a stale "250" and the refusal
  // would go unreported.
  c.push_back({"MultiLineGreetingAndHelo", StdMessage,
               Turns{Greet("220-mx.example\r\n220-second line\r\n220 ready\r\n"),
                     Cmd("EHLO client.example", "250-mx.example\r\n250-8BITMIME\r\n250 SIZE 1000\r\n"),
                     Cmd("RSET", "250 ok\r\n"),
                     Cmd("MAIL FROM:<sender@example.org> SIZE=" + std::to_string(kStdData.size()), "250 ok\r\n"),
                     Cmd("RCPT TO:<rcpt@example.com>", "550 no\r\n")},
               Send, "ERecipientsRefused(550): All recipients refused: rcpt@example.com 550 no",
               {"Connect", "SendStart", "RecipientNotFound:rcpt@example.com"}, nullptr});
  // A greeting whose lines carry different codes breaks the dialogue; QUIT follows.
  c.push_back({"MultiLineGreetingWithTwoCodes", StdMessage,
               {Greet("220-hello\r\n421 4.3.2 shutting down\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "connected";
               },
               "ESmtpError(421, protocol): Protocol error at the greeting: the reply's lines carry different codes: 421 "
               "hello 4.3.2 shutting down",
               {}, Connected, "connected=0"});
  c.push_back({"MultiLineGreetingRefused", StdMessage,
               {Greet("421-4.3.2 busy\r\n421 4.3.2 shutting down\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "connected";
               },
               "ESmtpError(421): 421-4.3.2 busy\r\n421 4.3.2 shutting down\r\n", {}, Connected, "connected=0"});
  c.push_back({"GreetingRefused", StdMessage, {Greet("554 no service here\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "connected";
               },
               "ESmtpError(554): 554 no service here\r\n", {}, Connected, "connected=0"});

  // ---- EXPN and VRFY ----
  // Three EXPN lines: one OnMailListReturn with the first line; the other two are
  // dropped, so the VRFY that follows reads its own reply (252: false).
  c.push_back({"ExpandThreeLines", nullptr,
               Hello() + Turns{Cmd("EXPN staff", "250-First <first@example.com>\r\n250-Second <second@example.com>\r\n"
                                                 "250 Third <third@example.com>\r\n"),
                               Cmd("VRFY third@example.com", "252 cannot verify\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 bool expanded = s.smtp.ExpandList("staff");
                 bool verified = s.smtp.Verify("third@example.com");
                 return "expand=" + std::to_string(expanded) + " verify=" + std::to_string(verified);
               },
               "expand=1 verify=0", {"Connect", "MailListReturn:250-First <first@example.com>\r\n"}, nullptr});
  c.push_back({"ExpandRefused", nullptr, Hello() + Turns{Cmd("EXPN staff", "550 access denied\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "expand=" + std::to_string(s.smtp.ExpandList("staff"));
               },
               "expand=0", {"Connect"}, nullptr});
  c.push_back({"VerifyReplies", nullptr,
               Hello() + Turns{Cmd("VRFY a@example.com", "250 a@example.com\r\n"),
                               Cmd("VRFY b@example.com", "251 forwarded\r\n"),
                               Cmd("VRFY c@example.com", "252 cannot verify\r\n"),
                               Cmd("VRFY d@example.com", "550 unknown\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 std::string r;
                 for (const char* a : {"a", "b", "c", "d"}) r += std::to_string(s.smtp.Verify(std::string(a) + "@example.com"));
                 return r;
               },
               "1100", {"Connect"}, nullptr});
  // The server goes away instead of answering VRFY: nothing was verified.
  c.push_back({"VerifyNoReply", nullptr, Hello() + Turns{Cmd("VRFY a@example.com", kClose)},
               [](Session& s) {
                 s.smtp.Connect();
                 return "verify=" + std::to_string(s.smtp.Verify("a@example.com"));
               },
               "verify=0", {"Connect"}, nullptr});

  // ---- QUIT ----
  c.push_back({"QuitAccepted", nullptr, Hello() + Turns{Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 s.smtp.Disconnect();
                 return "";
               },
               "", {"Connect"}, Connected, "connected=0"});
  // Refused QUIT raises, but only after the socket was closed.
  c.push_back({"QuitRefused", nullptr, Hello() + Turns{Cmd("QUIT", "500 what\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 s.smtp.Disconnect();
                 return "";
               },
               "ESmtpError(500): 500 what\r\n", {"Connect"}, Connected, "connected=0"});

  // ---- EHLO, and HELO for a server that does not know it ----
  for (const std::string code : {"500", "501", "502"})
    c.push_back({"EhloNotUnderstood" + code + "ThenHelo", StdMessage,
                 Turns{Greet("220 ready\r\n"), Cmd("EHLO client.example", code + " 5.5.1 what\r\n"),
                       Cmd("HELO client.example", "250 mx.example\r\n")} +
                     StdSend(),
                 Send, "", {"Connect", "SendStart", "Success"}, nullptr});
  // Any other refusal of EHLO is one: no HELO follows it.
  c.push_back({"EhloRefused", [](Session& s) { s.smtp.OnAuthenticationFailed = nullptr; },
               {Greet("220 ready\r\n"), Cmd("EHLO client.example", "554 5.7.1 not you\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "";
               },
               "ESmtpError(554): Authentication failed", {}, Connected, "connected=0"});
  // The old greeting does not learn what the server offers: no SIZE parameter.
  c.push_back({"HeloOnlyUsesNoExtension", [](Session& s) {
                 HeloOnly(s);
                 StdMessage(s);
               },
               Turns{Greet("220 ready\r\n"), Cmd("HELO client.example", "250-mx.example\r\n250 SIZE 10\r\n")} +
                   StdSend(),
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});
  // A message over the server's SIZE limit is refused before anything of the send goes out.
  c.push_back({"LargerThanTheSizeLimit", StdMessage,
               {Greet("220 ready\r\n"), Cmd("EHLO client.example", "250-mx.example\r\n250 SIZE 100\r\n")}, Send,
               "ESmtpError(0, final): The message is larger than the server accepts (" +
                   std::to_string(kStdData.size()) + " > 100 octets)",
               {"Connect", "SendStart"}, Lists, "to=1 cc=0 bcc=0 att=0"});
  // SIZE without a limit: the size is still announced.
  c.push_back({"SizeWithoutLimit", StdMessage,
               Turns{Greet("220 ready\r\n"), Cmd("EHLO client.example", "250-mx.example\r\n250 SIZE\r\n"),
                     Cmd("RSET", "250 ok\r\n"),
                     Cmd("MAIL FROM:<sender@example.org> SIZE=" + std::to_string(kStdData.size()), "250 ok\r\n"),
                     Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                     Data(kStdData, "250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});

  // ---- delivery status notifications: asked for only of a server that offers DSN ----
  auto dsn = [](Session& s) {
    StdMessage(s);
    s.smtp.DsnNotify = "SUCCESS,FAILURE";
    s.smtp.DsnReturn = "HDRS";
    s.smtp.OnSendStart = [&s](TComponent*) {
      s.Log("SendStart");
      s.smtp.FinalHeader.Add("Message-ID: <1.2+3@example.org>");
    };
  };
  c.push_back({"DsnAskedOfAServerThatOffersIt", dsn,
               Turns{Greet("220 ready\r\n"), Cmd("EHLO client.example", "250-mx.example\r\n250 DSN\r\n"),
                     Cmd("RSET", "250 ok\r\n"),
                     Cmd("MAIL FROM:<sender@example.org> RET=HDRS ENVID=<1.2+2B3@example.org>", "250 ok\r\n"),
                     Cmd("RCPT TO:<rcpt@example.com> NOTIFY=SUCCESS,FAILURE", "250 ok\r\n"),
                     Cmd("DATA", "354 go\r\n"), AnyData("250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});
  c.push_back({"DsnNotOffered", dsn, Turns{Greet("220 ready\r\n"), Cmd("EHLO client.example", "250 mx.example\r\n"),
                                           Cmd("RSET", "250 ok\r\n"),
                                           Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                                           Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"),
                                           Cmd("DATA", "354 go\r\n"), AnyData("250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});

  // ---- HELO refused ----
  c.push_back({"HeloRefusedWithoutHandler",
               [](Session& s) {
                 HeloOnly(s);
                 s.smtp.OnAuthenticationFailed = nullptr;
               },
               {Greet("220 ready\r\n"), Cmd("HELO client.example", "550 not you\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "";
               },
               "ESmtpError(550): Authentication failed", {}, Connected, "connected=0"});
  // The handler declines: one call, then the refusal.
  c.push_back({"HeloRefusedHandlerDeclines", HeloOnly,
               {Greet("220 ready\r\n"), Cmd("HELO client.example", "501 syntax\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "";
               },
               "ESmtpError(501): Authentication failed", {"AuthenticationFailed"}, Connected, "connected=0"});
  // The handler changes UserID and asks for a retry: the second HELO carries it.
  c.push_back({"HeloRetriedWithChangedUser",
               [](Session& s) {
                 HeloOnly(s);
                 s.smtp.OnAuthenticationFailed = [&s](bool& handled) {
                   s.Log("AuthenticationFailed");
                   s.smtp.UserID = "second.example";
                   handled = true;
                 };
               },
               {Greet("220 ready\r\n"), Cmd("HELO client.example", "550 not you\r\n"),
                Cmd("HELO second.example", "250 welcome\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "";
               },
               "", {"AuthenticationFailed", "Connect"}, Connected, "connected=1"});
  // Refused twice: the handler is asked only once.
  c.push_back({"HeloRefusedTwice",
               [](Session& s) {
                 HeloOnly(s);
                 s.smtp.OnAuthenticationFailed = [&s](bool& handled) {
                   s.Log("AuthenticationFailed");
                   handled = true;
                 };
               },
               {Greet("220 ready\r\n"), Cmd("HELO client.example", "550 not you\r\n"),
                Cmd("HELO client.example", "550 still not you\r\n"), Cmd("QUIT", "221 bye\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 return "";
               },
               "ESmtpError(550): Authentication failed", {"AuthenticationFailed"}, Connected, "connected=0"});

  // ---- Busy ----
  c.push_back({"SecondSendMailFromCallbackDoesNothing",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.OnSendStart = [&s](TComponent*) {
                   s.Log("SendStart");
                   s.smtp.SendMail();
                   s.Log("nested SendMail returned");
                 };
               },
               Hello() + StdSend(), Send, "", {"Connect", "SendStart", "nested SendMail returned", "Success"},
               nullptr});
  c.push_back({"ExpandListDuringSendMail",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.OnSendStart = [&s](TComponent*) {
                   s.Log("SendStart");
                   s.Log("inner expand=" + std::to_string(s.smtp.ExpandList("inner")));
                 };
               },
               Hello() + Turns{Cmd("EXPN staff", "250 Staff <staff@example.com>\r\n")} + StdSend(),
               [](Session& s) {
                 s.smtp.Connect();
                 s.Log("expand=" + std::to_string(s.smtp.ExpandList("staff")));
                 s.smtp.SendMail();
                 return "";
               },
               "",
               {"Connect", "MailListReturn:250 Staff <staff@example.com>\r\n", "expand=1", "SendStart",
                "inner expand=0", "Success"},
               nullptr});

  // ---- ClearParams and OnSuccess ----
  auto fullLists = [](Session& s) {
    StdMessage(s);
    s.smtp.PostMessage.ToCarbonCopy = {"copy@example.com"};
    s.smtp.PostMessage.ToBlindCarbonCopy = {"hidden@example.com"};
    s.smtp.PostMessage.Attachments = {s.File("note.txt", "attached\n")};
  };
  const Turns fullSend = Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                                         Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"),
                                         Cmd("RCPT TO:<copy@example.com>", "250 ok\r\n"),
                                         Cmd("RCPT TO:<hidden@example.com>", "250 ok\r\n"),
                                         Cmd("DATA", "354 go\r\n"), AnyData("250 ok\r\n")};
  const std::vector<std::string> encodeEvents = {"Connect", "EncodeStart:$DIR/note.txt",
                                                 "EncodeEnd:$DIR/note.txt", "SendStart", "Success"};
  // What stays after a success: body, subject and sender always; the lists only
  // with ClearParams false.
  auto kept = [](Session& s) {
    const TPostMessage& m = s.smtp.PostMessage;
    return Lists(s) + " body=" + std::to_string(m.Body.Count()) + " " + m.Subject + " " + m.FromAddress;
  };
  c.push_back({"ClearParamsOn", fullLists, fullSend, Send, "", encodeEvents, kept, "to=0 cc=0 bcc=0 att=0 body=3 Hello sender@example.org"});
  c.push_back({"ClearParamsOff",
               [fullLists](Session& s) {
                 fullLists(s);
                 s.smtp.ClearParams = false;
               },
               fullSend, Send, "", encodeEvents, kept, "to=1 cc=1 bcc=1 att=1 body=3 Hello sender@example.org"});
  // OnSuccess comes after the lists were cleared and Busy was cleared; a SendMail
  // from inside it runs.
  c.push_back({"SendMailFromOnSuccess",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.OnSuccess = [&s](TComponent*) {
                   s.Log("Success to=" + std::to_string(s.smtp.PostMessage.ToAddress.Count()) +
                         " busy=" + std::to_string(s.smtp.Busy));
                   if (s.events.size() > 3) return;
                   s.smtp.PostMessage.ToAddress = {"next@example.com"};
                   s.smtp.SendMail();
                 };
               },
               Hello() + StdSend() +
                   Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                         Cmd("RCPT TO:<next@example.com>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                         AnyData("250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success to=0 busy=0", "SendStart", "Success to=0 busy=0"},
               nullptr});

  // ---- refusals: the reply line is the message; the connection stays open ----
  c.push_back({"RsetRefused", StdMessage, Hello() + Turns{Cmd("RSET", "451 try later\r\n")}, Send,
               "ESmtpError(451): 451 try later\r\n", {"Connect", "SendStart"}, ListsConnected, "to=1 cc=0 bcc=0 att=0 connected=1"});
  c.push_back({"MailFromRefused", StdMessage,
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "553 bad sender\r\n")},
               Send, "ESmtpError(553): 553 bad sender\r\n", {"Connect", "SendStart"}, ListsConnected, "to=1 cc=0 bcc=0 att=0 connected=1"});
  c.push_back({"EndOfDataRefused", StdMessage,
               Hello() + Envelope() + Turns{Data(kStdData, "554 5.7.1 rejected as spam\r\n")}, Send,
               "ESmtpError(554): 554 5.7.1 rejected as spam\r\n", {"Connect", "SendStart", "Failure"}, ListsConnected, "to=1 cc=0 bcc=0 att=0 connected=1"});
  // After a refusal the next send starts again with RSET on the same connection.
  c.push_back({"SendAgainAfterRefusal", StdMessage,
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "451 later\r\n")} +
                   StdSend(),
               [](Session& s) {
                 s.smtp.Connect();
                 s.Log(Outcome([&s] {
                   s.smtp.SendMail();
                   return "";
                 }));
                 s.smtp.SendMail();
                 return "";
               },
               "", {"Connect", "SendStart", "ESmtpError(451): 451 later\r\n", "SendStart", "Success"}, Lists, "to=0 cc=0 bcc=0 att=0"});

  // ---- completeness and connection ----
  c.push_back({"NoSenderNoHandler",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.FromAddress = "";
                 s.smtp.OnHeaderIncomplete = nullptr;
               },
               Hello(), Send, "Exception: Incomplete Header", {"Connect"}, nullptr});
  c.push_back({"NoRecipientHandlerDeclines",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.ToAddress = {};
               },
               Hello(), Send, "Exception: Incomplete Header", {"Connect", "HeaderIncomplete:2"}, nullptr});
  // The handler supplies the sender: it reaches the envelope; the header was built
  // before and keeps the empty address.
  c.push_back({"SenderSuppliedByHandler",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.FromName = "";
                 s.smtp.PostMessage.FromAddress = "";
                 s.smtp.OnHeaderIncomplete = [&s](bool& handled, int type) {
                   s.Log("HeaderIncomplete:" + std::to_string(type));
                   s.smtp.PostMessage.FromAddress = "late@example.org";
                   handled = true;
                 };
               },
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<late@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                               Data("From: <>" + kStdData.substr(kStdData.find("\r\n")), "250 ok\r\n")},
               Send, "", {"Connect", "HeaderIncomplete:1", "SendStart", "Success"}, nullptr});
  c.push_back({"NotConnected", StdMessage, {},
               [](Session& s) {
                 s.smtp.SendMail();
                 return "";
               },
               "Exception: Not Connected", {}, Lists, "to=1 cc=0 bcc=0 att=0"});
  // OnConnectionRequired connects from inside SendMail: Connect leaves the outer
  // operation's Busy mark set.
  c.push_back({"ConnectionRequiredConnects",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.OnConnectionRequired = [&s](bool& handled) {
                   s.smtp.Connect();
                   s.Log("busy after Connect=" + std::to_string(s.smtp.Busy));
                   handled = true;
                 };
               },
               Hello() + StdSend(),
               [](Session& s) {
                 s.smtp.SendMail();
                 return "";
               },
               "", {"Connect", "busy after Connect=1", "SendStart", "Success"}, nullptr});
  // A line changed in OnSendStart is what goes out.
  c.push_back({"HeaderChangedInOnSendStart",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.OnSendStart = [&s](TComponent*) { s.smtp.FinalHeader.SetHeader("subject", "Changed"); };
               },
               Hello() + Envelope() +
                   Turns{Data("From: Sender <sender@example.org>\r\nTo: rcpt@example.com\r\nsubject: Changed\r\n" +
                                  kStdData.substr(kStdData.find("X-Mailer")),
                              "250 ok\r\n")},
               Send, "", {"Connect", "Success"}, nullptr});
  // A header block beyond what one write carries (thousands of recipients) goes out whole.
  c.push_back({"HeaderBeyondOneWrite",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.Subject = std::string(70000, 's');
               },
               Hello() + Envelope() +
                   Turns{Data(kStdData.substr(0, kStdData.find("Hello")) + std::string(70000, 's') +
                                  kStdData.substr(kStdData.find("\r\nX-Mailer")),
                              "250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});
  // ---- addresses: the bare address on the envelope, UTF-8 only with SMTPUTF8 ----
  c.push_back({"QuotedNamesAndBlanksGiveBareAddresses",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.FromAddress = " sender@example.org ";
                 s.smtp.PostMessage.ToAddress = {"\"Sato, Jiro\" < sato@example.com >", " b@x.jp (Bee, home)",
                                                 Utf8ToCp932("太郎 <taro@例え.jp>")};
               },
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<sato@example.com>", "250 ok\r\n"), Cmd("RCPT TO:<b@x.jp>", "250 ok\r\n"),
                               Cmd("RCPT TO:<taro@xn--r8jz45g.jp>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                               // The header keeps the entries as typed (the form rewrites them).
                               Data("From: Sender < sender@example.org >\r\nTo: \"Sato, Jiro\" < sato@example.com >, "
                                    "b@x.jp (Bee, home)," + Utf8ToCp932("太郎 <taro@例え.jp>") +
                                        kStdData.substr(kStdData.find("\r\nSubject")),
                                    "250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});
  // A mailbox name in Japanese: without SMTPUTF8 nothing of the message is offered...
  auto japaneseMailbox = [](Session& s) {
    StdMessage(s);
    s.smtp.PostMessage.ToAddress = {"rcpt@example.com", Utf8ToCp932("山田@例え.jp")};
  };
  c.push_back({"JapaneseMailboxWithoutSmtpUtf8", japaneseMailbox, Hello(), Send,
               "ESmtpError(0, final): The server offers no SMTPUTF8: it cannot take the address " +
                   Utf8ToCp932("山田@例え.jp"),
               {"Connect", "SendStart"}, ListsConnected, "to=2 cc=0 bcc=0 att=0 connected=1"});
  // ...with it, MAIL FROM asks for SMTPUTF8 and the address goes in UTF-8.
  c.push_back({"JapaneseMailboxWithSmtpUtf8", japaneseMailbox,
               Turns{Greet("220 ready\r\n"), Cmd("EHLO client.example", "250-mx.example\r\n250 SMTPUTF8\r\n"),
                     Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org> SMTPUTF8", "250 ok\r\n"),
                     Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("RCPT TO:<山田@xn--r8jz45g.jp>", "250 ok\r\n"),
                     Cmd("DATA", "354 go\r\n"),
                     Data("From: Sender <sender@example.org>\r\nTo: rcpt@example.com," + Utf8ToCp932("山田@例え.jp") +
                              kStdData.substr(kStdData.find("\r\nSubject")),
                          "250 ok\r\n")},
               Send, "", {"Connect", "SendStart", "Success"}, nullptr});
  // A refused mailbox name is told as typed (CP932), not in the UTF-8 of the envelope.
  c.push_back({"JapaneseMailboxRefused", japaneseMailbox,
               Turns{Greet("220 ready\r\n"), Cmd("EHLO client.example", "250-mx.example\r\n250 SMTPUTF8\r\n"),
                     Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org> SMTPUTF8", "250 ok\r\n"),
                     Cmd("RCPT TO:<rcpt@example.com>", "550 no\r\n"), Cmd("RCPT TO:<山田@xn--r8jz45g.jp>", "550 no\r\n")},
               Send, "ERecipientsRefused(550): All recipients refused: rcpt@example.com 550 no; " +
                         Utf8ToCp932("山田@xn--r8jz45g.jp") + " 550 no",
               {"Connect", "SendStart", "RecipientNotFound:rcpt@example.com",
                "RecipientNotFound:" + Utf8ToCp932("山田@例え.jp")},
               [](Session& s) { return s.smtp.Refusals.size() == 2 ? s.smtp.Refusals[1].Address : std::string(); },
               Utf8ToCp932("山田@xn--r8jz45g.jp")});
  // A missing attachment: reported (no OnEncodeStart), the open error goes out before
  // any command of the send.
  c.push_back({"MissingAttachment",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.Attachments = {s.scratch.Path() + "missing.bin"};
               },
               Hello(),
               [](Session& s) {
                 s.smtp.Connect();
                 s.smtp.SendMail();
                 return "";
               },
               "EFOpenError: " + FileOpenError("$DIR/missing.bin", ENOENT).Message(),
               {"Connect", "AttachmentNotFound:$DIR/missing.bin"}, ListsConnected, "to=1 cc=0 bcc=0 att=1 connected=1"});

  // ---- the server closes instead of replying: never a success ----
  c.push_back({"ServerClosesAtGreeting", StdMessage, {Greet(kClose)}, Send, kNoReply, {}, Connected, "connected=0"});
  c.push_back({"ServerClosesAtEhlo", StdMessage, {Greet("220 ready\r\n"), Cmd("EHLO client.example", kClose)}, Send,
               kNoReply, {}, Connected, "connected=0"});
  c.push_back(ClosesAt("Rset", Hello() + Turns{Cmd("RSET", kClose)}, {"Connect", "SendStart"}));
  c.push_back(ClosesAt("MailFrom",
                       Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", kClose)},
                       {"Connect", "SendStart"}));
  c.push_back(ClosesAt("Rcpt",
                       Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                                       Cmd("RCPT TO:<rcpt@example.com>", kClose)},
                       {"Connect", "SendStart"}));
  c.push_back(ClosesAt("Data",
                       Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                                       Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("DATA", kClose)},
                       {"Connect", "SendStart"}));
  // After the final ".", a close leaves the message's fate open, and the text says so.
  c.push_back({"ServerClosesAtEndOfData", StdMessage, Hello() + Envelope() + Turns{Data(kStdData, kClose)}, Send,
               kFateUnknown + "the connection was closed", {"Connect", "SendStart", "Failure"}, Lists,
               "to=1 cc=0 bcc=0 att=0"});

  // ---- injection: refused before any command of the operation ----
  auto refused = [](std::string name, std::function<void(Session&)> setup, std::string what,
                    std::string lists = "to=1 cc=0 bcc=0 att=0") {
    return DialogueCase{name, setup, Hello(), Send, "Exception: CR, LF or NUL in " + what, {"Connect", "SendStart"},
                        Lists, lists};
  };
  c.push_back(refused(
      "BareLfInToEntry",
      [](Session& s) {
        StdMessage(s);
        s.smtp.PostMessage.ToAddress = {"rcpt@example.com\nRSET"};
      },
      "a recipient address refused: rcpt@example.com"));
  // The address taken after the colon is clean, but the To line would carry the LF.
  c.push_back(refused(
      "LfInToEntryBeforeColon",
      [](Session& s) {
        StdMessage(s);
        s.smtp.PostMessage.ToAddress = {"rcpt@example.com\nRCPT TO:evil@example.net"};
      },
      "a header line refused: To: rcpt@example.com"));
  c.push_back(refused(
      "CrInFromAddress",
      [](Session& s) {
        StdMessage(s);
        s.smtp.PostMessage.FromAddress = "sender@example.org\rRCPT TO:<evil@example.net>";
      },
      "the sender address refused: sender@example.org"));
  c.push_back(refused(
      "NulInBlindCopyEntry",
      [](Session& s) {
        StdMessage(s);
        s.smtp.PostMessage.ToBlindCarbonCopy = {std::string("<hidden@example.net\0>", 21)};
      },
      "a recipient address refused: hidden@example.net", "to=1 cc=0 bcc=1 att=0"));
  c.push_back(refused(
      "CrLfInHeaderLineFromOnSendStart",
      [](Session& s) {
        StdMessage(s);
        s.smtp.OnSendStart = [&s](TComponent*) {
          s.Log("SendStart");
          s.smtp.FinalHeader[2] = "Subject: hi\r\nBcc: evil@example.net";
        };
      },
      "a header line refused: Subject: hi"));
  c.push_back({"CrLfInUserIdOpensNothing",
               [](Session& s) { s.smtp.UserID = "client.example\r\nMAIL FROM:<evil@example.net>"; },
               {},
               [](Session& s) {
                 s.smtp.Connect();
                 return "";
               },
               "Exception: CR, LF or NUL in the user identifier refused: client.example", {},
               [](Session& s) { return "connections=" + std::to_string(s.server.Connections()); }, "connections=0"});
  c.push_back({"CrLfInVrfyArgument", nullptr, Hello(),
               [](Session& s) {
                 s.smtp.Connect();
                 return std::to_string(s.smtp.Verify("a@example.com\r\nRSET"));
               },
               "Exception: CR, LF or NUL in the address to verify refused: a@example.com", {"Connect"}, nullptr});
  c.push_back({"LfInExpnArgument", nullptr, Hello(),
               [](Session& s) {
                 s.smtp.Connect();
                 return std::to_string(s.smtp.ExpandList("staff\nRSET"));
               },
               "Exception: CR, LF or NUL in the list name refused: staff", {"Connect"}, nullptr});

  // ---- whole replies at every step: the code is the last line's ----
  c.push_back({"MultiLineRepliesAtEveryStep", StdMessage,
               Turns{Greet("220-mx.example\r\n220-second\r\n220 ready\r\n"),
                     Cmd("EHLO client.example", "250-mx.example\r\n250 SIZE 1000\r\n"),
                     Cmd("RSET", "250-flushed\r\n250 ok\r\n"),
                     Cmd("MAIL FROM:<sender@example.org> SIZE=" + std::to_string(kStdData.size()),
                         "250-sender\r\n250-looks\r\n250 ok\r\n"),
                     Cmd("RCPT TO:<rcpt@example.com>", "250-rcpt\r\n250 ok\r\n"),
                     Cmd("DATA", "354-go\r\n354 ahead\r\n"), Data(kStdData, "250-queued\r\n250 as 1234\r\n"),
                     Cmd("QUIT", "221-bye\r\n221 closing\r\n")},
               [](Session& s) {
                 Send(s);
                 s.smtp.Disconnect();
                 return s.smtp.LastReply;
               },
               "221-bye\r\n221 closing\r\n", {"Connect", "SendStart", "Success"}, ListsConnected,
               "to=0 cc=0 bcc=0 att=0 connected=0"});
  // Two lines to MAIL FROM, then a refusal of the message: the refusal is the
  // answer to ".", never taken for the answer to QUIT.
  c.push_back({"TwoLineMailFromThenMessageRefused", StdMessage,
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"),
                               Cmd("MAIL FROM:<sender@example.org>", "250-sender ok\r\n250 go on\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                               Data(kStdData, "554 5.7.1 rejected as spam\r\n")},
               Send, "ESmtpError(554): 554 5.7.1 rejected as spam\r\n", {"Connect", "SendStart", "Failure"}, nullptr});
  // A two-line refusal of one recipient: that recipient is reported with the whole
  // reply; the other one is accepted; the message refusal is the error.
  c.push_back({"TwoLineRecipientRefusalThenMessageRefused",
               [](Session& s) {
                 StdMessage(s);
                 s.smtp.PostMessage.ToAddress = {"bad@example.com", "rcpt@example.com"};
               },
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<bad@example.com>", "550-5.1.1 no such\r\n550 5.1.1 user here\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("DATA", "354 go\r\n"),
                               AnyData("554-5.7.1 rejected\r\n554 5.7.1 as spam\r\n")},
               Send, "ESmtpError(554): 554-5.7.1 rejected\r\n554 5.7.1 as spam\r\n",
               {"Connect", "SendStart", "RecipientNotFound:bad@example.com", "Failure"}, Refusals,
               "bad@example.com (550) 550 5.1.1 no such 5.1.1 user here"});
  // Lines with different codes: neither counts, the server broke the dialogue (a 554
  // line before a 250 is no acceptance, nor is a 250 line before a 550).
  c.push_back({"MixedCodesAtRcpt", StdMessage,
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "554-5.7.1 rejected\r\n250 ok\r\n")},
               Send,
               "ESmtpError(250, protocol): Protocol error at RCPT TO: the reply's lines carry different codes: 250 "
               "5.7.1 rejected ok",
               {"Connect", "SendStart"}, Refusals, ""});
  c.push_back({"MixedCodesAtEndOfData", StdMessage,
               Hello() + Envelope() + Turns{Data(kStdData, "250-fine\r\n550 5.7.1 but no\r\n")}, Send,
               "ESmtpError(550, fate unknown): The end of the message was sent without an answer from the server (the "
               "mail may have been delivered): 550 fine 5.7.1 but no",
               {"Connect", "SendStart", "Failure"}, nullptr});
  c.push_back({"MultiLineRsetRefusal", StdMessage, Hello() + Turns{Cmd("RSET", "451-busy\r\n451 try later\r\n")}, Send,
               "ESmtpError(451): 451-busy\r\n451 try later\r\n", {"Connect", "SendStart"}, nullptr});
  // A two-line VRFY reply ending in 550 is no verification; the next VRFY reads its own.
  c.push_back({"MultiLineVerify", nullptr,
               Hello() + Turns{Cmd("VRFY a@example.com", "250-a@example.com\r\n550 not really\r\n"),
                               Cmd("VRFY b@example.com", "250-b\r\n250 b@example.com\r\n")},
               [](Session& s) {
                 s.smtp.Connect();
                 std::string r;
                 for (const char* a : {"a", "b"}) r += std::to_string(s.smtp.Verify(std::string(a) + "@example.com"));
                 return r;
               },
               "01", {"Connect"}, nullptr});

  // ---- replies that make no sense where they come ----
  // 250 to DATA: the server would read the message as commands; nothing of it is sent.
  c.push_back({"DataAnswered250", StdMessage,
               Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                               Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"), Cmd("DATA", "250 ok\r\n")},
               Send, "ESmtpError(250, protocol): Protocol error at DATA: unexpected reply: 250 ok",
               {"Connect", "SendStart"}, Lists, "to=1 cc=0 bcc=0 att=0"});
  c.push_back({"FinalDotAnswered354", StdMessage, Hello() + Envelope() + Turns{Data(kStdData, "354 go ahead\r\n")},
               Send,
               "ESmtpError(354, fate unknown): The end of the message was sent without an answer from the server (the "
               "mail may have been delivered): 354 go ahead",
               {"Connect", "SendStart", "Failure"}, Lists, "to=1 cc=0 bcc=0 att=0"});
  // Silence past the time-out after the final ".": the same open fate as a close.
  c.push_back({"SilenceAfterFinalDot", [](Session& s) {
                 StdMessage(s);
                 s.smtp.TimeOut = 300;
               },
               Hello() + Envelope() + Turns{Data(kStdData, "")}, Send, kFateUnknown + "Socket readln aborted",
               {"Connect", "SendStart", "Failure"}, nullptr});
  // A temporary refusal of the greeting's HELO is temporary, with the server's words;
  // no handler is asked for another name.
  for (const std::string reply : {"421 4.3.2 closing\r\n", "450 4.7.1 later\r\n"})
    c.push_back({"HeloRefusedTemporarily" + reply.substr(0, 3), HeloOnly,
                 {Greet("220 ready\r\n"), Cmd("HELO client.example", reply), Cmd("QUIT", "221 bye\r\n")},
                 [](Session& s) {
                   s.smtp.Connect();
                   return "";
                 },
                 "ESmtpError(" + reply.substr(0, 3) + "): " + reply, {}, Connected, "connected=0"});

  // ---- no room for more recipients (452): the rest go in a further transaction ----
  auto fourRecipients = [](Session& s) {
    StdMessage(s);
    s.smtp.PostMessage.ToAddress = {"a@example.com", "b@example.com", "c@example.com"};
    s.smtp.PostMessage.ToBlindCarbonCopy = {"d@example.com"};
  };
  auto envelope = [](std::vector<std::pair<std::string, std::string>> rcpts) {
    Turns t{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n")};
    for (auto& [address, reply] : rcpts) t.push_back(Cmd("RCPT TO:<" + address + ">", reply));
    return t;
  };
  const std::string kFull = "452 4.5.3 too many recipients\r\n";
  // Each recipient gets the message once; the one refused for itself is not asked again.
  c.push_back({"TooManyRecipientsSentInTwoTransactions", fourRecipients,
               Hello() +
                   envelope({{"a@example.com", "250 ok\r\n"}, {"b@example.com", "550 5.1.1 no such user\r\n"},
                             {"c@example.com", kFull}}) +
                   Turns{Cmd("DATA", "354 go\r\n"), AnyData("250 queued as 1\r\n")} +
                   envelope({{"c@example.com", "250 ok\r\n"}, {"d@example.com", "250 ok\r\n"}}) +
                   Turns{Cmd("DATA", "354 go\r\n"), AnyData("250 queued as 2\r\n")},
               Send, "", {"Connect", "SendStart", "RecipientNotFound:b@example.com", "Success"}, Refusals,
               "b@example.com (550) 550 5.1.1 no such user"});
  // A further transaction that takes nobody ends the rounds: the rest are refused
  // (for now), and the mail that went to the first ones is a success.
  c.push_back({"TooManyRecipientsAndStillNoRoom", fourRecipients,
               Hello() + envelope({{"a@example.com", "250 ok\r\n"}, {"b@example.com", kFull}}) +
                   Turns{Cmd("DATA", "354 go\r\n"), AnyData("250 queued as 1\r\n")} +
                   envelope({{"b@example.com", kFull}}),
               Send, "",
               {"Connect", "SendStart", "RecipientNotFound:b@example.com", "RecipientNotFound:c@example.com",
                "RecipientNotFound:d@example.com", "Success"},
               Refusals,
               "b@example.com (452) 452 4.5.3 too many recipients; c@example.com (452) 452 4.5.3 too many recipients; "
               "d@example.com (452) 452 4.5.3 too many recipients"});
  // No room for even the first: nobody got the mail, a temporary failure.
  c.push_back({"NoRoomForAnyRecipient", StdMessage, Hello() + envelope({{"rcpt@example.com", kFull}}), Send,
               "ERecipientsRefused(452): All recipients refused: rcpt@example.com 452 4.5.3 too many recipients",
               {"Connect", "SendStart", "RecipientNotFound:rcpt@example.com"}, nullptr});
  // A further transaction refused as a whole: the first recipients have the mail, so
  // the send succeeds and the others are told refused.
  c.push_back({"FurtherTransactionRefused", fourRecipients,
               Hello() + envelope({{"a@example.com", "250 ok\r\n"}, {"b@example.com", kFull}}) +
                   Turns{Cmd("DATA", "354 go\r\n"), AnyData("250 queued as 1\r\n")} +
                   envelope({{"b@example.com", "250 ok\r\n"}, {"c@example.com", "250 ok\r\n"},
                             {"d@example.com", "250 ok\r\n"}}) +
                   Turns{Cmd("DATA", "354 go\r\n"), AnyData("554 5.7.1 rejected\r\n")},
               Send, "",
               {"Connect", "SendStart", "Failure", "RecipientNotFound:b@example.com", "RecipientNotFound:c@example.com",
                "RecipientNotFound:d@example.com", "Success"},
               Refusals,
               "b@example.com (554) 554 5.7.1 rejected; c@example.com (554) 554 5.7.1 rejected; d@example.com (554) 554 "
               "5.7.1 rejected"});

  // ---- greylisting: a temporary refusal stays temporary ----
  auto twoRecipients = [](Session& s) {
    StdMessage(s);
    s.smtp.PostMessage.ToAddress = {"a@example.com", "b@example.com"};
  };
  auto rcpts = [](std::string a, std::string b) {
    return Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                 Cmd("RCPT TO:<a@example.com>", std::move(a)), Cmd("RCPT TO:<b@example.com>", std::move(b))};
  };
  // Both recipients refused with replies a and b, then what follows (tail): the
  // failure is classed by the refusals (code).
  auto allRefused = [&](std::string name, std::string a, std::string b, Turns tail, int code, bool failure) {
    auto text = [](const std::string& reply) { return reply.substr(0, reply.size() - 2); };
    std::vector<std::string> events = {"Connect", "SendStart", "RecipientNotFound:a@example.com",
                                       "RecipientNotFound:b@example.com"};
    if (failure) events.push_back("Failure");
    return DialogueCase{name, twoRecipients, Hello() + rcpts(a, b) + tail, Send,
                        "ERecipientsRefused(" + std::to_string(code) + "): All recipients refused: a@example.com " +
                            text(a) + "; b@example.com " + text(b),
                        events, nullptr};
  };
  c.push_back(allRefused("AllRecipientsGreylisted", "450 4.2.0 greylisted\r\n", "450 4.2.0 greylisted\r\n", {}, 450,
                         false));
  // One temporary refusal among final ones: a later try may still pass.
  c.push_back(allRefused("AllRefusedOneTemporarily", "550 5.1.1 no such user\r\n", "451 4.3.0 try later\r\n", {}, 451,
                         false));
  // The server would take DATA without recipients, but it is never asked: a message
  // with nobody to go to is not sent.
  c.push_back(allRefused("AllRefusedFinally", "550 5.1.1 no such user\r\n", "553 5.1.3 bad address\r\n", {}, 550,
                         false));
  // One recipient greylisted, the other accepted: the mail goes to the other one,
  // and the refusal is kept for the caller.
  c.push_back({"OneRecipientGreylisted", twoRecipients,
               Hello() + rcpts("450 4.2.0 greylisted\r\n", "250 ok\r\n") +
                   Turns{Cmd("DATA", "354 go\r\n"), AnyData("250 queued\r\n")},
               Send, "", {"Connect", "SendStart", "RecipientNotFound:a@example.com", "Success"}, Refusals,
               "a@example.com (450) 450 4.2.0 greylisted"});

  // ---- bounded replies: the step fails, the connection is closed without QUIT ----
  auto tooLong = [](std::string name, Turns turns, std::string outcome, std::vector<std::string> events) {
    return DialogueCase{name, StdMessage, std::move(turns), Send, std::move(outcome), std::move(events),
                        Connected, "connected=0"};
  };
  c.push_back(tooLong("EndlessGreeting", {Flooded(Greet(""), "220-more\r\n", 1200)},
                      "EReplyTooLong: The server's reply at the greeting is too long (more than 1,000 lines)", {}));
  c.push_back(tooLong("OneMegabyteRcptReply",
                      Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                                      Flooded(Cmd("RCPT TO:<rcpt@example.com>", ""),
                                              "250-" + std::string(4000, 'x') + "\r\n", 300)},
                      "EReplyTooLong: The server's reply at RCPT TO is too long (more than 1 MiB)",
                      {"Connect", "SendStart"}));
  c.push_back(tooLong("OverlongLineAtData",
                      Hello() + Turns{Cmd("RSET", "250 ok\r\n"), Cmd("MAIL FROM:<sender@example.org>", "250 ok\r\n"),
                                      Cmd("RCPT TO:<rcpt@example.com>", "250 ok\r\n"),
                                      Flooded(Cmd("DATA", ""), "354-" + std::string(70000, 'x') + "\r\n", 1)},
                      "EReplyTooLong: The server's reply at DATA is too long (more than 65,536 bytes in one line)",
                      {"Connect", "SendStart"}));
  // The time-out covers the whole reply: a line every 150 ms never ends a 600 ms wait
  // per line, but the reply is not over after 600 ms. The QUIT after a time-out gets
  // the same time again.
  c.push_back({"SlowContinuationLines", [](Session& s) { s.smtp.TimeOut = 600; },
               {Flooded(Greet(""), "220-slow\r\n", 12, 150), Cmd("QUIT", kClose)}, Send, "EAbortError: Socket readln aborted", {},
               Connected, "connected=0"});
  return c;
}

class Dialogue : public testing::TestWithParam<DialogueCase> {};

TEST_P(Dialogue, Run) {
  const DialogueCase& c = GetParam();
  Session s;
  if (c.setup) c.setup(s);
  bool closedByServer = false;
  for (const Turn& t : c.turns) {
    closedByServer = t.reply == kClose;
    if (t.kind == Turn::kCommand) s.server.ReadLine();
    if (t.kind == Turn::kData) s.server.ReadUntil("\r\n.\r\n");
    if (t.serve) t.serve(s.server);
    else if (closedByServer) s.server.Close();
    else s.server.Send(t.reply);
  }

  const std::string result = Outcome([&] { return c.op(s); });
  const std::string state = c.state ? c.state(s) : "";
  if (!closedByServer && s.smtp.IsConnected && !c.turns.empty()) {
    // Whatever else the client would send is recorded until it closes.
    s.server.Hold();
    s.smtp.TLxSocket::Disconnect();
  }
  ASSERT_TRUE(s.server.WaitDone(10000)) << s.server.Error();

  std::string expected;
  for (const Turn& t : c.turns) {
    if (t.kind == Turn::kCommand) expected += t.client + "\r\n";
    if (t.kind == Turn::kData)
      expected += (t.productData ? s.smtp.FinalHeader.Text() + "\r\n\r\n" + s.smtp.BodyStream.DataString() : t.client) +
                  ".\r\n";
  }
  EXPECT_EQ(Visible(s.Relative(result)), Visible(c.outcome));
  EXPECT_EQ(state, c.stateText);
  EXPECT_EQ(s.events, c.events);
  EXPECT_EQ(Visible(s.server.Received()), Visible(expected));
  EXPECT_FALSE(s.smtp.Busy);
}

INSTANTIATE_TEST_SUITE_P(Smtp, Dialogue, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<DialogueCase>& info) { return info.param.name; });

// What an EHLO answer offers, line by line; unknown keywords are passed over.
// The command writer lets no non-ASCII byte onto the envelope unless the server
// offered SMTPUTF8, whoever calls it.
TEST(EnvelopeCommand, AsciiUnlessSmtpUtf8) {
  TLxSMTP smtp;
  const std::string utf8 = "山田@example.jp";
  EXPECT_EQ(smtp.EnvelopeCommand("RCPT TO:", "a@x.jp", " NOTIFY=NEVER"), "RCPT TO:<a@x.jp> NOTIFY=NEVER");
  EXPECT_THROW(smtp.EnvelopeCommand("RCPT TO:", utf8, ""), Exception);
  EXPECT_THROW(smtp.EnvelopeCommand("MAIL FROM:", Utf8ToCp932(utf8), ""), Exception);
  EXPECT_THROW(smtp.EnvelopeCommand("MAIL FROM:", "a@x.jp", " ENVID=\xE3\x81\x82"), Exception);
  smtp.Capabilities.SmtpUtf8 = true;
  EXPECT_EQ(smtp.EnvelopeCommand("RCPT TO:", utf8, ""), "RCPT TO:<" + utf8 + ">");
}

// The envelope form of an entry: bare, the domain as A-labels, the mailbox in UTF-8.
TEST(EnvelopeAddress, BareAsciiDomainUtf8Mailbox) {
  EXPECT_EQ(TLxSMTP::EnvelopeAddress("\"Sato, Jiro\" < sato@example.com >"), "sato@example.com");
  EXPECT_EQ(TLxSMTP::EnvelopeAddress(Utf8ToCp932("太郎 <taro@例え.jp>")), "taro@xn--r8jz45g.jp");
  EXPECT_EQ(TLxSMTP::EnvelopeAddress(Utf8ToCp932("山田@例え.jp")), "山田@xn--r8jz45g.jp");
  EXPECT_EQ(TLxSMTP::EnvelopeAddress("Taro:t@x.jp"), "t@x.jp");
  EXPECT_THROW(TLxSMTP::EnvelopeAddress(Utf8ToCp932("a@例！.jp")), EAddressDomainError);
}

TEST(Capabilities, ParsedFromTheEhloAnswer) {
  const TSmtpCapabilities caps = TSmtpCapabilities::Parse(
      "250-mx.example greets you\r\n250-PIPELINING\r\n250-size 52428800\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
      "250-DSN\r\n250-ENHANCEDSTATUSCODES\r\n250-STARTTLS\r\n250-AUTH PLAIN login\r\n250-AUTH=XOAUTH2\r\n"
      "250-X-UNKNOWN 1\r\n250 CHUNKING\r\n");
  EXPECT_TRUE(caps.Size);
  EXPECT_EQ(caps.SizeLimit, 52428800u);
  EXPECT_TRUE(caps.Pipelining && caps.EightBitMime && caps.SmtpUtf8 && caps.Dsn && caps.EnhancedStatusCodes &&
              caps.StartTls);
  EXPECT_EQ(caps.AuthMechanisms, (std::vector<std::string>{"PLAIN", "LOGIN", "XOAUTH2"}));
  // The greeting line names no extension, and a limit that is no number sets none.
  const TSmtpCapabilities none = TSmtpCapabilities::Parse("250 SIZE 1000\r\n");
  EXPECT_FALSE(none.Size);
  EXPECT_EQ(TSmtpCapabilities::Parse("250-mx\r\n250 SIZE 12k\r\n").SizeLimit, 0u);
  EXPECT_FALSE(TSmtpCapabilities::Parse("250-mx\r\n250 SIZE 12k\r\n").Pipelining);
}

}  // namespace

namespace {

// The data transfer against a server that stops reading after 354 (its receive
// buffer small, the body large), with and without an early reply: no configuration
// waits for ever, and an early refusal is what the send reports.
struct DataCase {
  std::string name;
  int32_t timeOut, stallLimit;
  std::function<void(ScriptServer&)> afterDataReply;  // what the server does then
  std::string outcome;
  std::vector<std::string> events;
};

const std::vector<std::string> kStalled = {"Connect", "SendStart"};
const std::vector<std::string> kRefused = {"Connect", "SendStart", "Failure"};
void StopReading(ScriptServer& s) { s.ReadBytes(1000).Pause(20000); }

std::vector<DataCase> DataCases() {
  return {
      {"StopsReadingWithTimeOut", 500, 600000, StopReading, "EAbortError: Socket send aborted", kStalled},
      {"StopsReadingWithoutTimeOut", 0, 500, StopReading, "EAbortError: Socket send aborted", kStalled},
      {"EarlyRefusalThenStopsReading", 500, 600000,
       [](ScriptServer& s) { s.ReadBytes(1000).Send("554 5.3.4 message too big\r\n").Pause(20000); },
       "ESmtpError(554): 554 5.3.4 message too big\r\n", kRefused},
      {"EarlyRefusalThenReset", 0, 600000,
       [](ScriptServer& s) { s.ReadBytes(1000).Send("554 5.3.4 message too big\r\n").Pause(100).Reset(); },
       "ESmtpError(554): 554 5.3.4 message too big\r\n", kRefused},
      {"EarlyTwoLineRefusalThenClose", 0, 600000,
       [](ScriptServer& s) { s.ReadBytes(1000).Send("552-5.3.4 too\r\n552 5.3.4 big\r\n").Close(); },
       "ESmtpError(552): 552-5.3.4 too\r\n552 5.3.4 big\r\n", kRefused},
      // An early temporary refusal stays temporary.
      {"EarlyTemporaryRefusal", 0, 600000,
       [](ScriptServer& s) { s.ReadBytes(1000).Send("451 4.3.0 out of space\r\n").Pause(100).Reset(); },
       "ESmtpError(451): 451 4.3.0 out of space\r\n", kRefused},
  };
}

class DataTransfer : public testing::TestWithParam<DataCase> {};

TEST_P(DataTransfer, Run) {
  const DataCase& c = GetParam();
  Session s;
  s.server.SetReceiveBuffer(4096);
  StdMessage(s);
  // 16 MiB: more than every socket buffer between the two ends holds.
  for (int i = 0; i < 16384; ++i) s.smtp.PostMessage.Body.Add(std::string(1022, 'b'));
  s.smtp.TimeOut = c.timeOut;
  s.smtp.SendStallLimit = c.stallLimit;
  s.server.Send("220 ready\r\n");
  for (const char* reply : {"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"}) {
    s.server.ReadLine();
    s.server.Send(reply);
  }
  c.afterDataReply(s.server);

  EXPECT_EQ(Visible(Outcome([&] { return Send(s); })), Visible(c.outcome));
  EXPECT_EQ(s.events, c.events);
  EXPECT_FALSE(s.smtp.Busy);
  const std::vector<std::string> commands = {"EHLO client.example", "RSET", "MAIL FROM:<sender@example.org>",
                                             "RCPT TO:<rcpt@example.com>", "DATA"};
  EXPECT_EQ(s.server.Commands(), commands);
}

INSTANTIATE_TEST_SUITE_P(Smtp, DataTransfer, testing::ValuesIn(DataCases()),
                         [](const testing::TestParamInfo<DataCase>& info) { return info.param.name; });

// The whole message fits in the socket buffers, so every write of it succeeds; the
// refusal and the reset come before the final ".", whose write then fails. The
// refusal waiting on the connection is what the send reports, not the reset.
TEST(DataTransfer, RefusalBeforeTheFinalDotIsReportedNotTheReset) {
  Session s;
  StdMessage(s);
  s.server.Send("220 ready\r\n");
  for (const char* reply : {"250 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"}) {
    s.server.ReadLine();
    s.server.Send(reply);
  }
  s.server.ReadUntil("..dot\r\n\r\n").Send("554 5.7.1 refused as spam\r\n").Reset();
  s.smtp.OnTrace = [&s](TComponent*, TTraceKind kind, int, const std::string& text) {
    if (kind == TTraceKind::Sent && text == ".") {
      ASSERT_TRUE(s.server.WaitDone());
    }
  };

  EXPECT_EQ(Visible(Outcome([&] { return Send(s); })), Visible("ESmtpError(554): 554 5.7.1 refused as spam\r\n"));
  EXPECT_EQ(s.events, kRefused);
  EXPECT_FALSE(s.smtp.FinalDotPending);
}

}  // namespace
