// The handle table and the sharing rules (see Handles.h), and CloseHandle.
#include "platform/linux/Handles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/linux/Errors.h"
#include "platform/linux/NoFollow.h"

namespace emu {
namespace {

std::mutex g_handleMutex;
std::map<uintptr_t, std::unique_ptr<Object>> g_handles;
uintptr_t g_nextHandle = 0x100;

}  // namespace

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

}  // namespace emu

BOOL CloseHandle(HANDLE hObject) {
  std::unique_ptr<emu::Object> object = emu::TakeObject(hObject, emu::Object::Kind::File);
  if (object == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE, FALSE);
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
