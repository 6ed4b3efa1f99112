#include "router/RouterTransport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "router/DeviceTransport.h"
#include "router/SocketTransport.h"

namespace vx::router {

int IRouterTransport::WriteMany(const void* const* bufs, const DWORD* cbs, DWORD n) {
  for (DWORD i = 0; i < n; ++i) {
    DWORD written = 0;
    if (int err = Write(bufs[i], cbs[i], &written)) return err;
  }
  return 0;
}

std::unique_ptr<IRouterTransport> CreateRouterTransport(const char* path) {
  struct stat st {};
  if (path && stat(path, &st) == 0 && S_ISSOCK(st.st_mode))
    return std::make_unique<CSocketTransport>();
  return std::make_unique<CDeviceTransport>();
}

}  // namespace vx::router

const char* VxRouterDevicePath() {
  const char* env = getenv("VX_ROUTER_DEVICE");
  return env && *env ? env : "/dev/vxpaldrv";
}
