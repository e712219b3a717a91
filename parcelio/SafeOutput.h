// Writing files so that a run that fails, is interrupted or is raced never
// leaves a short or mixed file under a final name: each file is written
// under a temporary name in its own folder and renamed into place when it
// is complete. Also the names of those temporary files, and the removal of
// the ones a killed run left behind.
//
// The temporary names (the mark is U+2234 THEREFORE, a character no stored
// name can hold, since stored names are code page 1252 text):
//   .NAME∴PID-TAG.part   NAME being written by process PID (TAG: 8 hex digits)
//   .NAME∴PID-TAG.old    NAME of an earlier set, set aside by split -f while
//                        the new set takes the names
//   .BASE∴split.lock     held by the split writing the set BASE
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "parcelio/FileIO.h"

namespace parcelio {

// The temporary name of a file that will be, or was, finalName; kind is
// "part" or "old". Long names are shortened so that the result stays a
// valid file name.
std::string TemporaryName(const std::string& finalName, const std::string& kind);
// The name of the lock file that keeps two splits to one BASE in a folder apart.
std::string LockName(const std::string& base);

struct TemporaryNameParts {
  std::string target;  // the final name (possibly shortened)
  uint32_t pid = 0;
  std::string kind;    // "part" or "old"
};
// Exactly the pattern of a .part or .old name.
bool ParseTemporaryName(const std::string& name, TemporaryNameParts& parts);
// Any name of the three patterns: never a volume, never an output.
bool IsTemporaryName(const std::string& name);

// Removes what runs that have ended left in the folder: .part and .old
// files of the pattern whose process no longer runs, that belong to this
// user, whose target `which` accepts. Answers how many were removed.
size_t RemoveStaleTemporaries(const Dir& dir, const std::function<bool(const std::string&)>& which);

// One file written under its temporary name in its final folder and put in
// place at the end. Until it is placed, an interruption or the destructor
// removes it.
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Creates the temporary file exclusively; false with LastErrorText().
  bool Create(std::shared_ptr<const Dir> dir, const std::string& finalName);
  // The open file, its temporary name, and the name it is to take.
  File& file() { return file_; }
  const std::string& temporary() const { return temp_; }
  const std::string& finalName() const { return final_; }
  const Dir& dir() const { return *dir_; }

  // Writes the data through to the disk (when sync) and closes the file.
  bool Finish(bool sync);
  // Renames the file into place. Without replace nothing that has the name
  // is replaced, even if it appeared a moment ago (LastErrorIsExists()).
  bool Place(bool replace);
  // Takes a placed file back to its temporary name (undoing Place).
  bool Unplace();
  // Removes the temporary file.
  void Discard();

 private:
  std::shared_ptr<const Dir> dir_;
  std::string final_;
  std::string temp_;
  File file_;
  bool live_ = false;
};

// Puts complete files in place, each only once its data is on the disk
// (unless sync is off). Small files wait and go in groups after one flush
// of their file systems, where the system has such a flush: a flush per
// file costs about 5 ms, which for 100,000 small files is minutes.
class Placement {
 public:
  // report: a file that could not take its name (exists: something has the
  // name now).
  using Report = std::function<void(const std::string& shown, bool exists)>;
  Placement(bool sync, bool replace, Report report);
  ~Placement();
  // A complete file, for its final name. False when writing data through
  // to the disk failed (LastErrorText()); the waiting files are dropped.
  bool Add(std::unique_ptr<PendingFile> file, const std::string& shown, int64_t size);
  // Places every file still waiting. False as for Add.
  bool Flush();

 private:
  void PlaceOne(PendingFile& file, const std::string& shown);
  bool sync_;
  bool replace_;
  Report report_;
  std::vector<std::pair<std::unique_ptr<PendingFile>, std::string>> waiting_;
  int64_t waitingBytes_ = 0;
};

// Puts a new set of files in the place of an old one, so that at every
// moment one of them is whole on disk: the old files are renamed aside
// (.old names), the new ones renamed into place without replacing
// anything, and only then are the old ones removed. Interruptions wait
// until it is done. When a step fails, what was done is undone and
// failedName says where it failed (with LastErrorText() from that step);
// notRemoved lists old files that could not be removed at the end.
bool SwitchSet(const Dir& dir, const std::vector<PendingFile*>& newFiles, const std::vector<std::string>& oldFiles,
               std::string& failedName, std::string& reason, std::vector<std::string>& notRemoved);

// The folders below a destination, opened level by level from it (see
// Dir), made when missing. The first time the run enters a folder, the
// leftovers of ended runs there are removed.
class FolderTree {
 public:
  // The tree below root, the destination held open.
  explicit FolderTree(Dir root);
  // The folder of a relative path ("a/b"; "" is the destination itself).
  // On failure, failedLevel is the relative path of the level that failed.
  std::shared_ptr<const Dir> Open(const std::string& relative, std::string& failedLevel);

 private:
  std::shared_ptr<const Dir> root_;
  std::map<std::string, std::weak_ptr<const Dir>> open_;
  std::map<std::string, bool> cleaned_;
  std::shared_ptr<const Dir> last_;
};

}  // namespace parcelio
