// Making PAR 2.0 recovery files for the files of a set: the choice of slice
// size and recovery count, and the writing of BASE.par2 (the index) and
// BASE.volXX+YY.par2 (recovery slices with a copy of the index).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <memory>

#include "parcelio/FileIO.h"
#include "parcelio/SafeOutput.h"

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
  // Where each file is read from when not under its name yet (its
  // temporary name in dir); empty: the names in files.
  std::vector<std::string> readFrom;
  // When given, the recovery files are left complete under their temporary
  // names for the caller to put in place (with the files they protect);
  // otherwise each replaces whatever has its name once all are complete.
  std::vector<std::unique_ptr<PendingFile>>* pending = nullptr;
  bool sync = false;               // each written through to the disk before it is closed
  uint64_t sliceSize = 0;
  uint32_t recoverySlices = 0;
  uint32_t slicesPerFile = 1;      // recovery slices per BASE.volXX+YY.par2
  std::string creator;
  uint64_t memoryBudget = 256u << 20;  // for the recovery slices being summed
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Writes the recovery files, each under a temporary name first (created
// exclusively; removed when the run fails or is interrupted), renamed when
// all are complete (see pending). written: their names (UTF-8, in dir).
bool CreateRecovery(const CreateRequest& request, std::vector<std::string>& written, std::string& error);

// The names of the recovery files of BASE present in dir: BASE.par2 and
// BASE.*.par2 (the letter case of ".par2" and of BASE as the system compares).
std::vector<std::string> RecoveryFilesOf(const fs::path& dir, const std::string& base);
// Whether name is one of those (BASE.par2 or BASE.*.par2).
bool IsRecoveryFileOf(const std::string& name, const std::string& base);

}  // namespace parcelio::recovery
