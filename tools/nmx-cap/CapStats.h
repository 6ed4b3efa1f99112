// What info reports about the frames of a capture: times, counts per command and per
// address, and how requests and responses pair up.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <unordered_map>

#include "nmx-cap/CapRecord.h"
#include "nmx-cap/KrpDecode.h"

// Memory stays bounded on any file: at most kMaxAddresses addresses are counted one by one
// (the rest together), and at most kMaxPending unanswered requests are remembered (later
// ones are not paired). Not thread-safe.
class CCapStats {
 public:
  static constexpr size_t kMaxAddresses = 4096;
  static constexpr size_t kMaxPending = 1 << 20;

  void Add(const CapFrame& f, const KrpPayload& krp);

  // Lines from "First frame" on, each "Label: value".
  void Print(std::ostream& out) const;

  uint64_t Frames() const { return m_nFrames; }
  uint64_t Requests() const { return m_nRequests; }
  uint64_t Answered() const { return m_nAnswered; }
  uint64_t Responses() const { return m_nResponses; }
  uint64_t ResponsesWithNmxError() const { return m_nNmxErrors; }
  uint64_t ResponsesWithKrpError() const { return m_nKrpErrors; }
  uint64_t Notifications() const { return m_nNotifications; }
  // Frames per command label ("Read(2)") and per address ("5.1.204.160.1.1:851").
  const std::map<std::string, uint64_t>& Commands() const { return m_commands; }
  const std::map<std::string, uint64_t>& Senders() const { return m_senders; }
  const std::map<std::string, uint64_t>& Targets() const { return m_targets; }

 private:
  void Count(std::map<std::string, uint64_t>& m, const std::string& key);

  uint64_t m_nFrames = 0;
  LONGLONG m_nFirstTime = 0;
  LONGLONG m_nLastTime = 0;
  uint64_t m_nRequests = 0;
  uint64_t m_nAnswered = 0;
  uint64_t m_nResponses = 0;
  uint64_t m_nNmxErrors = 0;
  uint64_t m_nKrpErrors = 0;
  uint64_t m_nNotifications = 0;
  uint64_t m_nUntracked = 0;  // requests not remembered because too many were pending
  std::map<std::string, uint64_t> m_commands;
  std::map<std::string, uint64_t> m_senders;
  std::map<std::string, uint64_t> m_targets;
  // Pending requests by requester, responder port, command id and invoke id.
  std::unordered_map<std::string, uint32_t> m_pending;
  size_t m_nPending = 0;
};
