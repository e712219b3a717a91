// Making PAR 2.0 recovery files for the files of a set: the choice of slice
// size and recovery count, and the writing of BASE.par2 (the index) and
// BASE.volXX+YY.par2 (recovery slices with a copy of the index).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "parcelio/FileIO.h"

namespace parcelio::recovery {

// How much recovery data: whole volumes, or a share of the set's size.
struct RecoveryAmount {
  bool percent = false;
  double value = 0;  // volumes (whole), or percent
};

// Parses "2" (volumes) or "10%" (of the set's size); false when malformed.
bool ParseRecoveryAmount(const std::string& text, RecoveryAmount& amount);

struct SlicePlan {
  uint64_t sliceSize = 0;
  uint32_t inputSlices = 0;     // over all files
  uint32_t recoverySlices = 0;
  uint32_t slicesPerVolume = 0;  // of the largest file: one recovery file holds this many
};

// The slice size and counts for files of these sizes, where volumeSize is
// the size of a whole (not the last) volume: a whole volume is a whole
// number of slices of at most about 1 MiB, and the input slices stay within
// 32768. False, with the reason, when the amount cannot be made.
bool PlanSlices(const std::vector<uint64_t>& fileSizes, uint64_t volumeSize, const RecoveryAmount& amount,
                SlicePlan& plan, std::string& error);

struct CreateRequest {
  fs::path dir;                    // where the files are and the recovery files go
  std::string base;                // BASE of BASE.par2 (a name in dir, UTF-8)
  std::vector<std::string> files;  // names in dir (UTF-8), as the recovery files will name them
  uint64_t sliceSize = 0;
  uint32_t recoverySlices = 0;
  uint32_t slicesPerFile = 1;      // recovery slices per BASE.volXX+YY.par2
  std::string creator;
  uint64_t memoryBudget = 256u << 20;  // for the recovery slices being summed
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Writes the recovery files, each under a temporary name first, renamed
// when all are complete. written: their names (UTF-8, in dir).
bool CreateRecovery(const CreateRequest& request, std::vector<std::string>& written, std::string& error);

// The names of the recovery files of BASE present in dir: BASE.par2 and
// BASE.*.par2 (the letter case of ".par2" and of BASE as the system compares).
std::vector<std::string> RecoveryFilesOf(const fs::path& dir, const std::string& base);

}  // namespace parcelio::recovery
