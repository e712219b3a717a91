// The end-to-end harness (see Harness.h): sandboxes, sets written with the
// writer, runs of the real program with a time limit and scripted input.
#include "tests/e2e/Harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {

Bytes Pattern(size_t size, unsigned seed) {
  Bytes bytes(size);
  uint32_t state = seed * 2654435761u + 12345u;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

volwriter::Piece WholeFile(const std::string& name, const Bytes& data) {
  volwriter::Piece piece;
  piece.FileName = name;
  piece.Data = data;
  return piece;
}

volwriter::Volume MakeVolume(int32_t number, bool last, std::vector<volwriter::Piece> pieces,
                             uint8_t set) {
  volwriter::Volume volume;
  volume.Set.fill(set);
  volume.VolumeNumber = number;
  volume.IsLast = last;
  volume.Pieces = std::move(pieces);
  return volume;
}

ChildEnd RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& cwd, int timeoutSeconds,
                  const std::function<bool()>& prepare) {
  std::vector<char*> cargv;
  for (const std::string& arg : argv) cargv.push_back(const_cast<char*>(arg.c_str()));
  cargv.push_back(nullptr);
  std::vector<char*> cenv;
  for (const std::string& item : env) cenv.push_back(const_cast<char*>(item.c_str()));
  cenv.push_back(nullptr);

  ChildEnd end;
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return end;
  }
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(cwd.c_str()) != 0 || !prepare()) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      end.timedOut = true;
      return end;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  return end;
}

