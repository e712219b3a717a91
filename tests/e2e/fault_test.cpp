// End-to-end fault runs of the native program: writes that fail (a file-size
// limit, a full file system), a destination it may not write, a volume it
// may not read, the destination equal to the source, and volumes cut inside
// a piece header or inside a piece's data.
//
// Whatever goes wrong, a run must never look like a success when data was
// lost: no "Launch combined file(s)?" question, a message that says what
// failed, files rebuilt before the fault left as they were, exit code 0 and
// no signal.
//
// Permission faults need a user the permissions apply to (root passes them
// all): the program then runs as "nobody". Tests that the machine cannot
// stage (no such user, no tmpfs mount) are skipped with a message.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/Harness.h"

namespace {

namespace fs = std::filesystem;
using e2e::Bytes;
using e2e::MakeVolume;
using e2e::Pattern;
using e2e::WholeFile;
using e2e::Sandbox;
using volwriter::Piece;
using volwriter::Volume;

const char kLaunchBox[] = "[Action request] Launch combined file(s)?";
const char kCannotOpen[] = "[Error] Unable to open original file.";
const char kCannotWrite[] = "[Error] Unable to write original file.";
const char kNoSpace[] = "[Critical error] No space available on target drive.";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How the child is started besides what the harness does.
struct Fault {
  rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE of the program
  bool unprivileged = false;             // run as "nobody" (when we are root)
  bool closedOutput = false;             // standard output is a pipe nobody reads
};

struct Outcome {
  int exitCode = -1;
  int signal = 0;
  bool timedOut = false;
  std::string output;
};

// The user the permission faults run as; false when there is none to switch to.
bool NobodyIds(uid_t& uid, gid_t& gid) {
  if (geteuid() != 0) {
    uid = geteuid();
    gid = getegid();
    return true;
  }
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return false;
  uid = nobody->pw_uid;
  gid = nobody->pw_gid;
  return true;
}

// Lets everyone reach and read the work tree (the program runs as another
// user in some tests); the modes a test sets afterwards decide the rest.
void OpenUp(const Sandbox& box) {
  const fs::path work = box.Work();
  fs::permissions(work.parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
  for (const auto& entry : fs::recursive_directory_iterator(work)) {
    const bool dir = entry.is_directory();
    fs::permissions(entry.path(),
                    dir || entry.path().filename() == "data"
                        ? fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec
                        : fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
  }
  fs::permissions(work, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
}

// Runs the installed program like Sandbox::Run, with the fault applied in
// the child just before it starts.
Outcome RunWithFault(const Sandbox& box, const std::string& programRelative,
                     const std::vector<std::string>& args, const Fault& fault,
                     const std::string& cwd = "src") {
  char pattern[] = "/tmp/parcelfault-XXXXXX";
  const std::string meta = mkdtemp(pattern);
  const std::string outputPath = meta + "/output";
  {
    std::ofstream(meta + "/input");  // no operator: the input is empty
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (fault.unprivileged && !NobodyIds(uid, gid)) ADD_FAILURE() << "no unprivileged user";

  std::vector<std::string> argv = {box.Work(programRelative)};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::vector<std::string> env = {
      "TMPDIR=" + box.Work("tmp"), "PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/nonexistent",
      "LANG=C.UTF-8"};

  const e2e::ChildEnd end = e2e::RunChild(argv, env, box.Work(cwd), 60, [&] {
    // The program's own defaults: nothing inherited from the test decides
    // what a signal does.
    signal(SIGXFSZ, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    if (!e2e::RedirectStandardStreams(meta + "/input", outputPath, meta + "/errors")) return false;
    if (fault.closedOutput) {
      int ends[2];
      if (pipe(ends) != 0) return false;
      close(ends[0]);
      dup2(ends[1], 1);
      close(ends[1]);
    }
    if (fault.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
      return false;
    }
    const rlimit limit{fault.fileSizeLimit, fault.fileSizeLimit};
    return fault.fileSizeLimit == RLIM_INFINITY || setrlimit(RLIMIT_FSIZE, &limit) == 0;
  });
  Outcome outcome;
  outcome.timedOut = end.timedOut;
  outcome.exitCode = end.exitCode;
  outcome.signal = end.signal;
  outcome.output = ReadAll(outputPath);
  const std::string errors = ReadAll(meta + "/errors");
  std::error_code ec;
  fs::remove_all(meta, ec);

  EXPECT_FALSE(outcome.timedOut) << "timed out\n" << outcome.output;
  EXPECT_EQ(outcome.signal, 0) << "killed by signal " << outcome.signal << " ("
                               << strsignal(outcome.signal) << ")\n"
                               << outcome.output;
  EXPECT_EQ(outcome.exitCode, 0) << errors << outcome.output;
  return outcome;
}

// The run admits that it failed: no launch question, and the message given.
void ExpectHonestFailure(const Outcome& outcome, const std::vector<std::string>& anyOf) {
  EXPECT_EQ(outcome.output.find(kLaunchBox), std::string::npos)
      << "the run offers to launch files it did not rebuild\n"
      << outcome.output;
  bool found = anyOf.empty();
  for (const std::string& text : anyOf) found = found || outcome.output.find(text) != std::string::npos;
  EXPECT_TRUE(found) << "expected one of: " << ::testing::PrintToString(anyOf) << "\n"
                     << outcome.output;
}

// A self-joining "data" (volume 1) with data.s02, data.s03... beside it.
std::string InstallSet(Sandbox& box, const std::vector<Volume>& volumes) {
  const Bytes first = volwriter::EncodeVolume(volumes.at(0));
  const std::string program = box.InstallProgram("src/data", &first);
  for (size_t i = 1; i < volumes.size(); ++i) {
    box.Put("src/data.s0" + std::to_string(i + 1), volwriter::EncodeVolume(volumes[i]));
  }
  return program;
}

// True when the program may run as an unprivileged user here.
bool CanDropPrivileges(std::string& why) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (!NobodyIds(uid, gid)) {
    why = "there is no user \"nobody\" to run the program as";
    return false;
  }
  if (geteuid() != 0) return true;
  pid_t pid = fork();
  if (pid == 0) _exit(setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "this process may not switch to the user \"nobody\"";
    return false;
  }
  return true;
}

// True when the unprivileged user can start the program where it lies (the
// work tree may sit below a directory only we may enter).
bool CanRunAsNobody(const std::string& programPath, std::string& why) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (!NobodyIds(uid, gid)) return false;
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(1);
    _exit(access(programPath.c_str(), X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "the unprivileged user cannot reach " + programPath;
    return false;
  }
  return true;
}

// A small tmpfs on a directory of the work tree, in a mount namespace of this
// test process's own (so nothing outside the process ever sees it).
class SmallTmpfs {
 public:
  bool Mount(const std::string& dir, size_t bytes, std::string& why) {
    static bool privateNamespace = false;
    if (!privateNamespace) {
      if (unshare(CLONE_NEWNS) != 0) {
        why = std::string("no mount namespace of our own: ") + std::strerror(errno);
        return false;
      }
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("cannot make the mounts private: ") + std::strerror(errno);
        return false;
      }
      privateNamespace = true;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
      return false;
    }
    dir_ = dir;
    return true;
  }
  ~SmallTmpfs() {
    if (!dir_.empty()) umount2(dir_.c_str(), MNT_DETACH);
  }

 private:
  std::string dir_;
};

// ------------------------------------------------------------------ writes that fail

TEST(Fault, WriteBeyondFileSizeLimitIsReportedAndEarlierFilesStay) {
  Sandbox box(e2e::NativeProgram());
  const Bytes small = Pattern(3000, 1);
  const Bytes big = Pattern(300 * 1024, 2);
  const std::string program =
      InstallSet(box, {MakeVolume(1, true, {WholeFile("small.txt", small), WholeFile("big.bin", big)})});
  box.MakeDir("out");

  Fault fault;
  fault.fileSizeLimit = 64 * 1024;
  const auto outcome = RunWithFault(box, program, {box.Win32("out")}, fault);

  ExpectHonestFailure(outcome, {kCannotWrite});
  EXPECT_EQ(box.Get("out/small.txt"), small);
}

TEST(Fault, FullFileSystemNeverLooksLikeSuccess) {
  Sandbox box(e2e::NativeProgram());
  box.MakeDir("out");
  std::string why;
  SmallTmpfs tmpfs;
  if (!tmpfs.Mount(box.Work("out"), 96 * 1024, why)) GTEST_SKIP() << why;

  // The volumes declare no space need, so the writes themselves meet the
  // full file system (or the program's own check of each piece does).
  const Bytes small = Pattern(4000, 3);
  const Bytes big = Pattern(400 * 1024, 4);
  Volume first = MakeVolume(1, false, {WholeFile("small.txt", small)});
  Volume second = MakeVolume(2, true, {WholeFile("big.bin", big)});
  first.SpaceNeeded = 0;
  second.SpaceNeeded = 0;
  const std::string program = InstallSet(box, {first, second});

  const auto outcome = RunWithFault(box, program, {box.Win32("out")}, Fault{});

  ExpectHonestFailure(outcome, {kCannotWrite, kNoSpace});
  EXPECT_EQ(box.Get("out/small.txt"), small);
}

TEST(Fault, ClosedStandardOutputDoesNotStopTheJoin) {
  // Console text to a closed stream is dropped, as on Windows; the files
  // are rebuilt all the same.
  Sandbox box(e2e::NativeProgram());
  const Bytes a = Pattern(40000, 15);
  const Bytes b = Pattern(900, 16);
  const std::string program = InstallSet(
      box, {MakeVolume(1, false, {WholeFile("a.txt", a)}), MakeVolume(2, true, {WholeFile("b.txt", b)})});
  box.MakeDir("out");

  Fault fault;
  fault.closedOutput = true;
  RunWithFault(box, program, {box.Win32("out")}, fault);

  EXPECT_EQ(box.Get("out/a.txt"), a);
  EXPECT_EQ(box.Get("out/b.txt"), b);
}

// ------------------------------------------------------------------ permissions

struct PermissionCase {
  const char* name;
  const char* dest;        // destination, relative to the work tree
  const char* readOnly;    // made read-only (0555 / 0444), relative to the work tree
  const char* unreadable;  // made unreadable (0000), relative to the work tree
  std::vector<std::string> messages;  // one of them must be shown
  const char* rebuilt;     // a file that must be rebuilt all the same ("" if none)
  const char* absent;      // console text that must not appear ("" if none)
};

void PrintTo(const PermissionCase& c, std::ostream* out) { *out << c.name; }

class Permissions : public ::testing::TestWithParam<PermissionCase> {};

TEST_P(Permissions, FailureIsReportedAndNothingIsLost) {
  const PermissionCase& c = GetParam();
  std::string why;
  if (!CanDropPrivileges(why)) GTEST_SKIP() << why;

  Sandbox box(e2e::NativeProgram());
  const Bytes a = Pattern(5000, 5);
  const Bytes b = Pattern(7000, 6);
  const std::string program = InstallSet(
      box, {MakeVolume(1, false, {WholeFile("a.txt", a)}), MakeVolume(2, true, {WholeFile("b.txt", b)})});
  box.MakeDir(c.dest);
  OpenUp(box);
  fs::permissions(box.Work(c.dest), fs::perms::all);
  if (*c.readOnly != '\0') {
    const bool dir = fs::is_directory(box.Work(c.readOnly));
    fs::permissions(box.Work(c.readOnly),
                    dir ? fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec
                        : fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  if (*c.unreadable != '\0') fs::permissions(box.Work(c.unreadable), fs::perms::none);
  if (!CanRunAsNobody(box.Work(program), why)) GTEST_SKIP() << why;
  const std::vector<std::string> before = box.Files();

  Fault fault;
  fault.unprivileged = true;
  const auto outcome = RunWithFault(box, program, {box.Win32(c.dest)}, fault);

  ExpectHonestFailure(outcome, c.messages);
  if (*c.absent != '\0') {
    EXPECT_EQ(outcome.output.find(c.absent), std::string::npos) << outcome.output;
  }
  if (*c.rebuilt != '\0') {
    EXPECT_EQ(box.Get(std::string(c.dest) + "/" + c.rebuilt), a);
  } else {
    EXPECT_EQ(box.Files(), before) << outcome.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fault, Permissions,
    ::testing::Values(
        PermissionCase{"ReadOnlyDestination", "ro", "ro", "", {kCannotOpen}, "", "Current volume: 2"},
        // An unreadable volume is not a volume of the set: the run waits
        // for it, and without an operator it is abandoned.
        PermissionCase{"UnreadableVolume", "out", "", "src/data.s02", {"Done"}, "a.txt", "Current volume: 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fault, ReadOnlyFileOfTheStoredNameIsReportedAndKept) {
  // The layer refuses to write a file without write permission whoever
  // asks, as Windows does with a read-only file; no user switch is needed.
  Sandbox box(e2e::NativeProgram());
  const std::string program = InstallSet(box, {MakeVolume(1, true, {WholeFile("a.txt", Pattern(900, 7))})});
  const Bytes old = Pattern(50, 8);
  box.Put("out/a.txt", old);
  fs::permissions(box.Work("out/a.txt"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  const auto outcome = RunWithFault(box, program, {box.Win32("out")}, Fault{});

  ExpectHonestFailure(outcome, {kCannotOpen});
  EXPECT_EQ(box.Get("out/a.txt"), old);
}

// ------------------------------------------------------------------ destination = source

struct SameDirCase {
  const char* name;
  int volume;        // index of the volume whose piece names an open volume file
  const char* piece; // the stored name: the file of the volume being read
};

void PrintTo(const SameDirCase& c, std::ostream* out) { *out << c.name; }

class SameDirectory : public ::testing::TestWithParam<SameDirCase> {};

TEST_P(SameDirectory, VolumeBeingReadIsNeverOverwritten) {
  const SameDirCase& c = GetParam();
  Sandbox box(e2e::NativeProgram());
  const Bytes a = Pattern(2000, 9);
  std::vector<Volume> volumes = {MakeVolume(1, false, {WholeFile("a.txt", a)}),
                                 MakeVolume(2, true, {WholeFile("b.txt", Pattern(3000, 10))})};
  volumes[static_cast<size_t>(c.volume)].Pieces.push_back(WholeFile(c.piece, Pattern(100, 11)));
  const std::string program = InstallSet(box, volumes);
  const Bytes programBytes = box.Get(program);
  const Bytes second = box.Get("src/data.s02");

  const auto outcome = RunWithFault(box, program, {box.Win32("src")}, Fault{});

  ExpectHonestFailure(outcome, {kCannotOpen});
  EXPECT_EQ(box.Get(program), programBytes) << "the self-joining file was changed";
  EXPECT_EQ(box.Get("src/data.s02"), second) << "the second volume was changed";
  EXPECT_EQ(box.Get("src/a.txt"), a);
}

INSTANTIATE_TEST_SUITE_P(Fault, SameDirectory,
                         ::testing::Values(SameDirCase{"SelfJoiningFile", 0, "data"},
                                           SameDirCase{"VolumeFile", 1, "data.s02"},
                                           SameDirCase{"VolumeFileOtherCase", 1, "DATA.S02"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ cut volumes

struct CutCase {
  const char* name;
  bool selfJoining;  // the cut volume is the one in the program file
  // Where the cut volume ends, in bytes after the start of its second piece
  // (the first piece is whole): inside the header, the name, or the data.
  size_t keep;
  const char* line;  // the console line that must report it
  bool damagedHeader;  // the line gives the header's position
};

void PrintTo(const CutCase& c, std::ostream* out) { *out << c.name; }

class CutVolume : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutVolume, DamageIsReportedAndLaunchIsNotOffered) {
  const CutCase& c = GetParam();
  Sandbox box(e2e::NativeProgram());
  const Bytes a = Pattern(1500, 12);
  const Bytes b = Pattern(2500, 13);
  const Bytes z = Pattern(600, 14);
  Volume cut = MakeVolume(1, false, {WholeFile("a.txt", a), WholeFile("b.txt", b)});
  Volume whole = MakeVolume(2, true, {WholeFile("z.txt", z)});
  if (!c.selfJoining) {
    std::swap(cut.VolumeNumber, whole.VolumeNumber);
    std::swap(cut.IsLast, whole.IsLast);
  }
  Bytes cutBytes = volwriter::EncodeVolume(cut);
  const size_t secondPiece = volwriter::VolumeOverhead() + volwriter::PieceOverhead("a.txt") + a.size();
  ASSERT_LT(secondPiece + c.keep, cutBytes.size());
  cutBytes.resize(secondPiece + c.keep);

  std::string program;
  size_t volumeStart = 0;
  if (c.selfJoining) {
    program = box.InstallProgram("src/data", &cutBytes);
    box.Put("src/data.s02", volwriter::EncodeVolume(whole));
    const Bytes image = box.Get(program);
    volumeStart = image.size() - 4 - cutBytes.size();
  } else {
    const Bytes first = volwriter::EncodeVolume(whole);
    program = box.InstallProgram("src/data", &first);
    box.Put("src/data.s02", cutBytes);
  }
  box.MakeDir("out");

  const auto outcome = RunWithFault(box, program, {box.Win32("out")}, Fault{});

  std::string line = c.line;
  if (c.damagedHeader) line += std::to_string(volumeStart + secondPiece) + "\n";
  ExpectHonestFailure(outcome, {line});
  EXPECT_EQ(box.Get("out/a.txt"), a);
  EXPECT_EQ(box.Get("out/z.txt"), z);
}

INSTANTIATE_TEST_SUITE_P(
    Fault, CutVolume,
    ::testing::Values(
        CutCase{"VolumeFileInsideHeader", false, 20, "Damaged piece header at source offset: ", true},
        CutCase{"VolumeFileInsideName", false, 36, "Damaged piece header at source offset: ", true},
        CutCase{"SelfJoiningFileInsideHeader", true, 20, "Damaged piece header at source offset: ", true},
        CutCase{"VolumeFileInsideData", false, 41 + 1000, "Read error at source offset: ", false},
        CutCase{"SelfJoiningFileInsideData", true, 41 + 1000, "Read error at source offset: ", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
