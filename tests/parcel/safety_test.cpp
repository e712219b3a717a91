// The parcel tool attacked, interrupted and raced, end to end: links planted
// before and during a join, hard links to volumes and to other files,
// another user toggling a link in a sticky folder, real signals at random
// moments to split, join and split -f, and two joins or two splits into one
// place. After every run the tree is checked: each file is absent, whole
// and correct, or a temporary file of the documented pattern that the next
// run removes; nothing appears outside the destination. The loops print
// how many runs they made and what they saw.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/parcel/TestFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

using parceltest::Pattern;
using parceltest::ReadAll;
using parceltest::WriteAll;

// The temporary names: .NAME∴PID-TAG.part or .old, .BASE∴split.lock.
bool IsTemporary(const std::string& name) {
  const std::string mark = "\xE2\x88\xB4";
  const size_t at = name.rfind(mark);
  if (name.empty() || name[0] != '.' || at == std::string::npos) return false;
  const std::string tail = name.substr(at + mark.size());
  if (tail == "split.lock") return true;
  const size_t dash = tail.find('-'), dot = tail.find('.');
  return dash != std::string::npos && dot == dash + 9 && (tail.substr(dot) == ".part" || tail.substr(dot) == ".old");
}

// A running parcel (or any program), its output in files.
struct Child {
  pid_t pid = -1;
  fs::path out, err;
};

Child Start(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& logs, const std::string& tag) {
  Child child;
  child.out = logs / (tag + ".out");
  child.err = logs / (tag + ".err");
  child.pid = fork();
  if (child.pid == 0) {
    // The signals as a terminal would deliver them, whatever the test runner set.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return child;
}

struct Ended {
  int exitCode = -1;  // -1 when a signal ended it
  int signal = 0;
  std::string err;
};

Ended Wait(const Child& child, int timeoutSeconds = 120) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (waitpid(child.pid, &status, WNOHANG) != child.pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      ADD_FAILURE() << "timed out";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Ended ended;
  if (WIFEXITED(status)) ended.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) ended.signal = WTERMSIG(status);
  ended.err = ReadAll(child.err);
  return ended;
}

// A process that repeats `step` until it is killed.
template <typename Step>
pid_t Loop(Step step) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (unsigned i = 0;; ++i) step(i);
  }
  return pid;
}

void Stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Every entry below root, links not followed: regular files with their
// contents; links and other things marked as such.
std::map<std::string, std::string> Listing(const fs::path& root) {
  std::map<std::string, std::string> found;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return found;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).string();
    const fs::file_status status = it->symlink_status(ec);
    if (fs::is_symlink(status)) found[rel] = "<link>";
    else if (fs::is_regular_file(status)) found[rel] = ReadAll(it->path());
  }
  return found;
}

class Safety : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("parcelsafety-" + std::to_string(random()));
    fs::create_directories(root_ / "logs");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Ended Parcel(const std::vector<std::string>& args, const fs::path& cwd = fs::path()) {
    std::vector<std::string> argv{PARCEL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return Wait(Start(argv, cwd.empty() ? root_ : cwd, root_ / "logs", "run"));
  }

  Child StartParcel(const std::vector<std::string>& args, const std::string& tag) {
    std::vector<std::string> argv{PARCEL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return Start(argv, root_, root_ / "logs", tag);
  }

  // The files of a tree by relative path (the source of a set).
  std::map<std::string, std::string> Source(const fs::path& top) {
    std::map<std::string, std::string> files;
    for (const auto& [name, bytes] : Listing(top)) files[name] = bytes;
    return files;
  }

  fs::path root_;
};

// Checks what a join left in out against the files it rebuilds (relative
// path -> bytes): every regular file is one of them, whole and correct, or
// a temporary file (allowed only when `temporariesAllowed`). Answers the
// count of final files found.
size_t CheckJoined(const fs::path& out, const std::map<std::string, std::string>& expected, bool temporariesAllowed,
                   const std::string& what) {
  size_t finals = 0;
  for (const auto& [name, bytes] : Listing(out)) {
    if (bytes == "<link>") continue;
    const std::string leaf = fs::path(name).filename().string();
    if (IsTemporary(leaf)) {
      EXPECT_TRUE(temporariesAllowed) << what << ": temporary file left: " << name;
      continue;
    }
    auto it = expected.find(name);
    if (it == expected.end()) continue;  // a level, or something of the attacker's
    EXPECT_EQ(bytes.size(), it->second.size()) << what << ": " << name;
    EXPECT_TRUE(bytes == it->second) << what << ": wrong bytes in " << name;
    ++finals;
  }
  return finals;
}

// ------------------------------------------------------------------ links
// A second process plants links where the join makes its levels and files,
// again and again while the join runs; nothing may reach the folder outside.
TEST_F(Safety, LinksPlantedDuringJoinNeverLeadOutside) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 4; ++i) {
    files["top/f" + std::to_string(i) + ".bin"] = Pattern(40000, i);
    files["top/sub/deep/g" + std::to_string(i) + ".bin"] = Pattern(30000, 10 + i);
  }
  for (const auto& [name, bytes] : files) WriteAll(root_ / "in" / name, bytes);
  ASSERT_EQ(Parcel({"split", "-q", "-s", "16k", "-o", "sets/x", "in/top"}).exitCode, 0);
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside);

  const int runs = 60;
  int escapes = 0, succeeded = 0, refused = 0;
  for (int run = 0; run < runs; ++run) {
    const fs::path out = root_ / "out";
    fs::remove_all(out);
    fs::create_directories(out);
    // The attacker: swaps one level (or a file's name) for a link to the
    // folder outside, again and again, putting the real one back now and
    // then. It acts only on that name, never through a link of its own.
    static const char* const levels[] = {"top", "top/sub", "top/sub/deep", "top/f1.bin"};
    const fs::path at = out / levels[run % 4];
    const fs::path aside = out / "aside";
    const pid_t attacker = Loop([&](unsigned i) {
      std::rename(at.c_str(), aside.c_str());
      symlink((run % 4 == 3 ? outside / "f1.bin" : outside).c_str(), at.c_str());
      if (i % 5 == 0) {
        unlink(at.c_str());
        std::rename(aside.c_str(), at.c_str());
      }
    });
    const Ended join = Parcel({"join", "-q", "-C", "out", "sets/x.s01"});
    Stop(attacker);
    const auto leaked = Listing(outside);  // files and links only
    if (!leaked.empty()) {
      ++escapes;
      ADD_FAILURE() << "run " << run << ": written outside: " << leaked.begin()->first;
      fs::remove_all(outside);
      fs::create_directories(outside);
    }
    if (join.exitCode == 0) {
      ++succeeded;
    } else {
      ++refused;
      EXPECT_EQ(join.exitCode, 1) << join.err;
    }
    // Every file whole, wherever the attacker moved its level.
    for (const auto& [name, contents] : Listing(out)) {
      const std::string leaf = fs::path(name).filename().string();
      EXPECT_FALSE(IsTemporary(leaf)) << "run " << run << ": temporary file left: " << name;
      if (contents == "<link>" || leaf.size() < 5 || leaf.substr(leaf.size() - 4) != ".bin") continue;
      bool known = false;
      for (const auto& [expectedName, bytes] : files)
        if (fs::path(expectedName).filename() == leaf) known = known || contents == bytes;
      EXPECT_TRUE(known) << "run " << run << ": wrong bytes in " << name;
    }
  }
  std::printf("[ links during join ] %d runs: %d escapes, %d joins succeeded, %d refused\n", runs, escapes,
              succeeded, refused);
  EXPECT_EQ(escapes, 0);
}

