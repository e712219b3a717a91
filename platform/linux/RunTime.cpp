// The run-time services on Linux: the console is the terminal (or whatever
// standard input and output are), in UTF-8. The program's console text is
// OEM text; it is converted on the way out and on the way in.
#include "platform/RunTime.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "platform/linux/EmuInternal.h"
#include "platform/linux/EmuShell.h"

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
