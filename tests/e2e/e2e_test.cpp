// End-to-end runs of the real program: a split set beside a copy of the
// program, scripted operator answers, and a look at the console, the rebuilt
// files and everything else in the tree afterwards.
//
// The tests named Both/* also run the Windows program under Wine when the
// build knows one (Wine/* instances); there message boxes and the dialog
// cannot be shown, so those tests look at the console and the files only.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "VolumeFormat/VolumeFormat.h"
#include "tests/e2e/Harness.h"

namespace {

using e2e::Bytes;
using e2e::InOrder;
using e2e::Outcome;
using e2e::Pattern;
using e2e::WholeFile;
using e2e::Program;
using e2e::Sandbox;
using volwriter::InputFile;
using volwriter::Piece;
using volwriter::Volume;

const char kBanner[] =
    "Quonda Parcelon 2.03  Copyright (c) Quonda Software\n"
    "SFX Module 1.01 (Win32 Console).\n\n";
const char kStars[] = "*****************\n";
const char kClosing[] =
    "Try \"Quonda Parcelon 2.03\" splitter application. It offer multiple files\n"
    "handling, error recovery option, self-joining option, UUencode and more...\n"
    "Do you want to visit Quonda Software web site and obtain your copy of Quonda Parcelon?\n";
const char kLaunchBox[] = "[Action request] Launch combined file(s)?\n(y/n) ";
const char kClosingBoxHead[] = "[Message] Try \"Quonda Parcelon 2.03\"";

volwriter::SetId MakeSet(uint8_t tag) {
  volwriter::SetId id{};
  id.fill(tag);
  return id;
}

std::vector<Volume> Split(const std::vector<InputFile>& files, int64_t volumeSize, uint8_t set = 1) {
  volwriter::SplitOptions options;
  options.VolumeSize = volumeSize;
  options.Set = MakeSet(set);
  return volwriter::SplitFiles(files, options);
}

// A self-joining "data" (volume 1 inside) with data.s02, data.s03… beside it.
std::string InstallSet(Sandbox& box, const std::vector<Volume>& volumes,
                       const std::string& dir = "src") {
  Bytes first = volwriter::EncodeVolume(volumes.at(0));
  std::string program = box.InstallProgram(dir + "/data", &first);
  for (size_t i = 1; i < volumes.size(); ++i) {
    const std::string number = std::to_string(i + 1);
    box.Put(dir + "/data.s" + (number.size() < 2 ? "0" : "") + number,
            volwriter::EncodeVolume(volumes[i]));
  }
  return program;
}

// A single-volume set of one piece per file, for tests about single pieces.
Volume OneVolume(std::vector<Piece> pieces, uint8_t set = 1) {
  return e2e::MakeVolume(1, true, std::move(pieces), set);
}

std::vector<std::string> Without(std::vector<std::string> files, const std::string& prefix) {
  files.erase(std::remove_if(files.begin(), files.end(),
                             [&](const std::string& f) { return f.rfind(prefix, 0) == 0; }),
              files.end());
  return files;
}

size_t Count(const std::string& text, const std::string& fragment) {
  size_t count = 0;
  for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) {
    ++count;
  }
  return count;
}

// What the program writes for one piece.
std::string PieceLines(const Sandbox& box, const std::string& dest, const std::string& name) {
  return "Processing file: " + box.Win32(dest) + "\\" + name + "\nWorking...\n";
}

// ------------------------------------------------------------------ native and Wine

class Both : public ::testing::TestWithParam<Program> {
 protected:
  Program program() const { return GetParam(); }
};

TEST_P(Both, SelfJoiningFileRebuildsEveryFileByteForByte) {
  Sandbox box(program());
  const std::vector<InputFile> files = {
      {"big.bin", Pattern(50000, 1)},
      {"docs\\notes.txt", Pattern(20000, 2)},
      {"empty.dat", {}},
  };
  auto volumes = Split(files, 24000);
  ASSERT_GE(volumes.size(), 3u);
  const std::string exe = InstallSet(box, volumes);

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(box.Get("out/big.bin"), files[0].Contents);
  EXPECT_EQ(box.Get("out/docs/notes.txt"), files[1].Contents);
  EXPECT_TRUE(box.Exists("out/empty.dat"));
  EXPECT_TRUE(box.Get("out/empty.dat").empty());
  EXPECT_EQ(Without(box.Files(), "src/"),
            (std::vector<std::string>{"out/big.bin", "out/docs/notes.txt", "out/empty.dat"}));

  // The whole dialogue, line by line.
  std::string expected = std::string(kBanner) + kStars + "Source directory: " + box.Win32("src") +
                         "\nDestination directory: " + box.Win32("out") + "\n" + kStars;
  for (const Volume& volume : volumes) {
    expected += "\nCurrent volume: " + std::to_string(volume.VolumeNumber) + "\n";
    for (const Piece& piece : volume.Pieces) expected += PieceLines(box, "out", piece.FileName);
  }
  if (!program().windows) {
    expected += kLaunchBox;
    expected += "Done\n" + std::string(kClosing);
    expected += std::string("[Message] ") + kClosing + "(y/n) ";
  } else {
    expected += "Done\n" + std::string(kClosing);
  }
  EXPECT_EQ(run.output, expected);
}