// Another user toggles a link in a sticky folder the join writes into
// (needs root: the other user is nobody).
TEST_F(Safety, OtherUserTogglingLinkInStickyFolder) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
  WriteAll(root_ / "in" / "sub" / "notes.txt", Pattern(20000, 3));
  WriteAll(root_ / "in" / "readme.txt", Pattern(5000, 4));
  ASSERT_EQ(Parcel({"split", "-q", "-o", "sets/x", "in/sub", "in/readme.txt"}).exitCode, 0);
  const fs::path sticky = root_ / "sticky";
  const fs::path victim = root_ / "victim";
  fs::create_directories(victim);
  WriteAll(victim / "readme.txt", "the victim's own");
  fs::permissions(root_, fs::perms::all);  // nobody must reach the sticky folder

  const int runs = 100;
  int escapes = 0, succeeded = 0;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(sticky);
    fs::create_directories(sticky);
    chmod(sticky.c_str(), 01777);
    const pid_t other = Loop([&](unsigned i) {
      if (i == 0 && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) _exit(1);
      const fs::path at = sticky / (i % 2 ? "sub" : "readme.txt");
      symlink((i % 2 ? victim : victim / "readme.txt").c_str(), at.c_str());
      unlink(at.c_str());
    });
    const Ended join = Parcel({"join", "-q", "-f", "-C", sticky.string(), "sets/x.s01"});
    Stop(other);
    if (join.exitCode == 0) ++succeeded;
    const auto seen = Listing(victim);
    if (seen.size() != 1 || seen.begin()->second != "the victim's own") {
      ++escapes;
      ADD_FAILURE() << "run " << run << ": the victim's folder changed";
      fs::remove_all(victim);
      WriteAll(victim / "readme.txt", "the victim's own");
    }
    CheckJoined(sticky, {{"sub/notes.txt", Pattern(20000, 3)}, {"readme.txt", Pattern(5000, 4)}}, false,
                "run " + std::to_string(run));
  }
  std::printf("[ sticky folder, user nobody ] %d runs: %d escapes, %d joins succeeded\n", runs, escapes, succeeded);
}

