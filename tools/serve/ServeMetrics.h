// CServeMetrics: what nmx-view serve counts of the frames it follows, and the logger's state,
// as the Prometheus text format for GET /metrics.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "serve/ServeJson.h"

// Thread-safe: the hub's worker counts, server threads read.
class CServeMetrics {
 public:
  // Upper bounds of the response-time buckets, in microseconds (then +Inf).
  static constexpr std::array<uint64_t, 16> kBucketMicros = {
      100,   250,    500,    1000,   2500,    5000,    10000,   25000,
      50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};

  void Frame(DWORD cbRecord, bool bError);
  // A response of the command (its name, or "" for a command without one) nMicros after
  // its request.
  void Answered(const std::string& command, uint64_t nMicros);
  void Unanswered();
  // Frames were lost on their way from the logger's capture to serve.
  void Gap();

  // The exposition: the counts, and the logger's state where serve has one; up tells whether
  // serve reached the logger for it.
  std::string Text(const ServeState& state, bool up) const;

 private:
  struct Histogram {
    std::array<uint64_t, kBucketMicros.size()> buckets{};  // not cumulative
    uint64_t nCount = 0;
    uint64_t nSumMicros = 0;
  };

  mutable std::mutex m_mutex;
  uint64_t m_nFrames = 0;
  uint64_t m_nBytes = 0;
  uint64_t m_nErrors = 0;
  uint64_t m_nUnanswered = 0;
  uint64_t m_nGaps = 0;
  std::map<std::string, Histogram> m_times;  // by command
};
