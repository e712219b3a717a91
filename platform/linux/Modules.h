// Modules in the Linux Win32 emulation: the one module the layer provides
// (kernel32) and its export table, for LoadLibraryA, GetProcAddress and
// FreeLibrary. The top layer: the export table may name the calls of every
// other layer. The calls are declared with the others in Win32Emu.h.
#pragma once

#include "platform/linux/Win32Emu.h"
