#include "os/OsUserTools.h"

#include <errno.h>
#include <sys/time.h>

#include <atomic>
#include <memory>
#include <new>

#include "os/OsThread.h"
#include "os/OsUserCond.h"
#include "os/OsUserEvent.h"
#include "os/OsUserFile.h"
#include "os/OsUserHandle.h"

// ---- critical sections ----

void OsUserInitializeCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    pthread_mutex_init(&cs->mutex, nullptr);
    return;
  }
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void OsUserDeleteCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutex_destroy(&cs->mutex);
}
void OsUserEnterCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutex_lock(&cs->mutex);
}
void OsUserLeaveCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutex_unlock(&cs->mutex);
}

// ---- events ----

namespace {

_OsEventHandle* EventFromHandle(OS_USER_EVENT_HANDLE h) {
  OsUserHandle* p = OsUserHandleFromPointer(h);
  if (p == nullptr || p->type != OS_USER_HANDLE_TYPE_EVENT) return nullptr;
  return static_cast<_OsEventHandle*>(p);
}

COsThread* ThreadFromHandle(OS_USER_THREAD_HANDLE h) {
  OsUserHandle* p = OsUserHandleFromPointer(h);
  if (p == nullptr || p->type != OS_USER_HANDLE_TYPE_THREAD) return nullptr;
  return static_cast<COsThread*>(p);
}

}  // namespace

OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID attributes, BOOL bManualReset, BOOL bInitialState,
                                       LPCTSTR name) {
  if (attributes != nullptr || name != nullptr) return nullptr;
  _OsEventHandle* ev = new (std::nothrow) _OsEventHandle(!bManualReset);
  if (ev == nullptr) return nullptr;
  if (bInitialState) ev->_event.Set();
  return static_cast<OsUserHandle*>(ev);
}

BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE h) {
  _OsEventHandle* ev = EventFromHandle(h);
  if (ev == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  ev->_event.Set();
  return TRUE;
}

BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE h) {
  _OsEventHandle* ev = EventFromHandle(h);
  if (ev == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  ev->_event.Reset();
  return TRUE;
}

// ---- threads ----

DWORD OsUserCreateThreadEx(SIZE_T stackSize, POSUSERTHREADFUNC routine, PVOID user,
                           DWORD /*priority*/, OS_USER_THREAD_HANDLE* handle,
                           OS_USER_THREAD_ID* threadId, BOOL bSuspended) {
  if (routine == nullptr || handle == nullptr) {
    if (threadId) *threadId = OS_USER_THREAD_ID{};
    return EINVAL;
  }
  COsThread* t = new (std::nothrow) COsThread();
  if (t == nullptr) {
    if (threadId) *threadId = OS_USER_THREAD_ID{};
    return ENOMEM;
  }
  DWORD rc = t->Create(stackSize, routine, user, bSuspended != FALSE, threadId);
  if (rc != 0) {
    delete t;
    return rc;
  }
  *handle = static_cast<OsUserHandle*>(t);
  return 0;
}

OS_USER_THREAD_HANDLE OsUserCreateThread(LPSECURITY_ATTRIBUTES /*sa*/, SIZE_T stackSize,
                                         LPTHREAD_START_ROUTINE routine, LPVOID param,
                                         DWORD creationFlags, OS_USER_THREAD_ID* threadId) {
  OS_USER_THREAD_HANDLE h = nullptr;
  DWORD rc = OsUserCreateThreadEx(stackSize, routine, param, 0, &h, threadId,
                                  (creationFlags & CREATE_SUSPENDED) != 0);
  if (rc != 0) {
    errno = static_cast<int>(rc);
    return nullptr;
  }
  return h;
}

DWORD OsUserThreadResume(OS_USER_THREAD_HANDLE h) {
  if (COsThread* t = ThreadFromHandle(h)) t->Resume();
  return 0;
}

DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE h, INT milliseconds) {
  COsThread* t = ThreadFromHandle(h);
  if (t == nullptr) {
    errno = EINVAL;
    return WAIT_FAILED;
  }
  return t->WaitForThread(static_cast<DWORD>(milliseconds));
}

BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE h) {
  return OsUserCloseHandle(h);
}

BOOL OsUserIsCurrentThreadEqual(OS_USER_THREAD_ID id) {
  if (id == OS_USER_THREAD_ID{}) return FALSE;
  return pthread_equal(id, pthread_self()) ? TRUE : FALSE;
}

// ---- waits and handles ----

