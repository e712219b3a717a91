// End-to-end runs of the native program where the Linux layer must behave as
// Windows does: a volume that is open cannot be opened for writing and cut,
// a file-size limit makes writes fail instead of ending the program, and a
// standard output that is closed or has no reader does not end it either.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/Harness.h"

namespace {

using e2e::Bytes;
using e2e::MakeVolume;
using e2e::Pattern;
using e2e::WholeFile;
using e2e::InOrder;
using e2e::Sandbox;
using volwriter::Piece;
using volwriter::Volume;

// How standard output is given to the program, and what limits it runs under.
enum class Stdout { File, Closed, NoReader };

struct Result {
  bool exited = false;  // ended by itself, not by a signal or the time limit
  int exitCode = -1;
  int signal = 0;
  std::string output;
};

// Runs the installed program from src/ like the harness does, but with the
// standard output and the file-size limit chosen here.
Result RunNative(const Sandbox& box, const std::string& exe, const std::vector<std::string>& args,
                 Stdout out, rlim_t fileSizeLimit = RLIM_INFINITY) {
  const std::string input = box.Work("log-input");
  const std::string output = box.Work("log-output");
  box.Put("log-input", std::string());
  std::vector<std::string> argv = {box.Work(exe)};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::vector<std::string> env = {"TMPDIR=" + box.Work("tmp"), "PATH=/usr/bin:/bin",
                                        "LANG=C.UTF-8"};
  int fds[2] = {-1, -1};
  if (out == Stdout::NoReader) {
    EXPECT_EQ(0, pipe(fds));
    close(fds[0]);  // nobody will ever read
  }
  const e2e::ChildEnd end = e2e::RunChild(argv, env, box.Work("src"), 60, [&] {
    const int in = open(input.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, 0) != 0) return false;
    if (out == Stdout::File) {
      const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (file < 0 || dup2(file, 1) != 1) return false;
    } else if (out == Stdout::Closed) {
      close(1);
    } else {
      dup2(fds[1], 1);
    }
    const rlimit limit = {fileSizeLimit, fileSizeLimit};
    return fileSizeLimit == RLIM_INFINITY || setrlimit(RLIMIT_FSIZE, &limit) == 0;
  });
  if (fds[1] >= 0) close(fds[1]);
  Result result;
  EXPECT_FALSE(end.timedOut) << "timed out";
  result.exited = !end.timedOut && end.signal == 0;
  result.exitCode = end.exitCode;
  result.signal = end.signal;
  std::ifstream in(output, std::ios::binary);
  result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return result;
}

// Destination = source: the second volume stores a file named like the
// volume itself. The volume is open for reading and shares only reading, so
// the output cannot be opened and the volume is left whole.
TEST(Layer, AnOpenVolumeIsNotCutByAFileOfItsName) {
  Sandbox box(e2e::NativeProgram());
  const Bytes first = Pattern(3000, 1);
  Bytes one = volwriter::EncodeVolume(MakeVolume(1, false, {WholeFile("first.bin", first)}));
  Bytes two =
      volwriter::EncodeVolume(MakeVolume(2, true, {WholeFile("DATA.S02", Pattern(5000, 2))}));
  const std::string exe = box.InstallProgram("src/data", &one);
  box.Put("src/data.s02", two);

  Result run = RunNative(box, exe, {box.Win32("src")}, Stdout::File);
  ASSERT_TRUE(run.exited) << "signal " << run.signal;
  EXPECT_EQ(0, run.exitCode);
  EXPECT_TRUE(InOrder(run.output, {"Current volume: 2\n", "\\DATA.S02\n",
                                   "[Error] Unable to open original file.\n"}));
  EXPECT_EQ(two, box.Get("src/data.s02"));
  EXPECT_EQ(first, box.Get("src/first.bin"));
}

