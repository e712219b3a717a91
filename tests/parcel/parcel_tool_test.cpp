// End-to-end runs of the parcel tool: round trips through parcel split and
// parcel join, through the self-joining programs (native, and Windows under
// Wine), every refusal with its message and exit status, and sets of a file
// over 4 GiB and of 1,000 volumes.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/parcel/TestFiles.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "writer/VolumeWriter.h"

namespace {

namespace fs = std::filesystem;

using parceltest::Pattern;
using parceltest::ReadAll;
using parceltest::WriteAll;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
  long maxRssKiB = 0;
};

// Runs a program in dir with stdin from /dev/null, optionally under a
// file-size limit; a run of more than timeout seconds is killed and fails.
Result RunProgram(const std::vector<std::string>& argv, const fs::path& dir, int timeout = 120,
           rlim_t fileSizeLimit = RLIM_INFINITY) {
  const fs::path outPath = fs::temp_directory_path() / ("parcel-out-" + std::to_string(getpid()));
  const fs::path errPath = fs::temp_directory_path() / ("parcel-err-" + std::to_string(getpid()));
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (fileSizeLimit != RLIM_INFINITY) {
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  Result result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  int status = 0;
  rusage usage{};
  for (;;) {
    if (wait4(pid, &status, WNOHANG, &usage) == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      ADD_FAILURE() << "timed out: " << argv[0];
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.maxRssKiB = usage.ru_maxrss;
  result.out = ReadAll(outPath);
  result.err = ReadAll(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  // In a sanitized build a report ends the program with status 1, which
  // some refusals expect too: look for the report itself.
  EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("runtime error:"), std::string::npos) << result.err;
  return result;
}

// Every regular file below root with its contents, by relative path.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = ReadAll(entry.path());
  }
  return files;
}

// Equal trees, or the names that differ (contents are not printed).
::testing::AssertionResult SameTree(const fs::path& a, const fs::path& b) {
  const auto left = Tree(a), right = Tree(b);
  if (left == right) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  for (const auto& [name, contents] : left) {
    auto it = right.find(name);
    if (it == right.end()) failure << "only in " << a << ": " << name << "\n";
    else if (it->second != contents) failure << "differs: " << name << "\n";
  }
  for (const auto& [name, contents] : right)
    if (left.count(name) == 0) failure << "only in " << b << ": " << name << "\n";
  return failure;
}

std::vector<std::string> Names(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& [name, contents] : Tree(root)) names.push_back(name);
  return names;
}

class ParcelTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("parceltool-" + std::to_string(random()));
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  Result Parcel(std::vector<std::string> args, const fs::path& dir = fs::path(), rlim_t limit = RLIM_INFINITY) {
    args.insert(args.begin(), PARCEL_BIN);
    return RunProgram(args, dir.empty() ? root_ : dir, 300, limit);
  }

  // A tree with nested directories, accented names, a euro sign, empty
  // files and a file larger than the volumes of the tests.
  void MakeTree(const fs::path& top, bool euro = true) {
    WriteAll(top / "readme.txt", "read me\n");
    WriteAll(top / "empty.txt", "");
    WriteAll(top / "photos" / "Café.jpg", Pattern(70000, 1));
    WriteAll(top / "photos" / "2024" / "élan vital.bin", Pattern(200001, 2));
    WriteAll(top / "photos" / "2024" / "zero", "");
    WriteAll(top / "photos" / "2024" / "deep" / "Übermaß.txt", "ü");
    if (euro) WriteAll(top / "photos" / "prix 5€.txt", "cinq euros");
  }

  fs::path root_;
};

