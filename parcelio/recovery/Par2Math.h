// What the recovery code needs of the kernels in par2/ beyond the encoder
// and decoder: MD5 digests (one stream, or many messages side by side) and
// the input slices' constants. Thin wrappers, so that the format code never
// depends on how those kernels are chosen or built.
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
  void Update(const void* data, size_t size);
  Md5Digest Final();  // the digest; the stream starts again afterwards

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Md5Digest Md5Of(const void* data, size_t size);
// The digests of count messages of size bytes each, hashed side by side.
void Md5Batch(const uint8_t* const* data, size_t count, size_t size, Md5Digest* out);

// The constant of input slice number index (0-based, in the order the
// main packet lists the files): 2 to the index-th exponent that is not a
// multiple of 3, 5, 17 or 257. index < 32768.
uint16_t InputSliceConstant(uint32_t index);

}  // namespace parcelio::recovery
