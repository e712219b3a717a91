// MD5 (RFC 1321): one stream at a time (Md5Context), and several independent
// streams hashed together in the lanes of SIMD registers (Md5Many for whole
// messages of one length, Md5Multi for streams fed in step). The lane
// kernels are chosen at run time like the field kernels; all give the same
// digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

using Md5Digest = std::array<uint8_t, 16>;

class Md5Context {
 public:
  Md5Context() { Init(); }
  void Init();
  void Update(const void* data, size_t bytes);
  // The digest of everything given since Init. The context must be Init-ed
  // again before further use.
  Md5Digest Final();
  // Bytes given since Init.
  uint64_t Length() const { return Length_; }

 private:
  friend void Md5UpdateTogether(Md5Context* const*, const uint8_t* const*, size_t, size_t);
  uint32_t State_[4];
  uint8_t Buffer_[64];
  uint64_t Length_;
};

Md5Digest Md5(const void* data, size_t bytes);

// contexts[i]->Update(data[i], bytes) for every i, the contexts that have
// taken the same number of bytes so far running in step in the SIMD lanes.
void Md5UpdateTogether(Md5Context* const* contexts, const uint8_t* const* data, size_t count,
                       size_t bytes);

// The digests of count messages of bytes bytes each: out[i] = Md5(data[i]).
void Md5Many(const uint8_t* const* data, size_t count, size_t bytes, Md5Digest* out);

// count streams advanced together. Update(data, bytes) adds bytes to every
// stream (data[i] to stream i); streams that have taken the same number of
// bytes run in step in the SIMD lanes. Update(stream, ...) feeds one alone.
class Md5Multi {
 public:
  explicit Md5Multi(size_t streams);
  size_t Streams() const { return Streams_.size(); }
  void Update(const uint8_t* const* data, size_t bytes);
  void Update(size_t stream, const void* data, size_t bytes);
  // The stream's digest; the stream starts again empty.
  Md5Digest Final(size_t stream);

 private:
  std::vector<Md5Context> Streams_;
};

// The lane kernels, slowest first: one stream in plain C++, then 4, 8 and 16
// streams in SSE2, AVX2 and AVX-512 registers.
enum class Md5Kernel { Scalar, Sse2, Avx2, Avx512 };
constexpr int Md5KernelCount = 4;

const char* Md5KernelName(Md5Kernel kernel);
size_t Md5KernelLanes(Md5Kernel kernel);
Md5Kernel Md5ActiveKernel();
bool Md5KernelAvailable(Md5Kernel kernel);
// For the tests and the benchmark, as GfForceKernel.
bool Md5ForceKernel(Md5Kernel kernel);
void Md5ResetKernel();
