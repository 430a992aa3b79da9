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

// How the texts of one message are written.
enum class MailCharset {
  // ISO-2022-JP with every byte as earlier releases wrote it: each run of
  // double-byte characters its own encoded word, file names by EncodeHeaderLine.
  Iso2022JpLegacy,
  // ISO-2022-JP; runs of double-byte characters separated only by blanks share one
  // encoded word (readers drop blanks between words), a non-ASCII file name is one
  // encoded word and also goes as an RFC 2231 "filename*" parameter.
  Iso2022Jp,
  // UTF-8 as Iso2022Jp, with UTF-8 encoded words of at most 75 octets.
  Utf8,
};

// True when ConvertToJis gives text that any reader decodes back to the same
// characters: every byte is ASCII other than the zero byte (where the conversion
// stops) and ESC (which a reader takes for a mode switch), or one of the 6879 JIS
// X 0208 characters as a double-byte pair. Half-width katakana, NEC row 13, the
// NEC-selected and IBM extensions, user-defined characters, empty cells and bytes
// that are no CP932 character give false. Never throws.
bool FitsIso2022Jp(const std::string& text);

// Converts CP932 text to UTF-8 with the usual CP932 mapping (user-defined
// characters to the private use area U+E000-U+E757). Nothing is dropped: each
// byte sequence that is no CP932 character becomes one U+FFFD, a lead byte with a
// second byte that cannot follow it becomes U+FFFD for the lead alone when the
// second byte is ASCII (that byte then stands for itself, as in "\x82 " -> U+FFFD
// " "), for the pair otherwise. Zero bytes are kept. Never throws.
std::string ConvertToUtf8(const std::string& text);

// Returns the whole text as UTF-8 encoded words "=?UTF-8?B?...?=" of at most 64
// octets each (39 bytes of UTF-8, never a character cut in two), separated by one
// blank, which readers drop between encoded words. An empty text gives one word
// with empty base64 text, like EncodeSubject. Never throws.
std::string EncodeSubjectUtf8(const std::string& text);

// Returns the header line with its non-ASCII text as encoded words, in the given
// charset. Iso2022JpLegacy is EncodeHeaderLine. Iso2022Jp encodes the same runs
// (lead byte and the byte after it per character), but two runs separated by
// blanks only become one word with the blanks inside; Utf8 does that for runs of
// any bytes 0x80-0xFF (a lead byte takes a following second byte with it),
// converted by ConvertToUtf8 and cut into words as EncodeSubjectUtf8 does. ASCII
// text between runs, and every line without non-ASCII bytes, stays as it is.
// Never throws.
std::string EncodeHeaderText(const std::string& line, MailCharset charset);

// Returns the base64 text of the bytes in lines of width characters (the last one
// shorter), without line ends; width is rounded down to a multiple of 4 (at least
// 4). Empty bytes give no lines.
std::vector<std::string> Base64Lines(const std::string& bytes, size_t width = 76);

// The name of an attachment as its part header shows it in name=, filename= and
// Content-Description. An ASCII name, and every name with Iso2022JpLegacy, is
// EncodeHeaderLine of it; another name is one encoded word of the whole name
// (EncodeSubject, or a single UTF-8 word of any length), never split around ASCII.
std::string EncodeAttachmentName(const std::string& name, MailCharset charset);

// The RFC 2231 parameter of a non-ASCII file name, "filename*=ISO-2022-JP''" or
// "filename*=UTF-8''" followed by the percent-encoded bytes of the name in that
// charset; empty for an ASCII name and for Iso2022JpLegacy.
std::string ExtendedFileNameParameter(const std::string& name, MailCharset charset);

// A file name fit for a part header: control characters dropped (a line break would
// end the header early and put the rest of the name into the part's body).
std::string WithoutControlCharacters(const std::string& text);

// text (CP932) as the inside of a quoted parameter value: '"' and '\\' escaped. The
// second byte of a double-byte character is copied as it is, even when it is 0x5C.
std::string QuotedParameterText(const std::string& text);

// The most octets one line of a message may hold, its CR LF not counted.
inline constexpr size_t kMaxLineOctets = 998;
// The line length header folding aims at.
inline constexpr size_t kFoldLineOctets = 78;

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
// part headers (its file name by EncodeAttachmentName, and with a non-ASCII name
// and charset Iso2022Jp or Utf8 the ExtendedFileNameParameter after the filename
// parameter of Content-Disposition), an entry "\r\n" and its
// base64 text in lines of 60 characters (the last one shorter, none for an empty
// file). A path where no file exists is skipped silently. The encoded text passes
// through a temporary file "temp09" + name in PrivateTempDir(), created 0600 without
// following links and removed again, also after an error.
// Throws EFOpenError when a file cannot be opened or read, EFCreateError when the
// temporary file cannot be created, EStreamError when it cannot be written.
// With joinLines each file's base64 lines are joined by CR LF into entries of up to
// 4096 lines: what a message body sends is the same, but a large file costs one
// entry per 250 KB instead of one string per line.
TStringList BuildAttachmentParts(const TStringList& paths, MailCharset charset = MailCharset::Iso2022JpLegacy,
                                 bool joinLines = false);
