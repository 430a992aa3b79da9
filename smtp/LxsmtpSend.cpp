// TLxSMTP: the send of a message (SendMail): the envelope, the data transfer and
// the refusal a server sends before it has all of the data; the check of what goes
// into commands and the header.
#include "smtp/Lxsmtp.h"

#include <string>
#include <utility>
#include <vector>

#include "jmail/MailAddress.h"
#include "platform/SysUtils.h"
#include "smtp/LxsmtpInternal.h"

namespace {

// Write carries at most 65,535 bytes in one call.
constexpr size_t kMaxWrite = 65535;

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

// An envelope address as the program's texts hold it: a mailbox name sent in UTF-8
// goes back to CP932, so that results and messages show it as typed.
std::string AddressText(const std::string& address) {
  return IsAsciiText(address) ? address : Utf8ToCp932(address);
}

}  // namespace

std::string TLxSMTP::EarlyReply() {
  // A refusal the server sent before it stopped reading is waiting already; its
  // other lines get a short time, whatever the time-out says.
  constexpr int32_t kEarlyReplyMs = 5000;
  const int32_t timeOut = TimeOut;
  try {
    CancelRequested = false;
    if (!IsConnected || !DataAvailable()) return std::string();
    TimeOut = timeOut > 0 && timeOut < kEarlyReplyMs ? timeOut : kEarlyReplyMs;
    std::string reply = Exchange("", "DATA");
    TimeOut = timeOut;
    return reply;
  } catch (...) {
    TimeOut = timeOut;
    CancelRequested = false;
    return std::string();
  }
}

void TLxSMTP::SendMail() {
  if (Busy) return;
  Refusals.clear();
  RecipientReplies.clear();
  FinalDotPending = false;
  try {
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
    if (Capabilities.SizeLimit > 0 && MessageSize() > Capabilities.SizeLimit)
      throw ESmtpError("The message is larger than the server accepts (" + std::to_string(MessageSize()) + " > " +
                           std::to_string(Capabilities.SizeLimit) + " octets)",
                       0, TSmtpFailure::Final);

    // The envelope recipients in order; a callback may change the lists meanwhile.
    std::vector<std::pair<std::string, std::string>> pending, deferred;
    for (const TStringList* list : {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy})
      for (const std::string& entry : *list)
        if (std::string address = EnvelopeAddress(entry); !address.empty()) pending.emplace_back(entry, std::move(address));
    // Entries that hold no address at all leave nobody to send to.
    if (pending.empty()) throw Exception("Incomplete Header");
    // A mailbox name in UTF-8 goes only to a server that takes it; without SMTPUTF8
    // nothing of the message is offered.
    if (!Capabilities.SmtpUtf8) {
      std::vector<std::string> entries{PostMessage.FromAddress};
      for (const auto& [entry, address] : pending) entries.push_back(entry);
      for (const std::string& entry : entries)
        if (!IsAsciiText(EnvelopeAddress(entry)))
          throw ESmtpError("The server offers no SMTPUTF8: it cannot take the address " + ExtractAddress(entry), 0,
                           TSmtpFailure::Final);
    }
    bool delivered = false;
    // A further transaction that fails leaves its recipients refused: the message went
    // to the earlier ones, and a failed send would make the caller send it to them again.
    auto refuseTheRest = [&](int code, const std::string& reply) {
      for (const auto* list : {&pending, &deferred})
        for (const auto& [entry, address] : *list) {
          Refusals.push_back({entry, AddressText(address), code, reply});
          if (OnRecipientNotFound) OnRecipientNotFound(entry);
        }
    };
    while (!pending.empty()) {
      try {
        const bool sent = MailTransaction(pending, headerBlock, deferred);
        // A transaction that took nobody while the server had no room leaves the rest
        // refused (for now): another round would only ask again.
        if (!sent && !deferred.empty()) {
          for (const auto& [entry, address] : deferred) {
            Refusals.push_back({entry, AddressText(address), ReplyNumber, ReplyLine(LastReply)});
            if (OnRecipientNotFound) OnRecipientNotFound(entry);
          }
          deferred.clear();
        }
        delivered = delivered || sent;
      } catch (const ESockError& e) {
        if (!delivered) throw;
        refuseTheRest(0, e.Message());
        break;
      } catch (const ESmtpError& e) {
        if (!delivered || e.Kind == TSmtpFailure::FateUnknown) throw;
        refuseTheRest(e.Code, ReplyLine(e.Message()));
        break;
      }
      pending.swap(deferred);
      deferred.clear();
    }
    if (!delivered) {
      // With every recipient refused, what they were told says whether a later try can
      // pass; the message itself was never offered.
      std::string text = "All recipients refused: ";
      int code = 0;
      for (size_t i = 0; i < Refusals.size(); ++i) {
        text += (i ? "; " : "") + Refusals[i].Address + " " + Refusals[i].Reply;
        if (code == 0 || (code / 100 != 4 && Refusals[i].Code / 100 == 4)) code = Refusals[i].Code;
      }
      throw ERecipientsRefused(text, code);
    }
    if (ClearParams) ClearRecipients();
  } catch (const EReplyTooLong&) {
    // What follows on the connection is more of the same: close without QUIT.
    TLxSocket::Disconnect();
    throw;
  }
  if (OnSuccess) OnSuccess(this);
}

uint64_t TLxSMTP::MessageSize() const {
  return HeaderBlock().size() + BodySize();
}

