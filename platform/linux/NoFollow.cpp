// Link-safe resolution below the current directory (see NoFollow.h).
#include "platform/linux/NoFollow.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>

#include "platform/linux/NameCache.h"
#include "platform/linux/Text.h"

namespace emu {

bool BelowCurrentDirectory(const Win32Name& name, size_t& depth) {
  const std::vector<std::string> cwd = CurrentDirectoryParts();
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

}  // namespace emu
