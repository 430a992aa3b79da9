#include "jmail/MailAddress.h"

#include <dlfcn.h>
#include <idn2.h>

#include <cstdlib>

#include "jmail/MailJstr.h"

namespace {

enum class TUnit { Plain, Quoted, Comment };

// Walks an entry unit by unit and tells for each whether it is plain text, part of
// a quoted string (its quotes included) or part of a comment (its parentheses
// included). A double-byte character is one unit: its second byte may be 0x5C,
// which is no escape there; so is a backslash with the character it escapes.
class TAddressScanner {
 public:
  explicit TAddressScanner(const std::string& text) : s_(text) { Classify(); }

  bool AtEnd() const { return i_ >= s_.size(); }
  size_t Pos() const { return i_; }
  size_t Size() const { return size_; }
  TUnit Kind() const { return kind_; }
  // A plain unit that is this one ASCII character.
  bool Is(char c) const { return kind_ == TUnit::Plain && size_ == 1 && s_[i_] == c; }
  void Next() {
    i_ += size_;
    Classify();
  }

 private:
  void Classify() {
    if (i_ >= s_.size()) return;
    const auto c = static_cast<unsigned char>(s_[i_]);
    size_ = IsCp932LeadByte(c) && i_ + 1 < s_.size() ? 2 : 1;
    if (quoted_) {
      kind_ = TUnit::Quoted;
      if (size_ == 1 && c == '\\' && i_ + 1 < s_.size()) size_ = 2;
      else if (size_ == 1 && c == '"') quoted_ = false;
      return;
    }
    if (depth_ > 0) {
      kind_ = TUnit::Comment;
      if (size_ == 1 && c == '\\' && i_ + 1 < s_.size()) size_ = 2;
      else if (size_ == 1 && c == '(') ++depth_;
      else if (size_ == 1 && c == ')') --depth_;
      return;
    }
    kind_ = TUnit::Plain;
    if (size_ == 2) return;
    if (c == '"') {
      quoted_ = true;
      kind_ = TUnit::Quoted;
    } else if (c == '(') {
      depth_ = 1;
      kind_ = TUnit::Comment;
    }
  }

