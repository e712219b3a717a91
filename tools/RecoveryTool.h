// What the commands of the parcel tool do with recovery files: split's hook
// that writes them, repair, and the notes that list, test and join add.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "parcelio/FileIO.h"
#include "parcelio/SafeOutput.h"

namespace parceltool {

// Before a split writes anything: the recovery files of BASE already in
// dir (UTF-8 names), which a new set replaces only with -f.
std::vector<std::string> ExistingRecoveryFiles(const parcelio::fs::path& dir, const std::string& base);

// After a split has written its volumes (still under their temporary
// names readFrom, in dir): the recovery files for them (amount as given to
// -r), left complete under temporary names in pending, to take their names
// with the volumes. lines: what to say once they have. creator: the text of
// the creator packet. Answers an exit status.
int WriteSetRecovery(const std::string& amount, const parcelio::fs::path& dir, const std::string& base,
                     const std::vector<parcelio::fs::path>& volumes, const std::vector<std::string>& readFrom,
                     bool hasStub, const std::string& creator, bool sync,
                     std::vector<std::unique_ptr<parcelio::PendingFile>>& pending, std::vector<std::string>& lines);

// Whether name is a recovery file of BASE (BASE.par2, BASE.*.par2).
bool IsRecoveryFileName(const std::string& name, const std::string& base);

// For list and test: "recovery files: ..." when the set has any.
void SayRecoveryFiles(const std::string& volume);

// For test and join when the set is not whole: says whether the recovery
// files can repair it and how. Answers whether it can be repaired.
bool SayRepairVerdict(const std::string& volume);

}  // namespace parceltool
