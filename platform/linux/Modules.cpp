// The kernel32 module and its export table (see Modules.h).
#include "platform/linux/Modules.h"

#include <cstring>
#include <vector>

#include "platform/linux/Errors.h"
#include "platform/linux/Text.h"

namespace emu {
namespace {

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
}  // namespace emu

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) return emu::Fail(ERROR_INVALID_PARAMETER, nullptr);
  std::string file = lpLibFileName;
  size_t slash = file.find_last_of("\\/");
  if (slash != std::string::npos) file = file.substr(slash + 1);
  if (emu::SameNameNoCase(file, "kernel32.dll") || emu::SameNameNoCase(file, "kernel32")) {
    return &emu::g_kernel32Module;
  }
  return emu::Fail(ERROR_MOD_NOT_FOUND, nullptr);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != &emu::g_kernel32Module) return emu::Fail(ERROR_MOD_NOT_FOUND, nullptr);
  // Names only; an ordinal is a pointer-sized value below 0x10000.
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
    return emu::Fail(ERROR_PROC_NOT_FOUND, nullptr);
  }
  for (const emu::ProcEntry& entry : emu::Kernel32Exports()) {
    if (std::strcmp(entry.name, lpProcName) == 0) return entry.proc;
  }
  return emu::Fail(ERROR_PROC_NOT_FOUND, nullptr);
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (hLibModule != &emu::g_kernel32Module) return emu::Fail(ERROR_MOD_NOT_FOUND, FALSE);
  return TRUE;
}
