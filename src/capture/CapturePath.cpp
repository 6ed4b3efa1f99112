#include "capture/CapturePath.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "os/OsUserFile.h"

namespace vxcap {

size_t NamePos(const char* path) {
  size_t pos = 0;
  for (size_t i = 0; path[i]; ++i)
    if (path[i] == '\\' || path[i] == '/') pos = i + 1;
  return pos;
}

bool SamePath(const char* a, const char* b) {
  char na[kMaxCapturePath + 1];
  char nb[kMaxCapturePath + 1];
  snprintf(na, sizeof na, "%s", a);
  snprintf(nb, sizeof nb, "%s", b);
  OsUserNormalizePath(na);
  OsUserNormalizePath(nb);
  return strcasecmp(na, nb) == 0;
}

bool JoinPath(char* out, const char* folder, const char* name) {
  const size_t a = strlen(folder);
  const size_t b = strlen(name);
  if (a + 1 + b > kMaxCapturePath) return false;
  memcpy(out, folder, a);
  out[a] = '\\';
  memcpy(out + a + 1, name, b + 1);
  return true;
}

}  // namespace vxcap
