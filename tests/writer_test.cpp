// The volume writer: the bytes of each record spelled out (an oracle apart
// from the format's definition), fields set by hand, self-joining files,
// the cut into volumes and its edge cases, the file helpers.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/TestSupport.h"
#include "writer/VolumeWriter.h"

namespace vw = volwriter;

namespace {

vw::Bytes ToData(const std::string& s) { return vw::Bytes(s.begin(), s.end()); }

// count bytes of b from offset, as text (Bytes() makes the expected texts).
std::string At(const vw::Bytes& b, size_t offset, size_t count) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(offset),
                     b.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

TEST(VolumeWriter, OnePieceVolumeLayout) {
  vw::Volume volume;
  volume.Set = {1, 2, 3, 4, 5, 6, 7, 8};
  volume.CheckMode = 4;
  volume.VolumeNumber = 0x01020304;
  volume.IsLast = true;
  vw::Piece piece;
  piece.FileName = "A.TXT";
  piece.FileOffset = 0x0102030405060708;
  piece.Data = ToData("abc");
  volume.Pieces.push_back(piece);

  const vw::Bytes b = vw::EncodeVolume(volume);
  ASSERT_EQ(b.size(), 83u);  // 9 + 30 + 34 + 5 + 2 + 3
  EXPECT_EQ(At(b, 0, 9), Bytes("PARCEL\x03\x02\x03", 9));
  EXPECT_EQ(At(b, 9, 14), Bytes("\x01\x02\x03\x04\x05\x06\x07\x08\x04\x04\x03\x02\x01\x01", 14));
  EXPECT_EQ(At(b, 23, 16), Bytes("\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16));  // SpaceNeeded 3
  EXPECT_EQ(At(b, 39, 12), Bytes("FHDR\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(At(b, 51, 8), Bytes("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  EXPECT_EQ(At(b, 59, 8), Bytes("\x03\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(At(b, 67, 4), "\xC2\x41\x24\x35");
  EXPECT_EQ(At(b, 71, 2), Bytes("\x05\0", 2));
  EXPECT_EQ(At(b, 73, 10), "A.TXTDSabc");
}

// Every field can be set by hand, for building damaged volumes.
TEST(VolumeWriter, OverriddenFieldsAreWrittenAsGiven) {
  vw::Volume volume;
  volume.Magic = "par";  // padded with NULs
  volume.SpaceNeeded = -1;
  vw::Piece piece;
  piece.FileName = "X";
  piece.Tag = "FHDRXX";  // cut to 4 bytes
  piece.EndMarker = "D";
  piece.DataSize = 1000;
  piece.Crc = 0xAABBCCDD;
  piece.Data = ToData("zz");
  volume.Pieces.push_back(piece);

  const vw::Bytes b = vw::EncodeVolume(volume);
  ASSERT_EQ(b.size(), 39u + 34 + 1 + 1 + 2);
  EXPECT_EQ(At(b, 0, 6), Bytes("par\0\0\0", 6));
  EXPECT_EQ(At(b, 23, 8), std::string(8, '\xFF'));
  EXPECT_EQ(At(b, 39, 4), "FHDR");
  EXPECT_EQ(At(b, 59, 12), Bytes("\xE8\x03\0\0\0\0\0\0\xDD\xCC\xBB\xAA", 12));
  EXPECT_EQ(At(b, 73, 4), "XDzz");
}

TEST(VolumeWriter, StubLayout) {
  for (size_t size : {size_t{0}, size_t{0x0203}, size_t{70000}}) {
    vw::Bytes program(size);
    std::iota(program.begin(), program.end(), uint8_t{0});
    const vw::Bytes volume = vw::EncodeVolume(vw::Volume{});
    const vw::Bytes stub = vw::AppendToStub(program, volume);
    ASSERT_EQ(stub.size(), size + volume.size() + 4);
    EXPECT_EQ(At(stub, 0, size), At(program, 0, size));
    EXPECT_EQ(At(stub, size, volume.size()), At(volume, 0, volume.size()));
    const std::string trailer = {char(size & 0xFF), char(size >> 8 & 0xFF), char(size >> 16), 0};
    EXPECT_EQ(At(stub, stub.size() - 4, 4), trailer);
  }
}

struct SplitCase {
  const char* Name;
  std::vector<size_t> FileSizes;
  int64_t VolumeSize;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.Name; }

class SplitFilesTest : public ::testing::TestWithParam<SplitCase> {};

// The pieces of each file cover it exactly, in order, with its data; no
// volume is larger than the size; the volumes are numbered 1..N and only N is
// the last; no volume is closed while the next piece could still have put a
// byte into it.
TEST_P(SplitFilesTest, CutsFilesIntoFittingVolumes) {
  const SplitCase& c = GetParam();
  std::mt19937 random(99);
  std::vector<vw::InputFile> files;
  for (size_t i = 0; i < c.FileSizes.size(); ++i) {
    vw::InputFile f{"dir\\file" + std::to_string(i) + ".bin", vw::Bytes(c.FileSizes[i])};
    for (auto& b : f.Contents) b = static_cast<uint8_t>(random());
    files.push_back(f);
  }
  vw::SplitOptions options;
  options.VolumeSize = c.VolumeSize;
  options.Set = {9, 8, 7, 6, 5, 4, 3, 2};
  options.CheckMode = 4;
  const std::vector<vw::Volume> volumes = vw::SplitFiles(files, options);
  ASSERT_FALSE(volumes.empty());

  std::vector<int64_t> covered(files.size(), 0);
  std::vector<int> pieces(files.size(), 0);
  size_t f = 0;
  for (size_t v = 0; v < volumes.size(); ++v) {
    const vw::Volume& volume = volumes[v];
    SCOPED_TRACE("volume " + std::to_string(v + 1));
    EXPECT_EQ(volume.VolumeNumber, static_cast<int32_t>(v + 1));
    EXPECT_EQ(volume.IsLast, v + 1 == volumes.size());
    EXPECT_EQ(volume.Set, options.Set);
    EXPECT_EQ(volume.CheckMode, 4);
    const int64_t size = static_cast<int64_t>(vw::EncodeVolume(volume).size());
    EXPECT_LE(size, c.VolumeSize);
    if (v + 1 < volumes.size()) {
      ASSERT_FALSE(volumes[v + 1].Pieces.empty());
      const vw::Piece& next = volumes[v + 1].Pieces.front();
      EXPECT_GT(size + vw::PieceOverhead(next.FileName) + (next.Data.empty() ? 0 : 1), c.VolumeSize)
          << "closed early";
    }
    for (const vw::Piece& piece : volume.Pieces) {
      while (f < files.size() && files[f].StoredName != piece.FileName) ++f;
      ASSERT_LT(f, files.size()) << "piece out of order: " << piece.FileName;
      EXPECT_EQ(piece.FileOffset, covered[f]);
      ASSERT_LE(piece.FileOffset + static_cast<int64_t>(piece.Data.size()),
                static_cast<int64_t>(files[f].Contents.size()));
      EXPECT_TRUE(std::equal(piece.Data.begin(), piece.Data.end(),
                             files[f].Contents.begin() + static_cast<std::ptrdiff_t>(piece.FileOffset)));
      EXPECT_EQ(piece.Data.empty(), files[f].Contents.empty()) << "empty piece of a non-empty file";
      covered[f] += static_cast<int64_t>(piece.Data.size());
      ++pieces[f];
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(covered[i], static_cast<int64_t>(files[i].Contents.size())) << i;
    EXPECT_GE(pieces[i], 1) << i;
    if (files[i].Contents.empty()) {
      EXPECT_EQ(pieces[i], 1) << i;
    }
  }
}

// The volume records take 39 bytes; a piece of "dir\fileN.bin" takes 49 more
// besides its data.
constexpr int64_t Records = 39;
constexpr int64_t PieceHead = 34 + 13 + 2;

INSTANTIATE_TEST_SUITE_P(
    Layouts, SplitFilesTest,
    ::testing::Values(
        SplitCase{"OneSmallFile", {3}, 1000},
        SplitCase{"OneFileManyVolumes", {10000}, 1000},
        SplitCase{"ExactFit", {1000 - Records - PieceHead}, 1000},
        SplitCase{"OneByteOver", {1000 - Records - PieceHead + 1}, 1000},
        SplitCase{"SeveralFilesShareVolumes", {100, 0, 2500, 1, 0, 777}, 600},
        SplitCase{"EmptyFilesOnly", {0, 0, 0}, 100},
        SplitCase{"EmptyFileAfterFullVolume", {1000 - Records - PieceHead, 0}, 1000},
        SplitCase{"RoomForOneMoreByte", {1000 - Records - 2 * PieceHead - 1, 10}, 1000},
        SplitCase{"EmptyFileFillsVolume", {1000 - Records - 2 * PieceHead, 0, 1}, 1000},
        SplitCase{"OneDataByteEach", {5, 0, 3}, Records + PieceHead + 1},
        SplitCase{"LargeVolumes", {300000, 5, 200000}, 1440 * 1024}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return info.param.Name; });

TEST(VolumeWriter, SplitEdgeCases) {
  // No files: one empty volume that is the last.
  const auto none = vw::SplitFiles({}, vw::SplitOptions{});
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].IsLast && none[0].Pieces.empty() && none[0].VolumeNumber == 1);

  // A size too small for even one data byte still ends: a byte per volume.
  vw::SplitOptions tiny;
  tiny.VolumeSize = 10;
  const auto volumes = vw::SplitFiles({{"a", ToData("hello")}}, tiny);
  ASSERT_EQ(volumes.size(), 5u);
  EXPECT_EQ(volumes[4].Pieces.at(0).FileOffset, 4);
}

TEST(VolumeWriter, Helpers) {
  EXPECT_EQ(vw::PieceCrc(ToData("123456789")), 0xCBF43926u);
  EXPECT_EQ(vw::PieceCrc({}), 0u);
  EXPECT_NE(vw::NewSetId(), vw::NewSetId());

  ScratchDir dir;
  const vw::Bytes data = ToData(Bytes("x\0y\r\n\x1a", 6));
  ASSERT_TRUE(vw::WriteFileBytes(dir.NativePath("f.bin"), data));
  vw::Bytes back;
  ASSERT_TRUE(vw::ReadFileBytes(dir.NativePath("f.bin"), back));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(vw::ReadFileBytes(dir.NativePath("missing.bin"), back));
  EXPECT_FALSE(vw::WriteFileBytes(dir.NativePath("no\\such\\dir\\f.bin"), data));
}

}  // namespace
