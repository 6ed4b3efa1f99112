#include "e2e/TrafficCheck.h"

#include <time.h>

#include <set>

#include "nmx/KrpTypes.h"
#include "os/ByteOrder.h"

namespace vxtest {

namespace {

constexpr DWORD kIndexGroup = 0x4020;

BYTE PatternByte(DWORD indexOffset, DWORD i) {
  return static_cast<BYTE>(kIndexGroup * 31 + indexOffset * 7 + i);
}

std::string Fault(size_t i, const std::string& what) {
  return "frame " + std::to_string(i) + ": " + what;
}

// "" when the frame is an intact request or answer of the traffic.
std::string CheckPayload(const CapturedFrame& f, DWORD size) {
  const NmxHead h = f.Head();
  const BYTE* d = f.Data();
  const bool response = h.stateFlags & NMX_FLAG_RESPONSE;
  const DWORD id = h.hUser;
  if (h.stateFlags & NMX_FLAG_TIMESTAMP) return "the router's time stamp flag is still set";
  if (f.packet.size() != NMX_HEAD_SIZE + uint64_t{h.cbData}) return "cbData disagrees";
  if (h.cmdId != KRP_CMD_READ && h.cmdId != KRP_CMD_WRITE)
    return "unexpected command " + std::to_string(h.cmdId);
  if (!response) {
    const DWORD want = h.cmdId == KRP_CMD_READ ? 12 : 12 + size;
    if (h.cbData != want) return "request data length " + std::to_string(h.cbData);
    if (vx::DecodeLE32(d) != kIndexGroup || vx::DecodeLE32(d + 4) != id ||
        vx::DecodeLE32(d + 8) != size)
      return "request fields";
    if (h.cmdId == KRP_CMD_WRITE)
      for (DWORD i = 0; i < size; ++i)
        if (d[12 + i] != static_cast<BYTE>(i)) return "write data byte " + std::to_string(i);
    return "";
  }
  if (h.cmdId == KRP_CMD_WRITE)
    return h.cbData == 4 && vx::DecodeLE32(d) == 0 ? "" : "write answer";
  if (h.cbData != 8 + size || vx::DecodeLE32(d) != 0 || vx::DecodeLE32(d + 4) != size)
    return "read answer fields";
  for (DWORD i = 0; i < size; ++i)
    if (d[8 + i] != PatternByte(id, i)) return "read answer byte " + std::to_string(i);
  return "";
}

}  // namespace

LONGLONG FileTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<LONGLONG>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100 + 116444736000000000LL;
}

std::string CheckTraffic(const std::vector<CapturedFrame>& frames, DWORD dataSize, LONGLONG from,
                         LONGLONG to, TrafficSummary* s) {
  *s = TrafficSummary{};
  std::set<DWORD> requested;
  LONGLONG previous = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const CapturedFrame& f = frames[i];
    std::string fault = CheckPayload(f, dataSize);
    if (!fault.empty()) return Fault(i, fault);
    if (f.timeStamp < from || f.timeStamp > to) return Fault(i, "time stamp outside the run");
    if (f.timeStamp < previous) return Fault(i, "time stamp earlier than the frame before");
    previous = f.timeStamp;

    const NmxHead h = f.Head();
    if (h.stateFlags & NMX_FLAG_RESPONSE) {
      if (s->nResponses > 0 && h.hUser != s->lastResponse + 1)
        return Fault(i, "answer " + std::to_string(h.hUser) + " out of order");
      // Requests older than the first captured one may have given way in a ring.
      if (s->nRequests > 0 && h.hUser >= s->firstRequest && !requested.count(h.hUser))
        return Fault(i, "answer " + std::to_string(h.hUser) + " before its request");
      s->lastResponse = h.hUser;
      ++s->nResponses;
    } else {
      if (s->nRequests > 0 && h.hUser != s->lastRequest + 1)
        return Fault(i, "request " + std::to_string(h.hUser) + " out of order");
      if (s->nRequests == 0) s->firstRequest = h.hUser;
      requested.insert(h.hUser);
      s->lastRequest = h.hUser;
      ++s->nRequests;
    }
  }
  return "";
}

}  // namespace vxtest
