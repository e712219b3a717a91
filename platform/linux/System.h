// The system in the Linux Win32 emulation: drives (Z: only, the root of the
// file system), free space, and the program's own path: GetDriveTypeA,
// GetDiskFreeSpaceExA, GetDiskFreeSpaceA and GetModuleFileNameA. Above the
// paths layer. The calls are declared with the others in Win32Emu.h; this
// layer offers nothing else to the layers above it.
#pragma once

#include "platform/linux/Win32Emu.h"
