// What a failed system call says to a person: the system's text for an error number, alone or
// after the path (or address) the call was about. Callers take errno right after the failing
// call, before anything else can change it.
#pragma once

#include <errno.h>

#include "os/OsTypes.h"
#include "os/VxString.h"

// The system's text for error number err ("No such file or directory"); safe on any thread.
CString OsErrorText(int err);

// "path: reason", for a call on path that failed with error number err.
CString OsPathError(const char* path, int err);

// The error number HRESULT_FROM_OS_ERROR put into hr, else 0.
constexpr int OsErrorFromResult(HRESULT hr) {
  // E_OUTOFMEMORY is also what EFAULT would give, which no sound call returns.
  if (hr == E_OUTOFMEMORY) return ENOMEM;
  const DWORD u = static_cast<DWORD>(hr);
  return (u & 0xFFFF0000u) == 0x80070000u ? static_cast<int>(u & 0xFFFFu) : 0;
}
