// Temporary files that become final files only when complete, their names,
// and the removal of the ones that killed runs left behind.
#include "parcelio/SafeOutput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

namespace parcelio {

namespace {

// U+2234 in UTF-8.
constexpr char Mark[] = "\xE2\x88\xB4";
constexpr size_t MarkBytes = sizeof Mark - 1;

// Room left for the final name in a temporary one (255 bytes is the usual
// limit of a name; the rest of the pattern takes at most 30).
constexpr size_t TargetBytes = 200;

std::string Shortened(const std::string& name) {
  if (name.size() <= TargetBytes) return name;
  size_t end = TargetBytes;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;  // a whole character
  return name.substr(0, end);
}

uint32_t NextTag() {
  static std::atomic<uint32_t> counter{0};
  static const uint32_t seed = [] {
    std::random_device device;
    return device() ^ static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  uint32_t x = seed + 0x9E3779B9u * ++counter;
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

bool AllOf(const std::string& text, const char* allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

}  // namespace

std::string TemporaryName(const std::string& finalName, const std::string& kind) {
  char tail[40];
  std::snprintf(tail, sizeof tail, "%u-%08x.", static_cast<unsigned>(ProcessId()), static_cast<unsigned>(NextTag()));
  return "." + Shortened(finalName) + Mark + tail + kind;
}

std::string LockName(const std::string& base) { return "." + Shortened(base) + Mark + "split.lock"; }

bool ParseTemporaryName(const std::string& name, TemporaryNameParts& parts) {
  const size_t mark = name.rfind(Mark);
  if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return false;
  const std::string tail = name.substr(mark + MarkBytes);  // PID-TAG.KIND
  const size_t dash = tail.find('-'), dot = tail.find('.');
  if (dash == std::string::npos || dot == std::string::npos || dot != dash + 9) return false;
  const std::string pid = tail.substr(0, dash), tag = tail.substr(dash + 1, 8), kind = tail.substr(dot + 1);
  if (!AllOf(pid, "0123456789") || pid.size() > 10 || !AllOf(tag, "0123456789abcdef")) return false;
  if (kind != "part" && kind != "old") return false;
  parts.target = name.substr(1, mark - 1);
  parts.pid = static_cast<uint32_t>(std::stoull(pid));
  parts.kind = kind;
  return true;
}

bool IsTemporaryName(const std::string& name) {
  TemporaryNameParts parts;
  if (ParseTemporaryName(name, parts)) return true;
  const std::string lockTail = std::string(Mark) + "split.lock";
  return name.size() > lockTail.size() + 1 && name[0] == '.' &&
         name.compare(name.size() - lockTail.size(), lockTail.size(), lockTail) == 0;
}

size_t RemoveStaleTemporaries(const Dir& dir, const std::function<bool(const std::string&)>& which) {
  std::vector<std::string> names;
  if (!dir.List(names)) return 0;
  size_t removed = 0;
  for (const std::string& name : names) {
    TemporaryNameParts parts;
    if (!ParseTemporaryName(name, parts) || parts.pid == ProcessId() || ProcessRuns(parts.pid)) continue;
    if (!which(parts.target) || dir.KindOf(name) != Dir::Kind::File || !dir.OwnedByMe(name)) continue;
    if (dir.Remove(name)) ++removed;
  }
  return removed;
}

// ------------------------------------------------------------------ PendingFile
PendingFile::~PendingFile() { Discard(); }

bool PendingFile::Create(std::shared_ptr<const Dir> dir, const std::string& finalName) {
  Discard();
  dir_ = std::move(dir);
  final_ = finalName;
  // Another run may have drawn the same tag: a few tries.
  for (int attempt = 0; attempt < 8; ++attempt) {
    temp_ = TemporaryName(finalName, "part");
    // Registered first: an interruption between the two removes nothing
    // that is not ours, since the name cannot exist yet.
    RegisterTemporary(*dir_, temp_);
    if (dir_->CreateNew(temp_, file_)) {
      live_ = true;
      return true;
    }
    const bool taken = LastErrorIsExists();
    DropTemporary(*dir_, temp_);
    if (!taken) break;
  }
  return false;
}

bool PendingFile::Finish(bool sync) {
  const bool synced = !sync || file_.Sync();
  file_.Close();
  return synced;
}

bool PendingFile::Place(bool replace) {
  file_.Close();
  if (!dir_->Rename(temp_, final_, replace)) return false;
  DropTemporary(*dir_, temp_);
  live_ = false;
  return true;
}

bool PendingFile::Unplace() {
  if (live_ || !dir_ || !dir_->Rename(final_, temp_, false)) return false;
  RegisterTemporary(*dir_, temp_);
  live_ = true;
  return true;
}

void PendingFile::Discard() {
  file_.Close();
  if (!live_) return;
  dir_->Remove(temp_);
  DropTemporary(*dir_, temp_);
  live_ = false;
}

// ------------------------------------------------------------------ Placement
namespace {

// Files at least this large are flushed on their own; smaller ones wait
// until this many, or this many bytes, are waiting.
constexpr int64_t OwnFlushFrom = 8 << 20;
constexpr size_t GroupFiles = 256;
constexpr int64_t GroupBytes = 64 << 20;

}  // namespace

Placement::Placement(bool sync, bool replace, Report report)
    : sync_(sync), replace_(replace), report_(std::move(report)) {}

Placement::~Placement() = default;

void Placement::PlaceOne(PendingFile& file, const std::string& shown) {
  if (!file.Place(replace_)) report_(shown, LastErrorIsExists());
}

bool Placement::Add(std::unique_ptr<PendingFile> file, const std::string& shown, int64_t size) {
  if (sync_ && FileSystemSyncs() && size < OwnFlushFrom) {
    if (!file->Finish(false)) return false;
    waiting_.emplace_back(std::move(file), shown);
    waitingBytes_ += size;
    return waiting_.size() < GroupFiles && waitingBytes_ < GroupBytes ? true : Flush();
  }
  if (!file->Finish(sync_)) return false;
  PlaceOne(*file, shown);
  return true;
}

bool Placement::Flush() {
  // One flush per file system the waiting files are on.
  std::vector<uint64_t> devices;
  for (const auto& [file, shown] : waiting_) {
    FileId id;
    file->dir().KindOf(".", &id);
    if (std::find(devices.begin(), devices.end(), id.device) != devices.end()) continue;
    devices.push_back(id.device);
    if (!SyncFileSystem(file->dir())) {
      waiting_.clear();
      waitingBytes_ = 0;
      return false;
    }
  }
  for (auto& [file, shown] : waiting_) PlaceOne(*file, shown);
  waiting_.clear();
  waitingBytes_ = 0;
  return true;
}

// ------------------------------------------------------------------ SwitchSet
bool SwitchSet(const Dir& dir, const std::vector<PendingFile*>& newFiles, const std::vector<std::string>& oldFiles,
               std::string& failedName, std::string& reason, std::vector<std::string>& notRemoved) {
  HoldInterrupts hold;
  std::vector<std::pair<std::string, std::string>> aside;  // name, name set aside
  std::vector<PendingFile*> placed;
  auto undo = [&](const std::string& name) {
    failedName = name;
    reason = LastErrorText();
    for (size_t i = placed.size(); i-- > 0;) placed[i]->Unplace();
    for (size_t i = aside.size(); i-- > 0;) dir.Rename(aside[i].second, aside[i].first, false);
    return false;
  };
  for (const std::string& name : oldFiles) {
    const std::string asideName = TemporaryName(name, "old");
    if (dir.Rename(name, asideName, false)) {
      aside.emplace_back(name, asideName);
    } else if (dir.KindOf(name) != Dir::Kind::None) {  // gone meanwhile: nothing to set aside
      return undo(name);
    }
  }
  for (PendingFile* file : newFiles) {
    if (!file->Place(false)) return undo(file->finalName());
    placed.push_back(file);
  }
  for (const auto& [name, asideName] : aside)
    if (!dir.Remove(asideName)) notRemoved.push_back(name);
  return true;
}

// ------------------------------------------------------------------ FolderTree
FolderTree::FolderTree(Dir root) : root_(std::make_shared<const Dir>(std::move(root))) {}

std::shared_ptr<const Dir> FolderTree::Open(const std::string& relative, std::string& failedLevel) {
  std::shared_ptr<const Dir> folder;
  if (relative.empty()) {
    folder = root_;
  } else if (auto known = open_.find(relative); known != open_.end()) {
    folder = known->second.lock();
  }
  if (!folder) {
    // Level by level from the destination: each one opened from its parent.
    std::shared_ptr<const Dir> parent = root_;
    size_t start = 0;
    for (;;) {
      const size_t slash = relative.find('/', start);
      const std::string level = relative.substr(0, slash);
      auto next = std::make_shared<Dir>();
      if (!next->OpenLevel(*parent, relative.substr(start, slash - start), true)) {
        failedLevel = level;
        return nullptr;
      }
      parent = std::move(next);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    folder = parent;
    open_[relative] = folder;
  }
  if (!cleaned_[relative]) {
    cleaned_[relative] = true;
    RemoveStaleTemporaries(*folder, [](const std::string&) { return true; });
  }
  last_ = folder;
  return folder;
}

}  // namespace parcelio
