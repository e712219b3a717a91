// Files, directories, directory search, drives and modules over the Unix
// file system, with Win32 handles and error codes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/EmuInternal.h"
#include "platform/linux/Win32Emu.h"

namespace emu {
namespace {

constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kGenericAll = 0x10000000u;
constexpr DWORD kGenericExecute = 0x20000000u;
constexpr DWORD kFileExecute = 0x0020;
constexpr DWORD kDelete = 0x00010000u;

thread_local DWORD t_lastError = ERROR_SUCCESS;

// ------------------------------------------------------------ handle table

// What an open handle takes of a file and what it lets others take, for
// the sharing rules: read (data or execution), write (data or append) and
// delete access, and the FILE_SHARE_* flags.
struct Sharing {
  bool read = false;
  bool write = false;
  bool remove = false;
  DWORD share = 0;
};

struct FileObject {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  dev_t device = 0;  // the file's identity on disk
  ino_t inode = 0;
  Sharing sharing;
  bool deleteOnClose = false;  // FileDispositionInfo
};

struct SearchEntry {
  std::string name;      // the name on disk, UTF-8
  std::string unixPath;  // where to stat it
};

struct SearchObject {
  std::vector<SearchEntry> entries;
  size_t next = 0;
};

struct Object {
  enum class Kind { File, Search } kind;
  FileObject file;
  SearchObject search;
};

// Handle values are multiples of 4 from 0x100 on and are not reused while
// the counter has not wrapped, so that a handle closed twice is reported as
// invalid rather than closing whatever was opened since.
std::mutex g_handleMutex;
std::map<uintptr_t, std::unique_ptr<Object>> g_handles;
uintptr_t g_nextHandle = 0x100;

HANDLE AddObject(std::unique_ptr<Object> object) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  uintptr_t value = g_nextHandle;
  while (g_handles.count(value) != 0 || value == 0) {
    value = (value + 4) & 0x3FFFFFFCu;
  }
  g_nextHandle = (value + 4) & 0x3FFFFFFCu;
  if (g_nextHandle == 0) g_nextHandle = 0x100;
  g_handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

// The object behind a handle, if it is of the kind asked for. The table
// holds the object until it is closed; the program has one thread, and the
// calls that use an object do not close it.
Object* FindObject(HANDLE handle, Object::Kind kind) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_handles.end() || it->second->kind != kind) return nullptr;
  return it->second.get();
}

std::unique_ptr<Object> TakeObject(HANDLE handle, Object::Kind kind) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_handles.end() || it->second->kind != kind) return nullptr;
  std::unique_ptr<Object> object = std::move(it->second);
  g_handles.erase(it);
  return object;
}

FileObject* FindFile(HANDLE handle) {
  Object* object = FindObject(handle, Object::Kind::File);
  return object != nullptr ? &object->file : nullptr;
}

