// parcel's set reader: finds the volumes beside a given one, locates each
// volume's data by the format's rule (VolumeFormat.h), lists every piece
// through a read window without reading its data, and works out what the
// set lacks or holds twice (missing numbers, foreign volumes, gaps and
// overlaps in the files, totals beyond 64 bits).
#include "parcelio/SetReader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "VolumeFormat/VolumeFormat.h"
#include "parcelio/Names.h"
#include "parcelio/SafeOutput.h"

namespace parcelio {

namespace {

namespace vf = volformat;

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

// Finds the volume's data in an open file (see volformat::LocateVolume) and
// reads its volume record; the signature and the record must lie before the
// pieces' end (before the trailer, in a self-joining file).
bool Locate(File& file, VolumeEntry& volume, SetIdBytes& id) {
  const int64_t size = file.Size();
  if (size < 0) return false;
  uint8_t head[vf::kVolumeHeadLength];
  int64_t got = 0;
  auto signatureAt = [&](int64_t position) {
    got = file.ReadAt(position, head, sizeof head);
    return got >= vf::kSignatureLength && vf::CheckSignature(head) == vf::SignatureCheck::Sound;
  };
  auto trailerAt = [&](int64_t position, uint8_t* trailer) {
    return file.ReadAt(position, trailer, vf::kTrailerLength) == vf::kTrailerLength;
  };
  vf::VolumePlace place;
  if (!vf::LocateVolume(size, signatureAt, trailerAt, place)) return false;
  if (got < vf::kVolumeHeadLength || place.start + vf::kVolumeHeadLength > place.dataEnd) return false;
  volume.start = place.start;
  volume.cleanEnd = place.dataEnd;
  const vf::VolumeRecordFields record = vf::DecodeVolumeRecord(head + vf::kSignatureLength);
  std::memcpy(id.data(), record.setId, id.size());
  volume.checkMode = record.checkMode;
  volume.number = record.volumeNumber;
  volume.isLast = record.isLast;
  volume.spaceNeeded = record.spaceNeeded;
  return true;
}

// The pieces of one volume: header after header, each data range skipped.
// The sequence ends cleanly only at the volume's clean end.
void ReadPieces(File& file, VolumeEntry& volume, SetInfo& set,
                std::unordered_map<std::string, uint32_t>& byName) {
  Cursor cursor(file, volume.cleanEnd);
  int64_t pos = volume.start + vf::kVolumeHeadLength;
  uint8_t fixed[vf::kPieceHeaderFixedLength];
  std::string name;
  while (pos < volume.cleanEnd) {
    auto damaged = [&](const std::string& what) {
      volume.damagedAt = pos;
      volume.damage = cursor.Failed() ? "read error: " + LastErrorText() : what;
    };
    if (cursor.Get(pos, fixed, vf::kPieceHeaderFixedLength) != vf::kPieceHeaderFixedLength)
      return damaged("piece header cut short");
    if (!vf::PieceTagMatches(fixed + vf::kHeaderTag)) return damaged("not a piece header");
    const vf::PieceHeaderFields fields = vf::DecodePieceHeader(fixed);
    PieceEntry piece;
    piece.offset = fields.fileOffset;
    piece.size = fields.dataSize;
    piece.crc = fields.crc;
    const uint16_t nameLength = fields.nameLength;
    const int64_t nameAt = pos + vf::kPieceHeaderFixedLength;
    name.resize(nameLength);
    if (cursor.Get(nameAt, reinterpret_cast<uint8_t*>(&name[0]), nameLength) != nameLength)
      return damaged("piece header cut short");
    uint8_t marker[vf::kEndMarkerLength];
    if (cursor.Get(nameAt + nameLength, marker, vf::kEndMarkerLength) != vf::kEndMarkerLength ||
        !vf::EndMarkerMatches(marker))
      return damaged("piece header without its end marker");
    if (piece.size < 0 || piece.offset < 0 || piece.offset > INT64_MAX - piece.size)
      return damaged("piece with an impossible offset or size");
    piece.dataPos = nameAt + nameLength + vf::kEndMarkerLength;
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

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string FoldAscii(std::string text) {
  for (char& c : text) c = UpperAscii(c);
  return text;
}

// a + b into sum, false when the true sum is beyond 64 bits.
bool AddChecked(int64_t a, int64_t b, int64_t& sum) { return !__builtin_add_overflow(a, b, &sum); }

std::string CrcModeText(uint8_t mode) {
  return std::to_string(mode) + (mode == vf::kNoCrcCheck ? " (no CRCs)" : " (CRCs compared)");
}

// Keeps the volumes the set can hold: numbers from 1, each once (the one
// the user named, else the first by name), none above the lowest one marked
// last, and a highest number that leaves room for a last volume. The others
// are faults, or, for a second volume of one number, a note.
void ChooseVolumes(std::vector<VolumeEntry>& found, SetInfo& set) {
  std::stable_sort(found.begin(), found.end(),
                   [](const VolumeEntry& a, const VolumeEntry& b) { return a.number < b.number; });
  std::vector<VolumeEntry> kept;
  for (VolumeEntry& volume : found) {
    const std::string number = std::to_string(volume.number);
    if (volume.number <= 0) {
      set.AddFault(volume.name, "damaged volume: volume number " + number + " (numbers start at 1)");
    } else if (!kept.empty() && kept.back().number == volume.number) {
      set.notes.push_back(volume.name + ": volume " + number + " again (as " + kept.back().name + "); ignored");
    } else {
      if (volume.isLast && set.lastNumber == 0) set.lastNumber = volume.number;
      kept.push_back(std::move(volume));
    }
  }
  for (VolumeEntry& volume : kept) {
    const std::string number = std::to_string(volume.number);
    if (set.lastNumber > 0 && volume.number > set.lastNumber) {
      set.AddFault(volume.name, "damaged volume: volume number " + number + " lies beyond the last volume, " +
                                    std::to_string(set.lastNumber));
    } else if (set.lastNumber == 0 && volume.number == INT32_MAX) {
      set.AddFault(volume.name, "damaged volume: volume number " + number +
                                    " is the highest a set can hold, but the volume is not marked last");
    } else {
      set.volumes.push_back(std::move(volume));
    }
  }
}

// The numbers from 1 to the last volume (or the highest found) that no
// volume carries, as ranges: the work grows with the volumes found, not
// with their numbers.
void FindMissing(SetInfo& set) {
  const int32_t upTo = set.lastNumber > 0 ? set.lastNumber : set.volumes.empty() ? 0 : set.volumes.back().number;
  int64_t next = 1;  // the lowest number not yet accounted for
  auto gapUpTo = [&](int64_t end) {  // the numbers next .. end - 1 are missing
    if (end <= next) return;
    set.missing.push_back({static_cast<int32_t>(next), static_cast<int32_t>(end - 1)});
    set.missingCount += end - next;
  };
  for (const VolumeEntry& volume : set.volumes) {
    gapUpTo(volume.number);
    next = int64_t{volume.number} + 1;
  }
  gapUpTo(int64_t{upTo} + 1);
}

// Volumes that disagree on CRC checking make the set damaged: one of them
// has a damaged record, and whether the set was made with CRCs cannot be
// told.
void CheckCrcModes(SetInfo& set) {
  if (set.volumes.empty()) return;
  const VolumeEntry& first = set.volumes.front();
  for (const VolumeEntry& volume : set.volumes) {
    if (volume.checkMode != first.checkMode) {
      set.AddFault(volume.name, "damaged volume: CRC mode " + CrcModeText(volume.checkMode) + ", but volume " +
                                    std::to_string(first.number) + " has CRC mode " +
                                    CrcModeText(first.checkMode) + ": the volumes disagree on CRC checking");
    }
  }
  set.crcsRecorded = first.checkMode != vf::kNoCrcCheck;
}

// The totals in checked arithmetic; a total beyond 64 bits is a fault.
void AddUpTotals(SetInfo& set, const std::string& given) {
  bool over = false;
  for (const FileEntry& file : set.files) {
    over = over || !AddChecked(set.totalSize, file.size, set.totalSize);
    set.totalPieces += file.pieces;
  }
  for (const VolumeEntry& volume : set.volumes)
    for (const PieceEntry& piece : volume.pieces) over = over || !AddChecked(set.dataBytes, piece.size, set.dataBytes);
  if (over) {
    set.totalSize = -1;
    set.AddFault(given, "damaged set: the files add up to more than " + std::to_string(INT64_MAX) + " bytes");
  }
}

// Every file of a complete, sound set must be covered by its pieces exactly.
void CheckFilesWhole(SetInfo& set) {
  std::vector<std::vector<Span>> spans(set.files.size());
  for (const VolumeEntry& volume : set.volumes)
    for (const PieceEntry& piece : volume.pieces) spans[piece.file].push_back({piece.offset, piece.size, volume.number});
  for (size_t i = 0; i < set.files.size(); ++i) {
    CheckCoverage(spans[i], set.files[i].size,
                  [&](const std::string& what) { set.AddFault(set.files[i].name, "damaged set: " + what); });
    std::vector<Span>().swap(spans[i]);
  }
}

}  // namespace

bool SetInfo::Damaged() const {
  if (faultCount > 0) return true;
  for (const VolumeEntry& volume : volumes)
    if (volume.damagedAt >= 0) return true;
  return false;
}

void SetInfo::AddFault(const std::string& where, const std::string& what) {
  if (faults.size() < KeptFaults) faults.push_back({where, what});
  ++faultCount;
}

void CheckCoverage(std::vector<Span>& spans, int64_t size, const std::function<void(const std::string&)>& report) {
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.size < b.size;
  });
  auto bytes = [](int64_t from, int64_t to) {  // to is past the last byte
    return to - from == 1 ? "byte " + std::to_string(from)
                          : "bytes " + std::to_string(from) + " to " + std::to_string(to - 1);
  };
  int64_t covered = 0;       // bytes 0 .. covered - 1 are held by a piece
  int32_t coveredBy = 0;     // the volume of the piece that reaches furthest
  for (const Span& span : spans) {
    if (span.size <= 0) continue;
    const int64_t end = span.offset + span.size;  // the reader refuses pieces past 64 bits
    if (span.offset > covered) {
      report("no piece holds " + bytes(covered, span.offset));
    } else if (span.offset < covered) {
      const int64_t overlapEnd = std::min(end, covered);
      report(bytes(span.offset, overlapEnd) + (overlapEnd - span.offset == 1 ? " is" : " are") +
             " held by two pieces (volume " +
             std::to_string(coveredBy) + " and volume " + std::to_string(span.volume) + ")");
    }
    if (end > covered) {
      covered = end;
      coveredBy = span.volume;
    }
  }
  if (covered < size) report("no piece holds " + bytes(covered, size));
}

bool ReadSet(const fs::path& given, SetInfo& set, std::string& error) {
  set = SetInfo();
  const std::string givenName = Utf8Of(given);
  // A pipe or a device is never opened: reading one could wait for ever.
  std::error_code statusError;
  const fs::file_status status = fs::status(given, statusError);
  if (fs::is_directory(status)) {
    error = givenName + ": Is a directory";
    return false;
  }
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    error = givenName + ": not a regular file";
    return false;
  }
  File file;
  if (!file.Open(given, File::Mode::Read)) {
    error = givenName + ": " + LastErrorText();
    return false;
  }
  if (!file.IsRegular()) {
    error = givenName + ": not a regular file";
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
    if (!file.Open(path, File::Mode::Read) || !file.IsRegular() || !Locate(file, volume, id)) continue;
    file.Close();
    volume.path = path;
    volume.name = Utf8Of(given.has_parent_path() ? path : path.filename());
    if (id != set.id) {
      set.foreign.push_back({volume.name, volume.number});
      continue;
    }
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

  ChooseVolumes(found, set);
  FindMissing(set);
  CheckCrcModes(set);

  std::unordered_map<std::string, uint32_t> byName;
  for (VolumeEntry& volume : set.volumes) {
    if (!file.Open(volume.path, File::Mode::Read) || !file.IsRegular()) {
      volume.damagedAt = volume.start;
      volume.damage = "cannot open: " + LastErrorText();
      continue;
    }
    ReadPieces(file, volume, set, byName);
    file.Close();
  }
  AddUpTotals(set, givenName);
  // Gaps are to be expected while volumes are missing or damaged; they are
  // looked for once the set is complete and every volume sound.
  if (set.Complete() && !set.Damaged()) CheckFilesWhole(set);
  return true;
}

std::string NumbersText(const std::vector<int32_t>& numbers) {
  std::vector<NumberRange> ranges;
  for (int32_t n : numbers) {
    if (!ranges.empty() && int64_t{ranges.back().last} + 1 == n) {
      ranges.back().last = n;
    } else {
      ranges.push_back({n, n});
    }
  }
  return RangesText(ranges, ranges.size());
}

std::string RangesText(const std::vector<NumberRange>& ranges, size_t shown) {
  std::string text;
  for (size_t i = 0; i < ranges.size() && i < shown; ++i) {
    const NumberRange& range = ranges[i];
    if (!text.empty()) text += ", ";
    text += std::to_string(range.first);
    if (range.last != range.first)
      text += (int64_t{range.last} == int64_t{range.first} + 1 ? ", " : "-") + std::to_string(range.last);
  }
  // U+2026, the ellipsis, in UTF-8.
  if (ranges.size() > shown) text += " \xE2\x80\xA6" "and " + std::to_string(ranges.size() - shown) + " more";
  return text;
}

}  // namespace parcelio