// ------------------------------------------------------------------ round trips
TEST_F(ParcelTool, SplitListTestJoinRoundTrip) {
  MakeTree(root_ / "in" / "album");
  WriteAll(root_ / "in" / "notes.v2.txt", Pattern(5, 3));
  const Result split = Parcel({"split", "-s", "64k", "-o", "sets/album", "in/album", "in/notes.v2.txt"});
  ASSERT_EQ(split.status, 0) << split.err;
  // Without --stub a name the self-joining program cannot rebuild is only
  // worth a warning: parcel join rebuilds it.
  EXPECT_EQ(split.err,
            "parcel: in/album/photos/prix 5€.txt: the self-joining program cannot rebuild this name: its code page "
            "(850) has no '€'\n"
            "parcel: split: the self-joining program could not rebuild 1 file (it would stop at the first); "
            "parcel join rebuilds them\n");
  EXPECT_NE(split.out.find("sets/album.s01  65536 bytes\n"), std::string::npos) << split.out;
  EXPECT_NE(split.out.find("8 files, 270026 bytes, 5 volumes\n"), std::string::npos) << split.out;
  EXPECT_EQ(Names(root_ / "sets"), (std::vector<std::string>{"album.s01", "album.s02", "album.s03",
                                                              "album.s04", "album.s05"}));

  const Result list = Parcel({"list", "album.s03"}, root_ / "sets");
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("  200001       4 2-5         album\\photos\\2024\\élan vital.bin\n"),
            std::string::npos) << list.out;
  EXPECT_NE(list.out.find("album\\photos\\prix 5€.txt\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("         270026      12 5 volumes   8 files\n"), std::string::npos) << list.out;

  const Result test = Parcel({"test", "sets/album.s05"});
  EXPECT_EQ(test.status, 0) << test.err;
  EXPECT_NE(test.out.find("every piece sound"), std::string::npos);

  // Into a directory that does not exist yet, from another current directory.
  fs::create_directories(root_ / "elsewhere");
  const Result join = Parcel({"join", "-C", "../out/a/b", "../sets/album.s02"}, root_ / "elsewhere");
  ASSERT_EQ(join.status, 0) << join.err;
  EXPECT_TRUE(SameTree(root_ / "out" / "a" / "b", root_ / "in"));

  // -q keeps standard output empty; the work is the same.
  const Result quiet = Parcel({"join", "-q", "-f", "-C", "out/a/b", "sets/album.s01"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.out + quiet.err, "");
  EXPECT_TRUE(SameTree(root_ / "out" / "a" / "b", root_ / "in"));
}

TEST_F(ParcelTool, DefaultBaseAndOneVolume) {
  WriteAll(root_ / "report.final.pdf", Pattern(3000, 4));
  const Result split = Parcel({"split", "report.final.pdf"});
  ASSERT_EQ(split.status, 0) << split.err;
  EXPECT_TRUE(fs::exists(root_ / "report.final.s01"));
  EXPECT_FALSE(fs::exists(root_ / "report.final.s02"));
  fs::rename(root_ / "report.final.pdf", root_ / "original.pdf");
  const Result join = Parcel({"join", "report.final.s01"});
  ASSERT_EQ(join.status, 0) << join.err;
  EXPECT_EQ(ReadAll(root_ / "report.final.pdf"), ReadAll(root_ / "original.pdf"));
}

TEST_F(ParcelTool, SizesWithUnits) {
  // SIZE, the volumes a 100000-byte file takes.
  const struct {
    const char* size;
    size_t volumes;
  } cases[] = {{"50000", 3}, {"50kB", 3}, {"0.05MB", 3}, {"48.9k", 3}, {"49KiB", 2},
               {"30k", 4}, {"1m", 1}, {"1.44M", 1}, {"1g", 1}, {"1G", 1}, {"1GB", 1}};
  WriteAll(root_ / "f.bin", Pattern(100000, 5));
  for (const auto& c : cases) {
    const Result split = Parcel({"split", "-f", "-s", c.size, "-o", "v/f", "f.bin"});
    EXPECT_EQ(split.status, 0) << c.size << ": " << split.err;
    EXPECT_EQ(Names(root_ / "v").size(), c.volumes) << c.size;
  }
}

TEST_F(ParcelTool, ForceReplacesTheSetAndRemovesStaleVolumes) {
  WriteAll(root_ / "f.bin", Pattern(100000, 6));
  ASSERT_EQ(Parcel({"split", "-s", "20k", "f.bin"}).status, 0);
  ASSERT_EQ(Names(root_).size(), 6u);  // f.bin and five volumes
  const Result again = Parcel({"split", "-s", "20k", "f.bin"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("parcel: f.s01: volume exists (use -f to replace the set)\n"), std::string::npos)
      << again.err;
  const Result force = Parcel({"split", "-f", "-s", "60k", "f.bin"});
  ASSERT_EQ(force.status, 0) << force.err;
  EXPECT_EQ(Names(root_), (std::vector<std::string>{"f.bin", "f.s01", "f.s02"}));
  fs::rename(root_ / "f.bin", root_ / "g.bin");
  ASSERT_EQ(Parcel({"join", "f.s02"}).status, 0);
  EXPECT_EQ(ReadAll(root_ / "f.bin"), ReadAll(root_ / "g.bin"));
}

// Links in the destination never lead a join outside it.
TEST_F(ParcelTool, JoinDoesNotWriteThroughLinks) {
  WriteAll(root_ / "in" / "top" / "a.txt", "new a");
  WriteAll(root_ / "in" / "top" / "sub" / "b.txt", "new b");
  ASSERT_EQ(Parcel({"split", "-q", "-o", "set", "in/top"}).status, 0);
  WriteAll(root_ / "outside" / "a.txt", "keep a");
  WriteAll(root_ / "outside" / "b.txt", "keep b");

  // The file itself a link: -f replaces the link, the target keeps its bytes.
  fs::create_directories(root_ / "d1" / "top");
  fs::create_symlink(root_ / "outside" / "a.txt", root_ / "d1" / "top" / "a.txt");
  EXPECT_EQ(Parcel({"join", "-C", "d1", "set.s01"}).status, 1);
  EXPECT_EQ(Parcel({"join", "-f", "-C", "d1", "set.s01"}).status, 0);
  EXPECT_FALSE(fs::is_symlink(root_ / "d1" / "top" / "a.txt"));
  EXPECT_EQ(ReadAll(root_ / "d1" / "top" / "a.txt"), "new a");

  // A directory level a link: refused, with or without -f.
  fs::create_directories(root_ / "d2" / "top");
  fs::create_directory_symlink(root_ / "outside", root_ / "d2" / "top" / "sub");
  const Result join = Parcel({"join", "-f", "-C", "d2", "set.s01"});
  EXPECT_EQ(join.status, 1);
  EXPECT_NE(join.err.find("d2/top/sub: is a link; a directory is needed here"), std::string::npos) << join.err;
  EXPECT_EQ(ReadAll(root_ / "outside" / "a.txt"), "keep a");
  EXPECT_EQ(ReadAll(root_ / "outside" / "b.txt"), "keep b");
  EXPECT_FALSE(fs::exists(root_ / "d2" / "top" / "a.txt"));
}

TEST_F(ParcelTool, NativeSelfJoiningProgramRebuildsTheTree) {
  // SIZE counts the program too: volume 1 carries less data.
  const std::string size = std::to_string(fs::file_size(PARCELSTUB_BIN) + 65536);
  MakeTree(root_ / "in" / "album", false);
  const Result split =
      Parcel({"split", "-s", size, "--stub", PARCELSTUB_BIN, "-o", "sets/album", "in/album"});
  ASSERT_EQ(split.status, 0) << split.err;
  EXPECT_EQ(split.err, "");
  ASSERT_TRUE(fs::exists(root_ / "sets" / "album"));  // a Linux program: no extension
  EXPECT_FALSE(fs::exists(root_ / "sets" / "album.s01"));
  for (const std::string& name : Names(root_ / "sets"))
    EXPECT_LE(fs::file_size(root_ / "sets" / name), std::stoull(size)) << name;
  EXPECT_EQ(Parcel({"test", "sets/album"}).status, 0);

  const Result run = RunProgram({(root_ / "sets" / "album").string(), (root_ / "out").string()}, root_ / "sets");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(SameTree(root_ / "out", root_ / "in"));
}

// What split checks before it writes: names the self-joining program can
// rebuild, a --stub that is the self-joining program, a SIZE that holds it,
// outputs that are neither inputs nor files other than volumes. Each case
// runs in a fresh folder; "changed" lists what the run may add, and every
// file that was there before must be there after, unchanged.
TEST_F(ParcelTool, SplitChecksBeforeItWrites) {
  const std::string stub = PARCELSTUB_BIN;
  const std::string stubSize = std::to_string(fs::file_size(stub));
  const std::string longDir(70, 'd');
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> messages;       // each must appear on standard error
    std::vector<std::string> made;           // files the run makes
    const char* notSaid = nullptr;           // must not appear on standard error
  };
  const std::vector<Case> cases = {
      {"a name 850 lacks, with --stub", {"split", "--stub", stub, "-o", "e", "euro"}, 1,
       {"parcel: euro/a €.txt: the self-joining program cannot rebuild this name: its code page (850) has no '€'\n",
        "could not rebuild 1 file; nothing was written", "--allow-unportable-names"}, {}},
      {"the same, allowed", {"split", "--stub", stub, "--allow-unportable-names", "-o", "e", "euro"}, 0,
       {"euro/a €.txt: the self-joining program cannot rebuild this name",
        "making the set anyway (--allow-unportable-names)"}, {"e"}},
      {"the same, without --stub", {"split", "-o", "e", "euro"}, 0,
       {"euro/a €.txt: the self-joining program cannot rebuild this name"}, {"e.s01"}},
      {"a stored path over 200 characters", {"split", "--stub", stub, "-o", "l", "long"}, 1,
       {"the stored name is 2", "characters long; the self-joining program rebuilds names of at most 200"}, {}},
      {"many unportable names", {"split", "--stub", stub, "-o", "m", "many"}, 1,
       {"many/19 €.txt", "parcel: \xE2\x80\xA6" "and 5 more\n", "could not rebuild 25 files"}, {}},
      {"a text file as the program", {"split", "--stub", "notes", "-o", "t", "fine"}, 1,
       {"parcel: notes: not a self-joining program (neither a Windows nor a Linux program)"}, {}},
      {"parcel itself as the program", {"split", "--stub", PARCEL_BIN, "-o", "t", "fine"}, 1,
       {"a Linux program, but not the self-joining program (it lacks its mark)"}, {}},
      {"a self-joining file as the program", {"split", "--stub", "sfx", "-o", "t", "fine"}, 1,
       {"parcel: sfx: a self-joining file already (it carries a volume of a set)"}, {}},
      {"a folder as the program", {"split", "--stub", "photos", "-o", "t", "fine"}, 1, {"photos: is a directory"}, {}},
      {"a program cut short", {"split", "--stub", "cut", "-o", "t", "fine"}, 1,
       {"parcel: cut: a Linux program, but not the self-joining program (it lacks its mark)"}, {}},
      {"SIZE smaller than the program", {"split", "-s", "100k", "--stub", stub, "fine"}, 2,
       {"SIZE 102400 is too small for the self-joining file: the program takes " + stubSize + " bytes"}, {}},
      {"default BASE of a Linux set named like the input file", {"split", "-f", "--stub", stub, "notes"}, 0,
       {}, {"notes-set"}},
      {"default BASE named like the input folder", {"split", "--stub", stub, "photos"}, 0, {}, {"photos-set"},
       "existing volume"},
      {"default BASE whose volume is the input", {"split", "-f", "old.s01"}, 0, {}, {"old-set.s01"}},
      {"BASE given that names an input", {"split", "-f", "-o", "old", "old.s01"}, 1,
       {"parcel: old.s01: is an input of this split (old.s01); give another BASE with -o"}, {}},
      {"-f and a file that is not a volume", {"split", "-f", "-s", "30k", "-o", "report", "big.bin"}, 1,
       {"parcel: report.s03: exists and is not a volume of a set; it is not replaced, even with -f"}, {}},
      {"-f and a folder at a volume's name", {"split", "-f", "-o", "dir", "notes"}, 1,
       {"parcel: dir.s01: is a directory, not a volume"}, {}},
      {"a file beyond the set that is not a volume", {"split", "-f", "-s", "200k", "-o", "report", "big.bin"}, 0,
       {}, {"report.s01"}},
      {"a bad SIZE lists the forms", {"split", "-s", "1.44", "-s", "2 MB", "fine"}, 2,
       {"bad SIZE '2 MB': give bytes (1457664)", "floppy (1,457,664 bytes", "fat32"}, {}},
  };
  // The scene every case starts from, made once.
  const fs::path scene = root_ / "scene";
  WriteAll(scene / "euro" / "a €.txt", "euro");
  WriteAll(scene / "euro" / "plain.txt", "plain");
  WriteAll(scene / "long" / longDir / longDir / longDir / "file.txt", "long");
  for (int i = 0; i < 25; ++i) WriteAll(scene / "many" / (std::to_string(i) + " €.txt"), "x");
  WriteAll(scene / "fine" / "ok.txt", "fine");
  WriteAll(scene / "notes", "my notes");
  WriteAll(scene / "photos" / "beach.jpg", Pattern(3000, 8));
  WriteAll(scene / "big.bin", Pattern(100000, 9));
  WriteAll(scene / "report.s03", "the third report, a text");
  WriteAll(scene / "report.s07", "the seventh report, a text");
  fs::create_directories(scene / "dir.s01");
  WriteAll(scene / "cut", ReadAll(stub).substr(0, 8192));
  ASSERT_EQ(Parcel({"split", "-q", "-o", "old", "fine"}, scene).status, 0);
  ASSERT_EQ(Parcel({"split", "-q", "--stub", stub, "-o", "sfx", "fine"}, scene).status, 0);
  for (const Case& c : cases) {
    const fs::path dir = root_ / "case";
    fs::remove_all(dir);
    fs::copy(scene, dir, fs::copy_options::recursive);
    const auto before = Tree(dir);

    const Result run = Parcel(c.args, dir);
    EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.err;
    for (const std::string& message : c.messages)
      EXPECT_NE(run.err.find(message), std::string::npos) << c.what << ": " << message << "\n" << run.err;
    if (c.notSaid != nullptr) {
      EXPECT_EQ(run.err.find(c.notSaid), std::string::npos) << c.what << "\n" << run.err;
    }
    auto after = Tree(dir);
    for (const auto& [name, bytes] : before) {
      EXPECT_TRUE(after.count(name) && after[name] == bytes) << c.what << ": " << name << " changed";
      after.erase(name);
    }
    std::vector<std::string> made;
    for (const auto& entry : after) made.push_back(entry.first);
    EXPECT_EQ(made, c.made) << c.what;
  }
}

// join refuses, before writing anything, the names the self-joining program
// refuses as unsafe (devices, components of dots and blanks), and rebuilds
// the names it cannot hold in its code page (a set made without --stub).
TEST_F(ParcelTool, JoinRefusesWhatTheSelfJoiningProgramRefuses) {
  const struct {
    const char* stored;  // code page 1252
    const char* rebuilt;  // UTF-8 path below the destination; nullptr: refused
  } cases[] = {
      {"CONOUT$.txt", nullptr}, {"sub\\CLOCK$", nullptr}, {"COM0", nullptr}, {"lpt0.log", nullptr},
      {"conin$", nullptr},      {". \\x.txt", nullptr},     {"sub\\.\\x.txt", nullptr}, {"sub\\ \\x.txt", nullptr},
      {"a \x80.txt", "a €.txt"}, {"\x85 \x8A.txt", "… Š.txt"}, {"CONSOLE.txt", "CONSOLE.txt"},
  };
  for (const auto& c : cases) {
    const fs::path dir = root_ / "join";
    fs::remove_all(dir);
    volwriter::Volume v;
    v.Set.fill(3);
    v.IsLast = true;
    volwriter::Piece first;
    first.FileName = "first.txt";
    first.Data = {'1'};
    volwriter::Piece named;
    named.FileName = c.stored;
    named.Data = {'x', 'y'};
    v.Pieces = {first, named};
    const volwriter::Bytes bytes = volwriter::EncodeVolume(v);
    WriteAll(dir / "set.s01", std::string(bytes.begin(), bytes.end()));
    const Result join = Parcel({"join", "-C", "out", "set.s01"}, dir);
    if (c.rebuilt == nullptr) {
      EXPECT_EQ(join.status, 1) << c.stored << "\n" << join.err;
      EXPECT_NE(join.err.find("stored name"), std::string::npos) << c.stored << "\n" << join.err;
      EXPECT_FALSE(fs::exists(dir / "out")) << c.stored;
    } else {
      EXPECT_EQ(join.status, 0) << c.stored << "\n" << join.err;
      EXPECT_EQ(ReadAll(dir / "out" / c.rebuilt), "xy") << c.stored;
    }
  }
}

// A file that changes while split reads it is not stored torn: the split
// fails naming it and writes no volume. A writer appends to one file, or
// rewrites another in place at the same size, while it is split; a run
// that happens to fall between two writes stores exactly what it read.
TEST_F(ParcelTool, SplitRefusesAFileThatChangesWhileItIsRead) {
  for (const char* mode : {"append", "rewrite"}) {
    const fs::path dir = root_ / mode;
    WriteAll(dir / "live.bin", Pattern(24 << 20, 10));
    const pid_t writer = fork();
    if (writer == 0) {
      const bool append = std::string(mode) == "append";
      for (unsigned i = 0;; ++i) {
        const int fd = open((dir / "live.bin").c_str(), O_WRONLY | (append ? O_APPEND : 0));
        const char byte = static_cast<char>(i);
        if (fd < 0 || pwrite(fd, &byte, 1, append ? 0 : (i * 4099) % (24 << 20)) != 1) _exit(1);
        close(fd);
        usleep(200);
      }
    }
    int refused = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
      fs::remove_all(dir / "sets");
      const Result run = Parcel({"split", "-s", "8M", "-o", "sets/live", "live.bin"}, dir);
      if (run.status == 1) {
        ++refused;
        EXPECT_NE(run.err.find("parcel: live.bin: changed while it was being stored"), std::string::npos) << run.err;
        EXPECT_TRUE(!fs::exists(dir / "sets") || fs::is_empty(dir / "sets")) << mode;
      } else {
        EXPECT_EQ(run.status, 0) << run.err;
      }
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    EXPECT_GT(refused, 0) << mode;
  }
}

#ifdef PARCELSTUB_EXE
TEST_F(ParcelTool, WineSelfJoiningProgramRebuildsTheTree) {
  MakeTree(root_ / "in" / "album", false);
  const std::string size = std::to_string(fs::file_size(PARCELSTUB_EXE) + 65536);
  const Result split =
      Parcel({"split", "-s", size, "--stub", PARCELSTUB_EXE, "-o", "sets/album", "in/album"});
  ASSERT_EQ(split.status, 0) << split.err;
  ASSERT_TRUE(fs::exists(root_ / "sets" / "album.exe"));
  std::string dest = "Z:" + (root_ / "out").string();
  std::replace(dest.begin(), dest.end(), '/', '\\');
  const Result run = RunProgram({WINE_RUN, WINE_PREFIX, (root_ / "sets" / "album.exe").string(), dest}, root_ / "sets", 600);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  // The names arrive on disk as they were: UTF-8, accents and all.
  EXPECT_TRUE(SameTree(root_ / "out", root_ / "in"));
}
#endif

#if defined(PARCELSTUB_EXE) && defined(PARCEL_EXE)
// A name the Windows self-joining program cannot open (its code page 850
// has no euro sign): split --stub refuses the set, by either build of
// parcel; with --allow-unportable-names it is made with a warning, and the
// Windows program under Wine rebuilds what it can and reports that file.
TEST_F(ParcelTool, WineSelfJoiningProgramAndUnportableNames) {
  WriteAll(root_ / "in" / "a.txt", "first");
  WriteAll(root_ / "in" / "z €.txt", "euro");
  auto parcelExe = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {WINE_RUN, WINE_PREFIX, PARCEL_EXE});
    return RunProgram(args, root_, 600);
  };
  const Result native = Parcel({"split", "--stub", PARCELSTUB_EXE, "-o", "sets/euro", "in"});
  EXPECT_EQ(native.status, 1);
  EXPECT_NE(native.err.find("in/z €.txt: the self-joining program cannot rebuild this name: its code page (850) "
                            "has no '€'"), std::string::npos) << native.err;
  const Result windows = parcelExe({"split", "--stub", PARCELSTUB_EXE, "-o", "sets\\euro", "in"});
  EXPECT_EQ(windows.status, 1);
  EXPECT_NE(windows.err.find("z €.txt: the self-joining program cannot rebuild this name"), std::string::npos)
      << windows.err;
  EXPECT_FALSE(fs::exists(root_ / "sets" / "euro.exe"));

  const Result allowed =
      Parcel({"split", "--stub", PARCELSTUB_EXE, "--allow-unportable-names", "-o", "sets/euro", "in"});
  ASSERT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_NE(allowed.err.find("making the set anyway (--allow-unportable-names)"), std::string::npos) << allowed.err;
  std::string dest = "Z:" + (root_ / "out").string();
  std::replace(dest.begin(), dest.end(), '/', '\\');
  const Result run =
      RunProgram({WINE_RUN, WINE_PREFIX, (root_ / "sets" / "euro.exe").string(), dest}, root_ / "sets", 600);
  // The program asks for z ?.txt, which cannot be opened; its message box
  // has no display under Wine, and the run ends there.
  EXPECT_NE(run.out.find("\\out\\in\\z ?.txt\r\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadAll(root_ / "out" / "in" / "a.txt"), "first");
  EXPECT_FALSE(fs::exists(root_ / "out" / "in" / "z €.txt"));
  // parcel join rebuilds it.
  EXPECT_EQ(Parcel({"join", "-C", "joined", "sets/euro.exe"}).status, 0);
  EXPECT_TRUE(SameTree(root_ / "joined" / "in", root_ / "in"));
}

// The Windows tool finds --stub windows beside itself, as the .zip has it,
// and says where it looked for a Linux program it does not have.
TEST_F(ParcelTool, WineToolTakesTheProgramBesideIt) {
  fs::create_directories(root_ / "kit");
  fs::copy_file(PARCEL_EXE, root_ / "kit" / "parcel.exe");
  fs::copy_file(PARCELSTUB_EXE, root_ / "kit" / "parcelstub.exe");
  WriteAll(root_ / "in" / "a.txt", "kit");
  auto kit = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {WINE_RUN, WINE_PREFIX, (root_ / "kit" / "parcel.exe").string()});
    return RunProgram(args, root_, 600);
  };
  const Result windows = kit({"split", "--stub", "windows", "-o", "sets\\w", "in"});
  EXPECT_EQ(windows.status, 0) << windows.err;
  EXPECT_EQ(ReadAll(root_ / "sets" / "w.exe").substr(0, fs::file_size(PARCELSTUB_EXE)), ReadAll(PARCELSTUB_EXE));
  EXPECT_EQ(Parcel({"test", "sets/w.exe"}).status, 0);
  // A Windows program without the mark: parcel.exe itself.
  const Result other = Parcel({"split", "--stub", PARCEL_EXE, "-o", "sets/o", "in"});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("a Windows program, but not the self-joining program (it lacks its mark)"),
            std::string::npos) << other.err;
  const Result linux = kit({"split", "--stub", "linux", "-o", "sets\\l", "in"});
  EXPECT_EQ(linux.status, 1);
  EXPECT_NE(linux.err.find("no Linux self-joining program is installed with parcel (looked for "), std::string::npos)
      << linux.err;
}
#endif

