// What parcel split checks before it writes anything, and once more as it
// reads: names the receiver can rebuild, outputs that are not inputs, old
// files that are volumes before they are replaced, files that stay as they
// were while they are read.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "parcelio/FileIO.h"

namespace parceltool {

// One file to store: where it is read from, and the name it is stored under.
struct NamedInput {
  const std::string* source;  // UTF-8, as the user sees it
  const std::string* stored;  // code page 1252
};

// The names the self-joining program could not rebuild (a character its
// code page 850 lacks, a path too long for a Windows destination). With a
// stub they are refused, unless allowed, when each is a warning; without a
// stub each is a warning. Answers ExitOk or ExitFailed (said).
int CheckPortableNames(const std::vector<NamedInput>& inputs, bool withStub, bool allowed);

// The places split may not write to or remove: every input file and every
// directory given, each as the key OutputKey makes.
class InputPlaces {
 public:
  // shown: the input as the user sees it.
  void Add(const parcelio::fs::path& path, const std::string& shown);
  // The input that an output name would replace (as shown); empty when it
  // is none. Names are compared by their directory's real path and, where
  // the system ignores letter case, without it.
  std::string InputAt(const parcelio::fs::path& output) const;

 private:
  // What InputAt compares: the real path of the directory, then the name
  // (folded where the system ignores letter case).
  std::string Key(const parcelio::fs::path& path) const;
  std::unordered_map<std::string, std::string> inputs_;               // key -> shown
  mutable std::unordered_map<std::string, std::string> parents_;      // directory as given -> real path
};

// What an existing file at an output name is, for the decision to replace
// or remove it.
enum class Existing { Volume, OtherFile, Directory };
Existing WhatIsAt(const parcelio::fs::path& path);

// A file's size and modification time, to tell whether it changed while it
// was read.
struct FileState {
  int64_t size = -1;
  parcelio::fs::file_time_type time{};
  bool operator==(const FileState& other) const { return size == other.size && time == other.time; }
};
// The state of the file at path now; false with the error when it cannot be read.
bool StateOf(const parcelio::fs::path& path, FileState& state, std::error_code& error);

}  // namespace parceltool
