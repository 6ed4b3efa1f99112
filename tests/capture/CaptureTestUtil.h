// Frame records and registry set-up shared by the capture tests.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/CaptureFormat.h"
#include "capture/CaptureMem.h"
#include "common/FileSizeLimit.h"
#include "common/TestUtil.h"
#include "registry/VxRegTesting.h"

namespace captest {

using Bytes = std::vector<BYTE>;
using Records = std::vector<Bytes>;

constexpr DWORD kMiB = 1048576;

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

// What a reader of the file finds: the records the header and the table describe, each
// checked. ok is false with a reason when the file does not parse.
struct Parsed {
  bool ok = false;
  std::string why;
  Records frames;
};

inline Parsed Parse(const Bytes& file, bool checkRecords = true) {
  Parsed p;
  vxcap::HeaderInfo h{};
  if (vxcap::DecodeHeader(file.data(), file.size(), &h) != vxcap::HeaderStatus::kOk) {
    p.why = "header";
    return p;
  }
  const uint64_t tableEnd = uint64_t{h.frameTableOffset} + h.frameTableLength;
  if (h.frameTableOffset < 128 || tableEnd > file.size() || h.frameTableLength % 4) {
    p.why = "table position";
    return p;
  }
  const DWORD n = vxcap::FrameCount(h);
  const BYTE* table = file.data() + h.frameTableOffset;
  DWORD bad = 0;
  if (!vxcap::ValidateTable(table, n, h.frameTableOffset, &bad)) {
    p.why = "table entry " + std::to_string(bad);
    return p;
  }
  for (DWORD i = 0; i < n; ++i) {
    const DWORD from = vxcap::DecodeTableEntry(table + 4 * i);
    const DWORD to = i + 1 < n ? vxcap::DecodeTableEntry(table + 4 * i + 4) : h.frameTableOffset;
    if (checkRecords &&
        vxcap::ValidateRecord(file.data() + from, to - from) != vxcap::RecordStatus::kOk) {
      p.why = "record " + std::to_string(i);
      return p;
    }
    p.frames.emplace_back(file.begin() + from, file.begin() + to);
  }
  p.ok = true;
  return p;
}

inline Bytes ReadAllOf(IVxStream* s) {
  Bytes out;
  s->SetPosition(0);
  BYTE buf[4096];
  ULONG n = 0;
  while (SUCCEEDED(s->Read(buf, sizeof buf, &n)) && n > 0) out.insert(out.end(), buf, buf + n);
  return out;
}

// Appends records through the memory buffer in one batch, as the capture manager does.
inline HRESULT AppendBatch(CCaptureFile& file, const Records& recs) {
  CCaptureMem mem;
  HRESULT hr = mem.Create(kMiB);
  mem.SetStartOffset(file.GetFramePosition());
  for (const Bytes& r : recs)
    if (SUCCEEDED(hr)) hr = mem.WriteFrame(r.data(), static_cast<DWORD>(r.size()));
  return SUCCEEDED(hr) ? mem.CopyTo(&file, 0, 0) : hr;
}

using vxtest::FileSizeLimit;

}  // namespace captest
