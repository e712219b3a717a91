// Deleting files and making and removing directories in the Linux Win32
// emulation (see Directories.h).
#include "platform/linux/Directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/Attributes.h"
#include "platform/linux/Errors.h"
#include "platform/linux/Handles.h"
#include "platform/linux/NoFollow.h"
#include "platform/linux/Paths.h"

BOOL DeleteFileA(LPCSTR lpFileName) {
  emu::Win32Name name;
  emu::Resolved resolved;
  if (!emu::ParseAndResolve(lpFileName, name, resolved)) return FALSE;
  if (!resolved.exists) return emu::Fail(emu::NotFoundError(resolved), FALSE);
  // Directories are not files; read-only files are protected, as on Windows.
  if (name.parts.empty() || S_ISDIR(resolved.st.st_mode) || emu::IsReadOnly(resolved.st)) {
    return emu::Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (name.trailingSeparator) return emu::Fail(ERROR_INVALID_NAME, FALSE);
  // Deleting takes delete access and shares everything: it fails while a
  // handle that does not share deletion is open on the file.
  if (emu::SharingConflict(resolved.st.st_dev, resolved.st.st_ino,
                           emu::SharingOf(emu::kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                            FILE_SHARE_DELETE))) {
    return emu::Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  if (unlink(resolved.unixPath.c_str()) != 0) return emu::Fail(emu::ErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
  emu::Win32Name name;
  if (DWORD error = emu::ParseFileName(lpPathName, name)) return emu::Fail(error, FALSE);
  // A new directory leaves room for an 8.3 name below it within MAX_PATH:
  // its full path holds MAX_PATH - 12 characters at most, the NUL included.
  if (emu::FullPathLength(name) + (name.trailingSeparator ? 1 : 0) > MAX_PATH - 13) {
    return emu::Fail(ERROR_FILENAME_EXCED_RANGE, FALSE);
  }
  // Below the current directory the new level is made in its parent as
  // reached without following links.
  size_t depth = 0;
  if (emu::BelowCurrentDirectory(name, depth)) {
    std::string last;
    unsigned long error = 0;
    emu::Descriptor parent;
    parent.fd = emu::OpenParentNoFollow(name, depth, last, error);
    if (parent.fd < 0) return emu::Fail(error, FALSE);
    if (mkdirat(parent.fd, last.c_str(), 0777) != 0) {
      DWORD failure = emu::ErrorFromErrno(errno);
      return emu::Fail(failure == ERROR_FILE_EXISTS      ? ERROR_ALREADY_EXISTS
               : failure == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                                 : failure, FALSE);
    }
    return TRUE;
  }
  emu::Resolved resolved;
  emu::Resolve(name, resolved);
  if (resolved.exists) {
    return emu::Fail(name.parts.empty() ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS, FALSE);
  }
  // One level only: the parent must be there.
  if (!resolved.parentIsDirectory) return emu::Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (mkdir(resolved.unixPath.c_str(), 0777) != 0) {
    DWORD error = emu::ErrorFromErrno(errno);
    return emu::Fail(error == ERROR_FILE_EXISTS      ? ERROR_ALREADY_EXISTS
             : error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                             : error, FALSE);
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
  emu::Win32Name name;
  emu::Resolved resolved;
  if (!emu::ParseAndResolve(lpPathName, name, resolved)) return FALSE;
  if (!resolved.exists) return emu::Fail(emu::NotFoundError(resolved), FALSE);
  if (name.parts.empty()) return emu::Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!S_ISDIR(resolved.st.st_mode)) return emu::Fail(ERROR_DIRECTORY, FALSE);
  if (rmdir(resolved.unixPath.c_str()) != 0) {
    return emu::Fail(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : emu::ErrorFromErrno(errno), FALSE);
  }
  return TRUE;
}

