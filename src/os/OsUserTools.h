// Synchronisation, threads and time: a Win32-shaped layer over POSIX threads.
//
// Handles are untyped pointers to objects that start with a type tag; close and wait
// dispatch on it. Every time-out is measured on the monotonic clock. A time-out is INFINITE
// or a signed 32-bit count of milliseconds; larger values count as 0 and only poll.
// Every function may be called from any thread; a handle is the creator's to close, and no
// call on it may follow or race with its close.
#pragma once

#include <pthread.h>
#include <time.h>

#include "os/OsTypes.h"
#include "os/ThreadSafety.h"

typedef void* OS_USER_HANDLE;
typedef void* OS_USER_EVENT_HANDLE;
typedef void* OS_USER_THREAD_HANDLE;
typedef void* OS_USER_FILE_HANDLE;
typedef pthread_t OS_USER_THREAD_ID;

#define INVALID_HANDLE_VALUE (reinterpret_cast<OS_USER_HANDLE>(static_cast<intptr_t>(-1)))

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);
typedef DWORD (*POSUSERTHREADFUNC)(PVOID);
typedef PVOID LPSECURITY_ATTRIBUTES;

constexpr DWORD CREATE_SUSPENDED = 0x4;

// A recursive mutex; the owning object embeds it and calls init and delete itself.
struct CAPABILITY("mutex") OsUserCriticalSection {
  pthread_mutex_t mutex;
};
typedef OsUserCriticalSection CRITICAL_SECTION;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

// 100 ns intervals since 1601-01-01 00:00 UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;

constexpr ULONGLONG FILETIME_UNIX_EPOCH = 116444736000000000ull;

void OsUserInitializeCriticalSection(CRITICAL_SECTION* cs);
void OsUserDeleteCriticalSection(CRITICAL_SECTION* cs);
void OsUserEnterCriticalSection(CRITICAL_SECTION* cs);
void OsUserLeaveCriticalSection(CRITICAL_SECTION* cs);

// Null if attributes or a name are given (neither is supported). Close with OsUserCloseHandle.
OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID attributes, BOOL bManualReset, BOOL bInitialState,
                                       LPCTSTR name);
BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE h);
BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE h);

// A joinable thread; stack size 0 gives 256 KiB. Closing the handle without a wait detaches
// the thread, a wait joins it; the handle object lives until both the thread has ended and
// the handle is closed. Null (errno set) on failure.
OS_USER_THREAD_HANDLE OsUserCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize,
                                         LPTHREAD_START_ROUTINE routine, LPVOID param,
                                         DWORD creationFlags, OS_USER_THREAD_ID* threadId);
// 0, or the POSIX error with *threadId (if given) set to null. Priority is ignored.
DWORD OsUserCreateThreadEx(SIZE_T stackSize, POSUSERTHREADFUNC routine, PVOID user, DWORD priority,
                           OS_USER_THREAD_HANDLE* handle, OS_USER_THREAD_ID* threadId,
                           BOOL bSuspended);
DWORD OsUserThreadResume(OS_USER_THREAD_HANDLE h);
DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE h, INT milliseconds);
BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE h);
BOOL OsUserIsCurrentThreadEqual(OS_USER_THREAD_ID id);
// Moves the calling thread to the lowest real-time priority (round-robin), above every
// ordinary thread, for a thread that must keep up with a source it cannot slow down. 0, or
// the POSIX error when the system refuses (EPERM without the privilege; ENOTSUP where there
// is no such policy): the thread then keeps its priority.
DWORD OsUserRaiseThreadPriority();

// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (errno EINVAL for a handle that is no event
// or thread). A successful wait consumes an auto-reset event and joins an ended thread.
DWORD OsUserWaitForSingleObject(OS_USER_HANDLE h, DWORD milliseconds);
// Wait-any returns the lowest index among the signalled handles (WAIT_OBJECT_0 + index);
// wait-all returns WAIT_OBJECT_0 once every handle was acquired, and handles acquired by a
// wait-all that times out stay acquired.
DWORD OsUserWaitForMultipleObjects(DWORD count, const OS_USER_HANDLE* handles, BOOL bWaitAll,
                                   DWORD milliseconds);
// Closes a file, event or thread handle; FALSE with errno EINVAL for anything else.
BOOL OsUserCloseHandle(OS_USER_HANDLE h);

// Sleeps the full time, resuming after signal handlers.
void OsUserSleep(ULONG milliseconds);
// UTC wall clock, millisecond resolution.
BOOL OsUserGetSystemTime(LPSYSTEMTIME st);
// Fields are not validated; out-of-range values are normalised (month 13 is January next year).
BOOL OsUserSystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft);
LONGLONG Timespec2FileTime(const timespec& ts);
// Current UTC time as a file time, read with clock_gettime(CLOCK_REALTIME) and kept at the
// clock's full precision (100 ns units), unlike OsUserGetSystemTime's milliseconds.
LONGLONG OsUserGetSystemTimeAsFileTime();

LONG InterlockedIncrement(LONG* p);
LONG InterlockedDecrement(LONG* p);

// The calling thread's errno, unchanged (POSIX numbers).
DWORD OsUserGetLastError();

// A re-entrant lock object: a critical section initialised and destroyed with the object.
class CAPABILITY("mutex") COsUserLock {
 public:
  COsUserLock() { OsUserInitializeCriticalSection(&m_cs); }
  ~COsUserLock() { OsUserDeleteCriticalSection(&m_cs); }
  COsUserLock(const COsUserLock&) = delete;
  COsUserLock& operator=(const COsUserLock&) = delete;

  // The analysis sees this object as the lock, not the section inside it; the guard's
  // functions below are exempt for the same reason.
  void Lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { OsUserEnterCriticalSection(&m_cs); }
  void Unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { OsUserLeaveCriticalSection(&m_cs); }
  CRITICAL_SECTION& Section() { return m_cs; }

 private:
  CRITICAL_SECTION m_cs;
};

// Holds a critical section (or a COsUserLock) for the lifetime of the guard.
class SCOPED_CAPABILITY COsCsLock {
 public:
  explicit COsCsLock(CRITICAL_SECTION& cs) ACQUIRE(cs) NO_THREAD_SAFETY_ANALYSIS : m_cs(cs) {
    OsUserEnterCriticalSection(&m_cs);
  }
  explicit COsCsLock(COsUserLock& lock) ACQUIRE(lock) NO_THREAD_SAFETY_ANALYSIS
      : m_cs(lock.Section()) {
    OsUserEnterCriticalSection(&m_cs);
  }
  ~COsCsLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { OsUserLeaveCriticalSection(&m_cs); }
  COsCsLock(const COsCsLock&) = delete;
  COsCsLock& operator=(const COsCsLock&) = delete;

 private:
  CRITICAL_SECTION& m_cs;
};
