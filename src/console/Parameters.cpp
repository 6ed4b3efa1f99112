#include "console/Parameters.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/CaptureFormat.h"

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

// The header's frame table offset and length and every entry of the table are 32-bit file
// offsets, and the capture size travels as a 32-bit byte count, so a capture (one file, or a
// ring's files together) must stay below 4 GiB: 4095 MiB is the most in whole MiB.
static_assert(sizeof(CAPTUREFILE_HEADER_VALUES::FrameTableOffset) == 4 &&
              sizeof(CAPTUREFILE_HEADER_VALUES::FrameTableLength) == 4 &&
              vxcap::kTableEntrySize == 4);
static_assert((uint64_t{MAX_FILE_SIZE_MB} << 20) <= UINT32_MAX &&
              ((uint64_t{MAX_FILE_SIZE_MB} + 1) << 20) > UINT32_MAX);

// A decimal number of digits only, from min to max.
bool ParseWhole(const char* text, uint32_t min, uint32_t max, uint32_t* value) {
  if (!*text) return false;
  uint64_t v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > max) return false;
  }
  if (v < min) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// Cut to what the record holds.
void CopyText(char (&dest)[CAP_PATH_SIZE], const char* src) {
  const size_t n = strnlen(src, CAP_PATH_SIZE - 1);
  memcpy(dest, src, n);
  dest[n] = '\0';
}

// Prints why the command line is refused, one line, and the usage text.
bool Refuse(int* exitStatus, const std::string& why) {
  printf("%s\n", why.c_str());
  puts(arg_doc);
  if (exitStatus) *exitStatus = EXIT_STATUS_USAGE;
  return false;
}

// -p [ADDRESS:]PORT into parms; false after refusing it.
bool ParsePort(const char* text, Parms_t* parms, int* exitStatus) {
  // ADDRESS:PORT restricts the viewer port to one local address (loopback, say, when only
  // local tools use it); the usage text stays as it always was.
  const char* portText = text;
  if (const char* colon = strrchr(text, ':')) {
    const std::string address(text, static_cast<size_t>(colon - text));
    in_addr parsed{};
    if (!address.empty() && (address.size() >= LISTEN_ADDRESS_SIZE ||
                             inet_pton(AF_INET, address.c_str(), &parsed) != 1))
      return Refuse(exitStatus, "invalid listener address " + address);
    memcpy(parms->listenerAddress, address.c_str(), address.size() + 1);
    portText = colon + 1;
  }
  uint32_t port = 0;
  if (!ParseWhole(portText, 1, 0xFFFF, &port))
    return Refuse(exitStatus, std::string("invalid listener port ") + portText);
  parms->listenerPort = static_cast<int32_t>(port);
  return true;
}

// The capture's folder and name from -d and -f as given (null: not given). An absolute -f
// names the folder itself and is split; with -d as well, which folder is meant cannot be
// guessed.
bool TakeCapturePath(const char* dir, const char* file, Parms_t* parms, int* exitStatus) {
  // Cut short, it would name another folder or file.
  const std::string limit = ": longer than " + std::to_string(CAP_PATH_SIZE - 1) + " bytes";
  if (dir && strlen(dir) >= CAP_PATH_SIZE)
    return Refuse(exitStatus, std::string("invalid capture directory ") + dir + limit);
  if (file && strlen(file) >= CAP_PATH_SIZE)
    return Refuse(exitStatus, std::string("invalid capture file name ") + file + limit);
  if (dir) CopyText(parms->capDir, dir);
  if (!file) return true;
  if (file[strlen(file) - 1] == '/')
    return Refuse(exitStatus,
                  std::string("invalid capture file name ") + file + ": it names a folder");
  if (file[0] != '/') {
    CopyText(parms->capName, file);
    return true;
  }
  if (dir)
    return Refuse(exitStatus, std::string("invalid capture directory ") + dir +
                                  ": the file name -f " + file + " names its folder");
  char path[CAP_PATH_SIZE];
  CopyText(path, file);
  char* slash = strrchr(path, '/');
  CopyText(parms->capName, slash + 1);
  // "/x.cap" lies in "/" itself.
  slash[slash == path ? 1 : 0] = '\0';
  CopyText(parms->capDir, path);
  return true;
}

}  // namespace

bool ParseParameter(Parms_t* parms, int argc, char** argv, int* exitStatus) {
  *parms = Parms_t{};
  parms->bListen = false;
  parms->bCapture = false;
  parms->listenerPort = DEFAULT_LISTENER_PORT;
  parms->bRingBuffer = true;
  parms->ringBufferFiles = DEFAULT_RING_BUFFER_FILES;
  parms->fileSizeMb = DEFAULT_FILE_SIZE_MB;
  CopyText(parms->capName, "nmx.cap");
  CopyText(parms->capDir, "./");
  if (exitStatus) *exitStatus = EXIT_STATUS_OK;

  if (argc <= 1) {
    puts(arg_doc);
    return false;
  }

  // The last of each, taken together once all options are read.
  const char* dir = nullptr;
  const char* file = nullptr;
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
      case 'p':
        if (!ParsePort(optarg, parms, exitStatus)) return false;
        break;
      case 'f':
        // An empty name would record into a temporary file that the stop deletes.
        if (!*optarg) return Refuse(exitStatus, "invalid capture file name: it is empty");
        file = optarg;
        break;
      case 'd':
        // An empty folder would silently mean the runtime's boot folder.
        if (!*optarg) return Refuse(exitStatus, "invalid capture directory: it is empty");
        dir = optarg;
        break;
      case 's': {
        uint32_t size = 0;
        if (!ParseWhole(optarg, 1, MAX_FILE_SIZE_MB, &size))
          return Refuse(exitStatus, std::string("invalid file size ") + optarg +
                                        ": -s takes a whole number of MB from 1 to " +
                                        std::to_string(MAX_FILE_SIZE_MB));
        parms->fileSizeMb = static_cast<int32_t>(size);
        break;
      }
      case 'r':
        parms->bRingBuffer = true;
        break;
      default:
        // getopt_long has said which option on standard error.
        return Refuse(exitStatus,
                      std::string("unrecognized option '") + static_cast<char>(c) + "'\n");
    }
  }

  if (!TakeCapturePath(dir, file, parms, exitStatus)) return false;
  if (!parms->bCapture && !parms->bListen)
    return Refuse(exitStatus, "either capture or listen mode must be set");
  return true;
}
