// The runtime's router device: open, pread at the port's offset, write, ioctl.
#pragma once

#include <atomic>

#include "router/RouterTransport.h"

namespace vx::router {

// Thread-safe as IRouterTransport requires: every call is one system call on one descriptor.
class CDeviceTransport : public IRouterTransport {
 public:
  ~CDeviceTransport() override;

  int Open(const char* path) override;
  void Close() override;
  int Descriptor() const override { return m_fd; }
  int ReadAt(void* buf, DWORD cb, DWORD offset, DWORD* pcbRead) override;
  int Write(const void* buf, DWORD cb, DWORD* pcbWritten) override;
  int Control(unsigned long request, void* arg, size_t cbArg) override;
  // The device makes a read return by the unregistration; nothing to do here.
  void Cancel() override {}

 private:
  int m_fd = -1;
};

}  // namespace vx::router
