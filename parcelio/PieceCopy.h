// The piece copy engine: a range of one file to another (or only read), with
// the CRC-32 of the bytes taken as they pass. One copy loop; large copies
// read ahead on the run's one reader thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "parcelio/FileIO.h"

namespace parcelio {

// Called with the count of bytes handled so far in one copy.
using Progress = std::function<void(int64_t)>;

struct CopyResult {
  bool ok = false;         // every byte was read (and written, if there is a target)
  bool readFailed = false;  // the source failed, else the target (when !ok)
  int64_t copied = 0;      // bytes read from the source
  uint32_t crc = 0;        // CRC-32 of the bytes read
  std::string reason;      // the system's reason when !ok
};

// Copies size bytes of source from sourcePos to target at targetPos (only
// reads them when target is null), with the CRC-32 of the bytes read. While
// one block of a large copy is written, the run's reader thread reads the
// next and runs it through the CRC. A source that ends early is a failed
// read with copied < size. Not for use from two threads at once.
CopyResult CopyRange(File& source, int64_t sourcePos, File* target, int64_t targetPos,
                     int64_t size, const Progress& progress = nullptr);

}  // namespace parcelio
