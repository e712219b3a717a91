// Files by handle in the Linux Win32 emulation: reading, writing, the file
// pointer, size, identity and final path, truncation and delete-on-close
// (see Files.h).
#include "platform/linux/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/Attributes.h"
#include "platform/linux/Errors.h"
#include "platform/linux/Handles.h"
#include "platform/linux/NoFollow.h"
#include "platform/linux/Paths.h"

namespace {

// The open file a ReadFile or WriteFile call may transfer with, or null
// (with the error set) when the handle, the arguments or the access forbid it.
emu::FileObject* TransferTarget(HANDLE handle, LPCVOID buffer, DWORD count,
                                LPOVERLAPPED overlapped, bool writing) {
  emu::FileObject* file = emu::FindFile(handle);
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, nullptr);
  if (overlapped != nullptr || (buffer == nullptr && count > 0)) {
    return emu::Fail(ERROR_INVALID_PARAMETER, nullptr);
  }
  if (!(writing ? file->canWrite : file->canRead)) return emu::Fail(ERROR_ACCESS_DENIED, nullptr);
  return file;
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  emu::FileObject* file =
      TransferTarget(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, /*writing=*/false);
  if (file == nullptr) return FALSE;
  // A file delivers all that was asked for, up to its end.
  auto* out = static_cast<char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    ssize_t n = read(file->fd, out + done, nNumberOfBytesToRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
      return emu::Fail(errno == EIO ? ERROR_READ_FAULT : emu::ErrorFromErrno(errno), FALSE);
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  emu::FileObject* file =
      TransferTarget(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped, /*writing=*/true);
  if (file == nullptr) return FALSE;
  // Writing past the end extends the file; the gap reads as zeros.
  const auto* in = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = write(file->fd, in + done, nNumberOfBytesToWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      return emu::Fail(errno == EIO ? ERROR_WRITE_FAULT : emu::ErrorFromErrno(errno), FALSE);
    }
    if (n == 0) {
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      return emu::Fail(ERROR_DISK_FULL, FALSE);
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  // Without a high part the distance is a signed 32-bit value; with one,
  // the two make a signed 64-bit value.
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh != nullptr) {
    uint64_t combined =
        (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
        static_cast<uint32_t>(lDistanceToMove);
    distance = static_cast<int64_t>(combined);
  }
  int64_t base = 0;
  if (dwMoveMethod == FILE_CURRENT) {
    off_t here = lseek(file->fd, 0, SEEK_CUR);
    if (here < 0) return emu::Fail(emu::ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
    base = here;
  } else if (dwMoveMethod == FILE_END) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) {
      return emu::Fail(emu::ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
    }
    base = st.st_size;
  } else if (dwMoveMethod != FILE_BEGIN) {
    return emu::Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  int64_t position = 0;
  if (__builtin_add_overflow(base, distance, &position)) {
    return emu::Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  if (position < 0) return emu::Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  // A caller without a high part cannot be told a position past 4 GiB.
  if (lpDistanceToMoveHigh == nullptr && position > 0xFFFFFFFFll) {
    return emu::Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  if (lseek(file->fd, static_cast<off_t>(position), SEEK_SET) < 0) {
    return emu::Fail(emu::ErrorFromErrno(errno), INVALID_SET_FILE_POINTER);
  }
  if (lpDistanceToMoveHigh != nullptr) {
    *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  }
  DWORD low = static_cast<DWORD>(static_cast<uint64_t>(position) & 0xFFFFFFFFu);
  // A low part that looks like the failure value is told apart by the error.
  if (low == INVALID_SET_FILE_POINTER) emu::SetError(ERROR_SUCCESS);
  return low;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  emu::FileObject* file = emu::FindFile(hFile);
  struct stat st {};
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, 0xFFFFFFFFu);
  if (fstat(file->fd, &st) != 0) return emu::Fail(emu::ErrorFromErrno(errno), 0xFFFFFFFFu);
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size & 0xFFFFFFFFu);
  if (low == 0xFFFFFFFFu) emu::SetError(ERROR_SUCCESS);
  return low;
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (lpFileInformation == nullptr) return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  struct stat st {};
  if (fstat(file->fd, &st) != 0) return emu::Fail(emu::ErrorFromErrno(errno), FALSE);
  BY_HANDLE_FILE_INFORMATION& info = *lpFileInformation;
  info = BY_HANDLE_FILE_INFORMATION();
  info.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                          : emu::IsReadOnly(st) ? FILE_ATTRIBUTE_READONLY
                                                : FILE_ATTRIBUTE_ARCHIVE;
  info.ftCreationTime = emu::ToFileTime(st.st_mtim);
  info.ftLastAccessTime = emu::ToFileTime(st.st_atim);
  info.ftLastWriteTime = emu::ToFileTime(st.st_mtim);
  // A 64-bit device number folded into the 32-bit serial, as a file system
  // has one serial; the inode fills the 64-bit index.
  const uint64_t device = static_cast<uint64_t>(st.st_dev);
  info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  const uint64_t inode = static_cast<uint64_t>(st.st_ino);
  info.nFileIndexHigh = static_cast<DWORD>(inode >> 32);
  info.nFileIndexLow = static_cast<DWORD>(inode);
  return TRUE;
}

DWORD GetFinalPathNameByHandleA(HANDLE hFile, LPSTR lpszFilePath, DWORD cchFilePath,
                                DWORD dwFlags) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, 0);
  if (dwFlags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) {
    return emu::Fail(ERROR_INVALID_PARAMETER, 0);
  }
  std::string unixPath;
  if (!emu::PathOfDescriptor(file->fd, unixPath)) return emu::Fail(ERROR_PATH_NOT_FOUND, 0);
  const std::string text = "\\\\?\\" + emu::ToWin32Path(unixPath);
  if (lpszFilePath == nullptr || cchFilePath <= text.size()) {
    return emu::Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<DWORD>(text.size() + 1));
  }
  std::memcpy(lpszFilePath, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

BOOL SetEndOfFile(HANDLE hFile) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!file->canWrite) return emu::Fail(ERROR_ACCESS_DENIED, FALSE);
  off_t position = lseek(file->fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(file->fd, position) != 0) {
    return emu::Fail(emu::ErrorFromErrno(errno), FALSE);
  }
  return TRUE;
}

BOOL SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                LPVOID lpFileInformation, DWORD dwBufferSize) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (FileInformationClass != FileDispositionInfo || lpFileInformation == nullptr ||
      dwBufferSize < sizeof(FILE_DISPOSITION_INFO)) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (!file->sharing.remove) return emu::Fail(ERROR_ACCESS_DENIED, FALSE);
  file->deleteOnClose = static_cast<FILE_DISPOSITION_INFO*>(lpFileInformation)->DeleteFile != 0;
  return TRUE;
}
