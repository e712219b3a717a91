// MD5 of four streams at once in 128-bit registers; compiled for SSE2.
#include <emmintrin.h>

#include "par2/MD5Lanes.h"

namespace {

struct Sse2Lane {
  __m128i v;
  static constexpr int Lanes128 = 1;
  friend Sse2Lane operator+(Sse2Lane x, Sse2Lane y) { return {_mm_add_epi32(x.v, y.v)}; }
  static Sse2Lane Constant(uint32_t k) { return {_mm_set1_epi32(static_cast<int>(k))}; }
  static Sse2Lane F(Sse2Lane b, Sse2Lane c, Sse2Lane d) {
    return {_mm_xor_si128(d.v, _mm_and_si128(b.v, _mm_xor_si128(c.v, d.v)))};
  }
  static Sse2Lane G(Sse2Lane b, Sse2Lane c, Sse2Lane d) {
    return {_mm_xor_si128(c.v, _mm_and_si128(d.v, _mm_xor_si128(b.v, c.v)))};
  }
  static Sse2Lane H(Sse2Lane b, Sse2Lane c, Sse2Lane d) {
    return {_mm_xor_si128(b.v, _mm_xor_si128(c.v, d.v))};
  }
  static Sse2Lane I(Sse2Lane b, Sse2Lane c, Sse2Lane d) {
    return {_mm_xor_si128(c.v, _mm_or_si128(b.v, _mm_xor_si128(d.v, _mm_set1_epi32(-1))))};
  }
  template <int s>
  static Sse2Lane Rotl(Sse2Lane x) {
    return {_mm_or_si128(_mm_slli_epi32(x.v, s), _mm_srli_epi32(x.v, 32 - s))};
  }
  static Sse2Lane Gather(const uint8_t* const* data, int m, size_t at) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(data[m] + at))};
  }
  static Sse2Lane UnpackLo32(Sse2Lane x, Sse2Lane y) { return {_mm_unpacklo_epi32(x.v, y.v)}; }
  static Sse2Lane UnpackHi32(Sse2Lane x, Sse2Lane y) { return {_mm_unpackhi_epi32(x.v, y.v)}; }
  static Sse2Lane UnpackLo64(Sse2Lane x, Sse2Lane y) { return {_mm_unpacklo_epi64(x.v, y.v)}; }
  static Sse2Lane UnpackHi64(Sse2Lane x, Sse2Lane y) { return {_mm_unpackhi_epi64(x.v, y.v)}; }
  static Sse2Lane FromArray(const uint32_t* p) {
    return {_mm_load_si128(reinterpret_cast<const __m128i*>(p))};
  }
  static void ToArray(Sse2Lane x, uint32_t* p) { _mm_store_si128(reinterpret_cast<__m128i*>(p), x.v); }
};

}  // namespace

void Md5LanesSse2(uint32_t* const* states, const uint8_t* const* data, size_t blocks) {
  CompressLanes<Sse2Lane>(states, data, blocks);
}
