// What checking and rebuilding protected files share: the read unit, slice
// arithmetic and a padded read (used by Par2Repair.cpp and Par2Rebuild.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parcelio/FileIO.h"
#include "parcelio/recovery/Par2Repair.h"

namespace parcelio::recovery {

// Bytes read from a file in one step.
constexpr uint64_t Block = 1u << 20;

// a / b rounded up.
inline uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Reads count bytes at position; what lies beyond the file's end reads as
// zeros. False on a read error.
inline bool ReadPadded(File& file, uint64_t position, uint8_t* buffer, uint64_t count) {
  int64_t got = 0;
  while (static_cast<uint64_t>(got) < count) {
    const int64_t n = file.ReadAt(static_cast<int64_t>(position + got), buffer + got, static_cast<int64_t>(count) - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += n;
  }
  std::memset(buffer + got, 0, static_cast<size_t>(count - static_cast<uint64_t>(got)));
  return true;
}

// The owner of each global slice.
inline std::vector<uint32_t> OwnerOfSlices(const RecoverySet& set) {
  std::vector<uint32_t> owner(set.totalSlices);
  for (uint32_t f = 0; f < set.files.size(); ++f)
    for (uint32_t k = 0; k < set.files[f].sliceCount; ++k) owner[set.files[f].firstSlice + k] = f;
  return owner;
}

// The bytes of slice k of file (the last slice of a file may be short).
inline uint64_t SliceLength(const RecoverySet& set, const ProtectedFile& file, uint32_t k) {
  return std::min<uint64_t>(set.sliceSize, file.desc.length - static_cast<uint64_t>(k) * set.sliceSize);
}

}  // namespace parcelio::recovery