#ifdef PARCEL_EXE
TEST_F(ParcelTool, WineToolRoundTripKeepsNames) {
  MakeTree(root_ / "in" / "Café", true);
  auto parcelExe = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {WINE_RUN, WINE_PREFIX, PARCEL_EXE});
    return RunProgram(args, root_, 600);
  };
  const Result split = parcelExe({"split", "-s", "64k", "-o", "sets\\café", "in\\Café"});
  ASSERT_EQ(split.status, 0) << split.out << split.err;
  EXPECT_TRUE(fs::exists(root_ / "sets" / "café.s05"));
  const Result list = parcelExe({"list", "sets\\café.s01"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("Café\\photos\\prix 5€.txt"), std::string::npos) << list.out;
  // The Windows tool's volumes join natively too.
  EXPECT_EQ(Parcel({"join", "-C", "native", "sets/café.s02"}).status, 0);
  EXPECT_TRUE(SameTree(root_ / "native", root_ / "in"));
  const Result join = parcelExe({"join", "-C", "out\\x", "sets\\café.s03"});
  EXPECT_EQ(join.status, 0) << join.out << join.err;
  EXPECT_TRUE(SameTree(root_ / "out" / "x", root_ / "in"));
  EXPECT_EQ(parcelExe({"join", "-C", "out\\x", "sets\\café.s03"}).status, 1);
}
#endif

