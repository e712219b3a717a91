// Rebuilding the missing slices of files that PAR 2.0 recovery files protect
// (see Par2Repair.h): the chosen recovery slices, less the present slices'
// parts, through the inverse of their matrix, a range of bytes of every slice
// at a time; each rebuilt file is written under a temporary name, checked
// against its slices' MD5s and only then put in place, the damaged one kept
// under another name.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "CRC32/CRC32.h"
#include "par2/ReedSolomon.h"
#include "parcelio/recovery/Par2Create.h"
#include "parcelio/recovery/Par2Slices.h"

namespace parcelio::recovery {

namespace {

struct TempOutput {
  size_t file = 0;
  std::unique_ptr<PendingFile> pending;
  File& out() { return pending->file(); }
};

std::string FreeKeepName(const fs::path& dir, const std::string& name) {
  for (int n = 1;; ++n) {
    const std::string candidate = name + "." + std::to_string(n);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir / PathOf(candidate), ec))) return candidate;
  }
}

}  // namespace

bool RepairFiles(const RecoverySet& set, SetCheck& check, RepairResult& result, std::string& error,
                 uint64_t memoryBudget, const ProgressFn& progress) {
  const fs::path& dir = set.dir;
  for (size_t f = 0; f < set.files.size(); ++f) {
    if (check.files[f].condition != FileCondition::Unsafe) continue;
    error = set.files[f].described ? set.files[f].desc.name + ": the name leads outside the folder; not repaired"
                                   : "a file of the set has no description packet";
    return false;
  }
  for (size_t f = 0; f < set.files.size(); ++f) {
    const ProtectedFile& file = set.files[f];
    if (check.files[f].condition != FileCondition::Complete && check.files[f].condition != FileCondition::Misnamed &&
        file.slices.size() != file.sliceCount) {
      error = file.desc.name + ": no slice checksums in the recovery files; cannot be rebuilt";
      return false;
    }
  }
  if (check.Shortfall() > 0) {
    error = "needs " + std::to_string(check.Shortfall()) + " more recovery slices";
    return false;
  }
  const uint64_t sliceSize = set.sliceSize;
  const std::vector<uint32_t> owner = OwnerOfSlices(set);

  // The slices to compute, and recovery slices that pass their check.
  std::vector<uint32_t> missing;
  for (uint32_t g = 0; g < set.totalSlices; ++g)
    if (check.slices[g].source < 0) missing.push_back(g);
  const size_t m = missing.size();
  // Recovery slices that pass their check, as many as there are slices to
  // rebuild (more if the first choice cannot solve for them).
  std::vector<const RecoveryRef*> sound;
  std::vector<File> par2(set.par2Files.size());
  auto par2File = [&](size_t i) -> File& {
    if (!par2[i].IsOpen()) par2[i].Open(dir / PathOf(set.par2Files[i]), File::Mode::Read);
    return par2[i];
  };
  size_t tried = 0;
  auto checkMore = [&](size_t wanted) {
    for (; tried < set.recovery.size() && sound.size() < wanted; ++tried) {
      const RecoveryRef& ref = set.recovery[tried];
      File& file = par2File(ref.source);
      const bool ok = file.IsOpen() && CheckRecoveryPacket([&](uint64_t pos, uint8_t* buffer, uint64_t count) {
        return file.ReadAt(static_cast<int64_t>(pos), buffer, static_cast<int64_t>(count));
      }, ref);
      if (ok) sound.push_back(&ref);
      else ++result.badRecoveryPackets;
    }
  };
  checkMore(m);
  if (sound.size() < m) {
    error = "needs " + std::to_string(m - sound.size()) + " more recovery slices (" +
            std::to_string(result.badRecoveryPackets) + " recovery slices are damaged)";
    return false;
  }
  // The decoder for one range of bytes of every slice; its plan chooses the
  // recovery slices.
  std::vector<const RecoveryRef*> chosen;
  auto makeDecoder = [&](uint64_t width) {
    auto decoder = std::make_unique<RecoveryDecoder>(static_cast<size_t>(width));
    for (;;) {
      std::vector<uint32_t> available;
      for (const RecoveryRef* ref : sound) available.push_back(ref->exponent);
      if (decoder->Plan(missing, available) == RecoveryDecoder::PlanResult::Ready) break;
      const size_t before = sound.size();
      checkMore(set.recovery.size());
      if (sound.size() == before) return std::unique_ptr<RecoveryDecoder>();
    }
    chosen.clear();
    for (uint32_t exponent : decoder->UsedExponents())
      for (const RecoveryRef* ref : sound)
        if (ref->exponent == exponent) chosen.push_back(ref);
    return decoder;
  };

  // The files to write: every damaged or missing one.
  std::vector<TempOutput> outputs;
  std::vector<int32_t> outputOf(set.files.size(), -1);
  for (size_t f = 0; f < set.files.size(); ++f) {
    const FileCondition condition = check.files[f].condition;
    if (condition != FileCondition::Damaged && condition != FileCondition::Missing) continue;
    const fs::path target = dir / PathOf(set.files[f].desc.name);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    TempOutput out;
    out.file = f;
    // Under its temporary name, created exclusively; a failure or an
    // interruption removes it, a later run removes it if this one is killed.
    auto folder = std::make_shared<Dir>();
    out.pending = std::make_unique<PendingFile>();
    if (!folder->Open(target.parent_path().empty() ? fs::path(".") : target.parent_path()) ||
        !out.pending->Create(folder, Utf8Of(target.filename()))) {
      error = set.files[f].desc.name + ": " + LastErrorText();
      return false;
    }
    outputOf[f] = static_cast<int32_t>(outputs.size());
    outputs.push_back(std::move(out));
  }

  // Work: the sound slices copied, then the present slices read once per
  // pass, and the recovery slices.
  uint64_t chunk = sliceSize;
  if (m > 0 && 2 * m * chunk > memoryBudget) chunk = std::max<uint64_t>(64, memoryBudget / (2 * m) / 64 * 64);
  const uint64_t passes = m > 0 ? CeilDiv(sliceSize, chunk) : 0;
  uint64_t presentBytes = 0, copyBytes = 0;
  for (uint32_t g = 0; g < set.totalSlices; ++g) {
    if (check.slices[g].source < 0) continue;
    const ProtectedFile& file = set.files[owner[g]];
    const uint64_t length = SliceLength(set, file, g - file.firstSlice);
    presentBytes += length;
    if (outputOf[owner[g]] >= 0) copyBytes += length;
  }
  const uint64_t work = copyBytes + (m > 0 ? presentBytes + m * sliceSize : 0);
  if (m > 0 && !makeDecoder(std::min<uint64_t>(chunk, 64))) {
    error = "the recovery slices at hand cannot solve for the missing ones";
    return false;
  }
  uint64_t done = 0;
  auto report = [&](uint64_t n) {
    done += n;
    if (progress) progress(done, work);
  };

  // The present slices in source order, each source opened once per pass.
  std::vector<uint32_t> present;
  for (uint32_t g = 0; g < set.totalSlices; ++g)
    if (check.slices[g].source >= 0) present.push_back(g);
  std::sort(present.begin(), present.end(), [&](uint32_t a, uint32_t b) {
    const SliceLocation &x = check.slices[a], &y = check.slices[b];
    return x.source != y.source ? x.source < y.source : x.offset < y.offset;
  });
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(Block, sliceSize) + 2));
  File source;
  int32_t opened = -1;
  auto openSource = [&](int32_t s) {
    if (opened == s) return true;
    source.Close();
    opened = -1;
    if (!source.Open(dir / PathOf(check.sources[s]), File::Mode::Read)) {
      error = check.sources[s] + ": " + LastErrorText();
      return false;
    }
    opened = s;
    return true;
  };

  // The sound slices of the files being rebuilt.
  for (uint32_t g : present) {
    const int32_t o = outputOf[owner[g]];
    if (o < 0) continue;
    const ProtectedFile& file = set.files[owner[g]];
    const uint32_t k = g - file.firstSlice;
    const uint64_t length = SliceLength(set, file, k);
    if (!openSource(check.slices[g].source)) return false;
    for (uint64_t at = 0; at < length; at += Block) {
      const uint64_t want = std::min(Block, length - at);
      if (!ReadPadded(source, check.slices[g].offset + at, buffer.data(), want)) {
        error = check.sources[opened] + ": " + LastErrorText();
        return false;
      }
      if (!outputs[o].out().WriteAt(static_cast<int64_t>(k * sliceSize + at), buffer.data(), static_cast<int64_t>(want))) {
        error = file.desc.name + ": " + LastErrorText();
        return false;
      }
      report(want);
    }
  }

  // The missing slices, a range of bytes at a time.
  std::vector<Md5Stream> md5(m);
  for (uint64_t pass = 0; pass < passes; ++pass) {
    const uint64_t from = pass * chunk, to = std::min(sliceSize, from + chunk), width = to - from;
    std::unique_ptr<RecoveryDecoder> decoder = makeDecoder(width);
    if (!decoder) {
      error = "the recovery slices at hand cannot solve for the missing ones";
      return false;
    }
    for (const RecoveryRef* ref : chosen) {
      File& file = par2File(ref->source);
      uint8_t* slot = decoder->Acquire();
      if (!ReadPadded(file, ref->packetPos + PacketHeaderSize + 4 + from, slot, width)) {
        error = set.par2Files[ref->source] + ": " + LastErrorText();
        return false;
      }
      decoder->CommitRecovery(ref->exponent, static_cast<size_t>(width));
      report(width);
    }
    for (uint32_t g : present) {
      const ProtectedFile& file = set.files[owner[g]];
      const uint64_t length = SliceLength(set, file, g - file.firstSlice);
      const uint64_t want = length > from ? std::min(to, length) - from : 0;
      if (!openSource(check.slices[g].source)) return false;
      uint8_t* slot = decoder->Acquire();
      if (want > 0 && !ReadPadded(source, check.slices[g].offset + from, slot, want)) {
        error = check.sources[opened] + ": " + LastErrorText();
        return false;
      }
      decoder->CommitInput(g, static_cast<size_t>(want));
      report(want);
    }
    decoder->Finish();
    for (size_t k = 0; k < m; ++k) {
      const uint32_t g = decoder->Missing()[k];
      const size_t j = static_cast<size_t>(std::lower_bound(missing.begin(), missing.end(), g) - missing.begin());
      const uint8_t* solved = decoder->Slice(k);
      md5[j].Update(solved, static_cast<size_t>(width));
      const ProtectedFile& file = set.files[owner[g]];
      const uint32_t slice = g - file.firstSlice;
      const uint64_t length = SliceLength(set, file, slice);
      const int32_t o = outputOf[owner[g]];
      if (length <= from || o < 0) continue;
      if (!outputs[o].out().WriteAt(static_cast<int64_t>(slice * sliceSize + from), solved,
                                  static_cast<int64_t>(std::min(to, length) - from))) {
        error = file.desc.name + ": " + LastErrorText();
        return false;
      }
    }
  }
  for (size_t j = 0; j < m; ++j) {
    const uint32_t g = missing[j];
    const ProtectedFile& file = set.files[owner[g]];
    if (md5[j].Final() != file.slices[g - file.firstSlice].md5) {
      error = file.desc.name + ": a rebuilt slice does not match its checksum; nothing was changed";
      return false;
    }
  }
  for (TempOutput& out : outputs) {
    if (!out.out().SetSize(static_cast<int64_t>(set.files[out.file].desc.length))) {
      error = set.files[out.file].desc.name + ": " + LastErrorText();
      return false;
    }
    out.out().Close();
  }

  // Every new file is complete: each takes its name, the old file kept.
  auto keepOld = [&](const std::string& name, std::string& keptAs) {
    const fs::path target = dir / PathOf(name);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(target, ec))) return true;
    keptAs = FreeKeepName(dir, name);
    fs::rename(target, dir / PathOf(keptAs), ec);
    if (ec) {
      error = name + ": cannot keep the old file as " + keptAs + ": " + ErrorText(ec);
      return false;
    }
    return true;
  };
  for (size_t f = 0; f < set.files.size(); ++f) {
    if (check.files[f].condition != FileCondition::Misnamed) continue;
    const std::string& name = set.files[f].desc.name;
    std::string keptAs;
    std::error_code ec;
    const bool sameFile = fs::equivalent(dir / PathOf(check.files[f].foundAs), dir / PathOf(name), ec);
    if (!sameFile && !keepOld(name, keptAs)) return false;
    fs::rename(dir / PathOf(check.files[f].foundAs), dir / PathOf(name), ec);
    if (ec) {
      error = check.files[f].foundAs + ": cannot rename to " + name + ": " + ErrorText(ec);
      return false;
    }
    result.renamed.push_back(check.files[f].foundAs + " -> " + name);
    check.files[f].condition = FileCondition::Complete;
  }
  for (TempOutput& out : outputs) {
    const std::string& name = set.files[out.file].desc.name;
    std::string keptAs;
    if (!keepOld(name, keptAs)) return false;
    if (!out.pending->Place(false)) {
      error = name + ": " + LastErrorText();
      return false;
    }
    result.rebuilt.push_back(name);
    result.keptAs.push_back(keptAs);
    check.files[out.file].condition = FileCondition::Complete;
  }
  return true;
}

}  // namespace parcelio::recovery
