#include "nmx-cap/CapResponseStats.h"

#include <algorithm>
#include <cstdio>

#include "frames/CapFrameFormat.h"
#include "frames/CapTime.h"
#include "nmx/KrpTypes.h"

namespace {

// Key of the rows beyond kMaxRows: above any NetId and port.
constexpr uint64_t kOthers = ~uint64_t{0};
constexpr uint32_t kKrpBit = 0x10000;
// Requests without an answer shown by the text output; JSON lists up to kMaxListed.
constexpr size_t kTextListed = 20;

bool GroupedCommand(WORD cmdId, WORD flags) {
  return (flags & NMX_FLAG_KRP_COMMAND) &&
         (cmdId == KRP_CMD_READ || cmdId == KRP_CMD_WRITE || cmdId == KRP_CMD_READWRITE);
}

// "krp:0x700", "nmx:11".
std::string ErrorCode(const NmxHead& h, const KrpPayload& krp) {
  char buf[32];
  if (h.errCode != 0)
    snprintf(buf, sizeof buf, "nmx:%s", FormatNmxError(h.errCode).c_str());
  else
    snprintf(buf, sizeof buf, "krp:0x%X", static_cast<unsigned>(krp.nResult));
  return buf;
}

std::string Quoted(const std::string& s) {
  return "\"" + JsonEscape(s) + "\"";
}

std::string Number(int64_t v) {
  return v < 0 ? "null" : std::to_string(v);
}

// Slower first; of equal times the earlier request.
bool Slower(uint64_t us, uint64_t frame, uint64_t otherUs, uint64_t otherFrame) {
  return us != otherUs ? us > otherUs : frame < otherFrame;
}

}  // namespace

uint64_t CCapResponseStats::Search::Width() const {
  const uint64_t span = nHi - nLo + 1;
  return (span + kBuckets - 1) / kBuckets;
}

CCapResponseStats::CCapResponseStats(LONGLONG timeoutTicks, size_t slowest)
    : m_nTimeout(timeoutTicks), m_nSlowest(slowest) {}

size_t CCapResponseStats::RowOf(const NmxAddr& target, WORD cmdId, WORD flags, bool hasGroup,
                                DWORD group, bool create) {
  if (!GroupedCommand(cmdId, flags)) hasGroup = false;
  const RowKey key{NmxAddrKey(target), (flags & NMX_FLAG_KRP_COMMAND ? kKrpBit : 0) | cmdId,
                   hasGroup, hasGroup ? group : 0};
  auto it = m_rowIndex.find(key);
  if (it != m_rowIndex.end()) return it->second;
  if (!create || m_rows.size() >= kMaxRows) {
    if (m_nOthersRow == SIZE_MAX) {
      m_nOthersRow = m_rows.size();
      m_rows.emplace_back();
      m_rows.back().target = kOthers;
    }
    return m_nOthersRow;
  }
  m_rows.emplace_back();
  Row& r = m_rows.back();
  r.target = std::get<0>(key);
  r.cmd = std::get<1>(key);
  r.bHasGroup = hasGroup;
  r.nGroup = std::get<3>(key);
  m_rowIndex.emplace(key, m_rows.size() - 1);
  return m_rows.size() - 1;
}

void CCapResponseStats::CountError(Row& r, const NmxHead& h, const KrpPayload& krp) {
  if (!CRequestPairing::IsError(h, krp)) return;
  ++r.nErrors;
  std::string code = ErrorCode(h, krp);
  if (r.errorCodes.size() >= kMaxErrorCodes && !r.errorCodes.count(code)) code = "other";
  ++r.errorCodes[code];
}

void CCapResponseStats::ListUnanswered(const PairedRequest& req, const char* why) {
  ++m_nUnanswered;
  ++m_rows[RowOf(req, false)].nUnanswered;
  auto later = [](const Listed& a, const Listed& b) { return a.req.nFrame < b.req.nFrame; };
  if (m_listed.size() < kMaxListed) {
    m_listed.push_back({req, why});
    std::push_heap(m_listed.begin(), m_listed.end(), later);
  } else if (!m_listed.empty() && req.nFrame < m_listed.front().req.nFrame) {
    std::pop_heap(m_listed.begin(), m_listed.end(), later);
    m_listed.back() = {req, why};
    std::push_heap(m_listed.begin(), m_listed.end(), later);
  }
}

