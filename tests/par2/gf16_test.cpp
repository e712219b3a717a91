// GF(2^16) over 0x1100B: products against a shift-and-add reference, the
// field laws on samples, and every region kernel against the portable one on
// random data of awkward lengths and alignments.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "par2/GF16.h"

namespace {

// Carry-less product reduced by the generator, one bit at a time.
uint16_t ReferenceMul(uint16_t a, uint16_t b) {
  uint32_t product = 0;
  for (int bit = 0; bit < 16; ++bit)
    if (b & (1u << bit)) product ^= static_cast<uint32_t>(a) << bit;
  for (int bit = 31; bit >= 16; --bit)
    if (product & (1u << bit)) product ^= GfPolynomial << (bit - 16);
  return static_cast<uint16_t>(product);
}

std::vector<GfKernel> AvailableKernels() {
  std::vector<GfKernel> kernels;
  for (int k = 0; k < GfKernelCount; ++k)
    if (GfKernelAvailable(static_cast<GfKernel>(k))) kernels.push_back(static_cast<GfKernel>(k));
  return kernels;
}

// Forces a kernel for the life of the object.
struct KernelScope {
  explicit KernelScope(GfKernel k) { EXPECT_TRUE(GfForceKernel(k)); }
  ~KernelScope() { GfResetKernel(); }
};

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(random());
  return v;
}

void ReferenceMulAdd(uint16_t coef, const uint8_t* src, uint8_t* dst, size_t bytes) {
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const uint16_t p = ReferenceMul(coef, static_cast<uint16_t>(src[i] | src[i + 1] << 8));
    dst[i] ^= static_cast<uint8_t>(p);
    dst[i + 1] ^= static_cast<uint8_t>(p >> 8);
  }
}

TEST(Gf16, ProductsAndFieldLaws) {
  // Values the generator fixes: x^16 = x^12 + x^3 + x + 1.
  EXPECT_EQ(GfMul(0x8000, 2), 0x100B);
  EXPECT_EQ(GfExp(16), 0x100B);
  EXPECT_EQ(GfExp(0), 1);
  EXPECT_EQ(GfExp(GfOrder), 1);
  EXPECT_EQ(GfMul(0, 0x1234), 0);
  EXPECT_EQ(GfPow(0, 0), 1);
  EXPECT_EQ(GfPow(0, 5), 0);
  EXPECT_EQ(GfInv(0), 0);
  EXPECT_EQ(GfDiv(7, 0), 0);

  std::mt19937 random(1);
  for (int n = 0; n < 20000; ++n) {
    const uint16_t a = static_cast<uint16_t>(random()), b = static_cast<uint16_t>(random()),
                   c = static_cast<uint16_t>(random());
    ASSERT_EQ(GfMul(a, b), ReferenceMul(a, b)) << a << " * " << b;
    ASSERT_EQ(GfMul(a, b), GfMul(b, a));
    ASSERT_EQ(GfMul(GfMul(a, b), c), GfMul(a, GfMul(b, c)));
    ASSERT_EQ(GfMul(a, b ^ c), GfMul(a, b) ^ GfMul(a, c));
    if (a != 0) {
      ASSERT_EQ(GfMul(a, GfInv(a)), 1);
      ASSERT_EQ(GfMul(GfDiv(b, a), a), b);
      ASSERT_EQ(GfExp(GfLog(a)), a);
    }
    const uint32_t e = random() % 70000;
    uint16_t power = 1;
    for (uint32_t i = 0; i < e % 40; ++i) power = GfMul(power, a);
    ASSERT_EQ(GfPow(a, e % 40), power);
    ASSERT_EQ(GfPow(a, e), e == 0 ? 1 : GfPow(a, (e - 1) % GfOrder + 1));
  }
  // 2 generates the whole multiplicative group.
  std::vector<bool> seen(65536);
  for (uint32_t n = 0; n < GfOrder; ++n) seen[GfExp(n)] = true;
  EXPECT_FALSE(seen[0]);
  for (uint32_t v = 1; v < 65536; ++v) ASSERT_TRUE(seen[v]) << v;
}

TEST(Gf16, KernelChoice) {
  EXPECT_TRUE(GfKernelAvailable(GfKernel::Portable));
  EXPECT_TRUE(GfKernelAvailable(GfActiveKernel()));
  EXPECT_STREQ(GfKernelName(), GfKernelName(GfActiveKernel()));
  std::printf("GF(2^16) regions run on: %s\n", GfKernelName());
  for (GfKernel k : AvailableKernels()) {
    KernelScope scope(k);
    EXPECT_EQ(GfActiveKernel(), k);
  }
  EXPECT_FALSE(GfForceKernel(static_cast<GfKernel>(GfKernelCount)));
}

