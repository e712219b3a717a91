// Arithmetic in GF(2^16) with generator polynomial x^16 + x^12 + x^3 + x + 1
// (0x1100B), the field of the recovery data: single products, and regions of
// little-endian 16-bit words multiplied by a constant and added (exclusive or)
// into other regions. The region routines pick the fastest kernel this
// processor runs, once; every kernel gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t GfPolynomial = 0x1100B;
constexpr uint32_t GfOrder = 65535;  // nonzero elements; 2 generates them all

uint16_t GfMul(uint16_t a, uint16_t b);
// a / b; b must not be 0 (GfDiv(a, 0) returns 0).
uint16_t GfDiv(uint16_t a, uint16_t b);
// 1 / a; a must not be 0 (GfInv(0) returns 0).
uint16_t GfInv(uint16_t a);
// a raised to n (0^0 is 1).
uint16_t GfPow(uint16_t a, uint32_t n);
// 2 raised to n, and the n with 2^n == a (a nonzero), n in [0, 65535).
uint16_t GfExp(uint32_t n);
uint32_t GfLog(uint16_t a);

// dst ^= coef * src over bytes / 2 little-endian words (bytes even; an odd
// last byte is left alone). src and dst may not overlap unless equal.
void GfMulAdd(uint16_t coef, const uint8_t* src, uint8_t* dst, size_t bytes);

// dsts[k] ^= coefs[k] * src for k < count, in one pass over src: the region
// is taken in cache-sized blocks, each read once for all outputs.
void GfMulAddMulti(const uint16_t* coefs, uint8_t* const* dsts, size_t count, const uint8_t* src,
                   size_t bytes);

// The general form the recovery engine runs: for every output o and input i,
// dsts[o][offset..offset+bytes) ^= coefs[o * inputs + i] * srcs[i][same].
// offset and bytes even.
void GfMulAddMatrix(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                    uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);

// The kernels, slowest first. Portable is plain C++ (8-bit tables) and runs
// anywhere; the others need the x86 extensions in their names: 4-bit tables
// in pshufb over 128, 256 and 512-bit registers, and GF(2)-affine byte maps
// (GFNI) over 256 and 512-bit registers.
enum class GfKernel { Portable, Ssse3, Avx2, Avx512, GfniAvx2, GfniAvx512 };
constexpr int GfKernelCount = 6;

const char* GfKernelName(GfKernel kernel);
// The kernel in use.
GfKernel GfActiveKernel();
const char* GfKernelName();
// Whether this processor (and this build) can run kernel.
bool GfKernelAvailable(GfKernel kernel);
// Makes kernel the one in use (for the tests and the benchmark); false, and
// no change, when it is not available. Not to be called while region
// routines run on other threads.
bool GfForceKernel(GfKernel kernel);
// Back to the fastest one.
void GfResetKernel();
