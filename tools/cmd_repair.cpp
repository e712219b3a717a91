// parcel repair, and the recovery-file work of the other commands: split's
// recovery files, and what list, test and join say about them.
#include <algorithm>
#include <string>
#include <vector>

#include "parcelio/recovery/Par2Create.h"
#include "parcelio/recovery/Par2Repair.h"
#include "tools/Commands.h"
#include "tools/RecoveryTool.h"
#include "tools/ToolSupport.h"

namespace parceltool {

namespace {

namespace fs = parcelio::fs;
namespace rec = parcelio::recovery;

std::string Plural(uint64_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Where a VOLUME or BASE.par2 argument leads: its folder and BASE.
void Locate(const std::string& given, fs::path& dir, std::string& base) {
  const fs::path path = parcelio::PathOf(given);
  dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  base = rec::RecoveryBaseOf(parcelio::Utf8Of(path.filename()));
}

// Shown names: as the user gave the folder.
std::string Shown(const std::string& given, const std::string& name) {
  const fs::path path = parcelio::PathOf(given);
  return path.has_parent_path() ? parcelio::Utf8Of(path.parent_path() / parcelio::PathOf(name)) : name;
}

bool LoadAndCheck(const std::string& given, rec::RecoverySet& set, rec::SetCheck& check, std::string& error,
                  bool showProgress) {
  fs::path dir;
  std::string base;
  Locate(given, dir, base);
  if (!rec::LoadRecoverySet(dir, base, set, error)) return false;
  if (showProgress) {
    ProgressLine progress("parcel: checking", 1);
    rec::CheckFiles(set, check, [&](uint64_t done, uint64_t total) {
      progress.SetTotal(static_cast<int64_t>(total));
      progress.Update(static_cast<int64_t>(done));
    });
  } else {
    rec::CheckFiles(set, check);
  }
  return true;
}

}  // namespace

std::vector<std::string> ExistingRecoveryFiles(const fs::path& dir, const std::string& base) {
  return rec::RecoveryFilesOf(dir, base);
}

bool IsRecoveryFileName(const std::string& name, const std::string& base) {
  return rec::IsRecoveryFileOf(name, base);
}

int WriteSetRecovery(const std::string& amountText, const fs::path& dir, const std::string& base,
                     const std::vector<fs::path>& volumes, const std::vector<std::string>& readFrom, bool hasStub,
                     const std::string& creator, bool sync, std::vector<std::unique_ptr<parcelio::PendingFile>>& pending,
                     std::vector<std::string>& lines) {
  rec::RecoveryAmount amount;
  if (!rec::ParseRecoveryAmount(amountText, amount)) return UsageError("split", "bad -r amount '" + amountText + "'");
  std::vector<uint64_t> sizes;
  std::vector<std::string> names;
  uint64_t wholeVolume = 0;
  for (size_t v = 0; v < volumes.size(); ++v) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(dir / parcelio::PathOf(readFrom[v]), ec);
    if (ec) return Fail(parcelio::Utf8Of(volumes[v]), parcelio::ErrorText(ec));
    sizes.push_back(size);
    names.push_back(parcelio::Utf8Of(volumes[v].filename()));
    // A whole volume: the largest plain one (the self-joining file carries
    // the program besides its volume).
    if (!(hasStub && v == 0) || volumes.size() == 1) wholeVolume = std::max<uint64_t>(wholeVolume, size);
  }
  rec::SlicePlan plan;
  std::string error;
  if (!rec::PlanSlices(sizes, wholeVolume, amount, plan, error)) return Fail("split", error);

