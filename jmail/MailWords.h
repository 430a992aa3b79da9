// MIME encoded words for header text, in ISO-2022-JP or UTF-8, and the conversion
// of CP932 text to UTF-8 that the UTF-8 words and bodies use.
#pragma once

#include <string>
#include <string_view>

// The ends of an encoded word: "=?ISO-2022-JP?B?" or "=?UTF-8?B?", base64 text, "?=".
inline constexpr char kWordStart[] = "=?ISO-2022-JP?B?";
inline constexpr char kUtf8WordStart[] = "=?UTF-8?B?";
inline constexpr char kWordEnd[] = "?=";

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

// Converts CP932 text to UTF-8 with the usual CP932 mapping (user-defined
// characters to the private use area U+E000-U+E757). Nothing is dropped: each
// byte sequence that is no CP932 character becomes one U+FFFD, a lead byte with a
// second byte that cannot follow it becomes U+FFFD for the lead alone when the
// second byte is ASCII (that byte then stands for itself, as in "\x82 " -> U+FFFD
// " "), for the pair otherwise. Zero bytes are kept. Never throws.
std::string ConvertToUtf8(const std::string& text);
// ConvertToUtf8 appended to out.
void AppendUtf8(std::string_view text, std::string& out);

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
