// GF(2^16) regions: the portable region kernel (two 256-entry product tables
// per coefficient) and the choice of kernel at run time from the processor's
// feature bits. The field itself (tables, single products) is GF16Field.cpp,
// below this file and the kernels.
#include "par2/GF16.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "par2/GF16Kernels.h"

// ------------------------------------------------------------ portable kernel

namespace {

// Products of one coefficient with every low byte and every high byte.
struct ByteTables {
  uint16_t Low[256];
  uint16_t High[256];
  void Build(uint16_t coef) {
    uint16_t low[8], high[8];
    for (int bit = 0; bit < 8; ++bit) {
      low[bit] = GfMul(coef, static_cast<uint16_t>(1u << bit));
      high[bit] = GfMul(coef, static_cast<uint16_t>(1u << (bit + 8)));
    }
    Low[0] = High[0] = 0;
    for (int bit = 0; bit < 8; ++bit)
      for (int n = 0; n < (1 << bit); ++n) {
        Low[n | (1 << bit)] = static_cast<uint16_t>(Low[n] ^ low[bit]);
        High[n | (1 << bit)] = static_cast<uint16_t>(High[n] ^ high[bit]);
      }
  }
};

inline uint64_t LoadLittle64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

inline void StoreLittle64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint16_t Product(const ByteTables& t, uint32_t word) {
  return static_cast<uint16_t>(t.Low[word & 0xFF] ^ t.High[(word >> 8) & 0xFF]);
}

void MulAddRegion(const ByteTables& t, const uint8_t* src, uint8_t* dst, size_t bytes) {
  size_t n = 0;
  for (; n + 8 <= bytes; n += 8) {
    const uint64_t w = LoadLittle64(src + n);
    const uint64_t p = static_cast<uint64_t>(Product(t, static_cast<uint32_t>(w))) |
                       static_cast<uint64_t>(Product(t, static_cast<uint32_t>(w >> 16))) << 16 |
                       static_cast<uint64_t>(Product(t, static_cast<uint32_t>(w >> 32))) << 32 |
                       static_cast<uint64_t>(Product(t, static_cast<uint32_t>(w >> 48))) << 48;
    StoreLittle64(dst + n, LoadLittle64(dst + n) ^ p);
  }
  for (; n + 2 <= bytes; n += 2) {
    const uint16_t p = Product(t, static_cast<uint32_t>(src[n] | src[n + 1] << 8));
    dst[n] ^= static_cast<uint8_t>(p);
    dst[n + 1] ^= static_cast<uint8_t>(p >> 8);
  }
}

// Tables for at most this many coefficients at once (256 KiB), and regions
// taken in blocks of this many bytes, so that a block of every input stays in
// the second-level cache while each output is summed.
constexpr size_t PortableTables = 256;
constexpr size_t PortableBlock = 8192;

}  // namespace

void GfMatrixPortable(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                      uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  if (inputs == 0 || outputs == 0) return;
  bytes &= ~static_cast<size_t>(1);
  const size_t group = inputs >= PortableTables ? 1 : PortableTables / inputs;
  std::vector<ByteTables> tables(std::min(group, outputs) * std::min(inputs, PortableTables));
  for (size_t firstOut = 0; firstOut < outputs; firstOut += group) {
    const size_t outs = std::min(group, outputs - firstOut);
    for (size_t firstIn = 0; firstIn < inputs; firstIn += PortableTables) {
      const size_t ins = std::min(PortableTables, inputs - firstIn);
      for (size_t o = 0; o < outs; ++o)
        for (size_t i = 0; i < ins; ++i)
          tables[o * ins + i].Build(coefs[(firstOut + o) * inputs + firstIn + i]);
      for (size_t at = 0; at < bytes; at += PortableBlock) {
        const size_t n = std::min(PortableBlock, bytes - at);
        for (size_t o = 0; o < outs; ++o)
          for (size_t i = 0; i < ins; ++i)
            MulAddRegion(tables[o * ins + i], srcs[firstIn + i] + offset + at,
                         dsts[firstOut + o] + offset + at, n);
      }
    }
  }
}

