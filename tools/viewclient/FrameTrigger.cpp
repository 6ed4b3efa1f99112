#include "viewclient/FrameTrigger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "frames/CapFrameFormat.h"
#include "frames/CapTime.h"
#include "os/OsNumber.h"
#include "viewclient/FrameFollower.h"

namespace {

constexpr LONGLONG kTicksPerMs = 10000;
// A day: longer waits are surely a mistake in the unit.
constexpr uint64_t kMaxTriggerMs = 86400000;
// How long a request waits for its answer when only slow answers or index groups matter.
constexpr LONGLONG kForgetMs = 60000;

// One to six numbers 0 to 255 separated by dots: a NetId or its start.
bool IsNetIdStart(const std::string& text) {
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    const size_t dot = text.find('.', at);
    const std::string part =
        text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    uint64_t v = 0;
    if (!OsParseUnsigned(part, 255, &v)) return false;
    if (dot == std::string::npos) return true;
    at = dot + 1;
  }
  return false;
}

bool HasNetIdStart(const NmxAddr& a, const std::string& start) {
  const std::string text = FormatNmxAddr(a);
  const std::string id = text.substr(0, text.rfind(':'));
  return id.compare(0, start.size(), start) == 0 &&
         (id.size() == start.size() || id[start.size()] == '.');
}

const KrpField* FindField(const KrpPayload& krp, const char* name) {
  for (const KrpField& f : krp.fields)
    if (std::string(f.szName) == name) return &f;
  return nullptr;
}

std::string Milliseconds(int64_t ticks) {
  char buf[48];
  snprintf(buf, sizeof buf, "%lld.%03lld ms", static_cast<long long>(ticks / kTicksPerMs),
           static_cast<long long>(ticks % kTicksPerMs / 10));
  return buf;
}

}  // namespace

bool ParseTriggerSpec(const std::string& what, TriggerSpec* spec, std::string* error) {
  *spec = TriggerSpec();
  spec->text = what;
  size_t at = 0;
  bool any = false;
  while (at <= what.size()) {
    const size_t comma = std::min(what.find(',', at), what.size());
    const std::string word = what.substr(at, comma - at);
    at = comma + 1;
    const size_t colon = word.find(':');
    const std::string key = word.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : word.substr(colon + 1);
    const bool hasValue = colon != std::string::npos;
    uint64_t v = 0;
    if (word == "error") {
      spec->bError = true;
    } else if ((key == "slow" || key == "unanswered") && hasValue) {
      if (!OsParseUnsigned(value, kMaxTriggerMs, &v, OsNumberBase::kDecimalOrHex) ||
          (key == "unanswered" && v == 0)) {
        *error = "'" + word + "': " + key + " takes milliseconds (" + (key == "slow" ? "0" : "1") +
                 " to 86400000)";
        return false;
      }
      (key == "slow" ? spec->bSlow : spec->bUnanswered) = true;
      (key == "slow" ? spec->nSlowMs : spec->nUnansweredMs) = static_cast<DWORD>(v);
    } else if (key == "address" && hasValue) {
      if (!IsNetIdStart(value)) {
        *error = "'" + word + "': not a NetId or its start (like 5.1.204.160.1.1 or 5.1)";
        return false;
      }
      spec->address = value;
    } else if (key == "port" && hasValue) {
      if (!OsParseUnsigned(value, 0xFFFF, &v, OsNumberBase::kDecimalOrHex)) {
        *error = "'" + word + "': the port must be a number from 0 to 65535";
        return false;
      }
      spec->bPort = true;
      spec->nPort = static_cast<WORD>(v);
    } else if (key == "command" && hasValue) {
      WORD id = KrpCommandIdFromName(value.c_str());
      if (id == 0 && OsParseUnsigned(value, 0xFFFF, &v, OsNumberBase::kDecimalOrHex))
        id = static_cast<WORD>(v);
      if (id == 0) {
        *error = "'" + word + "': not a command (Read, Write, ReadWrite, ... or a number)";
        return false;
      }
      spec->bCommand = true;
      spec->nCommand = id;
    } else if (key == "group" && hasValue) {
      if (!OsParseUnsigned(value, 0xFFFFFFFF, &v, OsNumberBase::kDecimalOrHex)) {
        *error = "'" + word + "': the index group must be a number (like 0x4020)";
        return false;
      }
      spec->bGroup = true;
      spec->nGroup = static_cast<DWORD>(v);
    } else {
      *error = "'" + word +
               "' is no trigger (error, slow:MS, unanswered:MS, address:NETID, port:N, "
               "command:NAME, group:G, joined by commas)";
      return false;
    }
    any = true;
  }
  if (!any) {
    *error = "an empty trigger";
    return false;
  }
  if (spec->bSlow && spec->bUnanswered) {
    *error = "'" + what + "': a response cannot be slow and missing at once";
    return false;
  }
  return true;
}

CFrameTrigger::CFrameTrigger(const TriggerSpec& spec, const TriggerStop& stop)
    : m_spec(spec), m_stop(stop) {
  if (spec.NeedsPairing()) m_pairing = std::make_unique<CRequestPairing>();
}

