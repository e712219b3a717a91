// Paths (see Paths.h): the Win32 view of the file system and the current
// directory.
//
// A Win32 path is made absolute and normalised the way Windows does it,
// lexically, before the file system is consulted: '/' counts as '\', runs of
// backslashes are one, "." and ".." are resolved by name, one dot at the end
// of a directory name and all dots and blanks at the end of the path are
// dropped. The components are then looked up on disk case-insensitively.
#include "platform/linux/Paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "NameRules/NameRules.h"
#include "platform/linux/Errors.h"
#include "platform/linux/NameCache.h"
#include "platform/linux/Text.h"

namespace emu {
namespace {


// The current directory as the Win32 calls see it: its components below
// Z:\ as they were given to SetCurrentDirectoryA, and the identity of the
// directory, so that a change made behind the layer's back (a chdir by
// other code) is noticed and the directory is taken from the system again.
struct CurrentDirectory {
  std::vector<std::string> parts;
  dev_t device = 0;
  ino_t inode = 0;
  bool known = false;
};

std::mutex g_cwdMutex;
CurrentDirectory g_cwd;

std::vector<std::string> SplitUnix(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  return parts;
}

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && i < parts.size(); ++i) out += "/" + parts[i];
  return out.empty() ? "/" : out;
}

// The components of the current directory (caller holds g_cwdMutex).
const std::vector<std::string>& CurrentParts() {
  struct stat dot {};
  bool dotKnown = stat(".", &dot) == 0;
  if (g_cwd.known && dotKnown && dot.st_dev == g_cwd.device && dot.st_ino == g_cwd.inode) {
    return g_cwd.parts;
  }
  std::vector<char> buffer(PATH_MAX + 1);
  if (getcwd(buffer.data(), buffer.size()) != nullptr) {
    g_cwd.parts = SplitUnix(buffer.data());
    g_cwd.known = dotKnown;
    g_cwd.device = dot.st_dev;
    g_cwd.inode = dot.st_ino;
  }
  return g_cwd.parts;
}

// Drops what Windows drops from the end of a path component.
void TrimComponent(std::string& part, bool last) {
  if (last) {
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
  } else if (!part.empty() && part.back() == '.') {
    part.pop_back();
  }
}

std::string Win32Text(const std::vector<std::string>& parts) {
  std::string out = "Z:\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += '\\';
    out += NameToCodePage(parts[i]);
  }
  return out;
}

}  // namespace

// The answer of a Win32 call that fills a caller's buffer with text: the
// length without the NUL when it fits, else the size needed with the NUL.
DWORD CopyOut(const std::string& text, DWORD size, LPSTR buffer) {
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

std::string JoinUnix(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::vector<std::string> CurrentDirectoryParts() {
  std::lock_guard<std::mutex> lock(g_cwdMutex);
  return CurrentParts();
}

bool HasInvalidNameChars(const std::string& component, bool allowWildcards) {
  for (unsigned char c : component) {
    if (allowWildcards && (c == '*' || c == '?')) continue;
    if (namerules::IsForbiddenChar(c)) return true;  // the separators never reach here
  }
  return false;
}

size_t FullPathLength(const Win32Name& name) {
  size_t length = 3;  // Z:\ (with the drive root's own backslash)
  for (size_t i = 0; i < name.parts.size(); ++i) {
    if (i > 0) ++length;
    length += DecodeUtf8(name.parts[i]).size();
  }
  return length;
}

unsigned long ParseName(const char* name, Win32Name& out, bool anyLength) {
  out = Win32Name();
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  size_t length = std::strlen(name);
  if (length == 0) return ERROR_PATH_NOT_FOUND;
  if (length > MAX_PATH && !anyLength) return ERROR_FILENAME_EXCED_RANGE;

  std::string text = CodePageToUtf8(std::string(name, length), FileApiCodePage());
  for (char& c : text) {
    if (c == '/') c = '\\';
  }

  // Network and device paths, and drives other than Z:, do not exist here.
  if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') return ERROR_PATH_NOT_FOUND;
  std::string rest = text;
  bool absolute = false;
  if (text.size() >= 2 && text[1] == ':') {
    if (text[0] != 'Z' && text[0] != 'z') return ERROR_PATH_NOT_FOUND;
    rest = text.substr(2);
    absolute = !rest.empty() && rest[0] == '\\';
  } else {
    absolute = text[0] == '\\';
  }

  std::vector<std::string> parts;
  if (!absolute) {
    std::lock_guard<std::mutex> lock(g_cwdMutex);
    parts = CurrentParts();
  }

  // Walk the components; an empty one comes from a run of backslashes or
  // from a backslash at the end.
  bool trailing = false;
  size_t i = 0;
  while (!rest.empty() && i <= rest.size()) {
    size_t j = rest.find('\\', i);
    if (j == std::string::npos) j = rest.size();
    std::string part = rest.substr(i, j - i);
    bool last = j >= rest.size();
    if (part == ".") {
      trailing = false;
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      trailing = false;
    } else if (part.empty()) {
      if (last) trailing = true;
    } else {
      TrimComponent(part, last);
      if (part.empty()) {
        // Only dots and blanks at the end: the path ends in a backslash.
        trailing = true;
      } else if (part == "." || part == "..") {
        return ERROR_PATH_NOT_FOUND;
      } else {
        parts.push_back(part);
        trailing = false;
      }
    }
    i = j + 1;
  }
  out.parts = std::move(parts);
  out.trailingSeparator = trailing;
  if (!anyLength) {
    size_t full = FullPathLength(out) + (trailing && !out.parts.empty() ? 1 : 0);
    if (full >= MAX_PATH) return ERROR_PATH_NOT_FOUND;
  }
  return 0;
}

void Resolve(const Win32Name& name, Resolved& out) {
  out = Resolved();
  std::vector<std::string> onDisk;
  bool directory = true;  // whether the path so far is a directory
  struct stat st {};
  if (stat("/", &st) != 0) directory = false;
  size_t n = name.parts.size();
  size_t found = 0;
  for (; found < n && directory; ++found) {
    const std::string& part = name.parts[found];
    std::string dir = JoinParts(onDisk, onDisk.size());
    std::string exact = JoinUnix(dir, part);
    std::string match;
    if (lstat(exact.c_str(), &st) == 0) {
      match = part;
    } else if (!FindNoCase(dir, part, match)) {
      break;
    }
    onDisk.push_back(match);
    std::string full = JoinParts(onDisk, onDisk.size());
    if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0) break;
    directory = S_ISDIR(st.st_mode);
  }

  out.exists = found == n && (n > 0 || directory);
  if (out.exists) out.st = st;
  // Every component but the last was found, and the last one of those is a
  // directory (for a path of one component, the root is).
  out.parentIsDirectory = true;
  if (n > 0) {
    bool parentsFound = found >= n - 1;
    bool parentIsDir = true;
    if (parentsFound && n >= 2) {
      struct stat ps {};
      std::string parent = JoinParts(onDisk, n - 1);
      parentIsDir = stat(parent.c_str(), &ps) == 0 && S_ISDIR(ps.st_mode);
    }
    out.parentIsDirectory = parentsFound && parentIsDir;
  }

  std::vector<std::string> all = onDisk;
  for (size_t k = onDisk.size(); k < n; ++k) all.push_back(name.parts[k]);
  out.unixPath = JoinParts(all, all.size());
}

bool ToUnixPath(const std::string& win32Path, std::string& unixPath) {
  Win32Name name;
  if (ParseName(win32Path.c_str(), name, true) != 0) return false;
  Resolved resolved;
  Resolve(name, resolved);
  unixPath = resolved.unixPath;
  return true;
}

std::string ToWin32Path(const std::string& unixPath) { return Win32Text(SplitUnix(unixPath)); }

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
  if (DWORD error = ParseFileName(text, name)) return emu::Fail(error, false);
  Resolve(name, resolved);
  return true;
}

