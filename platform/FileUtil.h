// File services at the OS edge: CP932 paths in the model, UTF-8 paths for the
// OS; existence, whole-file read, delete, the executable's path, the command line
// and the process's private folder for temporary files.
#pragma once

#include <string>
#include <vector>

// CP932 path -> path for the OS (UTF-8); a path that does not convert stays raw.
std::string ToOsPath(const std::string& cp932Path);
// OS path (UTF-8) -> CP932; a path that does not convert stays raw.
std::string FromOsPath(const std::string& osPath);

// True when a regular file (or a link to one) exists at the path; a folder is no file.
bool FileExists(const std::string& path);
// The whole file; throws EFOpenError when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path);
// Removes the file; returns false when it could not.
bool DeleteFile(const std::string& path);

// The text after the last directory mark ("/", "\" or ":"); a byte that is the
// second byte of a CP932 character never counts as a mark.
std::string ExtractFileName(const std::string& path);
// The text up to and including the last directory mark (same rule), or empty.
std::string ExtractFilePath(const std::string& path);
// True when the path holds a directory mark (same rule).
bool HasDirectoryPart(const std::string& path);

// Full path of the running executable (CP932) and its folder with a trailing "/".
std::string ExePath();
std::string ExeDir();
// The current folder (CP932) with a trailing "/" ("./" when it cannot be told).
std::string CurrentDir();

// The command line's arguments after the options, CP932 (set by the entry).
void SetParams(const std::vector<std::string>& params);
const std::vector<std::string>& Params();

// A folder private to this process (mode 0700), made once with mkdtemp under
// $TMPDIR (default /tmp) and removed with its contents at exit. CP932 path,
// with a trailing "/". Throws EFCreateError when it cannot be made.
std::string PrivateTempDir();
// Removes the private folder now (also done at exit).
void RemovePrivateTempDir();
