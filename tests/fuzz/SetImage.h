// The input of the join fuzz target: a small directory of volume files.
//
//   byte 0        options (kOpt... bits)
//   then entries  [name index: 1 byte][length: 2 bytes, little-endian][bytes]
//
// The last entry may be cut short; it then takes the bytes that are left.
// A name index picks one of kEntryNames (modulo its size). The program file
// is set.exe: the directory search looks for set.* beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzset {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOptStaleFiles = 1;   // the destination already holds files of the stored names
constexpr uint8_t kOptNoDest = 2;       // the destination does not exist yet
constexpr uint8_t kOptNestedDest = 4;   // the destination is two levels below a missing one
constexpr uint8_t kOptRelativeDest = 8; // the destination is given relative to the start directory
constexpr uint8_t kOptPlantedLinks = 16; // links where the pieces go: to files and folders outside, to nothing, to a volume

constexpr size_t kProgramEntry = 0;
extern const char* const kEntryNames[];
extern const size_t kEntryNameCount;

struct Entry {
  uint8_t name = 0;
  Bytes bytes;
};

struct SetImage {
  uint8_t options = 0;
  std::vector<Entry> entries;
};

SetImage Decode(const uint8_t* data, size_t size);
Bytes Encode(const SetImage& image);

// A few bytes that look like a program and hold no volume.
Bytes FakeProgram();

}  // namespace fuzzset
