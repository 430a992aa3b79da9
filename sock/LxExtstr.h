// Small tools of the socket unit: TS_BufferStream buffers reads and writes of another
// stream in one block, TExStringList looks header lines ("Name: value") up by name and
// sets or deletes them, and NthField cuts one field out of a text at a separator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Streams.h"
#include "platform/StringList.h"


// Block size of every TS_BufferStream created from now on (process-wide).
extern int32_t DefaultBufferSize;

// A stream over another stream (not owned) that reads ahead and collects writes in one
// block. Callers seek between writing and reading; a change of direction without a
// seek is still handled (pending bytes are written out, read-ahead bytes given back).
class TS_BufferStream : public TStream {
 public:
  using TNotify = std::function<void(TS_BufferStream* sender)>;

  explicit TS_BufferStream(TStream& stream);
  // Writes out pending bytes (failure ignored); leaves the underlying stream alone.
  ~TS_BufferStream() override;
  TS_BufferStream(const TS_BufferStream&) = delete;
  TS_BufferStream& operator=(const TS_BufferStream&) = delete;

  // Hands out up to count bytes; fewer (down to 0) at the end of the data. Never throws.
  int64_t Read(void* buffer, int64_t count) override;
  // Accepts up to count bytes; stops early when writing out the full block fails.
  int64_t Write(const void* buffer, int64_t count) override;
  // origin 0 from the beginning, 1 from the current position, 2 back from the end (the
  // offset is subtracted). Returns the new position; asking for the current position
  // changes nothing. Throws Exception "Invalid seek origin = N" and EStreamError
  // "Seek error" when pending bytes cannot be written out.
  int64_t Seek(int64_t offset, int origin) override;

  // Reads the next block ahead; true when at least one byte came.
  virtual bool FillBuffer();
  // Writes the pending bytes out; true when the underlying stream took them all.
  virtual bool FlushBuffer();
  // Makes b the next byte to read. Throws EStreamError "PutBack overflow" when no byte
  // of the current fill has been handed out.
  virtual void PutBack(char b);
  virtual void BufferFilled();
  virtual void BufferFlushed();
  // Logical position minus the underlying position (read-ahead: <= 0, pending: >= 0).
  int64_t BufferedOffset() const;

  int State() const { return state_; }
  int32_t BufferSize() const { return bufferSize_; }
  TNotify OnBufferFilled;
  TNotify OnBufferFlushed;

 private:
  TStream& stream_;
  char* bufStart_;
  char* current_ = nullptr;
  char* bufEnd_;
  int32_t bufferSize_;
  uint8_t state_ = 0;  // 0 idle, 1 reading, 2 writing
};

// A string list of header lines "Name: value".
class TExStringList : public TStringList {
 public:
  using TStringList::TStringList;
  // Index of the line whose name part (the text before its first ':') equals name
  // without regard to case, or -1. A sorted list is searched by halving.
  int IndexOfHeader(const std::string& name) const;
  // Replaces (or appends) the line of name by "name: value"; an empty value deletes it.
  void SetHeader(const std::string& name, const std::string& value);
};

// Field n (from 1) of text cut at separator; empty beyond the last separator.
std::string NthField(const std::string& text, char separator, int n);
