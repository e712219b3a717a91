// File-system helpers: block I/O on open handles, the directory search over
// candidate files, and the path, drive, number and string routines.
//
// Strings are byte strings in a single-byte code page. Positions in strings
// count from 1; 0 means none.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32.h"

// ------------------------------------------------------------- block I/O
// One ReadFile/WriteFile call for count bytes at the current position.
// Returns the number of bytes transferred (0 at the end of a file), or -1;
// a negative count is refused with -1 without calling the system.
// A null buffer with a positive count is refused the same way.
int32_t ReadBlock(HANDLE handle, void* buffer, int32_t count);
int32_t WriteBlock(HANDLE handle, const void* buffer, int32_t count);

// ------------------------------------------------------------- directory search
struct TSearchRec {
  int32_t Stamp = 0;       // local last-write time, DOS date << 16 | DOS time
  int32_t Size = 0;        // low 32 bits of the entry's size
  int32_t Attributes = 0;  // attribute bits of the accepted entry
  std::string Name;        // name of the accepted entry, no directory part
  int32_t SkipMask = 0;    // attribute bits that exclude an entry
  HANDLE Handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA Found{};  // the system's record of the last entry delivered
};

// Answer 0 when an entry was accepted, otherwise the system's error code.
// SearchFirst closes a search still open on the record, and closes its own
// search when it accepts no entry.
// Starts a search for pattern; entries with hidden, system, volume-label or
// directory bits that attributes does not admit are passed over.
int32_t SearchFirst(const std::string& pattern, int32_t attributes, TSearchRec& search);
// The next admitted entry of the search; ERROR_INVALID_HANDLE on a closed one.
int32_t SearchNext(TSearchRec& search);
// Closes the search handle; harmless on a closed or never-opened search.
void SearchClose(TSearchRec& search);

// ------------------------------------------------------------- text primitives
// The text upper-cased (lower-cased) by the system's rules for the ANSI code
// page, every byte, NULs included.
std::string UpperText(const std::string& s);
std::string LowerText(const std::string& s);
// The zero-terminated primitives take a null pointer as the empty text.
// Bytes before the zero byte; 0 for null.
int32_t TextLength(const char* p);
// The first (last) c in p, the zero byte itself when c is 0; null when absent.
const char* FindChar(const char* p, char c);
const char* FindLastChar(const char* p, char c);
// The first occurrence of sub in p; null for an empty sub or none found.
const char* FindBytes(const char* p, const char* sub);
// FindBytes, with an empty p also answering null.
const char* LocateText(const char* p, const char* sub);
// Copies src with its zero byte to dest (an empty text for a null src);
// answers dest. The caller sees that dest has room.
char* CopyText(char* dest, const char* src);
// The text as a string; empty for null.
std::string TextToString(const char* p);
// Position (from 1) of the first sub in s; 0 when absent or either is empty.
int32_t PositionOf(const std::string& sub, const std::string& s);
// Position (from 1) of the last byte of s that is one of delims (never NUL); 0 for none.
int32_t LastOfSet(const std::string& delims, const std::string& s);

// ------------------------------------------------------------- paths
// The directory part of a path up to and including its last backslash or
// colon ("C:\a\b.s01" gives "C:\a\"); empty when there is none.
std::string FilePathOf(const std::string& s);
// FilePathOf without its final backslash, unless that ends a root ("C:\")
// or follows another backslash.
std::string FileDirOf(const std::string& s);
// The drive ("C:") or share ("\\server\share") a path starts with; empty
// for a relative path.
std::string DriveOf(const std::string& s);
// The path with the extension of its last component replaced by ext (which
// brings its own dot), or ext appended when it has none; "" removes it.
std::string WithExtension(const std::string& s, const std::string& ext);

// ------------------------------------------------------------- directories
// True when path names an existing directory.
bool IsDirectory(const std::string& path);
// Creates every missing level of a directory path (levels are separated by
// backslashes or slashes; a drive or share part is never created). True when
// the directory exists afterwards. When a level cannot be made, the levels
// this call made are removed again and the answer is false, so that a
// failure leaves the file system as it was.
bool CreateDirectoryLevels(const std::string& path);

// Creates the missing levels of `relative` (levels separated by backslashes
// or slashes) below the existing directory `base` (which ends with a
// backslash), one at a time. A level that exists but is a link (a reparse
// point) or no directory is never entered: the answer is then false and
// nothing below it is made. True when every level is a directory.
bool CreateLevelsBelow(const std::string& base, const std::string& relative);

// ------------------------------------------------------------- file identity and final paths
// What names an open file or directory on disk, whatever path reached it:
// the volume serial number and the file index, as text that compares equal
// for one file only. Empty when the system cannot tell.
std::string FileIdentityOf(HANDLE handle);
// The same for a path, opened only to look at it (a directory too; links
// in the path are followed). Empty when it cannot be opened.
std::string PathIdentityOf(const std::string& path);
// The path of an open file or directory with every link resolved, in the
// form Z:\dir\name (without the \\?\ prefix). Empty when the system cannot
// tell, or has no such call (FinalPathKnown is then false).
std::string FinalPathOf(HANDLE handle);
// The same for a path, opened only to look at it.
std::string FinalPathOfPath(const std::string& path);
// Removes an open file when its handle is closed, whatever name reaches it
// now (the handle must have DELETE access). False when the system cannot
// (systems before Vista lack the call).
bool DeleteOnClose(HANDLE handle);
// A path made absolute and normalised the Win32 way; empty on failure.
std::string FullPathOf(const std::string& path);

// ------------------------------------------------------------- numbers and drives
// Decimal text of n, with a minus sign when negative (the most negative value too).
std::string NumberText(int32_t n);
// Free bytes available to the caller on the drive of path (X: or
// \\server\share, with or without a final backslash); -1 when the system
// cannot tell, and for an empty path.
void DriveFreeBytes(const std::string& path, int64_t& free);
inline int64_t DriveFreeBytes(const std::string& path) {
  int64_t free = -1;
  DriveFreeBytes(path, free);
  return free;
}

// ------------------------------------------------------------- long names
// The long name of the last component of path as the directory holds it
// (its short name when the system gives no long one); empty when not found.
std::string LongNameOf(const std::string& path);
// The path with every component after the first backslash replaced by its
// long name, looked up with its full prefix; a component not found keeps
// its backslash and loses its name.
std::string ExpandLongNames(const std::string& path);
// The text lower-cased when it has letters and all of them are upper case;
// otherwise as it stands.
std::string LowerIfAllUpper(const std::string& s);
// The program's path as it is shown: long names looked up (never for a
// network path), the last component lowered when it is all upper case. A
// path without a backslash is answered as it stands.
std::string LongPathOf(const std::string& path);

// ------------------------------------------------------------- module state
// Whether GetDiskFreeSpaceExA can be called (else the cluster counts are used).
extern bool DiskFreeExAvailable;
// kernel32.dll, loaded at start to look the optional calls up.
extern HMODULE Kernel32Module;
// GetFinalPathNameByHandleA, looked up at start (systems before Vista lack it).
typedef DWORD(WINAPI* TFinalPathQuery)(HANDLE, LPSTR, DWORD, DWORD);
extern TFinalPathQuery FinalPathQuery;
// SetFileInformationByHandle, looked up at start likewise.
typedef BOOL(WINAPI* TFileInformationSetter)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
extern TFileInformationSetter FileInformationSetter;
// Whether the system can give the final path of an open file.
inline bool FinalPathKnown() { return FinalPathQuery != nullptr; }

// Looks the optional system calls up; ends with the module state cleared.
void MiscSFXStartup();
void MiscSFXShutdown();
