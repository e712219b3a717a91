// Helpers shared by the unit tests of both builds: scratch directories
// named as the Win32 calls take them (Z:\... over the Linux layer) and as
// the host's own file functions do.
#include "tests/TestSupport.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

namespace {

// The Win32 form of a host path, and back. On Windows they are the same;
// on Linux the emulation presents the root of the file system as drive Z:.
std::string ToWin32(const std::string& native) {
#ifdef _WIN32
  return native;
#else
  std::string out = "Z:";
  for (char c : native) out += (c == '/') ? '\\' : c;
  return out;
#endif
}

std::string Relative(const std::string& relative) {
#ifdef _WIN32
  return relative;
#else
  std::string out;
  for (char c : relative) out += (c == '\\') ? '/' : c;
  return out;
#endif
}

std::string Separator() {
#ifdef _WIN32
  return "\\";
#else
  return "/";
#endif
}

}  // namespace

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  unsigned long long tag = (static_cast<unsigned long long>(rd()) << 20) ^
                           static_cast<unsigned long long>(
                               std::chrono::steady_clock::now().time_since_epoch().count());
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path dir = base / ("parceltest-" + std::to_string(tag) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(dir, ec)) {
      native_ = dir.string();
      break;
    }
  }
  // Resolve links (such as /tmp as a link) so that the two forms agree.
  native_ = fs::canonical(native_).string();
  win32_ = ToWin32(native_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Read-only entries would stop the removal on Windows.
  for (auto it = fs::recursive_directory_iterator(native_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(native_, ec);
}

std::string ScratchDir::Path(const std::string& relative) const {
  return relative.empty() ? win32_ : win32_ + "\\" + relative;
}

std::string ScratchDir::NativePath(const std::string& relative) const {
  return relative.empty() ? native_ : native_ + Separator() + Relative(relative);
}

void ScratchDir::WriteBytes(const std::string& relative, const std::string& bytes) const {
  std::ofstream out(NativePath(relative), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void ScratchDir::WriteBytes(const std::string& relative, const std::vector<uint8_t>& bytes) const {
  WriteBytes(relative, std::string(bytes.begin(), bytes.end()));
}

std::string ScratchDir::ReadBytes(const std::string& relative) const {
  std::ifstream in(NativePath(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ScratchDir::Exists(const std::string& relative) const {
  std::error_code ec;
  return fs::exists(NativePath(relative), ec);
}

void ScratchDir::MakeDir(const std::string& relative) const {
  fs::create_directories(NativePath(relative));
}

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }
