// GF(2^16) region kernel with GF(2)-affine byte maps (GFNI) on 512-bit
// registers; compiled for AVX-512BW and GFNI, run only where both exist.
//
// Each 128-bit lane of an input is rearranged once into its eight words' low
// bytes followed by their high bytes. A product is then two affine maps: one
// gives the result bytes each half makes in its own half, the other those it
// makes in the other half. Each is summed over the inputs as it lies, and
// the second sum's halves are exchanged once, at the end.
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
  // 32-bit code has eight vector registers, not thirty-two.
  static constexpr int Tile = sizeof(void*) == 8 ? 8 : 2;
  // Products landing in their own half, and products landing in the other
  // half (exchanged once, at the end).
  struct Acc {
    __m512i Same, Other;
  };
  struct Coef {
    __m512i Same, Other;
  };
  static __m512i Split() {
    return _mm512_broadcast_i32x4(_mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
  }
  static __m512i Join() {
    return _mm512_broadcast_i32x4(_mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
  }
  static void Build(uint16_t coef, uint8_t* data) { BuildAffineCrossed(coef, data); }
  static Acc Zero() { return {_mm512_setzero_si512(), _mm512_setzero_si512()}; }
  static Coef Load(const uint8_t* data) {
    return {_mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(data))),
            _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(data + 16)))};
  }
  static void Prepare(const uint8_t* src, uint8_t* prep) {
    _mm512_store_si512(prep, _mm512_shuffle_epi8(_mm512_loadu_si512(src), Split()));
  }
  static void MulAdd(Acc& acc, const uint8_t* prep, const Coef& c) {
    const __m512i s = _mm512_load_si512(prep);
    acc.Same = _mm512_xor_si512(acc.Same, _mm512_gf2p8affine_epi64_epi8(s, c.Same, 0));
    acc.Other = _mm512_xor_si512(acc.Other, _mm512_gf2p8affine_epi64_epi8(s, c.Other, 0));
  }
  static void Store(const Acc& acc, uint8_t* dst) {
    const __m512i sum = _mm512_xor_si512(acc.Same, _mm512_shuffle_epi32(acc.Other, _MM_PERM_BADC));
    const __m512i r = _mm512_shuffle_epi8(sum, Join());
    _mm512_storeu_si512(dst, _mm512_xor_si512(r, _mm512_loadu_si512(dst)));
  }
};

#if defined(__x86_64__)
// The tile written out: eight units' two sums in sixteen registers, inputs
// taken two at a time so that each sum takes both inputs' products in one
// three-way exclusive or. (The generic loop leaves GCC moving the sums
// between registers on every input.)
template <>
inline void Tile<GfniAvx512, 8>(const uint8_t* coefData, const uint8_t* prep, size_t stride,
                                size_t inputs, uint8_t* dst) {
  __m512i s0 = _mm512_setzero_si512(), s1 = s0, s2 = s0, s3 = s0, s4 = s0, s5 = s0, s6 = s0,
          s7 = s0;
  __m512i o0 = s0, o1 = s0, o2 = s0, o3 = s0, o4 = s0, o5 = s0, o6 = s0, o7 = s0;
  size_t i = 0;
#define PAR2_PAIR_STEP(k)                                                                     \
  {                                                                                           \
    const __m512i x = _mm512_load_si512(p + 64 * k), y = _mm512_load_si512(q + 64 * k);       \
    s##k = _mm512_ternarylogic_epi64(s##k, _mm512_gf2p8affine_epi64_epi8(x, c.Same, 0),        \
                                     _mm512_gf2p8affine_epi64_epi8(y, d.Same, 0), 0x96);       \
    o##k = _mm512_ternarylogic_epi64(o##k, _mm512_gf2p8affine_epi64_epi8(x, c.Other, 0),       \
                                     _mm512_gf2p8affine_epi64_epi8(y, d.Other, 0), 0x96);      \
  }
  for (; i + 2 <= inputs; i += 2) {
    const GfniAvx512::Coef c = GfniAvx512::Load(coefData + i * GfniAvx512::CoefBytes);
    const GfniAvx512::Coef d = GfniAvx512::Load(coefData + (i + 1) * GfniAvx512::CoefBytes);
    const uint8_t* p = prep + i * stride;
    const uint8_t* q = p + stride;
    PAR2_PAIR_STEP(0) PAR2_PAIR_STEP(1) PAR2_PAIR_STEP(2) PAR2_PAIR_STEP(3)
    PAR2_PAIR_STEP(4) PAR2_PAIR_STEP(5) PAR2_PAIR_STEP(6) PAR2_PAIR_STEP(7)
  }
#undef PAR2_PAIR_STEP
  GfniAvx512::Acc acc[8] = {{s0, o0}, {s1, o1}, {s2, o2}, {s3, o3},
                            {s4, o4}, {s5, o5}, {s6, o6}, {s7, o7}};
  if (i < inputs) {
    const GfniAvx512::Coef c = GfniAvx512::Load(coefData + i * GfniAvx512::CoefBytes);
    for (int k = 0; k < 8; ++k) GfniAvx512::MulAdd(acc[k], prep + i * stride + 64 * k, c);
  }
  for (int k = 0; k < 8; ++k) GfniAvx512::Store(acc[k], dst + 64 * k);
}
#endif

}  // namespace

void GfMatrixGfniAvx512(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                        uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  RunMatrix<GfniAvx512>(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}
