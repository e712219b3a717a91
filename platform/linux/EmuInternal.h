// Services shared by the parts of the Linux Win32 layer: code-page text,
// the file-API code page and the translation between Win32 paths (drive Z:
// is the root of the file system) and Unix paths.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

namespace emu {

// Code pages the layer knows: the ANSI and the OEM code page of the machine.
constexpr unsigned kAnsiCodePage = 1252;
constexpr unsigned kOemCodePage = 850;

// Single-byte text in code page 1252 or 850 as UTF-8, and back. Characters
// that the code page cannot represent come back as '?'; byte sequences that
// are not valid UTF-8 count as such characters.
std::string CodePageToUtf8(const std::string& bytes, unsigned codePage);
std::string Utf8ToCodePage(const std::string& utf8, unsigned codePage);

// The code page of the file calls' names: 1252 in ANSI mode (the start),
// 850 after SetFileApisToOEM.
unsigned FileApiCodePage();

// A path in the current file-API code page as an absolute UTF-8 Unix path.
// Relative and rooted paths are taken from the current directory; existing
// components are found case-insensitively, components that do not exist are
// kept as given. False for other drives and UNC paths.
bool ToUnixPath(const std::string& win32Path, std::string& unixPath);

// An absolute UTF-8 Unix path as Z:\... in the current file-API code page.
std::string ToWin32Path(const std::string& unixPath);

// ------------------------------------------------------------------------
// For the layer's own parts.

// Text: Unicode case rules and UTF-8.
constexpr char32_t kReplacementChar = 0xFFFD;
char32_t UpperChar(char32_t c);
char32_t LowerChar(char32_t c);
bool IsLetter(char32_t c);
// Bytes that are not valid UTF-8 decode to kReplacementChar, one per byte.
std::u32string DecodeUtf8(const std::string& text);
void AppendUtf8(std::string& out, char32_t c);
// Case-insensitive equality of two UTF-8 names, character by character.
bool SameNameNoCase(const std::string& a, const std::string& b);
// The Win32 wildcard match of a UTF-8 name against a UTF-8 pattern.
bool MatchesPattern(const std::string& name, const std::string& pattern);
// A name from disk in the file-API code page; characters that Win32 names
// cannot hold, or the code page cannot represent, become '?'.
std::string NameToCodePage(const std::string& utf8Name);

// The error of the calling thread.
void SetError(unsigned long code);

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

// Finds an entry of a directory (a Unix path) whose name equals `name`
// regardless of case; of several, the first in byte order. The directory's
// names are kept between calls while they are known to be current.
bool FindNoCase(const std::string& dir, const std::string& name, std::string& match);

// Characters a component of a Win32 name may not hold (wildcards included).
bool HasInvalidNameChars(const std::string& component, bool allowWildcards);

// The Unix path of a directory entry: parent + "/" + name.
std::string JoinUnix(const std::string& dir, const std::string& name);

// Below the current directory, the calls that create or write never follow
// a link: the program enters its destination and makes everything there, so
// a link met below it was not made by the program and is refused, whenever
// it appears. Links in the current directory's own path are followed (they
// were there when it was entered).
//
// Whether a name lies below the current directory: it begins with every
// component of the current directory (regardless of case) and goes on.
// `depth` is the number of those components.
bool BelowCurrentDirectory(const Win32Name& name, size_t& depth);

// Opens the directory that holds the last component of a name below the
// current directory, from the current directory down, one level at a time
// (openat with O_NOFOLLOW | O_DIRECTORY), so that a link planted at any
// level at any moment is never followed. Answers the descriptor, or -1 with
// the Win32 error: ERROR_STOPPED_ON_SYMLINK for a level that is a link,
// ERROR_PATH_NOT_FOUND for one that is missing or not a directory. `last`
// receives the last component as spelled on disk (found regardless of
// case), or as given when there is none.
int OpenParentNoFollow(const Win32Name& name, size_t depth, std::string& last,
                       unsigned long& error);

// The spelling on disk of an entry of an open directory: the exact name
// when it exists, else one that equals it regardless of case. False when
// neither exists. `st` is the entry's own status (a link is not followed).
bool FindEntryAt(int dirFd, const std::string& name, std::string& match, struct stat& st);

// The Unix path of an open file or directory, as the kernel knows it.
bool PathOfDescriptor(int fd, std::string& unixPath);

}  // namespace emu
