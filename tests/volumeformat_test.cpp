// The volume format's one definition in use: the rule that locates a
// candidate's volume, and sets written by the writer read back by both
// readers (the self-joining program's record readers, parcel's set reader),
// which must see the same volumes, pieces and data, and refuse the same
// damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "MiscSFX/MiscSFX.h"
#include "SplitSFX/SplitSFX.h"
#include "VolumeFormat/VolumeFormat.h"
#include "parcelio/SetReader.h"
#include "platform/Win32.h"
#include "tests/TestSupport.h"
#include "writer/VolumeWriter.h"

namespace {

namespace vf = volformat;
namespace vw = volwriter;

// Fields of the packed records may be misaligned: copied before comparing.
template <typename T>
T Val(T value) {
  return value;
}

// ------------------------------------------------------------------ the locating rule

// The rule over bytes in memory: a sound signature is 9 bytes that pass
// CheckSignature; sizeKnown false gives the rule an unknown size (-1).
bool LocateIn(const vw::Bytes& file, vf::VolumePlace& place, bool sizeKnown = true, bool trailerReads = true) {
  auto signatureAt = [&](int64_t position) {
    return position >= 0 && static_cast<uint64_t>(position) + vf::kSignatureLength <= file.size() &&
           vf::CheckSignature(file.data() + position) == vf::SignatureCheck::Sound;
  };
  auto trailerAt = [&](int64_t position, uint8_t* trailer) {
    if (!trailerReads) return false;
    std::memcpy(trailer, file.data() + position, vf::kTrailerLength);
    return true;
  };
  return vf::LocateVolume(sizeKnown ? static_cast<int64_t>(file.size()) : -1, signatureAt, trailerAt, place);
}

vw::Bytes Concat(std::initializer_list<vw::Bytes> parts) {
  vw::Bytes out;
  for (const vw::Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(LocateVolume, SignatureAtZeroOrThroughTheTrailer) {
  const vw::Bytes volume = vw::EncodeVolume(vw::Volume{});
  const vw::Bytes program(777, 'p');
  const vw::Bytes selfJoining = vw::AppendToStub(program, volume);
  const int64_t volumeSize = static_cast<int64_t>(volume.size());
  const int64_t selfSize = static_cast<int64_t>(selfJoining.size());
  const struct {
    const char* what;
    vw::Bytes file;
    bool sizeKnown, trailerReads, found;
    int64_t start, dataEnd;
  } cases[] = {
      {"a plain volume", volume, true, true, true, 0, volumeSize},
      {"a self-joining file", selfJoining, true, true, true, 777, selfSize - 4},
      {"a volume whose last bytes point elsewhere: byte 0 wins", Concat({volume, vw::EncodeTrailer(5)}), true, true,
       true, 0, volumeSize + 4},
      {"a trailer pointing past the end", Concat({program, volume, vw::EncodeTrailer(0xFFFFFF00u)}), true, true,
       false, 0, 0},
      {"a trailer pointing at no signature", Concat({program, volume, vw::EncodeTrailer(776)}), true, true, false, 0,
       0},
      {"a trailer pointing at itself", Concat({program, vw::EncodeTrailer(777)}), true, true, false, 0, 0},
      {"too short for a trailer", vw::Bytes(3, 0), true, true, false, 0, 0},
      {"a trailer that cannot be read", selfJoining, true, false, false, 0, 0},
      {"size unknown: byte 0 only, the end unknown", volume, false, true, true, 0, -1},
      {"size unknown: no trailer sought", selfJoining, false, true, false, 0, 0},
  };
  for (const auto& c : cases) {
    vf::VolumePlace place;
    ASSERT_EQ(LocateIn(c.file, place, c.sizeKnown, c.trailerReads), c.found) << c.what;
    EXPECT_EQ(place.start, c.start) << c.what;
    EXPECT_EQ(place.dataEnd, c.dataEnd) << c.what;
  }
}

// ------------------------------------------------------------------ both readers over one set

bool MoveTo(HANDLE handle, int64_t position) {
  LONG high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(handle, static_cast<LONG>(static_cast<uint32_t>(position)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

int64_t Position(HANDLE handle) {
  LONG high = 0;
  const DWORD low = SetFilePointer(handle, 0, &high, FILE_CURRENT);
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

// One piece as the self-joining program's readers see it.
struct StubPiece {
  std::string name;
  int64_t fileOffset = 0, dataSize = 0, dataPos = 0;
  uint32_t crc = 0;
  vw::Bytes data;
};

// One volume file as the self-joining program reads it: located by the rule
// with its signature reader, then the record, then header after header
// (and the data between) until a header does not read.
struct StubVolume {
  bool found = false;
  int32_t signatureAtZero = 0;  // what the signature reader said of byte 0
  vf::VolumePlace place;
  TVolumeRecord record{};
  std::vector<StubPiece> pieces;
  int32_t endResult = 0;  // the result of the header read that ended the volume
  int64_t endPosition = 0;
};

StubVolume ReadWithStubReaders(const std::string& win32Path) {
  StubVolume volume;
  HANDLE handle = CreateFileA(win32Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << win32Path;
  if (handle == INVALID_HANDLE_VALUE) return volume;
  DWORD high = 0;
  const DWORD low = GetFileSize(handle, &high);
  const int64_t size = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  TVolumeSignature signature{};
  volume.found = vf::LocateVolume(
      size,
      [&](int64_t at) {
        if (!MoveTo(handle, at)) return false;
        const int32_t result = ReadSignature(handle, signature);
        if (at == 0) volume.signatureAtZero = result;
        return result == rcOk;
      },
      [&](int64_t at, uint8_t* trailer) {
        return MoveTo(handle, at) && ReadBlock(handle, trailer, int32_t{vf::kTrailerLength}) == vf::kTrailerLength;
      },
      volume.place);
  if (volume.found && ReadVolumeRecord(handle, volume.record) != rcOk) volume.found = false;
  while (volume.found) {
    volume.endPosition = Position(handle);
    TFileHeader header;
    volume.endResult = ReadFileHeader(handle, header);
    if (volume.endResult != rcOk) break;
    StubPiece piece;
    piece.name = header.FileName;
    piece.fileOffset = header.FileOffset;
    piece.dataSize = header.DataSize;
    piece.crc = header.Crc;
    piece.dataPos = Position(handle);
    piece.data.resize(static_cast<size_t>(std::max<int64_t>(piece.dataSize, 0)));
    const int32_t got =
        piece.data.empty() ? 0 : ReadBlock(handle, piece.data.data(), static_cast<int32_t>(piece.data.size()));
    EXPECT_EQ(got, static_cast<int32_t>(piece.data.size())) << win32Path;
    volume.pieces.push_back(std::move(piece));
  }
  CloseHandle(handle);
  return volume;
}

vw::Bytes RandomBytes(size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  vw::Bytes bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(engine());
  return bytes;
}

struct SetCase {
  const char* what;
  uint8_t checkMode;
  size_t programSize;  // volume 1 appended to a program of this size; 0: a plain volume
  uint8_t minor;
  const char* magic;
  const char* tag;
};

TEST(WrittenSet, BothReadersSeeWhatTheWriterWrote) {
  const std::vector<vw::InputFile> files = {
      {"A.TXT", RandomBytes(5000, 1)},
      {"DIR\\EMPTY.BIN", {}},
      {"C", RandomBytes(1, 2)},
      {"D\xE9J\xC0.DAT", RandomBytes(3000, 3)},  // 1252 text
  };
  const SetCase cases[] = {
      {"plain volumes, CRCs compared", 0, 0, vf::kNewestMinorVersion, vf::kMagic, vf::kPieceTag},
      {"a self-joining first volume, no CRCs", vf::kNoCrcCheck, 777, vf::kNewestMinorVersion, vf::kMagic,
       vf::kPieceTag},
      {"the oldest version, in lower case", 0, 4096, vf::kOldestMinorVersion, "parcel", "fhdr"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.what);
    vw::SplitOptions options;
    options.VolumeSize = 2048;
    options.Set = vw::NewSetId();
    options.CheckMode = c.checkMode;
    std::vector<vw::Volume> volumes = vw::SplitFiles(files, options);
    ASSERT_GE(volumes.size(), 4u);

    ScratchDir dir;
    std::vector<std::string> names;
    for (vw::Volume& volume : volumes) {
      volume.Magic = c.magic;
      volume.MinorVersion = c.minor;
      for (vw::Piece& piece : volume.Pieces) piece.Tag = c.tag;
      vw::Bytes bytes = vw::EncodeVolume(volume);
      std::string name = "set.s0" + std::to_string(volume.VolumeNumber);
      if (volume.VolumeNumber == 1 && c.programSize > 0) {
        bytes = vw::AppendToStub(RandomBytes(c.programSize, 4), bytes);
        name = "set.exe";
      }
      dir.WriteBytes(name, bytes);
      names.push_back(name);
    }

    // parcel's set reader, from the first volume.
    parcelio::SetInfo set;
    std::string error;
    ASSERT_TRUE(parcelio::ReadSet(dir.NativePath(names[0]), set, error)) << error;
    EXPECT_TRUE(set.Complete());
    EXPECT_FALSE(set.Damaged());
    EXPECT_EQ(set.crcsRecorded, c.checkMode != vf::kNoCrcCheck);
    EXPECT_TRUE(std::equal(set.id.begin(), set.id.end(), options.Set.begin()));
    ASSERT_EQ(set.files.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(set.files[i].stored, files[i].StoredName);
      EXPECT_EQ(set.files[i].size, static_cast<int64_t>(files[i].Contents.size()));
    }
    ASSERT_EQ(set.volumes.size(), volumes.size());

    for (size_t v = 0; v < volumes.size(); ++v) {
      const vw::Volume& written = volumes[v];
      const parcelio::VolumeEntry& listed = set.volumes[v];
      SCOPED_TRACE(names[v]);
      // The self-joining program's readers, over the same file.
      const StubVolume read = ReadWithStubReaders(dir.Path(names[v]));
      ASSERT_TRUE(read.found);

      const int64_t fileSize = static_cast<int64_t>(dir.ReadBytes(names[v]).size());
      const int64_t start = v == 0 ? static_cast<int64_t>(c.programSize) : 0;
      const int64_t dataEnd = v == 0 && c.programSize > 0 ? fileSize - vf::kTrailerLength : fileSize;
      EXPECT_EQ(read.place.start, start);
      EXPECT_EQ(read.place.dataEnd, dataEnd);
      EXPECT_EQ(listed.start, start);
      EXPECT_EQ(listed.cleanEnd, dataEnd);

      // The volume record.
      EXPECT_EQ(0, std::memcmp(read.record.SetId, options.Set.data(), vf::kSetIdLength));
      EXPECT_EQ(Val(read.record.VolumeNumber), written.VolumeNumber);
      EXPECT_EQ(listed.number, written.VolumeNumber);
      EXPECT_EQ(Val(read.record.IsLast) != 0, written.IsLast);
      EXPECT_EQ(listed.isLast, written.IsLast);
      EXPECT_EQ(Val(read.record.CheckMode), c.checkMode);
      EXPECT_EQ(listed.checkMode, c.checkMode);
      int64_t dataBytes = 0;
      for (const vw::Piece& piece : written.Pieces) dataBytes += static_cast<int64_t>(piece.Data.size());
      EXPECT_EQ(Val(read.record.SpaceNeeded), dataBytes);
      EXPECT_EQ(listed.spaceNeeded, dataBytes);

      // The pieces, and the clean end of the sequence.
      EXPECT_EQ(read.endResult, rcReadError);
      EXPECT_EQ(read.endPosition, dataEnd);
      EXPECT_EQ(listed.damagedAt, -1) << listed.damage;
      ASSERT_EQ(read.pieces.size(), written.Pieces.size());
      ASSERT_EQ(listed.pieces.size(), written.Pieces.size());
      for (size_t p = 0; p < written.Pieces.size(); ++p) {
        const vw::Piece& piece = written.Pieces[p];
        const StubPiece& stub = read.pieces[p];
        const parcelio::PieceEntry& entry = listed.pieces[p];
        const uint32_t crc = vw::PieceCrc(piece.Data);
        const int64_t size = static_cast<int64_t>(piece.Data.size());
        EXPECT_EQ(stub.name, piece.FileName);
        EXPECT_EQ(set.files[entry.file].stored, piece.FileName);
        EXPECT_EQ(stub.fileOffset, piece.FileOffset);
        EXPECT_EQ(entry.offset, piece.FileOffset);
        EXPECT_EQ(stub.dataSize, size);
        EXPECT_EQ(entry.size, size);
        EXPECT_EQ(stub.crc, crc);
        EXPECT_EQ(entry.crc, crc);
        EXPECT_EQ(stub.dataPos, entry.dataPos);
        EXPECT_EQ(stub.data, piece.Data);
      }
    }
  }
}

// Damage that both readers must see alike: a volume one refuses is not a
// volume to the other either, and a piece header one rejects ends the
// volume for the other at the same place.
TEST(WrittenSet, BothReadersRefuseTheSameDamage) {
  const struct {
    const char* what;
    void (*damage)(vw::Volume&);
    int32_t signatureResult;  // rcOk: the volume is found, its piece header is the damage
  } cases[] = {
      {"a newer minor version", [](vw::Volume& v) { v.MinorVersion = vf::kNewestMinorVersion + 1; }, rcBadVersion},
      {"another major version", [](vw::Volume& v) { v.MajorVersion = vf::kMajorVersion + 1; }, rcBadVersion},
      {"another magic", [](vw::Volume& v) { v.Magic = "PARCEX"; }, rcBadSignature},
      {"a piece tag of another text", [](vw::Volume& v) { v.Pieces[0].Tag = "FHDX"; }, rcOk},
      {"an end marker in lower case", [](vw::Volume& v) { v.Pieces[0].EndMarker = "ds"; }, rcOk},
      {"an end marker cut to one byte", [](vw::Volume& v) { v.Pieces[0].EndMarker = "D"; }, rcOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vw::SplitOptions options;
    options.Set = vw::NewSetId();
    std::vector<vw::Volume> volumes = vw::SplitFiles({{"A.TXT", RandomBytes(100, 5)}}, options);
    ASSERT_EQ(volumes.size(), 1u);
    c.damage(volumes[0]);
    ScratchDir dir;
    dir.WriteBytes("set.s01", vw::EncodeVolume(volumes[0]));

    const StubVolume read = ReadWithStubReaders(dir.Path("set.s01"));
    parcelio::SetInfo set;
    std::string error;
    const bool listed = parcelio::ReadSet(dir.NativePath("set.s01"), set, error);
    EXPECT_EQ(read.signatureAtZero, c.signatureResult);
    if (c.signatureResult != rcOk) {
      EXPECT_FALSE(read.found);
      EXPECT_FALSE(listed);
      continue;
    }
    ASSERT_TRUE(read.found);
    ASSERT_TRUE(listed) << error;
    ASSERT_EQ(set.volumes.size(), 1u);
    EXPECT_TRUE(read.pieces.empty());
    EXPECT_NE(read.endResult, rcOk);
    EXPECT_EQ(read.endPosition, vf::kVolumeHeadLength);
    EXPECT_EQ(set.volumes[0].damagedAt, vf::kVolumeHeadLength) << set.volumes[0].damage;
  }
}

}  // namespace
