// TLxUUProcessor: the stream encoder that turns the bytes of an input stream into
// lines of base64 (uuMime) or uuencode (uuCode) characters, each line ended by CR LF.
// TSixBitCoder is its table-driven core, which the other base64 producers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Component.h"
#include "platform/Streams.h"


enum UUMethods { uuMime, uuCode };

// Maps groups of three bytes to four characters of a 64-character alphabet, two
// characters (twelve bits) per table look-up.
class TSixBitCoder {
 public:
  // alphabet: the 64 characters for the values 0 to 63.
  explicit TSixBitCoder(const char* alphabet);

  // Writes the 4 * groups characters of the 3 * groups bytes at src to dst;
  // returns the position after the last character written.
  char* EncodeGroups(const unsigned char* src, size_t groups, char* dst) const;
  // Writes the characters of a last group of one or two bytes (count 1 or 2):
  // count + 1 characters, then "=" up to four characters when pad is set.
  // Returns the position after the last character written.
  char* EncodeTail(const unsigned char* src, size_t count, bool pad, char* dst) const;
  // The character of a 6-bit value (only the low six bits count).
  char Char(unsigned value) const { return alphabet_[value & 63]; }
  const char* Alphabet() const { return alphabet_; }

  // The base64 alphabet "A-Za-z0-9+/" and the uuencode alphabet (grave accent for
  // zero, then 0x21 to 0x5F).
  static const TSixBitCoder& Mime();
  static const TSixBitCoder& UU();

 private:
  char alphabet_[64];
  char pairs_[4096][2];
};

class TLxUUProcessor : public TComponent {
 public:
  explicit TLxUUProcessor(TComponent* owner = nullptr);

  // Reads InputStream from position 0 to its end and appends the encoded lines to
  // OutputStream at its current position: each line holds the characters of up to
  // 45 input bytes and ends with CR LF (uuCode: a length character first, and a last
  // line of one grave accent). Afterwards, also after an error, OutputStream stands
  // at position 0 and OnEndEncode has been called.
  // Throws Exception "Stream not assigned" when a stream is not set; read and write
  // errors of the streams (EStreamError) propagate.
  void Encode();

  TNotifyEvent OnBeginEncode;
  TNotifyEvent OnEndEncode;
  // Kept with the other settings; the processor has no decoder, so never called.
  TNotifyEvent OnBeginDecode;
  TNotifyEvent OnEndDecode;
  // The 64 characters of the selected method; loaded by Encode.
  std::string Alphabet;
  TStream* InputStream = nullptr;   // not owned
  TStream* OutputStream = nullptr;  // not owned
  UUMethods Method = uuMime;

 private:
  void EncodeLines(const TSixBitCoder& coder);
};
