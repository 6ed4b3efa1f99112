#include "capture/CapturePath.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "capture/CaptureFormat.h"
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

bool IsForeignFile(const char* path) {
  const DWORD attributes = OsUserGetFileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes != FILE_ATTRIBUTE_NORMAL) return true;
  OS_USER_FILE_HANDLE h = OsUserCreateFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BYTE header[kHeaderSize];
  DWORD got = 0;
  DWORD n = 0;
  while (got < sizeof header && OsUserReadFile(h, header + got, sizeof header - got, &n, nullptr) &&
         n > 0)
    got += n;
  OsUserCloseFile(h);
  return got > 0 && DecodeHeader(header, got, nullptr) != HeaderStatus::kOk;
}

}  // namespace vxcap
