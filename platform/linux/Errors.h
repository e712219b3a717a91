// The bottom layer of the Linux Win32 emulation: the calling thread's last
// error, the Win32 error for a Unix errno, and the helper every call uses to
// fail (set the last error, answer the failure value). Every other layer
// reports its errors through this one; it calls none of them.
#pragma once

#include "platform/linux/Win32Emu.h"

namespace emu {

// A failure no Win32 code describes better (ERROR_GEN_FAILURE).
constexpr DWORD kErrorGenFailure = 31;

// Sets the calling thread's last error (what GetLastError answers).
void SetError(unsigned long code);

// Sets the last error to `code` and answers `failure`: the one way a call
// fails, as in `return Fail(ERROR_INVALID_HANDLE, FALSE);`.
template <typename T>
T Fail(unsigned long code, T failure) {
  SetError(code);
  return failure;
}

// The Win32 error for a Unix errno value; kErrorGenFailure for one that has
// no closer equivalent.
DWORD ErrorFromErrno(int error);

}  // namespace emu
