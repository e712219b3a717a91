// The directory name cache of the Linux layer (see NameCache.h).
#include "platform/linux/NameCache.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/linux/Text.h"

namespace emu {
namespace {

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

}  // namespace emu
