// The run-time services on Linux: the console is the terminal (or whatever
// standard input and output are), in UTF-8. The program's console text is
// OEM text; it is converted on the way out and on the way in.
#include "platform/RunTime.h"

#include <unistd.h>

#include <cstdio>

#include "platform/linux/EmuInternal.h"
#include "platform/linux/EmuShell.h"

void PlatformStartup() { emu::RecordStartDirectory(); }

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
  line = emu::Utf8ToCodePage(line, emu::kOemCodePage);
  return true;
}
