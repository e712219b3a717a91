// Message boxes, the open-file dialog, the command line and the shell on
// Linux (see Shell.h).
//
// Message boxes and the dialog are text on standard output, answered by a
// line of standard input. Files are started with the desktop's own tools
// (xdg-mime to find an application, xdg-open to start it).
#include "platform/linux/Shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/linux/Console.h"
#include "platform/linux/Paths.h"
#include "platform/linux/Text.h"
#include "platform/linux/Win32Emu.h"

extern char** environ;

namespace {

std::string Trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// Spawn attributes that give a started program the default handling of the
// signals this program ignores (SIGPIPE, SIGXFSZ).
class DefaultSignals {
 public:
  DefaultSignals() {
    posix_spawnattr_init(&attr_);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attr_, &set);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF);
  }
  ~DefaultSignals() { posix_spawnattr_destroy(&attr_); }
  DefaultSignals(const DefaultSignals&) = delete;
  DefaultSignals& operator=(const DefaultSignals&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

// Runs a program found on PATH with stdin and stderr on /dev/null; gives its
// standard output and whether it exited with 0.
bool RunAndCapture(const std::vector<std::string>& args, std::string& output) {
  output.clear();
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  DefaultSignals signals;
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, signals.get(), argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return false;
  }
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    output.append(buffer, static_cast<size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Starts a program found on PATH and does not wait for it: an intermediate
// child starts it and ends at once, so no zombie is left behind.
bool StartDetached(const std::vector<std::string>& args) {
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    DefaultSignals signals;
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, signals.get(), argv.data(), environ);
    _exit(spawned == 0 ? 0 : 1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A name handed to a shell call (ANSI text) as a Unix path.
bool ShellNameToUnix(const char* name, std::string& unixPath) {
  if (name == nullptr || *name == '\0') return false;
  const std::string utf8 = emu::CodePageToUtf8(name, emu::kAnsiCodePage);
  return emu::ToUnixPath(emu::Utf8ToCodePage(utf8, emu::FileApiCodePage()), unixPath);
}

bool IsDirectory(const std::string& unixPath) {
  struct stat st {};
  return stat(unixPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The dialog's answer as a Unix path: a Unix path, a Win32 path, or a name
// relative to the directory the program was started in.
bool TypedNameToUnix(const std::string& typed, std::string& unixPath) {
  if (typed[0] == '/') {
    std::string asWin32 = emu::ToWin32Path(typed);
    return emu::ToUnixPath(asWin32, unixPath);
  }
  const bool win32Form = typed[0] == '\\' || (typed.size() >= 2 && typed[1] == ':');
  if (win32Form) {
    return emu::ToUnixPath(emu::Utf8ToCodePage(typed, emu::FileApiCodePage()), unixPath);
  }
  // A relative name in Windows form (backslashes, "..") below the start
  // directory.
  std::string base = emu::StartDirectory().empty() ? std::string("/") : emu::StartDirectory();
  return emu::ToUnixPath(
      emu::ToWin32Path(base) + "\\" + emu::Utf8ToCodePage(typed, emu::FileApiCodePage()),
      unixPath);
}

constexpr INT_PTR kShellOk = 42;
constexpr INT_PTR kShellFileNotFound = 2;
constexpr INT_PTR kShellNoAssociation = 31;

HINSTANCE ShellResult(INT_PTR value) { return reinterpret_cast<HINSTANCE>(value); }

}  // namespace


// ---------------------------------------------------------------- command line
// The process's arguments, each in double quotes, as ANSI text: split the
// Windows way, it gives back every argument that holds no double quote.
LPSTR GetCommandLineA() {
  static std::string commandLine;
  static bool built = false;
  if (!built) {
    built = true;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    int index = 0;
    while (start < raw.size()) {
      size_t end = raw.find('\0', start);
      if (end == std::string::npos) end = raw.size();
      std::string argument = raw.substr(start, end - start);
      // The destination (argument 1) as Linux users write it: --help asks
      // for the usage like the switches the program knows (-H among them),
      // and a name from the home folder is made whole, as a shell would.
      if (index++ == 1) argument = argument == "--help" ? std::string("-H") : emu::FromHomeFolder(argument);
      if (!commandLine.empty()) commandLine += ' ';
      commandLine += '"' + emu::Utf8ToCodePage(argument, emu::kAnsiCodePage) + '"';
      start = end + 1;
    }
  }
  return &commandLine[0];
}

// ---------------------------------------------------------------- message boxes
int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  emu::WriteTerminal("[" + emu::AnsiToTerminal(lpCaption) + "] " + emu::AnsiToTerminal(lpText) + "\n");
  if ((uType & 0x0F) != MB_YESNO) return IDOK;
  emu::WriteTerminal("(y/n) ");
  std::string answer;
  if (!emu::ReadInputLine(answer)) {
    emu::WriteTerminal("\n");
    return 0;  // no operator: the box could not be answered
  }
  const std::string trimmed = Trimmed(answer);
  return (!trimmed.empty() && (trimmed[0] == 'y' || trimmed[0] == 'Y')) ? IDYES : IDNO;
}

// ---------------------------------------------------------------- open-file dialog
BOOL GetOpenFileNameA(LPOPENFILENAMEA lpofn) {
  if (lpofn == nullptr || lpofn->lpstrFile == nullptr || lpofn->nMaxFile == 0) return FALSE;
  const std::string filter = lpofn->lpstrFilter ? emu::AnsiToTerminal(lpofn->lpstrFilter) : "*.*";
  for (;;) {
    emu::WriteTerminal("Open volume file - " + filter + " - path (empty line to close): ");
    std::string typed;
    if (!emu::ReadInputLine(typed)) {
      emu::WriteTerminal("\n");
      return FALSE;
    }
    typed = Trimmed(typed);
    if (typed.empty()) return FALSE;

    std::string unixPath;
    if (!TypedNameToUnix(typed, unixPath) || IsDirectory(unixPath)) {
      emu::WriteTerminal("Not a file name: " + typed + "\n");
      continue;
    }
    const size_t slash = unixPath.find_last_of('/');
    const std::string parent = slash == 0 ? std::string("/") : unixPath.substr(0, slash);
    if ((lpofn->Flags & OFN_PATHMUSTEXIST) && !IsDirectory(parent)) {
      emu::WriteTerminal("The path does not exist: " + typed + "\n");
      continue;
    }
    const std::string chosen = emu::ToWin32Path(unixPath);
    if (chosen.size() + 1 > lpofn->nMaxFile) return FALSE;
    std::memcpy(lpofn->lpstrFile, chosen.c_str(), chosen.size() + 1);
    const size_t nameStart = chosen.find_last_of('\\') + 1;
    lpofn->nFileOffset = static_cast<WORD>(nameStart);
    const size_t dot = chosen.find_last_of('.');
    lpofn->nFileExtension =
        static_cast<WORD>(dot != std::string::npos && dot >= nameStart ? dot + 1 : chosen.size());
    return TRUE;
  }
}

// ---------------------------------------------------------------- shell
HINSTANCE FindExecutableA(LPCSTR lpFile, LPCSTR, LPSTR lpResult) {
  if (lpResult != nullptr) lpResult[0] = '\0';
  std::string unixPath;
  struct stat st {};
  if (!ShellNameToUnix(lpFile, unixPath) || stat(unixPath.c_str(), &st) != 0) {
    return ShellResult(kShellFileNotFound);
  }
  std::string fileType;
  if (!RunAndCapture({"xdg-mime", "query", "filetype", unixPath}, fileType)) {
    return ShellResult(kShellNoAssociation);
  }
  fileType = Trimmed(fileType);
  std::string application;
  if (fileType.empty() || !RunAndCapture({"xdg-mime", "query", "default", fileType}, application)) {
    return ShellResult(kShellNoAssociation);
  }
  application = Trimmed(application);
  if (application.empty()) return ShellResult(kShellNoAssociation);
  if (lpResult != nullptr) {
    const std::string ansi = emu::Utf8ToCodePage(application, emu::kAnsiCodePage);
    std::snprintf(lpResult, MAX_PATH, "%s", ansi.c_str());
  }
  return ShellResult(kShellOk);
}

HINSTANCE ShellExecuteA(HWND, LPCSTR, LPCSTR lpFile, LPCSTR, LPCSTR, int) {
  if (lpFile == nullptr || *lpFile == '\0') return ShellResult(kShellFileNotFound);
  std::string target;
  if (std::strstr(lpFile, "://") != nullptr) {
    target = emu::CodePageToUtf8(lpFile, emu::kAnsiCodePage);
  } else if (!ShellNameToUnix(lpFile, target)) {
    return ShellResult(kShellFileNotFound);
  }
  return ShellResult(StartDetached({"xdg-open", target}) ? kShellOk : kShellNoAssociation);
}

