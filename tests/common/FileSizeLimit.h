#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace vxtest {

// Lowers the file size limit of this process and ignores the signal that would end it, as a
// stand-in for a full disk (writes beyond the limit fail with EFBIG); both are restored when
// the guard ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_old);
    m_oldSig = signal(SIGXFSZ, SIG_IGN);
    rlimit lim = m_old;
    lim.rlim_cur = bytes;
    m_ok = setrlimit(RLIMIT_FSIZE, &lim) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    signal(SIGXFSZ, m_oldSig);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return m_ok; }

 private:
  rlimit m_old{};
  void (*m_oldSig)(int) = nullptr;
  bool m_ok = false;
};

}  // namespace vxtest
