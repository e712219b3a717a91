// Finding and recognising the self-joining program for parcel split --stub.
#include "tools/StubProgram.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "VolumeFormat/VolumeFormat.h"
#include "tools/ToolSupport.h"

namespace parceltool {

namespace {

using parcelio::File;
namespace fs = parcelio::fs;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

bool ReadExact(File& file, int64_t position, void* buffer, int64_t count) {
  return position >= 0 && file.ReadAt(position, buffer, count) == count;
}

// The bytes at a section's start hold the marker.
bool MarkerAt(File& file, uint64_t position, uint64_t size) {
  if (size < volformat::kStubMarkerTextSize || position > static_cast<uint64_t>(INT64_MAX)) return false;
  char text[volformat::kStubMarkerTextSize];
  return ReadExact(file, static_cast<int64_t>(position), text, sizeof text) &&
         std::memcmp(text, volformat::kStubMarkerText, sizeof text) == 0;
}

enum class Format { Other, Pe, Elf };

// A PE image: its section table holds one named .parcel that begins with
// the marker.
bool PeHasMarker(File& file) {
  uint8_t dos[64];
  if (!ReadExact(file, 0, dos, sizeof dos)) return false;
  const int64_t peAt = Le32(dos + 60);
  uint8_t head[24];
  if (!ReadExact(file, peAt, head, sizeof head) || std::memcmp(head, "PE\0\0", 4) != 0) return false;
  const uint16_t sections = Le16(head + 6);
  const int64_t table = peAt + 24 + Le16(head + 20);
  for (uint16_t i = 0; i < sections; ++i) {
    uint8_t entry[40];
    if (!ReadExact(file, table + 40 * int64_t{i}, entry, sizeof entry)) return false;
    char name[9] = {};
    std::memcpy(name, entry, 8);
    if (std::strcmp(name, volformat::kStubSectionName) == 0)
      return MarkerAt(file, Le32(entry + 20), Le32(entry + 16));
  }
  return false;
}

// An ELF file (either class, little-endian): a section named .parcel that
// begins with the marker.
bool ElfHasMarker(File& file) {
  uint8_t id[64];
  if (!ReadExact(file, 0, id, sizeof id) || id[5] != 1) return false;
  const bool wide = id[4] == 2;
  const uint64_t shoff = wide ? Le64(id + 0x28) : Le32(id + 0x20);
  const uint16_t shentsize = Le16(id + (wide ? 0x3A : 0x2E));
  const uint16_t shnum = Le16(id + (wide ? 0x3C : 0x30));
  const uint16_t shstrndx = Le16(id + (wide ? 0x3E : 0x32));
  if (shentsize < (wide ? 64 : 40) || shstrndx >= shnum || shoff > static_cast<uint64_t>(INT64_MAX) / 2)
    return false;
  auto section = [&](uint16_t index, uint32_t& name, uint64_t& offset, uint64_t& size) {
    uint8_t entry[64];
    if (!ReadExact(file, static_cast<int64_t>(shoff) + int64_t{index} * shentsize, entry, wide ? 64 : 40))
      return false;
    name = Le32(entry);
    offset = wide ? Le64(entry + 0x18) : Le32(entry + 0x10);
    size = wide ? Le64(entry + 0x20) : Le32(entry + 0x14);
    return true;
  };
  uint32_t unusedName = 0;
  uint64_t namesAt = 0, namesSize = 0;
  if (!section(shstrndx, unusedName, namesAt, namesSize)) return false;
  for (uint16_t i = 0; i < shnum; ++i) {
    uint32_t name = 0;
    uint64_t offset = 0, size = 0;
    if (!section(i, name, offset, size)) return false;
    char text[sizeof volformat::kStubSectionName] = {};
    if (name + sizeof text > namesSize ||
        !ReadExact(file, static_cast<int64_t>(namesAt + name), text, sizeof text))
      continue;
    if (std::memcmp(text, volformat::kStubSectionName, sizeof text) == 0) return MarkerAt(file, offset, size);
  }
  return false;
}

Format FormatOf(File& file) {
  uint8_t magic[4];
  if (!ReadExact(file, 0, magic, sizeof magic)) return Format::Other;
  if (magic[0] == 'M' && magic[1] == 'Z') return Format::Pe;
  if (std::memcmp(magic, "\x7F" "ELF", 4) == 0) return Format::Elf;
  return Format::Other;
}

// A signature of any version our readers could take: the magic, and the
// major version they read (whatever the minor one).
bool IsSignature(const uint8_t* p) {
  return volformat::MagicMatches(p + volformat::kSignatureMagic) &&
         p[volformat::kSignatureMajor] == volformat::kMajorVersion;
}

const char* KindName(StubKind kind) { return kind == StubKind::Windows ? "Windows" : "Linux"; }

const char kWhatStubTakes[] =
    "--stub takes the self-joining program (parcelstub.exe for Windows receivers, parcelstub for "
    "Linux ones), or 'windows' or 'linux' for the programs installed with parcel";

}  // namespace

bool CarriesVolume(File& file) {
  uint8_t head[volformat::kSignatureLength];
  auto signatureAt = [&](int64_t position) {
    return ReadExact(file, position, head, sizeof head) && IsSignature(head);
  };
  auto trailerAt = [&](int64_t position, uint8_t* trailer) {
    return ReadExact(file, position, trailer, volformat::kTrailerLength);
  };
  volformat::VolumePlace place;
  // A signature found through the trailer must lie before it.
  return volformat::LocateVolume(file.Size(), signatureAt, trailerAt, place) &&
         (place.start == 0 || place.start + volformat::kSignatureLength <= place.dataEnd);
}

std::vector<fs::path> InstalledStubPaths(StubKind kind) {
  const fs::path self = parcelio::ProgramPath();
  if (self.empty()) return {};
  const fs::path dir = self.parent_path();
  const char* name = kind == StubKind::Windows ? "parcelstub.exe" : "parcelstub";
  return {dir / name, dir.parent_path() / "lib" / "parcel" / name};
}

int OpenStubProgram(const std::string& given, StubProgram& stub) {
  if (given == "windows" || given == "linux") {
    const StubKind kind = given == "windows" ? StubKind::Windows : StubKind::Linux;
    std::string looked;
    for (const fs::path& candidate : InstalledStubPaths(kind)) {
      std::error_code ec;
      if (fs::is_regular_file(candidate, ec)) {
        stub.path = candidate;
        break;
      }
      looked += (looked.empty() ? "" : ", ") + parcelio::Utf8Of(candidate);
    }
    if (stub.path.empty()) {
      return Fail("--stub " + given, std::string("no ") + KindName(kind) +
                                         " self-joining program is installed with parcel (looked for " + looked +
                                         "); give the program's path (use ./" + given + " for a file of that name)");
    }
  } else {
    stub.path = parcelio::PathOf(given);
  }
  stub.shown = parcelio::Utf8Of(stub.path);
  std::error_code ec;
  if (fs::is_directory(stub.path, ec)) return Fail(stub.shown, std::string("is a directory; ") + kWhatStubTakes);
  if (!stub.file.Open(stub.path, File::Mode::Read)) return Fail(stub.shown, parcelio::LastErrorText());
  stub.size = stub.file.Size();
  if (stub.size < 0) return Fail(stub.shown, parcelio::LastErrorText());

  const Format format = FormatOf(stub.file);
  if (format == Format::Other)
    return Fail(stub.shown, std::string("not a self-joining program (neither a Windows nor a Linux program); ") +
                                kWhatStubTakes);
  stub.kind = format == Format::Pe ? StubKind::Windows : StubKind::Linux;
  const bool marked = format == Format::Pe ? PeHasMarker(stub.file) : ElfHasMarker(stub.file);
  if (!marked)
    return Fail(stub.shown, std::string("a ") + KindName(stub.kind) +
                                " program, but not the self-joining program (it lacks its mark); " + kWhatStubTakes);
  if (CarriesVolume(stub.file))
    return Fail(stub.shown, "a self-joining file already (it carries a volume of a set); give the program itself");
  // The trailer that locates the volume is 32 bits wide.
  if (stub.size > 0xFFFFFFFFLL) return Fail(stub.shown, "a program of 4 GiB or more cannot carry a volume");
  return ExitOk;
}

}  // namespace parceltool
