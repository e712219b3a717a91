// What code that runs only on Linux and stands outside the emulation
// (tests, fuzz targets) may ask of it besides the Win32 calls: the Unix path
// a Win32 name stands for, and console text as the program writes it. The
// layers' own headers are for the layers.
#pragma once

#include <string>

namespace emu {

// The absolute Unix path that a Win32 path, in the file calls' current code
// page, names: relative and rooted paths count from the current directory,
// existing components are found regardless of case, missing ones are kept
// as given. False for names that cannot be a path here (other drives, UNC).
bool UnixPathOf(const std::string& win32Path, std::string& unixPath);

// UTF-8 text (as the console shows it) in the OEM code page (850), as the
// program wrote it; characters 850 lacks become '?'.
std::string Utf8ToOem(const std::string& utf8);

}  // namespace emu
