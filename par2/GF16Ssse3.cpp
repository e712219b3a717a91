// GF(2^16) region kernel with 16-entry table lookups (pshufb) on 128-bit
// registers; compiled for SSSE3, run only where it exists.
#include <tmmintrin.h>

#include "par2/GF16Nibble.h"

namespace {

struct Sse {
  using Reg = __m128i;
  static Reg Load(const uint8_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
  static Reg LoadU(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void Store(uint8_t* p, Reg v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); }
  static void StoreU(uint8_t* p, Reg v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  static Reg Broadcast16(const uint8_t* p) { return LoadU(p); }
  static Reg Shuffle(Reg table, Reg index) { return _mm_shuffle_epi8(table, index); }
  static Reg Xor(Reg a, Reg b) { return _mm_xor_si128(a, b); }
  static Reg Xor3(Reg a, Reg b, Reg c) { return _mm_xor_si128(a, _mm_xor_si128(b, c)); }
  static Reg And(Reg a, Reg b) { return _mm_and_si128(a, b); }
  static Reg Srl4(Reg a) { return _mm_srli_epi16(a, 4); }
  static Reg UnpackLo64(Reg a, Reg b) { return _mm_unpacklo_epi64(a, b); }
  static Reg UnpackHi64(Reg a, Reg b) { return _mm_unpackhi_epi64(a, b); }
  static Reg Set1(char v) { return _mm_set1_epi8(v); }
  static Reg Zero() { return _mm_setzero_si128(); }
};

}  // namespace

void GfMatrixSsse3(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                   uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  RunMatrix<Nibble<Sse, 2>>(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}
