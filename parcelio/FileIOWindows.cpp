// The tool's I/O layer on Windows: the wide Win32 calls, paths converted
// from and to UTF-8. FileIOPosix.cpp is its Linux twin; CMake builds one of
// the two (see FileIO.h).
#include "parcelio/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "CRC32/CRC32.h"

#include <windows.h>
#include <shellapi.h>

namespace parcelio {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Narrow(const wchar_t* text, int length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
  return out;
}

void WriteTo(DWORD which, FILE* stream, const std::string& utf8) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::wstring wide = Wide(utf8);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

}  // namespace

std::string ErrorText(const std::error_code& error) {
  if (error.category() == std::system_category()) {
    SetLastError(static_cast<DWORD>(error.value()));
    return LastErrorText();
  }
  return error.message();
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? Narrow(text, static_cast<int>(n)) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' '))
    message.pop_back();
  return message;
}

// ------------------------------------------------------------------ File
File::~File() { Close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}


bool File::Open(const fs::path& path, Mode mode) {
  Close();
  DWORD access = GENERIC_READ, share = FILE_SHARE_READ | FILE_SHARE_DELETE, creation = OPEN_EXISTING;
  if (mode != Mode::Read) {
    access |= GENERIC_WRITE;
    share = FILE_SHARE_READ;
    creation = mode == Mode::CreateNew ? CREATE_NEW : mode == Mode::Update ? OPEN_EXISTING : CREATE_ALWAYS;
  }
  HANDLE h = CreateFileW(path.wstring().c_str(), access, share, nullptr, creation,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool File::IsOpen() const { return handle_ != nullptr; }

bool File::IsRegular() {
  if (GetFileType(static_cast<HANDLE>(handle_)) == FILE_TYPE_DISK) return true;
  SetLastError(ERROR_BAD_FILE_TYPE);
  return false;
}

void File::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

namespace {

// A file position for ReadFile and WriteFile: they read and write there,
// whatever the handle's own position.
OVERLAPPED OverlappedAt(int64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(position));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(position) >> 32);
  return at;
}

}  // namespace

int64_t File::ReadAt(int64_t position, void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    OVERLAPPED at = OverlappedAt(position + done);
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), static_cast<uint8_t*>(buffer) + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool File::WriteAt(int64_t position, const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    OVERLAPPED at = OverlappedAt(position + done);
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    DWORD put = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), static_cast<const uint8_t*>(buffer) + done, want, &put, &at))
      return false;
    if (put == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    done += put;
  }
  return true;
}

int64_t File::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

bool File::SetSize(int64_t size) {
  LARGE_INTEGER to;
  to.QuadPart = size;
  return SetFilePointerEx(static_cast<HANDLE>(handle_), to, nullptr, FILE_BEGIN) &&
         SetEndOfFile(static_cast<HANDLE>(handle_));
}


// ------------------------------------------------------------------ the system
int64_t FreeSpace(const fs::path& path) {
  ULARGE_INTEGER free;
  if (!GetDiskFreeSpaceExW(path.wstring().c_str(), &free, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(std::min<uint64_t>(free.QuadPart, INT64_MAX));
}

bool ErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

namespace {

// Set when a write to standard output found its reader gone.
bool outputReaderGone = false;

// Called after each write or flush of standard output.
void NoteOutputError() {
  if (!std::ferror(stdout) || outputReaderGone) return;
  const DWORD code = GetLastError();
  outputReaderGone = errno == EPIPE || code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE;
}

}  // namespace

void WriteOut(const std::string& utf8) {
  if (outputReaderGone) return;
  WriteTo(STD_OUTPUT_HANDLE, stdout, utf8);
  NoteOutputError();
}

void WriteErr(const std::string& utf8) {
  WriteTo(STD_ERROR_HANDLE, stderr, utf8);
}

OutputEnd FinishOutput() {
  if (!outputReaderGone) {
    std::fflush(stdout);
    NoteOutputError();
  }
  if (outputReaderGone) return OutputEnd::ReaderGone;
  return std::ferror(stdout) ? OutputEnd::Failed : OutputEnd::Written;
}

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> out;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) out.push_back(Narrow(wide[i], static_cast<int>(wcslen(wide[i]))));
    LocalFree(wide);
    return out;
  }
  for (int i = 0; i < argc; ++i) out.push_back(argv[i]);
  return out;
}

