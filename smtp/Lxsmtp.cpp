#include "smtp/Lxsmtp.h"

#include <cstring>
#include <memory>
#include <vector>

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

// Writes one text line with CR LF, a "." in front when it begins with "." (so that
// the server neither takes it for the end of the data nor drops its first dot).
void WriteStuffedLine(TStream& stream, std::string_view line) {
  if (!line.empty() && line[0] == '.') stream.WriteBuffer(".", 1);
  stream.WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
  stream.WriteBuffer("\r\n", 2);
}

// Writes a body entry. An entry holding CR or LF bytes is written as several lines,
// split at CR LF, CR or LF, each dot-stuffed: a bare break would reach the wire, and
// a break followed by "." alone would end the data early and let the rest of the
// body be read as commands.
void WriteBodyLine(TStream& stream, const std::string& line) {
  size_t start = 0;
  for (;;) {
    const size_t brk = line.find_first_of("\r\n", start);
    if (brk == std::string::npos) break;
    WriteStuffedLine(stream, std::string_view(line).substr(start, brk - start));
    start = brk + (line[brk] == '\r' && brk + 1 < line.size() && line[brk + 1] == '\n' ? 2 : 1);
  }
  WriteStuffedLine(stream, std::string_view(line).substr(start));
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

void TLxSMTP::ReadRestOfReply(std::string& line) {
  // An empty or short line (the server closed the connection) ends the reply.
  while (!line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'))) line = ReadLn();
}

void TLxSMTP::ClearRecipients() {
  PostMessage.ToAddress.Clear();
  PostMessage.ToCarbonCopy.Clear();
  PostMessage.ToBlindCarbonCopy.Clear();
  PostMessage.Attachments.Clear();
}

std::string TLxSMTP::Command(const std::string& line, int failAt) {
  std::string reply = Transaction(line);
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
      std::string greeting = ReadLn();
      ReadRestOfReply(greeting);
      if (greeting.empty()) throw ESmtpError(kNoReply, 0);
      if (const int16_t code = ReplyNumberOf(greeting); code < 200 || code >= 400) throw ESmtpError(greeting, code);
      if (Security != ssNone) SecureHello(startTls);
      for (int attempts = 0; Security == ssNone; ++attempts) {
        std::string reply = Transaction("HELO " + UserID);
        ReadRestOfReply(reply);
        if (reply.empty()) throw ESmtpError(kNoReply, 0);
        if (ReplyNumber < 200) throw ESmtpError(reply, ReplyNumber);
        if (ReplyNumber < 300) break;
        bool handled = false;
        if (attempts == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
        if (!handled) throw ESmtpError("Authentication failed", ReplyNumber);
        RefuseLineBreaks(UserID, "the user identifier");
      }
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
    std::string reply = Command("STARTTLS", 300);
    ReadRestOfReply(reply);
    startTls();
    Ehlo(name);  // what the server offers inside TLS may differ
  }
  if (Auth == saAuto) Authenticate();
}

void TLxSMTP::Ehlo(const std::string& name) {
  Extensions.Clear();
  std::string line = Transaction("EHLO " + name);
  if (line.empty()) throw ESmtpError(kNoReply, 0);
  const int16_t code = ReplyNumber;
  const std::string first = line;
  std::vector<std::string> more;
  while (line.size() >= 4 && line[3] == '-') {
    line = ReadLn();
    if (line.empty()) throw ESmtpError(kNoReply, 0);
    more.push_back(line);
  }
  if (code >= 300) throw ESmtpError(first, code);
  for (std::string ext : more) {
    ext = ext.substr(4);
    while (!ext.empty() && (ext.back() == '\n' || ext.back() == '\r')) ext.pop_back();
    Extensions.Add(ext);
  }
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
  bool plain = false, login = false;
  if (Offers("AUTH", &params)) {
    const std::string mechanisms = " " + AsciiUpperCase(params) + " ";
    plain = mechanisms.find(" PLAIN ") != std::string::npos;
    login = mechanisms.find(" LOGIN ") != std::string::npos;
  }
  if (!plain && !login) throw ESmtpUnsupported("AUTH PLAIN or LOGIN not offered by the server");
  // Only the reply lines are ever reported; the commands carry the password.
  auto refused = [this](const std::string& reply) {
    if (reply.empty()) return ESmtpError(kNoReply, 0);
    if (ReplyNumber == 535) return ESmtpError("Authentication failed", ReplyNumber);
    return ESmtpError(reply, ReplyNumber);
  };
  std::string reply;
  if (plain) {
    reply = Transaction("AUTH PLAIN " + Base64(std::string(1, '\0') + UserID + std::string(1, '\0') + Password));
  } else {
    reply = Transaction("AUTH LOGIN");
    if (reply.empty() || ReplyNumber != 334) throw refused(reply);
    reply = Transaction(Base64(UserID));
    if (reply.empty() || ReplyNumber != 334) throw refused(reply);
    reply = Transaction(Base64(Password));
  }
  if (reply.empty() || ReplyNumber < 200 || ReplyNumber >= 300) throw refused(reply);
}

void TLxSMTP::Disconnect() {
  CancelRequested = false;
  std::string reply;
  try {
    reply = Transaction("QUIT");
  } catch (...) {
    TLxSocket::Disconnect();
    throw;
  }
  TLxSocket::Disconnect();
  if (ReplyNumber >= 340) throw ESmtpError(reply, ReplyNumber);
}

void TLxSMTP::SendMail() {
  if (Busy) return;
  {
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
    Command("RSET", 400);
    Command("MAIL FROM:<" + PostMessage.FromAddress + ">", 400);
    for (const TStringList* list : lists) {
      // A callback may change the list while we walk it; walk a copy.
      const TStringList entries = *list;
      for (const std::string& entry : entries) {
        const std::string address = ExtractAddress(entry);
        if (address.empty()) continue;
        if (Transaction("RCPT TO:<" + address + ">").empty()) throw ESmtpError(kNoReply, 0);
        if (ReplyNumber < 200) throw ESmtpError(TransactionReply, ReplyNumber);
        if (ReplyNumber > 300 && OnRecipientNotFound) OnRecipientNotFound(entry);
      }
    }
    Command("DATA", 400);
    Write(headerBlock);
    SendStream(BodyStream);
    const std::string reply = Transaction(".");
    if (reply.empty() || ReplyNumber < 200 || ReplyNumber >= 400) {
      if (OnFailure) OnFailure(this);
      throw ESmtpError(reply.empty() ? kNoReply : reply, reply.empty() ? 0 : ReplyNumber);
    }
    if (ClearParams) ClearRecipients();
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
  if (Transaction("VRFY " + address).empty()) return false;
  return ReplyNumber <= 251;
}

bool TLxSMTP::ExpandList(const std::string& name) {
  if (Busy) return false;
  TBusyScope busy(Busy);
  RefuseLineBreaks(name, "the list name");
  CheckConnection();
  std::string reply = Transaction("EXPN " + name);
  if (reply.empty() || ReplyNumber >= 400) return false;
  if (OnMailListReturn) OnMailListReturn(reply);
  ReadRestOfReply(reply);
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
  if (!m.Attachments.Empty()) WriteText(BodyStream, "--" + Boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n");
  for (const std::string& line : m.Body) WriteBodyLine(BodyStream, line);
  if (m.Attachments.Empty()) return;
  for (int i = 1; i <= m.Attachments.Count(); ++i) WriteAttachmentPart(i);
  WriteText(BodyStream, "--" + Boundary + "--\r\n");
}

void TLxSMTP::WriteAttachmentPart(int index) {
  const std::string entry = PostMessage.Attachments[index - 1];
  const std::string name = ExtractFileName(entry);
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
