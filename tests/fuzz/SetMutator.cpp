// Structure-aware changes to a set image (SetImage.h) for the fuzz targets
// that join whole sets: header fields, stored names with "..", separators,
// drives and devices, sizes, offsets, CheckMode, cut volumes, stubs, volumes
// renamed, copied or removed. A third of the time, and whenever no such
// change applies, libFuzzer's own byte mutation is used instead.
#include "tests/fuzz/SetMutator.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "VolumeFormat/VolumeFormat.h"
#include "tests/fuzz/SetImage.h"
#include "tests/fuzz/VolumeModel.h"

using fuzzmodel::Bytes;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

namespace vf = volformat;


const int64_t kInteresting[] = {
    0, 1, -1, 2, 16383, 16384, 16385, 65535, 65536, 0x7FFFFFFF, 0x80000000LL, 0xFFFFFFFFLL,
    0x100000000LL, 0x100000001LL, 1LL << 40, 1LL << 62, INT64_MAX, INT64_MAX - 1, INT64_MIN,
};

const char* const kNames[] = {
    "..\\evil.txt", "../evil.txt", "a\\..\\..\\evil.txt", "sub\\..\\a.txt", "..", ".", ".. \\evil.txt",
    "...\\x", "C:evil.txt", "C:\\evil.txt", "Z:\\tmp\\evil.txt", "\\\\server\\share\\evil.txt",
    "\\evil.txt", "/evil.txt", "CON", "con.txt", "NUL", "aux.bin", "COM1", "LPT9.log",
    "COM\xb9", "LPT\xb2.txt", "a.txt:stream", "?x", "*.txt", "a|b", "a<b", "sub\\", "sub\\\\a.txt",
    ".\\a.txt", "a.txt.", "a.txt ", "A.TXT", "sub/a.txt", "d1\\d2\\d3\\deep.txt", "\xd5.txt",
    "\x86.txt", "\xe9t\xe9.txt", "", "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l\\m.txt", "set.s01", "set.exe",
    "..\\src\\set.s02", "..\\outside.txt",
};

// Sums of header fields wrap as they would on disk, without overflow.
int64_t WrappingAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

struct Rng {
  std::mt19937 engine;
  explicit Rng(unsigned seed) : engine(seed) {}
  size_t Below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(engine); }
  bool OneIn(size_t n) { return Below(n) == 0; }
};

std::string Variant(const std::string& name, Rng& rng) {
  switch (rng.Below(8)) {
    case 0: return ".\\" + name;
    case 1: return name + ".";
    case 2: return name + " ";
    case 3: {
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return upper;
    }
    case 4: {
      std::string slashed = name;
      std::replace(slashed.begin(), slashed.end(), '\\', '/');
      return slashed;
    }
    case 5: {
      std::string doubled;
      for (char c : name) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
      return doubled;
    }
    case 6: return "sub\\..\\" + name;
    default: return std::string(300, 'x') + name;
  }
}

