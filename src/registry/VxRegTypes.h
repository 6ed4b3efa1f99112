// Handles, value types and result codes of the registry interface (see registry/VxReg.h).
#pragma once

#include <cstdint>

#include "os/OsTypes.h"

// An open registry key. Handles are numbers, not pointers to anything.
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;

// The predefined root keys (the Win32 values, sign-extended to pointer size).
#define VX_PREDEFINED_HKEY(v) \
  (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(static_cast<uint32_t>(v)))))
#define HKEY_CLASSES_ROOT VX_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER VX_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE VX_PREDEFINED_HKEY(0x80000002u)
#define HKEY_USERS VX_PREDEFINED_HKEY(0x80000003u)
#define HKEY_PERFORMANCE_DATA VX_PREDEFINED_HKEY(0x80000004u)
#define HKEY_PERFORMANCE_TEXT VX_PREDEFINED_HKEY(0x80000050u)
#define HKEY_PERFORMANCE_NLSTEXT VX_PREDEFINED_HKEY(0x80000060u)

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access mask callers pass to OsRegOpenKeyExA (ignored).
constexpr DWORD KEY_READ = 0x20019;

// Results of the OsReg* functions (the Win32 error numbers).
constexpr LONG VXREG_SUCCESS = 0;
constexpr LONG VXREG_FILE_NOT_FOUND = 2;      // no such key or value
constexpr LONG VXREG_ACCESS_DENIED = 5;       // the value's type cannot be read
constexpr LONG VXREG_INVALID_DATA = 13;       // the value's text does not match its type
constexpr LONG VXREG_INVALID_PARAMETER = 87;  // missing or malformed argument
constexpr LONG VXREG_MORE_DATA = 234;         // buffer too small; the needed size is returned
constexpr LONG VXREG_NOT_FOUND = 1168;        // handle not open, or its key vanished
