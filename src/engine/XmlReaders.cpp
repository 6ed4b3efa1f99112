#include "engine/XmlReaders.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* XMLGettext(const pugi::xml_node& node) {
  return node.text().get();
}

DWORD XMLGetUlong(const char* text) {
  if (!text) return 0;
  const size_t n = strlen(text);
  if (n >= 3 && text[0] == '#' && text[1] == 'x') {
    // What "%x" reads: leading white space, a sign, an optional 0x, then hex digits; strtoull
    // reads the same and, unlike scanf, is defined for values that do not fit.
    char* end = nullptr;
    const unsigned long long v = strtoull(text + 2, &end, 16);
    return end == text + 2 ? 0 : static_cast<DWORD>(v);
  }
  if (text[0] == '-') return 0;
  const DWORD v = static_cast<DWORD>(strtoull(text, nullptr, 10));
  if (n == 0) return v;
  const char* rest = text;
  while (*rest == '0' || *rest == '+') ++rest;
  if (*rest == '\0') return v;
  char canonical[16];
  snprintf(canonical, sizeof canonical, "%u", v);
  return strcmp(rest, canonical) == 0 ? v : 0;
}

WORD XMLGetUshort(const char* text) {
  return static_cast<WORD>(XMLGetUlong(text));
}

LONG XMLGetLong(const char* text) {
  if (!text) return 0;
  if ((text[0] == '0' || text[0] == '#') && text[1] == 'x')
    return static_cast<LONG>(static_cast<DWORD>(strtoll(text + 2, nullptr, 16)));
  char* end = nullptr;
  const long long v = strtoll(text, &end, 10);
  if (end == text) return strcasecmp(text, "true") == 0 ? 1 : 0;
  return static_cast<LONG>(static_cast<DWORD>(v));
}

bool XmlGetBool(const char* text) {
  return text &&
         (text[0] == '1' || text[0] == 't' || text[0] == 'T' || text[0] == 'y' || text[0] == 'Y');
}
