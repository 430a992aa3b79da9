// The attachment parts of the multipart/mixed body that the send command builds
// itself: the layout's constants, the file names in the part headers and the
// parts of the listed files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jmail/MailWords.h"
#include "platform/StringList.h"
#include "platform/Streams.h"

// The multipart/mixed layout: the delimiter line before each part, the closing
// delimiter line, the header line that declares the layout (with the boundary
// parameter) and the header of the text part.
inline constexpr char kBoundaryDelimiter[] = "-------------Weskin-TarvexBoundary";
inline constexpr char kBoundaryClose[] = "-------------Weskin-TarvexBoundary--";
inline constexpr char kMultipartContentType[] =
    "Content-Type: MultiPart/Mixed;Boundary=\"-----------Weskin-TarvexBoundary\"";
inline constexpr char kTextPartContentType[] = "Content-Type: text/plain; charset=iso-2022-jp";

// The name of an attachment as Content-Description shows it (and name= and
// filename= for an ASCII name). An ASCII name, and every name with
// Iso2022JpLegacy, is EncodeHeaderLine of it; another name is one encoded word of
// the whole name (EncodeSubject, or a single UTF-8 word of any length), never
// split around ASCII.
std::string EncodeAttachmentName(const std::string& name, MailCharset charset);

// The RFC 2231 value of a file name: "UTF-8''" and the percent-encoded UTF-8 bytes.
std::string ExtendedFileNameValue(const std::string& name);

// The RFC 2231 parameters of a non-ASCII file name: "filename*=" + its value when
// that fits a line of 78 octets, else continuations "filename*0*=...;" CR LF blank
// "filename*1*=..." of at most 60 octets of value each (a %XX never cut); empty
// for an ASCII name.
std::string ExtendedFileNameParameter(const std::string& name);

// The part header lines that carry an attachment's name, in order: Content-Type
// (mediaType and name=), Content-Disposition, Content-Description. An ASCII name
// is the quoted EncodeAttachmentName in name= and filename=; a non-ASCII name is a
// UTF-8 encoded word in name= and ExtendedFileNameParameter alone in the
// disposition (its own folded line when continued), whatever the charset.
// Content-Description is EncodeAttachmentName in the charset. A line may hold folds
// (CR LF blank). Never throws.
std::vector<std::string> AttachmentNameLines(const std::string& name, const std::string& mediaType,
                                             MailCharset charset);

// A file name fit for a part header: control characters dropped (a line break would
// end the header early and put the rest of the name into the part's body).
std::string WithoutControlCharacters(const std::string& text);

// text (CP932) as the inside of a quoted parameter value: '"' and '\\' escaped. The
// second byte of a double-byte character is copied as it is, even when it is 0x5C.
std::string QuotedParameterText(const std::string& text);

// Returns the attachment parts of the multipart body for the listed files, in list
// order, then the closing delimiter. Each existing file gives the delimiter, the
// part headers (its file name by AttachmentNameLines, cut by whole characters
// until every line fits 998 octets), an entry "\r\n" and its
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

// A file whose base64 lines take the place of body entry Entry (an empty entry) when
// the message is written: the file is read and encoded as it is sent.
struct TBodyFile {
  int Entry;
  std::string Path;
};

// The parts of BuildAttachmentParts (with joinLines) without the files' base64 text:
// one empty entry stands where each file's text goes, and files receives its index
// and the file. No temporary file is made. Missing paths are skipped as there.
TStringList BuildAttachmentHeaders(const TStringList& paths, MailCharset charset, std::vector<TBodyFile>& files);

// The octets of the base64 text of bytes input bytes in lines of 60 characters, each
// ended by CR LF.
int64_t Base64LinesSize(int64_t bytes);

// The base64 text of a file in lines of 60 characters, each ended by CR LF, read a
// chunk at a time: what it holds never grows with the file. Its size is fixed when
// the file is opened; a file that grows meanwhile gives only that many bytes, one
// that shrinks fails the read with EFOpenError (as
// a file that cannot be read). Seeks only report the position or
// go back to the start. The constructor throws EFOpenError.
class TBase64FileStream : public TStream {
 public:
  explicit TBase64FileStream(const std::string& path);
  ~TBase64FileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return size_; }

 private:
  static constexpr size_t kInBytes = 1024 * 45;   // 1024 lines of input
  static constexpr size_t kOutBytes = 1024 * 62;  // the same lines encoded
  void Refill();
  TFileStream file_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<char[]> out_;
  int64_t fileSize_ = 0, size_ = 0, pos_ = 0, read_ = 0;
  size_t outAt_ = 0, outEnd_ = 0;
};
