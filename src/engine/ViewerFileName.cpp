#include "engine/ViewerFileName.h"

#include <cstring>

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool HasDotDotComponent(const char* name) {
  const char* p = name;
  while (*p) {
    const char* end = p;
    while (*end && !IsSeparator(*end)) ++end;
    if (end - p == 2 && p[0] == '.' && p[1] == '.') return true;
    p = *end ? end + 1 : end;
  }
  return false;
}

}  // namespace

bool IsViewerRelativePath(const char* name) {
  if (!name || !*name || IsSeparator(name[0])) return false;
  return !HasDotDotComponent(name);
}

bool IsViewerBareFileName(const char* name) {
  if (!name) return false;
  for (const char* p = name; *p; ++p)
    if (IsSeparator(*p)) return false;
  return strcmp(name, "..") != 0;
}
