// Paths in the Linux Win32 emulation: the Win32 view of the file system
// (drive Z: is the root), the parsing of names given to the file calls, the
// look-up of a parsed name on disk (case-insensitively, through the name
// cache) and the current directory. Above the errors, text and name-cache
// layers; also GetCurrentDirectoryA, SetCurrentDirectoryA, GetFullPathNameA
// and GetTempPathA.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/linux/Win32Emu.h"

namespace emu {

// A path in the current file-API code page as an absolute UTF-8 Unix path.
// Relative and rooted paths are taken from the current directory; existing
// components are found case-insensitively, components that do not exist are
// kept as given. False for other drives and UNC paths.
bool ToUnixPath(const std::string& win32Path, std::string& unixPath);

// An absolute UTF-8 Unix path as Z:\... in the current file-API code page.
std::string ToWin32Path(const std::string& unixPath);

// A path given to a file call, made absolute and normalised the Win32 way:
// the components below Z:\ (UTF-8), and whether a backslash ended it.
struct Win32Name {
  std::vector<std::string> parts;
  bool trailingSeparator = false;
};

// The length in characters of the full path a Win32Name stands for
// (Z:\a\b), without a backslash at its end.
size_t FullPathLength(const Win32Name& name);

// Parses a path given to a file call (text in the file-API code page).
// Answers 0, or the Win32 error for names that cannot be a path here: other
// drives and UNC paths, empty names; unless anyLength is set, also names of
// more than MAX_PATH characters (ERROR_FILENAME_EXCED_RANGE: the ANSI calls
// cannot take them in) and names whose full path, with a backslash at its
// end if it has one, is MAX_PATH characters or more (ERROR_PATH_NOT_FOUND,
// as Windows refuses them).
unsigned long ParseName(const char* name, Win32Name& out, bool anyLength = false);

// ParseName for a call that works on one file or directory: the name may
// hold no wildcards or other characters that Win32 names cannot hold
// (ERROR_INVALID_NAME).
DWORD ParseFileName(LPCSTR name, Win32Name& out);

// A Win32Name looked up on disk. Components that exist are found
// case-insensitively where the exact spelling does not exist (an exact
// match wins); the first one that does not exist and all after it are kept
// as given. `unixPath` is the whole path as a Unix path.
struct Resolved {
  std::string unixPath;
  bool parentIsDirectory = false;  // every component but the last exists, in a directory
  bool exists = false;             // the whole path exists
  struct stat st {};               // of the whole path, when it exists
};
void Resolve(const Win32Name& name, Resolved& out);

// ParseFileName, then Resolve; false (with the last error set) when the
// name cannot be a path here.
bool ParseAndResolve(LPCSTR text, Win32Name& name, Resolved& resolved);

// The error for a resolved path that does not exist: ERROR_FILE_NOT_FOUND
// when only its last component is missing, else ERROR_PATH_NOT_FOUND.
DWORD NotFoundError(const Resolved& resolved);

// Characters a component of a Win32 name may not hold (wildcards included,
// unless allowed).
bool HasInvalidNameChars(const std::string& component, bool allowWildcards);

// The Unix path of a directory entry: parent + "/" + name.
std::string JoinUnix(const std::string& dir, const std::string& name);

// The components of the current directory below Z:\ (UTF-8), taken from
// the system again when the directory was changed behind the layer's back.
std::vector<std::string> CurrentDirectoryParts();

// The answer of a Win32 call that fills a caller's buffer with text: copies
// text and its NUL when they fit and answers the length without the NUL;
// else answers the size needed, NUL included, and copies nothing.
DWORD CopyOut(const std::string& text, DWORD size, LPSTR buffer);

}  // namespace emu
