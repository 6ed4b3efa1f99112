// Frame times as text and as Unix time. A frame time is a signed 64-bit file time: 100 ns
// units since 1601-01-01 00:00 UTC. Every value, also a hostile one, has a text form.
#pragma once

#include <cstdint>
#include <string>

#include "os/OsTypes.h"
#include "os/OsUserTools.h"

constexpr LONGLONG kFileTimeTicksPerSecond = 10000000;
// File time of 1970-01-01 00:00 UTC.
constexpr LONGLONG kFileTimeUnixEpoch = 116444736000000000LL;

// "2024-05-01 12:00:00.123456" with fractionDigits (0 to 7) digits behind the second,
// truncated; iso gives "2024-05-01T12:00:00.1234567Z".
std::string FormatFileTime(LONGLONG fileTime, int fractionDigits, bool iso);

// "2024-05-01 12:00:00.123" of a header time stamp, its fields as stored.
std::string FormatSystemTime(const SYSTEMTIME& st);

// Nanoseconds since 1970-01-01 UTC, exactly; false for a time before 1970 or too late for
// 64 bits of nanoseconds (after the year 2554).
bool FileTimeToUnixNanoseconds(LONGLONG fileTime, uint64_t* ns);

// "12.3456789" seconds (may be negative) of a difference of two file times.
std::string FormatTicksAsSeconds(int64_t ticks);
