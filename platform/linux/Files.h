// Files by handle in the Linux Win32 emulation: ReadFile, WriteFile,
// SetFilePointer, GetFileSize, GetFileInformationByHandle,
// GetFinalPathNameByHandleA, SetEndOfFile and SetFileInformationByHandle
// (delete on close). Above the handle table and the attributes layer. The
// calls are declared with the others in Win32Emu.h; this layer offers
// nothing else to the layers above it.
#pragma once

#include "platform/linux/Win32Emu.h"