// Hard links: the guard knows a volume by its identity, and -f replaces a
// name, never the file a hard link shares with another name.
TEST_F(Safety, HardLinksToVolumesAndToOtherFiles) {
  WriteAll(root_ / "in" / "big.bin", Pattern(300000, 5));
  ASSERT_EQ(Parcel({"split", "-q", "-s", "100k", "-o", "sets/x", "in/big.bin"}).exitCode, 0);
  const std::string volume2 = ReadAll(root_ / "sets" / "x.s02");

  fs::create_directories(root_ / "out");
  fs::create_hard_link(root_ / "sets" / "x.s02", root_ / "out" / "big.bin");
  const Ended refused = Parcel({"join", "-f", "-C", "out", "sets/x.s01"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("out/big.bin: is a volume of the set being joined"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadAll(root_ / "sets" / "x.s02"), volume2);

  fs::create_directories(root_ / "out2");
  WriteAll(root_ / "elsewhere.bin", "someone else's file");
  fs::create_hard_link(root_ / "elsewhere.bin", root_ / "out2" / "big.bin");
  const Ended joined = Parcel({"join", "-q", "-f", "-C", "out2", "sets/x.s01"});
  EXPECT_EQ(joined.exitCode, 0) << joined.err;
  EXPECT_EQ(ReadAll(root_ / "out2" / "big.bin"), Pattern(300000, 5));
  EXPECT_EQ(ReadAll(root_ / "elsewhere.bin"), "someone else's file");
  EXPECT_EQ(fs::hard_link_count(root_ / "elsewhere.bin"), 1u);
}

// ------------------------------------------------------------------ leftovers
// What a killed run leaves is recognised: never taken for a volume, removed
// by the next run on the same BASE or into the same folder, and nothing
// else is touched (a live run's files, look-alike names).
TEST_F(Safety, LeftoversOfKilledRunsAreRemovedByTheNextRun) {
  const std::string mark = "\xE2\x88\xB4";
  const std::string dead = "999999999";  // no process has this number
  WriteAll(root_ / "in" / "f.bin", Pattern(50000, 6));
  // BASE "..x": the temporary name of a file ".x.s03" begins with "..x.",
  // as the set's own volumes do. It is never taken for one: with volume 3
  // under that name, the set lacks volume 3.
  ASSERT_EQ(Parcel({"split", "-q", "-s", "20k", "-o", "sets/..x", "in/f.bin"}).exitCode, 0);
  const std::string notOurs = "..x.s03" + mark + dead + "-0000abcd.part";
  fs::rename(root_ / "sets" / "..x.s03", root_ / "sets" / notOurs);
  const Ended list = Parcel({"list", "sets/..x.s01"});
  EXPECT_EQ(list.exitCode, 1);
  EXPECT_NE(list.err.find("missing volume 3"), std::string::npos) << list.err;

  // The next split on ..x removes what an ended run left of its volumes;
  // a live run's file, other sets' files and look-alikes stay.
  const std::string stale = "...x.s05" + mark + dead + "-0000abcd.part";
  const std::string staleAside = "...x" + mark + dead + "-0000abcd.old";
  WriteAll(root_ / "sets" / stale, "x");
  WriteAll(root_ / "sets" / staleAside, "x");
  const std::vector<std::string> kept{notOurs, "...x.s09" + mark + std::to_string(getpid()) + "-0000abcd.part",
                                      "...x.s03" + mark + dead + "-0000abcd.partial",
                                      "...x.s03" + mark + dead + "-abcd.part", "..x.s03" + mark + "tmp"};
  for (const std::string& name : kept)
    if (!fs::exists(root_ / "sets" / name)) WriteAll(root_ / "sets" / name, "x");
  EXPECT_EQ(Parcel({"split", "-q", "-f", "-s", "20k", "-o", "sets/..x", "in/f.bin"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(root_ / "sets" / stale));
  EXPECT_FALSE(fs::exists(root_ / "sets" / staleAside));
  for (const std::string& name : kept) EXPECT_TRUE(fs::exists(root_ / "sets" / name)) << name;
  EXPECT_TRUE(fs::exists(root_ / "sets" / "..x.s03"));

  // A join removes the leftovers in the folders it writes into.
  const std::string part = ".f.bin\xE2\x88\xB4" + dead + "-12345678.part";
  WriteAll(root_ / "out" / part, "half a file");
  WriteAll(root_ / "out" / "notes.txt", "mine");
  EXPECT_EQ(Parcel({"join", "-q", "-C", "out", "sets/..x.s01"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(root_ / "out" / part));
  EXPECT_EQ(ReadAll(root_ / "out" / "f.bin"), Pattern(50000, 6));
  EXPECT_EQ(ReadAll(root_ / "out" / "notes.txt"), "mine");
}

#ifdef PARCEL_EXE
// split -f removes every member of the old set, the other kind of
// self-joining file included (a Linux set replaced by a Windows one).
TEST_F(Safety, WineForceReplacesTheOtherKindOfSelfJoiningFile) {
  WriteAll(root_ / "old" / "f.bin", Pattern(30000, 7));
  WriteAll(root_ / "new" / "f.bin", Pattern(30000, 8));
  ASSERT_EQ(Parcel({"split", "-q", "-s", "4M", "--stub", PARCELSTUB_BIN, "-o", "sets/x", "old/f.bin"}).exitCode, 0);
  ASSERT_TRUE(fs::exists(root_ / "sets" / "x"));
  const Ended without = Parcel({"split", "-q", "-s", "4M", "--stub", PARCELSTUB_EXE, "-o", "sets/x", "new/f.bin"});
  EXPECT_EQ(without.exitCode, 1);
  EXPECT_NE(without.err.find("sets/x: volume exists"), std::string::npos) << without.err;
  const Ended with = Parcel({"split", "-q", "-f", "-s", "4M", "--stub", PARCELSTUB_EXE, "-o", "sets/x", "new/f.bin"});
  ASSERT_EQ(with.exitCode, 0) << with.err;
  EXPECT_FALSE(fs::exists(root_ / "sets" / "x"));
  EXPECT_TRUE(fs::exists(root_ / "sets" / "x.exe"));
  EXPECT_EQ(Parcel({"join", "-q", "-C", "out", "sets/x.exe"}).exitCode, 0);
  EXPECT_EQ(ReadAll(root_ / "out" / "f.bin"), Pattern(30000, 8));
  for (const auto& entry : fs::directory_iterator(root_ / "sets"))
    EXPECT_FALSE(IsTemporary(entry.path().filename().string())) << entry.path();
}

// The Windows tool under Wine: links planted before the join (to a file and
// to a folder), a hard link to a volume, a killed run's leftovers, and two
// joins at once.
TEST_F(Safety, WineToolLinksHardLinksLeftoversAndRaces) {
  auto parcelExe = [&](std::vector<std::string> args, const std::string& tag = "wine") {
    args.insert(args.begin(), {WINE_RUN, WINE_PREFIX, PARCEL_EXE});
    return Start(args, root_, root_ / "logs", tag);
  };
  WriteAll(root_ / "in" / "top" / "a.txt", "new a");
  WriteAll(root_ / "in" / "top" / "sub" / "b.bin", Pattern(300000, 12));
  ASSERT_EQ(Parcel({"split", "-q", "-s", "100k", "-o", "sets/x", "in/top"}).exitCode, 0);
  WriteAll(root_ / "outside" / "a.txt", "keep a");

  // A link at the file's name: -f replaces the link, not what it leads to.
  fs::create_directories(root_ / "d1" / "top");
  fs::create_symlink(root_ / "outside" / "a.txt", root_ / "d1" / "top" / "a.txt");
  Ended ended = Wait(parcelExe({"join", "-q", "-f", "-C", "d1", "sets\\x.s01"}), 300);
  EXPECT_EQ(ended.exitCode, 0) << ended.err;
  EXPECT_EQ(ReadAll(root_ / "d1" / "top" / "a.txt"), "new a");
  EXPECT_EQ(ReadAll(root_ / "outside" / "a.txt"), "keep a");

  // A link at a level: refused, nothing written outside.
  fs::create_directories(root_ / "d2" / "top");
  fs::create_directory_symlink(root_ / "outside", root_ / "d2" / "top" / "sub");
  ended = Wait(parcelExe({"join", "-q", "-f", "-C", "d2", "sets\\x.s01"}), 300);
  EXPECT_EQ(ended.exitCode, 1) << ended.err;
  EXPECT_NE(ended.err.find("is a link"), std::string::npos) << ended.err;
  EXPECT_EQ(Listing(root_ / "outside").size(), 1u);

  // A hard link to a volume at an output's name: refused even with -f.
  fs::create_directories(root_ / "d3" / "top" / "sub");
  fs::create_hard_link(root_ / "sets" / "x.s02", root_ / "d3" / "top" / "sub" / "b.bin");
  const std::string volume2 = ReadAll(root_ / "sets" / "x.s02");
  ended = Wait(parcelExe({"join", "-q", "-f", "-C", "d3", "sets\\x.s01"}), 300);
  EXPECT_EQ(ended.exitCode, 1) << ended.err;
  EXPECT_NE(ended.err.find("is a volume of the set being joined"), std::string::npos) << ended.err;
  EXPECT_EQ(ReadAll(root_ / "sets" / "x.s02"), volume2);

  // What a killed run left is removed by the next join into the folder.
  const std::string part = ".b.bin\xE2\x88\xB4" "999999999-12345678.part";
  WriteAll(root_ / "d4" / "top" / "sub" / part, "half");
  ended = Wait(parcelExe({"join", "-q", "-C", "d4", "sets\\x.s01"}), 300);
  EXPECT_EQ(ended.exitCode, 0) << ended.err;
  EXPECT_FALSE(fs::exists(root_ / "d4" / "top" / "sub" / part));
  EXPECT_EQ(ReadAll(root_ / "d4" / "top" / "sub" / "b.bin"), Pattern(300000, 12));

  // Two joins of different sets into one folder.
  WriteAll(root_ / "other" / "top" / "a.txt", "other a");
  WriteAll(root_ / "other" / "top" / "sub" / "b.bin", Pattern(300000, 13));
  ASSERT_EQ(Parcel({"split", "-q", "-s", "100k", "-o", "sets/y", "other/top"}).exitCode, 0);
  const int runs = 5;
  int refusals = 0;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(root_ / "d5");
    const Child a = parcelExe({"join", "-q", "-C", "d5", "sets\\x.s01"}, "a");
    const Child b = parcelExe({"join", "-q", "-C", "d5", "sets\\y.s01"}, "b");
    const Ended endA = Wait(a, 300), endB = Wait(b, 300);
    EXPECT_FALSE(endA.exitCode == 0 && endB.exitCode == 0) << "run " << run;
    refusals += (endA.exitCode != 0) + (endB.exitCode != 0);
    const std::string bin = ReadAll(root_ / "d5" / "top" / "sub" / "b.bin");
    EXPECT_TRUE(bin == Pattern(300000, 12) || bin == Pattern(300000, 13)) << "run " << run << ": b.bin mixed";
    CheckJoined(root_ / "d5", {}, false, "run " + std::to_string(run));
  }
  std::printf("[ two Windows joins into one folder ] %d runs: %d refusals, every file whole\n", runs, refusals);
}
#endif

// ------------------------------------------------------------------ signals
// Real signals at random moments to real runs. After each: a join's files
// are absent, whole or temporary (SIGKILL only), and a rerun leaves every
// file whole and no temporary file; a split's BASE holds the old set or the
// new one, whole.
int PickSignal(std::mt19937& random) {
  static const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGKILL};
  return signals[random() % 4];
}

TEST_F(Safety, SignalsAtRandomMomentsDuringJoin) {
  std::map<std::string, std::string> files;
  files["data/big.bin"] = Pattern(24 << 20, 11);
  for (int i = 0; i < 60; ++i) files["data/small/s" + std::to_string(i) + ".txt"] = Pattern(1000 + i * 37, 20 + i);
  for (const auto& [name, bytes] : files) WriteAll(root_ / "in" / name, bytes);
  ASSERT_EQ(Parcel({"split", "-q", "-s", "4M", "-o", "sets/x", "in/data"}).exitCode, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Parcel({"join", "-q", "-C", "timing", "sets/x.s01"}).exitCode, 0);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::mt19937 random(12345);
  const int runs = 30;
  int interrupted = 0, finished = 0, leftovers = 0;
  for (int run = 0; run < runs; ++run) {
    const fs::path out = root_ / "out";
    fs::remove_all(out);
    const int signal = PickSignal(random);
    const Child join = StartParcel({"join", "-q", "-C", "out", "sets/x.s01"}, "join");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (span.count() + 1)));
    kill(join.pid, signal);
    const Ended ended = Wait(join);
    const std::string what = "run " + std::to_string(run) + " (signal " + std::to_string(signal) + ")";
    if (ended.exitCode == 0) {
      ++finished;
    } else {
      ++interrupted;
      // A signal may come before the handlers are set: then it ends the
      // run at once, before anything was written.
      if (signal != SIGKILL && ended.signal != signal) {
        EXPECT_EQ(ended.exitCode, 128 + signal) << what << ": " << ended.err;
        EXPECT_EQ(std::count(ended.err.begin(), ended.err.end(), '\n'), 1) << what << ": " << ended.err;
      }
    }
    for (const auto& [name, bytes] : Listing(out))
      if (IsTemporary(fs::path(name).filename().string())) ++leftovers;
    CheckJoined(out, files, signal == SIGKILL, what);
    // The rerun finishes the work and removes what a killed run left.
    const Ended rerun = Parcel({"join", "-q", "-f", "-C", "out", "sets/x.s01"});
    EXPECT_EQ(rerun.exitCode, 0) << what << ": " << rerun.err;
    EXPECT_EQ(CheckJoined(out, files, false, what + ", rerun"), files.size());
  }
  std::printf("[ signals during join ] %d runs: %d interrupted, %d had finished, %d temporary files left by "
              "SIGKILL (all removed by the rerun)\n",
              runs, interrupted, finished, leftovers);
}

TEST_F(Safety, SignalsAtRandomMomentsDuringSplitAndSplitForce) {
  WriteAll(root_ / "a" / "f.bin", Pattern(12 << 20, 30));
  WriteAll(root_ / "b" / "f.bin", Pattern(12 << 20, 31));
  for (int i = 0; i < 100; ++i) WriteAll(root_ / "b" / ("g" + std::to_string(i)), Pattern(3000, 40 + i));
  // The signals come within the time a run takes.
  auto timed = [&](const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Parcel(args).exitCode, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  };
  const auto span = timed({"split", "-q", "-s", "256k", "-o", "timing/x", "a/f.bin"});
  const auto forceSpan = timed({"split", "-q", "-f", "-s", "100k", "-o", "timing/x", "b"});
  // Which set BASE holds: "a", "b", "" (nothing), or "torn: why".
  auto held = [&](const fs::path& sets) -> std::string {
    bool any = false;
    for (const auto& entry : fs::directory_iterator(sets))
      any = any || !IsTemporary(entry.path().filename().string());
    if (!any) return "";
    fs::remove_all(root_ / "check");
    const Ended join = Parcel({"join", "-q", "-C", "check", (sets / "x.s01").string()});
    if (join.exitCode != 0) {
      std::string names;
      for (const auto& entry : fs::directory_iterator(sets)) names += " " + entry.path().filename().string();
      return "torn: " + join.err + names;
    }
    // a holds f.bin, b holds the folder b: b/f.bin and b/g0 to b/g99.
    if (ReadAll(root_ / "check" / "f.bin") == Pattern(12 << 20, 30) && !fs::exists(root_ / "check" / "b")) return "a";
    if (ReadAll(root_ / "check" / "b" / "f.bin") == Pattern(12 << 20, 31) && fs::exists(root_ / "check" / "b" / "g99") &&
        !fs::exists(root_ / "check" / "f.bin"))
      return "b";
    return "torn: the files differ";
  };

  std::mt19937 random(777);
  const int runs = 25;
  int killedMidway = 0, splitsDone = 0, forcesDone = 0, tornByKill = 0, leftovers = 0;
  for (int run = 0; run < runs; ++run) {
    const fs::path sets = root_ / "sets";
    fs::remove_all(sets);
    fs::create_directories(sets);
    // A split into an empty place: afterwards nothing, or the whole set.
    int signal = PickSignal(random);
    Child split = StartParcel({"split", "-q", "-s", "256k", "-o", "sets/x", "a/f.bin"}, "split");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (span.count() + 1)));
    kill(split.pid, signal);
    Ended ended = Wait(split);
    std::string what = "run " + std::to_string(run) + " split (signal " + std::to_string(signal) + ")";
    if (ended.exitCode == 0) ++splitsDone;
    else if (signal != SIGKILL && ended.signal != signal)
      EXPECT_EQ(ended.exitCode, 128 + signal) << what << ": " << ended.err;
    for (const auto& entry : fs::directory_iterator(sets)) {
      const bool temporary = IsTemporary(entry.path().filename().string());
      leftovers += temporary;
      EXPECT_TRUE(!temporary || signal == SIGKILL) << what << ": " << entry.path();
    }
    std::string state = held(sets);
    EXPECT_TRUE(state == "" || state == "a") << what << ": " << state;
    // The old set whole, then split -f of another set interrupted: the old
    // set or the new one whole, never a mix.
    ASSERT_EQ(Parcel({"split", "-q", "-f", "-s", "256k", "-o", "sets/x", "a/f.bin"}).exitCode, 0);
    for (const auto& entry : fs::directory_iterator(sets))
      EXPECT_FALSE(IsTemporary(entry.path().filename().string())) << what << ": not removed: " << entry.path();
    signal = PickSignal(random);
    split = StartParcel({"split", "-q", "-f", "-s", "100k", "-o", "sets/x", "b"}, "force");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (forceSpan.count() * 3 / 2 + 1)));
    kill(split.pid, signal);
    ended = Wait(split);
    what = "run " + std::to_string(run) + " split -f (signal " + std::to_string(signal) + ")";
    if (ended.exitCode == 0) ++forcesDone;
    else if (signal != SIGKILL && ended.signal != signal)
      EXPECT_EQ(ended.exitCode, 128 + signal) << what << ": " << ended.err;
    if (ended.exitCode != 0 && signal == SIGKILL) ++killedMidway;
    state = held(sets);
    if (state.compare(0, 4, "torn") == 0 && signal == SIGKILL) {
      ++tornByKill;  // killed within the few milliseconds of the switch
    } else {
      EXPECT_TRUE(state == "a" || state == "b") << what << ": " << state;
    }
  }
  std::printf("[ signals during split, split -f ] %d runs of each: %d splits and %d split -f finished before "
              "the signal, %d split -f killed by SIGKILL, %d temporary files left by SIGKILL, %d sets torn\n",
              runs, splitsDone, forcesDone, killedMidway, leftovers, tornByKill);
}

