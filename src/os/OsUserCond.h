// Monotonic condition variables and deadlines shared by the event, thread and wait code.
#pragma once

#include <pthread.h>
#include <time.h>

#include "os/OsTypes.h"

// Initialises *cond bound to CLOCK_MONOTONIC. Returns 0 or the POSIX error number; failures
// are printed to standard error.
int InitEventCondition(pthread_cond_t* cond);

// Absolute CLOCK_MONOTONIC deadline `milliseconds` from now. The time-out is taken as a signed
// 32-bit value; a negative one (other than INFINITE, which callers handle before) counts as 0,
// so the deadline has passed already. Returns false (printed to standard error) if the clock
// cannot be read.
bool OsUserGetAbsoluteTime(DWORD milliseconds, timespec* deadline);

// Milliseconds on the monotonic clock, wrapping in 32 bits; only differences are meaningful.
DWORD OsUserMonotonicMilliseconds();

// Waits on cond (with mutex held) until the deadline, or without limit when deadline is null.
// Returns 0, ETIMEDOUT or another POSIX error.
int OsUserCondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* deadline);
