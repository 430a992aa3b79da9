// Private-profile files: "[Section]" lines open sections, "Key=Value" lines hold
// values. Values are CP932 bytes. Reads never create the file and skip a UTF-8
// byte-order mark at its start; saves replace the file atomically and keep every
// other section, key, comment and the line order.
#pragma once

#include <string>
#include <vector>

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

// One key to set: its section, its name and its value.
struct TProfileEntry {
  std::string Section;
  std::string Key;
  std::string Value;
};

// Sets key in section of file to value (WritePrivateProfileStrings with one entry).
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

// Sets every entry, in order, in one save: the first existing key line is replaced,
// a missing key is added after the last line of its section, a missing section is
// appended at the end; every other section, key, comment, the line order, the line
// ends (CR LF or LF) and a UTF-8 byte-order mark at the start are kept. A value
// holding CR, LF or NUL is cut before that byte so it cannot break the line structure.
// The save is atomic and serialised: under an exclusive lock on the file's folder
// (held across reading and writing; waited for kProfileLockWaitMs at most) the new
// content goes to a temporary file in that folder, is flushed to disk and renamed
// over the file, so that a reader sees the old or the new file, never a torn one.
// A symbolic link is followed and its target replaced, except a link of another user
// in a sticky folder that everyone may write (unless the folder's owner made it).
// The file keeps its mode, owner and group (a created file gets 0600 and CR LF line
// ends). Where the folder refuses new files, or a new file could not be given the
// file's owner and group, but the file itself is writable, the file is rewritten in
// place. Returns false when the file cannot be written (read-only file, no space,
// not a regular file, the lock stayed busy, a link not followed); the file then keeps
// its previous contents, and fault (when given) says why where the system's error
// number cannot: the busy lock or the link.
bool WritePrivateProfileStrings(const std::vector<TProfileEntry>& entries, const std::string& file,
                                std::string* fault = nullptr);

// The longest a save waits for the folder's lock (another process may hold it for
// ever), and the bound once a stop was requested (the run ends within a second).
constexpr int kProfileLockWaitMs = 5000;
constexpr int kProfileStopLockWaitMs = 500;
// Takes an exclusive flock on fd, waiting at most kProfileLockWaitMs
// (kProfileStopLockWaitMs once a stop was requested; a stop ends the wait at once).
// False when another process held it for the whole bound; true when it is taken or
// the file system takes no locks (the caller goes on unserialised then).
bool LockExclusiveBounded(int fd);

// True when file can be written: its links may be followed (as above), its folder's
// lock can be taken within the bound, an existing regular file opens for writing, a
// missing one is created empty (mode 0600). The content is never changed. fault as
// for WritePrivateProfileStrings.
bool ProfileWritable(const std::string& file, std::string* fault = nullptr);

// Writes entries as a new file of their own (CR LF line ends, mode 0600) to a
// temporary file in file's folder and renames it over file: a reader sees the old
// or the whole new file. A link at file is replaced, never followed. False when it
// cannot be written; file is then unchanged.
bool WriteProfileFile(const std::vector<TProfileEntry>& entries, const std::string& file);

// True when WriteProfileFile could replace file: this user may create files in its
// folder and file is missing or a regular file. Creates nothing.
bool FileCanBeReplaced(const std::string& file);
