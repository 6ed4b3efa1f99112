#include "registry/VxRegistryPath.h"

#include <cstdio>
#include <cstdlib>

namespace {
constexpr const char kDefaultBaseDir[] = "/usr/local/etc/Varnix/3.1";
}

const char* VxRegBaseDir() {
  const char* dir = getenv("VX_BASE_DIR");
  return dir && *dir ? dir : kDefaultBaseDir;
}

CVxRegistryPath::CVxRegistryPath() : CVxRegistryPath(VxRegBaseDir()) {}

CVxRegistryPath::CVxRegistryPath(const char* baseDir) {
  snprintf(s_szRegistryFile, kMaxPath, "%s/VxRegistry.xml", baseDir);
  snprintf(s_szLockFile, kMaxPath, "%s/VxRegistry.xml.lock", baseDir);
  snprintf(s_szBootDir, kMaxPath, "%s/Boot/", baseDir);
  snprintf(s_szConfigDir, kMaxPath, "%s/Config/", baseDir);
  snprintf(s_szInstallDir, kMaxPath, "%s/", baseDir);
  snprintf(s_szTargetDir, kMaxPath, "%s/Target/", baseDir);
  snprintf(s_szAutoloadDir, kMaxPath, "%s/Driver/AutoLoad/", baseDir);
}
