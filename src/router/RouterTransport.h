// The byte-level link to the router behind a device handle. Two implementations: the
// runtime's character device (CDeviceTransport) and the stand-in router's Unix socket
// (CSocketTransport). OpenRouterTransport picks one by what the path is; nothing above the
// router link knows which one it talks to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "os/OsTypes.h"

namespace vx::router {

// Thread-safety: ReadAt, Write, Control and Cancel may be called from different threads at
// once (a blocked ReadAt does not delay the others). Open and Close must not overlap any
// other call.
class IRouterTransport {
 public:
  virtual ~IRouterTransport() = default;

  // Results are 0 or the errno of what failed.
  virtual int Open(const char* path) = 0;
  virtual void Close() = 0;
  // The descriptor behind the handle, -1 when closed.
  virtual int Descriptor() const = 0;
  // One command or status count for the port `offset`; blocks while nothing is pending.
  virtual int ReadAt(void* buf, DWORD cb, DWORD offset, DWORD* pcbRead) = 0;
  // True when the next ReadAt returns without waiting for the router.
  virtual bool ReadReady() { return false; }
  // Commands the router dropped for the port this handle reads because the port's queue was
  // full, since the port registered, as far as the router has told; false where the link
  // cannot say (the device).
  virtual bool RouterDropped(uint64_t* /*pCount*/) { return false; }
  // One whole command.
  virtual int Write(const void* buf, DWORD cb, DWORD* pcbWritten) = 0;
  // n whole commands in order; 0 once all are written, else the error of the first that
  // failed (those before it went out). The base writes them one by one.
  virtual int WriteMany(const void* const* bufs, const DWORD* cbs, DWORD n);
  // A device-control request on the record arg of cbArg bytes (input and output).
  virtual int Control(unsigned long request, void* arg, size_t cbArg) = 0;
  // Makes a ReadAt blocked on another thread return, where the link allows it.
  virtual void Cancel() = 0;
};

// A new, closed transport that suits path: the socket link when path is a Unix socket,
// the device link otherwise (whose Open reports why a missing device cannot be opened).
std::unique_ptr<IRouterTransport> CreateRouterTransport(const char* path);

}  // namespace vx::router

// The router device: VX_ROUTER_DEVICE when set and not empty, else "/dev/vxpaldrv".
// The only place the environment is read.
const char* VxRouterDevicePath();
