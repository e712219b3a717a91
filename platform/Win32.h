// The Win32 services of the program. On Windows this is the system's own
// interface; elsewhere it is the emulation in platform/linux. This header is
// the only place that tells the two apart: the rest of the program calls the
// services by their Win32 names and never tests which system it runs on.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>
#ifndef OPENFILENAME_SIZE_VERSION_400A
#define OPENFILENAME_SIZE_VERSION_400A 76
#endif
#else
#include "linux/Win32Emu.h"
#endif
