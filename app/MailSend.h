// The pieces of the send command that turn form texts into the message: address
// splitting, the body lines (plain or multipart), the rewrite of the generated
// header block (single blanks, ISO-2022-JP charset, encoded words, multipart
// content type, Message-ID) and the Date text.
#pragma once

#include <ctime>
#include <string>

#include "platform/StringList.h"
#include "sock/LxExtstr.h"

// The multipart layout of every message the form sends is that of the encoders
// (kBoundaryDelimiter, kMultipartContentType in jmail/MailJstr.h).

// Adds the entries of a "," separated text to list: not trimmed, empty entries kept.
void SplitAddresses(const std::string& text, TStringList& list);

// The body lines of a message: each text line (split at LF bytes, as a multi-line
// field shows it) through ConvertToJis, a result over 998 octets split into
// self-contained lines by SplitJisLine; with attachments, framed as multipart with
// the parts of BuildAttachmentParts. Ends with one empty line.
// Throws the file errors of BuildAttachmentParts.
TStringList BuildBodyLines(const TStringList& text, const TStringList& attachments);

// The string with every run of two or more blanks reduced to one blank.
std::string CollapseSpaces(std::string s);

// Passes 1 and 2 of the header rewrite: single blanks, the us-ascii charset
// replaced by iso-2022-jp, and double-byte runs as encoded words.
void AdjustHeader(TStringList& header);
// Pass 3: the first plain ISO-2022-JP Content-Type becomes the multipart one.
void UseMultipartHeader(TStringList& header);
// Folds every header line over 998 octets (FoldHeaderLine): the entry then holds
// CR LF and a blank at each fold. Shorter lines stay as they are.
void FoldHeader(TStringList& header);
// Appends a Message-ID line when the header has none; the domain comes from the
// sender address, or the host name when the address has none.
void AddMessageId(TExStringList& header, const std::string& senderAddress);

// "Wed, 09 Dec 2026 21:34:16 +0900": English names, numeric local offset.
std::string MailDate(std::time_t when);
