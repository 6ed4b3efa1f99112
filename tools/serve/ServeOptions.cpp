#include "serve/ServeOptions.h"

#include <cstdint>
#include <string_view>

#include "os/OsNumber.h"

bool IsLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool ParseListenAddress(const std::string& text, std::string* host, WORD* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  std::string h = text.substr(0, colon);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']') return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  uint64_t n = 0;
  if (!OsParseUnsigned(std::string_view(text).substr(colon + 1), 0xFFFF, &n)) return false;
  *host = h;
  *port = static_cast<WORD>(n);
  return true;
}
