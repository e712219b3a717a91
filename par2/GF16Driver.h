// The loop shared by the SIMD region kernels, included by each kernel's own
// file (compiled for that instruction set). Everything here has internal
// linkage, so that no function compiled for one instruction set can be
// picked by the linker for code that runs on processors without it.
//
// A kernel K works on units of K::UnitBytes bytes of the region:
//   K::Prepare(src, prep)        one unit of an input in the form the
//                                products are made from (K::PrepBytes)
//   K::Build(coef, data)         a coefficient's constants (K::CoefBytes)
//   K::Acc, K::Zero(), K::Load(data) -> K::Coef
//   K::MulAdd(acc, prep, coef)   acc += coef * unit
//   K::Store(acc, dst)           dst ^= acc, back in the region's layout
// The region is taken in blocks whose prepared inputs fit in the first-level
// cache; for each output, R units at a time are summed over every input in
// registers and added to the output once. A last part shorter than a unit is
// run through the same code from zero-padded copies.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "par2/GF16.h"
#include "par2/GF16Kernels.h"

namespace {

inline size_t Smaller(size_t a, size_t b) { return a < b ? a : b; }

// Aligned scratch memory from malloc.
struct Scratch {
  void* Raw = nullptr;
  uint8_t* Data = nullptr;
  explicit Scratch(size_t bytes) {
    Raw = std::malloc(bytes + 64);
    if (Raw == nullptr) std::abort();
    Data = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(Raw) + 63) & ~uintptr_t{63});
  }
  ~Scratch() { std::free(Raw); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
};

// Bytes of prepared input a block may take (with the outputs' block and the
// coefficients it stays in the first-level cache), and how many outputs ahead
// an output's block is fetched. Both measured on the encoder's step (64
// inputs, 103 outputs): prefetching the outputs and the next block of the
// inputs saved a fifth of the time.
constexpr size_t PrepBudget = 16 * 1024;
constexpr size_t PrefetchOutputsAhead = 2;

template <class K, int R>
inline void Tile(const uint8_t* coefData, const uint8_t* prep, size_t inputStride, size_t inputs,
                 uint8_t* dst) {
  typename K::Acc acc[R];
  for (int r = 0; r < R; ++r) acc[r] = K::Zero();
  for (size_t i = 0; i < inputs; ++i) {
    const typename K::Coef coef = K::Load(coefData + i * K::CoefBytes);
    const uint8_t* p = prep + i * inputStride;
    for (int r = 0; r < R; ++r) K::MulAdd(acc[r], p + r * K::PrepBytes, coef);
  }
  for (int r = 0; r < R; ++r) K::Store(acc[r], dst + r * K::UnitBytes);
}

