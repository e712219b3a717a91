// Console, dialog and shell services of the Linux layer.
#pragma once

#include <string>

namespace emu {

// Remembers the directory the program was started in; relative names typed
// into the open-file dialog count from there.
void RecordStartDirectory();

// One line of standard input as UTF-8, without its line end; false at the
// end of input.
bool ReadInputLine(std::string& line);

}  // namespace emu
