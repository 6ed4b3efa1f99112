// Unique names for temporary capture files.
#pragma once

#include "os/OsTypes.h"

// Creates a new empty file named lpPathName + "/" + lpPrefixString + a new UUID (text form,
// no braces) and stores its path in lpTempFileName, which must hold 1025 characters. uUnique
// must be 0. Returns 1, or 0 with the error number set (22 for unsupported arguments or a
// path over 1024 characters, 12 when the UUID has no text form, else that of creating the
// file).
UINT OsUserGetTempFileName(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                           LPSTR lpTempFileName);
