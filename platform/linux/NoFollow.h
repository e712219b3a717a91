// Link-safe resolution in the Linux Win32 emulation. Below the current
// directory, the calls that create or write never follow a link: the
// program enters its destination and makes everything there, so a link met
// below it was not made by the program and is refused, whenever it appears.
// Links in the current directory's own path are followed (they were there
// when it was entered). Above the paths layer.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/linux/Paths.h"

namespace emu {

// A descriptor closed when it goes out of scope.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

// Whether a name lies below the current directory: it begins with every
// component of the current directory (regardless of case) and goes on.
// `depth` is the number of those components.
bool BelowCurrentDirectory(const Win32Name& name, size_t& depth);

// Opens the directory that holds the last component of a name below the
// current directory, from the current directory down, one level at a time
// (openat with O_NOFOLLOW | O_DIRECTORY), so that a link planted at any
// level at any moment is never followed. Answers the descriptor, or -1 with
// the Win32 error: ERROR_STOPPED_ON_SYMLINK for a level that is a link,
// ERROR_PATH_NOT_FOUND for one that is missing or not a directory. `last`
// receives the last component as spelled on disk (found regardless of
// case), or as given when there is none.
int OpenParentNoFollow(const Win32Name& name, size_t depth, std::string& last,
                       unsigned long& error);

// The spelling on disk of an entry of an open directory: the exact name
// when it exists, else one that equals it regardless of case. False when
// neither exists. `st` is the entry's own status (a link is not followed).
bool FindEntryAt(int dirFd, const std::string& name, std::string& match, struct stat& st);

// The Unix path of an open file or directory, as the kernel knows it.
bool PathOfDescriptor(int fd, std::string& unixPath);

}  // namespace emu