// Recovery files take part in the same guarantees: split -f -r replaces an
// old set and its recovery files in one switch, and parcel repair writes
// its rebuilt volumes under temporary names. After each signal every
// recovery file under a final name belongs to the set that is whole (one
// set id; par2 verify passes), every volume is absent, the damaged original
// or whole, and the next run removes what a killed run left.
std::string Par2SetId(const std::string& bytes) { return bytes.size() < 48 ? "" : bytes.substr(32, 16); }

TEST_F(Safety, SignalsAtRandomMomentsDuringRecoverySplitAndRepair) {
  const std::string par2 = "/usr/bin/par2";
  if (!fs::exists(par2)) GTEST_SKIP() << "needs par2";
  WriteAll(root_ / "a" / "f.bin", Pattern(4 << 20, 50));
  WriteAll(root_ / "b" / "f.bin", Pattern(4 << 20, 51));
  for (int i = 0; i < 40; ++i) WriteAll(root_ / "b" / ("g" + std::to_string(i)), Pattern(3000, 60 + i));
  auto timed = [&](const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    const Ended ended = Parcel(args);
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  };
  const fs::path sets = root_ / "sets";
  const std::vector<std::string> makeA{"split", "-q", "-f", "-r", "1", "-s", "256k", "-o", "sets/x", "a/f.bin"};
  const std::vector<std::string> makeB{"split", "-q", "-f", "-r", "2", "-s", "100k", "-o", "sets/x", "b"};
  timed(makeA);
  const auto forceSpan = timed(makeB);
  // The recovery files under final names: none, or all of one set that par2 verifies.
  auto checkRecovery = [&](const std::string& what) {
    std::string setId;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(sets)) {
      const std::string name = entry.path().filename().string();
      if (IsTemporary(name) || entry.path().extension() != ".par2") continue;
      ++files;
      const std::string id = Par2SetId(ReadAll(entry.path()));
      if (setId.empty()) setId = id;
      EXPECT_EQ(id, setId) << what << ": " << name << " is of another set";
    }
    if (files == 0) return files;
    EXPECT_TRUE(fs::exists(sets / "x.par2")) << what;
    const Ended verify = Wait(Start({par2, "verify", "-q", "x.par2"}, sets, root_ / "logs", "verify"));
    EXPECT_EQ(verify.exitCode, 0) << what << ": par2 verify fails";
    return files;
  };

  std::mt19937 random(4242);
  const int runs = 20;
  int forcesDone = 0, torn = 0, leftovers = 0;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(sets);
    fs::create_directories(sets);
    ASSERT_EQ(Parcel(makeA).exitCode, 0);
    const int signal = PickSignal(random);
    const Child split = StartParcel(makeB, "force");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (forceSpan.count() * 3 / 2 + 1)));
    kill(split.pid, signal);
    const Ended ended = Wait(split);
    const std::string what = "run " + std::to_string(run) + " split -f -r (signal " + std::to_string(signal) + ")";
    if (ended.exitCode == 0) ++forcesDone;
    else if (signal != SIGKILL && ended.signal != signal)
      EXPECT_EQ(ended.exitCode, 128 + signal) << what << ": " << ended.err;
    for (const auto& entry : fs::directory_iterator(sets)) {
      const bool temporary = IsTemporary(entry.path().filename().string());
      leftovers += temporary;
      EXPECT_TRUE(!temporary || signal == SIGKILL) << what << ": " << entry.path();
    }
    fs::remove_all(root_ / "check");
    if (Parcel({"join", "-q", "-C", "check", "sets/x.s01"}).exitCode != 0 && signal == SIGKILL) {
      ++torn;  // killed within the few milliseconds of the switch
    } else {
      EXPECT_EQ(checkRecovery(what) > 0, true) << what << ": the whole set lost its recovery files";
    }
    // The next run removes what a killed one left.
    ASSERT_EQ(Parcel(makeB).exitCode, 0) << what;
    for (const auto& entry : fs::directory_iterator(sets))
      EXPECT_FALSE(IsTemporary(entry.path().filename().string())) << what << ": not removed: " << entry.path();
    EXPECT_GT(checkRecovery(what + ", rerun"), 0);
  }
  std::printf("[ signals during split -f -r ] %d runs: %d finished before the signal, %d temporary files left by "
              "SIGKILL (removed by the next run), %d sets torn by SIGKILL in the switch\n",
              runs, forcesDone, leftovers, torn);

  // parcel repair of a lost and a damaged volume, interrupted.
  fs::remove_all(sets);
  WriteAll(root_ / "r" / "r.bin", Pattern(16 << 20, 52));
  ASSERT_EQ(Parcel({"split", "-q", "-r", "2", "-s", "2M", "-o", "sets/x", "r/r.bin"}).exitCode, 0);
  const std::map<std::string, std::string> pristine = Listing(sets);
  std::string damaged = pristine.at("x.s06");
  for (size_t i = 1000; i < damaged.size(); i += 4096) damaged[i] ^= 0x5A;
  auto breakSet = [&] {
    fs::remove_all(root_ / "rep");
    for (const auto& [name, bytes] : pristine)
      if (name != "x.s03") WriteAll(root_ / "rep" / name, name == "x.s06" ? damaged : bytes);
  };
  breakSet();
  const auto repairSpan = timed({"repair", "-q", "rep/x.par2"});
  int repairsDone = 0, repairLeftovers = 0, midway = 0;
  for (int run = 0; run < runs; ++run) {
    breakSet();
    const int signal = PickSignal(random);
    const Child repair = StartParcel({"repair", "-q", "rep/x.par2"}, "repair");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (repairSpan.count() * 2 + 1)));
    kill(repair.pid, signal);
    const Ended ended = Wait(repair);
    const std::string what = "run " + std::to_string(run) + " repair (signal " + std::to_string(signal) + ")";
    if (ended.exitCode == 0) ++repairsDone;
    else if (signal != SIGKILL && ended.signal != signal)
      EXPECT_EQ(ended.exitCode, 128 + signal) << what << ": " << ended.err;
    for (const auto& [name, bytes] : Listing(root_ / "rep")) {
      if (IsTemporary(name)) {
        ++repairLeftovers;
        EXPECT_EQ(signal, SIGKILL) << what << ": " << name;
      } else if (name == "x.s06" || name == "x.s06.1") {
        EXPECT_TRUE(bytes == damaged || bytes == pristine.at("x.s06")) << what << ": " << name;
      } else {
        EXPECT_TRUE(pristine.count(name) == 1 && bytes == pristine.at(name)) << what << ": " << name;
      }
    }
    midway += !fs::exists(root_ / "rep" / "x.s03") && fs::exists(root_ / "rep" / "x.s06.1");
    const Ended rerun = Parcel({"repair", "-q", "rep/x.par2"});
    EXPECT_EQ(rerun.exitCode, 0) << what << ": " << rerun.err;
    for (const auto& [name, bytes] : Listing(root_ / "rep")) {
      EXPECT_FALSE(IsTemporary(name)) << what << ": not removed: " << name;
      if (pristine.count(name)) EXPECT_TRUE(bytes == pristine.at(name)) << what << ", rerun: " << name;
    }
  }
  std::printf("[ signals during repair ] %d runs: %d finished before the signal, %d stopped between two "
              "rebuilt volumes, %d temporary files left by SIGKILL (removed by the rerun)\n",
              runs, repairsDone, midway, repairLeftovers);
}

