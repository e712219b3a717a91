// parcel join: rebuilds the files of a set in a directory. Everything that
// can be known in advance is checked before the first byte is written: the
// set complete and sound, every stored name acceptable, no file in the way.
// Each file is written under a temporary name in its folder, the folders
// reached level by level without following links, and renamed into place
// when its last piece is in and every CRC matched.
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "VolumeFormat/VolumeFormat.h"
#include "parcelio/FileIO.h"
#include "parcelio/PieceCopy.h"
#include "parcelio/Names.h"
#include "parcelio/SafeOutput.h"
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
  int64_t piecesLeft = 0;
  bool damaged = false;  // a piece could not be read or failed its CRC
  std::unique_ptr<parcelio::PendingFile> pending;  // from its first piece to its last
};

// The folder part and the name of a relative path.
std::string FolderOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string LeafOf(const std::string& relative) { return relative.substr(relative.rfind('/') + 1); }

// The directory levels above a relative path: "a", "a/b" for "a/b/c".
template <typename Visit>
bool ForEachLevel(const std::string& relative, Visit visit) {
  for (size_t at = relative.find('/'); at != std::string::npos; at = relative.find('/', at + 1))
    if (!visit(relative.substr(0, at))) return false;
  return true;
}

// The files a join writes: one per stored file, several stored spellings
// may lead to one.
struct JoinPlan {
  fs::path dir;
  std::string dirText;  // DIR as given
  std::vector<Output> outputs;
  std::vector<uint32_t> outputOf;  // by stored file: its output
  int64_t needed = 0;              // bytes of all outputs

  fs::path PathOf(const std::string& relative) const { return dir / parcelio::PathOf(relative); }
  std::string Shown(const std::string& relative) const {
    return dirText == "." ? relative : parcelio::Utf8Of(PathOf(relative));
  }
};

// The stored names, as the self-joining program would take them, and the
// files on disk they lead to. False when a name is refused.
bool ResolveOutputs(const parcelio::SetInfo& set, JoinPlan& plan) {
  std::unordered_map<std::string, uint32_t> byKey;
  std::set<std::string> dirKeys;
  plan.outputOf.assign(set.files.size(), 0);
  ProblemList refused;
  for (size_t i = 0; i < set.files.size(); ++i) {
    parcelio::OutputName name;
    std::string why;
    if (!parcelio::ResolveStoredName(set.files[i].stored, name, why)) {
      refused.Add(set.files[i].name, why);
      continue;
    }
    auto found = byKey.find(name.key);
    if (found == byKey.end()) {
      Output output;
      for (const std::string& part : name.parts) output.relative += (output.relative.empty() ? "" : "/") + part;
      for (size_t at = name.key.find('\\'); at != std::string::npos; at = name.key.find('\\', at + 1))
        dirKeys.insert(name.key.substr(0, at));
      found = byKey.emplace(name.key, static_cast<uint32_t>(plan.outputs.size())).first;
      plan.outputs.push_back(std::move(output));
    }
    plan.outputOf[i] = found->second;
    plan.outputs[found->second].size = std::max(plan.outputs[found->second].size, set.files[i].size);
  }
  for (const auto& entry : byKey) {
    if (dirKeys.count(entry.first) != 0)
      refused.Add(plan.Shown(plan.outputs[entry.second].relative), "the set holds both a file and a directory of this name");
  }
  refused.Close();
  return refused.Empty();
}

// Each output is exactly the union of its pieces: the set reader proved it
// for each stored name; here the pieces of all spellings that lead to one
// file are put together. Also adds up the bytes to be written.
bool CheckOutputsWhole(const parcelio::SetInfo& set, JoinPlan& plan) {
  std::vector<uint32_t> spellings(plan.outputs.size(), 0);
  for (uint32_t output : plan.outputOf) ++spellings[output];
  std::unordered_map<uint32_t, std::vector<parcelio::Span>> shared;
  for (const parcelio::VolumeEntry& volume : set.volumes)
    for (const parcelio::PieceEntry& piece : volume.pieces) {
      const uint32_t output = plan.outputOf[piece.file];
      if (spellings[output] > 1) shared[output].push_back({piece.offset, piece.size, volume.number});
    }
  ProblemList damaged;
  for (auto& entry : shared) {
    const Output& output = plan.outputs[entry.first];
    parcelio::CheckCoverage(entry.second, output.size, [&](const std::string& what) {
      damaged.Add(plan.Shown(output.relative), "damaged set: stored under several spellings, and " + what);
    });
  }
  bool tooLarge = false;
  for (const Output& output : plan.outputs) tooLarge = tooLarge || __builtin_add_overflow(plan.needed, output.size, &plan.needed);
  if (tooLarge) damaged.Add(plan.dirText, "damaged set: the files add up to more than " + std::to_string(INT64_MAX) + " bytes");
  damaged.Close();
  return damaged.Empty();
}

