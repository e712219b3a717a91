// MD5 of eight streams at once in 256-bit registers; compiled for AVX2.
#include <immintrin.h>

#include "par2/MD5Lanes.h"

namespace {

struct Avx2Lane {
  __m256i v;
  static constexpr int Lanes128 = 2;
  friend Avx2Lane operator+(Avx2Lane x, Avx2Lane y) { return {_mm256_add_epi32(x.v, y.v)}; }
  static Avx2Lane Constant(uint32_t k) { return {_mm256_set1_epi32(static_cast<int>(k))}; }
  static Avx2Lane F(Avx2Lane b, Avx2Lane c, Avx2Lane d) {
    return {_mm256_xor_si256(d.v, _mm256_and_si256(b.v, _mm256_xor_si256(c.v, d.v)))};
  }
  static Avx2Lane G(Avx2Lane b, Avx2Lane c, Avx2Lane d) {
    return {_mm256_xor_si256(c.v, _mm256_and_si256(d.v, _mm256_xor_si256(b.v, c.v)))};
  }
  static Avx2Lane H(Avx2Lane b, Avx2Lane c, Avx2Lane d) {
    return {_mm256_xor_si256(b.v, _mm256_xor_si256(c.v, d.v))};
  }
  static Avx2Lane I(Avx2Lane b, Avx2Lane c, Avx2Lane d) {
    return {_mm256_xor_si256(c.v, _mm256_or_si256(b.v, _mm256_xor_si256(d.v, _mm256_set1_epi32(-1))))};
  }
  template <int s>
  static Avx2Lane Rotl(Avx2Lane x) {
    return {_mm256_or_si256(_mm256_slli_epi32(x.v, s), _mm256_srli_epi32(x.v, 32 - s))};
  }
  static Avx2Lane Gather(const uint8_t* const* data, int m, size_t at) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[m] + at));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[4 + m] + at));
    return {_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1)};
  }
  static Avx2Lane UnpackLo32(Avx2Lane x, Avx2Lane y) { return {_mm256_unpacklo_epi32(x.v, y.v)}; }
  static Avx2Lane UnpackHi32(Avx2Lane x, Avx2Lane y) { return {_mm256_unpackhi_epi32(x.v, y.v)}; }
  static Avx2Lane UnpackLo64(Avx2Lane x, Avx2Lane y) { return {_mm256_unpacklo_epi64(x.v, y.v)}; }
  static Avx2Lane UnpackHi64(Avx2Lane x, Avx2Lane y) { return {_mm256_unpackhi_epi64(x.v, y.v)}; }
  // Element 4g + m of the array is stream 4g + m: lane g, element m.
  static Avx2Lane FromArray(const uint32_t* p) {
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(p))};
  }
  static void ToArray(Avx2Lane x, uint32_t* p) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), x.v);
  }
};

}  // namespace

void Md5LanesAvx2(uint32_t* const* states, const uint8_t* const* data, size_t blocks) {
  CompressLanes<Avx2Lane>(states, data, blocks);
}
