// Directory search in the Linux Win32 emulation: FindFirstFileA,
// FindNextFileA and FindClose, with Win32 wildcards, "." and "..", and
// entries delivered in name order regardless of case. Above the handle
// table and the attributes layer. The calls are declared with the others in
// Win32Emu.h; this layer offers nothing else to the layers above it.
#pragma once

#include "platform/linux/Win32Emu.h"
