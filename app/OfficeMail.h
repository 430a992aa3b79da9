// What office mail programs add to a message besides its addresses and text: the
// read receipt, the priority and the sender's own header lines, each checked when
// the macro line that names it is read.
#pragma once

#include <string>
#include <vector>

#include "platform/StringList.h"
#include "platform/SysUtils.h"

// A macro line that names no usable value (a priority, a receipt answer, an own
// header line); the message quotes the line.
class EMacroValueError : public Exception { using Exception::Exception; };

// The priority of a message, as the window's choice lists it.
enum class TPriority { Normal, High, Low };

// The priority a "priority:" line names ("high", "normal", "low"; ASCII case and
// blanks around it ignored). Throws EMacroValueError quoting the line otherwise.
TPriority ParsePriority(const std::string& line);
// The answer a "receipt:" line gives ("yes" or "no", as ParsePriority reads it).
bool ParseReceipt(const std::string& line);
// Checks a "header:" line ("Name: value") and returns it with single blanks after
// the colon. Throws EMacroValueError quoting the line for a line holding CR, LF or
// another control byte, a name that is no field name, and a field the message
// writes itself or that has a place of its own (see kOwnPlaceFields).
std::string CheckOwnHeader(const std::string& line);

// The fields a "header:" line may not name (compared without ASCII case): the ones
// every message writes, the addresses, and the ones the receipt and priority write.
extern const char* const kOwnPlaceFields[];
extern const int kOwnPlaceFieldCount;

// What the office fields add to one message.
struct TOfficeHeaders {
  bool Receipt = false;
  std::string SenderAddress;  // where the receipt goes
  TPriority Priority = TPriority::Normal;
  TStringList OwnLines;  // checked "Name: value" lines
};
// Inserts the header lines of office (Disposition-Notification-To, Importance and
// X-Priority, the own lines in their order) before the MIME lines of header, so
// that the rewrite that follows encodes their text as it does the subject's.
void AddOfficeHeaders(TStringList& header, const TOfficeHeaders& office);

// The recipients of one mail grouped by domain for the check before it leaves the
// company: groups in the order their domains first appear, each with its addresses
// in their order. A domain is inside when it equals one of the own domains or ends
// in "." and one of them (a subdomain); ASCII case is ignored.
struct TRecipientGroup {
  std::string Domain;  // lower case; empty for an address without "@"
  bool Outside = false;
  std::vector<std::string> Addresses;
};
std::vector<TRecipientGroup> GroupRecipients(const std::vector<std::string>& addresses,
                                             const std::string& ownDomains);
// The own domains of "example.co.jp, example.jp": split at "," and blanks, lower case.
std::vector<std::string> SplitDomains(const std::string& ownDomains);
// True when a group lies outside.
bool AnyOutside(const std::vector<TRecipientGroup>& groups);
