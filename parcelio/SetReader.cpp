#include "parcelio/SetReader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "parcelio/Names.h"
#include "parcelio/SafeOutput.h"

namespace parcelio {

namespace {

constexpr int64_t SignatureBytes = 9;
constexpr int64_t RecordBytes = 30;
constexpr int64_t HeaderBytes = 34;

template <typename T>
T Le(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = sizeof(T); i-- > 0;) v = (v << 8) | p[i];
  return static_cast<T>(v);
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool SameTextIgnoringCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  return true;
}

// The checks of the signature reader: the magic in any letter case, major
// version 2, minor version at most 3.
bool SignatureOk(const uint8_t* p) {
  return SameTextIgnoringCase(reinterpret_cast<const char*>(p), "PARCEL", 6) && p[7] == 2 && p[8] <= 3;
}

// Reads through a window of the file, so that a volume of many small pieces
// costs a few large reads rather than three small ones per piece.
class Cursor {
 public:
  Cursor(File& file, int64_t end) : file_(file), end_(end), buffer_(new uint8_t[Capacity]) {}

  // Up to count bytes at position, never past the end given; answers how
  // many were delivered (fewer at the end or on a failed read).
  int64_t Get(int64_t position, uint8_t* out, int64_t count) {
    int64_t done = 0;
    while (done < count && position + done < end_) {
      const int64_t at = position + done;
      if (at < bufferPos_ || at >= bufferPos_ + bufferLength_) {
        const int64_t want = std::min<int64_t>(Capacity, end_ - at);
        const int64_t got = file_.ReadAt(at, buffer_.get(), want);
        if (got <= 0) {
          failed_ = got < 0;
          break;
        }
        bufferPos_ = at;
        bufferLength_ = got;
      }
      const int64_t take = std::min(count - done, bufferPos_ + bufferLength_ - at);
      std::memcpy(out + done, buffer_.get() + (at - bufferPos_), static_cast<size_t>(take));
      done += take;
    }
    return done;
  }

  bool Failed() const { return failed_; }

 private:
  static constexpr int64_t Capacity = 256 * 1024;
  File& file_;
  int64_t end_;
  std::unique_ptr<uint8_t[]> buffer_;
  int64_t bufferPos_ = 0;
  int64_t bufferLength_ = 0;
  bool failed_ = false;
};

// Finds the volume's data in an open file and reads its volume record.
bool Locate(File& file, VolumeEntry& volume, SetIdBytes& id) {
  const int64_t size = file.Size();
  if (size < 0) return false;
  uint8_t head[SignatureBytes + RecordBytes];
  int64_t got = file.ReadAt(0, head, sizeof head);
  if (got >= SignatureBytes && SignatureOk(head)) {
    volume.start = 0;
    volume.cleanEnd = size;
  } else {
    // A self-joining file: its last 4 bytes give the signature's position.
    uint8_t trailer[4];
    if (size < 4 || file.ReadAt(size - 4, trailer, 4) != 4) return false;
    const int64_t start = Le<uint32_t>(trailer);
    got = start + static_cast<int64_t>(sizeof head) <= size - 4 ? file.ReadAt(start, head, sizeof head) : 0;
    if (got < SignatureBytes || !SignatureOk(head)) return false;
    volume.start = start;
    volume.cleanEnd = size - 4;
  }
  if (got < SignatureBytes + RecordBytes) return false;
  const uint8_t* record = head + SignatureBytes;
  std::memcpy(id.data(), record, 8);
  volume.checkMode = record[8];
  volume.number = Le<int32_t>(record + 9);
  volume.isLast = record[13] != 0;
  volume.spaceNeeded = Le<int64_t>(record + 14);
  return true;
}

// The pieces of one volume: header after header, each data range skipped.
// The sequence ends cleanly only at the volume's clean end.
void ReadPieces(File& file, VolumeEntry& volume, SetInfo& set,
                std::unordered_map<std::string, uint32_t>& byName) {
  Cursor cursor(file, volume.cleanEnd);
  int64_t pos = volume.start + SignatureBytes + RecordBytes;
  uint8_t fixed[HeaderBytes];
  std::string name;
  while (pos < volume.cleanEnd) {
    auto damaged = [&](const std::string& what) {
      volume.damagedAt = pos;
      volume.damage = cursor.Failed() ? "read error: " + LastErrorText() : what;
    };
    if (cursor.Get(pos, fixed, HeaderBytes) != HeaderBytes) return damaged("piece header cut short");
    if (!SameTextIgnoringCase(reinterpret_cast<const char*>(fixed), "FHDR", 4))
      return damaged("not a piece header");
    PieceEntry piece;
    piece.offset = Le<int64_t>(fixed + 12);
    piece.size = Le<int64_t>(fixed + 20);
    piece.crc = Le<uint32_t>(fixed + 28);
    const uint16_t nameLength = Le<uint16_t>(fixed + 32);
    name.resize(nameLength);
    if (cursor.Get(pos + HeaderBytes, reinterpret_cast<uint8_t*>(&name[0]), nameLength) != nameLength)
      return damaged("piece header cut short");
    uint8_t marker[2];
    if (cursor.Get(pos + HeaderBytes + nameLength, marker, 2) != 2 || marker[0] != 'D' || marker[1] != 'S')
      return damaged("piece header without its end marker");
    if (piece.size < 0 || piece.offset < 0 || piece.offset > INT64_MAX - piece.size)
      return damaged("piece with an impossible offset or size");
    piece.dataPos = pos + HeaderBytes + nameLength + 2;
    if (piece.size > volume.cleanEnd - piece.dataPos) return damaged("piece data cut short");

    auto found = byName.find(name);
    if (found == byName.end()) {
      found = byName.emplace(name, static_cast<uint32_t>(set.files.size())).first;
      FileEntry entry;
      entry.stored = name;
      entry.name = FromCp1252(name);
      set.files.push_back(std::move(entry));
    }
    piece.file = found->second;
    FileEntry& entry = set.files[piece.file];
    entry.size = std::max(entry.size, piece.offset + piece.size);
    ++entry.pieces;
    if (entry.volumes.empty() || entry.volumes.back() != volume.number) entry.volumes.push_back(volume.number);
    volume.pieces.push_back(piece);
    pos = piece.dataPos + piece.size;
  }
}

std::string FoldAscii(std::string text) {
  for (char& c : text) c = UpperAscii(c);
  return text;
}

}  // namespace

