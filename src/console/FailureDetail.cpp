#include "console/FailureDetail.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "capture/CapturePath.h"
#include "os/OsErrorText.h"
#include "router/NmxR3Port.h"
#include "support/SocketOs.h"

namespace {

constexpr DWORD kKrpResultBase = 0x98110000u;
// What the stand-in router answers a registration of a fixed port that another handle holds.
constexpr DWORD kRouterPortTaken = 9;

std::string CodeText(HRESULT hr) {
  char text[32];
  snprintf(text, sizeof text, "error 0x%08x", static_cast<unsigned>(hr));
  return text;
}

// The system's text for a socket result code, which counts in BSD errno numbers offset by
// 10000 on every platform: the local error number that maps to it.
std::string SocketCodeText(DWORD code) {
  if (code != VxFunctions::SOCK_ERR_BASE) {
    for (int e = 1; e < 512; ++e)
      if (VxFunctions::SocketErrorFromErrno(e) == code) return std::string(OsErrorText(e));
  }
  // Every error number without a code of its own: a port below 1024 without the privilege,
  // most often.
  return "refused by the system (socket error " + std::to_string(code) + ")";
}

}  // namespace

std::string ResultReason(HRESULT hr) {
  if (hr == E_OUTOFMEMORY) return "out of memory";
  if (hr == vxcap::CAPTURE_E_FOREIGN_FILE) return "it is not a capture file, so it is not replaced";
  if (hr == vxcap::E_BOOT_FOLDER_TOO_LONG) return "the boot project folder's path is too long";
  if (const int err = OsErrorFromResult(hr)) return std::string(OsErrorText(err));
  return CodeText(hr);
}

std::string RouterFailureDetail(const char* device, DWORD deviceError, DWORD lastError) {
  if (deviceError != 0)
    return "router device " + std::string(OsPathError(device, static_cast<int>(deviceError)));
  std::string line = std::string("router device ") + device;
  switch (lastError) {
    case NMX_R3_ERR_DEVICE:
      return line + ": no answer to the registration of port 2";
    case NMX_R3_ERR_NO_THREAD:
      return line + ": no receive thread could be started";
    case kRouterPortTaken:
      return line + ": port 2 is taken (router error 9): is another logger running?";
    default:
      return line + ": the registration of port 2 was refused (router error " +
             std::to_string(lastError) + ")";
  }
}

std::string CaptureFailureDetail(const std::string& path, HRESULT hr) {
  return "capture file " + path + ": " + ResultReason(hr);
}

std::string ListenerFailureDetail(WORD port, const char* address, HRESULT hr) {
  std::string line = "viewer port ";
  if (address && *address) line += std::string(address) + ":";
  line += std::to_string(port) + ": ";
  const DWORD u = static_cast<DWORD>(hr);
  if ((u & 0xFFFF0000u) == kKrpResultBase && (u & 0xFFFFu) >= VxFunctions::SOCK_ERR_BASE)
    return line + SocketCodeText(u & 0xFFFFu);
  return line + ResultReason(hr);
}

std::string AbsoluteCapturePath(const char* dir, const char* name) {
  std::string folder;
  if (char* resolved = realpath(dir, nullptr)) {
    folder = resolved;
    free(resolved);
  } else {
    folder = dir;
    if (folder.rfind("./", 0) == 0) folder.erase(0, 2);
    if (folder.empty() || folder[0] != '/') {
      if (char* cwd = getcwd(nullptr, 0)) {
        folder = std::string(cwd) + (folder.empty() ? "" : "/" + folder);
        free(cwd);
      }
    }
  }
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder + name;
}
