// The handle table of the Linux Win32 emulation: the objects behind Win32
// handles (open files and directory searches) and the Windows sharing rules
// between handles open on one file. Above the link-safe resolution layer;
// also CloseHandle.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/Win32Emu.h"

namespace emu {

// Access rights beyond GENERIC_READ and GENERIC_WRITE that the sharing
// rules count.
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kFileExecute = 0x0020;
constexpr DWORD kDelete = 0x00010000u;
constexpr DWORD kGenericAll = 0x10000000u;
constexpr DWORD kGenericExecute = 0x20000000u;

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

// Puts an object in the table and answers its new handle. Handle values
// are multiples of 4 from 0x100 on and are not reused while the counter has
// not wrapped, so that a handle closed twice is reported as invalid rather
// than closing whatever was opened since.
HANDLE AddObject(std::unique_ptr<Object> object);

// The object behind a handle, if it is of the kind asked for; else null.
// The table keeps the object until it is closed.
Object* FindObject(HANDLE handle, Object::Kind kind);
// The open file behind a handle, or null.
FileObject* FindFile(HANDLE handle);

// Takes an object of the kind asked for out of the table (its handle is
// closed); null when the handle is not one of that kind.
std::unique_ptr<Object> TakeObject(HANDLE handle, Object::Kind kind);

// What an open with this desired access and share mode takes and shares.
Sharing SharingOf(DWORD access, DWORD share);

// Whether a new open of a file conflicts with the handles already open on
// it, the Windows way: what the new one takes must be shared by every open
// handle, and what each open handle takes must be shared by the new one. A
// handle that takes none of read, write and delete (attributes only) neither
// is checked nor counts.
bool SharingConflict(dev_t device, ino_t inode, const Sharing& wanted);

}  // namespace emu
