// Reed-Solomon recovery slices: the input slice constants, the encoder
// against the defining sum, and rebuilding lost input slices from recovery
// slices (including systems that cannot be solved).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "CRC32/CRC32.h"
#include "par2/GF16.h"
#include "par2/ReedSolomon.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomSlice(std::mt19937& random, size_t n) {
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(random());
  return v;
}

// R_e by its definition, word by word; inputs shorter than sliceBytes are
// zero-padded.
Bytes Reference(const std::vector<Bytes>& inputs, uint32_t exponent, size_t sliceBytes) {
  Bytes out(sliceBytes);
  for (size_t k = 0; k < inputs.size(); ++k) {
    const uint16_t coef = GfPow(InputSliceConstant(static_cast<uint32_t>(k)), exponent);
    Bytes padded = inputs[k];
    padded.resize(sliceBytes);
    for (size_t w = 0; w + 1 < sliceBytes; w += 2) {
      const uint16_t p = GfMul(coef, static_cast<uint16_t>(padded[w] | padded[w + 1] << 8));
      out[w] ^= static_cast<uint8_t>(p);
      out[w + 1] ^= static_cast<uint8_t>(p >> 8);
    }
  }
  return out;
}

TEST(ReedSolomon, InputSliceConstants) {
  const uint16_t first[] = {2, 4, 16, 128, 256, 2048, 8192, 16384, 4107, 32856, 17132};
  for (uint32_t k = 0; k < 11; ++k) EXPECT_EQ(InputSliceConstant(k), first[k]) << k;
  // Every constant has order 65535: distinct, and its exponent avoids the
  // factors 3, 5, 17 and 257 of 65535.
  std::vector<bool> seen(65536);
  uint32_t previous = 0;
  for (uint32_t k = 0; k < MaxInputSlices; ++k) {
    const uint32_t n = InputSliceLog(k);
    ASSERT_GT(n, previous);
    ASSERT_TRUE(n % 3 && n % 5 && n % 17 && n % 257) << n;
    ASSERT_FALSE(seen[InputSliceConstant(k)]);
    seen[InputSliceConstant(k)] = true;
    previous = n;
  }
  EXPECT_EQ(RecoveryCoefficient(5, 0), 1);
  EXPECT_EQ(RecoveryCoefficient(3, 1), 128);
  EXPECT_EQ(RecoveryCoefficient(3, 2), GfMul(128, 128));
  EXPECT_EQ(RecoveryCoefficient(3, GfOrder + 2), GfMul(128, 128));
}

struct EncodeCase {
  size_t Inputs, SliceBytes;
  std::vector<uint32_t> Exponents;
  unsigned Threads;
  size_t Group;
};

// The encoder against the definition: slices in a shuffled order, some short
// (zero-padded), across thread counts and group sizes, on every kernel.
TEST(ReedSolomon, EncoderMatchesDefinition) {
  const EncodeCase cases[] = {
      {1, 2, {0}, 1, 1},
      {5, 64, {0, 1, 2}, 1, 2},
      {10, 1000, {0, 1, 2, 3, 4}, 2, 3},
      {33, 4096 + 68, {0, 7, 100, 65534, 65535, 70000}, 2, 0},
      {17, 130, {3}, 3, 4},
      {40, 8194, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 2, 16},
  };
  std::mt19937 random(5);
  for (int k = 0; k < GfKernelCount; ++k) {
    if (!GfForceKernel(static_cast<GfKernel>(k))) continue;
    SCOPED_TRACE(GfKernelName());
    for (const EncodeCase& c : cases) {
      std::vector<Bytes> inputs(c.Inputs);
      for (size_t i = 0; i < c.Inputs; ++i)
        inputs[i] = RandomSlice(random, i % 4 == 3 ? c.SliceBytes / 2 + 1 : c.SliceBytes);
      std::vector<uint32_t> order(c.Inputs);
      for (uint32_t i = 0; i < c.Inputs; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), random);
      RecoveryEncoder encoder(c.SliceBytes, c.Exponents, c.Threads, c.Group);
      for (size_t n = 0; n < order.size(); ++n) {
        const Bytes& slice = inputs[order[n]];
        if (n % 2) {
          encoder.Add(order[n], slice.data(), slice.size());
        } else {
          std::copy(slice.begin(), slice.end(), encoder.Acquire());
          encoder.Commit(order[n], slice.size());
        }
      }
      encoder.Finish();
      ASSERT_EQ(encoder.Count(), c.Exponents.size());
      for (size_t r = 0; r < c.Exponents.size(); ++r) {
        const Bytes expected = Reference(inputs, c.Exponents[r], c.SliceBytes);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), encoder.Slice(r)))
            << c.Inputs << " inputs, exponent " << c.Exponents[r];
      }
    }
  }
  GfResetKernel();
}