bool NamesIgnoreCase() {
  return true;
}

void InitProcess() {
}

fs::path ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (got == 0) return fs::path();
    if (got < path.size()) return fs::path(path.substr(0, got));
    path.resize(path.size() * 2);
  }
}

// ------------------------------------------------------------------ folders

namespace {

// Set when a level or file turned out to be a link (or to lead elsewhere).
constexpr DWORD LinkError = 681;  // ERROR_STOPPED_ON_SYMLINK: "stopped after reaching a symbolic link"

// A handle's path as the system resolves it, without the \\?\ prefix.
std::wstring FinalPathOf(HANDLE handle) {
  DWORD n = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0) return std::wstring();
  std::wstring path(n, L'\0');
  n = GetFinalPathNameByHandleW(handle, &path[0], n, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  path.resize(n);
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    path = path.substr(4);
  }
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Opens what a path names without following a link at its end; answers
// the handle (or INVALID_HANDLE_VALUE) and what it is.
HANDLE OpenEntry(const std::wstring& path, DWORD access, DWORD share, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h != INVALID_HANDLE_VALUE && !GetFileInformationByHandle(h, &info)) {
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// A handle opened for `path` that is a link, or that the system resolved
// to another place (Wine does not mark links to files as reparse points).
bool LeadsElsewhere(HANDLE h, const BY_HANDLE_FILE_INFORMATION& info, const std::wstring& path) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !SamePath(FinalPathOf(h), path);
}

}  // namespace

bool File::Sync() { return FlushFileBuffers(static_cast<HANDLE>(handle_)) != 0; }
bool File::MakeExecutable() { return true; }

bool IdentityOf(const fs::path& path, FileId& id) {
  HANDLE h = CreateFileW(path.wstring().c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  id.device = info.dwVolumeSerialNumber;
  id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

Dir::~Dir() { Close(); }
Dir::Dir(Dir&& other) noexcept { *this = std::move(other); }
Dir& Dir::operator=(Dir&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = nullptr;
  }
  return *this;
}

bool Dir::IsOpen() const { return handle_ != nullptr; }

void Dir::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  path_.clear();
}

