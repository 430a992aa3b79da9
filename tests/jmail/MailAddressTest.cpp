// Address lists: the split into entries, the bare address of an entry, domains as
// A-labels and an entry as the header carries it.
#include "jmail/MailAddress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SysUtils.h"

namespace {

// Test texts are written in UTF-8 and used as the program holds them (CP932).
std::string J(const char* utf8) { return Utf8ToCp932(utf8); }

TEST(SplitAddressList, CommasInsideQuotesCommentsAndAnglesDoNotSplit) {
  struct Case {
    std::string text;
    std::vector<std::string> entries;
  } cases[] = {
      // The forms every earlier release split the same way.
      {"a@x", {"a@x"}},
      {"a@x,b@y", {"a@x", "b@y"}},
      {"a@x, b@y", {"a@x", " b@y"}},  // the blank stays at the start of the entry
      {"a@x,", {"a@x", ""}},          // a trailing comma adds an empty entry
      {",,", {"", "", ""}},
      {"Taro:t@x.jp,b@y", {"Taro:t@x.jp", "b@y"}},
      // Quoted names, comments and angle addresses keep their commas.
      {"\"Sato, Jiro\" <sato@example.com>, b@y", {"\"Sato, Jiro\" <sato@example.com>", " b@y"}},
      {J("\"山田, 太郎\" <yamada@example.jp>,\"Sato, Jiro\" <sato@example.com>"),
       {J("\"山田, 太郎\" <yamada@example.jp>"), "\"Sato, Jiro\" <sato@example.com>"}},
      {"a@x (Team, North), b@y", {"a@x (Team, North)", " b@y"}},
      {"a@x (outer (inner, x)), b@y", {"a@x (outer (inner, x))", " b@y"}},
      {"\"a\\\",b\" <a@x>,c@y", {"\"a\\\",b\" <a@x>", "c@y"}},  // an escaped quote does not close
      {"<a,b@x>,c@y", {"<a,b@x>", "c@y"}},
      {"\"Sato, Jiro\"@example.com,c@y", {"\"Sato, Jiro\"@example.com", "c@y"}},
      // The second byte of "表" is 0x5C: no escape, the quote after it closes.
      {J("\"表\" <a@x>,b@y"), {J("\"表\" <a@x>"), "b@y"}},
      // An unclosed quote runs to the end: nothing after it splits.
      {"\"open, a@x", {"\"open, a@x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitAddressList(c.text), c.entries) << c.text;
}

TEST(BareAddress, TheEnvelopeGetsTheAddressWithoutBlanksOrComments) {
  struct Case {
    std::string entry, address;
  } cases[] = {
      {"a@x", "a@x"},
      {"Name <a@x>", "a@x"},
      {"Name<a@x>", "a@x"},
      {"Taro:t@x.jp", "t@x.jp"},  // the colon form
      {"a:b@x:c", "b@x"},         // the text between the first and the second colon
      {"a:b:<c@x>", "c@x"},       // angle brackets win over the colon form
      {"", ""},
      {" b@y", "b@y"},
      {"< b@x >", "b@x"},
      {"Name <a@x", "a@x"},         // no ">": the rest of the entry
      {"Name <a@x<b@y>", "a@x"},    // a second "<" ends the address
      {"a@x (Taro, home)", "a@x"},  // a comment is no part of the address
      {"(Taro) <a@x>", "a@x"},
      {"\"Sato, Jiro\" <sato@example.com>", "sato@example.com"},
      {"\"<not>\" <a@x>", "a@x"},           // brackets inside quotes are the name's
      {"\"a:b\" <c@x>", "c@x"},
      {"\"a b\"@x", "\"a b\"@x"},            // a quoted local part keeps its blank
      {"\"Sato, Jiro\"@example.com", "\"Sato, Jiro\"@example.com"},
      {"To: a@x", "a@x"},  // a keyword line taken into the list as an address
      {J("\"山田, 太郎\" <yamada@example.jp>"), "yamada@example.jp"},
      {J("山田@例え.jp"), J("山田@例え.jp")},
  };
  for (const auto& c : cases) EXPECT_EQ(BareAddress(c.entry), c.address) << c.entry;
}

// Expected A-labels: Python's idna codec ("例え.jp" -> "xn--r8jz45g.jp").
TEST(AsciiDomainAddress, NonAsciiDomainsBecomeALabels) {
  EXPECT_EQ(AsciiDomainAddress(J("taro@例え.jp")), "taro@xn--r8jz45g.jp");
  EXPECT_EQ(AsciiDomainAddress(J("山田@例え.jp")), J("山田@") + "xn--r8jz45g.jp");  // the local part stays
  EXPECT_EQ(AsciiDomainAddress("taro@example.jp"), "taro@example.jp");
  EXPECT_EQ(AsciiDomainAddress(J("山田")), J("山田"));  // no domain: nothing to convert
  EXPECT_EQ(AsciiDomainAddress(J("\"a@例\"@x.jp")), J("\"a@例\"@x.jp"));  // "@" inside quotes is no domain
}

TEST(AsciiDomainAddress, ADomainWithoutAnAsciiFormIsRefusedByName) {
  // A full-width "!" is no character of a domain name.
  const std::string bad = J("taro@例！.jp");
  try {
    AsciiDomainAddress(bad);
    ADD_FAILURE() << "no error";
  } catch (const EAddressDomainError& e) {
    EXPECT_NE(e.Message().find(bad), std::string::npos) << e.Message();
  }
}

TEST(HeaderAddressEntry, NamesDomainsAndMailboxes) {
  struct Case {
    std::string entry;
    MailCharset charset;
    bool utf8Mailbox;
    std::string header;
  } cases[] = {
      // ASCII stays as typed, a quoted ASCII name quoted.
      {"\"Sato, Jiro\" <sato@example.com>", MailCharset::Utf8, false, "\"Sato, Jiro\" <sato@example.com>"},
      {" a@x (Team, North)", MailCharset::Iso2022Jp, false, " a@x (Team, North)"},
      // A quoted name with Japanese text: encoded words of the whole name, no quotes.
      // (Base64 of the name's UTF-8 and ISO-2022-JP bytes by Python.)
      {J("\"山田, 太郎\" <yamada@example.jp>"), MailCharset::Utf8, false,
       "=?UTF-8?B?5bGx55SwLCDlpKrpg44=?= <yamada@example.jp>"},
      {J(" \"山田, 太郎\"  <yamada@example.jp>"), MailCharset::Iso2022Jp, false,
       " =?ISO-2022-JP?B?GyRCOzNFRBsoQiwgGyRCQkBPOhsoQg==?= <yamada@example.jp>"},
      {J("\"山田\\\"太郎\" <y@x>"), MailCharset::Utf8, false, "=?UTF-8?B?5bGx55SwIuWkqumDjg==?= <y@x>"},
      // An unquoted name goes as every earlier release wrote it.
      {J("山田 <y@x>"), MailCharset::Iso2022JpLegacy, false, "=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <y@x>"},
      // Domains as A-labels, in the angle brackets and bare.
      {J("Taro <taro@例え.jp>"), MailCharset::Utf8, false, "Taro <taro@xn--r8jz45g.jp>"},
      {J("taro@例え.jp"), MailCharset::Iso2022Jp, false, "taro@xn--r8jz45g.jp"},
      // A mailbox name in UTF-8 only for a message that goes with SMTPUTF8.
      {J("山田@例え.jp"), MailCharset::Utf8, true, "山田@xn--r8jz45g.jp"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HeaderAddressEntry(c.entry, c.charset, c.utf8Mailbox), c.header) << Cp932ToUtf8(c.entry);
}

}  // namespace
