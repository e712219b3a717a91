// Cost of many volumes for the self-joining program: one file of N bytes
// split into N tiny volumes (one byte each, volume N marked last), joined by
// the real program with no operator. Prints the time of each join and the
// time per volume, so that a cost that grows with the number of volumes
// done (a search through the list of processed volumes) shows as a time per
// volume that grows with N. With --files, one volume of N one-byte files
// instead (the cost per output file).
//
//   volumes_bench [--files] PROGRAM DIR N...   (DIR: an empty Unix directory)
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "writer/VolumeWriter.h"

namespace fs = std::filesystem;

namespace {

bool Copy(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) return false;
  fs::permissions(to, fs::perms::owner_all, fs::perm_options::add, ec);
  return !ec;
}

// Runs the program beside its volumes with DEST as its argument, input from
// /dev/null and output discarded; answers the wall time, or -1, and the
// processor time (user and system) in `cpu`: on a busy machine the better
// figure.
double Join(const std::string& program, const std::string& dest, double& cpu) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int none = open("/dev/null", O_RDWR);
    dup2(none, 0);
    dup2(none, 1);
    execl(program.c_str(), program.c_str(), dest.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const bool files = argc > 1 && std::string(argv[1]) == "--files";
  if (files) {
    --argc;
    ++argv;
  }
  if (argc < 4 || argv[2][0] != '/') {
    std::fprintf(stderr, "usage: volumes_bench PROGRAM DIR N...\n");
    return 2;
  }
  const std::string dir = argv[2];
  for (int a = 3; a < argc; ++a) {
    const int count = std::atoi(argv[a]);
    const std::string set = dir + "/set-" + std::to_string(count);
    fs::remove_all(set);
    fs::create_directories(set + "/src");
    if (!Copy(argv[1], set + "/src/data")) {
      std::fprintf(stderr, "cannot copy %s\n", argv[1]);
      return 1;
    }
    if (files) {
      volwriter::Volume volume;
      volume.Set.fill(7);
      volume.VolumeNumber = 1;
      volume.IsLast = true;
      for (int k = 0; k < count; ++k) {
        volwriter::Piece piece;
        piece.FileName = "d" + std::to_string(k / 1000) + "\\f" + std::to_string(k) + ".bin";
        piece.Data = {static_cast<uint8_t>(k)};
        volume.Pieces.push_back(piece);
      }
      if (!volwriter::WriteFileBytes(set + "/src/data.s1", volwriter::EncodeVolume(volume))) {
        std::fprintf(stderr, "cannot write the volume\n");
        return 1;
      }
    }
    for (int k = 1; k <= count && !files; ++k) {
      volwriter::Volume volume;
      volume.Set.fill(7);
      volume.VolumeNumber = k;
      volume.IsLast = k == count;
      volwriter::Piece piece;
      piece.FileName = "joined.bin";
      piece.FileOffset = k - 1;
      piece.Data = {static_cast<uint8_t>(k)};
      volume.Pieces.push_back(piece);
      if (!volwriter::WriteFileBytes(set + "/src/data.s" + std::to_string(k),
                                     volwriter::EncodeVolume(volume))) {
        std::fprintf(stderr, "cannot write the volumes\n");
        return 1;
      }
    }
    const std::string dest = "Z:" + set + "/out";
    double cpu = 0;
    const double seconds = Join(set + "/src/data", dest, cpu);
    std::error_code ec;
    const bool whole =
        files ? fs::exists(set + "/out/d" + std::to_string((count - 1) / 1000) + "/f" +
                           std::to_string(count - 1) + ".bin", ec)
              : fs::file_size(set + "/out/joined.bin", ec) == static_cast<uintmax_t>(count);
    std::printf("%7d %s: %8.2f s (processor %.2f s), %6.1f us per %s%s\n", count,
                files ? "files" : "volumes", seconds, cpu, seconds * 1e6 / count,
                files ? "file" : "volume", whole && seconds >= 0 ? "" : "  (JOIN FAILED)");
    std::fflush(stdout);
    fs::remove_all(set, ec);
  }
  return 0;
}
