// The commands of the parcel tool, each with the options parcel_main.cpp
// has parsed for it.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace parceltool {

struct SplitArgs {
  int64_t volumeSize = std::numeric_limits<int64_t>::max();  // one volume unless -s
  bool sizeGiven = false;
  std::string base;     // -o; empty: from the first path
  std::string stub;     // --stub PROGRAM
  bool noCrc = false;
  bool force = false;
  bool noSync = false;  // --no-sync: volumes not written through to the disk before they take their names
  std::string recovery;  // -r N or N%: recovery files too
  bool allowUnportable = false;  // --allow-unportable-names
  std::vector<std::string> paths;
};

struct JoinArgs {
  std::string dir = ".";
  bool force = false;
  bool noSync = false;  // --no-sync: files not written through to the disk before they take their names
  bool repair = false;  // --repair: repair from the recovery files first
  std::string volume;
};

struct RepairArgs {
  std::string target;  // a volume or BASE.par2
  bool dryRun = false;  // -n
};

// Each command does its work, says what went wrong on standard error, and
// answers the tool's exit status (ExitOk, ExitFailed, ExitUsage).
// split: the paths stored in the volumes of a new set (and recovery files).
int CmdSplit(const SplitArgs& args);
// repair: the set's volumes checked against its recovery files, and
// rebuilt from them where they can be.
int CmdRepair(const RepairArgs& args);
// list: the set's files and volumes, from the records alone.
int CmdList(const std::string& volume);
// test: every piece read and its CRC checked; nothing is written.
int CmdTest(const std::string& volume);
// join: the set's files rebuilt in args.dir, checked before anything is written.
int CmdJoin(const JoinArgs& args);

// Parses a SIZE: bytes, or a number (a decimal fraction allowed, taken
// exactly: 0.001GB is 1000000) with one of the units k K KiB m M MiB g G GiB
// (1024-based) or kB KB MB GB (1000-based), rounded down to whole bytes; or
// one of the names floppy (1457664) and fat32 (4294967295). False when the
// text is not a size of at least one byte.
bool ParseSize(const std::string& text, int64_t& size);
// The accepted forms, for a message about a bad SIZE.
extern const char SizeForms[];

}  // namespace parceltool
