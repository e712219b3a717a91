// parcel: splits files into the volumes of a set, lists and tests a set, and
// joins it. This file reads the command line and hands over to the command.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "parcelio/FileIO.h"
#include "tools/Commands.h"
#include "tools/ToolSupport.h"

#ifndef PARCEL_VERSION
#error "PARCEL_VERSION comes from the build (the project's version)"
#endif

using namespace parceltool;

namespace {

const char MainHelp[] =
    "usage: parcel COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Splits files and directories into the numbered volumes of a set, and\n"
    "lists, tests and joins such sets.\n"
    "\n"
    "commands:\n"
    "  split [-s SIZE] [-o BASE] [--stub PROGRAM] [--no-crc] [-r N|N%] [-f] [--no-sync] PATH...\n"
    "  list VOLUME\n"
    "  test VOLUME\n"
    "  join [-C DIR] [-f] [--repair] [--no-sync] VOLUME\n"
    "  repair [-n] VOLUME|BASE.par2\n"
    "\n"
    "options of every command: -q (only errors are shown), --help\n"
    "  parcel --version   shows the version\n"
    "  parcel COMMAND --help   shows the help of one command\n"
    "\n"
    "Exit status: 0 success, 1 the work failed, 2 bad usage.\n";

const char SplitHelp[] =
    "usage: parcel split [-s SIZE] [-o BASE] [--stub PROGRAM] [--allow-unportable-names]\n"
    "                    [--no-crc] [-r N|N%] [-f] [--no-sync] [-q] PATH...\n"
    "\n"
    "Stores the files and directories (with everything below them) in the\n"
    "volumes BASE.s01, BASE.s02, ... of a new set. A file is stored under its\n"
    "own name, a file below a directory under the directory's name and its\n"
    "relative path. Names Windows cannot take are refused before anything is\n"
    "written, and so is a file that changes while it is read.\n"
    "\n"
    "  -s SIZE        the most bytes per volume file (the self-joining file\n"
    "                 included): bytes, or a number with k, K, KiB, m, M, MiB,\n"
    "                 g, G, GiB (1024-based) or kB, MB, GB (1000-based), such\n"
    "                 as 100M or 0.7GB; or floppy (1457664 bytes, what a\n"
    "                 1.44 MB disk holds) or fat32 (4294967295, FAT32's\n"
    "                 largest file). Default: one volume.\n"
    "  -o BASE        the volumes' base name (default: the first PATH's name\n"
    "                 without extension, in the current directory; NAME-set\n"
    "                 when that would name one of the inputs)\n"
    "  --stub PROGRAM write volume 1 appended to a copy of the self-joining\n"
    "                 program: BASE.exe for the Windows program, BASE for the\n"
    "                 Linux one. 'windows' and 'linux' name the programs\n"
    "                 installed with parcel. Every stored name must then be one\n"
    "                 the program can rebuild: in code page 850, and at most\n"
    "                 200 characters long\n"
    "  --allow-unportable-names\n"
    "                 with --stub, make the set even when the self-joining\n"
    "                 program cannot rebuild some names (a warning names them)\n"
    "  --no-crc       mark the volumes so that joins do not compare CRCs\n"
    "  -r N           also write PAR 2.0 recovery files (BASE.par2 and\n"
    "                 BASE.volXX+YY.par2) from which any N lost or damaged\n"
    "                 volumes can be rebuilt; -r N% makes recovery data of\n"
    "                 about N% of the set's size instead\n"
    "  -f             replace existing volumes of BASE (and remove higher-\n"
    "                 numbered ones left by an earlier set); files that are not\n"
    "                 volumes are never replaced\n"
    "  --no-sync      do not write the volumes through to the disk before\n"
    "                 they take their names (faster; a crash may then leave\n"
    "                 a short volume)\n"
    "  -q             show only errors\n";

const char ListHelp[] =
    "usage: parcel list [-q] VOLUME\n"
    "\n"
    "Lists the files of the set that VOLUME belongs to (its volumes are the\n"
    "files beside it with its base name and any extension): size, pieces,\n"
    "volumes and name of each, a total, and the numbers of missing volumes.\n"
    "Reads only the records, not the data. Exit status 1 when volumes are\n"
    "missing or damaged.\n";

const char TestHelp[] =
    "usage: parcel test [-q] VOLUME\n"
    "\n"
    "Reads every piece of the set that VOLUME belongs to and checks its CRC,\n"
    "writing nothing. Exit status 0 only when the set is complete and sound.\n";

const char RepairHelp[] =
    "usage: parcel repair [-n] [-q] VOLUME|BASE.par2\n"
    "\n"
    "Checks every file that the recovery files BASE.par2 and BASE.vol*.par2\n"
    "protect (the volumes of a set), names those missing or damaged, and\n"
    "rebuilds them byte for byte from the recovery slices and the sound parts\n"
    "of the others. A volume under another name (or letter case) is found by\n"
    "its contents and renamed. A damaged file is kept as NAME.1.\n"
    "Exit status 0 when every file is sound afterwards; 1 when the set cannot\n"
    "be repaired (the message says how many more recovery slices it needs).\n"
    "\n"
    "  -n   only check and report; change nothing\n"
    "  -q   show only errors\n";

const char JoinHelp[] =
    "usage: parcel join [-C DIR] [-f] [--repair] [--no-sync] [-q] VOLUME\n"
    "\n"
    "Rebuilds the files of the set that VOLUME belongs to in DIR (default: the\n"
    "current directory; created when missing). Nothing is written unless the\n"
    "set is complete and no file to be written exists already.\n"
    "\n"
    "  -C DIR   rebuild the files in DIR\n"
    "  -f       overwrite existing files\n"
    "  --repair repair the set from its recovery files first (see repair)\n"
    "  --no-sync do not write the files through to the disk before they\n"
    "           take their names (a crash may then leave a short file)\n"
    "  -q       show only errors\n";

// Options with a value take it from the next argument or after '='.
struct Parser {
  std::string command;
  std::vector<std::string> args;
  size_t next = 0;
  bool optionsEnded = false;

