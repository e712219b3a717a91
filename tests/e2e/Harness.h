// Runs the real program in a fresh directory tree and looks at what it did.
//
// A sandbox holds a work tree (the program with its volumes in src/, the
// temporary directory tmp/, the destinations) and, apart from it, what the
// harness needs itself (scripted input, captured output, fake desktop tools).
// Every run has a time limit, so a program that hangs fails its test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "writer/VolumeWriter.h"

namespace e2e {

using volwriter::Bytes;

Bytes ToBytes(const std::string& text);
std::string FromBytes(const Bytes& bytes);

// Bytes that differ from position to position and from seed to seed.
Bytes Pattern(size_t size, unsigned seed);
// One piece holding a whole file.
volwriter::Piece WholeFile(const std::string& name, const Bytes& data);
// A volume of the set whose identity bytes are all `set`.
volwriter::Volume MakeVolume(int32_t number, bool last, std::vector<volwriter::Piece> pieces,
                             uint8_t set = 1);

// How a child process ended.
struct ChildEnd {
  bool timedOut = false;
  int exitCode = -1;  // when it exited by itself
  int signal = 0;     // when a signal ended it
};

// Runs argv[0] with exactly `env`, in a process group of its own, from
// `cwd`, once `prepare` has set up the child (standard streams, limits,
// user; false gives up, and the child exits with 126). The group is killed
// when the program has not ended within timeoutSeconds.
ChildEnd RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& cwd, int timeoutSeconds,
                  const std::function<bool()>& prepare);

// In a child: standard input, output and error from these files (output
// and errors created or emptied).
bool RedirectStandardStreams(const std::string& input, const std::string& output,
                             const std::string& errors);

// How the program under test is started.
struct Program {
  std::string binary;           // the program file to copy into the sandbox
  std::vector<std::string> runner;  // started in front of the copy (e.g. Wine), may be empty
  std::string extension;        // of the copy: "" or ".exe"
  int timeoutSeconds = 30;
  bool windows = false;         // console lines end in CR LF; paths are given in Z: form
};

// Names a program in test output.
inline void PrintTo(const Program& program, std::ostream* out) {
  *out << (program.windows ? "the Windows program under Wine" : "the native program");
}

// The native Linux program, and the Windows program under Wine when this
// build knows one (Program::binary empty otherwise).
Program NativeProgram();
Program WineProgram();

struct Outcome {
  int exitCode = -1;
  bool timedOut = false;
  std::string output;  // standard output, CR LF turned into LF
  std::string errors;  // standard error
};

class Sandbox {
 public:
  explicit Sandbox(Program program);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const Program& program() const { return program_; }

  // Native paths below the work tree.
  std::string Work(const std::string& relative = std::string()) const;
  // The same place as the program sees it: Z:\... on both builds.
  std::string Win32(const std::string& relative = std::string()) const;

  void Put(const std::string& relative, const Bytes& bytes) const;
  void Put(const std::string& relative, const std::string& text) const;
  // Writes bytes at a position of a file, creating it when missing and
  // leaving the rest as it is: skipped ranges become holes of a sparse file.
  void PutAt(const std::string& relative, int64_t offset, const Bytes& bytes) const;
  Bytes Get(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative) const;

  // Copies the program into the work tree as base name + extension, with a
  // volume appended (a self-joining file) when one is given. Answers the
  // copy's relative path.
  std::string InstallProgram(const std::string& relativeBase, const Bytes* volume = nullptr);

  // Fake desktop tools first on PATH: xdg-mime knows an application for the
  // given extensions (such as ".txt"); xdg-open records what it was given.
  void InstallDesktop(const std::vector<std::string>& associatedExtensions);
  // The files xdg-open was given, in order; waits up to a few seconds for
  // the expected count, since xdg-open is not waited for.
  std::vector<std::string> Launched(size_t expected) const;

  // Runs the installed program from relative directory `cwd` of the work
  // tree, with the arguments and the scripted input.
  Outcome Run(const std::string& programRelative, const std::vector<std::string>& args,
              const std::string& input, const std::string& cwd = "src") const;

  // Every file below the work tree, relative, sorted.
  std::vector<std::string> Files() const;

 private:
  Program program_;
  std::string root_;
  std::string work_;
  std::string meta_;
};

// Each fragment must occur in text after the end of the one before it.
::testing::AssertionResult InOrder(const std::string& text,
                                   const std::vector<std::string>& fragments);

}  // namespace e2e
