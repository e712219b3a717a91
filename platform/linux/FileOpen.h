// Opening and creating files in the Linux Win32 emulation: CreateFileA,
// as named steps (what the call asks for, where the file is, whether it may
// be opened, the open itself, the new handle). Above the handle table and
// the attributes layer. The call is declared with the others in Win32Emu.h;
// this layer offers nothing else to the layers above it.
#pragma once

#include "platform/linux/Win32Emu.h"
