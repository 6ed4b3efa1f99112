// Event objects: the event core (also embedded in threads) and the event handle.
// Internal to the OS layer. All operations are thread-safe; destruction is the owner's.
#pragma once

#include <pthread.h>

#include <atomic>

#include "os/OsUserHandle.h"

// Manual or automatic reset event on a monotonic condition. If the condition cannot be
// created the event is invalid for good: waits fail, set and reset do nothing.
class COsUserEvent {
 public:
  explicit COsUserEvent(bool bAutoReset);
  virtual ~COsUserEvent();
  COsUserEvent(const COsUserEvent&) = delete;
  COsUserEvent& operator=(const COsUserEvent&) = delete;

  // Called with m_lock held while the event becomes signalled.
  virtual void SignalAdditionalEventsCritical() {}

  void Set();
  void Reset();
  // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED; consumes the signal of an auto-reset event.
  DWORD Wait(DWORD milliseconds);

  bool IsValid() const { return m_bValid; }
  bool IsSignalled() const { return m_bSignalled.load(); }
  pthread_mutex_t& LockObject() { return m_lock; }

 private:
  pthread_mutex_t m_lock;
  pthread_cond_t m_cond;
  bool m_bValid = false;
  const bool m_bAutoReset;
  std::atomic<bool> m_bSignalled{false};
};

// An event core that tells the handle owning it when it becomes signalled.
class COsUserEventInternal : public COsUserEvent {
 public:
  COsUserEventInternal(bool bAutoReset, OsUserHandle* pHandle)
      : COsUserEvent(bAutoReset), m_pHandle(pHandle) {}
  void SignalAdditionalEventsCritical() override { m_pHandle->SignalAdditionalEventsCritical(); }

 private:
  OsUserHandle* const m_pHandle;
};

// The object behind OS_USER_EVENT_HANDLE.
class _OsEventHandle : public OsUserHandle {
 public:
  explicit _OsEventHandle(bool bAutoReset)
      : OsUserHandle(OS_USER_HANDLE_TYPE_EVENT), _event(bAutoReset, this) {}

  bool SupportsAdditionalEvents() const override { return true; }
  void Lock() override { pthread_mutex_lock(&_event.LockObject()); }
  void Unlock() override { pthread_mutex_unlock(&_event.LockObject()); }
  bool IsEventSignalled() const override { return _event.IsSignalled(); }

  COsUserEventInternal _event;
};
