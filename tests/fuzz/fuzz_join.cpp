// Fuzz target: whole joins, in process.
//
// An input is a small directory of volume files (SetImage.h): the seeds are
// valid sets made with the volume writer, and the custom mutator below
// changes them the way hostile or damaged sets differ from good ones (header
// fields, stored names with "..", separators, drives and devices, sizes,
// offsets, CheckMode, cut volumes, stubs), besides libFuzzer's own byte
// mutations.
//
// Each input is laid out in a fresh sandbox and joined by the real RunJoin,
// started the way the program body starts it, into a destination given on
// the command line, with no operator: standard input is at its end, so every
// question is left unanswered. Then:
//   - nothing outside the destination was created, changed or removed, also
//     when links were planted where the pieces go (to a file and a folder
//     outside, to nothing, to a volume of the set), and those links are
//     still the links they were;
//   - every file in the destination is one that a piece named (or one that
//     was there before);
//   - when the run offered "Launch combined file(s)?", every rebuilt file
//     holds exactly what the pieces that were processed put there;
// besides the sanitizers' own checks and libFuzzer's time limit.
//
// The program takes its own path and its command line from the system; this
// target supplies both (the link wraps GetModuleFileNameA and
// GetCommandLineA), so that the program file is set.exe in the sandbox.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "ParcelStub/ParcelStub.h"
#include "ParcelStub/RunProgram.h"
#include "platform/RunTime.h"
#include "platform/Win32.h"
#include "platform/linux/LinuxView.h"
#include "tests/fuzz/SetImage.h"
#include "tests/fuzz/SetMutator.h"
#include "tests/fuzz/VolumeModel.h"

namespace fs = std::filesystem;
using fuzzmodel::Bytes;

namespace {

std::string g_root;          // Unix path of the sandbox
std::string g_rootWin32;     // the same as Z:\...
std::string g_modulePath;    // what GetModuleFileNameA answers
std::string g_commandLine;   // what GetCommandLineA answers
std::string g_startCwd;      // libFuzzer's own working directory
int g_output = -1;           // memory file that standard output goes to

std::string Win32Of(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string ReadOutput() {
  std::fflush(stdout);
  std::string text;
  char buffer[65536];
  off_t at = 0;
  for (;;) {
    ssize_t got = pread(g_output, buffer, sizeof buffer, at);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    at += got;
  }
  return text;
}

void ResetOutput() {
  std::fflush(stdout);
  if (ftruncate(g_output, 0) != 0) std::abort();
  lseek(STDOUT_FILENO, 0, SEEK_SET);
}

std::string g_log;  // the current run's output, for failure reports

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "\n==== fuzz_join finding: %s\n---- program output:\n%s\n----\n", what.c_str(),
               g_log.c_str());
  if (chdir(g_startCwd.c_str()) == 0) RemoveTree(g_root);
  std::abort();
}

// Sandboxes that processes which no longer run left behind (a sanitizer
// report ends a process before it can clean up).
void RemoveStaleSandboxes(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> stale;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    static const std::string kPrefix = "parcelfuzz-";
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) continue;
    const long pid = std::strtol(name.c_str() + kPrefix.size(), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(dir + "/" + name);
  }
  closedir(d);
  for (const std::string& path : stale) RemoveTree(path);
}

// Everything below the sandbox except the destination: path -> content
// ("<dir>" for directories).
void Snapshot(const std::string& dir, const std::string& relative,
              std::map<std::string, std::string>& out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (rel == "dest") continue;
    const std::string full = dir + "/" + name;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out[rel] = "<dir>";
      Snapshot(full, rel, out);
    } else {
      std::string content = "<size " + std::to_string(st.st_size) + ">";
      if (st.st_size <= (1 << 20)) {
        int fd = open(full.c_str(), O_RDONLY);
        if (fd >= 0) {
          content.resize(static_cast<size_t>(st.st_size));
          if (pread(fd, &content[0], content.size(), 0) != st.st_size) content = "<unreadable>";
          close(fd);
        }
      }
      out[rel] = content;
    }
  }
  closedir(d);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  close(fd);
}

std::string OemOf(const std::string& ansi) {
  std::string oem(ansi.size(), '\0');
  if (!ansi.empty()) CharToOemBuffA(ansi.data(), &oem[0], static_cast<DWORD>(ansi.size()));
  return oem;
}

// The file on disk that a Win32 path in the OEM code page names, if any.
bool Identify(const std::string& oemPath, ino_t& inode) {
  SetFileApisToOEM();
  std::string unixPath;
  if (!emu::UnixPathOf(oemPath, unixPath)) return false;
  struct stat st {};
  if (stat(unixPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  inode = st.st_ino;
  return true;
}

void CollectFiles(const std::string& dir, std::vector<std::pair<std::string, ino_t>>& out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = dir + "/" + name;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      CollectFiles(full, out);
    } else {
      out.emplace_back(full, st.st_ino);
    }
  }
  closedir(d);
}