template <class K>
void RunMatrix(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
               uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  constexpr size_t U = K::UnitBytes;
  constexpr size_t P = K::PrepBytes;
  constexpr int R = K::Tile;
  if (inputs == 0 || outputs == 0 || bytes < 2) return;
  const size_t units = bytes / U;
  const size_t tail = bytes - units * U;

  Scratch coefData(outputs * inputs * K::CoefBytes);
  for (size_t k = 0; k < outputs * inputs; ++k) K::Build(coefs[k], coefData.Data + k * K::CoefBytes);

  size_t blockUnits = PrepBudget / (inputs * P);
  blockUnits = blockUnits < static_cast<size_t>(R) ? R : blockUnits / R * R;
  blockUnits = Smaller(blockUnits, Smaller(units + (tail ? 1 : 0), 256));
  if (blockUnits == 0) blockUnits = 1;
  const size_t stride = blockUnits * P;
  Scratch prep(inputs * stride);

  for (size_t first = 0; first < units; first += blockUnits) {
    const size_t n = Smaller(blockUnits, units - first);
    const size_t at = offset + first * U;
    for (size_t i = 0; i < inputs; ++i)
      for (size_t u = 0; u < n; ++u) K::Prepare(srcs[i] + at + u * U, prep.Data + i * stride + u * P);
    // The inputs' next block, and the outputs' blocks a little ahead of use.
    for (size_t i = 0; i < inputs && first + n < units; ++i)
      for (size_t b = 0; b < Smaller(blockUnits, units - first - n) * U; b += 64)
        __builtin_prefetch(srcs[i] + at + n * U + b);
    for (size_t o = 0; o < Smaller(PrefetchOutputsAhead, outputs); ++o)
      for (size_t b = 0; b < n * U; b += 64) __builtin_prefetch(dsts[o] + at + b, 1);
    for (size_t o = 0; o < outputs; ++o) {
      const uint8_t* cd = coefData.Data + o * inputs * K::CoefBytes;
      uint8_t* d = dsts[o] + at;
      if (o + PrefetchOutputsAhead < outputs)
        for (size_t b = 0; b < n * U; b += 64)
          __builtin_prefetch(dsts[o + PrefetchOutputsAhead] + at + b, 1);
      size_t u = 0;
      for (; u + R <= n; u += R) Tile<K, R>(cd, prep.Data + u * P, stride, inputs, d + u * U);
      for (; u < n; ++u) Tile<K, 1>(cd, prep.Data + u * P, stride, inputs, d + u * U);
    }
  }
  if (tail >= 2) {
    const size_t at = offset + units * U;
    const size_t even = tail & ~static_cast<size_t>(1);
    alignas(64) uint8_t unit[U];
    for (size_t i = 0; i < inputs; ++i) {
      std::memset(unit, 0, U);
      std::memcpy(unit, srcs[i] + at, even);
      K::Prepare(unit, prep.Data + i * stride);
    }
    for (size_t o = 0; o < outputs; ++o) {
      std::memset(unit, 0, U);
      Tile<K, 1>(coefData.Data + o * inputs * K::CoefBytes, prep.Data, stride, inputs, unit);
      for (size_t b = 0; b < even; ++b) dsts[o][at + b] ^= unit[b];
    }
  }
}

// The 8x8 bit matrix of a coefficient for GF(2)-affine byte maps: the
// product's byte `out` from the factor's byte `in`, as gf2p8affineqb takes it
// (the row for result bit i in byte 7 - i). Gathered by columns (byte j:
// what input bit j gives), then transposed and put in that byte order.
inline uint64_t AffineBlock(const uint16_t columns[16], int out, int in) {
  uint64_t x = 0;
  for (int j = 0; j < 8; ++j)
    x |= static_cast<uint64_t>((columns[8 * in + j] >> (8 * out)) & 0xFF) << (8 * j);
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return __builtin_bswap64(x);
}

// 32 bytes: {low from low, high from high}, then {low from high, high from
// low}, for 128-bit lanes whose first half holds low bytes and second half
// high bytes.
inline void BuildAffine(uint16_t coef, uint8_t* data) {
  uint16_t columns[16];  // coef * x^j
  uint32_t c = coef;
  for (int j = 0; j < 16; ++j) {
    columns[j] = static_cast<uint16_t>(c);
    c <<= 1;
    if (c & 0x10000u) c ^= GfPolynomial;
  }
  const uint64_t m[4] = {AffineBlock(columns, 0, 0), AffineBlock(columns, 1, 1),
                         AffineBlock(columns, 0, 1), AffineBlock(columns, 1, 0)};
  std::memcpy(data, m, sizeof m);
}

// The same with the second pair crossed, {high from low, low from high}: for
// kernels that exchange the halves of the sum instead of the factor's.
inline void BuildAffineCrossed(uint16_t coef, uint8_t* data) {
  BuildAffine(coef, data);
  uint64_t m[4];
  std::memcpy(m, data, sizeof m);
  const uint64_t lowFromHigh = m[2];
  m[2] = m[3];
  m[3] = lowFromHigh;
  std::memcpy(data, m, sizeof m);
}

// 128 bytes: for each nibble k of the factor, the low bytes of the products
// with its 16 values, then for each k the high bytes.
inline void BuildNibbleTables(uint16_t coef, uint8_t* data) {
  uint16_t p[4][16];
  GfNibbleProducts(coef, p);
  for (int k = 0; k < 4; ++k)
    for (int n = 0; n < 16; ++n) {
      data[16 * k + n] = static_cast<uint8_t>(p[k][n]);
      data[64 + 16 * k + n] = static_cast<uint8_t>(p[k][n] >> 8);
    }
}

}  // namespace
