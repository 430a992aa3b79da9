// TLxSMTP: the dialogue after the greeting: EHLO (or HELO), what the server offers,
// STARTTLS and AUTH.
#include "smtp/Lxsmtp.h"

#include <string>
#include <vector>

#include "jmail/MailBase64.h"
#include "platform/AsciiCase.h"
#include "platform/WsLookup.h"
#include "smtp/LxsmtpInternal.h"

namespace {

// The SASL name of a mechanism.
const char* MechanismName(TSmtpAuth auth) {
  switch (auth) {
    case saLogin: return "LOGIN";
    case saXOAuth2: return "XOAUTH2";
    case saOAuthBearer: return "OAUTHBEARER";
    default: return "PLAIN";
  }
}

// The user name as the authorization identity of an OAUTHBEARER message, where ","
// and "=" are escaped.
std::string SaslName(const std::string& user) {
  std::string out;
  for (char c : user) {
    if (c == ',') out += "=2C";
    else if (c == '=') out += "=3D";
    else out += c;
  }
  return out;
}

}  // namespace

void TLxSMTP::SecureHello(const std::function<void()>& startTls) {
  const std::string name = EhloName.empty() ? WsLocalHostName(SocketHandle) : EhloName;
  RefuseLineBreaks(name, "the EHLO name");
  std::string reply;
  if (Ehlo(name, reply) != TSmtpAction::GoOn) Fail(TSmtpStep::Ehlo, TSmtpAction::FailFinally, reply);
  if (Security == ssStartTls) {
    if (!Capabilities.StartTls) throw ESmtpUnsupported("STARTTLS not offered by the server");
    Command("STARTTLS", TSmtpStep::StartTls);
    startTls();
    // What the server offers inside TLS may differ.
    if (Ehlo(name, reply) != TSmtpAction::GoOn) Fail(TSmtpStep::Ehlo, TSmtpAction::FailFinally, reply);
  }
  if (Auth != saNone) Authenticate();
}

TSmtpAction TLxSMTP::Ehlo(const std::string& name, std::string& reply) {
  Extensions.Clear();
  Capabilities = TSmtpCapabilities();
  TSmtpStep step = TSmtpStep::Ehlo;
  // The secure dialogue needs the extensions: it always asks with EHLO.
  TSmtpAction action = UseEhlo || Security != ssNone ? Ask("EHLO " + name, step, reply) : TSmtpAction::FallBackToHelo;
  if (action == TSmtpAction::FallBackToHelo) {
    step = TSmtpStep::Helo;
    action = Ask("HELO " + name, step, reply);
  }
  if (action == TSmtpAction::FailFinally) return action;
  if (action != TSmtpAction::GoOn) Fail(step, action, reply);
  if (step == TSmtpStep::Ehlo) {
    const std::vector<std::string> lines = ReplyLines(reply);
    // The first line greets; every further line names one extension.
    for (size_t i = 1; i < lines.size(); ++i) Extensions.Add(lines[i].size() > 4 ? lines[i].substr(4) : std::string());
    Capabilities = TSmtpCapabilities::Parse(reply);
  }
  return action;
}

bool TSmtpCapabilities::OffersAuth(const std::string& mechanism) const {
  for (const std::string& offered : AuthMechanisms)
    if (offered == mechanism) return true;
  return false;
}

namespace {
// The extensions that are offered or not, without parameters the steps need.
const struct {
  const char* name;
  bool TSmtpCapabilities::*flag;
} kFlags[] = {
    {"PIPELINING", &TSmtpCapabilities::Pipelining}, {"8BITMIME", &TSmtpCapabilities::EightBitMime},
    {"SMTPUTF8", &TSmtpCapabilities::SmtpUtf8},     {"DSN", &TSmtpCapabilities::Dsn},
    {"ENHANCEDSTATUSCODES", &TSmtpCapabilities::EnhancedStatusCodes},
    {"STARTTLS", &TSmtpCapabilities::StartTls},
};
}  // namespace