// Nothing may stand in the way: no file to be written may exist (unless
// -f), and every directory level below DIR must be a real directory or
// missing, so that nothing is written outside DIR through a link. Not even
// -f overwrites a volume of the set being joined.
bool CheckNothingInTheWay(const parcelio::SetInfo& set, const JoinArgs& args, JoinPlan& plan) {
  std::error_code ec;
  std::vector<std::string> existing;
  std::set<std::string> levelsChecked;
  ProblemList blocked;
  for (Output& output : plan.outputs) {
    ForEachLevel(output.relative, [&](const std::string& level) {
      if (!levelsChecked.insert(level).second) return true;
      const fs::file_status status = fs::symlink_status(plan.PathOf(level), ec);
      if (fs::exists(status) && !fs::is_directory(status)) {
        blocked.Add(plan.Shown(level), fs::is_symlink(status) ? "is a link; a directory is needed here"
                                                              : "exists and is not a directory");
      }
      return true;
    });
    const fs::file_status status = fs::symlink_status(plan.PathOf(output.relative), ec);
    if (fs::is_directory(status)) {
      blocked.Add(plan.Shown(output.relative), "is a directory");
    } else if (fs::exists(status)) {
      output.existed = true;
      existing.push_back(plan.Shown(output.relative));
    }
  }
  if (!existing.empty() && !args.force) {
    for (const std::string& name : existing) blocked.Add(name, "exists (use -f to overwrite)");
  } else if (!existing.empty()) {
    // Not even -f overwrites a volume of the set being joined, whatever
    // name leads to it (a hard link is the same file).
    std::set<parcelio::FileId> volumeIds;
    for (const parcelio::VolumeEntry& volume : set.volumes) {
      parcelio::FileId id;
      if (parcelio::IdentityOf(volume.path, id)) volumeIds.insert(id);
    }
    for (const std::string& name : existing) {
      parcelio::FileId id;
      if (parcelio::IdentityOf(parcelio::PathOf(name), id) && volumeIds.count(id) != 0)
        blocked.Add(name, "is a volume of the set being joined");
    }
  }
  blocked.Close();
  return blocked.Empty();
}

}  // namespace

int CmdJoin(const JoinArgs& args) {
  parcelio::SetInfo set;
  std::string error;
  if (args.repair) {
    // Repaired first (a whole set is left as it is).
    const int status = CmdRepair(RepairArgs{args.volume, false});
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
  if (!set.crcsRecorded) Warn(args.volume, NoCrcsText);

  JoinPlan plan;
  plan.dir = parcelio::PathOf(args.dir);
  plan.dirText = args.dir;
  if (!ResolveOutputs(set, plan) || !CheckOutputsWhole(set, plan) || !CheckNothingInTheWay(set, args, plan))
    return ExitFailed;
  const fs::path& dir = plan.dir;
  std::vector<Output>& outputs = plan.outputs;
  const std::vector<uint32_t>& outputOf = plan.outputOf;
  auto shown = [&](const std::string& relative) { return plan.Shown(relative); };

  const int64_t total = set.dataBytes, needed = plan.needed;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return Fail(args.dir, parcelio::ErrorText(ec));
  const int64_t free = parcelio::FreeSpace(dir);
  if (free >= 0 && needed > free) {
    return Fail(args.dir, "not enough free space: the files need " + std::to_string(needed) + " bytes, " +
                              std::to_string(free) + " are free");
  }

  parcelio::Dir top;
  if (!top.Open(dir)) return Fail(args.dir, parcelio::LastErrorText());
  parcelio::FolderTree folders(std::move(top));
  for (size_t i = 0; i < set.files.size(); ++i) outputs[outputOf[i]].piecesLeft += set.files[i].pieces;

  // The copy: volume by volume, piece by piece. A file's temporary file is
  // made at its first piece and put in place after its last one.
  ProgressLine progress("parcel: join", total);
  int64_t done = 0;
  int failures = 0;
  // Complete files take their names once their data is on the disk.
  parcelio::Placement placement(!args.noSync, args.force, [&](const std::string& name, bool exists) {
    progress.Finish();
    Fail(name, exists ? "appeared during the join; left as it is (use -f to overwrite)" : parcelio::LastErrorText());
    ++failures;
  });
  for (const parcelio::VolumeEntry& volume : set.volumes) {
    File source;
    if (!source.Open(volume.path, File::Mode::Read)) return Fail(volume.name, parcelio::LastErrorText());
    if (!source.IsRegular()) return Fail(volume.name, "not a regular file");
    for (const parcelio::PieceEntry& piece : volume.pieces) {
      Output& target = outputs[outputOf[piece.file]];
      if (!target.pending) {
        std::string failedLevel;
        auto folder = folders.Open(FolderOf(target.relative), failedLevel);
        if (!folder) {
          progress.Finish();
          return Fail(shown(failedLevel), parcelio::LastErrorIsLink() ? "is a link; a directory is needed here"
                                                                       : parcelio::LastErrorText());
        }
        target.pending = std::make_unique<parcelio::PendingFile>();
        if (!target.pending->Create(folder, LeafOf(target.relative))) {
          progress.Finish();
          return Fail(shown(target.relative), parcelio::LastErrorText());
        }
      }
      const parcelio::CopyResult copy = parcelio::CopyRange(
          source, piece.dataPos, &target.pending->file(), piece.offset, piece.size,
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
        target.damaged = true;
      } else if (volume.checkMode != volformat::kNoCrcCheck && copy.crc != piece.crc) {
        progress.Finish();
        Fail(shown(target.relative), "CRC error in the piece" + where);
        target.damaged = true;
      }
      if (--target.piecesLeft > 0) continue;

      // The last piece is in: the file takes its name, or goes.
      if (target.damaged) {
        target.pending.reset();
        ++failures;
        continue;
      }
      if (!placement.Add(std::move(target.pending), shown(target.relative), target.size)) {
        progress.Finish();
        return Fail(shown(target.relative), parcelio::LastErrorText());
      }
    }
  }
  if (!placement.Flush()) {
    progress.Finish();
    return Fail(args.dir, parcelio::LastErrorText());
  }
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
