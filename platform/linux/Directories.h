// Names in the Linux Win32 emulation: DeleteFileA, CreateDirectoryA and
// RemoveDirectoryA (below the current directory, through the link-safe
// resolution). Above the handle table (deleting respects the sharing rules)
// and the attributes layer. The calls are declared with the others in
// Win32Emu.h; this layer offers nothing else to the layers above it.
#pragma once

#include "platform/linux/Win32Emu.h"
