// A writer of the volume format: encodes volumes (signature, volume record,
// pieces), appends a volume to a program file with the 4-byte trailer, and
// cuts a list of files into the volumes of one split set.
//
// Two ways to use it: whole volumes in memory (EncodeVolume, SplitFiles), for
// tests and small sets; or record by record (EncodeVolumeHead,
// EncodePieceHead, EncodeTrailer, PlanSplit), for a writer that streams the
// data of each piece straight from its file and never holds a volume.
//
// Every field can be set by hand, so that damaged or unusual volumes can be
// built as easily as good ones.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VolumeFormat/VolumeFormat.h"

namespace volwriter {

using Bytes = std::vector<uint8_t>;
using SetId = std::array<uint8_t, volformat::kSetIdLength>;

// One stored range of one file.
struct Piece {
  std::string FileName;  // stored as it stands (ANSI text, backslash separators);
                         // at most 65535 bytes are written
  int64_t FileOffset = 0;
  Bytes Data;
  std::optional<uint32_t> Crc;      // default: the CRC-32 of Data
  std::optional<int64_t> DataSize;  // default: the size of Data
  std::string Tag = volformat::kPieceTag;        // exactly 4 bytes are written (padded with NULs)
  std::string EndMarker = volformat::kEndMarker;  // written as it stands, any length
};

struct Volume {
  std::string Magic = volformat::kMagic;  // exactly 6 bytes are written (padded with NULs)
  uint8_t FormatByte = volformat::kFormatByte;
  uint8_t MajorVersion = volformat::kMajorVersion;
  uint8_t MinorVersion = volformat::kNewestMinorVersion;
  SetId Set{};
  uint8_t CheckMode = 0;  // volformat::kNoCrcCheck: the joiner does not compare the CRCs
  int32_t VolumeNumber = 1;
  bool IsLast = false;
  std::optional<int64_t> SpaceNeeded;  // default: the data bytes of all pieces
  std::vector<Piece> Pieces;
};

// The bytes of one volume, as a volume file holds them.
Bytes EncodeVolume(const Volume& volume);

// The records at the start of a volume: signature and volume record. The
// pieces of the volume are not written; SpaceNeeded defaults to 0.
Bytes EncodeVolumeHead(const Volume& volume);

// The header of one piece: everything that comes before its data (fixed
// fields, name, end marker). Data is ignored; DataSize and Crc must be
// given or default to the size and CRC of Data as in EncodeVolume.
Bytes EncodePieceHead(const Piece& piece);

// Where the Crc field lies in an encoded piece header, so that a streaming
// writer can fill it in after the data has gone out.
constexpr int64_t PieceHeadCrcOffset = volformat::kHeaderCrc;

// The 4 bytes that end a self-joining file: the program's size.
Bytes EncodeTrailer(uint32_t programSize);

// Little-endian bytes of a CRC as the Crc field holds them.
std::array<uint8_t, 4> CrcBytes(uint32_t crc);

// A self-joining file: the program, the volume, and the trailer that gives
// the volume's position (the program's size, little-endian, 32 bits).
Bytes AppendToStub(const Bytes& program, const Bytes& volume);

// A file to be split: its stored name and its contents.
struct InputFile {
  std::string StoredName;
  Bytes Contents;
};

struct SplitOptions {
  // The most bytes of volume data per volume (records and headers included).
  // Every volume still takes at least one data byte per piece it starts, so
  // very small values only produce many volumes.
  int64_t VolumeSize = 1440 * 1024;
  SetId Set{};
  uint8_t CheckMode = 0;
};

// Cuts the files, in the order given, into volumes numbered from 1; the last
// one carries IsLast. Empty files take one piece of no bytes.
std::vector<Volume> SplitFiles(const std::vector<InputFile>& files, const SplitOptions& options);

// The layout SplitFiles uses, without the data: which range of which file
// each piece of each volume holds. Lets a caller stream large files volume by
// volume instead of holding them in memory.
struct FileExtent {
  std::string StoredName;
  int64_t Size = 0;
};

struct PieceRange {
  size_t FileIndex = 0;  // into the list given to PlanSplit
  int64_t FileOffset = 0;
  int64_t DataSize = 0;
};

// One entry per volume, in volume order; there is always at least one.
std::vector<std::vector<PieceRange>> PlanSplit(const std::vector<FileExtent>& files,
                                               int64_t volumeSize);
// The same with room for less in volume 1 (firstVolumeSize bytes of volume
// data), as when it is appended to a program that counts against its size.
std::vector<std::vector<PieceRange>> PlanSplit(const std::vector<FileExtent>& files,
                                               int64_t volumeSize, int64_t firstVolumeSize);

// The bytes a volume with no pieces takes, and the bytes a piece of a file
// with this stored name takes besides its data.
int64_t VolumeOverhead();
int64_t PieceOverhead(const std::string& storedName);

// A set identity that differs from one call to the next.
SetId NewSetId();

// CRC-32 of a byte range, as stored in the pieces.
uint32_t PieceCrc(const Bytes& data);

// A whole file into bytes (left as they were on failure), and bytes into a
// file created or cut to length 0; false when the system refuses.
bool ReadFileBytes(const std::string& path, Bytes& bytes);
bool WriteFileBytes(const std::string& path, const Bytes& bytes);

}  // namespace volwriter