// ------------------------------------------------------------------ refusals
struct Refusal {
  const char* what;
  std::vector<std::string> args;
  int status;
  const char* message;  // must appear on standard error
};

// A place where every refusal below can be tried: files with awkward names,
// a good set of three volumes (good.s01-s03), and an existing output.
void MakeRefusalScene(const fs::path& root) {
  WriteAll(root / "ok.txt", "fine");
  WriteAll(root / "日本.txt", "x");
  WriteAll(root / "ask?.txt", "x");
  WriteAll(root / "dot.", "x");
  WriteAll(root / "CON.txt", "x");
  WriteAll(root / "lpt¹", "x");
  WriteAll(root / "back\\slash", "x");
  WriteAll(root / "cases" / "A.txt", "x");
  WriteAll(root / "cases" / "a.TXT", "x");
  fs::create_directories(root / "hollow" / "inner");
  fs::create_directory_symlink(root / "hollow", root / "linked");
  WriteAll(root / "notavolume.s01", "just text, long enough to be read as something");
  WriteAll(root / "tiny", "PARC");
}

TEST_F(ParcelTool, EveryRefusalSaysWhyAndWritesNothing) {
  MakeRefusalScene(root_);
  WriteAll(root_ / "big.bin", Pattern(50000, 7));
  ASSERT_EQ(Parcel({"split", "-q", "-s", "20k", "-o", "good", "big.bin"}).status, 0);
  WriteAll(root_ / "dest" / "big.bin", "in the way");

  std::vector<Refusal> refusals = {
      {"no command", {}, 2, "parcel: no command given\nTry 'parcel --help'."},
      {"unknown command", {"merge"}, 2, "unknown command 'merge'"},
      {"split without path", {"split"}, 2, "parcel: split: no PATH given"},
      {"unknown option", {"split", "-x", "ok.txt"}, 2, "parcel: split: unknown option '-x'"},
      {"size without value", {"split", "ok.txt", "-s"}, 2, "option -s needs a value"},
      {"bad size", {"split", "-s", "12x", "ok.txt"}, 2, "bad SIZE '12x'"},
      {"zero size", {"split", "-s", "0", "ok.txt"}, 2, "bad SIZE '0'"},
      {"negative size", {"split", "-s", "-5", "ok.txt"}, 2, "bad SIZE '-5'"},
      {"size too small", {"split", "-s", "81", "ok.txt"}, 2,
       "SIZE 81 is too small: a volume of these files needs at least 82 bytes"},
      {"missing path", {"split", "nowhere.txt"}, 1, "parcel: nowhere.txt: No such file or directory"},
      {"not in 1252", {"split", "日本.txt"}, 1, "code page 1252 has no '日'"},
      {"forbidden character", {"split", "ask?.txt"}, 1, "the character '?' is not allowed"},
      {"backslash in a name", {"split", "back\\slash"}, 1, "the character '\\' is not allowed"},
      {"trailing dot", {"split", "dot."}, 1, "ending in a dot or a blank"},
      {"device", {"split", "CON.txt"}, 1, "'CON.txt' is a device name on Windows"},
      {"superscript device", {"split", "lpt¹"}, 1, "is a device name on Windows"},
      {"case collision", {"split", "cases"}, 1, "when letter case is ignored"},
      {"two paths, one name", {"split", "ok.txt", "./ok.txt"}, 1, "when letter case is ignored"},
      {"empty directory", {"split", "hollow"}, 1, "parcel: hollow/inner: empty directory cannot be stored"},
      {"linked directory", {"split", "linked"}, 1, "parcel: linked: linked directory skipped"},
      {"missing stub", {"split", "--stub", "no-program", "ok.txt"}, 1, "parcel: no-program: No such file"},
      {"existing volumes", {"split", "-s", "20k", "-o", "good", "big.bin"}, 1, "good.s01: volume exists"},
      {"list without volume", {"list"}, 2, "parcel: list: no VOLUME given"},
      {"list two volumes", {"list", "good.s01", "good.s02"}, 2, "one VOLUME only"},
      {"list of a missing file", {"list", "gone.s01"}, 1, "parcel: list: gone.s01: No such file or directory"},
      {"list of a non-volume", {"list", "notavolume.s01"}, 1, "notavolume.s01: not a volume of a split set"},
      {"test of a short file", {"test", "tiny"}, 1, "tiny: not a volume of a split set"},
      {"test of a directory", {"test", "hollow"}, 1, "parcel: test: hollow: Is a directory"},
      {"join option", {"join", "-x", "good.s01"}, 2, "parcel: join: unknown option '-x'"},
      {"join without dir", {"join", "good.s01", "-C"}, 2, "option -C needs a value"},
      {"join in the way", {"join", "-C", "dest", "good.s01"}, 1,
       "parcel: dest/big.bin: exists (use -f to overwrite)"},
      {"join through a file", {"join", "-C", "ok.txt/sub", "good.s01"}, 1, "ok.txt/sub"},
  };
  // A set that holds a file named like one of its own volumes.
  {
    volwriter::Volume v;
    v.Set.fill(9);
    v.IsLast = true;
    volwriter::Piece p;
    p.FileName = "self.s01";
    p.Data = {'x'};
    v.Pieces.push_back(p);
    const volwriter::Bytes bytes = volwriter::EncodeVolume(v);
    WriteAll(root_ / "self.s01", std::string(bytes.begin(), bytes.end()));
  }
  refusals.push_back({"join over its own volume", {"join", "-f", "self.s01"}, 1,
                      "parcel: self.s01: is a volume of the set being joined"});

  const auto before = Tree(root_);
  for (const Refusal& r : refusals) {
    const Result result = Parcel(r.args);
    EXPECT_EQ(result.status, r.status) << r.what << "\n" << result.err;
    EXPECT_NE(result.err.find(r.message), std::string::npos) << r.what << "\n" << result.err;
    EXPECT_TRUE(Tree(root_) == before) << r.what;
  }
}

