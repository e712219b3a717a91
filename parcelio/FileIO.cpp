// The part of the tool's I/O layer that is the same on every system: paths
// from and to UTF-8 text. The system calls are in FileIOPosix.cpp and
// FileIOWindows.cpp.
#include "parcelio/FileIO.h"

#include <string>

namespace parcelio {

fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }

std::string Utf8Of(const fs::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace parcelio
