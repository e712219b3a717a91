// The fuzz targets' reference reading of the volume format (see
// VolumeModel.h). Written from the bytes alone, on purpose apart from the
// format's definition in VolumeFormat.h, so that a wrong offset or tag there
// is caught rather than shared.
#include "tests/fuzz/VolumeModel.h"

#include <algorithm>
#include <cstring>

namespace fuzzmodel {

namespace {

// Upper-casing of the ASCII letters; no other byte of the ANSI code page
// upper-cases to an ASCII letter, so this is all the comparison needs.
bool UpperEquals(const Bytes& b, size_t at, const char* expected, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = b[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
    if (c != static_cast<uint8_t>(expected[i])) return false;
  }
  return true;
}

}  // namespace

uint16_t Le16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t Le32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

int64_t Le64(const Bytes& b, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return static_cast<int64_t>(value);
}

void PutLe16(Bytes& b, size_t at, uint16_t value) {
  b[at] = static_cast<uint8_t>(value);
  b[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(Bytes& b, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe64(Bytes& b, size_t at, int64_t value) {
  for (size_t i = 0; i < 8; ++i)
    b[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

int32_t ExpectSignature(const Bytes& file, uint64_t at) {
  if (at > file.size() || file.size() - at < kSignatureLength) return kReadError;
  const size_t p = static_cast<size_t>(at);
  if (!UpperEquals(file, p, "PARCEL", 6)) return kBadSignature;
  if (file[p + 7] != 2) return kBadVersion;
  if (file[p + 8] > 3) return kBadVersion;
  return kOk;
}

Header ExpectFileHeader(const Bytes& file, size_t at) {
  Header h;
  h.at = at;
  if (at > file.size() || file.size() - at < kHeaderFixedLength) return h;  // kReadError
  h.fileOffset = Le64(file, at + 12);
  h.dataSize = Le64(file, at + 20);
  h.crc = Le32(file, at + 28);
  h.nameLength = Le16(file, at + 32);
  if (!UpperEquals(file, at, "FHDR", 4)) {
    h.rc = kBadSignature;
    return h;
  }
  const size_t nameAt = at + kHeaderFixedLength;
  if (file.size() - nameAt < h.nameLength) {
    h.rc = kReadError;
    return h;
  }
  h.name.assign(file.begin() + static_cast<std::ptrdiff_t>(nameAt),
                file.begin() + static_cast<std::ptrdiff_t>(nameAt + h.nameLength));
  const size_t markerAt = nameAt + h.nameLength;
  const size_t markerBytes = std::min<size_t>(2, file.size() - markerAt);
  if (markerBytes < 2 || file[markerAt] != 'D' || file[markerAt + 1] != 'S') {
    h.rc = kBadEndMarker;
    return h;
  }
  h.rc = kOk;
  h.dataAt = markerAt + 2;
  return h;
}

bool FindVolumeStart(const Bytes& file, uint64_t& start) {
  if (ExpectSignature(file, 0) == kOk) {
    start = 0;
    return true;
  }
  if (file.size() < 4) return false;
  start = Le32(file, file.size() - 4);
  return ExpectSignature(file, start) == kOk;
}

Volume ParseVolume(const Bytes& file) {
  Volume v;
  if (!FindVolumeStart(file, v.start)) return v;
  const size_t recordAt = static_cast<size_t>(v.start) + kSignatureLength;
  if (file.size() - recordAt < kRecordLength) return v;
  v.valid = true;
  std::memcpy(v.setId, &file[recordAt], 8);
  v.checkMode = file[recordAt + 8];
  v.number = static_cast<int32_t>(Le32(file, recordAt + 9));
  v.isLast = file[recordAt + 13];
  v.spaceNeeded = Le64(file, recordAt + 14);

  size_t at = recordAt + kRecordLength;
  for (;;) {
    Header h = ExpectFileHeader(file, at);
    if (h.rc != kOk) break;
    Piece piece;
    piece.header = h;
    const size_t left = file.size() - h.dataAt;
    if (h.dataSize > 0 && static_cast<uint64_t>(h.dataSize) > left) {
      piece.dataAvailable = left;
      v.pieces.push_back(piece);
      v.cut = true;
      at = file.size();
      break;
    }
    piece.dataAvailable = h.dataSize > 0 ? static_cast<size_t>(h.dataSize) : 0;
    v.pieces.push_back(piece);
    at = h.dataAt + piece.dataAvailable;
  }
  v.end = at;
  return v;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace fuzzmodel
