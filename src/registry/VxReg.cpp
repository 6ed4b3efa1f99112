// The two values this program reads from the registry.
#include "registry/VxReg.h"

#include <cstring>
#include <new>
#include <string>

namespace {
constexpr const char kProductKey[] = "Software\\Lormec\\Varnix3";
constexpr size_t kVersionBufferSize = 10;
constexpr size_t kPathBufferSize = 1024;
}  // namespace

BOOL VxRegReadBootPrjPath(char** path) {
  if (!path) return FALSE;
  HKEY key;
  if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) != VXREG_SUCCESS)
    return FALSE;
  char version[kVersionBufferSize] = {};
  DWORD cb = sizeof(version);
  LONG rc = OsRegQueryValueExA(key, "CurrentVersion", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(version), &cb);
  OsRegCloseKey(key);
  if (rc != VXREG_SUCCESS) return FALSE;

  // The value need not be a terminated string; take no more than was stored.
  const std::string versionKey =
      std::string(kProductKey) + "\\" + std::string(version, strnlen(version, cb));
  if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, versionKey.c_str(), 0, KEY_READ, &key) != VXREG_SUCCESS &&
      OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) != VXREG_SUCCESS)
    return FALSE;
  char dir[kPathBufferSize] = {};
  cb = sizeof(dir);
  rc = OsRegQueryValueExA(key, "BootDir", nullptr, nullptr, reinterpret_cast<BYTE*>(dir), &cb);
  OsRegCloseKey(key);
  if (rc != VXREG_SUCCESS) return FALSE;

  dir[sizeof(dir) - 1] = '\0';
  const size_t len = strlen(dir);
  char* copy = new (std::nothrow) char[len + 1];
  if (!copy) return FALSE;
  memcpy(copy, dir, len + 1);
  *path = copy;
  return TRUE;
}

BOOL VxRegReadLocalMachineId(NmxNetId& id) {
  HKEY key;
  const std::string systemKey = std::string(kProductKey) + "\\System";
  if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, systemKey.c_str(), 0, KEY_READ, &key) != VXREG_SUCCESS)
    return FALSE;
  BYTE netId[sizeof(id.b)];
  static_assert(sizeof(netId) == 6, "a NetId has six bytes");
  DWORD cb = sizeof(netId);
  LONG rc = OsRegQueryValueExA(key, "NmxNetId", nullptr, nullptr, netId, &cb);
  OsRegCloseKey(key);
  // A shorter value would leave part of the NetId undefined.
  if (rc != VXREG_SUCCESS || cb != sizeof(netId)) return FALSE;
  memcpy(id.b, netId, sizeof(netId));
  return TRUE;
}
