#include "nmx-cap/CapStats.h"

#include <cstdio>
#include <cstring>

#include "nmx-cap/CapFrameFormat.h"
#include "nmx-cap/CapTime.h"
#include "nmx/KrpTypes.h"

namespace {

constexpr char kOthers[] = "(others)";

// The responder is matched by port only: a request to the loopback NetId is answered from
// the server's own NetId.
std::string PairKey(const NmxAddr& requester, NmxPortNo responderPort, WORD cmdId, DWORD invokeId) {
  char k[16];
  memcpy(k, requester.netId.b, 6);
  memcpy(k + 6, &requester.port, 2);
  memcpy(k + 8, &responderPort, 2);
  memcpy(k + 10, &cmdId, 2);
  memcpy(k + 12, &invokeId, 4);
  return std::string(k, sizeof k);
}

void PrintCounts(std::ostream& out, const char* title, const std::map<std::string, uint64_t>& m) {
  out << title << ":\n";
  char line[128];
  for (const auto& [key, n] : m) {
    snprintf(line, sizeof line, "  %-28s %llu\n", key.c_str(), static_cast<unsigned long long>(n));
    out << line;
  }
}

}  // namespace

void CCapStats::Count(std::map<std::string, uint64_t>& m, const std::string& key) {
  auto it = m.find(key);
  if (it != m.end())
    ++it->second;
  else if (m.size() < kMaxAddresses)
    m.emplace(key, 1);
  else
    ++m[kOthers];
}

void CCapStats::Add(const CapFrame& f, const KrpPayload& krp) {
  const NmxHead& h = f.head;
  if (m_nFrames == 0) m_nFirstTime = f.nTimeStamp;
  m_nLastTime = f.nTimeStamp;
  ++m_nFrames;
  ++m_commands[CommandLabel(h)];  // at most 2 x 65536 labels
  Count(m_senders, FormatNmxAddr(h.sender));
  Count(m_targets, FormatNmxAddr(h.target));

  const bool krpCmd = h.stateFlags & NMX_FLAG_KRP_COMMAND;
  if (h.stateFlags & NMX_FLAG_RESPONSE) {
    ++m_nResponses;
    if (h.errCode != 0)
      ++m_nNmxErrors;
    else if (krp.bHasResult && krp.nResult != 0)
      ++m_nKrpErrors;
    auto it = m_pending.find(PairKey(h.target, h.sender.port, h.cmdId, h.hUser));
    if (it != m_pending.end()) {
      ++m_nAnswered;
      --m_nPending;
      if (--it->second == 0) m_pending.erase(it);
    }
    return;
  }
  if (krpCmd && h.cmdId == KRP_CMD_DEVICENOTIFICATION) {
    ++m_nNotifications;  // one-way: never answered
    return;
  }
  if (h.stateFlags & NMX_FLAG_SYSTEM_COMMAND) return;
  ++m_nRequests;
  if (m_nPending >= kMaxPending) {
    ++m_nUntracked;
    return;
  }
  ++m_pending[PairKey(h.sender, h.target.port, h.cmdId, h.hUser)];
  ++m_nPending;
}

void CCapStats::Print(std::ostream& out) const {
  char line[160];
  auto row = [&](const char* label, const std::string& value) {
    snprintf(line, sizeof line, "%-20s %s\n", label, value.c_str());
    out << line;
  };
  if (m_nFrames > 0) {
    const int64_t ticks = static_cast<int64_t>(static_cast<uint64_t>(m_nLastTime) -
                                               static_cast<uint64_t>(m_nFirstTime));
    row("First frame:", FormatFileTime(m_nFirstTime, 6, false) + " UTC");
    row("Last frame:", FormatFileTime(m_nLastTime, 6, false) + " UTC");
    // A difference past the range of 64 bits (only in a damaged file) is shown as it wraps.
    row("Duration:", FormatTicksAsSeconds(ticks) + " s");
    if (ticks > 0) {
      snprintf(
          line, sizeof line, "%.1f",
          static_cast<double>(m_nFrames) * kFileTimeTicksPerSecond / static_cast<double>(ticks));
      row("Frames per second:", line);
    }
  }
  std::string req = std::to_string(m_nRequests) + ", " + std::to_string(m_nAnswered) + " answered";
  if (m_nUntracked) req += " (" + std::to_string(m_nUntracked) + " not paired: too many pending)";
  row("Requests:", req);
  row("Responses:", std::to_string(m_nResponses) + ", " +
                        std::to_string(m_nNmxErrors + m_nKrpErrors) + " with an error (" +
                        std::to_string(m_nNmxErrors) + " NMX, " + std::to_string(m_nKrpErrors) +
                        " KRP)");
  row("Notifications:", std::to_string(m_nNotifications));
  PrintCounts(out, "Commands", m_commands);
  PrintCounts(out, "Senders", m_senders);
  PrintCounts(out, "Targets", m_targets);
}
