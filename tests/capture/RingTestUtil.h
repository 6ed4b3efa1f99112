// Frame records that carry their own sequence number and checksum, a private boot folder, and
// a reader that takes a capture file apart strictly.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/CaptureFormat.h"
#include "common/TestUtil.h"
#include "registry/VxRegTesting.h"

namespace ringtest {

// Record bytes in front of the payload: record head, pseudo-Ethernet part, NMX header.
constexpr DWORD kPayloadOffset = vxcap::kPacketOffset + vxcap::kNmxHeadSize;
// Smallest record: the payload holds the sequence number and the checksum.
constexpr DWORD kMinRecord = kPayloadOffset + 8;

inline DWORD Checksum(const BYTE* p, size_t n, DWORD seq) {
  DWORD h = 2166136261u ^ seq;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

// A well-formed record of exactly `size` bytes (at least kMinRecord) whose payload starts with
// seq and a checksum over seq and the rest of the payload.
inline std::vector<BYTE> Record(DWORD size, DWORD seq) {
  const DWORD packetLength = size - vxcap::kPacketOffset;
  std::vector<BYTE> packet(packetLength);
  vx::EncodeLE32(packet.data() + vxcap::kNmxCbDataOffset, packetLength - vxcap::kNmxHeadSize);
  BYTE* payload = packet.data() + vxcap::kNmxHeadSize;
  const size_t rest = packetLength - vxcap::kNmxHeadSize - 8;
  for (size_t i = 0; i < rest; ++i) payload[8 + i] = static_cast<BYTE>(seq * 7 + i * 13);
  vx::EncodeLE32(payload, seq);
  vx::EncodeLE32(payload + 4, Checksum(payload + 8, rest, seq));
  std::vector<BYTE> rec(size);
  vxcap::EncodeRecord(rec.data(), rec.size(), 1000 + seq, packet.data(), packetLength);
  return rec;
}

// The sequence number of an intact record of exactly n bytes; -1 if it is damaged or cut.
inline LONGLONG RecordSeq(const BYTE* p, size_t n) {
  if (n < kMinRecord || vxcap::ValidateRecord(p, n) != vxcap::RecordStatus::kOk) return -1;
  if (vx::DecodeLE32(p + vxcap::kRecFrameLength) + vxcap::kRecordHeadSize != n) return -1;
  const BYTE* payload = p + kPayloadOffset;
  const DWORD seq = vx::DecodeLE32(payload);
  if (vx::DecodeLE32(payload + 4) != Checksum(payload + 8, n - kPayloadOffset - 8, seq)) return -1;
  return seq;
}

// Sequence numbers of the records back to back in p; an entry of -1 marks a damaged record,
// after which the walk stops.
inline std::vector<LONGLONG> RecordSeqs(const BYTE* p, size_t n) {
  std::vector<LONGLONG> seqs;
  size_t pos = 0;
  while (pos + vxcap::kRecordHeadSize <= n) {
    const size_t size = vx::DecodeLE32(p + pos + vxcap::kRecFrameLength) + vxcap::kRecordHeadSize;
    const LONGLONG seq = pos + size <= n ? RecordSeq(p + pos, size) : -1;
    seqs.push_back(seq);
    if (seq < 0) break;
    pos += size;
  }
  if (pos != n && (seqs.empty() || seqs.back() >= 0)) seqs.push_back(-1);
  return seqs;
}

// A capture file read from disk the way an outside reader would: the header, a table that
// must describe the records back to back, and the sequence numbers of the records.
struct CapFile {
  bool ok = false;
  std::string error;
  DWORD tableOffset = 0;
  std::vector<DWORD> entries;
  std::vector<LONGLONG> seqs;
};

inline CapFile ReadCapFile(const std::string& path) {
  CapFile f;
  const std::vector<BYTE> bytes = vxtest::ReadFileBytes(path);
  vxcap::HeaderInfo h{};
  if (vxcap::DecodeHeader(bytes.data(), bytes.size(), &h) != vxcap::HeaderStatus::kOk) {
    f.error = "bad header";
    return f;
  }
  const size_t n = vxcap::FrameCount(h);
  if (static_cast<size_t>(h.frameTableOffset) + 4 * n > bytes.size()) {
    f.error = "table beyond the end";
    return f;
  }
  f.tableOffset = h.frameTableOffset;
  for (size_t i = 0; i < n; ++i)
    f.entries.push_back(vxcap::DecodeTableEntry(bytes.data() + h.frameTableOffset + 4 * i));
  if (!vxcap::ValidateTable(bytes.data() + h.frameTableOffset, static_cast<DWORD>(n),
                            h.frameTableOffset, nullptr)) {
    f.error = "table does not match the records";
    return f;
  }
  f.seqs = RecordSeqs(bytes.data() + vxcap::kHeaderSize, h.frameTableOffset - vxcap::kHeaderSize);
  if (f.seqs.size() != n) {
    f.error = "records do not match the table";
    return f;
  }
  for (LONGLONG s : f.seqs)
    if (s < 0) f.error = "damaged record";
  DWORD pos = vxcap::kHeaderSize;
  for (size_t i = 0; f.error.empty() && i < n; ++i) {
    if (f.entries[i] != pos) f.error = "entry is not where its record starts";
    pos += vx::DecodeLE32(bytes.data() + pos + vxcap::kRecFrameLength) + vxcap::kRecordHeadSize;
  }
  f.ok = f.error.empty();
  return f;
}

inline std::vector<LONGLONG> Range(LONGLONG from, LONGLONG to) {
  std::vector<LONGLONG> v;
  for (LONGLONG i = from; i < to; ++i) v.push_back(i);
  return v;
}

inline bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

inline std::vector<std::string> Files(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Points the registry at a private base folder whose boot folder exists, so temporary capture
// files and saved copies land there.
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
  std::string path() const { return m_base.path() + "/Boot"; }
  std::string operator/(const std::string& name) const { return path() + "/" + name; }

 private:
  vxtest::TempDir m_base;
};

}  // namespace ringtest
