// Address lists as people type them (CP932 text): the split of a list into its
// entries, the bare address of an entry for the envelope, domains in their ASCII
// (A-label) form and an entry as the header writes it. Every field that holds
// addresses (To, CC, BCC, the sender, lists a macro picks up) goes through here.
#pragma once

#include <string>
#include <vector>

#include "jmail/MailWords.h"
#include "platform/SysUtils.h"

// Splits an address list at every "," that is not inside a quoted string, a comment
// or angle brackets. Entries are not trimmed and empty entries are kept (a trailing
// "," gives an empty last entry); a text without such a comma is one entry. Never throws.
std::vector<std::string> SplitAddressList(const std::string& text);

// The bare address of one entry, as the envelope carries it: with "<" outside
// quotes and comments, the text up to the next ">" (the rest of the entry without
// one; a second "<" ends it there); otherwise, with a ":" outside quotes, the text
// between it and the next ":" ("Taro:t@x.jp" gives "t@x.jp"); otherwise the entry.
// Comments and the blanks and tabs outside quoted strings are dropped, so that
// "< b@x >" and " b@x (Bee)" both give "b@x". Never throws.
std::string BareAddress(const std::string& entry);

// True when every byte of text is ASCII.
bool IsAsciiText(const std::string& text);

// The address (CP932, as BareAddress gives it) with a non-ASCII domain in its
// A-label form ("taro@例え.jp" -> "taro@xn--r8jz45g.jp"); the local part stays as
// it is. An address with an ASCII domain, or without "@", is returned unchanged.
// Throws EAddressDomainError naming the address when the domain cannot be converted.
std::string AsciiDomainAddress(const std::string& address);

// The domain of an address that cannot be converted to its ASCII form.
class EAddressDomainError : public Exception {
  using Exception::Exception;
};

// One entry of an address header as the message carries it: domains as A-labels
// (AsciiDomainAddress on every address of the entry; a domain that does not
// convert stays as typed), a quoted display name that holds non-ASCII text as
// encoded words of the whole name outside quotes (the name without its quotes and
// escapes), the other non-ASCII text as EncodeHeaderText gives it. With utf8Mailbox
// a non-ASCII local part stays in the entry as UTF-8 (the header of a message that
// goes with SMTPUTF8). Never throws.
std::string HeaderAddressEntry(const std::string& entry, MailCharset charset, bool utf8Mailbox = false);