Sharing SharingOf(DWORD access, DWORD share) {
  Sharing s;
  s.read = (access & (GENERIC_READ | kGenericExecute | kGenericAll | kFileReadData |
                      kFileExecute)) != 0;
  s.write = (access & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
  s.remove = (access & (kDelete | kGenericAll)) != 0;
  s.share = share;
  return s;
}

// Whether a new open of a file conflicts with the handles already open on
// it, the Windows way: what the new one takes must be shared by every open
// handle, and what each open handle takes must be shared by the new one. A
// handle that takes none of read, write and delete (attributes only) neither
// is checked nor counts.
bool SharingConflict(dev_t device, ino_t inode, const Sharing& wanted) {
  if (!wanted.read && !wanted.write && !wanted.remove) return false;
  std::lock_guard<std::mutex> lock(g_handleMutex);
  for (const auto& entry : g_handles) {
    const Object& object = *entry.second;
    if (object.kind != Object::Kind::File) continue;
    const FileObject& open = object.file;
    if (open.device != device || open.inode != inode) continue;
    const Sharing& held = open.sharing;
    if (!held.read && !held.write && !held.remove) continue;
    if ((wanted.read && !(held.share & FILE_SHARE_READ)) ||
        (wanted.write && !(held.share & FILE_SHARE_WRITE)) ||
        (wanted.remove && !(held.share & FILE_SHARE_DELETE)) ||
        (held.read && !(wanted.share & FILE_SHARE_READ)) ||
        (held.write && !(wanted.share & FILE_SHARE_WRITE)) ||
        (held.remove && !(wanted.share & FILE_SHARE_DELETE))) {
      return true;
    }
  }
  return false;
}

// ------------------------------------------------------------ helpers

// A descriptor closed when it goes out of scope.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

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

bool IsHiddenName(const std::string& name) {
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

bool IsReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

// The attributes Windows would show for an entry: directories, files that
// carry the archive bit, read-only files (no write permission for the
// owner) and hidden names (beginning with a dot). Other kinds of entry
// (devices, pipes, sockets) are system entries.
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

void FillFindData(const std::string& name, const struct stat& st, WIN32_FIND_DATAA& data) {
  std::memset(&data, 0, sizeof data);
  data.dwFileAttributes = AttributesOf(name, st);
  // Unix keeps no creation time; the last write stands in for it.
  data.ftCreationTime = ToFileTime(st.st_mtim);
  data.ftLastAccessTime = ToFileTime(st.st_atim);
  data.ftLastWriteTime = ToFileTime(st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  std::string text = NameToCodePage(name);
  if (text.size() >= sizeof data.cFileName) text.resize(sizeof data.cFileName - 1);
  std::memcpy(data.cFileName, text.c_str(), text.size() + 1);
}

// Parses a name for a call that works on one file or directory. The name
// may hold no wildcards or other characters that Win32 names cannot hold.
DWORD ParseFileName(LPCSTR name, Win32Name& out) {
  if (DWORD error = ParseName(name, out)) return error;
  for (const std::string& part : out.parts) {
    if (HasInvalidNameChars(part, false)) return ERROR_INVALID_NAME;
  }
  return 0;
}

// The error for a path whose last component was not found.
// Parses a name given to a file call and looks it up on disk; false (with
// the error set) when the name cannot be a path here.
bool ParseAndResolve(LPCSTR text, Win32Name& name, Resolved& resolved) {
  if (DWORD error = ParseFileName(text, name)) {
    SetError(error);
    return false;
  }
  Resolve(name, resolved);
  return true;
}

DWORD NotFoundError(const Resolved& resolved) {
  return resolved.parentIsDirectory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool HasWildcards(const std::string& part) { return part.find_first_of("*?") != std::string::npos; }

// The order in which a search delivers entries: "." and ".." first, then
// by name regardless of case.
bool SearchOrder(const SearchEntry& a, const SearchEntry& b) {
  auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
  int ra = rank(a.name);
  int rb = rank(b.name);
  if (ra != rb) return ra < rb;
  std::u32string x = DecodeUtf8(a.name);
  std::u32string y = DecodeUtf8(b.name);
  for (auto& c : x) c = UpperChar(c);
  for (auto& c : y) c = UpperChar(c);
  if (x != y) return x < y;
  return a.name < b.name;
}

// Delivers the next entry of a search that still exists.
bool NextEntry(SearchObject& search, WIN32_FIND_DATAA& data) {
  while (search.next < search.entries.size()) {
    const SearchEntry& entry = search.entries[search.next++];
    struct stat st {};
    if (stat(entry.unixPath.c_str(), &st) == 0 || lstat(entry.unixPath.c_str(), &st) == 0) {
      FillFindData(entry.name, st, data);
      return true;
    }
  }
  return false;
}

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

// Days from 1970-01-01 to a civil date and back (proleptic Gregorian).
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

// ------------------------------------------------------------ modules

struct ProcEntry {
  const char* name;
  FARPROC proc;
};

template <typename F>
FARPROC AsProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// The one module the layer provides; its handle is the address of this.
char g_kernel32Module;

const std::vector<ProcEntry>& Kernel32Exports() {
  static const std::vector<ProcEntry> exports = {
      {"AreFileApisANSI", AsProc(&AreFileApisANSI)},
      {"CloseHandle", AsProc(&CloseHandle)},
      {"CreateDirectoryA", AsProc(&CreateDirectoryA)},
      {"CreateFileA", AsProc(&CreateFileA)},
      {"DeleteFileA", AsProc(&DeleteFileA)},
      {"FileTimeToDosDateTime", AsProc(&FileTimeToDosDateTime)},
      {"FileTimeToLocalFileTime", AsProc(&FileTimeToLocalFileTime)},
      {"FindClose", AsProc(&FindClose)},
      {"FindFirstFileA", AsProc(&FindFirstFileA)},
      {"FindNextFileA", AsProc(&FindNextFileA)},
      {"FreeLibrary", AsProc(&FreeLibrary)},
      {"GetACP", AsProc(&GetACP)},
      {"GetCurrentDirectoryA", AsProc(&GetCurrentDirectoryA)},
      {"GetDiskFreeSpaceA", AsProc(&GetDiskFreeSpaceA)},
      {"GetDiskFreeSpaceExA", AsProc(&GetDiskFreeSpaceExA)},
      {"GetDriveTypeA", AsProc(&GetDriveTypeA)},
      {"GetFileAttributesA", AsProc(&GetFileAttributesA)},
      {"GetFileSize", AsProc(&GetFileSize)},
      {"GetFinalPathNameByHandleA", AsProc(&GetFinalPathNameByHandleA)},
      {"GetFullPathNameA", AsProc(&GetFullPathNameA)},
      {"GetLastError", AsProc(&GetLastError)},
      {"GetModuleFileNameA", AsProc(&GetModuleFileNameA)},
      {"GetOEMCP", AsProc(&GetOEMCP)},
      {"GetProcAddress", AsProc(&GetProcAddress)},
      {"GetTempPathA", AsProc(&GetTempPathA)},
      {"LoadLibraryA", AsProc(&LoadLibraryA)},
      {"ReadFile", AsProc(&ReadFile)},
      {"RemoveDirectoryA", AsProc(&RemoveDirectoryA)},
      {"SetCurrentDirectoryA", AsProc(&SetCurrentDirectoryA)},
      {"SetEndOfFile", AsProc(&SetEndOfFile)},
      {"SetFileApisToANSI", AsProc(&SetFileApisToANSI)},
      {"SetFileApisToOEM", AsProc(&SetFileApisToOEM)},
      {"SetFileInformationByHandle", AsProc(&SetFileInformationByHandle)},
      {"SetFilePointer", AsProc(&SetFilePointer)},
      {"SetLastError", AsProc(&SetLastError)},
      {"WriteFile", AsProc(&WriteFile)},
  };
  return exports;
}

}  // namespace

void SetError(unsigned long code) { t_lastError = static_cast<DWORD>(code); }

}  // namespace emu

using emu::SetError;

// ---------------------------------------------------------------- errors

DWORD GetLastError() { return emu::t_lastError; }
void SetLastError(DWORD code) { emu::t_lastError = code; }

// ---------------------------------------------------------------- files

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  emu::Win32Name name;
  if (DWORD error = emu::ParseFileName(lpFileName, name)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }

  const bool wantRead =
      (dwDesiredAccess & (GENERIC_READ | emu::kGenericAll | emu::kFileReadData)) != 0;
  const bool wantWrite = (dwDesiredAccess & (GENERIC_WRITE | emu::kGenericAll |
                                             emu::kFileWriteData | emu::kFileAppendData)) != 0;
  const bool truncate =
      dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
  const bool creates = dwCreationDisposition == CREATE_NEW ||
                       dwCreationDisposition == CREATE_ALWAYS ||
                       dwCreationDisposition == OPEN_ALWAYS;
  const emu::Sharing sharing = emu::SharingOf(dwDesiredAccess, dwShareMode);

  // Where the file is: below the current directory, a name in a directory
  // reached without following links, when this open may create or change
  // something (or asks for the link itself); elsewhere, the path as found.
  size_t depth = 0;
  const bool guarded =
      (wantWrite || creates || truncate || (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT)) &&
      emu::BelowCurrentDirectory(name, depth);
  emu::Descriptor parent;
  std::string target;  // the Unix path, or the name in `parent`
  bool exists = false;
  bool parentIsDirectory = true;
  struct stat found {};
  if (guarded) {
    unsigned long error = 0;
    parent.fd = emu::OpenParentNoFollow(name, depth, target, error);
    if (parent.fd < 0) {
      SetError(error);
      return INVALID_HANDLE_VALUE;
    }
    exists = fstatat(parent.fd, target.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(found.st_mode)) {
      SetError(ERROR_STOPPED_ON_SYMLINK);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    emu::Resolved resolved;
    emu::Resolve(name, resolved);
    target = resolved.unixPath;
    exists = resolved.exists;
    found = resolved.st;
    parentIsDirectory = resolved.parentIsDirectory;
  }
  const int at = guarded ? parent.fd : AT_FDCWD;

  // A directory is opened only with backup semantics; it cannot be read or
  // written through the handle.
  const bool directory = exists && S_ISDIR(found.st_mode);
  if (directory && (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || truncate ||
                    dwCreationDisposition == CREATE_NEW)) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!parentIsDirectory) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A file name cannot end in a backslash.
  if (name.trailingSeparator && !directory) {
    SetError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }

  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (guarded ? O_NOFOLLOW : 0);
  flags |= wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  bool created = false;
  int fd = -1;
  if (directory) {
    fd = openat(at, target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (guarded ? O_NOFOLLOW : 0));
  } else if (exists) {
    if (dwCreationDisposition == CREATE_NEW) {
      SetError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition == TRUNCATE_EXISTING && !wantWrite) {
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    // Opening a pipe or socket could block or fail in odd ways: such
    // entries are not files to this program.
    if (S_ISFIFO(found.st_mode) || S_ISSOCK(found.st_mode)) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    // The read-only attribute refuses writing whoever asks, as on Windows
    // (the Unix permissions would let the superuser through).
    if (emu::IsReadOnly(found) && (wantWrite || truncate)) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    // Handles already open on the file may forbid this open (before
    // anything is truncated).
    if (emu::SharingConflict(found.st_dev, found.st_ino, sharing)) {
      SetError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if (truncate) flags |= O_TRUNC;
    fd = openat(at, target.c_str(), flags);
  } else {
    if (!creates) {
      SetError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    fd = openat(at, target.c_str(), flags | O_CREAT | O_EXCL, mode);
    created = true;
  }
  if (fd < 0) {
    const int openError = errno;
    DWORD error = emu::ErrorFromErrno(openError);
    // What was not there a moment ago, or was a file, is now a link.
    struct stat now {};
    if (openError == ELOOP ||
        (guarded && fstatat(at, target.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(now.st_mode))) {
      error = ERROR_STOPPED_ON_SYMLINK;
    } else if (error == ERROR_FILE_EXISTS && dwCreationDisposition != CREATE_NEW) {
      error = ERROR_ACCESS_DENIED;
    }
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  int status = fcntl(fd, F_GETFL);
  if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) != directory || S_ISFIFO(st.st_mode) ||
      S_ISSOCK(st.st_mode)) {
    close(fd);
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }

  auto object = std::make_unique<emu::Object>();
  object->kind = emu::Object::Kind::File;
  object->file.fd = fd;
  object->file.canRead = wantRead && !directory;
  object->file.canWrite = wantWrite && !directory;
  object->file.device = st.st_dev;
  object->file.inode = st.st_ino;
  object->file.sharing = sharing;
  HANDLE handle = emu::AddObject(std::move(object));
  // Opening over an existing file says so, as on Windows.
  bool existed =
      !created && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

namespace {

// The open file a ReadFile or WriteFile call may transfer with, or null
// (with the error set) when the handle, the arguments or the access forbid it.
emu::FileObject* TransferTarget(HANDLE handle, LPCVOID buffer, DWORD count,
                                LPOVERLAPPED overlapped, bool writing) {
  emu::FileObject* file = emu::FindFile(handle);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (overlapped != nullptr || (buffer == nullptr && count > 0)) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!(writing ? file->canWrite : file->canRead)) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
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
      SetError(errno == EIO ? ERROR_READ_FAULT : emu::ErrorFromErrno(errno));
      return FALSE;
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
      SetError(errno == EIO ? ERROR_WRITE_FAULT : emu::ErrorFromErrno(errno));
      return FALSE;
    }
    if (n == 0) {
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      SetError(ERROR_DISK_FULL);
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
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
    if (here < 0) {
      SetError(emu::ErrorFromErrno(errno));
      return INVALID_SET_FILE_POINTER;
    }
    base = here;
  } else if (dwMoveMethod == FILE_END) {
    struct stat st {};
    if (fstat(file->fd, &st) != 0) {
      SetError(emu::ErrorFromErrno(errno));
      return INVALID_SET_FILE_POINTER;
    }
    base = st.st_size;
  } else if (dwMoveMethod != FILE_BEGIN) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t position = 0;
  if (__builtin_add_overflow(base, distance, &position)) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (position < 0) {
    SetError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // A caller without a high part cannot be told a position past 4 GiB.
  if (lpDistanceToMoveHigh == nullptr && position > 0xFFFFFFFFll) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(file->fd, static_cast<off_t>(position), SEEK_SET) < 0) {
    SetError(emu::ErrorFromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh != nullptr) {
    *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  }
  DWORD low = static_cast<DWORD>(static_cast<uint64_t>(position) & 0xFFFFFFFFu);
  // A low part that looks like the failure value is told apart by the error.
  if (low == INVALID_SET_FILE_POINTER) SetError(ERROR_SUCCESS);
  return low;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  emu::FileObject* file = emu::FindFile(hFile);
  struct stat st {};
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFFu;
  }
  if (fstat(file->fd, &st) != 0) {
    SetError(emu::ErrorFromErrno(errno));
    return 0xFFFFFFFFu;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size & 0xFFFFFFFFu);
  if (low == 0xFFFFFFFFu) SetError(ERROR_SUCCESS);
  return low;
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpFileInformation == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st {};
  if (fstat(file->fd, &st) != 0) {
    SetError(emu::ErrorFromErrno(errno));
    return FALSE;
  }
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
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (dwFlags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string unixPath;
  if (!emu::PathOfDescriptor(file->fd, unixPath)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  const std::string text = "\\\\?\\" + emu::ToWin32Path(unixPath);
  if (lpszFilePath == nullptr || cchFilePath <= text.size()) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return static_cast<DWORD>(text.size() + 1);
  }
  std::memcpy(lpszFilePath, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

BOOL SetEndOfFile(HANDLE hFile) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!file->canWrite) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  off_t position = lseek(file->fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(file->fd, position) != 0) {
    SetError(emu::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  std::unique_ptr<emu::Object> object = emu::TakeObject(hObject, emu::Object::Kind::File);
  if (object == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const emu::FileObject& file = object->file;
  if (file.deleteOnClose) {
    // The name the file has now, and only while it is still that file.
    std::string path;
    struct stat st {};
    if (emu::PathOfDescriptor(file.fd, path) && lstat(path.c_str(), &st) == 0 &&
        st.st_dev == file.device && st.st_ino == file.inode) {
      unlink(path.c_str());
    }
  }
  close(file.fd);
  return TRUE;
}

BOOL SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                LPVOID lpFileInformation, DWORD dwBufferSize) {
  emu::FileObject* file = emu::FindFile(hFile);
  if (file == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (FileInformationClass != FileDispositionInfo || lpFileInformation == nullptr ||
      dwBufferSize < sizeof(FILE_DISPOSITION_INFO)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!file->sharing.remove) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  file->deleteOnClose = static_cast<FILE_DISPOSITION_INFO*>(lpFileInformation)->DeleteFile != 0;
  return TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
  emu::Win32Name name;
  emu::Resolved resolved;
  if (!emu::ParseAndResolve(lpFileName, name, resolved)) return FALSE;
  if (!resolved.exists) {
    SetError(emu::NotFoundError(resolved));
    return FALSE;
  }
  // Directories are not files; read-only files are protected, as on Windows.
  if (name.parts.empty() || S_ISDIR(resolved.st.st_mode) || emu::IsReadOnly(resolved.st)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (name.trailingSeparator) {
    SetError(ERROR_INVALID_NAME);
    return FALSE;
  }
  // Deleting takes delete access and shares everything: it fails while a
  // handle that does not share deletion is open on the file.
  if (emu::SharingConflict(resolved.st.st_dev, resolved.st.st_ino,
                           emu::SharingOf(emu::kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                            FILE_SHARE_DELETE))) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (unlink(resolved.unixPath.c_str()) != 0) {
    SetError(emu::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  emu::Win32Name name;
  emu::Resolved resolved;
  if (!emu::ParseAndResolve(lpFileName, name, resolved)) return INVALID_FILE_ATTRIBUTES;
  if (!resolved.exists) {
    SetError(emu::NotFoundError(resolved));
    return INVALID_FILE_ATTRIBUTES;
  }
  // A file named with a backslash after it is looked for as a directory
  // on the way to something below it, which is not there.
  if (name.trailingSeparator && !S_ISDIR(resolved.st.st_mode)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string last = name.parts.empty()
                         ? std::string()
                         : resolved.unixPath.substr(resolved.unixPath.rfind('/') + 1);
  // A link is reported as itself, the way Windows reports one: a reparse
  // point, a directory too when it points at one.
  struct stat own {};
  if (!name.parts.empty() && lstat(resolved.unixPath.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
    struct stat pointed {};
    const bool toDirectory = stat(resolved.unixPath.c_str(), &pointed) == 0 && S_ISDIR(pointed.st_mode);
    DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                       (toDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    if (emu::IsHiddenName(last)) attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes;
  }
  return emu::AttributesOf(last, resolved.st);
}

// ---------------------------------------------------------------- directories

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
  emu::Win32Name name;
  if (DWORD error = emu::ParseFileName(lpPathName, name)) {
    SetError(error);
    return FALSE;
  }
  // A new directory leaves room for an 8.3 name below it within MAX_PATH:
  // its full path holds MAX_PATH - 12 characters at most, the NUL included.
  if (emu::FullPathLength(name) + (name.trailingSeparator ? 1 : 0) > MAX_PATH - 13) {
    SetError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  // Below the current directory the new level is made in its parent as
  // reached without following links.
  size_t depth = 0;
  if (emu::BelowCurrentDirectory(name, depth)) {
    std::string last;
    unsigned long error = 0;
    emu::Descriptor parent;
    parent.fd = emu::OpenParentNoFollow(name, depth, last, error);
    if (parent.fd < 0) {
      SetError(error);
      return FALSE;
    }
    if (mkdirat(parent.fd, last.c_str(), 0777) != 0) {
      DWORD failure = emu::ErrorFromErrno(errno);
      SetError(failure == ERROR_FILE_EXISTS      ? ERROR_ALREADY_EXISTS
               : failure == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                                 : failure);
      return FALSE;
    }
    return TRUE;
  }
  emu::Resolved resolved;
  emu::Resolve(name, resolved);
  if (resolved.exists) {
    SetError(name.parts.empty() ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  // One level only: the parent must be there.
  if (!resolved.parentIsDirectory) {
    SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (mkdir(resolved.unixPath.c_str(), 0777) != 0) {
    DWORD error = emu::ErrorFromErrno(errno);
    SetError(error == ERROR_FILE_EXISTS      ? ERROR_ALREADY_EXISTS
             : error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                             : error);
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
  emu::Win32Name name;
  emu::Resolved resolved;
  if (!emu::ParseAndResolve(lpPathName, name, resolved)) return FALSE;
  if (!resolved.exists) {
    SetError(emu::NotFoundError(resolved));
    return FALSE;
  }
  if (name.parts.empty()) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!S_ISDIR(resolved.st.st_mode)) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (rmdir(resolved.unixPath.c_str()) != 0) {
    SetError(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : emu::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

// ---------------------------------------------------------------- search

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (lpFindFileData == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  emu::Win32Name name;
  if (DWORD error = emu::ParseName(lpFileName, name)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  // A path that ends in a backslash, a drive root among them, names no entry.
  if (name.parts.empty() || name.trailingSeparator) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  for (size_t i = 0; i + 1 < name.parts.size(); ++i) {
    if (emu::HasInvalidNameChars(name.parts[i], false)) {
      SetError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
  }
  const std::string pattern = name.parts.back();
  if (emu::HasInvalidNameChars(pattern, true)) {
    SetError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }

  emu::Win32Name dirName = name;
  dirName.parts.pop_back();
  emu::Resolved dir;
  emu::Resolve(dirName, dir);
  if (!dir.exists || !S_ISDIR(dir.st.st_mode)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }

  auto object = std::make_unique<emu::Object>();
  object->kind = emu::Object::Kind::Search;
  std::vector<emu::SearchEntry>& entries = object->search.entries;
  if (!emu::HasWildcards(pattern)) {
    emu::Resolved exact;
    emu::Resolve(name, exact);
    if (exact.exists) {
      entries.push_back({exact.unixPath.substr(exact.unixPath.rfind('/') + 1), exact.unixPath});
    }
  } else {
    // Every directory but the root holds "." and "..".
    if (!dirName.parts.empty()) {
      for (const char* special : {".", ".."}) {
        if (emu::MatchesPattern(special, pattern)) {
          entries.push_back({special, emu::JoinUnix(dir.unixPath, special)});
        }
      }
    }
    if (DIR* d = opendir(dir.unixPath.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (emu::MatchesPattern(entry, pattern)) {
          entries.push_back({entry, emu::JoinUnix(dir.unixPath, entry)});
        }
      }
      closedir(d);
    } else {
      SetError(emu::ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    std::sort(entries.begin(), entries.end(), emu::SearchOrder);
  }
  if (!emu::NextEntry(object->search, *lpFindFileData)) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return emu::AddObject(std::move(object));
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  emu::Object* object = emu::FindObject(hFindFile, emu::Object::Kind::Search);
  if (object == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpFindFileData == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!emu::NextEntry(object->search, *lpFindFileData)) {
    SetError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
  if (emu::TakeObject(hFindFile, emu::Object::Kind::Search) == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// The local time uses the time zone's offset as it is now, daylight saving
// included, whatever the date converted: that is how Windows does it.
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
  if (lpFileTime == nullptr || lpLocalFileTime == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
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
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
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
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  unsigned hour = static_cast<unsigned>(secondOfDay / 3600);
  unsigned minute = static_cast<unsigned>(secondOfDay / 60 % 60);
  unsigned second = static_cast<unsigned>(secondOfDay % 60);
  *lpFatDate = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
  *lpFatTime = static_cast<WORD>((hour << 11) | (minute << 5) | (second / 2));
  return TRUE;
}

// ---------------------------------------------------------------- drives

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
  if (DWORD error = emu::DiskStatistics(lpDirectoryName, vfs)) {
    SetError(error);
    return FALSE;
  }
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
  if (DWORD error = emu::DiskStatistics(lpRootPathName, vfs)) {
    SetError(error);
    return FALSE;
  }
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

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string file = lpLibFileName;
  size_t slash = file.find_last_of("\\/");
  if (slash != std::string::npos) file = file.substr(slash + 1);
  if (emu::SameNameNoCase(file, "kernel32.dll") || emu::SameNameNoCase(file, "kernel32")) {
    return &emu::g_kernel32Module;
  }
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != &emu::g_kernel32Module) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Names only; an ordinal is a pointer-sized value below 0x10000.
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  for (const emu::ProcEntry& entry : emu::Kernel32Exports()) {
    if (std::strcmp(entry.name, lpProcName) == 0) return entry.proc;
  }
  SetError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (hLibModule != &emu::g_kernel32Module) {
    SetError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}
