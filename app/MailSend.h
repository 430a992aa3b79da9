// The pieces of the send command that turn form texts into the message: address
// splitting, the body lines (plain or multipart), the rewrite of the generated
// header block (single blanks, the charset, encoded words, multipart content
// type, Message-ID), the choice of the message's charset and the Date text.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "jmail/MailJstr.h"
#include "jmail/MailText.h"
#include "platform/StringList.h"
#include "sock/LxExtstr.h"

// The multipart layout of every message the form sends is that of the encoders
// (kBoundaryDelimiter, kMultipartContentType in jmail/MailParts.h).

// Adds the entries of a "," separated text to list (SplitAddressList: a comma in a
// quoted name, a comment or angle brackets does not split): not trimmed, empty entries kept.
void SplitAddresses(const std::string& text, TStringList& list);

// The values of the settings key [Mail] Charset, in the window's order.
enum class TCharsetChoice { Auto, Iso2022Jp, Utf8 };

// The charset of one message. Iso2022Jp gives the earlier bytes in every case
// (MailCharset::Iso2022JpLegacy), Utf8 gives UTF-8; Auto gives ISO-2022-JP
// (MailCharset::Iso2022Jp) when every one of texts and lines fits it
// (FitsIso2022Jp), else UTF-8, so that the whole message is in one charset. The
// body's lines come as their own list, so that they are looked at where they lie.
MailCharset ChooseMailCharset(TCharsetChoice choice, const std::vector<std::string>& texts,
                              const TStringList& lines = TStringList());

// The charset parameter of the message's text: "utf-8" or "iso-2022-jp".
const char* CharsetName(MailCharset charset);

// The body lines of a message. In ISO-2022-JP each text line (split at LF bytes,
// as a multi-line field shows it) goes through ConvertToJis, a result over 998
// octets split into self-contained lines by SplitJisLine. In UTF-8 the lines,
// split the same way, are converted by ConvertToUtf8, each ended by CR LF, and
// the whole text is base64 in lines of 76 characters. With attachments the text
// is framed as multipart (its part header names the charset, and base64 for
// UTF-8) and followed by the parts of BuildAttachmentParts in that charset (each
// file's encoded lines joined into entries of many CR LF lines, which go on the wire
// as the same lines). Ends with one empty line.
// Throws the file errors of BuildAttachmentParts.
TStringList BuildBodyLines(const TStringList& text, const TStringList& attachments,
                           MailCharset charset = MailCharset::Iso2022JpLegacy);
// The same with the multipart framing set apart from the list: a message whose listed
// files were all left out keeps its multipart framing. With files, each file's base64
// text is left out (BuildAttachmentHeaders): files receives the entries that stand
// for them, for the component to read and encode the files as it sends.
TStringList BuildBodyLines(const TStringList& text, const TStringList& attachments, bool multipart,
                           MailCharset charset, std::vector<TBodyFile>* files = nullptr);
// The same with the text left out too: one empty entry stands where its encoded
// lines go, text.Entry receives its index, and the component encodes text (in
// text.Charset) line by line as it sends, so that the converted text is never held
// whole. Files as above.
TStringList BuildBodyFrame(TBodyText& text, const TStringList& attachments, bool multipart,
                           std::vector<TBodyFile>& files);

// The string with every run of two or more blanks reduced to one blank.
std::string CollapseSpaces(std::string s);

// Passes 1 and 2 of the header rewrite: single blanks, the us-ascii charset
// replaced by the message's charset, and non-ASCII text as encoded words
// (EncodeHeaderText in that charset).
// Address fields (From, To, CC, Bcc, Reply-To, Sender) go entry by entry through
// HeaderAddressEntry: quoted names with non-ASCII text as encoded words outside the
// quotes, domains as A-labels, with utf8Mailbox a non-ASCII mailbox name in UTF-8.
void AdjustHeader(TStringList& header, MailCharset charset = MailCharset::Iso2022JpLegacy, bool utf8Mailbox = false);
// Pass 3: the first plain text Content-Type of the charset becomes the multipart one.
void UseMultipartHeader(TStringList& header, MailCharset charset = MailCharset::Iso2022JpLegacy);
// A UTF-8 message without attachments: "Content-Transfer-Encoding: base64" goes
// right after the text Content-Type line (at the end when there is none).
void UseBase64Body(TStringList& header);
// Folds every header line over 998 octets, and in UTF-8 every line over 78
// (FoldHeaderLine): the entry then holds CR LF and a blank at each fold. Shorter
// lines stay as they are.
void FoldHeader(TStringList& header, MailCharset charset = MailCharset::Iso2022JpLegacy);
// Appends a Message-ID line when the header has none; the domain comes from the
// sender address (a non-ASCII one as A-labels), or the host name when the address has none.
void AddMessageId(TExStringList& header, const std::string& senderAddress);

// "Wed, 09 Dec 2026 21:34:16 +0900": English names, numeric local offset.
std::string MailDate(std::time_t when);
