#include "frames/RequestPairing.h"

#include <cstring>

#include "frames/CapFrameFormat.h"
#include "nmx/KrpTypes.h"

uint64_t PairingResult::ResponseMicros() const {
  return nResponseTicks > 0 ? static_cast<uint64_t>(nResponseTicks) / 10 : 0;
}

CRequestPairing::CRequestPairing(size_t maxWaiting, size_t maxTimedOut)
    : m_nMaxWaiting(maxWaiting), m_nMaxTimedOut(maxTimedOut) {}

size_t CRequestPairing::KeyHash::operator()(const Key& k) const {
  uint64_t h = k.requester * 0x9E3779B97F4A7C15ull;
  h ^= (uint64_t{k.portAndCmd} << 32 | k.invokeId) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
  return static_cast<size_t>(h ^ k.krpFlag);
}

CRequestPairing::Key CRequestPairing::RequestKey(const PairedRequest& r) {
  return {NmxAddrKey(r.sender), uint32_t{r.target.port} << 16 | r.cmdId, r.invokeId,
          static_cast<uint16_t>(r.stateFlags & NMX_FLAG_KRP_COMMAND)};
}

bool CRequestPairing::IsError(const NmxHead& head, const KrpPayload& krp) {
  return head.errCode != 0 || (krp.bHasResult && krp.nResult != 0);
}

PairRole CRequestPairing::RoleOf(const NmxHead& head) {
  if (head.stateFlags & NMX_FLAG_RESPONSE) return PairRole::kResponse;
  if ((head.stateFlags & NMX_FLAG_KRP_COMMAND) && head.cmdId == KRP_CMD_DEVICENOTIFICATION)
    return PairRole::kNotification;
  if (head.stateFlags & NMX_FLAG_SYSTEM_COMMAND) return PairRole::kOther;
  return PairRole::kRequest;
}

void CRequestPairing::Forget(List& list, List::iterator e) {
  auto it = m_index.find(RequestKey(e->req));
  if (it != m_index.end()) {
    std::erase(it->second, e);
    if (it->second.empty()) m_index.erase(it);
  }
  list.erase(e);
}

void CRequestPairing::ForgetOldestTimedOut() {
  Forget(m_timedOut, m_timedOut.begin());
}

PairingResult CRequestPairing::Feed(uint64_t nFrame, LONGLONG nTime, const NmxHead& head,
                                    const KrpPayload& krp) {
  PairingResult r;
  r.role = RoleOf(head);
  r.bError = IsError(head, krp);
  const uint16_t krpFlag = head.stateFlags & NMX_FLAG_KRP_COMMAND;

  if (r.role == PairRole::kResponse) {
    r.answer = PairAnswer::kNoRequest;
    auto it = m_index.find({NmxAddrKey(head.target), uint32_t{head.sender.port} << 16 | head.cmdId,
                            head.hUser, krpFlag});
    if (it == m_index.end()) return r;
    // The one sent to this NetId, else the oldest sent to the loopback NetId.
    List::iterator match{};
    bool found = false;
    for (List::iterator e : it->second) {
      if (e->req.target.netId == head.sender.netId) {
        match = e;
        found = true;
        break;
      }
    }
    for (size_t i = 0; !found && i < it->second.size(); ++i) {
      if (it->second[i]->req.target.netId == NMXNETID_LOOPBACK) {
        match = it->second[i];
        found = true;
      }
    }
    if (!found) return r;
    r.request = match->req;
    r.answer = match->bTimedOut ? PairAnswer::kLate : PairAnswer::kAnswers;
    // Wraps like the clock difference of a damaged file would; never overflows.
    r.nResponseTicks =
        static_cast<int64_t>(static_cast<uint64_t>(nTime) - static_cast<uint64_t>(r.request.nTime));
    Forget(match->bTimedOut ? m_timedOut : m_waiting, match);
    return r;
  }
  if (r.role != PairRole::kRequest) return r;

  PairedRequest& req = r.request;
  req.nFrame = nFrame;
  req.nTime = nTime;
  req.sender = head.sender;
  req.target = head.target;
  req.cmdId = head.cmdId;
  req.stateFlags = head.stateFlags;
  req.invokeId = head.hUser;
  for (const KrpField& f : krp.fields) {
    if (std::strcmp(f.szName, "indexGroup") == 0) {
      req.bHasIndexGroup = true;
      req.nIndexGroup = static_cast<DWORD>(f.nValue);
      break;
    }
  }
  const Key key = RequestKey(req);
  auto it = m_index.find(key);
  if (it != m_index.end()) {
    for (List::iterator e : it->second) {
      if (e->req.target.netId == req.target.netId) {
        r.bReplaced = true;
        r.bReplacedTimedOut = e->bTimedOut;
        r.replaced = e->req;
        Forget(e->bTimedOut ? m_timedOut : m_waiting, e);
        break;
      }
    }
  }
  if (m_waiting.size() >= m_nMaxWaiting) {
    ++m_nUntracked;
    return r;
  }
  r.bTracked = true;
  m_waiting.push_back({req, false});
  m_index[key].push_back(std::prev(m_waiting.end()));
  return r;
}

void CRequestPairing::Expire(LONGLONG nNow, LONGLONG timeoutTicks, const UnansweredFn& onTimedOut) {
  while (!m_waiting.empty()) {
    const LONGLONG t = m_waiting.front().req.nTime;
    // Exact for any two times once nNow >= t: no time, however hostile, overflows.
    const uint64_t age = static_cast<uint64_t>(nNow) - static_cast<uint64_t>(t);
    if (nNow < t || age <= static_cast<uint64_t>(timeoutTicks > 0 ? timeoutTicks : 0)) break;
    m_waiting.front().bTimedOut = true;
    m_timedOut.splice(m_timedOut.end(), m_waiting, m_waiting.begin());
    if (onTimedOut) onTimedOut(m_timedOut.back().req);
    if (m_timedOut.size() > m_nMaxTimedOut) ForgetOldestTimedOut();
  }
}

void CRequestPairing::Finish(const UnansweredFn& onUnanswered) {
  if (onUnanswered)
    for (const Entry& e : m_waiting) onUnanswered(e.req);
  m_waiting.clear();
  m_timedOut.clear();
  m_index.clear();
}
