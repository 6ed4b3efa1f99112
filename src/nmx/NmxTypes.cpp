#include "nmx/NmxTypes.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "os/ByteOrder.h"

namespace {

// One "%d" conversion as scanf reads it (optional white space, optional sign, at least one
// digit), keeping only the low 8 bits of the number. Accumulating modulo 256 gives exactly
// those bits for any number of digits, where a full-width int could overflow.
bool ScanLow8(const char*& p, BYTE& low8) {
  const char* s = p;
  while (isspace(static_cast<unsigned char>(*s))) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = (*s++ == '-');
  if (!isdigit(static_cast<unsigned char>(*s))) return false;
  unsigned v = 0;
  while (isdigit(static_cast<unsigned char>(*s)))
    v = (v * 10 + static_cast<unsigned>(*s++ - '0')) & 0xFF;
  low8 = static_cast<BYTE>(negative ? (0x100 - v) & 0xFF : v);
  p = s;
  return true;
}

bool ScanChar(const char*& p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}

// "%d.%d.%d.%d.%d.%d"
bool ScanAbsolute(const char* p, NmxNetId& id) {
  BYTE b[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && !ScanChar(p, '.')) return false;
    if (!ScanLow8(p, b[i])) return false;
  }
  for (int i = 0; i < 6; ++i) id.b[i] = b[i];
  return true;
}

// "[%d.%d.%d.%d].%d.%d": the bracketed node part is read and discarded.
bool ScanRelative(const char* p, NmxNetId& id) {
  BYTE ignored;
  if (!ScanChar(p, '[')) return false;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !ScanChar(p, '.')) return false;
    if (!ScanLow8(p, ignored)) return false;
  }
  BYTE b4, b5;
  if (!ScanChar(p, ']') || !ScanChar(p, '.') || !ScanLow8(p, b4) || !ScanChar(p, '.') ||
      !ScanLow8(p, b5))
    return false;
  id.b[4] = b4;
  id.b[5] = b5;
  return true;
}

}  // namespace

void NmxNetId::Clear() {
  for (BYTE& x : b) x = 0;
}

NmxNetId& NmxNetId::operator=(const char* text) {
  Clear();
  if (text == nullptr || *text == '\0') return *this;
  if (!ScanAbsolute(text, *this)) ScanRelative(text, *this);
  return *this;
}

const char* NmxNetId::ToText(char* buf, size_t size) const {
  if (buf != nullptr && size > 0)
    snprintf(buf, size, "%u.%u.%u.%u.%u.%u", b[0], b[1], b[2], b[3], b[4], b[5]);
  return buf;
}

NmxHead DecodeNmxHead(const BYTE* p) {
  NmxHead h{};
  memcpy(h.target.netId.b, p, 6);
  h.target.port = vx::DecodeLE16(p + 6);
  memcpy(h.sender.netId.b, p + 8, 6);
  h.sender.port = vx::DecodeLE16(p + 14);
  h.cmdId = vx::DecodeLE16(p + 16);
  h.stateFlags = vx::DecodeLE16(p + 18);
  h.cbData = vx::DecodeLE32(p + 20);
  h.errCode = static_cast<LONG>(vx::DecodeLE32(p + 24));
  h.hUser = vx::DecodeLE32(p + 28);
  return h;
}
