// GF(2^16) region kernel with 16-entry table lookups (vpshufb) on 512-bit
// registers; compiled for AVX-512BW, run only where it exists.
// GCC 12's AVX-512 headers set some registers from themselves, which its
// own uninitialised-use warning reports inside the headers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "par2/GF16Nibble.h"

namespace {

struct Avx512 {
  using Reg = __m512i;
  static Reg Load(const uint8_t* p) { return _mm512_load_si512(p); }
  static Reg LoadU(const uint8_t* p) { return _mm512_loadu_si512(p); }
  static void Store(uint8_t* p, Reg v) { _mm512_store_si512(p, v); }
  static void StoreU(uint8_t* p, Reg v) { _mm512_storeu_si512(p, v); }
  static Reg Broadcast16(const uint8_t* p) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static Reg Shuffle(Reg table, Reg index) { return _mm512_shuffle_epi8(table, index); }
  static Reg Xor(Reg a, Reg b) { return _mm512_xor_si512(a, b); }
  static Reg Xor3(Reg a, Reg b, Reg c) { return _mm512_ternarylogic_epi64(a, b, c, 0x96); }
  static Reg And(Reg a, Reg b) { return _mm512_and_si512(a, b); }
  static Reg Srl4(Reg a) { return _mm512_srli_epi16(a, 4); }
  static Reg UnpackLo64(Reg a, Reg b) { return _mm512_unpacklo_epi64(a, b); }
  static Reg UnpackHi64(Reg a, Reg b) { return _mm512_unpackhi_epi64(a, b); }
  static Reg Set1(char v) { return _mm512_set1_epi8(v); }
  static Reg Zero() { return _mm512_setzero_si512(); }
};

}  // namespace

void GfMatrixAvx512(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                    uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  RunMatrix<Nibble<Avx512, 2>>(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}
