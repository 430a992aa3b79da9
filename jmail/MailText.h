// The text of a message as the lines it goes out in, made one line at a time from
// the lines it was typed in: nothing of the converted text is kept but the line
// being handed out.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jmail/MailWords.h"
#include "platform/StringList.h"

// A message's text: the lines of Lines, then those of Tail (a signature), in
// Charset. Lines is not copied: it must stay as it is while the text is read.
struct TBodyText {
  const TStringList* Lines = nullptr;
  TStringList Tail;
  MailCharset Charset = MailCharset::Iso2022JpLegacy;
  // The body entry the encoded lines take the place of (an empty entry); -1: none.
  int Entry = -1;
};

// The encoded lines of a text. Each text line is split at its LF bytes (as a
// multi-line field shows it). In ISO-2022-JP each piece goes through ConvertToJis,
// a result over 998 octets split into self-contained lines by SplitJisLine. In
// UTF-8 the pieces are converted by ConvertToUtf8, each ended by CR LF, and the
// whole is base64 in lines of 76 characters. The buffers are kept from line to line:
// once they have the room of the longest line, a line costs no allocation (but a
// JIS line over the limit, which is split).
class TTextLineEncoder {
 public:
  explicit TTextLineEncoder(const TBodyText& text);
  // The next line without a line end, valid until the next call; false after the last.
  bool Next(std::string_view& line);
  // Starts again from the first line.
  void Rewind();

 private:
  // The next piece of the text (a line up to an LF); false after the last.
  bool NextPiece(std::string_view& piece);
  bool NextJis(std::string_view& line);
  bool NextBase64(std::string_view& line);

  const TStringList* lists_[2];
  bool utf8_;
  size_t list_ = 0, line_ = 0, at_ = 0;  // the next piece: list, line and offset in it
  bool lineOpen_ = false;                // the line at line_ has pieces left
  std::unique_ptr<char[]> out_;          // the line handed out
  size_t outCapacity_ = 0;
  std::vector<std::string> pieces_;      // a long JIS line cut in pieces, handed out in turn
  size_t nextPiece_ = 0;
  std::string utf8Text_;                 // UTF-8 text not yet in a base64 line
  size_t utf8At_ = 0;
  bool textDone_ = false;
};