  bool Value(const std::string& arg, const std::string& name, std::string& value, int& status) {
    if (arg.compare(0, name.size() + 1, name + "=") == 0 && name.size() > 2) {
      value = arg.substr(name.size() + 1);
      return true;
    }
    if (arg != name) {
      // -sSIZE
      if (name.size() == 2 && arg.size() > 2 && arg.compare(0, 2, name) == 0) {
        value = arg.substr(2);
        return true;
      }
      return false;
    }
    if (next >= args.size()) {
      status = UsageError(command, "option " + name + " needs a value");
      return true;
    }
    value = args[next++];
    return true;
  }
};

bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

int ShowHelp(const char* text) {
  parcelio::WriteOut(text);
  return ExitOk;
}

int Dispatch(const std::vector<std::string>& argv) {
  if (argv.size() < 2) return UsageError("", "no command given");
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") return ShowHelp(MainHelp);
  if (first == "--version" || first == "-V") {
    parcelio::WriteOut(std::string("parcel ") + PARCEL_VERSION + "\n");
    return ExitOk;
  }
  if (first != "split" && first != "list" && first != "test" && first != "join" && first != "repair")
    return UsageError("", "unknown command '" + first + "'");

  Parser p;
  p.command = first;
  p.args.assign(argv.begin() + 2, argv.end());
  SplitArgs split;
  JoinArgs join;
  RepairArgs repair;
  std::vector<std::string> operands;
  int status = ExitOk;
  while (p.next < p.args.size() && status == ExitOk) {
    const std::string arg = p.args[p.next++];
    if (p.optionsEnded || !IsOption(arg)) {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      p.optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      return ShowHelp(first == "split"    ? SplitHelp
                      : first == "list"   ? ListHelp
                      : first == "test"   ? TestHelp
                      : first == "repair" ? RepairHelp
                                          : JoinHelp);
    }
    if (arg == "-q" || arg == "--quiet") {
      Quiet = true;
      continue;
    }
    std::string value;
    if (first == "split") {
      if (p.Value(arg, "-s", value, status)) {
        if (status == ExitOk && !ParseSize(value, split.volumeSize))
          status = UsageError(first, "bad SIZE '" + value + "': give " + SizeForms);
        split.sizeGiven = true;
      } else if (p.Value(arg, "-o", value, status)) {
        split.base = value;
      } else if (p.Value(arg, "-r", value, status)) {
        split.recovery = value;
      } else if (p.Value(arg, "--stub", value, status)) {
        split.stub = value;
      } else if (arg == "--allow-unportable-names") {
        split.allowUnportable = true;
      } else if (arg == "--no-crc") {
        split.noCrc = true;
      } else if (arg == "-f" || arg == "--force") {
        split.force = true;
      } else if (arg == "--no-sync") {
        split.noSync = true;
      } else {
        status = UsageError(first, "unknown option '" + arg + "'");
      }
    } else if (first == "join") {
      if (p.Value(arg, "-C", value, status)) {
        join.dir = value;
      } else if (arg == "-f" || arg == "--force") {
        join.force = true;
      } else if (arg == "--no-sync") {
        join.noSync = true;
      } else if (arg == "--repair") {
        join.repair = true;
      } else {
        status = UsageError(first, "unknown option '" + arg + "'");
      }
    } else if (first == "repair" && (arg == "-n" || arg == "--dry-run")) {
      repair.dryRun = true;
    } else {
      status = UsageError(first, "unknown option '" + arg + "'");
    }
  }
  if (status != ExitOk) return status;

  if (first == "split") {
    if (operands.empty()) return UsageError(first, "no PATH given");
    split.paths = operands;
    return CmdSplit(split);
  }
  if (operands.size() != 1)
    return UsageError(first, operands.empty() ? "no VOLUME given" : "one VOLUME only");
  if (first == "repair") {
    repair.target = operands[0];
    return CmdRepair(repair);
  }
  if (first == "join") {
    if (join.dir.empty()) return UsageError(first, "empty DIR");
    join.volume = operands[0];
    return CmdJoin(join);
  }
  return first == "list" ? CmdList(operands[0]) : CmdTest(operands[0]);
}

}  // namespace

int main(int argc, char** argv) {
  parcelio::InitProcess();
  // An interrupted run removes its temporary files before it ends.
  parcelio::CatchInterrupts();
  try {
    const int status = Dispatch(parcelio::Arguments(argc, argv));
    // A reader that stopped early (`parcel list x | head -1`) took what it
    // wanted: the exit status is the work's.
    if (parcelio::FinishOutput() == parcelio::OutputEnd::Failed) return Fail("standard output", "write error");
    return status;
  } catch (const std::bad_alloc&) {
    return Fail("memory", "out of memory");
  } catch (const std::exception& e) {
    return Fail("error", e.what());
  }
}
