// nmx-router: a user-space stand-in for the runtime's router device, reached through a Unix
// stream socket (docs/router-protocol.md).
#include <getopt.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "RouterServer.h"

namespace {

const char* const kUsage =
    "usage: nmx-router [--socket PATH] [--netid A.B.C.D.E.F] [--no-timestamps]\n"
    "  --socket PATH     where to listen (default $VX_ROUTER_DEVICE, else /dev/vxpaldrv)\n"
    "  --netid ID        the local NetId the router reports (default 127.0.0.1.1.1)\n"
    "  --no-timestamps   mirror commands to port 2 without appending a file time\n"
    "Signals: USR1 stops/starts the runtime system, USR2 prints the counters,\n"
    "TERM/INT remove the router (every port reads status 5) and exit.\n";

// Strict, unlike the NMX text form: a typo in a NetId should stop the router, not route
// under node 0.0.0.0.0.0.
bool ParseNetId(const char* text, NmxNetId& id) {
  unsigned v[6];
  char tail;
  if (std::sscanf(text, "%u.%u.%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) !=
      6)
    return false;
  for (int i = 0; i < 6; ++i) {
    if (v[i] > 255) return false;
    id.b[i] = static_cast<BYTE>(v[i]);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = getenv("VX_ROUTER_DEVICE");
  std::string path = env && *env ? env : "/dev/vxpaldrv";
  NmxNetId netId = NMXNETID_LOOPBACK;
  bool bTimestamps = true;

  static const option opts[] = {{"socket", required_argument, nullptr, 's'},
                                {"netid", required_argument, nullptr, 'n'},
                                {"no-timestamps", no_argument, nullptr, 't'},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "s:n:th", opts, nullptr)) != -1) {
    switch (opt) {
      case 's':
        path = optarg;
        break;
      case 'n':
        if (!ParseNetId(optarg, netId)) {
          std::fprintf(stderr, "nmx-router: bad NetId: %s\n%s", optarg, kUsage);
          return 2;
        }
        break;
      case 't':
        bTimestamps = false;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (optind != argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  setvbuf(stdout, nullptr, _IOLBF, 0);
  vx::router::CRouterServer server(netId, bTimestamps);
  if (!server.Listen(path)) return 1;
  std::printf("nmx-router listening on %s, NetId %u.%u.%u.%u.%u.%u%s\n", path.c_str(), netId.b[0],
              netId.b[1], netId.b[2], netId.b[3], netId.b[4], netId.b[5],
              bTimestamps ? "" : ", no time stamps");
  return server.Run();
}
