#include "app/MailSend.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

#include "jmail/MailAddress.h"
#include "jmail/MailJstr.h"
#include "jmail/MailText.h"
#include "platform/AsciiCase.h"

void SplitAddresses(const std::string& text, TStringList& list) {
  for (std::string& entry : SplitAddressList(text)) list.Add(std::move(entry));
}

MailCharset ChooseMailCharset(TCharsetChoice choice, const std::vector<std::string>& texts,
                              const TStringList& lines) {
  if (choice == TCharsetChoice::Iso2022Jp) return MailCharset::Iso2022JpLegacy;
  if (choice == TCharsetChoice::Utf8) return MailCharset::Utf8;
  for (const std::string& text : texts)
    if (!FitsIso2022Jp(text)) return MailCharset::Utf8;
  for (const std::string& line : lines)
    if (!FitsIso2022Jp(line)) return MailCharset::Utf8;
  return MailCharset::Iso2022Jp;
}

const char* CharsetName(MailCharset charset) { return charset == MailCharset::Utf8 ? "utf-8" : "iso-2022-jp"; }

namespace {
constexpr char kBase64Transfer[] = "Content-Transfer-Encoding: base64";

std::string TextContentType(MailCharset charset) {
  return charset == MailCharset::Utf8 ? "Content-Type: text/plain; charset=utf-8" : kTextPartContentType;
}
}  // namespace

TStringList BuildBodyLines(const TStringList& text, const TStringList& attachments, MailCharset charset) {
  return BuildBodyLines(text, attachments, !attachments.Empty(), charset);
}

namespace {
// The multipart framing before the text: the boundary and the text part's header.
void AddTextPartHeader(TStringList& body, bool multipart, MailCharset charset) {
  if (!multipart) return;
  body.Add(kBoundaryDelimiter);
  body.Add(TextContentType(charset));
  if (charset == MailCharset::Utf8) body.Add(kBase64Transfer);
  body.Add("");
}

// The parts after the text (files: the entries standing for the files' text, as
// BuildAttachmentHeaders gives them; none: the text itself), then the closing empty line.
void AddAttachmentParts(TStringList& body, const TStringList& attachments, bool multipart, MailCharset charset,
                        std::vector<TBodyFile>* files) {
  if (multipart) {
    // The parts' lines move into the body: an attachment is never held twice here.
    std::vector<TBodyFile> partFiles;
    TStringList parts = files ? BuildAttachmentHeaders(attachments, charset, partFiles)
                              : BuildAttachmentParts(attachments, charset, true);
    for (TBodyFile& file : partFiles) files->push_back({body.Count() + file.Entry, std::move(file.Path)});
    body.Reserve(body.Count() + parts.Count() + 1);
    for (int i = 0; i < parts.Count(); ++i) body.Add(std::move(parts[i]));
  }
  body.Add("");
}
}  // namespace

TStringList BuildBodyLines(const TStringList& text, const TStringList& attachments, bool multipart,
                           MailCharset charset, std::vector<TBodyFile>* files) {
  TStringList body;
  body.Reserve(text.Count() + 4);
  AddTextPartHeader(body, multipart, charset);
  TBodyText source;
  source.Lines = &text;
  source.Charset = charset;
  TTextLineEncoder encoder(source);
  for (std::string_view line; encoder.Next(line);) body.Add(std::string(line));
  AddAttachmentParts(body, attachments, multipart, charset, files);
  return body;
}

TStringList BuildBodyFrame(TBodyText& text, const TStringList& attachments, bool multipart,
                           std::vector<TBodyFile>& files) {
  TStringList body;
  AddTextPartHeader(body, multipart, text.Charset);
  text.Entry = body.Count();
  body.Add("");
  AddAttachmentParts(body, attachments, multipart, text.Charset, &files);
  return body;
}

std::string CollapseSpaces(std::string s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
  return out;
}

