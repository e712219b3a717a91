// Checking and repairing the files that PAR 2.0 recovery files protect (see
// Par2Repair.h).
//
// A file is checked slice by slice: every slice-sized window at a multiple
// of the slice size is hashed and looked up among all the set's slices, so
// that a damaged file keeps its sound slices and a file under another name
// is recognised. Missing slices are rebuilt by solving the linear system of
// the chosen recovery slices: Y = R - (sum of the present slices' parts),
// then missing = inverse(A) * Y, a range of bytes of every slice at a time
// so that memory stays within the budget. This file finds and checks the
// slices; Par2Rebuild.cpp writes the missing ones.
#include "parcelio/recovery/Par2Repair.h"

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

// Bytes of slices hashed side by side in one step.
constexpr uint64_t GroupBytes = 16u << 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && Lower(text.substr(text.size() - tail.size())) == tail;
}

// A name from a file description that stays inside the set's folder.
bool SafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos || name.find(':') != std::string::npos)
    return false;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find('/', start);
    const std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

uint64_t Key(const Md5Digest& d) {
  uint64_t v;
  std::memcpy(&v, d.data(), 8);
  return v;
}

// The slices found in one source: global slice number and offset.
struct Hit {
  uint32_t slice;
  uint64_t offset;
};

class SliceIndex {
 public:
  explicit SliceIndex(const RecoverySet& set) : set_(set) {
    for (const ProtectedFile& file : set.files)
      for (uint32_t k = 0; k < file.slices.size(); ++k) byMd5_.emplace(Key(file.slices[k].md5), file.firstSlice + k);
  }

  // Every window at a multiple of the slice size, looked up by MD5 then CRC.
  // False when the file cannot be read.
  bool Scan(const fs::path& path, std::vector<Hit>& hits, std::atomic<uint64_t>& done) const {
    File file;
    if (!file.Open(path, File::Mode::Read)) return false;
    const int64_t size = file.Size();
    if (size < 0) return false;
    const uint64_t slice = set_.sliceSize;
    const uint64_t windows = CeilDiv(static_cast<uint64_t>(size), slice);
    if (slice > GroupBytes) {
      // Large slices: one at a time, streamed.
      std::vector<uint8_t> buffer(Block);
      for (uint64_t w = 0; w < windows; ++w) {
        Md5Stream md5;
        uint32_t crc = 0;
        for (uint64_t at = 0; at < slice; at += Block) {
          const uint64_t want = std::min(Block, slice - at);
          if (!ReadPadded(file, w * slice + at, buffer.data(), want)) return false;
          md5.Update(buffer.data(), static_cast<size_t>(want));
          UpdateCrc32(buffer.data(), static_cast<int32_t>(want), crc, at == 0, at + want == slice);
          done += want;
        }
        Match(md5.Final(), crc, w * slice, hits);
      }
      return true;
    }
    // Several slices at once, hashed side by side.
    const uint64_t group = std::max<uint64_t>(1, std::min(GroupBytes / slice, windows));
    std::vector<uint8_t> buffer(static_cast<size_t>(group * slice));
    std::vector<const uint8_t*> pointers(static_cast<size_t>(group));
    std::vector<Md5Digest> digests(static_cast<size_t>(group));
    for (uint64_t first = 0; first < windows; first += group) {
      const uint64_t count = std::min(group, windows - first);
      if (!ReadPadded(file, first * slice, buffer.data(), count * slice)) return false;
      for (uint64_t i = 0; i < count; ++i) pointers[i] = buffer.data() + i * slice;
      Md5Batch(pointers.data(), static_cast<size_t>(count), static_cast<size_t>(slice), digests.data());
      for (uint64_t i = 0; i < count; ++i) {
        auto range = byMd5_.equal_range(Key(digests[i]));
        if (range.first == range.second) continue;
        uint32_t crc = 0;
        UpdateCrc32(pointers[i], static_cast<int32_t>(slice), crc, true, true);
        Match(digests[i], crc, (first + i) * slice, hits);
      }
      done += count * slice;
    }
    return true;
  }

 private:
  void Match(const Md5Digest& md5, uint32_t crc, uint64_t offset, std::vector<Hit>& hits) const {
    auto range = byMd5_.equal_range(Key(md5));
    for (auto it = range.first; it != range.second; ++it) {
      const SliceCheck& check = SliceOf(it->second);
      if (check.md5 == md5 && check.crc == crc) hits.push_back(Hit{it->second, offset});
    }
  }

