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

#include "parcelio/FileIO.h"
#include "parcelio/Names.h"
#include "parcelio/SafeOutput.h"
#include "parcelio/SetReader.h"
#include "tools/Commands.h"
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

}  // namespace

int RunJoin(const JoinArgs& args) {
  parcelio::SetInfo set;
  std::string error;
  if (!parcelio::ReadSet(parcelio::PathOf(args.volume), set, error)) return Fail("join", error);
  if (ReportSetProblems(set, args.volume)) return ExitFailed;

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
    for (const std::string& name : existing) Fail(name, "exists (use -f to overwrite)");
    return ExitFailed;
  }
  // Not even -f overwrites a volume of the set being joined, whatever name
  // leads to it (a hard link is the same file).
  if (!existing.empty()) {
    std::set<parcelio::FileId> volumeIds;
    for (const parcelio::VolumeEntry& volume : set.volumes) {
      parcelio::FileId id;
      if (parcelio::IdentityOf(volume.path, id)) volumeIds.insert(id);
    }
    for (const std::string& name : existing) {
      parcelio::FileId id;
      if (parcelio::IdentityOf(parcelio::PathOf(name), id) && volumeIds.count(id) != 0) {
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

  parcelio::Dir top;
  if (!top.Open(dir)) return Fail(args.dir, parcelio::LastErrorText());
  parcelio::FolderTree folders(std::move(top));
  for (size_t i = 0; i < set.files.size(); ++i) outputs[outputOf[i]].piecesLeft += set.files[i].pieces;

  // The copy: volume by volume, piece by piece. A file's temporary file is
  // made at its first piece and put in place after its last one.
  ProgressLine progress("parcel: join", total);
  int64_t done = 0;
  int failures = 0;
  for (const parcelio::VolumeEntry& volume : set.volumes) {
    File source;
    if (!source.Open(volume.path, File::Mode::Read)) return Fail(volume.name, parcelio::LastErrorText());
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
      } else if (volume.checkMode != 4 && copy.crc != piece.crc) {
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
      if (!target.pending->Finish(!args.noSync)) {
        progress.Finish();
        return Fail(shown(target.relative), parcelio::LastErrorText());
      }
      if (!target.pending->Place(args.force)) {
        progress.Finish();
        Fail(shown(target.relative), parcelio::LastErrorIsExists()
                                         ? "appeared during the join; left as it is (use -f to overwrite)"
                                         : parcelio::LastErrorText());
        ++failures;
      }
      target.pending.reset();
    }
  }
  progress.Finish();
  if (failures > 0) return ExitFailed;
  Say(std::to_string(outputs.size()) + (outputs.size() == 1 ? " file, " : " files, ") + std::to_string(done) +
      " bytes rebuilt in " + parcelio::Utf8Of(dir));
  return ExitOk;
}

}  // namespace parceltool
