// What the Linux layer does where Linux and Windows part ways: the console
// line, the open-file dialog's typed names, signals and closed standard
// streams. Linux build only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/RunTime.h"
#include "platform/Win32.h"
#include "tests/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Standard input, or output, taken from a file for as long as the object
// lives.
class Redirect {
 public:
  Redirect(int fd, const std::string& path) : fd_(fd), saved_(dup(fd)) {
    std::fflush(stdout);
    int file = fd == 0 ? open(path.c_str(), O_RDONLY) : open(path.c_str(), O_WRONLY | O_TRUNC);
    EXPECT_GE(file, 0) << path;
    dup2(file, fd);
    close(file);
    clearerr(stdin);
  }
  ~Redirect() {
    std::fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    clearerr(stdin);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int fd_;
  int saved_;
};

void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::vector<std::string> ReadLines(const ScratchDir& dir, const std::string& input) {
  const std::string path = dir.NativePath("input");
  PutFile(path, input);
  Redirect in(0, path);
  std::vector<std::string> lines;
  std::string line;
  while (ConsoleReadLine(line)) lines.push_back(line);
  EXPECT_EQ("", line);
  return lines;
}

// Lines as their length and their last bytes, for short failure messages.
std::vector<std::string> Summary(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    const size_t tail = line.size() > 6 ? line.size() - 6 : 0;
    out.push_back(std::to_string(line.size()) + ":" + line.substr(tail));
  }
  return out;
}

TEST(LinuxConsole, LinesAreReadUpToABoundedLength) {
  ScratchDir dir;
  const size_t max = kConsoleLineMax;
  const std::string a(max, 'a');
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  } const cases[] = {
      {"short\r\nnext\n", {"short", "next"}},
      {a + "\r\n", {a}},
      {a + "bbbb\nnext\n", {a, "next"}},
      {std::string(20 * max, 'x') + "\nlast", {std::string(max, 'x'), "last"}},
      // A character cut by the bound goes whole (é is two bytes in UTF-8).
      {a.substr(1) + "\xC3\xA9" + "tail\n", {a.substr(1)}},
      // The same character within the bound arrives as OEM text.
      {"caf\xC3\xA9\n", {"caf\x82"}},
      // An endless line without a line end.
      {std::string(3 * max + 7, 'z'), {std::string(max, 'z')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 16));
    EXPECT_EQ(Summary(c.lines), Summary(ReadLines(dir, c.input)));
  }
}

// Names typed at the dialog count from the directory the program was
// started in, in Windows form as much as in Unix form.
TEST(LinuxDialog, TypedRelativeNamesAreWindowsPaths) {
  ScratchDir dir;
  dir.MakeDir("Other");
  dir.MakeDir("start");
  PutFile(dir.NativePath("Other/Data.s02"), "v");
  char saved[4096];
  ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
  ASSERT_EQ(0, chdir(dir.NativePath("start").c_str()));
  PlatformStartup();  // records the start directory
  ASSERT_TRUE(SetCurrentDirectoryA(dir.Win32().c_str()));  // the run moves elsewhere

  const std::string expected = dir.Win32() + "\\Other\\Data.s02";
  const std::string typed[] = {
      "..\\other\\data.s02", "../Other/Data.s02", "..\\\\OTHER\\.\\DATA.S02",
      "..\\missing\\..\\Other\\Data.s02", "  ..\\other\\data.s02  ",
      dir.Win32() + "\\other\\data.s02",
  };
  for (const std::string& name : typed) {
    SCOPED_TRACE(name);
    PutFile(dir.NativePath("input"), name + "\n");
    PutFile(dir.NativePath("prompt"), "");
    char file[MAX_PATH] = {};
    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.Flags = OFN_PATHMUSTEXIST;
    BOOL chosen = FALSE;
    {
      Redirect in(0, dir.NativePath("input"));
      Redirect out(1, dir.NativePath("prompt"));
      chosen = GetOpenFileNameA(&dialog);
    }
    EXPECT_TRUE(chosen);
    EXPECT_EQ(expected, std::string(file));
    EXPECT_EQ(expected.size() - 8, dialog.nFileOffset);
  }
  ASSERT_EQ(0, chdir(saved));
}

// The layer keeps the names of the directories it looks into. Of two
// spellings of one name the first in byte order is taken, and when it goes
// the other one is found; many directories at once are all kept right.
TEST(LinuxNames, SpellingsAndManyDirectoriesAreFollowed) {
  ScratchDir dir;
  auto contentOf = [&](const std::string& name) {
    HANDLE h = CreateFileA(dir.Path(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
    char buffer[64];
    DWORD n = 0;
    ReadFile(h, buffer, sizeof buffer, &n, nullptr);
    CloseHandle(h);
    return std::string(buffer, n);
  };
  PutFile(dir.NativePath("dup.txt"), "lower");
  PutFile(dir.NativePath("DUP.txt"), "upper");
  EXPECT_EQ("upper", contentOf("Dup.Txt"));
  fs::remove(dir.NativePath("DUP.txt"));
  EXPECT_EQ("lower", contentOf("Dup.Txt"));
  PutFile(dir.NativePath("DUP.TXT"), "upper again");
  EXPECT_EQ("upper again", contentOf("Dup.Txt"));

  // More directories than are kept at once, each visited twice.
  const int count = 150;
  for (int i = 0; i < count; ++i) {
    dir.MakeDir("D" + std::to_string(i));
    PutFile(dir.NativePath("D" + std::to_string(i) + "/Name.txt"), std::to_string(i));
  }
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < count; ++i) {
      const std::string sub = "d" + std::to_string(i);
      ASSERT_EQ(std::to_string(i), contentOf(sub + "\\NAME.TXT")) << round;
      if (round == 0) PutFile(dir.NativePath("D" + std::to_string(i) + "/Second.txt"), "2");
      if (round == 1) {
        ASSERT_EQ("2", contentOf(sub + "\\SECOND.TXT"));
      }
    }
  }
}