bool MutateVolume(Bytes& bytes, const std::vector<std::string>& allNames, Rng& rng) {
  const fuzzmodel::Volume volume = fuzzmodel::ParseVolume(bytes);
  if (!volume.valid) return false;
  const size_t recordAt = static_cast<size_t>(volume.start) + fuzzmodel::kSignatureLength;
  const int64_t value = kInteresting[rng.Below(sizeof kInteresting / sizeof kInteresting[0])];
  const fuzzmodel::Piece* piece =
      volume.pieces.empty() ? nullptr : &volume.pieces[rng.Below(volume.pieces.size())];
  switch (rng.Below(14)) {
    case 0:  // the volume record
      switch (rng.Below(6)) {
        case 0: bytes[recordAt + vf::kRecordCheckMode] = rng.OneIn(2) ? vf::kNoCrcCheck : static_cast<uint8_t>(rng.Below(256)); break;
        case 1: fuzzmodel::PutLe32(bytes, recordAt + vf::kRecordVolumeNumber, static_cast<uint32_t>(rng.OneIn(2) ? value : static_cast<int64_t>(rng.Below(6)))); break;
        case 2: bytes[recordAt + vf::kRecordIsLast] = bytes[recordAt + vf::kRecordIsLast] ? 0 : 1; break;
        case 3: bytes[recordAt + vf::kRecordSetId + rng.Below(vf::kSetIdLength)] ^= 1; break;
        case 4: fuzzmodel::PutLe64(bytes, recordAt + vf::kRecordSpaceNeeded, value); break;
        default: bytes[static_cast<size_t>(volume.start) + vf::kSignatureMajor + rng.Below(2)] = static_cast<uint8_t>(rng.Below(5)); break;
      }
      return true;
    case 1:
      if (!piece) return false;
      fuzzmodel::PutLe64(bytes, piece->header.at + vf::kHeaderFileOffset, value);
      return true;
    case 2:
      if (!piece) return false;
      fuzzmodel::PutLe64(bytes, piece->header.at + vf::kHeaderDataSize,
                         rng.OneIn(2) ? value : WrappingAdd(piece->header.dataSize, static_cast<int64_t>(rng.Below(3)) - 1));
      return true;
    case 3:  // a CRC that fits the data again, or one that does not
      if (!piece) return false;
      fuzzmodel::PutLe32(bytes, piece->header.at + vf::kHeaderCrc,
                         rng.OneIn(4) ? static_cast<uint32_t>(rng.Below(1u << 31))
                                      : fuzzmodel::Crc32(bytes.data() + piece->header.dataAt, piece->dataAvailable));
      return true;
    case 4:
    case 5: {  // another name, or another spelling of a name of the set
      if (!piece) return false;
      std::string name;
      if (rng.OneIn(2) || allNames.empty()) {
        name = kNames[rng.Below(sizeof kNames / sizeof kNames[0])];
      } else {
        name = Variant(allNames[rng.Below(allNames.size())], rng);
      }
      const size_t nameAt = piece->header.at + fuzzmodel::kHeaderFixedLength;
      bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(nameAt),
                  bytes.begin() + static_cast<std::ptrdiff_t>(nameAt + piece->header.nameLength));
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(nameAt), name.begin(), name.end());
      fuzzmodel::PutLe16(bytes, piece->header.at + vf::kHeaderNameLength, static_cast<uint16_t>(name.size()));
      return true;
    }
    case 6:  // a name length that does not fit the name
      if (!piece) return false;
      fuzzmodel::PutLe16(bytes, piece->header.at + vf::kHeaderNameLength,
                         static_cast<uint16_t>(rng.OneIn(3) ? 0xFFFF : piece->header.nameLength + rng.Below(5) - 2));
      return true;
    case 7:  // the tag or the end marker
      if (!piece) return false;
      if (rng.OneIn(2)) {
        bytes[piece->header.at + vf::kHeaderTag + rng.Below(vf::kPieceTagLength)] ^= rng.OneIn(2) ? 0x20 : 0x01;
      } else {
        const size_t markerAt = piece->header.dataAt - vf::kEndMarkerLength;
        static const char* const kMarkers[] = {"ds", "D\0", "DX", "SD"};
        const char* marker = kMarkers[rng.Below(4)];
        bytes[markerAt] = static_cast<uint8_t>(marker[0]);
        bytes[markerAt + 1] = static_cast<uint8_t>(marker[1]);
      }
      return true;
    case 8: {  // cut the volume inside a header or inside a piece's data
      if (!piece) {
        bytes.resize(recordAt + rng.Below(fuzzmodel::kRecordLength + 8));
        return true;
      }
      const size_t span = piece->header.dataAt + piece->dataAvailable - piece->header.at;
      bytes.resize(std::min(bytes.size(), piece->header.at + rng.Below(span + 1)));
      return true;
    }
    case 9: {  // data after the last piece
      const size_t extra = 1 + rng.Below(48);
      for (size_t i = 0; i < extra; ++i) bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(volume.end), static_cast<uint8_t>(rng.Below(256)));
      return true;
    }
    case 10:  // the magic's letter case
      bytes[static_cast<size_t>(volume.start) + rng.Below(6)] ^= 0x20;
      return true;
    case 11: {  // a volume file becomes a self-joining file, or the other way round
      if (volume.start == 0) {
        Bytes stub = fuzzset::FakeProgram();
        const uint32_t at = static_cast<uint32_t>(stub.size());
        stub.insert(stub.end(), bytes.begin(), bytes.end());
        stub.resize(stub.size() + 4);
        fuzzmodel::PutLe32(stub, stub.size() - 4, at);
        bytes.swap(stub);
      } else {
        Bytes plain(bytes.begin() + static_cast<std::ptrdiff_t>(volume.start), bytes.end());
        if (plain.size() >= 4) plain.resize(plain.size() - 4);
        bytes.swap(plain);
      }
      return true;
    }
    case 12:  // a piece's data moved to a place far out
      if (!piece) return false;
      fuzzmodel::PutLe64(bytes, piece->header.at + 12, WrappingAdd(piece->header.fileOffset, value));
      return true;
    default:  // two pieces swap their names' places: duplicate a header
      if (!piece) return false;
      {
        Bytes copy(bytes.begin() + static_cast<std::ptrdiff_t>(piece->header.at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(piece->header.dataAt + piece->dataAvailable));
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(volume.end), copy.begin(), copy.end());
      }
      return true;
  }
}

}  // namespace

namespace fuzzset {

size_t MutateSet(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  Rng rng(seed);
  if (size == 0 || rng.OneIn(3)) return LLVMFuzzerMutate(data, size, maxSize);
  fuzzset::SetImage image = fuzzset::Decode(data, size);
  std::vector<std::string> names;
  for (const auto& entry : image.entries) {
    for (const auto& piece : fuzzmodel::ParseVolume(entry.bytes).pieces) names.push_back(piece.header.name);
  }
  bool changed = false;
  for (int attempt = 0; attempt < 4 && !changed; ++attempt) {
    const size_t what = rng.Below(10);
    if (what == 0) {
      // (kOptPlantedLinks, the fifth, only the self-joining program's target reads.)
      image.options ^= static_cast<uint8_t>(1u << rng.Below(5));
      changed = true;
    } else if (what == 1 && !image.entries.empty()) {  // a volume under another name, or gone
      const size_t i = rng.Below(image.entries.size());
      if (rng.OneIn(3)) {
        image.entries.erase(image.entries.begin() + static_cast<std::ptrdiff_t>(i));
      } else if (rng.OneIn(2)) {
        fuzzset::Entry copy = image.entries[i];
        copy.name = static_cast<uint8_t>(rng.Below(fuzzset::kEntryNameCount));
        image.entries.push_back(copy);
      } else {
        image.entries[i].name = static_cast<uint8_t>(rng.Below(fuzzset::kEntryNameCount));
      }
      changed = true;
    } else if (!image.entries.empty()) {
      changed = MutateVolume(image.entries[rng.Below(image.entries.size())].bytes, names, rng);
    }
  }
  if (!changed) return LLVMFuzzerMutate(data, size, maxSize);
  const Bytes out = fuzzset::Encode(image);
  if (out.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
  std::memcpy(data, out.data(), out.size());
  return out.size();
}

}  // namespace fuzzset
