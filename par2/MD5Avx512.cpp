// MD5 of sixteen streams at once in 512-bit registers; compiled for
// AVX-512F. The round functions are single ternary-logic instructions and
// the rotations single vprold.
// GCC 12's AVX-512 headers set some registers from themselves, which its
// own uninitialised-use warning reports inside the headers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "par2/MD5Lanes.h"

namespace {

struct Avx512Lane {
  __m512i v;
  static constexpr int Lanes128 = 4;
  friend Avx512Lane operator+(Avx512Lane x, Avx512Lane y) { return {_mm512_add_epi32(x.v, y.v)}; }
  static Avx512Lane Constant(uint32_t k) { return {_mm512_set1_epi32(static_cast<int>(k))}; }
  // Truth tables over (b, c, d) = (0xF0, 0xCC, 0xAA).
  static Avx512Lane F(Avx512Lane b, Avx512Lane c, Avx512Lane d) {
    return {_mm512_ternarylogic_epi32(b.v, c.v, d.v, 0xCA)};  // b ? c : d
  }
  static Avx512Lane G(Avx512Lane b, Avx512Lane c, Avx512Lane d) {
    return {_mm512_ternarylogic_epi32(b.v, c.v, d.v, 0xE4)};  // d ? b : c
  }
  static Avx512Lane H(Avx512Lane b, Avx512Lane c, Avx512Lane d) {
    return {_mm512_ternarylogic_epi32(b.v, c.v, d.v, 0x96)};
  }
  static Avx512Lane I(Avx512Lane b, Avx512Lane c, Avx512Lane d) {
    return {_mm512_ternarylogic_epi32(b.v, c.v, d.v, 0x39)};  // c ^ (b | ~d)
  }
  template <int s>
  static Avx512Lane Rotl(Avx512Lane x) {
    return {_mm512_rol_epi32(x.v, s)};
  }
  static Avx512Lane Gather(const uint8_t* const* data, int m, size_t at) {
    __m512i y = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data[m] + at)));
    y = _mm512_inserti32x4(y, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[4 + m] + at)), 1);
    y = _mm512_inserti32x4(y, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[8 + m] + at)), 2);
    y = _mm512_inserti32x4(y, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[12 + m] + at)), 3);
    return {y};
  }
  static Avx512Lane UnpackLo32(Avx512Lane x, Avx512Lane y) { return {_mm512_unpacklo_epi32(x.v, y.v)}; }
  static Avx512Lane UnpackHi32(Avx512Lane x, Avx512Lane y) { return {_mm512_unpackhi_epi32(x.v, y.v)}; }
  static Avx512Lane UnpackLo64(Avx512Lane x, Avx512Lane y) { return {_mm512_unpacklo_epi64(x.v, y.v)}; }
  static Avx512Lane UnpackHi64(Avx512Lane x, Avx512Lane y) { return {_mm512_unpackhi_epi64(x.v, y.v)}; }
  static Avx512Lane FromArray(const uint32_t* p) { return {_mm512_load_si512(p)}; }
  static void ToArray(Avx512Lane x, uint32_t* p) { _mm512_store_si512(p, x.v); }
};

}  // namespace

void Md5LanesAvx512(uint32_t* const* states, const uint8_t* const* data, size_t blocks) {
  CompressLanes<Avx512Lane>(states, data, blocks);
}
