#include "jmail/MailText.h"

#include <algorithm>
#include <cstring>

#include "jmail/MailBase64.h"
#include "jmail/MailFold.h"
#include "jmail/MailJstr.h"

namespace {
constexpr size_t kBase64Width = 76;
constexpr size_t kBase64Take = kBase64Width / 4 * 3;  // the bytes of one full line
}  // namespace

TTextLineEncoder::TTextLineEncoder(const TBodyText& text)
    : lists_{text.Lines, &text.Tail}, utf8_(text.Charset == MailCharset::Utf8) {}

void TTextLineEncoder::Rewind() {
  list_ = line_ = at_ = 0;
  lineOpen_ = false;
  pieces_.clear();
  nextPiece_ = 0;
  utf8Text_.clear();
  utf8At_ = 0;
  textDone_ = false;
}

bool TTextLineEncoder::NextPiece(std::string_view& piece) {
  while (list_ < 2) {
    const TStringList* list = lists_[list_];
    if (!list || line_ >= static_cast<size_t>(list->Count())) {
      ++list_;
      line_ = 0;
      continue;
    }
    const std::string& text = (*list)[static_cast<int>(line_)];
    if (!lineOpen_) {
      lineOpen_ = true;
      at_ = 0;
    }
    // A bare LF would reach the wire as a line end of its own: it ends a piece.
    const size_t lf = text.find('\n', at_);
    if (lf != std::string::npos) {
      piece = std::string_view(text).substr(at_, lf - at_);
      at_ = lf + 1;
      return true;
    }
    piece = std::string_view(text).substr(at_);
    lineOpen_ = false;
    ++line_;
    return true;
  }
  return false;
}

bool TTextLineEncoder::Next(std::string_view& line) { return utf8_ ? NextBase64(line) : NextJis(line); }

bool TTextLineEncoder::NextJis(std::string_view& line) {
  if (nextPiece_ < pieces_.size()) {
    line = pieces_[nextPiece_++];
    return true;
  }
  std::string_view piece;
  if (!NextPiece(piece)) return false;
  const size_t bound = JisSizeBound(piece.size());
  if (bound > outCapacity_) {
    outCapacity_ = std::max(bound, 2 * outCapacity_);
    out_.reset(new char[outCapacity_]);
  }
  const size_t size = static_cast<size_t>(ConvertToJis(piece, out_.get()) - out_.get());
  line = std::string_view(out_.get(), size);
  if (size <= kMaxLineOctets) return true;
  // A converted line over the limit becomes several self-contained lines.
  pieces_ = SplitJisLine(std::string(line));
  nextPiece_ = 1;
  line = pieces_[0];
  return true;
}

bool TTextLineEncoder::NextBase64(std::string_view& line) {
  // Enough UTF-8 text for a full line, or all that is left.
  std::string_view piece;
  while (!textDone_ && utf8Text_.size() - utf8At_ < kBase64Take) {
    if (utf8At_ > 0) {
      utf8Text_.erase(0, utf8At_);
      utf8At_ = 0;
    }
    if (!NextPiece(piece)) {
      textDone_ = true;
      break;
    }
    AppendUtf8(piece, utf8Text_);
    utf8Text_ += "\r\n";
  }
  const size_t count = std::min(kBase64Take, utf8Text_.size() - utf8At_);
  if (count == 0) return false;
  if (outCapacity_ < kBase64Width) {
    outCapacity_ = kBase64Width;
    out_.reset(new char[outCapacity_]);
  }
  size_t written = 0;
  Base64EncodeBuf(utf8Text_.data() + utf8At_, count, out_.get(), true, written);
  utf8At_ += count;
  line = std::string_view(out_.get(), (count + 2) / 3 * 4);
  return true;
}
