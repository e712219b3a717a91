// parcelsplit: cuts files into the numbered volumes of one split set, and can
// make the first volume a self-joining program.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "writer/VolumeWriter.h"

namespace fs = std::filesystem;
using namespace volwriter;

namespace {

constexpr int64_t DefaultVolumeSize = 1457664;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char UsageText[] =
    "usage: parcelsplit [-s VOLUME_SIZE] [-x PROGRAM] [-C DIR] OUTBASE FILE...\n"
    "\n"
    "Splits the FILEs into the volumes OUTBASE.s01, OUTBASE.s02, ... of one set.\n"
    "\n"
    "  -s VOLUME_SIZE  the most bytes of volume data per volume (default 1457664);\n"
    "                  a suffix k or m counts in KiB or MiB\n"
    "  -x PROGRAM      write volume 1 as a self-joining file instead: a copy of\n"
    "                  PROGRAM with the volume appended, named OUTBASE plus\n"
    "                  PROGRAM's extension\n"
    "  -C DIR          read the FILEs relative to DIR\n"
    "  -h              show this help and exit\n"
    "\n"
    "Each FILE is stored under the relative path given, '/' written as '\\'.\n";

struct Arguments {
  int64_t VolumeSize = DefaultVolumeSize;
  std::string Program;
  std::string Dir;
  std::string OutBase;
  std::vector<std::string> Files;
};

struct InputEntry {
  std::string StoredName;
  fs::path Path;
};

void Complain(const std::string& message) {
  std::fprintf(stderr, "parcelsplit: %s\n", message.c_str());
}

int UsageError(const std::string& message) {
  Complain(message);
  std::fprintf(stderr, "Try 'parcelsplit -h' for help.\n");
  return ExitUsage;
}

// A positive decimal count of bytes, optionally followed by k or m.
bool ParseSize(const std::string& text, int64_t& size) {
  std::string digits = text;
  int64_t unit = 1;
  if (!digits.empty()) {
    const char last = static_cast<char>(std::tolower(static_cast<unsigned char>(digits.back())));
    if (last == 'k' || last == 'm') {
      unit = last == 'k' ? 1024 : 1024 * 1024;
      digits.pop_back();
    }
  }
  if (digits.empty()) return false;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const int64_t digit = c - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (value <= 0 || value > std::numeric_limits<int64_t>::max() / unit) return false;
  size = value * unit;
  return true;
}

// The name a file is stored under: the path as given, with backslashes. It
// has to stay below the destination the files are rebuilt in.
bool MakeStoredName(const std::string& file, std::string& stored, std::string& why) {
  stored = file;
  std::replace(stored.begin(), stored.end(), '/', '\\');
  if (stored.empty()) {
    why = "empty file name";
    return false;
  }
  if (stored[0] == '\\' || (stored.size() >= 2 && stored[1] == ':')) {
    why = "the path must be relative (use -C DIR to read files from elsewhere)";
    return false;
  }
  size_t begin = 0;
  for (;;) {
    const size_t end = stored.find('\\', begin);
    const std::string part = stored.substr(begin, end == std::string::npos ? end : end - begin);
    if (part.empty() || part == "..") {
      why = part.empty() ? "the path has an empty component"
                         : "the path must not leave its directory ('..')";
      return false;
    }
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (stored.size() > std::numeric_limits<uint16_t>::max()) {
    why = "the name is longer than 65535 bytes";
    return false;
  }
  return true;
}

std::string UpperAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

int ParseArguments(int argc, char** argv, Arguments& args, bool& helpShown) {
  helpShown = false;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(UsageText, stdout);
      helpShown = true;
      return 0;
    }
    const char option = arg[1];
    if (option != 's' && option != 'x' && option != 'C') return UsageError("unknown option " + arg);
    std::string value;
    if (arg.size() > 2) {
      value = arg.substr(2);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return UsageError(std::string("option -") + option + " needs a value");
    }
    if (option == 's') {
      if (!ParseSize(value, args.VolumeSize)) return UsageError("bad volume size '" + value + "'");
    } else if (option == 'x') {
      args.Program = value;
    } else {
      args.Dir = value;
    }
  }
  if (positional.size() < 2) return UsageError("OUTBASE and at least one FILE are needed");
  args.OutBase = positional[0];
  args.Files.assign(positional.begin() + 1, positional.end());
  return 0;
}

bool ReadRange(const fs::path& path, int64_t offset, int64_t size, Bytes& data) {
  data.assign(static_cast<size_t>(size), 0);
  if (size == 0) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in.seekg(offset)) return false;
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size));
  return in.gcount() == static_cast<std::streamsize>(size);
}

