// The last error of each thread and the errno-to-Win32 error table (see
// Errors.h); also GetLastError and SetLastError.
#include "platform/linux/Errors.h"

#include <cerrno>

namespace emu {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

void SetError(unsigned long code) { t_lastError = static_cast<DWORD>(code); }

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace emu

DWORD GetLastError() { return emu::t_lastError; }
void SetLastError(DWORD code) { emu::t_lastError = code; }
