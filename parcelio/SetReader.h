// Reads the records of a split set: finds the volumes beside a given one,
// locates each volume's data (at byte 0, or through the trailer of a
// self-joining file), and lists every piece without reading its data. The
// checks are those of the self-joining program's readers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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
  int64_t pieces = 0;
  std::vector<int32_t> volumes;  // numbers of the volumes holding its pieces, ascending
};

// A run of volume numbers, first to last, both included.
struct NumberRange {
  int32_t first = 0;
  int32_t last = 0;
};

// Something wrong with the set as a whole, or with a volume that cannot be
// part of it: what it concerns (a volume or a stored name, as the user sees
// it) and what is wrong.
struct SetFault {
  std::string where;
  std::string what;
};

// A file beside the set with the set's base name that is a volume of another
// set (another identity).
struct ForeignVolume {
  std::string name;
  int32_t number = 0;
};

struct SetInfo {
  SetIdBytes id{};
  std::vector<VolumeEntry> volumes;  // sorted by number, each number once
  std::vector<FileEntry> files;      // in the order first met, volume by volume
  int32_t lastNumber = 0;            // the number of the volume marked last; 0 if none was found
  std::vector<NumberRange> missing;  // numbers below lastNumber (or the highest found) not found
  int64_t missingCount = 0;          // how many numbers the ranges hold
  std::vector<ForeignVolume> foreign;
  std::vector<std::string> notes;    // duplicates and other things worth saying
  // What makes the set damaged besides a damaged volume: volume numbers the
  // set cannot hold, volumes that disagree on CRC checking, pieces that do
  // not cover their file exactly, totals beyond 64 bits. Only the first
  // KeptFaults are kept; faultCount counts them all.
  static constexpr size_t KeptFaults = 100;
  std::vector<SetFault> faults;
  size_t faultCount = 0;
  bool crcsRecorded = true;   // false when the volumes mark that no CRCs are compared
  int64_t totalSize = 0;      // the files' sizes added up; -1 beyond 64 bits (a fault)
  int64_t totalPieces = 0;
  int64_t dataBytes = 0;      // the pieces' data bytes added up
  // Every volume from 1 to the one marked last is there.
  bool Complete() const { return lastNumber > 0 && missingCount == 0; }
  // A fault of the set, or a volume whose pieces are not sound.
  bool Damaged() const;
  // Records a fault (kept while fewer than KeptFaults are), and counts it.
  void AddFault(const std::string& where, const std::string& what);
};

// Reads the set that the volume file belongs to. False, with the message,
// when the volume itself cannot be opened, is not a regular file or is not a
// volume.
bool ReadSet(const fs::path& volume, SetInfo& set, std::string& error);

// Text for a list of volume numbers: "2, 5-7".
std::string NumbersText(const std::vector<int32_t>& numbers);
// Text for number ranges, the first `shown` of them, then "…and N more".
std::string RangesText(const std::vector<NumberRange>& ranges, size_t shown = 20);

// A piece as CheckCoverage takes it.
struct Span {
  int64_t offset = 0;
  int64_t size = 0;
  int32_t volume = 0;
};
// How a file's pieces cover it: the faults (bytes that no piece holds, bytes
// that two pieces hold) of pieces given as (offset, size, volume number),
// for a file of the given size. Pieces of no data are passed over. Sorts
// the pieces. Calls report(text) for each fault, e.g. "no piece holds bytes
// 5 to 9".
void CheckCoverage(std::vector<Span>& spans, int64_t size, const std::function<void(const std::string&)>& report);

}  // namespace parcelio