// With checksums and streams: every slice's MD5 and CRC-32 (of the padded
// slice) and each stream's digest of its slices' bytes in commit order, on
// one and on three threads, streams fed interleaved as a reader of several
// files at once would.
TEST(ReedSolomon, EncoderChecksumsAndStreams) {
  std::mt19937 random(7);
  constexpr size_t SliceBytes = 4096 + 64;
  constexpr uint32_t Files = 5;
  // File f has 3 + 2f slices, its last one short (odd length for one).
  std::vector<std::vector<Bytes>> files(Files);
  uint32_t total = 0;
  for (uint32_t f = 0; f < Files; ++f) {
    for (uint32_t s = 0; s < 3 + 2 * f; ++s) files[f].push_back(RandomSlice(random, SliceBytes));
    files[f].back().resize(f == 2 ? 1001 : SliceBytes / 3 * 2);
    total += static_cast<uint32_t>(files[f].size());
  }
  for (unsigned threads : {1u, 3u}) {
    SliceAccumulator::Options options;
    options.Threads = threads;
    options.GroupSlices = 6;
    options.Checksums = true;
    options.Streams = Files;
    RecoveryEncoder encoder(SliceBytes, {0, 1}, options);
    std::vector<uint32_t> first(Files);
    for (uint32_t f = 1; f < Files; ++f)
      first[f] = first[f - 1] + static_cast<uint32_t>(files[f - 1].size());
    // Round robin over the files.
    for (size_t round = 0; round < files.back().size(); ++round)
      for (uint32_t f = 0; f < Files; ++f)
        if (round < files[f].size())
          encoder.Add(first[f] + static_cast<uint32_t>(round), files[f][round].data(),
                      files[f][round].size(), f);
    encoder.Finish();
    for (uint32_t f = 0; f < Files; ++f) {
      Md5Context whole;
      for (size_t s = 0; s < files[f].size(); ++s) {
        Bytes padded = files[f][s];
        whole.Update(padded.data(), padded.size());
        padded.resize(SliceBytes);
        const SliceChecksum sum = encoder.Checksum(first[f] + static_cast<uint32_t>(s));
        EXPECT_EQ(sum.Md5, Md5(padded.data(), padded.size())) << f << "/" << s;
        uint32_t crc = 0;
        UpdateCrc32(padded.data(), static_cast<int32_t>(padded.size()), crc, true, true);
        EXPECT_EQ(sum.Crc32, crc) << f << "/" << s;
      }
      EXPECT_EQ(encoder.StreamDigest(f), whole.Final()) << "file " << f;
    }
    EXPECT_EQ(encoder.Checksum(total + 5).Crc32, 0u);
  }
}

struct RepairCase {
  size_t Inputs, SliceBytes, Recovery;
  std::vector<uint32_t> Lost;           // input slices
  std::vector<uint32_t> LostRecovery;   // recovery exponents also lost
  unsigned Threads;
};