DWORD NotFoundError(const Resolved& resolved) {
  return resolved.parentIsDirectory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace emu

// ---------------------------------------------------------------- Win32 calls

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(emu::g_cwdMutex);
    text = emu::Win32Text(emu::CurrentParts());
  }
  return emu::CopyOut(text, nBufferLength, lpBuffer);
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) {
  emu::Win32Name name;
  if (lpPathName != nullptr && std::strlen(lpPathName) > MAX_PATH) {
    return emu::Fail(ERROR_FILENAME_EXCED_RANGE, FALSE);
  }
  if (unsigned long error = emu::ParseName(lpPathName, name, /*anyLength=*/true)) {
    return emu::Fail(error, FALSE);
  }
  // The current directory is kept with a backslash at its end and a NUL in
  // MAX_PATH characters: a directory of MAX_PATH - 2 characters at most.
  if (emu::FullPathLength(name) > MAX_PATH - 2) return emu::Fail(ERROR_FILENAME_EXCED_RANGE, FALSE);
  emu::Resolved resolved;
  emu::Resolve(name, resolved);
  if (!resolved.exists) return emu::Fail(emu::NotFoundError(resolved), FALSE);
  if (!S_ISDIR(resolved.st.st_mode)) return emu::Fail(ERROR_DIRECTORY, FALSE);
  if (chdir(resolved.unixPath.c_str()) != 0) return emu::Fail(ERROR_ACCESS_DENIED, FALSE);
  struct stat dot {};
  std::lock_guard<std::mutex> lock(emu::g_cwdMutex);
  emu::g_cwd.parts = name.parts;
  emu::g_cwd.known = stat(".", &dot) == 0;
  emu::g_cwd.device = dot.st_dev;
  emu::g_cwd.inode = dot.st_ino;
  return TRUE;
}

DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                       LPSTR* lpFilePart) {
  emu::Win32Name name;
  if (unsigned long error = emu::ParseName(lpFileName, name, /*anyLength=*/true)) {
    return emu::Fail(error, 0);
  }
  std::string text = emu::Win32Text(name.parts);
  if (name.trailingSeparator && !name.parts.empty()) text += '\\';
  const DWORD answer = emu::CopyOut(text, nBufferLength, lpBuffer);
  if (lpFilePart != nullptr) {
    *lpFilePart = nullptr;
    if (answer == text.size() && text.back() != '\\') {
      *lpFilePart = lpBuffer + text.rfind('\\') + 1;
    }
  }
  return answer;
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && env[0] == '/') ? env : "/tmp";
  std::string text = emu::ToWin32Path(dir);
  if (text.back() != '\\') text += '\\';
  return emu::CopyOut(text, nBufferLength, lpBuffer);
}