// Sets with something wrong: each command says what, and a join writes
// nothing.
TEST_F(ParcelTool, DamagedAndIncompleteSets) {
  using volwriter::Piece;
  auto volume = [](int32_t number, bool last, std::vector<Piece> pieces) {
    volwriter::Volume v;
    v.Set.fill(7);
    v.VolumeNumber = number;
    v.IsLast = last;
    v.Pieces = std::move(pieces);
    return volwriter::EncodeVolume(v);
  };
  auto piece = [](const std::string& name, int64_t offset, const std::string& data) {
    Piece p;
    p.FileName = name;
    p.FileOffset = offset;
    p.Data.assign(data.begin(), data.end());
    return p;
  };
  auto text = [](const volwriter::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };

  const std::string good1 = text(volume(1, false, {piece("a.txt", 0, "hello ")}));
  const std::string good2 = text(volume(2, false, {piece("a.txt", 6, "world")}));
  const std::string good3 = text(volume(3, true, {piece("b.txt", 0, "bee")}));
  Piece badCrc = piece("a.txt", 6, "world");
  badCrc.Crc = 1234;
  std::string cut = good2;
  cut.resize(cut.size() - 2);  // inside the piece's data

  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> volumes;
    int listStatus, testStatus;
    const char* message;
  } cases[] = {
      {"missing middle", {{"s.s01", good1}, {"s.s03", good3}}, 1, 1, "set incomplete: missing volume 2"},
      {"missing last", {{"s.s01", good1}, {"s.s02", good2}}, 1, 1,
       "missing volume 3 or later (the last volume was not found)"},
      {"bad crc", {{"s.s01", good1}, {"s.s02", text(volume(2, false, {badCrc}))}, {"s.s03", good3}}, 0, 1,
       "a.txt: CRC error in the piece at offset 6 (volume 2)"},
      {"cut volume", {{"s.s01", good1}, {"s.s02", cut}, {"s.s03", good3}}, 1, 1,
       "s.s02: damaged piece header at offset 39: piece data cut short"},
      {"bad tag", {{"s.s01", good1 + "FHDX" + std::string(40, '\0')}, {"s.s02", good2}, {"s.s03", good3}}, 1, 1,
       "s.s01: damaged piece header at offset 86: not a piece header"},
      {"leaving the destination", {{"s.s01", text(volume(1, true, {piece("..\\evil.txt", 0, "x")}))}}, 0, 0,
       "parcel: ..\\evil.txt: unsafe stored name"},
      {"device", {{"s.s01", text(volume(1, true, {piece("sub\\aux.log", 0, "x")}))}}, 0, 0,
       "parcel: sub\\aux.log: unsafe stored name"},
      {"file and directory", {{"s.s01", text(volume(1, true, {piece("x", 0, "1"), piece("X\\y", 0, "2")}))}},
       0, 0, "the set holds both a file and a directory of this name"},
  };
  for (const auto& c : cases) {
    const fs::path dir = root_ / "case";
    fs::remove_all(dir);
    for (const auto& [name, bytes] : c.volumes) WriteAll(dir / name, bytes);
    const Result list = Parcel({"list", "s.s01"}, dir);
    const Result test = Parcel({"test", "s.s01"}, dir);
    const Result join = Parcel({"join", "-C", "out", "s.s01"}, dir);
    EXPECT_EQ(list.status, c.listStatus) << c.what << "\n" << list.err;
    if (std::string(c.what) == "missing middle") {
      EXPECT_NE(list.out.find("\nmissing volumes: 2\n"), std::string::npos) << list.out;
    }
    EXPECT_EQ(test.status, c.testStatus) << c.what << "\n" << test.err;
    EXPECT_EQ(join.status, 1) << c.what;
    EXPECT_NE(join.err.find(c.message), std::string::npos) << c.what << "\n" << join.err;
    // A bad CRC is found while copying; everything else before any write.
    if (std::string(c.what) != "bad crc") {
      EXPECT_FALSE(fs::exists(dir / "out")) << c.what;
    }
  }
}

