// TLxSMTP: the secure dialogue after the greeting: EHLO, STARTTLS and AUTH.
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
  Ehlo(name);
  if (Security == ssStartTls) {
    if (!Offers("STARTTLS")) throw ESmtpUnsupported("STARTTLS not offered by the server");
    Command("STARTTLS", 300, "STARTTLS");
    startTls();
    Ehlo(name);  // what the server offers inside TLS may differ
  }
  if (Auth != saNone) Authenticate();
}

void TLxSMTP::Ehlo(const std::string& name) {
  Extensions.Clear();
  const std::string reply = Command("EHLO " + name, 300, "EHLO");
  const std::vector<std::string> lines = ReplyLines(reply);
  // The first line greets; every further line names one extension.
  for (size_t i = 1; i < lines.size(); ++i) Extensions.Add(lines[i].size() > 4 ? lines[i].substr(4) : std::string());
}

bool TLxSMTP::Offers(const std::string& keyword, std::string* params) const {
  for (const std::string& ext : Extensions) {
    // "AUTH=PLAIN LOGIN" is the form some older servers use.
    const size_t end = ext.find_first_of(" =");
    if (AsciiUpperCase(ext.substr(0, end)) != keyword) continue;
    if (params) *params = end == std::string::npos ? std::string() : ext.substr(end + 1);
    return true;
  }
  return false;
}

void TLxSMTP::Authenticate() {
  std::string params;
  const std::string offered = Offers("AUTH", &params) ? " " + AsciiUpperCase(params) + " " : std::string();
  auto offers = [&offered](TSmtpAuth m) { return offered.find(" " + std::string(MechanismName(m)) + " ") != std::string::npos; };
  TSmtpAuth mechanism = Auth;
  if (Auth == saAuto) {
    // Auto sends the password: PLAIN or LOGIN. A token goes only with the mechanism
    // named for it, so that no server is ever sent a password as a token or the reverse.
    mechanism = offers(saPlain) ? saPlain : offers(saLogin) ? saLogin : saNone;
    if (mechanism == saNone) throw ESmtpUnsupported("AUTH PLAIN or LOGIN not offered by the server");
  } else if (!offers(mechanism)) {
    throw ESmtpUnsupported(std::string("AUTH ") + MechanismName(mechanism) + " not offered by the server");
  }
  // Only the reply lines are ever reported; the commands carry the password or token,
  // and the trace shows them masked.
  auto refused = [this](const std::string& reply) {
    if (reply.empty()) return ESmtpError(kNoReply, 0);
    if (ReplyNumber == 535) return ESmtpError("Authentication failed", ReplyNumber);
    return ESmtpError(reply, ReplyNumber);
  };
  const std::string ctrlA(1, '\x01');
  std::string reply;
  switch (mechanism) {
    case saLogin:
      reply = Exchange("AUTH LOGIN", "AUTH");
      if (reply.empty() || ReplyNumber != 334) throw refused(reply);
      SecretCommand = true;
      reply = Exchange(Base64EncodeStr(UserID), "AUTH");
      if (reply.empty() || ReplyNumber != 334) throw refused(reply);
      SecretCommand = true;
      reply = Exchange(Base64EncodeStr(Password), "AUTH");
      break;
    case saXOAuth2:
      reply = Exchange("AUTH XOAUTH2 " + Base64EncodeStr("user=" + UserID + ctrlA + "auth=Bearer " + Password + ctrlA + ctrlA),
                       "AUTH");
      // A refused token comes back as a challenge holding the error; an empty
      // response ends the exchange with the final reply.
      if (!reply.empty() && ReplyNumber == 334) {
        Writeln("");
        reply = Exchange("", "AUTH");
      }
      break;
    case saOAuthBearer: {
      const std::string host = AlternateHost.empty() ? Host : AlternateHost;
      const int port = AlternateHost.empty() ? (Port & 0xFFFF) : AlternatePort;
      reply = Exchange("AUTH OAUTHBEARER " + Base64EncodeStr("n,a=" + SaslName(UserID) + "," + ctrlA + "host=" + host + ctrlA +
                                                      "port=" + std::to_string(port) + ctrlA + "auth=Bearer " +
                                                      Password + ctrlA + ctrlA),
                       "AUTH");
      // The error challenge is answered with a lone ^A, which ends the exchange.
      if (!reply.empty() && ReplyNumber == 334) reply = Exchange(Base64EncodeStr(ctrlA), "AUTH");
      break;
    }
    default:
      reply = Exchange("AUTH PLAIN " + Base64EncodeStr(std::string(1, '\0') + UserID + std::string(1, '\0') + Password), "AUTH");
      break;
  }
  if (reply.empty() || ReplyNumber < 200 || ReplyNumber >= 300) throw refused(reply);
}
