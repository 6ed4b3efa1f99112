#include "nmx-cap/CapStats.h"

#include <cstdio>
#include <string>

#include "frames/CapFrameFormat.h"
#include "frames/CapTime.h"
#include "nmx/KrpTypes.h"

namespace {

// Key of the addresses beyond kMaxAddresses: above any NetId and port.
constexpr uint64_t kOthers = ~uint64_t{0};

NmxAddr AddrFromKey(uint64_t k) {
  NmxAddr a;
  for (int i = 0; i < 6; ++i) a.netId.b[i] = static_cast<BYTE>(k >> (56 - 8 * i));
  a.port = static_cast<NmxPortNo>(k);
  return a;
}

void PrintRow(std::ostream& out, const std::string& key, uint64_t n) {
  char line[128];
  snprintf(line, sizeof line, "  %-28s %llu\n", key.c_str(), static_cast<unsigned long long>(n));
  out << line;
}

void PrintAddresses(std::ostream& out, const char* title, const std::map<uint64_t, uint64_t>& m) {
  out << title << ":\n";
  for (const auto& [key, n] : m)
    PrintRow(out, key == kOthers ? "(others)" : FormatNmxAddr(AddrFromKey(key)), n);
}

}  // namespace

size_t CCapStats::PairKeyHash::operator()(const PairKey& k) const {
  uint64_t h = k.requester * 0x9E3779B97F4A7C15ull;
  h ^= (uint64_t{k.responderPortAndCmd} << 32 | k.invokeId) + 0x7F4A7C159E3779B9ull + (h << 6) +
       (h >> 2);
  return static_cast<size_t>(h);
}

// NetId bytes first, then the port: the maps print in NetId order.
uint64_t CCapStats::AddrKey(const NmxAddr& a) {
  uint64_t k = 0;
  for (int i = 0; i < 6; ++i) k = (k << 8) | a.netId.b[i];
  return (k << 16) | a.port;
}

void CCapStats::Count(std::map<uint64_t, uint64_t>& m, uint64_t key) {
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
  const bool krpCmd = h.stateFlags & NMX_FLAG_KRP_COMMAND;
  ++m_commands[(krpCmd ? 0x10000u : 0u) | h.cmdId];
  Count(m_senders, AddrKey(h.sender));
  Count(m_targets, AddrKey(h.target));

  // The responder is matched by port only: a request to the loopback NetId is answered from
  // the server's own NetId.
  if (h.stateFlags & NMX_FLAG_RESPONSE) {
    ++m_nResponses;
    if (h.errCode != 0)
      ++m_nNmxErrors;
    else if (krp.bHasResult && krp.nResult != 0)
      ++m_nKrpErrors;
    auto it = m_pending.find({AddrKey(h.target), uint32_t{h.sender.port} << 16 | h.cmdId, h.hUser});
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
  ++m_pending[{AddrKey(h.sender), uint32_t{h.target.port} << 16 | h.cmdId, h.hUser}];
  ++m_nPending;
}

void CCapStats::Print(std::ostream& out) const {
  char line[160];
  auto row = [&](const char* label, const std::string& value) {
    snprintf(line, sizeof line, "%-20s %s\n", label, value.c_str());
    out << line;
  };
  if (m_nFrames > 0) {
    // Wraps like the clock difference of a damaged file would; never overflows.
    const int64_t ticks = static_cast<int64_t>(static_cast<uint64_t>(m_nLastTime) -
                                               static_cast<uint64_t>(m_nFirstTime));
    row("First frame:", FormatFileTime(m_nFirstTime, 6, false) + " UTC");
    row("Last frame:", FormatFileTime(m_nLastTime, 6, false) + " UTC");
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
  out << "Commands:\n";
  for (const auto& [key, n] : m_commands) {
    NmxHead h{};
    h.cmdId = static_cast<WORD>(key);
    h.stateFlags = (key & 0x10000u) ? NMX_FLAG_KRP_COMMAND : 0;
    PrintRow(out, CommandLabel(h), n);
  }
  PrintAddresses(out, "Senders", m_senders);
  PrintAddresses(out, "Targets", m_targets);
}
