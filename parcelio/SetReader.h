// Reads the records of a split set: finds the volumes beside a given one,
// locates each volume's data (at byte 0, or through the trailer of a
// self-joining file), and lists every piece without reading its data. The
// checks are those of the self-joining program's readers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "parcelio/FileIO.h"

namespace parcelio {

using SetIdBytes = std::array<uint8_t, 8>;

struct PieceEntry {
  uint32_t file = 0;     // index into SetInfo::files
  int64_t offset = 0;    // FileOffset
  int64_t size = 0;      // DataSize
  uint32_t crc = 0;
  int64_t dataPos = 0;   // where the data starts in the volume file
};

struct VolumeEntry {
  fs::path path;
  std::string name;        // the path as the user sees it (UTF-8)
  int32_t number = 0;
  bool isLast = false;
  uint8_t checkMode = 0;   // 4: no CRCs to compare
  int64_t spaceNeeded = 0;
  int64_t start = 0;       // position of the signature
  int64_t cleanEnd = 0;    // where the pieces end in a sound volume
  std::vector<PieceEntry> pieces;
  int64_t damagedAt = -1;  // position of the first piece header that is not sound
  std::string damage;      // what is wrong there
};

struct FileEntry {
  std::string stored;      // the name as stored (code page 1252)
  std::string name;        // the same in UTF-8
  int64_t size = 0;        // the furthest byte any piece reaches
  int32_t pieces = 0;
  std::vector<int32_t> volumes;  // numbers of the volumes holding its pieces, ascending
};

struct SetInfo {
  SetIdBytes id{};
  std::vector<VolumeEntry> volumes;  // sorted by number, each number once
  std::vector<FileEntry> files;      // in the order first met, volume by volume
  int32_t lastNumber = 0;            // the number of the volume marked last; 0 if none was found
  std::vector<int32_t> missing;      // numbers below lastNumber not found
  std::vector<std::string> notes;    // duplicates and other things worth saying
  bool Complete() const { return lastNumber > 0 && missing.empty(); }
  bool Damaged() const;
};

// Reads the set that the volume file belongs to. False, with the message,
// when the volume itself cannot be opened or is not a volume.
bool ReadSet(const fs::path& volume, SetInfo& set, std::string& error);

// Text for a list of volume numbers: "2, 5-7".
std::string NumbersText(const std::vector<int32_t>& numbers);

}  // namespace parcelio
