#include "app/MailSend.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

#include "jmail/MailJstr.h"

void SplitAddresses(const std::string& text, TStringList& list) {
  size_t start = 0, comma;
  while ((comma = text.find(',', start)) != std::string::npos) {
    list.Add(text.substr(start, comma - start));
    start = comma + 1;
  }
  list.Add(text.substr(start));
}

TStringList BuildBodyLines(const TStringList& text, const TStringList& attachments) {
  TStringList body;
  const bool multipart = !attachments.Empty();
  if (multipart) {
    body.Add(kBoundaryDelimiter);
    body.Add(kTextPartContentType);
    body.Add("");
  }
  for (const std::string& line : text) {
    // A bare LF would reach the wire as a line end of its own.
    // A converted line over the limit becomes several self-contained lines.
    auto add = [&body](const std::string& text) {
      for (std::string& piece : SplitJisLine(ConvertToJis(text))) body.Add(std::move(piece));
    };
    size_t start = 0, lf;
    while ((lf = line.find('\n', start)) != std::string::npos) {
      add(line.substr(start, lf - start));
      start = lf + 1;
    }
    add(start ? line.substr(start) : line);
  }
  if (multipart) {
    // The parts' lines move into the body: an attachment is never held twice here.
    TStringList parts = BuildAttachmentParts(attachments);
    body.Reserve(body.Count() + parts.Count() + 1);
    for (int i = 0; i < parts.Count(); ++i) body.Add(std::move(parts[i]));
  }
  body.Add("");
  return body;
}

std::string CollapseSpaces(std::string s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
  return out;
}

void AdjustHeader(TStringList& header) {
  for (int i = 0; i < header.Count(); ++i) {
    std::string line = CollapseSpaces(header[i]);
    size_t at = line.find("charset=us-ascii");
    if (at != std::string::npos) line.replace(at, 16, "charset=iso-2022-jp");
    header[i] = EncodeHeaderLine(line);
  }
}

void FoldHeader(TStringList& header) {
  for (int i = 0; i < header.Count(); ++i) header[i] = FoldHeaderLine(header[i]);
}

void UseMultipartHeader(TStringList& header) {
  static const std::string plain = kTextPartContentType;
  for (int i = 0; i < header.Count(); ++i) {
    size_t at = header[i].find(plain);
    if (at == std::string::npos) continue;
    header[i].replace(at, plain.size(), kMultipartContentType);
    return;
  }
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
