// Using PAR 2.0 recovery files: reading them, checking the files they
// protect (found by name, by name in another letter case, or by content
// under any name in the folder), and rebuilding the missing and damaged ones
// byte for byte from the recovery slices and the sound slices of the others.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "parcelio/FileIO.h"
#include "parcelio/recovery/Par2Format.h"

namespace parcelio::recovery {

struct ProtectedFile {
  FileDescPacket desc;
  std::vector<SliceCheck> slices;  // empty when no checksum packet was found
  bool described = false;          // a file description packet was found
  uint32_t firstSlice = 0;         // global number of its first slice
  uint32_t sliceCount = 0;
};

struct RecoverySet {
  fs::path dir;
  std::vector<std::string> par2Files;    // names in dir
  Md5Digest setId{};
  uint64_t sliceSize = 0;
  std::vector<ProtectedFile> files;      // in the main packet's order
  std::vector<RecoveryRef> recovery;     // this set's, one per exponent, unchecked
  std::string creator;
  uint32_t totalSlices = 0;
  uint64_t badPackets = 0;
};

// The BASE that a volume or recovery file name belongs to: "a.par2",
// "a.vol03+02.par2", "a.s07", "a.exe" all give "a".
std::string RecoveryBaseOf(const std::string& fileName);

// Reads every recovery file of BASE in dir. False, with the reason, when
// there are none or no usable main packet is found in them.
bool LoadRecoverySet(const fs::path& dir, const std::string& base, RecoverySet& set, std::string& error);

// Builds the set from packets already found (the main packet most often
// found decides the set). False, with the reason, when there is none.
bool AssembleSet(const Found& found, RecoverySet& set, std::string& error);

enum class FileCondition { Complete, Misnamed, Damaged, Missing, Unsafe };

struct FileCheck {
  FileCondition condition = FileCondition::Missing;
  std::string foundAs;      // Misnamed: the name it was found under (in dir)
  uint32_t soundSlices = 0;  // of its own, found anywhere
};

struct SliceLocation {
  int32_t source = -1;  // index into SetCheck::sources; -1: not found
  uint64_t offset = 0;
};

struct SetCheck {
  std::vector<FileCheck> files;
  std::vector<std::string> sources;          // names in dir that slices were found in
  std::vector<SliceLocation> slices;         // per global slice
  uint32_t missingSlices = 0;
  uint32_t recoveryAvailable = 0;            // distinct exponents, not yet checked
  // Every protected file is found whole: nothing to repair.
  bool Whole() const;
  // Recovery slices still needed beyond those available (0: repairable).
  uint32_t Shortfall() const { return missingSlices > recoveryAvailable ? missingSlices - recoveryAvailable : 0; }
};

using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// Checks every protected file; reads them all.
void CheckFiles(const RecoverySet& set, SetCheck& check, const ProgressFn& progress = nullptr);

struct RepairResult {
  std::vector<std::string> rebuilt;   // names written
  std::vector<std::string> keptAs;    // for each rebuilt name: where the old file went ("" if none)
  std::vector<std::string> renamed;   // "OLD -> NEW" for misnamed files put in place
  uint32_t badRecoveryPackets = 0;
};

// Rebuilds what the check found missing, damaged or misnamed. Every new file
// is written under a temporary name and checked before it takes its name;
// a file that was there is kept as NAME.1 (or .2, ...). False, with the
// reason, when it cannot be done (then nothing that was there has changed
// unless error says so).
bool RepairFiles(const RecoverySet& set, SetCheck& check, RepairResult& result, std::string& error,
                 uint64_t memoryBudget = 256u << 20, const ProgressFn& progress = nullptr);

}  // namespace parcelio::recovery
