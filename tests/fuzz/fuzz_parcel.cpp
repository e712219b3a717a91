// Fuzz target: the parcel tool's set reader and join, in process.
//
// An input is a small directory of volume files (SetImage.h), the same form
// and seeds as fuzz_join's, changed by the same mutator (SetMutator.h). Each
// input is laid out in a fresh sandbox and joined by the tool's CmdJoin,
// from the volume of the first entry, into a destination beside the set
// (missing, nested, relative or absolute, or holding stale files at the
// stored names, which -f then replaces, as the input's options say). Then:
//   - nothing outside the destination was created, changed or removed;
//   - when the join answered 0: the set was complete and sound by an
//     independent reading of the bytes (VolumeModel), and every file in the
//     destination is exactly the union of the pieces stored for it: the
//     pieces tile it from 0 to its size with no gap and no overlap, it holds
//     their bytes, and their CRCs hold unless the set records none; nothing
//     else in the destination is new or changed;
// besides the sanitizers' own checks and libFuzzer's time limit.
//
// The tool's messages are collected per run (standard output and error go
// to memory files; sanitizer reports keep the real standard error).
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "parcelio/Names.h"
#include "tests/fuzz/SetImage.h"
#include "tests/fuzz/SetMutator.h"
#include "tests/fuzz/VolumeModel.h"
#include "tools/Commands.h"
#include "tools/ToolSupport.h"

namespace fs = std::filesystem;
using fuzzmodel::Bytes;

namespace {

std::string g_root;      // the sandbox
std::string g_startCwd;  // libFuzzer's own working directory
int g_stderr = -1;       // the real standard error
int g_messages = -1;     // memory file that standard output and error go to during a run
std::string g_log;       // the current run's messages, for failure reports

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

[[noreturn]] void Finding(const std::string& what) {
  dprintf(g_stderr, "\n==== fuzz_parcel finding: %s\n---- tool messages:\n%s\n----\n", what.c_str(), g_log.c_str());
  if (chdir(g_startCwd.c_str()) == 0) RemoveTree(g_root);
  std::abort();
}

Bytes ReadFile(const fs::path& path) {
  Bytes bytes;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return bytes;
  uint8_t buffer[65536];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) bytes.insert(bytes.end(), buffer, buffer + got);
  close(fd);
  return bytes;
}

bool TryWriteFile(const fs::path& path, const Bytes& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = bytes.empty() || write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  return ok;
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  if (!TryWriteFile(path, bytes)) std::abort();
}

// Every entry below dir (links not followed): relative path -> content
// ("<dir>" for directories, "<link>" for links), leaving out `skip`.
void Snapshot(const fs::path& dir, const std::string& relative, const std::string& skip,
              std::map<std::string, Bytes>& out) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string rel = (relative.empty() ? "" : relative + "/") + it->path().filename().string();
    if (rel == skip) continue;
    const fs::file_status status = it->symlink_status(ec);
    // The directories leading to the one left out may be made by the run.
    if (!skip.empty() && skip.compare(0, rel.size() + 1, rel + "/") == 0 && fs::is_directory(status)) {
      Snapshot(it->path(), rel, skip, out);
      continue;
    }
    if (fs::is_symlink(status)) {
      out[rel] = Bytes{'<', 'l', '>'};
    } else if (fs::is_directory(status)) {
      out[rel] = Bytes{'<', 'd', '>'};
      Snapshot(it->path(), rel, skip, out);
    } else {
      out[rel] = ReadFile(it->path());
    }
  }
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

struct ModelVolume {
  std::string name;
  Bytes bytes;
  fuzzmodel::Volume volume;
};

