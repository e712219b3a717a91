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

// Phase 1: the set read and checked as a whole (repaired first when asked).
// Answers ExitOk, or the command's status.
int ReadTheSet(const JoinArgs& args, parcelio::SetInfo& set) {
  if (args.repair) {
    // Repaired first (a whole set is left as it is).
    const int status = CmdRepair(RepairArgs{args.volume, false});
    if (status != ExitOk) return status;
  }
  std::string error;
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
  return ExitOk;
}

// Phase 4: the directory made, and room in it for every file. False when
// the run must stop (the reason said).
bool CheckSpace(const JoinArgs& args, const JoinPlan& plan) {
  std::error_code ec;
  fs::create_directories(plan.dir, ec);
  if (ec) {
    Fail(args.dir, parcelio::ErrorText(ec));
    return false;
  }
  const int64_t free = parcelio::FreeSpace(plan.dir);
  if (free >= 0 && plan.needed > free) {
    Fail(args.dir, "not enough free space: the files need " + std::to_string(plan.needed) + " bytes, " +
                       std::to_string(free) + " are free");
    return false;
  }
  return true;
}

// Phase 5, the copy: volume by volume, piece by piece. A file's temporary
// file is made at its first piece and put in place after its last one.
class PieceCopier {
 public:
  PieceCopier(const JoinArgs& args, const parcelio::SetInfo& set, JoinPlan& plan, parcelio::Dir top)
      : args_(args), set_(set), plan_(plan), folders_(std::move(top)), progress_("parcel: join", set.dataBytes),
        // Complete files take their names once their data is on the disk.
        placement_(!args.noSync, args.force, [this](const std::string& name, bool exists) {
          progress_.Finish();
          Fail(name, exists ? "appeared during the join; left as it is (use -f to overwrite)"
                            : parcelio::LastErrorText());
          ++failures_;
        }) {
    for (size_t i = 0; i < set.files.size(); ++i) plan.outputs[plan.outputOf[i]].piecesLeft += set.files[i].pieces;
  }

  // Copies every piece and puts the complete files in place; answers the
  // command's status.
  int Run() {
    for (const parcelio::VolumeEntry& volume : set_.volumes) {
      File source;
      if (!source.Open(volume.path, File::Mode::Read)) return Fail(volume.name, parcelio::LastErrorText());
      if (!source.IsRegular()) return Fail(volume.name, "not a regular file");
      for (const parcelio::PieceEntry& piece : volume.pieces) {
        if (!Piece(volume, source, piece)) return ExitFailed;
      }
    }
    if (!placement_.Flush()) {
      progress_.Finish();
      return Fail(args_.dir, parcelio::LastErrorText());
    }
    progress_.Finish();
    if (failures_ > 0) {
      SayRepairVerdict(args_.volume);
      return ExitFailed;
    }
    const size_t count = plan_.outputs.size();
    Say(std::to_string(count) + (count == 1 ? " file, " : " files, ") + std::to_string(done_) +
        " bytes rebuilt in " + parcelio::Utf8Of(plan_.dir));
    return ExitOk;
  }

 private:
  // The output's temporary file, made at its first piece. False when the
  // run must stop (the reason said).
  bool Start(Output& target) {
    if (target.pending) return true;
    std::string failedLevel;
    auto folder = folders_.Open(FolderOf(target.relative), failedLevel);
    if (!folder) {
      progress_.Finish();
      Fail(plan_.Shown(failedLevel),
           parcelio::LastErrorIsLink() ? "is a link; a directory is needed here" : parcelio::LastErrorText());
      return false;
    }
    target.pending = std::make_unique<parcelio::PendingFile>();
    if (!target.pending->Create(folder, LeafOf(target.relative))) {
      progress_.Finish();
      Fail(plan_.Shown(target.relative), parcelio::LastErrorText());
      return false;
    }
    return true;
  }

  // One piece copied and checked; after the output's last piece, the file
  // takes its name or goes. False when the run must stop (the reason said);
  // a damaged piece is counted as a failure and the run goes on.
  bool Piece(const parcelio::VolumeEntry& volume, File& source, const parcelio::PieceEntry& piece) {
    Output& target = plan_.outputs[plan_.outputOf[piece.file]];
    if (!Start(target)) return false;
    const parcelio::CopyResult copy =
        parcelio::CopyRange(source, piece.dataPos, &target.pending->file(), piece.offset, piece.size,
                            [&](int64_t n) { progress_.Update(done_ + n); });
    done_ += piece.size;
    const std::string shown = plan_.Shown(target.relative);
    const std::string where =
        " at offset " + std::to_string(piece.offset) + " (volume " + std::to_string(volume.number) + ")";
    if (!copy.ok && !copy.readFailed) {
      progress_.Finish();
      Fail(shown, copy.reason);
      return false;
    }
    if (!copy.ok) {
      progress_.Finish();
      Fail(shown, "cannot read the piece" + where + " from " + volume.name + ": " + copy.reason);
      target.damaged = true;
    } else if (volume.checkMode != volformat::kNoCrcCheck && copy.crc != piece.crc) {
      progress_.Finish();
      Fail(shown, "CRC error in the piece" + where);
      target.damaged = true;
    }
    if (--target.piecesLeft > 0) return true;

    // The last piece is in: the file takes its name, or goes.
    if (target.damaged) {
      target.pending.reset();
      ++failures_;
      return true;
    }
    if (!placement_.Add(std::move(target.pending), shown, target.size)) {
      progress_.Finish();
      Fail(shown, parcelio::LastErrorText());
      return false;
    }
    return true;
  }

  const JoinArgs& args_;
  const parcelio::SetInfo& set_;
  JoinPlan& plan_;
  parcelio::FolderTree folders_;
  ProgressLine progress_;
  int64_t done_ = 0;   // bytes of the pieces handled so far
  int failures_ = 0;   // files left out (damaged, or not put in place)
  parcelio::Placement placement_;
};

}  // namespace

// The phases: read the set, resolve the names, check what is in the way,
// check the space, copy.
int CmdJoin(const JoinArgs& args) {
  parcelio::SetInfo set;
  if (const int status = ReadTheSet(args, set); status != ExitOk) return status;

  JoinPlan plan;
  plan.dir = parcelio::PathOf(args.dir);
  plan.dirText = args.dir;
  if (!ResolveOutputs(set, plan) || !CheckOutputsWhole(set, plan)) return ExitFailed;
  if (!CheckNothingInTheWay(set, args, plan)) return ExitFailed;
  if (!CheckSpace(args, plan)) return ExitFailed;

  parcelio::Dir top;
  if (!top.Open(plan.dir)) return Fail(args.dir, parcelio::LastErrorText());
  return PieceCopier(args, set, plan, std::move(top)).Run();
}
}  // namespace parceltool
