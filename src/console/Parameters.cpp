#include "console/Parameters.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const char arg_doc[] =
    "usage:\n"
    "\n"
    "\tVxNmxLog -l [-p <portNo>]\n"
    "\tVxNmaLog -c [-r] [-s <size>] [-f <filename>]\n"
    "\n"
    "\t\t-l\n"
    "\t\t--listen\n"
    "\t\tlisten for nmx viewer connection\n"
    "\n"
    "\t\t-p\n"
    "\t\t--port\n"
    "\t\tlisten port for nmx viewer connection (default 0xbf12/48914)\n"
    "\n"
    "\t\t-c\n"
    "\t\t--capture\n"
    "\t\tstart capturing nmx commands\n"
    "\n"
    "\t\t-f\n"
    "\t\t--file\n"
    "\t\tfilename of capture file (default nmx.cap)\n"
    "\n"
    "\t\t-d\n"
    "\t\t--dir\n"
    "\t\tdirectory the capture is stored to (default is current\n"
    "\t\tdirectory)\n"
    "\n"
    "\t\ts-\n"
    "\t\t--size\n"
    "\t\tsize of capture file in MB ( default 15MB )\n"
    "\n"
    "\t\tr-\n"
    "\t\t--ringbuffer ( default true )\n"
    "\t\tuse ringbuffer";

namespace {

const char kShortOptions[] = "lcp:rs:f:d:";

const option kLongOptions[] = {
    {"listen", no_argument, nullptr, 'l'},     {"capture", no_argument, nullptr, 'c'},
    {"port", required_argument, nullptr, 'p'}, {"file", required_argument, nullptr, 'f'},
    {"dir", required_argument, nullptr, 'd'},  {"size", required_argument, nullptr, 's'},
    {"ringbuffer", no_argument, nullptr, 'r'}, {nullptr, 0, nullptr, 0},
};

// atoi with the overflow behaviour defined: values beyond 32 bits saturate.
int32_t ParseInt(const char* text) {
  long long v = strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

void CopyText(char (&dest)[CAP_PATH_SIZE], const char* src) {
  strncpy(dest, src, CAP_PATH_SIZE - 1);
  dest[CAP_PATH_SIZE - 1] = '\0';
}

}  // namespace

bool ParseParameter(Parms_t* parms, int argc, char** argv) {
  *parms = Parms_t{};
  parms->bListen = false;
  parms->bCapture = false;
  parms->listenerPort = DEFAULT_LISTENER_PORT;
  parms->bRingBuffer = true;
  parms->ringBufferFiles = DEFAULT_RING_BUFFER_FILES;
  parms->fileSizeMb = DEFAULT_FILE_SIZE_MB;
  CopyText(parms->capName, "nmx.cap");
  CopyText(parms->capDir, "./");

  if (argc <= 1) {
    puts(arg_doc);
    return false;
  }

  // 0 makes both the GNU and the BSD getopt_long start a fresh scan.
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 0:
        break;
      case 'l':
        parms->bListen = true;
        break;
      case 'c':
        parms->bCapture = true;
        break;
      case 'p': {
        // ADDRESS:PORT restricts the viewer port to one local address (loopback, say, when
        // only local tools use it); the usage text stays as it always was.
        const char* portText = optarg;
        if (const char* colon = strrchr(optarg, ':')) {
          const std::string address(optarg, static_cast<size_t>(colon - optarg));
          in_addr parsed{};
          if (!address.empty() && (address.size() >= LISTEN_ADDRESS_SIZE ||
                                   inet_pton(AF_INET, address.c_str(), &parsed) != 1)) {
            printf("invalid listener address %s\n", address.c_str());
            return false;
          }
          memcpy(parms->listenerAddress, address.c_str(), address.size() + 1);
          portText = colon + 1;
        }
        parms->listenerPort = ParseInt(portText);
        if (static_cast<uint32_t>(parms->listenerPort) >= 0x10000u) {
          printf("invalid listener port %d\n", parms->listenerPort);
          return false;
        }
        break;
      }
      case 'f':
        // An empty name would record into a temporary file that the stop deletes.
        if (!*optarg) {
          printf("invalid capture file name: it is empty\n");
          return false;
        }
        CopyText(parms->capName, optarg);
        break;
      case 'd':
        CopyText(parms->capDir, optarg);
        break;
      case 's':
        parms->fileSizeMb = ParseInt(optarg);
        break;
      case 'r':
        parms->bRingBuffer = true;
        break;
      default:
        printf("unrecognized option '%c'\n\n", c);
        puts(arg_doc);
        return false;
    }
  }

  if (!parms->bCapture && !parms->bListen) {
    printf("either capture or listen mode must be set\n");
    puts(arg_doc);
    return false;
  }
  return true;
}