// ------------------------------------------------------------------ crafted sets
// Sets made to deceive: each must be called damaged (or, for a set made
// without CRCs, said to be unchecked), with the file, the offsets or the
// volume named; a join of a damaged set writes nothing.
struct CraftedSet {
  const char* what;
  std::vector<std::pair<std::string, std::string>> volumes;  // file name, bytes
  int listStatus, testStatus, joinStatus;
  std::string message;  // on standard error of every command that fails (of join when all pass)
  std::string absent = "";  // on no output of any command
  bool fifo = false;    // s.s01 is a named pipe
};

std::string VolumeBytes(int32_t number, bool last, std::vector<volwriter::Piece> pieces, uint8_t checkMode = 0,
                        uint8_t setByte = 7) {
  volwriter::Volume v;
  v.Set.fill(setByte);
  v.VolumeNumber = number;
  v.IsLast = last;
  v.CheckMode = checkMode;
  v.Pieces = std::move(pieces);
  const volwriter::Bytes bytes = volwriter::EncodeVolume(v);
  return std::string(bytes.begin(), bytes.end());
}

volwriter::Piece MakePiece(const std::string& name, int64_t offset, const std::string& data) {
  volwriter::Piece p;
  p.FileName = name;
  p.FileOffset = offset;
  p.Data.assign(data.begin(), data.end());
  return p;
}

