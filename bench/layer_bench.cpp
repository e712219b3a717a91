// Cost of the Linux layer's name lookup: N files created in one directory
// through CreateFileA, then opened again under another letter case (the
// exact spelling is not on disk, so the name is found case-insensitively),
// then opened in their own spelling. Prints the time per call of each phase.
//
//   layer_bench DIR N      (DIR: an empty Unix directory)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Win32.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Name(const std::string& dir, const char* format, int i) {
  char name[64];
  std::snprintf(name, sizeof name, format, i);
  return dir + "\\" + name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || argv[1][0] != '/') {
    std::fprintf(stderr, "usage: layer_bench DIR N\n");
    return 2;
  }
  std::string dir = std::string("Z:") + argv[1];
  for (char& c : dir) {
    if (c == '/') c = '\\';
  }
  const int count = std::atoi(argv[2]);
  struct Phase {
    const char* title;
    const char* format;
    DWORD disposition;
  } const phases[] = {
      {"create (CREATE_NEW)", "File%07d.Bin", CREATE_NEW},
      {"open, other case", "FILE%07d.BIN", OPEN_EXISTING},
      {"open, same case", "File%07d.Bin", OPEN_ALWAYS},
  };
  for (const Phase& phase : phases) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      const std::string path = Name(dir, phase.format, i);
      HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             phase.disposition, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "%s: error %u\n", path.c_str(), static_cast<unsigned>(GetLastError()));
        return 1;
      }
      CloseHandle(h);
    }
    double seconds = Seconds(start);
    std::printf("%-22s %8d files %9.3f s %9.2f us/file\n", phase.title, count, seconds,
                seconds * 1e6 / count);
  }
  return 0;
}