// ------------------------------------------------------------------ races
// Two joins of different sets holding the same names, into one folder at
// once: each file whole from one set, and a join that exits 0 wrote its own.
TEST_F(Safety, TwoJoinsIntoOneFolder) {
  for (const char* which : {"a", "b"}) {
    const unsigned seed = which[0] == 'a' ? 50 : 60;
    WriteAll(root_ / which / "data.bin", Pattern(6 << 20, seed));
    WriteAll(root_ / which / "notes.txt", Pattern(3000, seed + 1));
    ASSERT_EQ(Parcel({"split", "-q", "-s", "1M", "-o", std::string("sets/") + which,
                      std::string(which) + "/data.bin", std::string(which) + "/notes.txt"})
                  .exitCode,
              0);
  }
  const int runs = 20;
  int bothFailed = 0, aWon = 0, bWon = 0;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(root_ / "out");
    const Child a = StartParcel({"join", "-q", "-C", "out", "sets/a.s01"}, "a");
    const Child b = StartParcel({"join", "-q", "-C", "out", "sets/b.s01"}, "b");
    const Ended endA = Wait(a), endB = Wait(b);
    const std::string what = "run " + std::to_string(run);
    EXPECT_FALSE(endA.exitCode == 0 && endB.exitCode == 0) << what;
    const std::string data = ReadAll(root_ / "out" / "data.bin"), notes = ReadAll(root_ / "out" / "notes.txt");
    EXPECT_TRUE(data == Pattern(6 << 20, 50) || data == Pattern(6 << 20, 60)) << what << ": data.bin mixed";
    if (endA.exitCode == 0) {
      ++aWon;
      EXPECT_EQ(data, Pattern(6 << 20, 50)) << what;
      EXPECT_EQ(notes, Pattern(3000, 51)) << what;
    } else if (endB.exitCode == 0) {
      ++bWon;
      EXPECT_EQ(data, Pattern(6 << 20, 60)) << what;
      EXPECT_EQ(notes, Pattern(3000, 61)) << what;
    } else {
      ++bothFailed;
    }
    for (const auto& entry : fs::directory_iterator(root_ / "out"))
      EXPECT_FALSE(IsTemporary(entry.path().filename().string())) << what << ": " << entry.path();
  }
  std::printf("[ two joins into one folder ] %d runs: a won %d, b won %d, both refused %d (each file whole every "
              "time)\n",
              runs, aWon, bWon, bothFailed);
}

