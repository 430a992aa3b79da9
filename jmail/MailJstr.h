// Japanese mail text encoding: Shift-JIS text to ISO-2022-JP, MIME encoded words
// for header text, base64, and the attachment parts of the multipart/mixed body
// that the send command builds itself.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/StringList.h"

// The multipart/mixed layout: the boundary parameter, the delimiter line before
// each part, the closing delimiter line, the header line that declares the layout
// and the header of the text part.
inline constexpr char kMultipartBoundary[] = "-----------Weskin-TarvexBoundary";
inline constexpr char kBoundaryDelimiter[] = "-------------Weskin-TarvexBoundary";
inline constexpr char kBoundaryClose[] = "-------------Weskin-TarvexBoundary--";
inline constexpr char kMultipartContentType[] =
    "Content-Type: MultiPart/Mixed;Boundary=\"-----------Weskin-TarvexBoundary\"";
inline constexpr char kTextPartContentType[] = "Content-Type: text/plain; charset=iso-2022-jp";

// Converts one line of Shift-JIS text to ISO-2022-JP: double-byte characters (lead
// 0x81-0x9F or 0xE0-0xEF, second 0x40-0x7E or 0x80-0xFC) become JIS pairs between
// ESC $ B and ESC ( B, every other byte is copied. The result ends in ASCII mode.
// Stops at the first zero byte; a lead byte left at the end is dropped. Never throws.
std::string ConvertToJis(const std::string& text);

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

// The most octets one line of a message may hold, its CR LF not counted.
inline constexpr size_t kMaxLineOctets = 998;

// Splits one line of ISO-2022-JP text (as ConvertToJis gives it) into lines of at
// most limit bytes. A line that fits is returned alone, byte for byte. Otherwise
// every piece starts with the escape of the mode it starts in (ESC $ B in JIS
// mode, ESC ( B in ASCII mode) and ends in ASCII mode, so each decodes on its own;
// cuts fall only between characters (a JIS pair is never cut) and the pieces'
// decoded texts joined give the line's decoded text. A limit below 8 counts as 8
// (an escape, one pair and the closing escape). Never throws.
std::vector<std::string> SplitJisLine(const std::string& jis, size_t limit = kMaxLineOctets);

// Returns the header line (ASCII, encoded words as EncodeHeaderLine and
// EncodeSubject give them) unchanged when it holds at most limit octets. A longer
// line is folded into lines of about 78 octets, joined by CR LF, each continuation
// starting with a blank: folds go before an existing blank, between encoded words
// and after a "," of an address header (From, To, Cc, Bcc, Reply-To, Sender); an
// ISO-2022-JP "B" encoded word longer than 75 octets is first split into several
// self-contained encoded words (SplitJisLine on its bytes) separated by blanks,
// which decoders drop. Text without any fold point stays on one line, however
// long. Never throws.
std::string FoldHeaderLine(const std::string& line, size_t limit = kMaxLineOctets);

// Returns the base64 text of the bytes, "=" filled, without line breaks.
std::string Base64EncodeStr(const std::string& bytes);

// Returns the base64 text of the bytes as the stream encoder gives it, with its
// line ends removed: the same text as Base64EncodeStr.
std::string ProcessorBase64(const std::string& bytes);

// Writes the base64 text of length bytes at source to dest, which must hold
// 4 * ceil(length / 3) characters; no line breaks, no terminator. Sets written to
// the number of characters and returns true. When length is not a multiple of three
// and allowPadding is false, returns false and writes nothing (written untouched).
bool Base64EncodeBuf(const void* source, size_t length, char* dest, bool allowPadding, size_t& written);

// Writes the four base64 characters of the bytes b1, b2, b3 to dest.
void Base64EncodeGroup(unsigned char b1, unsigned char b2, unsigned char b3, char* dest);

// Returns the base64 character of a 6-bit value (only the low six bits count).
char Base64Char(unsigned value);

// Returns the attachment parts of the multipart body for the listed files, in list
// order, then the closing delimiter. Each existing file gives the delimiter, the
// part headers (its file name encoded by EncodeHeaderLine), an entry "\r\n" and its
// base64 text in lines of 60 characters (the last one shorter, none for an empty
// file). A path where no file exists is skipped silently. The encoded text passes
// through a temporary file "temp09" + name in PrivateTempDir(), created 0600 without
// following links and removed again, also after an error.
// Throws EFOpenError when a file cannot be opened or read, EFCreateError when the
// temporary file cannot be created, EStreamError when it cannot be written.
TStringList BuildAttachmentParts(const TStringList& paths);
// The same parts with each file's base64 lines joined by CR LF into entries of up
// to 4096 lines (joinLines true): what a message body sends is the same, but a
// large file costs one entry per 250 KB instead of one string per line.
TStringList BuildAttachmentParts(const TStringList& paths, bool joinLines);