struct Block {
  std::string volume;                 // the number as printed
  std::vector<std::string> processed; // "Processing file: " paths, OEM text
};

std::vector<Block> ParseBlocks(const std::string& log) {
  std::vector<Block> blocks;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    at = end + 1;
    static const std::string kVolume = "Current volume: ";
    static const std::string kFile = "Processing file: ";
    if (line.compare(0, kVolume.size(), kVolume) == 0) {
      blocks.push_back(Block{line.substr(kVolume.size()), {}});
    } else if (line.compare(0, kFile.size(), kFile) == 0 && !blocks.empty()) {
      blocks.back().processed.push_back(
          emu::Utf8ToOem(line.substr(kFile.size())));
    }
  }
  return blocks;
}

// What one rebuilt file must hold: its bytes, where pieces put them.
struct Expected {
  std::unordered_map<uint64_t, uint8_t> bytes;
  uint64_t size = 0;
  std::string name;
};

void CheckContent(const std::string& unixPath, const Expected& expected) {
  int fd = open(unixPath.c_str(), O_RDONLY);
  if (fd < 0) Finding("rebuilt file cannot be read: " + expected.name);
  struct stat st {};
  fstat(fd, &st);
  if (static_cast<uint64_t>(st.st_size) != expected.size) {
    close(fd);
    Finding("launch offered, but " + expected.name + " holds " + std::to_string(st.st_size) +
            " bytes where its pieces make " + std::to_string(expected.size));
  }
  // Every byte a piece put there...
  for (const auto& [offset, value] : expected.bytes) {
    uint8_t got = 0;
    if (pread(fd, &got, 1, static_cast<off_t>(offset)) != 1 || got != value) {
      close(fd);
      Finding("launch offered, but " + expected.name + " differs from its pieces at offset " +
              std::to_string(offset));
    }
  }
  // ...and zeros everywhere else (only data regions can hold anything else).
  std::vector<uint8_t> chunk(65536);
  off_t pos = 0;
  uint64_t scanned = 0;
  for (;;) {
    off_t data = lseek(fd, pos, SEEK_DATA);
    if (data < 0) break;
    off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = st.st_size;
    for (off_t at = data; at < hole && scanned < (64u << 20);) {
      const size_t want = static_cast<size_t>(std::min<off_t>(hole - at, static_cast<off_t>(chunk.size())));
      ssize_t got = pread(fd, chunk.data(), want, at);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        const uint64_t offset = static_cast<uint64_t>(at + i);
        if (chunk[static_cast<size_t>(i)] != 0 && expected.bytes.count(offset) == 0) {
          close(fd);
          Finding("launch offered, but " + expected.name + " holds a byte no piece put at offset " +
                  std::to_string(offset));
        }
      }
      at += got;
      scanned += static_cast<uint64_t>(got);
    }
    pos = hole;
  }
  close(fd);
}

bool IsCandidate(const std::string& name) {
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == "SET" || upper.compare(0, 4, "SET.") == 0;
}

// The run offered to launch: the pieces of the volumes it processed, in its
// order, must account for every rebuilt file exactly.
void CheckLaunchClaim(const std::string& log, const fuzzset::SetImage& image,
                      const std::string& destOem) {
  // The candidates in the order the search meets them (by upper-cased name).
  std::map<std::string, Bytes> byName;
  for (const auto& entry : image.entries) byName[fuzzset::kEntryNames[entry.name]] = entry.bytes;
  if (byName.count("set.exe") == 0) byName["set.exe"] = fuzzset::FakeProgram();
  std::vector<std::pair<std::string, Bytes>> candidates;
  for (const auto& [name, bytes] : byName) {
    if (IsCandidate(name)) candidates.emplace_back(name, bytes);
  }
  std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    std::string x = a.first, y = b.first;
    for (char& c : x) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : y) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return x < y;
  });

  // The run's set is that of the first candidate that reads as a volume.
  const uint8_t* runSet = nullptr;
  std::vector<fuzzmodel::Volume> parsed;
  for (const auto& candidate : candidates) parsed.push_back(fuzzmodel::ParseVolume(candidate.second));
  for (const auto& volume : parsed) {
    if (volume.valid) {
      runSet = volume.setId;
      break;
    }
  }

  std::map<ino_t, Expected> files;
  std::map<ino_t, std::string> paths;
  size_t next = 0;
  for (const Block& block : ParseBlocks(log)) {
    bool matched = false;
    for (; next < candidates.size() && !matched; ++next) {
      const Bytes& bytes = candidates[next].second;
      const fuzzmodel::Volume& volume = parsed[next];
      if (!volume.valid || std::to_string(volume.number) != block.volume) continue;
      if (runSet == nullptr || std::memcmp(volume.setId, runSet, sizeof volume.setId) != 0) continue;
      if (volume.pieces.size() != block.processed.size()) continue;
      bool same = true;
      for (size_t i = 0; i < volume.pieces.size() && same; ++i) {
        same = block.processed[i] == destOem + OemOf(volume.pieces[i].header.name);
      }
      if (!same) continue;
      matched = true;
      for (const fuzzmodel::Piece& piece : volume.pieces) {
        const std::string path = destOem + OemOf(piece.header.name);
        ino_t inode = 0;
        if (!Identify(path, inode)) Finding("launch offered, but a rebuilt file is missing: " + path);
        Expected& expected = files[inode];
        expected.name = path;
        const uint64_t offset = static_cast<uint64_t>(piece.header.fileOffset);
        for (size_t i = 0; i < piece.dataAvailable; ++i) {
          expected.bytes[offset + i] = bytes[piece.header.dataAt + i];
        }
        if (piece.dataAvailable > 0) expected.size = std::max<uint64_t>(expected.size, offset + piece.dataAvailable);
        std::string unixPath;
        emu::UnixPathOf(path, unixPath);
        paths[inode] = unixPath;
      }
    }
    if (!matched) Finding("no volume file holds the pieces of volume " + block.volume + " as processed");
  }
  for (const auto& [inode, expected] : files) CheckContent(paths[inode], expected);
}

