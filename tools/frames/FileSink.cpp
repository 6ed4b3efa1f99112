#include "frames/FileSink.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

CFileSink::~CFileSink() {
  if (m_fd >= 0) close(m_fd);
}

bool CFileSink::Fail(const char* what) {
  if (m_strErr.empty()) m_strErr = std::string(what) + " " + m_strPath + ": " + strerror(errno);
  return false;
}

bool CFileSink::Create(const std::string& path) {
  m_strPath = path;
  m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (m_fd < 0) return Fail("cannot create");
  m_bRemovable = true;
  m_buf.reserve(kBuffer);
  return true;
}

bool CFileSink::CreateNew(const std::string& path) {
  m_strPath = path;
  m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (m_fd < 0) return Fail("cannot create");
  m_bRemovable = true;
  m_buf.reserve(kBuffer);
  return true;
}

bool CFileSink::OpenExisting(const std::string& path) {
  m_strPath = path;
  m_fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (m_fd < 0) return Fail("cannot open");
  m_buf.reserve(kBuffer);
  return true;
}

bool CFileSink::OpenStream(const std::string& path, const std::function<bool()>& keepWaiting) {
  m_strPath = path;
  m_bStream = true;
  m_keepWaiting = keepWaiting;
  // The descriptor stays non-blocking: without a reader a FIFO refuses the open (ENXIO), and
  // with a reader that does not read a write finds the FIFO full (EAGAIN), instead of
  // blocking; either wait can then end when the caller no longer wants it, whichever thread
  // took the signal that said so.
  for (;;) {
    m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (m_fd >= 0 || errno != ENXIO) break;
    if (!KeepWaiting()) break;
    usleep(kWaitStepMs * 1000);
  }
  if (m_fd < 0) return Fail("cannot open");
  struct stat st {};
  if (fstat(m_fd, &st) != 0) return Fail("cannot open");
  if (S_ISREG(st.st_mode) && ftruncate(m_fd, 0) != 0) return Fail("cannot empty");
  m_buf.reserve(kBuffer);
  return true;
}

bool CFileSink::KeepWaiting() {
  if (!m_keepWaiting || m_keepWaiting()) return true;
  errno = EINTR;
  return false;
}

bool CFileSink::NotAStream(const char* what) {
  errno = ESPIPE;
  return Fail(what);
}

// A stream is written where it stands; a file at off.
bool CFileSink::WriteAll(const unsigned char* p, size_t n, uint64_t off) {
  while (n > 0) {
    const ssize_t w = m_bStream ? write(m_fd, p, n) : pwrite(m_fd, p, n, static_cast<off_t>(off));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_bStream) {
      if (!KeepWaiting()) return Fail("cannot write");
      pollfd out{m_fd, POLLOUT, 0};
      poll(&out, 1, kWaitStepMs);
      continue;
    }
    if (w <= 0) {
      if (w == 0) errno = EIO;
      if (errno == EPIPE) m_bReaderGone = true;
      return Fail("cannot write");
    }
    p += w;
    off += static_cast<uint64_t>(w);
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool CFileSink::Flush() {
  if (Failed() || m_fd < 0) return false;
  if (!WriteAll(m_buf.data(), m_buf.size(), m_nPos - m_buf.size())) return false;
  m_buf.clear();
  return true;
}

bool CFileSink::ReaderGone() {
  if (m_bReaderGone || !m_bStream || m_fd < 0) return m_bReaderGone;
  // A write end whose reader has closed polls as an error (Linux) or a hang-up (BSD).
  pollfd p{m_fd, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) m_bReaderGone = true;
  return m_bReaderGone;
}

bool CFileSink::Write(const void* p, size_t n) {
  if (Failed() || m_fd < 0) return false;
  const unsigned char* src = static_cast<const unsigned char*>(p);
  while (n > 0) {
    if (m_buf.size() == kBuffer && !Flush()) return false;
    const size_t k = std::min(n, kBuffer - m_buf.size());
    m_buf.insert(m_buf.end(), src, src + k);
    m_nPos += k;
    src += k;
    n -= k;
  }
  return true;
}

bool CFileSink::WriteAt(uint64_t off, const void* p, size_t n) {
  if (m_bStream) return NotAStream("cannot write");
  if (!Flush()) return false;
  return WriteAll(static_cast<const unsigned char*>(p), n, off);
}

bool CFileSink::Seek(uint64_t off) {
  if (m_bStream) return NotAStream("cannot seek in");
  if (!Flush()) return false;
  m_nPos = off;
  return true;
}

bool CFileSink::Truncate(uint64_t size) {
  if (m_bStream) return NotAStream("cannot truncate");
  if (!Flush()) return false;
  if (ftruncate(m_fd, static_cast<off_t>(size)) != 0) return Fail("cannot truncate");
  return true;
}

bool CFileSink::Close() {
  if (m_fd < 0) return false;
  bool ok = Flush();
  if (ok && !m_bStream && fsync(m_fd) != 0) ok = Fail("cannot sync");
  if (close(m_fd) != 0 && ok) ok = Fail("cannot close");
  m_fd = -1;
  return ok && !Failed();
}

void CFileSink::Discard() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  if (m_bRemovable) unlink(m_strPath.c_str());
  m_bRemovable = false;
}
