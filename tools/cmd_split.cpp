// parcel split: stores files and directories in the volumes of a new set.
// Every name is checked before anything is written; the volumes are written
// under temporary names, data streamed from each file with its CRC filled in
// afterwards, and take their names only when all of them are complete, in
// one step that puts the new set in the place of an earlier one (see
// SwitchSet). One split at a time writes a set of one BASE.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <string>
#include <vector>

#include "VolumeFormat/VolumeFormat.h"
#include "parcelio/FileIO.h"
#include "parcelio/PieceCopy.h"
#include "parcelio/Names.h"
#include "parcelio/SafeOutput.h"
#include "parcelio/recovery/Par2Create.h"
#include "tools/Commands.h"
#include "tools/RecoveryTool.h"
#include "tools/SplitChecks.h"
#include "tools/SplitInputs.h"
#include "tools/StubProgram.h"
#include "tools/ToolSupport.h"
#include "writer/VolumeWriter.h"

namespace parceltool {

namespace {

using parcelio::File;
using parcelio::fs::path;
namespace fs = parcelio::fs;

std::string VolumeSuffix(size_t number) {
  char text[24];
  std::snprintf(text, sizeof text, ".s%02u", static_cast<unsigned>(number));
  return text;
}

std::string AsTheSystemCompares(std::string name) {
  if (parcelio::NamesIgnoreCase())
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return name;
}

// An existing volume of BASE: BASE.s followed by two or more digits.
bool VolumeNumberOf(const std::string& givenName, const std::string& givenBase, size_t& number) {
  const std::string name = AsTheSystemCompares(givenName), base = AsTheSystemCompares(givenBase);
  if (name.size() < base.size() + 4 || name.compare(0, base.size(), base) != 0 ||
      name.compare(base.size(), 2, ".s") != 0)
    return false;
  const std::string digits = name.substr(base.size() + 2);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  number = static_cast<size_t>(std::stoul(digits));
  return true;
}

// Plan, volume sizes: the pieces of every volume. Answers ExitOk, or a
// usage error when SIZE leaves no room for a piece.
int PlanVolumes(const SplitArgs& args, const std::vector<Input>& inputs, bool withProgram, int64_t programSize,
                std::vector<std::vector<volwriter::PieceRange>>& plan, int64_t& totalBytes) {
  // SIZE bounds every volume file, the self-joining file included: volume
  // 1 then has the room the program and the trailer leave.
  std::vector<volwriter::FileExtent> extents;
  int64_t smallest = 0;
  totalBytes = 0;
  for (const Input& input : inputs) {
    extents.push_back(volwriter::FileExtent{input.stored, input.size});
    smallest = std::max(smallest, volwriter::VolumeOverhead() + volwriter::PieceOverhead(input.stored) + 1);
    totalBytes += input.size;
  }
  const int64_t programRoom = withProgram ? programSize + volformat::kTrailerLength : 0;
  if (args.volumeSize < smallest) {
    return UsageError("split", "SIZE " + std::to_string(args.volumeSize) +
                                   " is too small: a volume of these files needs at least " +
                                   std::to_string(smallest) + " bytes");
  }
  if (args.volumeSize - programRoom < smallest) {
    return UsageError("split", "SIZE " + std::to_string(args.volumeSize) +
                                   " is too small for the self-joining file: the program takes " +
                                   std::to_string(programSize) + " bytes of it, so it must be at least " +
                                   std::to_string(programRoom + smallest) + " bytes");
  }
  plan = volwriter::PlanSplit(extents, args.volumeSize, args.volumeSize - programRoom);
  return ExitOk;
}

// Check, what is in the way: the files of BASE in the folder, sorted into
// volumes of a set (existing), those the new set does not replace (stale)
// and anything else with a name the new set writes (foreign). ec says
// whether the folder could be listed.
struct InTheWay {
  std::vector<path> existing, stale, foreign;
};

template <typename BesideBase>
void FindWhatIsInTheWay(const path& outDir, const BesideBase& besideBase, const std::string& baseName,
                        const path& stubName, size_t volumes, InTheWay& found, std::error_code& ec) {
  const std::string exeName = baseName + ".exe";
  for (fs::directory_iterator it(outDir, ec), end; !ec && it != end; it.increment(ec)) {
    const path name = besideBase(parcelio::Utf8Of(it->path().filename()));
    size_t number = 0;
    const bool isVolume = VolumeNumberOf(parcelio::Utf8Of(name.filename()), baseName, number);
    const bool isStub = !stubName.empty() && AsTheSystemCompares(parcelio::Utf8Of(name.filename())) ==
                                                 AsTheSystemCompares(parcelio::Utf8Of(stubName.filename()));
    const std::string folded = AsTheSystemCompares(parcelio::Utf8Of(name.filename()));
    const bool isOtherStub = !isStub && (folded == AsTheSystemCompares(baseName) || folded == AsTheSystemCompares(exeName));
    if (isOtherStub) {
      if (WhatIsAt(name) == Existing::Volume) {
        found.existing.push_back(name);
        found.stale.push_back(name);
      }
      continue;
    }
    if (!isVolume && !isStub) continue;
    // A name the new set does not write and that is no volume of BASE is
    // not ours to judge (BASE.s1000 of another program, say).
    if (!isStub && number > volumes && WhatIsAt(name) != Existing::Volume) continue;
    if (WhatIsAt(name) != Existing::Volume) {
      found.foreign.push_back(name);
      continue;
    }
    found.existing.push_back(name);
    if (isVolume && (number > volumes || (number == 1 && !stubName.empty()))) found.stale.push_back(name);
  }
}

// What the phases of a split share: the inputs, the program, the volume plan,
// the set's names and its folder.
struct SplitPlan {
  Collector collector;
  StubProgram stub;
  std::vector<std::vector<volwriter::PieceRange>> plan;
  int64_t totalBytes = 0;
  std::string baseText;
  path base;
  path outDir;
  std::string baseName;
  path stubName;
  std::vector<path> finalNames;
  std::shared_ptr<parcelio::Dir> folder;
  std::string lockName;

