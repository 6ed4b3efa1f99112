#include "os/OsUserCond.h"

#include <errno.h>
#include <stdio.h>

#include "os/OsErrorText.h"

int InitEventCondition(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  int rc = pthread_condattr_init(&attr);
  if (rc != 0) {
    fprintf(stderr, "InitEventCondition: pthread_condattr_init failed (%d): %s\n", rc,
            static_cast<const char*>(OsErrorText(rc)));
    return rc;
  }
  rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (rc == 0) rc = pthread_cond_init(cond, &attr);
  if (rc != 0)
    fprintf(stderr, "InitEventCondition: initializing a monotonic condition failed (%d): %s\n", rc,
            static_cast<const char*>(OsErrorText(rc)));
  int rcDestroy = pthread_condattr_destroy(&attr);
  if (rcDestroy != 0)
    fprintf(stderr, "InitEventCondition: pthread_condattr_destroy failed (%d): %s\n", rcDestroy,
            static_cast<const char*>(OsErrorText(rcDestroy)));
  return rc;
}

bool OsUserGetAbsoluteTime(DWORD milliseconds, timespec* deadline) {
  if (clock_gettime(CLOCK_MONOTONIC, deadline) != 0) {
    const int err = errno;
    fprintf(stderr, "GetAbsoluteTime: clock_gettime failed (%d): %s\n", err,
            static_cast<const char*>(OsErrorText(err)));
    return false;
  }
  // A negative signed time-out would give a negative nanosecond field, which the timed waits
  // reject as invalid instead of timing out.
  int32_t t = static_cast<int32_t>(milliseconds);
  if (t <= 0) return true;
  deadline->tv_sec += t / 1000;
  deadline->tv_nsec += static_cast<long>(t % 1000) * 1000000L;
  if (deadline->tv_nsec > 999999999L) {
    deadline->tv_sec += 1;
    deadline->tv_nsec -= 1000000000L;
  }
  return true;
}

DWORD OsUserMonotonicMilliseconds() {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<DWORD>(static_cast<DWORD>(now.tv_sec) * 1000u +
                            static_cast<DWORD>(now.tv_nsec / 1000000L));
}

int OsUserCondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* deadline) {
  if (deadline == nullptr) return pthread_cond_wait(cond, mutex);
  return pthread_cond_timedwait(cond, mutex, deadline);
}
