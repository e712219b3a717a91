// Writes the seed corpus of the fuzz targets: small valid sets made with the
// volume writer.
//   make_seeds DIR   writes DIR/join/*.set (inputs of fuzz_join and
//                    fuzz_parcel), DIR/parcel/*.set (inputs for
//                    fuzz_parcel alone) and DIR/readers/*.bin (single
//                    volumes, for fuzz_readers)
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fuzz/SetImage.h"
#include "writer/VolumeWriter.h"

namespace {

using volwriter::Bytes;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

struct Seed {
  std::string name;
  fuzzset::SetImage image;
};

// Volumes of a split as entries set.s01, set.s02, ... (index of the volume
// plus one), or the first one appended to the program file.
fuzzset::SetImage Split(const std::vector<volwriter::InputFile>& files, int64_t volumeSize,
                        uint8_t checkMode, bool selfJoining, uint8_t options = 0) {
  volwriter::SplitOptions split;
  split.VolumeSize = volumeSize;
  split.CheckMode = checkMode;
  split.Set = volwriter::SetId{1, 2, 3, 4, 5, 6, 7, 8};
  fuzzset::SetImage image;
  image.options = options;
  const std::vector<volwriter::Volume> volumes = volwriter::SplitFiles(files, split);
  for (size_t i = 0; i < volumes.size(); ++i) {
    fuzzset::Entry entry;
    entry.bytes = volwriter::EncodeVolume(volumes[i]);
    if (i == 0 && selfJoining) {
      entry.name = fuzzset::kProgramEntry;
      entry.bytes = volwriter::AppendToStub(fuzzset::FakeProgram(), entry.bytes);
    } else {
      entry.name = static_cast<uint8_t>(i + 1);
    }
    image.entries.push_back(entry);
  }
  return image;
}

bool Write(const std::filesystem::path& path, const Bytes& bytes) {
  return volwriter::WriteFileBytes(path.string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir / "join");
  std::filesystem::create_directories(dir / "readers");
  std::filesystem::create_directories(dir / "parcel");

  std::vector<Seed> seeds;
  seeds.push_back({"one-volume", Split({{"a.txt", Text("the quick brown fox\r\n")}}, 1 << 20, 0, false)});
  seeds.push_back({"three-volumes",
                   Split({{"a.txt", Pattern(150, 1)}, {"sub\\b.bin", Pattern(200, 9)}}, 160, 0, false)});
  seeds.push_back({"self-joining",
                   Split({{"doc.txt", Pattern(120, 3)}, {"empty.dat", {}}}, 150, 0, true)});
  seeds.push_back({"no-crc-check-deep",
                   Split({{"d1\\d2\\c.txt", Pattern(90, 5)}}, 200, 4, false, fuzzset::kOptNoDest)});
  seeds.push_back({"stale-relative",
                   Split({{"a.txt", Pattern(60, 2)}, {"b.txt", Pattern(40, 4)}}, 1 << 20, 0, false,
                         fuzzset::kOptStaleFiles | fuzzset::kOptRelativeDest)});
  seeds.push_back({"planted-links",
                   Split({{"a.txt", Pattern(80, 7)}, {"sub\\b.txt", Pattern(70, 8)},
                          {"c.txt", Pattern(60, 9)}, {"d\\e\\f.txt", Pattern(50, 10)}},
                         1 << 20, 0, false, fuzzset::kOptPlantedLinks)});
  {
    // Volume numbers in another order than the file names.
    fuzzset::SetImage image = Split({{"x.bin", Pattern(100, 6)}}, 120, 0, false);
    if (image.entries.size() >= 2) std::swap(image.entries[0].name, image.entries[1].name);
    seeds.push_back({"numbers-swapped", image});
  }

  // fuzz_parcel joins from the volume of the first entry: a volume from the
  // middle of a set, and one whose files are in the way (-f).
  std::vector<Seed> parcelSeeds;
  {
    fuzzset::SetImage image = Split({{"a.txt", Pattern(150, 1)}, {"sub\\b.bin", Pattern(200, 9)}}, 160, 0, false);
    if (image.entries.size() >= 2) std::swap(image.entries[0], image.entries[1]);
    parcelSeeds.push_back({"given-second", image});
  }
  parcelSeeds.push_back({"in-the-way-force",
                         Split({{"d\\a.txt", Pattern(80, 2)}, {"b.txt", Pattern(90, 4)}}, 100, 0, false,
                               fuzzset::kOptStaleFiles)});
  parcelSeeds.push_back({"no-crc-nested",
                         Split({{"x.bin", Pattern(120, 7)}}, 90, 4, false, fuzzset::kOptNestedDest)});

  int written = 0;
  for (const Seed& seed : parcelSeeds) {
    if (!Write(dir / "parcel" / (seed.name + ".set"), fuzzset::Encode(seed.image))) return 1;
    ++written;
  }
  for (const Seed& seed : seeds) {
    if (!Write(dir / "join" / (seed.name + ".set"), fuzzset::Encode(seed.image))) return 1;
    ++written;
    for (size_t i = 0; i < seed.image.entries.size() && i < 2; ++i) {
      const std::string name = seed.name + "-" + std::to_string(i) + ".bin";
      if (!Write(dir / "readers" / name, seed.image.entries[i].bytes)) return 1;
      ++written;
    }
  }
  std::printf("%d seed files written to %s\n", written, dir.string().c_str());
  return 0;
}
