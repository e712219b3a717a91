// Attributes, FILETIME and the calendar (see Attributes.h).
#include "platform/linux/Attributes.h"

#include "platform/linux/Errors.h"
#include "platform/linux/Paths.h"

namespace emu {

bool IsHiddenName(const std::string& name) {
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

bool IsReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

DWORD AttributesOf(const std::string& name, const struct stat& st) {
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISREG(st.st_mode)) {
    attributes = FILE_ATTRIBUTE_ARCHIVE;
  } else {
    attributes = FILE_ATTRIBUTE_SYSTEM;
  }
  if (IsReadOnly(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (IsHiddenName(name)) attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes;
}

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

FILETIME ToFileTime(const struct timespec& ts) {
  int64_t ticks = static_cast<int64_t>(kUnixEpochAsFileTime) +
                  static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
  if (ticks < 0) ticks = 0;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return ft;
}

uint64_t FileTimeValue(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(y + (month <= 2));
}

}  // namespace emu

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  emu::Win32Name name;
  emu::Resolved resolved;
  if (!emu::ParseAndResolve(lpFileName, name, resolved)) return INVALID_FILE_ATTRIBUTES;
  if (!resolved.exists) {
    return emu::Fail(emu::NotFoundError(resolved), INVALID_FILE_ATTRIBUTES);
  }
  // A file named with a backslash after it is looked for as a directory
  // on the way to something below it, which is not there.
  if (name.trailingSeparator && !S_ISDIR(resolved.st.st_mode)) {
    return emu::Fail(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  }
  std::string last = name.parts.empty()
                         ? std::string()
                         : resolved.unixPath.substr(resolved.unixPath.rfind('/') + 1);
  // A link is reported as itself, the way Windows reports one: a reparse
  // point, a directory too when it points at one.
  struct stat own {};
  if (!name.parts.empty() && lstat(resolved.unixPath.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
    struct stat pointed {};
    const bool toDirectory =
        stat(resolved.unixPath.c_str(), &pointed) == 0 && S_ISDIR(pointed.st_mode);
    DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                       (toDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    if (emu::IsHiddenName(last)) attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes;
  }
  return emu::AttributesOf(last, resolved.st);
}

// The local time uses the time zone's offset as it is now, daylight saving
// included, whatever the date converted: that is how Windows does it.
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
  if (lpFileTime == nullptr || lpLocalFileTime == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  time_t now = time(nullptr);
  struct tm local {};
  int64_t offset = 0;
  if (localtime_r(&now, &local) != nullptr) offset = local.tm_gmtoff;
  uint64_t value = emu::FileTimeValue(*lpFileTime) + static_cast<uint64_t>(offset * 10000000);
  lpLocalFileTime->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
  lpLocalFileTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
  return TRUE;
}

// MS-DOS dates run from 1980 to 2107; times have two-second steps.
BOOL FileTimeToDosDateTime(const FILETIME* lpFileTime, WORD* lpFatDate, WORD* lpFatTime) {
  if (lpFileTime == nullptr || lpFatDate == nullptr || lpFatTime == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  uint64_t seconds = emu::FileTimeValue(*lpFileTime) / 10000000;
  int64_t unixSeconds = static_cast<int64_t>(seconds) - 11644473600ll;
  int64_t days = unixSeconds >= 0 ? unixSeconds / 86400 : -((-unixSeconds + 86399) / 86400);
  int64_t secondOfDay = unixSeconds - days * 86400;
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  emu::CivilFromDays(days, year, month, day);
  if (year < 1980 || year > 2107) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  unsigned hour = static_cast<unsigned>(secondOfDay / 3600);
  unsigned minute = static_cast<unsigned>(secondOfDay / 60 % 60);
  unsigned second = static_cast<unsigned>(secondOfDay % 60);
  *lpFatDate = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
  *lpFatTime = static_cast<WORD>((hour << 11) | (minute << 5) | (second / 2));
  return TRUE;
}