TEST_P(Both, HelpSwitchPrintsTheUsageAndTouchesNothing) {
  Sandbox box(program());
  const std::string exe = box.InstallProgram("src/data");
  for (const char* help : {"/?", "-?", "-H", "-h"}) {
    Outcome run = box.Run(exe, {help}, "");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              std::string(kBanner) +
                  "Usage: \"AnyName\".exe [optional path to place original files]\n")
        << help;
  }
  EXPECT_EQ(box.Files(), std::vector<std::string>{exe});
}

TEST_P(Both, CrcMismatchIsReportedAndTheRunGoesOn) {
  Sandbox box(program());
  Piece bad = WholeFile("bad.bin", Pattern(3000, 3));
  bad.Crc = 0x12345678;
  Bytes volume = volwriter::EncodeVolume(OneVolume({bad, WholeFile("good.bin", Pattern(10, 4))}));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(box.Get("out/bad.bin"), Pattern(3000, 3));
  EXPECT_EQ(box.Get("out/good.bin"), Pattern(10, 4));
  std::vector<std::string> steps = {PieceLines(box, "out", "bad.bin")};
  if (!program().windows) steps.push_back("[Error] File fails CRC check.\n");
  steps.push_back(PieceLines(box, "out", "good.bin"));
  steps.push_back("Done\n");
  EXPECT_TRUE(InOrder(run.output, steps));
}

TEST_P(Both, MissingVolumeWithoutAnOperatorEndsTheRun) {
  Sandbox box(program());
  auto volumes = Split({{"a.bin", Pattern(30000, 5)}}, 12000);
  ASSERT_EQ(volumes.size(), 3u);
  Bytes first = volwriter::EncodeVolume(volumes[0]);
  const std::string exe = box.InstallProgram("src/data", &first);
  box.Put("src/data.s03", volwriter::EncodeVolume(volumes[2]));

  Outcome run = box.Run(exe, {box.Win32("out")}, "");
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(run.exitCode, 0);
  std::vector<std::string> steps = {"Current volume: 1\n", "Current volume: 3\n"};
  if (!program().windows) {
    steps.push_back("[Action request] Do you want to cancel the current operation?\n");
  }
  steps.push_back("Done\n");
  EXPECT_TRUE(InOrder(run.output, steps));
  EXPECT_EQ(run.output.find("Try \"Quonda"), std::string::npos);
}

// The program is started from another directory, which holds volumes of
// another set under the same names: the volumes beside the program are the
// ones opened, and a relative destination is taken from where it started.
TEST_P(Both, VolumesAreOpenedBesideTheProgramWhereverItIsStarted) {
  Sandbox box(program());
  const std::vector<InputFile> files = {{"a.bin", Pattern(30000, 40)}, {"b.txt", Pattern(500, 41)}};
  auto volumes = Split(files, 16000);
  ASSERT_EQ(volumes.size(), 2u);
  const std::string exe = InstallSet(box, volumes);
  auto decoy = Split({{"a.bin", Pattern(30000, 42)}, {"c.txt", Pattern(500, 43)}}, 16000, 2);
  ASSERT_EQ(decoy.size(), 2u);
  const std::string exeName = exe.substr(exe.rfind('/') + 1);
  box.Put("elsewhere/" + exeName, volwriter::EncodeVolume(decoy[0]));
  box.Put("elsewhere/data.s02", volwriter::EncodeVolume(decoy[1]));

  Outcome run = box.Run(exe, {"out"}, "n\nn\n", "elsewhere");
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_TRUE(InOrder(run.output, {"Source directory: " + box.Win32("src") + "\n",
                                   "Destination directory: " + box.Win32("elsewhere\\out") + "\n",
                                   "Current volume: 1\n", "Current volume: 2\n", "Done\n"}));
  EXPECT_EQ(box.Get("elsewhere/out/a.bin"), files[0].Contents);
  EXPECT_EQ(box.Get("elsewhere/out/b.txt"), files[1].Contents);
  EXPECT_EQ(Without(Without(box.Files(), "src/"), "elsewhere/data"),
            (std::vector<std::string>{"elsewhere/out/a.bin", "elsewhere/out/b.txt"}));
}