  rec::CreateRequest request;
  request.dir = dir;
  request.base = base;
  request.files = names;
  request.readFrom = readFrom;
  request.pending = &pending;
  request.sync = sync;
  request.sliceSize = plan.sliceSize;
  request.recoverySlices = plan.recoverySlices;
  request.slicesPerFile = plan.slicesPerVolume;
  request.creator = creator;
  ProgressLine progress("parcel: recovery", 1);
  request.progress = [&](uint64_t done, uint64_t total) {
    progress.SetTotal(static_cast<int64_t>(total));
    progress.Update(static_cast<int64_t>(done));
  };
  std::vector<std::string> written;
  const bool ok = rec::CreateRecovery(request, written, error);
  progress.Finish();
  if (!ok) return Fail("split", "recovery files: " + error);
  for (const auto& file : pending) {
    std::error_code ec;
    const std::string& name = file->finalName();
    const uintmax_t size = fs::file_size(dir / parcelio::PathOf(file->temporary()), ec);
    lines.push_back(parcelio::Utf8Of(dir == "." ? parcelio::PathOf(name) : dir / parcelio::PathOf(name)) + "  " +
                    std::to_string(size) + " bytes");
  }
  std::string what = Plural(plan.recoverySlices, "recovery slice", "recovery slices") + " of " +
                     SizeText(static_cast<int64_t>(plan.sliceSize)) + " (" +
                     Plural(plan.slicesPerVolume, "slice", "slices") + " per volume): ";
  const uint32_t volumesWorth = plan.recoverySlices / plan.slicesPerVolume;
  if (volumesWorth >= 1)
    what += "any " + Plural(volumesWorth, "volume", "volumes") + " can be lost or damaged and rebuilt";
  else
    what += "less than a volume; damaged slices up to that count can be rebuilt";
  lines.push_back(what);
  return ExitOk;
}

int CmdRepair(const RepairArgs& args) {
  rec::RecoverySet set;
  rec::SetCheck check;
  std::string error;
  if (!LoadAndCheck(args.target, set, check, error, true)) return Fail(args.target, error);
  if (set.badPackets > 0) Warn("recovery files", Plural(set.badPackets, "damaged packet", "damaged packets") + " ignored");
  if (!args.dryRun) {
    // What a killed repair (or split) left here for this set's files.
    fs::path dir;
    std::string base;
    Locate(args.target, dir, base);
    parcelio::Dir folder;
    if (folder.Open(dir)) {
      parcelio::RemoveStaleTemporaries(folder, [&](const std::string& target) {
        if (rec::IsRecoveryFileOf(target, base)) return true;
        for (const rec::ProtectedFile& file : set.files)
          if (file.described && file.desc.name == target) return true;
        return false;
      });
    }
  }

  size_t whole = 0;
  for (size_t f = 0; f < set.files.size(); ++f) {
    const rec::ProtectedFile& file = set.files[f];
    const rec::FileCheck& state = check.files[f];
    const std::string name = Shown(args.target, file.desc.name);
    switch (state.condition) {
      case rec::FileCondition::Complete:
        ++whole;
        break;
      case rec::FileCondition::Misnamed:
        Warn(name, "found as " + Shown(args.target, state.foundAs));
        break;
      case rec::FileCondition::Damaged:
        Warn(name, "damaged: " + std::to_string(state.soundSlices) + " of " +
                       Plural(file.sliceCount, "slice", "slices") + " sound");
        break;
      case rec::FileCondition::Missing:
        Warn(name, state.soundSlices > 0 ? "missing (" + std::to_string(state.soundSlices) + " of its slices found elsewhere)"
                                         : "missing");
        break;
      case rec::FileCondition::Unsafe:
        Warn(file.described ? name : "(file without a description)", file.described ? "name leads outside the folder" : "cannot be checked");
        break;
    }
  }
  if (check.Whole()) {
    Say("ok: " + Plural(set.files.size(), "file", "files") + " sound; nothing to repair");
    return ExitOk;
  }
  const uint32_t shortfall = check.Shortfall();
  if (shortfall > 0) {
    return Fail(args.target, "cannot be repaired: " + Plural(check.missingSlices, "slice is", "slices are") +
                                 " missing and " + std::to_string(check.recoveryAvailable) +
                                 " recovery slices are available; needs " + std::to_string(shortfall) +
                                 " more recovery slices");
  }
  if (args.dryRun) {
    Say("repairable: " + Plural(check.missingSlices, "slice", "slices") + " to rebuild, " +
        std::to_string(check.recoveryAvailable) + " recovery slices available (run without -n to repair)");
    return ExitFailed;
  }
  ProgressLine progress("parcel: repair", 1);
  rec::RepairResult result;
  const bool ok = rec::RepairFiles(set, check, result, error, 256u << 20, [&](uint64_t done, uint64_t total) {
    progress.SetTotal(static_cast<int64_t>(total));
    progress.Update(static_cast<int64_t>(done));
  });
  progress.Finish();
  if (result.badRecoveryPackets > 0)
    Warn("recovery files", Plural(result.badRecoveryPackets, "damaged recovery slice", "damaged recovery slices") + " skipped");
  for (const std::string& renamed : result.renamed) Say("renamed: " + renamed);
  for (size_t i = 0; i < result.rebuilt.size(); ++i) {
    Say("rebuilt: " + Shown(args.target, result.rebuilt[i]) +
        (result.keptAs[i].empty() ? "" : " (the damaged file is kept as " + Shown(args.target, result.keptAs[i]) + ")"));
  }
  if (!ok) return Fail(args.target, error);
  Say("ok: " + Plural(set.files.size(), "file", "files") + " sound after repair");
  return ExitOk;
}

void SayRecoveryFiles(const std::string& volume) {
  fs::path dir;
  std::string base;
  Locate(volume, dir, base);
  rec::RecoverySet set;
  std::string error;
  if (!rec::LoadRecoverySet(dir, base, set, error)) return;
  Say("recovery files: " + Plural(set.par2Files.size(), "file", "files") + " (" + base + ".par2 ...), " +
      Plural(set.recovery.size(), "recovery slice", "recovery slices") + " of " +
      SizeText(static_cast<int64_t>(set.sliceSize)));
}

bool SayRepairVerdict(const std::string& volume) {
  rec::RecoverySet set;
  rec::SetCheck check;
  std::string error;
  if (!LoadAndCheck(volume, set, check, error, true)) return false;
  if (check.Whole()) return false;
  const uint32_t shortfall = check.Shortfall();
  bool unsafe = false;
  for (const rec::FileCheck& state : check.files) unsafe = unsafe || state.condition == rec::FileCondition::Unsafe;
  if (shortfall > 0 || unsafe) {
    Warn(volume, "the recovery files cannot repair the set: needs " + std::to_string(shortfall) +
                     " more recovery slices");
    return false;
  }
  Warn(volume, "the set can be repaired from its recovery files: parcel repair " + volume);
  return true;
}

}  // namespace parceltool
