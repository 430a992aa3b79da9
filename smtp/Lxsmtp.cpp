#include "smtp/Lxsmtp.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "jmail/MailJstr.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"

namespace {

const char* const kNoReply = "No reply from the server: the connection was closed";

// The process-wide pseudo-random generator of boundaries: a 32-bit state that
// starts at 0 in every run, so the sequence of boundaries repeats run by run.
uint32_t randSeed = 0;

int RandomBelow(uint32_t range) {
  randSeed = randSeed * 134775813u + 1u;
  return static_cast<int>((static_cast<uint64_t>(randSeed) * range) >> 32);
}

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

// Write carries at most 65,535 bytes in one call.
constexpr size_t kMaxWrite = 65535;

bool HasLineBreakOrNul(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

// A CR, LF or NUL in text would end the command or header line early and let the
// rest reach the server as a command of its own.
void RefuseLineBreaks(const std::string& text, const char* what) {
  if (HasLineBreakOrNul(text))
    throw Exception(std::string("CR, LF or NUL in ") + what + " refused: " + text.substr(0, text.find_first_of(std::string("\r\n\0", 3))));
}

// A header entry may hold folds (CR LF followed by a blank or tab, then more than
// blanks); any other CR, LF or NUL, and a fold at the entry's start, would start a
// header line or command of its own.
void RefuseHeaderBreaks(const std::string& line) {
  for (size_t i = line.find_first_of(std::string("\r\n\0", 3)); i != std::string::npos;
       i = line.find_first_of(std::string("\r\n\0", 3), i)) {
    const bool fold = i > 0 && line.compare(i, 2, "\r\n") == 0 && i + 2 < line.size() &&
                      (line[i + 2] == ' ' || line[i + 2] == '\t');
    size_t next = i + 2;
    while (fold && next < line.size() && (line[next] == ' ' || line[next] == '\t')) ++next;
    if (!fold || next == line.size() || line[next] == '\r' || line[next] == '\n' || line[next] == '\0')
      throw Exception("CR, LF or NUL in a header line refused: " + line.substr(0, i));
    i = next;
  }
}

void WriteText(TStream& stream, const std::string& text) { stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }

// Makes the pages of a large reserved buffer present a stretch at a time just ahead
// of the writes: one call per 2 MB instead of a page fault for every page, while the
// buffer still takes memory only as it is written (the body lines it is written
// from are freed meanwhile). A kernel without the advice ignores it.
class TPrefaulter {
 public:
  TPrefaulter(const char* buffer, size_t size)
      : base_(reinterpret_cast<uintptr_t>(buffer)), end_(base_ + (size >= kStep ? size : 0)) {
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    next_ = (base_ + page - 1) & ~(page - 1);
    end_ &= ~(page - 1);
  }
  // written: the bytes in the buffer so far.
  void Ahead(size_t written) {
    while (next_ < end_ && next_ < base_ + written + kStep) {
      const uintptr_t stop = std::min(next_ + kStep, end_);
#ifdef MADV_POPULATE_WRITE
      (void)::madvise(reinterpret_cast<void*>(next_), stop - next_, MADV_POPULATE_WRITE);
#endif
      next_ = stop;
    }
  }

 private:
  static constexpr uintptr_t kStep = 2 << 20;
  uintptr_t base_, end_, next_;
};

// Writes a body entry followed by CR LF, a "." in front of every line that begins
// with "." (so that the server neither takes it for the end of the data nor drops
// its first dot). An entry holding CR or LF bytes is written as several lines: a
// bare CR or LF becomes CR LF, since a bare break would reach the wire, and a break
// followed by "." alone would end the data early and let the rest of the body be
// read as commands. The bytes go out in runs that end only where something must
// change, so an entry of many CR LF lines (an attachment's encoded text) is one write.
void WriteBodyLine(TStream& stream, std::string_view line) {
  auto write = [&stream](std::string_view bytes) {
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  };
  if (!line.empty() && line[0] == '.') write(".");
  size_t written = 0;  // the bytes before this one are written
  size_t cr = line.find('\r'), lf = line.find('\n');
  while (cr != std::string_view::npos || lf != std::string_view::npos) {
    const size_t brk = std::min(cr, lf);
    const bool crlf = brk == cr && lf == brk + 1;
    const size_t next = brk + (crlf ? 2 : 1);  // where the following line starts
    const bool dot = next < line.size() && line[next] == '.';
    if (!crlf || dot) {
      write(line.substr(written, brk - written));
      write(dot ? "\r\n." : "\r\n");
      written = next;
    }
    if (cr < next) cr = line.find('\r', next);
    if (lf < next) lf = line.find('\n', next);
  }
  write(line.substr(written));
  write("\r\n");
}

// Appends encoded lines to stream, a "." in front of every line that begins with
// one (uuencode lines of 14 bytes begin with "."; base64 lines never do).
void WriteStuffedData(TStream& stream, const std::string& data) {
  size_t start = 0;
  while (start < data.size()) {
    size_t next = data.find('\n', start);
    next = next == std::string::npos ? data.size() : next + 1;
    if (data[start] == '.') stream.WriteBuffer(".", 1);
    stream.WriteBuffer(data.data() + start, static_cast<int64_t>(next - start));
    start = next;
  }
}

// The base64 text of bytes, "=" filled, on one line (SMTP AUTH arguments).
std::string Base64(const std::string& bytes) {
  const TSixBitCoder& coder = TSixBitCoder::Mime();
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t groups = bytes.size() / 3;
  char* end = coder.EncodeGroups(src, groups, out.data());
  if (bytes.size() % 3) end = coder.EncodeTail(src + groups * 3, bytes.size() % 3, true, end);
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

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

void ResetBoundarySequence() { randSeed = 0; }

TLxSMTP::TLxSMTP(TComponent* owner) : TLxSocket(owner) { Port = 25; }

TLxSMTP::~TLxSMTP() { MarkDestroying(); }

void TLxSMTP::Abort() { TLxSocket::Abort(); }

std::string TLxSMTP::ExtractAddress(const std::string& entry) {
  if (entry.find('<') != std::string::npos) return NthField(NthField(entry, '<', 2), '>', 1);
  if (entry.find(':') != std::string::npos) return NthField(entry, ':', 2);
  return entry;
}

namespace {
// A reply line that another line follows: it begins with a blank, or its fourth
// character is "-" ("250-first"). An empty or short line ends the reply.
bool IsContinued(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

EReplyTooLong ReplyTooLong(const char* step, const char* bound) {
  return EReplyTooLong(std::string("The server's reply at ") + step + " is too long (" + bound + ")");
}

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
}  // namespace

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

void TLxSMTP::ClearRecipients() {
  PostMessage.ToAddress.Clear();
  PostMessage.ToCarbonCopy.Clear();
  PostMessage.ToBlindCarbonCopy.Clear();
  PostMessage.Attachments.Clear();
}

std::string TLxSMTP::Command(const std::string& line, int failAt, const char* step) {
  std::string reply = Exchange(line, step);
  if (reply.empty()) throw ESmtpError(kNoReply, 0);
  // A line without a reply code (garbage) accepts nothing.
  if (ReplyNumber < 200 || ReplyNumber >= failAt) throw ESmtpError(reply, ReplyNumber);
  return reply;
}

void TLxSMTP::Connect() {
  {
    TBusyScope busy(Busy);
    // Refused before the connection is opened, so that nothing at all is written.
    RefuseLineBreaks(UserID, "the user identifier");
    if (Auth != saNone && Security == ssNone)
      throw Exception("SMTP AUTH needs Security starttls or tls: the password is never sent unencrypted");
    TLxSocket::Connect();
    bool closed = false;  // a failed handshake has closed the connection: no QUIT
    auto startTls = [this, &closed] {
      try {
        StartTls();
      } catch (...) {
        closed = true;
        TLxSocket::Disconnect();
        throw;
      }
    };
    try {
      if (Security == ssTls) startTls();
      const std::string greeting = Exchange("", "the greeting");
      if (greeting.empty()) throw ESmtpError(kNoReply, 0);
      if (ReplyNumber < 200 || ReplyNumber >= 400) throw ESmtpError(greeting, ReplyNumber);
      if (Security != ssNone) SecureHello(startTls);
      for (int attempts = 0; Security == ssNone; ++attempts) {
        const std::string reply = Exchange("HELO " + UserID, "HELO");
        if (reply.empty()) throw ESmtpError(kNoReply, 0);
        if (ReplyNumber < 200) throw ESmtpError(reply, ReplyNumber);
        if (ReplyNumber < 300) break;
        bool handled = false;
        if (attempts == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
        if (!handled) {
          // Nothing was authenticated: a HELO without a name is refused for the name.
          if (UserID.find_first_not_of(" \t") == std::string::npos)
            throw ESmtpError("HELO needs a user name: " + ReplyLine(reply), ReplyNumber);
          throw ESmtpError("Authentication failed", ReplyNumber);
        }
        RefuseLineBreaks(UserID, "the user identifier");
      }
    } catch (const EReplyTooLong&) {
      // What follows on the connection is more of the same: close without QUIT.
      TLxSocket::Disconnect();
      throw;
    } catch (const ESmtpError& e) {
      // The server has gone: a QUIT could only fail on the dead connection and hide
      // why. Close without it.
      if (e.Code == 0 && e.Message() == kNoReply) TLxSocket::Disconnect();
      else Disconnect();  // QUIT, then close; its own exception replaces this one
      throw;
    } catch (const EAbortError&) {
      // Cancelled by the user: a QUIT without a time-out could wait for ever on a
      // server that does not answer. A time-out gives the QUIT the same time again.
      if (TimedOut) Disconnect();
      else TLxSocket::Disconnect();
      throw;
    } catch (...) {
      if (!closed) Disconnect();
      throw;
    }
  }
  if (OnConnect) OnConnect(this);
}

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
      reply = Exchange(Base64(UserID), "AUTH");
      if (reply.empty() || ReplyNumber != 334) throw refused(reply);
      SecretCommand = true;
      reply = Exchange(Base64(Password), "AUTH");
      break;
    case saXOAuth2:
      reply = Exchange("AUTH XOAUTH2 " + Base64("user=" + UserID + ctrlA + "auth=Bearer " + Password + ctrlA + ctrlA),
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
      reply = Exchange("AUTH OAUTHBEARER " + Base64("n,a=" + SaslName(UserID) + "," + ctrlA + "host=" + host + ctrlA +
                                                      "port=" + std::to_string(port) + ctrlA + "auth=Bearer " +
                                                      Password + ctrlA + ctrlA),
                       "AUTH");
      // The error challenge is answered with a lone ^A, which ends the exchange.
      if (!reply.empty() && ReplyNumber == 334) reply = Exchange(Base64(ctrlA), "AUTH");
      break;
    }
    default:
      reply = Exchange("AUTH PLAIN " + Base64(std::string(1, '\0') + UserID + std::string(1, '\0') + Password), "AUTH");
      break;
  }
  if (reply.empty() || ReplyNumber < 200 || ReplyNumber >= 300) throw refused(reply);
}

void TLxSMTP::Disconnect() {
  CancelRequested = false;
  std::string reply;
  try {
    reply = Exchange("QUIT", "QUIT");
  } catch (...) {
    TLxSocket::Disconnect();
    throw;
  }
  TLxSocket::Disconnect();
  if (ReplyNumber >= 340) throw ESmtpError(reply, ReplyNumber);
}

std::string TLxSMTP::EarlyReply() {
  // A refusal the server sent before it stopped reading is waiting already; its
  // other lines get a short time, whatever the time-out says.
  constexpr int32_t kEarlyReplyMs = 5000;
  const int32_t timeOut = TimeOut;
  try {
    CancelRequested = false;
    if (!IsConnected || !DataAvailable()) return std::string();
    TimeOut = timeOut > 0 && timeOut < kEarlyReplyMs ? timeOut : kEarlyReplyMs;
    std::string reply = Exchange("", "DATA");
    TimeOut = timeOut;
    return reply;
  } catch (...) {
    TimeOut = timeOut;
    CancelRequested = false;
    return std::string();
  }
}

void TLxSMTP::SendMail() {
  if (Busy) return;
  Refusals.clear();
  FinalDotPending = false;
  try {
    TBusyScope busy(Busy);
    BuildMessage();
    CheckConnection();
    for (int attempts = 0;; ++attempts) {
      const bool hasRecipient = !PostMessage.ToAddress.Empty() || !PostMessage.ToCarbonCopy.Empty() ||
                                !PostMessage.ToBlindCarbonCopy.Empty();
      if (!PostMessage.FromAddress.empty() && hasRecipient) break;
      bool handled = false;
      if (attempts == 0 && OnHeaderIncomplete) OnHeaderIncomplete(handled, PostMessage.FromAddress.empty() ? 1 : 2);
      if (!handled) throw Exception("Incomplete Header");
    }
    if (OnSendStart) OnSendStart(this);

    // Everything that goes into a command or the header is checked before the
    // first command of this send is written.
    CheckMessage();
    if (OnDataReady) OnDataReady(this);
    const std::string headerBlock = HeaderBlock();

    const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
    Command("RSET", 400, "RSET");
    Command("MAIL FROM:<" + PostMessage.FromAddress + ">", 400, "MAIL FROM");
    int accepted = 0;
    for (const TStringList* list : lists) {
      // A callback may change the list while we walk it; walk a copy.
      const TStringList entries = *list;
      for (const std::string& entry : entries) {
        const std::string address = ExtractAddress(entry);
        if (address.empty()) continue;
        const std::string reply = Exchange("RCPT TO:<" + address + ">", "RCPT TO");
        if (reply.empty()) throw ESmtpError(kNoReply, 0);
        if (ReplyNumber < 200) throw ESmtpError(reply, ReplyNumber);
        if (ReplyNumber <= 300) {
          ++accepted;
          continue;
        }
        Refusals.push_back({entry, address, ReplyNumber, ReplyLine(reply)});
        if (OnRecipientNotFound) OnRecipientNotFound(entry);
      }
    }
    // With every recipient refused, what they were told says whether a later try can
    // pass, not the refusal of the message that follows.
    auto throwIfAllRefused = [this, accepted] {
      if (accepted > 0 || Refusals.empty()) return;
      std::string text = "All recipients refused: ";
      int code = 0;
      for (size_t i = 0; i < Refusals.size(); ++i) {
        text += (i ? "; " : "") + Refusals[i].Address + " " + Refusals[i].Reply;
        if (code == 0 || (code / 100 != 4 && Refusals[i].Code / 100 == 4)) code = Refusals[i].Code;
      }
      throw ERecipientsRefused(text, code);
    };
    try {
      Command("DATA", 400, "DATA");
    } catch (const ESmtpError&) {
      throwIfAllRefused();
      throw;
    }
    std::string reply;
    try {
      {
        // One limit for header and body: it ends a transfer that stalls, not a long one.
        TWaitScope wait(*this, true);
        Write(headerBlock);
        SendStream(BodyStream);
      }
      FinalDotPending = true;
      reply = Exchange(".", "the end of data");
      FinalDotPending = false;
    } catch (const ESockError& e) {
      // A server that refuses the message before it has all of it ("552 too big")
      // sends its reply and stops reading or closes: its reply, not the broken
      // transfer, says what happened. The whole message can sit in the socket's
      // buffer before the refusal comes, so the final "." meets the reset as well.
      // A cancel by the user stays a cancel.
      if (dynamic_cast<const EAbortError*>(&e) && !TimedOut) throw;
      const bool timedOut = TimedOut;
      const std::string early = EarlyReply();
      if (early.empty() || ReplyNumber < 400) {
        TimedOut = timedOut;
        throw;
      }
      FinalDotPending = false;
      if (OnFailure) OnFailure(this);
      throw ESmtpError(early, ReplyNumber);
    }
    if (reply.empty() || ReplyNumber < 200 || ReplyNumber >= 400) {
      if (OnFailure) OnFailure(this);
      throwIfAllRefused();
      throw ESmtpError(reply.empty() ? kNoReply : reply, reply.empty() ? 0 : ReplyNumber);
    }
    if (ClearParams) ClearRecipients();
  } catch (const EReplyTooLong&) {
    // What follows on the connection is more of the same: close without QUIT.
    TLxSocket::Disconnect();
    throw;
  }
  if (OnSuccess) OnSuccess(this);
}

void TLxSMTP::CheckMessage() const {
  RefuseLineBreaks(PostMessage.FromAddress, "the sender address");
  const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
  for (const TStringList* list : lists)
    for (const std::string& entry : *list) RefuseLineBreaks(ExtractAddress(entry), "a recipient address");
  for (const std::string& line : FinalHeader) RefuseHeaderBreaks(line);
  // The header block goes out with one Write after DATA was accepted; one that is
  // too long must fail now, not in the middle of the data.
  if (HeaderBlock().size() > kMaxWrite) throw ERangeError("Range check error");
}

bool TLxSMTP::Verify(const std::string& address) {
  RefuseLineBreaks(address, "the address to verify");
  CheckConnection();
  // No reply at all (the server closed) verifies nothing.
  if (Exchange("VRFY " + address, "VRFY").empty()) return false;
  return ReplyNumber <= 251;
}

bool TLxSMTP::ExpandList(const std::string& name) {
  if (Busy) return false;
  TBusyScope busy(Busy);
  RefuseLineBreaks(name, "the list name");
  CheckConnection();
  const std::string reply = Exchange("EXPN " + name, "EXPN");
  if (reply.empty() || ReplyNumber >= 400) return false;
  // The first line, with its line end.
  if (OnMailListReturn) OnMailListReturn(reply.substr(0, reply.find('\n') + 1));
  return true;
}

void TLxSMTP::BuildMessage() {
  const TPostMessage& m = PostMessage;
  FinalHeader.Clear();
  FinalHeader.Add("From: " + m.FromName + "<" + m.FromAddress + ">");
  auto joined = [](const TStringList& list) {
    std::string out;
    for (int i = 0; i < list.Count(); ++i) out += (i ? "," : "") + list[i];
    return out;
  };
  if (!m.ToAddress.Empty()) FinalHeader.Add("To: " + joined(m.ToAddress));
  if (!m.ToCarbonCopy.Empty()) FinalHeader.Add("CC: " + joined(m.ToCarbonCopy));
  FinalHeader.SetHeader("Subject", m.Subject);
  FinalHeader.SetHeader("X-Mailer", m.LocalProgram);
  if (!m.ReplyTo.empty()) FinalHeader.SetHeader("Reply-To", m.ReplyTo);
  if (!m.Date.empty()) FinalHeader.SetHeader("Date", m.Date);
  FinalHeader.Add("Mime-Version: 1.0");
  if (m.Attachments.Empty()) {
    static const char* const kTypes[] = {"text/plain", "text/enriched", "text/sgml", "text/tab-separated-values",
                                         "text/html"};
    const char* type = SubType >= mtPlain && SubType <= mtHtml ? kTypes[SubType] : kTypes[0];
    FinalHeader.Add(std::string("Content-Type: ") + type + "; charset=" + Charset);
  } else {
    Boundary = "====================54535";
    for (int i = 0; i < 6; ++i) Boundary += static_cast<char>('a' + RandomBelow(25));
    Boundary += "====";
    FinalHeader.Add("Content-Type: multipart/mixed; boundary=\"" + Boundary + "\"");
  }

  BodyStream.Clear();
  // The body is written line by line; room for all of it at once spares the copies
  // (and the doubled capacity) of growing a large body step by step.
  size_t bodySize = 0;
  for (const std::string& line : m.Body) bodySize += line.size() + 3;
  BodyStream.Reserve(static_cast<int64_t>(bodySize));
  TPrefaulter prefault(BodyStream.Memory(), bodySize);
  if (!m.Attachments.Empty()) WriteText(BodyStream, "--" + Boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n");
  if (KeepBody) {
    for (const std::string& line : m.Body) {
      prefault.Ahead(static_cast<size_t>(BodyStream.Size()));
      WriteBodyLine(BodyStream, line);
    }
  } else {
    // Each entry is freed once it is in the stream: a large body is never held twice.
    TStringList body = std::move(PostMessage.Body);
    PostMessage.Body.Clear();
    for (int i = 0; i < body.Count(); ++i) {
      prefault.Ahead(static_cast<size_t>(BodyStream.Size()));
      WriteBodyLine(BodyStream, body[i]);
      std::string().swap(body[i]);
    }
  }
  if (m.Attachments.Empty()) return;
  for (int i = 1; i <= m.Attachments.Count(); ++i) WriteAttachmentPart(i);
  WriteText(BodyStream, "--" + Boundary + "--\r\n");
}

void TLxSMTP::WriteAttachmentPart(int index) {
  const std::string entry = PostMessage.Attachments[index - 1];
  // The name stays inside its quoted parameter and its header line.
  const std::string name = QuotedParameterText(WithoutControlCharacters(ExtractFileName(entry)));
  WriteText(BodyStream, "--" + Boundary + "\r\n" +
                            "Content-Type: application/octet-stream; name=\"" + name + "\"\r\n" +
                            "Content-Transfer-Encoding: base64\r\n" +
                            "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n");
  TLxUUProcessor processor(this);
  processor.Method = EncodeType;
  std::unique_ptr<TFileStream> file;
  try {
    file = std::make_unique<TFileStream>(entry, fmOpenRead);
  } catch (const EFOpenError&) {
    if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
    throw;
  }
  TMemoryStream encoded;
  // Room for the whole encoded file up front (62 bytes per 45-byte line, 63 with
  // uuencode, plus its closing line): growing step by step would hold two copies.
  encoded.Reserve((file->Size() / 45 + 2) * 64);
  {
    TS_BufferStream output(encoded);
    // The encoder reads 45 bytes at a time; a buffer in front of the file keeps
    // that from becoming one system call per line.
    TS_BufferStream input(*file);
    processor.InputStream = &input;
    processor.OutputStream = &output;
    if (OnEncodeStart) OnEncodeStart(entry);
    processor.Encode();
    if (OnEncodeEnd) OnEncodeEnd(entry);
    output.SetPosition(0);  // writes the pending bytes through
  }
  file.reset();
  const std::string& data = encoded.DataString();
  BodyStream.Reserve(BodyStream.Size() + static_cast<int64_t>(data.size()) + 64);
  if (EncodeType == uuCode) WriteStuffedData(BodyStream, data);
  else BodyStream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
}