bool CFrameTrigger::Matches(const NmxHead& h, const KrpPayload& krp,
                            const PairingResult& pairing) const {
  if (m_spec.bError && !pairing.bError) return false;
  if (!m_spec.address.empty() && !HasNetIdStart(h.sender, m_spec.address) &&
      !HasNetIdStart(h.target, m_spec.address))
    return false;
  if (m_spec.bPort && h.sender.port != m_spec.nPort && h.target.port != m_spec.nPort) return false;
  if (m_spec.bCommand && h.cmdId != m_spec.nCommand) return false;
  if (m_spec.bGroup) {
    const bool answers =
        pairing.answer == PairAnswer::kAnswers || pairing.answer == PairAnswer::kLate;
    if (answers)
      return pairing.request.bHasIndexGroup && pairing.request.nIndexGroup == m_spec.nGroup;
    const KrpField* group = FindField(krp, "indexGroup");
    if (!group || group->nValue != m_spec.nGroup) return false;
  }
  return true;
}

void CFrameTrigger::Fire(const PairedRequest& r, const std::string& why) {
  m_bFired = true;
  m_firedAt = Clock::now();
  m_nAfter = 0;
  m_trigger.nFrame = r.nFrame;
  m_trigger.nTime = r.nTime;
  m_trigger.sender = r.sender;
  m_trigger.target = r.target;
  m_trigger.cmdId = r.cmdId;
  m_trigger.stateFlags = r.stateFlags;
  m_trigger.invokeId = r.invokeId;
  m_trigger.why = why;
}

bool CFrameTrigger::Expire(LONGLONG now) {
  if (!m_pairing || !m_spec.bUnanswered) return false;
  bool fired = false;
  m_pairing->Expire(now, LONGLONG{m_spec.nUnansweredMs} * kTicksPerMs, [&](const PairedRequest& r) {
    if (m_watched.erase(r.nFrame) == 0 || m_bFired) return;
    Fire(r, "no answer within " + std::to_string(m_spec.nUnansweredMs) + " ms");
    NmxHead h{};
    h.sender = r.sender;
    h.target = r.target;
    h.cmdId = r.cmdId;
    h.stateFlags = r.stateFlags;
    char flags[48];
    snprintf(flags, sizeof flags, " req flags=0x%04X invoke=%u", r.stateFlags, r.invokeId);
    m_trigger.line = std::to_string(r.nFrame) + " " + FormatFileTime(r.nTime, 6, false) + " " +
                     FormatNmxAddr(r.sender) + " -> " + FormatNmxAddr(r.target) + " " +
                     CommandLabel(h) + flags;
    fired = true;
  });
  return fired;
}

bool CFrameTrigger::Frame(uint64_t nFrame, const BYTE* record, DWORD size) {
  const CapFrame f = RecordFrame(record, size, static_cast<DWORD>(nFrame), 0);
  m_bHaveTime = true;
  m_nLastTime = f.nTimeStamp;
  m_lastSeen = Clock::now();
  if (m_bFired) {
    ++m_nAfter;
    return false;
  }
  const KrpPayload krp = DecodeKrpPayload(f.head, f.Data(), f.DataInView());
  PairingResult pairing;
  if (m_pairing) {
    pairing = m_pairing->Feed(nFrame, f.nTimeStamp, f.head, krp);
  } else {
    pairing.role = CRequestPairing::RoleOf(f.head);
    pairing.bError = CRequestPairing::IsError(f.head, krp);
  }

  if (m_spec.bUnanswered) {
    if (pairing.answer == PairAnswer::kAnswers || pairing.answer == PairAnswer::kLate)
      m_watched.erase(pairing.request.nFrame);
    if (pairing.bReplaced) m_watched.erase(pairing.replaced.nFrame);
    if (pairing.role == PairRole::kRequest && pairing.bTracked && Matches(f.head, krp, pairing))
      m_watched.insert(nFrame);
    // This frame's time may be what shows that an earlier request went unanswered; the
    // trigger fired before this frame then, which counts as the first frame after it.
    if (Expire(f.nTimeStamp)) {
      m_nAfter = 1;
      return true;
    }
    return false;
  }

  // Requests that never get an answer would otherwise wait in the pairing for ever; a late
  // answer to one given up is still paired.
  if (m_pairing)
    m_pairing->Expire(f.nTimeStamp,
                      std::max<LONGLONG>(kForgetMs, 2 * LONGLONG{m_spec.nSlowMs}) * kTicksPerMs,
                      [](const PairedRequest&) {});
  if (!Matches(f.head, krp, pairing)) return false;
  std::string why = m_spec.bError ? "error" : "match";
  if (m_spec.bSlow) {
    const bool answers =
        pairing.answer == PairAnswer::kAnswers || pairing.answer == PairAnswer::kLate;
    if (!answers || pairing.nResponseTicks <= LONGLONG{m_spec.nSlowMs} * kTicksPerMs) return false;
    why = "answered after " + Milliseconds(pairing.nResponseTicks);
  }
  PairedRequest self;
  self.nFrame = nFrame;
  self.nTime = f.nTimeStamp;
  self.sender = f.head.sender;
  self.target = f.head.target;
  self.cmdId = f.head.cmdId;
  self.stateFlags = f.head.stateFlags;
  self.invokeId = f.head.hUser;
  Fire(self, why);
  m_trigger.line = FormatFrameLine(f, krp);
  return true;
}

bool CFrameTrigger::Tick(Clock::time_point now) {
  if (m_bFired || !m_bHaveTime || !m_spec.bUnanswered) return false;
  const auto passed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_lastSeen);
  return Expire(m_nLastTime + passed.count() * 10);
}

bool CFrameTrigger::StopDue(Clock::time_point now) const {
  if (!m_bFired) return false;
  if (!m_stop.bByTime) return m_nAfter >= m_stop.nFrames;
  return now - m_firedAt >= std::chrono::milliseconds(m_stop.nMs);
}
