// Throughput of UpdateCrc32 against the byte-at-a-time reference on a 64 MiB
// buffer (the sliced table loop is shown as well). Each figure is the median of several runs; the last line is the
// speed-up, "ratio N.N".
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "CRC32/CRC32.h"

namespace {

constexpr int32_t BufferSize = 64 * 1024 * 1024;
constexpr int Runs = 5;

using CrcRoutine = void (*)(const void*, int32_t, uint32_t&, bool, bool);

struct Measurement {
  double GigabytesPerSecond;
  uint32_t Crc;
};

Measurement Measure(CrcRoutine routine, const std::vector<uint8_t>& data) {
  std::vector<double> seconds;
  uint32_t crc = 0;
  for (int run = 0; run < Runs; ++run) {
    const auto begin = std::chrono::steady_clock::now();
    routine(data.data(), static_cast<int32_t>(data.size()), crc, true, true);
    const auto end = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(end - begin).count());
  }
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[seconds.size() / 2];
  return {static_cast<double>(data.size()) / median / 1e9, crc};
}

}  // namespace

int main() {
  std::vector<uint8_t> data(BufferSize);
  std::mt19937 random(12345);
  for (auto& b : data) b = static_cast<uint8_t>(random());

  const Measurement bytewise = Measure(UpdateCrc32Bytewise, data);
  const Measurement sliced = Measure(UpdateCrc32Sliced, data);
  const Measurement fast = Measure(UpdateCrc32, data);

  std::printf("buffer %d MiB, median of %d runs\n", BufferSize / (1024 * 1024), Runs);
  std::printf("byte-wise    %6.2f GB/s  crc %08X\n", bytewise.GigabytesPerSecond,
              static_cast<unsigned>(bytewise.Crc));
  std::printf("sliced       %6.2f GB/s  crc %08X\n", sliced.GigabytesPerSecond,
              static_cast<unsigned>(sliced.Crc));
  std::printf("UpdateCrc32  %6.2f GB/s  crc %08X  (%s)\n", fast.GigabytesPerSecond,
              static_cast<unsigned>(fast.Crc),
              Crc32UsesFolding() ? "carry-less multiply" : "sliced");
  if (bytewise.Crc != fast.Crc || bytewise.Crc != sliced.Crc) {
    std::printf("MISMATCH: the two routines disagree\n");
    return 1;
  }
  std::printf("ratio %.1f\n", fast.GigabytesPerSecond / bytewise.GigabytesPerSecond);
  return 0;
}
