// File-system helpers: block I/O, directory search, path, drive, number and
// string routines. Everything goes through the Win32 interface.
#include "MiscSFX/MiscSFX.h"

#include <cstring>
#include <limits>
#include <vector>

bool DiskFreeExAvailable = false;
HMODULE Kernel32Module = nullptr;
TFinalPathQuery FinalPathQuery = nullptr;
TFileInformationSetter FileInformationSetter = nullptr;

namespace {

// Attribute bits a search can exclude: hidden, system, volume label, directory.
constexpr DWORD kExcludableAttributes = 0x1E;

// Length of a fixed-size character field, up to its first zero byte or its
// full size when it holds none.
size_t FieldLength(const char* field, size_t size) {
  const void* zero = std::memchr(field, 0, size);
  return zero ? static_cast<size_t>(static_cast<const char*>(zero) - field) : size;
}

// The error code of a failed system call. A failure that leaves no code must
// still read as a failure, never as 0 (success).
int32_t FailureCode(DWORD fallback) {
  DWORD code = GetLastError();
  return static_cast<int32_t>(code != 0 ? code : fallback);
}

// Fills the visible fields from Found, after skipping entries of excluded
// kinds. Answers 0, or the error code of the call that ran out of entries.
int32_t AcceptEntry(TSearchRec& search) {
  const DWORD skip = static_cast<DWORD>(search.SkipMask);
  while ((search.Found.dwFileAttributes & skip) != 0) {
    if (!FindNextFileA(search.Handle, &search.Found)) return FailureCode(ERROR_NO_MORE_FILES);
  }

  FILETIME local{};
  WORD dosDate = 0;
  WORD dosTime = 0;
  FileTimeToLocalFileTime(&search.Found.ftLastWriteTime, &local);
  FileTimeToDosDateTime(&local, &dosDate, &dosTime);
  search.Stamp = static_cast<int32_t>((static_cast<uint32_t>(dosDate) << 16) | dosTime);
  search.Size = static_cast<int32_t>(search.Found.nFileSizeLow);
  search.Attributes = static_cast<int32_t>(search.Found.dwFileAttributes);
  search.Name.assign(search.Found.cFileName,
                     FieldLength(search.Found.cFileName, sizeof search.Found.cFileName));
  return 0;
}

// a * b, or the largest value when the product does not fit.
uint64_t SaturatingProduct(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) {
    return std::numeric_limits<uint64_t>::max();
  }
  return a * b;
}

int64_t ToFreeBytes(uint64_t bytes) {
  const uint64_t top = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(bytes > top ? top : bytes);
}

}  // namespace

// ------------------------------------------------------------- block I/O

