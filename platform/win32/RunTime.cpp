// The run-time services on Windows: the console is the C run-time's standard
// input and output, written byte for byte with CR LF line ends.
#include "platform/RunTime.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

void PlatformStartup() {
  // Binary mode: the text is written exactly as the program forms it.
  _setmode(_fileno(stdout), _O_BINARY);
}

void PlatformShutdown() { std::fflush(stdout); }

void ConsoleWrite(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void ConsoleWriteLine(const std::string& text) {
  ConsoleWrite(text);
  std::fputs("\r\n", stdout);
  std::fflush(stdout);
}

void ConsoleFlush() { std::fflush(stdout); }

bool ConsoleReadLine(std::string& line) {
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
  if (!cut && !line.empty() && line.back() == '\r') line.pop_back();
  return any;
}
