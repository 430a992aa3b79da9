#include "smtp/Lxsmtp.h"

#include <cstring>
#include <memory>

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

// The reply number of a reply line: its leading decimal digits, 0 when there are none.
int LeadingNumber(const std::string& line) {
  int value = 0;
  for (size_t i = 0; i < line.size() && i < 9 && line[i] >= '0' && line[i] <= '9'; ++i)
    value = value * 10 + (line[i] - '0');
  return value;
}

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
  if (ReplyNumber >= failAt) throw ESmtpError(reply, ReplyNumber);
  return reply;
}

void TLxSMTP::Connect() {
  const bool wasBusy = Busy;
  Busy = true;
  try {
    TLxSocket::Connect();
    try {
      RefuseLineBreaks(UserID, "the user identifier");
      std::string greeting = ReadLn();
      ReadRestOfReply(greeting);
      if (greeting.empty()) throw ESmtpError(kNoReply, 0);
      if (LeadingNumber(greeting) >= 400) throw ESmtpError(greeting, LeadingNumber(greeting));
      for (int attempts = 0;; ++attempts) {
        std::string reply = Transaction("HELO " + UserID);
        ReadRestOfReply(reply);
        if (reply.empty()) throw ESmtpError(kNoReply, 0);
        if (ReplyNumber < 300) break;
        bool handled = false;
        if (attempts == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
        if (!handled) throw ESmtpError("Authentication failed", ReplyNumber);
        RefuseLineBreaks(UserID, "the user identifier");
      }
    } catch (...) {
      Disconnect();  // QUIT, then close; its own exception replaces this one
      throw;
    }
  } catch (...) {
    Busy = wasBusy;
    throw;
  }
  Busy = wasBusy;
  if (OnConnect) OnConnect(this);
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
  Busy = true;
  try {
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

    const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
    Command("RSET", 400);
    Command("MAIL FROM:<" + PostMessage.FromAddress + ">", 400);
    for (const TStringList* list : lists) {
      // A callback may change the list while we walk it; walk a copy.
      const TStringList entries = *list;
      for (const std::string& entry : entries) {
        const std::string address = ExtractAddress(entry);
        if (address.empty()) continue;
        Transaction("RCPT TO:<" + address + ">");
        if (ReplyNumber > 300 && OnRecipientNotFound) OnRecipientNotFound(entry);
      }
    }
    Command("DATA", 400);
    Write(FinalHeader.Text() + "\r\n\r\n");
    SendStream(BodyStream);
    const std::string reply = Transaction(".");
    if (reply.empty() || ReplyNumber >= 400) {
      if (OnFailure) OnFailure(this);
      throw ESmtpError(reply.empty() ? kNoReply : reply, reply.empty() ? 0 : ReplyNumber);
    }
    if (ClearParams) ClearRecipients();
  } catch (...) {
    Busy = false;
    throw;
  }
  Busy = false;
  if (OnSuccess) OnSuccess(this);
}

void TLxSMTP::CheckMessage() const {
  RefuseLineBreaks(PostMessage.FromAddress, "the sender address");
  const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
  for (const TStringList* list : lists)
    for (const std::string& entry : *list) RefuseLineBreaks(ExtractAddress(entry), "a recipient address");
  for (const std::string& line : FinalHeader) RefuseHeaderBreaks(line);
}

std::string TLxSMTP::DataText() const {
  // Write sends at most 65,536 bytes of the header block.
  std::string data = FinalHeader.Text() + "\r\n\r\n";
  if (data.size() > 65536) data.resize(65536);
  return data + BodyStream.DataString();
}

bool TLxSMTP::Verify(const std::string& address) {
  CheckConnection();
  RefuseLineBreaks(address, "the address to verify");
  Transaction("VRFY " + address);
  return ReplyNumber <= 251;
}

bool TLxSMTP::ExpandList(const std::string& name) {
  if (Busy) return false;
  Busy = true;
  bool result = false;
  try {
    CheckConnection();
    RefuseLineBreaks(name, "the list name");
    std::string reply = Transaction("EXPN " + name);
    if (!reply.empty() && ReplyNumber < 400) {
      result = true;
      if (OnMailListReturn) OnMailListReturn(reply);
      ReadRestOfReply(reply);
    }
  } catch (...) {
    Busy = false;
    throw;
  }
  Busy = false;
  return result;
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
  if (!m.Attachments.Empty()) WriteText(BodyStream, "--" + Boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n");
  for (const std::string& line : m.Body) {
    if (!line.empty() && line[0] == '.') WriteText(BodyStream, ".");
    WriteText(BodyStream, line);
    WriteText(BodyStream, "\r\n");
  }
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
  TMemoryStream encoded;
  {
    TS_BufferStream output(encoded);
    std::unique_ptr<TFileStream> file;
    try {
      file = std::make_unique<TFileStream>(entry, fmOpenRead);
    } catch (const EFOpenError&) {
      if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
      throw;
    }
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
  const std::string& data = encoded.DataString();
  BodyStream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
}
