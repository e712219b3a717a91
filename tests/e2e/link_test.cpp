// End-to-end runs of the real program against links and volumes in its way:
// symbolic links (to files, to directories, to nothing) and hard links below
// the destination, planted before the run or by a second process while it
// runs, another user planting them in a shared sticky folder, and a stored
// name that is one of the set's own volumes.
//
// Whatever is planted, nothing outside the destination changes, no volume
// changes, and a refused output ends the run as a failed open ("Unable to
// open original file.") without the launch question.
//
// The tests named Both/* run the native program and, when the build knows
// one, the Windows program under Wine (Wine/* instances; no message boxes
// there, so only the console and the files are looked at).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/Harness.h"

namespace {

namespace fs = std::filesystem;
using e2e::Bytes;
using e2e::InOrder;
using e2e::MakeVolume;
using e2e::Outcome;
using e2e::Pattern;
using e2e::Program;
using e2e::Sandbox;
using e2e::WholeFile;
using volwriter::Piece;
using volwriter::Volume;

const char kCannotOpen[] = "[Error] Unable to open original file.\n";

// What the program prints when it refuses an output: on Wine no message box
// can be shown, so only the end of the run is seen.
std::vector<std::string> RefusalLines(const Program& program, const std::string& processing) {
  std::vector<std::string> lines = {processing};
  if (!program.windows) lines.push_back(kCannotOpen);
  lines.push_back("Done\n");
  return lines;
}

std::string ProcessingLine(const Sandbox& box, const std::string& dest, const std::string& name) {
  return "Processing file: " + box.Win32(dest) + "\\" + name + "\nWorking...\n";
}

void Link(const std::string& target, const std::string& at) {
  ASSERT_EQ(0, symlink(target.c_str(), at.c_str())) << at << ": " << std::strerror(errno);
}

// Everything below a folder, links included (not followed), with the
// contents of files: what must not change.
std::vector<std::string> Snapshot(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& p = it->path();
    std::string line = fs::relative(p, dir).string();
    if (fs::is_symlink(fs::symlink_status(p))) {
      line += " -> " + fs::read_symlink(p).string();
    } else if (fs::is_regular_file(p)) {
      line += " = ";
      FILE* f = std::fopen(p.c_str(), "rb");
      std::string data;
      if (f != nullptr) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
        std::fclose(f);
      }
      line += std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>()(data));
    }
    out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class Both : public ::testing::TestWithParam<Program> {
 protected:
  Program program() const { return GetParam(); }
};

// ------------------------------------------------------------------ links planted before the run

struct PlantedCase {
  const char* name;
  const char* stored;  // the stored name of the piece that meets the link
  // Links to make below out/: "name=target", target relative to out/.
  std::vector<std::string> links;
};

