// What the commands of the parcel tool do with recovery files: split's hook
// that writes them, repair, and the notes that list, test and join add.
#pragma once

#include <string>
#include <vector>

#include "parcelio/FileIO.h"

namespace parceltool {

// Before a split writes anything: the recovery files of BASE already in
// dir (UTF-8 names), which a new set replaces only with -f.
std::vector<std::string> ExistingRecoveryFiles(const parcelio::fs::path& dir, const std::string& base);

// After a split has written its volumes: the recovery files for them
// (amount as given to -r), and the removal of older recovery files of BASE
// that were not rewritten. creator: the text of the creator packet.
// Answers an exit status.
int WriteSetRecovery(const std::string& amount, const parcelio::fs::path& dir, const std::string& base,
                     const std::vector<parcelio::fs::path>& volumes, bool hasStub, const std::string& creator);

// Removes the recovery files of BASE (a new set without -r replaces them).
void RemoveRecoveryFiles(const parcelio::fs::path& dir, const std::string& base);

// For list and test: "recovery files: ..." when the set has any.
void SayRecoveryFiles(const std::string& volume);

// For test and join when the set is not whole: says whether the recovery
// files can repair it and how. Answers whether it can be repaired.
bool SayRepairVerdict(const std::string& volume);

}  // namespace parceltool