// Encode, lose input and recovery slices, plan, decode: the lost slices come
// back byte for byte.
TEST(ReedSolomon, RoundTrip) {
  const RepairCase cases[] = {
      {1, 64, 1, {0}, {}, 1},
      {10, 1002, 3, {2, 5, 9}, {}, 2},
      {50, 4096, 10, {0, 1, 2, 3, 4, 5, 6}, {1, 4, 8}, 2},
      {30, 130, 30, {}, {}, 2},
      {300, 258, 40, {7, 8, 9, 100, 200, 299, 250, 33, 34, 35, 36, 37}, {0, 2, 3, 5}, 3},
  };
  std::mt19937 random(6);
  for (const RepairCase& c : cases) {
    std::vector<Bytes> inputs(c.Inputs);
    for (size_t i = 0; i < c.Inputs; ++i) inputs[i] = RandomSlice(random, c.SliceBytes);
    std::vector<uint32_t> exponents(c.Recovery);
    for (uint32_t e = 0; e < c.Recovery; ++e) exponents[e] = e;
    RecoveryEncoder encoder(c.SliceBytes, exponents, c.Threads);
    for (uint32_t i = 0; i < c.Inputs; ++i) encoder.Add(i, inputs[i].data(), inputs[i].size());
    encoder.Finish();

    std::vector<uint32_t> available;
    for (uint32_t e : exponents)
      if (std::find(c.LostRecovery.begin(), c.LostRecovery.end(), e) == c.LostRecovery.end())
        available.push_back(e);
    RecoveryDecoder decoder(c.SliceBytes, c.Threads, 5);
    ASSERT_EQ(decoder.Plan(c.Lost, available), RecoveryDecoder::PlanResult::Ready);
    ASSERT_EQ(decoder.UsedExponents().size(), c.Lost.size());
    // Recovery slices first, then the inputs backwards: order is free.
    EXPECT_FALSE(decoder.CommitRecovery(65000, 0));
    for (uint32_t e : decoder.UsedExponents()) {
      const size_t r = std::find(exponents.begin(), exponents.end(), e) - exponents.begin();
      decoder.AddRecovery(e, encoder.Slice(r), c.SliceBytes);
    }
    for (uint32_t i = static_cast<uint32_t>(c.Inputs); i-- > 0;)
      if (std::find(c.Lost.begin(), c.Lost.end(), i) == c.Lost.end())
        decoder.AddInput(i, inputs[i].data(), inputs[i].size());
    decoder.Finish();
    for (size_t m = 0; m < c.Lost.size(); ++m) {
      const Bytes& want = inputs[c.Lost[m]];
      ASSERT_TRUE(std::equal(want.begin(), want.end(), decoder.Slice(m))) << "slice " << c.Lost[m];
    }
  }
}

// Too few recovery slices, and choices that cannot be solved: input slices
// whose constants' exponents differ by 255 (= 65535 / 257) with recovery
// exponents 257 apart give two equal columns.
TEST(ReedSolomon, PlanRefusals) {
  RecoveryDecoder decoder(64, 1);
  EXPECT_EQ(decoder.Plan({1, 2, 3}, {0, 1}), RecoveryDecoder::PlanResult::TooFew);
  uint32_t a = 0, b = 0;
  while (InputSliceLog(b) != InputSliceLog(a) + 255) ++b;
  EXPECT_EQ(decoder.Plan({a, b}, {0, 257}), RecoveryDecoder::PlanResult::Singular);
  EXPECT_TRUE(decoder.UsedExponents().empty());
  EXPECT_EQ(decoder.Plan({a, b}, {0, 257, 514, 3}), RecoveryDecoder::PlanResult::Ready);
  EXPECT_EQ(decoder.UsedExponents(), (std::vector<uint32_t>{0, 3}));
  EXPECT_EQ(decoder.Plan({}, {}), RecoveryDecoder::PlanResult::Ready);
  decoder.Finish();
}

}  // namespace