std::vector<CraftedSet> CraftedSets() {
  const int64_t max = INT64_MAX;
  volwriter::Piece changed = MakePiece("a.txt", 5, "world");
  changed.Crc = 1234;  // the data changed after its CRC was taken
  std::vector<volwriter::Piece> manyGaps;
  for (int i = 0; i < 30; ++i) manyGaps.push_back(MakePiece("g" + std::to_string(100 + i), 1, "x"));

  return {
      {"overlap", {{"s.s01", VolumeBytes(1, false, {MakePiece("a.txt", 0, "0123456789")})},
                   {"s.s02", VolumeBytes(2, true, {MakePiece("a.txt", 0, "abcdefghij")})}},
       1, 1, 1, "parcel: a.txt: damaged set: bytes 0 to 9 are held by two pieces (volume 1 and volume 2)"},
      {"overlap in part", {{"s.s01", VolumeBytes(1, true, {MakePiece("a.txt", 0, "0123456789"),
                                                           MakePiece("a.txt", 8, "89ab")})}},
       1, 1, 1, "a.txt: damaged set: bytes 8 to 9 are held by two pieces (volume 1 and volume 1)"},
      {"gap", {{"s.s01", VolumeBytes(1, false, {MakePiece("a.txt", 0, "hello")})},
               {"s.s02", VolumeBytes(2, true, {MakePiece("a.txt", 1000000, "world")})}},
       1, 1, 1, "parcel: a.txt: damaged set: no piece holds bytes 5 to 999999"},
      {"first bytes missing", {{"s.s01", VolumeBytes(1, true, {MakePiece("a.txt", 1, "bc")})}},
       1, 1, 1, "parcel: a.txt: damaged set: no piece holds byte 0"},
      {"an empty piece past the end", {{"s.s01", VolumeBytes(1, true, {MakePiece("a.txt", 0, "ab"),
                                                                       MakePiece("a.txt", 7, "")})}},
       1, 1, 1, "a.txt: damaged set: no piece holds bytes 2 to 6"},
      {"no CRCs, a byte changed", {{"s.s01", VolumeBytes(1, false, {MakePiece("a.txt", 0, "hello")}, 4)},
                                   {"s.s02", VolumeBytes(2, true, {changed}, 4)}},
       0, 0, 0, "parcel: s.s01: no CRCs recorded: contents not checked", "every piece sound"},
      {"CheckMode flipped in one volume",
       {{"s.s01", VolumeBytes(1, false, {MakePiece("a.txt", 0, "hello")})},
        {"s.s02", VolumeBytes(2, true, {changed}, 4)}},
       1, 1, 1,
       "parcel: s.s02: damaged volume: CRC mode 4 (no CRCs), but volume 1 has CRC mode 0 (CRCs compared): "
       "the volumes disagree on CRC checking"},
      {"pieces reaching INT64_MAX",
       {{"s.s01", VolumeBytes(1, true, {MakePiece("a", max - 1, "x"), MakePiece("b", max - 1, "y")})}},
       1, 1, 1, "parcel: s.s01: damaged set: the files add up to more than 9223372036854775807 bytes"},
      {"volume 400,000,000 alone", {{"s.s01", VolumeBytes(400000000, true, {MakePiece("a", 0, "x")})}},
       1, 1, 1, "parcel: s.s01: set incomplete: missing volumes 1-399999999"},
      {"volume 2,147,483,647, last", {{"s.s01", VolumeBytes(INT32_MAX, true, {MakePiece("a", 0, "x")})}},
       1, 1, 1, "parcel: s.s01: set incomplete: missing volumes 1-2147483646"},
      {"volume 2,147,483,647, not last", {{"s.s01", VolumeBytes(1, false, {MakePiece("a", 0, "x")})},
                                          {"s.s02", VolumeBytes(INT32_MAX, false, {MakePiece("b", 0, "y")})}},
       1, 1, 1, "parcel: s.s02: damaged volume: volume number 2147483647 is the highest a set can hold, but "
                "the volume is not marked last"},
      {"volume beyond the last", {{"s.s01", VolumeBytes(1, true, {MakePiece("a", 0, "x")})},
                                  {"s.s02", VolumeBytes(5, false, {MakePiece("b", 0, "y")})}},
       1, 1, 1, "parcel: s.s02: damaged volume: volume number 5 lies beyond the last volume, 1"},
      {"volume number 0", {{"s.s01", VolumeBytes(1, true, {MakePiece("a", 0, "x")})},
                           {"s.s00", VolumeBytes(0, false, {MakePiece("b", 0, "y")})}},
       1, 1, 1, "parcel: s.s00: damaged volume: volume number 0 (numbers start at 1)"},
      {"a volume of another set",
       {{"s.s01", VolumeBytes(1, false, {MakePiece("a", 0, "x")})},
        {"s.s02", VolumeBytes(2, false, {MakePiece("b", 0, "y")}, 0, 8)},
        {"s.s03", VolumeBytes(3, true, {MakePiece("c", 0, "z")})}},
       1, 1, 1, "parcel: s.s02: belongs to another set; volume 2 of this set is missing", "missing volume 2"},
      {"another set beside a complete one",
       {{"s.s01", VolumeBytes(1, true, {MakePiece("a", 0, "x")})},
        {"s.s02", VolumeBytes(2, true, {MakePiece("b", 0, "y")}, 0, 8)}},
       0, 0, 0, "parcel: s.s02: belongs to another set; ignored"},
      {"two spellings of one file", {{"s.s01", VolumeBytes(1, true, {MakePiece("A.txt", 0, "upper"),
                                                                     MakePiece("a.txt", 0, "lower")})}},
       0, 0, 1, "A.txt: damaged set: stored under several spellings, and bytes 0 to 4 are held by two pieces"},
      {"thirty damaged files", {{"s.s01", VolumeBytes(1, true, manyGaps)}},
       1, 1, 1, "parcel: \xE2\x80\xA6" "and 10 more", "g120: damaged"},
      {"a named pipe", {}, 1, 1, 1, "s.s01: not a regular file", "", true},
  };
}

// Runs the crafted sets through list, test and join of one build of the
// tool (run: args, directory).
template <typename Run>
void CheckCraftedSets(const fs::path& root, Run run) {
  for (const CraftedSet& c : CraftedSets()) {
    const fs::path dir = root / "crafted";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto& [name, bytes] : c.volumes) WriteAll(dir / name, bytes);
    if (c.fifo) {
      ASSERT_EQ(mkfifo((dir / "s.s01").c_str(), 0600), 0);
    }
    const Result list = run({"list", "s.s01"}, dir);
    const Result test = run({"test", "s.s01"}, dir);
    const Result join = run({"join", "-C", "out", "s.s01"}, dir);
    EXPECT_EQ(list.status, c.listStatus) << c.what << "\n" << list.err;
    EXPECT_EQ(test.status, c.testStatus) << c.what << "\n" << test.err;
    EXPECT_EQ(join.status, c.joinStatus) << c.what << "\n" << join.err;
    for (const Result* r : {&list, &test, &join}) {
      if (r->status != 0 || r == &join) {
        EXPECT_NE(r->err.find(c.message), std::string::npos) << c.what << "\n" << r->err;
      }
      if (!c.absent.empty()) {
        EXPECT_EQ((r->out + r->err).find(c.absent), std::string::npos) << c.what << "\n" << r->out << r->err;
      }
    }
    if (c.joinStatus != 0) {
      EXPECT_FALSE(fs::exists(dir / "out")) << c.what;
    }
  }
}

