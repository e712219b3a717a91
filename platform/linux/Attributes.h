// Attributes and times in the Linux Win32 emulation: the Win32 attributes
// of a Unix entry, Unix times as FILETIME, and the calendar. Above the paths
// layer; also GetFileAttributesA, FileTimeToLocalFileTime and
// FileTimeToDosDateTime.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/linux/Win32Emu.h"

namespace emu {

// Names beginning with a dot (other than "." and "..") are hidden.
bool IsHiddenName(const std::string& name);

// The read-only attribute: no write permission for the owner.
bool IsReadOnly(const struct stat& st);

// The attributes Windows would show for an entry: directories, files that
// carry the archive bit, read-only files (no write permission for the
// owner) and hidden names (beginning with a dot). Other kinds of entry
// (devices, pipes, sockets) are system entries.
DWORD AttributesOf(const std::string& name, const struct stat& st);

// A Unix time as a FILETIME (100-ns intervals since 1601-01-01); times
// before 1601 become 0.
FILETIME ToFileTime(const struct timespec& ts);

// A FILETIME as one 64-bit count.
uint64_t FileTimeValue(const FILETIME& ft);

// The civil date (proleptic Gregorian) of a count of days from 1970-01-01.
void CivilFromDays(int64_t days, int& year, unsigned& month, unsigned& day);

}  // namespace emu
