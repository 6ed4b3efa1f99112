#include "router/DeviceTransport.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vx::router {

CDeviceTransport::~CDeviceTransport() {
  Close();
}

int CDeviceTransport::Open(const char* path) {
  if (m_fd >= 0) return EBUSY;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  m_fd = fd;
  return 0;
}

void CDeviceTransport::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

int CDeviceTransport::ReadAt(void* buf, DWORD cb, DWORD offset, DWORD* pcbRead) {
  ssize_t n = pread(m_fd, buf, cb, static_cast<off_t>(offset));
  if (n < 0) return errno;
  *pcbRead = static_cast<DWORD>(n);
  return 0;
}

int CDeviceTransport::Write(const void* buf, DWORD cb, DWORD* pcbWritten) {
  ssize_t n = write(m_fd, buf, cb);
  if (n < 0) return errno;
  *pcbWritten = static_cast<DWORD>(n);
  return 0;
}

int CDeviceTransport::Control(unsigned long request, void* arg, size_t /*cbArg*/) {
  // The request number encodes the record size; the device reads and writes arg in place.
  if (ioctl(m_fd, request, arg) < 0) return errno;
  return 0;
}

}  // namespace vx::router
