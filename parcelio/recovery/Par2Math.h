// The arithmetic that recovery files need, seen from the recovery code: MD5
// digests (one stream, or several streams at once) and multiply-and-add over
// GF(2^16) regions. Thin wrappers over the kernels in par2/, so that the
// format code above never depends on how those are chosen or built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace parcelio::recovery {

using Md5Digest = std::array<uint8_t, 16>;

// MD5 over data that arrives in pieces.
class Md5Stream {
 public:
  Md5Stream();
  ~Md5Stream();
  Md5Stream(Md5Stream&&) noexcept;
  Md5Stream& operator=(Md5Stream&&) noexcept;
  // Runs size more bytes through the digest.
  void Update(const void* data, size_t size);
  Md5Digest Final();  // the digest; the stream starts again afterwards

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The digest of one message held whole.
Md5Digest Md5Of(const void* data, size_t size);
// The digests of count messages of size bytes each, hashed side by side.
void Md5Batch(const uint8_t* const* data, size_t count, size_t size, Md5Digest* out);

// GF(2^16) with generator 0x1100B.
uint16_t GfMultiply(uint16_t a, uint16_t b);
uint16_t GfInverse(uint16_t a);     // a != 0
uint16_t GfPower(uint16_t base, uint32_t exponent);

// The constant of input slice number index (0-based, in the order the
// main packet lists the files): 2 to the index-th exponent that is not a
// multiple of 3, 5, 17 or 257. index < 32768.
uint16_t InputSliceConstant(uint32_t index);

// dst[k] ^= coef * src[k] over little-endian 16-bit words; bytes is even.
void MultiplyAdd(uint16_t coef, const uint8_t* src, uint8_t* dst, size_t bytes);
// The same for count outputs at once, reading src once: dsts[j] ^= coefs[j] * src.
void MultiplyAddMany(const uint16_t* coefs, uint8_t* const* dsts, size_t count, const uint8_t* src,
                     size_t bytes);

// MultiplyAddMany on both threads, each taking half of the bytes; each
// dsts[j] is offset by offset bytes first.
void MultiplyAddManyShared(const uint16_t* coefs, uint8_t* const* dsts, size_t count, size_t offset,
                           const uint8_t* src, size_t bytes);

// Inverts the n x n matrix m (row-major) in place over GF(2^16); false when
// it is singular.
bool InvertMatrix(uint16_t* m, size_t n);

}  // namespace parcelio::recovery
