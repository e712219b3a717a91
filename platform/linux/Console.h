// The console in the Linux Win32 emulation: the terminal (or whatever
// standard input and output are), in UTF-8. Besides the run-time services
// of platform/RunTime.h (start-up, console text in the OEM code page), it
// offers the shell layer above it the terminal and the start directory;
// also SetConsoleTitleA, SetConsoleOutputCP and FindWindowA. Above the text
// layer.
#pragma once

#include <string>

namespace emu {

// The directory the program was started in (recorded by PlatformStartup);
// relative names typed into the open-file dialog count from there. Empty
// when it could not be read.
const std::string& StartDirectory();

// One line of standard input as UTF-8, without its line end; false at the
// end of input. A line keeps its first kConsoleLineMax bytes (whole
// characters only); the rest of it is read and dropped.
bool ReadInputLine(std::string& line);

// A destination as a Linux user writes it: "~" and "~/..." count from the
// home folder ($HOME), as a shell would have made them; anything else is
// returned as it is (UTF-8 both ways).
std::string FromHomeFolder(const std::string& destination);

// ANSI text (what the user-interface and shell calls take) as terminal
// text, with LF line ends.
std::string AnsiToTerminal(const char* text);

// Writes terminal text to standard output and flushes it.
void WriteTerminal(const std::string& utf8);

}  // namespace emu
