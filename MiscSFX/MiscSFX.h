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
int32_t SearchFirst(const std::string& pattern, int32_t attributes, TSearchRec& search);
int32_t SearchNext(TSearchRec& search);
// Closes the search handle; harmless on a closed or never-opened search.
void SearchClose(TSearchRec& search);

// ------------------------------------------------------------- text primitives
std::string UpperText(const std::string& s);
std::string LowerText(const std::string& s);
int32_t TextLength(const char* p);
const char* FindChar(const char* p, char c);
const char* FindLastChar(const char* p, char c);
const char* FindBytes(const char* p, const char* sub);
const char* LocateText(const char* p, const char* sub);
char* CopyText(char* dest, const char* src);
std::string TextToString(const char* p);
int32_t PositionOf(const std::string& sub, const std::string& s);
int32_t LastOfSet(const std::string& delims, const std::string& s);

// ------------------------------------------------------------- paths
std::string FilePathOf(const std::string& s);
std::string FileDirOf(const std::string& s);
std::string DriveOf(const std::string& s);
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
std::string FinalPathOfPath(const std::string& path);
// Removes an open file when its handle is closed, whatever name reaches it
// now (the handle must have DELETE access). False when the system cannot
// (systems before Vista lack the call).
bool DeleteOnClose(HANDLE handle);
// A path made absolute and normalised the Win32 way; empty on failure.
std::string FullPathOf(const std::string& path);

// ------------------------------------------------------------- numbers and drives
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
std::string LongNameOf(const std::string& path);
std::string ExpandLongNames(const std::string& path);
std::string LowerIfAllUpper(const std::string& s);
std::string LongPathOf(const std::string& path);

// ------------------------------------------------------------- module state
extern bool DiskFreeExAvailable;
extern HMODULE Kernel32Module;
// GetFinalPathNameByHandleA, looked up at start (systems before Vista lack it).
typedef DWORD(WINAPI* TFinalPathQuery)(HANDLE, LPSTR, DWORD, DWORD);
extern TFinalPathQuery FinalPathQuery;
// SetFileInformationByHandle, looked up at start likewise.
typedef BOOL(WINAPI* TFileInformationSetter)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
extern TFileInformationSetter FileInformationSetter;
inline bool FinalPathKnown() { return FinalPathQuery != nullptr; }

void MiscSFXStartup();
void MiscSFXShutdown();
