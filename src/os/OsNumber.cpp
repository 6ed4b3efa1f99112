#include "os/OsNumber.h"

namespace {

int DigitValue(char c, unsigned radix) {
  int d = -1;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  return d >= 0 && static_cast<unsigned>(d) < radix ? d : -1;
}

}  // namespace

size_t OsDigitRun(std::string_view text, OsNumberBase base) {
  const unsigned radix = base == OsNumberBase::kHex ? 16 : 10;
  size_t n = 0;
  while (n < text.size() && DigitValue(text[n], radix) >= 0) ++n;
  return n;
}

bool OsParseUnsigned(std::string_view text, uint64_t max, uint64_t* value, OsNumberBase base) {
  unsigned radix = base == OsNumberBase::kHex ? 16 : 10;
  if (base == OsNumberBase::kDecimalOrHex && text.size() >= 2 && text[0] == '0' &&
      (text[1] == 'x' || text[1] == 'X')) {
    radix = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t v = 0;
  for (const char c : text) {
    const int d = DigitValue(c, radix);
    if (d < 0) return false;
    const uint64_t digit = static_cast<uint64_t>(d);
    if (digit > max || v > (max - digit) / radix) return false;
    v = v * radix + digit;
  }
  *value = v;
  return true;
}
