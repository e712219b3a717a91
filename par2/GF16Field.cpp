// GF(2^16) over 0x1100B, the field itself: logarithm and power tables,
// single products, the nibble products the vector kernels build their
// constants from, and regions through the logarithm tables. It calls nothing
// above it: GF16.cpp and the kernel files stand on it.
#include <cstring>

#include "par2/GF16.h"
#include "par2/GF16Kernels.h"

namespace {

struct Tables {
  // Exp holds two periods so that Exp[Log a + Log b] needs no reduction.
  uint16_t Exp[2 * GfOrder + 2];
  uint32_t Log[65536];
  Tables() {
    uint32_t x = 1;
    for (uint32_t n = 0; n < GfOrder; ++n) {
      Exp[n] = Exp[n + GfOrder] = static_cast<uint16_t>(x);
      Log[x] = n;
      x <<= 1;
      if (x & 0x10000u) x ^= GfPolynomial;
    }
    Exp[2 * GfOrder] = Exp[2 * GfOrder + 1] = 0;
    Log[0] = 0;
  }
};

const Tables& Field() {
  static const Tables* tables = new Tables();  // never freed: used up to exit
  return *tables;
}

}  // namespace

uint16_t GfMul(uint16_t a, uint16_t b) {
  if (a == 0 || b == 0) return 0;
  const Tables& t = Field();
  return t.Exp[t.Log[a] + t.Log[b]];
}

uint16_t GfDiv(uint16_t a, uint16_t b) {
  if (a == 0 || b == 0) return 0;
  const Tables& t = Field();
  return t.Exp[t.Log[a] + GfOrder - t.Log[b]];
}

uint16_t GfInv(uint16_t a) { return GfDiv(1, a); }

uint16_t GfPow(uint16_t a, uint32_t n) {
  if (n == 0) return 1;
  if (a == 0) return 0;
  const Tables& t = Field();
  return t.Exp[(static_cast<uint64_t>(t.Log[a]) * n) % GfOrder];
}

uint16_t GfExp(uint32_t n) { return Field().Exp[n % GfOrder]; }

uint32_t GfLog(uint16_t a) { return Field().Log[a]; }

void GfNibbleProducts(uint16_t coef, uint16_t out[4][16]) {
  for (int k = 0; k < 4; ++k) {
    out[k][0] = 0;
    for (int bit = 0; bit < 4; ++bit) {
      const uint16_t p = GfMul(coef, static_cast<uint16_t>(1u << (4 * k + bit)));
      for (int n = 0; n < (1 << bit); ++n)
        out[k][n | (1 << bit)] = static_cast<uint16_t>(out[k][n] ^ p);
    }
  }
}

// Products one word at a time through the logarithm tables: for work too
// small to repay a kernel's tables or constants (rows of a matrix being
// inverted, say).
void GfMatrixByLogs(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                    uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  const Tables& t = Field();
  for (size_t o = 0; o < outputs; ++o)
    for (size_t i = 0; i < inputs; ++i) {
      const uint16_t coef = coefs[o * inputs + i];
      if (coef == 0) continue;
      const uint32_t logCoef = t.Log[coef];
      const uint8_t* src = srcs[i] + offset;
      uint8_t* dst = dsts[o] + offset;
      for (size_t n = 0; n + 1 < bytes; n += 2) {
        const uint16_t w = static_cast<uint16_t>(src[n] | src[n + 1] << 8);
        if (w == 0) continue;
        const uint16_t p = t.Exp[logCoef + t.Log[w]];
        dst[n] ^= static_cast<uint8_t>(p);
        dst[n + 1] ^= static_cast<uint8_t>(p >> 8);
      }
    }
}
