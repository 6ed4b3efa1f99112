#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "os/OsUserTools.h"

namespace {

ULONGLONG ToU64(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(OsTime, SystemTimeToFileTime) {
  struct Case {
    SYSTEMTIME st;
    ULONGLONG expected;
  } cases[] = {
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
      {{2000, 1, 6, 1, 0, 0, 0, 500}, 125911584005000000ull},
      {{1601, 1, 1, 1, 0, 0, 0, 0}, 0ull},
      // Day of week is ignored; out-of-range fields are normalised (month 13 is next January).
      {{1999, 13, 0, 1, 0, 0, 0, 500}, 125911584005000000ull},
      {{2000, 1, 3, 1, 0, 0, 0, 999}, 125911584009990000ull},
      // Past 2038 the seconds do not wrap.
      {{2100, 1, 5, 1, 0, 0, 0, 0}, 157469184000000000ull},
  };
  for (const Case& c : cases) {
    FILETIME ft{0xDEADBEEF, 0xDEADBEEF};
    EXPECT_EQ(OsUserSystemTimeToFileTime(&c.st, &ft), TRUE);
    EXPECT_EQ(ToU64(ft), c.expected) << c.st.wYear << "-" << c.st.wMonth;
  }
}

TEST(OsTime, NullArgumentsAreRefused) {
  SYSTEMTIME st{2000, 1, 6, 1, 0, 0, 0, 0};
  FILETIME ft{0xDEADBEEF, 0xDEADBEEF};
  struct Case {
    const char* name;
    BOOL (*call)(SYSTEMTIME*, FILETIME*);
  } cases[] = {
      {"get system time", [](SYSTEMTIME*, FILETIME*) { return OsUserGetSystemTime(nullptr); }},
      {"no system time",
       [](SYSTEMTIME*, FILETIME* f) { return OsUserSystemTimeToFileTime(nullptr, f); }},
      {"no file time",
       [](SYSTEMTIME* s, FILETIME*) { return OsUserSystemTimeToFileTime(s, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    errno = 0;
    EXPECT_EQ(c.call(&st, &ft), FALSE);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ft.dwLowDateTime, 0xDEADBEEFu);
    EXPECT_EQ(ft.dwHighDateTime, 0xDEADBEEFu);
  }
}

TEST(OsTime, Timespec2FileTime) {
  EXPECT_EQ(Timespec2FileTime(timespec{0, 0}), static_cast<LONGLONG>(FILETIME_UNIX_EPOCH));
  EXPECT_EQ(Timespec2FileTime(timespec{946684800, 500000099}), 125911584005000000ll);
}

// Restores TZ when the test ends.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = getenv("TZ");
    m_bHad = old != nullptr;
    if (m_bHad) m_old = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (m_bHad) {
      setenv("TZ", m_old.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool m_bHad;
  std::string m_old;
};

TEST(OsTime, GetSystemTimeIsUtcWhateverTheTimeZone) {
  for (const char* tz : {"UTC0", "XYZ-13:30", "ABC+11"}) {
    SCOPED_TRACE(tz);
    ScopedTimeZone zone(tz);
    // time() may read a coarser clock that lags behind; compare with the precise one.
    timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    SYSTEMTIME st{};
    EXPECT_EQ(OsUserGetSystemTime(&st), TRUE);
    clock_gettime(CLOCK_REALTIME, &after);
    FILETIME ft;
    OsUserSystemTimeToFileTime(&st, &ft);
    LONGLONG secs = static_cast<LONGLONG>((ToU64(ft) - FILETIME_UNIX_EPOCH) / 10000000ull);
    EXPECT_GE(secs, before.tv_sec);
    EXPECT_LE(secs, after.tv_sec);
    time_t stamp = static_cast<time_t>(secs);
    tm utc;
    gmtime_r(&stamp, &utc);
    EXPECT_EQ(st.wDayOfWeek, static_cast<WORD>(utc.tm_wday));
    EXPECT_LT(st.wMilliseconds, 1000);
  }
}

TEST(OsTime, SystemTimeAsFileTimeKeepsSubMillisecondPrecision) {
  SYSTEMTIME st;
  OsUserGetSystemTime(&st);
  FILETIME ft;
  OsUserSystemTimeToFileTime(&st, &ft);
  LONGLONG precise = OsUserGetSystemTimeAsFileTime();
  LONGLONG coarse = static_cast<LONGLONG>(ToU64(ft));
  EXPECT_GE(precise, coarse);
  EXPECT_LT(precise - coarse, 10LL * 10000000LL);  // same clock, a few seconds at most
  // Some of many readings fall between whole milliseconds.
  bool subMillisecond = false;
  for (int i = 0; i < 1000 && !subMillisecond; ++i)
    subMillisecond = OsUserGetSystemTimeAsFileTime() % 10000 != 0;
  EXPECT_TRUE(subMillisecond);
}

TEST(OsTime, SleepWaitsAtLeastTheTime) {
  timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  OsUserSleep(30);
  clock_gettime(CLOCK_MONOTONIC, &b);
  long long elapsedMs = (b.tv_sec - a.tv_sec) * 1000LL + (b.tv_nsec - a.tv_nsec) / 1000000LL;
  EXPECT_GE(elapsedMs, 29);
}

}  // namespace