TSmtpCapabilities TSmtpCapabilities::Parse(const std::string& reply) {
  TSmtpCapabilities caps;
  const std::vector<std::string> lines = ReplyLines(reply);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string ext = lines[i].size() > 4 ? lines[i].substr(4) : std::string();
    // "AUTH=PLAIN LOGIN" is the form some older servers use.
    const size_t end = ext.find_first_of(" =");
    const std::string keyword = AsciiUpperCase(ext.substr(0, end));
    const std::string params = end == std::string::npos ? std::string() : ext.substr(end + 1);
    for (const auto& [name, flag] : kFlags)
      if (keyword == name) caps.*flag = true;
    if (keyword == "SIZE") {
      caps.Size = true;
      // A limit that is no number, or none, sets no limit.
      uint64_t limit = 0;
      size_t n = 0;
      while (n < params.size() && params[n] >= '0' && params[n] <= '9' && limit < (UINT64_MAX - 9) / 10)
        limit = limit * 10 + static_cast<uint64_t>(params[n++] - '0');
      caps.SizeLimit = n > 0 && n == params.size() ? limit : 0;
    } else if (keyword == "AUTH") {
      size_t start = 0;
      const std::string upper = AsciiUpperCase(params);
      while ((start = upper.find_first_not_of(' ', start)) != std::string::npos) {
        const size_t stop = upper.find(' ', start);
        const std::string mechanism = upper.substr(start, stop - start);
        if (!caps.OffersAuth(mechanism)) caps.AuthMechanisms.push_back(mechanism);
        start = stop;
      }
    }
  }
  return caps;
}

void TLxSMTP::Authenticate() {
  auto offers = [this](TSmtpAuth m) { return Capabilities.OffersAuth(MechanismName(m)); };
  TSmtpAuth mechanism = Auth;
  if (Auth == saAuto) {
    // Auto sends the password: PLAIN or LOGIN. A token goes only with the mechanism
    // named for it, so that no server is ever sent a password as a token or the reverse.
    mechanism = offers(saPlain) ? saPlain : offers(saLogin) ? saLogin : saNone;
    if (mechanism == saNone) throw ESmtpUnsupported("AUTH PLAIN or LOGIN not offered by the server");
  } else if (!offers(mechanism)) {
    throw ESmtpUnsupported(std::string("AUTH ") + MechanismName(mechanism) + " not offered by the server");
  }
  // The lines of the exchange: the command, then the answer to each challenge (334).
  // A refused token comes back as a challenge holding the error: XOAUTH2 answers it
  // with an empty line, OAUTHBEARER with a lone ^A; either ends the exchange.
  const std::string ctrlA(1, '\x01');
  std::vector<std::string> lines;
  switch (mechanism) {
    case saLogin:
      lines = {"AUTH LOGIN", Base64EncodeStr(UserID), Base64EncodeStr(Password)};
      break;
    case saXOAuth2:
      lines = {"AUTH XOAUTH2 " + Base64EncodeStr("user=" + UserID + ctrlA + "auth=Bearer " + Password + ctrlA + ctrlA), ""};
      break;
    case saOAuthBearer: {
      const std::string host = AlternateHost.empty() ? Host : AlternateHost;
      const int port = AlternateHost.empty() ? (Port & 0xFFFF) : AlternatePort;
      lines = {"AUTH OAUTHBEARER " + Base64EncodeStr("n,a=" + SaslName(UserID) + "," + ctrlA + "host=" + host + ctrlA +
                                                     "port=" + std::to_string(port) + ctrlA + "auth=Bearer " + Password +
                                                     ctrlA + ctrlA),
               Base64EncodeStr(ctrlA)};
      break;
    }
    default:
      lines = {"AUTH PLAIN " + Base64EncodeStr(std::string(1, '\0') + UserID + std::string(1, '\0') + Password)};
      break;
  }
  // Only the reply lines are ever reported; the commands carry the password or token,
  // and the trace shows them masked.
  std::string reply;
  TSmtpAction action = TSmtpAction::Challenge;
  for (size_t i = 0; i < lines.size() && action == TSmtpAction::Challenge; ++i) {
    if (i > 0 && lines[i].empty()) {
      Writeln("");
      action = Ask("", TSmtpStep::Auth, reply);
    } else {
      SecretCommand = i > 0;
      action = Ask(lines[i], TSmtpStep::Auth, reply);
    }
  }
  if (action == TSmtpAction::GoOn) return;
  if (action == TSmtpAction::Challenge) {
    // The server asks for more than the mechanism holds: cancel the exchange ("*") and
    // give up for good rather than answer for ever. A server that still asks is left.
    std::string cancelled;
    if (Ask("*", TSmtpStep::Auth, cancelled) == TSmtpAction::Challenge) TLxSocket::Disconnect();
    throw ESmtpError("Authentication failed: the server asked for more than AUTH " +
                         std::string(MechanismName(mechanism)) + " holds: " + ReplyLine(reply),
                     334, TSmtpFailure::Final);
  }
  if (!reply.empty() && ReplyNumber == 535) throw ESmtpError("Authentication failed", ReplyNumber, TSmtpFailure::Final);
  Fail(TSmtpStep::Auth, action, reply);
}
