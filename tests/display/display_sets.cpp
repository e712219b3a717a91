// display_sets: writes the small sets that the display tests join.
//
//   display_sets KIND PROGRAM DIR
//
// PROGRAM is parcelstub.exe; volume 1 of every set is a self-joining file
// DIR/src/set.exe made of it. What each stored file must hold after the join
// is written to DIR/expected/ under its stored name.
//
//   twofolders  two volumes: set.exe in src/, set.s02 (the last) in other/
//   incomplete  set.exe, volume 1 of two; the second is nowhere
//   launch      one volume: notes.txt and data.qqq (no program is
//               associated with .qqq)
//   badcrc      one volume: damaged.txt, whose stored CRC does not match
//   blocked     one volume: blocked.txt, and a directory dest/blocked.txt that
//               keeps the program from opening the file
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "writer/VolumeWriter.h"

namespace fs = std::filesystem;
using namespace volwriter;

namespace {

Bytes Text(const std::string& title, int lines) {
  std::string text;
  for (int i = 1; i <= lines; ++i) {
    text += title + ", line " + std::to_string(i) + " of " + std::to_string(lines) + "\r\n";
  }
  return Bytes(text.begin(), text.end());
}

Piece Whole(const std::string& name, const Bytes& data) {
  Piece piece;
  piece.FileName = name;
  piece.Data = data;
  return piece;
}

bool Write(const fs::path& path, const Bytes& bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (!WriteFileBytes(path.string(), bytes)) {
    std::fprintf(stderr, "display_sets: cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: display_sets KIND PROGRAM DIR\n");
    return 2;
  }
  const std::string kind = argv[1];
  const fs::path dir = argv[3];
  Bytes program;
  if (!ReadFileBytes(argv[2], program)) {
    std::fprintf(stderr, "display_sets: cannot read %s\n", argv[2]);
    return 1;
  }

  Volume first;
  first.Set = NewSetId();
  first.VolumeNumber = 1;
  first.IsLast = true;
  std::vector<std::pair<std::string, Bytes>> expected;
  bool ok = true;

  if (kind == "twofolders") {
    const Bytes report = Text("Quarterly report", 400);
    const size_t half = report.size() / 2;
    Piece head = Whole("report.txt", Bytes(report.begin(), report.begin() + half));
    Piece tail = Whole("report.txt", Bytes(report.begin() + half, report.end()));
    tail.FileOffset = static_cast<int64_t>(half);
    first.IsLast = false;
    first.Pieces = {head};
    Volume second = first;
    second.VolumeNumber = 2;
    second.IsLast = true;
    second.Pieces = {tail};
    ok = Write(dir / "other" / "set.s02", EncodeVolume(second));
    expected = {{"report.txt", report}};
  } else if (kind == "incomplete") {
    first.IsLast = false;
    first.Pieces = {Whole("part.txt", Text("Part one", 20))};
  } else if (kind == "launch") {
    const Bytes notes = Text("Notes to open", 30);
    const Bytes data = Text("Data nobody opens", 10);
    first.Pieces = {Whole("notes.txt", notes), Whole("data.qqq", data)};
    expected = {{"notes.txt", notes}, {"data.qqq", data}};
  } else if (kind == "badcrc") {
    const Bytes damaged = Text("Damaged on the way", 50);
    Piece piece = Whole("damaged.txt", damaged);
    piece.Crc = PieceCrc(damaged) ^ 0x00010000u;
    first.Pieces = {piece};
    expected = {{"damaged.txt", damaged}};
  } else if (kind == "blocked") {
    first.Pieces = {Whole("blocked.txt", Text("Never written", 5))};
    std::error_code ec;
    fs::create_directories(dir / "dest" / "blocked.txt", ec);
    ok = !ec;
  } else {
    std::fprintf(stderr, "display_sets: unknown kind %s\n", kind.c_str());
    return 2;
  }

  ok = ok && Write(dir / "src" / "set.exe", AppendToStub(program, EncodeVolume(first)));
  for (const auto& [name, bytes] : expected) ok = ok && Write(dir / "expected" / name, bytes);
  return ok ? 0 : 1;
}