// ------------------------------------------------------------ kernel choice

namespace {

struct KernelEntry {
  const char* Name;
  GfMatrixKernel Function;
};

const KernelEntry Kernels[GfKernelCount] = {
    {"portable", GfMatrixPortable},
#if PAR2_SIMD_KERNELS
    {"ssse3", GfMatrixSsse3},
    {"avx2", GfMatrixAvx2},
    {"avx512bw", GfMatrixAvx512},
    {"gfni-avx2", GfMatrixGfniAvx2},
    {"gfni-avx512", GfMatrixGfniAvx512},
#else
    {"ssse3", nullptr},
    {"avx2", nullptr},
    {"avx512bw", nullptr},
    {"gfni-avx2", nullptr},
    {"gfni-avx512", nullptr},
#endif
};

bool ProcessorRuns(GfKernel kernel) {
#if PAR2_GF_X86
  __builtin_cpu_init();
  switch (kernel) {
    case GfKernel::Portable:
      return true;
    case GfKernel::Ssse3:
      return __builtin_cpu_supports("ssse3");
    case GfKernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case GfKernel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case GfKernel::GfniAvx2:
      return __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx2");
    case GfKernel::GfniAvx512:
      return __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw");
  }
  return false;
#else
  return kernel == GfKernel::Portable;
#endif
}

// Fastest first: the order a processor's kernels are preferred in.
const GfKernel Preference[GfKernelCount] = {GfKernel::GfniAvx512, GfKernel::GfniAvx2,
                                            GfKernel::Avx512,     GfKernel::Avx2,
                                            GfKernel::Ssse3,      GfKernel::Portable};

GfKernel FastestKernel() {
  static const GfKernel fastest = [] {
    for (GfKernel k : Preference)
      if (GfKernelAvailable(k)) return k;
    return GfKernel::Portable;
  }();
  return fastest;
}

std::atomic<int> Forced{-1};

GfKernel Active() {
  const int forced = Forced.load(std::memory_order_relaxed);
  return forced >= 0 ? static_cast<GfKernel>(forced) : FastestKernel();
}

}  // namespace

const char* GfKernelName(GfKernel kernel) { return Kernels[static_cast<int>(kernel)].Name; }

GfKernel GfActiveKernel() { return Active(); }

const char* GfKernelName() { return GfKernelName(Active()); }

bool GfKernelAvailable(GfKernel kernel) {
  const int k = static_cast<int>(kernel);
  if (k < 0 || k >= GfKernelCount || Kernels[k].Function == nullptr) return false;
  static const auto runs = [] {
    std::vector<bool> r(GfKernelCount);
    for (int i = 0; i < GfKernelCount; ++i) r[i] = ProcessorRuns(static_cast<GfKernel>(i));
    return r;
  }();
  return runs[k];
}

bool GfForceKernel(GfKernel kernel) {
  if (!GfKernelAvailable(kernel)) return false;
  Forced.store(static_cast<int>(kernel));
  return true;
}

void GfResetKernel() { Forced.store(-1); }

namespace {

constexpr size_t SmallWork = 256;  // bytes per (input, output) pair

}  // namespace

void GfMulAddMatrix(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                    uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  bytes &= ~static_cast<size_t>(1);
  if (bytes <= SmallWork && Active() != GfKernel::Portable) {
    GfMatrixByLogs(coefs, srcs, inputs, dsts, outputs, offset, bytes);
    return;
  }
  Kernels[static_cast<int>(Active())].Function(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}

void GfMulAdd(uint16_t coef, const uint8_t* src, uint8_t* dst, size_t bytes) {
  GfMulAddMatrix(&coef, &src, 1, &dst, 1, 0, bytes);
}

void GfMulAddMulti(const uint16_t* coefs, uint8_t* const* dsts, size_t count, const uint8_t* src,
                   size_t bytes) {
  GfMulAddMatrix(coefs, &src, 1, dsts, count, 0, bytes);
}