// What a join that answered 0 must have done, worked out from the bytes.
void CheckSuccess(const std::string& givenName, const std::map<std::string, Bytes>& destBefore,
                  const fs::path& dest) {
  // The set: the files beside the given volume with its base name, read as
  // volumes; its identity is the given volume's.
  const std::string base = Upper(fs::path(givenName).stem().string());
  std::vector<ModelVolume> candidates;
  for (const auto& entry : fs::directory_iterator(g_root + "/src")) {
    const std::string name = entry.path().filename().string();
    const std::string upper = Upper(name);
    if (upper != base && upper.compare(0, base.size() + 1, base + ".") != 0) continue;
    ModelVolume candidate{name, ReadFile(entry.path()), {}};
    candidate.volume = fuzzmodel::ParseVolume(candidate.bytes);
    candidates.push_back(std::move(candidate));
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const ModelVolume& a, const ModelVolume& b) { return a.name < b.name; });
  const ModelVolume* given = nullptr;
  for (const ModelVolume& candidate : candidates)
    if (candidate.name == givenName) given = &candidate;
  if (given == nullptr || !given->volume.valid) Finding("join answered 0 for a file that is not a volume");

  // One volume per number, the given one first: 1 .. N, N marked last,
  // nothing of the set numbered otherwise.
  std::map<int32_t, const ModelVolume*> chosen;
  chosen[given->volume.number] = given;
  for (const ModelVolume& candidate : candidates) {
    if (!candidate.volume.valid || std::memcmp(candidate.volume.setId, given->volume.setId, 8) != 0) continue;
    chosen.emplace(candidate.volume.number, &candidate);
  }
  int32_t last = 0;
  for (const auto& [number, volume] : chosen)
    if (volume->volume.isLast && number > 0) {
      last = number;
      break;
    }
  if (last == 0) Finding("join answered 0 for a set without a last volume");
  if (chosen.begin()->first != 1 || chosen.rbegin()->first != last || static_cast<int64_t>(chosen.size()) != last)
    Finding("join answered 0 for a set whose volume numbers are not 1 to " + std::to_string(last));

  // Every volume sound to its end, and all of one mind about CRCs.
  const uint8_t checkMode = chosen.begin()->second->volume.checkMode;
  struct Span {
    int64_t offset, size;
    const uint8_t* data;
  };
  std::map<std::string, std::vector<Span>> byKey;  // by the key of the output name
  std::map<std::string, std::string> relativeOf;   // key -> the relative path (first spelling)
  for (const auto& [number, model] : chosen) {
    const fuzzmodel::Volume& volume = model->volume;
    const size_t cleanEnd = volume.start == 0 ? model->bytes.size() : model->bytes.size() - 4;
    if (volume.cut || volume.end != cleanEnd)
      Finding("join answered 0, but volume " + std::to_string(number) + " (" + model->name + ") is not sound");
    if (volume.checkMode != checkMode) Finding("join answered 0 for volumes that disagree on CRC checking");
    for (const fuzzmodel::Piece& piece : volume.pieces) {
      const fuzzmodel::Header& h = piece.header;
      if (h.fileOffset < 0 || h.dataSize < 0) Finding("join answered 0 for a piece of negative offset or size");
      if (checkMode != 4 && fuzzmodel::Crc32(model->bytes.data() + h.dataAt, piece.dataAvailable) != h.crc)
        Finding("join answered 0, but a CRC does not hold in volume " + std::to_string(number));
      parcelio::OutputName name;
      std::string why;
      if (!parcelio::ResolveStoredName(h.name, name, why)) Finding("join answered 0 for a refused name: " + why);
      std::string relative;
      for (const std::string& part : name.parts) relative += (relative.empty() ? "" : "/") + part;
      relativeOf.emplace(name.key, relative);
      byKey[name.key].push_back({h.fileOffset, h.dataSize, model->bytes.data() + h.dataAt});
    }
  }

  // Each output: its pieces tile it, and it holds their bytes.
  std::set<std::string> outputs;
  for (auto& [key, spans] : byKey) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.offset < b.offset; });
    const std::string& relative = relativeOf[key];
    Bytes expected;
    int64_t size = 0;
    for (const Span& span : spans) size = std::max(size, span.offset + span.size);
    for (const Span& span : spans) {
      if (span.size == 0) continue;
      if (span.offset != static_cast<int64_t>(expected.size()))
        Finding("join answered 0, but the pieces of " + relative + " leave a gap or overlap at byte " +
                std::to_string(std::min<int64_t>(span.offset, static_cast<int64_t>(expected.size()))));
      expected.insert(expected.end(), span.data, span.data + span.size);
    }
    if (static_cast<int64_t>(expected.size()) != size)
      Finding("join answered 0, but no piece holds the end of " + relative);
    if (ReadFile(dest / relative) != expected || !fs::is_regular_file(fs::symlink_status(dest / relative)))
      Finding("join answered 0, but " + relative + " is not the union of its pieces");
    outputs.insert(relative);
  }

  // Nothing else in the destination is new or changed.
  std::map<std::string, Bytes> after;
  Snapshot(dest, "", "", after);
  for (const auto& [relative, content] : after) {
    if (outputs.count(relative) != 0) continue;
    const auto before = destBefore.find(relative);
    const bool isDir = content == Bytes{'<', 'd', '>'};
    if (!isDir && (before == destBefore.end() || before->second != content))
      Finding("join answered 0, and " + relative + " in the destination is no file of the set");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) std::abort();
  g_startCwd = cwd;
  struct stat shm {};
  const bool memory = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && access("/dev/shm", W_OK) == 0;
  g_root = std::string(memory ? "/dev/shm" : "/tmp") + "/parcelfuzz-tool-" + std::to_string(getpid());
  std::atexit([] { RemoveTree(g_root); });
  // The tool's messages go to a memory file; sanitizer reports and
  // findings to the real standard error.
  g_stderr = dup(STDERR_FILENO);
  g_messages = memfd_create("parcel-messages", 0);
  if (g_stderr < 0 || g_messages < 0) std::abort();
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(g_stderr)));
  std::fflush(stdout);
  dup2(g_messages, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzset::SetImage image = fuzzset::Decode(data, size);

  // A fresh sandbox: src/ with the set, dest/ (unless the input says it is
  // missing), a file beside them that nothing may touch.
  RemoveTree(g_root);
  fs::create_directories(g_root + "/src");
  WriteFile(g_root + "/outside.txt", Bytes{'k', 'e', 'e', 'p'});
  for (const auto& entry : image.entries) WriteFile(g_root + "/src/" + fuzzset::kEntryNames[entry.name], entry.bytes);
  const std::string givenName =
      image.entries.empty() ? std::string("set.s01") : fuzzset::kEntryNames[image.entries[0].name];

  const bool nested = image.options & fuzzset::kOptNestedDest;
  const bool noDest = nested || (image.options & fuzzset::kOptNoDest);
  const bool stale = (image.options & fuzzset::kOptStaleFiles) && !noDest;
  const std::string destTail = nested ? "dest/deep/er" : "dest";
  const fs::path dest = g_root + "/" + destTail;
  if (!noDest) fs::create_directories(dest);
  // Stale files at the stored names, longer than anything a piece writes;
  // -f replaces them.
  if (stale) {
    for (const auto& entry : image.entries) {
      for (const auto& piece : fuzzmodel::ParseVolume(entry.bytes).pieces) {
        parcelio::OutputName name;
        std::string why;
        if (!parcelio::ResolveStoredName(piece.header.name, name, why)) continue;
        fs::path path = dest;
        for (const std::string& part : name.parts) path /= part;
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        // (A name too long for this system is left out.)
        if (!ec && !fs::exists(path, ec)) TryWriteFile(path, Bytes(300, 0xEE));
      }
    }
  }
  std::map<std::string, Bytes> before, destBefore;
  Snapshot(g_root, "", destTail, before);
  Snapshot(dest, "", "", destBefore);

  parceltool::JoinArgs args;
  args.dir = image.options & fuzzset::kOptRelativeDest ? "../" + destTail : dest.string();
  args.force = stale;
  args.volume = givenName;
  if (chdir((g_root + "/src").c_str()) != 0) std::abort();
  std::fflush(stderr);
  if (ftruncate(g_messages, 0) != 0) std::abort();
  lseek(g_messages, 0, SEEK_SET);
  dup2(g_messages, STDERR_FILENO);
  parceltool::Quiet = false;
  const int status = parceltool::CmdJoin(args);
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(g_stderr, STDERR_FILENO);
  if (chdir(g_startCwd.c_str()) != 0) std::abort();
  g_log.assign(static_cast<size_t>(lseek(g_messages, 0, SEEK_END)), '\0');
  if (!g_log.empty() && pread(g_messages, &g_log[0], g_log.size(), 0) < 0) g_log.clear();
  static const bool verbose = std::getenv("PARCEL_FUZZ_VERBOSE") != nullptr;
  if (verbose) dprintf(g_stderr, "---- status %d, tool messages:\n%s----\n", status, g_log.c_str());

  if (status != parceltool::ExitOk && status != parceltool::ExitFailed)
    Finding("join answered " + std::to_string(status));
  std::map<std::string, Bytes> after;
  Snapshot(g_root, "", destTail, after);
  for (const auto& [path, content] : after) {
    const auto it = before.find(path);
    if (it == before.end()) Finding("created outside the destination: " + path);
    if (it->second != content) Finding("changed outside the destination: " + path);
  }
  for (const auto& [path, content] : before)
    if (after.count(path) == 0) Finding("removed outside the destination: " + path);
  if (status == parceltool::ExitOk) CheckSuccess(givenName, destBefore, dest);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  return fuzzset::MutateSet(data, size, maxSize, seed);
}
