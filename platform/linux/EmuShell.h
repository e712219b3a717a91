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

// A destination as a Linux user writes it: "~" and "~/..." count from the
// home folder ($HOME), as a shell would have made them; anything else is
// returned as it is (UTF-8 both ways).
std::string FromHomeFolder(const std::string& destination);

}  // namespace emu