// The pieces of one file under several spellings of its name: the file is
// cut to nothing once, when the run first opens it, and listed once.
TEST_P(Both, OneFileUnderManySpellingsIsCutOnceAndListedOnce) {
  Sandbox box(program());
  const Bytes a = Pattern(3000, 44);
  const Bytes b = Pattern(2000, 45);
  auto slice = [](const Bytes& bytes, size_t from, size_t size) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + size);
  };
  std::vector<Piece> pieces;
  auto add = [&](const std::string& name, const Bytes& whole, size_t from, size_t size) {
    Piece piece = WholeFile(name, slice(whole, from, size));
    piece.FileOffset = static_cast<int64_t>(from);
    pieces.push_back(piece);
  };
  add("a.bin", a, 0, 1000);
  add("A.bin", a, 1000, 1000);
  add("a.bin.", a, 2000, 1000);  // Windows drops a name's final dots
  add("sub\\b.bin", b, 0, 500);
  add("sub/b.bin", b, 500, 500);
  add("sub\\\\b.bin", b, 1000, 500);
  add("SUB\\B.BIN", b, 1500, 500);
  Bytes volume = volwriter::EncodeVolume(OneVolume(pieces));
  const std::string exe = box.InstallProgram("src/data", &volume);
  box.Put("out/a.bin", Pattern(9000, 46));  // older and longer: cut when first met
  box.Put("out/sub/b.bin", Pattern(5000, 47));
  if (!program().windows) box.InstallDesktop({".bin"});

  Outcome run = box.Run(exe, {box.Win32("out")}, "y\nn\n");
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_EQ(box.Get("out/a.bin"), a);
  EXPECT_EQ(box.Get("out/sub/b.bin"), b);
  EXPECT_EQ(Without(box.Files(), "src/"), (std::vector<std::string>{"out/a.bin", "out/sub/b.bin"}));
  if (!program().windows) {
    // Launched once each, under the spelling met first.
    EXPECT_EQ(Count(run.output, "Running: "), 2u) << run.output;
    EXPECT_TRUE(InOrder(run.output, {"Running: " + box.Win32("out") + "\\a.bin\n",
                                     "Running: " + box.Win32("out") + "\\sub\\b.bin\n"}));
    EXPECT_EQ(box.Launched(2),
              (std::vector<std::string>{box.Work("out/a.bin"), box.Work("out/sub/b.bin")}));
  }
}

// Stored names D5 and 86 become the OEM names E5 and C5, which the ANSI
// upper-casing makes alike; they are still two files, and each is cut to
// nothing when first met, so no stale bytes of an earlier run survive.
TEST_P(Both, TwoFilesWhoseNamesUpperCaseAlikeAreEachCut) {
  Sandbox box(program());
  const std::vector<std::string> names = {"\xD5.txt", "\x86.txt"};
  for (int round = 0; round < 2; ++round) {
    const size_t size = round == 0 ? 4000 : 1000;
    std::vector<Piece> pieces;
    for (size_t i = 0; i < names.size(); ++i) {
      pieces.push_back(WholeFile(names[i], Pattern(size, static_cast<unsigned>(50 + 2 * round + i))));
    }
    Bytes volume = volwriter::EncodeVolume(OneVolume(pieces, static_cast<uint8_t>(round + 1)));
    const std::string exe = box.InstallProgram("src/data", &volume);
    Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
    ASSERT_FALSE(run.timedOut) << run.output;
  }
  const std::vector<std::string> rebuilt = Without(box.Files(), "src/");
  ASSERT_EQ(rebuilt.size(), 2u);
  std::vector<Bytes> contents = {box.Get(rebuilt[0]), box.Get(rebuilt[1])};
  std::vector<Bytes> expected = {Pattern(1000, 52), Pattern(1000, 53)};
  std::sort(contents.begin(), contents.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(contents, expected);
}

// A piece sequence that ends anywhere but at the clean end of its volume's
// data is reported with the position of the header where it ended; the run
// goes on with the next volume, but the launch question is not offered.
TEST_P(Both, DamagedPieceHeadersAreReported) {
  const Piece good1 = WholeFile("good1.bin", Pattern(2000, 60));
  const Piece good2 = WholeFile("good2.bin", Pattern(3000, 61));
  const Piece after = WholeFile("after.bin", Pattern(50, 62));
  const Piece later = WholeFile("later.bin", Pattern(50, 63));
  const int64_t damagedAt = volwriter::VolumeOverhead() + volwriter::PieceOverhead(good2.FileName) +
                            static_cast<int64_t>(good2.Data.size());
  struct Case {
    std::string what;
    std::vector<Piece> pieces;  // of volume 2, after good2
    int cutAt = -1;             // cut volume 2 this many bytes past the damaged header
    bool longName = false;      // a NameLength running past the end
    bool stubJunk = false;      // 3 bytes between volume 1's pieces and its trailer
  };
  std::vector<Case> cases;
  cases.push_back({"cut inside a header", {after}, 20});
  cases.push_back({"name running past the end", {after}, -1, true});
  Piece wrongTag = after;
  wrongTag.Tag = "FHDX";
  cases.push_back({"wrong tag", {wrongTag, later}});
  Piece wrongMarker = after;
  wrongMarker.EndMarker = "ds";
  cases.push_back({"wrong end marker", {wrongMarker, later}});
  Piece negative = after;
  negative.Data.clear();
  negative.DataSize = -5;
  cases.push_back({"negative size", {negative, later}});
  cases.push_back({"junk before the trailer", {}, -1, false, true});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box(program());
    Volume first = OneVolume({good1});
    first.IsLast = false;
    Volume second = OneVolume({good2});
    second.VolumeNumber = 2;
    for (const Piece& piece : c.pieces) second.Pieces.push_back(piece);
    Bytes firstBytes = volwriter::EncodeVolume(first);
    if (c.stubJunk) firstBytes.insert(firstBytes.end(), {'x', 'y', 'z'});
    Bytes secondBytes = volwriter::EncodeVolume(second);
    if (c.cutAt >= 0) secondBytes.resize(static_cast<size_t>(damagedAt + c.cutAt));
    if (c.longName) {
      secondBytes[static_cast<size_t>(damagedAt) + volformat::kHeaderNameLength] = 0xFF;
      secondBytes[static_cast<size_t>(damagedAt) + volformat::kHeaderNameLength + 1] = 0xFF;
    }
    const std::string exe = box.InstallProgram("src/data", &firstBytes);
    box.Put("src/data.s02", secondBytes);
    const int64_t position =
        c.stubJunk ? static_cast<int64_t>(box.Get(exe).size()) - 4 - 3 : damagedAt;

    Outcome run = box.Run(exe, {box.Win32("out")}, "y\nn\n");
    ASSERT_FALSE(run.timedOut) << run.output;
    const std::string damaged =
        "Damaged piece header at source offset: " + std::to_string(position) + "\n";
    std::vector<std::string> steps = {"Current volume: 1\n", PieceLines(box, "out", "good1.bin")};
    if (c.stubJunk) steps.push_back(damaged);
    steps.push_back("Current volume: 2\n");
    steps.push_back(PieceLines(box, "out", "good2.bin"));
    if (!c.stubJunk) steps.push_back(damaged);
    steps.push_back("Done\n");
    steps.push_back("Try \"Quonda");
    EXPECT_TRUE(InOrder(run.output, steps));
    EXPECT_EQ(Count(run.output, "Damaged piece header"), 1u) << run.output;
    EXPECT_EQ(run.output.find("Launch combined"), std::string::npos);
    EXPECT_EQ(box.Get("out/good1.bin"), good1.Data);
    EXPECT_EQ(box.Get("out/good2.bin"), good2.Data);
    EXPECT_EQ(Without(box.Files(), "src/"),
              (std::vector<std::string>{"out/good1.bin", "out/good2.bin"}));
  }
}

