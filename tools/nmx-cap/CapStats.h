// What info reports about the frames of a capture: times, counts per command and per
// address, and how requests and responses pair up.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>

#include "frames/CapRecord.h"
#include "frames/KrpDecode.h"
#include "frames/RequestPairing.h"

// Memory stays bounded on any file: at most kMaxAddresses addresses are counted one by one
// (the rest together), and the pairing remembers at most its limit of unanswered requests
// (later ones are not paired). Not thread-safe.
class CCapStats {
 public:
  static constexpr size_t kMaxAddresses = 4096;

  void Add(const CapFrame& f, const KrpPayload& krp);

  // Lines from "First frame" on, each "Label: value", then the counts per command, sender
  // and target.
  void Print(std::ostream& out) const;

 private:
  static void Count(std::map<uint64_t, uint64_t>& m, uint64_t key);

  uint64_t m_nFrames = 0;
  LONGLONG m_nFirstTime = 0;
  LONGLONG m_nLastTime = 0;
  uint64_t m_nRequests = 0;
  uint64_t m_nAnswered = 0;
  uint64_t m_nResponses = 0;
  uint64_t m_nNmxErrors = 0;
  uint64_t m_nKrpErrors = 0;
  uint64_t m_nNotifications = 0;
  // Frames by KRP flag and command id (at most 2 x 65536 keys), and by address.
  std::map<uint32_t, uint64_t> m_commands;
  std::map<uint64_t, uint64_t> m_senders;
  std::map<uint64_t, uint64_t> m_targets;
  CRequestPairing m_pairing;
};