DWORD OsUserWaitForSingleObject(OS_USER_HANDLE h, DWORD milliseconds) {
  OsUserHandle* p = OsUserHandleFromPointer(h);
  if (p == nullptr) {
    errno = EINVAL;
    return WAIT_FAILED;
  }
  switch (p->type) {
    case OS_USER_HANDLE_TYPE_THREAD:
      return static_cast<COsThread*>(p)->WaitForThread(milliseconds);
    case OS_USER_HANDLE_TYPE_EVENT:
      return static_cast<_OsEventHandle*>(p)->_event.Wait(milliseconds);
    default:
      errno = EINVAL;
      return WAIT_FAILED;
  }
}

namespace {

// One non-blocking attempt; consumes an auto-reset event and joins an ended thread.
bool TryAcquire(OS_USER_HANDLE h) {
  OsUserHandle* p = OsUserHandleFromPointer(h);
  if (p == nullptr) return false;
  if (p->type != OS_USER_HANDLE_TYPE_EVENT && p->type != OS_USER_HANDLE_TYPE_THREAD) {
    errno = EINVAL;
    return false;
  }
  return OsUserWaitForSingleObject(h, 0) == WAIT_OBJECT_0;
}

bool TimedOut(DWORD start, DWORD milliseconds) {
  return milliseconds != INFINITE && OsUserMonotonicMilliseconds() - start >= milliseconds;
}

DWORD RemainingTime(DWORD start, DWORD milliseconds) {
  if (milliseconds == INFINITE) return INFINITE;
  DWORD elapsed = OsUserMonotonicMilliseconds() - start;
  return elapsed >= milliseconds ? 0 : milliseconds - elapsed;
}

// Blocks on one shared waiter registered with every handle, then claims the handle that
// woke it. Returns false when the caller has to poll instead.
bool WaitAnyRegistered(DWORD count, const OS_USER_HANDLE* handles, DWORD milliseconds, DWORD start,
                       DWORD* result) {
  for (DWORD i = 0; i < count; ++i) {
    OsUserHandle* p = OsUserHandleFromPointer(handles[i]);
    if (p == nullptr || !p->SupportsAdditionalEvents()) return false;
  }
  _OsUserAddEvent w{};
  if (InitEventCondition(&w.cond) != 0) return false;
  pthread_mutex_init(&w.lock, nullptr);
  w.signalledEvent = nullptr;
  w.countEvents = count;
  w.phEvents = handles;

  bool registered = true;
  for (DWORD i = 0; i < count && registered; ++i)
    registered = static_cast<OsUserHandle*>(handles[i])->AddAdditionalEvent(&w);
  if (registered) {
    timespec deadline;
    const timespec* pDeadline = nullptr;
    bool ok = true;
    if (milliseconds != INFINITE) {
      ok = OsUserGetAbsoluteTime(RemainingTime(start, milliseconds), &deadline);
      pDeadline = &deadline;
    }
    pthread_mutex_lock(&w.lock);
    int rc = 0;
    while (ok && w.signalledEvent == nullptr && rc == 0)
      rc = OsUserCondWait(&w.cond, &w.lock, pDeadline);
    pthread_mutex_unlock(&w.lock);
  }
  for (DWORD i = 0; i < count; ++i)
    static_cast<OsUserHandle*>(handles[i])->RemoveAdditionalEvent(&w);
  // No handle can reach w any more, so its fields are ours alone.
  OsUserHandle* signalled = w.signalledEvent;
  pthread_cond_destroy(&w.cond);
  pthread_mutex_destroy(&w.lock);
  if (signalled == nullptr) return false;

  for (DWORD j = 0; j < count; ++j) {
    if (OsUserHandleFromPointer(handles[j]) == signalled) {
      // This second wait is what consumes an auto-reset event or joins a thread.
      DWORD rc = OsUserWaitForSingleObject(handles[j], RemainingTime(start, milliseconds));
      *result = rc == WAIT_OBJECT_0 ? j : WAIT_TIMEOUT;
      return true;
    }
  }
  return false;
}

}  // namespace

