// Frame records and registry set-up shared by the capture tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "common/TestUtil.h"
#include "registry/VxRegTesting.h"

namespace captest {

// A well-formed record of exactly `size` bytes (at least 64): an NMX header whose data length
// matches, data bytes derived from seed, and seed as time stamp.
inline std::vector<BYTE> Record(DWORD size, DWORD seed) {
  const DWORD packetLength = size - vxcap::kPacketOffset;
  std::vector<BYTE> packet(packetLength);
  for (DWORD i = 0; i < packetLength; ++i) packet[i] = static_cast<BYTE>(seed * 31 + i);
  vx::EncodeLE32(packet.data() + vxcap::kNmxCbDataOffset, packetLength - vxcap::kNmxHeadSize);
  std::vector<BYTE> rec(size);
  vxcap::EncodeRecord(rec.data(), rec.size(), 1000 + seed, packet.data(), packetLength);
  return rec;
}

inline void PutLE32(std::vector<BYTE>& v, DWORD x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<BYTE>(x >> (8 * i)));
}

// Points the registry at a private base folder whose boot folder exists, so temporary
// capture files land there.
class BootFolder {
 public:
  BootFolder() {
    mkdir((m_base / "Boot").c_str(), 0700);
    setenv("VX_BASE_DIR", m_base.path().c_str(), 1);
    VxRegTestRecreateStore();
  }
  ~BootFolder() {
    unsetenv("VX_BASE_DIR");
    VxRegTestRecreateStore();
  }
  // As the registry reports it, with its trailing slash.
  std::string path() const { return m_base.path() + "/Boot/"; }
  // Names of the files in the boot folder.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path()))
      names.push_back(e.path().filename().string());
    return names;
  }

 private:
  vxtest::TempDir m_base;
};

}  // namespace captest
