// Splitting of the process's command line into arguments.
#pragma once

#include <string>

// Argument index of a command-line text; argument 0 is the program name as
// typed. A missing argument is the empty string.
//
// Arguments are separated by runs of characters with codes 1 to 32. At the
// start of an argument every pair of adjacent double quotes is skipped like
// white space. A double quote opens a stretch that runs to the next double
// quote (or the end of the text); the quotes are dropped and blanks inside
// belong to the argument. Arguments have no length limit.
std::string CommandLineArgument(const std::string& commandLine, int index);

// Argument index of this process: 0 is the full path of the program's own
// file as the system reports it; 1 and up come from GetCommandLineA.
std::string ArgumentText(int index);
