// CRC-32: every path this processor runs (byte loop, sliced tables,
// carry-less multiply) against the byte loop and known values, over
// lengths, alignments and chunked updates.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CRC32/CRC32.h"

namespace {

const Crc32Path AllPaths[] = {Crc32Path::Bytewise, Crc32Path::Sliced, Crc32Path::Clmul};

// The paths this processor runs; the byte loop, the reference, comes first.
std::vector<Crc32Path> AvailablePaths() {
  std::vector<Crc32Path> paths;
  for (Crc32Path path : AllPaths)
    if (Crc32PathAvailable(path)) paths.push_back(path);
  return paths;
}

void Crc(Crc32Path path, const void* buffer, int32_t count, uint32_t& crc, bool start,
         bool finish) {
  UpdateCrc32On(path, buffer, count, crc, start, finish);
}

TEST(Crc32, TableAndByteStep) {
  EXPECT_EQ(Crc32Table[0], 0x00000000u);
  EXPECT_EQ(Crc32Table[1], 0x77073096u);
  EXPECT_EQ(Crc32Table[2], 0xEE0E612Cu);
  EXPECT_EQ(Crc32Table[255], 0x2D02EF8Du);
  // Index (crc ^ byte) & 0xFF = 0x02; crc >> 8 brings in zeros from the left.
  EXPECT_EQ(UpdateCrc32Byte(0x10, 0xABCDEF12u), Crc32Table[0x02] ^ 0x00ABCDEFu);
}

// UpdateCrc32 takes the fastest path the processor offers, and every slower
// one is available too; away from x86 that is the sliced loop.
TEST(Crc32, PathChoice) {
  const Crc32Path fastest = Crc32FastestPath();
  EXPECT_TRUE(Crc32PathAvailable(fastest));
  EXPECT_NE(fastest, Crc32Path::Bytewise);
  for (Crc32Path path : AllPaths) {
    EXPECT_EQ(Crc32PathAvailable(path), static_cast<int>(path) <= static_cast<int>(fastest))
        << Crc32PathName(path);
  }
#if !defined(__x86_64__) && !defined(__i386__)
  EXPECT_EQ(fastest, Crc32Path::Sliced);
#endif
  std::printf("UpdateCrc32 runs on: %s\n", Crc32PathName(fastest));
}

TEST(Crc32, CheckValuesAndFlags) {
  const struct {
    std::string Text;
    uint32_t Expected;
  } cases[] = {
      {"123456789", 0xCBF43926u},
      {"abc", 0x352441C2u},
      {"", 0x00000000u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      // Long enough to be folded: 256 zero bytes, 256 bytes 0xFF.
      {std::string(256, '\0'), 0x0D968558u},
      {std::string(256, '\xFF'), 0xFEA8A821u},
  };
  const char* digits = "123456789";
  for (Crc32Path path : AvailablePaths()) {
    SCOPED_TRACE(Crc32PathName(path));
    for (const auto& c : cases) {
      uint32_t crc = 0x5A5A5A5A;  // Start overwrites it
      Crc(path, c.Text.data(), static_cast<int32_t>(c.Text.size()), crc, true, true);
      EXPECT_EQ(crc, c.Expected) << "length " << c.Text.size();
    }
    uint32_t crc = 0x5A5A5A5A;
    UpdateCrc32(cases[0].Text.data(), 9, crc, true, true);
    EXPECT_EQ(crc, 0xCBF43926u) << "UpdateCrc32";

    crc = 0;
    Crc(path, digits, 9, crc, true, false);  // no Finish: not complemented
    EXPECT_EQ(crc, ~0xCBF43926u);

    Crc(path, digits, 4, crc, true, false);  // chunks of 4, 4 and 1
    Crc(path, digits + 4, 4, crc, false, false);
    Crc(path, digits + 8, 1, crc, false, true);
    EXPECT_EQ(crc, 0xCBF43926u);

    crc = 0x12345678u;  // a count of 0 or less passes no bytes
    Crc(path, digits, 0, crc, false, false);
    Crc(path, digits, -1, crc, false, false);
    Crc(path, digits, INT32_MIN, crc, false, false);
    EXPECT_EQ(crc, 0x12345678u);
    Crc(path, digits, -5, crc, true, true);
    EXPECT_EQ(crc, 0x00000000u);
    Crc(path, digits, 0, crc, false, true);  // Finish alone complements
    EXPECT_EQ(crc, 0xFFFFFFFFu);
  }
}

// Every length up to a few times the folding step (64 bytes at a time, then
// 16-byte blocks, then single bytes) at every start alignment within 32 bytes, as a
// whole framed call and as the continuation of a running value, on every
// path against the byte loop. The buffer is copied to the end of its own
// allocation, so a read past its last byte is caught by the address sanitizer.
TEST(Crc32, EveryPathMatchesReferenceForEveryLengthAndAlignment) {
  constexpr int32_t MaxLength = 5 * 64 + 3 * 16 + 15;
  std::mt19937 random(7);
  std::vector<uint8_t> source(32 + MaxLength);
  for (auto& b : source) b = static_cast<uint8_t>(random());

  for (Crc32Path path : AvailablePaths()) {
    if (path == Crc32Path::Bytewise) continue;
    for (int32_t length = 0; length <= MaxLength; ++length) {
      for (size_t align = 0; align < 32; ++align) {
        std::vector<uint8_t> exact(source.begin() + align, source.begin() + align + length);
        for (bool framed : {true, false}) {
          uint32_t expected = 0xDEADBEEFu;
          uint32_t actual = 0xDEADBEEFu;
          Crc(Crc32Path::Bytewise, source.data() + align, length, expected, framed, framed);
          Crc(path, source.data() + align, length, actual, framed, framed);
          ASSERT_EQ(actual, expected) << Crc32PathName(path) << " length " << length
                                      << " alignment " << align
                                      << (framed ? " framed" : " running");
          actual = 0xDEADBEEFu;
          Crc(path, exact.data(), length, actual, framed, framed);
          ASSERT_EQ(actual, expected) << Crc32PathName(path) << " length " << length
                                      << " at the end of its buffer";
        }
      }
    }
  }
}

// Large random buffers fed in random chunks give the CRC of the whole, on
// every path, and UpdateCrc32 agrees.
TEST(Crc32, RandomChunkingGivesWholeBufferCrc) {
  std::mt19937 random(2024);
  for (int round = 0; round < 12; ++round) {
    std::vector<uint8_t> data(1 + random() % 300000);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    uint32_t expected = 0;
    Crc(Crc32Path::Bytewise, data.data(), static_cast<int32_t>(data.size()), expected, true,
        true);

    const size_t limit = round % 2 ? 16384 : 70000;
    for (Crc32Path path : AvailablePaths()) {
      uint32_t crc = 0;
      for (size_t done = 0; done < data.size();) {
        const size_t chunk = std::min<size_t>(data.size() - done, 1 + random() % limit);
        Crc(path, data.data() + done, static_cast<int32_t>(chunk), crc, done == 0,
            done + chunk == data.size());
        done += chunk;
      }
      EXPECT_EQ(crc, expected) << Crc32PathName(path) << " round " << round << " size "
                               << data.size();
    }
    uint32_t crc = 0;
    UpdateCrc32(data.data(), static_cast<int32_t>(data.size()), crc, true, true);
    EXPECT_EQ(crc, expected) << "UpdateCrc32 round " << round;
  }
}

}  // namespace