void CleanUp() { RemoveTree(g_root); }

}  // namespace

// The program's own path and command line, as this target decides them.
extern "C" DWORD __wrap_GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (module != nullptr || buffer == nullptr || size == 0) return 0;
  const size_t n = std::min<size_t>(g_modulePath.size(), size - 1);
  std::memcpy(buffer, g_modulePath.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

extern "C" LPSTR __wrap_GetCommandLineA() { return &g_commandLine[0]; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) std::abort();
  g_startCwd = cwd;
  // A memory file system when there is one: each run makes and removes a
  // few files and directories.
  struct stat shm {};
  const bool memory = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && access("/dev/shm", W_OK) == 0;
  g_root = std::string(memory ? "/dev/shm" : "/tmp") + "/parcelfuzz-" + std::to_string(getpid());
  RemoveStaleSandboxes("/dev/shm");
  RemoveStaleSandboxes("/tmp");
  g_rootWin32 = Win32Of(g_root);
  std::atexit(CleanUp);

  // No operator: every question meets the end of input. Standard output
  // goes to a memory file that each run reads back.
  int in = open("/dev/null", O_RDONLY);
  g_output = memfd_create("parcelstub-output", 0);
  if (in < 0 || g_output < 0) std::abort();
  dup2(in, STDIN_FILENO);
  close(in);
  std::fflush(stdout);
  dup2(g_output, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzset::SetImage image = fuzzset::Decode(data, size);
  // PARCEL_FUZZ_OPTIONS_MASK keeps only some of the input's options, so that
  // a long run can stay away from a fault that is already known.
  static const unsigned optionsMask = [] {
    const char* text = std::getenv("PARCEL_FUZZ_OPTIONS_MASK");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : 0xFFu;
  }();
  image.options = static_cast<uint8_t>(image.options & optionsMask);

  // A fresh sandbox: src/ with the set, dest/ (unless the input says it is
  // missing), a file beside them that nothing may touch.
  RemoveTree(g_root);
  fs::create_directories(g_root + "/src");
  WriteFile(g_root + "/outside.txt", Bytes{'k', 'e', 'e', 'p'});
  bool programGiven = false;
  for (const auto& entry : image.entries) {
    WriteFile(g_root + "/src/" + fuzzset::kEntryNames[entry.name], entry.bytes);
    programGiven = programGiven || entry.name == fuzzset::kProgramEntry;
  }
  if (!programGiven) WriteFile(g_root + "/src/set.exe", fuzzset::FakeProgram());

  const bool nested = image.options & fuzzset::kOptNestedDest;
  const bool relative = image.options & fuzzset::kOptRelativeDest;
  const bool noDest = nested || (image.options & fuzzset::kOptNoDest);
  if (!noDest) fs::create_directories(g_root + "/dest");
  const std::string destTail = nested ? "dest\\deep\\er" : "dest";
  const std::string destArgument = relative ? "..\\" + destTail : g_rootWin32 + "\\" + destTail;
  const std::string destOem = g_rootWin32 + "\\" + destTail + "\\";

  // Stale files of the stored names, longer than anything a piece writes.
  std::set<ino_t> stale;
  if ((image.options & fuzzset::kOptStaleFiles) && !noDest) {
    SetFileApisToOEM();
    for (const auto& entry : image.entries) {
      for (const auto& piece : fuzzmodel::ParseVolume(entry.bytes).pieces) {
        const std::string name = OemOf(piece.header.name);
        if (!IsSafeStoredName(name)) continue;
        HANDLE h = CreateFileA((destOem + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        static const uint8_t junk[300] = {0xEE, 0xEE, 0xEE, 0xEE};
        DWORD written = 0;
        WriteFile(h, junk, sizeof junk, &written, nullptr);
        CloseHandle(h);
        ino_t inode = 0;
        if (Identify(destOem + name, inode)) stale.insert(inode);
      }
    }
  }

  // Links where the pieces go: at a stored name itself, or at its first
  // level, each to something outside the destination (a file, a folder, a
  // name that does not exist, a volume of the set).
  std::map<std::string, std::string> planted;  // link -> target
  if ((image.options & fuzzset::kOptPlantedLinks) && !noDest) {
    fs::create_directories(g_root + "/outdir");
    WriteFile(g_root + "/outdir/x.txt", Bytes{'o', 'u', 't'});
    SetFileApisToOEM();
    size_t k = 0;
    for (const auto& entry : image.entries) {
      for (const auto& piece : fuzzmodel::ParseVolume(entry.bytes).pieces) {
        const std::string name = OemOf(piece.header.name);
        std::string unixPath;
        if (!IsSafeStoredName(name) || !emu::UnixPathOf(destOem + name, unixPath)) continue;
        const std::string destUnix = g_root + "/" + (nested ? "dest/deep/er" : "dest") + "/";
        if (unixPath.compare(0, destUnix.size(), destUnix) != 0) continue;
        const std::string relative = unixPath.substr(destUnix.size());
        const size_t slash = relative.find('/');
        std::string at = unixPath;
        std::string target;
        if (slash != std::string::npos && k % 2 == 1) {
          at = destUnix + relative.substr(0, slash);
          target = g_root + "/outdir";
        } else {
          static const char* const kTargets[] = {"/outside.txt", "/outdir/new.txt", "/src/set.s02",
                                                 "/outdir"};
          target = g_root + kTargets[k % 4];
        }
        ++k;
        std::error_code ec;
        fs::create_directories(fs::path(at).parent_path(), ec);
        struct stat st {};
        if (ec || lstat(at.c_str(), &st) == 0 || symlink(target.c_str(), at.c_str()) != 0) continue;
        planted[at] = target;
        if (lstat(at.c_str(), &st) == 0) stale.insert(st.st_ino);
      }
    }
  }

  std::map<std::string, std::string> before;
  Snapshot(g_root, "", before);

  // The run, as the program body makes it.
  g_modulePath = g_rootWin32 + "\\src\\set.exe";
  g_commandLine = "\"" + g_modulePath + "\" \"" + destArgument + "\"";
  if (chdir((g_root + "/src").c_str()) != 0) std::abort();
  ResetOutput();
  clearerr(stdin);
  SetFileApisToANSI();
  RunProgram();
  if (chdir(g_startCwd.c_str()) != 0) std::abort();
  g_log = ReadOutput();
  static const bool verbose = std::getenv("PARCEL_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "---- program output:\n%s----\n", g_log.c_str());

  // Nothing outside the destination changes.
  std::map<std::string, std::string> after;
  Snapshot(g_root, "", after);
  for (const auto& [path, content] : after) {
    auto it = before.find(path);
    if (it == before.end()) Finding("created outside the destination: " + path);
    if (it->second != content) Finding("changed outside the destination: " + path);
  }
  for (const auto& [path, content] : before) {
    if (after.count(path) == 0) Finding("removed outside the destination: " + path);
  }
  // A planted link was neither followed (above) nor replaced.
  for (const auto& [link, target] : planted) {
    char text[4096];
    const ssize_t n = readlink(link.c_str(), text, sizeof text);
    if (n < 0 || std::string(text, static_cast<size_t>(n)) != target) {
      Finding("a planted link was replaced: " + link);
    }
  }

  // Every file in the destination was named by a piece the run processed,
  // or was there before.
  std::set<ino_t> named = stale;
  for (const Block& block : ParseBlocks(g_log)) {
    for (const std::string& path : block.processed) {
      ino_t inode = 0;
      if (Identify(path, inode)) named.insert(inode);
    }
  }
  std::vector<std::pair<std::string, ino_t>> destFiles;
  CollectFiles(g_root + "/dest", destFiles);
  for (const auto& [path, inode] : destFiles) {
    if (named.count(inode) == 0) Finding("a file in the destination that no piece named: " + path);
  }

  if (g_log.find("[Action request] Launch combined file(s)?") != std::string::npos) {
    CheckLaunchClaim(g_log, image, destOem);
  }
  return 0;
}

// ---------------------------------------------------------------- mutator
// Structure-aware changes to a set (SetMutator.h); libFuzzer's own byte
// mutations do the rest.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  return fuzzset::MutateSet(data, size, maxSize, seed);
}
