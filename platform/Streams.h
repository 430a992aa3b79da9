// Streams: the abstract byte stream with position and size, an in-memory stream,
// a string stream and a file stream. Positions and sizes are 64-bit.
#pragma once

#include <cstdint>
#include <string>

enum TSeekOrigin { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to count bytes; returns how many were taken.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; soFromEnd adds offset to the size. Returns the new position.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual void SetSize(int64_t size);

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soFromBeginning); }
  // The size, found with three seeks (current, end, back).
  virtual int64_t Size();
  // Reads exactly count bytes; throws EStreamError "Stream read error" otherwise.
  void ReadBuffer(void* buffer, int64_t count);
  // Writes exactly count bytes; throws EStreamError "Stream write error" otherwise.
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteString(const std::string& s) { WriteBuffer(s.data(), static_cast<int64_t>(s.size())); }
  // Copies count bytes from source (count 0: all of source from its start).
  // Returns the bytes copied; throws like ReadBuffer/WriteBuffer.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// Bytes in memory; grows as written. Memory() stays valid until the next write.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void Clear() { data_.clear(); pos_ = 0; }
  // Reserves capacity for at least n bytes (avoids regrowth on big writes).
  void Reserve(int64_t n) { data_.reserve(static_cast<size_t>(n)); }
  const char* Memory() const { return data_.data(); }
  // The contents as a string (the stream keeps them).
  const std::string& DataString() const { return data_; }
  // Takes the contents out; the stream is empty afterwards.
  std::string Release() { pos_ = 0; return std::move(data_); }
  // Throws EFOpenError / EFCreateError; path is CP932.
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path);

 protected:
  std::string data_;
  int64_t pos_ = 0;
};

// A memory stream made from, and readable as, a string.
class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(std::string data = {}) { data_ = std::move(data); }
};

enum TFileMode : unsigned {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFF00,
  // Creates or truncates with mode 0600 and never follows a symbolic link.
  fmCreatePrivate = 0xFE00,
};

// A file opened through the platform file layer (CP932 path converted at the edge).
class TFileStream : public TStream {
 public:
  // Throws EFOpenError (open modes) or EFCreateError (create modes).
  TFileStream(const std::string& path, unsigned mode);
  ~TFileStream() override;
  // One object per open file: a copy would close the file twice.
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  void SetSize(int64_t size) override;
  const std::string& FileName() const { return path_; }
  int Handle() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};
