// The result code of a failed OS-layer call, from the error number it left behind.
#pragma once

#include "os/OsTypes.h"
#include "os/OsUserTools.h"

// 0 carries no information and becomes E_FAIL; a value that already is a failure code (its
// sign bit set) passes through; an error number becomes 0x80070000 | (e & 0xFFFF).
constexpr HRESULT VxHResultFromOsError(DWORD e) {
  if (e == 0) return E_FAIL;
  if (static_cast<HRESULT>(e) < 0) return static_cast<HRESULT>(e);
  return HRESULT_FROM_OS_ERROR(e);
}

inline HRESULT VxHResultFromLastError() {
  return VxHResultFromOsError(OsUserGetLastError());
}
