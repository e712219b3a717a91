// The run-time services of the program body: start-up and shut-down of the
// platform layer, and the console as a text stream.
//
// Console text is OEM text. Output is flushed at every line end and after
// every prompt (ConsoleFlush); input is read one line at a time.
#pragma once

#include <cstddef>
#include <string>

// Called once before any other module starts, and once after all have ended.
void PlatformStartup();
void PlatformShutdown();

// Writes text as it stands (no line end).
void ConsoleWrite(const std::string& text);
// Writes text followed by the system's line end, then flushes.
void ConsoleWriteLine(const std::string& text = std::string());
// Sends what has been written to the console (before a prompt's answer is read).
void ConsoleFlush();
// Reads one line without its line end. Returns false (and an empty line) at
// the end of input. A line keeps its first kConsoleLineMax bytes; the rest
// of it is read and dropped, so that no input line can take up memory
// without end.
constexpr size_t kConsoleLineMax = 4096;
bool ConsoleReadLine(std::string& line);
