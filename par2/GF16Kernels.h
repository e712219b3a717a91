// The region kernels behind GF16.h, for GF16.cpp and the kernel files: one
// function per kernel with the GfMulAddMatrix contract, and the field tables
// they build their constants from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "par2/GF16.h"

using GfMatrixKernel = void (*)(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                                uint8_t* const* dsts, size_t outputs, size_t offset,
                                size_t bytes);

void GfMatrixPortable(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                      uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);

#if defined(__x86_64__) || defined(__i386__)
#define PAR2_GF_X86 1
void GfMatrixSsse3(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                   uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);
void GfMatrixAvx2(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                  uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);
void GfMatrixAvx512(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                    uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);
void GfMatrixGfniAvx2(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                      uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);
void GfMatrixGfniAvx512(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                        uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);
#else
#define PAR2_GF_X86 0
#endif

// The product of coef with every 16-bit value that has one nonzero nibble:
// Nibble(coef)[k][n] = coef * (n << 4k).
void GfNibbleProducts(uint16_t coef, uint16_t out[4][16]);

// The GfMulAddMatrix contract one word at a time through the logarithm
// tables: for work too small to repay a kernel's tables or constants.
void GfMatrixByLogs(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                    uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes);
