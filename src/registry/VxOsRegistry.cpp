// The process-wide store behind the OsReg* functions and its users' reference count.
#include <memory>
#include <mutex>

#include "registry/VxReg.h"
#include "registry/VxRegTesting.h"
#include "registry/VxXmlRegistry.h"

namespace {

// A std::mutex rather than an OS-layer critical section: it is usable from static
// initialisers of any translation unit, before anything could have initialised a section.
// The record is never destroyed, so calls from static destructors stay safe.
struct TRegistryGlobals {
  std::mutex mutex;
  std::shared_ptr<CVxXmlRegistry> store;  // deleted when the last user goes
  int32_t s_registryRefCnt = 0;
};

TRegistryGlobals& Globals() {
  static TRegistryGlobals* globals = new TRegistryGlobals;
  return *globals;
}

// The store, created on first use. Callers hold a reference for the duration of a call, so
// a concurrent RegistryDestroy cannot delete it under them.
std::shared_ptr<CVxXmlRegistry> Store() {
  TRegistryGlobals& g = Globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  if (!g.store) g.store = std::make_shared<CVxXmlRegistry>();
  return g.store;
}

// The first user: registered before main, released at exit.
struct TStaticRegistryUser {
  TStaticRegistryUser() { RegistryInit(); }
  ~TStaticRegistryUser() { RegistryDestroy(); }
} s_staticRegistryUser;

}  // namespace

void RegistryInit() {
  TRegistryGlobals& g = Globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  ++g.s_registryRefCnt;
}

void RegistryDestroy() {
  std::shared_ptr<CVxXmlRegistry> doomed;
  TRegistryGlobals& g = Globals();
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.s_registryRefCnt <= 0) return;
    if (--g.s_registryRefCnt == 0) doomed = std::move(g.store);
  }
}

void VxRegTestRecreateStore() {
  std::shared_ptr<CVxXmlRegistry> doomed;
  TRegistryGlobals& g = Globals();
  std::lock_guard<std::mutex> lock(g.mutex);
  doomed = std::move(g.store);
}

LONG OsRegOpenKeyExA(HKEY parent, const char* subKey, DWORD /*options*/, DWORD /*access*/,
                     HKEY* result) {
  return Store()->OpenKey(parent, subKey, result);
}

LONG OsRegQueryValueExA(HKEY key, const char* name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                        DWORD* size) {
  return Store()->QueryValue(key, name, type, data, size);
}

LONG OsRegCloseKey(HKEY key) {
  return Store()->CloseKey(key);
}
