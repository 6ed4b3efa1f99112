#include "viewclient/PacketAssembler.h"

#include "capture/CaptureFormat.h"
#include "capture/CapturePacket.h"

void CPacketAssembler::Reset() {
  m_partial.clear();
  m_bInSequence = false;
}

bool CPacketAssembler::Add(const BYTE* packet, size_t n, const RecordSink& sink,
                           std::string* problem) {
  TCapturePacketHdr h{};
  if (!vxcap::DecodeCapturePacketHdr(packet, n, &h) || h.cbData != n - vxcap::kPacketHeaderSize) {
    Reset();
    *problem = "a packet whose length does not match its header";
    return false;
  }
  // A new sequence is still good; only a record in progress is lost.
  bool lost = false;
  if (h.nPacket == 0) {
    lost = !m_partial.empty();
    if (lost) *problem = "a new sequence began inside a record";
    Reset();
    m_nId = h.nId;
  } else if (!m_bInSequence || h.nId != m_nId || h.nPacket != m_nNext) {
    Reset();
    *problem = "packet " + std::to_string(h.nPacket) + " of sequence " + std::to_string(h.nId) +
               " does not continue what was received";
    return false;
  }
  m_nNext = static_cast<WORD>(h.nPacket + 1);
  m_bInSequence = h.cbLeft != 0;
  m_partial.insert(m_partial.end(), packet + vxcap::kPacketHeaderSize, packet + n);

  size_t at = 0;
  bool ok = true;
  while (m_partial.size() - at >= vxcap::kRecordHeadSize) {
    const uint64_t size = uint64_t{vx::DecodeLE32(m_partial.data() + at + vxcap::kRecFrameLength)} +
                          vxcap::kRecordHeadSize;
    if (size < vxcap::kMinRecordSize || size > kMaxRecord) {
      *problem = "a record of " + std::to_string(size) + " bytes";
      ok = false;
      break;
    }
    if (m_partial.size() - at < size) break;
    if (vxcap::ValidateRecord(m_partial.data() + at, static_cast<size_t>(size)) !=
        vxcap::RecordStatus::kOk) {
      *problem = "a malformed record";
      ok = false;
      break;
    }
    sink(m_partial.data() + at, static_cast<DWORD>(size));
    at += static_cast<size_t>(size);
  }
  if (ok && !m_bInSequence && at != m_partial.size()) {
    *problem = "a sequence that ended inside a record";
    ok = false;
  }
  if (!ok) {
    Reset();
    return false;
  }
  m_partial.erase(m_partial.begin(), m_partial.begin() + static_cast<std::ptrdiff_t>(at));
  return !lost;
}