// A self-joining file of more than 4 GiB (sparse: the program, a hole, then
// the volume across the 4 GiB mark and the trailer past it), as the program
// started and as a candidate beside a small program. Files too short to hold
// a trailer are passed over.
TEST_P(Both, SelfJoiningFileBeyondFourGibibytesIsRead) {
  for (bool started : {true, false}) {
    // Wine will not start a program file of 4 GiB or more ("Bad EXE
    // format"), so there the large file can only be a candidate. Wine also
    // departs from Windows in moving beyond 4 GiB with the 32-bit form of
    // SetFilePointer, which Windows (and the Linux layer) refuse; under Wine
    // this run shows that large files are read, not that the form is avoided.
    if (started && program().windows) continue;
    SCOPED_TRACE(started ? "the program started" : "a candidate");
    Sandbox box(program());
    const Piece far = WholeFile("far.txt", Pattern(300, 64));
    const Bytes volume = volwriter::EncodeVolume(OneVolume({far}));
    const int64_t start = (int64_t(1) << 32) - 100;
    const std::string exe = box.InstallProgram("src/data");
    const std::string big = started ? exe : "src/data.s01";
    if (!started) box.PutAt(big, 0, box.Get(exe));
    box.PutAt(big, start, volume);
    const uint32_t trailer = static_cast<uint32_t>(start);
    box.PutAt(big, start + static_cast<int64_t>(volume.size()),
              Bytes{static_cast<uint8_t>(trailer), static_cast<uint8_t>(trailer >> 8),
                    static_cast<uint8_t>(trailer >> 16), static_cast<uint8_t>(trailer >> 24)});
    ASSERT_GT(std::filesystem::file_size(box.Work(big)), uint64_t(1) << 32);
    box.Put("src/data.a", std::string("PAR"));
    box.Put("src/data.b", std::string("P"));

    Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_TRUE(InOrder(run.output,
                        {"Current volume: 1\n", PieceLines(box, "out", "far.txt"), "Done\n"}));
    EXPECT_EQ(Count(run.output, "Current volume: "), 1u) << run.output;
    EXPECT_EQ(run.output.find("Damaged"), std::string::npos) << run.output;
    EXPECT_EQ(box.Get("out/far.txt"), far.Data);
  }
}

