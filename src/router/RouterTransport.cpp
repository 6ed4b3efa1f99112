#include "router/RouterTransport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "router/DeviceTransport.h"
#include "router/SocketTransport.h"

namespace vx::router {

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
