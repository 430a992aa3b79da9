// Media types of attachment files, looked up by the file name's extension in the
// system's table (/etc/mime.types: "type ext ext ..." per line, "#" comments).
// A name whose extension the table does not know is application/octet-stream.
#pragma once

#include <string>

// The media type for a file name (CP932; only the text after the last "." counts,
// ASCII case ignored), e.g. "image/png" for "図.PNG". The table is read once per
// process; a missing or unreadable table leaves every name application/octet-stream.
std::string MediaTypeOf(const std::string& fileName);

// The same lookup in the table file at tablePath, read anew (tests).
std::string MediaTypeOf(const std::string& fileName, const std::string& tablePath);
