// The console on Linux (see Console.h) and the run-time services of
// platform/RunTime.h: the console is the terminal (or whatever standard
// input and output are), in UTF-8. The program's console text is OEM text;
// it is converted on the way out and on the way in.
#include "platform/linux/Console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/RunTime.h"
#include "platform/linux/Text.h"
#include "platform/linux/Win32Emu.h"

namespace emu {
namespace {

std::string g_startDirectory;

// Remembers the directory the program was started in.
void RecordStartDirectory() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) != nullptr) g_startDirectory = buffer;
}

}  // namespace

const std::string& StartDirectory() { return g_startDirectory; }

// ANSI text (what the user-interface and shell calls take) as terminal text,
// with LF line ends.
std::string AnsiToTerminal(const char* text) {
  std::string plain;
  for (const char* p = text ? text : ""; *p != '\0'; ++p) {
    if (p[0] == '\r' && p[1] == '\n') continue;
    plain += *p;
  }
  return CodePageToUtf8(plain, kAnsiCodePage);
}

void WriteTerminal(const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

bool ReadInputLine(std::string& line) {
  line.clear();
  int c = 0;
  bool any = false;
  bool cut = false;
  while ((c = std::fgetc(stdin)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < kConsoleLineMax) {
      line += static_cast<char>(c);
    } else {
      cut = true;
    }
  }
  if (cut) {
    // No character is kept in part: a UTF-8 sequence cut short goes whole.
    size_t start = line.size();
    while (start > 0 && (static_cast<unsigned char>(line[start - 1]) & 0xC0) == 0x80) --start;
    if (start > 0) {
      const auto lead = static_cast<unsigned char>(line[start - 1]);
      const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (line.size() - (start - 1) < length) line.resize(start - 1);
    }
  } else if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return any;
}

std::string FromHomeFolder(const std::string& destination) {
  if (destination != "~" && destination.compare(0, 2, "~/") != 0) return destination;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return destination;
  return std::string(home) + destination.substr(1);
}

}  // namespace emu

void PlatformStartup() {
  // Standard input, output and error that were closed are opened on
  // /dev/null, so that no file the program opens takes their place and
  // receives its console text.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int spare = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (spare >= 0 && spare != fd) {
        dup2(spare, fd);
        close(spare);
      }
    }
  }
  // As on Windows, a write beyond the file-size limit fails (ERROR_DISK_FULL)
  // instead of ending the program, and console text for a reader that has
  // gone is dropped.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  emu::RecordStartDirectory();
}

void PlatformShutdown() { std::fflush(stdout); }

void ConsoleWrite(const std::string& text) {
  // Line ends are LF here: a CR LF inside a text becomes LF.
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  const std::string utf8 = emu::CodePageToUtf8(plain, emu::kOemCodePage);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

void ConsoleWriteLine(const std::string& text) {
  ConsoleWrite(text);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void ConsoleFlush() { std::fflush(stdout); }

bool ConsoleReadLine(std::string& line) {
  line.clear();
  if (!emu::ReadInputLine(line)) return false;
  // A line is a destination typed at the prompt, or an answer that is not
  // looked at: "~/..." counts from the home folder.
  line = emu::Utf8ToCodePage(emu::FromHomeFolder(line), emu::kOemCodePage);
  return true;
}

// ---------------------------------------------------------------- console window
BOOL SetConsoleTitleA(LPCSTR lpConsoleTitle) {
  if (isatty(STDOUT_FILENO)) {
    emu::WriteTerminal("\033]0;" + emu::AnsiToTerminal(lpConsoleTitle) + "\007");
  }
  return TRUE;
}

BOOL SetConsoleOutputCP(UINT) { return TRUE; }

// The console is always there: the terminal the program runs in.
HWND FindWindowA(LPCSTR lpClassName, LPCSTR) {
  static int consoleWindow;
  if (lpClassName != nullptr && std::strcmp(lpClassName, "tty") == 0) return &consoleWindow;
  return nullptr;
}
