// The Linux-only view of the emulation for callers outside it (see
// LinuxView.h).
#include "platform/linux/LinuxView.h"

#include "platform/linux/Paths.h"
#include "platform/linux/Text.h"

namespace emu {

bool UnixPathOf(const std::string& win32Path, std::string& unixPath) {
  return ToUnixPath(win32Path, unixPath);
}

std::string Utf8ToOem(const std::string& utf8) { return Utf8ToCodePage(utf8, kOemCodePage); }

}  // namespace emu
