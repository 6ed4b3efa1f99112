#include "frames/FileSink.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

// fsync's answers for a file whose file system has nothing to sync it with: the data is
// written, and no more can be done for it.
bool CannotBeSynced(int err) {
  return err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP || err == EROFS;
}

}  // namespace

CFileSink::~CFileSink() {
  if (m_fd >= 0) close(m_fd);
}

bool CFileSink::Fail(const char* what) {
  if (m_strErr.empty()) m_strErr = std::string(what) + " " + m_strPath + ": " + strerror(errno);
  return false;
}

bool CFileSink::Create(const std::string& path, Writes writes,
                       const std::function<bool()>& keepWaiting) {
  m_keepWaiting = keepWaiting;
  return Open(path, writes, false);
}

bool CFileSink::CreateNew(const std::string& path) {
  return Open(path, Writes::kRewriting, true);
}

bool CFileSink::Open(const std::string& path, Writes writes, bool bNewOnly) {
  m_strPath = path;
  // Non-blocking, so that a FIFO without a reader refuses the open (ENXIO) and a full one
  // refuses a write (EAGAIN) instead of blocking: either wait can then end when the caller no
  // longer wants it, whichever thread took the signal that said so.
  const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
  // O_EXCL follows no symbolic link: a file made here is the one the path names.
  m_fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
  if (m_fd >= 0) {
    m_bCreated = true;
  } else {
    if (errno != EEXIST || bNewOnly) return Fail("cannot create");
    for (;;) {
      m_fd = open(path.c_str(), flags | O_CREAT, 0666);
      if (m_fd >= 0 || errno != ENXIO) break;
      struct stat st {};
      if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        errno = ENXIO;  // a device that is not there
        break;
      }
      if (writes == Writes::kRewriting) {
        m_bStream = true;  // refused below, without waiting for a reader
        break;
      }
      if (!KeepWaiting()) break;
      usleep(kWaitStepMs * 1000);
    }
    if (m_fd < 0 && !m_bStream) return Fail("cannot open");
  }
  struct stat st {};
  if (m_fd >= 0) {
    if (fstat(m_fd, &st) != 0) return Fail("cannot open");
    m_bFile = S_ISREG(st.st_mode);
    if (m_bCreated) {
      m_dev = st.st_dev;
      m_ino = st.st_ino;
    }
    if (m_bFile) {
      if (!m_bCreated && ftruncate(m_fd, 0) != 0) return Fail("cannot empty");
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
      m_bStream = true;
    } else {
      // A device is written as anyone else would write it.
      const int fl = fcntl(m_fd, F_GETFL);
      if (fl >= 0) fcntl(m_fd, F_SETFL, fl & ~O_NONBLOCK);
      m_bStream = lseek(m_fd, 0, SEEK_CUR) < 0;
    }
  }
  if (m_bStream && writes == Writes::kRewriting) {
    m_strErr = "cannot write " + path +
               ": not a file (a FIFO, a pipe, a socket or a terminal), and this output is "
               "rewritten in place";
    return false;
  }
  m_buf.reserve(kBuffer);
  return true;
}

bool CFileSink::OpenExisting(const std::string& path) {
  m_strPath = path;
  m_fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (m_fd < 0) return Fail("cannot open");
  struct stat st {};
  if (fstat(m_fd, &st) != 0) return Fail("cannot open");
  m_bFile = S_ISREG(st.st_mode);
  m_buf.reserve(kBuffer);
  return true;
}

bool CFileSink::OpenOutput(std::ostream& out, const std::string& name) {
  m_strPath = name;
  m_pOut = &out;
  m_bStream = true;
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
bool CFileSink::WriteAll(const unsigned char* p, size_t n, uint64_t off, size_t* done) {
  *done = 0;
  if (m_pOut) {
    m_pOut->write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    if (!*m_pOut) {
      m_strErr = "cannot write " + m_strPath;
      return false;
    }
    *done = n;
    return true;
  }
  while (n > 0) {
    const ssize_t w = m_bStream ? write(m_fd, p, n) : pwrite(m_fd, p, n, static_cast<off_t>(off));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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
    *done += static_cast<size_t>(w);
  }
  return true;
}

bool CFileSink::Flush() {
  if (Failed() || !IsOpen()) return false;
  size_t done = 0;
  const bool ok = WriteAll(m_buf.data(), m_buf.size(), Written(), &done);
  m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<ptrdiff_t>(done));
  if (ok && m_pOut && !m_pOut->flush()) m_strErr = "cannot write " + m_strPath;
  return !Failed();
}

bool CFileSink::ReaderGone() {
  if (m_bReaderGone || !m_bStream || m_fd < 0) return m_bReaderGone;
  // A write end whose reader has closed polls as an error (Linux) or a hang-up (BSD).
  pollfd p{m_fd, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) m_bReaderGone = true;
  return m_bReaderGone;
}

bool CFileSink::Write(const void* p, size_t n) {
  if (Failed() || !IsOpen()) return false;
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
  size_t done = 0;
  return WriteAll(static_cast<const unsigned char*>(p), n, off, &done);
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
  if (!Flush()) return false;
  if (m_pOut) {
    m_pOut = nullptr;
    return true;
  }
  bool ok = true;
  if (m_bFile && fsync(m_fd) != 0 && !CannotBeSynced(errno)) ok = Fail("cannot sync");
  if (close(m_fd) != 0 && ok) ok = Fail("cannot close");
  m_fd = -1;
  return ok;
}

void CFileSink::Abandon() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_pOut = nullptr;
  DropFrom(Written());
}

bool CFileSink::Remove() {
  Abandon();
  if (!m_bCreated) return false;
  m_bCreated = false;
  // The path may name another file by now: that one stays.
  struct stat st {};
  if (lstat(m_strPath.c_str(), &st) != 0 || st.st_dev != m_dev || st.st_ino != m_ino) return false;
  return unlink(m_strPath.c_str()) == 0;
}

void CFileSink::DropFrom(uint64_t off) {
  if (off < Written() || off >= m_nPos) return;
  m_buf.resize(static_cast<size_t>(off - Written()));
  m_nPos = off;
}

void CFileSink::ClearFailure() {
  DropFrom(Written());
  m_strErr.clear();
}