TEST_P(Both, LinksBelowTheDestinationAreNeverFollowed) {
  const std::vector<PlantedCase> cases = {
      {"FileLink", "a.txt", {"a.txt=../outside/victim.txt"}},
      {"DirectoryLink", "sub\\b.txt", {"sub=../outside"}},
      {"DirectoryLinkTwoLevels", "sub\\x\\c.txt", {"sub=../outside"}},
      {"DanglingLink", "new.txt", {"new.txt=../outside/made.txt"}},
      {"DanglingDirectoryLink", "gone\\d.txt", {"gone=../outside/nodir"}},
      {"LinkInsideTheDestination", "e.txt", {"e.txt=kept.txt"}},
      {"LinkDeeper", "real\\in\\f.txt", {"real/in=../../outside"}},
      {"LinkOtherCase", "G.TXT", {"g.txt=../outside/victim.txt"}},
  };
  for (const PlantedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box(program());
    const Bytes first = Pattern(300, 1);
    const Bytes bad = Pattern(400, 2);
    Bytes volume = volwriter::EncodeVolume(MakeVolume(
        1, true,
        {WholeFile("first.txt", first), WholeFile(c.stored, bad),
         WholeFile("after.txt", Pattern(50, 3))}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    box.Put("outside/victim.txt", std::string("the victim's notes"));
    box.MakeDir("outside/keep");
    box.Put("out/kept.txt", std::string("kept"));
    box.MakeDir("out/real");
    for (const std::string& link : c.links) {
      const size_t eq = link.find('=');
      Link(link.substr(eq + 1), box.Work("out/" + link.substr(0, eq)));
    }
    const auto outsideBefore = Snapshot(box.Work("outside"));

    Outcome run = box.Run(exe, {box.Win32("out")}, "n\nn\n");
    ASSERT_FALSE(run.timedOut) << run.output;
    std::string shown = c.stored;
    EXPECT_TRUE(InOrder(run.output, RefusalLines(program(), ProcessingLine(box, "out", shown))));
    EXPECT_EQ(run.output.find("after.txt"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Launch combined"), std::string::npos) << run.output;
    EXPECT_EQ(Snapshot(box.Work("outside")), outsideBefore);
    EXPECT_EQ(box.Get("out/first.txt"), first);
    EXPECT_EQ(box.Get("out/kept.txt"), e2e::ToBytes("kept"));
    EXPECT_FALSE(box.Exists("out/after.txt"));
    for (const std::string& link : c.links) {  // each link is still the link it was
      const std::string at = box.Work("out/" + link.substr(0, link.find('=')));
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(at))) << at;
    }
  }
}

// A link in the destination's own path is the operator's choice: followed.
TEST_P(Both, LinkInTheDestinationPathItselfIsFollowed) {
  Sandbox box(program());
  const std::vector<Piece> pieces = {WholeFile("a.txt", Pattern(100, 4)),
                                     WholeFile("sub\\b.txt", Pattern(100, 5))};
  Bytes volume = volwriter::EncodeVolume(MakeVolume(1, true, pieces));
  const std::string exe = box.InstallProgram("src/data", &volume);
  box.MakeDir("real/target");
  Link("real", box.Work("via"));  // the path given runs through a link

  Outcome run = box.Run(exe, {box.Win32("via\\target")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.output.find("Unable"), std::string::npos) << run.output;
  EXPECT_EQ(box.Get("real/target/a.txt"), pieces[0].Data);
  EXPECT_EQ(box.Get("real/target/sub/b.txt"), pieces[1].Data);
}

// ------------------------------------------------------------------ volumes and hard links

struct VolumeCase {
  const char* name;
  const char* stored;   // a stored name of volume 1, written into src/ itself
  bool hardLinkOut;     // the piece goes to out/ instead, where its name is a hard link
};

// Volume 1 (the self-joining "evil") stores a file named like a volume of
// its own set, and the program is run with its own folder as destination:
// every volume survives, and the run ends at that piece.
TEST_P(Both, CandidateVolumesAreNeverWritten) {
  const std::vector<VolumeCase> cases = {
      {"NextVolume", "evil.s02", false},
      {"NextVolumeOtherCase", "EVIL.S02", false},
      {"NextVolumeTrailingDot", "evil.s02.", false},
      {"TheProgramItself", "<program>", false},
      {"OtherFileWithTheBaseName", "EVIL.txt", false},
      {"HardLinkToAVolume", "h.bin", true},
      {"HardLinkToAFileOutside", "k.bin", true},
  };
  for (VolumeCase c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box(program());
    const std::string programName = "evil" + program().extension;
    if (std::string(c.stored) == "<program>") c.stored = programName.c_str();
    const Bytes first = Pattern(500, 6);
    std::vector<Volume> volumes = {
        MakeVolume(1, false, {WholeFile("first.txt", first), WholeFile(c.stored, Pattern(12, 7))}),
        MakeVolume(2, true, {WholeFile("second.txt", Pattern(600, 8))})};
    const Bytes one = volwriter::EncodeVolume(volumes[0]);
    const std::string exe = box.InstallProgram("src/evil", &one);
    box.Put("src/evil.s02", volwriter::EncodeVolume(volumes[1]));
    box.Put("outside/victim.bin", Pattern(64, 9));
    box.Put("src/evil.txt", std::string("a file beside the volumes"));
    std::string dest = "src";
    if (c.hardLinkOut) {
      dest = "out";
      box.MakeDir("out");
      const std::string target =
          std::string(c.stored) == "h.bin" ? box.Work("src/evil.s02") : box.Work("outside/victim.bin");
      ASSERT_EQ(0, link(target.c_str(), box.Work("out/" + std::string(c.stored)).c_str()));
    }
    const Bytes programBytes = box.Get(exe);
    const Bytes second = box.Get("src/evil.s02");
    const Bytes victim = box.Get("outside/victim.bin");

    Outcome run = box.Run(exe, {box.Win32(dest)}, "n\nn\n");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(InOrder(run.output, RefusalLines(program(), ProcessingLine(box, dest, c.stored))));
    EXPECT_EQ(run.output.find("Current volume: 2"), std::string::npos) << run.output;
    EXPECT_EQ(box.Get(exe), programBytes) << "the program file was changed";
    EXPECT_EQ(box.Get("src/evil.s02"), second) << "volume 2 was changed";
    EXPECT_EQ(box.Get("outside/victim.bin"), victim) << "a file outside was changed";
    EXPECT_EQ(box.Get("src/evil.txt"), e2e::ToBytes("a file beside the volumes"));
    EXPECT_EQ(box.Get(dest + "/first.txt"), first);
  }
}

// A set joined into its own folder completes when no piece names a file
// that is there already under a volume's base name: the rule refuses
// volumes, not the folder, and a new file named like a volume destroys
// nothing.
TEST_P(Both, JoiningIntoTheVolumesFolderStillWorks) {
  Sandbox box(program());
  std::vector<Volume> volumes = {MakeVolume(1, false, {WholeFile("one.txt", Pattern(500, 10)),
                                                       WholeFile("Evil.pdf", Pattern(70, 12))}),
                                 MakeVolume(2, true, {WholeFile("two.txt", Pattern(600, 11))})};
  const Bytes one = volwriter::EncodeVolume(volumes[0]);
  const std::string exe = box.InstallProgram("src/evil", &one);
  box.Put("src/evil.s02", volwriter::EncodeVolume(volumes[1]));
  Outcome run = box.Run(exe, {box.Win32("src")}, "n\nn\n");
  ASSERT_FALSE(run.timedOut);
  EXPECT_TRUE(InOrder(run.output, {"Current volume: 1", "Current volume: 2", "Done\n"}));
  EXPECT_EQ(box.Get("src/one.txt"), Pattern(500, 10));
  EXPECT_EQ(box.Get("src/two.txt"), Pattern(600, 11));
  EXPECT_EQ(box.Get("src/Evil.pdf"), Pattern(70, 12));
}

INSTANTIATE_TEST_SUITE_P(Native, Both, ::testing::Values(e2e::NativeProgram()));
#ifdef PARCELSTUB_EXE
INSTANTIATE_TEST_SUITE_P(Wine, Both, ::testing::Values(e2e::WineProgram()));
#endif

// ------------------------------------------------------------------ links planted during the run

// A second process keeps planting links where the program is about to
// write: the levels below the destination swapped for links to outside,
// files about to be made planted as links, files already made swapped for
// links between their pieces. Many runs; none may change anything outside.
struct RaceTally {
  int runs = 0;
  int completed = 0;  // ended with "Done" and the closing text: every file whole
  int refused = 0;    // ended at a refused output
  int escaped = 0;    // changed something outside the destination, or a volume
};

// Another user, when `as` names one: the planter then works in the shared
// sticky folder, where it can add names but not move the program's.
struct OtherUser {
  bool active = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

pid_t StartPlanter(const Sandbox& box, const std::string& where, unsigned seed, unsigned pace,
                   const OtherUser& as) {
  const std::string out = box.Work(where);
  const std::string outside = box.Work("outside");
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: plants until it is killed.
  if (as.active && (setgroups(0, nullptr) != 0 || setgid(as.gid) != 0 || setuid(as.uid) != 0)) {
    _exit(2);
  }
  std::mt19937 random(seed);
  char name[64];
  for (unsigned long i = 0;; ++i) {
    // At moments spread over the run, so that runs get to different points.
    usleep(static_cast<useconds_t>(random() % pace));
    const unsigned n = random() % 8;
    const std::string level = out + "/sub" + std::to_string(n % 2);
    switch (random() % 4) {
      case 0:  // a level swapped for a link to outside
        std::snprintf(name, sizeof name, "/aside%lu", i);
        rename(level.c_str(), (out + name).c_str());
        symlink(outside.c_str(), level.c_str());
        break;
      case 1:  // a file about to be made, or made already, becomes a link
        std::snprintf(name, sizeof name, "/f%u.bin", n);
        rename((out + name).c_str(), (out + name + ".aside").c_str());
        symlink((outside + "/victim.bin").c_str(), (out + name).c_str());
        break;
      case 2: {  // the same inside a level (a real one: the planter itself
                 // must not write outside)
        struct stat st {};
        std::snprintf(name, sizeof name, "/g%u.bin", n);
        if (lstat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          symlink((outside + "/victim.bin").c_str(), (level + name).c_str());
        }
        break;
      }
      default:  // links removed again, so that the run gets further
        unlink(level.c_str());
        std::snprintf(name, sizeof name, "/f%u.bin", n);
        unlink((out + name).c_str());
        break;
    }
  }
}

void StopPlanter(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

RaceTally RunRaces(const Program& program, int runs, const OtherUser& as = OtherUser()) {
  RaceTally tally;
  for (int r = 0; r < runs; ++r) {
    Sandbox box(program);
    // Files split over three volumes, so that each is opened again per piece.
    std::vector<volwriter::InputFile> files;
    for (int n = 0; n < 8; ++n) {
      files.push_back({"f" + std::to_string(n) + ".bin", Pattern(3000, 20 + n)});
      files.push_back({"sub" + std::to_string(n % 2) + "\\g" + std::to_string(n) + ".bin",
                       Pattern(2000, 40 + n)});
    }
    volwriter::SplitOptions options;
    options.VolumeSize = 15000;
    options.Set.fill(3);
    const std::vector<Volume> volumes = volwriter::SplitFiles(files, options);
    const Bytes one = volwriter::EncodeVolume(volumes.at(0));
    const std::string exe = box.InstallProgram("src/data", &one);
    for (size_t i = 1; i < volumes.size(); ++i) {
      box.Put("src/data.s0" + std::to_string(i + 1), volwriter::EncodeVolume(volumes[i]));
    }
    box.Put("outside/victim.bin", Pattern(77, 99));
    box.MakeDir("out");
    // Another user's planter works in the temporary folder, which the
    // program takes when Enter is pressed at the destination question.
    const std::string where = as.active ? "tmp" : "out";
    if (as.active) {
      for (fs::path p = box.Work("tmp"); p != p.root_path(); p = p.parent_path()) {
        if (p == fs::temp_directory_path()) break;
        chmod(p.c_str(), 0755);
      }
      chmod(box.Work("tmp").c_str(), 01777);
    }
    const auto outsideBefore = Snapshot(box.Work("outside"));
    const auto srcBefore = Snapshot(box.Work("src"));

    // The pause between plantings (microseconds, random up to this) grows
    // from run to run, so that some runs are hit early and some late.
    const unsigned pace = (program.windows ? 20000u : 400u) * (1u + static_cast<unsigned>(r) % 10u);
    const pid_t planter =
        StartPlanter(box, where, static_cast<unsigned>(r) * 7919u + 1, pace, as);
    Outcome run = as.active ? box.Run(exe, {}, "\nn\nn\n")
                            : box.Run(exe, {box.Win32("out")}, "n\nn\n");
    StopPlanter(planter);
    ++tally.runs;

    EXPECT_FALSE(run.timedOut) << run.output;
    const bool outsideKept = Snapshot(box.Work("outside")) == outsideBefore;
    const bool volumesKept = Snapshot(box.Work("src")) == srcBefore;
    EXPECT_TRUE(outsideKept) << "run " << r << " changed a file outside\n" << run.output;
    EXPECT_TRUE(volumesKept) << "run " << r << " changed a volume";
    if (!outsideKept || !volumesKept) ++tally.escaped;
    // (The planter also moves the program's files and folders aside, which
    // anyone who may write the destination can do: a run that completes
    // may then have rebuilt a file anew from its later pieces only.)
    if (run.output.find("Try \"Quonda") != std::string::npos) {
      ++tally.completed;
    } else {
      ++tally.refused;
      if (!program.windows) {
        EXPECT_NE(run.output.find(kCannotOpen), std::string::npos) << run.output;
      }
    }
  }
  return tally;
}

void ReportTally(const char* what, const RaceTally& tally) {
  std::printf("%s: %d runs, %d completed, %d ended at a planted link, %d changed something "
              "outside\n",
              what, tally.runs, tally.completed, tally.refused, tally.escaped);
  ::testing::Test::RecordProperty("runs", tally.runs);
}

TEST(Race, LinksPlantedDuringTheRunAreNeverFollowed) {
  const int runs = std::getenv("PARCEL_RACE_RUNS") ? std::atoi(std::getenv("PARCEL_RACE_RUNS")) : 200;
  ReportTally("native program", RunRaces(e2e::NativeProgram(), runs));
}

// The same raced by another user in the shared sticky folder that is the
// default destination.
TEST(Race, AnotherUsersLinksInTheStickyFolderAreNeverFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user \"nobody\"";
  OtherUser as;
  as.active = true;
  as.uid = nobody->pw_uid;
  as.gid = nobody->pw_gid;
  const int runs =
      std::getenv("PARCEL_RACE_RUNS") ? std::atoi(std::getenv("PARCEL_RACE_RUNS")) / 2 : 100;
  ReportTally("native program, another user in the sticky folder",
              RunRaces(e2e::NativeProgram(), runs, as));
}

#ifdef PARCELSTUB_EXE
TEST(WineRace, LinksPlantedDuringTheRunAreNeverFollowed) {
  const int runs = std::getenv("PARCEL_RACE_RUNS") ? std::atoi(std::getenv("PARCEL_RACE_RUNS")) : 60;
  ReportTally("Windows program under Wine", RunRaces(e2e::WineProgram(), runs));
}
#endif

// ------------------------------------------------------------------ another user, a sticky folder

// The default destination is the temporary folder, which everyone may write
// (sticky). Another user makes samples/README.txt there a link to the
// victim's notes before the victim presses Enter at the destination prompt.
TEST(SharedFolder, AnotherUsersLinkInTheTemporaryFolderIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user \"nobody\"";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  struct Plant {
    const char* name;
    const char* stored;
  };
  for (const Plant& plant : {Plant{"FileLinkInAFolderOfTheirs", "samples\\README.txt"},
                             Plant{"FolderLinkInTheStickyFolder", "samples\\README.txt"},
                             Plant{"FileLinkInTheStickyFolder", "README.txt"}}) {
    SCOPED_TRACE(plant.name);
    Sandbox box(e2e::NativeProgram());
    const std::vector<Piece> pieces = {WholeFile(plant.stored, Pattern(900, 12))};
    Bytes volume = volwriter::EncodeVolume(MakeVolume(1, true, pieces));
    const std::string exe = box.InstallProgram("src/samples", &volume);
    box.Put("home/notes.txt", std::string("the victim's own notes"));
    // The sandbox is reachable by the other user; tmp/ is the shared folder.
    for (fs::path p = box.Work("tmp"); p != p.root_path(); p = p.parent_path()) {
      if (p == fs::temp_directory_path()) break;
      chmod(p.c_str(), 0755);
    }
    chmod(box.Work("tmp").c_str(), 01777);
    const std::string tmp = box.Work("tmp");
    const std::string victim = box.Work("home/notes.txt");
    const std::string which = plant.name;

    const pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
      bool ok = true;
      if (which == "FileLinkInAFolderOfTheirs") {
        ok = mkdir((tmp + "/samples").c_str(), 0777) == 0 &&
             symlink(victim.c_str(), (tmp + "/samples/README.txt").c_str()) == 0;
      } else if (which == "FolderLinkInTheStickyFolder") {
        ok = symlink(box.Work("home").c_str(), (tmp + "/samples").c_str()) == 0;
      } else {
        ok = symlink(victim.c_str(), (tmp + "/README.txt").c_str()) == 0;
      }
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user could not plant";

    // The victim presses Enter: the default destination.
    Outcome run = box.Run(exe, {}, "\nn\nn\n");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(InOrder(run.output, {"Destination directory: " + box.Win32("tmp") + "\n",
                                     ProcessingLine(box, "tmp", plant.stored), kCannotOpen,
                                     "Done\n"}));
    EXPECT_EQ(box.Get("home/notes.txt"), e2e::ToBytes("the victim's own notes"));
    EXPECT_EQ(Snapshot(box.Work("home")).size(), 1u);
  }
}

}  // namespace
