// What a run keeps of the mail it sent: a copy of each accepted message in a
// Maildir folder ([Mail] SentFolder) and one JSON line per send in a log file
// ([Mail] Log). Neither may fail a send: a record that cannot be written is the
// caller's warning, not its error.
#pragma once

#include "platform/Streams.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/StringList.h"
#include "platform/SysUtils.h"

// A copy of a message written while it is sent, so that it holds what went out
// (an attachment is not read a second time), in the Maildir folder dir (created
// 0700 with tmp, new and cur when missing): header (every line ended by CR LF, the
// empty line after the last included), a "Bcc:" line naming blindCopies when there
// are any, and the body as Body() receives it (dot-stuffed, CR LF), stored with LF
// line ends and without the stuffed dots. The file is written in tmp; Store renames
// it into cur with the seen flag once the server has accepted the message. A copy
// that is never stored leaves nothing behind in the folder's tmp. All paths are
// CP932, as the form holds them.
class TSentCopy {
 public:
  // Makes the folder and the file in its tmp with the header.
  // Throws Exception naming the folder and the system's reason.
  TSentCopy(const std::string& dir, const std::string& header, const TStringList& blindCopies);
  ~TSentCopy();
  TSentCopy(const TSentCopy&) = delete;
  TSentCopy& operator=(const TSentCopy&) = delete;
  // The stream the body goes into as it went out (dot-stuffed, CR LF). It takes every
  // write: a copy that cannot be written never stops the send; Store tells it.
  TStream& Body();
  // Counts the body as not written (for the system's reason error).
  void Fail(int error);
  // Syncs the file and renames it into cur with the seen flag; returns its path.
  // Throws Exception as the constructor when anything of it could not be written
  // (the file is removed then).
  std::string Store();

 private:
  class TBodySink;
  Exception Failure(const std::string& what, int error) const;
  void Discard();
  std::string dir_, osDir_, name_, tmp_;
  int fd_ = -1;
  std::unique_ptr<TBodySink> body_;
};

// One recipient of a send as the log tells it.
struct TLoggedRecipient {
  std::string Address;
  bool Accepted = false;
  std::string Reply;  // the server's reply to RCPT TO, on one line; empty when none came
};

// One send as the log tells it. Texts are CP932, as the form holds them.
struct TSendRecord {
  std::time_t Time = 0;
  std::string MessageId;  // without its angle brackets
  std::string From;
  std::vector<TLoggedRecipient> Recipients;
  int64_t Size = 0;  // the bytes that followed DATA (header, empty line and body)
  std::vector<std::string> Attachments;  // file names
  int Status = 0;      // the exit status the send gives the run
  std::string Reply;   // the server's final reply, on one line
};

// The record as one line of JSON (UTF-8, ended by LF): time (RFC 3339), message_id,
// from, recipients (address, accepted, reply), size, attachments, status, reply.
std::string SendRecordJson(const TSendRecord& record);
// Appends the record's line to the log file path (created 0600), under an exclusive
// lock on the file that is waited for a bounded time, with one write. Throws
// Exception naming the file and the reason when that fails.
void AppendSendLog(const std::string& path, const TSendRecord& record);
