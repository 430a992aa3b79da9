// Folding of long header lines, and the split of ISO-2022-JP text into pieces that
// each decode on their own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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