// The folder is held without FILE_SHARE_DELETE: nobody can rename it or put
// a link in its place while the run writes below it.
bool Dir::Open(const fs::path& path) {
  Close();
  HANDLE h = CreateFileW(path.wstring().c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  path_ = FinalPathOf(h);
  if (path_.empty()) {
    Close();
    return false;
  }
  return true;
}

bool Dir::OpenLevel(const Dir& parent, const std::string& name, bool create) {
  Close();
  const std::wstring full = parent.path_ + L"\\" + Wide(name);
  if (create && !CreateDirectoryW(full.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = OpenEntry(full, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, info);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (LeadsElsewhere(h, info, full)) {
    CloseHandle(h);
    SetLastError(LinkError);
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(h);
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  handle_ = h;
  path_ = full;
  return true;
}

Dir::Kind Dir::KindOf(const std::string& name, FileId* id) const {
  const std::wstring full = path_ + L"\\" + Wide(name);
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = OpenEntry(full, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, info);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Kind::None : Kind::Other;
  }
  const bool elsewhere = LeadsElsewhere(h, info, full);
  CloseHandle(h);
  if (id != nullptr) {
    id->device = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  if (elsewhere) return Kind::Link;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Folder : Kind::File;
}

bool Dir::CreateNew(const std::string& name, File& file) const {
  file.Close();
  const std::wstring full = path_ + L"\\" + Wide(name);
  // FILE_SHARE_DELETE: an interruption removes the file while it is open.
  HANDLE h = CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) || LeadsElsewhere(h, info, full)) {
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    CloseHandle(h);
    SetLastError(LinkError);
    return false;
  }
  file.handle_ = h;
  return true;
}

bool Dir::OpenForReading(const std::string& name, File& file) const {
  file.Close();
  const std::wstring full = path_ + L"\\" + Wide(name);
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = OpenEntry(full, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, info);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (LeadsElsewhere(h, info, full) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(h);
    SetLastError(LinkError);
    return false;
  }
  file.handle_ = h;
  return true;
}

bool Dir::Rename(const std::string& from, const std::string& to, bool replace) const {
  // The folder must still be where it was opened.
  if (!SamePath(FinalPathOf(static_cast<HANDLE>(handle_)), path_)) {
    SetLastError(LinkError);
    return false;
  }
  return MoveFileExW((path_ + L"\\" + Wide(from)).c_str(), (path_ + L"\\" + Wide(to)).c_str(),
                     replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

bool Dir::Remove(const std::string& name) const { return DeleteFileW((path_ + L"\\" + Wide(name)).c_str()) != 0; }

bool Dir::List(std::vector<std::string>& names) const {
  names.clear();
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((path_ + L"\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(Narrow(name.data(), static_cast<int>(name.size())));
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return true;
}

bool Dir::OwnedByMe(const std::string&) const { return true; }

bool FileSystemSyncs() { return false; }
bool SyncFileSystem(const Dir&) { return false; }

bool LastErrorIsLink() {
  const DWORD code = GetLastError();
  return code == LinkError;
}

bool LastErrorIsExists() {
  const DWORD code = GetLastError();
  return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
}

NameLock::~NameLock() { Release(); }

bool NameLock::Take(const Dir& dir, const std::string& name, bool& busy) {
  Release();
  busy = false;
  // Nobody else may open it while it is held, and it goes with the last
  // handle, however the process ends.
  HANDLE h = CreateFileW((dir.path_ + L"\\" + Wide(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    busy = GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_ACCESS_DENIED;
    return false;
  }
  handle_ = h;
  dir_ = &dir;
  name_ = name;
  return true;
}

void NameLock::Release() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  dir_ = nullptr;
}

uint32_t ProcessId() { return GetCurrentProcessId(); }

bool ProcessRuns(uint32_t pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool runs = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return runs;
}

// ------------------------------------------------------------------ interruptions
namespace {

CRITICAL_SECTION* InterruptLock() {
  static CRITICAL_SECTION* lock = [] {
    auto* made = new CRITICAL_SECTION;
    InitializeCriticalSection(made);
    return made;
  }();
  return lock;
}

std::vector<std::wstring>& Temporaries() {
  static auto* names = new std::vector<std::wstring>;
  return *names;
}

// Runs on a thread of its own; holds wait for it through the lock.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  EnterCriticalSection(InterruptLock());
  for (const std::wstring& name : Temporaries()) DeleteFileW(name.c_str());
  const bool hangUp = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  WriteTo(STD_ERROR_HANDLE, stderr, hangUp ? "parcel: interrupted (console closed); temporary files removed\n"
                                           : "parcel: interrupted (Ctrl-C); temporary files removed\n");
  ExitProcess(hangUp ? 128 + 1 : 128 + 2);
  return TRUE;
}

}  // namespace

void CatchInterrupts() {
  InterruptLock();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RegisterTemporary(const Dir& dir, const std::string& name) {
  EnterCriticalSection(InterruptLock());
  Temporaries().push_back(dir.path_ + L"\\" + Wide(name));
  LeaveCriticalSection(InterruptLock());
}

void DropTemporary(const Dir& dir, const std::string& name) {
  const std::wstring full = dir.path_ + L"\\" + Wide(name);
  EnterCriticalSection(InterruptLock());
  auto& names = Temporaries();
  for (size_t i = names.size(); i-- > 0;) {
    if (names[i] == full) {
      names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  LeaveCriticalSection(InterruptLock());
}

HoldInterrupts::HoldInterrupts() { EnterCriticalSection(InterruptLock()); }
HoldInterrupts::~HoldInterrupts() { LeaveCriticalSection(InterruptLock()); }


}  // namespace parcelio