void CCapResponseStats::Add(const CapFrame& f, const KrpPayload& krp) {
  ++m_nFrames;
  if (m_nTimeout > 0)
    m_pairing.Expire(f.nTimeStamp, m_nTimeout,
                     [this](const PairedRequest& r) { ListUnanswered(r, "timed out"); });
  const PairingResult p = m_pairing.Feed(f, krp);
  if (p.role == PairRole::kRequest) {
    if (p.bReplaced && !p.bReplacedTimedOut) ListUnanswered(p.replaced, "invoke id reused");
    Row& r = m_rows[RowOf(p.request, true)];
    ++r.nRequests;
    if (!p.bTracked) ++r.nUntracked;
    return;
  }
  if (p.role != PairRole::kResponse) return;
  if (p.answer == PairAnswer::kNoRequest) {
    Row& r = m_rows[RowOf(f.head.sender, f.head.cmdId, f.head.stateFlags, false, 0, true)];
    ++r.nNoRequest;
    CountError(r, f.head, krp);
    return;
  }
  Row& r = m_rows[RowOf(p.request, false)];
  CountError(r, f.head, krp);
  if (p.answer == PairAnswer::kLate) {
    ++r.nLate;
    return;
  }
  ++r.nAnswered;
  const uint64_t us = p.ResponseMicros();
  r.nMinUs = std::min(r.nMinUs, us);
  r.nMaxUs = std::max(r.nMaxUs, us);
  if (m_nSlowest == 0) return;
  // The heap's front is the least slow of those kept.
  auto lessSlow = [](const Slow& a, const Slow& b) {
    return Slower(a.nUs, a.req.nFrame, b.nUs, b.req.nFrame);
  };
  if (m_slowest.size() < m_nSlowest) {
    m_slowest.push_back({us, f.nIndex, p.request});
    std::push_heap(m_slowest.begin(), m_slowest.end(), lessSlow);
  } else if (Slower(us, p.request.nFrame, m_slowest.front().nUs, m_slowest.front().req.nFrame)) {
    std::pop_heap(m_slowest.begin(), m_slowest.end(), lessSlow);
    m_slowest.back() = {us, f.nIndex, p.request};
    std::push_heap(m_slowest.begin(), m_slowest.end(), lessSlow);
  }
}

void CCapResponseStats::End() {
  m_pairing.Finish([this](const PairedRequest& r) { ListUnanswered(r, "no answer"); });
  for (Row& r : m_rows) {
    if (r.nAnswered == 0) continue;
    for (Search* s : {&r.p50, &r.p99}) {
      const uint64_t pct = s == &r.p50 ? 50 : 99;
      s->nRank = (r.nAnswered * pct + 99) / 100;
      s->nBelow = 0;
      s->nLo = r.nMinUs;
      s->nHi = r.nMaxUs;
    }
  }
}

bool CCapResponseStats::NeedsPass() const {
  for (const Row& r : m_rows)
    if (r.nAnswered > 0 && (!r.p50.Done() || !r.p99.Done())) return true;
  return false;
}

void CCapResponseStats::BeginPass() {
  m_passPairing = CRequestPairing();
  m_nPassFrames = 0;
  size_t n = 0;
  for (Row& r : m_rows) {
    for (Search* s : {&r.p50, &r.p99}) {
      s->bCounting = r.nAnswered > 0 && !s->Done() && n < kMaxSearchesPerPass;
      if (!s->bCounting) continue;
      ++n;
      s->counts.assign(kBuckets, 0);
    }
  }
}

void CCapResponseStats::Count(Search& s, uint64_t us) {
  if (!s.bCounting || us < s.nLo || us > s.nHi) return;
  ++s.counts[(us - s.nLo) / s.Width()];
}

void CCapResponseStats::Pass(const CapFrame& f, const KrpPayload& krp) {
  ++m_nPassFrames;
  if (m_nTimeout > 0) m_passPairing.Expire(f.nTimeStamp, m_nTimeout, {});
  const PairingResult p = m_passPairing.Feed(f, krp);
  if (p.answer != PairAnswer::kAnswers) return;
  Row& r = m_rows[RowOf(p.request, false)];
  Count(r.p50, p.ResponseMicros());
  Count(r.p99, p.ResponseMicros());
}

bool CCapResponseStats::EndPass() {
  bool same = m_nPassFrames == m_nFrames;
  for (Row& r : m_rows) {
    for (Search* s : {&r.p50, &r.p99}) {
      if (!s->bCounting) continue;
      s->bCounting = false;
      const uint64_t w = s->Width();
      uint64_t below = s->nBelow;
      bool found = false;
      for (size_t b = 0; b < kBuckets && !found; ++b) {
        if (below + s->counts[b] >= s->nRank) {
          s->nLo += b * w;
          s->nHi = std::min(s->nHi, s->nLo + w - 1);
          s->nBelow = below;
          found = true;
        }
        below += s->counts[b];
      }
      std::vector<uint64_t>().swap(s->counts);
      if (!found) {
        same = false;
        s->nHi = s->nLo;
      }
    }
  }
  m_passPairing.Finish({});
  return same;
}

