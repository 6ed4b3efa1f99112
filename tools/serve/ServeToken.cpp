#include "serve/ServeToken.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace {

constexpr size_t kMaxTokenFile = 4096;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool IsServeToken(const std::string& token) {
  if (token.empty()) return false;
  for (char c : token)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != '~')
      return false;
  return true;
}

bool ReadServeTokenFile(const std::string& path, std::string* token, std::string* why) {
  // Not blocking: a FIFO or a device named by mistake is refused, not waited on.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = strerror(errno);
    return false;
  }
  struct stat st {};
  std::string text;
  bool ok = false;
  if (fstat(fd, &st) != 0) {
    *why = strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
  } else if (st.st_size > static_cast<off_t>(kMaxTokenFile)) {
    *why = "larger than " + std::to_string(kMaxTokenFile) + " bytes";
  } else {
    char buf[kMaxTokenFile + 1];
    ssize_t n = 0;
    for (;;) {
      n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || text.size() + static_cast<size_t>(n) > kMaxTokenFile) break;
      text.append(buf, static_cast<size_t>(n));
    }
    if (n < 0)
      *why = strerror(errno);
    else if (n > 0)
      *why = "larger than " + std::to_string(kMaxTokenFile) + " bytes";
    else
      ok = true;
  }
  close(fd);
  if (!ok) return false;
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  *token = text.substr(b, e - b);
  return true;
}
