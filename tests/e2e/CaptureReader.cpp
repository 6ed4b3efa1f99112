#include "e2e/CaptureReader.h"

#include <cstring>

#include "capture/CaptureFormat.h"
#include "common/TestUtil.h"

namespace vxtest {

NmxHead CapturedFrame::Head() const {
  NmxHead h{};
  if (packet.size() >= NMX_HEAD_SIZE) memcpy(&h, packet.data(), NMX_HEAD_SIZE);
  return h;
}

bool ReadCapture(const std::string& path, CaptureContents* out, std::string* error) {
  const std::vector<BYTE> bytes = ReadFileBytes(path);
  vxcap::HeaderInfo info{};
  vxcap::HeaderStatus hs = vxcap::DecodeHeader(bytes.data(), bytes.size(), &info);
  if (hs != vxcap::HeaderStatus::kOk) {
    *error = path + ": " + vxcap::HeaderStatusText(hs);
    return false;
  }
  const uint64_t tableEnd = uint64_t{info.frameTableOffset} + info.frameTableLength;
  if (info.frameTableOffset < vxcap::kHeaderSize || tableEnd > bytes.size() ||
      info.frameTableLength % vxcap::kTableEntrySize != 0) {
    *error = path + ": frame table outside the file";
    return false;
  }
  const DWORD n = vxcap::FrameCount(info);
  const BYTE* table = bytes.data() + info.frameTableOffset;
  DWORD bad = 0;
  if (!vxcap::ValidateTable(table, n, info.frameTableOffset, &bad)) {
    *error = path + ": frame table entry " + std::to_string(bad) + " is wrong";
    return false;
  }
  out->frames.clear();
  out->frames.reserve(n);
  for (DWORD i = 0; i < n; ++i) {
    const DWORD at = vxcap::DecodeTableEntry(table + 4 * i);
    const DWORD end =
        i + 1 < n ? vxcap::DecodeTableEntry(table + 4 * (i + 1)) : info.frameTableOffset;
    vxcap::RecordStatus rs = vxcap::ValidateRecord(bytes.data() + at, end - at);
    if (rs != vxcap::RecordStatus::kOk) {
      *error = path + ": frame " + std::to_string(i) + ": " + vxcap::RecordStatusText(rs);
      return false;
    }
    CapturedFrame f;
    f.timeStamp = vxcap::DecodeRecordHead(bytes.data() + at).timeStamp;
    f.packet.assign(bytes.begin() + at + vxcap::kPacketOffset, bytes.begin() + end);
    out->frames.push_back(std::move(f));
  }
  out->bCutBehindTable = tableEnd == bytes.size();
  return true;
}

}  // namespace vxtest
