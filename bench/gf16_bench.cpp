// Throughput of the recovery data's arithmetic on this processor:
//   GfMulAdd       one 64 KiB region times a constant into another, again and
//                  again (from cache)
//   GfMulAddMulti  one 1 MiB region into 16 outputs (GB/s of source times
//                  outputs)
//   matrix         64 inputs into 32 outputs of 256 KiB (the encoder's step)
// for every kernel; MD5 of one stream and of many streams in lanes for every
// lane kernel (and OpenSSL's MD5 where the build found libcrypto); then the
// encoder: 1 GiB in 1 MiB slices into 10% recovery slices (103) on two
// threads, and the decoder: 128 lost slices (one volume of eight) rebuilt
// from the other 896 and 128 recovery slices.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "par2/GF16.h"
#include "par2/MD5.h"
#include "par2/ReedSolomon.h"

#ifdef PAR2_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

// Processor time of this thread, or of the whole process: figures that hold
// when other programs share the processors.
double ThreadCpu() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double ProcessCpu() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937_64 random(seed);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t x = random();
    std::memcpy(&v[i], &x, 8);
  }
  return v;
}

// Best of several runs of work, each bytes long, on this thread's processor
// time: GB/s.
template <class F>
double Rate(double bytes, F work, int runs = 5) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double begin = ThreadCpu();
    work();
    best = std::min(best, ThreadCpu() - begin);
  }
  return bytes / best / 1e9;
}

void FieldKernels() {
  std::printf("GF(2^16) kernels (GB/s of source bytes x outputs per second of processor time, best of 5):\n");
  std::printf("  %-12s %10s %14s %10s\n", "kernel", "GfMulAdd", "GfMulAddMulti", "matrix");
  const std::vector<uint8_t> small = RandomBytes(64 << 10, 1);
  std::vector<uint8_t> smallOut(64 << 10);
  const std::vector<uint8_t> big = RandomBytes(1 << 20, 2);
  std::vector<std::vector<uint8_t>> outs(32, std::vector<uint8_t>(1 << 20));
  std::vector<uint8_t*> outPointers;
  for (auto& o : outs) outPointers.push_back(o.data());
  std::vector<std::vector<uint8_t>> ins(64);
  std::vector<const uint8_t*> inPointers;
  for (size_t i = 0; i < ins.size(); ++i) {
    ins[i] = RandomBytes(256 << 10, 10 + static_cast<uint32_t>(i));
    inPointers.push_back(ins[i].data());
  }
  std::vector<uint16_t> coefs(64 * 32);
  std::mt19937 random(3);
  for (auto& c : coefs) c = static_cast<uint16_t>(random() | 1);
  for (int k = 0; k < GfKernelCount; ++k) {
    if (!GfForceKernel(static_cast<GfKernel>(k))) continue;
    const int repeat = k == 0 ? 20 : 200;
    const double single = Rate(double(small.size()) * repeat, [&] {
      for (int n = 0; n < repeat; ++n) GfMulAdd(0x1234, small.data(), smallOut.data(), small.size());
    });
    const double multi = Rate(double(big.size()) * 16 * (k == 0 ? 1 : 4), [&] {
      for (int n = 0; n < (k == 0 ? 1 : 4); ++n)
        GfMulAddMulti(coefs.data(), outPointers.data(), 16, big.data(), big.size());
    });
    const double matrix = Rate(double(256 << 10) * 64 * 32, [&] {
      GfMulAddMatrix(coefs.data(), inPointers.data(), 64, outPointers.data(), 32, 0, 256 << 10);
    }, k == 0 ? 1 : 5);
    std::printf("  %-12s %10.2f %14.2f %10.2f\n", GfKernelName(), single, multi, matrix);
  }
  GfResetKernel();
}

