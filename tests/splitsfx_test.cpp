// The self-joining program's record readers over crafted bytes: every
// result code, where each read leaves the file, and the templates.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CRC32/CRC32.h"
#include "MiscSFX/MiscSFX.h"
#include "SplitSFX/SplitSFX.h"
#include "platform/Win32.h"
#include "tests/TestSupport.h"
#include "writer/VolumeWriter.h"

namespace {

using Data = volwriter::Bytes;

// Fields of the packed records may be misaligned: compare them by value,
// never bound to the references that the assertion macros take.
template <typename T>
T Val(T value) {
  return value;
}

std::string AsText(const Data& d) { return std::string(d.begin(), d.end()); }
Data AsData(const std::string& s) { return Data(s.begin(), s.end()); }

// A scratch file with the given bytes, open for reading while the object lives.
class OpenedFile {
 public:
  OpenedFile(const ScratchDir& dir, const std::string& name, const std::string& bytes) {
    dir.WriteBytes(name, bytes);
    handle_ = CreateFileA(dir.Path(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << name;
  }
  ~OpenedFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  HANDLE Handle() const { return handle_; }
  int64_t Seek(LONG distance, DWORD method) const {
    return static_cast<int64_t>(SetFilePointer(handle_, distance, nullptr, method));
  }
  int64_t Position() const { return Seek(0, FILE_CURRENT); }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::string Signature(const char* magic, int format, int major, int minor) {
  return std::string(magic, 6) + static_cast<char>(format) + static_cast<char>(major) +
         static_cast<char>(minor);
}

struct ReaderCase {
  const char* Name;
  std::string Bytes;
  int32_t Expected;
  int64_t Position;  // where the handle stands afterwards; -1: not checked
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.Name; }

std::string CaseName(const ::testing::TestParamInfo<ReaderCase>& info) { return info.param.Name; }

// ------------------------------------------------------------- ReadSignature

class ReadSignatureTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadSignatureTest, Result) {
  const ReaderCase& c = GetParam();
  ScratchDir dir;
  OpenedFile file(dir, "v.s01", c.Bytes);
  TVolumeSignature signature{};
  EXPECT_EQ(ReadSignature(file.Handle(), signature), c.Expected);
  if (c.Position >= 0) {
    EXPECT_EQ(file.Position(), c.Position);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, ReadSignatureTest,
    ::testing::Values(
        ReaderCase{"EightBytes", Signature("PARCEL", 3, 2, 0).substr(0, 8), rcReadError, -1},
        ReaderCase{"Version20", Signature("PARCEL", 3, 2, 0), rcOk, 9},
        ReaderCase{"Version23", Signature("PARCEL", 3, 2, 3), rcOk, 9},
        ReaderCase{"LowerCaseMagic", Signature("parcel", 3, 2, 3), rcOk, 9},
        ReaderCase{"Version24", Signature("PARCEL", 3, 2, 4), rcBadVersion, 9},
        ReaderCase{"Version10", Signature("PARCEL", 3, 1, 0), rcBadVersion, 9},
        ReaderCase{"Version30", Signature("PARCEL", 3, 3, 0), rcBadVersion, 9},
        ReaderCase{"AnyFormatByte", Signature("PaRcEl", 255, 2, 1), rcOk, 9},
        ReaderCase{"WrongMagicAndVersion", Signature("PARCEX", 3, 1, 0), rcBadSignature, 9},
        ReaderCase{"MagicWithNul", Signature("PARCE\0", 3, 2, 0), rcBadSignature, 9}),
    CaseName);

// ------------------------------------------------------------- ReadVolumeRecord

TEST(ReadVolumeRecord, NeedsThirtyBytesOfAnyValue) {
  ScratchDir dir;
  TVolumeSignature signature{};
  TVolumeRecord record{};
  OpenedFile nineBytes(dir, "nine", Signature("PARCEL", 3, 2, 3));
  EXPECT_EQ(ReadSignature(nineBytes.Handle(), signature), rcOk);
  EXPECT_EQ(ReadVolumeRecord(nineBytes.Handle(), record), rcReadError);

  OpenedFile zeros(dir, "zeros", std::string(30, '\0'));
  EXPECT_EQ(ReadVolumeRecord(zeros.Handle(), record), rcOk);
  EXPECT_EQ(zeros.Position(), 30);
  OpenedFile shortFile(dir, "short", std::string(29, '\x7F'));
  EXPECT_EQ(ReadVolumeRecord(shortFile.Handle(), record), rcReadError);
}

// The writer's layout and the readers' records agree field by field.
TEST(ReadVolumeRecord, FieldsOfWrittenVolume) {
  volwriter::Volume volume;
  volume.Set = {0xA1, 2, 3, 4, 5, 6, 7, 0xF8};
  volume.CheckMode = 4;
  volume.VolumeNumber = 0x01020304;
  volume.IsLast = true;
  volume.SpaceNeeded = 0x0102030405060708;
  ScratchDir dir;
  OpenedFile file(dir, "v.s01", AsText(volwriter::EncodeVolume(volume)));
  TVolumeSignature signature{};
  TVolumeRecord record{};
  ASSERT_EQ(ReadSignature(file.Handle(), signature), rcOk);
  ASSERT_EQ(ReadVolumeRecord(file.Handle(), record), rcOk);
  EXPECT_TRUE(std::equal(volume.Set.begin(), volume.Set.end(), record.SetId));
  EXPECT_EQ(Val(record.CheckMode), 4);
  EXPECT_EQ(Val(record.VolumeNumber), 0x01020304);
  EXPECT_NE(Val(record.IsLast), 0);
  EXPECT_EQ(Val(record.SpaceNeeded), 0x0102030405060708);
  // Records only: a valid volume without pieces.
  TFileHeader header;
  EXPECT_EQ(ReadFileHeader(file.Handle(), header), rcReadError);
}

// ------------------------------------------------------------- ReadFileHeader

// One piece (header, name, marker, data) as the writer makes it, optionally
// cut short.
std::string PieceBytes(const std::string& name, const std::string& tag = "FHDR",
                       const std::string& marker = "DS", const std::string& data = "abc",
                       size_t cutTo = std::string::npos) {
  volwriter::Volume volume;
  volwriter::Piece piece;
  piece.FileName = name;
  piece.FileOffset = 0x123456789A;
  piece.Data = AsData(data);
  piece.Tag = tag;
  piece.EndMarker = marker;
  volume.Pieces.push_back(piece);
  return AsText(volwriter::EncodeVolume(volume)).substr(39, cutTo);
}

class ReadFileHeaderTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadFileHeaderTest, Result) {
  const ReaderCase& c = GetParam();
  ScratchDir dir;
  OpenedFile file(dir, "v.s01", c.Bytes);
  TFileHeader header;
  header.FileName = "previous name";
  EXPECT_EQ(ReadFileHeader(file.Handle(), header), c.Expected);
  if (c.Position >= 0) {
    EXPECT_EQ(file.Position(), c.Position);
  }
  if (c.Expected == rcOk) {
    const size_t nameLength = Val(header.NameLength);
    EXPECT_EQ(header.FileName, c.Bytes.substr(34, nameLength));  // exactly the stored bytes
    EXPECT_EQ(Val(header.FileOffset), 0x123456789A);
    EXPECT_EQ(Val(header.DataSize), static_cast<int64_t>(c.Bytes.size() - 36 - nameLength));
    EXPECT_EQ(Val(header.Crc), volwriter::PieceCrc(AsData(c.Bytes.substr(36 + nameLength))));
  }
}

const std::string AnsiName = "dir\\\xE9t\xE9 \xC4.TXT";

INSTANTIATE_TEST_SUITE_P(
    Headers, ReadFileHeaderTest,
    ::testing::Values(
        ReaderCase{"Good", PieceBytes("A.TXT"), rcOk, 41},
        ReaderCase{"NameUnconverted", PieceBytes(AnsiName), rcOk,
                   static_cast<int64_t>(36 + AnsiName.size())},
        ReaderCase{"LowerCaseTag", PieceBytes("A.TXT", "fhdr"), rcOk, 41},
        ReaderCase{"WrongTag", PieceBytes("A.TXT", "FHDX"), rcBadSignature, 34},
        ReaderCase{"FixedPartCutShort", PieceBytes("A.TXT", "FHDR", "DS", "", 33), rcReadError, -1},
        ReaderCase{"NameCutShort", PieceBytes("A.TXT", "FHDR", "DS", "", 37), rcReadError, -1},
        ReaderCase{"MarkerLowerCase", PieceBytes("A.TXT", "FHDR", "ds"), rcBadEndMarker, -1},
        ReaderCase{"MarkerHalfLowerCase", PieceBytes("A.TXT", "FHDR", "Ds"), rcBadEndMarker, -1},
        ReaderCase{"MarkerDAndNul", PieceBytes("A.TXT", "FHDR", std::string("D\0", 2)),
                   rcBadEndMarker, -1},
        ReaderCase{"MarkerDThenEnd", PieceBytes("A.TXT", "FHDR", "D", ""), rcBadEndMarker, -1},
        ReaderCase{"MarkerMissing", PieceBytes("A.TXT", "FHDR", "", ""), rcBadEndMarker, -1},
        ReaderCase{"EmptyName", PieceBytes(""), rcOk, 36},
        ReaderCase{"EmptyNameNoMarker", PieceBytes("", "FHDR", "", ""), rcBadEndMarker, -1},
        ReaderCase{"OnlyTrailerLeft", std::string("\x10\0\0\0", 4), rcReadError, -1}),
    CaseName);

// ------------------------------------------------------------- whole volumes

// Reads a volume the way the join does: the signature at the start, or else at
// the trailer's position; the record; then pieces until a header fails. Each
// piece's data is checked against its CRC and placed by name and offset.
struct VolumeReadResult {
  bool Valid = false;
  TVolumeRecord Record{};
  int32_t LastResult = 0;
  size_t Pieces = 0;
};

VolumeReadResult ReadWholeVolume(const OpenedFile& file, std::map<std::string, std::string>& out) {
  VolumeReadResult result;
  TVolumeSignature signature{};
  if (ReadSignature(file.Handle(), signature) != rcOk) {
    file.Seek(-4, FILE_END);
    uint8_t t[4] = {};
    EXPECT_EQ(ReadBlock(file.Handle(), t, 4), 4);
    file.Seek(static_cast<LONG>(t[0] | t[1] << 8 | t[2] << 16 | t[3] << 24), FILE_BEGIN);
    if (ReadSignature(file.Handle(), signature) != rcOk) return result;
  }
  if (ReadVolumeRecord(file.Handle(), result.Record) != rcOk) return result;
  result.Valid = true;
  TFileHeader header;
  while ((result.LastResult = ReadFileHeader(file.Handle(), header)) == rcOk) {
    ++result.Pieces;
    std::string data(static_cast<size_t>(header.DataSize), '\0');
    if (!data.empty()) {
      EXPECT_EQ(ReadBlock(file.Handle(), &data[0], static_cast<int32_t>(data.size())),
                static_cast<int32_t>(data.size()));
    }
    uint32_t crc = 0;
    UpdateCrc32(data.data(), static_cast<int32_t>(data.size()), crc, true, true);
    EXPECT_EQ(crc, Val(header.Crc)) << header.FileName;
    std::string& rebuilt = out[header.FileName];
    const size_t offset = static_cast<size_t>(header.FileOffset);
    if (rebuilt.size() < offset + data.size()) rebuilt.resize(offset + data.size());
    rebuilt.replace(offset, data.size(), data);
  }
  return result;
}

TEST(SplitVolumes, SetReadInAnyOrderRebuildsTheFiles) {
  std::string big(5000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 13);
  const std::vector<volwriter::InputFile> inputs = {
      {"BIG.BIN", AsData(big)}, {"sub\\empty.txt", {}}, {"sub\\small.txt", AsData("hello")}};
  volwriter::SplitOptions options;
  options.VolumeSize = 1200;
  options.Set = volwriter::NewSetId();
  const auto volumes = volwriter::SplitFiles(inputs, options);
  ASSERT_GE(volumes.size(), 5u);

  // Volume 1 rides on a program as a self-joining file; read the set backwards.
  ScratchDir dir;
  const Data program = AsData(std::string("MZ\x90\0", 4) + std::string(3000, 'x'));
  std::map<std::string, std::string> rebuilt;
  for (size_t i = volumes.size(); i-- > 0;) {
    const Data encoded = volwriter::EncodeVolume(volumes[i]);
    OpenedFile file(dir, "set.s" + std::to_string(i + 1),
                    AsText(i == 0 ? volwriter::AppendToStub(program, encoded) : encoded));
    const VolumeReadResult result = ReadWholeVolume(file, rebuilt);
    ASSERT_TRUE(result.Valid) << "volume " << i + 1;
    EXPECT_EQ(Val(result.Record.VolumeNumber), static_cast<int32_t>(i + 1));
    EXPECT_EQ(Val(result.Record.IsLast) != 0, i + 1 == volumes.size());
    EXPECT_TRUE(std::equal(options.Set.begin(), options.Set.end(), result.Record.SetId));
    EXPECT_EQ(result.Pieces, volumes[i].Pieces.size());
    // The pieces end at the end of the file, or where only the trailer is left.
    EXPECT_EQ(result.LastResult, rcReadError);
  }
  const std::map<std::string, std::string> expected = {
      {"BIG.BIN", big}, {"sub\\empty.txt", ""}, {"sub\\small.txt", "hello"}};
  EXPECT_EQ(rebuilt, expected);
}

TEST(SplitVolumes, ProgramWithoutVolumeIsNotAVolume) {
  ScratchDir dir;
  // The last 4 bytes point into the image, where there is no signature.
  OpenedFile file(dir, "plain.exe",
                  std::string("MZ\x90\0", 4) + std::string(200, 'x') + std::string("\x10\0\0\0", 4));
  std::map<std::string, std::string> rebuilt;
  EXPECT_FALSE(ReadWholeVolume(file, rebuilt).Valid);
}

TEST(SplitSFXModule, StartFillsTemplatesAndEndReleasesStrings) {
  SplitSFXStartup();
  EXPECT_EQ(std::string(SignatureTemplate.Magic, 6) + char(SignatureTemplate.FormatByte) +
                char(SignatureTemplate.MajorVersion) + char(SignatureTemplate.MinorVersion),
            Signature("PARCEL", 3, 2, 0));
  EXPECT_EQ(std::string(FileHeaderTemplate.Tag, 4), "FHDR");
  EXPECT_EQ(Val(FileHeaderTemplate.DataSize), 0);
  EXPECT_EQ(std::string(SmartCombineTemplate.Tag, 3), "SCR");
  EXPECT_EQ(FormatVersionText, "2.03");
  EXPECT_EQ(FormatProductName, "Parcelon");
  SplitSFXShutdown();
  EXPECT_TRUE(FormatVersionText.empty());
  EXPECT_TRUE(FormatProductName.empty());
}

}  // namespace
