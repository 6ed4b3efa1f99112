// The object behind OS_USER_THREAD_HANDLE. Internal to the OS layer.
//
// Lifetime: a reference count of 1 for the creator's handle and 1 for the running thread;
// whichever of Close() and the end of the thread drops it to 0 deletes the object. Close()
// detaches the POSIX thread unless a wait joined it already, so it is joined or detached,
// never both. Waits and Close() on one handle must come from one thread at a time, and no
// call may follow Close().
#pragma once

#include <pthread.h>

#include <atomic>

#include "os/OsUserEvent.h"
#include "os/OsUserHandle.h"
#include "os/OsUserTools.h"

// Stack size a thread gets for a requested size: 0 gives 256 KiB, small requests are raised
// to the platform's minimum (at least 2 KiB), anything else is used as asked.
SIZE_T OsUserThreadStackSize(SIZE_T requested);

class COsThread : public OsUserHandle {
 public:
  COsThread();
  ~COsThread() override;

  bool SupportsAdditionalEvents() const override { return true; }
  void Lock() override { pthread_mutex_lock(&m_lock); }
  void Unlock() override { pthread_mutex_unlock(&m_lock); }
  bool IsEventSignalled() const override { return m_bThreadExit.load(); }

  // Starts the thread (held at a gate until Resume() when bSuspended). Returns 0, or the POSIX
  // error with *threadId (if given) nulled; on failure the caller deletes the object.
  DWORD Create(SIZE_T stackSize, LPTHREAD_START_ROUTINE routine, PVOID user, bool bSuspended,
               OS_USER_THREAD_ID* threadId);
  void Resume();
  // Waits for the routine to return and joins the thread once.
  DWORD WaitForThread(DWORD milliseconds);
  // Gives up the creator's reference; the object may be gone when this returns.
  void Close();

 private:
  static void* ThreadBody(void* arg);
  void Release();

  pthread_t m_hThread{};
  bool m_bHaveThread = false;  // m_hThread names a started thread and the handle is open
  _OsEventHandle* m_hEvent = nullptr;
  pthread_mutex_t m_lock;
  LPTHREAD_START_ROUTINE m_pFunc = nullptr;
  PVOID m_pUser = nullptr;
  std::atomic<LONG> m_refCnt{1};
  std::atomic<bool> m_bThreadExit{false};
  COsUserEvent m_event{false};
  bool m_bJoin = false;  // guarded by m_lock
};
