// MD5: the RFC 1321 test suite on every kernel, and many streams in lanes
// against one stream at a time, with streams fed in step and apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "par2/MD5.h"

namespace {

std::string Hex(const Md5Digest& d) {
  std::string s;
  char buf[3];
  for (uint8_t b : d) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

std::vector<Md5Kernel> AvailableKernels() {
  std::vector<Md5Kernel> kernels;
  for (int k = 0; k < Md5KernelCount; ++k)
    if (Md5KernelAvailable(static_cast<Md5Kernel>(k))) kernels.push_back(static_cast<Md5Kernel>(k));
  return kernels;
}

struct KernelScope {
  explicit KernelScope(Md5Kernel k) { EXPECT_TRUE(Md5ForceKernel(k)); }
  ~KernelScope() { Md5ResetKernel(); }
};

const struct {
  std::string Text;
  const char* Digest;
} Rfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321Vectors) {
  std::printf("MD5 lanes run on: %s\n", Md5KernelName(Md5ActiveKernel()));
  for (const auto& v : Rfc1321) {
    EXPECT_EQ(Hex(Md5(v.Text.data(), v.Text.size())), v.Digest) << '"' << v.Text << '"';
    // Byte by byte through a context.
    Md5Context context;
    for (char c : v.Text) context.Update(&c, 1);
    EXPECT_EQ(context.Length(), v.Text.size());
    EXPECT_EQ(Hex(context.Final()), v.Digest);
  }
  // Lengths around the padding boundary (55, 56, 63, 64 bytes) and a million
  // 'a's.
  EXPECT_EQ(Hex(Md5(std::string(55, 'a').data(), 55)), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Hex(Md5(std::string(56, 'a').data(), 56)), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Hex(Md5(std::string(64, 'a').data(), 64)), "014842d480b571495a4a0363793f7367");
  const std::string million(1000000, 'a');
  EXPECT_EQ(Hex(Md5(million.data(), million.size())), "7707d6ae4e027c70eea2a935c2296f21");

  for (Md5Kernel k : AvailableKernels()) {
    KernelScope scope(k);
    SCOPED_TRACE(Md5KernelName(k));
    std::vector<const uint8_t*> data;
    for (size_t i = 0; i < 20; ++i)
      data.push_back(reinterpret_cast<const uint8_t*>(Rfc1321[6].Text.data()));
    std::vector<Md5Digest> out(20);
    Md5Many(data.data(), 20, Rfc1321[6].Text.size(), out.data());
    for (const Md5Digest& d : out) EXPECT_EQ(Hex(d), Rfc1321[6].Digest);
  }
}

// Md5Many and Md5Multi on every kernel give one-stream digests, for stream
// counts around the lane widths and lengths around block boundaries.
TEST(Md5, LanesMatchOneStream) {
  std::mt19937 random(4);
  const size_t counts[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33};
  const size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 127, 128, 1000, 4096, 65536 + 3};
  for (Md5Kernel k : AvailableKernels()) {
    KernelScope scope(k);
    SCOPED_TRACE(Md5KernelName(k));
    for (size_t count : counts) {
      for (size_t length : lengths) {
        std::vector<std::vector<uint8_t>> messages(count, std::vector<uint8_t>(length));
        std::vector<const uint8_t*> pointers;
        for (auto& m : messages) {
          for (auto& b : m) b = static_cast<uint8_t>(random());
          pointers.push_back(m.data());
        }
        std::vector<Md5Digest> many(count);
        Md5Many(pointers.data(), count, length, many.data());
        for (size_t i = 0; i < count; ++i)
          ASSERT_EQ(many[i], Md5(messages[i].data(), length)) << count << " x " << length;
      }
    }
    // Streams fed in uneven pieces, in step, then one stream alone, then in
    // step again (now out of step: each is fed by itself).
    const size_t count = 11;
    std::vector<std::vector<uint8_t>> streams(count);
    Md5Multi multi(count);
    EXPECT_EQ(multi.Streams(), count);
    const size_t pieces[] = {3, 61, 64, 1, 200, 0, 4096, 7};
    for (size_t round = 0; round < 3; ++round) {
      for (size_t piece : pieces) {
        std::vector<std::vector<uint8_t>> chunk(count, std::vector<uint8_t>(piece));
        std::vector<const uint8_t*> pointers;
        for (size_t i = 0; i < count; ++i) {
          for (auto& b : chunk[i]) b = static_cast<uint8_t>(random());
          streams[i].insert(streams[i].end(), chunk[i].begin(), chunk[i].end());
          pointers.push_back(chunk[i].data());
        }
        multi.Update(pointers.data(), piece);
      }
      if (round == 1) {
        const uint8_t extra[5] = {1, 2, 3, 4, 5};
        multi.Update(2, extra, 5);
        streams[2].insert(streams[2].end(), extra, extra + 5);
      }
    }
    for (size_t i = 0; i < count; ++i)
      ASSERT_EQ(multi.Final(i), Md5(streams[i].data(), streams[i].size())) << "stream " << i;
    // Final starts the stream again.
    EXPECT_EQ(Hex(multi.Final(0)), Rfc1321[0].Digest);
  }
}

}  // namespace
