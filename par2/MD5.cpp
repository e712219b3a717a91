// MD5 streams: the single-stream context, the padding, and the grouping of
// many streams into the lanes of the kernel chosen for this processor.
#include "par2/MD5.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "par2/MD5Kernels.h"

namespace {

// One lane in a 32-bit integer.
struct ScalarLane {
  uint32_t v;
  friend ScalarLane operator+(ScalarLane x, ScalarLane y) { return {x.v + y.v}; }
  static ScalarLane Constant(uint32_t k) { return {k}; }
  static ScalarLane F(ScalarLane b, ScalarLane c, ScalarLane d) { return {d.v ^ (b.v & (c.v ^ d.v))}; }
  static ScalarLane G(ScalarLane b, ScalarLane c, ScalarLane d) { return {c.v ^ (d.v & (b.v ^ c.v))}; }
  static ScalarLane H(ScalarLane b, ScalarLane c, ScalarLane d) { return {b.v ^ c.v ^ d.v}; }
  static ScalarLane I(ScalarLane b, ScalarLane c, ScalarLane d) { return {c.v ^ (b.v | ~d.v)}; }
  template <int s>
  static ScalarLane Rotl(ScalarLane x) {
    return {(x.v << s) | (x.v >> (32 - s))};
  }
};

inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void CompressScalar(uint32_t* state, const uint8_t* data, size_t blocks) {
  ScalarLane a{state[0]}, b{state[1]}, c{state[2]}, d{state[3]};
  for (; blocks > 0; --blocks, data += 64) {
    ScalarLane m[16];
    for (int j = 0; j < 16; ++j) m[j].v = Load32(data + 4 * j);
    md5::Compress(a, b, c, d, m);
  }
  state[0] = a.v;
  state[1] = b.v;
  state[2] = c.v;
  state[3] = d.v;
}

}  // namespace

void Md5LanesScalar(uint32_t* const* states, const uint8_t* const* data, size_t blocks) {
  CompressScalar(states[0], data[0], blocks);
}

// ------------------------------------------------------------ kernel choice

namespace {

struct KernelEntry {
  const char* Name;
  size_t Lanes;
  Md5LanesKernel Function;
};

const KernelEntry Kernels[Md5KernelCount] = {
    {"scalar", 1, Md5LanesScalar},
#if PAR2_SIMD_KERNELS
    {"sse2", 4, Md5LanesSse2},
    {"avx2", 8, Md5LanesAvx2},
    {"avx512", 16, Md5LanesAvx512},
#else
    {"sse2", 4, nullptr},
    {"avx2", 8, nullptr},
    {"avx512", 16, nullptr},
#endif
};

bool ProcessorRuns(Md5Kernel kernel) {
#if PAR2_MD5_X86
  __builtin_cpu_init();
  switch (kernel) {
    case Md5Kernel::Scalar:
      return true;
    case Md5Kernel::Sse2:
      return __builtin_cpu_supports("sse2");
    case Md5Kernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case Md5Kernel::Avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
#else
  return kernel == Md5Kernel::Scalar;
#endif
}

Md5Kernel Fastest() {
  static const Md5Kernel fastest = [] {
    for (int k = Md5KernelCount - 1; k > 0; --k)
      if (Md5KernelAvailable(static_cast<Md5Kernel>(k))) return static_cast<Md5Kernel>(k);
    return Md5Kernel::Scalar;
  }();
  return fastest;
}

std::atomic<int> Forced{-1};

const KernelEntry& Active() {
  const int forced = Forced.load(std::memory_order_relaxed);
  return Kernels[forced >= 0 ? forced : static_cast<int>(Fastest())];
}

// Runs blocks blocks of count lanes through their states, in groups of the
// active kernel's width; a short last group is filled up with copies of its
// first lane whose results are dropped.
void CompressLanes(uint32_t* const* states, const uint8_t* const* data, size_t count,
                   size_t blocks) {
  const KernelEntry& kernel = Active();
  const size_t width = kernel.Lanes;
  size_t first = 0;
  for (; first + width <= count; first += width)
    kernel.Function(states + first, data + first, blocks);
  if (first == count) return;
  if (count - first == 1 || width == 1) {
    for (; first < count; ++first) CompressScalar(states[first], data[first], blocks);
    return;
  }
  uint32_t spare[16][4];
  uint32_t* laneStates[16];
  const uint8_t* laneData[16];
  for (size_t lane = 0; lane < width; ++lane) {
    if (first + lane < count) {
      laneStates[lane] = states[first + lane];
      laneData[lane] = data[first + lane];
    } else {
      std::memcpy(spare[lane], states[first], sizeof spare[lane]);
      laneStates[lane] = spare[lane];
      laneData[lane] = data[first];
    }
  }
  kernel.Function(laneStates, laneData, blocks);
}

}  // namespace

const char* Md5KernelName(Md5Kernel kernel) { return Kernels[static_cast<int>(kernel)].Name; }

size_t Md5KernelLanes(Md5Kernel kernel) { return Kernels[static_cast<int>(kernel)].Lanes; }

Md5Kernel Md5ActiveKernel() {
  const int forced = Forced.load(std::memory_order_relaxed);
  return forced >= 0 ? static_cast<Md5Kernel>(forced) : Fastest();
}

bool Md5KernelAvailable(Md5Kernel kernel) {
  const int k = static_cast<int>(kernel);
  if (k < 0 || k >= Md5KernelCount || Kernels[k].Function == nullptr) return false;
  return ProcessorRuns(kernel);
}

bool Md5ForceKernel(Md5Kernel kernel) {
  if (!Md5KernelAvailable(kernel)) return false;
  Forced.store(static_cast<int>(kernel));
  return true;
}

void Md5ResetKernel() { Forced.store(-1); }

// ------------------------------------------------------------ one stream

void Md5Context::Init() {
  std::memcpy(State_, md5::Initial, sizeof State_);
  Length_ = 0;
}

void Md5Context::Update(const void* data, size_t bytes) {
  if (bytes == 0) return;  // data may be null
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t buffered = static_cast<size_t>(Length_ % 64);
  Length_ += bytes;
  if (buffered > 0) {
    const size_t take = std::min(bytes, 64 - buffered);
    std::memcpy(Buffer_ + buffered, p, take);
    p += take;
    bytes -= take;
    if (buffered + take < 64) return;
    CompressScalar(State_, Buffer_, 1);
  }
  CompressScalar(State_, p, bytes / 64);
  p += bytes / 64 * 64;
  std::memcpy(Buffer_, p, bytes % 64);
}

Md5Digest Md5Context::Final() {
  // 0x80, zeros up to 56 mod 64, then the length in bits (little-endian).
  uint8_t tail[72] = {0x80};
  const size_t buffered = static_cast<size_t>(Length_ % 64);
  const size_t pad = (buffered < 56 ? 56 : 120) - buffered;
  const uint64_t bits = Length_ * 8;
  for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(tail, pad + 8);
  Md5Digest digest;
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) digest[4 * w + i] = static_cast<uint8_t>(State_[w] >> (8 * i));
  return digest;
}

