#include "nmx-cap/CapStats.h"

#include <cstdio>
#include <string>

#include "frames/CapFrameFormat.h"
#include "frames/CapTime.h"
#include "nmx/KrpTypes.h"

namespace {

// Key of the addresses beyond kMaxAddresses: above any NetId and port.
constexpr uint64_t kOthers = ~uint64_t{0};

void PrintRow(std::ostream& out, const std::string& key, uint64_t n) {
  char line[128];
  snprintf(line, sizeof line, "  %-28s %llu\n", key.c_str(), static_cast<unsigned long long>(n));
  out << line;
}

void PrintAddresses(std::ostream& out, const char* title, const std::map<uint64_t, uint64_t>& m) {
  out << title << ":\n";
  for (const auto& [key, n] : m)
    PrintRow(out, key == kOthers ? "(others)" : FormatNmxAddr(NmxAddrFromKey(key)), n);
}

}  // namespace

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
  Count(m_senders, NmxAddrKey(h.sender));
  Count(m_targets, NmxAddrKey(h.target));

  const PairingResult p = m_pairing.Feed(f, krp);
  switch (p.role) {
    case PairRole::kResponse:
      ++m_nResponses;
      if (h.errCode != 0)
        ++m_nNmxErrors;
      else if (krp.bHasResult && krp.nResult != 0)
        ++m_nKrpErrors;
      if (p.answer == PairAnswer::kAnswers) ++m_nAnswered;
      break;
    case PairRole::kNotification:
      ++m_nNotifications;  // one-way: never answered
      break;
    case PairRole::kRequest:
      ++m_nRequests;
      break;
    case PairRole::kOther:
      break;
  }
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
  if (m_pairing.Untracked())
    req += " (" + std::to_string(m_pairing.Untracked()) + " not paired: too many pending)";
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