bool SetInfo::Damaged() const {
  for (const VolumeEntry& volume : volumes)
    if (volume.damagedAt >= 0) return true;
  return false;
}

bool ReadSet(const fs::path& given, SetInfo& set, std::string& error) {
  set = SetInfo();
  const std::string givenName = Utf8Of(given);
  File file;
  if (!file.Open(given, File::Mode::Read)) {
    error = givenName + ": " + LastErrorText();
    return false;
  }
  VolumeEntry first;
  if (!Locate(file, first, set.id)) {
    error = givenName + ": not a volume of a split set";
    return false;
  }
  file.Close();

  // Every file beside it with its base name and any extension.
  const fs::path dir = given.has_parent_path() ? given.parent_path() : fs::path(".");
  const std::string base = FoldAscii(Utf8Of(given.filename().stem()));
  std::vector<fs::path> candidates;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = FoldAscii(Utf8Of(it->path().filename()));
    if (name != base && name.compare(0, base.size() + 1, base + ".") != 0) continue;
    // A file being written, or set aside, by a run of parcel is no volume.
    if (IsTemporaryName(Utf8Of(it->path().filename()))) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    candidates.push_back(it->path());
  }
  if (ec) {
    error = Utf8Of(dir) + ": " + ErrorText(ec);
    return false;
  }
  std::sort(candidates.begin(), candidates.end());

  std::vector<VolumeEntry> found;
  for (const fs::path& path : candidates) {
    VolumeEntry volume;
    SetIdBytes id{};
    if (!file.Open(path, File::Mode::Read) || !Locate(file, volume, id) || id != set.id) continue;
    file.Close();
    volume.path = path;
    volume.name = Utf8Of(given.has_parent_path() ? path : path.filename());
    std::error_code same;
    // The volume named by the user comes first among volumes of one number.
    const bool isGiven = fs::equivalent(path, given, same);
    found.insert(isGiven ? found.begin() : found.end(), std::move(volume));
  }
  if (found.empty()) {
    // The given volume was not found by its directory listing (a name the
    // listing spells otherwise); take it as it was named.
    first.path = given;
    first.name = givenName;
    found.push_back(std::move(first));
  }

  std::stable_sort(found.begin(), found.end(),
                   [](const VolumeEntry& a, const VolumeEntry& b) { return a.number < b.number; });
  for (VolumeEntry& volume : found) {
    if (volume.number <= 0) {
      set.notes.push_back(volume.name + ": volume number " + std::to_string(volume.number) + " is not valid; ignored");
      continue;
    }
    if (!set.volumes.empty() && set.volumes.back().number == volume.number) {
      set.notes.push_back(volume.name + ": volume " + std::to_string(volume.number) + " again (as " +
                          set.volumes.back().name + "); ignored");
      continue;
    }
    if (volume.isLast && set.lastNumber == 0) set.lastNumber = volume.number;
    set.volumes.push_back(std::move(volume));
  }
  if (set.lastNumber > 0) {
    while (!set.volumes.empty() && set.volumes.back().number > set.lastNumber) {
      set.notes.push_back(set.volumes.back().name + ": volume " + std::to_string(set.volumes.back().number) +
                          " lies beyond the last volume " + std::to_string(set.lastNumber) + "; ignored");
      set.volumes.pop_back();
    }
  }
  const int32_t upTo = set.lastNumber > 0 ? set.lastNumber : set.volumes.empty() ? 0 : set.volumes.back().number;
  size_t next = 0;
  for (int32_t n = 1; n <= upTo; ++n) {
    if (next < set.volumes.size() && set.volumes[next].number == n) {
      ++next;
    } else {
      set.missing.push_back(n);
    }
  }

  std::unordered_map<std::string, uint32_t> byName;
  for (VolumeEntry& volume : set.volumes) {
    if (!file.Open(volume.path, File::Mode::Read)) {
      volume.damagedAt = volume.start;
      volume.damage = "cannot open: " + LastErrorText();
      continue;
    }
    ReadPieces(file, volume, set, byName);
    file.Close();
  }
  return true;
}

std::string NumbersText(const std::vector<int32_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(numbers[i]);
    if (j > i) text += (j == i + 1 ? ", " : "-") + std::to_string(numbers[j]);
    i = j + 1;
  }
  return text;
}

}  // namespace parcelio