// Stored names several levels deep, in a destination several levels deep,
// none of which exists yet.
TEST_P(Both, EveryMissingDirectoryLevelIsCreated) {
  Sandbox box(program());
  std::vector<Piece> pieces = {WholeFile("a\\b\\c\\deep.txt", Pattern(100, 65)),
                               WholeFile("x/y/z.txt", Pattern(100, 66)),
                               WholeFile("top.txt", Pattern(100, 67))};
  Bytes volume = volwriter::EncodeVolume(OneVolume(pieces));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {box.Win32("new\\deeper\\out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_TRUE(InOrder(run.output, {"Destination directory: " + box.Win32("new\\deeper\\out") + "\n",
                                   "Done\n"}));
  EXPECT_EQ(box.Get("new/deeper/out/a/b/c/deep.txt"), pieces[0].Data);
  EXPECT_EQ(box.Get("new/deeper/out/x/y/z.txt"), pieces[1].Data);
  EXPECT_EQ(box.Get("new/deeper/out/top.txt"), pieces[2].Data);
  EXPECT_EQ(run.output.find("Unable"), std::string::npos) << run.output;
}

// A destination that can be neither made nor entered ends the run before
// any volume is read, and nothing is written anywhere.
TEST_P(Both, UnusableDestinationEndsTheRunBeforeAnything) {
  for (const std::string& dest : {std::string("?x"), std::string("<blocker>\\out"),
                                 std::string("<blocker>"), std::string("Q:\\out")}) {
    SCOPED_TRACE(dest);
    Sandbox box(program());
    Bytes volume = volwriter::EncodeVolume(OneVolume({WholeFile("a.txt", Pattern(10, 68))}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    box.Put("blocker", std::string("a file"));
    std::string arg = dest;
    if (arg.rfind("<blocker>", 0) == 0) arg = box.Win32("blocker") + arg.substr(9);

    Outcome run = box.Run(exe, {arg}, "");
    ASSERT_FALSE(run.timedOut) << run.output;
    // Under Wine the message box cannot be shown (no display).
    EXPECT_EQ(run.output,
              std::string(kBanner) +
                  (program().windows
                       ? ""
                       : "[Critical error] Unable to create destination directory.\n"));
    EXPECT_EQ(box.Files(), (std::vector<std::string>{"blocker", exe}));
    EXPECT_EQ(box.Get("blocker"), e2e::ToBytes("a file"));
  }
}

// A piece that would reach beyond the destination's free space, or whose
// end cannot even be counted, ends the run before anything is written for it.
TEST_P(Both, PieceBeyondTheFreeSpaceEndsTheRun) {
  for (int64_t offset : {int64_t(1) << 40, std::numeric_limits<int64_t>::max() - 50}) {
    SCOPED_TRACE(offset);
    Sandbox box(program());
    Piece bad = WholeFile("bad.bin", Pattern(100, 69));
    bad.FileOffset = offset;
    Volume volume = OneVolume(
        {WholeFile("first.txt", Pattern(100, 70)), bad, WholeFile("after.txt", Pattern(100, 71))});
    volume.SpaceNeeded = 0;
    Bytes bytes = volwriter::EncodeVolume(volume);
    const std::string exe = box.InstallProgram("src/data", &bytes);

    Outcome run = box.Run(exe, {box.Win32("out")}, "");
    ASSERT_FALSE(run.timedOut) << run.output;
    std::vector<std::string> steps = {PieceLines(box, "out", "bad.bin")};
    if (!program().windows) steps.push_back("[Critical error] No space available on target drive.\n");
    steps.push_back("Done\n");
    EXPECT_TRUE(InOrder(run.output, steps));
    EXPECT_EQ(run.output.find("after.txt"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Try \"Quonda"), std::string::npos) << run.output;
    EXPECT_EQ(box.Get("out/first.txt"), Pattern(100, 70));
    EXPECT_EQ(std::filesystem::file_size(box.Work("out/bad.bin")), 0u);
    EXPECT_FALSE(box.Exists("out/after.txt"));
  }
}

// Names Windows opens as devices (the console's input and output, the
// clock, ports 0) and components of dots and blanks, which Windows reads as
// "." or "..": refused before anything is opened (which ends the run, as
// for any file that cannot be opened). Under Wine the refusal is what keeps CONOUT$ from being the
// console itself.
TEST_P(Both, DeviceNamesAndDotComponentsAreRefused) {
  for (const std::string name : {"CONIN$", "conout$.txt", "sub\\CLOCK$", "COM0", "lpt0.log", ". \\x.txt",
                                 "sub\\ \\x.txt", "sub\\.\\x.txt"}) {
    SCOPED_TRACE(name);
    Sandbox box(program());
    Bytes volume = volwriter::EncodeVolume(
        OneVolume({WholeFile("first.txt", Pattern(7, 19)), WholeFile(name, Pattern(7, 20))}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
    ASSERT_FALSE(run.timedOut);
    // Under Wine the message box has no display and is not seen.
    EXPECT_TRUE(InOrder(run.output, {"Processing file: ",
                                     program().windows ? "Working...\n" : "[Error] Unable to open original file.\n",
                                     "Done\n"}))
        << run.output;
    EXPECT_EQ(Without(box.Files(), "src/"), std::vector<std::string>{"out/first.txt"});
  }
}

INSTANTIATE_TEST_SUITE_P(Native, Both, ::testing::Values(e2e::NativeProgram()));
#ifdef PARCELSTUB_EXE
INSTANTIATE_TEST_SUITE_P(Wine, Both, ::testing::Values(e2e::WineProgram()));
#endif

// ------------------------------------------------------------------ native only

Program Native() { return e2e::NativeProgram(); }

TEST(Join, VolumesAreTakenInTheOrderTheSearchMeetsThem) {
  Sandbox box(Native());
  const Bytes contents = Pattern(40000, 6);
  auto volumes = Split({{"a.bin", contents}}, 16000);
  ASSERT_EQ(volumes.size(), 3u);
  // The search meets data.a, data.b, data.c in that order: volumes 3, 1, 2.
  const std::string exe = box.InstallProgram("src/data");
  box.Put("src/data.a", volwriter::EncodeVolume(volumes[2]));
  box.Put("src/data.b", volwriter::EncodeVolume(volumes[0]));
  box.Put("src/data.c", volwriter::EncodeVolume(volumes[1]));

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output, {"Current volume: 3\n", "Current volume: 1\n",
                                   "Current volume: 2\n", "Done\n"}));
  EXPECT_EQ(box.Get("out/a.bin"), contents);
}

TEST(Join, OtherSetsDuplicatesAndJunkArePassedOverSilently) {
  Sandbox box(Native());
  const Bytes contents = Pattern(30000, 7);
  auto volumes = Split({{"a.bin", contents}}, 12000);
  auto foreign = Split({{"a.bin", Pattern(30000, 8)}}, 12000, /*set=*/2);
  ASSERT_EQ(volumes.size(), 3u);
  const std::string exe = InstallSet(box, volumes);
  box.Put("src/data.aaa", std::string("just some text\n"));
  box.Put("src/data.b", volwriter::EncodeVolume(foreign[1]));  // another set's volume 2
  box.Put("src/data.empty", std::string());
  box.Put("src/data.s02copy", volwriter::EncodeVolume(volumes[1]));  // volume 2 again
  box.MakeDir("src/data.dir");

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output, {"Current volume: 1\n", "Current volume: 2\n",
                                   "Current volume: 3\n", "Done\n"}));
  EXPECT_EQ(Count(run.output, "Current volume: "), 3) << run.output;
  EXPECT_EQ(box.Get("out/a.bin"), contents);
}