namespace {
// The header fields whose value is a list of addresses.
bool IsAddressField(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  const std::string name = line.substr(0, colon);
  for (const char* field : {"From", "To", "CC", "Bcc", "Reply-To", "Sender"})
    if (AsciiEqualsNoCase(name, field)) return true;
  return false;
}
}  // namespace

void AdjustHeader(TStringList& header, MailCharset charset, bool utf8Mailbox) {
  const std::string target = std::string("charset=") + CharsetName(charset);
  for (int i = 0; i < header.Count(); ++i) {
    std::string line = CollapseSpaces(header[i]);
    size_t at = line.find("charset=us-ascii");
    if (at != std::string::npos) line.replace(at, 16, target);
    if (!IsAddressField(line)) {
      header[i] = EncodeHeaderText(line, charset);
      continue;
    }
    // Each address on its own: a quoted name, a domain and a mailbox name each
    // have their own way into the header.
    const size_t colon = line.find(':');
    std::string out = line.substr(0, colon + 1);
    const std::vector<std::string> entries = SplitAddressList(line.substr(colon + 1));
    for (size_t k = 0; k < entries.size(); ++k)
      out += (k ? "," : "") + HeaderAddressEntry(entries[k], charset, utf8Mailbox);
    header[i] = std::move(out);
  }
}

void FoldHeader(TStringList& header, MailCharset charset) {
  const size_t limit = charset == MailCharset::Utf8 ? kFoldLineOctets : kMaxLineOctets;
  for (int i = 0; i < header.Count(); ++i) header[i] = FoldHeaderLine(header[i], limit);
}

void UseMultipartHeader(TStringList& header, MailCharset charset) {
  const std::string plain = TextContentType(charset);
  for (int i = 0; i < header.Count(); ++i) {
    size_t at = header[i].find(plain);
    if (at == std::string::npos) continue;
    header[i].replace(at, plain.size(), kMultipartContentType);
    return;
  }
}

void UseBase64Body(TStringList& header) {
  const std::string plain = TextContentType(MailCharset::Utf8);
  for (int i = 0; i < header.Count(); ++i) {
    if (header[i].find(plain) == std::string::npos) continue;
    header.Insert(i + 1, kBase64Transfer);
    return;
  }
  header.Add(kBase64Transfer);
}

namespace {
// A domain usable in a Message-ID: letters, digits, "-" and ".", not empty.
bool IsPlainDomain(const std::string& d) {
  if (d.empty()) return false;
  for (char c : d)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
      return false;
  return true;
}
}  // namespace

void AddMessageId(TExStringList& header, const std::string& senderAddress) {
  if (header.IndexOfHeader("Message-ID") >= 0) return;
  std::string domain;
  size_t at = senderAddress.rfind('@');
  if (at != std::string::npos) {
    domain = senderAddress.substr(at + 1);
    while (!domain.empty() && (domain.back() == '>' || domain.back() == ' ')) domain.pop_back();
  }
  if (!domain.empty() && !IsAsciiText(domain)) {
    try {
      domain = AsciiDomainAddress("@" + domain).substr(1);
    } catch (const EAddressDomainError&) {
      domain.clear();
    }
  }
  if (!IsPlainDomain(domain)) {
    char host[256] = {};
    domain = gethostname(host, sizeof host - 1) == 0 && IsPlainDomain(host) ? host : "localhost";
  }
  // Time, process, a counter and a random part make the identifier unique per message.
  static std::atomic<unsigned> counter{0};
  static std::mt19937_64 random{std::random_device{}()};
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
  char id[160];
  std::snprintf(id, sizeof id, "%lld.%d.%u.%08llx", static_cast<long long>(ms), static_cast<int>(getpid()),
                ++counter, static_cast<unsigned long long>(random() & 0xFFFFFFFFull));
  header.Add("Message-ID: <" + std::string(id) + "@" + domain + ">");
}

std::string MailDate(std::time_t when) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  localtime_r(&when, &tm);
  long offset = tm.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, sign, offset / 60,
                offset % 60);
  return text;
}
