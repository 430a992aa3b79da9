// Exceptions, integer conversion and code page 932 text helpers shared by every
// subsystem. Texts of the model are CP932 byte strings; conversion to and from
// UTF-8 happens only at the edges (widgets, terminal, file-system paths).
#pragma once

#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// The general error: carries one message text (CP932 bytes).
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// A text that should hold a number does not.
class EConvertError : public Exception { using Exception::Exception; };
// A length, index or number left its tested range.
class ERangeError : public Exception { using Exception::Exception; };
// A stream operation failed.
class EStreamError : public Exception { using Exception::Exception; };
// A file could not be opened ("ファイル %s は開けません").
class EFOpenError : public EStreamError { using EStreamError::EStreamError; };
// A file could not be created ("ファイル %s を作成できません").
class EFCreateError : public EStreamError { using EStreamError::EStreamError; };

// ": " and the system's text for an error number (CP932), as strerror words it;
// empty for 0. Every error about a file ends with it, so that a user learns why.
std::string SystemReason(int error);

// Builds the file errors with their fixed messages and the system's reason for the
// error number (errno when not given); path is CP932.
EFOpenError FileOpenError(const std::string& path, int error = errno);
EFCreateError FileCreateError(const std::string& path, int error = errno);

// Decimal integer with an optional sign, no blanks, 32-bit range.
// Throws EConvertError "'TEXT' is not a valid integer value" otherwise.
int32_t StrToInt(std::string_view text);
// As StrToInt, but returns def instead of throwing.
int32_t StrToIntDef(std::string_view text, int32_t def);
std::string IntToStr(int64_t value);

// The code page 932 lead-byte table: 0x81-0x9F and 0xE0-0xFC.
bool IsCp932LeadByte(unsigned char b);

// CP932 -> UTF-8. Returns false (and leaves out untouched) when the bytes are not
// valid CP932; badOffset (if given) receives the byte offset of the first byte
// sequence that does not convert.
bool TryCp932ToUtf8(std::string_view cp932, std::string& out, size_t* badOffset = nullptr);
// The same appended to out (which is left as it was on failure): converting many
// lines into one buffer costs no allocation once the buffer has the room.
bool AppendCp932ToUtf8(std::string_view cp932, std::string& out, size_t* badOffset = nullptr);
// UTF-8 -> CP932. Returns false when the text is not valid UTF-8 or holds a
// character without a CP932 form; badOffset (if given) receives the byte offset of
// the first such character in the input.
bool TryUtf8ToCp932(std::string_view utf8, std::string& out, size_t* badOffset = nullptr);
// CP932 -> UTF-8 for display: bytes that do not convert become U+FFFD.
std::string Cp932ToUtf8(std::string_view cp932);
// UTF-8 -> CP932 for the program's own fixed texts (UTF-8 literals in the source).
// A character without a CP932 form becomes "?".
std::string Utf8ToCp932(std::string_view utf8);
