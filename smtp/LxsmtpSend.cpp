// TLxSMTP: the send of a message (SendMail): the envelope, the data transfer and
// the refusal a server sends before it has all of the data; the check of what goes
// into commands and the header.
#include "smtp/Lxsmtp.h"

#include <string>

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

    const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
    Command("RSET", 400, "RSET");
    Command("MAIL FROM:<" + PostMessage.FromAddress + ">", 400, "MAIL FROM");
    int accepted = 0;
    for (const TStringList* list : lists) {
      // A callback may change the list while we walk it; walk a copy.
      const TStringList entries = *list;
      for (const std::string& entry : entries) {
        const std::string address = ExtractAddress(entry);
        if (address.empty()) continue;
        const std::string reply = Exchange("RCPT TO:<" + address + ">", "RCPT TO");
        if (reply.empty()) throw ESmtpError(kNoReply, 0);
        RecipientReplies.push_back({entry, address, ReplyNumber, ReplyLine(reply)});
        if (ReplyNumber < 200) throw ESmtpError(reply, ReplyNumber);
        if (ReplyNumber <= 300) {
          ++accepted;
          continue;
        }
        Refusals.push_back({entry, address, ReplyNumber, ReplyLine(reply)});
        if (OnRecipientNotFound) OnRecipientNotFound(entry);
      }
    }
    // With every recipient refused, what they were told says whether a later try can
    // pass, not the refusal of the message that follows.
    auto throwIfAllRefused = [this, accepted] {
      if (accepted > 0 || Refusals.empty()) return;
      std::string text = "All recipients refused: ";
      int code = 0;
      for (size_t i = 0; i < Refusals.size(); ++i) {
        text += (i ? "; " : "") + Refusals[i].Address + " " + Refusals[i].Reply;
        if (code == 0 || (code / 100 != 4 && Refusals[i].Code / 100 == 4)) code = Refusals[i].Code;
      }
      throw ERecipientsRefused(text, code);
    };
    try {
      Command("DATA", 400, "DATA");
    } catch (const ESmtpError&) {
      throwIfAllRefused();
      throw;
    }
    std::string reply;
    try {
      {
        // One limit for header and body: it ends a transfer that stalls, not a long one.
        TWaitScope wait(*this, true);
        Write(headerBlock);
        SendStream(BodyStream);
      }
      FinalDotPending = true;
      reply = Exchange(".", "the end of data");
      FinalDotPending = false;
    } catch (const ESockError& e) {
      // A server that refuses the message before it has all of it ("552 too big")
      // sends its reply and stops reading or closes: its reply, not the broken
      // transfer, says what happened. The whole message can sit in the socket's
      // buffer before the refusal comes, so the final "." meets the reset as well.
      // A cancel by the user stays a cancel.
      if (dynamic_cast<const EAbortError*>(&e) && !TimedOut) throw;
      const bool timedOut = TimedOut;
      const std::string early = EarlyReply();
      if (early.empty() || ReplyNumber < 400) {
        TimedOut = timedOut;
        throw;
      }
      FinalDotPending = false;
      if (OnFailure) OnFailure(this);
      throw ESmtpError(early, ReplyNumber);
    }
    if (reply.empty() || ReplyNumber < 200 || ReplyNumber >= 400) {
      if (OnFailure) OnFailure(this);
      throwIfAllRefused();
      throw ESmtpError(reply.empty() ? kNoReply : reply, reply.empty() ? 0 : ReplyNumber);
    }
    if (ClearParams) ClearRecipients();
  } catch (const EReplyTooLong&) {
    // What follows on the connection is more of the same: close without QUIT.
    TLxSocket::Disconnect();
    throw;
  }
  if (OnSuccess) OnSuccess(this);
}

void TLxSMTP::CheckMessage() const {
  RefuseLineBreaks(PostMessage.FromAddress, "the sender address");
  const TStringList* lists[] = {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy, &PostMessage.ToBlindCarbonCopy};
  for (const TStringList* list : lists)
    for (const std::string& entry : *list) RefuseLineBreaks(ExtractAddress(entry), "a recipient address");
  for (const std::string& line : FinalHeader) RefuseHeaderBreaks(line);
  // The header block goes out with one Write after DATA was accepted; one that is
  // too long must fail now, not in the middle of the data.
  if (HeaderBlock().size() > kMaxWrite) throw ERangeError("Range check error");
}
