// GF(2^16) region kernel with 16-entry table lookups (vpshufb) on 256-bit
// registers; compiled for AVX2, run only where it exists.
#include <immintrin.h>

#include "par2/GF16Nibble.h"

namespace {

struct Avx {
  using Reg = __m256i;
  static Reg Load(const uint8_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
  static Reg LoadU(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void Store(uint8_t* p, Reg v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
  static void StoreU(uint8_t* p, Reg v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static Reg Broadcast16(const uint8_t* p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static Reg Shuffle(Reg table, Reg index) { return _mm256_shuffle_epi8(table, index); }
  static Reg Xor(Reg a, Reg b) { return _mm256_xor_si256(a, b); }
  static Reg Xor3(Reg a, Reg b, Reg c) { return _mm256_xor_si256(a, _mm256_xor_si256(b, c)); }
  static Reg And(Reg a, Reg b) { return _mm256_and_si256(a, b); }
  static Reg Srl4(Reg a) { return _mm256_srli_epi16(a, 4); }
  static Reg UnpackLo64(Reg a, Reg b) { return _mm256_unpacklo_epi64(a, b); }
  static Reg UnpackHi64(Reg a, Reg b) { return _mm256_unpackhi_epi64(a, b); }
  static Reg Set1(char v) { return _mm256_set1_epi8(v); }
  static Reg Zero() { return _mm256_setzero_si256(); }
};

}  // namespace

void GfMatrixAvx2(const uint16_t* coefs, const uint8_t* const* srcs, size_t inputs,
                  uint8_t* const* dsts, size_t outputs, size_t offset, size_t bytes) {
  RunMatrix<Nibble<Avx, 2>>(coefs, srcs, inputs, dsts, outputs, offset, bytes);
}
