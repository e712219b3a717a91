// Throughput of every CRC-32 path this processor can run, against the
// byte-at-a-time reference, in two settings:
//   memory  one 64 MiB buffer, read from main memory on every pass
//   cache   a 64 KiB buffer run through again and again: data that was just
//           read into a copy buffer, as in a join
// Each figure is the median of several runs. The last line is the speed-up of
// UpdateCrc32 over the byte loop in the memory setting, "ratio N.N". Exits 1
// when the paths disagree.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "CRC32/CRC32.h"

namespace {

constexpr size_t MemoryBuffer = 64 * 1024 * 1024;
constexpr size_t CacheBuffer = 64 * 1024;
constexpr int Runs = 5;

struct Measurement {
  double GigabytesPerSecond;
  uint32_t Crc;
};

// passes runs of the buffer make up one timed run.
Measurement Measure(Crc32Path path, const std::vector<uint8_t>& data, size_t bytesPerRun) {
  const size_t passes = std::max<size_t>(1, bytesPerRun / data.size());
  std::vector<double> seconds;
  uint32_t crc = 0;
  for (int run = 0; run < Runs; ++run) {
    const auto begin = std::chrono::steady_clock::now();
    for (size_t pass = 0; pass < passes; ++pass)
      UpdateCrc32On(path, data.data(), static_cast<int32_t>(data.size()), crc, true, true);
    const auto end = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(end - begin).count());
  }
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[seconds.size() / 2];
  return {static_cast<double>(data.size() * passes) / median / 1e9, crc};
}

std::vector<uint8_t> RandomBytes(size_t size) {
  std::vector<uint8_t> data(size);
  std::mt19937 random(12345);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  return data;
}

}  // namespace

int main() {
  const std::vector<uint8_t> memory = RandomBytes(MemoryBuffer);
  const std::vector<uint8_t> cache = RandomBytes(CacheBuffer);
  const Crc32Path fastest = Crc32FastestPath();

  std::printf("GB/s, median of %d runs; memory: %zu MiB buffer, cache: %zu KiB buffer\n", Runs,
              MemoryBuffer >> 20, CacheBuffer >> 10);
  std::printf("%-20s %8s %8s\n", "path", "memory", "cache");
  bool agree = true;
  double bytewiseSpeed = 0, fastestSpeed = 0;
  uint32_t memoryCrc = 0, cacheCrc = 0;
  for (Crc32Path path : {Crc32Path::Bytewise, Crc32Path::Sliced, Crc32Path::Clmul}) {
    if (!Crc32PathAvailable(path)) {
      std::printf("%-20s %8s %8s\n", Crc32PathName(path), "-", "-");
      continue;
    }
    // The byte loop is slow: a smaller share of data keeps the run short.
    const size_t perRun = path == Crc32Path::Bytewise ? MemoryBuffer : 4 * MemoryBuffer;
    const Measurement m = Measure(path, memory, MemoryBuffer);
    const Measurement c = Measure(path, cache, perRun);
    std::printf("%-20s %8.2f %8.2f%s\n", Crc32PathName(path), m.GigabytesPerSecond,
                c.GigabytesPerSecond, path == fastest ? "  (UpdateCrc32)" : "");
    if (path == Crc32Path::Bytewise) {
      memoryCrc = m.Crc;
      cacheCrc = c.Crc;
      bytewiseSpeed = m.GigabytesPerSecond;
    } else if (m.Crc != memoryCrc || c.Crc != cacheCrc) {
      std::printf("MISMATCH: %s disagrees with the byte loop\n", Crc32PathName(path));
      agree = false;
    }
    if (path == fastest) fastestSpeed = m.GigabytesPerSecond;
  }
  if (!agree) return 1;
  std::printf("ratio %.1f\n", fastestSpeed / bytewiseSpeed);
  return 0;
}
