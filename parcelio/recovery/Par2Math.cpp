// The recovery code's view of the kernels in par2/ (see Par2Math.h).
#include "parcelio/recovery/Par2Math.h"

#include <thread>
#include <vector>

#include "par2/GF16.h"
#include "par2/MD5.h"

namespace parcelio::recovery {

struct Md5Stream::State {
  Md5Context context;
};

Md5Stream::Md5Stream() : state_(new State) {}
Md5Stream::~Md5Stream() = default;
Md5Stream::Md5Stream(Md5Stream&&) noexcept = default;
Md5Stream& Md5Stream::operator=(Md5Stream&&) noexcept = default;

void Md5Stream::Update(const void* data, size_t size) { state_->context.Update(data, size); }

Md5Digest Md5Stream::Final() {
  const Md5Digest digest = state_->context.Final();
  state_->context.Init();
  return digest;
}

Md5Digest Md5Of(const void* data, size_t size) { return ::Md5(data, size); }

void Md5Batch(const uint8_t* const* data, size_t count, size_t size, Md5Digest* out) {
  ::Md5Many(data, count, size, out);
}

uint16_t GfMultiply(uint16_t a, uint16_t b) { return GfMul(a, b); }
uint16_t GfInverse(uint16_t a) { return GfInv(a); }
uint16_t GfPower(uint16_t base, uint32_t exponent) { return GfPow(base, exponent); }

uint16_t InputSliceConstant(uint32_t index) {
  // The exponents of 2 that give constants of full order, computed once.
  static const std::vector<uint16_t> constants = [] {
    std::vector<uint16_t> list;
    for (uint32_t n = 1; list.size() < 32768; ++n)
      if (n % 3 != 0 && n % 5 != 0 && n % 17 != 0 && n % 257 != 0) list.push_back(GfExp(n));
    return list;
  }();
  return index < constants.size() ? constants[index] : 0;
}

void MultiplyAdd(uint16_t coef, const uint8_t* src, uint8_t* dst, size_t bytes) { GfMulAdd(coef, src, dst, bytes); }

void MultiplyAddMany(const uint16_t* coefs, uint8_t* const* dsts, size_t count, const uint8_t* src, size_t bytes) {
  GfMulAddMulti(coefs, dsts, count, src, bytes);
}

void MultiplyAddManyShared(const uint16_t* coefs, uint8_t* const* dsts, size_t count, size_t offset,
                           const uint8_t* src, size_t bytes) {
  auto run = [&](size_t from, size_t to) {
    if (to <= from) return;
    std::vector<uint8_t*> moved(count);
    for (size_t j = 0; j < count; ++j) moved[j] = dsts[j] + offset + from;
    GfMulAddMulti(coefs, moved.data(), count, src + from, to - from);
  };
  if (bytes < 64 * 1024 || count < 2) return run(0, bytes);
  const size_t half = bytes / 2 / 64 * 64;
  std::thread other(run, size_t{0}, half);
  run(half, bytes);
  other.join();
}

bool InvertMatrix(uint16_t* m, size_t n) {
  // Gauss-Jordan elimination beside an identity matrix.
  std::vector<uint16_t> inverse(n * n, 0);
  for (size_t i = 0; i < n; ++i) inverse[i * n + i] = 1;
  for (size_t col = 0; col < n; ++col) {
    size_t pivot = col;
    while (pivot < n && m[pivot * n + col] == 0) ++pivot;
    if (pivot == n) return false;
    if (pivot != col) {
      for (size_t k = 0; k < n; ++k) {
        std::swap(m[pivot * n + k], m[col * n + k]);
        std::swap(inverse[pivot * n + k], inverse[col * n + k]);
      }
    }
    const uint16_t scale = GfInv(m[col * n + col]);
    for (size_t k = 0; k < n; ++k) {
      m[col * n + k] = GfMul(m[col * n + k], scale);
      inverse[col * n + k] = GfMul(inverse[col * n + k], scale);
    }
    // Rows are arrays of 16-bit words, which on the little-endian machines
    // we build for are the region kernels' layout.
    const uint8_t* pivotRow = reinterpret_cast<const uint8_t*>(m + col * n);
    const uint8_t* pivotInverse = reinterpret_cast<const uint8_t*>(inverse.data() + col * n);
    for (size_t row = 0; row < n; ++row) {
      const uint16_t factor = row == col ? 0 : m[row * n + col];
      if (factor == 0) continue;
      GfMulAdd(factor, pivotRow, reinterpret_cast<uint8_t*>(m + row * n), 2 * n);
      GfMulAdd(factor, pivotInverse, reinterpret_cast<uint8_t*>(inverse.data() + row * n), 2 * n);
    }
  }
  std::copy(inverse.begin(), inverse.end(), m);
  return true;
}

}  // namespace parcelio::recovery
