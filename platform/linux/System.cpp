// Drives, free space and the program's own path (see System.h).
#include "platform/linux/System.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/Errors.h"
#include "platform/linux/Paths.h"

namespace emu {
namespace {

// The file system statistics for a path given to the free-space calls.
// Z:\ (or Z:) stands for the drive the current directory is on; any other
// directory for its own file system.
DWORD DiskStatistics(LPCSTR path, struct statvfs& vfs) {
  std::string where = ".";
  if (path != nullptr) {
    Win32Name name;
    if (DWORD error = ParseName(path, name)) return error;
    std::string text = path;
    bool driveRoot =
        text.size() >= 2 && text[1] == ':' &&
        (text.size() == 2 || (text.size() == 3 && (text[2] == '\\' || text[2] == '/')));
    bool root = text == "\\" || text == "/";
    if (!driveRoot && !root) {
      Resolved resolved;
      Resolve(name, resolved);
      if (!resolved.exists || !S_ISDIR(resolved.st.st_mode)) return ERROR_PATH_NOT_FOUND;
      where = resolved.unixPath;
    }
  }
  if (statvfs(where.c_str(), &vfs) != 0) return ErrorFromErrno(errno);
  return 0;
}

}  // namespace
}  // namespace emu

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
  // No root given, or a lone backslash: the drive of the current directory,
  // which is always Z:.
  if (lpRootPathName == nullptr) return DRIVE_FIXED;
  std::string root = lpRootPathName;
  if (root.empty() || root == "\\" || root == "/") return DRIVE_FIXED;
  if (root.size() >= 2 && root[1] == ':' && (root[0] == 'Z' || root[0] == 'z')) {
    if (root.size() == 2 || (root.size() == 3 && (root[2] == '\\' || root[2] == '/'))) {
      return DRIVE_FIXED;
    }
  }
  return DRIVE_NO_ROOT_DIR;
}

BOOL GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                         PULARGE_INTEGER lpTotalNumberOfBytes,
                         PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  struct statvfs vfs {};
  if (DWORD error = emu::DiskStatistics(lpDirectoryName, vfs)) return emu::Fail(error, FALSE);
  uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  if (lpFreeBytesAvailableToCaller != nullptr) {
    lpFreeBytesAvailableToCaller->QuadPart = static_cast<ULONGLONG>(vfs.f_bavail) * unit;
  }
  if (lpTotalNumberOfBytes != nullptr) {
    lpTotalNumberOfBytes->QuadPart = static_cast<ULONGLONG>(vfs.f_blocks) * unit;
  }
  if (lpTotalNumberOfFreeBytes != nullptr) {
    lpTotalNumberOfFreeBytes->QuadPart = static_cast<ULONGLONG>(vfs.f_bfree) * unit;
  }
  return TRUE;
}

BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster, LPDWORD lpBytesPerSector,
                       LPDWORD lpNumberOfFreeClusters, LPDWORD lpTotalNumberOfClusters) {
  struct statvfs vfs {};
  if (DWORD error = emu::DiskStatistics(lpRootPathName, vfs)) return emu::Fail(error, FALSE);
  uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  // 512-byte sectors, clusters of the file system's block size; cluster
  // counts that do not fit 32 bits are capped.
  uint64_t bytesPerSector = 512;
  uint64_t sectorsPerCluster = unit >= bytesPerSector ? unit / bytesPerSector : 1;
  uint64_t clusterSize = bytesPerSector * sectorsPerCluster;
  uint64_t freeClusters = static_cast<uint64_t>(vfs.f_bavail) * unit / clusterSize;
  uint64_t totalClusters = static_cast<uint64_t>(vfs.f_blocks) * unit / clusterSize;
  auto cap = [](uint64_t v) { return static_cast<DWORD>(std::min<uint64_t>(v, 0xFFFFFFFFu)); };
  if (lpSectorsPerCluster != nullptr) *lpSectorsPerCluster = cap(sectorsPerCluster);
  if (lpBytesPerSector != nullptr) *lpBytesPerSector = cap(bytesPerSector);
  if (lpNumberOfFreeClusters != nullptr) *lpNumberOfFreeClusters = cap(freeClusters);
  if (lpTotalNumberOfClusters != nullptr) *lpTotalNumberOfClusters = cap(totalClusters);
  return TRUE;
}

// ---------------------------------------------------------------- modules

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule != nullptr) return emu::Fail(ERROR_MOD_NOT_FOUND, 0);
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return emu::Fail(ERROR_FILE_NOT_FOUND, 0);
  std::string text = emu::ToWin32Path(std::string(buffer.data(), static_cast<size_t>(n)));
  if (lpFilename == nullptr || nSize == 0) return emu::Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  // Too small a buffer (no room for the NUL) is filled to its end without
  // a NUL, and the answer is the buffer's size.
  if (text.size() >= nSize) {
    std::memcpy(lpFilename, text.data(), nSize);
    return emu::Fail(ERROR_INSUFFICIENT_BUFFER, nSize);
  }
  std::memcpy(lpFilename, text.c_str(), text.size() + 1);
  return emu::Fail(ERROR_SUCCESS, static_cast<DWORD>(text.size()));
}