DWORD OsUserWaitForMultipleObjects(DWORD count, const OS_USER_HANDLE* handles, BOOL bWaitAll,
                                   DWORD milliseconds) {
  if (handles == nullptr || count == 0) return WAIT_FAILED;
  // As for a single object: beyond the signed range a time-out only polls.
  if (milliseconds != INFINITE && static_cast<int32_t>(milliseconds) < 0) milliseconds = 0;
  std::unique_ptr<bool[]> acquired;
  DWORD start = 0;
  if (!bWaitAll) {
    for (DWORD i = 0; i < count; ++i)
      if (TryAcquire(handles[i])) return i;
    if (milliseconds != INFINITE) start = OsUserMonotonicMilliseconds();
    DWORD result;
    if (WaitAnyRegistered(count, handles, milliseconds, start, &result)) return result;
  } else {
    acquired.reset(new (std::nothrow) bool[count]());
    if (!acquired) return WAIT_FAILED;
    if (milliseconds != INFINITE) start = OsUserMonotonicMilliseconds();
  }

  DWORD nAcquired = 0;
  for (;;) {
    for (DWORD i = 0; i < count; ++i) {
      if (handles[i] == nullptr || (bWaitAll && acquired[i])) continue;
      if (!TryAcquire(handles[i])) continue;
      if (!bWaitAll) return i;
      acquired[i] = true;
      if (++nAcquired == count) return WAIT_OBJECT_0;
    }
    OsUserSleep(1);
    if (TimedOut(start, milliseconds)) return WAIT_TIMEOUT;
  }
}

BOOL OsUserCloseHandle(OS_USER_HANDLE h) {
  OsUserHandle* p = OsUserHandleFromPointer(h);
  if (p == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  switch (p->type) {
    case OS_USER_HANDLE_TYPE_FILE:
      return OsUserCloseFile(h);
    case OS_USER_HANDLE_TYPE_THREAD:
      static_cast<COsThread*>(p)->Close();
      return TRUE;
    case OS_USER_HANDLE_TYPE_EVENT:
      delete static_cast<_OsEventHandle*>(p);
      return TRUE;
    default:
      errno = EINVAL;
      return FALSE;
  }
}

// ---- time ----

void OsUserSleep(ULONG milliseconds) {
  timespec left;
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

BOOL OsUserGetSystemTime(LPSYSTEMTIME st) {
  if (st == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  timeval tv;
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  tm t;
  gmtime_r(&secs, &t);
  st->wYear = static_cast<WORD>(t.tm_year + 1900);
  st->wMonth = static_cast<WORD>(t.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st->wDay = static_cast<WORD>(t.tm_mday);
  st->wHour = static_cast<WORD>(t.tm_hour);
  st->wMinute = static_cast<WORD>(t.tm_min);
  st->wSecond = static_cast<WORD>(t.tm_sec);
  st->wMilliseconds = static_cast<WORD>(tv.tv_usec / 1000);
  return TRUE;
}

namespace {
void StoreFileTime(LONGLONG value, LPFILETIME ft) {
  ULONGLONG v = static_cast<ULONGLONG>(value);
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFu);
  ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}
}  // namespace

BOOL OsUserSystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
  if (st == nullptr || ft == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
  tm t{};
  t.tm_year = static_cast<int>(st->wYear) - 1900;
  t.tm_mon = static_cast<int>(st->wMonth) - 1;
  t.tm_mday = st->wDay;
  t.tm_hour = st->wHour;
  t.tm_min = st->wMinute;
  t.tm_sec = st->wSecond;
  t.tm_wday = st->wDayOfWeek;
  // Unsigned arithmetic: a far-future year must wrap, not overflow.
  ULONGLONG secs = static_cast<ULONGLONG>(static_cast<LONGLONG>(timegm(&t)));
  StoreFileTime(static_cast<LONGLONG>(secs * 10000000ull + FILETIME_UNIX_EPOCH +
                                      static_cast<ULONGLONG>(st->wMilliseconds) * 10000ull),
                ft);
  return TRUE;
}

LONGLONG Timespec2FileTime(const timespec& ts) {
  ULONGLONG secs = static_cast<ULONGLONG>(static_cast<LONGLONG>(ts.tv_sec));
  ULONGLONG hundreds = static_cast<ULONGLONG>(static_cast<LONGLONG>(ts.tv_nsec / 100));
  return static_cast<LONGLONG>(secs * 10000000ull + hundreds + FILETIME_UNIX_EPOCH);
}

LONGLONG OsUserGetSystemTimeAsFileTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return Timespec2FileTime(ts);
}

// ---- other ----

LONG InterlockedIncrement(LONG* p) {
  return std::atomic_ref<LONG>(*p).fetch_add(1) + 1;
}
LONG InterlockedDecrement(LONG* p) {
  return std::atomic_ref<LONG>(*p).fetch_sub(1) - 1;
}

DWORD OsUserGetLastError() {
  return static_cast<DWORD>(errno);
}
