#include "app/OfficeMail.h"

#include "platform/AsciiCase.h"

const char* const kOwnPlaceFields[] = {
    "from",     "to",           "cc",         "bcc",        "reply-to",
    "subject",  "date",         "message-id", "x-mailer",   "mime-version",
    // Written by the receipt and the priority.
    "disposition-notification-to", "importance", "x-priority",
};
const int kOwnPlaceFieldCount = sizeof kOwnPlaceFields / sizeof kOwnPlaceFields[0];

namespace {
std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

EMacroValueError Refused(const char* what, const std::string& line) {
  return EMacroValueError(std::string(what) + ": \"" + line + "\"");
}

// A word of a choice: ASCII case and blanks around it ignored.
template <class T, size_t N>
T ParseWord(const std::string& line, const std::pair<const char*, T> (&words)[N], const char* what) {
  const std::string word = AsciiLowerCase(Trimmed(line));
  for (const auto& [name, value] : words)
    if (word == name) return value;
  throw Refused(what, line);
}

// A field name: one or more printable ASCII characters other than ":".
bool IsFieldName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (c < 33 || c > 126) return false;
  return true;
}

bool HasOwnPlace(const std::string& name) {
  const std::string lower = AsciiLowerCase(name);
  if (lower.starts_with("content-")) return true;
  for (int i = 0; i < kOwnPlaceFieldCount; ++i)
    if (lower == kOwnPlaceFields[i]) return true;
  return false;
}
}  // namespace

TPriority ParsePriority(const std::string& line) {
  static const std::pair<const char*, TPriority> kWords[] = {
      {"high", TPriority::High}, {"normal", TPriority::Normal}, {"low", TPriority::Low}};
  return ParseWord(line, kWords, "priority: high, normal or low, not");
}

bool ParseReceipt(const std::string& line) {
  static const std::pair<const char*, bool> kWords[] = {{"yes", true}, {"no", false}};
  return ParseWord(line, kWords, "receipt: yes or no, not");
}

std::string CheckOwnHeader(const std::string& line) {
  for (char c : line)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
      throw Refused("header: a line break or control character in the header line", line);
  const size_t colon = line.find(':');
  if (colon == std::string::npos) throw Refused("header: no \"Name: value\" line", line);
  const std::string name = line.substr(0, colon);
  if (!IsFieldName(name)) throw Refused("header: not a header field name", line);
  if (HasOwnPlace(name)) throw Refused("header: a field Tarvex writes itself or that has its own place", line);
  return name + ": " + Trimmed(line.substr(colon + 1));
}

void AddOfficeHeaders(TStringList& header, const TOfficeHeaders& office) {
  TStringList lines;
  if (office.Receipt) lines.Add("Disposition-Notification-To: " + office.SenderAddress);
  // What common readers show: Importance, and the numbered X-Priority.
  if (office.Priority == TPriority::High) {
    lines.Add("Importance: high");
    lines.Add("X-Priority: 1 (Highest)");
  } else if (office.Priority == TPriority::Low) {
    lines.Add("Importance: low");
    lines.Add("X-Priority: 5 (Lowest)");
  }
  for (const std::string& line : office.OwnLines) lines.Add(line);
  int at = header.Count();
  for (int i = 0; i < header.Count(); ++i)
    if (AsciiLowerCase(header[i]).starts_with("mime-version:")) {
      at = i;
      break;
    }
  for (const std::string& line : lines) header.Insert(at++, line);
}

std::vector<std::string> SplitDomains(const std::string& ownDomains) {
  std::vector<std::string> domains;
  std::string word;
  for (char c : ownDomains + ",") {
    if (c == ',' || c == ' ' || c == '\t' || c == ';') {
      while (!word.empty() && word.front() == '.') word.erase(0, 1);
      if (!word.empty()) domains.push_back(AsciiLowerCase(word));
      word.clear();
    } else {
      word += c;
    }
  }
  return domains;
}

std::vector<TRecipientGroup> GroupRecipients(const std::vector<std::string>& addresses,
                                             const std::string& ownDomains) {
  const std::vector<std::string> own = SplitDomains(ownDomains);
  auto inside = [&own](const std::string& domain) {
    for (const std::string& d : own)
      if (domain == d || (domain.size() > d.size() && domain.ends_with(d) && domain[domain.size() - d.size() - 1] == '.'))
        return true;
    return false;
  };
  std::vector<TRecipientGroup> groups;
  for (const std::string& address : addresses) {
    const size_t at = address.rfind('@');
    const std::string domain = at == std::string::npos ? std::string() : AsciiLowerCase(address.substr(at + 1));
    auto group = groups.begin();
    while (group != groups.end() && group->Domain != domain) ++group;
    if (group == groups.end()) group = groups.insert(groups.end(), {domain, !inside(domain), {}});
    group->Addresses.push_back(address);
  }
  return groups;
}

bool AnyOutside(const std::vector<TRecipientGroup>& groups) {
  for (const TRecipientGroup& g : groups)
    if (g.Outside) return true;
  return false;
}