TEST(Join, PiecesOfEverySizeAreCopiedExactly) {
  Sandbox box(Native());
  std::vector<Piece> pieces;
  for (size_t size : {0u, 1u, 16383u, 16384u, 16385u, 32768u, 50001u}) {
    pieces.push_back(WholeFile("f" + std::to_string(size), Pattern(size, static_cast<unsigned>(size))));
  }
  Bytes volume = volwriter::EncodeVolume(OneVolume(pieces));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.output.find("CRC"), std::string::npos) << run.output;
  for (const Piece& piece : pieces) EXPECT_EQ(box.Get("out/" + piece.FileName), piece.Data);
}

TEST(Join, CrcOfEmptyPiecesAndUncheckedVolumes) {
  struct Case {
    uint8_t checkMode;
    size_t size;
    uint32_t crc;
    bool reported;
  };
  for (const Case& c : {Case{0, 0, 0, false}, Case{0, 0, 5, true}, Case{4, 0, 5, false},
                        Case{4, 100, 1, false}, Case{3, 100, 1, true}}) {
    Sandbox box(Native());
    Piece piece = WholeFile("x.bin", Pattern(c.size, 9));
    piece.Crc = c.crc;
    Volume volume = OneVolume({piece});
    volume.CheckMode = c.checkMode;
    Bytes bytes = volwriter::EncodeVolume(volume);
    const std::string exe = box.InstallProgram("src/data", &bytes);
    Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
    EXPECT_EQ(run.output.find("File fails CRC check.") != std::string::npos, c.reported)
        << "mode " << int(c.checkMode) << " size " << c.size << "\n" << run.output;
    EXPECT_EQ(box.Get("out/x.bin"), Pattern(c.size, 9));
  }
}

TEST(Join, DestinationPromptDefaultsToTheTemporaryDirectory) {
  Sandbox box(Native());
  Bytes volume = volwriter::EncodeVolume(OneVolume({WholeFile("a.txt", Pattern(100, 10))}));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {}, "\nn\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output,
                      {"Destination directory is not specified.\n"
                       "Enter the directory name (no input - use default: \"" +
                           box.Win32("tmp") + "\").\nTarget directory name: ",
                       "Destination directory: " + box.Win32("tmp") + "\n", "Done\n"}));
  EXPECT_EQ(box.Get("tmp/a.txt"), Pattern(100, 10));
}