// A child process started as the program is: closed standard streams, a
// file-size limit and a reader that has gone must not end it, nor mix its
// console text into its files.
TEST(LinuxProcess, SignalsAndClosedStreamsDoNotEndTheProgram) {
  ScratchDir dir;
  const std::string path = dir.Path("out.bin");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failures = 0;
    close(1);
    PlatformStartup();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) _exit(100);
    ConsoleWriteLine("console text");
    // A write beyond the file-size limit fails as a full disk does.
    struct rlimit limit = {100, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<char> bytes(1000, 'w');
    DWORD written = 0;
    if (WriteFile(h, bytes.data(), 1000, &written, nullptr)) failures |= 1;
    if (GetLastError() != ERROR_DISK_FULL) failures |= 2;
    if (written != 100) failures |= 4;
    CloseHandle(h);
    // Console text for a reader that has gone is dropped.
    int fds[2];
    if (pipe(fds) != 0) _exit(101);
    close(fds[0]);
    dup2(fds[1], 1);
    for (int i = 0; i < 3; ++i) ConsoleWriteLine("nobody reads this");
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(std::string(100, 'w'), dir.ReadBytes("out.bin"));
}

// Below the current directory (the destination the program entered) the
// calls that create or write never follow a link, wherever it is; reading,
// and anything outside the current directory, follows links as Windows does.
TEST(LinuxLinks, BelowTheCurrentDirectoryCreatingAndWritingStopAtLinks) {
  ScratchDir dir;
  dir.MakeDir("dest\\real");
  dir.MakeDir("outside");
  dir.WriteBytes("outside\\victim.txt", "victim");
  dir.WriteBytes("dest\\plain.txt", "plain");
  for (const auto& link : std::vector<std::pair<std::string, std::string>>{
           {"dest/file.txt", "../outside/victim.txt"},
           {"dest/level", "../outside"},
           {"dest/real/deeper", "../../outside"},
           {"dest/dangling.txt", "../outside/none.txt"},
           {"dest/inside.txt", "plain.txt"},
           {"via", "dest"}}) {
    ASSERT_EQ(0, symlink(link.second.c_str(), dir.NativePath(link.first).c_str()));
  }
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(dir.Path("via").c_str()));  // a link above: followed

  struct Case {
    const char* path;  // below the current directory
    DWORD access;
    DWORD disposition;
    DWORD error;  // 0: opens
  };
  const Case cases[] = {
      {"file.txt", GENERIC_WRITE, OPEN_EXISTING, ERROR_STOPPED_ON_SYMLINK},
      {"FILE.TXT", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, ERROR_STOPPED_ON_SYMLINK},
      {"file.txt", GENERIC_WRITE, CREATE_ALWAYS, ERROR_STOPPED_ON_SYMLINK},
      {"dangling.txt", GENERIC_WRITE, OPEN_ALWAYS, ERROR_STOPPED_ON_SYMLINK},
      {"dangling.txt", GENERIC_WRITE, CREATE_NEW, ERROR_STOPPED_ON_SYMLINK},
      {"inside.txt", GENERIC_WRITE, OPEN_EXISTING, ERROR_STOPPED_ON_SYMLINK},
      {"level\\victim.txt", GENERIC_WRITE, OPEN_EXISTING, ERROR_STOPPED_ON_SYMLINK},
      {"level\\new.txt", GENERIC_WRITE, CREATE_NEW, ERROR_STOPPED_ON_SYMLINK},
      {"Real\\Deeper\\new.txt", GENERIC_WRITE, OPEN_ALWAYS, ERROR_STOPPED_ON_SYMLINK},
      {"file.txt", GENERIC_READ, OPEN_EXISTING, 0},           // reading follows
      {"level\\victim.txt", GENERIC_READ, OPEN_EXISTING, 0},
      {"plain.txt", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0},
      {"real\\made.txt", GENERIC_WRITE, CREATE_NEW, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    for (const std::string& path : {std::string(c.path), dir.Path("via\\") + c.path}) {
      SetLastError(0);
      // (Asking for the link itself would refuse a link even for reading.)
      HANDLE h = CreateFileA(path.c_str(), c.access, FILE_SHARE_READ, nullptr, c.disposition,
                             c.access == GENERIC_READ ? 0 : FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (c.error == 0) {
        EXPECT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (c.disposition == CREATE_NEW) DeleteFileA(path.c_str());
      } else {
        EXPECT_EQ(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(c.error, GetLastError());
      }
    }
  }
  EXPECT_FALSE(CreateDirectoryA("level\\sub", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_STOPPED_ON_SYMLINK), GetLastError());
  EXPECT_FALSE(CreateDirectoryA("dangling.txt", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(CreateDirectoryA("real\\new", nullptr));

  // Links look like Windows links: reparse points, directories when they
  // point at one.
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA("file.txt"));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
            GetFileAttributesA("level"));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA("dangling.txt"));

  // Outside the current directory a link is followed, for writing too.
  SetCurrentDirectoryA(dir.Path("dest\\real").c_str());
  HANDLE h = CreateFileA(dir.Path("dest\\file.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);

  SetCurrentDirectoryA(saved);
  EXPECT_EQ("victim", dir.ReadBytes("outside\\victim.txt"));
  EXPECT_FALSE(dir.Exists("outside\\none.txt"));
  EXPECT_FALSE(dir.Exists("outside\\new.txt"));
}

}  // namespace
