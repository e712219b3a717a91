// CreateFileA over the Unix file system (see FileOpen.h).
#include "platform/linux/FileOpen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/Attributes.h"
#include "platform/linux/Errors.h"
#include "platform/linux/Handles.h"
#include "platform/linux/NoFollow.h"
#include "platform/linux/Paths.h"

namespace emu {
namespace {

// What a CreateFileA call asks for.
struct OpenRequest {
  DWORD disposition = 0;
  DWORD flags = 0;  // dwFlagsAndAttributes
  bool wantRead = false;
  bool wantWrite = false;
  bool truncate = false;  // CREATE_ALWAYS, TRUNCATE_EXISTING
  bool creates = false;   // CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS
  Sharing sharing;
};

OpenRequest RequestOf(DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  OpenRequest r;
  r.disposition = disposition;
  r.flags = flags;
  r.wantRead = (access & (GENERIC_READ | kGenericAll | kFileReadData)) != 0;
  r.wantWrite =
      (access & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
  r.truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  r.creates =
      disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  r.sharing = SharingOf(access, share);
  return r;
}

// Where the file is: below the current directory, a name in a directory
// reached without following links (`guarded`), when the open may create or
// change something (or asks for the link itself); elsewhere, the path as
// found.
struct Target {
  bool guarded = false;
  Descriptor parent;   // when guarded: the directory that holds the name
  std::string path;    // the name in `parent`, or the whole Unix path
  bool exists = false;
  bool parentIsDirectory = true;
  struct stat found {};
  int At() const { return guarded ? parent.fd : AT_FDCWD; }
  bool IsDirectory() const { return exists && S_ISDIR(found.st_mode); }
};

// Finds the target of an open; 0 or the Win32 error.
DWORD Locate(const Win32Name& name, const OpenRequest& r, Target& t) {
  size_t depth = 0;
  const bool changes = r.wantWrite || r.creates || r.truncate;
  t.guarded = (changes || (r.flags & FILE_FLAG_OPEN_REPARSE_POINT)) &&
              BelowCurrentDirectory(name, depth);
  if (t.guarded) {
    unsigned long error = 0;
    t.parent.fd = OpenParentNoFollow(name, depth, t.path, error);
    if (t.parent.fd < 0) return static_cast<DWORD>(error);
    t.exists = fstatat(t.parent.fd, t.path.c_str(), &t.found, AT_SYMLINK_NOFOLLOW) == 0;
    if (t.exists && S_ISLNK(t.found.st_mode)) return ERROR_STOPPED_ON_SYMLINK;
    return 0;
  }
  Resolved resolved;
  Resolve(name, resolved);
  t.path = resolved.unixPath;
  t.exists = resolved.exists;
  t.found = resolved.st;
  t.parentIsDirectory = resolved.parentIsDirectory;
  return 0;
}

// Whether the open may go ahead on what was found; 0 or the Win32 error.
// Checked before anything is created or truncated.
DWORD Admit(const Win32Name& name, const OpenRequest& r, const Target& t) {
  // A directory is opened only with backup semantics; it cannot be read or
  // written through the handle.
  if (t.IsDirectory() && (!(r.flags & FILE_FLAG_BACKUP_SEMANTICS) || r.truncate ||
                          r.disposition == CREATE_NEW)) {
    return ERROR_ACCESS_DENIED;
  }
  if (!t.parentIsDirectory) return ERROR_PATH_NOT_FOUND;
  // A file name cannot end in a backslash.
  if (name.trailingSeparator && !t.IsDirectory()) return ERROR_INVALID_NAME;
  if (t.IsDirectory()) return 0;
  if (!t.exists) return r.creates ? 0 : ERROR_FILE_NOT_FOUND;
  if (r.disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (r.disposition == TRUNCATE_EXISTING && !r.wantWrite) return ERROR_INVALID_PARAMETER;
  // Opening a pipe or socket could block or fail in odd ways: such entries
  // are not files to this program.
  if (S_ISFIFO(t.found.st_mode) || S_ISSOCK(t.found.st_mode)) return ERROR_ACCESS_DENIED;
  // The read-only attribute refuses writing whoever asks, as on Windows
  // (the Unix permissions would let the superuser through).
  if (IsReadOnly(t.found) && (r.wantWrite || r.truncate)) return ERROR_ACCESS_DENIED;
  // Handles already open on the file may forbid this open.
  if (SharingConflict(t.found.st_dev, t.found.st_ino, r.sharing)) return ERROR_SHARING_VIOLATION;
  return 0;
}

// Opens (or creates) the target; the descriptor, or -1 with errno set.
int OpenAdmitted(const OpenRequest& r, const Target& t, bool& created) {
  const int noFollow = t.guarded ? O_NOFOLLOW : 0;
  created = false;
  if (t.IsDirectory()) {
    return openat(t.At(), t.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | noFollow);
  }
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | noFollow;
  flags |= r.wantWrite ? (r.wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (t.exists) return openat(t.At(), t.path.c_str(), flags | (r.truncate ? O_TRUNC : 0));
  const mode_t mode = (r.flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  created = true;
  return openat(t.At(), t.path.c_str(), flags | O_CREAT | O_EXCL, mode);
}

// The Win32 error of an open that failed with `openError`.
DWORD ErrorOfFailedOpen(int openError, const OpenRequest& r, const Target& t) {
  // What was not there a moment ago, or was a file, is now a link.
  struct stat now {};
  if (openError == ELOOP ||
      (t.guarded && fstatat(t.At(), t.path.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
       S_ISLNK(now.st_mode))) {
    return ERROR_STOPPED_ON_SYMLINK;
  }
  const DWORD error = ErrorFromErrno(openError);
  if (error == ERROR_FILE_EXISTS && r.disposition != CREATE_NEW) return ERROR_ACCESS_DENIED;
  return error;
}

// Checks what was opened and gives it a handle; INVALID_HANDLE_VALUE (the
// descriptor closed, the error set) when it is not what was asked for.
HANDLE HandleFor(int fd, const OpenRequest& r, bool directory, bool created) {
  const int status = fcntl(fd, F_GETFL);
  if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) != directory || S_ISFIFO(st.st_mode) ||
      S_ISSOCK(st.st_mode)) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  auto object = std::make_unique<Object>();
  object->kind = Object::Kind::File;
  object->file.fd = fd;
  object->file.canRead = r.wantRead && !directory;
  object->file.canWrite = r.wantWrite && !directory;
  object->file.device = st.st_dev;
  object->file.inode = st.st_ino;
  object->file.sharing = r.sharing;
  HANDLE handle = AddObject(std::move(object));
  // Opening over an existing file says so, as on Windows.
  const bool existed =
      !created && (r.disposition == CREATE_ALWAYS || r.disposition == OPEN_ALWAYS);
  SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace
}  // namespace emu

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  using namespace emu;
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  Win32Name name;
  if (DWORD error = ParseFileName(lpFileName, name)) return Fail(error, INVALID_HANDLE_VALUE);
  const OpenRequest request =
      RequestOf(dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
  Target target;
  if (DWORD error = Locate(name, request, target)) return Fail(error, INVALID_HANDLE_VALUE);
  if (DWORD error = Admit(name, request, target)) return Fail(error, INVALID_HANDLE_VALUE);
  bool created = false;
  const int fd = OpenAdmitted(request, target, created);
  if (fd < 0) return Fail(ErrorOfFailedOpen(errno, request, target), INVALID_HANDLE_VALUE);
  return HandleFor(fd, request, target.IsDirectory(), created);
}