std::string CCapResponseStats::RowTarget(const Row& r) {
  return r.target == kOthers ? "(others)" : FormatNmxAddr(NmxAddrFromKey(r.target));
}

std::string CCapResponseStats::RowCommand(const Row& r) {
  if (r.target == kOthers) return "(others)";
  NmxHead h{};
  h.cmdId = static_cast<WORD>(r.cmd);
  h.stateFlags = (r.cmd & kKrpBit) ? NMX_FLAG_KRP_COMMAND : 0;
  const char* name = (r.cmd & kKrpBit) ? KrpCommandName(h.cmdId) : nullptr;
  return name ? name : CommandLabel(h);
}

std::string CCapResponseStats::RequestCommand(const PairedRequest& req) {
  NmxHead h{};
  h.cmdId = req.cmdId;
  h.stateFlags = req.stateFlags;
  const char* name = (req.stateFlags & NMX_FLAG_KRP_COMMAND) ? KrpCommandName(req.cmdId) : nullptr;
  return name ? name : CommandLabel(h);
}

int64_t CCapResponseStats::Value(const Row& r, const Search& s) {
  return r.nAnswered == 0 ? -1 : static_cast<int64_t>(s.nLo);
}

void CCapResponseStats::PrintText(std::ostream& out) const {
  char line[256];
  out << "Requests by target and command (response times in microseconds):\n";
  snprintf(line, sizeof line, "  %-24s %-22s %9s %9s %10s %7s %9s %9s %9s %9s\n", "target",
           "command", "requests", "answered", "unanswered", "errors", "min", "p50", "p99", "max");
  out << line;
  std::vector<size_t> order;
  for (const auto& [key, i] : m_rowIndex) order.push_back(i);
  if (m_nOthersRow != SIZE_MAX) order.push_back(m_nOthersRow);
  auto num = [](int64_t v) { return v < 0 ? std::string("-") : std::to_string(v); };
  uint64_t late = 0, noRequest = 0, untracked = 0;
  for (size_t i : order) {
    const Row& r = m_rows[i];
    std::string cmd = RowCommand(r);
    if (r.bHasGroup) {
      snprintf(line, sizeof line, " 0x%X", static_cast<unsigned>(r.nGroup));
      cmd += line;
    }
    snprintf(line, sizeof line, "  %-24s %-22s %9llu %9llu %10llu %7llu %9s %9s %9s %9s\n",
             RowTarget(r).c_str(), cmd.c_str(), static_cast<unsigned long long>(r.nRequests),
             static_cast<unsigned long long>(r.nAnswered),
             static_cast<unsigned long long>(r.nUnanswered),
             static_cast<unsigned long long>(r.nErrors),
             num(r.nAnswered ? static_cast<int64_t>(r.nMinUs) : -1).c_str(),
             num(Value(r, r.p50)).c_str(), num(Value(r, r.p99)).c_str(),
             num(r.nAnswered ? static_cast<int64_t>(r.nMaxUs) : -1).c_str());
    out << line;
    if (!r.errorCodes.empty()) {
      std::string codes;
      for (const auto& [code, n] : r.errorCodes)
        codes += (codes.empty() ? "" : ", ") + code + " x" + std::to_string(n);
      out << "      errors: " << codes << "\n";
    }
    late += r.nLate;
    noRequest += r.nNoRequest;
    untracked += r.nUntracked;
  }
  if (noRequest) out << "Responses without a request: " << noRequest << "\n";
  if (late) out << "Answers after the time-out: " << late << "\n";
  if (untracked) out << "Requests not paired (too many waiting): " << untracked << "\n";

  std::vector<Slow> slowest = m_slowest;
  std::sort(slowest.begin(), slowest.end(), [](const Slow& a, const Slow& b) {
    return Slower(a.nUs, a.req.nFrame, b.nUs, b.req.nFrame);
  });
  if (!slowest.empty()) out << "Slowest requests:\n";
  for (const Slow& s : slowest) {
    snprintf(line, sizeof line, "  %9llu us  frame %llu (answer %llu)  %s %s -> %s invoke=%u\n",
             static_cast<unsigned long long>(s.nUs), static_cast<unsigned long long>(s.req.nFrame),
             static_cast<unsigned long long>(s.nResponseFrame), RequestCommand(s.req).c_str(),
             FormatNmxAddr(s.req.sender).c_str(), FormatNmxAddr(s.req.target).c_str(),
             s.req.invokeId);
    out << line;
  }

  out << "Requests without an answer: " << m_nUnanswered << "\n";
  std::vector<Listed> listed = m_listed;
  std::sort(listed.begin(), listed.end(),
            [](const Listed& a, const Listed& b) { return a.req.nFrame < b.req.nFrame; });
  for (size_t i = 0; i < listed.size() && i < kTextListed; ++i) {
    const PairedRequest& q = listed[i].req;
    snprintf(line, sizeof line, "  frame %llu %s %s -> %s %s invoke=%u (%s)\n",
             static_cast<unsigned long long>(q.nFrame), FormatFileTime(q.nTime, 6, false).c_str(),
             FormatNmxAddr(q.sender).c_str(), FormatNmxAddr(q.target).c_str(),
             RequestCommand(q).c_str(), q.invokeId, listed[i].szWhy);
    out << line;
  }
  if (m_nUnanswered > std::min(listed.size(), kTextListed))
    out << "  ... and " << m_nUnanswered - std::min(listed.size(), kTextListed)
        << " more (--json lists the first " << kMaxListed << ")\n";
}