  const std::string& s_;
  size_t i_ = 0, size_ = 1;
  TUnit kind_ = TUnit::Plain;
  bool quoted_ = false;
  int depth_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Where the address lies in an entry: [from, to).
struct TSpan {
  size_t from, to;
};

TSpan AddressSpan(const std::string& entry) {
  TSpan span{0, entry.size()};
  // Angle brackets win over the colon form wherever they stand: "a:b:<c>" is c.
  size_t colon = std::string::npos, colonEnd = std::string::npos;
  bool angle = false;
  for (TAddressScanner scan(entry); !scan.AtEnd(); scan.Next()) {
    if (scan.Is('<')) {
      if (angle) return {span.from, scan.Pos()};
      angle = true;
      span.from = scan.Pos() + 1;
    } else if (scan.Is('>') && angle) {
      return {span.from, scan.Pos()};
    } else if (scan.Is(':') && !angle) {
      if (colon == std::string::npos)
        colon = scan.Pos();
      else if (colonEnd == std::string::npos)
        colonEnd = scan.Pos();
    }
  }
  if (!angle && colon != std::string::npos) return {colon + 1, colonEnd == std::string::npos ? entry.size() : colonEnd};
  return span;
}

}  // namespace

std::vector<std::string> SplitAddressList(const std::string& text) {
  std::vector<std::string> entries;
  size_t start = 0;
  bool angle = false;
  for (TAddressScanner scan(text); !scan.AtEnd(); scan.Next()) {
    if (scan.Is('<')) angle = true;
    else if (scan.Is('>')) angle = false;
    else if (scan.Is(',') && !angle) {
      entries.push_back(text.substr(start, scan.Pos() - start));
      start = scan.Pos() + 1;
    }
  }
  entries.push_back(text.substr(start));
  return entries;
}

std::string BareAddress(const std::string& entry) {
  const TSpan span = AddressSpan(entry);
  const std::string part = entry.substr(span.from, span.to - span.from);
  std::string out;
  out.reserve(part.size());
  for (TAddressScanner scan(part); !scan.AtEnd(); scan.Next()) {
    if (scan.Kind() == TUnit::Comment) continue;
    if (scan.Kind() == TUnit::Plain && scan.Size() == 1 && IsBlank(part[scan.Pos()])) continue;
    out.append(part, scan.Pos(), scan.Size());
  }
  return out;
}

bool IsAsciiText(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

namespace {
// The position of the "@" that starts the domain (the last one outside quotes), or npos.
size_t DomainAt(const std::string& address) {
  size_t at = std::string::npos;
  for (TAddressScanner scan(address); !scan.AtEnd(); scan.Next())
    if (scan.Is('@')) at = scan.Pos();
  return at;
}
}  // namespace

namespace {
// The IDNA library, loaded when the first non-ASCII domain is converted instead of
// at program start: a run whose domains are all ASCII (and --version) maps neither
// it nor the Unicode library it brings. The prototypes are the library's own.
struct TIdn2 {
  decltype(&::idn2_to_ascii_8z) ToAscii = nullptr;
  decltype(&::idn2_strerror) StrError = nullptr;
  decltype(&::idn2_free) Free = nullptr;
  std::string Missing;  // why the library cannot be used; empty when it can
};

TIdn2 LoadIdn2() {
  TIdn2 idn2;
  void* library = ::dlopen(TARVEX_IDN2_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = ::dlerror();
    idn2.Missing = reason ? reason : TARVEX_IDN2_SONAME " cannot be loaded";
    return idn2;
  }
  idn2.ToAscii = reinterpret_cast<decltype(idn2.ToAscii)>(::dlsym(library, "idn2_to_ascii_8z"));
  idn2.StrError = reinterpret_cast<decltype(idn2.StrError)>(::dlsym(library, "idn2_strerror"));
  idn2.Free = reinterpret_cast<decltype(idn2.Free)>(::dlsym(library, "idn2_free"));
  if (!idn2.ToAscii || !idn2.StrError || !idn2.Free) idn2.Missing = TARVEX_IDN2_SONAME " lacks a function";
  return idn2;
}

// The library, loaded on the first call (thread-safe) and kept.
const TIdn2& Idn2() {
  static const TIdn2 idn2 = LoadIdn2();
  return idn2;
}
}  // namespace

std::string AsciiDomainAddress(const std::string& address) {
  const size_t at = DomainAt(address);
  if (at == std::string::npos || IsAsciiText(address.substr(at + 1))) return address;
  const std::string domain = ConvertToUtf8(address.substr(at + 1));
  const TIdn2& idn2 = Idn2();
  if (!idn2.Missing.empty()) {
    throw EAddressDomainError("The domain of the address " + address +
                              " cannot be written in ASCII: the IDNA library is not available (" + idn2.Missing +
                              ")");
  }
  char* ascii = nullptr;
  const int rc = idn2.ToAscii(domain.c_str(), &ascii, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK) {
    throw EAddressDomainError("The domain of the address " + address +
                              " cannot be written in ASCII: " + idn2.StrError(rc));
  }
  std::string result = address.substr(0, at + 1) + ascii;
  idn2.Free(ascii);
  return result;
}

namespace {
// The text of a quoted string or comment without its escapes (the backslash before
// a character dropped), the quotes themselves left out.
std::string Unquoted(const std::string& text) {
  std::string out;
  for (TAddressScanner scan(text); !scan.AtEnd(); scan.Next()) {
    const size_t p = scan.Pos();
    if (scan.Kind() == TUnit::Quoted && scan.Size() == 1 && text[p] == '"') continue;
    if (scan.Kind() == TUnit::Quoted && scan.Size() == 2 && text[p] == '\\') {
      out += text[p + 1];
      continue;
    }
    out.append(text, p, scan.Size());
  }
  return out;
}

// True when the text holds a quoted string with non-ASCII text in it.
bool HasQuotedNonAscii(const std::string& text) {
  for (TAddressScanner scan(text); !scan.AtEnd(); scan.Next())
    if (scan.Kind() == TUnit::Quoted && static_cast<unsigned char>(text[scan.Pos()]) >= 0x80) return true;
  return false;
}

// A display name as encoded words: the whole name, in the message's charset.
std::string EncodedName(const std::string& name, MailCharset charset) {
  return charset == MailCharset::Utf8 ? EncodeSubjectUtf8(name) : EncodeSubject(name);
}
}  // namespace

std::string HeaderAddressEntry(const std::string& entry, MailCharset charset, bool utf8Mailbox) {
  if (IsAsciiText(entry)) return entry;
  const TSpan span = AddressSpan(entry);
  const bool angle = span.from > 0 && entry[span.from - 1] == '<';
  std::string out;
  // The display name in front of an angle address: a quoted name with non-ASCII
  // text cannot carry encoded words inside its quotes, so the whole name goes as
  // encoded words without them.
  const std::string phrase = entry.substr(0, span.from);
  if (angle && HasQuotedNonAscii(phrase)) {
    const size_t lead = phrase.find_first_not_of(" \t");
    const size_t lt = phrase.size() - 1;
    std::string name = Unquoted(phrase.substr(lead, lt - lead));
    while (!name.empty() && IsBlank(name.back())) name.pop_back();
    out = phrase.substr(0, lead) + EncodedName(name, charset) + " <";
  } else {
    out = EncodeHeaderText(phrase, charset);
  }
  std::string address = entry.substr(span.from, span.to - span.from);
  const size_t at = DomainAt(address);
  if (at != std::string::npos && !IsAsciiText(address.substr(at + 1))) {
    try {
      address = AsciiDomainAddress(address);
    } catch (const EAddressDomainError&) {
      // Left as typed: the send refuses such an address before it connects.
    }
  }
  if (utf8Mailbox && !IsAsciiText(address)) out += ConvertToUtf8(address);
  else out += EncodeHeaderText(address, charset);
  out += EncodeHeaderText(entry.substr(span.to), charset);
  return out;
}
