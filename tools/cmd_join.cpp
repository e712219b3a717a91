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
#include "tools/ToolSupport.h"

namespace parceltool {

namespace {

namespace fs = parcelio::fs;
using parcelio::File;

// One file on disk; several stored spellings may lead to it.
struct Output {
  fs::path path;
  std::string shown;
  int64_t size = 0;
  bool opened = false;
};

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
  std::vector<std::vector<std::string>> dirsOf;  // per output: its directory levels, relative
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
      fs::path relative;
      std::vector<std::string> levels;
      for (size_t k = 0; k < name.parts.size(); ++k) {
        relative /= parcelio::PathOf(name.parts[k]);
        if (k + 1 < name.parts.size()) levels.push_back(parcelio::Utf8Of(relative));
      }
      for (size_t at = name.key.find('\\'); at != std::string::npos; at = name.key.find('\\', at + 1))
        dirKeys.insert(name.key.substr(0, at));
      Output output;
      output.path = dir / relative;
      output.shown = parcelio::Utf8Of(output.path);
      found = byKey.emplace(name.key, static_cast<uint32_t>(outputs.size())).first;
      outputs.push_back(std::move(output));
      dirsOf.push_back(std::move(levels));
    }
    outputOf[i] = found->second;
    outputs[found->second].size = std::max(outputs[found->second].size, set.files[i].size);
  }
  for (const auto& entry : byKey) {
    if (dirKeys.count(entry.first) != 0) {
      Fail(outputs[entry.second].shown, "the set holds both a file and a directory of this name");
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
  for (size_t o = 0; o < outputs.size(); ++o) {
    for (const std::string& level : dirsOf[o]) {
      if (!levelsChecked.insert(level).second) continue;
      const fs::path at = dir / parcelio::PathOf(level);
      const fs::file_status status = fs::symlink_status(at, ec);
      if (fs::exists(status) && !fs::is_directory(status)) {
        Fail(parcelio::Utf8Of(at), fs::is_symlink(status) ? "is a link; a directory is needed here"
                                                         : "exists and is not a directory");
        ++blocked;
      }
    }
    const fs::file_status status = fs::symlink_status(outputs[o].path, ec);
    if (fs::is_directory(status)) {
      Fail(outputs[o].shown, "is a directory");
      ++blocked;
    } else if (fs::exists(status)) {
      existing.push_back(outputs[o].shown);
    }
  }
  if (!existing.empty() && !args.force) {
    for (const std::string& name : existing) Fail(name, "exists (use -f to overwrite)");
    return ExitFailed;
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
        if (!target.opened) {
          for (const std::string& level : dirsOf[index]) {
            if (!levelsMade.insert(level).second) continue;
            const fs::path at = dir / parcelio::PathOf(level);
            fs::create_directory(at, ec);
            if (ec) return Fail(parcelio::Utf8Of(at), parcelio::ErrorText(ec));
          }
          if (fs::is_symlink(fs::symlink_status(target.path, ec))) fs::remove(target.path, ec);
        }
        if (!output.Open(target.path, target.opened ? File::Mode::Update : File::Mode::Replace))
          return Fail(target.shown, parcelio::LastErrorText());
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
        return Fail(target.shown, copy.reason);
      }
      if (!copy.ok) {
        progress.Finish();
        Fail(target.shown, "cannot read the piece" + where + " from " + volume.name + ": " + copy.reason);
        ++failures;
      } else if (volume.checkMode != 4 && copy.crc != piece.crc) {
        progress.Finish();
        Fail(target.shown, "CRC error in the piece" + where);
        ++failures;
      }
    }
  }
  output.Close();
  progress.Finish();
  if (failures > 0) return ExitFailed;
  Say(std::to_string(outputs.size()) + (outputs.size() == 1 ? " file, " : " files, ") + std::to_string(done) +
      " bytes rebuilt in " + parcelio::Utf8Of(dir));
  return ExitOk;
}

}  // namespace parceltool
