#include "engine/FailureReport.h"

#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

void ReportFailure(const char* line) {
  puts(line);
  syslog(LOG_ALERT, "%s", line);
}

void ReportRefusal(const char* line) {
  using Clock = std::chrono::steady_clock;
  static std::mutex lock;
  static Clock::time_point windowStart;
  static int written = 0;
  static unsigned long leftOut = 0;
  std::string text;
  {
    std::lock_guard<std::mutex> guard(lock);
    const Clock::time_point now = Clock::now();
    if (written == 0 || now - windowStart >= std::chrono::minutes(1)) {
      windowStart = now;
      written = 0;
    }
    if (written == kRefusalsPerMinute) {
      ++leftOut;
      return;
    }
    ++written;
    text = line;
    if (leftOut != 0) {
      text += " (" + std::to_string(leftOut) + " more refusals were not reported)";
      leftOut = 0;
    }
  }
  ReportFailure(text.c_str());
}

std::string PrintableText(const char* text) {
  std::string s = text ? text : "";
  for (char& c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return s;
}