bool RedirectStandardStreams(const std::string& input, const std::string& output,
                             const std::string& errors) {
  const int in = open(input.c_str(), O_RDONLY);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) return false;
  return dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2;
}

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string FromBytes(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Program NativeProgram() {
  Program program;
  program.binary = PARCELSTUB_BIN;
  return program;
}

Program WineProgram() {
  Program program;
#ifdef PARCELSTUB_EXE
  program.binary = PARCELSTUB_EXE;
  program.runner = {WINE_RUN, WINE_PREFIX};
  program.extension = ".exe";
  program.timeoutSeconds = 600;
  program.windows = true;
#endif
  return program;
}

Sandbox::Sandbox(Program program) : program_(std::move(program)) {
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (unsigned i = 0;; ++i) {
    fs::path dir = base / ("parcele2e-" + std::to_string(rd()) + "-" + std::to_string(i));
    std::error_code ec;
    if (fs::create_directory(dir, ec)) {
      root_ = fs::canonical(dir).string();
      break;
    }
  }
  work_ = root_ + "/work";
  meta_ = root_ + "/meta";
  fs::create_directories(work_ + "/src");
  fs::create_directories(work_ + "/tmp");
  fs::create_directories(meta_ + "/bin");
}

Sandbox::~Sandbox() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string Sandbox::Work(const std::string& relative) const {
  return relative.empty() ? work_ : work_ + "/" + relative;
}

std::string Sandbox::Win32(const std::string& relative) const {
  std::string path = "Z:" + Work(relative);
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

void Sandbox::Put(const std::string& relative, const Bytes& bytes) const {
  WriteAll(Work(relative), FromBytes(bytes));
}

void Sandbox::Put(const std::string& relative, const std::string& text) const {
  WriteAll(Work(relative), text);
}

void Sandbox::PutAt(const std::string& relative, int64_t offset, const Bytes& bytes) const {
  fs::create_directories(fs::path(Work(relative)).parent_path());
  int fd = open(Work(relative).c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << relative;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t got = pwrite(fd, bytes.data() + done, bytes.size() - done,
                         static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  close(fd);
  ASSERT_EQ(done, bytes.size()) << relative;
}

Bytes Sandbox::Get(const std::string& relative) const { return ToBytes(ReadAll(Work(relative))); }

bool Sandbox::Exists(const std::string& relative) const {
  std::error_code ec;
  return fs::exists(Work(relative), ec);
}

void Sandbox::MakeDir(const std::string& relative) const { fs::create_directories(Work(relative)); }

std::string Sandbox::InstallProgram(const std::string& relativeBase, const Bytes* volume) {
  const std::string relative = relativeBase + program_.extension;
  Bytes image = ToBytes(ReadAll(program_.binary));
  if (volume != nullptr) image = volwriter::AppendToStub(image, *volume);
  Put(relative, image);
  fs::permissions(Work(relative), fs::perms::owner_all, fs::perm_options::add);
  return relative;
}

void Sandbox::InstallDesktop(const std::vector<std::string>& associatedExtensions) {
  std::string cases;
  for (const std::string& extension : associatedExtensions) cases += " *" + extension + ")";
  std::string mime =
      "#!/bin/sh\n"
      "# query filetype FILE | query default TYPE\n"
      "if [ \"$2\" = filetype ]; then\n"
      "  case \"$3\" in\n";
  for (const std::string& extension : associatedExtensions) {
    mime += "    *" + extension + ") echo application/x-test" + extension.substr(1) + ";;\n";
  }
  mime +=
      "    *) echo application/octet-stream;;\n"
      "  esac\n"
      "  exit 0\n"
      "fi\n"
      "case \"$3\" in\n"
      "  application/x-test*) echo viewer.desktop;;\n"
      "esac\n"
      "exit 0\n";
  WriteAll(meta_ + "/bin/xdg-mime", mime);
  WriteAll(meta_ + "/bin/xdg-open",
           "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + meta_ + "/launched.log'\n");
  fs::permissions(meta_ + "/bin/xdg-mime", fs::perms::owner_all, fs::perm_options::add);
  fs::permissions(meta_ + "/bin/xdg-open", fs::perms::owner_all, fs::perm_options::add);
}

std::vector<std::string> Sandbox::Launched(size_t expected) const {
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    lines.clear();
    std::istringstream in(ReadAll(meta_ + "/launched.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.size() >= expected || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return lines;
}

Outcome Sandbox::Run(const std::string& programRelative, const std::vector<std::string>& args,
                     const std::string& input, const std::string& cwd) const {
  const std::string inputPath = meta_ + "/input";
  const std::string outputPath = meta_ + "/output";
  const std::string errorPath = meta_ + "/errors";
  WriteAll(inputPath, input);

  std::vector<std::string> argv = program_.runner;
  argv.push_back(Work(programRelative));
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = {
      "TMPDIR=" + Work("tmp"),
      "PATH=" + meta_ + "/bin:/usr/local/bin:/usr/bin:/bin",
      "HOME=" + Env("HOME"),
      "LANG=C.UTF-8",
  };

  const ChildEnd end = RunChild(argv, env, Work(cwd), program_.timeoutSeconds, [&] {
    return RedirectStandardStreams(inputPath, outputPath, errorPath);
  });
  Outcome outcome;
  outcome.timedOut = end.timedOut;
  outcome.exitCode = end.exitCode;
  outcome.output = WithoutCarriageReturns(ReadAll(outputPath));
  outcome.errors = ReadAll(errorPath);
  // The program ends with exit code 0 on every path; a sanitizer report
  // ends it otherwise.
  EXPECT_FALSE(outcome.timedOut) << "timed out\n" << outcome.output;
  EXPECT_EQ(outcome.exitCode, 0) << outcome.errors;
  return outcome;
}

std::vector<std::string> Sandbox::Files() const {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(work_)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), work_).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

::testing::AssertionResult InOrder(const std::string& text,
                                   const std::vector<std::string>& fragments) {
  size_t at = 0;
  for (const std::string& fragment : fragments) {
    size_t found = text.find(fragment, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "missing, or out of order: \"" << fragment << "\"\n--- after position " << at
             << " of the output:\n"
             << text;
    }
    at = found + fragment.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace e2e