// One coefficient over one region, at every alignment and many lengths,
// including the coefficients 0 and 1 and the largest element.
TEST(Gf16, MulAddEveryKernel) {
  const size_t lengths[] = {0, 2, 4, 14, 16, 30, 32, 34, 62, 64, 66, 126, 128, 130, 254, 256,
                            510, 1000, 4094, 4096, 4098, 8192 + 62, 65536 + 34};
  const uint16_t fixed[] = {0, 1, 2, 0xFFFF, 0x8000, 0x100B};
  std::mt19937 random(2);
  for (GfKernel k : AvailableKernels()) {
    KernelScope scope(k);
    SCOPED_TRACE(GfKernelName(k));
    for (size_t length : lengths) {
      for (size_t misalign = 0; misalign < 3; ++misalign) {
        const std::vector<uint8_t> srcBuffer = RandomBytes(random, length + 8);
        const std::vector<uint8_t> dstStart = RandomBytes(random, length + 8);
        const uint16_t coef =
            misalign < 2 ? fixed[(length + misalign) % 6] : static_cast<uint16_t>(random());
        std::vector<uint8_t> expected = dstStart, actual = dstStart;
        ReferenceMulAdd(coef, srcBuffer.data() + misalign, expected.data() + 2 * misalign, length);
        GfMulAdd(coef, srcBuffer.data() + misalign, actual.data() + 2 * misalign, length);
        ASSERT_EQ(actual, expected) << "length " << length << " misalign " << misalign << " coef "
                                    << coef;
      }
    }
    // An odd byte count leaves the last byte alone.
    std::vector<uint8_t> src(5, 0xFF), dst(5, 0);
    GfMulAdd(3, src.data(), dst.data(), 5);
    EXPECT_EQ(dst[4], 0);
    // In place: dst ^= c * dst.
    std::vector<uint8_t> same = RandomBytes(random, 1026), expected = same;
    ReferenceMulAdd(0x1234, same.data(), expected.data(), 1026);
    GfMulAdd(0x1234, same.data(), same.data(), 1026);
    EXPECT_EQ(same, expected);
  }
}

// One source into many outputs, and many sources into many outputs, against
// the portable kernel (itself checked above).
TEST(Gf16, MultiAndMatrixEveryKernel) {
  struct Case {
    size_t Inputs, Outputs, Bytes, Offset;
  };
  const Case cases[] = {{1, 1, 64, 0},     {1, 3, 1000, 0},   {1, 17, 4096 + 66, 0},
                        {1, 40, 30, 0},    {2, 2, 130, 2},    {5, 7, 8192 + 14, 64},
                        {16, 11, 20000, 6}, {33, 5, 3000, 0},  {64, 3, 514, 0},
                        {3, 100, 1026, 0}, {300, 2, 258, 0}};
  std::mt19937 random(3);
  for (const Case& c : cases) {
    const size_t length = c.Offset + c.Bytes;
    std::vector<std::vector<uint8_t>> srcs(c.Inputs), start(c.Outputs);
    std::vector<const uint8_t*> srcPointers;
    for (auto& s : srcs) {
      s = RandomBytes(random, length);
      srcPointers.push_back(s.data());
    }
    for (auto& d : start) d = RandomBytes(random, length);
    std::vector<uint16_t> coefs(c.Inputs * c.Outputs);
    for (auto& x : coefs) x = static_cast<uint16_t>(random());
    coefs[0] = 0;
    if (coefs.size() > 1) coefs[1] = 1;

    std::vector<std::vector<uint8_t>> expected = start;
    for (size_t o = 0; o < c.Outputs; ++o)
      for (size_t i = 0; i < c.Inputs; ++i)
        ReferenceMulAdd(coefs[o * c.Inputs + i], srcs[i].data() + c.Offset,
                        expected[o].data() + c.Offset, c.Bytes);

    for (GfKernel k : AvailableKernels()) {
      KernelScope scope(k);
      SCOPED_TRACE(GfKernelName(k));
      std::vector<std::vector<uint8_t>> actual = start;
      std::vector<uint8_t*> dsts;
      for (auto& d : actual) dsts.push_back(d.data());
      GfMulAddMatrix(coefs.data(), srcPointers.data(), c.Inputs, dsts.data(), c.Outputs, c.Offset,
                     c.Bytes);
      ASSERT_EQ(actual, expected) << c.Inputs << "x" << c.Outputs << " bytes " << c.Bytes;
      if (c.Inputs == 1) {
        actual = start;
        GfMulAddMulti(coefs.data(), dsts.data(), c.Outputs, srcs[0].data(), length);
        std::vector<std::vector<uint8_t>> whole = start;
        for (size_t o = 0; o < c.Outputs; ++o)
          ReferenceMulAdd(coefs[o], srcs[0].data(), whole[o].data(), length);
        ASSERT_EQ(actual, whole);
      }
    }
  }
}

}  // namespace