int32_t ReadBlock(HANDLE handle, void* buffer, int32_t count) {
  // A negative count would reach the system as a huge unsigned one.
  if (count < 0 || (buffer == nullptr && count > 0)) return -1;
  DWORD done = 0;
  if (!ReadFile(handle, buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

int32_t WriteBlock(HANDLE handle, const void* buffer, int32_t count) {
  if (count < 0 || (buffer == nullptr && count > 0)) return -1;
  DWORD done = 0;
  if (!WriteFile(handle, buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

// ------------------------------------------------------------- directory search

int32_t SearchFirst(const std::string& pattern, int32_t attributes, TSearchRec& search) {
  // A record reused without closing its last search must not leak the handle.
  SearchClose(search);

  search.SkipMask = static_cast<int32_t>(~static_cast<DWORD>(attributes) & kExcludableAttributes);
  search.Handle = FindFirstFileA(pattern.c_str(), &search.Found);
  if (search.Handle == INVALID_HANDLE_VALUE) return FailureCode(ERROR_FILE_NOT_FOUND);

  int32_t result = AcceptEntry(search);
  if (result != 0) SearchClose(search);
  return result;
}

int32_t SearchNext(TSearchRec& search) {
  if (search.Handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  if (!FindNextFileA(search.Handle, &search.Found)) return FailureCode(ERROR_NO_MORE_FILES);
  return AcceptEntry(search);
}

void SearchClose(TSearchRec& search) {
  if (search.Handle != INVALID_HANDLE_VALUE) {
    FindClose(search.Handle);
    search.Handle = INVALID_HANDLE_VALUE;
  }
}

// ------------------------------------------------------------- text primitives

std::string UpperText(const std::string& s) {
  std::string result = s;
  if (!result.empty()) CharUpperBuffA(&result[0], static_cast<DWORD>(result.size()));
  return result;
}

std::string LowerText(const std::string& s) {
  std::string result = s;
  if (!result.empty()) CharLowerBuffA(&result[0], static_cast<DWORD>(result.size()));
  return result;
}

int32_t TextLength(const char* p) {
  return p ? static_cast<int32_t>(std::strlen(p)) : 0;
}

const char* FindChar(const char* p, char c) {
  if (!p) return nullptr;
  for (;; ++p) {
    if (*p == c) return p;
    if (*p == '\0') return nullptr;
  }
}

const char* FindLastChar(const char* p, char c) {
  if (!p) return nullptr;
  const char* found = nullptr;
  for (;; ++p) {
    if (*p == c) found = p;
    if (*p == '\0') return found;
  }
}

const char* FindBytes(const char* p, const char* sub) {
  if (!p || !sub) return nullptr;
  const size_t subLength = std::strlen(sub);
  const size_t length = std::strlen(p);
  if (subLength == 0 || subLength > length) return nullptr;
  for (size_t i = 0; i + subLength <= length; ++i) {
    if (std::memcmp(p + i, sub, subLength) == 0) return p + i;
  }
  return nullptr;
}

const char* LocateText(const char* p, const char* sub) {
  if (!p || !sub || *p == '\0' || *sub == '\0') return nullptr;
  return FindBytes(p, sub);
}

char* CopyText(char* dest, const char* src) {
  if (!dest) return dest;
  if (!src) {
    *dest = '\0';
    return dest;
  }
  std::memcpy(dest, src, std::strlen(src) + 1);
  return dest;
}

std::string TextToString(const char* p) { return p ? std::string(p) : std::string(); }

int32_t PositionOf(const std::string& sub, const std::string& s) {
  const char* found = LocateText(s.c_str(), sub.c_str());
  return found ? static_cast<int32_t>(found - s.c_str()) + 1 : 0;
}

int32_t LastOfSet(const std::string& delims, const std::string& s) {
  for (size_t i = s.size(); i > 0; --i) {
    const char c = s[i - 1];
    if (c != '\0' && delims.find(c) != std::string::npos) return static_cast<int32_t>(i);
  }
  return 0;
}

// ------------------------------------------------------------- paths

std::string FilePathOf(const std::string& s) {
  return s.substr(0, static_cast<size_t>(LastOfSet("\\:", s)));
}

std::string FileDirOf(const std::string& s) {
  size_t i = static_cast<size_t>(LastOfSet("\\:", s));
  // Drop the final backslash unless it belongs to a root (C:\) or follows
  // another backslash (\\ of a share, or a doubled separator).
  if (i > 1 && s[i - 1] == '\\' && s[i - 2] != ':' && s[i - 2] != '\\') --i;
  return s.substr(0, i);
}

std::string DriveOf(const std::string& s) {
  if (s.size() >= 2 && s[1] == ':') return s.substr(0, 2);
  if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') {
    // \\server\share: stop before the backslash that ends the share name.
    size_t i = 3;  // position, counting from 1
    int separators = 0;
    while (i < s.size() && separators < 2) {
      if (s[i - 1] == '\\') ++separators;
      if (separators < 2) ++i;
    }
    if (i <= s.size() && s[i - 1] == '\\') --i;
    return s.substr(0, i);
  }
  return std::string();
}

std::string WithExtension(const std::string& s, const std::string& ext) {
  const size_t i = static_cast<size_t>(LastOfSet(".\\:", s));
  if (i > 0 && s[i - 1] == '.') return s.substr(0, i - 1) + ext;
  return s + ext;
}

// ------------------------------------------------------------- directories

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateDirectoryLevels(const std::string& path) {
  const auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
  const size_t rootLength = DriveOf(path).size();

  // Final separators name no level of their own.
  std::string target = path;
  while (target.size() > rootLength + 1 && isSeparator(target.back())) target.pop_back();
  if (target.empty()) return false;
  if (IsDirectory(target)) return true;

  // The end of every level: each separator after the drive or share part
  // (runs of separators count once, a leading one is the root), and the end.
  std::vector<size_t> levelEnds;
  for (size_t i = rootLength; i < target.size(); ++i) {
    if (isSeparator(target[i]) && i > rootLength && !isSeparator(target[i - 1])) {
      levelEnds.push_back(i);
    }
  }
  levelEnds.push_back(target.size());

  // Upwards to the deepest level that exists, then down again creating.
  size_t first = levelEnds.size() - 1;
  while (first > 0 && !IsDirectory(target.substr(0, levelEnds[first - 1]))) --first;

  std::vector<std::string> made;
  for (size_t k = first; k < levelEnds.size(); ++k) {
    const std::string level = target.substr(0, levelEnds[k]);
    if (CreateDirectoryA(level.c_str(), nullptr)) {
      made.push_back(level);
    } else if (!IsDirectory(level)) {
      while (!made.empty()) {
        RemoveDirectoryA(made.back().c_str());
        made.pop_back();
      }
      return false;
    }
  }
  return true;
}

bool CreateLevelsBelow(const std::string& base, const std::string& relative) {
  std::string level = base;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find_first_of("\\/", start);
    if (end == std::string::npos) end = relative.size();
    if (end > start) {
      if (!level.empty() && level.back() != '\\') level += '\\';
      level += relative.substr(start, end - start);
      DWORD attributes = GetFileAttributesA(level.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        CreateDirectoryA(level.c_str(), nullptr);  // made by another meanwhile: looked at below
        attributes = GetFileAttributesA(level.c_str());
      }
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
      }
    }
    start = end + 1;
  }
  return true;
}

// ------------------------------------------------------------- file identity and final paths

std::string FileIdentityOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return std::string();
  char key[1 + 3 * sizeof(DWORD)];
  key[0] = 'I';
  std::memcpy(key + 1, &info.dwVolumeSerialNumber, sizeof(DWORD));
  std::memcpy(key + 1 + sizeof(DWORD), &info.nFileIndexHigh, sizeof(DWORD));
  std::memcpy(key + 1 + 2 * sizeof(DWORD), &info.nFileIndexLow, sizeof(DWORD));
  return std::string(key, sizeof key);
}

namespace {

// Opens a file or directory only to look at it: no access, every sharing.
HANDLE OpenToLookAt(const std::string& path) {
  return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::string PathIdentityOf(const std::string& path) {
  HANDLE handle = OpenToLookAt(path);
  if (handle == INVALID_HANDLE_VALUE) return std::string();
  std::string identity = FileIdentityOf(handle);
  CloseHandle(handle);
  return identity;
}

std::string FinalPathOf(HANDLE handle) {
  if (FinalPathQuery == nullptr) return std::string();
  char text[2 * MAX_PATH + 8];
  const DWORD length = FinalPathQuery(handle, text, sizeof text, 0);
  if (length == 0 || length >= sizeof text) return std::string();
  std::string path(text, length);
  // \\?\C:\dir keeps C:\dir; \\?\UNC\server\share becomes \\server\share.
  if (path.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\" + path.substr(7);
  if (path.compare(0, 4, "\\\\?\\") == 0) return path.substr(4);
  return path;
}

std::string FinalPathOfPath(const std::string& path) {
  HANDLE handle = OpenToLookAt(path);
  if (handle == INVALID_HANDLE_VALUE) return std::string();
  std::string final = FinalPathOf(handle);
  CloseHandle(handle);
  return final;
}

bool DeleteOnClose(HANDLE handle) {
  if (FileInformationSetter == nullptr) return false;
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return FileInformationSetter(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

std::string FullPathOf(const std::string& path) {
  char text[2 * MAX_PATH + 8];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof text, text, nullptr);
  if (length == 0 || length >= sizeof text) return std::string();
  return std::string(text, length);
}

// ------------------------------------------------------------- numbers and drives

std::string NumberText(int32_t n) {
  // Work on the magnitude in 64 bits so that the most negative value has one.
  int64_t magnitude = n < 0 ? -static_cast<int64_t>(n) : n;
  char digits[16];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::string result = n < 0 ? "-" : "";
  while (count > 0) result += digits[--count];
  return result;
}

void DriveFreeBytes(const std::string& path, int64_t& free) {
  free = -1;
  // No drive to ask about; a lone "\" would silently mean the current drive.
  if (path.empty()) return;

  std::string root = UpperText(path);
  if (root.back() != '\\') root += '\\';

  if (DiskFreeExAvailable) {
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER totalFree{};
    if (GetDiskFreeSpaceExA(root.c_str(), &available, &total, &totalFree)) {
      free = ToFreeBytes(available.QuadPart);
    }
    return;
  }

  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD freeClusters = 0;
  DWORD totalClusters = 0;
  if (GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                        &totalClusters)) {
    // In 64 bits: large drives exceed 2^31 bytes easily.
    free = ToFreeBytes(SaturatingProduct(
        SaturatingProduct(sectorsPerCluster, bytesPerSector), freeClusters));
  }
}

// ------------------------------------------------------------- long names

std::string LongNameOf(const std::string& path) {
  WIN32_FIND_DATAA found{};
  HANDLE handle = FindFirstFileA(path.c_str(), &found);
  if (handle == INVALID_HANDLE_VALUE) return std::string();
  std::string name(found.cFileName, FieldLength(found.cFileName, sizeof found.cFileName));
  if (name.empty()) {
    name.assign(found.cAlternateFileName,
                FieldLength(found.cAlternateFileName, sizeof found.cAlternateFileName));
  }
  FindClose(handle);
  return name;
}

std::string ExpandLongNames(const std::string& path) {
  // Each component is looked up with its full prefix, from the last to the
  // first; a component that is not found keeps its backslash but loses its name.
  std::string rest = path;
  std::string result;
  for (size_t cut = rest.rfind('\\'); cut != std::string::npos; cut = rest.rfind('\\')) {
    result = "\\" + LongNameOf(rest) + result;
    rest.resize(cut);
  }
  return rest + result;
}

std::string LowerIfAllUpper(const std::string& s) {
  bool upper = false;
  for (char c : s) {
    if (!IsCharAlphaA(c)) continue;
    if (IsCharUpperA(c)) {
      upper = true;
    } else {
      return s;  // a lower-case letter: keep the text as it is
    }
  }
  return upper ? LowerText(s) : s;
}

std::string LongPathOf(const std::string& path) {
  if (path.find('\\') == std::string::npos) return path;

  // Components of a network path are never looked up.
  const bool network = path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
  std::string result = network ? path : ExpandLongNames(path);

  const size_t tail = result.rfind('\\');
  if (tail != std::string::npos) {
    result.replace(tail, std::string::npos, LowerIfAllUpper(result.substr(tail)));
  }
  return result;
}

// ------------------------------------------------------------- module state

void MiscSFXStartup() {
  Kernel32Module = LoadLibraryA("kernel32.dll");
  DiskFreeExAvailable =
      Kernel32Module != nullptr && GetProcAddress(Kernel32Module, "GetDiskFreeSpaceExA") != nullptr;
  FinalPathQuery = Kernel32Module != nullptr
                       ? reinterpret_cast<TFinalPathQuery>(reinterpret_cast<void (*)()>(
                             GetProcAddress(Kernel32Module, "GetFinalPathNameByHandleA")))
                       : nullptr;
  FileInformationSetter =
      Kernel32Module != nullptr
          ? reinterpret_cast<TFileInformationSetter>(reinterpret_cast<void (*)()>(
                GetProcAddress(Kernel32Module, "SetFileInformationByHandle")))
          : nullptr;
}

void MiscSFXShutdown() {
  if (Kernel32Module != nullptr) FreeLibrary(Kernel32Module);
  Kernel32Module = nullptr;
  DiskFreeExAvailable = false;
  FinalPathQuery = nullptr;
  FileInformationSetter = nullptr;
}
