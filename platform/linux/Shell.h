// The shell in the Linux Win32 emulation: message boxes and the open-file
// dialog as text on the terminal, the command line, and starting files with
// the desktop's own tools: MessageBoxA, GetOpenFileNameA, GetCommandLineA,
// FindExecutableA and ShellExecuteA. Above the console and paths layers.
// The calls are declared with the others in Win32Emu.h; this layer offers
// nothing else to the layers above it.
#pragma once

#include "platform/linux/Win32Emu.h"