Md5Digest Md5(const void* data, size_t bytes) {
  Md5Context context;
  context.Update(data, bytes);
  return context.Final();
}

// ------------------------------------------------------------ many streams

Md5Multi::Md5Multi(size_t streams) : Streams_(streams) {}

void Md5Multi::Update(size_t stream, const void* data, size_t bytes) {
  Streams_[stream].Update(data, bytes);
}

Md5Digest Md5Multi::Final(size_t stream) {
  const Md5Digest digest = Streams_[stream].Final();
  Streams_[stream].Init();
  return digest;
}

void Md5Multi::Update(const uint8_t* const* data, size_t bytes) {
  std::vector<Md5Context*> contexts(Streams_.size());
  for (size_t i = 0; i < contexts.size(); ++i) contexts[i] = &Streams_[i];
  Md5UpdateTogether(contexts.data(), data, contexts.size(), bytes);
}

namespace {

// Contexts that have all taken length bytes so far, advanced together.
void UpdateInStep(const uint8_t* const* data, size_t count, size_t bytes, uint64_t length,
                  uint32_t* const* states, uint8_t* const* buffers, uint64_t* const* lengths) {
  std::vector<const uint8_t*> at(count);
  size_t done = 0;
  const size_t buffered = static_cast<size_t>(length % 64);
  if (buffered > 0) {
    const size_t take = std::min(bytes, 64 - buffered);
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(buffers[i] + buffered, data[i], take);
      at[i] = buffers[i];
    }
    done = take;
    if (buffered + take == 64) CompressLanes(states, at.data(), count, 1);
  }
  const size_t blocks = (bytes - done) / 64;
  if (blocks > 0) {
    for (size_t i = 0; i < count; ++i) at[i] = data[i] + done;
    CompressLanes(states, at.data(), count, blocks);
  }
  const size_t tail = bytes - done - blocks * 64;
  for (size_t i = 0; i < count; ++i) {
    if (tail > 0) std::memcpy(buffers[i], data[i] + done + blocks * 64, tail);
    *lengths[i] += bytes;
  }
}

}  // namespace

void Md5UpdateTogether(Md5Context* const* contexts, const uint8_t* const* data, size_t count,
                       size_t bytes) {
  if (count == 0 || bytes == 0) return;
  // Contexts are grouped by the number of bytes they have taken; each group
  // runs in step, a context alone by itself.
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return contexts[a]->Length_ < contexts[b]->Length_;
  });
  std::vector<uint32_t*> states;
  std::vector<uint8_t*> buffers;
  std::vector<uint64_t*> lengths;
  std::vector<const uint8_t*> pieces;
  for (size_t first = 0; first < count;) {
    size_t last = first;
    const uint64_t length = contexts[order[first]]->Length_;
    while (last < count && contexts[order[last]]->Length_ == length) ++last;
    if (last - first == 1) {
      contexts[order[first]]->Update(data[order[first]], bytes);
    } else {
      states.clear();
      buffers.clear();
      lengths.clear();
      pieces.clear();
      for (size_t k = first; k < last; ++k) {
        Md5Context* c = contexts[order[k]];
        states.push_back(c->State_);
        buffers.push_back(c->Buffer_);
        lengths.push_back(&c->Length_);
        pieces.push_back(data[order[k]]);
      }
      UpdateInStep(pieces.data(), pieces.size(), bytes, length, states.data(), buffers.data(),
                   lengths.data());
    }
    first = last;
  }
}

void Md5Many(const uint8_t* const* data, size_t count, size_t bytes, Md5Digest* out) {
  Md5Multi multi(count);
  multi.Update(data, bytes);
  for (size_t i = 0; i < count; ++i) out[i] = multi.Final(i);
}
