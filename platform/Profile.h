// Private-profile files: "[Section]" lines open sections, "Key=Value" lines hold
// values. Values are CP932 bytes. Reads never create the file; writes change one
// key in place and keep every other section, key, comment and the line order.
#pragma once

#include <string>

// Longest value a read returns; a longer stored value is cut to this many bytes.
constexpr size_t kProfileValueMax = 2047;

// Returns the value of key in section of file, or def when the file, the section
// or the key is missing or the path is not a regular file. Section and key match
// without regard to ASCII letter case; blanks around key and value are ignored;
// the first matching key wins; lines that are neither section nor key lines are
// ignored. The value is cut at kProfileValueMax bytes. Never throws for file
// trouble and never creates the file.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& file);

// Sets key in section of file to value: the first existing key line is replaced,
// a missing key is added after the last line of its section, a missing section is
// appended at the end. The file is rewritten in place (never replaced by another
// file), keeping its line ends (CR LF or LF); a file created here gets mode 0600
// and CR LF line ends. A value holding CR, LF or NUL is cut before that byte so it
// cannot break the line structure. Returns false when the file cannot be read or
// written (read-only file or folder, no space, not a regular file); the file then
// keeps its previous contents.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);
