#include "frames/CapFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace {

std::string ErrnoText(const char* what, int e) {
  return std::string(what) + ": " + strerror(e);
}

}  // namespace

CCapFile::~CCapFile() {
  Close();
}

bool CCapFile::Open(const std::string& path, std::string* err) {
  Close();
  m_strPath = path;
  m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) {
    *err = ErrnoText("cannot open", errno);
    return false;
  }
  struct stat st;
  if (fstat(m_fd, &st) != 0) {
    *err = ErrnoText("cannot examine", errno);
    Close();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = "not a regular file";
    Close();
    return false;
  }
  m_cbFile = static_cast<uint64_t>(st.st_size);
  m_dev = st.st_dev;
  m_ino = st.st_ino;
  return true;
}

void CCapFile::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_cbFile = 0;
}

bool CCapFile::ReadAt(uint64_t off, void* p, size_t n, std::string* err) const {
  if (m_fd < 0 || off > m_cbFile || n > m_cbFile - off) {
    *err = "read outside the file";
    return false;
  }
  BYTE* dst = static_cast<BYTE*>(p);
  while (n > 0) {
    ssize_t got = pread(m_fd, dst, n, static_cast<off_t>(off));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *err = ErrnoText("read error", errno);
      return false;
    }
    if (got == 0) {
      *err = "the file became shorter while it was read";
      return false;
    }
    dst += got;
    off += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool CCapFile::IsSameFileAs(const std::string& path) const {
  struct stat st;
  return m_fd >= 0 && stat(path.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
}

CCapReadWindow::~CCapReadWindow() {
  delete[] m_pBuf;
}

const BYTE* CCapReadWindow::View(uint64_t off, size_t n, std::string* err) {
  if (n > m_cbWindow) {
    *err = "view larger than the read window";
    return nullptr;
  }
  if (m_pBuf && off >= m_nBufOffset && off - m_nBufOffset <= m_cbBuf &&
      n <= m_cbBuf - (off - m_nBufOffset))
    return m_pBuf + (off - m_nBufOffset);
  if (off > m_file.Size() || n > m_file.Size() - off) {
    *err = "read outside the file";
    return nullptr;
  }
  if (!m_pBuf) {
    m_cbAlloc = static_cast<size_t>(std::min<uint64_t>(m_cbWindow, m_file.Size()));
    m_pBuf = new (std::nothrow) BYTE[m_cbAlloc];
    if (!m_pBuf) {
      *err = "out of memory";
      return nullptr;
    }
  }
  const size_t cb = static_cast<size_t>(std::min<uint64_t>(m_cbAlloc, m_file.Size() - off));
  m_cbBuf = 0;
  if (!m_file.ReadAt(off, m_pBuf, cb, err)) return nullptr;
  m_nBufOffset = off;
  m_cbBuf = cb;
  return m_pBuf;
}
