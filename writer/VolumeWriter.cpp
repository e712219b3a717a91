// The volume writer. Everything here is standard C++ so that it builds for
// the host and for the Windows target alike; every field goes to its offset
// as VolumeFormat.h defines it, integers little-endian byte by byte, whatever
// the host's byte order.
#include "writer/VolumeWriter.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>

#include "CRC32/CRC32.h"

namespace volwriter {

namespace {

namespace vf = volformat;

// Exactly width bytes of text at out: cut, or padded with NULs.
void PutFixedText(uint8_t* out, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i) out[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

// Makes room for count zero bytes at the end of out; answers where they start.
uint8_t* Grow(Bytes& out, int64_t count) {
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(count), 0);
  return out.data() + at;
}

void PutBytes(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

}  // namespace

uint32_t PieceCrc(const Bytes& data) {
  // UpdateCrc32 takes a 32-bit count; larger ranges go through in parts.
  constexpr size_t Step = size_t{1} << 30;
  uint32_t crc = 0;
  size_t done = 0;
  bool first = true;
  do {
    const size_t count = std::min(Step, data.size() - done);
    UpdateCrc32(data.data() + done, static_cast<int32_t>(count), crc, first,
                done + count == data.size());
    done += count;
    first = false;
  } while (done < data.size());
  return crc;
}

namespace {

// Every field goes to its offset in the format; spare bytes stay zero.
void PutVolumeHead(Bytes& out, const Volume& volume, int64_t spaceNeeded) {
  uint8_t* signature = Grow(out, vf::kVolumeHeadLength);
  PutFixedText(signature + vf::kSignatureMagic, volume.Magic, vf::kMagicLength);
  signature[vf::kSignatureFormatByte] = volume.FormatByte;
  signature[vf::kSignatureMajor] = volume.MajorVersion;
  signature[vf::kSignatureMinor] = volume.MinorVersion;

  uint8_t* record = signature + vf::kSignatureLength;
  std::copy(volume.Set.begin(), volume.Set.end(), record + vf::kRecordSetId);
  record[vf::kRecordCheckMode] = volume.CheckMode;
  vf::StoreLe(record + vf::kRecordVolumeNumber, volume.VolumeNumber);
  record[vf::kRecordIsLast] = volume.IsLast ? 1 : 0;
  vf::StoreLe(record + vf::kRecordSpaceNeeded, spaceNeeded);
}

void PutPieceHead(Bytes& out, const Piece& piece) {
  const size_t nameLength = std::min(piece.FileName.size(), vf::kMaxNameLength);
  uint8_t* fixed = Grow(out, vf::kPieceHeaderFixedLength);
  PutFixedText(fixed + vf::kHeaderTag, piece.Tag, vf::kPieceTagLength);
  vf::StoreLe(fixed + vf::kHeaderFileOffset, piece.FileOffset);
  vf::StoreLe(fixed + vf::kHeaderDataSize, piece.DataSize.value_or(static_cast<int64_t>(piece.Data.size())));
  vf::StoreLe(fixed + vf::kHeaderCrc, piece.Crc.has_value() ? *piece.Crc : PieceCrc(piece.Data));
  vf::StoreLe(fixed + vf::kHeaderNameLength, static_cast<uint16_t>(nameLength));
  out.insert(out.end(), piece.FileName.begin(),
             piece.FileName.begin() + static_cast<std::ptrdiff_t>(nameLength));
  PutBytes(out, piece.EndMarker);
}

}  // namespace

Bytes EncodeVolumeHead(const Volume& volume) {
  Bytes out;
  PutVolumeHead(out, volume, volume.SpaceNeeded.value_or(0));
  return out;
}

Bytes EncodePieceHead(const Piece& piece) {
  Bytes out;
  PutPieceHead(out, piece);
  return out;
}

Bytes EncodeTrailer(uint32_t programSize) {
  Bytes out(static_cast<size_t>(vf::kTrailerLength));
  vf::StoreLe(out.data(), programSize);
  return out;
}

std::array<uint8_t, 4> CrcBytes(uint32_t crc) {
  return {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
          static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
}

Bytes EncodeVolume(const Volume& volume) {
  int64_t dataBytes = 0;
  size_t total = static_cast<size_t>(VolumeOverhead());
  for (const Piece& piece : volume.Pieces) {
    dataBytes += static_cast<int64_t>(piece.Data.size());
    total += static_cast<size_t>(vf::kPieceHeaderFixedLength) + piece.FileName.size() +
             piece.EndMarker.size() + piece.Data.size();
  }

  Bytes out;
  out.reserve(total);
  PutVolumeHead(out, volume, volume.SpaceNeeded.value_or(dataBytes));
  for (const Piece& piece : volume.Pieces) {
    PutPieceHead(out, piece);
    out.insert(out.end(), piece.Data.begin(), piece.Data.end());
  }
  return out;
}

Bytes AppendToStub(const Bytes& program, const Bytes& volume) {
  Bytes out;
  out.reserve(program.size() + volume.size() + static_cast<size_t>(vf::kTrailerLength));
  out.insert(out.end(), program.begin(), program.end());
  out.insert(out.end(), volume.begin(), volume.end());
  const Bytes trailer = EncodeTrailer(static_cast<uint32_t>(program.size()));
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

int64_t VolumeOverhead() { return vf::kVolumeHeadLength; }

int64_t PieceOverhead(const std::string& storedName) {
  return vf::kPieceHeaderFixedLength + static_cast<int64_t>(std::min(storedName.size(), vf::kMaxNameLength)) +
         vf::kEndMarkerLength;
}

std::vector<std::vector<PieceRange>> PlanSplit(const std::vector<FileExtent>& files,
                                               int64_t volumeSize) {
  return PlanSplit(files, volumeSize, volumeSize);
}

std::vector<std::vector<PieceRange>> PlanSplit(const std::vector<FileExtent>& files,
                                               int64_t volumeSize, int64_t firstVolumeSize) {
  std::vector<std::vector<PieceRange>> volumes(1);
  int64_t used = VolumeOverhead();
  int64_t capacity = firstVolumeSize;

  for (size_t index = 0; index < files.size(); ++index) {
    const int64_t overhead = PieceOverhead(files[index].StoredName);
    const int64_t size = std::max<int64_t>(files[index].Size, 0);
    int64_t offset = 0;
    do {
      // A piece needs its header and, unless the file is empty, at least one
      // data byte. A volume that cannot offer that much is closed; a fresh
      // volume takes the piece regardless, so tiny sizes cannot stall the cut.
      const int64_t wanted = size > offset ? 1 : 0;
      if (!volumes.back().empty() && capacity - used < overhead + wanted) {
        volumes.emplace_back();
        used = VolumeOverhead();
        capacity = volumeSize;
      }
      const int64_t room = std::max<int64_t>(capacity - used - overhead, wanted);
      const int64_t take = std::min(size - offset, room);
      volumes.back().push_back(PieceRange{index, offset, take});
      used += overhead + take;
      offset += take;
    } while (offset < size);
  }
  return volumes;
}

std::vector<Volume> SplitFiles(const std::vector<InputFile>& files, const SplitOptions& options) {
  std::vector<FileExtent> extents;
  extents.reserve(files.size());
  for (const InputFile& file : files)
    extents.push_back(FileExtent{file.StoredName, static_cast<int64_t>(file.Contents.size())});

  const auto plan = PlanSplit(extents, options.VolumeSize);
  std::vector<Volume> volumes;
  volumes.reserve(plan.size());
  for (size_t v = 0; v < plan.size(); ++v) {
    Volume volume;
    volume.Set = options.Set;
    volume.CheckMode = options.CheckMode;
    volume.VolumeNumber = static_cast<int32_t>(v + 1);
    volume.IsLast = (v + 1 == plan.size());
    for (const PieceRange& range : plan[v]) {
      const InputFile& file = files[range.FileIndex];
      Piece piece;
      piece.FileName = file.StoredName;
      piece.FileOffset = range.FileOffset;
      const auto begin = file.Contents.begin() + static_cast<std::ptrdiff_t>(range.FileOffset);
      piece.Data.assign(begin, begin + static_cast<std::ptrdiff_t>(range.DataSize));
      volume.Pieces.push_back(std::move(piece));
    }
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

SetId NewSetId() {
  // Random bytes mixed with the clock; a repeat of the previous identity in
  // this process is drawn again, so two calls never give the same value.
  static SetId previous{};
  static std::mt19937_64 engine{[] {
    std::random_device device;
    const auto now = static_cast<uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^ now;
  }()};
  SetId id{};
  do {
    uint64_t bits = engine();
    for (auto& b : id) {
      b = static_cast<uint8_t>(bits & 0xFFu);
      bits >>= 8;
    }
  } while (id == previous);
  previous = id;
  return id;
}

bool ReadFileBytes(const std::string& path, Bytes& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<unsigned long long>(size) > Bytes().max_size()) return false;
  in.seekg(0, std::ios::beg);
  Bytes data(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), size)) return false;
  bytes = std::move(data);
  return true;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

}  // namespace volwriter