bool WriteOutput(const std::string& path, const Bytes& bytes, int32_t number, size_t count) {
  if (!WriteFileBytes(path, bytes)) {
    Complain("cannot write " + path);
    return false;
  }
  std::printf("%s: volume %d of %llu, %llu bytes\n", path.c_str(), static_cast<int>(number),
              static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(bytes.size()));
  return true;
}

std::string VolumeFileName(const std::string& outBase, int32_t number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".s%02d", static_cast<int>(number));
  return outBase + suffix;
}

int Run(const Arguments& args) {
  // Collect the inputs and check them before anything is written.
  std::vector<InputEntry> inputs;
  std::vector<FileExtent> extents;
  std::set<std::string> seen;
  for (const std::string& file : args.Files) {
    InputEntry entry;
    std::string why;
    if (!MakeStoredName(file, entry.StoredName, why)) {
      Complain(file + ": " + why);
      return ExitFailure;
    }
    if (!seen.insert(UpperAscii(entry.StoredName)).second) {
      Complain(file + ": given twice (names are compared without regard to case)");
      return ExitFailure;
    }
    entry.Path = args.Dir.empty() ? fs::path(file) : fs::path(args.Dir) / file;
    std::error_code ec;
    if (!fs::is_regular_file(entry.Path, ec)) {
      Complain("cannot read " + entry.Path.string() + ": not found or not a regular file");
      return ExitFailure;
    }
    const uintmax_t size = fs::file_size(entry.Path, ec);
    if (ec || size > static_cast<uintmax_t>(std::numeric_limits<int64_t>::max())) {
      Complain("cannot read " + entry.Path.string());
      return ExitFailure;
    }
    extents.push_back(FileExtent{entry.StoredName, static_cast<int64_t>(size)});
    inputs.push_back(std::move(entry));
  }

  // Every volume has to hold its records, one piece header and a data byte.
  int64_t smallest = 0;
  for (const FileExtent& extent : extents)
    smallest = std::max(smallest, VolumeOverhead() + PieceOverhead(extent.StoredName) + 1);
  if (args.VolumeSize < smallest) {
    Complain("volume size " + std::to_string(args.VolumeSize) + " is too small; these files need at least " +
             std::to_string(smallest) + " bytes");
    return ExitUsage;
  }

  Bytes program;
  std::string stubName;
  if (!args.Program.empty()) {
    if (!ReadFileBytes(args.Program, program)) {
      Complain("cannot read program " + args.Program);
      return ExitFailure;
    }
    // The trailer that locates the volume is 32 bits wide.
    if (program.size() > std::numeric_limits<uint32_t>::max()) {
      Complain("program " + args.Program + " is 4 GiB or larger");
      return ExitFailure;
    }
    stubName = args.OutBase + fs::path(args.Program).extension().string();
    std::error_code ec;
    if (fs::equivalent(stubName, args.Program, ec)) {
      Complain("the self-joining file " + stubName + " would replace the program itself");
      return ExitFailure;
    }
  }

  const auto plan = PlanSplit(extents, args.VolumeSize);
  const SetId set = NewSetId();
  for (size_t v = 0; v < plan.size(); ++v) {
    Volume volume;
    volume.Set = set;
    volume.VolumeNumber = static_cast<int32_t>(v + 1);
    volume.IsLast = v + 1 == plan.size();
    for (const PieceRange& range : plan[v]) {
      Piece piece;
      piece.FileName = inputs[range.FileIndex].StoredName;
      piece.FileOffset = range.FileOffset;
      if (!ReadRange(inputs[range.FileIndex].Path, range.FileOffset, range.DataSize, piece.Data)) {
        Complain("cannot read " + inputs[range.FileIndex].Path.string() + " (did it change?)");
        return ExitFailure;
      }
      volume.Pieces.push_back(std::move(piece));
    }

    const Bytes encoded = EncodeVolume(volume);
    if (v == 0 && !stubName.empty()) {
      if (!WriteOutput(stubName, AppendToStub(program, encoded), volume.VolumeNumber, plan.size()))
        return ExitFailure;
      std::error_code ec;
      fs::permissions(stubName,
                      fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                      fs::perm_options::add, ec);
      Bytes().swap(program);
    } else if (!WriteOutput(VolumeFileName(args.OutBase, volume.VolumeNumber), encoded,
                            volume.VolumeNumber, plan.size())) {
      return ExitFailure;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  bool helpShown = false;
  if (const int status = ParseArguments(argc, argv, args, helpShown); status != 0 || helpShown)
    return status;
  try {
    return Run(args);
  } catch (const std::bad_alloc&) {
    Complain("out of memory (try a smaller volume size)");
    return ExitFailure;
  }
}
