// Paths: the Win32 view of the file system (drive Z: is the root), the
// current directory, the temporary directory and the program's own path.
//
// A Win32 path is made absolute and normalised the way Windows does it,
// lexically, before the file system is consulted: '/' counts as '\', runs of
// backslashes are one, "." and ".." are resolved by name, one dot at the end
// of a directory name and all dots and blanks at the end of the path are
// dropped. The components are then looked up on disk case-insensitively.
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "NameRules/NameRules.h"
#include "platform/linux/EmuInternal.h"
#include "platform/linux/Win32Emu.h"

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

// The answer of a Win32 call that fills a caller's buffer with text: the
// length without the NUL when it fits, else the size needed with the NUL.
DWORD CopyOut(const std::string& text, DWORD size, LPSTR buffer) {
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

// ------------------------------------------------------------ name cache
//
// Finding a name regardless of case means looking at every entry of its
// directory. So that a directory is not read again for every name looked up
// in it, the folded names of a directory are kept, each with the on-disk
// name it stands for, for as long as they are known to be current:
//  - the kernel reports every entry made, removed or renamed in a kept
//    directory (inotify), the layer's own changes among them; the names
//    follow these reports, which are read before every look-up;
//  - the directory must still be the one that was read (device and inode)
//    and its times must not have changed without a report (a change the
//    kernel did not see, such as one made on another machine).
// Where the kernel cannot report changes, nothing is kept and every
// look-up reads the directory.

// A directory's identity and times.
struct DirStamp {
  dev_t device = 0;
  ino_t inode = 0;
  struct timespec modified {};
  struct timespec changed {};

  bool SameDirectory(const DirStamp& o) const { return device == o.device && inode == o.inode; }
  bool SameTimes(const DirStamp& o) const {
    return modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

struct DirNames {
  DirStamp stamp;
  int watch = -1;
  bool reported = false;  // changes were reported since the stamp was taken
  bool stale = false;     // the names can no longer be followed: read again
  // Folded name -> the name on disk; of several spellings, the first in
  // byte order.
  std::unordered_map<std::string, std::string> names;
};

// At most this many directories are kept; beyond it the cache starts anew.
constexpr size_t kMaxCachedDirectories = 64;
constexpr uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::mutex g_namesMutex;
std::unordered_map<std::string, DirNames> g_dirNames;  // by Unix path
std::unordered_map<int, std::string> g_watched;        // watch -> Unix path
int g_inotify = -2;                                    // -2: not opened yet; -1: unavailable

bool StampOf(const std::string& dir, DirStamp& out) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  out.device = st.st_dev;
  out.inode = st.st_ino;
  out.modified = st.st_mtim;
  out.changed = st.st_ctim;
  return true;
}

// A name in the form in which names that match regardless of case are
// equal (each character upper-cased, as SameNameNoCase compares them).
std::string Folded(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char32_t c : DecodeUtf8(name)) AppendUtf8(out, UpperChar(c));
  return out;
}

void AddName(DirNames& dir, const std::string& name) {
  auto placed = dir.names.emplace(Folded(name), name);
  if (!placed.second && name < placed.first->second) placed.first->second = name;
}

void RemoveName(DirNames& dir, const std::string& name) {
  auto it = dir.names.find(Folded(name));
  // Another spelling of the name may be there still: only a new reading
  // can tell.
  if (it != dir.names.end() && it->second == name) dir.stale = true;
}

void Forget(std::unordered_map<std::string, DirNames>::iterator it) {
  if (it->second.watch >= 0) {
    g_watched.erase(it->second.watch);
    inotify_rm_watch(g_inotify, it->second.watch);
  }
  g_dirNames.erase(it);
}

void ForgetAll() {
  while (!g_dirNames.empty()) Forget(g_dirNames.begin());
}

// Applies the changes the kernel has reported since the last look.
void ReadReports() {
  if (g_inotify < 0) return;
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    ssize_t got = read(g_inotify, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return;  // nothing more (EAGAIN)
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        ForgetAll();  // reports were lost
        continue;
      }
      auto watched = g_watched.find(event->wd);
      if (watched == g_watched.end()) continue;
      auto it = g_dirNames.find(watched->second);
      if (it == g_dirNames.end()) continue;
      DirNames& dir = it->second;
      dir.reported = true;
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
        AddName(dir, event->name);
      } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
        RemoveName(dir, event->name);
      } else {
        dir.stale = true;  // the directory itself went, or is no longer watched
      }
    }
  }
}

