// parcel split's inputs: the files and directories named on the command
// line, walked and checked name by name before anything is written (code
// page 1252, the names Windows refuses, names that differ only in letter
// case, a file where a directory must be).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "parcelio/FileIO.h"
#include "tools/Commands.h"
#include "tools/SplitChecks.h"

namespace parceltool {

// One file to store; a set of many files keeps little per file.
struct Input {
  std::string source;  // the path to read, UTF-8, as the user sees it
  std::string stored;  // code page 1252, backslashes
  int64_t size = 0;
  FileState state;     // as found, to tell whether it changes while it is read
};

// The inputs gathered so far, with what their names already take.
struct Collector {
  std::vector<Input> inputs;
  std::unordered_map<std::string, uint32_t> fileKeys;  // folded stored name -> input
  std::unordered_map<std::string, uint32_t> dirKeys;   // folded directory prefix -> first input below it
  InputPlaces places;  // what the outputs may not replace
  int refused = 0;

  // Says why shown cannot be stored, and counts it.
  void Refuse(const std::string& shown, const std::string& reason);

  // One file, stored under parts (the stored name's parts in UTF-8), its
  // name checked against the rules and against every name taken so far.
  void AddFile(const parcelio::fs::path& source, const std::vector<std::string>& parts);

  // Everything below a directory; answers whether anything was found to
  // store.
  bool AddTree(const parcelio::fs::path& dir, std::vector<std::string>& parts);
};

// The name a PATH is stored under: its last part, "." and ".." resolved.
std::string OwnName(const parcelio::fs::path& source);

// Plan, first step: what is to be stored, every name checked before
// anything is written; refusals are said as they are found.
void CollectInputs(const SplitArgs& args, Collector& collector);

}  // namespace parceltool