  const SliceCheck& SliceOf(uint32_t global) const {
    auto file = std::upper_bound(set_.files.begin(), set_.files.end(), global,
                                 [](uint32_t g, const ProtectedFile& f) { return g < f.firstSlice; });
    // Files without slices share a first number with the next: step back to
    // the one that holds it.
    do --file; while (file->slices.size() <= global - file->firstSlice);
    return file->slices[global - file->firstSlice];
  }

  const RecoverySet& set_;
  std::unordered_multimap<uint64_t, uint32_t> byMd5_;
};

}  // namespace

bool SetCheck::Whole() const {
  for (const FileCheck& file : files)
    if (file.condition != FileCondition::Complete) return false;
  return true;
}

std::string RecoveryBaseOf(const std::string& fileName) {
  std::string name = fileName;
  auto stripDigitsSuffix = [&](const std::string& prefix, bool twoNumbers) {
    const std::string lower = Lower(name);
    const size_t dot = lower.rfind(prefix);
    if (dot == std::string::npos || dot == 0) return false;
    const std::string rest = lower.substr(dot + prefix.size());
    if (rest.empty()) return false;
    if (twoNumbers) {
      const size_t sign = rest.find_first_of("+-");
      if (sign == std::string::npos || sign == 0 || sign + 1 == rest.size()) return false;
      if (rest.substr(0, sign).find_first_not_of("0123456789") != std::string::npos ||
          rest.substr(sign + 1).find_first_not_of("0123456789") != std::string::npos)
        return false;
    } else if (rest.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    name.resize(dot);
    return true;
  };
  if (EndsWithNoCase(name, ".par2") && name.size() > 5) {
    name.resize(name.size() - 5);
    stripDigitsSuffix(".vol", true);
    return name;
  }
  if (stripDigitsSuffix(".s", false)) return name;
  if (EndsWithNoCase(name, ".exe") && name.size() > 4) name.resize(name.size() - 4);
  return name;
}

bool LoadRecoverySet(const fs::path& dir, const std::string& base, RecoverySet& set, std::string& error) {
  set = RecoverySet();
  set.dir = dir;
  set.par2Files = RecoveryFilesOf(dir, base);
  if (set.par2Files.empty()) {
    error = "no recovery files (" + base + ".par2, " + base + ".vol*.par2)";
    return false;
  }
  Found found;
  for (size_t i = 0; i < set.par2Files.size(); ++i) {
    File file;
    if (!file.Open(dir / PathOf(set.par2Files[i]), File::Mode::Read)) continue;
    const int64_t size = file.Size();
    if (size <= 0) continue;
    ScanPackets([&](uint64_t pos, uint8_t* buffer, uint64_t count) { return file.ReadAt(static_cast<int64_t>(pos), buffer, static_cast<int64_t>(count)); },
                static_cast<uint64_t>(size), i, found);
  }
  set.badPackets = found.badPackets;
  return AssembleSet(found, set, error);
}

bool AssembleSet(const Found& found, RecoverySet& set, std::string& error) {
  // The set of the main packet found most often.
  std::map<Md5Digest, size_t> votes;
  for (const auto& main : found.mains) ++votes[main.first];
  if (votes.empty()) {
    error = "the recovery files hold no sound main packet";
    return false;
  }
  set.setId = std::max_element(votes.begin(), votes.end(), [](const auto& a, const auto& b) {
                return a.second < b.second;
              })->first;
  const MainPacket* main = nullptr;
  for (const auto& candidate : found.mains)
    if (candidate.first == set.setId) main = &candidate.second;
  set.sliceSize = main->sliceSize;
  if (main->recoveryIds.size() > MaxSlices) {
    error = "the main packet lists too many files";
    return false;
  }
  uint64_t total = 0;
  for (const Md5Digest& id : main->recoveryIds) {
    ProtectedFile file;
    file.desc.id = id;
    for (const auto& desc : found.descs) {
      if (desc.first == set.setId && desc.second.id == id) {
        file.desc = desc.second;
        file.described = true;
        break;
      }
    }
    file.firstSlice = static_cast<uint32_t>(std::min<uint64_t>(total, MaxSlices));
    const uint64_t count = file.described ? CeilDiv(file.desc.length, set.sliceSize) : 0;
    if (count > MaxSlices || total + count > MaxSlices) {
      error = "the recovery set has more slices than the format allows";
      return false;
    }
    file.sliceCount = static_cast<uint32_t>(count);
    total += count;
    for (const auto& ifsc : found.ifscs) {
      if (ifsc.first == set.setId && ifsc.second.id == id && ifsc.second.slices.size() == count) {
        file.slices = ifsc.second.slices;
        break;
      }
    }
    set.files.push_back(std::move(file));
  }
  set.totalSlices = static_cast<uint32_t>(total);
  std::set<uint32_t> exponents;
  for (const RecoveryRef& ref : found.recovery) {
    if (ref.setId != set.setId || ref.length != PacketHeaderSize + 4 + set.sliceSize || ref.exponent >= 65535 ||
        !exponents.insert(ref.exponent).second)
      continue;
    set.recovery.push_back(ref);
  }
  std::sort(set.recovery.begin(), set.recovery.end(),
            [](const RecoveryRef& a, const RecoveryRef& b) { return a.exponent < b.exponent; });
  if (!found.creators.empty()) set.creator = found.creators.front();
  return true;
}

void CheckFiles(const RecoverySet& set, SetCheck& check, const ProgressFn& progress) {
  check = SetCheck();
  check.files.resize(set.files.size());
  check.slices.assign(set.totalSlices, SliceLocation());
  check.recoveryAvailable = static_cast<uint32_t>(set.recovery.size());
  const fs::path& dir = set.dir;
  SliceIndex index(set);

  // The folder's files, for names in another letter case and for content
  // under other names.
  std::vector<std::string> listing;
  {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code typeError;
      if (it->is_regular_file(typeError)) listing.push_back(Utf8Of(it->path().filename()));
    }
    std::sort(listing.begin(), listing.end());
  }
  std::set<std::string> par2Names(set.par2Files.begin(), set.par2Files.end());
  std::map<std::string, int32_t> sourceOf;
  auto addSource = [&](const std::string& name) {
    auto it = sourceOf.find(name);
    if (it != sourceOf.end()) return it->second;
    const int32_t number = static_cast<int32_t>(check.sources.size());
    check.sources.push_back(name);
    sourceOf.emplace(name, number);
    return number;
  };

  // What each source holds: (slice, offset) pairs.
  std::vector<std::set<std::pair<uint32_t, uint64_t>>> holds;
  auto scanAll = [&](size_t from) {
    // The sources from number 'from' on, on both threads; hits merged in
    // source order so that the result does not depend on timing.
    const size_t count = check.sources.size() - from;
    std::vector<std::vector<Hit>> hits(count);
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> done{0};
    uint64_t total = 0;
    for (size_t s = from; s < check.sources.size(); ++s) {
      std::error_code ec;
      const uintmax_t size = fs::file_size(dir / PathOf(check.sources[s]), ec);
      if (!ec) total += CeilDiv(size, set.sliceSize) * set.sliceSize;
    }
    std::atomic<int> finished{0};
    auto work = [&] {
      for (size_t i; (i = next++) < count;) index.Scan(dir / PathOf(check.sources[from + i]), hits[i], done);
      ++finished;
    };
    std::thread first(work), second(work);
    while (progress && finished < 2) {
      progress(done, total);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    first.join();
    second.join();
    holds.resize(check.sources.size());
    for (size_t i = 0; i < count; ++i) {
      for (const Hit& hit : hits[i]) {
        holds[from + i].emplace(hit.slice, hit.offset);
        SliceLocation& location = check.slices[hit.slice];
        if (location.source < 0) location = SliceLocation{static_cast<int32_t>(from + i), hit.offset};
      }
    }
  };

  // Each file under its own name, or in another letter case.
  std::vector<int32_t> own(set.files.size(), -1);
  for (size_t f = 0; f < set.files.size(); ++f) {
    const ProtectedFile& file = set.files[f];
    if (!file.described || !SafeName(file.desc.name)) {
      check.files[f].condition = FileCondition::Unsafe;
      continue;
    }
    std::error_code ec;
    if (fs::is_regular_file(dir / PathOf(file.desc.name), ec)) {
      own[f] = addSource(file.desc.name);
      continue;
    }
    for (const std::string& name : listing)
      if (Lower(name) == Lower(file.desc.name)) addSource(name);
  }
  scanAll(0);

  // A file is complete in a source that holds every slice where it belongs
  // and nothing more.
  auto completeIn = [&](size_t f, int32_t source) {
    const ProtectedFile& file = set.files[f];
    std::error_code ec;
    const uintmax_t size = fs::file_size(dir / PathOf(check.sources[source]), ec);
    if (ec || size != file.desc.length || file.slices.size() != file.sliceCount) return false;
    for (uint32_t k = 0; k < file.sliceCount; ++k)
      if (holds[source].count({file.firstSlice + k, static_cast<uint64_t>(k) * set.sliceSize}) == 0) return false;
    return true;
  };
  // A slice in its own place is taken from there.
  auto preferOwn = [&] {
    for (size_t f = 0; f < set.files.size(); ++f) {
      if (own[f] < 0) continue;
      const ProtectedFile& file = set.files[f];
      for (uint32_t k = 0; k < file.sliceCount; ++k) {
        const uint64_t offset = static_cast<uint64_t>(k) * set.sliceSize;
        if (holds[own[f]].count({file.firstSlice + k, offset}) != 0)
          check.slices[file.firstSlice + k] = SliceLocation{own[f], offset};
      }
    }
  };
  preferOwn();

  bool allComplete = true;
  for (size_t f = 0; f < set.files.size(); ++f) {
    if (check.files[f].condition == FileCondition::Unsafe) {
      allComplete = false;
      continue;
    }
    if (own[f] >= 0 && completeIn(f, own[f])) {
      check.files[f].condition = FileCondition::Complete;
    } else {
      allComplete = false;
    }
  }

  if (!allComplete) {
    // Content under other names: files whose first 16 KiB match a file that
    // is not complete, and files named like the set's.
    std::set<Md5Digest> wanted;
    std::vector<std::string> prefixes;
    for (size_t f = 0; f < set.files.size(); ++f) {
      if (check.files[f].condition == FileCondition::Complete || !set.files[f].described) continue;
      wanted.insert(set.files[f].desc.md5First16k);
      const std::string name = set.files[f].desc.name;
      const size_t slash = name.rfind('/');
      prefixes.push_back(Lower(RecoveryBaseOf(name.substr(slash == std::string::npos ? 0 : slash + 1))));
    }
    const size_t before = check.sources.size();
    std::vector<uint8_t> head(16384);
    for (const std::string& name : listing) {
      if (sourceOf.count(name) != 0 || par2Names.count(name) != 0) continue;
      if (IsTemporaryName(name) || (name.size() > 4 && name[0] == '.' && EndsWithNoCase(name, ".tmp"))) continue;
      bool take = false;
      for (const std::string& prefix : prefixes)
        if (!prefix.empty() && Lower(name).compare(0, prefix.size(), prefix) == 0) take = true;
      if (!take) {
        File file;
        if (!file.Open(dir / PathOf(name), File::Mode::Read)) continue;
        const int64_t got = file.ReadAt(0, head.data(), static_cast<int64_t>(head.size()));
        if (got <= 0) continue;
        take = wanted.count(Md5Of(head.data(), static_cast<size_t>(got))) != 0;
      }
      if (take) addSource(name);
    }
    if (check.sources.size() > before) scanAll(before);

    for (size_t f = 0; f < set.files.size(); ++f) {
      FileCheck& state = check.files[f];
      if (state.condition == FileCondition::Complete || state.condition == FileCondition::Unsafe) continue;
      for (size_t s = 0; s < check.sources.size(); ++s) {
        if (static_cast<int32_t>(s) == own[f]) continue;
        if (completeIn(f, static_cast<int32_t>(s))) {
          state.condition = FileCondition::Misnamed;
          state.foundAs = check.sources[s];
          break;
        }
      }
      if (state.condition != FileCondition::Misnamed)
        state.condition = own[f] >= 0 ? FileCondition::Damaged : FileCondition::Missing;
    }
  }

  for (size_t f = 0; f < set.files.size(); ++f) {
    const ProtectedFile& file = set.files[f];
    for (uint32_t k = 0; k < file.sliceCount; ++k) {
      if (check.slices[file.firstSlice + k].source >= 0)
        ++check.files[f].soundSlices;
      else
        ++check.missingSlices;
    }
  }
}
}  // namespace parcelio::recovery