// Reads a directory's names into `out`; false if it cannot be read.
bool ReadNames(const std::string& dir, DirNames& out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (dirent* e = readdir(d)) {
    const char* entry = e->d_name;
    if (std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0) continue;
    AddName(out, entry);
  }
  closedir(d);
  return true;
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

bool FindNoCase(const std::string& dir, const std::string& name, std::string& match) {
  DirStamp stamp;
  if (!StampOf(dir, stamp)) return false;
  std::lock_guard<std::mutex> lock(g_namesMutex);
  if (g_inotify == -2) g_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ReadReports();

  auto it = g_dirNames.find(dir);
  bool current = it != g_dirNames.end() && !it->second.stale &&
                 it->second.stamp.SameDirectory(stamp) &&
                 (it->second.stamp.SameTimes(stamp) || it->second.reported);
  if (!current) {
    if (it != g_dirNames.end()) Forget(it);
    DirNames fresh;
    fresh.stamp = stamp;
    // Watched before it is read, so that no change falls between the two.
    fresh.watch = g_inotify >= 0 ? inotify_add_watch(g_inotify, dir.c_str(), kWatchedEvents) : -1;
    const bool read = ReadNames(dir, fresh);
    if (!read || fresh.watch < 0) {
      // Not kept: the names could not be followed.
      if (fresh.watch >= 0) inotify_rm_watch(g_inotify, fresh.watch);
      if (!read) return false;
      auto found = fresh.names.find(Folded(name));
      if (found == fresh.names.end()) return false;
      match = found->second;
      return true;
    }
    // A directory watched already under another path shares its watch;
    // the newest path takes it over.
    auto previous = g_watched.find(fresh.watch);
    if (previous != g_watched.end()) {
      auto other = g_dirNames.find(previous->second);
      if (other != g_dirNames.end()) {
        other->second.watch = -1;
        g_dirNames.erase(other);
      }
      g_watched.erase(previous);
    }
    if (g_dirNames.size() >= kMaxCachedDirectories) ForgetAll();
    g_watched[fresh.watch] = dir;
    it = g_dirNames.emplace(dir, std::move(fresh)).first;
  }
  it->second.stamp = stamp;
  it->second.reported = false;
  auto found = it->second.names.find(Folded(name));
  if (found == it->second.names.end()) return false;
  match = found->second;
  return true;
}

std::string JoinUnix(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool BelowCurrentDirectory(const Win32Name& name, size_t& depth) {
  std::lock_guard<std::mutex> lock(g_cwdMutex);
  const std::vector<std::string>& cwd = CurrentParts();
  if (name.parts.size() <= cwd.size()) return false;
  for (size_t i = 0; i < cwd.size(); ++i) {
    if (name.parts[i] != cwd[i] && !SameNameNoCase(name.parts[i], cwd[i])) return false;
  }
  depth = cwd.size();
  return true;
}

bool PathOfDescriptor(int fd, std::string& unixPath) {
  char buffer[PATH_MAX + 1];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0 || buffer[0] != '/') return false;
  unixPath.assign(buffer, static_cast<size_t>(n));
  return true;
}

bool FindEntryAt(int dirFd, const std::string& name, std::string& match, struct stat& st) {
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    match = name;
    return true;
  }
  // Another spelling: the directory's names are looked up by its path, and
  // the entry found is then taken from the descriptor again, so a directory
  // moved meanwhile yields a name that is missing, never another entry.
  std::string dir;
  std::string found;
  if (!PathOfDescriptor(dirFd, dir) || !FindNoCase(dir, name, found)) return false;
  if (fstatat(dirFd, found.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  match = found;
  return true;
}

int OpenParentNoFollow(const Win32Name& name, size_t depth, std::string& last,
                       unsigned long& error) {
  int dir = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    error = ERROR_PATH_NOT_FOUND;
    return -1;
  }
  for (size_t i = depth; i + 1 < name.parts.size(); ++i) {
    std::string match;
    struct stat st {};
    if (!FindEntryAt(dir, name.parts[i], match, st)) {
      close(dir);
      error = ERROR_PATH_NOT_FOUND;
      return -1;
    }
    const int next = openat(dir, match.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      // A link (ELOOP, or ENOTDIR when O_DIRECTORY meets the link itself),
      // whether it was there at the look-up or was planted since.
      const int openError = errno;
      struct stat now {};
      const bool isLink = openError == ELOOP || S_ISLNK(st.st_mode) ||
                          (fstatat(dir, match.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISLNK(now.st_mode));
      close(dir);
      error = isLink ? ERROR_STOPPED_ON_SYMLINK : ERROR_PATH_NOT_FOUND;
      return -1;
    }
    close(dir);
    dir = next;
  }
  std::string match;
  struct stat st {};
  last = FindEntryAt(dir, name.parts.back(), match, st) ? match : name.parts.back();
  return dir;
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
    emu::SetError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (unsigned long error = emu::ParseName(lpPathName, name, /*anyLength=*/true)) {
    emu::SetError(error);
    return FALSE;
  }
  // The current directory is kept with a backslash at its end and a NUL in
  // MAX_PATH characters: a directory of MAX_PATH - 2 characters at most.
  if (emu::FullPathLength(name) > MAX_PATH - 2) {
    emu::SetError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  emu::Resolved resolved;
  emu::Resolve(name, resolved);
  if (!resolved.exists) {
    emu::SetError(resolved.parentIsDirectory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!S_ISDIR(resolved.st.st_mode)) {
    emu::SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (chdir(resolved.unixPath.c_str()) != 0) {
    emu::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
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
    emu::SetError(error);
    return 0;
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

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule != nullptr) {
    emu::SetError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) {
    emu::SetError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  std::string text = emu::ToWin32Path(std::string(buffer.data(), static_cast<size_t>(n)));
  if (lpFilename == nullptr || nSize == 0) {
    emu::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Too small a buffer (no room for the NUL) is filled to its end without
  // a NUL, and the answer is the buffer's size.
  if (text.size() >= nSize) {
    std::memcpy(lpFilename, text.data(), nSize);
    emu::SetError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, text.c_str(), text.size() + 1);
  emu::SetError(ERROR_SUCCESS);
  return static_cast<DWORD>(text.size());
}
