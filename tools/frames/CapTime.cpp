#include "frames/CapTime.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr int64_t kTicksPerDay = 86400 * kFileTimeTicksPerSecond;
constexpr int64_t kDaysFrom1601To1970 = 134774;

}  // namespace

std::string FormatFileTime(LONGLONG fileTime, int fractionDigits, bool iso) {
  // Floor division, so that times before 1601 count back from their day's midnight.
  int64_t days = fileTime / kTicksPerDay;
  int64_t rest = fileTime % kTicksPerDay;
  if (rest < 0) {
    rest += kTicksPerDay;
    --days;
  }
  const std::chrono::year_month_day ymd{
      std::chrono::sys_days{std::chrono::days{days - kDaysFrom1601To1970}}};
  const int64_t secs = rest / kFileTimeTicksPerSecond;
  const int64_t frac = rest % kFileTimeTicksPerSecond;
  char buf[64];
  int n = snprintf(buf, sizeof buf, "%04d-%02u-%02u%c%02d:%02d:%02d", static_cast<int>(ymd.year()),
                   static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                   iso ? 'T' : ' ', static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                   static_cast<int>(secs % 60));
  if (fractionDigits > 7) fractionDigits = 7;
  if (fractionDigits > 0) {
    int64_t f = frac;
    for (int i = fractionDigits; i < 7; ++i) f /= 10;
    n += snprintf(buf + n, sizeof buf - n, ".%0*lld", fractionDigits, static_cast<long long>(f));
  }
  if (iso) snprintf(buf + n, sizeof buf - n, "Z");
  return buf;
}

std::string FormatSystemTime(const SYSTEMTIME& st) {
  char buf[64];
  snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
           st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return buf;
}

bool FileTimeToUnixNanoseconds(LONGLONG fileTime, uint64_t* ns) {
  if (fileTime < kFileTimeUnixEpoch) return false;
  const uint64_t ticks = static_cast<uint64_t>(fileTime - kFileTimeUnixEpoch);
  if (ticks > UINT64_MAX / 100) return false;
  *ns = ticks * 100;
  return true;
}

std::string FormatTicksAsSeconds(int64_t ticks) {
  // Magnitude as unsigned, so that the most negative difference has one too.
  const bool neg = ticks < 0;
  const uint64_t mag = neg ? 0 - static_cast<uint64_t>(ticks) : static_cast<uint64_t>(ticks);
  char buf[48];
  snprintf(buf, sizeof buf, "%s%llu.%07llu", neg ? "-" : "",
           static_cast<unsigned long long>(mag / kFileTimeTicksPerSecond),
           static_cast<unsigned long long>(mag % kFileTimeTicksPerSecond));
  return buf;
}
