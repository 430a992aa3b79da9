#include "smtp/Lxsmtp.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "jmail/MailAddress.h"
#include "jmail/MailJstr.h"
#include "jmail/MailText.h"
#include "platform/FileUtil.h"
#include "smtp/LxsmtpInternal.h"

namespace {

// The piece WriteBody reads and writes at a time.
constexpr int64_t kWriteChunk = 64 * 1024;

// The process-wide pseudo-random generator of boundaries: a 32-bit state that
// starts at 0 in every run, so the sequence of boundaries repeats run by run.
uint32_t randSeed = 0;

int RandomBelow(uint32_t range) {
  randSeed = randSeed * 134775813u + 1u;
  return static_cast<int>((static_cast<uint64_t>(randSeed) * range) >> 32);
}

bool HasLineBreakOrNul(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

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

// Writes a body entry (through write, which takes the bytes) followed by CR LF, a "." in front of every line that begins
// with "." (so that the server neither takes it for the end of the data nor drops
// its first dot). An entry holding CR or LF bytes is written as several lines: a
// bare CR or LF becomes CR LF, since a bare break would reach the wire, and a break
// followed by "." alone would end the data early and let the rest of the body be
// read as commands. The bytes go out in runs that end only where something must
// change, so an entry of many CR LF lines (an attachment's encoded text) is one write.
template <class Write>
void WriteBodyLineTo(const Write& write, std::string_view line) {
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

void WriteBodyLine(TStream& stream, std::string_view line) {
  WriteBodyLineTo([&stream](std::string_view bytes) { stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size())); },
                  line);
}

// The message's text as it goes on the wire: the encoder's lines, each written as
// WriteBodyLine writes a body entry, made a batch at a time into a buffer the stream
// keeps. Only the batch is held, never the converted text; its size comes from a
// counting pass through the same lines, kept as a number.
class TTextBodyStream : public TStream {
 public:
  explicit TTextBodyStream(TBodyText text) : text_(std::move(text)), lines_(text_) {}
  TTextBodyStream(const TTextBodyStream&) = delete;
  TTextBodyStream& operator=(const TTextBodyStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override {
    auto* dest = static_cast<char*>(buffer);
    // Never past a size told: it went into SIZE= and the progress.
    const bool sized = size_ >= 0;
    if (sized) count = std::min(count, size_ - pos_);
    int64_t done = 0;
    while (done < count) {
      if (outAt_ == out_.size() && !Refill()) break;
      const size_t n = std::min(static_cast<size_t>(count - done), out_.size() - outAt_);
      std::memcpy(dest + done, out_.data() + outAt_, n);
      outAt_ += n;
      done += static_cast<int64_t>(n);
    }
    pos_ += done;
    // Lines that changed while the message went out would leave a gap the reader
    // could only wait on.
    if (sized && done < count) throw EStreamError("The message text changed while it was sent");
    return done;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  // Reports the position, or goes back to the start.
  int64_t Seek(int64_t offset, int origin) override {
    const int64_t target = origin == soFromBeginning ? offset : origin == soFromCurrent ? pos_ + offset : Size() + offset;
    if (target == pos_) return pos_;
    if (target != 0) throw EStreamError("The message text can only be read again from its start");
    lines_.Rewind();
    out_.clear();
    outAt_ = 0;
    pos_ = 0;
    return 0;
  }
  int64_t Size() override {
    if (size_ < 0) {
      TTextLineEncoder lines(text_);
      int64_t size = 0;
      const auto count = [&size](std::string_view bytes) { size += static_cast<int64_t>(bytes.size()); };
      for (std::string_view line; lines.Next(line);) WriteBodyLineTo(count, line);
      size_ = size;
    }
    return size_;
  }

 private:
  static constexpr size_t kBatch = 64 * 1024;
  bool Refill() {
    out_.clear();
    outAt_ = 0;
    const auto append = [this](std::string_view bytes) { out_.append(bytes); };
    std::string_view line;
    while (out_.size() < kBatch && lines_.Next(line)) WriteBodyLineTo(append, line);
    return !out_.empty();
  }
  const TBodyText text_;
  TTextLineEncoder lines_;
  std::string out_;
  size_t outAt_ = 0;
  int64_t pos_ = 0, size_ = -1;
};

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

}  // namespace

void RefuseLineBreaks(const std::string& text, const char* what) {
  if (HasLineBreakOrNul(text))
    throw Exception(std::string("CR, LF or NUL in ") + what + " refused: " + text.substr(0, text.find_first_of(std::string("\r\n\0", 3))));
}

void ResetBoundarySequence() { randSeed = 0; }

TLxSMTP::TLxSMTP(TComponent* owner) : TLxSocket(owner) { Port = 25; }

TLxSMTP::~TLxSMTP() { MarkDestroying(); }

void TLxSMTP::Abort() { TLxSocket::Abort(); }

std::string TLxSMTP::ExtractAddress(const std::string& entry) { return BareAddress(entry); }

std::string TLxSMTP::EnvelopeAddress(const std::string& entry) {
  const std::string address = AsciiDomainAddress(ExtractAddress(entry));
  return IsAsciiText(address) ? address : ConvertToUtf8(address);
}

std::string TLxSMTP::EnvelopeCommand(const char* verb, const std::string& address,
                                     const std::string& parameters) const {
  std::string command = verb + ("<" + address + ">") + parameters;
  if (!Capabilities.SmtpUtf8 && !IsAsciiText(command))
    throw Exception("Non-ASCII envelope refused without SMTPUTF8: " + command);
  return command;
}

void TLxSMTP::ClearRecipients() {
  PostMessage.ToAddress.Clear();
  PostMessage.ToCarbonCopy.Clear();
  PostMessage.ToBlindCarbonCopy.Clear();
  PostMessage.Attachments.Clear();
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
      Extensions.Clear();
      Capabilities = TSmtpCapabilities();
      if (Security == ssTls) startTls();
      Command("", TSmtpStep::Greeting);
      if (Security != ssNone) SecureHello(startTls);
      else PlainHello();
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
void TLxSMTP::PlainHello() {
  for (int attempts = 0;; ++attempts) {
    std::string reply;
    if (Ehlo(UserID, reply) == TSmtpAction::GoOn) return;
    // A 5xx: the handler may supply another user name for a second try.
    bool handled = false;
    if (attempts == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
    if (!handled) {
      // Nothing was authenticated: a greeting without a name is refused for the name.
      if (UserID.find_first_not_of(" \t") == std::string::npos)
        throw ESmtpError("HELO needs a user name: " + ReplyLine(reply), ReplyNumber, TSmtpFailure::Final);
      throw ESmtpError("Authentication failed", ReplyNumber, TSmtpFailure::Final);
    }
    RefuseLineBreaks(UserID, "the user identifier");
  }
}

void TLxSMTP::Disconnect() {
  CancelRequested = false;
  std::string reply;
  TSmtpAction action;
  try {
    action = Ask("QUIT", TSmtpStep::Quit, reply);
  } catch (...) {
    TLxSocket::Disconnect();
    throw;
  }
  TLxSocket::Disconnect();
  // The server has gone already: nothing is left to say goodbye to.
  if (action != TSmtpAction::GoOn && !reply.empty()) Fail(TSmtpStep::Quit, action, reply);
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
  bodyInserts_.clear();
  // The body is written line by line; room for all of it at once spares the copies
  // (and the doubled capacity) of growing a large body step by step.
  size_t bodySize = 0;
  for (const std::string& line : m.Body) bodySize += line.size() + 3;
  BodyStream.Reserve(static_cast<int64_t>(bodySize));
  TPrefaulter prefault(BodyStream.Memory(), bodySize);
  if (!m.Attachments.Empty()) WriteText(BodyStream, "--" + Boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n");
  // An entry that stands for a file leaves its place to the file's encoded text.
  size_t nextFile = 0;
  auto writeEntry = [&](int index, const std::string& line) {
    if (m.BodyText.Entry == index) {
      bodyInserts_.push_back({BodyStream.Size(), std::make_unique<TTextBodyStream>(
                                                     KeepBody ? m.BodyText : std::move(PostMessage.BodyText))});
      return;
    }
    if (nextFile < m.BodyFiles.size() && m.BodyFiles[nextFile].Entry == index) {
      bodyInserts_.push_back({BodyStream.Size(), std::make_unique<TBase64FileStream>(m.BodyFiles[nextFile++].Path)});
      return;
    }
    prefault.Ahead(static_cast<size_t>(BodyStream.Size()));
    WriteBodyLine(BodyStream, line);
  };
  if (KeepBody) {
    for (int i = 0; i < m.Body.Count(); ++i) writeEntry(i, m.Body[i]);
  } else {
    // Each entry is freed once it is in the stream: a large body is never held twice.
    TStringList body = std::move(PostMessage.Body);
    PostMessage.Body.Clear();
    for (int i = 0; i < body.Count(); ++i) {
      writeEntry(i, body[i]);
      std::string().swap(body[i]);
    }
    PostMessage.BodyFiles.clear();
    PostMessage.BodyText = TBodyText();
  }
  if (m.Attachments.Empty()) return;
  for (int i = 1; i <= m.Attachments.Count(); ++i) WriteAttachmentPart(i);
  WriteText(BodyStream, "--" + Boundary + "--\r\n");
}

class TLxSMTP::TBodyReader : public TStream {
 public:
  // Reads from the start, whatever an earlier reader left of the inserts.
  TBodyReader(const std::string& text, const std::vector<TBodyInsert>& inserts) : text_(text), inserts_(inserts) {
    for (const TBodyInsert& insert : inserts) insert.Text->SetPosition(0);
  }
  int64_t Read(void* buffer, int64_t count) override {
    auto* dest = static_cast<char*>(buffer);
    int64_t done = 0;
    // Even pieces are stretches of the text, odd ones the inserts between them.
    while (done < count && piece_ <= 2 * inserts_.size()) {
      int64_t n;
      if (piece_ % 2 == 0) {
        const size_t i = piece_ / 2;
        const int64_t end = i < inserts_.size() ? inserts_[i].Offset : static_cast<int64_t>(text_.size());
        n = std::min(count - done, end - textAt_);
        std::memcpy(dest + done, text_.data() + textAt_, static_cast<size_t>(n));
        textAt_ += n;
        if (textAt_ == end) ++piece_;
      } else {
        TStream& insert = *inserts_[piece_ / 2].Text;
        n = insert.Read(dest + done, count - done);
        if (n == 0) ++piece_;
      }
      done += n;
    }
    pos_ += done;
    return done;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  // Reports the position, or goes back to the start.
  int64_t Seek(int64_t offset, int origin) override {
    const int64_t target = origin == soFromBeginning ? offset : origin == soFromCurrent ? pos_ + offset : Size() + offset;
    if (target == pos_) return pos_;
    if (target != 0) throw EStreamError("The body can only be read again from its start");
    for (const TBodyInsert& insert : inserts_) insert.Text->SetPosition(0);
    pos_ = textAt_ = 0;
    piece_ = 0;
    return 0;
  }
  // Found when first asked (a text insert counts its lines then): a reader that only
  // reads to the end never needs it.
  int64_t Size() override {
    if (size_ < 0) {
      size_ = static_cast<int64_t>(text_.size());
      for (const TBodyInsert& insert : inserts_) size_ += insert.Text->Size();
    }
    return size_;
  }

 private:
  const std::string& text_;
  const std::vector<TBodyInsert>& inserts_;
  int64_t size_ = -1, pos_ = 0, textAt_ = 0;
  size_t piece_ = 0;
};

uint64_t TLxSMTP::BodySize() const {
  uint64_t size = BodyStream.DataString().size();
  for (const TBodyInsert& insert : bodyInserts_) size += static_cast<uint64_t>(insert.Text->Size());
  return size;
}

void TLxSMTP::WriteBody(TStream& dest) {
  TBodyReader body(BodyStream.DataString(), bodyInserts_);
  // Read to its end, a chunk at a time: the size is not needed for that.
  std::unique_ptr<char[]> chunk(new char[kWriteChunk]);
  for (int64_t n; (n = body.Read(chunk.get(), kWriteChunk)) > 0;) dest.WriteBuffer(chunk.get(), n);
}

namespace {
// A stream read from source that writes what it reads into copy.
class TCopyingReader : public TStream {
 public:
  TCopyingReader(TStream& source, TStream& copy) : source_(source), copy_(copy) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = source_.Read(buffer, count);
    if (n > 0) copy_.WriteBuffer(buffer, n);
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override { return source_.Seek(offset, origin); }
  int64_t Size() override { return source_.Size(); }

 private:
  TStream& source_;
  TStream& copy_;
};
}  // namespace

void TLxSMTP::SendBody() {
  TBodyReader body(BodyStream.DataString(), bodyInserts_);
  TStream* copy = std::exchange(BodyCopy, nullptr);
  if (!copy) {
    SendStream(body);
    return;
  }
  TCopyingReader copying(body, *copy);
  SendStream(copying);
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