void HashKernels() {
  const std::vector<uint8_t> data = RandomBytes(64 << 20, 4);
  std::printf("MD5 (GB/s of processor time, best of 5):\n");
  std::printf("  %-22s %8.2f\n", "one stream (64 MiB)", Rate(double(data.size()), [&] {
                Md5(data.data(), data.size());
              }));
#ifdef PAR2_BENCH_OPENSSL
  std::printf("  %-22s %8.2f\n", "OpenSSL EVP one stream", Rate(double(data.size()), [&] {
                unsigned char out[16];
                unsigned int length = 0;
                EVP_Digest(data.data(), data.size(), out, &length, EVP_md5(), nullptr);
              }));
#endif
  // 64 streams of 1 MiB: the slices of a group.
  std::vector<const uint8_t*> streams;
  for (size_t i = 0; i < 64; ++i) streams.push_back(data.data() + i * (1 << 20));
  std::vector<Md5Digest> out(64);
  for (int k = 0; k < Md5KernelCount; ++k) {
    if (!Md5ForceKernel(static_cast<Md5Kernel>(k))) continue;
    char label[64];
    std::snprintf(label, sizeof label, "%s, %zu lanes", Md5KernelName(static_cast<Md5Kernel>(k)),
                  Md5KernelLanes(static_cast<Md5Kernel>(k)));
    std::printf("  %-22s %8.2f\n", label, Rate(64.0 * (1 << 20), [&] {
                  Md5Many(streams.data(), 64, 1 << 20, out.data());
                }));
  }
  Md5ResetKernel();
}

void Coding() {
  constexpr size_t Slice = 1 << 20;
  constexpr size_t Inputs = 1024;
  constexpr size_t Recovery = 103;  // 10% of 1024 slices, rounded up
  // 64 MiB of data stands for the 1 GiB: each slice is one of 64.
  const std::vector<uint8_t> data = RandomBytes(64 * Slice, 5);
  std::vector<uint32_t> exponents(Recovery);
  for (uint32_t e = 0; e < Recovery; ++e) exponents[e] = e;
  std::printf("Reed-Solomon on %s, 1 MiB slices, 2 threads:\n", GfKernelName());
  {
    const auto begin = Clock::now();
    const double cpu = ProcessCpu();
    RecoveryEncoder encoder(Slice, exponents, 2);
    for (uint32_t i = 0; i < Inputs; ++i) encoder.Add(i, data.data() + (i % 64) * Slice, Slice);
    encoder.Finish();
    const double s = Seconds(begin);
    std::printf("  encode 1 GiB into %zu recovery slices: %.3f s, %.3f s of processor time, memory %.0f MiB\n",
                Recovery, s, ProcessCpu() - cpu, encoder.MemoryBytes() / 1048576.0);
  }
  {
    // As parcel split -r would: eight volumes read a slice of each in turn,
    // the slices' checksums and the volumes' digests made beside the sums.
    const auto begin = Clock::now();
    const double cpu = ProcessCpu();
    SliceAccumulator::Options options;
    options.Threads = 2;
    options.Checksums = true;
    options.Streams = 8;
    RecoveryEncoder encoder(Slice, exponents, options);
    for (uint32_t round = 0; round < Inputs / 8; ++round)
      for (uint32_t v = 0; v < 8; ++v) {
        const uint32_t i = v * (Inputs / 8) + round;
        encoder.Add(i, data.data() + (i % 64) * Slice, Slice, v);
      }
    encoder.Finish();
    const double s = Seconds(begin);
    std::printf("  the same with slice MD5s and CRCs and 8 file MD5s: %.3f s, %.3f s of processor time\n",
                s, ProcessCpu() - cpu);
  }
  {
    constexpr size_t Lost = 128;
    std::vector<uint32_t> missing(Lost), available(Lost);
    for (uint32_t m = 0; m < Lost; ++m) {
      missing[m] = 3 * 128 + m;  // the fourth volume of eight
      available[m] = m;
    }
    const std::vector<uint8_t> recovery = RandomBytes(Slice, 6);  // content does not matter here
    const auto begin = Clock::now();
    const double cpu = ProcessCpu();
    RecoveryDecoder decoder(Slice, 2);
    if (decoder.Plan(missing, available) != RecoveryDecoder::PlanResult::Ready) {
      std::printf("  plan failed\n");
      return;
    }
    const double plan = Seconds(begin);
    for (uint32_t e : decoder.UsedExponents()) decoder.AddRecovery(e, recovery.data(), Slice);
    for (uint32_t i = 0; i < Inputs; ++i)
      if (i < missing.front() || i > missing.back())
        decoder.AddInput(i, data.data() + (i % 64) * Slice, Slice);
    decoder.Finish();
    const double s = Seconds(begin);
    std::printf("  rebuild %zu of %zu slices from %zu recovery slices: %.3f s (plan %.3f s), %.3f s of processor time, memory %.0f MiB\n",
                Lost, Inputs, Lost, s, plan, ProcessCpu() - cpu, decoder.MemoryBytes() / 1048576.0);
  }
}

}  // namespace

int main() {
  FieldKernels();
  HashKernels();
  Coding();
  return 0;
}
