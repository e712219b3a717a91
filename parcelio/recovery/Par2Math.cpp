// The recovery code's view of the kernels in par2/ (see Par2Math.h).
#include "parcelio/recovery/Par2Math.h"

#include "par2/MD5.h"
#include "par2/ReedSolomon.h"

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

uint16_t InputSliceConstant(uint32_t index) { return index < MaxInputSlices ? ::InputSliceConstant(index) : 0; }

}  // namespace parcelio::recovery
