#include "service/ViewerFileName.h"

#include <cstring>

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool IsControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// No "." or ".." component and no control character; the last component names a file.
bool HasOnlyFileComponents(const char* name) {
  const char* p = name;
  for (;;) {
    const char* end = p;
    while (*end && !IsSeparator(*end)) {
      if (IsControl(*end)) return false;
      ++end;
    }
    const size_t n = static_cast<size_t>(end - p);
    if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return false;
    if (!*end) return n > 0;
    p = end + 1;
  }
}

}  // namespace

bool IsViewerRelativePath(const char* name) {
  if (!name || !*name || IsSeparator(name[0])) return false;
  return HasOnlyFileComponents(name);
}

bool IsViewerBareFileName(const char* name) {
  if (!name) return false;
  if (!*name) return true;
  for (const char* p = name; *p; ++p)
    if (IsSeparator(*p)) return false;
  return HasOnlyFileComponents(name);
}
