// The tool's piece copy: every byte to its place, the CRC of exactly the
// bytes read, and an honest failure when the source ends early, for sizes on
// both sides of the read-ahead blocks (on both builds; under Wine the reads
// and writes are the real Win32 ones).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CRC32/CRC32.h"
#include "parcelio/FileIO.h"
#include "parcelio/PieceCopy.h"

namespace {

namespace fs = std::filesystem;
using parcelio::CopyRange;
using parcelio::CopyResult;
using parcelio::File;

constexpr int64_t MiB = 1024 * 1024;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 99u;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

uint32_t CrcOf(const uint8_t* data, int64_t size) {
  uint32_t crc = 0;
  UpdateCrc32(data, static_cast<int32_t>(size), crc, true, true);
  return crc;
}

class PieceCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("parcel-copy-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return path;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }

  std::vector<uint8_t> Read(const fs::path& path) {
    std::vector<uint8_t> bytes(static_cast<size_t>(fs::file_size(path)));
    std::FILE* f = std::fopen(path.string().c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return bytes;
    if (!bytes.empty()) {
      EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
    return bytes;
  }

  fs::path dir_;
};

// A piece in the middle of a volume, copied to the middle of a file, for
// sizes below, at and past the point where reads go ahead on a second
// thread, and around the block size.
TEST_F(PieceCopy, BytesAndCrcForEverySize) {
  const int64_t sizes[] = {1, 300000, 4 * MiB - 1, 4 * MiB, 4 * MiB + 1, 6 * MiB, 9 * MiB + 17};
  const int64_t sourcePos = 12345;
  const int64_t targetPos = 777;
  for (int64_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::vector<uint8_t> volume = Pattern(static_cast<size_t>(sourcePos + size + 100), 1);
    File source;
    ASSERT_TRUE(source.Open(Write("volume", volume), File::Mode::Read));

    // With a target: the bytes land at targetPos; what was before stays.
    const fs::path outPath = Write("out", std::vector<uint8_t>(targetPos, 0xAB));
    File out;
    ASSERT_TRUE(out.Open(outPath, File::Mode::Update));
    int64_t lastProgress = 0;
    const CopyResult copied = CopyRange(source, sourcePos, &out, targetPos, size,
                                        [&](int64_t done) {
                                          EXPECT_GT(done, lastProgress);
                                          lastProgress = done;
                                        });
    out.Close();
    EXPECT_TRUE(copied.ok) << copied.reason;
    EXPECT_EQ(copied.copied, size);
    EXPECT_EQ(lastProgress, size);
    EXPECT_EQ(copied.crc, CrcOf(volume.data() + sourcePos, size));
    std::vector<uint8_t> expected(targetPos, 0xAB);
    expected.insert(expected.end(), volume.begin() + sourcePos, volume.begin() + sourcePos + size);
    EXPECT_TRUE(Read(outPath) == expected);

    // Without a target (a test of the set): the same CRC.
    const CopyResult checked = CopyRange(source, sourcePos, nullptr, 0, size);
    EXPECT_TRUE(checked.ok);
    EXPECT_EQ(checked.crc, copied.crc);
  }
}

// A volume cut inside the piece: a failed read, never success, with what
// could be read written in place and nothing beyond it.
TEST_F(PieceCopy, SourceEndingInsideThePieceIsAFailedRead) {
  struct Case {
    int64_t size;       // what the piece claims
    int64_t available;  // what the volume holds of it
  } cases[] = {{1000, 0}, {1000, 999}, {8 * MiB, 3 * MiB}, {8 * MiB, 5 * MiB + 3}, {8 * MiB, 8 * MiB - 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", available " + std::to_string(c.available));
    const int64_t sourcePos = 64;
    const std::vector<uint8_t> volume = Pattern(static_cast<size_t>(sourcePos + c.available), 2);
    File source;
    ASSERT_TRUE(source.Open(Write("volume", volume), File::Mode::Read));
    const fs::path outPath = Write("out", {});
    File out;
    ASSERT_TRUE(out.Open(outPath, File::Mode::Update));
    const CopyResult result = CopyRange(source, sourcePos, &out, 0, c.size);
    out.Close();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.readFailed);
    EXPECT_FALSE(result.reason.empty());
    EXPECT_EQ(result.copied, c.available);
    EXPECT_TRUE(Read(outPath) ==
                std::vector<uint8_t>(volume.begin() + sourcePos, volume.end()));
  }
}

}  // namespace
