// The runtime's registry file, as the program meets it: another process wrote it, the store
// loads it (or falls back to its defaults), and the two readers take the boot folder and the
// local NetId from it. Keys and values of every type are then opened and queried through the
// Win32-shaped interface with buffers too small, exact and large.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "nmx/NmxTypes.h"
#include "registry/VxReg.h"
#include "registry/VxRegTesting.h"

namespace {

// Paths below HKLM, in their own spelling and in others the lookup must treat alike.
const char* const kKeys[] = {
    "Software\\Lormec\\Varnix3",
    "Software\\Lormec\\Varnix3\\3.1",
    "SOFTWARE\\lormec\\varnix3\\System",
    "Software\\Lormec\\Varnix3\\",
    "Software\\\\Lormec",
    "Ident",
    "A\\B\\C",
};

// Value names the seeds give values of every type.
const char* const kValues[] = {"CurrentVersion", "BootDir", "NmxNetId", "RunAsDevice",
                               "DeviceType",     "A",       "B",        "C"};

void QueryAll(HKEY key) {
  for (const char* name : kValues) {
    DWORD type = 0, size = 0;
    OsRegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    for (DWORD cb : {0u, 1u, 4u, 8u, 64u}) {
      BYTE buf[64];
      size = cb;
      OsRegQueryValueExA(key, name, nullptr, &type, buf, &size);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vxfuzz::BaseDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxfuzz::WriteFile(vxfuzz::BaseDir() + "/VxRegistry.xml", data, size);
  VxRegTestRecreateStore();

  char* boot = nullptr;
  if (VxRegReadBootPrjPath(&boot)) delete[] boot;
  NmxNetId id{};
  VxRegReadLocalMachineId(id);

  QueryAll(HKEY_LOCAL_MACHINE);
  for (const char* path : kKeys) {
    HKEY key = nullptr;
    if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != VXREG_SUCCESS) continue;
    QueryAll(key);
    HKEY sub = nullptr;
    if (OsRegOpenKeyExA(key, "System", 0, KEY_READ, &sub) == VXREG_SUCCESS) {
      QueryAll(sub);
      OsRegCloseKey(sub);
    }
    OsRegCloseKey(key);
  }
  // The next input starts from a store that has read nothing.
  VxRegTestRecreateStore();
  return 0;
}
