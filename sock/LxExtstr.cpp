#include "sock/LxExtstr.h"

#include <algorithm>
#include <cstring>

#include "platform/SysUtils.h"

int32_t DefaultBufferSize = 0x8000;

// ---- TS_BufferStream -------------------------------------------------------------

TS_BufferStream::TS_BufferStream(TStream& stream)
    : stream_(stream), bufferSize_(DefaultBufferSize > 0 ? DefaultBufferSize : 1) {
  bufStart_ = new char[static_cast<size_t>(bufferSize_)];
  bufEnd_ = bufStart_ + bufferSize_;
}

TS_BufferStream::~TS_BufferStream() {
  if (state_ == 2) {
    try {
      FlushBuffer();
    } catch (...) {
      // A destructor cannot report a failed write-out.
    }
  }
  delete[] bufStart_;
}

int64_t TS_BufferStream::BufferedOffset() const {
  if (state_ == 1) return current_ - bufEnd_;
  if (state_ == 2) return current_ - bufStart_;
  return 0;
}

bool TS_BufferStream::FillBuffer() {
  int64_t n = stream_.Read(bufStart_, bufferSize_);
  if (n < 0) n = 0;
  current_ = bufStart_;
  bufEnd_ = bufStart_ + n;
  state_ = n > 0 ? 1 : 0;
  BufferFilled();
  return n > 0;
}

bool TS_BufferStream::FlushBuffer() {
  int64_t n = current_ ? current_ - bufStart_ : 0;
  int64_t w = n > 0 ? stream_.Write(bufStart_, n) : 0;
  current_ = bufStart_;
  state_ = 0;
  BufferFlushed();
  return w == n;
}

void TS_BufferStream::BufferFilled() {
  if (OnBufferFilled) OnBufferFilled(this);
}

void TS_BufferStream::BufferFlushed() {
  if (OnBufferFlushed) OnBufferFlushed(this);
}

int64_t TS_BufferStream::Read(void* buffer, int64_t count) {
  if (state_ == 2) FlushBuffer();
  if (state_ != 1) {
    // Nothing read ahead (also right after writing): the block counts as empty.
    if (current_ == nullptr || current_ != bufEnd_) current_ = bufEnd_ = bufStart_;
  }
  char* dest = static_cast<char*>(buffer);
  int64_t total = 0;
  while (count > 0) {
    if (current_ == bufEnd_ && !FillBuffer()) break;
    int64_t m = std::min<int64_t>(bufEnd_ - current_, count);
    std::memcpy(dest, current_, static_cast<size_t>(m));
    current_ += m;
    dest += m;
    count -= m;
    total += m;
  }
  return total;
}

int64_t TS_BufferStream::Write(const void* buffer, int64_t count) {
  if (state_ != 2) {
    // Give back the bytes read ahead, then use the whole block for writing.
    if (state_ == 1) stream_.Seek(stream_.Seek(0, soFromCurrent) + BufferedOffset(), soFromBeginning);
    current_ = bufStart_;
    bufEnd_ = bufStart_ + bufferSize_;
    state_ = 0;
  }
  const char* src = static_cast<const char*>(buffer);
  int64_t total = 0;
  while (count > 0) {
    int64_t m = std::min<int64_t>(bufEnd_ - current_, count);
    std::memcpy(current_, src, static_cast<size_t>(m));
    current_ += m;
    src += m;
    total += m;
    if (current_ == bufEnd_ && !FlushBuffer()) break;
    count -= m;
  }
  if (current_ != bufStart_) state_ = 2;
  return total;
}

int64_t TS_BufferStream::Seek(int64_t offset, int origin) {
  int64_t p = stream_.Seek(0, soFromCurrent) + BufferedOffset();
  int64_t t;
  switch (origin) {
    case soFromBeginning: t = offset; break;
    case soFromCurrent: t = p + offset; break;
    // Pending bytes may reach past the underlying stream's end: they count.
    case soFromEnd: t = (state_ == 2 ? std::max(stream_.Size(), p) : stream_.Size()) - offset; break;
    default: throw Exception("Invalid seek origin = " + IntToStr(origin));
  }
  if (t == p) return t;
  if (state_ == 2 && !FlushBuffer()) throw EStreamError("Seek error");
  stream_.Seek(t, soFromBeginning);
  current_ = nullptr;
  state_ = 0;
  return t;
}

void TS_BufferStream::PutBack(char b) {
  if (current_ == nullptr || current_ <= bufStart_) throw EStreamError("PutBack overflow");
  *--current_ = b;
}

// ---- TExStringList ---------------------------------------------------------------

namespace {
// The text before the first ':' of a header line (empty when there is none).
std::string NamePart(const std::string& line, bool* hasColon = nullptr) {
  size_t colon = line.find(':');
  if (hasColon) *hasColon = colon != std::string::npos;
  return colon == std::string::npos ? std::string() : line.substr(0, colon);
}
}  // namespace

int TExStringList::IndexOfHeader(const std::string& name) const {
  if (!Sorted()) {
    for (int i = 0; i < Count(); ++i) {
      bool hasColon;
      std::string part = NamePart((*this)[i], &hasColon);
      if (hasColon && CompareText(part, name) == 0) return i;
    }
    return -1;
  }
  if (Count() == 0) return -1;
  int low = 0, high = Count() - 1, mid;
  for (;;) {
    mid = low + (high - low) / 2;
    int c = CompareText(NamePart((*this)[mid]), name);
    if (c == 0) return mid;
    if (c < 0)
      low = mid + 1;
    else
      high = mid - 1;
    if (high + 1 == low) return -1;
  }
}

void TExStringList::SetHeader(const std::string& name, const std::string& value) {
  int i = IndexOfHeader(name);
  if (!value.empty()) {
    if (i < 0) i = Add(std::string());
    (*this)[i] = name + ": " + value;
  } else if (i >= 0) {
    Delete(i);
  }
}

// ---- NthField --------------------------------------------------------------------

std::string NthField(const std::string& text, char separator, int n) {
  std::string result;
  int count = 0;
  for (char c : text) {
    if (c == separator) {
      if (++count >= n) break;
    } else if (count == n - 1) {
      result += c;
    }
  }
  return result;
}
