// The directory name cache of the Linux Win32 emulation: finding an entry
// of a directory regardless of case without reading the directory for every
// name, kept current by the kernel's reports (inotify). Above the text
// layer only.
#pragma once

#include <string>

namespace emu {

// Finds an entry of a directory (a Unix path) whose name equals `name`
// regardless of case; of several, the first in byte order. The directory's
// names are kept between calls while they are known to be current. False
// when the directory cannot be read or holds no such entry.
bool FindNoCase(const std::string& dir, const std::string& name, std::string& match);

}  // namespace emu