TEST(Join, DestinationsTypedOrGivenAreCreatedWithEveryLevel) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string shownDest;  // relative to the work tree
    std::string cwd;
  };
  Sandbox probe(Native());
  const std::vector<Case> cases = {
      {{}, "typed\n", "src/typed", "src"},                 // relative to the start directory
      {{}, "t1\\t2\n", "elsewhere/t1/t2", "elsewhere"},  // ... wherever that is
      {{"rel"}, "", "src/rel", "src"},                     // relative argument
      {{"r1\\r2"}, "", "elsewhere/r1/r2", "elsewhere"},
      {{probe.Work("given")}, "", "given", "src"},         // a Unix path
      {{probe.Win32("a\\b\\c")}, "", "a/b/c", "src"},      // every missing level is made
      {{probe.Win32("a\\b\\c\\")}, "", "a/b/c", "src"},
      {{probe.Win32("src")}, "", "src", "src"},            // an existing directory
  };
  for (const Case& c : cases) {
    Sandbox box(Native());
    box.MakeDir(c.cwd);
    Bytes volume = volwriter::EncodeVolume(OneVolume({WholeFile("a.txt", Pattern(10, 11))}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg.rfind(probe.Work(), 0) == 0) arg = box.Work() + arg.substr(probe.Work().size());
      if (arg.rfind(probe.Win32(), 0) == 0) arg = box.Win32() + arg.substr(probe.Win32().size());
    }
    Outcome run = box.Run(exe, args, c.input + "n\nn\n", c.cwd);
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(InOrder(run.output, {"Destination directory: " + box.Win32(c.shownDest) + "\n",
                                     "Done\n"}))
        << c.shownDest;
    EXPECT_EQ(box.Get(c.shownDest + "/a.txt"), Pattern(10, 11)) << c.shownDest;
  }
}

// Names travel as ANSI text in the volumes, as OEM text through the run and
// as UTF-8 on disk and on the terminal.
TEST(Join, AccentedNamesArriveUnchanged) {
  Sandbox box(Native());
  Bytes volume = volwriter::EncodeVolume(
      OneVolume({WholeFile("caf\xE9\\R\xE9sum\xE9.txt", Pattern(10, 25))}));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {box.Work("d\xC3\xA9p\xC3\xB4t")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output,
                      {"Destination directory: " + box.Win32("d\xC3\xA9p\xC3\xB4t") + "\n",
                       "Processing file: " + box.Win32("d\xC3\xA9p\xC3\xB4t") +
                           "\\caf\xC3\xA9\\R\xC3\xA9sum\xC3\xA9.txt\n"}));
  EXPECT_EQ(box.Get("d\xC3\xA9p\xC3\xB4t/caf\xC3\xA9/R\xC3\xA9sum\xC3\xA9.txt"), Pattern(10, 25));
}

TEST(Join, TooLittleSpaceEndsTheRunBeforeAnythingIsWritten) {
  Sandbox box(Native());
  Volume volume = OneVolume({WholeFile("a.txt", Pattern(10, 12))});
  volume.SpaceNeeded = int64_t(1) << 62;
  Bytes bytes = volwriter::EncodeVolume(volume);
  const std::string exe = box.InstallProgram("src/data", &bytes);

  Outcome run = box.Run(exe, {box.Win32("out")}, "");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output, {"Current volume: 1\n",
                                   "[Critical error] No space available on target drive.\n",
                                   "Done\n"}));
  EXPECT_FALSE(box.Exists("out/a.txt"));
}

TEST(Join, MissingVolumeIsFoundThroughTheDialog) {
  Sandbox box(Native());
  const Bytes contents = Pattern(30000, 13);
  auto volumes = Split({{"a.bin", contents}}, 12000);
  ASSERT_EQ(volumes.size(), 3u);
  Bytes first = volwriter::EncodeVolume(volumes[0]);
  const std::string exe = box.InstallProgram("src/data", &first);
  box.Put("src/data.s03", volwriter::EncodeVolume(volumes[2]));
  box.Put("elsewhere/data.s02", volwriter::EncodeVolume(volumes[1]));

  // Close the dialog once and decline to cancel; then point at the volume.
  Outcome run = box.Run(exe, {box.Win32("out")},
                        "\nn\n" + box.Work("elsewhere/DATA.S02") + "\nn\nn\n");
  ASSERT_FALSE(run.timedOut) << run.output;
  EXPECT_TRUE(InOrder(run.output,
                      {"Current volume: 3\n",
                       "[Action request] Do you want to cancel the current operation?\n(y/n) ",
                       "Source directory: " + box.Win32("elsewhere") + "\n", "Current volume: 2\n",
                       kLaunchBox, "Done\n"}));
  EXPECT_EQ(box.Get("out/a.bin"), contents);
}

