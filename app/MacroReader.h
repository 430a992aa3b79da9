// The macro file: reading its lines (TMacroLineReader) and telling its section
// lines (MacroKeyword) from its content lines. The form runs what they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Heap.h"
#include "platform/StringList.h"
#include "platform/SysUtils.h"

// The macro file of a run cannot be opened. Carries the platform's file error text;
// kept apart from other file errors because it has its own exit status.
class EMacroOpenError : public EFOpenError { using EFOpenError::EFOpenError; };

// A line of a UTF-8 macro or pickup file is no UTF-8 or holds a character without
// a CP932 form (the message names the file, the line number and the character), or
// a macro file read as CP932 is UTF-8 text (the message names --charset utf-8).
class EMacroCharsetError : public Exception { using Exception::Exception; };

// Reads the lines of a macro file (or of a file a macro picks up) as bytes: a line
// ends at CR, an LF right after the CR belongs to the line end, a bare LF is an
// ordinary byte, a 0x1A byte ends the file. A file without any CR before its end
// (a Linux text file) has LF as its line end instead. Lines have no length limit;
// the file is read in chunks, so only the current line and one chunk are held. A
// UTF-8 file's lines are converted to CP932 as they are read (a byte-order mark at
// the start is dropped), so the caller always gets CP932.
class TMacroLineReader {
 public:
  // Opens a regular file. Throws EFOpenError (the platform's file error) when it
  // cannot be opened or is no regular file.
  explicit TMacroLineReader(const std::string& path, bool utf8 = false);
  ~TMacroLineReader();
  TMacroLineReader(const TMacroLineReader&) = delete;
  TMacroLineReader& operator=(const TMacroLineReader&) = delete;

  // True when no line is left (end of file, a 0x1A byte, or closed).
  // Throws EStreamError "Stream read error" when the file cannot be read.
  bool Eof();
  // The next line without its line end; empty at the end. Throws as Eof, and
  // EMacroCharsetError when a UTF-8 line does not convert to CP932.
  std::string ReadLine();
  // The number of lines read so far.
  int LineNumber() const { return lineNumber_; }
  // The bytes of the file taken by the lines read so far (their line ends included).
  int64_t Offset() const { return readBytes_ - static_cast<int64_t>(len_ - pos_); }
  // The bytes of the file after them (as its size was when it was opened; 0 beyond it).
  int64_t BytesLeft() const { return fileSize_ > Offset() ? fileSize_ - Offset() : 0; }
  // Closes the file; Eof is true afterwards.
  void Close();
  // True when the whole file up to its end (or 0x1A) is valid UTF-8 that holds at
  // least one non-ASCII character: text a UTF-8 editor wrote, which read as CP932
  // would go out garbled. Reads the file once more from its start without moving
  // the line position; false when it cannot be read.
  bool IsUtf8Text() const;

 private:
  bool Fill();
  std::string ReadRawLine();
  int fd_ = -1;
  std::string path_;
  bool utf8_;
  char lineEnd_ = '\r';
  int lineNumber_ = 0;
  char buffer_[65536];
  size_t pos_ = 0, len_ = 0;
  int64_t readBytes_ = 0, fileSize_ = 0;
};

// The room a long body takes, made as its lines come: once its first kSampleLines
// lines are read, the list gets room for as many lines again as the rest of the
// file holds at their average length (made once instead of grown, and copied, step
// by step; never more than kRoomPerOctet times the octets left), and from then on the
// list's room and the heap its lines fill are made present a stretch at a time
// (THeapPrefaulter), as the list reaches them, instead of a page fault per page.
class TBodyRoom {
 public:
  static constexpr int64_t kSampleLines = 4096;
  TBodyRoom();
  ~TBodyRoom();
  TBodyRoom(const TBodyRoom&) = delete;
  TBodyRoom& operator=(const TBodyRoom&) = delete;
  // Before a body line that took bytes octets of the file is added to body, with
  // bytesLeft octets of the file after it.
  void Add(TStringList& body, int64_t bytes, int64_t bytesLeft);
  // The room's octets are at most this many times the octets left in the file.
  static constexpr int64_t kRoomPerOctet = 4;

 private:
  // Makes the next stretch of the list's room present once the list reaches it.
  void RoomAhead(const TStringList& body);

  int64_t lines_ = 0, bytes_ = 0;
  std::unique_ptr<THeapPrefaulter> heap_;
  const std::string* roomBase_ = nullptr;  // where the list's room starts
  size_t roomPresent_ = 0;                 // octets of the room made present
};

// The section number (0-17) a macro line selects, or -1 when it is a content line:
// the line must hold ":", and with its first ":" deleted and A-Z turned into a-z it
// must equal one of "rem", "to", "cc", "bcc", "subject", "reply-to", "body",
// "bind", "server", "pickupbcc", "pickupbody", "action", "upwd", "uname",
// "answer-to", "receipt", "priority", "header".
int MacroKeyword(const std::string& line);

// The macro sections by number.
enum TMacroSection : int {
  msRem = 0, msTo, msCC, msBCC, msSubject, msReplyTo, msBody, msBind, msServer,
  msPickupBCC, msPickupBody, msAction, msUpwd, msUname,
  msAnswerTo, msReceipt, msPriority, msHeader
};

