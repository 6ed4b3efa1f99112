// The runtime's folders and the registry file, all below one base directory.
#pragma once

#include <cstddef>

// The base directory of the runtime: $VX_BASE_DIR when set and not empty, otherwise the
// installation folder of the runtime. The returned text lives as long as the environment
// entry it may point into.
const char* VxRegBaseDir();

// Paths derived from the base directory, computed once at construction. A plain value;
// not shared between threads while it is being constructed.
class CVxRegistryPath {
 public:
  static constexpr size_t kMaxPath = 1024;

  // Uses VxRegBaseDir(). Paths that would not fit are truncated (and then simply not found).
  CVxRegistryPath();
  explicit CVxRegistryPath(const char* baseDir);

  char s_szRegistryFile[kMaxPath];
  char s_szLockFile[kMaxPath];
  char s_szBootDir[kMaxPath];
  char s_szConfigDir[kMaxPath];
  char s_szInstallDir[kMaxPath];
  char s_szTargetDir[kMaxPath];
  char s_szAutoloadDir[kMaxPath];
};