TEST(Join, LaunchStartsTheFilesThatHaveAnApplication) {
  Sandbox box(Native());
  box.InstallDesktop({".txt"});
  Bytes volume = volwriter::EncodeVolume(OneVolume({WholeFile("one.txt", Pattern(5, 14)),
                                                    WholeFile("two.dat", Pattern(5, 15)),
                                                    WholeFile("three.txt", Pattern(5, 16)),
                                                    WholeFile("ONE.txt", Pattern(3, 17))}));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {box.Win32("out")}, "y\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output, {kLaunchBox, "Running: " + box.Win32("out") + "\\one.txt\n",
                                   "Running: " + box.Win32("out") + "\\three.txt\n", "Done\n",
                                   kClosingBoxHead}));
  EXPECT_EQ(run.output.find("two.dat\n", run.output.find(kLaunchBox)), std::string::npos);
  // The stand-in opener runs in the background, one process per file, so the
  // order of its log is theirs; the order of the starts is checked above.
  std::vector<std::string> launched = box.Launched(2);
  std::sort(launched.begin(), launched.end());
  EXPECT_EQ(launched, (std::vector<std::string>{box.Work("out/one.txt"),
                                                box.Work("out/three.txt")}));
}

TEST(Join, ClosingQuestionOpensTheProductPage) {
  Sandbox box(Native());
  box.InstallDesktop({});
  Bytes volume = volwriter::EncodeVolume(OneVolume({}));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\ny\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output, {"Current volume: 1\n", kLaunchBox, "Done\n", kClosingBoxHead}));
  EXPECT_EQ(box.Launched(1),
            std::vector<std::string>{"http://www.quonda.com/parcelon/index.html?referrer=stub"});
}

TEST(Join, VolumeEndingInsideAPieceIsAReadError) {
  Sandbox box(Native());
  Piece piece = WholeFile("cut.bin", Pattern(40000, 18));
  piece.DataSize = 41000;  // more than the volume holds
  Bytes volume = volwriter::EncodeVolume(OneVolume({piece}));
  const std::string exe = box.InstallProgram("src/data", &volume);
  const size_t fileSize = box.Get(exe).size();

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  // The trailer is read as data too: it is all that follows the header. So
  // the piece sequence ends past the volume's data, not at its clean end.
  EXPECT_TRUE(InOrder(run.output,
                      {"Read error at source offset: " +
                           std::to_string(fileSize) +
                           ", original offset: 40004\n",
                       "Damaged piece header at source offset: " + std::to_string(fileSize) + "\n",
                       "Done\n", "Try \"Quonda"}));
  EXPECT_EQ(run.output.find("Launch combined"), std::string::npos);
  Bytes rebuilt = box.Get("out/cut.bin");
  ASSERT_EQ(rebuilt.size(), 40004u);
  EXPECT_TRUE(std::equal(piece.Data.begin(), piece.Data.end(), rebuilt.begin()));
}

TEST(Join, StoredNamesThatLeaveTheDestinationAreRefused) {
  // Each name would land in the work tree (never further out) if it were taken.
  const std::vector<std::string> names = {
      "..\\escape.txt", "../escape.txt", "sub\\..\\..\\escape.txt", "<rooted>", "<drive>",
      "CON", "nul.txt", "\\\\server\\share\\escape.txt",
      // Ports with a superscript digit are devices too.
      "COM\xB9", "lpt\xB2.txt", "sub\\COM\xB3.log"};
  for (std::string name : names) {
    Sandbox box(Native());
    if (name == "<rooted>") name = box.Win32("escape.txt").substr(2);
    if (name == "<drive>") name = box.Win32("escape.txt");
    Bytes volume = volwriter::EncodeVolume(
        OneVolume({WholeFile("first.txt", Pattern(7, 19)), WholeFile(name, Pattern(7, 20))}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    Outcome run = box.Run(exe, {box.Win32("out")}, "");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(InOrder(run.output, {"[Error] Unable to open original file.\n", "Done\n"})) << name;
    EXPECT_EQ(run.output.find("Try \"Quonda"), std::string::npos);
    EXPECT_EQ(Without(box.Files(), "src/"), std::vector<std::string>{"out/first.txt"}) << name;
  }
}

TEST(Join, OutputsThatCannotBePositionedOrWrittenAreReported) {
  for (int64_t offset : {int64_t(-1), std::numeric_limits<int64_t>::min()}) {
    Sandbox box(Native());
    Piece bad = WholeFile("bad.bin", Pattern(100, 21));
    bad.FileOffset = offset;
    Bytes volume =
        volwriter::EncodeVolume(OneVolume({WholeFile("kept.bin", Pattern(100, 22)), bad}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    Outcome run = box.Run(exe, {box.Win32("out")}, "");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(InOrder(run.output, {PieceLines(box, "out", "bad.bin"),
                                     "[Error] Unable to write original file.\n", "Done\n"}))
        << offset;
    EXPECT_EQ(box.Get("out/kept.bin"), Pattern(100, 22));
  }
}

TEST(Join, OlderFilesOfTheSameNameAreReplacedWhole) {
  Sandbox box(Native());
  const Bytes contents = Pattern(20000, 23);
  auto volumes = Split({{"a.bin", contents}}, 12000);
  ASSERT_EQ(volumes.size(), 2u);
  const std::string exe = InstallSet(box, volumes);
  box.Put("out/a.bin", Pattern(90000, 24));  // longer than the rebuilt file

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(box.Get("out/a.bin"), contents);
}

}  // namespace
