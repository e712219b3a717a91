// GF(2^16) region kernel with GF(2)-affine byte maps (GFNI) on 512-bit
// registers; compiled for AVX-512BW and GFNI, run only where both exist.
//
// Each 128-bit lane of an input is rearranged once into its eight words' low
// bytes followed by their high bytes. A product is then two affine maps (low
// and high result bytes from the same half, and from the other half after
// exchanging the halves) and one three-way exclusive or.
// GCC 12's AVX-512 headers set some registers from themselves, which its
// own uninitialised-use warning reports inside the headers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "par2/GF16Driver.h"

namespace {

struct GfniAvx512 {
  static constexpr size_t UnitBytes = 64, PrepBytes = 64, CoefBytes = 32;
  static constexpr int Tile = 8;
  using Acc = __m512i;
  struct Coef {
    __m512i Same, Other;
  };
  static __m512i Split() {
    return _mm512_broadcast_i32x4(_mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
  }
  static __m512i Join() {
    return _mm512_broadcast_i32x4(_mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
  }
  static void Build(uint16_t coef, uint8_t* data) { BuildAffine(coef, data); }
  static Acc Zero() { return _mm512_setzero_si512(); }
  static Coef Load(const uint8_t* data) {
    return {_mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(data))),
            _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(data + 16)))};
  }
  static void Prepare(const uint8_t* src, uint8_t* prep) {
    _mm512_store_si512(prep, _mm512_shuffle_epi8(_mm512_loadu_si512(src), Split()));
  }
  // The halves are exchanged here rather than stored exchanged: the shuffle
  // takes the port the affine maps leave free, and the prepared inputs stay
  // half the size (more of them fit in the first-level cache).
  static void MulAdd(Acc& acc, const uint8_t* prep, const Coef& c) {
    const __m512i s = _mm512_load_si512(prep);
    const __m512i same = _mm512_gf2p8affine_epi64_epi8(s, c.Same, 0);
    const __m512i other =
        _mm512_gf2p8affine_epi64_epi8(_mm512_shuffle_epi32(s, _MM_PERM_BADC), c.Other, 0);
    acc = _mm512_ternarylogic_epi64(acc, same, other, 0x96);
  }
  static void Store(Acc acc, uint8_t* dst) {
    const __m512i r = _mm512_shuffle_epi8(acc, Join());
    _mm512_storeu_si512(dst, _mm512_xor_si512(r, _mm512_loadu_si512(dst)));
  }
};

}  // namespace

void GfMatrixGfniAvx512(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                        uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  RunMatrix<GfniAvx512>(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}
