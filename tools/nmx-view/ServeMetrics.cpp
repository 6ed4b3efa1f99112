#include "nmx-view/ServeMetrics.h"

#include <algorithm>
#include <cstdio>

namespace {

void Metric(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const char* name, uint64_t value) {
  out += std::string(name) + " " + std::to_string(value) + "\n";
}

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
  Metric(out, "vxnmxlogger_up", "gauge",
         "Whether nmx-view serve reached the logger for this answer (1) or not (0).");
  Sample(out, "vxnmxlogger_up", up ? 1 : 0);
  if (up) {
    Metric(out, "vxnmxlogger_capturing", "gauge", "Whether the logger captures (1) or not (0).");
    Sample(out, "vxnmxlogger_capturing", state.capture.bCapturing ? 1 : 0);
    Metric(out, "vxnmxlogger_ring_overflows_total", "counter",
           "Times the ring of capture files gave up its oldest frames, in the current capture.");
    Sample(out, "vxnmxlogger_ring_overflows_total", state.capture.overflows);
  }
  Metric(out, "vxnmxlogger_frames_total", "counter",
         "Frames captured while nmx-view serve followed the capture (with serve --metrics: all "
         "the time).");
  Sample(out, "vxnmxlogger_frames_total", m_nFrames);
  Metric(out, "vxnmxlogger_frame_bytes_total", "counter", "Bytes of those frames' records.");
  Sample(out, "vxnmxlogger_frame_bytes_total", m_nBytes);
  Metric(out, "vxnmxlogger_frames_dropped_total", "counter",
         "Frames lost between the capture and nmx-view serve (each gap counts as one).");
  Sample(out, "vxnmxlogger_frames_dropped_total", m_nGaps);
  Metric(out, "vxnmxlogger_errors_total", "counter",
         "Frames with an NMX error or a KRP result other than 0.");
  Sample(out, "vxnmxlogger_errors_total", m_nErrors);
  Metric(out, "vxnmxlogger_unanswered_total", "counter",
         "Requests without an answer within the time nmx-view serve waits for one.");
  Sample(out, "vxnmxlogger_unanswered_total", m_nUnanswered);
  Metric(out, "vxnmxlogger_response_time_seconds", "histogram",
         "Time from a request to its response, by command.");
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
