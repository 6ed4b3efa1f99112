// The runtime's configuration store: a Win32-shaped read interface over its registry file,
// and the two values this program needs from it.
//
// All functions are thread-safe. They share one process-wide store, created on the first
// call of any OsReg* or VxReg* function and loaded lazily from the registry file (or built
// in memory from defaults when the file is missing or unusable). The store follows the file:
// a query issued more than 100 ms after the previous check sees a rewritten file.
#pragma once

#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"
#include "registry/VxRegTypes.h"

// Registers a user of the store (does not create it).
void RegistryInit();
// Unregisters a user; when the last one goes the store is deleted (a later call creates a
// fresh one). A static user is registered before main and released at exit.
void RegistryDestroy();

// Opens the existing key subKey below parent into *result; options and access are ignored.
LONG OsRegOpenKeyExA(HKEY parent, const char* subKey, DWORD options, DWORD access, HKEY* result);
// Reads a value of an open key. type, data and size are optional, but data needs size. On
// input *size is the capacity of data; on output it is the value's length in bytes. When data
// is too small nothing is copied and VXREG_MORE_DATA is returned.
LONG OsRegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* size);
// Closes a handle opened by OsRegOpenKeyExA. Closing a predefined root key is a no-op.
LONG OsRegCloseKey(HKEY key);

// Where the store sends the line that follows one of its failure lines and says where it
// looked and why (the lock file it could not open): to report, or with null (the default)
// to standard output after the failure line. Set it before any thread uses the store.
void VxRegSetDetailReport(void (*report)(const char* line));

// The boot directory of the running version. On success *path is a NUL-terminated copy the
// caller owns and releases with delete[].
BOOL VxRegReadBootPrjPath(char** path);
// The local machine's NMX NetId. On failure id is left unchanged.
BOOL VxRegReadLocalMachineId(NmxNetId& id);