  // Names beside BASE, shown as the user gave BASE (no "./" added).
  path BesideBase(const std::string& name) const {
    return base.has_parent_path() ? outDir / parcelio::PathOf(name) : parcelio::PathOf(name);
  }
};

// What the write phase leaves for the switch: the new files under their
// temporary names and the lines that report them.
struct WrittenSet {
  std::vector<std::unique_ptr<parcelio::PendingFile>> volumes;
  std::vector<std::unique_ptr<parcelio::PendingFile>> recovery;
  std::vector<std::string> lines;
  std::vector<std::string> recoveryLines;
};

// Plan: the inputs, the program, whether the names are portable, the volume
// sizes and the set's names.
int PlanTheSet(const SplitArgs& args, SplitPlan& s) {
  Collector& collector = s.collector;
  CollectInputs(args, collector);
  if (collector.refused > 0) return ExitFailed;
  std::vector<Input>& inputs = collector.inputs;
  if (inputs.empty()) return Fail("split", "nothing to store");
  parcelio::recovery::RecoveryAmount recoveryAmount;
  if (!args.recovery.empty() && !parcelio::recovery::ParseRecoveryAmount(args.recovery, recoveryAmount))
    return UsageError("split", "bad -r amount '" + args.recovery + "' (a number of volumes, or a percentage: 10%)");

  // The program that makes volume 1 a self-joining file, and whether the
  // names are ones its receiver can rebuild.
  StubProgram& stub = s.stub;
  if (!args.stub.empty()) {
    const int status = OpenStubProgram(args.stub, stub);
    if (status != ExitOk) return status;
  }
  File& program = stub.file;
  const int64_t programSize = stub.size;
  {
    std::vector<NamedInput> named;
    named.reserve(inputs.size());
    for (const Input& input : inputs) named.push_back(NamedInput{&input.source, &input.stored});
    if (CheckPortableNames(named, program.IsOpen(), args.allowUnportable) != ExitOk) return ExitFailed;
  }

  if (const int status = PlanVolumes(args, inputs, program.IsOpen(), programSize, s.plan, s.totalBytes);
      status != ExitOk)
    return status;

  // Where the volumes go. The default BASE is the first PATH's name without
  // extension, in the current directory, unless the set would then take the
  // name of one of its inputs: then NAME-set.
  const std::string ownName = OwnName(parcelio::PathOf(args.paths[0]));
  s.baseText = args.base.empty() ? ownName : args.base;
  path& base = s.base;
  base = parcelio::PathOf(s.baseText);
  if (args.base.empty()) base = base.stem();
  if (!base.has_filename() || base.filename() == "." || base.filename() == "..")
    return UsageError("split", "BASE '" + s.baseText + "' does not name a file");
  auto nameTheSet = [&] {
    s.outDir = base.has_parent_path() ? base.parent_path() : path(".");
    s.baseName = parcelio::Utf8Of(base.filename());
    s.stubName =
        program.IsOpen() ? s.BesideBase(s.baseName + (stub.kind == StubKind::Windows ? ".exe" : "")) : path();
    s.finalNames.clear();
    for (size_t v = 1; v <= s.plan.size(); ++v)
      s.finalNames.push_back(v == 1 && !s.stubName.empty() ? s.stubName : s.BesideBase(s.baseName + VolumeSuffix(v)));
  };
  nameTheSet();
  auto inputReplaced = [&]() -> std::pair<path, std::string> {
    for (const path& name : s.finalNames) {
      std::error_code ec;
      if (!fs::exists(fs::symlink_status(name, ec))) continue;
      const std::string input = collector.places.InputAt(name);
      if (!input.empty()) return {name, input};
    }
    return {};
  };
  if (args.base.empty() && !inputReplaced().second.empty()) {
    base = base.parent_path() / parcelio::PathOf(parcelio::Utf8Of(base.filename()) + "-set");
    nameTheSet();
  }
  if (const auto clash = inputReplaced(); !clash.second.empty()) {
    return Fail(parcelio::Utf8Of(clash.first), "is an input of this split (" + clash.second +
                                                   "); give another BASE with -o");
  }
  if (program.IsOpen()) {
    std::error_code ec;
    if (fs::equivalent(s.stubName, stub.path, ec))
      return Fail(parcelio::Utf8Of(s.stubName), "would replace the program itself");
  }
  return ExitOk;
}

// Check, first part: one split at a time writes the set of a BASE. Opens the
// folder and takes its lock, registered for removal on an interruption.
int OpenTheFolderAndLock(SplitPlan& s, parcelio::NameLock& lock) {
  std::error_code ec;
  fs::create_directories(s.outDir, ec);
  if (ec) return Fail(parcelio::Utf8Of(s.outDir), parcelio::ErrorText(ec));
  s.folder = std::make_shared<parcelio::Dir>();
  if (!s.folder->Open(s.outDir)) return Fail(parcelio::Utf8Of(s.outDir), parcelio::LastErrorText());
  if (parcelio::IsTemporaryName(s.baseName) || parcelio::IsTemporaryName(s.baseName + ".s01"))
    return UsageError("split", "BASE '" + s.baseText + "' has the form of parcel's temporary files");
  bool busy = false;
  s.lockName = parcelio::LockName(s.baseName);
  {
    // Taken and registered for removal in one step an interruption waits for.
    parcelio::HoldInterrupts hold;
    if (!lock.Take(*s.folder, s.lockName, busy)) {
      return Fail(parcelio::Utf8Of(s.base), busy ? "another parcel split is writing this set; try again when it has ended"
                                                 : parcelio::LastErrorText());
    }
    parcelio::RegisterTemporary(*s.folder, s.lockName);
  }
  return ExitOk;
}

// Check, second part, under the lock: what killed runs left is removed, and
// what is in the way of the new set is found. Gives the old set: every
// volume of BASE found, replaced or not.
int CheckWhatIsInTheWay(const SplitArgs& args, const SplitPlan& s, std::vector<std::string>& oldSet) {
  const std::string& baseName = s.baseName;
  const std::string exeName = baseName + ".exe";
  auto isMemberName = [&](const std::string& name) {
    size_t number = 0;
    const std::string folded = AsTheSystemCompares(name);
    return VolumeNumberOf(name, baseName, number) || folded == AsTheSystemCompares(baseName) ||
           folded == AsTheSystemCompares(exeName) || IsRecoveryFileName(name, baseName);
  };
  parcelio::RemoveStaleTemporaries(*s.folder, isMemberName);

  // Files of BASE already there: volumes are replaced with -f (and those the
  // new set does not replace are removed at the end, the self-joining file
  // of the other kind too: BASE beside BASE.exe, or the reverse); anything
  // else is left alone and stops the split.
  auto besideBase = [&](const std::string& name) { return s.BesideBase(name); };
  std::error_code ec;
  InTheWay found;
  FindWhatIsInTheWay(s.outDir, besideBase, baseName, s.stubName, s.plan.size(), found, ec);
  std::vector<path>& existing = found.existing;
  const std::vector<path>& stale = found.stale;
  std::vector<path>& foreign = found.foreign;
  if (ec) return Fail(parcelio::Utf8Of(s.outDir), parcelio::ErrorText(ec));
  for (const path& name : stale) {
    const std::string input = s.collector.places.InputAt(name);
    if (!input.empty())
      return Fail(parcelio::Utf8Of(name), "is an input of this split (" + input + "); give another BASE with -o");
  }
  if (!foreign.empty()) {
    std::sort(foreign.begin(), foreign.end());
    ProblemList problems;
    for (const path& name : foreign) {
      problems.Add(parcelio::Utf8Of(name), WhatIsAt(name) == Existing::Directory
                                               ? "is a directory, not a volume; give another BASE with -o"
                                               : "exists and is not a volume of a set; it is not replaced, even "
                                                 "with -f: move it away or give another BASE with -o");
    }
    return ExitFailed;
  }
  // Recovery files of BASE describe an earlier set: replaced with it.
  for (const std::string& name : ExistingRecoveryFiles(s.outDir, baseName)) existing.push_back(s.BesideBase(name));
  if (!existing.empty() && !args.force) {
    std::sort(existing.begin(), existing.end());
    ProblemList problems;
    for (const path& name : existing)
      problems.Add(parcelio::Utf8Of(name), IsRecoveryFileName(parcelio::Utf8Of(name.filename()), baseName)
                                               ? "recovery file of an existing set (use -f to replace the set)"
                                               : "volume exists (use -f to replace the set)");
    return ExitFailed;
  }

  for (const path& name : existing) oldSet.push_back(parcelio::Utf8Of(name.filename()));
  return ExitOk;
}

// Write: the volumes, under temporary names, then the recovery files over
// the volumes as written, under temporary names too.
int WriteTheSet(const SplitArgs& args, SplitPlan& s, WrittenSet& written) {
  const std::vector<Input>& inputs = s.collector.inputs;
  const auto& plan = s.plan;
  const auto& finalNames = s.finalNames;
  File& program = s.stub.file;
  const int64_t programSize = s.stub.size;
  std::vector<std::unique_ptr<parcelio::PendingFile>>& volumes = written.volumes;
  std::vector<std::string>& lines = written.lines;
  const volwriter::SetId set = volwriter::NewSetId();
  ProgressLine progress("parcel: split", s.totalBytes);
  int64_t bytesDone = 0;
  File source;
  size_t sourceIndex = SIZE_MAX;
  for (size_t v = 0; v < plan.size(); ++v) {
    volumes.push_back(std::make_unique<parcelio::PendingFile>());
    if (!volumes.back()->Create(s.folder, parcelio::Utf8Of(finalNames[v].filename())))
      return Fail(parcelio::Utf8Of(finalNames[v]), parcelio::LastErrorText());
    File& out = volumes.back()->file();
    const std::string shownTemp = parcelio::Utf8Of(finalNames[v]);
    auto writeFailed = [&] { return Fail(shownTemp, parcelio::LastErrorText()); };

    int64_t pos = 0;
    if (v == 0 && program.IsOpen()) {
      const parcelio::CopyResult copy = parcelio::CopyRange(program, 0, &out, 0, programSize);
      if (!copy.ok) return Fail(copy.readFailed ? args.stub : shownTemp, copy.reason);
      pos = programSize;
    }
    volwriter::Volume head;
    head.Set = set;
    head.CheckMode = args.noCrc ? volformat::kNoCrcCheck : 0;
    head.VolumeNumber = static_cast<int32_t>(v + 1);
    head.IsLast = v + 1 == plan.size();
    int64_t space = 0;
    for (const volwriter::PieceRange& range : plan[v]) space += range.DataSize;
    head.SpaceNeeded = space;
    const volwriter::Bytes headBytes = volwriter::EncodeVolumeHead(head);
    if (!out.WriteAt(pos, headBytes.data(), static_cast<int64_t>(headBytes.size()))) return writeFailed();
    pos += static_cast<int64_t>(headBytes.size());

    for (const volwriter::PieceRange& range : plan[v]) {
      const Input& input = inputs[range.FileIndex];
      if (sourceIndex != range.FileIndex) {
        if (!source.Open(parcelio::PathOf(input.source), File::Mode::Read))
          return Fail(input.source, parcelio::LastErrorText());
        sourceIndex = range.FileIndex;
      }
      volwriter::Piece piece;
      piece.FileName = input.stored;
      piece.FileOffset = range.FileOffset;
      piece.DataSize = range.DataSize;
      piece.Crc = 0;  // filled in once the data has passed
      const volwriter::Bytes pieceHead = volwriter::EncodePieceHead(piece);
      if (!out.WriteAt(pos, pieceHead.data(), static_cast<int64_t>(pieceHead.size()))) return writeFailed();
      const int64_t headPos = pos;
      pos += static_cast<int64_t>(pieceHead.size());
      const parcelio::CopyResult copy = parcelio::CopyRange(
          source, range.FileOffset, &out, pos, range.DataSize,
          [&](int64_t done) { progress.Update(bytesDone + done); });
      if (!copy.ok) {
        progress.Finish();
        if (!copy.readFailed) return Fail(shownTemp, copy.reason);
        return Fail(input.source, copy.copied < range.DataSize && copy.reason == "unexpected end of file"
                                     ? "the file became shorter while it was being stored"
                                     : copy.reason);
      }
      // What is stored is what the file held from start to end: a file
      // that changed while it was read (grew, shrank, was rewritten) would
      // come back torn.
      if (range.FileOffset + range.DataSize == input.size) {
        FileState now;
        std::error_code stateError;
        if (!StateOf(parcelio::PathOf(input.source), now, stateError) || !(now == input.state)) {
          progress.Finish();
          return Fail(input.source, "changed while it was being stored (its size or modification time is not "
                                    "what it was); no volume was written. Split again when nothing writes to it");
        }
      }
      const auto crc = volwriter::CrcBytes(copy.crc);
      if (!out.WriteAt(headPos + volwriter::PieceHeadCrcOffset, crc.data(), static_cast<int64_t>(crc.size())))
        return writeFailed();
      pos += range.DataSize;
      bytesDone += range.DataSize;
    }
    if (v == 0 && program.IsOpen()) {
      const volwriter::Bytes trailer = volwriter::EncodeTrailer(static_cast<uint32_t>(programSize));
      if (!out.WriteAt(pos, trailer.data(), static_cast<int64_t>(trailer.size()))) return writeFailed();
      pos += static_cast<int64_t>(trailer.size());
    }
    if (v == 0 && program.IsOpen()) out.MakeExecutable();
    // Written through to the disk before the switch: each volume here, or
    // all of them in one flush of the file system below.
    if (!volumes.back()->Finish(!args.noSync && !parcelio::FileSystemSyncs())) return writeFailed();
    lines.push_back(parcelio::Utf8Of(finalNames[v]) + "  " + std::to_string(pos) + " bytes");
  }
  progress.Finish();

  // The recovery files, over the volumes as written, under temporary names
  // too: they take their names with the volumes, and those of an earlier
  // set go with it.
  if (!args.recovery.empty()) {
    std::vector<std::string> readFrom;
    for (const auto& volume : volumes) readFrom.push_back(volume->temporary());
    const int status = WriteSetRecovery(args.recovery, s.outDir, s.baseName, finalNames, readFrom,
                                         !s.stubName.empty(), std::string("parcel ") + PARCEL_VERSION,
                                         !args.noSync && !parcelio::FileSystemSyncs(), written.recovery,
                                         written.recoveryLines);
    if (status != ExitOk) return status;
  }

  return ExitOk;
}

// Switch: once everything is written and on the disk, the new set takes
// the place of the old one; then the report.
int SwitchToTheNewSet(const SplitArgs& args, const SplitPlan& s, const std::vector<std::string>& oldSet,
                      WrittenSet& written) {
  if (!args.noSync && parcelio::FileSystemSyncs() && !parcelio::SyncFileSystem(*s.folder))
    return Fail(parcelio::Utf8Of(s.outDir), parcelio::LastErrorText());

  // All written: the new set takes the place of the old one.
  std::vector<parcelio::PendingFile*> newSet;
  for (const auto& volume : written.volumes) newSet.push_back(volume.get());
  for (const auto& file : written.recovery) newSet.push_back(file.get());
  std::string failedName, reason;
  std::vector<std::string> notRemoved;
  if (!parcelio::SwitchSet(*s.folder, newSet, oldSet, failedName, reason, notRemoved))
    return Fail(parcelio::Utf8Of(s.BesideBase(failedName)), reason);
  for (const std::string& line : written.lines) Say(line);
  for (const std::string& name : notRemoved)
    Warn(parcelio::Utf8Of(s.BesideBase(name)), IsRecoveryFileName(name, s.baseName)
                                                   ? "the old recovery file could not be removed (it is left under a .old name)"
                                                   : "the old volume could not be removed (it is left under a .old name)");
  for (const std::string& line : written.recoveryLines) Say(line);
  const size_t files = s.collector.inputs.size();
  Say(std::to_string(files) + (files == 1 ? " file, " : " files, ") + std::to_string(s.totalBytes) +
      " bytes, " + std::to_string(s.plan.size()) + (s.plan.size() == 1 ? " volume" : " volumes"));
  return ExitOk;
}

}  // namespace

// The phases: plan (inputs, names, volume sizes, the set's names), check
// (the lock, what is in the way), write the volumes, switch to the new set.
int CmdSplit(const SplitArgs& args) {
  SplitPlan plan;
  if (const int status = PlanTheSet(args, plan); status != ExitOk) return status;

  parcelio::NameLock lock;
  if (const int status = OpenTheFolderAndLock(plan, lock); status != ExitOk) return status;
  struct Unlock {
    parcelio::NameLock& lock;
    const parcelio::Dir& dir;
    const std::string& name;
    ~Unlock() {
      parcelio::HoldInterrupts hold;
      lock.Release();
      parcelio::DropTemporary(dir, name);
    }
  } unlock{lock, *plan.folder, plan.lockName};
  std::vector<std::string> oldSet;
  if (const int status = CheckWhatIsInTheWay(args, plan, oldSet); status != ExitOk) return status;

  WrittenSet written;
  if (const int status = WriteTheSet(args, plan, written); status != ExitOk) return status;
  return SwitchToTheNewSet(args, plan, oldSet, written);
}

}  // namespace parceltool
