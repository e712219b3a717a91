// A reference reading of the volume format straight from bytes, for the fuzz
// targets: what the readers must answer for a given file, where a volume's
// data starts (signature at byte 0, else where the 4-byte trailer points), and
// the pieces a volume holds. It never touches the system; it only describes
// what the program is expected to find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzmodel {

using Bytes = std::vector<uint8_t>;

constexpr size_t kSignatureLength = 9;
constexpr size_t kRecordLength = 30;
constexpr size_t kHeaderFixedLength = 34;

// Result codes, as the readers give them.
constexpr int32_t kOk = 1;
constexpr int32_t kReadError = 2;
constexpr int32_t kBadSignature = 3;
constexpr int32_t kBadVersion = 4;
constexpr int32_t kBadEndMarker = 6;

uint16_t Le16(const Bytes& b, size_t at);
uint32_t Le32(const Bytes& b, size_t at);
int64_t Le64(const Bytes& b, size_t at);
void PutLe16(Bytes& b, size_t at, uint16_t value);
void PutLe32(Bytes& b, size_t at, uint32_t value);
void PutLe64(Bytes& b, size_t at, int64_t value);

// What ReadSignature must answer for a signature read at `at`.
int32_t ExpectSignature(const Bytes& file, uint64_t at);

// One file header as ReadFileHeader must see it at `at`.
struct Header {
  int32_t rc = kReadError;
  size_t at = 0;         // position of the header
  int64_t fileOffset = 0;
  int64_t dataSize = 0;
  uint32_t crc = 0;
  uint16_t nameLength = 0;
  std::string name;      // the stored name (ANSI), valid when rc is kOk
  size_t dataAt = 0;     // first data byte, valid when rc is kOk
};
Header ExpectFileHeader(const Bytes& file, size_t at);

// The driver's way to a volume's data: the signature at byte 0, otherwise
// the position the last 4 bytes give. False when neither holds a valid
// signature (or the file is too short for a trailer).
bool FindVolumeStart(const Bytes& file, uint64_t& start);

struct Piece {
  Header header;
  size_t dataAvailable = 0;  // data bytes present (less than DataSize when cut)
};

struct Volume {
  bool valid = false;  // signature and volume record read
  uint64_t start = 0;
  uint8_t setId[8] = {};
  uint8_t checkMode = 0;
  int32_t number = 0;
  uint8_t isLast = 0;
  int64_t spaceNeeded = 0;
  std::vector<Piece> pieces;  // every header that read as rcOk, in order
  size_t end = 0;             // where the piece sequence stopped
  bool cut = false;           // the last piece's data ran past the end of the file
};
Volume ParseVolume(const Bytes& file);

// CRC-32 of a byte range (the standard one the pieces carry).
uint32_t Crc32(const uint8_t* data, size_t size);

}  // namespace fuzzmodel