void CCapResponseStats::PrintJson(std::ostream& out) const {
  std::string j = "{\"frames\":" + std::to_string(m_nFrames) + ",\"responseTimes\":[";
  std::vector<size_t> order;
  for (const auto& [key, i] : m_rowIndex) order.push_back(i);
  if (m_nOthersRow != SIZE_MAX) order.push_back(m_nOthersRow);
  bool first = true;
  for (size_t i : order) {
    const Row& r = m_rows[i];
    j += first ? "{" : ",{";
    first = false;
    j += "\"target\":" + Quoted(RowTarget(r)) + ",\"command\":" + Quoted(RowCommand(r));
    if (r.target != kOthers) j += ",\"cmd\":" + std::to_string(r.cmd & 0xFFFF);
    if (r.bHasGroup) j += ",\"indexGroup\":" + std::to_string(r.nGroup);
    j += ",\"requests\":" + std::to_string(r.nRequests) +
         ",\"answered\":" + std::to_string(r.nAnswered) +
         ",\"unanswered\":" + std::to_string(r.nUnanswered) +
         ",\"late\":" + std::to_string(r.nLate) + ",\"untracked\":" + std::to_string(r.nUntracked) +
         ",\"noRequest\":" + std::to_string(r.nNoRequest) +
         ",\"errors\":" + std::to_string(r.nErrors) + ",\"errorCodes\":{";
    bool firstCode = true;
    for (const auto& [code, n] : r.errorCodes) {
      j += (firstCode ? "" : ",") + Quoted(code) + ":" + std::to_string(n);
      firstCode = false;
    }
    j += "},\"minUs\":" + Number(r.nAnswered ? static_cast<int64_t>(r.nMinUs) : -1) +
         ",\"p50Us\":" + Number(Value(r, r.p50)) + ",\"p99Us\":" + Number(Value(r, r.p99)) +
         ",\"maxUs\":" + Number(r.nAnswered ? static_cast<int64_t>(r.nMaxUs) : -1) + "}";
  }
  j += "],\"slowest\":[";
  std::vector<Slow> slowest = m_slowest;
  std::sort(slowest.begin(), slowest.end(), [](const Slow& a, const Slow& b) {
    return Slower(a.nUs, a.req.nFrame, b.nUs, b.req.nFrame);
  });
  for (size_t i = 0; i < slowest.size(); ++i) {
    const Slow& s = slowest[i];
    j += (i ? ",{" : "{") + std::string("\"frame\":") + std::to_string(s.req.nFrame) +
         ",\"responseFrame\":" + std::to_string(s.nResponseFrame) +
         ",\"sender\":" + Quoted(FormatNmxAddr(s.req.sender)) +
         ",\"target\":" + Quoted(FormatNmxAddr(s.req.target)) +
         ",\"command\":" + Quoted(RequestCommand(s.req)) +
         ",\"invokeId\":" + std::to_string(s.req.invokeId) + ",\"us\":" + std::to_string(s.nUs) +
         "}";
  }
  j += "],\"unanswered\":[";
  std::vector<Listed> listed = m_listed;
  std::sort(listed.begin(), listed.end(),
            [](const Listed& a, const Listed& b) { return a.req.nFrame < b.req.nFrame; });
  for (size_t i = 0; i < listed.size(); ++i) {
    const PairedRequest& q = listed[i].req;
    j += (i ? ",{" : "{") + std::string("\"frame\":") + std::to_string(q.nFrame) +
         ",\"time\":" + Quoted(FormatFileTime(q.nTime, 7, true)) +
         ",\"sender\":" + Quoted(FormatNmxAddr(q.sender)) +
         ",\"target\":" + Quoted(FormatNmxAddr(q.target)) +
         ",\"command\":" + Quoted(RequestCommand(q)) +
         ",\"invokeId\":" + std::to_string(q.invokeId) + ",\"reason\":" + Quoted(listed[i].szWhy) +
         "}";
  }
  j += "],\"unansweredNotListed\":" + std::to_string(m_nUnanswered - listed.size()) + "}\n";
  out << j;
}
