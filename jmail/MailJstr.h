// Japanese mail text encoding: Shift-JIS text to ISO-2022-JP and the encoded word
// of a subject. The rest of the text encoders come with this header, as the send
// command uses them together: encoded words and UTF-8 (MailWords.h), header folding
// (MailFold.h), base64 (MailBase64.h) and the attachment parts of the
// multipart/mixed body that the send command builds itself (MailParts.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "jmail/MailBase64.h"
#include "jmail/MailFold.h"
#include "jmail/MailParts.h"
#include "jmail/MailWords.h"

// The escapes between which ISO-2022-JP text is in JIS X 0208 mode.
inline constexpr char kEscJis[] = "\x1B$B";    // ESC $ B: switch to JIS X 0208
inline constexpr char kEscAscii[] = "\x1B(B";  // ESC ( B: switch to ASCII

// Converts one line of Shift-JIS text to ISO-2022-JP: double-byte characters (lead
// 0x81-0x9F or 0xE0-0xEF, second 0x40-0x7E or 0x80-0xFC) become JIS pairs between
// ESC $ B and ESC ( B, every other byte is copied. The result ends in ASCII mode.
// Stops at the first zero byte; a lead byte left at the end is dropped. Never throws.
std::string ConvertToJis(const std::string& text);

// The most bytes ConvertToJis makes of n bytes of text.
constexpr size_t JisSizeBound(size_t n) { return 3 * n + 6; }
// ConvertToJis written to out, which must have room for JisSizeBound(text.size())
// bytes; returns the end of what was written. No allocation: a caller converting
// many lines reuses one buffer.
char* ConvertToJis(std::string_view text, char* out);

// Returns what ConvertToJis subtracts from lead * 512 + second to get the JIS code:
// 0xE11F/0xE120/0xE07E for leads 0x81-0x9F, 0x1611F/0x16120/0x1607E for other leads,
// by second byte 0x40-0x7E/0x80-0x9E/0x9F-0xFC; 0 for any other second byte.
int JisOffset(unsigned char lead, unsigned char second);

// Returns the whole text as one encoded word: "=?ISO-2022-JP?B?" + the base64 of
// its ISO-2022-JP form + "?=". Never throws.
std::string EncodeSubject(const std::string& text);

// Returns the line with every run of double-byte characters (code page 932 lead
// bytes 0x81-0x9F, 0xE0-0xFC) replaced by one encoded word; other bytes stay as they
// are. A lead byte that is the last byte of the line pairs with a zero byte, as if
// the text went on with its terminator. Never throws.
std::string EncodeHeaderLine(const std::string& line);

// True when ConvertToJis gives text that any reader decodes back to the same
// characters: every byte is ASCII other than the zero byte (where the conversion
// stops) and ESC (which a reader takes for a mode switch), or one of the 6879 JIS
// X 0208 characters as a double-byte pair. Half-width katakana, NEC row 13, the
// NEC-selected and IBM extensions, user-defined characters, empty cells and bytes
// that are no CP932 character give false. Never throws.
bool FitsIso2022Jp(const std::string& text);