// Two splits to one BASE: one wins, the other fails with a message, and the
// set is whole.
TEST_F(Safety, TwoSplitsToOneBase) {
  WriteAll(root_ / "a" / "f.bin", Pattern(8 << 20, 70));
  WriteAll(root_ / "b" / "f.bin", Pattern(8 << 20, 71));
  const int runs = 20;
  int aWon = 0, bWon = 0, lockMessages = 0;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(root_ / "sets");
    const bool force = run % 2 == 1;
    std::vector<std::string> argsA{"split", "-q", "-s", "512k", "-o", "sets/x", "a/f.bin"};
    std::vector<std::string> argsB{"split", "-q", "-s", "700k", "-o", "sets/x", "b/f.bin"};
    if (force) {
      argsA.insert(argsA.begin() + 1, "-f");
      argsB.insert(argsB.begin() + 1, "-f");
    }
    const Child a = StartParcel(argsA, "a");
    const Child b = StartParcel(argsB, "b");
    const Ended endA = Wait(a), endB = Wait(b);
    const std::string what = "run " + std::to_string(run) + (force ? " (-f)" : "");
    EXPECT_TRUE(endA.exitCode == 0 || endB.exitCode == 0) << what << ": " << endA.err << endB.err;
    if (!force) EXPECT_NE(endA.exitCode, endB.exitCode) << what << ": " << endA.err << endB.err;
    for (const Ended* end : {&endA, &endB}) {
      if (end->exitCode != 0) {
        EXPECT_EQ(end->exitCode, 1) << what << ": " << end->err;
        EXPECT_FALSE(end->err.empty()) << what;
        lockMessages += end->err.find("another parcel split is writing this set") != std::string::npos;
      }
    }
    fs::remove_all(root_ / "check");
    ASSERT_EQ(Parcel({"join", "-q", "-C", "check", "sets/x.s01"}).exitCode, 0) << what;
    const std::string f = ReadAll(root_ / "check" / "f.bin");
    const bool isA = f == Pattern(8 << 20, 70), isB = f == Pattern(8 << 20, 71);
    EXPECT_TRUE(isA || isB) << what << ": the set is a mix";
    if (!force) EXPECT_EQ(isA, endA.exitCode == 0) << what;
    aWon += isA;
    bWon += isB;
    for (const auto& entry : fs::directory_iterator(root_ / "sets"))
      EXPECT_FALSE(IsTemporary(entry.path().filename().string())) << what << ": " << entry.path();
  }
  std::printf("[ two splits to one BASE ] %d runs: a's set %d, b's set %d, %d refusals by the lock\n", runs, aWon,
              bWon, lockMessages);
}

}  // namespace