namespace {
// Text as an xtext: "+", "=", blanks and controls as "+HH".
std::string XText(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c > 32 && c < 127 && c != '+' && c != '=') out += static_cast<char>(c);
    else out += std::string("+") + hex[c >> 4] + hex[c & 15];
  }
  return out;
}
// The longest envelope identifier a server must take.
constexpr size_t kMaxEnvelopeId = 100;
}  // namespace

std::string TLxSMTP::MailParameters() const {
  std::string out;
  if (Capabilities.Size) out += " SIZE=" + std::to_string(MessageSize());
  if (!Capabilities.Dsn || (DsnNotify.empty() && DsnReturn.empty())) return out;
  if (!DsnReturn.empty()) out += " RET=" + DsnReturn;
  const int at = FinalHeader.IndexOfHeader("Message-ID");
  if (at >= 0) {
    std::string id = FinalHeader[at].substr(FinalHeader[at].find(':') + 1);
    id.erase(0, id.find_first_not_of(' '));
    const std::string envid = XText(id);
    if (!id.empty() && envid.size() <= kMaxEnvelopeId) out += " ENVID=" + envid;
  }
  return out;
}

std::string TLxSMTP::RecipientParameters() const {
  return Capabilities.Dsn && !DsnNotify.empty() ? " NOTIFY=" + DsnNotify : std::string();
}

bool TLxSMTP::MailTransaction(const std::vector<std::pair<std::string, std::string>>& recipients,
                              const std::string& headerBlock,
                              std::vector<std::pair<std::string, std::string>>& deferred) {
  Command("RSET", TSmtpStep::Rset);
  const std::string sender = EnvelopeAddress(PostMessage.FromAddress);
  bool utf8 = !IsAsciiText(sender);
  for (const auto& [entry, address] : recipients) utf8 = utf8 || !IsAsciiText(address);
  Command(EnvelopeCommand("MAIL FROM:", sender, MailParameters() + (utf8 ? " SMTPUTF8" : "")), TSmtpStep::Mail);
  const std::string rcptParameters = RecipientParameters();
  int accepted = 0;
  for (const auto& [entry, address] : recipients) {
    // Once the server has no room, the rest waits for the next transaction unasked.
    if (!deferred.empty()) {
      deferred.emplace_back(entry, address);
      continue;
    }
    std::string reply;
    const TSmtpAction action = Ask(EnvelopeCommand("RCPT TO:", address, rcptParameters), TSmtpStep::Rcpt, reply);
    if (action == TSmtpAction::GoOn) {
      ++accepted;
      RecipientReplies.push_back({entry, AddressText(address), ReplyNumber, ReplyLine(reply)});
    } else if (action == TSmtpAction::DeferRecipient) {
      deferred.emplace_back(entry, address);
    } else if (action == TSmtpAction::RefuseRecipient) {
      Refusals.push_back({entry, AddressText(address), ReplyNumber, ReplyLine(reply)});
      RecipientReplies.push_back(Refusals.back());
      if (OnRecipientNotFound) OnRecipientNotFound(entry);
    } else {
      Fail(TSmtpStep::Rcpt, action, reply);
    }
  }
  if (accepted == 0) return false;
  Command("DATA", TSmtpStep::Data);
  std::string reply;
  TSmtpAction action;
  try {
    {
      // One limit for header and body: it ends a transfer that stalls, not a long one.
      TWaitScope wait(*this, true);
      // Write carries at most kMaxWrite bytes: the header of thousands of recipients
      // goes in several.
      for (size_t at = 0; at < headerBlock.size(); at += kMaxWrite) Write(headerBlock.substr(at, kMaxWrite));
      SendBody();
    }
    FinalDotPending = true;
    action = Ask(".", TSmtpStep::EndOfData, reply);
    FinalDotPending = false;
  } catch (const EStreamError&) {
    // An attachment that could not be read to its end stops the data in the middle:
    // the server would take whatever came next for more of the message.
    TLxSocket::Disconnect();
    throw;
  } catch (const ESockError& e) {
    // A server that refuses the message before it has all of it ("552 too big")
    // sends its reply and stops reading or closes: its reply, not the broken
    // transfer, says what happened. The whole message can sit in the socket's
    // buffer before the refusal comes, so the final "." meets the reset as well.
    // A cancel by the user stays a cancel.
    if (dynamic_cast<const EAbortError*>(&e) && !TimedOut) throw;
    const bool timedOut = TimedOut;
    const bool dotSent = FinalDotPending;
    const std::string early = EarlyReply();
    if (early.empty() || ReplyNumber < 400) {
      TimedOut = timedOut;
      if (!dotSent) throw;
      // The final "." went out and no answer came: the mail may be there.
      if (OnFailure) OnFailure(this);
      throw ESmtpError(std::string(kSentWithoutAnswer) + ": " + e.Message(), 0, TSmtpFailure::FateUnknown);
    }
    FinalDotPending = false;
    if (OnFailure) OnFailure(this);
    Fail(TSmtpStep::EndOfData, PolicyAction(TSmtpStep::EndOfData, early), early);
  }
  if (action != TSmtpAction::GoOn) {
    if (OnFailure) OnFailure(this);
    Fail(TSmtpStep::EndOfData, action, reply);
  }
  return true;
}

void TLxSMTP::CheckMessage() const {
  RefuseLineBreaks(PostMessage.FromAddress, "the sender address");
  const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
  for (const TStringList* list : lists)
    for (const std::string& entry : *list) RefuseLineBreaks(ExtractAddress(entry), "a recipient address");
  for (const std::string& line : FinalHeader) RefuseHeaderBreaks(line);
}
