// End-to-end runs of the real program: a split set beside a copy of the
// program, scripted operator answers, and a look at the console, the rebuilt
// files and everything else in the tree afterwards.
//
// The tests named Both/* also run the Windows program under Wine when the
// build knows one (Wine/* instances); there message boxes and the dialog
// cannot be shown, so those tests look at the console and the files only.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/Harness.h"

namespace {

using e2e::Bytes;
using e2e::InOrder;
using e2e::Outcome;
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

// Bytes that differ from position to position and from seed to seed.
Bytes Pattern(size_t size, unsigned seed) {
  Bytes bytes(size);
  uint32_t state = seed * 2654435761u + 12345u;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

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
  Volume volume;
  volume.Set = MakeSet(set);
  volume.VolumeNumber = 1;
  volume.IsLast = true;
  volume.Pieces = std::move(pieces);
  return volume;
}

Piece WholeFile(const std::string& name, const Bytes& data) {
  Piece piece;
  piece.FileName = name;
  piece.Data = data;
  return piece;
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

TEST(Join, DestinationsTypedOrGivenAreCreatedOneLevelDeep) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string shownDest;  // relative to the work tree
  };
  Sandbox probe(Native());
  const std::vector<Case> cases = {
      {{}, "typed\n", "src/typed"},                          // relative to the start directory
      {{"rel"}, "", "src/rel"},                              // relative argument
      {{probe.Work("given")}, "", "given"},                  // a Unix path
      {{probe.Win32("a\\b\\c")}, "", "src"},                 // parent missing: stays at start
      {{"?x"}, "", "src"},                                   // not a help switch, not a name
      {{probe.Win32("src")}, "", "src"},                     // an existing directory
  };
  for (const Case& c : cases) {
    Sandbox box(Native());
    Bytes volume = volwriter::EncodeVolume(OneVolume({WholeFile("a.txt", Pattern(10, 11))}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg.rfind(probe.Work(), 0) == 0) arg = box.Work() + arg.substr(probe.Work().size());
      if (arg.rfind(probe.Win32(), 0) == 0) arg = box.Win32() + arg.substr(probe.Win32().size());
    }
    Outcome run = box.Run(exe, args, c.input + "n\nn\n");
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
  EXPECT_EQ(box.Launched(2), (std::vector<std::string>{box.Work("out/one.txt"),
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
  piece.DataSize = int64_t(1) << 40;  // far more than the volume holds
  Bytes volume = volwriter::EncodeVolume(OneVolume({piece}));
  const std::string exe = box.InstallProgram("src/data", &volume);
  const size_t fileSize = box.Get(exe).size();

  Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  // The trailer is read as data too: it is all that follows the header.
  EXPECT_TRUE(InOrder(run.output,
                      {"Read error at source offset: " +
                           std::to_string(fileSize) +
                           ", original offset: 40004\n",
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
      "CON", "nul.txt", "\\\\server\\share\\escape.txt"};
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
  for (int64_t offset : {int64_t(-1), int64_t(1) << 62}) {
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