TEST_F(ParcelTool, CraftedSetsAreCalledWhatTheyAre) {
  CheckCraftedSets(root_, [&](std::vector<std::string> args, const fs::path& dir) { return Parcel(args, dir); });
}

#ifdef PARCEL_EXE
TEST_F(ParcelTool, WineCraftedSetsAreCalledWhatTheyAre) {
  CheckCraftedSets(root_, [&](std::vector<std::string> args, const fs::path& dir) {
    args.insert(args.begin(), {WINE_RUN, WINE_PREFIX, PARCEL_EXE});
    return RunProgram(args, dir, 600);
  });
}
#endif

// A set numbered far beyond its volumes costs no more than a small one.
TEST_F(ParcelTool, HighVolumeNumbersCostLittle) {
  WriteAll(root_ / "s.s01", VolumeBytes(INT32_MAX, true, {MakePiece("a", 0, "x")}));
  const Result list = Parcel({"list", "s.s01"});
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.out.find("missing volumes: 1-2147483646\n"), std::string::npos) << list.out;
  // The peak counts the test process as it was forked; a run that does
  // nothing is the base.
  const Result base = Parcel({"--version"});
  EXPECT_LT(list.maxRssKiB, base.maxRssKiB + 64 * 1024);
}

// A reader that ends before the output does (`parcel list | head -1`): no
// message, and the exit status is the work's.
TEST_F(ParcelTool, ClosedPipeOnStandardOutputEndsQuietly) {
  std::vector<volwriter::Piece> pieces;
  for (int i = 0; i < 5000; ++i) pieces.push_back(MakePiece("file " + std::to_string(i), 0, "x"));
  WriteAll(root_ / "s.s01", VolumeBytes(1, true, pieces));
  WriteAll(root_ / "bad.s01", VolumeBytes(1, true, {MakePiece("a", 1, "x")}));
  for (const auto& [volume, status] : std::vector<std::pair<std::string, int>>{{"s.s01", 0}, {"bad.s01", 1}}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // the reader is gone before the first write
    const fs::path errPath = root_ / "err.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      if (chdir(root_.c_str()) != 0) _exit(126);
      execl(PARCEL_BIN, PARCEL_BIN, "list", volume.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), status) << volume;
    const std::string err = ReadAll(errPath);
    EXPECT_EQ(err.find("standard output"), std::string::npos) << err;
    fs::remove(errPath);
  }
}

// A split that fails half-way (a file-size limit) leaves nothing of the new
// set behind, and a join that cannot write says so.
TEST_F(ParcelTool, FailedWritesLeaveNothingBehind) {
  WriteAll(root_ / "f.bin", Pattern(300000, 8));
  const Result split = Parcel({"split", "-s", "100k", "f.bin"}, root_, 80000);
  EXPECT_EQ(split.status, 1);
  EXPECT_NE(split.err.find("parcel: f.s01: File too large"), std::string::npos) << split.err;
  EXPECT_EQ(Names(root_), std::vector<std::string>{"f.bin"});

  ASSERT_EQ(Parcel({"split", "-q", "f.bin"}).status, 0);
  const Result join = Parcel({"join", "-C", "out", "f.s01"}, root_, 100000);
  EXPECT_EQ(join.status, 1);
  EXPECT_NE(join.err.find("parcel: out/f.bin: File too large"), std::string::npos) << join.err;
}

TEST_F(ParcelTool, HelpAndVersion) {
  const Result version = Parcel({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("parcel ") + PARCEL_VERSION_TEXT + "\n");
  for (const char* command : {"split", "list", "test", "join"}) {
    const Result help = Parcel({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: parcel ") + command, 0), 0u) << help.out;
  }
  EXPECT_EQ(Parcel({"--help"}).status, 0);
}

// ------------------------------------------------------------------ scale
// A sparse file of more than 4 GiB cut into more than 1,000 volumes, with
// marks around the 4 GiB line; memory stays flat in both directions.
TEST_F(ParcelTool, FileOver4GiBInThousandVolumes) {
  const int64_t size = (int64_t{1} << 32) + 4097;
  const std::vector<std::pair<int64_t, std::string>> marks = {
      {0, "start"}, {(int64_t{1} << 32) - 3, "across 4 GiB"}, {size - 3, "end"}};
  {
    const int fd = open((root_ / "huge.img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    for (const auto& [at, text] : marks) ASSERT_EQ(pwrite(fd, text.data(), text.size(), at), ssize_t(text.size()));
    close(fd);
  }
  const Result split = Parcel({"split", "-q", "-s", "4290000", "-o", "v/huge", "huge.img"});
  ASSERT_EQ(split.status, 0) << split.err;
  EXPECT_LT(split.maxRssKiB, 64 * 1024);
  EXPECT_TRUE(fs::exists(root_ / "v" / "huge.s99"));
  EXPECT_TRUE(fs::exists(root_ / "v" / "huge.s100"));
  EXPECT_TRUE(fs::exists(root_ / "v" / "huge.s1000"));
  EXPECT_GE(Names(root_ / "v").size(), 1000u);

  const Result join = Parcel({"join", "-C", "out", "v/huge.s777"});
  ASSERT_EQ(join.status, 0) << join.err;
  EXPECT_LT(join.maxRssKiB, 64 * 1024);
  fs::remove_all(root_ / "v");
  ASSERT_EQ(fs::file_size(root_ / "out" / "huge.img"), static_cast<uintmax_t>(size));

  // Zeros everywhere but at the marks.
  const int fd = open((root_ / "out" / "huge.img").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string block(4 << 20, '\0');
  const std::string zeros(block.size(), '\0');
  int64_t at = 0, bad = 0;
  for (ssize_t got; (got = read(fd, &block[0], block.size())) > 0; at += got) {
    for (const auto& [markAt, text] : marks) {
      for (size_t k = 0; k < text.size(); ++k) {
        const int64_t p = markAt + static_cast<int64_t>(k) - at;
        if (p >= 0 && p < got) {
          if (block[static_cast<size_t>(p)] != text[k]) ++bad;
          block[static_cast<size_t>(p)] = '\0';
        }
      }
    }
    if (std::memcmp(block.data(), zeros.data(), static_cast<size_t>(got)) != 0) ++bad;
  }
  close(fd);
  EXPECT_EQ(at, size);
  EXPECT_EQ(bad, 0);
}

}  // namespace
