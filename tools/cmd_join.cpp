// parcel join: rebuilds the files of a set in a directory. Everything that
// can be known in advance is checked before the first byte is written: the
// set complete and sound, every stored name acceptable, no file in the way.
#include <algorithm>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "parcelio/FileIO.h"
#include "parcelio/Names.h"
#include "parcelio/SetReader.h"
#include "tools/Commands.h"
#include "tools/RecoveryTool.h"
#include "tools/ToolSupport.h"

namespace parceltool {

namespace {

namespace fs = parcelio::fs;
using parcelio::File;

// One file on disk; several stored spellings may lead to it. Only its
// relative path is kept, so that a set of many files costs little memory.
struct Output {
  std::string relative;  // UTF-8, parts joined by '/'
  int64_t size = 0;
  bool existed = false;  // found on disk before the join (so -f is given)
  bool opened = false;
};

// The directory levels above a relative path: "a", "a/b" for "a/b/c".
template <typename Visit>
bool ForEachLevel(const std::string& relative, Visit visit) {
  for (size_t at = relative.find('/'); at != std::string::npos; at = relative.find('/', at + 1))
    if (!visit(relative.substr(0, at))) return false;
  return true;
}

}  // namespace

int RunJoin(const JoinArgs& args) {
  parcelio::SetInfo set;
  std::string error;
  if (args.repair) {
    // Repaired first (a whole set is left as it is).
    const int status = RunRepair(RepairArgs{args.volume, false});
    if (status != ExitOk) return status;
  }
  if (!parcelio::ReadSet(parcelio::PathOf(args.volume), set, error)) {
    Fail("join", error);
    SayRepairVerdict(args.volume);
    return ExitFailed;
  }
  if (ReportSetProblems(set, args.volume)) {
    SayRepairVerdict(args.volume);
    return ExitFailed;
  }

  // The stored names, as the self-joining program would take them, and the
  // files on disk they lead to.
  const fs::path dir = parcelio::PathOf(args.dir);
  std::vector<Output> outputs;
  std::vector<uint32_t> outputOf(set.files.size());
  std::unordered_map<std::string, uint32_t> byKey;
  std::set<std::string> dirKeys;
  auto pathOf = [&](const std::string& relative) { return dir / parcelio::PathOf(relative); };
  auto shown = [&](const std::string& relative) {
    return args.dir == "." ? relative : parcelio::Utf8Of(pathOf(relative));
  };
  int refused = 0;
  for (size_t i = 0; i < set.files.size(); ++i) {
    parcelio::OutputName name;
    std::string why;
    if (!parcelio::ResolveStoredName(set.files[i].stored, name, why)) {
      Fail(set.files[i].name, why);
      ++refused;
      continue;
    }
    auto found = byKey.find(name.key);
    if (found == byKey.end()) {
      Output output;
      for (const std::string& part : name.parts) output.relative += (output.relative.empty() ? "" : "/") + part;
      for (size_t at = name.key.find('\\'); at != std::string::npos; at = name.key.find('\\', at + 1))
        dirKeys.insert(name.key.substr(0, at));
      found = byKey.emplace(name.key, static_cast<uint32_t>(outputs.size())).first;
      outputs.push_back(std::move(output));
    }
    outputOf[i] = found->second;
    outputs[found->second].size = std::max(outputs[found->second].size, set.files[i].size);
  }
  for (const auto& entry : byKey) {
    if (dirKeys.count(entry.first) != 0) {
      Fail(shown(outputs[entry.second].relative), "the set holds both a file and a directory of this name");
      ++refused;
    }
  }
  if (refused > 0) return ExitFailed;

  // Nothing may stand in the way: no file to be written may exist (unless
  // -f), and every directory level below DIR must be a real directory or
  // missing, so that nothing is written outside DIR through a link.
  std::error_code ec;
  std::vector<std::string> existing;
  std::set<std::string> levelsChecked;
  int blocked = 0;
  for (Output& output : outputs) {
    ForEachLevel(output.relative, [&](const std::string& level) {
      if (!levelsChecked.insert(level).second) return true;
      const fs::file_status status = fs::symlink_status(pathOf(level), ec);
      if (fs::exists(status) && !fs::is_directory(status)) {
        Fail(shown(level), fs::is_symlink(status) ? "is a link; a directory is needed here"
                                                  : "exists and is not a directory");
        ++blocked;
      }
      return true;
    });
    const fs::file_status status = fs::symlink_status(pathOf(output.relative), ec);
    if (fs::is_directory(status)) {
      Fail(shown(output.relative), "is a directory");
      ++blocked;
    } else if (fs::exists(status)) {
      output.existed = true;
      existing.push_back(shown(output.relative));
    }
  }
  if (!existing.empty() && !args.force) {
    ProblemList inTheWay;
    for (const std::string& name : existing) inTheWay.Add(name, "exists (use -f to overwrite)");
    return ExitFailed;
  }
  // Not even -f overwrites a volume of the set being joined.
  if (!existing.empty()) {
    std::set<fs::path> volumePaths;
    for (const parcelio::VolumeEntry& volume : set.volumes) volumePaths.insert(fs::weakly_canonical(volume.path, ec));
    for (const std::string& name : existing) {
      if (volumePaths.count(fs::weakly_canonical(parcelio::PathOf(name), ec)) != 0) {
        Fail(name, "is a volume of the set being joined");
        ++blocked;
      }
    }
  }
  if (blocked > 0) return ExitFailed;

  int64_t total = 0, needed = 0;
  for (const parcelio::VolumeEntry& volume : set.volumes)
    for (const parcelio::PieceEntry& piece : volume.pieces) total += piece.size;
  for (const Output& output : outputs) needed += output.size;
  fs::create_directories(dir, ec);
  if (ec) return Fail(args.dir, parcelio::ErrorText(ec));
  const int64_t free = parcelio::FreeSpace(dir);
  if (free >= 0 && needed > free) {
    return Fail(args.dir, "not enough free space: the files need " + std::to_string(needed) + " bytes, " +
                              std::to_string(free) + " are free");
  }

  // The copy: volume by volume, piece by piece, each output opened once per
  // run of its pieces. A file is cut to length 0 the first time it is met.
  ProgressLine progress("parcel: join", total);
  std::set<std::string> levelsMade;
  int64_t done = 0;
  int failures = 0;
  File output;
  uint32_t current = UINT32_MAX;
  for (const parcelio::VolumeEntry& volume : set.volumes) {
    File source;
    if (!source.Open(volume.path, File::Mode::Read)) return Fail(volume.name, parcelio::LastErrorText());
    for (const parcelio::PieceEntry& piece : volume.pieces) {
      const uint32_t index = outputOf[piece.file];
      Output& target = outputs[index];
      if (index != current) {
        output.Close();
        current = UINT32_MAX;
        const fs::path targetPath = pathOf(target.relative);
        if (!target.opened) {
          std::string failedLevel;
          std::error_code made;
          ForEachLevel(target.relative, [&](const std::string& level) {
            if (levelsMade.count(level) != 0) return true;
            fs::create_directory(pathOf(level), made);
            if (made) failedLevel = level;
            levelsMade.insert(level);
            return !made;
          });
          if (made) return Fail(shown(failedLevel), parcelio::ErrorText(made));
          // A link in the way is replaced by the file, not followed.
          std::error_code ignored;
          if (target.existed && fs::is_symlink(fs::symlink_status(targetPath, ignored)))
            fs::remove(targetPath, ignored);
        }
        if (!output.Open(targetPath, target.opened ? File::Mode::Update : File::Mode::Replace))
          return Fail(shown(target.relative), parcelio::LastErrorText());
        target.opened = true;
        current = index;
      }
      const parcelio::CopyResult copy = parcelio::CopyRange(
          source, piece.dataPos, &output, piece.offset, piece.size,
          [&](int64_t n) { progress.Update(done + n); });
      done += piece.size;
      const std::string where =
          " at offset " + std::to_string(piece.offset) + " (volume " + std::to_string(volume.number) + ")";
      if (!copy.ok && !copy.readFailed) {
        progress.Finish();
        return Fail(shown(target.relative), copy.reason);
      }
      if (!copy.ok) {
        progress.Finish();
        Fail(shown(target.relative), "cannot read the piece" + where + " from " + volume.name + ": " + copy.reason);
        ++failures;
      } else if (volume.checkMode != 4 && copy.crc != piece.crc) {
        progress.Finish();
        Fail(shown(target.relative), "CRC error in the piece" + where);
        ++failures;
      }
    }
  }
  output.Close();
  progress.Finish();
  if (failures > 0) {
    SayRepairVerdict(args.volume);
    return ExitFailed;
  }
  Say(std::to_string(outputs.size()) + (outputs.size() == 1 ? " file, " : " files, ") + std::to_string(done) +
      " bytes rebuilt in " + parcelio::Utf8Of(dir));
  return ExitOk;
}

}  // namespace parceltool
