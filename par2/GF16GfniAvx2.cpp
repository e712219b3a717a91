// GF(2^16) region kernel with GF(2)-affine byte maps (GFNI) on 256-bit
// registers; compiled for AVX2 and GFNI, run only where both exist. The same
// method as the 512-bit kernel (GF16GfniAvx512.cpp).
#include <immintrin.h>

#include "par2/GF16Driver.h"

namespace {

struct GfniAvx2 {
  static constexpr size_t UnitBytes = 32, PrepBytes = 64, CoefBytes = 32;
  static constexpr int Tile = sizeof(void*) == 8 ? 4 : 2;
  using Acc = __m256i;
  struct Coef {
    __m256i Same, Other;
  };
  static __m256i Split() {
    return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
  }
  static __m256i Join() {
    return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
  }
  static void Build(uint16_t coef, uint8_t* data) { BuildAffine(coef, data); }
  static Acc Zero() { return _mm256_setzero_si256(); }
  static Coef Load(const uint8_t* data) {
    return {_mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(data))),
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(data + 16)))};
  }
  static void Prepare(const uint8_t* src, uint8_t* prep) {
    const __m256i s =
        _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)), Split());
    _mm256_store_si256(reinterpret_cast<__m256i*>(prep), s);
    _mm256_store_si256(reinterpret_cast<__m256i*>(prep + 32), _mm256_shuffle_epi32(s, 0x4E));
  }
  static void MulAdd(Acc& acc, const uint8_t* prep, const Coef& c) {
    const __m256i same = _mm256_gf2p8affine_epi64_epi8(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(prep)), c.Same, 0);
    const __m256i other = _mm256_gf2p8affine_epi64_epi8(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(prep + 32)), c.Other, 0);
    acc = _mm256_xor_si256(acc, _mm256_xor_si256(same, other));
  }
  static void Store(Acc acc, uint8_t* dst) {
    __m256i* d = reinterpret_cast<__m256i*>(dst);
    _mm256_storeu_si256(d, _mm256_xor_si256(_mm256_shuffle_epi8(acc, Join()), _mm256_loadu_si256(d)));
  }
};

}  // namespace

void GfMatrixGfniAvx2(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                      uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  RunMatrix<GfniAvx2>(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}
