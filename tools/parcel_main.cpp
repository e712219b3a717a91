// parcel: splits files into the volumes of a set, lists and tests a set, and
// joins it. This file reads the command line and hands over to the command.
#include <cmath>
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
    "  split [-s SIZE] [-o BASE] [--stub PROGRAM] [--no-crc] [-f] PATH...\n"
    "  list VOLUME\n"
    "  test VOLUME\n"
    "  join [-C DIR] [-f] VOLUME\n"
    "\n"
    "options of every command: -q (only errors are shown), --help\n"
    "  parcel --version   shows the version\n"
    "  parcel COMMAND --help   shows the help of one command\n"
    "\n"
    "Exit status: 0 success, 1 the work failed, 2 bad usage.\n";

const char SplitHelp[] =
    "usage: parcel split [-s SIZE] [-o BASE] [--stub PROGRAM] [--no-crc] [-f] [-q] PATH...\n"
    "\n"
    "Stores the files and directories (with everything below them) in the\n"
    "volumes BASE.s01, BASE.s02, ... of a new set. A file is stored under its\n"
    "own name, a file below a directory under the directory's name and its\n"
    "relative path.\n"
    "\n"
    "  -s SIZE        the most bytes per volume: bytes, or a number with k, K,\n"
    "                 KiB, m, M, MiB, g, G, GiB (1024-based) or kB, MB, GB\n"
    "                 (1000-based); 1.44M is allowed. Default: one volume.\n"
    "  -o BASE        the volumes' base name (default: the first PATH's name\n"
    "                 without extension, in the current directory)\n"
    "  --stub PROGRAM write volume 1 appended to a copy of PROGRAM: a\n"
    "                 self-joining file BASE.exe (Windows program) or BASE\n"
    "  --no-crc       mark the volumes so that joins do not compare CRCs\n"
    "  -f             replace existing volumes of BASE (and remove higher-\n"
    "                 numbered ones left by an earlier set)\n"
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

const char JoinHelp[] =
    "usage: parcel join [-C DIR] [-f] [-q] VOLUME\n"
    "\n"
    "Rebuilds the files of the set that VOLUME belongs to in DIR (default: the\n"
    "current directory; created when missing). Nothing is written unless the\n"
    "set is complete and no file to be written exists already.\n"
    "\n"
    "  -C DIR   rebuild the files in DIR\n"
    "  -f       overwrite existing files\n"
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
  if (first != "split" && first != "list" && first != "test" && first != "join")
    return UsageError("", "unknown command '" + first + "'");

  Parser p;
  p.command = first;
  p.args.assign(argv.begin() + 2, argv.end());
  SplitArgs split;
  JoinArgs join;
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
      return ShowHelp(first == "split" ? SplitHelp : first == "list" ? ListHelp : first == "test" ? TestHelp : JoinHelp);
    }
    if (arg == "-q" || arg == "--quiet") {
      Quiet = true;
      continue;
    }
    std::string value;
    if (first == "split") {
      if (p.Value(arg, "-s", value, status)) {
        if (status == ExitOk && !ParseSize(value, split.volumeSize))
          status = UsageError(first, "bad SIZE '" + value + "'");
        split.sizeGiven = true;
      } else if (p.Value(arg, "-o", value, status)) {
        split.base = value;
      } else if (p.Value(arg, "--stub", value, status)) {
        split.stub = value;
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
      } else {
        status = UsageError(first, "unknown option '" + arg + "'");
      }
    } else {
      status = UsageError(first, "unknown option '" + arg + "'");
    }
  }
  if (status != ExitOk) return status;

  if (first == "split") {
    if (operands.empty()) return UsageError(first, "no PATH given");
    split.paths = operands;
    return RunSplit(split);
  }
  if (operands.size() != 1)
    return UsageError(first, operands.empty() ? "no VOLUME given" : "one VOLUME only");
  if (first == "join") {
    if (join.dir.empty()) return UsageError(first, "empty DIR");
    join.volume = operands[0];
    return RunJoin(join);
  }
  return first == "list" ? RunList(operands[0]) : RunTest(operands[0]);
}

}  // namespace

namespace parceltool {

bool ParseSize(const std::string& text, int64_t& size) {
  size_t digitsEnd = 0;
  bool seenDot = false, seenDigit = false;
  while (digitsEnd < text.size() &&
         ((text[digitsEnd] >= '0' && text[digitsEnd] <= '9') || (text[digitsEnd] == '.' && !seenDot))) {
    if (text[digitsEnd] == '.') seenDot = true; else seenDigit = true;
    ++digitsEnd;
  }
  if (!seenDigit) return false;
  const std::string number = text.substr(0, digitsEnd);
  const std::string unit = text.substr(digitsEnd);
  struct Unit { const char* name; double factor; };
  static const Unit units[] = {
      {"", 1}, {"k", 1024.0}, {"K", 1024.0}, {"KiB", 1024.0},
      {"m", 1048576.0}, {"M", 1048576.0}, {"MiB", 1048576.0},
      {"g", 1073741824.0}, {"G", 1073741824.0}, {"GiB", 1073741824.0},
      {"kB", 1e3}, {"KB", 1e3}, {"MB", 1e6}, {"GB", 1e9}};
  const Unit* found = nullptr;
  for (const Unit& u : units)
    if (unit == u.name) found = &u;
  if (found == nullptr) return false;
  if (!seenDot) {
    // Whole numbers exactly, without a detour through floating point.
    int64_t value = 0;
    const int64_t factor = static_cast<int64_t>(found->factor);
    for (char c : number) {
      if (value > (INT64_MAX - 9) / 10) return false;
      value = value * 10 + (c - '0');
    }
    if (value <= 0 || value > INT64_MAX / factor) return false;
    size = value * factor;
    return true;
  }
  const long double value = std::strtold(number.c_str(), nullptr) * found->factor;
  if (!(value >= 1) || value >= 9.2e18L) return false;
  size = static_cast<int64_t>(std::floor(value));
  return true;
}

}  // namespace parceltool

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