// The destination as a Linux user writes it: --help asks for the usage
// (as the switches /?, -? and -H do) and makes nothing; "~/..." counts from
// the home folder, given as the argument or typed at the prompt. A name
// that only begins with "~" stays as it is.
TEST(Layer, HelpAndTheHomeFolder) {
  const struct {
    const char* what;
    std::vector<std::string> args;
    const char* typed;
    const char* rebuilt;  // where the file must arrive, below the sandbox; nullptr: nowhere
  } cases[] = {
      {"--help", {"--help"}, "", nullptr},
      {"-H still", {"-H"}, "", nullptr},
      {"argument", {"~/restored"}, "", "home/restored/a.txt"},
      {"the home folder itself", {"~"}, "", "home/a.txt"},
      {"typed at the prompt", {}, "~/typed\n", "home/typed/a.txt"},
      {"not the home folder", {"~x"}, "", "src/~x/a.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box(e2e::NativeProgram());
    const Bytes data = Pattern(100, 5);
    Bytes volume = volwriter::EncodeVolume(MakeVolume(1, true, {WholeFile("a.txt", data)}));
    const std::string exe = box.InstallProgram("src/data", &volume);
    box.Put("home/.keep", std::string());
    box.Put("input", std::string(c.typed));
    std::vector<std::string> argv = {box.Work(exe)};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::vector<std::string> env = {"TMPDIR=" + box.Work("tmp"), "PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                                          "HOME=" + box.Work("home")};
    const auto before = box.Files();
    const e2e::ChildEnd end = e2e::RunChild(argv, env, box.Work("src"), 60, [&] {
      return e2e::RedirectStandardStreams(box.Work("input"), box.Work("output"), box.Work("errors"));
    });
    ASSERT_FALSE(end.timedOut);
    EXPECT_EQ(0, end.exitCode);
    const Bytes output = box.Get("output");
    const std::string text(output.begin(), output.end());
    if (c.rebuilt == nullptr) {
      EXPECT_NE(text.find("Usage: \"AnyName\".exe [optional path to place original files]\n"), std::string::npos)
          << text;
      auto after = box.Files();
      after.erase(std::remove_if(after.begin(), after.end(),
                                 [](const std::string& f) { return f == "output" || f == "errors"; }),
                  after.end());
      EXPECT_EQ(after, before) << text;
    } else {
      EXPECT_EQ(data, box.Get(c.rebuilt)) << text;
    }
  }
}

// Standard output closed, or a pipe nobody reads: the join runs to its end
// and the program exits with 0, as on Windows.
TEST(Layer, AClosedStandardOutputDoesNotEndTheRun) {
  for (Stdout out : {Stdout::Closed, Stdout::NoReader}) {
    SCOPED_TRACE(out == Stdout::Closed ? "closed" : "no reader");
    Sandbox box(e2e::NativeProgram());
    std::vector<Piece> pieces;
    for (unsigned i = 0; i < 40; ++i) {
      pieces.push_back(WholeFile("f" + std::to_string(i) + ".bin", Pattern(2000 + i, i)));
    }
    Bytes volume = volwriter::EncodeVolume(MakeVolume(1, true, pieces));
    const std::string exe = box.InstallProgram("src/data", &volume);

    Result run = RunNative(box, exe, {box.Win32("out")}, out);
    ASSERT_TRUE(run.exited) << "signal " << run.signal;
    EXPECT_EQ(0, run.exitCode);
    for (unsigned i = 0; i < 40; ++i) {
      EXPECT_EQ(pieces[i].Data, box.Get("out/f" + std::to_string(i) + ".bin")) << i;
    }
  }
}

// A file-size limit below the size of a rebuilt file: the write fails, the
// run says so and ends normally.
TEST(Layer, AFileSizeLimitMakesTheWriteFail) {
  Sandbox box(e2e::NativeProgram());
  const Bytes small = Pattern(1000, 3);
  Bytes volume = volwriter::EncodeVolume(MakeVolume(
      1, true, {WholeFile("small.bin", small), WholeFile("big.bin", Pattern(300000, 4))}));
  const std::string exe = box.InstallProgram("src/data", &volume);

  Result run = RunNative(box, exe, {box.Win32("out")}, Stdout::File, 64 * 1024);
  ASSERT_TRUE(run.exited) << "signal " << run.signal;
  EXPECT_EQ(0, run.exitCode);
  EXPECT_TRUE(InOrder(run.output, {"big.bin", "[Error] Unable to write original file.\n"}));
  EXPECT_EQ(run.output.find("Launch combined"), std::string::npos);
  EXPECT_EQ(small, box.Get("out/small.bin"));
}

}  // namespace
