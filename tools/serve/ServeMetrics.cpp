#include "serve/ServeMetrics.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Seconds(uint64_t micros) {
  char buf[32];
  snprintf(buf, sizeof buf, "%llu.%06llu", static_cast<unsigned long long>(micros / 1000000),
           static_cast<unsigned long long>(micros % 1000000));
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

// A label value: command names are letters and digits, but a value must never break a line.
std::string LabelValue(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

void CServeMetrics::Frame(DWORD cbRecord, bool bError) {
  std::lock_guard<std::mutex> guard(m_mutex);
  ++m_nFrames;
  m_nBytes += cbRecord;
  if (bError) ++m_nErrors;
}

void CServeMetrics::Answered(const std::string& command, uint64_t nMicros) {
  std::lock_guard<std::mutex> guard(m_mutex);
  Histogram& h = m_times[command.empty() ? "other" : command];
  const auto at = std::lower_bound(kBucketMicros.begin(), kBucketMicros.end(), nMicros);
  if (at != kBucketMicros.end()) ++h.buckets[static_cast<size_t>(at - kBucketMicros.begin())];
  ++h.nCount;
  h.nSumMicros += nMicros;
}

void CServeMetrics::Unanswered() {
  std::lock_guard<std::mutex> guard(m_mutex);
  ++m_nUnanswered;
}

void CServeMetrics::Gap() {
  std::lock_guard<std::mutex> guard(m_mutex);
  ++m_nGaps;
}

std::string CServeMetrics::Text(const ServeState& state, bool up) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  std::string out;
  up = up && state.bHaveCapture;
  struct Row {
    const char* name;
    const char* type;
    const char* help;
    uint64_t value;
    bool bShown;
  };
  const Row rows[] = {
      {"vxnmxlogger_up", "gauge",
       "Whether nmx-view serve reached the logger for this answer (1) or not (0).", up ? 1u : 0u,
       true},
      {"vxnmxlogger_capturing", "gauge", "Whether the logger captures (1) or not (0).",
       state.capture.bCapturing ? 1u : 0u, up},
      {"vxnmxlogger_ring_overflows_total", "counter",
       "Times the ring of capture files gave up its oldest frames, in the current capture.",
       state.capture.overflows, up},
      {"vxnmxlogger_frames_total", "counter",
       "Frames captured while nmx-view serve followed the capture (with serve --metrics: all "
       "the time).",
       m_nFrames, true},
      {"vxnmxlogger_frame_bytes_total", "counter", "Bytes of those frames' records.", m_nBytes,
       true},
      {"vxnmxlogger_frames_dropped_total", "counter",
       "Frames the logger lost in the current or last capture (its queue full, or refused by "
       "the capture file); counts from 0 at each start.",
       state.capture.dropped, up && state.capture.bDroppedKnown},
      {"vxnmxlogger_follow_gaps_total", "counter",
       "Gaps in the frames nmx-view serve followed (frames the ring gave up before serve read "
       "them; each gap counts as one).",
       m_nGaps, true},
      {"vxnmxlogger_errors_total", "counter",
       "Frames with an NMX error or a KRP result other than 0.", m_nErrors, true},
      {"vxnmxlogger_unanswered_total", "counter",
       "Requests without an answer within the time nmx-view serve waits for one.", m_nUnanswered,
       true},
  };
  for (const Row& r : rows) {
    if (!r.bShown) continue;
    out += std::string("# HELP ") + r.name + " " + r.help + "\n# TYPE " + r.name + " " + r.type +
           "\n" + r.name + " " + std::to_string(r.value) + "\n";
  }
  out +=
      "# HELP vxnmxlogger_response_time_seconds Time from a request to its response, by "
      "command.\n# TYPE vxnmxlogger_response_time_seconds histogram\n";
  for (const auto& [command, h] : m_times) {
    const std::string label = "command=\"" + LabelValue(command) + "\"";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kBucketMicros.size(); ++i) {
      cumulative += h.buckets[i];
      out += "vxnmxlogger_response_time_seconds_bucket{" + label + ",le=\"" +
             Seconds(kBucketMicros[i]) + "\"} " + std::to_string(cumulative) + "\n";
    }
    out += "vxnmxlogger_response_time_seconds_bucket{" + label + ",le=\"+Inf\"} " +
           std::to_string(h.nCount) + "\n";
    out += "vxnmxlogger_response_time_seconds_sum{" + label + "} " + Seconds(h.nSumMicros) + "\n";
    out +=
        "vxnmxlogger_response_time_seconds_count{" + label + "} " + std::to_string(h.nCount) + "\n";
  }
  return out;
}
